#include "platform/ApiDef.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <string>

namespace ApiDef {
namespace {

constexpr std::int32_t kPlatformWin9x = 1;  // VER_PLATFORM_WIN32_WINDOWS
constexpr std::int32_t kPlatformNT = 2;     // VER_PLATFORM_WIN32_NT

// The version record in either of its two published forms. Both start with
// the same five 32-bit fields, so the platform id reads the same from
// either; only the service-pack text differs (128 bytes or 128 UTF-16 units).
union VersionRecord {
    OSVERSIONINFOA narrow;
    OSVERSIONINFOW wide;
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "the narrow version record is 148 bytes");
static_assert(sizeof(OSVERSIONINFOW) == 276, "the wide version record is 276 bytes");
static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == offsetof(OSVERSIONINFOW, dwPlatformId),
              "both forms keep the platform id in the same place");

// Module state for the whole run. Only the user-interface thread asks.
VersionRecord osVersion{};
bool platformKnown = false;

using VersionQueryA = BOOL(WINAPI*)(LPOSVERSIONINFOA);
using VersionQueryW = BOOL(WINAPI*)(LPOSVERSIONINFOW);
using ShellOpenA = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
using ShellOpenW = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

// The version queries and the shell are bound by name when first needed: a
// system that lacks an entry point is then a failed call rather than a
// program that cannot load, and shell32 with all it pulls in is loaded only
// for the first preview, not at every start. (It also keeps the build clear
// of the SDK's deprecation of both version queries.)
template <typename Function>
Function bind(const wchar_t* library, const char* name)
{
    HMODULE module = ::GetModuleHandleW(library);
    if (!module)
        module = ::LoadLibraryW(library);  // kept for the rest of the run
    if (!module)
        return nullptr;
    const FARPROC entry = ::GetProcAddress(module, name);
    if (!entry)
        return nullptr;
    // Through the generic function-pointer type, which converts to any other
    // without a warning about mismatched signatures.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(entry));
}

std::wstring wide(std::u16string_view s)
{
    return std::wstring(s.begin(), s.end());
}

// The platform's standard conversion to the ANSI code page: characters the
// code page lacks become its best fit or its default character. False when
// the system refuses the conversion or the text is too long for it.
bool toAnsi(std::u16string_view text, std::string& out)
{
    out.clear();
    if (text.empty())
        return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return false;
    const std::wstring source = wide(text);
    const int length = static_cast<int>(source.size());
    const int needed = ::WideCharToMultiByte(CP_ACP, 0, source.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return false;
    out.resize(static_cast<std::size_t>(needed));
    return ::WideCharToMultiByte(CP_ACP, 0, source.data(), length, out.data(), needed, nullptr, nullptr) == needed;
}

// A movable block that holds the text as CF_UNICODETEXT wants it, zero
// terminated; nullptr when it cannot be had. Unicode-aware programs read this
// one, so characters the ANSI code page lacks reach them intact.
HGLOBAL unicodeBlock(std::u16string_view text)
{
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (!block)
        return nullptr;
    void* address = ::GlobalLock(block);
    if (!address) {
        ::GlobalFree(block);
        return nullptr;
    }
    if (!text.empty())
        std::memcpy(address, text.data(), text.size() * sizeof(char16_t));
    ::GlobalUnlock(block);
    return block;
}

std::string ansi(std::u16string_view s)
{
    std::string out;
    toAnsi(s, out);
    return out;
}

} // namespace

bool CopyToClipboard(WindowHandle owner, std::u16string text)
{
    std::string narrow;
    if (!toAnsi(text, narrow))
        return false;
    const SIZE_T payload = narrow.size() + 1;

    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, payload);
    if (!block)
        return false;

    void* address = ::GlobalLock(block);
    if (!address) {
        ::GlobalFree(block);
        return false;
    }
    ::lstrcpyA(static_cast<LPSTR>(address), narrow.c_str());
    ::GlobalUnlock(block);

    // Prepared before the clipboard is opened, so that it stays open for as
    // short a time as possible. Without it the text still goes out as
    // CF_TEXT, which is all a plain-text paste needs.
    HGLOBAL unicode = unicodeBlock(text);

    if (!::OpenClipboard(reinterpret_cast<HWND>(owner))) {
        ::GlobalFree(block);
        if (unicode)
            ::GlobalFree(unicode);
        return false;
    }
    ::EmptyClipboard();
    // A refused hand-over leaves the block ours: free it, or it leaks, and
    // report the failure the user would otherwise only find on pasting.
    if (!::SetClipboardData(CF_TEXT, block)) {
        ::GlobalFree(block);
        if (unicode)
            ::GlobalFree(unicode);
        ::CloseClipboard();
        return false;
    }
    // CF_TEXT is on the clipboard, so the copy has succeeded whatever
    // becomes of the Unicode form.
    if (unicode && !::SetClipboardData(CF_UNICODETEXT, unicode))
        ::GlobalFree(unicode);
    ::CloseClipboard();
    return true;
}

std::int32_t GetPlatformId()
{
    if (platformKnown)
        return static_cast<std::int32_t>(osVersion.narrow.dwPlatformId);

    osVersion.narrow.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    const auto narrowQuery = bind<VersionQueryA>(L"kernel32.dll", "GetVersionExA");
    const bool narrowUnavailable = narrowQuery == nullptr;
    if (narrowUnavailable || !narrowQuery(&osVersion.narrow))
        osVersion.narrow.dwPlatformId = kPlatformWin9x;

    if (narrowUnavailable) {
        osVersion.wide.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        const auto wideQuery = bind<VersionQueryW>(L"kernel32.dll", "GetVersionExW");
        if (!wideQuery || !wideQuery(&osVersion.wide))
            osVersion.wide.dwPlatformId = kPlatformWin9x;
    }

    platformKnown = true;
    return static_cast<std::int32_t>(osVersion.narrow.dwPlatformId);
}

std::int32_t OpenWithShell(WindowHandle owner, std::u16string_view operation,
                           std::u16string_view file, std::u16string_view parameters,
                           std::u16string_view directory, std::int32_t showCommand)
{
    const HWND window = reinterpret_cast<HWND>(owner);
    HINSTANCE result = nullptr;
    // Empty strings go to the shell as empty strings, never as null pointers.
    if (GetPlatformId() == kPlatformNT) {
        const auto shellExecute = bind<ShellOpenW>(L"shell32.dll", "ShellExecuteW");
        if (!shellExecute)
            return SE_ERR_DLLNOTFOUND;
        const std::wstring op = wide(operation), path = wide(file), params = wide(parameters), dir = wide(directory);
        result = shellExecute(window, op.c_str(), path.c_str(), params.c_str(), dir.c_str(), showCommand);
    } else {
        const auto shellExecute = bind<ShellOpenA>(L"shell32.dll", "ShellExecuteA");
        if (!shellExecute)
            return SE_ERR_DLLNOTFOUND;
        const std::string op = ansi(operation), path = ansi(file), params = ansi(parameters), dir = ansi(directory);
        result = shellExecute(window, op.c_str(), path.c_str(), params.c_str(), dir.c_str(), showCommand);
    }
    // The shell's HINSTANCE is only ever a small status code, passed on as it is.
    return static_cast<std::int32_t>(reinterpret_cast<INT_PTR>(result));
}

} // namespace ApiDef
