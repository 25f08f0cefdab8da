#pragma once
// The site's other text files: search indexes (mkdocs'
// search/search_index.json, Sphinx's searchindex.js, Hugo's index.json),
// feeds and sitemaps, and whatever else a build copies beside its pages.
// They hold each page's text, so an address in a link's text is in them
// too. Where the format has another spelling of the same text, the address
// is written so; elsewhere it is only found.

#include <string>
#include <string_view>
#include <vector>

namespace Site {

enum class TextFormat {
    json,    // *.json: an "@" in a string as \u0040, which every JSON reader reads as "@"
    script,  // *.js, *.mjs: "@" as \u0040 as well, which strings, templates and
             // regular expressions read as "@" and comments hold as text;
             // a script with a tagged template is only searched
    xml,     // *.xml, *.rss, *.atom, *.svg: "@" as &#64; in text and attribute values
    plain,   // *.txt and the like: only searched
};

// The format of a file by its name, or false when it is none of these.
bool TextFormatOf(std::string_view fileName, TextFormat& format);

struct TextAddress {
    std::size_t offset;
    unsigned line;
    bool rewritten;  // false: the format has no other spelling for it here
};

struct TextFileResult {
    std::string bytes;  // the new bytes, when an address was rewritten
    bool changed = false;
    std::vector<TextAddress> addresses;  // in order
};

TextFileResult RewriteTextFile(std::string_view bytes, TextFormat format);

} // namespace Site
