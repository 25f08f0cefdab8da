// libFuzzer target for tag composition, under AddressSanitizer and
// UndefinedBehaviorSanitizer. Besides "no crash", every input is held to
// what a browser would make of the result:
//
//  - the script element ends exactly at its last line, however the link
//    text and address try to close it early;
//  - line 3 is document.write() of string literals that a JavaScript
//    decoder reads to exactly the plain shape's anchor for the same input
//    (with the encoded address, after decoding its references);
//  - the encoded address's references give back the address's code points;
//  - the script shapes have exactly five CR LF, the last at the very end,
//    and the plain shape has none unless the input holds line breaks;
//  - the href of the plain shape ends where the address ends.
//
// Input layout: byte 0 holds the options (bit 0 script, bit 1 encode),
// bytes 1-2 (little endian) where the link text ends, in code units; the
// rest is UTF-16LE, link text first, then the address. Raw UTF-16 lets the
// fuzzer reach lone surrogates and every line terminator.

#include "TagComposer.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using std::u16string;
using std::u16string_view;

[[noreturn]] void fail(const char* what, u16string_view result)
{
    std::fprintf(stderr, "fuzz_compose: %s\nresult (%zu units):", what, result.size());
    for (std::size_t i = 0; i < result.size() && i < 400; ++i)
        std::fprintf(stderr, " %04x", unsigned(result[i]));
    std::fprintf(stderr, "\n");
    std::abort();
}

void check(bool ok, const char* what, u16string_view result)
{
    if (!ok)
        fail(what, result);
}

u16string_view view(const QString& s)
{
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The code points a browser sees in UTF-16 text; a lone surrogate cannot be
// shown and stands as U+FFFD.
std::vector<char32_t> codePoints(u16string_view s)
{
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (isHigh(s[i]) && i + 1 < s.size() && isLow(s[i + 1])) {
            out.push_back(0x10000 + ((char32_t(s[i]) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00));
            ++i;
        } else if (isHigh(s[i]) || isLow(s[i])) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool hasLineBreak(u16string_view s)
{
    return s.find_first_of(u"\r\n") != u16string_view::npos;
}

// --- HTML: where does the script element end? -------------------------------

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

bool startsWithNoCase(u16string_view s, std::size_t at, u16string_view word)
{
    if (at + word.size() > s.size())
        return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (lower(s[at + k]) != word[k])
            return false;
    }
    return true;
}

bool endsTagName(u16string_view s, std::size_t at)
{
    if (at >= s.size())
        return false;  // undecided at the end of the input: not an end here
    const char16_t c = s[at];
    return c == u'\t' || c == u'\n' || c == 0x0C || c == u'\r' || c == u' ' || c == u'/' || c == u'>';
}

bool isEndTag(u16string_view s, std::size_t at)
{
    return s.substr(at, 2) == u"</" && startsWithNoCase(s, at + 2, u"script") && endsTagName(s, at + 8);
}

// The offset of the "</script" that ends a script element whose content
// starts at `from`, following the HTML tokenizer's script data states:
// plain; escaped after "<!--", until a "-->" (any run of two or more dashes
// before the ">"); double escaped after a nested "<script", where even
// "</script>" only returns to escaped.
std::optional<std::size_t> scriptEnd(u16string_view s, std::size_t from)
{
    enum class State { Data, Escaped, DoubleEscaped } state = State::Data;
    int dashes = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (state == State::Data) {
            if (s.substr(i, 4) == u"<!--") {
                state = State::Escaped;
                dashes = 2;
                i += 3;
            } else if (isEndTag(s, i)) {
                return i;
            }
            continue;
        }
        if (c == u'-') {
            ++dashes;
            continue;
        }
        const bool closesComment = c == u'>' && dashes >= 2;
        dashes = 0;
        if (closesComment) {
            state = State::Data;
        } else if (state == State::Escaped) {
            if (isEndTag(s, i))
                return i;
            if (c == u'<' && startsWithNoCase(s, i + 1, u"script") && endsTagName(s, i + 7)) {
                state = State::DoubleEscaped;
                i += 6;
            }
        } else if (isEndTag(s, i)) {
            state = State::Escaped;
            i += 7;
        }
    }
    return std::nullopt;
}

// --- JavaScript: a single-quoted string literal -----------------------------

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool isLineTerminator(char16_t c) { return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029; }

// Reads the literal starting at s[i] == '\'' the way a JavaScript engine of
// any age would (a raw U+2028 or U+2029 ended a literal before ES2019); on
// success `i` is just past the closing quote.
std::optional<u16string> readStringLiteral(u16string_view s, std::size_t& i)
{
    if (i >= s.size() || s[i] != u'\'')
        return std::nullopt;
    u16string out;
    for (++i; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'\'') {
            ++i;
            return out;
        }
        if (isLineTerminator(c))
            return std::nullopt;
        if (c != u'\\') {
            out += c;
            continue;
        }
        if (++i >= s.size())
            return std::nullopt;
        const char16_t e = s[i];
        switch (e) {
        case u'n': out += u'\n'; break;
        case u'r': out += u'\r'; break;
        case u't': out += u'\t'; break;
        case u'b': out += u'\b'; break;
        case u'f': out += u'\f'; break;
        case u'v': out += u'\v'; break;
        case u'x': {
            if (i + 2 >= s.size() || hexValue(s[i + 1]) < 0 || hexValue(s[i + 2]) < 0)
                return std::nullopt;
            out += char16_t(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
            break;
        }
        case u'u': {
            if (i + 4 >= s.size())
                return std::nullopt;
            int v = 0;
            for (std::size_t k = 1; k <= 4; ++k) {
                const int h = hexValue(s[i + k]);
                if (h < 0)
                    return std::nullopt;  // \u{...} is newer than the engines we write for
                v = v * 16 + h;
            }
            out += char16_t(v);
            i += 4;
            break;
        }
        case u'0':
            // Octal escapes are errors in strict code; only a lone \0 is safe.
            if (i + 1 < s.size() && s[i + 1] >= u'0' && s[i + 1] <= u'9')
                return std::nullopt;
            out += u'\0';
            break;
        default:
            if ((e >= u'1' && e <= u'9') || isLineTerminator(e))
                return std::nullopt;  // octal, or a line continuation that drops text
            out += e;  // an identity escape: \' \\ \" \/ and the like
        }
    }
    return std::nullopt;
}

// document.write('...' + '...'); : the concatenated string it writes.
std::optional<u16string> readDocumentWrite(u16string_view line)
{
    constexpr u16string_view open = u"document.write(";
    if (line.substr(0, open.size()) != open)
        return std::nullopt;
    std::size_t i = open.size();
    u16string written;
    for (;;) {
        std::optional<u16string> piece = readStringLiteral(line, i);
        if (!piece)
            return std::nullopt;
        written += *piece;
        while (i < line.size() && line[i] == u' ')
            ++i;
        if (i < line.size() && line[i] == u'+') {
            ++i;
            while (i < line.size() && line[i] == u' ')
                ++i;
            continue;
        }
        break;
    }
    if (line.substr(i) != u");")
        return std::nullopt;
    return written;
}

// --- numeric character references -------------------------------------------

// "&#97;&#98;" to its code points; nullopt unless the whole text is decimal
// references without leading zeros, each a valid code point.
std::optional<std::vector<char32_t>> decodeReferences(u16string_view s)
{
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s.substr(i, 2) != u"&#")
            return std::nullopt;
        i += 2;
        const std::size_t first = i;
        char32_t v = 0;
        while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') {
            v = v * 10 + char32_t(s[i] - u'0');
            if (v > 0x10FFFF)
                return std::nullopt;
            ++i;
        }
        const std::size_t digits = i - first;
        if (digits == 0 || (digits > 1 && s[first] == u'0') || i >= s.size() || s[i] != u';')
            return std::nullopt;
        ++i;
        out.push_back(v);
    }
    return out;
}

// --- the properties ---------------------------------------------------------

constexpr u16string_view kHrefOpen = u"<a href=\"mailto:";
constexpr u16string_view kScriptOpen = u"<script type=\"text/javascript\">";

std::vector<u16string_view> crlfLines(u16string_view s)
{
    std::vector<u16string_view> lines;
    std::size_t start = 0;
    for (std::size_t at; (at = s.find(u"\r\n", start)) != u16string_view::npos; start = at + 2)
        lines.push_back(s.substr(start, at - start));
    lines.push_back(s.substr(start));  // after the last CR LF: must be empty
    return lines;
}

// Returns the plain anchor's text after its href value: DQ ">" link text "</a>".
u16string_view checkPlain(u16string_view plain, u16string_view text, u16string_view address)
{
    check(plain.substr(0, kHrefOpen.size()) == kHrefOpen, "plain: does not open with <a href=\"mailto:", plain);
    const std::size_t valueEnd = plain.find(u'"', kHrefOpen.size());
    check(valueEnd != u16string_view::npos, "plain: the href value is never closed", plain);
    const u16string_view tail = plain.substr(valueEnd);
    const u16string expectedTail = u"\">" + u16string(text) + u"</a>";
    check(tail == expectedTail, "plain: the href does not end where the address ends", plain);
    if (!hasLineBreak(text) && !hasLineBreak(address))
        check(!hasLineBreak(plain), "plain: a line break the input did not hold", plain);
    return tail;
}

void checkScript(u16string_view result, u16string_view plain, u16string_view plainTail, u16string_view address,
                 bool encode)
{
    check(result.size() >= 2 && result.substr(result.size() - 2) == u"\r\n", "script: does not end in CR LF",
          result);
    const std::vector<u16string_view> lines = crlfLines(result);
    check(lines.size() == 6 && lines[5].empty(), "script: not exactly five CR LF", result);
    for (const u16string_view line : lines)
        check(line.find_first_of(u"\r\n") == u16string_view::npos, "script: a lone CR or LF", result);
    check(lines[0] == kScriptOpen, "script: line 1", result);
    check(lines[1] == u"<!--", "script: line 2", result);
    check(lines[3] == u"// -->", "script: line 4", result);
    check(lines[4] == u"</script>", "script: line 5", result);

    const std::size_t contentStart = kScriptOpen.size() + 2;
    const std::optional<std::size_t> end = scriptEnd(result, contentStart);
    check(end && *end == result.size() - u16string_view(u"</script>\r\n").size(),
          "script: the HTML parser ends the script element somewhere other than line 5", result);

    const std::optional<u16string> written = readDocumentWrite(lines[2]);
    check(written.has_value(), "script: line 3 is not document.write() of valid string literals", result);
    const u16string_view w = *written;
    if (!encode) {
        check(w == plain, "script: document.write() does not write the plain anchor", result);
        return;
    }
    check(w.substr(0, kHrefOpen.size()) == kHrefOpen, "encoded: the written anchor's opening", result);
    check(w.size() >= kHrefOpen.size() + plainTail.size()
              && w.substr(w.size() - plainTail.size()) == plainTail,
          "encoded: the written anchor differs from the plain one after the address", result);
    const u16string_view references =
        w.substr(kHrefOpen.size(), w.size() - kHrefOpen.size() - plainTail.size());
    const std::optional<std::vector<char32_t>> decoded = decodeReferences(references);
    check(decoded.has_value(), "encoded: the address is not a run of decimal references", result);
    check(*decoded == codePoints(address), "encoded: the references do not decode to the address", result);
    check(references == view(TagComposer::EncodeAddress(QStringView(address))),
          "encoded: EncodeAddress disagrees with the composed tag", result);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const bool scriptOption = data[0] & 1;
    const bool encodeOption = data[0] & 2;
    u16string units((size - 3) / 2, u'\0');
    for (std::size_t k = 0; k < units.size(); ++k)
        units[k] = char16_t(data[3 + 2 * k] | (data[4 + 2 * k] << 8));
    const std::size_t split = (std::size_t(data[1]) | (std::size_t(data[2]) << 8)) % (units.size() + 1);
    const QString text = QString::fromUtf16(units.data(), qsizetype(split));
    const QString address = QString::fromUtf16(units.data() + split, qsizetype(units.size() - split));
    const u16string_view t = view(text);
    const u16string_view a = view(address);

    const QString plain = TagComposer::Compose(text, address, {false, false});
    const u16string_view plainTail = checkPlain(view(plain), t, a);

    // What the window asks for; with the script option off the encode option
    // means nothing and the plain shape comes back.
    const QString result = TagComposer::Compose(text, address, {scriptOption, encodeOption});
    check(result == TagComposer::Compose(text, address, {scriptOption, encodeOption}),
          "the same input composed twice differs", view(result));
    if (!scriptOption) {
        check(result == plain, "script option off: not the plain shape", view(result));
        return 0;
    }
    checkScript(view(result), view(plain), plainTail, a, encodeOption);

    // Turning the encode option over changes line 3 alone.
    const QString other = TagComposer::Compose(text, address, {true, !encodeOption});
    checkScript(view(other), view(plain), plainTail, a, !encodeOption);
    const std::vector<u16string_view> mine = crlfLines(view(result));
    const std::vector<u16string_view> theirs = crlfLines(view(other));
    for (const std::size_t line : {0, 1, 3, 4})
        check(mine[line] == theirs[line], "the encode option changed a line other than line 3", view(result));
    return 0;
}
