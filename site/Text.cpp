#include "Text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Site {

std::u16string ToUtf16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
        if (n == 0 || i + static_cast<std::size_t>(n) > s.size()) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        char32_t cp = n == 1 ? b : b & (0x7Fu >> n);
        for (int k = 1; k < n; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3Fu);
        i += static_cast<std::size_t>(n);
        if (cp >= 0x110000)
            cp = 0xFFFD;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size() + s.size() / 4);
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (char32_t(s[++i]) - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

bool IsUtf8(std::string_view s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        // Eight ASCII bytes at a time: most of a page is markup.
        if (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        int n;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) n = 1;
        else if (b == 0xE0) n = 2, lo = 0xA0;
        else if (b >= 0xE1 && b <= 0xEC) n = 2;
        else if (b == 0xED) n = 2, hi = 0x9F;
        else if (b >= 0xEE && b <= 0xEF) n = 2;
        else if (b == 0xF0) n = 3, lo = 0x90;
        else if (b >= 0xF1 && b <= 0xF3) n = 3;
        else if (b == 0xF4) n = 3, hi = 0x8F;
        else return false;
        if (end - p <= n || p[1] < lo || p[1] > hi)
            return false;
        for (int k = 2; k <= n; ++k)
            if ((p[k] & 0xC0) != 0x80)
                return false;
        p += n + 1;
    }
    return true;
}

bool IsAscii(std::string_view s)
{
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ull)
            return false;
    }
    for (; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80)
            return false;
    return true;
}

std::size_t FindNoCase(std::string_view s, std::string_view needle, std::size_t from)
{
    if (needle.empty() || s.size() < needle.size())
        return std::string_view::npos;
    for (std::size_t i = from; i + needle.size() <= s.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && Lower(s[i + k]) == Lower(needle[k]))
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::string_view::npos;
}

std::vector<unsigned> LinesOf(std::string_view s, const std::vector<std::size_t>& offsets)
{
    std::vector<unsigned> lines;
    lines.reserve(offsets.size());
    // Most pages end their lines in LF alone, counted a block at a time.
    const bool cr = s.find('\r') != std::string_view::npos;
    unsigned line = 1;
    std::size_t at = 0;
    for (const std::size_t offset : offsets) {
        const std::size_t to = std::min(offset, s.size());
        if (!cr) {
            for (const char* p; at < to && (p = static_cast<const char*>(std::memchr(s.data() + at, '\n', to - at)));
                 ++line)
                at = static_cast<std::size_t>(p - s.data()) + 1;
            at = std::max(at, to);
        }
        for (; at < to; ++at)
            if (s[at] == '\n' || (s[at] == '\r' && (at + 1 == s.size() || s[at + 1] != '\n')))
                ++line;
        lines.push_back(line);
    }
    return lines;
}

namespace {

bool localChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c && std::strchr(".!#$%'*+/=?^_`{|}~-", c));
}
bool domainChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
bool alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

} // namespace

std::vector<std::pair<std::size_t, std::size_t>> FindAddresses(std::string_view s,
                                                               const std::vector<std::string>& known)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    // A stretch that starts inside a character reference ("&quot@x.org"
    // holds "t@x.org") would split it.
    auto inReference = [&](std::size_t begin) {
        while (begin > 0 && (alnum(s[begin - 1]) || s[begin - 1] == '#'))
            --begin;
        return begin > 0 && s[begin - 1] == '&';
    };
    for (const std::string& a : known)
        for (std::size_t at = FindNoCase(s, a); at != std::string_view::npos; at = FindNoCase(s, a, at + a.size()))
            if (a.find('&') == std::string::npos && !inReference(at))
                spans.emplace_back(at, at + a.size());
    for (std::size_t at = s.find('@'); at != std::string_view::npos; at = s.find('@', at + 1)) {
        std::size_t l = at, r = at + 1;
        while (l > 0 && localChar(s[l - 1]))
            --l;
        // "&amp" or "&#64" just before: the name would start inside a
        // reference, which the browser reads as one character.
        if (l > 0 && s[l - 1] == '&') {
            if (l < at && s[l] == '#')
                ++l;
            while (l < at && alnum(s[l]))
                ++l;
            // In an attribute "&quot=" is read as written, but "&quot&#61;"
            // as a quote: the "=" stays where it is.
            while (l < at && s[l] == '=')
                ++l;
        }
        while (r < s.size() && domainChar(s[r]))
            ++r;
        while (r > at + 1 && (s[r - 1] == '.' || s[r - 1] == '-'))
            --r;
        const std::string_view domain = s.substr(at + 1, r - at - 1);
        const std::size_t lastDot = domain.rfind('.');
        if (l >= at || lastDot == std::string_view::npos || domain.front() == '.' ||
            domain.find("..") != std::string_view::npos ||
            // A version ("jquery@3.6.0") is no address: a top-level domain has letters.
            domain.find_first_not_of("0123456789", lastDot + 1) == std::string_view::npos)
            continue;
        spans.emplace_back(l, r);
    }
    if (spans.empty())
        return spans;
    std::sort(spans.begin(), spans.end());
    std::size_t kept = 0;
    for (const auto& span : spans) {
        if (kept > 0 && span.first <= spans[kept - 1].second)
            spans[kept - 1].second = std::max(spans[kept - 1].second, span.second);
        else
            spans[kept++] = span;
    }
    spans.resize(kept);
    return spans;
}

std::vector<std::string> AddressesOfMailto(std::string_view rest)
{
    rest = rest.substr(0, rest.find_first_of("?#"));
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : Lower(c) >= 'a' && Lower(c) <= 'f' ? Lower(c) - 'a' + 10 : -1;
    };
    std::string decoded;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hex(rest[i + 1]) >= 0 && hex(rest[i + 2]) >= 0) {
            decoded += static_cast<char>(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
            i += 2;
        } else {
            decoded += rest[i];
        }
    }
    std::vector<std::string> out;
    for (std::size_t from = 0; from <= decoded.size();) {
        std::size_t comma = decoded.find(',', from);
        if (comma == std::string::npos)
            comma = decoded.size();
        std::string one = decoded.substr(from, comma - from);
        one.erase(0, one.find_first_not_of(" \t"));
        one.erase(one.find_last_not_of(" \t") + 1);
        if (one.size() >= 3 && one.find('@') != std::string::npos)
            out.push_back(one);
        from = comma + 1;
    }
    return out;
}

std::size_t MailtoSchemeEnd(std::string_view v)
{
    std::size_t i = 0;
    while (i < v.size() && static_cast<unsigned char>(v[i]) <= 0x20)
        ++i;
    static constexpr std::string_view kScheme = "mailto:";
    for (std::size_t k = 0; i < v.size() && k < kScheme.size(); ++i) {
        if (v[i] == '\t' || v[i] == '\n' || v[i] == '\r')
            continue;
        if (Lower(v[i]) != kScheme[k++])
            return 0;
        if (k == kScheme.size())
            return i + 1;
    }
    return 0;
}

} // namespace Site
