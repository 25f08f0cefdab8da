#pragma once
// Small pieces of text handling that every part of quorvel-site shares:
// UTF-8 and UTF-16, ASCII case, lines, and where addresses stand.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Site {

// Invalid bytes become U+FFFD; callers hand in text they have checked.
std::u16string ToUtf16(std::string_view s);
std::string ToUtf8(std::u16string_view s);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view s);
bool IsAscii(std::string_view s);

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::size_t FindNoCase(std::string_view s, std::string_view needle, std::size_t from = 0);

// The line (from 1) of each offset, for offsets in ascending order. CR LF,
// LF and a lone CR each end a line, as editors count them.
std::vector<unsigned> LinesOf(std::string_view s, const std::vector<std::size_t>& offsets);

// The stretches of `s` that read as addresses: whatever looks like
// name@domain.tld, and every occurrence of one of `known` in any letter
// case. Spans are [begin, end), in order and apart. A span never starts
// inside a character reference ("&amp@x.org" holds no address: the
// reference ends where the name would start).
std::vector<std::pair<std::size_t, std::size_t>> FindAddresses(std::string_view s,
                                                               const std::vector<std::string>& known = {});

// The addresses of a mailto: URL's path (after the scheme), percent-decoded
// and split at commas.
std::vector<std::string> AddressesOfMailto(std::string_view rest);

// Where a URL that a browser reads as mailto: ends its scheme, or 0 when it
// is not one (leading blanks and controls, and tabs and line breaks
// anywhere, do not count, as a URL parser drops them).
std::size_t MailtoSchemeEnd(std::string_view url);

} // namespace Site
