// CopyToClipboard against Wine's real clipboard and global memory, with the
// import table recording what the wrapper asked of them.

#include "harness.h"
#include "imports.h"
#include "support.h"
#include "tests.h"

#include <type_traits>

#include "platform/ApiDef.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

namespace wintest {
namespace {

struct Call {
    std::string name;
    std::uintptr_t first = 0;
    std::uintptr_t second = 0;
    std::uintptr_t result = 0;
};

// What the recording functions see and how they are told to misbehave.
struct Spy {
    std::vector<Call> calls;
    int allocs = 0;
    int locks = 0;
    int failAllocAt = -1;  // the index of the GlobalAlloc call that fails
    int failLockAt = -1;
    UINT refuseFormat = 0;  // SetClipboardData with this format returns NULL
};

Spy* g_spy = nullptr;

struct Originals {
    decltype(&::GlobalAlloc) globalAlloc = nullptr;
    decltype(&::GlobalLock) globalLock = nullptr;
    decltype(&::GlobalUnlock) globalUnlock = nullptr;
    decltype(&::GlobalFree) globalFree = nullptr;
    decltype(&::lstrcpyA) copyA = nullptr;
    decltype(&::OpenClipboard) openClipboard = nullptr;
    decltype(&::EmptyClipboard) emptyClipboard = nullptr;
    decltype(&::SetClipboardData) setClipboardData = nullptr;
    decltype(&::CloseClipboard) closeClipboard = nullptr;
} g_real;

template <typename T>
std::uintptr_t bits(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<std::uintptr_t>(value);
    else
        return static_cast<std::uintptr_t>(value);
}

void record(const char* name, std::uintptr_t first, std::uintptr_t second, std::uintptr_t result)
{
    g_spy->calls.push_back({name, first, second, result});
}

HGLOBAL WINAPI spyGlobalAlloc(UINT flags, SIZE_T bytes)
{
    HGLOBAL block = nullptr;
    if (g_spy->allocs++ == g_spy->failAllocAt)
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    else
        block = g_real.globalAlloc(flags, bytes);
    record("GlobalAlloc", flags, bytes, bits(block));
    return block;
}

LPVOID WINAPI spyGlobalLock(HGLOBAL block)
{
    LPVOID address = nullptr;
    if (g_spy->locks++ == g_spy->failLockAt)
        ::SetLastError(ERROR_INVALID_HANDLE);
    else
        address = g_real.globalLock(block);
    record("GlobalLock", bits(block), 0, bits(address));
    return address;
}

BOOL WINAPI spyGlobalUnlock(HGLOBAL block)
{
    const BOOL result = g_real.globalUnlock(block);
    record("GlobalUnlock", bits(block), 0, bits(result));
    return result;
}

HGLOBAL WINAPI spyGlobalFree(HGLOBAL block)
{
    const HGLOBAL result = g_real.globalFree(block);
    record("GlobalFree", bits(block), 0, bits(result));
    return result;
}

LPSTR WINAPI spyCopyA(LPSTR destination, LPCSTR source)
{
    const LPSTR result = g_real.copyA(destination, source);
    record("lstrcpyA", bits(destination), std::strlen(source), bits(result));
    return result;
}

BOOL WINAPI spyOpenClipboard(HWND owner)
{
    const BOOL result = g_real.openClipboard(owner);
    record("OpenClipboard", bits(owner), 0, bits(result));
    return result;
}

BOOL WINAPI spyEmptyClipboard()
{
    const BOOL result = g_real.emptyClipboard();
    record("EmptyClipboard", 0, 0, bits(result));
    return result;
}

HANDLE WINAPI spySetClipboardData(UINT format, HANDLE data)
{
    HANDLE result = nullptr;
    if (format == g_spy->refuseFormat)
        ::SetLastError(ERROR_ACCESS_DENIED);
    else
        result = g_real.setClipboardData(format, data);
    record("SetClipboardData", format, bits(data), bits(result));
    return result;
}

BOOL WINAPI spyCloseClipboard()
{
    const BOOL result = g_real.closeClipboard();
    record("CloseClipboard", 0, 0, bits(result));
    return result;
}

// Records every clipboard and global-memory call of the program while it
// lives, and passes each on to the system unless told to fail it.
class ClipboardSpy {
public:
    ClipboardSpy()
    {
        add("kernel32.dll", "GlobalAlloc", spyGlobalAlloc, g_real.globalAlloc);
        add("kernel32.dll", "GlobalLock", spyGlobalLock, g_real.globalLock);
        add("kernel32.dll", "GlobalUnlock", spyGlobalUnlock, g_real.globalUnlock);
        add("kernel32.dll", "GlobalFree", spyGlobalFree, g_real.globalFree);
        add("kernel32.dll", "lstrcpyA", spyCopyA, g_real.copyA);
        add("user32.dll", "OpenClipboard", spyOpenClipboard, g_real.openClipboard);
        add("user32.dll", "EmptyClipboard", spyEmptyClipboard, g_real.emptyClipboard);
        add("user32.dll", "SetClipboardData", spySetClipboardData, g_real.setClipboardData);
        add("user32.dll", "CloseClipboard", spyCloseClipboard, g_real.closeClipboard);
        g_spy = &m_spy;
    }
    ~ClipboardSpy()
    {
        m_hooks.clear();
        g_spy = nullptr;
    }
    ClipboardSpy(const ClipboardSpy&) = delete;
    ClipboardSpy& operator=(const ClipboardSpy&) = delete;

    Spy& spy() { return m_spy; }

private:
    template <typename Function>
    void add(const char* dll, const char* name, Function replacement, Function& original)
    {
        m_hooks.push_back(std::make_unique<ImportHook>(dll, name, replacement));
        original = m_hooks.back()->original<Function>();
    }

    Spy m_spy;
    std::vector<std::unique_ptr<ImportHook>> m_hooks;
};

// What one CopyToClipboard call did.
struct Copy {
    bool result = false;
    std::vector<Call> calls;

    std::vector<Call> named(const char* name) const
    {
        std::vector<Call> out;
        for (const Call& call : calls)
            if (call.name == name)
                out.push_back(call);
        return out;
    }
    std::set<std::uintptr_t> allocated() const
    {
        std::set<std::uintptr_t> out;
        for (const Call& call : named("GlobalAlloc"))
            if (call.result)
                out.insert(call.result);
        return out;
    }
    std::set<std::uintptr_t> freed() const
    {
        std::set<std::uintptr_t> out;
        for (const Call& call : named("GlobalFree"))
            out.insert(call.first);
        return out;
    }
    // The CF_TEXT block: the first one allocated.
    std::uintptr_t textBlock() const
    {
        const auto allocs = named("GlobalAlloc");
        return allocs.empty() ? 0 : allocs.front().result;
    }
};

Copy copy(std::u16string text, const Spy& behaviour = {})
{
    Copy done;
    ClipboardSpy spy;
    spy.spy().failAllocAt = behaviour.failAllocAt;
    spy.spy().failLockAt = behaviour.failLockAt;
    spy.spy().refuseFormat = behaviour.refuseFormat;
    done.result = ApiDef::CopyToClipboard(reinterpret_cast<ApiDef::WindowHandle>(ownerWindow()), std::move(text));
    done.calls = spy.spy().calls;
    return done;
}

bool isFreed(std::uintptr_t block)
{
    return ::GlobalFlags(reinterpret_cast<HGLOBAL>(block)) == GMEM_INVALID_HANDLE;
}

struct ClipboardContent {
    bool present = false;
    std::string bytes;  // the whole block, as GlobalSize measures it
};

ClipboardContent readClipboard(UINT format)
{
    ClipboardContent content;
    if (!::OpenClipboard(nullptr))
        WT_FAIL("the clipboard cannot be opened to read it back");
    if (const HANDLE data = ::GetClipboardData(format)) {
        const SIZE_T size = ::GlobalSize(data);
        if (const void* address = ::GlobalLock(data)) {
            content.present = true;
            content.bytes.assign(static_cast<const char*>(address), size);
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return content;
}

// The Unicode text on the clipboard, up to its terminating zero.
std::u16string readUnicode()
{
    const ClipboardContent content = readClipboard(CF_UNICODETEXT);
    std::u16string text(content.bytes.size() / 2, u'\0');
    std::memcpy(text.data(), content.bytes.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

HGLOBAL blockOf(const void* data, std::size_t size)
{
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
    std::memcpy(::GlobalLock(block), data, size);
    ::GlobalUnlock(block);
    return block;
}

// Content put there by "another program", for the cases that must keep it.
const char kPreviousAnsi[] = "previous content";
const char16_t kPreviousUnicode[] = u"previous content";

void placePrevious()
{
    WT_VERIFY(::OpenClipboard(nullptr));
    ::EmptyClipboard();
    ::SetClipboardData(CF_TEXT, blockOf(kPreviousAnsi, sizeof kPreviousAnsi));
    ::SetClipboardData(CF_UNICODETEXT, blockOf(kPreviousUnicode, sizeof kPreviousUnicode));
    ::CloseClipboard();
}

void verifyPreviousKept()
{
    WT_COMPARE(readClipboard(CF_TEXT).bytes, std::string(kPreviousAnsi, sizeof kPreviousAnsi));
    WT_COMPARE(readUnicode(), std::u16string(kPreviousUnicode));
}

DWORD WINAPI tryOpen(LPVOID result)
{
    *static_cast<bool*>(result) = ::OpenClipboard(nullptr) != 0;
    if (*static_cast<bool*>(result))
        ::CloseClipboard();
    return 0;
}

// True when a thread other than this one can open the clipboard, that is
// when nobody has left it open.
bool openableElsewhere()
{
    bool opened = false;
    const HANDLE thread = ::CreateThread(nullptr, 0, tryOpen, &opened, 0, nullptr);
    ::WaitForSingleObject(thread, 10000);
    ::CloseHandle(thread);
    return opened;
}

enum class Holder { Thread, Process };

struct HoldEvents {
    HANDLE held;
    HANDLE release;
};

DWORD WINAPI holdOnThread(LPVOID parameter)
{
    const auto* events = static_cast<const HoldEvents*>(parameter);
    if (::OpenClipboard(nullptr)) {
        ::SetEvent(events->held);
        ::WaitForSingleObject(events->release, 60000);
        ::CloseClipboard();
    }
    return 0;
}

// Keeps the clipboard open from another thread of this process, or from a
// second process in the same Wine session, until released.
class ClipboardHeld {
public:
    explicit ClipboardHeld(Holder holder)
    {
        static unsigned counter = 0;
        const std::u16string stem = u"Local\\quorvel-clipboard-" + u16(std::to_wstring(::GetCurrentProcessId()))
            + u"-" + u16(std::to_wstring(++counter));
        const std::u16string heldName = stem + u"-held";
        const std::u16string releaseName = stem + u"-release";
        m_events.held = ::CreateEventW(nullptr, TRUE, FALSE, wide(heldName).c_str());
        m_events.release = ::CreateEventW(nullptr, TRUE, FALSE, wide(releaseName).c_str());
        if (holder == Holder::Thread)
            m_holder = ::CreateThread(nullptr, 0, holdOnThread, &m_events, 0, nullptr);
        else
            m_holder = startSelf({u"--hold-clipboard", heldName, releaseName});
        const HANDLE waits[] = {m_events.held, m_holder};
        if (!m_holder || ::WaitForMultipleObjects(2, waits, FALSE, 60000) != WAIT_OBJECT_0) {
            release();
            WT_FAIL("the other holder did not get the clipboard open");
        }
    }
    ~ClipboardHeld() { release(); }
    ClipboardHeld(const ClipboardHeld&) = delete;
    ClipboardHeld& operator=(const ClipboardHeld&) = delete;

    void release()
    {
        if (m_events.release)
            ::SetEvent(m_events.release);
        if (m_holder) {
            ::WaitForSingleObject(m_holder, 60000);
            ::CloseHandle(m_holder);
            m_holder = nullptr;
        }
        for (HANDLE* event : {&m_events.held, &m_events.release}) {
            if (*event)
                ::CloseHandle(*event);
            *event = nullptr;
        }
    }

private:
    HoldEvents m_events{};
    HANDLE m_holder = nullptr;
};

void registerAnsiText()
{
    // The narrow payload: iconv's CP932 bytes and one zero, in a block of
    // exactly that size, owned by the window that asked.
    std::vector<Row> rows;
    for (const FixtureText& fixture : representableTexts()) {
        rows.push_back({fixture.tag, [fixture] {
                            const Copy done = copy(fixture.text);
                            WT_VERIFY(done.result);
                            const std::string expected = fixture.cp932 + std::string(1, '\0');

                            const auto allocs = done.named("GlobalAlloc");
                            WT_VERIFY(!allocs.empty());
                            WT_COMPARE(allocs.front().first, std::uintptr_t{GMEM_MOVEABLE | GMEM_ZEROINIT});
                            WT_COMPARE(allocs.front().first, std::uintptr_t{0x42});
                            WT_COMPARE(allocs.front().second, std::uintptr_t{expected.size()});
                            WT_VERIFY(!done.freed().count(done.textBlock()));

                            const ClipboardContent text = readClipboard(CF_TEXT);
                            WT_VERIFY(text.present);
                            WT_COMPARE(text.bytes.size(), expected.size());
                            WT_COMPARE(text.bytes, expected);

                            WT_COMPARE(bits(::GetClipboardOwner()), bits(ownerWindow()));
                            WT_VERIFY(openableElsewhere());
                        }});
    }
    addTest("copyPlacesAnsiText", std::move(rows));
}

void registerUnicodeText()
{
    // The Unicode form keeps what CP932 lacks; Wine would otherwise derive
    // it from CF_TEXT and lose exactly those characters.
    std::vector<Row> rows;
    for (const FixtureText& fixture : lackingTexts()) {
        rows.push_back({fixture.tag, [fixture] {
                            const Copy done = copy(fixture.text);
                            WT_VERIFY(done.result);
                            WT_COMPARE(readUnicode(), fixture.text);
                            WT_VERIFY(readClipboard(CF_TEXT).present);
                            WT_VERIFY(done.freed().empty());
                        }});
    }
    const FixtureText& japanese = representableText("instruction text");
    rows.push_back({"representable " + japanese.tag, [japanese] {
                        WT_VERIFY(copy(japanese.text).result);
                        WT_COMPARE(readUnicode(), japanese.text);
                    }});
    addTest("copyPlacesUnicodeText", std::move(rows));
}

void registerCallOrder()
{
    std::vector<Row> rows;
    for (const char* tag : {"instruction text", "empty"}) {
        const FixtureText& fixture = representableText(tag);
        rows.push_back({tag, [fixture] {
                            const Copy done = copy(fixture.text);
                            WT_VERIFY(done.result);
                            const std::uintptr_t block = done.textBlock();
                            const std::uintptr_t owner = reinterpret_cast<std::uintptr_t>(ownerWindow());
                            // The CF_TEXT block's own steps and the clipboard's, in the order made;
                            // the Unicode block's steps stand between them.
                            std::vector<std::string> steps;
                            std::uintptr_t address = 0;
                            for (const Call& call : done.calls) {
                                const bool clipboard = call.name.find("Clipboard") != std::string::npos;
                                if (call.name == "GlobalLock" && call.first == block)
                                    address = call.result;
                                if (call.name == "lstrcpyA") {
                                    steps.push_back(call.first == address ? "lstrcpyA(locked block)" : "lstrcpyA(?)");
                                } else if (call.name == "SetClipboardData") {
                                    steps.push_back("SetClipboardData(" + std::to_string(call.first)
                                                    + (call.second == block ? ", block)" : ", other)"));
                                } else if (call.name == "OpenClipboard") {
                                    steps.push_back(call.first == owner ? "OpenClipboard(owner)" : "OpenClipboard(?)");
                                } else if (clipboard || call.first == block || call.result == block) {
                                    steps.push_back(call.name);
                                }
                            }
                            const std::vector<std::string> expected = {
                                "GlobalAlloc", "GlobalLock", "lstrcpyA(locked block)", "GlobalUnlock",
                                "OpenClipboard(owner)", "EmptyClipboard", "SetClipboardData(1, block)",
                                "SetClipboardData(13, other)", "CloseClipboard"};
                            WT_COMPARE(steps.size(), expected.size());
                            for (std::size_t i = 0; i < steps.size(); ++i)
                                WT_COMPARE(steps[i], expected[i]);
                        }});
    }
    addTest("copyFollowsCallOrder", std::move(rows));
}

void registerHeldClipboard()
{
    std::vector<Row> rows;
    for (const auto& [tag, holder] : {std::pair{"another thread", Holder::Thread},
                                      std::pair{"another process", Holder::Process}}) {
        rows.push_back({tag, [holder = holder] {
                            placePrevious();
                            Copy done;
                            {
                                ClipboardHeld held(holder);
                                done = copy(u"新しいタグ\r\n");
                                WT_VERIFY(done.textBlock() != 0);
                                WT_VERIFY(isFreed(done.textBlock()));
                            }
                            WT_VERIFY(!done.result);
                            WT_COMPARE(done.freed(), done.allocated());
                            WT_VERIFY(done.named("EmptyClipboard").empty());
                            WT_VERIFY(done.named("SetClipboardData").empty());
                            verifyPreviousKept();
                        }});
    }
    addTest("copyFailsWhileClipboardHeld", std::move(rows));
}

void registerRefusedHandOver()
{
    std::vector<Row> rows;
    rows.push_back({"CF_TEXT refused", [] {
                        Spy refuse;
                        refuse.refuseFormat = CF_TEXT;
                        const Copy done = copy(u"出来たタグ", refuse);
                        WT_VERIFY(!done.result);
                        // Both blocks stayed ours and are gone, and the clipboard is closed.
                        WT_COMPARE(done.allocated().size(), std::size_t{2});
                        WT_COMPARE(done.freed(), done.allocated());
                        for (const std::uintptr_t block : done.allocated())
                            WT_VERIFY(isFreed(block));
                        WT_COMPARE(done.named("CloseClipboard").size(), std::size_t{1});
                        WT_VERIFY(openableElsewhere());
                    }});
    rows.push_back({"CF_UNICODETEXT refused", [] {
                        Spy refuse;
                        refuse.refuseFormat = CF_UNICODETEXT;
                        const Copy done = copy(representableText("short japanese").text, refuse);
                        WT_VERIFY(done.result);
                        const std::set<std::uintptr_t> freed = done.freed();
                        WT_COMPARE(freed.size(), std::size_t{1});
                        WT_VERIFY(!freed.count(done.textBlock()));
                        WT_VERIFY(isFreed(*freed.begin()));
                        WT_COMPARE(readClipboard(CF_TEXT).bytes,
                                   representableText("short japanese").cp932 + std::string(1, '\0'));
                        WT_VERIFY(openableElsewhere());
                    }});
    addTest("copyHandlesRefusedHandOver", std::move(rows));
}

void registerMemoryFailures()
{
    std::vector<Row> rows;
    rows.push_back({"CF_TEXT block not allocated", [] {
                        placePrevious();
                        Spy fail;
                        fail.failAllocAt = 0;
                        const Copy done = copy(u"出来たタグ", fail);
                        WT_VERIFY(!done.result);
                        WT_VERIFY(done.named("GlobalFree").empty());
                        WT_VERIFY(done.named("OpenClipboard").empty());
                        verifyPreviousKept();
                    }});
    rows.push_back({"CF_TEXT block not locked", [] {
                        placePrevious();
                        Spy fail;
                        fail.failLockAt = 0;
                        const Copy done = copy(u"出来たタグ", fail);
                        WT_VERIFY(!done.result);
                        WT_COMPARE(done.allocated().size(), std::size_t{1});
                        WT_COMPARE(done.freed(), done.allocated());
                        WT_VERIFY(isFreed(done.textBlock()));
                        WT_VERIFY(done.named("OpenClipboard").empty());
                        verifyPreviousKept();
                    }});
    rows.push_back({"Unicode block not allocated", [] {
                        Spy fail;
                        fail.failAllocAt = 1;
                        const Copy done = copy(representableText("short japanese").text, fail);
                        WT_VERIFY(done.result);
                        WT_VERIFY(done.freed().empty());
                        WT_COMPARE(readClipboard(CF_TEXT).bytes,
                                   representableText("short japanese").cp932 + std::string(1, '\0'));
                    }});
    rows.push_back({"Unicode block not locked", [] {
                        Spy fail;
                        fail.failLockAt = 1;
                        const Copy done = copy(representableText("short japanese").text, fail);
                        WT_VERIFY(done.result);
                        const std::set<std::uintptr_t> freed = done.freed();
                        WT_COMPARE(freed.size(), std::size_t{1});
                        WT_VERIFY(!freed.count(done.textBlock()));
                        WT_COMPARE(readClipboard(CF_TEXT).bytes,
                                   representableText("short japanese").cp932 + std::string(1, '\0'));
                    }});
    addTest("copyHandlesMemoryFailures", std::move(rows));
}

} // namespace

void registerClipboardTests()
{
    registerAnsiText();
    registerUnicodeText();
    registerCallOrder();
    registerHeldClipboard();
    registerRefusedHandOver();
    registerMemoryFailures();
}

// The second process of copyFailsWhileClipboardHeld.
int holdClipboard(std::u16string_view heldName, std::u16string_view releaseName)
{
    const HANDLE held = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, wide(heldName).c_str());
    const HANDLE release = ::OpenEventW(SYNCHRONIZE, FALSE, wide(releaseName).c_str());
    if (!held || !release || !::OpenClipboard(nullptr))
        return 1;
    ::SetEvent(held);
    ::WaitForSingleObject(release, 60000);
    ::CloseClipboard();
    return 0;
}

} // namespace wintest
