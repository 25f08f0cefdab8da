#include "platform/PreviewFile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <climits>
#include <string>

namespace ApiDef {
namespace {

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// How WideCharToMultiByte may be asked about a code page. UTF-7 and UTF-8
// refuse the used-default report, and several others refuse any flag; the
// rest can be told not to pass a look-alike off as the character, so that
// what the code page lacks is noticed and spelt as a reference instead.
struct Mode {
    DWORD flags = 0;
    bool reportsDefault = true;
};

Mode modeFor(UINT codePage)
{
    if (codePage == CP_ACP)
        codePage = ::GetACP();
    else if (codePage == CP_OEMCP)
        codePage = ::GetOEMCP();
    Mode mode;
    if (codePage == CP_UTF8) {
        mode.flags = WC_ERR_INVALID_CHARS;  // a lone surrogate is then an error
        mode.reportsDefault = false;
    } else if (codePage == CP_UTF7) {
        mode.reportsDefault = false;
    } else if ((codePage >= 50220 && codePage <= 50229) || codePage == 52936 || codePage == 54936
               || (codePage >= 57002 && codePage <= 57011) || codePage == 42) {
        mode.flags = 0;
    } else {
        mode.flags = WC_NO_BEST_FIT_CHARS;
    }
    return mode;
}

// Appends the narrow form of `units` when the code page has every one of
// them; otherwise leaves `out` as it was and returns false.
bool appendIfRepresentable(UINT codePage, const Mode& mode, const wchar_t* units, std::size_t count, std::string& out)
{
    if (count == 0)
        return true;
    if (count > static_cast<std::size_t>(INT_MAX / 4))
        return false;
    const int length = static_cast<int>(count);
    BOOL usedDefault = FALSE;
    BOOL* report = mode.reportsDefault ? &usedDefault : nullptr;
    const int needed = ::WideCharToMultiByte(codePage, mode.flags, units, length, nullptr, 0, nullptr, report);
    if (needed <= 0 || usedDefault)
        return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(needed));
    const int written = ::WideCharToMultiByte(codePage, mode.flags, units, length, out.data() + at, needed, nullptr, report);
    if (written != needed || usedDefault) {
        out.resize(at);
        return false;
    }
    return true;
}

void appendReference(UINT codePage, const Mode& mode, char32_t codePoint, std::string& out)
{
    const std::string digits = std::to_string(static_cast<unsigned long>(codePoint));
    std::wstring reference = L"&#";
    reference.append(digits.begin(), digits.end());
    reference += L';';
    // Through the code page too, for the few whose ASCII is not ASCII's bytes.
    if (!appendIfRepresentable(codePage, mode, reference.data(), reference.size(), out))
        out.append("&#" + digits + ";");
}

// Converts `text` as a whole when it can, and otherwise halves it until the
// characters the code page lacks stand alone. A text with none costs one
// conversion; each lacking character costs a handful more.
void convertRange(UINT codePage, const Mode& mode, const wchar_t* text, std::size_t size, std::string& out)
{
    if (appendIfRepresentable(codePage, mode, text, size, out))
        return;
    const bool pair = size == 2 && isHigh(static_cast<char16_t>(text[0])) && isLow(static_cast<char16_t>(text[1]));
    if (size == 1 || pair) {
        char32_t codePoint = static_cast<char16_t>(text[0]);
        if (pair)
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (static_cast<char16_t>(text[1]) - 0xDC00u);
        else if (isHigh(static_cast<char16_t>(text[0])) || isLow(static_cast<char16_t>(text[0])))
            codePoint = 0xFFFD;  // a lone surrogate stands for no character
        appendReference(codePage, mode, codePoint, out);
        return;
    }
    std::size_t middle = size / 2;
    if (isLow(static_cast<char16_t>(text[middle])) && isHigh(static_cast<char16_t>(text[middle - 1])))
        middle = middle == 1 ? 2 : middle - 1;  // never split a surrogate pair
    convertRange(codePage, mode, text, middle, out);
    convertRange(codePage, mode, text + middle, size - middle, out);
}

std::wstring wide(std::u16string_view s)
{
    return std::wstring(s.begin(), s.end());
}

std::u16string describe(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::u16string text;
    if (length > 0 && buffer)
        text.assign(buffer, buffer + length);
    if (buffer)
        ::LocalFree(buffer);
    // The system's messages end in a line break that a message box would show.
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' '))
        text.pop_back();
    if (text.empty()) {
        const std::string number = std::to_string(static_cast<unsigned long>(error));
        text = u"Windows error ";
        text.append(number.begin(), number.end());
    }
    return text;
}

WriteResult failure(DWORD error)
{
    return {false, describe(error)};
}

bool writeAll(HANDLE file, std::string_view bytes)
{
    constexpr std::size_t kChunk = 1u << 30;
    while (!bytes.empty()) {
        const DWORD wanted = static_cast<DWORD>(std::min(bytes.size(), kChunk));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), wanted, &written, nullptr))
            return false;
        if (written == 0) {
            ::SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

} // namespace

std::string ToNarrow(std::u16string_view text, unsigned codePage)
{
    const std::wstring source = wide(text);
    std::string out;
    convertRange(codePage, modeFor(codePage), source.data(), source.size(), out);
    return out;
}

std::string ToLocaleNarrow(std::u16string_view text)
{
    return ToNarrow(text, CP_ACP);
}

WriteResult ReplaceFileContents(std::u16string_view fileName, std::string_view bytes)
{
    const std::wstring target = wide(fileName);
    const std::size_t slash = target.find_last_of(L"\\/");
    const std::wstring dir = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
    const std::wstring base = slash == std::wstring::npos ? target : target.substr(slash + 1);

    // A fresh name in the same directory, so that the final move stays on one
    // volume and swaps the whole file in at once. CREATE_NEW refuses anything
    // already there under that name.
    static unsigned counter = 0;
    const std::wstring process = std::to_wstring(::GetCurrentProcessId());
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = dir + L"." + base + L"." + process + L"." + std::to_wstring(++counter) + L".tmp";
        file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return failure(::GetLastError());
    }
    if (file == INVALID_HANDLE_VALUE)
        return failure(ERROR_FILE_EXISTS);

    DWORD error = ERROR_SUCCESS;
    if (!writeAll(file, bytes) || !::FlushFileBuffers(file))
        error = ::GetLastError();
    if (!::CloseHandle(file) && error == ERROR_SUCCESS)
        error = ::GetLastError();
    if (error == ERROR_SUCCESS
        && !::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = ::GetLastError();
    if (error != ERROR_SUCCESS) {
        // The reason is taken before the clean-up can overwrite it.
        ::DeleteFileW(temp.c_str());
        return failure(error);
    }
    return {true, {}};
}

WriteResult WritePreviewFile(std::u16string_view fileName, std::u16string_view text)
{
    return ReplaceFileContents(fileName, ToLocaleNarrow(text));
}

} // namespace ApiDef
