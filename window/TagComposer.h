#pragma once
// The HTML of a mail link, in the three shapes the window offers, and the
// preview page around it. Plain C++ on UTF-16 strings: no toolkit, no I/O,
// so every front end shares it and it is tested without a display.

#include <string>
#include <string_view>

namespace TagComposer {

// Options as the window's check boxes give them. Encoding applies only to the
// script shape.
struct Options {
    bool script = true;
    bool encode = true;
};

// The plain link, or the five-line script block ending in CR LF.
//
// Ordinary text passes through unchanged. Inside the script's single-quoted
// string the link text and a plain address are escaped so that the script
// stays valid and writes exactly what the plain link holds; a double quote in
// a plain address becomes &quot; so that it cannot end the href early. The
// encoded address holds every code point as a decimal reference ("&#97;"); a
// lone surrogate, which no browser could show, becomes U+FFFD.
std::u16string Compose(std::u16string_view linkText, std::u16string_view address, Options options);

// The nine-line preview page around `tag`, every line ended by CR LF.
std::u16string PreviewPage(std::u16string_view tag);

} // namespace TagComposer
