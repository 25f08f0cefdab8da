#pragma once
// The files of a built site: found under the paths given, read, rewritten
// by the page rewriter or the text-file rewriter, and put back whole through
// the platform layer, several at a time.

#include "PageRewriter.h"
#include "TextFiles.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace Site {

struct SiteFile {
    std::string path;
    bool page = true;  // a page, or another text file in `format`
    TextFormat format = TextFormat::plain;
    unsigned long long directory[2] = {0, 0};  // the device and inode of the directory it is in
    std::string root = {};  // the directory named on the command line it was found in, or a named file's own
    unsigned depth = 0;     // how many directories below `root` it lies
};

// Every page (*.html, *.htm) and other text file under `paths`, once each
// however often it is named (a directory named twice, by a symbolic link or
// by another spelling of its path). Symbolic links inside directories are
// not followed. What cannot be walked goes to `errors`.
std::vector<SiteFile> CollectFiles(const std::vector<std::string>& paths, std::vector<std::string>& errors);

// The largest file read.
constexpr std::size_t kMaxFileBytes = 256u << 20;

struct FileReport {
    enum class Outcome {
        unchanged,
        changed,
        skipped,  // not read, or read and left alone: `why`
        failed,   // rewritten, but the new bytes could not be put in its place: `why`
        symlink,  // a symbolic link, not followed
    };
    Outcome outcome = Outcome::unchanged;
    std::string why;
    std::vector<Finding> findings;  // a page's
    std::vector<TextAddress> addresses;  // another file's
    bool loadsScript = false;  // a page that loads the external shape's script file
};

struct SiteOptions {
    RewriteOptions rewrite;
    bool check = false;  // read only
};

// Every file done; `report` hears of each in the order of `files`, one at a
// time.
void RewriteFiles(const std::vector<SiteFile>& files, const SiteOptions& options,
                  const std::function<void(std::size_t index, const FileReport&)>& report);

// The external shape's script file at `root`, put there unless it is there
// already as it should be; with `check`, nothing is written. Its path, and
// what became of it.
struct ScriptFileReport {
    enum class Outcome { present, written, missing, failed } outcome = Outcome::present;
    std::string path;
    std::string why;  // failed: the reason
};
ScriptFileReport PutScriptFile(const std::string& root, bool check);

} // namespace Site
