#include "imports.h"

#include "harness.h"
#include "support.h"

#include <cstring>
#include <string>

namespace wintest {
namespace {

std::uintptr_t* findSlot(const char* dll, const char* function)
{
    auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return nullptr;
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); module->Name;
         ++module) {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), dll) != 0)
            continue;
        if (module->OriginalFirstThunk == 0)
            continue;  // the names are gone once bound; nothing to match
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<std::uintptr_t*>(&slots->u1.Function);
        }
    }
    return nullptr;
}

void write(std::uintptr_t* slot, std::uintptr_t value)
{
    DWORD protection = 0;
    ::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = value;
    ::VirtualProtect(slot, sizeof *slot, protection, &protection);
    ::FlushInstructionCache(::GetCurrentProcess(), slot, sizeof *slot);
}

} // namespace

ImportHook::ImportHook(const char* dll, const char* function, std::uintptr_t replacement)
    : m_slot(findSlot(dll, function))
{
    if (!m_slot)
        WT_FAIL(std::string("this program does not import ") + function + " from " + dll);
    m_original = *m_slot;
    write(m_slot, replacement);
}

ImportHook::~ImportHook()
{
    if (m_slot)
        write(m_slot, m_original);
}

} // namespace wintest
