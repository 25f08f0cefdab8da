#pragma once
// What both link finders read of a page's markup the same way, so that the
// scan and gumbo's tree cannot part on it: where a tag ends, the pieces of a
// text, the bound on nesting, and the two passes over what was found that
// depend on the bytes rather than on the tree.

#include "PageFindings.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Site {

inline bool Space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// The attributes of the tag whose name ends at `p`, read as the tokenizer
// reads them: `each(name, value)` for each, a value as written (references
// not decoded, quotes excluded), until the tag ends or `each` returns true.
// Where the tag ends (just past its '>'), or npos when the page ends inside
// it or `each` stopped.
template <class Each>
std::size_t ForEachAttribute(std::string_view s, std::size_t p, Each each)
{
    for (;;) {
        while (p < s.size() && (Space(s[p]) || s[p] == '/'))
            ++p;
        if (p >= s.size())
            return std::string_view::npos;
        if (s[p] == '>')
            return p + 1;
        const std::size_t name = p++;  // a name may start with '='
        while (p < s.size() && !Space(s[p]) && s[p] != '/' && s[p] != '>' && s[p] != '=')
            ++p;
        const std::string_view named = s.substr(name, p - name);
        while (p < s.size() && Space(s[p]))
            ++p;
        std::size_t begin = p, end = p;
        if (p < s.size() && s[p] == '=') {
            for (++p; p < s.size() && Space(s[p]);)
                ++p;
            if (p < s.size() && (s[p] == '"' || s[p] == '\'')) {
                begin = p + 1;
                end = std::min(s.find(s[p], begin), s.size());
                p = end + 1;
            } else {
                for (begin = p; p < s.size() && !Space(s[p]) && s[p] != '>';)
                    ++p;
                end = p;
            }
        }
        if (each(named, s.substr(begin, end - begin)))
            return std::string_view::npos;
    }
}

// Where the start tag that begins at `p` ends (just past its '>'), read as
// the tokenizer reads attributes, or npos when the page ends inside it. An
// end tag's attributes are read alike: pass the position of its '/'.
inline std::size_t StartTagEnd(std::string_view s, std::size_t p)
{
    ++p;
    while (p < s.size() && !Space(s[p]) && s[p] != '/' && s[p] != '>')
        ++p;
    return ForEachAttribute(s, p, [](std::string_view, std::string_view) { return false; });
}

// A text's stretches of source without the tags a parser dropped inside it
// ("a <a href=...>b" in an option): what is searched for addresses.
void TextPieces(std::string_view page, Span text, std::vector<Span>& out);

// Why the page is not parsed, or empty: gumbo looks through the stack of
// open elements at most tags, so a page that keeps thousands of elements
// open would cost it time in the square of their number.
std::string NestedTooDeeply(std::string_view page);

// An `a` element made from a start tag of the page.
struct Anchor {
    std::size_t start;
    bool closed;  // by an end tag of its own
    int link;     // the mail link it is, or -1
    bool marked;  // inside a template, table cell or the like
};

// An `a` start tag closes an `a` that is still open (one without an end tag
// of its own); a script in its place would not, and the next parse would
// see the open link run on. Such a link keeps its tags.
void KeepLinksThatCloseOthers(std::vector<Anchor>& anchors, std::vector<MailLink>& links);

// What a browser running scripts reads as the text of a noscript element:
// from behind its start tag to the first "</noscript", wherever a parser put
// the elements in between. Nothing there is a link or a text to rewrite.
void DropNoscript(const std::vector<Span>& noscript, PageFindings& found);

// The stretch DropNoscript drops for a noscript start tag ending at `from`.
Span NoscriptText(std::string_view page, std::size_t from);

} // namespace Site
