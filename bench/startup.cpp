// Start-up and memory of a windowed program as the X server sees them: from
// the spawn until its top-level window is mapped, then its resident memory a
// moment later. Programs alternate so that a busy machine slows both alike.
//
//   bench_startup RUNS PROGRAM...   prints "PROGRAM median_ms median_rss_kib"

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

long residentKib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    Display* display = XOpenDisplay(nullptr);
    if (argc < 3 || !display) {
        std::fprintf(stderr, "usage: bench_startup RUNS PROGRAM... (with an X display)\n");
        return 2;
    }
    const int runs = std::stoi(argv[1]);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    std::vector<std::vector<double>> ms(static_cast<std::size_t>(argc)), kib(static_cast<std::size_t>(argc));
    for (int run = 0; run < runs; ++run) {
        for (int p = 2; p < argc; ++p) {
            XSync(display, True);
            char* args[] = {argv[p], nullptr};
            pid_t pid = 0;
            const auto start = std::chrono::steady_clock::now();
            if (posix_spawn(&pid, argv[p], nullptr, nullptr, args, environ) != 0)
                return 1;
            for (XEvent event;;) {
                XNextEvent(display, &event);
                if (event.type == MapNotify && !event.xmap.override_redirect)
                    break;
            }
            ms[std::size_t(p)].push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            kib[std::size_t(p)].push_back(double(residentKib(pid)));
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    for (int p = 2; p < argc; ++p)
        std::printf("%s %.1f %.0f\n", argv[p], median(ms[std::size_t(p)]), median(kib[std::size_t(p)]));
    return 0;
}
