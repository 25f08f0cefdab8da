// quorvel-site: rewrites every mail link of a built site in place, in one of
// the shapes the window writes, so that the address and the word "mailto"
// no longer stand in the pages' sources.
//
// The pages are parsed by gumbo, as a browser parses them; only the bytes of
// the links (and, with --text, of addresses in the text) change, everything
// else is copied as it stands.

#include "TagComposer.h"
#include "platform/PreviewFile.h"

#include <gumbo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

using std::string;
using std::string_view;
using TagComposer::ElementShape;

// A page larger than this is not read: gumbo holds several times a page's
// size while it parses, and two pages are parsed at once.
constexpr std::size_t kMaxPageBytes = 256u << 20;

struct Config {
    ElementShape shape = ElementShape::encoded;
    bool text = false;
    bool check = false;
};

// --- UTF-8 and UTF-16 --------------------------------------------------------

std::u16string toUtf16(string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
        if (n == 0 || i + static_cast<std::size_t>(n) > s.size()) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        char32_t cp = n == 1 ? b : b & (0x7Fu >> n);
        for (int k = 1; k < n; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3Fu);
        i += static_cast<std::size_t>(n);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

string toUtf8(std::u16string_view s)
{
    string out;
    out.reserve(s.size() + s.size() / 4);
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (char32_t(s[++i]) - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Gumbo would silently turn anything else into U+FFFD, and the page with it.
bool isUtf8(string_view s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        // Eight ASCII bytes at a time: most of a page is markup.
        if (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        int n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) n = 1;
        else if (b == 0xE0) n = 2, lo = 0xA0;
        else if (b >= 0xE1 && b <= 0xEC) n = 2;
        else if (b == 0xED) n = 2, hi = 0x9F;
        else if (b >= 0xEE && b <= 0xEF) n = 2;
        else if (b == 0xF0) n = 3, lo = 0x90;
        else if (b >= 0xF1 && b <= 0xF3) n = 3;
        else if (b == 0xF4) n = 3, hi = 0x8F;
        else return false;
        if (end - p <= n || p[1] < lo || p[1] > hi)
            return false;
        for (int k = 2; k <= n; ++k)
            if ((p[k] & 0xC0) != 0x80)
                return false;
        p += n + 1;
    }
    return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t findNoCase(string_view s, string_view needle, std::size_t from = 0)
{
    if (needle.empty() || s.size() < needle.size())
        return string_view::npos;
    for (std::size_t i = from; i + needle.size() <= s.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && lower(s[i + k]) == lower(needle[k]))
            ++k;
        if (k == needle.size())
            return i;
    }
    return string_view::npos;
}

// --- What a page declares and may hold ---------------------------------------

// The labels the encoding standard gives UTF-8.
bool isUtf8Label(string label)
{
    for (char& c : label)
        c = lower(c);
    return label == "utf-8" || label == "utf8" || label == "unicode-1-1-utf-8" || label == "unicode11utf8" ||
           label == "unicode20utf8" || label == "x-unicode20utf8";
}

// The charset a <meta> in the page names, if it names one other than UTF-8:
// either <meta charset=...> or the http-equiv form's "charset=" in content.
// A byte-order mark outranks both.
string foreignCharset(string_view page)
{
    if (page.substr(0, 3) == "\xEF\xBB\xBF")
        return {};
    if (page.substr(0, 2) == "\xFF\xFE" || page.substr(0, 2) == "\xFE\xFF")
        return "UTF-16";
    // The head's declarations; the body's text may well quote one.
    page = page.substr(0, findNoCase(page, "<body"));
    for (std::size_t at = findNoCase(page, "<meta"); at != string_view::npos; at = findNoCase(page, "<meta", at + 5)) {
        const std::size_t close = page.find('>', at);
        const string_view tag = page.substr(at, close == string_view::npos ? string_view::npos : close - at);
        const std::size_t cs = findNoCase(tag, "charset");
        if (cs == string_view::npos)
            continue;
        std::size_t i = cs + 7;
        while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t' || tag[i] == '\n' || tag[i] == '\r'))
            ++i;
        if (i >= tag.size() || tag[i] != '=')
            continue;
        ++i;
        while (i < tag.size() && (tag[i] == ' ' || tag[i] == '"' || tag[i] == '\''))
            ++i;
        std::size_t j = i;
        while (j < tag.size() && tag[j] != '"' && tag[j] != '\'' && tag[j] != ';' && tag[j] != ' ' && tag[j] != '/' &&
               tag[j] != '>' && tag[j] != '\t' && tag[j] != '\n' && tag[j] != '\r')
            ++j;
        const string label(tag.substr(i, j - i));
        if (!label.empty())
            return isUtf8Label(label) ? string() : label;
    }
    return {};
}

// Whether the page could hold an href that a browser reads as mailto:.
// It must spell the word, with the tabs and line breaks a URL parser drops
// between the letters, or spell a letter of it, or such a break, as a
// character reference. A page that does neither needs no parse.
bool mayHoldMailLink(string_view page, bool text)
{
    if (text && page.find('@') != string_view::npos)
        return true;
    static constexpr char kWord[] = "mailto";
    int matched = 0;
    for (std::size_t i = 0; i < page.size(); ++i) {
        const char c = page[i];
        if (c == '\t' || c == '\n' || c == '\r')
            continue;
        const char l = lower(c);
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
            const bool hex = lower(page[i + 2]) == 'x';
            unsigned long cp = 0;
            for (std::size_t k = i + 2 + hex; k < page.size() && cp < 0x110000; ++k) {
                const char d = lower(page[k]);
                if (d >= '0' && d <= '9')
                    cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d - '0');
                else if (hex && d >= 'a' && d <= 'f')
                    cp = cp * 16 + static_cast<unsigned long>(d - 'a' + 10);
                else
                    break;
            }
            if (cp == 9 || cp == 10 || cp == 13 ||
                (cp < 128 && std::strchr("mailto", lower(static_cast<char>(cp))) && cp != 0))
                return true;
        }
    }
    return false;
}

// --- Parsing -------------------------------------------------------------------

// Gumbo allocates and frees many small blocks; a parse's blocks all die
// together, so they come from one arena that is emptied after the page.
class Arena {
public:
    ~Arena()
    {
        for (char* b : m_blocks)
            std::free(b);
    }
    void* allocate(std::size_t n)
    {
        n = (n + 15) & ~std::size_t(15);
        if (m_used + n > m_size) {
            const std::size_t size = std::max<std::size_t>(n, 1u << 20);
            char* block = static_cast<char*>(std::malloc(size));
            if (!block) {
                std::fputs("quorvel-site: out of memory\n", stderr);
                std::_Exit(2);
            }
            // Blocks of the standard size are kept for the next page.
            if (size == (1u << 20) && m_next < m_blocks.size()) {
                std::free(block);
                block = m_blocks[m_next];
            } else if (size == (1u << 20)) {
                m_blocks.push_back(block);
            } else {
                m_large.push_back(block);
            }
            ++m_next;
            m_current = block;
            m_size = size;
            m_used = 0;
        }
        void* p = m_current + m_used;
        m_used += n;
        return p;
    }
    void reset()
    {
        for (char* b : m_large)
            std::free(b);
        m_large.clear();
        m_next = 0;
        m_size = m_used = 0;
    }

private:
    std::vector<char*> m_blocks, m_large;
    std::size_t m_next = 0;
    char* m_current = nullptr;
    std::size_t m_size = 0, m_used = 0;
};

struct Edit {
    std::size_t begin, end;
    string text;
};

struct Finding {
    unsigned line;
    bool link;  // a mail link, or an address in the text
};

// The rewrite of one page: the edits, in source order and apart.
class Rewriter {
public:
    Rewriter(string_view page, const Config& config) : m_page(page), m_config(config)
    {
        const std::size_t nl = page.find('\n');
        m_newline = nl != string_view::npos && nl > 0 && page[nl - 1] == '\r' ? u"\r\n" : u"\n";
    }

    void run(const GumboNode* root)
    {
        // An explicit stack: a page may nest deeper than a thread's stack.
        m_stack.assign(1, root);
        while (!m_stack.empty()) {
            const GumboNode* node = m_stack.back();
            m_stack.pop_back();
            if (node->type == GUMBO_NODE_TEXT) {
                if (m_config.text) {
                    const std::size_t before = m_edits.size();
                    addressEdits(node->v.text.original_text, {}, m_edits);
                    if (m_edits.size() > before)
                        m_findings.push_back({node->v.text.start_pos.line, false});
                }
                continue;
            }
            const GumboVector* children = nullptr;
            if (node->type == GUMBO_NODE_DOCUMENT) {
                children = &node->v.document.children;
            } else if (node->type == GUMBO_NODE_ELEMENT) {
                if (!ordinary(node))
                    continue;
                if (node->v.element.tag == GUMBO_TAG_A && rewriteLink(node))
                    continue;
                children = &node->v.element.children;
            }
            // Comments and templates are passed by; their links are not shown.
            if (children)
                for (unsigned i = children->length; i-- > 0;)
                    m_stack.push_back(static_cast<const GumboNode*>(children->data[i]));
        }
        std::sort(m_edits.begin(), m_edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
        // Text the parser moved (out of a table, say) can report a stretch
        // of source that overlaps a link's; the first edit keeps its bytes.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_edits.size(); ++i)
            if (kept == 0 || m_edits[i].begin >= m_edits[kept - 1].end)
                if (kept++ != i)
                    m_edits[kept - 1] = std::move(m_edits[i]);
        m_edits.resize(kept);
    }

    string result() const { return apply(0, m_page.size()); }
    const std::vector<Finding>& findings() const { return m_findings; }

private:
    // Elements whose content a browser shows as markup of the page. Script,
    // style and the like hold text only; SVG and MathML, and noscript (text
    // to a browser that runs scripts), are left as they are.
    static bool ordinary(const GumboNode* node)
    {
        if (node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML)
            return false;
        switch (node->v.element.tag) {
        case GUMBO_TAG_SCRIPT: case GUMBO_TAG_STYLE: case GUMBO_TAG_TEXTAREA: case GUMBO_TAG_XMP:
        case GUMBO_TAG_IFRAME: case GUMBO_TAG_NOEMBED: case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_NOSCRIPT:
        case GUMBO_TAG_PLAINTEXT:
            return false;
        default:
            return true;
        }
    }

    std::size_t offsetOf(const char* p) const { return static_cast<std::size_t>(p - m_page.data()); }

    string apply(std::size_t begin, std::size_t end) const
    {
        string out;
        out.reserve(end - begin + 64);
        auto it = std::lower_bound(m_edits.begin(), m_edits.end(), begin,
                                   [](const Edit& e, std::size_t at) { return e.begin < at; });
        std::size_t at = begin;
        for (; it != m_edits.end() && it->end <= end; ++it) {
            out.append(m_page.substr(at, it->begin - at));
            out += it->text;
            at = it->end;
        }
        out.append(m_page.substr(at, end - at));
        return out;
    }

    // The address or addresses of a mailto value: the path, percent-decoded,
    // split at commas.
    static std::vector<string> addressesOf(string_view rest)
    {
        rest = rest.substr(0, rest.find_first_of("?#"));
        string decoded;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '%' && i + 2 < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
                decoded += static_cast<char>(std::stoi(string(rest.substr(i + 1, 2)), nullptr, 16));
                i += 2;
            } else {
                decoded += rest[i];
            }
        }
        std::vector<string> out;
        for (std::size_t from = 0; from <= decoded.size();) {
            std::size_t comma = decoded.find(',', from);
            if (comma == string::npos)
                comma = decoded.size();
            string one = decoded.substr(from, comma - from);
            one.erase(0, one.find_first_not_of(" \t"));
            one.erase(one.find_last_not_of(" \t") + 1);
            if (one.size() >= 3 && one.find('@') != string::npos)
                out.push_back(one);
            from = comma + 1;
        }
        return out;
    }

    static bool localChar(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               (c && std::strchr(".!#$%'*+/=?^_`{|}~-", c));
    }
    static bool domainChar(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }

    // References for every address in `piece` of the source: the ones
    // given, anywhere, and whatever reads as name@domain.tld.
    void addressEdits(GumboStringPiece piece, const std::vector<string>& known, std::vector<Edit>& out) const
    {
        if (!piece.data || piece.length == 0)
            return;
        const string_view s(piece.data, piece.length);
        std::vector<std::pair<std::size_t, std::size_t>> spans;
        for (const string& a : known)
            for (std::size_t at = findNoCase(s, a); at != string_view::npos; at = findNoCase(s, a, at + a.size()))
                spans.emplace_back(at, at + a.size());
        for (std::size_t at = s.find('@'); at != string_view::npos; at = s.find('@', at + 1)) {
            std::size_t l = at, r = at + 1;
            while (l > 0 && localChar(s[l - 1]))
                --l;
            while (r < s.size() && domainChar(s[r]))
                ++r;
            while (r > at + 1 && (s[r - 1] == '.' || s[r - 1] == '-'))
                --r;
            const string_view domain = s.substr(at + 1, r - at - 1);
            if (l == at || domain.find('.') == string_view::npos || domain.front() == '.' ||
                domain.find("..") != string_view::npos)
                continue;
            spans.emplace_back(l, r);
        }
        if (spans.empty())
            return;
        std::sort(spans.begin(), spans.end());
        const std::size_t base = offsetOf(piece.data);
        std::size_t begin = spans[0].first, end = spans[0].second;
        auto flush = [&] {
            out.push_back({base + begin, base + end,
                           toUtf8(TagComposer::EncodeReferences(toUtf16(s.substr(begin, end - begin))))});
        };
        for (std::size_t i = 1; i < spans.size(); ++i) {
            if (spans[i].first <= end) {
                end = std::max(end, spans[i].second);
                continue;
            }
            flush();
            begin = spans[i].first;
            end = spans[i].second;
        }
        flush();
    }

    // Where the value of a mailto href ends its scheme, or 0 when it is not
    // mailto: as a URL parser reads it (leading blanks and controls, and
    // tabs and line breaks anywhere, do not count).
    static std::size_t mailtoSchemeEnd(string_view v)
    {
        std::size_t i = 0;
        while (i < v.size() && static_cast<unsigned char>(v[i]) <= 0x20)
            ++i;
        static constexpr string_view kScheme = "mailto:";
        for (std::size_t k = 0; i < v.size() && k < kScheme.size(); ++i) {
            if (v[i] == '\t' || v[i] == '\n' || v[i] == '\r')
                continue;
            if (lower(v[i]) != kScheme[k++])
                return 0;
            if (k == kScheme.size())
                return i + 1;
        }
        return 0;
    }

    // An element the parser made from its own start and end tag, where the
    // source holds it: not moved, cloned, implied or closed for it.
    static bool ownTags(const GumboNode* node, bool needEndTag)
    {
        const GumboElement& e = node->v.element;
        constexpr int kMoved = GUMBO_INSERTION_BY_PARSER | GUMBO_INSERTION_IMPLIED |
                                    GUMBO_INSERTION_CONVERTED_FROM_END_TAG | GUMBO_INSERTION_FROM_ISINDEX |
                                    GUMBO_INSERTION_FROM_IMAGE | GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT |
                                    GUMBO_INSERTION_ADOPTION_AGENCY_CLONED | GUMBO_INSERTION_ADOPTION_AGENCY_MOVED |
                                    GUMBO_INSERTION_FOSTER_PARENTED;
        if ((node->parse_flags & kMoved) || e.original_tag.length == 0)
            return false;
        if (!needEndTag)
            return true;
        if (e.original_end_tag.length < 3)
            return false;
        GumboStringPiece name = e.original_end_tag;
        gumbo_tag_from_original_text(&name);
        return gumbo_tagn_enum(name.data, static_cast<unsigned>(name.length)) == e.tag;
    }

    static bool isVoid(GumboTag t)
    {
        switch (t) {
        case GUMBO_TAG_AREA: case GUMBO_TAG_BASE: case GUMBO_TAG_BR: case GUMBO_TAG_COL: case GUMBO_TAG_EMBED:
        case GUMBO_TAG_HR: case GUMBO_TAG_IMG: case GUMBO_TAG_INPUT: case GUMBO_TAG_LINK: case GUMBO_TAG_META:
        case GUMBO_TAG_PARAM: case GUMBO_TAG_SOURCE: case GUMBO_TAG_TRACK: case GUMBO_TAG_WBR:
            return true;
        default:
            return false;
        }
    }

    // Collects the address edits inside the link, and whether the link
    // holds only elements with tags of their own, so that its source
    // written again by a script gives the same elements.
    bool inner(const GumboNode* a, const std::vector<string>& known, const GumboAttribute* href,
               std::vector<Edit>& edits)
    {
        bool clean = true;
        std::vector<const GumboNode*> stack{a};
        while (!stack.empty()) {
            const GumboNode* node = stack.back();
            stack.pop_back();
            if (node->type == GUMBO_NODE_TEXT) {
                addressEdits(node->v.text.original_text, known, edits);
                continue;
            }
            if (node->type == GUMBO_NODE_TEMPLATE || node->type == GUMBO_NODE_CDATA) {
                clean = false;
                continue;
            }
            if (node->type != GUMBO_NODE_ELEMENT)
                continue;
            const GumboElement& e = node->v.element;
            // Only a link the parser reopened holds another: that one is a
            // link of its own, taken in turn.
            if (node != a && e.tag == GUMBO_TAG_A) {
                m_stack.push_back(node);
                clean = false;
                continue;
            }
            if (node != a && !ownTags(node, !isVoid(e.tag)))
                clean = false;
            // Attributes show too (title, alt): their addresses go as well.
            for (unsigned i = 0; i < e.attributes.length; ++i) {
                const auto* attr = static_cast<const GumboAttribute*>(e.attributes.data[i]);
                if (attr != href)
                    addressEdits(attr->original_value, known, edits);
            }
            if (!ordinary(node) && node != a)
                continue;
            for (unsigned i = e.children.length; i-- > 0;)
                stack.push_back(static_cast<const GumboNode*>(e.children.data[i]));
        }
        return clean;
    }

    bool rewriteLink(const GumboNode* node)
    {
        const GumboElement& e = node->v.element;
        const GumboAttribute* href = gumbo_get_attribute(&e.attributes, "href");
        if (!href || href->original_value.length == 0)
            return false;
        const string_view value(href->value);
        const std::size_t schemeEnd = mailtoSchemeEnd(value);
        if (schemeEnd == 0)
            return false;
        const std::vector<string> known = addressesOf(value.substr(schemeEnd));
        std::vector<Edit> edits;
        // A link the parser made up (a clone reopened after broken markup)
        // has no tags in the source; its attributes are the original's, so
        // only the addresses in its text are left to write.
        constexpr int kClone = GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT | GUMBO_INSERTION_ADOPTION_AGENCY_CLONED;
        if ((node->parse_flags & kClone) || e.original_tag.length == 0 || e.original_tag.data[0] != '<') {
            inner(node, known, href, edits);
            m_edits.insert(m_edits.end(), edits.begin(), edits.end());
            return true;
        }
        const bool clean = inner(node, known, href, edits) && ownTags(node, true);
        const std::size_t valueBegin = offsetOf(href->original_value.data);
        const std::size_t valueEnd = valueBegin + href->original_value.length;
        const std::u16string scheme = toUtf16(value.substr(0, schemeEnd));
        const std::u16string rest = toUtf16(value.substr(schemeEnd));

        // Where the link's markup cannot be lifted into a script as it is
        // (tags the parser supplied, elements moved out of a table), its
        // value and addresses are written as references in place.
        if (m_config.shape == ElementShape::references || !clean) {
            const TagComposer::Element pieces{{}, scheme, rest, {}};
            std::erase_if(edits, [&](const Edit& x) { return x.end > valueBegin && x.begin < valueEnd; });
            string written = toUtf8(ComposeElement(pieces, ElementShape::references, {}));
            if (written != m_page.substr(valueBegin, valueEnd - valueBegin) || !edits.empty())
                m_findings.push_back({e.start_pos.line, true});
            edits.push_back({valueBegin, valueEnd, std::move(written)});
            m_edits.insert(m_edits.end(), edits.begin(), edits.end());
            return true;
        }
        const std::size_t begin = e.start_pos.offset;
        const std::size_t end = e.end_pos.offset + e.original_end_tag.length;
        std::swap(m_edits, edits);
        std::sort(m_edits.begin(), m_edits.end(), [](const Edit& x, const Edit& y) { return x.begin < y.begin; });
        const std::u16string before = toUtf16(apply(begin, valueBegin));
        const std::u16string after = toUtf16(apply(valueEnd, end));
        std::swap(m_edits, edits);
        const TagComposer::Element pieces{before, scheme, rest, after};
        m_findings.push_back({e.start_pos.line, true});
        m_edits.push_back({begin, end, toUtf8(ComposeElement(pieces, m_config.shape, m_newline))});
        return true;
    }

    string_view m_page;
    const Config& m_config;
    std::u16string_view m_newline;
    std::vector<Edit> m_edits;
    std::vector<Finding> m_findings;
    std::vector<const GumboNode*> m_stack;
};

// --- Files ---------------------------------------------------------------------

enum class Outcome { unchanged, changed, skipped, failed, link };

struct Result {
    Outcome outcome = Outcome::unchanged;
    string reason;  // why it was skipped or failed
    std::vector<Finding> findings;
    bool done = false;
};

bool readWhole(int fd, string& out, std::size_t size)
{
    out.resize(size);
    std::size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (out.size() > kMaxPageBytes)
                return errno = EFBIG, false;
            out.resize(out.size() + 65536);
        }
        const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return true;
}

Result processFile(const string& path, const Config& config, Arena& arena)
{
    Result r;
    auto skip = [&](Outcome o, string why) {
        r.outcome = o;
        r.reason = std::move(why);
        return r;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            return skip(Outcome::link, "a symbolic link, not followed");
        return skip(Outcome::skipped, string("cannot be read: ") + std::strerror(errno));
    }
    struct stat info {};
    string page;
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = -1;
    else if (static_cast<std::size_t>(info.st_size) > kMaxPageBytes)
        error = EFBIG;
    else {
        try {
            if (!readWhole(fd, page, static_cast<std::size_t>(info.st_size)))
                error = errno;
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
    }
    ::close(fd);
    if (error == -1)
        return skip(Outcome::skipped, "not a regular file");
    if (error == EFBIG || error == ENOMEM)
        return skip(Outcome::skipped, "too large to hold (" + std::to_string(info.st_size >> 20) +
                                          " MiB; at most " + std::to_string(kMaxPageBytes >> 20) + " MiB)");
    if (error)
        return skip(Outcome::skipped, string("cannot be read: ") + std::strerror(error));
    if (const string cs = foreignCharset(page); !cs.empty())
        return skip(Outcome::skipped, "not UTF-8: it declares charset " + cs);
    if (!isUtf8(page))
        return skip(Outcome::skipped, "not UTF-8: its bytes are not valid UTF-8");
    if (!mayHoldMailLink(page, config.text))
        return r;

    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    options.userdata = &arena;
    options.allocator = [](void* self, std::size_t n) { return static_cast<Arena*>(self)->allocate(n); };
    options.deallocator = [](void*, void*) {};
    GumboOutput* parsed = gumbo_parse_with_options(&options, page.data(), page.size());
    Rewriter rewriter(page, config);
    rewriter.run(parsed->document);
    string out = rewriter.result();
    r.findings = rewriter.findings();
    arena.reset();
    if (out == page)
        return r;
    r.outcome = Outcome::changed;
    if (config.check)
        return r;
    const ApiDef::WriteResult written = ApiDef::ReplaceFileContents(path, out);
    if (!written.ok)
        return skip(Outcome::failed, "cannot be written: " + toUtf8(written.reason));
    return r;
}

bool isPageName(const std::filesystem::path& p)
{
    string ext = p.extension().string();
    for (char& c : ext)
        c = lower(c);
    return ext == ".html" || ext == ".htm";
}

// The pages under `arg`, in a stable order. A directory's links are not
// followed; an argument that names one is.
// Every page below `dir`, symbolic links not followed. A directory that
// cannot be read is reported and the walk goes on past it, so that one
// private folder does not leave the rest of the site unprotected.
void walk(const std::filesystem::path& dir, std::vector<string>& found, std::vector<string>& errors)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code statusError;
        const fs::file_status s = it->symlink_status(statusError);
        if (statusError)
            errors.push_back(it->path().string() + ": " + statusError.message());
        else if (fs::is_directory(s))
            walk(it->path(), found, errors);
        else if ((fs::is_regular_file(s) || fs::is_symlink(s)) && isPageName(it->path()))
            found.push_back(it->path().string());
    }
    if (ec)
        errors.push_back(dir.string() + ": " + ec.message());
}

void collect(const string& arg, std::vector<string>& files, std::vector<string>& errors)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(arg, ec);
    if (ec || !fs::exists(st)) {
        errors.push_back(arg + ": " + (ec ? ec.message() : "no such file or directory"));
        return;
    }
    if (!fs::is_directory(st)) {
        files.push_back(arg);
        return;
    }
    std::vector<string> found;
    walk(arg, found, errors);
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

int usage(const char* message)
{
    if (message)
        std::fprintf(stderr, "quorvel-site: %s\n", message);
    std::fputs("usage: quorvel-site [--shape encoded|script|references] [--text] [--check] PATH...\n"
               "Rewrites every mailto: link of the HTML pages at PATH (directories are walked\n"
               "for *.html and *.htm) so that neither the address nor \"mailto\" stands in the source.\n"
               "  --shape encoded     script that writes the link, address as references (default)\n"
               "  --shape script      script that writes the link, \"mailto\" split\n"
               "  --shape references  no script: href and address as character references\n"
               "  --text              addresses in the pages' text as references too\n"
               "  --check             change nothing; list what would change, exit 1 if anything would\n"
               "Exit status: 0 done, 1 --check found links to rewrite, 2 errors.\n",
               message ? stderr : stdout);
    return 2;
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    std::vector<string> args;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const string_view a = argv[i];
        if (options && a == "--") {
            options = false;
        } else if (options && (a == "--shape" || a.rfind("--shape=", 0) == 0)) {
            string_view v;
            if (a == "--shape") {
                if (++i == argc)
                    return usage("--shape needs a value: encoded, script or references");
                v = argv[i];
            } else {
                v = a.substr(8);
            }
            if (v == "encoded") config.shape = ElementShape::encoded;
            else if (v == "script") config.shape = ElementShape::script;
            else if (v == "references") config.shape = ElementShape::references;
            else return usage("--shape takes encoded, script or references");
        } else if (options && a == "--text") {
            config.text = true;
        } else if (options && a == "--check") {
            config.check = true;
        } else if (options && (a == "--help" || a == "-h")) {
            usage(nullptr);
            return 0;
        } else if (options && a.size() > 1 && a[0] == '-') {
            return usage(("unknown option " + string(a)).c_str());
        } else {
            args.emplace_back(a);
        }
    }
    if (args.empty())
        return usage("no PATH given");

    std::vector<string> files, errors;
    for (const string& a : args)
        collect(a, files, errors);
    // A page named twice (a directory and a page in it) is rewritten once:
    // two workers on one page would race for it.
    {
        std::vector<string> unique;
        std::unordered_set<string> seen;
        for (const string& f : files)
            if (seen.insert(std::filesystem::path(f).lexically_normal().string()).second)
                unique.push_back(f);
        files.swap(unique);
    }
    for (const string& e : errors)
        std::fprintf(stderr, "quorvel-site: %s\n", e.c_str());

    // Pages are independent: one worker per core (at most a few), and the
    // results are printed in the order of the files.
    std::vector<Result> results(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex printing;
    std::size_t printed = 0;
    const bool progress = isatty(STDERR_FILENO) && files.size() >= 200;
    const double started = now();
    double shown = started;
    bool progressShown = false;
    auto report = [&](std::size_t i) {
        const Result& r = results[i];
        const char* path = files[i].c_str();
        if (progressShown) {
            std::fputs("\r\033[K", stderr);
            progressShown = false;
        }
        if (r.outcome == Outcome::skipped || r.outcome == Outcome::failed)
            std::fprintf(stderr, "quorvel-site: %s: skipped, %s\n", path, r.reason.c_str());
        else if (r.outcome == Outcome::link)
            std::fprintf(stderr, "quorvel-site: %s: skipped, %s\n", path, r.reason.c_str());
        else if (config.check && r.outcome == Outcome::changed)
            for (const Finding& f : r.findings)
                std::printf("%s:%u: %s\n", path, f.line,
                            f.link ? "mail link to rewrite" : "address in the text to write as references");
    };
    auto work = [&] {
        Arena arena;
        for (std::size_t i; (i = next++) < files.size();) {
            Result r = processFile(files[i], config, arena);
            const std::lock_guard lock(printing);
            results[i] = std::move(r);
            results[i].done = true;
            while (printed < files.size() && results[printed].done)
                report(printed++);
            if (progress && now() - shown > 0.2) {
                shown = now();
                std::fprintf(stderr, "\rquorvel-site: %zu of %zu pages", printed, files.size());
                progressShown = true;
            }
        }
    };
    // Twice the cores: a worker waiting for its page to reach the disk
    // (each replaced page is synced before it takes the old one's place)
    // leaves its core to another.
    const unsigned workerCount = std::max(2u, std::min(2 * std::thread::hardware_concurrency(), 16u));
    std::vector<std::thread> workers;
    for (unsigned k = 1; k < workerCount && k < files.size(); ++k)
        workers.emplace_back(work);
    work();
    for (std::thread& t : workers)
        t.join();
    if (progressShown)
        std::fputs("\r\033[K", stderr);
    std::fflush(stdout);

    std::size_t links = 0, texts = 0, changed = 0, notUtf8 = 0, unreadable = 0, tooLarge = 0, failed = 0,
                symlinks = 0, other = 0;
    for (const Result& r : results) {
        if (r.outcome == Outcome::changed) {
            ++changed;
            for (const Finding& f : r.findings)
                ++(f.link ? links : texts);
        } else if (r.outcome == Outcome::link) {
            ++symlinks;
        } else if (r.outcome == Outcome::failed) {
            ++failed;
        } else if (r.outcome == Outcome::skipped) {
            if (r.reason.rfind("not UTF-8", 0) == 0) ++notUtf8;
            else if (r.reason.rfind("too large", 0) == 0) ++tooLarge;
            else if (r.reason.rfind("cannot be read", 0) == 0) ++unreadable;
            else ++other;
        }
    }
    const std::size_t skipped = notUtf8 + unreadable + tooLarge + failed + symlinks + other;
    string why;
    auto part = [&](std::size_t n, const char* what) {
        if (n)
            why += (why.empty() ? " (" : ", ") + std::to_string(n) + " " + what;
    };
    part(notUtf8, "not UTF-8");
    part(unreadable, "unreadable");
    part(tooLarge, "too large");
    part(failed, "not writable");
    part(symlinks, "symbolic links");
    part(other, "not regular files");
    if (!why.empty())
        why += ")";
    std::fprintf(stderr, "quorvel-site: %zu files scanned, %zu links %s%s in %zu files, %zu files skipped%s\n",
                 files.size(), links, config.check ? "to rewrite" : "rewritten",
                 texts ? (", " + std::to_string(texts) + " text addresses").c_str() : "", changed, skipped,
                 why.c_str());
    if (!errors.empty() || skipped > symlinks)
        return 2;
    return config.check && changed ? 1 : 0;
}
