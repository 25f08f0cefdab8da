#include "PageEncoding.h"

#include "Markup.h"
#include "Text.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace Site {
namespace {

// The Encoding standard's encodings and every label that names each.
struct Named {
    const char* name;
    const char* labels;
};
constexpr Named kEncodings[] = {
    {"UTF-8", "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"},
    {"IBM866", "866 cp866 csibm866 ibm866"},
    {"ISO-8859-2", "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592 iso_8859-2 iso_8859-2:1987 l2 latin2"},
    {"ISO-8859-3", "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593 iso_8859-3 iso_8859-3:1988 l3 latin3"},
    {"ISO-8859-4", "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594 iso_8859-4 iso_8859-4:1988 l4 latin4"},
    {"ISO-8859-5", "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5 iso88595 iso_8859-5 iso_8859-5:1988"},
    {"ISO-8859-6", "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic ecma-114 iso-8859-6 iso-8859-6-e "
                   "iso-8859-6-i iso-ir-127 iso8859-6 iso88596 iso_8859-6 iso_8859-6:1987"},
    {"ISO-8859-7", "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7 iso-ir-126 iso8859-7 iso88597 "
                   "iso_8859-7 iso_8859-7:1987 sun_eu_greek"},
    {"ISO-8859-8", "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e iso-ir-138 iso8859-8 iso88598 "
                   "iso_8859-8 iso_8859-8:1988 visual"},
    {"ISO-8859-8-I", "csiso88598i iso-8859-8-i logical"},
    {"ISO-8859-10", "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910 l6 latin6"},
    {"ISO-8859-13", "iso-8859-13 iso8859-13 iso885913"},
    {"ISO-8859-14", "iso-8859-14 iso8859-14 iso885914"},
    {"ISO-8859-15", "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15 l9"},
    {"ISO-8859-16", "iso-8859-16"},
    {"KOI8-R", "cskoi8r koi koi8 koi8-r koi8_r"},
    {"KOI8-U", "koi8-ru koi8-u"},
    {"macintosh", "csmacintosh mac macintosh x-mac-roman"},
    {"windows-874", "dos-874 iso-8859-11 iso8859-11 iso885911 tis-620 windows-874"},
    {"windows-1250", "cp1250 windows-1250 x-cp1250"},
    {"windows-1251", "cp1251 windows-1251 x-cp1251"},
    {"windows-1252", "ansi_x3.4-1968 ascii cp1252 cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 iso8859-1 "
                     "iso88591 iso_8859-1 iso_8859-1:1987 l1 latin1 us-ascii windows-1252 x-cp1252"},
    {"windows-1253", "cp1253 windows-1253 x-cp1253"},
    {"windows-1254", "cp1254 csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599 iso_8859-9 iso_8859-9:1989 l5 "
                     "latin5 windows-1254 x-cp1254"},
    {"windows-1255", "cp1255 windows-1255 x-cp1255"},
    {"windows-1256", "cp1256 windows-1256 x-cp1256"},
    {"windows-1257", "cp1257 windows-1257 x-cp1257"},
    {"windows-1258", "cp1258 windows-1258 x-cp1258"},
    {"x-mac-cyrillic", "x-mac-cyrillic x-mac-ukrainian"},
    {"GBK", "chinese csgb2312 csiso58gb231280 gb2312 gb_2312 gb_2312-80 gbk iso-ir-58 x-gbk"},
    {"gb18030", "gb18030"},
    {"Big5", "big5 big5-hkscs cn-big5 csbig5 x-x-big5"},
    {"EUC-JP", "cseucpkdfmtjapanese euc-jp x-euc-jp"},
    {"ISO-2022-JP", "csiso2022jp iso-2022-jp"},
    {"Shift_JIS", "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"},
    {"EUC-KR", "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 ksc_5601 "
               "windows-949"},
    {"replacement", "csiso2022kr hz-gb-2312 iso-2022-cn iso-2022-cn-ext iso-2022-kr"},
    {"UTF-16BE", "unicodefffe utf-16be"},
    {"UTF-16LE", "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16 utf-16le"},
    {"x-user-defined", "x-user-defined"},
};

bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// What the prescan reads: every name and value in ASCII lower case.
struct Attribute {
    std::string name, value;
};
enum class Got { attribute, none, end };

// The standard's "get an attribute", from `p`.
Got getAttribute(std::string_view s, std::size_t& p, Attribute& a)
{
    a.name.clear();
    a.value.clear();
    while (p < s.size() && (Space(s[p]) || s[p] == '/'))
        ++p;
    if (p >= s.size())
        return Got::end;
    if (s[p] == '>')
        return Got::none;
    for (;; ++p) {
        if (p >= s.size())
            return Got::end;
        const char c = s[p];
        if (c == '=' && !a.name.empty()) {
            ++p;
            break;
        }
        if (Space(c)) {
            while (p < s.size() && Space(s[p]))
                ++p;
            if (p >= s.size())
                return Got::end;
            if (s[p] != '=')
                return Got::attribute;
            ++p;
            break;
        }
        if (c == '/' || c == '>')
            return Got::attribute;
        a.name += Lower(c);
    }
    while (p < s.size() && Space(s[p]))
        ++p;
    if (p >= s.size())
        return Got::end;
    if (s[p] == '"' || s[p] == '\'') {
        const char quote = s[p];
        for (++p;; ++p) {
            if (p >= s.size())
                return Got::end;
            if (s[p] == quote) {
                ++p;
                return Got::attribute;
            }
            a.value += Lower(s[p]);
        }
    }
    if (s[p] == '>')
        return Got::attribute;
    for (;; ++p) {
        if (p >= s.size())
            return Got::end;
        if (Space(s[p]) || s[p] == '>')
            return Got::attribute;
        a.value += Lower(s[p]);
    }
}

// The standard's "extracting a character encoding from a meta element",
// on the content attribute's value.
std::string encodingFromContent(std::string_view s)
{
    for (std::size_t p = 0;;) {
        const std::size_t at = s.find("charset", p);
        if (at == std::string_view::npos)
            return {};
        p = at + 7;
        while (p < s.size() && Space(s[p]))
            ++p;
        if (p >= s.size() || s[p] != '=')
            continue;
        ++p;
        while (p < s.size() && Space(s[p]))
            ++p;
        if (p >= s.size())
            return {};
        if (s[p] == '"' || s[p] == '\'') {
            const std::size_t close = s.find(s[p], p + 1);
            if (close == std::string_view::npos)
                return {};
            return EncodingOfLabel(s.substr(p + 1, close - p - 1));
        }
        std::size_t e = p;
        while (e < s.size() && !Space(s[e]) && s[e] != ';')
            ++e;
        return EncodingOfLabel(s.substr(p, e - p));
    }
}

// The standard's "get an XML encoding", for a page that starts "<?xml".
std::string xmlEncoding(std::string_view s)
{
    if (s.substr(0, 5) != "<?xml")
        return {};
    const std::size_t end = s.find('>');
    std::size_t p = s.find("encoding");
    if (end == std::string_view::npos || p == std::string_view::npos || p > end)
        return {};
    p += 8;
    while (p < s.size() && static_cast<unsigned char>(s[p]) <= 0x20)
        ++p;
    if (p >= s.size() || s[p] != '=')
        return {};
    ++p;
    while (p < s.size() && static_cast<unsigned char>(s[p]) <= 0x20)
        ++p;
    if (p >= s.size() || (s[p] != '"' && s[p] != '\''))
        return {};
    const std::size_t close = s.find(s[p], p + 1);
    if (close == std::string_view::npos)
        return {};
    const std::string_view label = s.substr(p + 1, close - p - 1);
    for (const char c : label)
        if (static_cast<unsigned char>(c) <= 0x20)
            return {};
    std::string encoding = EncodingOfLabel(label);
    return encoding == "UTF-16LE" || encoding == "UTF-16BE" ? "UTF-8" : encoding;
}

// The <meta> at `p` (just past "<meta" and the byte after it): its
// encoding when it declares one, else empty. `end` is set when the page
// ends inside it.
std::string metaEncoding(std::string_view s, std::size_t& p, bool& end)
{
    std::vector<std::string> seen;
    bool gotPragma = false;
    int needPragma = -1;  // not known yet
    bool haveCharset = false;
    std::string charset;  // empty with haveCharset: a label the standard does not know
    Attribute a;
    for (;;) {
        const Got got = getAttribute(s, p, a);
        if (got == Got::end) {
            end = true;
            return {};
        }
        if (got == Got::none)
            break;
        if (std::find(seen.begin(), seen.end(), a.name) != seen.end())
            continue;
        seen.push_back(a.name);
        if (a.name == "http-equiv") {
            gotPragma = gotPragma || a.value == "content-type";
        } else if (a.name == "content") {
            if (!haveCharset) {
                if (std::string e = encodingFromContent(a.value); !e.empty()) {
                    charset = std::move(e);
                    haveCharset = true;
                    needPragma = 1;
                }
            }
        } else if (a.name == "charset") {
            charset = EncodingOfLabel(a.value);
            haveCharset = true;
            needPragma = 0;
        }
    }
    if (needPragma < 0 || (needPragma == 1 && !gotPragma) || charset.empty())
        return {};
    if (charset == "UTF-16LE" || charset == "UTF-16BE")
        return "UTF-8";
    if (charset == "x-user-defined")
        return "windows-1252";
    return charset;
}

} // namespace

std::string EncodingOfLabel(std::string_view label)
{
    static const auto* table = [] {
        auto* map = new std::unordered_map<std::string, const char*>;
        for (const Named& e : kEncodings)
            for (const char* l = e.labels; *l;) {
                const std::size_t n = std::strcspn(l, " ");
                map->emplace(std::string(l, n), e.name);
                l += n + (l[n] == ' ');
            }
        return map;
    }();
    while (!label.empty() && Space(label.front()))
        label.remove_prefix(1);
    while (!label.empty() && Space(label.back()))
        label.remove_suffix(1);
    std::string key(label);
    for (char& c : key)
        c = Lower(c);
    const auto it = table->find(key);
    return it == table->end() ? std::string() : std::string(it->second);
}

std::string PrescanEncoding(std::string_view s)
{
    if (s.substr(0, 6) == std::string_view("<\0?\0x\0", 6))
        return "UTF-16LE";
    if (s.substr(0, 6) == std::string_view("\0<\0?\0x", 6))
        return "UTF-16BE";
    // The standard lets a reader stop where scanning on stops paying; this
    // one has the whole page, and a browser that meets a later <meta> while
    // it parses changes to its encoding all the same.
    for (std::size_t p = s.find('<'); p < s.size(); p = s.find('<', p + 1)) {
        const std::string_view rest = s.substr(p);
        if (rest.substr(0, 4) == "<!--") {
            const std::size_t close = s.find("-->", p + 2);
            if (close == std::string_view::npos)
                break;
            p = close + 2;
        } else if (rest.size() > 5 && FindNoCase(rest.substr(0, 5), "<meta") == 0 &&
                   (Space(rest[5]) || rest[5] == '/')) {
            p += 6;
            bool end = false;
            std::string found = metaEncoding(s, p, end);
            if (end)
                break;
            if (!found.empty())
                return found;
        } else if (rest.size() > 1 && (letter(rest[1]) || (rest[1] == '/' && rest.size() > 2 && letter(rest[2])))) {
            while (p < s.size() && !Space(s[p]) && s[p] != '>')
                ++p;
            Attribute a;
            Got got;
            while ((got = getAttribute(s, p, a)) == Got::attribute) {
            }
            if (got == Got::end)
                break;
        } else if (rest.substr(0, 2) == "<!" || rest.substr(0, 2) == "</" || rest.substr(0, 2) == "<?") {
            p = s.find('>', p + 1);
            if (p == std::string_view::npos)
                break;
        }
    }
    return xmlEncoding(s);
}

// Encodings in which a byte below 0x80 is always that ASCII character, never
// part of another: the single-byte ones and EUC. (Shift_JIS, Big5 and GBK
// take ASCII letters and "@" as second bytes.)
bool asciiSafe(const std::string& encoding)
{
    return encoding.rfind("ISO-8859-", 0) == 0 || encoding.rfind("windows-", 0) == 0 ||
           encoding.rfind("KOI8-", 0) == 0 || encoding == "IBM866" || encoding == "macintosh" ||
           encoding == "x-mac-cyrillic" || encoding == "EUC-JP" || encoding == "EUC-KR";
}

PageEncoding ReadEncoding(std::string_view page)
{
    using V = PageEncoding::Verdict;
    if (page.substr(0, 3) == "\xEF\xBB\xBF")
        return {IsUtf8(page) ? V::utf8 : V::bytes, {}};
    if (page.substr(0, 2) == "\xFF\xFE" || page.substr(0, 2) == "\xFE\xFF")
        return {V::other, "it is UTF-16, by its byte-order mark", false};
    const std::string declared = PrescanEncoding(page);
    if (declared.empty() || declared == "UTF-8") {
        // Markup is ASCII: an ASCII page reads the same in whatever a
        // browser without a declaration falls back on.
        if (IsAscii(page))
            return {V::ascii, {}};
        if (IsUtf8(page))
            return {V::utf8, {}};
        // Without a declaration a browser guesses, perhaps Shift_JIS.
        return declared.empty() ? PageEncoding{V::other, "its bytes are not valid UTF-8"} : PageEncoding{V::bytes, {}};
    }
    // Every other encoding but these reads ASCII bytes as ASCII; ISO-2022-JP
    // does until an escape byte switches it.
    const bool readsAscii = declared != "UTF-16LE" && declared != "UTF-16BE" && declared != "replacement" &&
                            (declared != "ISO-2022-JP" || page.find('\x1B') == std::string_view::npos);
    if (readsAscii && IsAscii(page))
        return {V::ascii, {}};
    if (asciiSafe(declared))
        return {V::bytes, {}};
    return {V::other, "it declares charset " + declared, readsAscii};
}

} // namespace Site
