#include "PageRewriter.h"

#include "PageEncoding.h"
#include "Text.h"

#include <algorithm>
#include <cstring>

namespace Site {

using TagComposer::ElementShape;

bool MayHoldMailLink(std::string_view page, bool text)
{
    if (text && page.find('@') != std::string_view::npos)
        return true;
    // The word, with the tabs and line breaks a URL parser drops between
    // its letters, or a letter of it or such a break as a reference.
    static constexpr char kWord[] = "mailto";
    int matched = 0;
    for (std::size_t i = 0; i < page.size(); ++i) {
        const char c = page[i];
        if (c == '\t' || c == '\n' || c == '\r')
            continue;
        const char l = Lower(c);
        if (l == kWord[matched]) {
            if (++matched == 6)
                return true;
        } else {
            matched = l == 'm' ? 1 : 0;
        }
        if (c != '&')
            continue;
        if (page.compare(i, 5, "&Tab;") == 0 || page.compare(i, 9, "&NewLine;") == 0)
            return true;
        if (i + 2 < page.size() && page[i + 1] == '#') {
            const bool hex = Lower(page[i + 2]) == 'x';
            unsigned long cp = 0;
            for (std::size_t k = i + 2 + hex; k < page.size() && cp < 0x110000; ++k) {
                const char d = Lower(page[k]);
                if (d >= '0' && d <= '9')
                    cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d - '0');
                else if (hex && d >= 'a' && d <= 'f')
                    cp = cp * 16 + static_cast<unsigned long>(d - 'a' + 10);
                else
                    break;
            }
            if (cp == 9 || cp == 10 || cp == 13 ||
                (cp < 128 && cp != 0 && std::strchr("mailto", Lower(static_cast<char>(cp)))))
                return true;
        }
    }
    return false;
}

namespace {

// A page whose bytes are all ASCII may be in an encoding that is not
// UTF-8: whatever the rewrite adds that is not ASCII (a character of a
// decoded href) goes as a reference, which every encoding reads alike.
// Only attribute values ever hold such characters.
std::string asciiOnly(std::string s)
{
    if (IsAscii(s))
        return s;
    std::string out;
    const std::u16string wide = ToUtf16(s);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t cp = wide[i];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size())
            cp = 0x10000 + ((cp - 0xD800) << 10) + (char32_t(wide[++i]) - 0xDC00);
        out += "&#" + std::to_string(static_cast<unsigned long>(cp)) + ";";
    }
    return out;
}

class Rewrite {
public:
    Rewrite(std::string_view page, const RewriteOptions& options, PageEncoding::Verdict encoding)
        : m_page(page), m_options(options), m_ascii(encoding != PageEncoding::Verdict::utf8),
          m_bytes(encoding == PageEncoding::Verdict::bytes)
    {
        const std::size_t nl = page.find('\n');
        m_newline = nl != std::string_view::npos && nl > 0 && page[nl - 1] == '\r' ? u"\r\n" : u"\n";
    }

    void link(const MailLink& l)
    {
        const std::size_t schemeEnd = MailtoSchemeEnd(l.value);
        std::vector<std::string> known = AddressesOfMailto(std::string_view(l.value).substr(schemeEnd));
        if (m_bytes) {
            // Bytes beyond ASCII are read in an encoding this rewrite does
            // not write: only ASCII stretches change, the link in place.
            if (!IsAscii(m_page.substr(l.href.begin, l.href.end - l.href.begin))) {
                m_findings.push_back({Finding::Kind::leftLink, l.element.begin, 0});
                return;
            }
            std::erase_if(known, [](const std::string& a) { return !IsAscii(a); });
        }
        std::vector<Edit> edits;
        for (const Span& t : l.texts)
            addresses(t, known, edits);
        if (l.scope == MailLink::Scope::copy) {
            append(edits);
            return;
        }
        const std::u16string scheme = ToUtf16(std::string_view(l.value).substr(0, schemeEnd));
        const std::u16string rest = ToUtf16(std::string_view(l.value).substr(schemeEnd));
        const Finding::Kind kind = l.dropped ? Finding::Kind::droppedLink : Finding::Kind::link;
        if (m_options.shape == ElementShape::references || l.scope == MailLink::Scope::inPlace || m_bytes) {
            // The value and the addresses as references where they stand.
            const TagComposer::Element pieces{{}, scheme, rest, {}};
            std::erase_if(edits, [&](const Edit& x) { return x.end > l.href.begin && x.begin < l.href.end; });
            std::string written = ToUtf8(ComposeElement(pieces, ElementShape::references, {}));
            if (written != m_page.substr(l.href.begin, l.href.end - l.href.begin) || !edits.empty())
                m_findings.push_back({kind, l.element.begin, 0});
            edits.push_back({l.href.begin, l.href.end, std::move(written), l.href});
            append(edits);
            return;
        }
        std::sort(edits.begin(), edits.end(), [](const Edit& x, const Edit& y) { return x.begin < y.begin; });
        const std::u16string before = ToUtf16(apply(edits, l.element.begin, l.href.begin));
        const std::u16string after = ToUtf16(apply(edits, l.href.end, l.element.end));
        const TagComposer::Element pieces{before, scheme, rest, after};
        m_findings.push_back({kind, l.element.begin, 0});
        m_edits.push_back({l.element.begin, l.element.end, ToUtf8(ComposeElement(pieces, m_options.shape, m_newline)),
                           l.element});
    }

    void text(const Span& t)
    {
        std::vector<Edit> edits;
        addresses(t, {}, edits);
        for (const Edit& e : edits)
            m_findings.push_back({Finding::Kind::textAddress, e.begin, 0});
        append(edits);
    }

    PageResult finish()
    {
        PageResult r;
        std::sort(m_edits.begin(), m_edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
        // Text the parser moved (out of a table, say) can report a stretch
        // of source that overlaps a link's; the first edit keeps its bytes.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_edits.size(); ++i)
            if (kept == 0 || m_edits[i].begin >= m_edits[kept - 1].end)
                if (kept++ != i)
                    m_edits[kept - 1] = std::move(m_edits[i]);
        m_edits.resize(kept);
        if (m_ascii)
            for (Edit& e : m_edits)
                e.text = asciiOnly(std::move(e.text));
        std::erase_if(m_edits, [&](const Edit& e) { return m_page.substr(e.begin, e.end - e.begin) == e.text; });
        std::sort(m_findings.begin(), m_findings.end(),
                  [](const Finding& a, const Finding& b) { return a.offset < b.offset; });
        std::vector<std::size_t> offsets;
        for (const Finding& f : m_findings)
            offsets.push_back(f.offset);
        const std::vector<unsigned> lines = LinesOf(m_page, offsets);
        for (std::size_t i = 0; i < m_findings.size(); ++i)
            m_findings[i].line = lines[i];
        if (m_edits.empty()) {
            std::erase_if(m_findings, [](const Finding& f) { return f.kind != Finding::Kind::leftLink; });
            r.findings = std::move(m_findings);
            return r;
        }
        r.outcome = PageResult::Outcome::changed;
        r.page = apply(m_edits, 0, m_page.size());
        r.edits = std::move(m_edits);
        r.findings = std::move(m_findings);
        return r;
    }

private:
    // References for every address in `t` of the source.
    void addresses(const Span& t, const std::vector<std::string>& known, std::vector<Edit>& out) const
    {
        if (t.end <= t.begin)
            return;
        const std::string_view s = m_page.substr(t.begin, t.end - t.begin);
        for (const auto& [begin, end] : FindAddresses(s, known))
            out.push_back({t.begin + begin, t.begin + end,
                           ToUtf8(TagComposer::EncodeReferences(ToUtf16(s.substr(begin, end - begin)))), t});
    }

    void append(std::vector<Edit>& edits)
    {
        m_edits.insert(m_edits.end(), std::make_move_iterator(edits.begin()), std::make_move_iterator(edits.end()));
    }

    // The page's bytes from `begin` to `end` with the edits (in order) that
    // lie within.
    std::string apply(const std::vector<Edit>& edits, std::size_t begin, std::size_t end) const
    {
        std::string out;
        out.reserve(end - begin + 64);
        auto it = std::lower_bound(edits.begin(), edits.end(), begin,
                                   [](const Edit& e, std::size_t at) { return e.begin < at; });
        std::size_t at = begin;
        for (; it != edits.end() && it->end <= end; ++it) {
            if (it->begin < at)
                continue;
            out.append(m_page.substr(at, it->begin - at));
            out += it->text;
            at = it->end;
        }
        out.append(m_page.substr(at, end - at));
        return out;
    }

    std::string_view m_page;
    const RewriteOptions& m_options;
    bool m_ascii;
    bool m_bytes;
    std::u16string_view m_newline;
    std::vector<Edit> m_edits;
    std::vector<Finding> m_findings;
};

} // namespace

PageResult RewritePage(std::string_view page, const RewriteOptions& options, LinkFinder& finder)
{
    const PageEncoding encoding = ReadEncoding(page);
    // A page in another encoding whose bytes hold nothing like a mail link
    // has nothing to lose.
    const bool mayHold = MayHoldMailLink(page, options.text);
    if (encoding.verdict == PageEncoding::Verdict::other && (mayHold || !encoding.readsAscii))
        return {PageResult::Outcome::skipped, "not UTF-8: " + encoding.why, {}, {}, {}};
    if (!mayHold)
        return {};
    const PageFindings found = finder.Find(page, options.text);
    if (!found.gaveUp.empty())
        return {PageResult::Outcome::skipped, found.gaveUp, {}, {}, {}};
    Rewrite rewrite(page, options, encoding.verdict);
    for (const MailLink& l : found.links)
        rewrite.link(l);
    for (const Span& t : found.texts)
        rewrite.text(t);
    return rewrite.finish();
}

} // namespace Site
