#include "Markup.h"

#include "Text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace Site {

void TextPieces(std::string_view page, Span text, std::vector<Span>& out)
{
    const std::size_t end = text.end;
    std::size_t at = text.begin;
    for (std::size_t lt = page.find('<', at); lt < end; lt = page.find('<', lt + 1)) {
        if (lt + 1 >= end || !(std::isalpha(static_cast<unsigned char>(page[lt + 1])) || page[lt + 1] == '/' ||
                               page[lt + 1] == '!' || page[lt + 1] == '?'))
            continue;
        out.push_back({at, lt});
        const char next = page[lt + 1];
        const bool tag = std::isalpha(static_cast<unsigned char>(next)) ||
                         (next == '/' && lt + 2 < end && std::isalpha(static_cast<unsigned char>(page[lt + 2])));
        const std::size_t close = tag ? StartTagEnd(page, lt + (next == '/')) : page.find('>', lt);
        at = close == std::string_view::npos ? end : std::min(end, close + !tag);
        lt = at - 1;
    }
    if (at < end)
        out.push_back({at, end});
}

namespace {

// A pass over the tags sums how many elements stand open at each start
// tag; past a budget in proportion to the page, it is not parsed (100,000
// nested div took gumbo 19 s). Elements that the next of their kind closes,
// void ones and raw text do not count.
std::size_t openElementsCost(std::string_view s, std::size_t& deepest)
{
    // Names packed into a number each, the lists sorted, for a quick look-up
    // at every tag of every page.
    auto pack = [](std::string_view name) {
        std::uint64_t v = 0;
        for (const char c : name)
            v = v << 8 | static_cast<unsigned char>(c);
        return v;
    };
    static const auto sorted = [&](std::initializer_list<std::string_view> names) {
        std::vector<std::uint64_t> v;
        for (const std::string_view n : names)
            v.push_back(pack(n));
        std::sort(v.begin(), v.end());
        return v;
    };
    static const std::vector<std::uint64_t> kNotNesting = sorted(
        {"p", "li", "dt", "dd", "option", "optgroup", "tr", "td", "th", "thead", "tbody", "tfoot", "caption",
         "colgroup", "rb", "rp", "rt", "rtc", "html", "head", "body", "a", "nobr", "button", "form", "h1", "h2", "h3",
         "h4", "h5", "h6", "area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param",
         "source", "track", "wbr", "keygen", "basefont", "bgsound", "frame", "image", "menuitem"});
    static const std::vector<std::uint64_t> kRaw =
        sorted({"script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes", "noscript"});
    std::size_t depth = 0, cost = 0;
    deepest = 0;
    char name[9];
    for (std::size_t p = s.find('<'); p != std::string_view::npos && p + 1 < s.size(); p = s.find('<', p + 1)) {
        if (s.compare(p, 4, "<!--") == 0) {
            p = s.find("-->", p + 4);
            if (p == std::string_view::npos)
                break;
            continue;
        }
        const bool end = s[p + 1] == '/';
        std::size_t q = p + 1 + end, n = 0;
        while (q < s.size() && !Space(s[q]) && s[q] != '/' && s[q] != '>' && n < sizeof name)
            name[n++] = Lower(s[q++]);
        if (n == 0 || name[0] < 'a' || name[0] > 'z')
            continue;
        if (n == 9) {
            if (std::string_view(name, n) == "plaintext")
                break;
            continue;  // no name of the lists is this long; the rest nest
        }
        const std::uint64_t tag = pack(std::string_view(name, n));
        if (std::binary_search(kNotNesting.begin(), kNotNesting.end(), tag))
            continue;
        if (end) {
            depth -= depth > 0;
            continue;
        }
        if (std::binary_search(kRaw.begin(), kRaw.end(), tag)) {
            const std::string close = "</" + std::string(name, n);
            p = FindNoCase(s, close, q);
            if (p == std::string_view::npos)
                break;
            continue;
        }
        deepest = std::max(deepest, ++depth);
        cost += depth;
    }
    return cost;
}

} // namespace

std::string NestedTooDeeply(std::string_view page)
{
    // A page with few tags cannot nest deep enough to matter: no pass then.
    const std::size_t budget = 16 * page.size() + (1u << 24);
    std::size_t tags = 0;
    for (std::size_t at = 0; at < page.size(); ++tags) {
        const void* lt = std::memchr(page.data() + at, '<', page.size() - at);
        if (!lt)
            break;
        at = static_cast<std::size_t>(static_cast<const char*>(lt) - page.data()) + 1;
    }
    std::size_t deepest = 0;
    if (tags * tags / 2 > budget && openElementsCost(page, deepest) > budget)
        return "nested too deeply to parse in bounded time (" + std::to_string(deepest) + " elements open at once)";
    return {};
}

void KeepLinksThatCloseOthers(std::vector<Anchor>& anchors, std::vector<MailLink>& links)
{
    auto unclean = [&](int link) {
        if (link >= 0 && links[static_cast<std::size_t>(link)].scope == MailLink::Scope::whole)
            links[static_cast<std::size_t>(link)].scope = MailLink::Scope::inPlace;
    };
    std::sort(anchors.begin(), anchors.end(), [](const Anchor& a, const Anchor& b) { return a.start < b.start; });
    // Inside a template or a table cell an `a` does not close one opened
    // outside: the next one outside does.
    for (std::size_t i = 0; i < anchors.size(); ++i)
        for (std::size_t k = i + 1; !anchors[i].closed && k < anchors.size(); ++k) {
            unclean(anchors[k].link);
            if (!anchors[k].marked)
                break;
        }
}

Span NoscriptText(std::string_view page, std::size_t from)
{
    const std::size_t to = FindNoCase(page, "</noscript", from);
    return {from, to == std::string_view::npos ? page.size() : to};
}

void DropNoscript(const std::vector<Span>& noscript, PageFindings& found)
{
    if (noscript.empty())
        return;
    auto inside = [&](std::size_t offset) {
        for (const Span& n : noscript)
            if (offset >= n.begin && offset < n.end)
                return true;
        return false;
    };
    auto dropTexts = [&](std::vector<Span>& texts) {
        std::erase_if(texts, [&](const Span& t) { return inside(t.begin); });
    };
    std::erase_if(found.links, [&](const MailLink& l) { return inside(l.element.begin); });
    for (MailLink& l : found.links)
        dropTexts(l.texts);
    dropTexts(found.texts);
}

} // namespace Site
