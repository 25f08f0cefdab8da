// The Windows program's entry: it only opens the window.

#include "window/frmMain_win.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    return frmMain_win::Run(instance, showCommand);
}
