#pragma once
// The HTML of a mail link, in the three shapes the window offers, and the
// preview page around it. Plain C++ on UTF-16 strings: no toolkit, no I/O,
// so every front end shares it and it is tested without a display.

#include <span>
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

// Every code point of `s` as a decimal reference, as the encoded shape
// writes the address ("abc" gives "&#97;&#98;&#99;").
std::u16string EncodeReferences(std::u16string_view s);

// An `a` element taken from a page, around the value of its mailto href.
// `before` and `after` are markup as the page holds it (`before` ends with
// "href=", `after` starts behind the value's closing quote and runs through
// the end tag); `scheme` and `rest` are the decoded value, split behind the
// colon ("MAILTO:" and "a@b.jp?subject=Hi&body=x"). For the external shape,
// `hidden` holds the addresses taken out of its text and other attributes,
// in the order they stood; each stands there as HiddenAddress(it).
struct Element {
    std::u16string_view before;
    std::u16string_view scheme;
    std::u16string_view rest;
    std::u16string_view after;
    std::span<const std::u16string> hidden = {};
};

enum class ElementShape { script, encoded, references, external };

// The element rewritten in place. `references` keeps it an element and
// writes the whole href value as references. The script shapes write the
// whole element from a five-line block like Compose's, with `newline`
// between the lines and none after the last, so that the page's text flows
// on as before; the scheme is split behind its second letter. Where
// Compose's script writes into the document, theirs puts the element in its
// own place: document.write after the page has loaded (instant navigation
// runs the script again) replaces the whole document. `external`
// keeps the element, its href swapped for a data-quorvel attribute that
// holds the value and the hidden addresses keyed (HideText), for the
// site's script file to put back.
std::u16string ComposeElement(const Element& element, ElementShape shape, std::u16string_view newline);

// What the page shows of an address the external shape hides, readers
// without JavaScript included: "…@domain", never the address.
std::u16string HiddenAddress(std::u16string_view address);

// `text` keyed, in hex: four digits of key, then each UTF-16 unit XORed with
// a stream the key starts, four digits each. No reference or percent
// decoder reads it; the site's script file undoes it.
std::u16string HideText(std::u16string_view text);

// The nine-line preview page around `tag`, every line ended by CR LF.
std::u16string PreviewPage(std::u16string_view tag);

} // namespace TagComposer
