#include "TagComposer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Users paste whole pages into the fields, so every shape is built in two
// passes: measure exactly, then write once into a buffer of that size. No
// append ever reallocates.

namespace TagComposer {
namespace {

using std::u16string_view;

constexpr u16string_view kPlainOpen = u"<a href=\"mailto:";
constexpr u16string_view kHrefClose = u"\">";
constexpr u16string_view kAnchorClose = u"</a>";
constexpr u16string_view kScriptLine1 = u"<script type=\"text/javascript\">\r\n";
constexpr u16string_view kScriptLine2 = u"<!--\r\n";
constexpr u16string_view kWriteOpen = u"document.write('<a href=\"ma' + 'ilto:";
constexpr u16string_view kWriteClose = u"</a>');\r\n";
constexpr u16string_view kScriptTail = u"// -->\r\n</script>\r\n";

constexpr char16_t kReplacementCharacter = 0xFFFD;

u16string_view view(QStringView s)
{
    return {reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size())};
}

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// --- escaping -------------------------------------------------------------

// What stands in place of s[i], or an empty view when it passes unchanged.
// A policy sees the next character too, for the two-character "</".
struct AttributeEscape {
    static u16string_view at(u16string_view s, std::size_t i)
    {
        return s[i] == u'"' ? u"&quot;" : u16string_view{};
    }
};

// Inside document.write('...'): the string must stay one valid JavaScript
// literal and must not contain "</", which would end the script element in
// the HTML parser before JavaScript ever sees the string.
struct ScriptStringEscape {
    static u16string_view at(u16string_view s, std::size_t i)
    {
        switch (s[i]) {
        case u'\\': return u"\\\\";
        case u'\'': return u"\\'";
        case u'\r': return u"\\r";
        case u'\n': return u"\\n";
        case 0x2028: return u"\\u2028";
        case 0x2029: return u"\\u2029";
        case u'<':
            // Emit "<\"; the '/' that follows is then copied as it is.
            if (i + 1 < s.size() && s[i + 1] == u'/')
                return u"<\\";
            return {};
        default: return {};
        }
    }
};

// A plain address inside the script string: attribute-safe first, then
// string-safe. "&quot;" holds nothing the string escape would touch.
struct ScriptAddressEscape {
    static u16string_view at(u16string_view s, std::size_t i)
    {
        if (s[i] == u'"')
            return u"&quot;";
        return ScriptStringEscape::at(s, i);
    }
};

template <typename Policy>
std::size_t escapedLength(u16string_view s)
{
    std::size_t n = s.size();
    for (std::size_t i = 0; i < s.size(); ++i) {
        const u16string_view r = Policy::at(s, i);
        if (!r.empty())
            n += r.size() - 1;
    }
    return n;
}

// --- numeric character references -----------------------------------------

std::size_t decimalDigits(char32_t c)
{
    if (c < 10) return 1;
    if (c < 100) return 2;
    if (c < 1000) return 3;
    if (c < 10000) return 4;
    if (c < 100000) return 5;
    if (c < 1000000) return 6;
    return 7;
}

// References of the ASCII range, padded to a fixed width so that writing one
// is a single fixed-size copy.
struct AsciiReference {
    char16_t text[8];
    std::size_t size;
};

constexpr std::array<AsciiReference, 128> kAsciiReferences = [] {
    std::array<AsciiReference, 128> table{};
    for (std::size_t c = 0; c < table.size(); ++c) {
        AsciiReference& r = table[c];
        std::size_t n = 0;
        r.text[n++] = u'&';
        r.text[n++] = u'#';
        if (c >= 100)
            r.text[n++] = static_cast<char16_t>(u'0' + c / 100);
        if (c >= 10)
            r.text[n++] = static_cast<char16_t>(u'0' + c / 10 % 10);
        r.text[n++] = static_cast<char16_t>(u'0' + c % 10);
        r.text[n++] = u';';
        r.size = n;
    }
    return table;
}();

// The code point starting at s[i] and how many code units it takes.
char32_t codePointAt(u16string_view s, std::size_t i, std::size_t& units)
{
    const char16_t c = s[i];
    units = 1;
    if (isHighSurrogate(c)) {
        if (i + 1 < s.size() && isLowSurrogate(s[i + 1])) {
            units = 2;
            return 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00);
        }
        return kReplacementCharacter;
    }
    if (isLowSurrogate(c))
        return kReplacementCharacter;
    return c;
}

// The length a code unit's reference would take if every unit stood alone:
// "&#", one to five digits, ";". Exact for every unit but surrogates; a
// branch-free sum of it vectorises, which matters because measuring would
// otherwise cost as much as writing.
constexpr std::size_t unitReferenceLength(char16_t c)
{
    return 4u + (c >= 10) + (c >= 100) + (c >= 1000) + (c >= 10000);
}

// A valid pair starting in s[from, to) was counted as two units of 8; it is
// one reference to an astral code point. Lone surrogates become U+FFFD
// ("&#65533;", 8) and need no correction. `n` already holds the pair's 16.
void correctForPairs(u16string_view s, std::size_t from, std::size_t to, std::size_t& n)
{
    for (std::size_t i = from; i < to; ++i) {
        if (isHighSurrogate(s[i]) && i + 1 < s.size() && isLowSurrogate(s[i + 1])) {
            std::size_t units = 0;
            n = n - 16 + 3 + decimalDigits(codePointAt(s, i, units));
        }
    }
}

std::size_t encodedLength(u16string_view s)
{
    // Blocks of a fixed size, so that the compiler vectorises the inner loop
    // at -O2; 64 units of at most 8 each fit the 16-bit sums.
    constexpr std::size_t kBlock = 64;
    const char16_t* p = s.data();
    std::size_t n = 0;
    std::size_t i = 0;
    for (; i + kBlock <= s.size(); i += kBlock) {
        std::uint16_t sum = 0;
        std::uint16_t high = 0;
        for (std::size_t j = 0; j < kBlock; ++j) {
            const char16_t c = p[i + j];
            sum = static_cast<std::uint16_t>(sum + unitReferenceLength(c));
            high = static_cast<std::uint16_t>(high + ((c & 0xFC00) == 0xD800));
        }
        n += sum;
        if (high != 0)
            correctForPairs(s, i, i + kBlock, n);
    }
    for (std::size_t j = i; j < s.size(); ++j)
        n += unitReferenceLength(p[j]);
    correctForPairs(s, i, s.size(), n);
    return n;
}

// --- the writer -------------------------------------------------------------

class Writer {
public:
    explicit Writer(char16_t* out) : m_out(out) {}

    void put(u16string_view s)
    {
        std::memcpy(m_out, s.data(), s.size() * sizeof(char16_t));
        m_out += s.size();
    }

    template <typename Policy>
    void putEscaped(u16string_view s)
    {
        std::size_t run = 0;  // start of the pending unchanged run
        for (std::size_t i = 0; i < s.size(); ++i) {
            const u16string_view r = Policy::at(s, i);
            if (r.empty())
                continue;
            put(s.substr(run, i - run));
            put(r);
            run = i + 1;
        }
        put(s.substr(run));
    }

    // Needs 8 writable units past the end of the references: the fixed-size
    // copy of an ASCII reference may overshoot its own length. Callers write
    // the references before a tail at least that long.
    void putEncoded(u16string_view s)
    {
        for (std::size_t i = 0; i < s.size();) {
            const char16_t c = s[i];
            if (c < 0x80) {
                const AsciiReference& r = kAsciiReferences[c];
                std::memcpy(m_out, r.text, sizeof r.text);
                m_out += r.size;
                ++i;
                continue;
            }
            std::size_t units = 0;
            char32_t cp = codePointAt(s, i, units);
            i += units;
            const std::size_t digits = decimalDigits(cp);
            *m_out++ = u'&';
            *m_out++ = u'#';
            for (std::size_t d = digits; d-- > 0;) {
                m_out[d] = static_cast<char16_t>(u'0' + cp % 10);
                cp /= 10;
            }
            m_out += digits;
            *m_out++ = u';';
        }
    }

    char16_t* position() const { return m_out; }

private:
    char16_t* m_out;
};

constexpr std::size_t kOvershoot = sizeof(AsciiReference::text) / sizeof(char16_t);
static_assert(kHrefClose.size() + kWriteClose.size() + kScriptTail.size() >= kOvershoot,
              "the tail after the encoded address must absorb the fixed-size copies");

QString allocate(std::size_t size)
{
    return QString(static_cast<qsizetype>(size), Qt::Uninitialized);
}

char16_t* begin(QString& s)
{
    return reinterpret_cast<char16_t*>(s.data());
}

QString composePlain(u16string_view text, u16string_view address)
{
    const std::size_t size = kPlainOpen.size() + escapedLength<AttributeEscape>(address)
        + kHrefClose.size() + text.size() + kAnchorClose.size();
    QString result = allocate(size);
    Writer w(begin(result));
    w.put(kPlainOpen);
    w.putEscaped<AttributeEscape>(address);
    w.put(kHrefClose);
    w.put(text);
    w.put(kAnchorClose);
    Q_ASSERT(w.position() == begin(result) + size);
    return result;
}

QString composeScript(u16string_view text, u16string_view address, bool encode)
{
    const std::size_t addressSize =
        encode ? encodedLength(address) : escapedLength<ScriptAddressEscape>(address);
    const std::size_t size = kScriptLine1.size() + kScriptLine2.size() + kWriteOpen.size()
        + addressSize + kHrefClose.size() + escapedLength<ScriptStringEscape>(text)
        + kWriteClose.size() + kScriptTail.size();
    QString result = allocate(size);
    Writer w(begin(result));
    w.put(kScriptLine1);
    w.put(kScriptLine2);
    w.put(kWriteOpen);
    if (encode)
        w.putEncoded(address);
    else
        w.putEscaped<ScriptAddressEscape>(address);
    w.put(kHrefClose);
    w.putEscaped<ScriptStringEscape>(text);
    w.put(kWriteClose);
    w.put(kScriptTail);
    Q_ASSERT(w.position() == begin(result) + size);
    return result;
}

} // namespace

QString Compose(QStringView linkText, QStringView address, Options options)
{
    if (!options.script)
        return composePlain(view(linkText), view(address));
    return composeScript(view(linkText), view(address), options.encode);
}

QString EncodeAddress(QStringView address)
{
    const u16string_view a = view(address);
    const std::size_t size = encodedLength(a);
    QString result = allocate(size + kOvershoot);
    Writer w(begin(result));
    w.putEncoded(a);
    result.truncate(static_cast<qsizetype>(size));
    return result;
}

QString PreviewPage(QStringView tag)
{
    static constexpr u16string_view head =
        u"<html>\r\n"
        u"<head>\r\n"
        u"<title>Quorvel プレビュー</title>\r\n"
        u"</head>\r\n"
        u"<body>\r\n"
        u"下記のように表示されます。<br><br>\r\n";
    static constexpr u16string_view tail =
        u"\r\n"
        u"</body>\r\n"
        u"</html>\r\n";
    const u16string_view t = view(tag);
    QString result = allocate(head.size() + t.size() + tail.size());
    Writer w(begin(result));
    w.put(head);
    w.put(t);
    w.put(tail);
    return result;
}

} // namespace TagComposer
