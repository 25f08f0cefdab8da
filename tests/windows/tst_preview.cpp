// The preview page's narrow encoding and its replacement on disk, against
// iconv's CP932 and Wine's real file system.

#include "harness.h"
#include "imports.h"
#include "support.h"
#include "tests.h"

#include "platform/PreviewFile.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace wintest {
namespace {

// Runs a row inside `directory`, as Quorvel runs in its working directory.
class InDirectory {
public:
    explicit InDirectory(const std::u16string& directory)
    {
        m_previous.resize(32768);
        m_previous.resize(::GetCurrentDirectoryW(static_cast<DWORD>(m_previous.size()), m_previous.data()));
        if (!::SetCurrentDirectoryW(wide(directory).c_str()))
            WT_FAIL("cannot enter " + toUtf8(directory));
    }
    ~InDirectory() { ::SetCurrentDirectoryW(m_previous.c_str()); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    std::wstring m_previous;
};

// The file calls of one replacement, seen through the import table; a
// call can be told to fail with a given error.
struct FileSpy {
    DWORD failWrite = ERROR_SUCCESS;
    DWORD failMove = ERROR_SUCCESS;
    struct Move {
        std::u16string from, to;
        DWORD flags;
    };
    std::vector<Move> moves;
};

FileSpy* g_files = nullptr;
decltype(&::WriteFile) g_realWriteFile = nullptr;
decltype(&::MoveFileExW) g_realMoveFileExW = nullptr;
decltype(&::DeleteFileW) g_realDeleteFileW = nullptr;

BOOL WINAPI spyWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_files->failWrite != ERROR_SUCCESS) {
        ::SetLastError(g_files->failWrite);
        return FALSE;
    }
    return g_realWriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI spyMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    g_files->moves.push_back({u16(from), u16(to), flags});
    if (g_files->failMove != ERROR_SUCCESS) {
        ::SetLastError(g_files->failMove);
        return FALSE;
    }
    return g_realMoveFileExW(from, to, flags);
}

// Windows leaves the last error unspecified after a call that succeeds;
// this one clears it, so that a reason read after the clean-up shows.
BOOL WINAPI spyDeleteFileW(LPCWSTR file)
{
    const BOOL result = g_realDeleteFileW(file);
    if (result)
        ::SetLastError(ERROR_SUCCESS);
    return result;
}

class FileHook {
public:
    explicit FileHook(FileSpy& spy)
        : m_write("kernel32.dll", "WriteFile", spyWriteFile), m_move("kernel32.dll", "MoveFileExW", spyMoveFileExW),
          m_delete("kernel32.dll", "DeleteFileW", spyDeleteFileW)
    {
        g_realDeleteFileW = m_delete.original<decltype(&::DeleteFileW)>();
        g_realWriteFile = m_write.original<decltype(&::WriteFile)>();
        g_realMoveFileExW = m_move.original<decltype(&::MoveFileExW)>();
        g_files = &spy;
    }
    ~FileHook() { g_files = nullptr; }
    FileHook(const FileHook&) = delete;
    FileHook& operator=(const FileHook&) = delete;

private:
    ImportHook m_write;
    ImportHook m_move;
    ImportHook m_delete;
};

std::u16string codeUnits(std::initializer_list<char16_t> units)
{
    return std::u16string(units);
}

void registerNarrowText()
{
    std::vector<Row> rows;
    for (const FixtureText& fixture : representableTexts()) {
        rows.push_back({fixture.tag, [fixture] {
                            WT_COMPARE(ApiDef::ToNarrow(fixture.text, 932), fixture.cp932);
                            WT_COMPARE(ApiDef::ToLocaleNarrow(fixture.text), fixture.cp932);
                        }});
    }
    addTest("narrowTextMatchesIconv", std::move(rows));

    std::vector<Row> lacking;
    for (const FixtureText& fixture : lackingTexts()) {
        lacking.push_back({fixture.tag, [fixture] {
                               WT_COMPARE(ApiDef::ToNarrow(fixture.text, 932), fixture.cp932);
                               WT_COMPARE(ApiDef::ToLocaleNarrow(fixture.text), fixture.cp932);
                           }});
    }
    // Lone surrogates stand for no character at all; a file in UTF-8 cannot
    // even hold them, so they are written here.
    const std::pair<const char*, std::pair<std::u16string, std::string>> surrogates[] = {
        {"lone high surrogate at the end", {codeUnits({u'a', u'b', 0xD83D}), "ab&#65533;"}},
        {"lone low surrogate inside", {codeUnits({u'a', 0xDE00, u'b'}), "a&#65533;b"}},
        {"pair in the wrong order", {codeUnits({0xDE00, 0xD83D}), "&#65533;&#65533;"}},
        {"pair split by a character", {codeUnits({0xD83D, u'x', 0xDE00}), "&#65533;x&#65533;"}},
    };
    for (const auto& [tag, c] : surrogates) {
        lacking.push_back({tag, [text = c.first, expected = c.second] {
                               WT_COMPARE(ApiDef::ToNarrow(text, 932), expected);
                           }});
    }
    addTest("narrowTextSpellsWhatCp932Lacks", std::move(lacking));

    // The same rule in code pages other than the user's.
    std::vector<Row> others;
    for (const FixtureText& fixture : lackingTexts()) {
        others.push_back({"UTF-8 keeps " + fixture.tag, [fixture] {
                              WT_COMPARE(ApiDef::ToNarrow(fixture.text, CP_UTF8), fixture.utf8);
                          }});
    }
    const std::pair<const char*, std::pair<std::u16string, std::string>> western[] = {
        {"1252 has e acute", {u"café", "caf\xE9"}},
        {"1252 lacks katakana", {u"aメb", "a&#12513;b"}},
        {"1252 gives no look-alike for A macron", {u"\u0100", "&#256;"}},
        {"1252 lacks an emoji", {u"x\U0001F600", "x&#128512;"}},
    };
    for (const auto& [tag, c] : western) {
        others.push_back({tag, [text = c.first, expected = c.second] {
                              WT_COMPARE(ApiDef::ToNarrow(text, 1252), expected);
                          }});
    }
    others.push_back({"UTF-8 lone surrogate", [] {
                          WT_COMPARE(ApiDef::ToNarrow(codeUnits({u'a', 0xD800}), CP_UTF8), std::string("a&#65533;"));
                      }});
    addTest("narrowTextInOtherCodePages", std::move(others));
}

void registerWrite()
{
    struct WriteCase {
        const char* tag;
        const FixtureText* page;
        std::string old;  // empty: no page before
    };
    const FixtureText* plain = &representableText("preview page");
    const FixtureText* withEmoji = nullptr;
    for (const FixtureText& fixture : lackingTexts())
        if (fixture.tag == "preview page with emoji")
            withEmoji = &fixture;
    if (!withEmoji)
        throw std::runtime_error("no fixture text \"preview page with emoji\"");

    const WriteCase cases[] = {
        {"new page", plain, ""},
        {"new page with emoji", withEmoji, ""},
        {"over a longer old page", plain, std::string(8192, 'x')},
        {"over a shorter old page", withEmoji, "old"},
    };
    std::vector<Row> rows;
    for (const WriteCase& c : cases) {
        rows.push_back({c.tag, [c] {
                            const std::u16string dir = makeScratchDirectory(u"preview");
                            InDirectory inside(dir);
                            if (!c.old.empty())
                                WT_VERIFY(writeFile(u"quorvel.html", c.old));
                            FileSpy files;
                            ApiDef::WriteResult written;
                            {
                                FileHook hook(files);
                                written = ApiDef::WritePreviewFile(u"quorvel.html", c.page->text);
                            }
                            WT_VERIFY2(written.ok, toUtf8(written.reason));
                            // One move swaps the page in whole, from a file beside it, and
                            // reaches the disk before it returns.
                            WT_COMPARE(files.moves.size(), std::size_t{1});
                            WT_COMPARE(files.moves[0].to, std::u16string(u"quorvel.html"));
                            WT_VERIFY(files.moves[0].from != files.moves[0].to);
                            WT_VERIFY(files.moves[0].from.find_first_of(u"\\/") == std::u16string::npos);
                            WT_COMPARE(files.moves[0].flags, DWORD{MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH});
                            WT_COMPARE(written.reason, std::u16string());
                            std::string bytes;
                            WT_VERIFY(readFile(u"quorvel.html", bytes));
                            WT_COMPARE(bytes, c.page->cp932);
                            // No temporary file is left beside it.
                            WT_COMPARE(listDirectory(dir).size(), std::size_t{1});
                        }});
    }
    addTest("previewPageWritten", std::move(rows));
}

bool endsInLineBreak(const std::u16string& text)
{
    return !text.empty() && (text.back() == u'\n' || text.back() == u'\r');
}

void registerFailedReplace()
{
    const std::string oldPage = representableText("preview page").cp932;
    std::vector<Row> rows;
    // The page open elsewhere without delete sharing, as an editor or a
    // browser may hold it: the move cannot replace it.
    rows.push_back({"old page held open", [oldPage] {
                        const std::u16string dir = makeScratchDirectory(u"held");
                        InDirectory inside(dir);
                        WT_VERIFY(writeFile(u"quorvel.html", oldPage));
                        const HANDLE held = ::CreateFileW(L"quorvel.html", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                        WT_VERIFY(held != INVALID_HANDLE_VALUE);
                        const ApiDef::WriteResult written = ApiDef::WritePreviewFile(u"quorvel.html", u"<html>新しい</html>");
                        ::CloseHandle(held);
                        WT_VERIFY(!written.ok);
                        WT_VERIFY2(written.reason == systemMessage(ERROR_ACCESS_DENIED)
                                       || written.reason == systemMessage(ERROR_SHARING_VIOLATION),
                                   "reason: " + toUtf8(written.reason));
                        WT_VERIFY(!endsInLineBreak(written.reason));
                        std::string bytes;
                        WT_VERIFY(readFile(u"quorvel.html", bytes));
                        WT_COMPARE(bytes, oldPage);
                        WT_COMPARE(listDirectory(dir), std::vector<std::u16string>{u"quorvel.html"});
                    }});
    // Failures after the new text has started on its way: the old page must
    // not have been touched yet, and nothing may be left beside it.
    for (const auto& [tag, write, move] : {std::tuple{"writing fails", DWORD{ERROR_DISK_FULL}, DWORD{ERROR_SUCCESS}},
                                           std::tuple{"the move fails", DWORD{ERROR_SUCCESS}, DWORD{ERROR_LOCK_VIOLATION}}}) {
        rows.push_back({tag, [oldPage, write = write, move = move] {
                            const std::u16string dir = makeScratchDirectory(u"failing");
                            InDirectory inside(dir);
                            WT_VERIFY(writeFile(u"quorvel.html", oldPage));
                            FileSpy files;
                            files.failWrite = write;
                            files.failMove = move;
                            ApiDef::WriteResult written;
                            {
                                FileHook hook(files);
                                written = ApiDef::WritePreviewFile(u"quorvel.html", u"<html>新しい</html>");
                            }
                            WT_VERIFY(!written.ok);
                            WT_COMPARE(written.reason, systemMessage(write != ERROR_SUCCESS ? write : move));
                            std::string bytes;
                            WT_VERIFY(readFile(u"quorvel.html", bytes));
                            WT_COMPARE(bytes, oldPage);
                            WT_COMPARE(listDirectory(dir), std::vector<std::u16string>{u"quorvel.html"});
                        }});
    }
    rows.push_back({"a directory in the page's place", [] {
                        const std::u16string dir = makeScratchDirectory(u"directory");
                        InDirectory inside(dir);
                        WT_VERIFY(::CreateDirectoryW(L"quorvel.html", nullptr));
                        WT_VERIFY(writeFile(u"quorvel.html\\inside.txt", "kept"));
                        const ApiDef::WriteResult written = ApiDef::WritePreviewFile(u"quorvel.html", u"<html></html>");
                        WT_VERIFY(!written.ok);
                        WT_VERIFY(!written.reason.empty());
                        WT_VERIFY(!endsInLineBreak(written.reason));
                        std::string bytes;
                        WT_VERIFY(readFile(u"quorvel.html\\inside.txt", bytes));
                        WT_COMPARE(bytes, std::string("kept"));
                        WT_COMPARE(listDirectory(dir), std::vector<std::u16string>{u"quorvel.html"});
                    }});
    rows.push_back({"directory missing", [] {
                        const std::u16string dir = makeScratchDirectory(u"missing");
                        InDirectory inside(dir);
                        const ApiDef::WriteResult written =
                            ApiDef::WritePreviewFile(u"no-such-directory\\quorvel.html", u"<html></html>");
                        WT_VERIFY(!written.ok);
                        WT_COMPARE(written.reason, systemMessage(ERROR_PATH_NOT_FOUND));
                        WT_VERIFY(listDirectory(dir).empty());
                    }});
    addTest("failedReplaceKeepsOldPage", std::move(rows));
}

} // namespace

void registerPreviewTests()
{
    registerNarrowText();
    registerWrite();
    registerFailedReplace();
}

} // namespace wintest
