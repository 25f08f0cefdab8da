#include "platform/PreviewFile.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

// Runs iconv over all of `in`, growing `out` as needed. Returns false at a
// character the target lacks.
bool convert(iconv_t cd, std::u16string_view in, std::string& out)
{
    char* src = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    std::size_t srcLeft = in.size() * sizeof(char16_t);
    while (srcLeft > 0) {
        if (out.capacity() - out.size() < 16)
            out.reserve(out.capacity() * 2 + srcLeft + 64);
        const std::size_t used = out.size();
        out.resize(out.capacity());
        char* dst = out.data() + used;
        std::size_t dstLeft = out.size() - used;
        const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.resize(out.size() - dstLeft);
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG)
            return false;
    }
    return true;
}

// Returns a stateful encoding (ISO-2022-JP) to its initial shift state.
void finish(iconv_t cd, std::string& out)
{
    char flush[16];
    char* dst = flush;
    std::size_t dstLeft = sizeof flush;
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    out.append(flush, sizeof flush - dstLeft);
}

// Whether one character comes back unchanged when its bytes are read again.
// iconv happily maps some characters to a neighbour without an error: the
// yen sign to 0x5C, which a reader of CP932 or EUC-JP takes for a backslash
// (inside the page's script that starts an escape), the overline to a
// tilde, or the cent sign to the full-width cent. Only reading the bytes back
// tells such a swap from a faithful one, whatever the encoding.
bool roundTrips(iconv_t to, iconv_t from, std::u16string_view character)
{
    iconv(to, nullptr, nullptr, nullptr, nullptr);
    iconv(from, nullptr, nullptr, nullptr, nullptr);
    std::string bytes;
    if (!convert(to, character, bytes))
        return false;
    finish(to, bytes);
    char16_t back[8];
    char* src = bytes.data();
    std::size_t srcLeft = bytes.size();
    char* dst = reinterpret_cast<char*>(back);
    std::size_t dstLeft = sizeof back;
    if (iconv(from, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
        return false;
    const std::size_t units = (sizeof back - dstLeft) / sizeof(char16_t);
    return std::u16string_view(back, units) == character;
}

// `text` in `charset`, with a reference (&#N;) for every character the
// encoding lacks or does not give back unchanged. Nothing when iconv does
// not know the charset.
std::optional<std::string> narrow(std::u16string_view text, const char* charset)
{
    Iconv to(charset, kHostUtf16);
    Iconv from(kHostUtf16, charset);
    if (!to.valid() || !from.valid())
        return std::nullopt;
    // A character's verdict depends only on the character: asked once per
    // character of the BMP, a page of references costs a lookup a character.
    enum : unsigned char { kUnknown, kKept, kReferenced };
    std::vector<unsigned char> verdicts(0x10000, kUnknown);
    std::u16string kept;
    kept.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size();) {
        // A whole character: a surrogate pair, or a lone surrogate, which
        // stands for nothing and so becomes U+FFFD.
        std::size_t units = 1;
        char32_t cp = text[i];
        if (isHigh(text[i]) && i + 1 < text.size() && isLow(text[i + 1])) {
            cp = 0x10000 + ((char32_t(text[i]) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
            units = 2;
        } else if (isHigh(text[i]) || isLow(text[i])) {
            cp = 0xFFFD;
        }
        const std::u16string_view character = text.substr(i, units);
        i += units;
        // (A lone surrogate never converts, so it is never kept.)
        unsigned char* verdict = units == 1 ? &verdicts[text[i - 1]] : nullptr;
        if (verdict && *verdict == kUnknown)
            *verdict = roundTrips(to.get(), from.get(), character) ? kKept : kReferenced;
        if (verdict ? *verdict == kKept : roundTrips(to.get(), from.get(), character)) {
            kept += character;
            continue;
        }
        const std::string digits = std::to_string(static_cast<unsigned long>(cp));
        kept += u"&#";
        kept.append(digits.begin(), digits.end());
        kept += u';';
    }
    // Every piece now converts on its own; one pass keeps a stateful
    // encoding's shifts to where they are needed.
    iconv(to.get(), nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(kept.size() + kept.size() / 2 + 16);
    convert(to.get(), kept, out);
    finish(to.get(), out);
    return out;
}

// The encoding a browser reads the page in, for the locale's codeset. A page
// without a charset that looks like Shift_JIS is read as Windows-31J (CP932),
// where 0x5C is the backslash; glibc's SHIFT_JIS would both write the yen
// sign as 0x5C and read it back as the yen sign, so it could not see the
// swap.
std::string pageCharset(std::string codeset)
{
    for (char& c : codeset)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    // Every Shift_JIS codeset, SHIFT_JISX0213 included, which writes the yen
    // sign as 0x5C just the same.
    if (codeset.rfind("SHIFT", 0) == 0 || codeset.rfind("SJIS", 0) == 0 || codeset == "MS_KANJI")
        return "CP932";
    return codeset;
}

std::string utf8(std::u16string_view s)
{
    return narrow(s, "UTF-8").value_or(std::string());
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

// When no file can be created beside the page (a directory the user may not
// write to) but the page itself may be written, writing over it is what
// the user asked for. It keeps the page's mode and hard links; a failed
// write can leave it half new, which is why this is only the fallback.
WriteResult rewriteInPlace(const std::string& target, std::string_view bytes, int tempError)
{
    // O_NOFOLLOW: a link planted since the check is refused, never written
    // through. O_NONBLOCK: a FIFO under that name fails instead of hanging.
    const int fd = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return failure(tempError);
    }
    int error = 0;
    if (!writeAll(fd, bytes) || ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error == 0 ? WriteResult{true, {}} : failure(error);
}

} // namespace

std::string ToNarrow(std::u16string_view text, const char* charset)
{
    return narrow(text, charset).value_or(std::string());
}

std::string ToLocaleNarrow(std::u16string_view text)
{
    if (auto page = narrow(text, pageCharset(UserLocale().codeset()).c_str()))
        return std::move(*page);
    // A codeset iconv does not know: UTF-8 at least keeps every character.
    return utf8(text);
}

WriteResult ReplaceFileContents(std::u16string_view fileName, std::string_view bytes)
{
    return ReplaceFileContents(utf8(fileName), bytes);
}

namespace {

constexpr const char* kTaken = "another file took its name while it was rewritten";

WriteResult failure(const std::string& what, int error)
{
    WriteResult r = failure(error);
    r.reason = decode(what, "UTF-8") + r.reason;
    return r;
}

bool sameFile(const std::string& target, const FileIdentity& expected)
{
    struct stat page {};
    return ::lstat(target.c_str(), &page) == 0 && S_ISREG(page.st_mode) && page.st_dev == expected.device &&
           page.st_ino == expected.inode;
}

// `whole`: the site's rewrite, which keeps the owner and never falls back
// on writing in place, and leaves the new file beside the old one in
// `prepared`, its bytes not yet synced, for CommitReplacements.
WriteResult replace(const std::string& target, std::string_view bytes, const FileIdentity* whole,
                    PreparedReplacement* prepared = nullptr)
{
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    // The page itself, not what a link planted under its name points to.
    struct stat page {};
    const bool regular = ::lstat(target.c_str(), &page) == 0 && S_ISREG(page.st_mode);
    if (whole && (!regular || page.st_dev != whole->device || page.st_ino != whole->inode))
        return {false, decode(kTaken, "UTF-8")};

    // A fresh name in the same directory, so that the final rename stays on
    // one file system and swaps the whole file in at once. O_EXCL with
    // O_NOFOLLOW refuses anything planted under that name.
    std::string temp;
    int fd = -1;
    int error = EEXIST;
    // quorvel-site replaces pages from several threads at once.
    static std::atomic<unsigned> counter = 0;
    for (int attempt = 0; attempt < 100 && fd < 0 && error == EEXIST; ++attempt) {
        temp = dir + "." + base + "." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0)
            error = errno;
    }
    if (fd < 0 && whole)
        return failure("no temporary file can be made beside it, and it is not written in place: ", error);
    if (fd < 0)
        return regular ? rewriteInPlace(target, bytes, error) : failure(error);

    // The user may have made the page private (600); a new file would get
    // the umask's mode instead. A file system without modes (FAT) refuses
    // this, which is no reason to refuse the page.
    if (regular)
        ::fchmod(fd, page.st_mode & 0777);
    error = 0;
    if (!writeAll(fd, bytes) || (!prepared && ::fsync(fd) != 0))
        error = errno;
    // The owner and group last, once the bytes are in: from then on the
    // file is theirs, and so it is after the rename. fchown works on the
    // file itself, never on a name they could swap.
    struct stat made {};
    if (error == 0 && whole && ::fstat(fd, &made) == 0 && (made.st_uid != page.st_uid || made.st_gid != page.st_gid)) {
        if (::fchown(fd, page.st_uid, page.st_gid) != 0) {
            const int chownError = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return failure("its owner and group (" + std::to_string(page.st_uid) + ":" + std::to_string(page.st_gid) +
                               ") cannot be kept: ",
                           chownError);
        }
        // A change of owner clears the set-id bits, never the others; ask
        // again for the mode all the same.
        ::fchmod(fd, page.st_mode & 0777);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && prepared) {
        *prepared = {temp, target, *whole};
        return {true, {}};
    }
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return failure(error);
    }
    return {true, {}};
}

} // namespace

WriteResult ReplaceFileContents(const std::string& target, std::string_view bytes)
{
    return replace(target, bytes, nullptr);
}

WriteResult PrepareReplacement(const std::string& target, std::string_view bytes, FileIdentity expected,
                               PreparedReplacement& prepared)
{
    return replace(target, bytes, &expected, &prepared);
}

std::vector<WriteResult> CommitReplacements(const std::vector<PreparedReplacement>& files)
{
    std::vector<WriteResult> results(files.size(), WriteResult{true, {}});
    // One sync of each file system for all the new files on it: a sync of
    // each file of a site waits for the disk thousands of times.
    std::vector<std::pair<dev_t, int>> synced;  // device, error
    for (std::size_t i = 0; i < files.size(); ++i) {
        const int fd = ::open(files[i].temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info {};
        int error = fd < 0 || ::fstat(fd, &info) != 0 ? errno : 0;
        if (error == 0) {
#ifdef __linux__
            auto done = std::find_if(synced.begin(), synced.end(), [&](const auto& d) { return d.first == info.st_dev; });
            if (done == synced.end()) {
                synced.emplace_back(info.st_dev, ::syncfs(fd) != 0 ? errno : 0);
                done = synced.end() - 1;
            }
            error = done->second;
#else
            error = ::fsync(fd) != 0 ? errno : 0;
#endif
        }
        if (fd >= 0)
            ::close(fd);
        if (error != 0)
            results[i] = failure(error);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const PreparedReplacement& f = files[i];
        // Another program may have replaced the page while this one waited.
        if (results[i].ok && !sameFile(f.target, f.expected))
            results[i] = {false, decode(kTaken, "UTF-8")};
        if (results[i].ok && ::rename(f.temp.c_str(), f.target.c_str()) != 0)
            results[i] = failure(errno);
        if (!results[i].ok)
            ::unlink(f.temp.c_str());
    }
    return results;
}

WriteResult WritePreviewFile(std::u16string_view fileName, std::u16string_view text)
{
    return ReplaceFileContents(fileName, ToLocaleNarrow(text));
}

} // namespace ApiDef
