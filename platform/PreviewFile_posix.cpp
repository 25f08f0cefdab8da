#include "platform/PreviewFile.h"

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ApiDef {
namespace {

constexpr const char* kHostUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Iconv {
public:
    Iconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// The locale the user asked for, read afresh: Qt may have moved the
// process-wide locale to C.UTF-8, but the page belongs to the user's.
class UserLocale {
public:
    UserLocale() : m_locale(newlocale(LC_ALL_MASK, "", locale_t(nullptr))) {}
    ~UserLocale()
    {
        if (m_locale)
            freelocale(m_locale);
    }
    UserLocale(const UserLocale&) = delete;
    UserLocale& operator=(const UserLocale&) = delete;

    std::string codeset() const
    {
        const char* cs = m_locale ? nl_langinfo_l(CODESET, m_locale) : nl_langinfo(CODESET);
        return cs && *cs ? cs : "UTF-8";
    }

    std::string describe(int error) const
    {
        const char* text = m_locale ? strerror_l(error, m_locale) : strerror(error);
        return text ? text : "";
    }

private:
    locale_t m_locale;
};

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Runs iconv over all of `in`, growing `out` as needed. Stops at the first
// character the target lacks and leaves `in` there.
int convert(iconv_t cd, std::u16string_view& in, std::string& out)
{
    char* src = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    std::size_t srcLeft = in.size() * sizeof(char16_t);
    int result = 0;
    while (srcLeft > 0) {
        if (out.capacity() - out.size() < 16)
            out.reserve(out.capacity() * 2 + srcLeft + 64);
        const std::size_t used = out.size();
        out.resize(out.capacity());
        char* dst = out.data() + used;
        std::size_t dstLeft = out.size() - used;
        const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.resize(out.size() - dstLeft);
        if (rc != static_cast<std::size_t>(-1))
            continue;
        if (errno == E2BIG)
            continue;
        result = errno;  // EILSEQ, or EINVAL for a surrogate cut off at the end
        break;
    }
    in = in.substr(in.size() - srcLeft / sizeof(char16_t));
    return result;
}

// `text` through an open converter, with a reference for every character
// the target lacks.
std::string narrowWith(iconv_t cd, std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 2 + 16);
    while (convert(cd, text, out) != 0) {
        // text[0] is what the target lacks: a whole character, a surrogate
        // pair, or a lone surrogate (which stands for nothing and so
        // becomes U+FFFD).
        char32_t cp = 0xFFFD;
        std::size_t units = 1;
        if (isHigh(text[0]) && text.size() > 1 && isLow(text[1])) {
            cp = 0x10000 + ((char32_t(text[0]) - 0xD800) << 10) + (char32_t(text[1]) - 0xDC00);
            units = 2;
        } else if (!isHigh(text[0]) && !isLow(text[0])) {
            cp = text[0];
        }
        text.remove_prefix(units);
        // The reference goes through the converter too, so that stateful
        // encodings (ISO-2022-JP) shift back before its ASCII bytes.
        const std::string digits = std::to_string(static_cast<unsigned long>(cp));
        std::u16string reference = u"&#";
        reference.append(digits.begin(), digits.end());
        reference += u';';
        std::u16string_view ref = reference;
        convert(cd, ref, out);
    }
    // Return a stateful encoding to its initial shift state.
    char flush[16];
    char* dst = flush;
    std::size_t dstLeft = sizeof flush;
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    out.append(flush, sizeof flush - dstLeft);
    return out;
}

std::string utf8(std::u16string_view s)
{
    return ToNarrow(s, "UTF-8");
}

std::u16string decode(const std::string& bytes, const std::string& codeset)
{
    Iconv cd(kHostUtf16, codeset.c_str());
    if (!cd.valid())
        return std::u16string(bytes.begin(), bytes.end());
    std::u16string out(bytes.size() + 1, u'\0');
    char* src = const_cast<char*>(bytes.data());
    std::size_t srcLeft = bytes.size();
    char* dst = reinterpret_cast<char*>(out.data());
    std::size_t dstLeft = out.size() * sizeof(char16_t);
    iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
    out.resize(out.size() - dstLeft / sizeof(char16_t));
    return out;
}

WriteResult failure(int error)
{
    const UserLocale locale;
    return {false, decode(locale.describe(error), locale.codeset())};
}

// Past RLIMIT_FSIZE the kernel would end the whole program with SIGXFSZ
// instead of failing the write with EFBIG; a failed write is what we can
// report to the user.
void failWritesInsteadOfDying()
{
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, nullptr);
    }
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

std::string ToNarrow(std::u16string_view text, const char* charset)
{
    Iconv cd(charset, kHostUtf16);
    return cd.valid() ? narrowWith(cd.get(), text) : std::string();
}

std::string ToLocaleNarrow(std::u16string_view text)
{
    Iconv cd(UserLocale().codeset().c_str(), kHostUtf16);
    return cd.valid() ? narrowWith(cd.get(), text) : ToNarrow(text, "UTF-8");
}

WriteResult ReplaceFileContents(std::u16string_view fileName, std::string_view bytes)
{
    failWritesInsteadOfDying();

    const std::string target = utf8(fileName);
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    // A fresh name in the same directory, so that the final rename stays on
    // one file system and swaps the whole file in at once. O_EXCL with
    // O_NOFOLLOW refuses anything planted under that name.
    std::string temp;
    int fd = -1;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "." + base + "." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            return failure(errno);
    }
    if (fd < 0)
        return failure(EEXIST);

    int error = 0;
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return failure(error);
    }
    return {true, {}};
}

WriteResult WritePreviewFile(std::u16string_view fileName, std::u16string_view text)
{
    return ReplaceFileContents(fileName, ToLocaleNarrow(text));
}

} // namespace ApiDef
