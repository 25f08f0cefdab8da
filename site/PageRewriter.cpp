#include "PageRewriter.h"

#include "LinkScript.h"
#include "Markup.h"
#include "PageEncoding.h"
#include "Text.h"

#include <algorithm>
#include <cctype>
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

bool named(std::string_view name, std::string_view as) { return name.size() == as.size() && FindNoCase(name, as) == 0; }

// The `href` of the first <base> that has one, as written; `at` is where
// the tag starts. A <base> in a comment or a script is taken too: the
// rewrite then does without the script file, which loses nothing. One in a
// mail link's href (`hrefs`) is not: the rewrite writes that value anew, and
// a second run, no longer seeing it, would decide otherwise.
std::optional<std::string> baseHref(std::string_view page, std::span<const Span> hrefs, std::size_t& at)
{
    for (at = FindNoCase(page, "<base"); at != std::string_view::npos; at = FindNoCase(page, "<base", at + 5)) {
        if (at + 5 < page.size() && !Space(page[at + 5]) && page[at + 5] != '/' && page[at + 5] != '>')
            continue;  // <basefont> and the like
        if (std::any_of(hrefs.begin(), hrefs.end(), [&](const Span& h) { return h.begin <= at && at < h.end; }))
            continue;
        std::optional<std::string> href;
        ForEachAttribute(page, at + 5, [&](std::string_view name, std::string_view value) {
            if (named(name, "href"))
                href = value;
            return href.has_value();
        });
        if (href)
            return href;
    }
    return std::nullopt;
}

// Whether an href value as written, quotes included, is all decimal
// references, as the references shape writes it.
bool allReferences(std::string_view value)
{
    if (!value.empty() && (value.front() == '"' || value.front() == '\''))
        value = value.substr(1, value.size() >= 2 && value.back() == value.front() ? value.size() - 2 : value.size() - 1);
    if (value.empty())
        return false;
    for (std::size_t p = 0; p < value.size();) {
        if (value.compare(p, 2, "&#") != 0)
            return false;
        std::size_t q = p + 2;
        while (q < value.size() && value[q] >= '0' && value[q] <= '9')
            ++q;
        if (q == p + 2 || q >= value.size() || value[q] != ';')
            return false;
        p = q + 1;
    }
    return true;
}

// The names of the attributes of the start tag at `p`, lowercased, up to
// the first one named twice or named as the external shape's own; false
// if there is such a one.
bool plainTag(std::string_view page, std::size_t p, std::vector<std::string>& names)
{
    while (p < page.size() && !Space(page[p]) && page[p] != '/' && page[p] != '>')
        ++p;
    bool plain = true;
    ForEachAttribute(page, p, [&](std::string_view name, std::string_view) {
        std::string lower(name);
        for (char& c : lower)
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        plain = lower != "data-quorvel" && std::find(names.begin(), names.end(), lower) == names.end();
        names.push_back(std::move(lower));
        return !plain;
    });
    return plain;
}

// Whether the external shape keeps the link `element` working. Not with an
// attribute named twice in any of its tags: taking its href away would
// bring to life a second one that the parser dropped, and an address hidden
// in a dropped value would be put back in the place of the next one. Nor
// with an attribute of the shape's own name, which would hide the one it
// writes. What merely looks like a tag (in a value, in a textarea) counts
// too: that link then gets references, which lose nothing. But not in its
// href, which the rewrite writes anew: a second run would decide otherwise.
bool keepsOneHref(std::string_view page, const Span& element, const Span& href)
{
    std::vector<std::string> names;
    if (!plainTag(page, element.begin, names) || std::find(names.begin(), names.end(), "href") == names.end())
        return false;
    for (std::size_t p = page.find('<', element.begin + 1); p < element.end; p = page.find('<', p + 1))
        if ((p < href.begin || p >= href.end) && p + 1 < page.size() &&
            std::isalpha(static_cast<unsigned char>(page[p + 1])))
            if (names.clear(); !plainTag(page, p, names))
                return false;
    return true;
}

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
    Rewrite(std::string_view page, const RewriteOptions& options, PageEncoding::Verdict encoding,
            std::span<const Span> hrefs)
        : m_page(page), m_options(options), m_ascii(encoding != PageEncoding::Verdict::utf8),
          m_bytes(encoding == PageEncoding::Verdict::bytes)
    {
        const std::size_t nl = page.find('\n');
        m_newline = nl != std::string_view::npos && nl > 0 && page[nl - 1] == '\r' ? u"\r\n" : u"\n";
        if (options.shape == ElementShape::external)
            m_scriptUrl = ScriptUrl(page, options.depth, hrefs, m_baseAt);
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
        // The external shape needs the element whole, and the script file
        // within reach. A link it once left as references stays so: what made
        // it do so may be gone from the rewritten page, and a second run must
        // change nothing.
        const bool external = m_options.shape == ElementShape::external && l.scope == MailLink::Scope::whole &&
                              !m_bytes && !allReferences(m_page.substr(l.href.begin, l.href.end - l.href.begin)) &&
                              keepsOneHref(m_page, l.element, l.href);
        m_baseElsewhere |= external && !m_scriptUrl;
        const bool hide = external && m_scriptUrl;
        std::vector<Edit> edits;
        for (const Span& t : l.texts)
            addresses(t, known, edits, hide);
        if (l.scope == MailLink::Scope::copy) {
            append(edits);
            return;
        }
        const std::u16string scheme = ToUtf16(std::string_view(l.value).substr(0, schemeEnd));
        const std::u16string rest = ToUtf16(std::string_view(l.value).substr(schemeEnd));
        const Finding::Kind kind = l.dropped ? Finding::Kind::droppedLink : Finding::Kind::link;
        if (m_options.shape == ElementShape::references || l.scope == MailLink::Scope::inPlace || m_bytes ||
            (m_options.shape == ElementShape::external && !hide)) {
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
        // Stretches the parser reported twice would hide one address twice.
        edits.erase(std::unique(edits.begin(), edits.end(), [](const Edit& x, const Edit& y) { return y.begin < x.end; }),
                    edits.end());
        std::vector<std::u16string> hidden;
        for (const Edit& x : edits)
            if (hide && x.text.rfind("\u2026", 0) == 0)  // what the page shows for an own address
                hidden.push_back(ToUtf16(m_page.substr(x.begin, x.end - x.begin)));
        const std::u16string before = ToUtf16(apply(edits, l.element.begin, l.href.begin));
        const std::u16string after = ToUtf16(apply(edits, l.href.end, l.element.end));
        const TagComposer::Element pieces{before, scheme, rest, after, hidden};
        m_findings.push_back({kind, l.element.begin, 0});
        if (hide)
            m_hidden.push_back(l.element.begin);
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
        // One tag a page, behind its last hidden link: instant navigation
        // runs again only the scripts of the content it swaps in, which
        // holds the links.
        r.loadsScript = m_page.find(kLinkScriptName) != std::string_view::npos;
        std::sort(m_hidden.begin(), m_hidden.end());
        for (std::size_t i = m_edits.size(); i-- > 0 && !r.loadsScript;)
            if (std::binary_search(m_hidden.begin(), m_hidden.end(), m_edits[i].begin)) {
                m_edits[i].text += ScriptTag(*m_scriptUrl);
                r.loadsScript = true;
            }
        if (m_baseElsewhere)
            m_findings.push_back({Finding::Kind::baseElsewhere, m_baseAt, 0});
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
    // References for every address in `t` of the source. With `hide`, the
    // link's own addresses (`known`) get what the external shape shows in
    // their place instead; whatever else merely looks like one
    // ("logo@2x.png" in a `src`) stays a reference, which keeps it working
    // without JavaScript.
    void addresses(const Span& t, const std::vector<std::string>& known, std::vector<Edit>& out, bool hide = false) const
    {
        if (t.end <= t.begin)
            return;
        const std::string_view s = m_page.substr(t.begin, t.end - t.begin);
        for (const auto& [begin, end] : FindAddresses(s, known)) {
            const std::string_view found = s.substr(begin, end - begin);
            const bool own = hide && std::any_of(known.begin(), known.end(), [&](const std::string& a) {
                                 return FindNoCase(found, a) != std::string_view::npos;
                             });
            const std::u16string address = ToUtf16(found);
            out.push_back({t.begin + begin, t.begin + end,
                           ToUtf8(own ? TagComposer::HiddenAddress(address) : TagComposer::EncodeReferences(address)),
                           t});
        }
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
    std::optional<std::string> m_scriptUrl;  // the external shape's, when it can be placed
    std::size_t m_baseAt = std::string_view::npos;
    bool m_baseElsewhere = false;
    std::vector<std::size_t> m_hidden;  // where the links in the external shape start, ascending
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
    if (!mayHold) {
        PageResult r;
        r.loadsScript = page.find(kLinkScriptName) != std::string_view::npos;
        return r;
    }
    const PageFindings found = finder.Find(page, options.text);
    if (!found.gaveUp.empty())
        return {PageResult::Outcome::skipped, found.gaveUp, {}, {}, {}};
    std::vector<Span> hrefs;
    for (const MailLink& l : found.links)
        hrefs.push_back(l.href);
    Rewrite rewrite(page, options, encoding.verdict, hrefs);
    for (const MailLink& l : found.links)
        rewrite.link(l);
    for (const Span& t : found.texts)
        rewrite.text(t);
    return rewrite.finish();
}

std::optional<std::string> ScriptUrl(std::string_view page, unsigned depth, std::span<const Span> hrefs,
                                     std::size_t& baseAt)
{
    long level = depth;
    if (const std::optional<std::string> href = baseHref(page, hrefs, baseAt)) {
        // As a URL parser reads it: tabs and line breaks dropped, blanks and
        // controls at either end too, a backslash for a slash.
        std::string path;
        for (const char c : *href)
            if (c != '\t' && c != '\n' && c != '\r')
                path += c == '\\' ? '/' : c;
        const auto outer = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
        while (!path.empty() && outer(path.back()))
            path.pop_back();
        path.erase(path.begin(), std::find_if_not(path.begin(), path.end(), outer));
        path.erase(std::min(path.find_first_of("?#"), path.size()));
        // A scheme, a host or the server's root, and whatever would need
        // decoding, are beyond what the site's files can tell.
        if (path.find_first_of(":%&") != std::string::npos || (!path.empty() && path[0] == '/'))
            return std::nullopt;
        path.erase(path.rfind('/') + 1);  // its directory
        for (std::size_t from = 0; from < path.size();) {
            const std::size_t slash = path.find('/', from);
            const std::string_view segment = std::string_view(path).substr(from, slash - from);
            if (segment.empty() || (segment == ".." && --level < 0))
                return std::nullopt;
            level += segment != "." && segment != "..";
            from = slash + 1;
        }
    }
    std::string url;
    for (long i = 0; i < level; ++i)
        url += "../";
    url += kLinkScriptName;
    return url;
}

std::string ScriptTag(std::string_view url)
{
    return "<script src=\"" + std::string(url) + "\" integrity=\"" + std::string(kLinkScriptIntegrity) + "\"></script>";
}

} // namespace Site
