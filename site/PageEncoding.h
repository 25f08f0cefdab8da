#pragma once
// How a browser reads a page's bytes: the byte-order mark, then the HTML
// standard's prescan of the bytes for a <meta> that names an encoding (or an
// XML declaration), then the bytes themselves.

#include <string>
#include <string_view>

namespace Site {

// The encoding the prescan finds, by the Encoding standard's name
// ("UTF-8", "windows-1252", "Shift_JIS"); empty when the page names none.
// A declared UTF-16 comes back as UTF-8 and x-user-defined as windows-1252,
// as browsers read them; a UTF-16 XML declaration's bytes stay UTF-16.
std::string PrescanEncoding(std::string_view page);

// The encoding a label names ("latin1" gives "windows-1252"), or empty for a
// label the standard does not know.
std::string EncodingOfLabel(std::string_view label);

struct PageEncoding {
    enum class Verdict {
        utf8,   // read as UTF-8: rewritten as it stands
        ascii,  // every byte ASCII, in an encoding that reads ASCII as ASCII:
                // rewritten, writing nothing but ASCII
        bytes,  // an encoding in which an ASCII byte is always that character
                // (a single-byte one, EUC), or UTF-8 with invalid bytes: only
                // ASCII stretches are rewritten, writing nothing but ASCII
        other,  // left alone
    } verdict;
    std::string why;  // for `other`: "it declares charset Shift_JIS" and the like
    bool readsAscii = true;  // ASCII bytes read as ASCII (not UTF-16, not replacement)
};

PageEncoding ReadEncoding(std::string_view page);

} // namespace Site
