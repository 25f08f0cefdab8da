#pragma once
// The native Windows window: plain Win32, the same design, texts and
// handlers as the Qt window.

#include "frmMainDesign.h"

#include <string_view>

namespace frmMain_win {

// The window's class name, by which other programs (and the tests) find it.
inline constexpr wchar_t kClassName[] = L"Quorvel.frmMain";

// A control's id is this plus its row in the design table, so that its name
// finds it (GetDlgItem) and no id collides with IDOK or IDCANCEL, which the
// dialog keys send and which must press nothing.
inline constexpr int kFirstControlId = 1000;

constexpr int ControlId(std::string_view name)
{
    return kFirstControlId + static_cast<int>(&frmMainDesign::control(name) - frmMainDesign::kControls.data());
}

// Opens the window and runs its message loop until it is closed.
int Run(void* instance, int showCommand);

} // namespace frmMain_win
