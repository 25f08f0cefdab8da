// Start-up time of Windows programs, measured inside Wine: from
// CreateProcess until the program shows a top-level window and waits for
// input; then the window is closed. The programs take turns, run by run, so
// that the machine's swings fall on all of them alike. Prints each one's
// median, minimum and maximum, and its median against the first program's.
//   startup.exe RUNS PROGRAM...
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

static DWORD target = 0;
static HWND found = nullptr;

static BOOL CALLBACK visible(HWND window, LPARAM)
{
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process != target || !::IsWindowVisible(window))
        return TRUE;
    found = window;
    return FALSE;
}

static bool once(const char* program, double& ms)
{
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ::QueryPerformanceCounter(&start);
    if (!::CreateProcessA(program, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    ::WaitForInputIdle(process.hProcess, 30000);
    target = process.dwProcessId;
    found = nullptr;
    while (::EnumWindows(visible, 0) && !found)
        ::Sleep(1);
    ::QueryPerformanceCounter(&end);
    ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    ::PostMessageW(found, WM_CLOSE, 0, 0);
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

int main(int argc, char** argv)
{
    if (argc < 3)
        return std::printf("usage: startup RUNS PROGRAM...\n"), 2;
    const int runs = std::max(1, std::atoi(argv[1]));
    const int programs = argc - 2;
    std::vector<std::vector<double>> ms(static_cast<std::size_t>(programs));
    for (int i = 0; i < runs; ++i)
        for (int k = 0; k < programs; ++k) {
            // Each round in the other direction, so no program always follows the same one.
            const int p = i % 2 ? programs - 1 - k : k;
            double t = 0;
            if (!once(argv[2 + p], t))
                return std::printf("cannot start %s\n", argv[2 + p]), 1;
            ms[static_cast<std::size_t>(p)].push_back(t);
        }
    double floor = 0;
    for (int p = 0; p < programs; ++p) {
        std::vector<double>& m = ms[static_cast<std::size_t>(p)];
        std::sort(m.begin(), m.end());
        const double median = m[m.size() / 2];
        if (p == 0)
            floor = median;
        std::printf("%-20s median %6.1f ms (%.2fx the first), min %6.1f ms, max %6.1f ms over %d runs\n", argv[2 + p],
                    median, median / floor, m.front(), m.back(), runs);
    }
    return 0;
}
