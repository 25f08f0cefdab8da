#pragma once
// One page rewritten: its bytes and the options in, its new bytes and what
// was found out. No files, no threads, nothing kept between calls but what
// the finder reuses, so that it is tested by rows and fuzzed as it is.

#include "PageFindings.h"
#include "TagComposer.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Site {

struct RewriteOptions {
    TagComposer::ElementShape shape = TagComposer::ElementShape::external;
    bool text = false;  // addresses in the page's text too
    // How many directories the page lies below the root of its site, where
    // the external shape's script file is (LinkScript.h).
    unsigned depth = 0;
};

struct Finding {
    enum class Kind {
        link,         // a mail link rewritten
        droppedLink,  // the same, in a tag the parser drops and a browser may not
        textAddress,  // an address in the text written as references
        leftLink,     // a mail link left as it is: its href holds bytes beyond
                      // ASCII in a page that is not UTF-8
        baseElsewhere,  // the external shape's script cannot be reached from
                        // the page's <base href>: its links got references
    };
    Kind kind;
    std::size_t offset;
    unsigned line;
};

struct Edit {
    std::size_t begin, end;  // the bytes of the page it replaces
    std::string text;
    Span within;  // the link or stretch of text found there, that holds it
};

struct PageResult {
    enum class Outcome { unchanged, changed, skipped } outcome = Outcome::unchanged;
    std::string why;  // skipped: the reason
    std::string page;  // changed: the new bytes
    std::vector<Edit> edits;  // changed: in order and apart
    std::vector<Finding> findings;  // in order; left links also when unchanged
    bool loadsScript = false;  // the page loads the external shape's script file
};

PageResult RewritePage(std::string_view page, const RewriteOptions& options, LinkFinder& finder);

// Whether the page could hold a mail link (or, with `text`, an address):
// a page that cannot needs no parse.
bool MayHoldMailLink(std::string_view page, bool text);

// The URL by which a page `depth` directories below its site's root reaches
// the script file at the root: relative to the page's base, which its first
// <base href> may move. None when that base lies where this cannot follow
// (another host, a path from the server's root, above the site's root).
// `hrefs` are the page's mail links' href values, which the rewrite writes
// anew. `baseAt` is where that <base> stands, or npos.
std::optional<std::string> ScriptUrl(std::string_view page, unsigned depth, std::span<const Span> hrefs,
                                     std::size_t& baseAt);

// The tag that loads the script file by `url`.
std::string ScriptTag(std::string_view url);

} // namespace Site
