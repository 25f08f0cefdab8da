#include "TagComposer.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace TagComposer {
namespace {

using std::u16string;
using std::u16string_view;

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A double quote would end the href early.
void appendAttribute(u16string& out, u16string_view s)
{
    for (const char16_t c : s) {
        if (c == u'"')
            out += u"&quot;";
        else
            out += c;
    }
}

// Inside document.write('...') the text must stay one valid JavaScript string
// and must not hold "</", which would end the script element in the HTML
// parser before JavaScript ever sees the string. A plain address is also an
// attribute value, so its double quotes become &quot; first.
void appendScriptString(u16string& out, u16string_view s, bool attribute)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        switch (c) {
        case u'\\': out += u"\\\\"; break;
        case u'\'': out += u"\\'"; break;
        case u'\r': out += u"\\r"; break;
        case u'\n': out += u"\\n"; break;
        case 0x2028: out += u"\\u2028"; break;
        case 0x2029: out += u"\\u2029"; break;
        case u'<': out += i + 1 < s.size() && s[i + 1] == u'/' ? u"<\\" : u"<"; break;
        case u'"':
            if (attribute) {
                out += u"&quot;";
                break;
            }
            [[fallthrough]];
        default: out += c;
        }
    }
}

// The references of the ASCII range, which most addresses are made of, ready
// to copy: "&#97;" needs no division when it is looked up.
struct Reference {
    char16_t text[8];  // at most "&#127;", padded to a copy of 16 bytes
    std::size_t size;
};
constexpr auto kAsciiReferences = [] {
    std::array<Reference, 128> table{};
    for (unsigned c = 0; c < table.size(); ++c) {
        Reference& r = table[c];
        r.text[r.size++] = u'&';
        r.text[r.size++] = u'#';
        if (c >= 100)
            r.text[r.size++] = static_cast<char16_t>(u'0' + c / 100);
        if (c >= 10)
            r.text[r.size++] = static_cast<char16_t>(u'0' + c / 10 % 10);
        r.text[r.size++] = static_cast<char16_t>(u'0' + c % 10);
        r.text[r.size++] = u';';
    }
    return table;
}();

// The references are written into a small block that is appended to the
// result whenever it is nearly full: appending each reference on its own
// costs more than writing it. The block always has room for the longest
// reference ("&#1114111;", 10 units), so a whole padded table entry can be
// copied and the next reference starts where the real one ended.
void appendEncoded(u16string& out, u16string_view s)
{
    char16_t block[1024];
    std::size_t used = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (used > std::size(block) - 10) {
            out.append(block, used);
            used = 0;
        }
        char32_t cp = s[i];
        if (cp < kAsciiReferences.size()) {
            const Reference& r = kAsciiReferences[cp];
            std::memcpy(block + used, r.text, sizeof r.text);
            used += r.size;
            continue;
        }
        if (isHighSurrogate(s[i]) && i + 1 < s.size() && isLowSurrogate(s[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00);
            ++i;
        } else if (isHighSurrogate(s[i]) || isLowSurrogate(s[i])) {
            cp = 0xFFFD;
        }
        // At least 128 here, so at least three digits.
        const std::size_t digits = cp < 1000 ? 3 : cp < 10000 ? 4 : cp < 100000 ? 5 : cp < 1000000 ? 6 : 7;
        block[used++] = u'&';
        block[used++] = u'#';
        for (std::size_t d = digits; d-- > 0; cp /= 10)
            block[used + d] = static_cast<char16_t>(u'0' + cp % 10);
        used += digits;
        block[used++] = u';';
    }
    out.append(block, used);
}

} // namespace

u16string Compose(u16string_view linkText, u16string_view address, Options options)
{
    u16string out;
    if (!options.script) {
        out.reserve(address.size() + linkText.size() + 24);
        out += u"<a href=\"mailto:";
        appendAttribute(out, address);
        out += u"\">";
        out += linkText;
        out += u"</a>";
        return out;
    }
    // Room for the usual case (no escapes; references of about 4 to 8 units)
    // so that a long address is not copied while it grows.
    out.reserve(96 + linkText.size() + address.size() * (options.encode ? 8 : 1));
    out += u"<script type=\"text/javascript\">\r\n<!--\r\ndocument.write('<a href=\"ma' + 'ilto:";
    if (options.encode)
        appendEncoded(out, address);
    else
        appendScriptString(out, address, true);
    out += u"\">";
    appendScriptString(out, linkText, false);
    out += u"</a>');\r\n// -->\r\n</script>\r\n";
    return out;
}

u16string EncodeReferences(u16string_view s)
{
    u16string out;
    out.reserve(s.size() * 6);
    appendEncoded(out, s);
    return out;
}

namespace {

// A decoded attribute value, written back so that it decodes to itself.
// Control characters (CR among them, which the parser would turn into LF)
// and the quote go as references, the ampersand as &amp;.
u16string attributeMarkup(u16string_view value)
{
    u16string out;
    out.reserve(value.size() + 8);
    for (const char16_t c : value) {
        if (c == u'&')
            out += u"&amp;";
        else if (c == u'"' || c < 0x20 || c == 0x7F)
            appendEncoded(out, u16string_view(&c, 1));
        else
            out += c;
    }
    return out;
}

} // namespace

u16string HiddenAddress(u16string_view address)
{
    const std::size_t at = address.rfind(u'@');
    return u"\u2026" + u16string(address.substr(at == u16string_view::npos ? address.size() : at));
}

u16string HideText(u16string_view text)
{
    // The key comes from the text, so that a page rewritten again comes
    // out the same.
    std::uint32_t hash = 2166136261u;
    for (const char16_t c : text)
        hash = (hash ^ c) * 16777619u;
    auto key = static_cast<std::uint16_t>(hash ^ hash >> 16);
    u16string out;
    out.reserve(4 + 4 * text.size());
    auto hex = [&](std::uint16_t v) {
        for (int shift = 12; shift >= 0; shift -= 4)
            out += u"0123456789abcdef"[v >> shift & 15];
    };
    hex(key);
    for (const char16_t c : text) {
        hex(static_cast<std::uint16_t>(c ^ key));
        key = static_cast<std::uint16_t>(key * 25173u + 13849u);
    }
    return out;
}

u16string ComposeElement(const Element& e, ElementShape shape, u16string_view newline)
{
    u16string out;
    if (shape == ElementShape::references) {
        out.reserve(e.before.size() + e.after.size() + (e.scheme.size() + e.rest.size()) * 6 + 2);
        out += e.before;
        out += u'"';
        appendEncoded(out, e.scheme);
        appendEncoded(out, e.rest);
        out += u'"';
        out += e.after;
        return out;
    }
    if (shape == ElementShape::external) {
        // The attribute takes the href's place: "href", its blanks and "="
        // go, the blank before them stays.
        u16string_view before = e.before;
        auto drop = [&](auto keep) {
            while (!before.empty() && keep(before.back()))
                before.remove_suffix(1);
        };
        auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\f' || c == u'\r'; };
        drop(blank);
        if (!before.empty() && before.back() == u'=')
            before.remove_suffix(1);
        drop(blank);
        if (before.size() >= 4) {
            u16string name(before.substr(before.size() - 4));
            for (char16_t& c : name)
                c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
            if (name == u"href")
                before.remove_suffix(4);
        }
        out += before;
        out += u"data-quorvel=\"";
        out += HideText(u16string(e.scheme) + u16string(e.rest));
        for (const u16string& address : e.hidden) {
            out += u' ';
            out += HideText(address);
        }
        out += u'"';
        out += e.after;
        return out;
    }
    // Behind the second letter: "ma' + 'ilto:" as the window writes it, in
    // the page's own letter case.
    std::size_t split = 0;
    for (int letters = 0; split < e.scheme.size() && letters < 2; ++split) {
        const auto c = static_cast<char16_t>(e.scheme[split] | 0x20);
        letters += c >= u'a' && c <= u'z';
    }
    out.reserve(96 + e.before.size() + e.after.size() + e.rest.size() * (shape == ElementShape::encoded ? 8 : 1));
    out += u"<script type=\"text/javascript\">";
    out += newline;
    out += u"<!--";
    out += newline;
    out += u"document.currentScript.outerHTML = '";
    appendScriptString(out, e.before, false);
    out += u'"';
    appendScriptString(out, attributeMarkup(e.scheme.substr(0, split)), false);
    out += u"' + '";
    appendScriptString(out, attributeMarkup(e.scheme.substr(split)), false);
    if (shape == ElementShape::encoded)
        appendEncoded(out, e.rest);
    else
        appendScriptString(out, attributeMarkup(e.rest), false);
    out += u'"';
    appendScriptString(out, e.after, false);
    out += u"';";
    out += newline;
    out += u"// -->";
    out += newline;
    out += u"</script>";
    return out;
}

u16string PreviewPage(u16string_view tag)
{
    constexpr u16string_view head = u"<html>\r\n"
                                    u"<head>\r\n"
                                    u"<title>Quorvel プレビュー</title>\r\n"
                                    u"</head>\r\n"
                                    u"<body>\r\n"
                                    u"下記のように表示されます。<br><br>\r\n";
    constexpr u16string_view tail = u"\r\n</body>\r\n</html>\r\n";
    u16string out;
    out.reserve(head.size() + tag.size() + tail.size());
    out += head;
    out += tag;
    out += tail;
    return out;
}

} // namespace TagComposer
