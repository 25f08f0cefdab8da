#include "SiteFiles.h"

#include "LinkScript.h"
#include "ScanLinkFinder.h"
#include "Text.h"
#include "platform/PreviewFile.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Site {
namespace {

namespace fs = std::filesystem;

bool isPageName(const fs::path& p)
{
    std::string ext = p.extension().string();
    for (char& c : ext)
        c = Lower(c);
    return ext == ".html" || ext == ".htm";
}

std::optional<SiteFile> siteFile(const fs::path& p)
{
    if (isPageName(p))
        return SiteFile{p.string(), true, TextFormat::plain};
    TextFormat format;
    if (TextFormatOf(p.filename().string(), format))
        return SiteFile{p.string(), false, format};
    return std::nullopt;
}

// Every file below `dir`, symbolic links not followed, each directory once.
// A directory that cannot be read is reported and the walk goes on past
// it, so that one private folder does not leave the rest of the site
// unprotected.
void walk(const fs::path& dir, std::set<std::pair<dev_t, ino_t>>& seen, std::vector<SiteFile>& found,
          std::vector<std::string>& errors, unsigned depth = 0)
{
    struct stat info {};
    const bool known = ::stat(dir.c_str(), &info) == 0;
    if (known && !seen.insert({info.st_dev, info.st_ino}).second)
        return;
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code statusError;
        const fs::file_status s = it->symlink_status(statusError);
        if (statusError)
            errors.push_back(it->path().string() + ": " + statusError.message());
        else if (fs::is_directory(s))
            walk(it->path(), seen, found, errors, depth + 1);
        else if (fs::is_regular_file(s) || fs::is_symlink(s))
            if (auto f = siteFile(it->path())) {
                if (known)
                    f->directory[0] = info.st_dev, f->directory[1] = info.st_ino;
                f->depth = depth;
                found.push_back(std::move(*f));
            }
    }
    if (ec)
        errors.push_back(dir.string() + ": " + ec.message());
}

enum class Read { ok, symlink, notRegular, tooLarge, error };

// A file's bytes, read without first filling the buffer with zeros: a page
// is read once and parsed once, and the zeros cost as much as the read.
struct Bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};

Read readWhole(const std::string& path, Bytes& out, struct stat& info, int& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return error == ELOOP ? Read::symlink : Read::error;
    }
    Read result = Read::ok;
    if (::fstat(fd, &info) != 0) {
        error = errno;
        result = Read::error;
    } else if (!S_ISREG(info.st_mode)) {
        result = Read::notRegular;
    } else if (static_cast<std::size_t>(info.st_size) > kMaxFileBytes) {
        result = Read::tooLarge;
    } else {
        try {
            std::size_t capacity = static_cast<std::size_t>(info.st_size) + 1;
            out.data.reset(new char[capacity]);
            for (;;) {
                if (out.size == capacity) {
                    // It grew since fstat.
                    if (capacity > kMaxFileBytes) {
                        result = Read::tooLarge;
                        break;
                    }
                    std::unique_ptr<char[]> larger(new char[capacity * 2]);
                    std::memcpy(larger.get(), out.data.get(), out.size);
                    out.data = std::move(larger);
                    capacity *= 2;
                }
                const ssize_t n = ::read(fd, out.data.get() + out.size, capacity - out.size);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    error = errno;
                    result = Read::error;
                    break;
                }
                if (n == 0)
                    break;
                out.size += static_cast<std::size_t>(n);
            }
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
            result = Read::error;
        }
    }
    ::close(fd);
    return result;
}

// A changed file's new bytes, written beside it, to be put in its place
// with others at once.
struct Prepared {
    ApiDef::PreparedReplacement file;
    std::size_t bytes = 0;
};

FileReport processFile(const SiteFile& file, const SiteOptions& options, LinkFinder& finder,
                       std::optional<Prepared>& prepared)
{
    FileReport r;
    auto skip = [&](FileReport::Outcome o, std::string why) {
        r.outcome = o;
        r.why = std::move(why);
        return r;
    };
    Bytes read;
    struct stat info {};
    int error = 0;
    switch (readWhole(file.path, read, info, error)) {
    case Read::ok:
        break;
    case Read::symlink:
        return skip(FileReport::Outcome::symlink, "a symbolic link, not followed");
    case Read::notRegular:
        return skip(FileReport::Outcome::skipped, "not a regular file");
    case Read::tooLarge:
        return skip(FileReport::Outcome::skipped, "too large (" + std::to_string(info.st_size) + " bytes; at most " +
                                                      std::to_string(kMaxFileBytes) + ")");
    case Read::error:
        return skip(FileReport::Outcome::skipped, std::string("cannot be read: ") + std::strerror(error));
    }
    const std::string_view bytes = read.view();
    std::string out;
    if (file.page) {
        RewriteOptions pageOptions = options.rewrite;
        pageOptions.depth = file.depth;
        PageResult page = RewritePage(bytes, pageOptions, finder);
        if (page.outcome == PageResult::Outcome::skipped)
            return skip(FileReport::Outcome::skipped, page.why);
        r.findings = std::move(page.findings);
        r.loadsScript = page.loadsScript;
        if (page.outcome == PageResult::Outcome::unchanged)
            return r;
        out = std::move(page.page);
    } else {
        TextFileResult text = RewriteTextFile(bytes, file.format);
        r.addresses = std::move(text.addresses);
        if (!text.changed)
            return r;
        out = std::move(text.bytes);
    }
    r.outcome = FileReport::Outcome::changed;
    if (options.check)
        return r;
    ApiDef::PreparedReplacement replacement;
    const ApiDef::WriteResult written = ApiDef::PrepareReplacement(
        file.path, out, {static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)},
        replacement);
    if (!written.ok) {
        r.loadsScript = false;  // the page keeps its old bytes
        return skip(FileReport::Outcome::failed, "cannot be written: " + ToUtf8(written.reason));
    }
    prepared = Prepared{std::move(replacement), out.size()};
    return r;
}

} // namespace

std::vector<SiteFile> CollectFiles(const std::vector<std::string>& paths, std::vector<std::string>& errors)
{
    std::vector<SiteFile> files;
    std::set<std::pair<dev_t, ino_t>> seenDirectories;
    for (const std::string& arg : paths) {
        std::error_code ec;
        const fs::file_status st = fs::status(arg, ec);
        if (ec || !fs::exists(st)) {
            errors.push_back(arg + ": " + (ec ? ec.message() : "no such file or directory"));
            continue;
        }
        if (!fs::is_directory(st)) {
            // Named as it is: a page, or another text file, whatever its name.
            std::optional<SiteFile> f = siteFile(arg);
            files.push_back(f ? std::move(*f) : SiteFile{arg, true, TextFormat::plain});
            const fs::path parent = fs::path(arg).parent_path();
            files.back().root = parent.string();
            continue;
        }
        std::vector<SiteFile> found;
        walk(arg, seenDirectories, found, errors);
        for (SiteFile& f : found)
            f.root = arg;
        std::sort(found.begin(), found.end(), [](const SiteFile& a, const SiteFile& b) { return a.path < b.path; });
        files.insert(files.end(), found.begin(), found.end());
    }
    // A file named twice (a directory and a page in it, or one directory
    // by two spellings) is done once: two workers on one file would race
    // for it. Its directory and name say which file it is; a hard link
    // elsewhere is a file of its own, rewritten in its turn.
    std::vector<SiteFile> unique;
    std::set<std::pair<std::pair<unsigned long long, unsigned long long>, std::string>> seen;
    for (SiteFile& f : files) {
        const fs::path p(f.path);
        if (f.directory[0] == 0 && f.directory[1] == 0) {
            // Named on the command line: its directory is looked up now.
            struct stat info {};
            const std::string dir = p.has_parent_path() ? p.parent_path().string() : ".";
            if (::stat(dir.c_str(), &info) == 0)
                f.directory[0] = info.st_dev, f.directory[1] = info.st_ino;
            else
                f.directory[1] = unique.size() + 1;  // unknown: taken as a directory of its own
        }
        if (seen.insert({{f.directory[0], f.directory[1]}, p.filename().string()}).second)
            unique.push_back(std::move(f));
    }
    return unique;
}

ScriptFileReport PutScriptFile(const std::string& root, bool check)
{
    ScriptFileReport r;
    r.path = (fs::path(root) / kLinkScriptName).string();
    Bytes now;
    struct stat info {};
    int error = 0;
    if (readWhole(r.path, now, info, error) == Read::ok && now.view() == kLinkScript)
        return r;
    if (check) {
        r.outcome = ScriptFileReport::Outcome::missing;
        return r;
    }
    const ApiDef::WriteResult written = ApiDef::ReplaceFileContents(r.path, kLinkScript);
    r.outcome = written.ok ? ScriptFileReport::Outcome::written : ScriptFileReport::Outcome::failed;
    r.why = ToUtf8(written.reason);
    return r;
}

void RewriteFiles(const std::vector<SiteFile>& files, const SiteOptions& options,
                  const std::function<void(std::size_t, const FileReport&)>& report)
{
    std::vector<FileReport> results(files.size());
    std::vector<char> done(files.size(), 0);
    std::atomic<std::size_t> next{0};
    std::mutex reporting;
    std::size_t reported = 0;
    // Pages written beside their old selves, put in place a batch at a time
    // after one sync: a bound on the batch bounds the disk taken meanwhile.
    struct Pending {
        std::size_t index;
        Prepared prepared;
    };
    std::vector<Pending> pending;
    std::size_t pendingBytes = 0;
    constexpr std::size_t kBatchBytes = 32u << 20, kBatchFiles = 1024;
    auto finish = [&](std::size_t i, FileReport r) {  // with `reporting` held
        results[i] = std::move(r);
        done[i] = 1;
        for (; reported < files.size() && done[reported]; ++reported) {
            report(reported, results[reported]);
            results[reported] = {};
        }
    };
    auto commit = [&](std::vector<Pending>& batch) {
        std::vector<ApiDef::PreparedReplacement> prepared;
        for (const Pending& p : batch)
            prepared.push_back(p.prepared.file);
        const std::vector<ApiDef::WriteResult> written = ApiDef::CommitReplacements(prepared);
        const std::lock_guard lock(reporting);
        for (std::size_t k = 0; k < batch.size(); ++k) {
            FileReport r = std::move(results[batch[k].index]);
            if (!written[k].ok) {
                r.outcome = FileReport::Outcome::failed;
                r.why = "cannot be written: " + ToUtf8(written[k].reason);
                r.loadsScript = false;
            }
            finish(batch[k].index, std::move(r));
        }
    };
    auto work = [&] {
        FastLinkFinder finder;
        for (std::size_t i; (i = next++) < files.size();) {
            std::optional<Prepared> prepared;
            FileReport r = processFile(files[i], options, finder, prepared);
            std::vector<Pending> batch;
            {
                const std::lock_guard lock(reporting);
                if (!prepared) {
                    finish(i, std::move(r));
                    continue;
                }
                results[i] = std::move(r);
                pendingBytes += prepared->bytes;
                pending.push_back({i, std::move(*prepared)});
                if (pendingBytes >= kBatchBytes || pending.size() >= kBatchFiles) {
                    batch.swap(pending);
                    pendingBytes = 0;
                }
            }
            if (!batch.empty())
                commit(batch);
        }
    };
    // Twice the cores: a worker waiting for its batch to reach the disk
    // leaves its core to another.
    const unsigned workerCount = std::max(2u, std::min(2 * std::thread::hardware_concurrency(), 16u));
#ifdef __GLIBC__
    // Each thread would get a malloc arena of its own, which keeps what its
    // largest page needed; as many arenas as cores serve the workers as fast.
    mallopt(M_ARENA_MAX, static_cast<int>(std::max(2u, std::thread::hardware_concurrency())));
#endif
    std::vector<std::thread> workers;
    for (unsigned k = 1; k < workerCount && k < files.size(); ++k)
        workers.emplace_back(work);
    work();
    for (std::thread& t : workers)
        t.join();
    if (!pending.empty())
        commit(pending);
}

} // namespace Site
