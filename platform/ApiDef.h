#pragma once
// The operating-system layer. Everything the window needs from the system
// goes through these free functions; each returns a status and never shows
// anything, so the window decides what the user is told.
//
// The interface uses standard types only, so that the Windows backend builds
// without Qt and the window's tests can replace the whole layer at link time.

#include <cstdint>
#include <string>
#include <string_view>

namespace ApiDef {

// The native handle of the window on whose behalf a request is made
// (an HWND on Windows, an X11 window id on Linux).
using WindowHandle = std::uintptr_t;

// Replaces the clipboard's content with `text`. True only when the text was
// handed over to the clipboard.
bool CopyToClipboard(WindowHandle owner, std::u16string text);

// Asks the desktop to perform `operation` on `file`. Keeps the Windows shell's
// convention: a value above 32 is success, 32 or less an error code
// (2: file not found, 31: no application is associated).
std::int32_t OpenWithShell(WindowHandle owner, std::u16string_view operation,
                           std::u16string_view file, std::u16string_view parameters,
                           std::u16string_view directory, std::int32_t showCommand);

// The desktop's opener may still be deciding when OpenWithShell has to
// return: a browser it started in the foreground keeps it running, and a
// busy machine keeps its failures coming late. OpenWithShell then returns
// success, and should the opener fail after all, `report` is called with
// the owner and the error code, on the thread that called OpenWithShell, so
// that the user hears of it all the same. Windows' shell has decided before
// it returns, so there nothing is ever reported late.
using LateShellFailure = void (*)(WindowHandle owner, std::int32_t result);
void SetLateShellFailureHandler(LateShellFailure report);

// The Windows platform family (1: 9x, 2: NT), queried once per run.
// Elsewhere there is no family to choose between and the answer is 2.
std::int32_t GetPlatformId();

} // namespace ApiDef
