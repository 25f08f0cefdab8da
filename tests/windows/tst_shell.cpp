// GetPlatformId and OpenWithShell: the cached version query and the choice
// of the shell's entry point seen through the import table, and the real
// shell of Wine for what a user meets.

#include "harness.h"
#include "imports.h"
#include "support.h"
#include "tests.h"

#include "platform/ApiDef.h"

#include <shellapi.h>

#include <cstring>
#include <memory>
#include <optional>

namespace wintest {
namespace {

enum class Query {
    Answers,  // the system's own query
    Fails,    // bound, but returns FALSE
    Unbound,  // GetProcAddress finds no such entry point
};

struct VersionSpy {
    Query narrow = Query::Answers;
    Query wide = Query::Answers;
    int narrowCalls = 0;
    int wideCalls = 0;
    DWORD narrowSize = 0;
    DWORD wideSize = 0;
};

VersionSpy* g_version = nullptr;
decltype(&::GetProcAddress) g_realGetProcAddress = nullptr;
using QueryA = BOOL(WINAPI*)(LPOSVERSIONINFOA);
using QueryW = BOOL(WINAPI*)(LPOSVERSIONINFOW);
QueryA g_realQueryA = nullptr;
QueryW g_realQueryW = nullptr;

BOOL WINAPI countingQueryA(LPOSVERSIONINFOA record)
{
    ++g_version->narrowCalls;
    g_version->narrowSize = record->dwOSVersionInfoSize;
    return g_version->narrow == Query::Fails ? FALSE : g_realQueryA(record);
}

BOOL WINAPI countingQueryW(LPOSVERSIONINFOW record)
{
    ++g_version->wideCalls;
    g_version->wideSize = record->dwOSVersionInfoSize;
    return g_version->wide == Query::Fails ? FALSE : g_realQueryW(record);
}

template <typename Function>
FARPROC asProc(Function function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC WINAPI spyGetProcAddress(HMODULE module, LPCSTR name)
{
    const bool byName = (reinterpret_cast<std::uintptr_t>(name) >> 16) != 0;
    if (byName && std::strcmp(name, "GetVersionExA") == 0) {
        if (g_version->narrow == Query::Unbound) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return asProc(countingQueryA);
    }
    if (byName && std::strcmp(name, "GetVersionExW") == 0) {
        if (g_version->wide == Query::Unbound) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return asProc(countingQueryW);
    }
    return g_realGetProcAddress(module, name);
}

class VersionHook {
public:
    explicit VersionHook(VersionSpy& spy) : m_hook("kernel32.dll", "GetProcAddress", spyGetProcAddress)
    {
        g_realGetProcAddress = m_hook.original<decltype(&::GetProcAddress)>();
        const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        g_realQueryA = reinterpret_cast<QueryA>(
            reinterpret_cast<void (*)()>(g_realGetProcAddress(kernel32, "GetVersionExA")));
        g_realQueryW = reinterpret_cast<QueryW>(
            reinterpret_cast<void (*)()>(g_realGetProcAddress(kernel32, "GetVersionExW")));
        g_version = &spy;
    }
    ~VersionHook() { g_version = nullptr; }
    VersionHook(const VersionHook&) = delete;
    VersionHook& operator=(const VersionHook&) = delete;

private:
    ImportHook m_hook;
};

// One call of either shell entry point, as the shell received it.
struct ShellCall {
    char entry = '?';  // 'W' or 'A'
    std::uintptr_t owner = 0;
    bool nullArgument = false;  // any of the four strings a null pointer
    std::u16string operation, file, parameters, directory;  // the wide entry
    std::string narrowOperation, narrowFile, narrowParameters, narrowDirectory;
    INT showCommand = 0;
};

struct ShellSpy {
    std::vector<ShellCall> calls;
    INT_PTR answer = 42;
};

ShellSpy* g_shell = nullptr;

std::u16string copyOf(LPCWSTR s, bool& isNull)
{
    isNull = isNull || s == nullptr;
    return s ? u16(s) : std::u16string();
}

std::string copyOf(LPCSTR s, bool& isNull)
{
    isNull = isNull || s == nullptr;
    return s ? std::string(s) : std::string();
}

HINSTANCE WINAPI spyShellExecuteW(HWND owner, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters,
                                   LPCWSTR directory, INT showCommand)
{
    ShellCall call;
    call.entry = 'W';
    call.owner = reinterpret_cast<std::uintptr_t>(owner);
    call.operation = copyOf(operation, call.nullArgument);
    call.file = copyOf(file, call.nullArgument);
    call.parameters = copyOf(parameters, call.nullArgument);
    call.directory = copyOf(directory, call.nullArgument);
    call.showCommand = showCommand;
    g_shell->calls.push_back(call);
    return reinterpret_cast<HINSTANCE>(g_shell->answer);
}

HINSTANCE WINAPI spyShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                   INT showCommand)
{
    ShellCall call;
    call.entry = 'A';
    call.owner = reinterpret_cast<std::uintptr_t>(owner);
    call.narrowOperation = copyOf(operation, call.nullArgument);
    call.narrowFile = copyOf(file, call.nullArgument);
    call.narrowParameters = copyOf(parameters, call.nullArgument);
    call.narrowDirectory = copyOf(directory, call.nullArgument);
    call.showCommand = showCommand;
    g_shell->calls.push_back(call);
    return reinterpret_cast<HINSTANCE>(g_shell->answer);
}

// Both entry points answer `answer` without starting anything.
class ShellHook {
public:
    explicit ShellHook(ShellSpy& spy)
        : m_wide("shell32.dll", "ShellExecuteW", spyShellExecuteW),
          m_narrow("shell32.dll", "ShellExecuteA", spyShellExecuteA)
    {
        g_shell = &spy;
    }
    ~ShellHook() { g_shell = nullptr; }
    ShellHook(const ShellHook&) = delete;
    ShellHook& operator=(const ShellHook&) = delete;

private:
    ImportHook m_wide;
    ImportHook m_narrow;
};

ApiDef::WindowHandle owner()
{
    return reinterpret_cast<ApiDef::WindowHandle>(ownerWindow());
}

struct PlatformCase {
    const char* tag;
    Query narrow;
    Query wide;
    std::int32_t platform;
    int narrowCalls;
    int wideCalls;
};

void registerPlatformQuery()
{
    // Each row in a process of its own: the answer is cached for the run.
    const PlatformCase cases[] = {
        {"narrow query answers", Query::Answers, Query::Answers, 2, 1, 0},
        {"narrow query fails", Query::Fails, Query::Answers, 1, 1, 0},
        {"narrow entry point missing", Query::Unbound, Query::Answers, 2, 0, 1},
        {"narrow missing and wide fails", Query::Unbound, Query::Fails, 1, 0, 1},
        {"both entry points missing", Query::Unbound, Query::Unbound, 1, 0, 0},
    };
    std::vector<Row> rows;
    for (const PlatformCase& c : cases) {
        rows.push_back({c.tag, [c] {
                            VersionSpy spy;
                            spy.narrow = c.narrow;
                            spy.wide = c.wide;
                            VersionHook hook(spy);

                            WT_COMPARE(ApiDef::GetPlatformId(), c.platform);
                            WT_COMPARE(ApiDef::GetPlatformId(), c.platform);
                            WT_COMPARE(spy.narrowCalls, c.narrowCalls);
                            WT_COMPARE(spy.wideCalls, c.wideCalls);
                            if (c.narrowCalls)
                                WT_COMPARE(spy.narrowSize, DWORD{148});
                            if (c.wideCalls)
                                WT_COMPARE(spy.wideSize, DWORD{276});

                            // The entry point follows the answer, and asking the shell does
                            // not ask the system again.
                            const FixtureText& file = representableText("file name");
                            ShellSpy shell;
                            std::int32_t result = 0;
                            {
                                ShellHook shellHook(shell);
                                result = ApiDef::OpenWithShell(owner(), u"Open", file.text, u"", u"", SW_SHOWNORMAL);
                            }
                            WT_COMPARE(result, std::int32_t{42});
                            WT_COMPARE(spy.narrowCalls, c.narrowCalls);
                            WT_COMPARE(spy.wideCalls, c.wideCalls);
                            WT_COMPARE(shell.calls.size(), std::size_t{1});
                            const ShellCall& call = shell.calls.front();
                            WT_VERIFY(!call.nullArgument);
                            WT_COMPARE(call.owner, owner());
                            WT_COMPARE(call.showCommand, INT{SW_SHOWNORMAL});
                            if (c.platform == 2) {
                                WT_COMPARE(call.entry, 'W');
                                WT_COMPARE(call.operation, std::u16string(u"Open"));
                                WT_COMPARE(call.file, file.text);
                                WT_COMPARE(call.parameters, std::u16string());
                                WT_COMPARE(call.directory, std::u16string());
                            } else {
                                WT_COMPARE(call.entry, 'A');
                                WT_COMPARE(call.narrowOperation, std::string("Open"));
                                WT_COMPARE(call.narrowFile, file.cp932);
                                WT_COMPARE(call.narrowParameters, std::string());
                                WT_COMPARE(call.narrowDirectory, std::string());
                            }
                        }});
    }
    addTest("platformQueryAndEntryPoint", std::move(rows), Isolation::FreshProcess);
}

struct ArgumentCase {
    const char* tag;
    std::u16string operation, file, parameters, directory;
    std::int32_t showCommand;
};

void registerShellArguments()
{
    const ArgumentCase cases[] = {
        {"empty parameters and directory", u"Open", u"quorvel.html", u"", u"", SW_SHOWNORMAL},
        {"every argument given", u"open", u"C:\\ページ\\quorvel.html", u"/x \"y\"", u"C:\\ページ", SW_MAXIMIZE},
        {"explore verb", u"explore", u"C:\\", u"", u"C:\\", SW_SHOWMINIMIZED},
    };
    std::vector<Row> rows;
    for (const ArgumentCase& c : cases) {
        rows.push_back({c.tag, [c] {
                            ShellSpy shell;
                            {
                                ShellHook hook(shell);
                                ApiDef::OpenWithShell(owner(), c.operation, c.file, c.parameters, c.directory,
                                                      c.showCommand);
                            }
                            WT_COMPARE(shell.calls.size(), std::size_t{1});
                            const ShellCall& call = shell.calls.front();
                            WT_COMPARE(call.entry, 'W');
                            WT_VERIFY(!call.nullArgument);
                            WT_COMPARE(call.owner, owner());
                            WT_COMPARE(call.operation, c.operation);
                            WT_COMPARE(call.file, c.file);
                            WT_COMPARE(call.parameters, c.parameters);
                            WT_COMPARE(call.directory, c.directory);
                            WT_COMPARE(call.showCommand, INT{c.showCommand});
                        }});
    }
    addTest("shellReceivesArguments", std::move(rows));

    // The shell's status goes back as it came, success or error.
    std::vector<Row> results;
    for (const auto& [tag, answer] : {std::pair{"success 42", INT_PTR{42}}, std::pair{"lowest success 33", INT_PTR{33}},
                                      std::pair{"highest error 32", INT_PTR{32}},
                                      std::pair{"file not found 2", INT_PTR{2}},
                                      std::pair{"out of resources 0", INT_PTR{0}}}) {
        results.push_back({tag, [answer = answer] {
                               ShellSpy shell;
                               shell.answer = answer;
                               std::int32_t result = -1;
                               {
                                   ShellHook hook(shell);
                                   result = ApiDef::OpenWithShell(owner(), u"Open", u"quorvel.html", u"", u"", 1);
                               }
                               WT_COMPARE(result, static_cast<std::int32_t>(answer));
                           }});
    }
    addTest("shellResultPassesThrough", std::move(results));
}

std::optional<std::string> waitForFile(const std::u16string& path, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    std::string bytes;
    while (!readFile(path, bytes)) {
        if (::GetTickCount64() > deadline)
            return std::nullopt;
        ::Sleep(50);
    }
    return bytes;
}

void registerRealShell()
{
    std::vector<Row> rows;
    rows.push_back({"missing file", [] {
                        const std::u16string dir = makeScratchDirectory(u"shell-missing");
                        const std::u16string file = dir + u"\\quorvel.html";
                        WT_VERIFY(::GetFileAttributesW(wide(file).c_str()) == INVALID_FILE_ATTRIBUTES);
                        const std::int32_t result = ApiDef::OpenWithShell(owner(), u"Open", file, u"", u"", 1);
                        WT_COMPARE(result, std::int32_t{2});
                    }});
    rows.push_back({"missing file in the given directory", [] {
                        const std::u16string dir = makeScratchDirectory(u"shell-missing");
                        const std::int32_t result = ApiDef::OpenWithShell(owner(), u"Open", u"quorvel.html", u"", dir, 1);
                        WT_COMPARE(result, std::int32_t{2});
                    }});
    rows.push_back({"program started with parameters in directory", [] {
                        const std::u16string dir = makeScratchDirectory(u"起動テスト");
                        const std::int32_t result = ApiDef::OpenWithShell(
                            owner(), u"open", selfPath(), u"--record-args args.txt 二番目", dir, SW_HIDE);
                        WT_VERIFY2(result > 32, "the shell answered " + std::to_string(result));
                        const auto record = waitForFile(dir + u"\\args.txt", 60000);
                        WT_VERIFY2(record.has_value(), "the started program wrote no args.txt in its directory");
                        const std::u16string expected = u"cwd=" + dir + u"\nargs=--record-args|args.txt|二番目\n";
                        WT_COMPARE(fromUtf8(*record), expected);
                    }});
    addTest("realShell", std::move(rows));
}

} // namespace

void registerShellTests()
{
    registerPlatformQuery();
    registerShellArguments();
    registerRealShell();
}

int recordArguments(std::u16string_view file)
{
    std::wstring cwd(32768, L'\0');
    cwd.resize(::GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::u16string text = u"cwd=" + u16(cwd) + u"\nargs=";
    bool after = false;
    for (int i = 1; argv && i < count; ++i) {
        const std::u16string argument = u16(argv[i]);
        if (argument == u"--record-args")
            after = true;
        if (!after)
            continue;
        if (argument != u"--record-args")
            text += u"|";
        text += argument;
    }
    text += u"\n";
    ::LocalFree(argv);
    // Written whole under another name first, so that the waiting test never
    // reads half of it.
    const std::u16string partial = std::u16string(file) + u".partial";
    if (!writeFile(partial, toUtf8(text)))
        return 1;
    return ::MoveFileExW(wide(partial).c_str(), wide(file).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

} // namespace wintest
