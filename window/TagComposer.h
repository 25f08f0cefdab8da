#pragma once
// The HTML of a mail link, in the three shapes the window offers. Pure
// functions: no state, no I/O, usable without a display.

#include <QString>
#include <QStringView>

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
// a plain address becomes &quot; so that it cannot end the href early.
QString Compose(QStringView linkText, QStringView address, Options options);

// Every code point of `address` as a decimal character reference ("&#97;").
// A lone surrogate, which no browser could show, becomes U+FFFD.
QString EncodeAddress(QStringView address);

// The nine-line preview page around `tag`, every line ended by CR LF.
QString PreviewPage(QStringView tag);

} // namespace TagComposer
