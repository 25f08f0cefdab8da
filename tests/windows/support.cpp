#include "support.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace wintest {
namespace {

std::u16string g_fixtureDirectory;
std::vector<FixtureText> g_representable;
std::vector<FixtureText> g_lacking;

// Windows' rules for one argument of a command line: quoted, with the
// backslashes before a quote doubled.
std::wstring quoted(std::wstring_view argument)
{
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

// A fixture file: a header of comment lines, then texts, each introduced by
// a line "== tag". A text is its lines joined by CR LF; an empty line at its
// end gives it a closing CR LF. Works on the raw bytes, so it reads the
// UTF-8 source and iconv's CP932 output alike (no CP932 byte is '\n').
std::vector<std::pair<std::string, std::string>> parseTexts(const std::string& bytes)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    std::vector<std::pair<std::string, std::string>> texts;
    bool first = true;
    for (const std::string& line : lines) {
        if (line.rfind("== ", 0) == 0) {
            texts.emplace_back(line.substr(3), std::string());
            first = true;
            continue;
        }
        if (texts.empty())
            continue;  // the header
        if (!first)
            texts.back().second += "\r\n";
        texts.back().second += line;
        first = false;
    }
    return texts;
}

bool loadPair(const std::u16string& inputName, const std::u16string& expectedName, std::vector<FixtureText>& out,
              std::string& fault)
{
    std::string input;
    std::string expected;
    const std::u16string inputPath = g_fixtureDirectory + u"/" + inputName;
    const std::u16string expectedPath = g_fixtureDirectory + u"/" + expectedName;
    if (!readFile(inputPath, input)) {
        fault = "cannot read " + toUtf8(inputPath);
        return false;
    }
    if (!readFile(expectedPath, expected)) {
        fault = "cannot read " + toUtf8(expectedPath);
        return false;
    }
    const auto inputs = parseTexts(input);
    const auto expectations = parseTexts(expected);
    if (inputs.empty() || inputs.size() != expectations.size()) {
        fault = toUtf8(inputName) + " and " + toUtf8(expectedName) + " do not hold the same texts";
        return false;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].first != expectations[i].first) {
            fault = "text " + std::to_string(i) + " is \"" + inputs[i].first + "\" in one file and \""
                + expectations[i].first + "\" in the other";
            return false;
        }
        out.push_back({inputs[i].first, fromUtf8(inputs[i].second), expectations[i].second, inputs[i].second});
    }
    return true;
}

} // namespace

std::u16string fromUtf8(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    const int length = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    if (needed <= 0)
        throw std::runtime_error("not UTF-8: " + std::string(bytes));
    std::wstring out(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, out.data(), needed);
    return u16(out);
}

std::string toUtf8(std::u16string_view text)
{
    if (text.empty())
        return {};
    const std::wstring source = wide(text);
    const int length = static_cast<int>(source.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, source.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, source.data(), length, out.data(), needed, nullptr, nullptr);
    return out;
}

std::wstring wide(std::u16string_view text)
{
    return std::wstring(text.begin(), text.end());
}

std::u16string u16(std::wstring_view text)
{
    return std::u16string(text.begin(), text.end());
}

std::u16string selfPath()
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return u16(buffer);
}

void setFixtureDirectory(std::u16string directory)
{
    g_fixtureDirectory = std::move(directory);
}

const std::u16string& fixtureDirectory()
{
    return g_fixtureDirectory;
}

HANDLE startSelf(const std::vector<std::u16string>& arguments)
{
    std::wstring commandLine = quoted(wide(selfPath()));
    commandLine += L" --fixtures " + quoted(wide(g_fixtureDirectory));
    for (const std::u16string& argument : arguments)
        commandLine += L" " + quoted(wide(argument));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    std::fflush(stdout);
    std::fflush(stderr);
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        std::printf("   cannot start a child process: error %lu\n", ::GetLastError());
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

std::uint32_t runSelf(const std::vector<std::u16string>& arguments, DWORD timeoutMs)
{
    const HANDLE process = startSelf(arguments);
    if (!process)
        return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    if (::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process, &code);
    } else {
        std::printf("   the child process did not end within %lu ms\n", timeoutMs);
        ::TerminateProcess(process, 0xFFFFFFFF);
    }
    ::CloseHandle(process);
    return code;
}

std::u16string makeScratchDirectory(std::u16string_view name)
{
    static unsigned counter = 0;
    std::wstring buffer(32768, L'\0');
    buffer.resize(::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()));
    for (;;) {
        const std::wstring path = buffer + L"\\" + wide(name) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-"
            + std::to_wstring(++counter);
        if (::CreateDirectoryW(path.c_str(), nullptr))
            return u16(path);
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create a scratch directory, error " + std::to_string(::GetLastError()));
    }
}

std::vector<std::u16string> listDirectory(std::u16string_view directory)
{
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = wide(directory) + L"\\*";
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(u16(name));
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return names;
}

bool readFile(std::u16string_view path, std::string& bytes)
{
    bytes.clear();
    const HANDLE file = ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0)
        bytes.append(chunk, got);
    ::CloseHandle(file);
    return ok;
}

bool writeFile(std::u16string_view path, std::string_view bytes)
{
    const HANDLE file = ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
        && written == bytes.size();
    ::CloseHandle(file);
    return ok;
}

HWND ownerWindow()
{
    static HWND window = ::CreateWindowExW(0, L"STATIC", L"Quorvel", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                           nullptr, ::GetModuleHandleW(nullptr), nullptr);
    return window;
}

const std::vector<FixtureText>& representableTexts()
{
    return g_representable;
}

const std::vector<FixtureText>& lackingTexts()
{
    return g_lacking;
}

const FixtureText& representableText(std::string_view tag)
{
    for (const FixtureText& text : g_representable)
        if (text.tag == tag)
            return text;
    throw std::runtime_error("no fixture text \"" + std::string(tag) + "\"");
}

bool loadFixtures(std::string& fault)
{
    g_representable.clear();
    g_lacking.clear();
    return loadPair(u"cp932_texts.txt", u"cp932_texts.cp932", g_representable, fault)
        && loadPair(u"lacking_texts.txt", u"lacking_texts_expected.cp932", g_lacking, fault);
}

std::u16string systemMessage(DWORD error)
{
    wchar_t buffer[1024];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                          0, buffer, 1024, nullptr);
    std::u16string text(buffer, buffer + length);
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    return text;
}

} // namespace wintest
