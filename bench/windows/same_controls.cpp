// The floor for quorvel.exe's start-up: a Win32 window with the same ten
// controls (classes, styles, texts, places), the system's message font at
// the window's DPI and the same manifest (Common Controls 6, per-monitor DPI
// awareness), and nothing else: no icon, no handlers, no annotation.
#include "frmMainDesign.h"

#include <windows.h>

#include <string>

namespace design = frmMainDesign;

static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

static void style(design::Kind kind, const wchar_t*& name, DWORD& style, DWORD& extended)
{
    extended = 0;
    switch (kind) {
    case design::Kind::Label: name = L"STATIC", style = SS_LEFT | SS_NOPREFIX; return;
    case design::Kind::LineEdit: name = L"EDIT", style = WS_TABSTOP | ES_AUTOHSCROLL, extended = WS_EX_CLIENTEDGE; return;
    case design::Kind::CheckBox: name = L"BUTTON", style = WS_TABSTOP | BS_AUTOCHECKBOX; return;
    case design::Kind::Button: name = L"BUTTON", style = WS_TABSTOP | BS_PUSHBUTTON; return;
    case design::Kind::MultiLineEdit:
        name = L"EDIT", extended = WS_EX_CLIENTEDGE;
        style = WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_WANTRETURN;
        return;
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = L"SameControls";
    ::RegisterClassExW(&windowClass);
    HWND window = ::CreateWindowExW(0, L"SameControls", L"Same controls", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                                    nullptr, nullptr, instance, nullptr);
    const UINT dpi = ::GetDpiForWindow(window);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    const HFONT font = ::CreateFontIndirectW(&metrics.lfMessageFont);
    const auto px = [dpi](int twips) { return ::MulDiv(twips, static_cast<int>(dpi), 1440); };
    // In the table's order, which puts each label just before its field.
    for (const design::Control& c : design::kControls) {
        const wchar_t* name = nullptr;
        DWORD controlStyle = 0, extended = 0;
        style(c.kind, name, controlStyle, extended);
        const std::u16string text(c.text);
        HWND control = ::CreateWindowExW(extended, name, reinterpret_cast<const wchar_t*>(text.c_str()),
                                         WS_CHILD | WS_VISIBLE | controlStyle, px(c.left), px(c.top), px(c.width),
                                         px(c.height), window, nullptr, instance, nullptr);
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (c.kind == design::Kind::CheckBox)
            ::SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
    }
    RECT frame{0, 0, px(design::kClientWidth), px(design::kClientHeight)};
    ::AdjustWindowRectExForDpi(&frame, kStyle, FALSE, 0, dpi);
    ::SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(window, show);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(window, &message))
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
