// Start-up time and resident memory of GUI programs, seen from the X server
// as a user would see them: from the moment the program is started until its
// window is mapped and first drawn into, and its resident set once shown.
//
//   startup_probe OUTPUT_JSON RUNS NAME=PROGRAM [NAME=PROGRAM ...]
//
// The programs are started in turn, RUNS times each after one warm-up round
// that fills the file and font caches; the order alternates between rounds
// so that drift on a noisy machine falls on all of them alike. Needs an X
// server with the DAMAGE extension (Xvfb has it) in DISPLAY.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = std::chrono::seconds(30);
// Long enough for the event loop to have gone idle after the first frame.
constexpr auto kSettle = std::chrono::milliseconds(500);

struct Program {
    std::string name;
    std::string path;
};

struct Sample {
    double shownMs = 0;
    long rssKiB = 0;
};

// Windows vanish between our noticing them and asking about them; that is
// not an error here.
int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::optional<pid_t> windowPid(Display* display, Window window)
{
    static const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::optional<pid_t> pid;
    if (XGetWindowProperty(display, window, netWmPid, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &after, &data) == Success
        && data && format == 32 && items == 1)
        pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    if (data)
        XFree(data);
    return pid;
}

class Probe {
public:
    Probe()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            fail("cannot open the X display (DISPLAY is unset or refused); "
                 "run it under Xvfb (Debian package xvfb)");
        int error = 0;
        if (!XDamageQueryExtension(m_display, &m_damageEvent, &error))
            fail("the X server lacks the DAMAGE extension");
        XSetErrorHandler(ignoreXErrors);
        XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
        XSync(m_display, False);
    }

    Sample measure(const Program& program)
    {
        drain();
        char* argv[] = {const_cast<char*>(program.path.c_str()), nullptr};
        pid_t pid = 0;
        const auto start = Clock::now();
        if (const int rc = posix_spawn(&pid, program.path.c_str(), nullptr, nullptr, argv, environ))
            fail("cannot start " + program.path + ": " + std::strerror(rc));

        std::map<Window, Damage> damages;
        Window shownWindow = None;
        std::optional<Clock::time_point> shown;
        while (!shown) {
            XEvent event;
            if (!nextEvent(event, start + kTimeout, pid)) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                fail(program.name + " showed no window within 30 s");
            }
            if (event.type == CreateNotify) {
                // Watch every new top-level window from its creation, so that
                // its first drawing cannot slip past unseen.
                const Window w = event.xcreatewindow.window;
                damages[w] = XDamageCreate(m_display, w, XDamageReportNonEmpty);
            } else if (event.type == MapNotify) {
                const Window w = event.xmap.window;
                if (windowPid(m_display, w) == pid) {
                    shownWindow = w;
                    if (!damages.count(w))
                        damages[w] = XDamageCreate(m_display, w, XDamageReportNonEmpty);
                }
            } else if (event.type == m_damageEvent + XDamageNotify) {
                const auto& damage = reinterpret_cast<const XDamageNotifyEvent&>(event);
                if (shownWindow != None && damage.drawable == shownWindow)
                    shown = Clock::now();
            }
        }

        std::this_thread::sleep_for(kSettle);
        Sample sample;
        sample.shownMs = std::chrono::duration<double, std::milli>(*shown - start).count();
        sample.rssKiB = residentKiB(pid);

        for (const auto& [window, damage] : damages)
            XDamageDestroy(m_display, damage);
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        XSync(m_display, False);
        drain();
        return sample;
    }

    [[noreturn]] static void fail(const std::string& message)
    {
        std::fprintf(stderr, "startup_probe: %s\n", message.c_str());
        std::exit(1);
    }

private:
    bool nextEvent(XEvent& event, Clock::time_point deadline, pid_t child)
    {
        while (!XPending(m_display)) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child)
                fail("the program ended before it showed its window");
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd fd{ConnectionNumber(m_display), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(std::min<long>(left.count(), 50)));
        }
        XNextEvent(m_display, &event);
        return true;
    }

    void drain()
    {
        while (XPending(m_display)) {
            XEvent event;
            XNextEvent(m_display, &event);
        }
    }

    Display* m_display = nullptr;
    int m_damageEvent = 0;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: startup_probe OUTPUT_JSON RUNS NAME=PROGRAM [NAME=PROGRAM ...]\n");
        return 2;
    }
    const std::string output = argv[1];
    const int runs = std::atoi(argv[2]);
    std::vector<Program> programs;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        if (eq == std::string::npos || access(arg.c_str() + eq + 1, X_OK) != 0)
            Probe::fail("not NAME=EXECUTABLE: " + arg);
        programs.push_back({arg.substr(0, eq), arg.substr(eq + 1)});
    }
    if (runs < 1)
        Probe::fail("RUNS must be at least 1");

    Probe probe;
    for (const Program& p : programs)
        probe.measure(p);  // warm-up

    std::vector<std::vector<Sample>> samples(programs.size());
    for (int round = 0; round < runs; ++round) {
        for (std::size_t k = 0; k < programs.size(); ++k) {
            const std::size_t i = round % 2 ? programs.size() - 1 - k : k;
            samples[i].push_back(probe.measure(programs[i]));
        }
    }

    std::ostringstream json;
    json << "{\n  \"runs\": " << runs << ",\n  \"programs\": {";
    for (std::size_t i = 0; i < programs.size(); ++i) {
        std::vector<double> shown;
        std::vector<double> rss;
        json << (i ? "," : "") << "\n    \"" << programs[i].name << "\": {\"shown_ms\": [";
        for (std::size_t s = 0; s < samples[i].size(); ++s) {
            json << (s ? ", " : "") << samples[i][s].shownMs;
            shown.push_back(samples[i][s].shownMs);
            rss.push_back(double(samples[i][s].rssKiB));
        }
        json << "], \"rss_kib\": [";
        for (std::size_t s = 0; s < samples[i].size(); ++s)
            json << (s ? ", " : "") << samples[i][s].rssKiB;
        json << "], \"median_shown_ms\": " << median(shown) << ", \"median_rss_kib\": " << median(rss)
             << "}";
        std::printf("%-12s shown after %8.1f ms (median of %d), resident %8.0f KiB\n",
                    programs[i].name.c_str(), median(shown), runs, median(rss));
    }
    json << "\n  }\n}\n";
    std::ofstream(output) << json.str();
    return 0;
}
