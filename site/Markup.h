#pragma once
// What both link finders read of a page's markup the same way, so that the
// scan and gumbo's tree cannot part on it: where a tag ends, the pieces of a
// text, the bound on nesting, and the two passes over what was found that
// depend on the bytes rather than on the tree.

#include "PageFindings.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Site {

inline bool Space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// Where the start tag that begins at `p` ends (just past its '>'), read as
// the tokenizer reads attributes, or npos when the page ends inside it. An
// end tag's attributes are read alike: pass the position of its '/'.
std::size_t StartTagEnd(std::string_view s, std::size_t p);

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
