#pragma once
// What a parser finds in a page, in offsets of the page's own bytes: the
// mail links with where their tags and href value stand, and the stretches
// of text and attribute values where addresses may stand. The rewrite
// (PageRewriter) turns these into edits; it never sees the parser.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Site {

struct Span {
    std::size_t begin = 0, end = 0;
};

struct MailLink {
    // How much of the link's markup may change.
    enum class Scope {
        // Its start tag through its end tag is the element as a browser
        // builds it: a script may write it anew.
        whole,
        // Only its href value and the addresses in it, where they stand:
        // `area`, SVG links, links in foreign content, markup the parser
        // repaired or moved, and a tag the parser drops.
        inPlace,
        // A copy the parser made of a link that broken markup left open: its
        // tags are the original's, only the addresses in its text are its own.
        copy,
    };
    Scope scope = Scope::whole;
    Span element;       // `<a` through `</a>`; for an element without an end tag, its start tag
    Span href;          // the value as written, quotes included; empty for a copy
    std::string value;  // the href as a browser reads it (references decoded), UTF-8
    std::vector<Span> texts;  // its text and attribute values (quotes excluded), but the href
    bool dropped = false;     // the parser drops its tag; a browser may make a link of it
};

struct PageFindings {
    std::vector<MailLink> links;  // in no particular order
    std::vector<Span> texts;      // the page's text outside mail links, when asked for
    std::string gaveUp;           // not parsed, and why
};

// A page's parser. It keeps what it may reuse from page to page, so one
// instance serves one thread.
class LinkFinder {
public:
    virtual ~LinkFinder() = default;
    virtual PageFindings Find(std::string_view page, bool wantText) = 0;
};

} // namespace Site
