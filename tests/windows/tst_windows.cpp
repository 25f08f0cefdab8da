// Runs under Wine in code page 932: drives quorvel.exe through its controls as
// a user would, and calls the platform layer where the window cannot reach.
// Expected tags come from the shared composer, expected bytes from
// tests/narrow_rows.json (split into files by run-under-wine).
//   tst_windows QUORVEL_EXE ROWS_DIR      (working directory: a fresh one)

#include "TagComposer.h"
#include "frmMain_win.h"
#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"

#include <windows.h>
#include <initguid.h>
#include <oleacc.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace design = frmMainDesign;

int failures = 0;
std::string row;  // what a failure belongs to
#define CHECK(ok) ((ok) ? void() : (++failures, void(std::printf("FAIL %s (line %d): %s\n", row.c_str(), __LINE__, #ok))))

PROCESS_INFORMATION quorvel{};
HWND frmMain = nullptr;

std::string slurp(const std::string& path) { std::ifstream file(path, std::ios::binary); return {std::istreambuf_iterator<char>(file), {}}; }
// Polls for up to five seconds: the program answers in its own time.
template <typename Condition> bool until(Condition met) { for (int i = 0; i < 250; ++i, ::Sleep(20)) if (met()) return true; return false; }
HWND item(std::string_view name) { return ::GetDlgItem(frmMain, frmMain_win::ControlId(name)); }
std::u16string text(HWND window) { std::vector<char16_t> b(65536); ::SendMessageW(window, WM_GETTEXT, b.size(), reinterpret_cast<LPARAM>(b.data())); return b.data(); }
void setText(std::string_view name, const std::u16string& value) { ::SendMessageW(item(name), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str())); }
bool checked(std::string_view name) { return ::SendMessageW(item(name), BM_GETCHECK, 0, 0) == BST_CHECKED; }
void click(std::string_view name) { ::PostMessageW(item(name), BM_CLICK, 0, 0); }
bool running() { return ::WaitForSingleObject(quorvel.hProcess, 0) == WAIT_TIMEOUT && ::IsWindow(frmMain); }
std::string bytesOf(const std::u16string& text) { return {reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2}; }

// The whole block the clipboard holds in `format`, terminating zero included.
std::string clipboard(UINT format)
{
    const HANDLE block = until([] { return ::OpenClipboard(nullptr); }) ? ::GetClipboardData(format) : nullptr;
    const std::string bytes = block ? std::string(static_cast<const char*>(::GlobalLock(block)), ::GlobalSize(block)) : "(none)";
    return ::GlobalUnlock(block), ::CloseClipboard(), bytes;
}

// The box the window shows: its caption, OK only, no icon, modal to the
// window, which keeps running once it is answered. Returns its text.
std::u16string answerBox()
{
    HWND box = nullptr;
    if (!until([&] { return (box = ::FindWindowW(L"#32770", nullptr)) && ::GetWindow(box, GW_OWNER) == frmMain; })) return u"(no message box)";
    CHECK(text(box) == design::kAppTitle && !::IsWindowEnabled(frmMain));
    CHECK(::GetDlgItem(box, IDOK) && !::GetDlgItem(box, IDCANCEL) && !::SendDlgItemMessageW(box, 0x440, STM_GETICON, 0, 0));
    const std::u16string message = text(::GetDlgItem(box, 0xFFFF));
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    CHECK(until([&] { return !::IsWindow(box); }) && running());
    return message;
}

int main(int argc, char** argv)
{
    if (argc != 3 || ::GetACP() != 932)
        return std::printf("FAIL: needs QUORVEL_EXE ROWS_DIR and code page 932 (LANG=ja_JP.UTF-8), has %u\n", ::GetACP()), 1;
    // Row i of the table: its text in UTF-16 and its CP932 bytes.
    struct Row { std::u16string text; std::string cp932; };
    std::vector<Row> rows;
    for (std::string base; std::ifstream(base = std::string(argv[2]) + "\\" + std::to_string(rows.size()) + ".cp932");) {
        const std::string utf16 = slurp(base.substr(0, base.size() - 5) + "u16");
        rows.push_back({std::u16string(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size() / 2), slurp(base)});
    }
    // The family is asked once and the answer kept: every later answer is the first one, and each open takes the
    // wide entry point, the only one that can spell this name.
    row = "the wide shell entry point, for a name code page 932 cannot spell, every time";
    ::RegSetKeyValueW(HKEY_CLASSES_ROOT, L".html", nullptr, REG_SZ, L"htmlfile", 18);
    ::CloseHandle(::CreateFileW(L"\u00f8\u00e9.html", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    CHECK(ApiDef::GetPlatformId() == 2 && ApiDef::GetPlatformId() == 2);
    CHECK(ApiDef::OpenWithShell(0, u"Open", u"\u00f8\u00e9.html", u"", u"", 1) > 32 && ApiDef::OpenWithShell(0, u"Open", u"\u00f8\u00e9.html", u"", u"", 1) > 32);

    const auto start = [&] {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!::CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &quorvel))
            return false;
        // Shown means laid out; Wine may call the program idle earlier, while it is still loading.
        ::WaitForInputIdle(quorvel.hProcess, 20000);
        return until([] { return (frmMain = ::FindWindowW(frmMain_win::kClassName, nullptr)) && ::IsWindowVisible(frmMain); });
    };
    if (!start())
        return std::printf("FAIL: cannot start %s\n", argv[1]), 1;
    row = "window";
    const int dpi = static_cast<int>(::GetDpiForWindow(frmMain));
    const auto px = [&](int twips) { return ::MulDiv(twips, dpi, 1440); };
    RECT box;
    ::GetClientRect(frmMain, &box);
    CHECK(box.right == px(design::kClientWidth) && box.bottom == px(design::kClientHeight) && dpi >= 96);
    CHECK(text(frmMain) == design::kCaption && !(::GetWindowLongW(frmMain, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX)) &&
          checked("chkCnvScript") && checked("chkCovCode"));
    // By kind: line fields that scroll as they fill, two-state check boxes,
    // buttons that are never the default, txtTag with both scroll bars and no
    // word wrap.
    constexpr LONG kMask[] = {0, ES_AUTOHSCROLL, BS_TYPEMASK, BS_TYPEMASK, ES_MULTILINE | ES_AUTOHSCROLL | WS_HSCROLL | WS_VSCROLL};
    constexpr LONG kStyle[] = {0, ES_AUTOHSCROLL, BS_AUTOCHECKBOX, BS_PUSHBUTTON, kMask[4]};
    for (const design::Control& c : design::kControls) {
        row = c.name;
        const HWND w = item(c.name);
        ::GetWindowRect(w, &box);
        ::MapWindowPoints(nullptr, frmMain, reinterpret_cast<POINT*>(&box), 2);
        CHECK(box.left == px(c.left) && box.top == px(c.top) && box.right - box.left == px(c.width) && box.bottom - box.top == px(c.height));
        const auto kind = static_cast<std::size_t>(c.kind);
        CHECK(text(w) == c.text && (::GetWindowLongW(w, GWL_STYLE) & kMask[kind]) == kStyle[kind]);
        CHECK((c.kind != design::Kind::LineEdit && c.kind != design::Kind::MultiLineEdit) || ::SendMessageW(w, EM_GETLIMITTEXT, 0, 0) >= 0x7FFFFFFE);
    }

    // As a screen reader asks, from this process. A field's label: back through z-order to a static, no further than a
    // tab stop or group. What oleacc answers: the label's text, txtTag's annotation, role text. oleacc enters quorvel
    // only for the annotation, when txtTag is first asked about, never at start.
    const auto isStatic = [](HWND w) { wchar_t name[8]{}; return ::GetClassNameW(w, name, 8) && !::lstrcmpiW(name, L"Static"); };
    const auto loaded = [](const wchar_t* dll) { const HANDLE all = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, quorvel.dwProcessId); MODULEENTRY32W m{}; m.dwSize = sizeof m;
                                                 bool found = false; for (BOOL more = ::Module32FirstW(all, &m); more && !found; more = ::Module32NextW(all, &m)) found = !::lstrcmpiW(m.szModule, dll);
                                                 return ::CloseHandle(all), found; };
    ::CoInitialize(nullptr);
    constexpr DWORD client = static_cast<DWORD>(OBJID_CLIENT);
    IAccPropServices* service = nullptr;
    const bool annotates = SUCCEEDED(::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices, reinterpret_cast<void**>(&service))) &&
                           SUCCEEDED(service->SetHwndPropStr(::CreateWindowW(L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr), client, CHILDID_SELF, PROPID_ACC_NAME, L"x"));
    if (!annotates) std::printf("NOTE: this oleacc does not annotate (SetHwndPropStr fails), so txtTag's name goes unchecked\n");
    for (const auto& [field, name] : {std::pair{"txtTitle", design::control("Label1").text}, {"txtMail", design::control("Label2").text}, {"txtTag", design::kTagName}}) {
        row = std::string("screen reader: ") + field;
        HWND label = item(field);
        do label = ::GetWindow(label, GW_HWNDPREV); while (label && !isStatic(label) && !(::GetWindowLongW(label, GWL_STYLE) & (WS_GROUP | WS_TABSTOP)));
        CHECK((label && isStatic(label)) == (name != design::kTagName) && (!label || !isStatic(label) || text(label) == name));
        IAccessible* object = nullptr;
        BSTR said = nullptr;
        VARIANT self{}, role{};
        self.vt = VT_I4;
        CHECK(SUCCEEDED(::AccessibleObjectFromWindow(item(field), client, IID_IAccessible, reinterpret_cast<void**>(&object))) &&
              SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4 && role.lVal == ROLE_SYSTEM_TEXT && SUCCEEDED(object->get_accName(self, &said)));
        CHECK((said && said == std::wstring(name.begin(), name.end())) || (!annotates && name == design::kTagName));
        CHECK(loaded(L"oleacc.dll") == (name == design::kTagName));
        ::SysFreeString(said), object ? object->Release() : 0;
    }

    const auto focus = [] { GUITHREADINFO info{}; info.cbSize = sizeof info; ::GetGUIThreadInfo(quorvel.dwThreadId, &info); return info.hwndFocus; };
    const auto press = [](BYTE key, BYTE shift = 0) { for (const auto& [k, up] : {std::pair{shift, 0}, {key, 0}, {key, KEYEVENTF_KEYUP}, {shift, KEYEVENTF_KEYUP}})
                                                          if (k) ::keybd_event(k, 0, static_cast<DWORD>(up), 0); };
    // Enter and Esc press nothing at any stop (no make: txtTag, which Tab
    // selects whole, holds only the line break Enter typed there; no page;
    // Esc leaves the window open); Tab goes round the whole order, then
    // Shift+Tab back.
    const auto order = design::TabOrder();
    for (std::size_t i = 0; i <= 2 * order.size(); ++i) {
        row = "tab order step " + std::to_string(i);
        CHECK(until([&] { return focus() == item(order[i <= order.size() ? i % order.size() : 2 * order.size() - i]->name); }));
        press(VK_ESCAPE);
        press(VK_RETURN);
        press(VK_TAB, i >= order.size() ? VK_SHIFT : 0);
    }
    CHECK(text(item("txtTag")) == u"\r\n" && running() && ::GetFileAttributesW(L"quorvel.html") == INVALID_FILE_ATTRIBUTES);

    const std::u16string linkText = u"O'Brien の \"メール\" <b>", address = u"a'b\"c@例え.jp";
    setText("txtTitle", linkText);
    setText("txtMail", address);
    // From both checked: each click, the options it leaves, and the tag made with them.
    for (const auto& [option, script, encode] : {std::tuple{"chkCnvScript", false, false}, {"chkCovCode", true, true}, {"chkCovCode", true, false},
                                                 {"chkCnvScript", false, false}, {"chkCnvScript", true, false}, {"chkCovCode", true, true}}) {
        row = std::string("click ") + option + " to " + std::to_string(script) + std::to_string(encode);
        click(option);
        CHECK(until([&] { return checked("chkCnvScript") == script && checked("chkCovCode") == encode; }));
        click("btnMake");
        CHECK(until([&] { return text(item("txtTag")) == TagComposer::Compose(linkText, address, {script, encode}); }));
    }

    // Each row: the page's bytes straight from the platform layer; copied,
    // the CP932 bytes of a row the code page holds whole, and the Unicode form.
    // A format another program left there must not outlive the first copy.
    ::OpenClipboard(nullptr), ::EmptyClipboard(), ::SetClipboardData(CF_DIB, ::GlobalAlloc(GMEM_MOVEABLE, 64)), ::CloseClipboard();
    for (const Row& r : rows) {
        row = "row " + std::to_string(&r - rows.data());
        CHECK(ApiDef::WritePreviewFile(u"page.html", r.text).ok && slurp("page.html") == r.cp932);
        setText("txtTag", r.text);
        ::SendMessageTimeoutW(item("btnCopy"), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, nullptr);  // a box would hold it
        CHECK(clipboard(CF_UNICODETEXT) == bytesOf(r.text) && running() && !::FindWindowW(L"#32770", nullptr) && !::IsClipboardFormatAvailable(CF_DIB));
        CHECK(r.cp932.find("&#") != std::string::npos || clipboard(CF_TEXT) == r.cp932 + '\0');
    }
    row = "copy while another program holds the clipboard";
    ::OpenClipboard(nullptr);
    setText("txtTag", u"not copied");
    click("btnCopy");
    CHECK(answerBox() == design::kCopyFailed);
    ::CloseClipboard();
    CHECK(rows.size() > 5 && clipboard(CF_UNICODETEXT) == bytesOf(rows.back().text));

    // Each refused copy has made 12 MiB of blocks (CF_TEXT and CF_UNICODETEXT), which are still the copy's to free.
    row = "copies refused while another window holds the clipboard: no block left behind";
    const auto committed = [] { PROCESS_MEMORY_COUNTERS m{}; m.cb = sizeof m; ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &m, sizeof m); return m.PagefileUsage; };
    const std::u16string large(4 << 20, u'x');
    CHECK(::OpenClipboard(::CreateWindowW(L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)));
    const SIZE_T before = committed();
    int refused = 0;
    for (int i = 0; i < 16; ++i) refused += !ApiDef::CopyToClipboard(0, large);
    CHECK(refused == 16 && committed() < before + (32u << 20));
    ::CloseClipboard();

    row = "preview";  // both options are on again: a fresh encoded tag, its page in CP932
    const std::u16string tag = TagComposer::Compose(linkText, address, {});
    setText("txtTag", u"edited");
    click("btnPreView");
    std::string page;
    CHECK(until([&] { return text(item("txtTag")) == tag && !(page = slurp("quorvel.html")).empty(); }));
    std::u16string decoded(page.size(), u'\0');
    decoded.resize(static_cast<std::size_t>(::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, page.data(), static_cast<int>(page.size()),
                                                                  reinterpret_cast<wchar_t*>(decoded.data()), static_cast<int>(page.size()))));
    CHECK(decoded == TagComposer::PreviewPage(tag) && !::FindWindowW(L"#32770", nullptr));

    row = "preview while the old page is held open";  // and nothing opened: without an association that would be a box
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L".html");
    const HANDLE held = ::CreateFileW(L"quorvel.html", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::u16string failed = design::WriteFailedMessage(u""), message = (click("btnPreView"), answerBox());
    CHECK(message.size() > failed.size() && message.starts_with(failed) && answerBox() == u"(no message box)");
    ::CloseHandle(held);
    WIN32_FIND_DATAW found;
    CHECK(slurp("quorvel.html") == page && ::FindFirstFileW(L"*.tmp", &found) == INVALID_HANDLE_VALUE);

    row = "preview without an .html association";
    click("btnPreView");
    CHECK(answerBox() == design::kShellError);

    row = "close";
    ::PostMessageW(frmMain, WM_CLOSE, 0, 0);
    CHECK(::WaitForSingleObject(quorvel.hProcess, 5000) == WAIT_OBJECT_0);

    // Without shell32 the shell's answer is 32 (SE_ERR_DLLNOTFOUND), the highest of its errors. Wine keeps a
    // program's DLL overrides in the registry, by the program's name; an empty one disables the DLL.
    row = "preview with the shell's error 32";
    const std::wstring program = L"Software\\Wine\\AppDefaults\\quorvel.exe";
    ::RegSetKeyValueW(HKEY_CURRENT_USER, (program + L"\\DllOverrides").c_str(), L"shell32", REG_SZ, L"", sizeof L"");
    CHECK(start());
    click("btnPreView");
    CHECK(answerBox() == design::kShellError);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, program.c_str());
    ::PostMessageW(frmMain, WM_CLOSE, 0, 0);
    CHECK(::WaitForSingleObject(quorvel.hProcess, 5000) == WAIT_OBJECT_0);
    return std::printf("%d failed\n", failures), failures ? 1 : 0;
}
