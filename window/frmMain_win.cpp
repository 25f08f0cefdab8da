#include "frmMain_win.h"

#include "TagComposer.h"
#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The annotation service's ids, defined here rather than taken from a
// library that would also import oleacc.
#include <initguid.h>
#include <oleacc.h>

#include <string>

namespace frmMain_win {
namespace {

namespace design = frmMainDesign;

// Fixed size: neither a sizing border nor a maximise box.
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// The window's state is its controls; these only keep what Win32 needs
// across messages.
HWND frmMain = nullptr;
HFONT font = nullptr;
HWND focusBeforeDeactivation = nullptr;
WNDPROC editProcedure = nullptr;

// txtTag has no label to be named after, so screen readers get its name and
// description from oleacc's annotation service. Starting COM and loading
// oleacc would add a few per cent to every start, and only assistive
// technology ever reads the annotation, so it is made when the first one
// asks: every question about a window reaches that window as WM_GETOBJECT
// before it is answered, and a reader asks about the main window or the
// field itself before it can reach the field's name. ole32 is bound by name
// from the system folder, so the program's imports stay as they are; if
// anything fails the field is merely unnamed.
bool annotationTried = false;
bool comStarted = false;
IAccPropServices* annotations = nullptr;
constexpr MSAAPROPID kAnnotated[] = {PROPID_ACC_NAME, PROPID_ACC_DESCRIPTION};

// UTF-16 on both sides; a std::u16string is zero-terminated.
const wchar_t* wide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

HWND control(std::string_view name)
{
    return ::GetDlgItem(frmMain, ControlId(name));
}

std::u16string textOf(HWND window)
{
    std::u16string text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, u'\0');
    const int length = ::GetWindowTextW(window, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void setText(HWND window, const std::u16string& text)
{
    ::SetWindowTextW(window, wide(text));
}

bool isChecked(HWND box)
{
    return ::SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void setChecked(HWND box, bool checked)
{
    ::SendMessageW(box, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

ApiDef::WindowHandle owner()
{
    return reinterpret_cast<ApiDef::WindowHandle>(frmMain);
}

void showMessage(const std::u16string& text)
{
    // Owned by the window, so modal to it; MB_OK alone carries no icon.
    ::MessageBoxW(frmMain, wide(text), wide(std::u16string(design::kAppTitle)), MB_OK);
}

int scaled(int twips, UINT dpi)
{
    return ::MulDiv(twips, static_cast<int>(dpi), 1440);
}

HFONT messageFont(UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    return ::CreateFontIndirectW(&metrics.lfMessageFont);
}

void sizeFrame(UINT dpi)
{
    RECT frame{0, 0, scaled(design::kClientWidth, dpi), scaled(design::kClientHeight, dpi)};
    ::AdjustWindowRectExForDpi(&frame, kStyle, FALSE, 0, dpi);
    ::SetWindowPos(frmMain, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// For a new DPI: places every control at its twips, gives each the system's
// message font at that DPI and sizes the window around the client area.
void layOut(UINT dpi)
{
    const HFONT next = messageFont(dpi);
    for (const design::Control& c : design::kControls) {
        const HWND window = control(c.name);
        ::SetWindowPos(window, nullptr, scaled(c.left, dpi), scaled(c.top, dpi), scaled(c.width, dpi),
                       scaled(c.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
        ::SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(next), TRUE);
    }
    if (font)
        ::DeleteObject(font);
    font = next;
    sizeFrame(dpi);
}

void btnMake_Click()
{
    const TagComposer::Options options{isChecked(control("chkCnvScript")), isChecked(control("chkCovCode"))};
    setText(control("txtTag"),
            TagComposer::Compose(textOf(control("txtTitle")), textOf(control("txtMail")), options));
}

void btnCopy_Click()
{
    if (!ApiDef::CopyToClipboard(owner(), textOf(control("txtTag"))))
        showMessage(std::u16string(design::kCopyFailed));
}

void btnPreView_Click()
{
    btnMake_Click();
    const ApiDef::WriteResult written =
        ApiDef::WritePreviewFile(design::kPreviewFile, TagComposer::PreviewPage(textOf(control("txtTag"))));
    if (!written.ok) {
        // The old page, if any, is still intact; opening it would show a stale tag.
        showMessage(design::WriteFailedMessage(written.reason));
        return;
    }
    if (ApiDef::OpenWithShell(owner(), u"Open", design::kPreviewFile, u"", u"", 1) <= 32)
        showMessage(std::u16string(design::kShellError));
}

void chkCnvScript_Click()
{
    if (!isChecked(control("chkCnvScript")))
        setChecked(control("chkCovCode"), false);
}

void chkCovCode_Click()
{
    if (isChecked(control("chkCovCode")))
        setChecked(control("chkCnvScript"), true);
}

template <typename Function>
Function entry(HMODULE module, const char* name)
{
    // Through the generic function-pointer type, which converts to any other
    // without a warning about mismatched signatures.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// Once, whatever comes of it.
void annotate(HWND field)
{
    // A question about the main window can come before the field exists.
    if (annotationTried || !field)
        return;
    annotationTried = true;
    const HMODULE ole = ::LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);  // kept for the run
    const auto startCom = ole ? entry<decltype(&::CoInitializeEx)>(ole, "CoInitializeEx") : nullptr;
    const auto create = ole ? entry<decltype(&::CoCreateInstance)>(ole, "CoCreateInstance") : nullptr;
    if (!startCom || !create || FAILED(startCom(nullptr, COINIT_APARTMENTTHREADED)))
        return;
    comStarted = true;
    if (FAILED(create(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                      reinterpret_cast<void**>(&annotations))))
        return;
    const std::u16string name(design::kTagName), description(design::kTagDescription);
    annotations->SetHwndPropStr(field, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_NAME, wide(name));
    annotations->SetHwndPropStr(field, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, PROPID_ACC_DESCRIPTION,
                                wide(description));
}

// While the field still exists: the service keeps what it was given for as
// long as the process runs, keyed by a handle that may be reused.
void clearAnnotation(HWND field)
{
    if (annotations) {
        annotations->ClearHwndProps(field, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kAnnotated,
                                    static_cast<int>(std::size(kAnnotated)));
        annotations->Release();
        annotations = nullptr;
    }
    if (comStarted) {
        const auto stopCom = entry<decltype(&::CoUninitialize)>(::GetModuleHandleW(L"ole32.dll"), "CoUninitialize");
        if (stopCom)
            stopCom();
        comStarted = false;
    }
}

// A multi-line edit asks for every key; Tab is taken back so that it moves
// the focus as in every other field, while Enter still breaks the line. Esc
// never reaches the edit: in a dialog-style loop it would close the window.
LRESULT CALLBACK txtTagProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if ((message == WM_KEYDOWN || message == WM_CHAR) && wParam == VK_ESCAPE)
        return 0;
    if (message == WM_GETOBJECT)
        annotate(window);
    if (message == WM_DESTROY)
        clearAnnotation(window);
    LRESULT code = ::CallWindowProcW(editProcedure, window, message, wParam, lParam);
    const auto* key = reinterpret_cast<const MSG*>(lParam);
    if (message == WM_GETDLGCODE && key && key->wParam == VK_TAB)
        code &= ~static_cast<LRESULT>(DLGC_WANTTAB | DLGC_WANTALLKEYS);
    return code;
}

LRESULT CALLBACK frmMainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        // Only clicks; IDOK and IDCANCEL, which Enter and Esc send, match no
        // control and so press nothing.
        if (HIWORD(wParam) != BN_CLICKED)
            break;
        switch (LOWORD(wParam)) {
        case ControlId("btnMake"): btnMake_Click(); return 0;
        case ControlId("btnCopy"): btnCopy_Click(); return 0;
        case ControlId("btnPreView"): btnPreView_Click(); return 0;
        case ControlId("chkCnvScript"): chkCnvScript_Click(); return 0;
        case ControlId("chkCovCode"): chkCovCode_Click(); return 0;
        }
        break;
    case WM_ACTIVATE:
        // Not a dialog, so the focus is kept across deactivation by hand.
        if (LOWORD(wParam) == WA_INACTIVE)
            focusBeforeDeactivation = ::GetFocus();
        else if (focusBeforeDeactivation && ::IsChild(window, focusBeforeDeactivation))
            ::SetFocus(focusBeforeDeactivation);
        return 0;
    case WM_GETOBJECT:
        annotate(control("txtTag"));
        break;
    case WM_DPICHANGED: {
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        ::SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        layOut(HIWORD(wParam));
        return 0;
    }
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

struct ControlClass {
    const wchar_t* name;
    DWORD style;
    DWORD extendedStyle;
};

ControlClass classOf(design::Kind kind)
{
    switch (kind) {
    case design::Kind::Label: return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case design::Kind::LineEdit: return {L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case design::Kind::CheckBox: return {L"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX, 0};
    case design::Kind::Button: return {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0};
    case design::Kind::MultiLineEdit:
        return {L"EDIT", WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_WANTRETURN,
                WS_EX_CLIENTEDGE};
    }
    return {L"STATIC", 0, 0};
}

// Made in place, with the font: placing them afterwards costs a round of
// moves and redraws at every start.
void createControl(HINSTANCE instance, const design::Control& c, UINT dpi)
{
    const ControlClass kind = classOf(c.kind);
    const std::u16string text(c.text);
    const HWND window = ::CreateWindowExW(kind.extendedStyle, kind.name, wide(text), WS_CHILD | WS_VISIBLE | kind.style,
                                          scaled(c.left, dpi), scaled(c.top, dpi), scaled(c.width, dpi), scaled(c.height, dpi),
                                          frmMain, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(c.name))),
                                          instance, nullptr);
    ::SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c.kind == design::Kind::LineEdit || c.kind == design::Kind::MultiLineEdit)
        ::SendMessageW(window, EM_SETLIMITTEXT, 0, 0);  // the system's maximum, no limit of the field's own
    if (c.kind == design::Kind::CheckBox)
        setChecked(window, true);
    if (c.kind == design::Kind::MultiLineEdit)
        editProcedure = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&txtTagProcedure)));
}

} // namespace

int Run(void* instanceHandle, int showCommand)
{
    const auto instance = static_cast<HINSTANCE>(instanceHandle);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = frmMainProcedure;
    windowClass.hInstance = instance;
    // Both sizes from the icon's own images, so that neither is a scaled copy.
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                          ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kClassName;
    if (!::RegisterClassExW(&windowClass))
        return 1;

    const std::u16string caption(design::kCaption);
    frmMain = ::CreateWindowExW(0, kClassName, wide(caption), kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr,
                                nullptr, instance, nullptr);
    if (!frmMain)
        return 1;
    // Created in tab order, which is the order Tab walks the children in.
    // Each line field's label comes just before it: screen readers name a
    // field after the static text that precedes it in that order, looking
    // no further back than the previous tab stop. The labels take no focus.
    const UINT dpi = ::GetDpiForWindow(frmMain);
    font = messageFont(dpi);
    for (const design::Control* c : design::TabOrder()) {
        for (const auto& [label, field] : design::kLabelOf)
            if (c->name == field)
                createControl(instance, design::control(label), dpi);
        createControl(instance, *c, dpi);
    }
    sizeFrame(dpi);

    ::ShowWindow(frmMain, showCommand);
    ::SetFocus(control(design::TabOrder().front()->name));

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Enter presses nothing: the dialog manager would click a focused
        // push button, which stands in for the default button the window
        // does not have. Only the result field takes it, as a line break.
        if ((message.message == WM_KEYDOWN || message.message == WM_CHAR) && message.wParam == VK_RETURN
            && message.hwnd != control("txtTag"))
            continue;
        // Tab and Shift+Tab move the focus as in a dialog.
        if (::IsDialogMessageW(frmMain, &message))
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (font)
        ::DeleteObject(font);
    return static_cast<int>(message.wParam);
}

} // namespace frmMain_win
