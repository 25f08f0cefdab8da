#pragma once
// Puts the preview page on disk in the narrow encoding of the user's locale.

#include <string>
#include <string_view>
#include <vector>

namespace ApiDef {

struct WriteResult {
    bool ok = false;
    std::u16string reason;  // the system's own description of the failure
};

// Encodes `text` in the locale's narrow encoding and replaces `fileName`
// (relative to the working directory) with it as a whole: afterwards the file
// holds either the new text or, on failure, exactly what it held before. Only
// where no new file can be made beside it is an existing page rewritten in
// place (see ReplaceFileContents).
WriteResult WritePreviewFile(std::u16string_view fileName, std::u16string_view text);

// The bytes of `text` in the locale's narrow encoding. A character the
// encoding cannot represent, or that would not read back as itself (the yen
// sign as 0x5C, a backslash to the reader), is written as an HTML decimal
// character reference (&#N;), which a browser shows as the character itself.
// A Shift_JIS locale gets CP932, the encoding browsers read Shift_JIS as.
std::string ToLocaleNarrow(std::u16string_view text);

} // namespace ApiDef

namespace ApiDef {

// The same conversion into a named encoding, for callers that must not depend
// on the locale (tests, tools).
#ifdef _WIN32
std::string ToNarrow(std::u16string_view text, unsigned codePage);
#else
// `charset` is an iconv name such as "UTF-8", "CP932" or "EUC-JP". An unknown
// name gives an empty string.
std::string ToNarrow(std::u16string_view text, const char* charset);
#endif

// Replaces `fileName` with `bytes` as a whole, through a temporary file in the
// same directory, keeping the old page's mode. A symbolic link at `fileName`
// is replaced, not written through. When no temporary file can be created
// (a directory the user may not write to) and `fileName` is a regular file,
// it is rewritten in place instead, which keeps its mode and hard links.
WriteResult ReplaceFileContents(std::u16string_view fileName, std::string_view bytes);

#ifndef _WIN32
// The same for a path in the system's own bytes, which need not be UTF-8.
WriteResult ReplaceFileContents(const std::string& path, std::string_view bytes);

// Which file a name stood for when it was read.
struct FileIdentity {
    unsigned long long device = 0, inode = 0;
};

// For a tool that rewrites the files of a site, perhaps as root in a deploy
// step, files that belong to the web server's user: the same replacement
// through a temporary file, and the new file also gets the old one's owner
// and group. It never writes in place: where no temporary file can be made,
// the owner cannot be kept, or the name no longer stands for the file that
// was read (`expected`), it fails and the old file stays as it was.
//
// It is done in two steps, so that many files wait for the disk once:
// PrepareReplacement writes the new file beside the old one, and
// CommitReplacements makes the bytes of all the files prepared durable (one
// sync of each file system) and only then puts each in its old one's place,
// where the name still stands for the file that was read; a file that
// fails keeps its old bytes and leaves no temporary file behind.
struct PreparedReplacement {
    std::string temp, target;
    FileIdentity expected;
};
WriteResult PrepareReplacement(const std::string& path, std::string_view bytes, FileIdentity expected,
                               PreparedReplacement& prepared);
std::vector<WriteResult> CommitReplacements(const std::vector<PreparedReplacement>& files);
#endif

} // namespace ApiDef
