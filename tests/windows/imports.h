#pragma once
// The tests' seam: this program's own import table. The platform layer is
// linked into the test program unchanged and calls the system through the
// program's import slots, so pointing a slot at a recording function lets a
// test count calls, see their arguments, or make one of them fail, while the
// code under test stays exactly what Quorvel ships.

#include <cstdint>

namespace wintest {

class ImportHook {
public:
    // Points the import of `function` from `dll` at `replacement` until the
    // hook is destroyed. A function the program does not import is a test
    // failure.
    template <typename Function>
    ImportHook(const char* dll, const char* function, Function replacement)
        : ImportHook(dll, function, reinterpret_cast<std::uintptr_t>(replacement))
    {
    }
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    // What the slot held before: the system's own entry point.
    template <typename Function>
    Function original() const
    {
        return reinterpret_cast<Function>(m_original);
    }

private:
    ImportHook(const char* dll, const char* function, std::uintptr_t replacement);

    std::uintptr_t* m_slot = nullptr;
    std::uintptr_t m_original = 0;
};

} // namespace wintest
