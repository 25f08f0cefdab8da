// Start-up time of a Windows program, measured inside Wine: from
// CreateProcess until the program shows a top-level window and waits for
// input; then the window is closed. Prints the median, minimum and maximum.
//   startup.exe PROGRAM [RUNS]
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

int main(int argc, char** argv)
{
    if (argc < 2)
        return std::printf("usage: startup PROGRAM [RUNS]\n"), 2;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 15;
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ::QueryPerformanceCounter(&start);
        if (!::CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return std::printf("cannot start %s\n", argv[1]), 1;
        ::WaitForInputIdle(process.hProcess, 30000);
        target = process.dwProcessId;
        found = nullptr;
        while (::EnumWindows(visible, 0) && !found)
            ::Sleep(1);
        ::QueryPerformanceCounter(&end);
        ms.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
        ::PostMessageW(found, WM_CLOSE, 0, 0);
        ::WaitForSingleObject(process.hProcess, 10000);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%s: median %.1f ms, min %.1f ms, max %.1f ms over %d runs\n", argv[1], ms[ms.size() / 2], ms.front(),
                ms.back(), runs);
    return 0;
}
