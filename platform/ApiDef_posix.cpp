#include "platform/ApiDef.h"
#include "platform/QtText.h"

#include <QAbstractEventDispatcher>
#include <QClipboard>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QString>
#include <QTimer>
#include <qpa/qplatformnativeinterface.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ApiDef {
namespace {

// The shell's result convention: above 32 is success.
constexpr std::int32_t kOpened = 42;
constexpr std::int32_t kFileNotFound = 2;
constexpr std::int32_t kNoAssociation = 31;

// How long the preview's handler waits for the opener's verdict before it
// lets the user go on. On a desktop xdg-open does not recognise (i3, sway,
// bare X) it starts the browser itself and only returns when that closes,
// so the wait cannot be for the verdict itself. Its failures often come
// within this, but not always: with no handler, xdg-utils 1.1.3 took 0.54 to
// 1.31 s on a busy two-core machine. Those still running are watched after
// the handler has returned and a failure is reported then, so the bound only
// decides whether the user hears of a failure at once or a moment later,
// never whether at all.
constexpr auto kVerdictWait = std::chrono::milliseconds(800);
constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr int kLateVerdictPollMs = 50;
// An opener that fails later than this ran something: a browser in the
// foreground that has since ended badly, crashed or been killed at logout.
// That is no failure to open the page, so it is not reported. xdg-open's own
// failures take a few seconds at the very most, even on a busy machine.
constexpr auto kLateVerdictLimit = std::chrono::seconds(10);

LateShellFailure lateFailureHandler = nullptr;

// The opener, run by sh with the page as $1.
#ifdef __APPLE__
constexpr const char* kOpener = "exec open \"$1\"";
#else
// xdg-open, except where it would leave the user with nothing at all. On KDE
// it hands the page to kde-open5, which, with no application for the type,
// hands it back to xdg-open, and the two call each other for ever; without
// KDE_SESSION_VERSION it runs kfmclient instead and reports its absence as
// success. There the page goes to kde-open5 itself, and only once KDE's own
// database (which kde-open5 reads) names an application for its type; with
// none, the answer is xdg-open's own for that case, 3.
constexpr const char* kOpener =
    "case :$XDG_CURRENT_DESKTOP: in *:KDE:*) if command -v kde-open5 >/dev/null; then\n"
    "    export KDE_SESSION_VERSION=5\n"
    "    type=$(xdg-mime query filetype \"$1\") && xdg-mime query default \"$type\" | grep -q . || exit 3\n"
    "    exec kde-open5 \"$1\"\n"
    "fi ;; esac\n"
    "exec xdg-open \"$1\"\n";
#endif

bool isOpenOperation(std::u16string_view operation)
{
    // Shell verbs are case-insensitive.
    return toQString(operation).compare(QLatin1String("open"), Qt::CaseInsensitive) == 0;
}

// The file as an absolute path, resolved the way the shell would: against
// `directory` when one is given, otherwise against the working directory.
QByteArray absolutePath(std::u16string_view file, std::u16string_view directory)
{
    QByteArray path = QFile::encodeName(toQString(file));
    if (path.startsWith('/'))
        return path;
    QByteArray base = QFile::encodeName(toQString(directory));
    if (base.isEmpty()) {
        // Sized by the system to the path, whatever PATH_MAX says.
        char* cwd = ::getcwd(nullptr, 0);
        if (!cwd)
            return {};
        base = cwd;
        std::free(cwd);
    }
    if (!base.endsWith('/'))
        base += '/';
    return base + path;
}

// xdg-open's and open's convention: only a clean exit opened the file.
bool opened(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::int32_t verdict(int status)
{
    if (opened(status))
        return kOpened;
    if (!WIFEXITED(status))
        return kNoAssociation;
    switch (WEXITSTATUS(status)) {
    case 2: return kFileNotFound;  // xdg-open: file does not exist
    default: return kNoAssociation;  // 3: no handler, 4: the handler failed, ...
    }
}

// Clicks and keys that come in while the window keeps painting during the
// wait are held in Qt's queue, and the event loop looks at that queue again
// only when the display sends something new: a click on 「コピー」 would sit
// there until the mouse next moved. Waking the loop on the way out hands
// them over as soon as the preview's handler returns.
struct HeldInputRelease {
    HeldInputRelease() = default;
    HeldInputRelease(const HeldInputRelease&) = delete;
    HeldInputRelease& operator=(const HeldInputRelease&) = delete;
    ~HeldInputRelease()
    {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
            dispatcher->wakeUp();
    }
};

pid_t startOpener(const QByteArray& path)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);

    // The opener reads nothing from us.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    // Its own process group, so that a Ctrl+C meant for Quorvel's terminal
    // does not close the browser it started; and the default dispositions
    // for the signals this process chose to ignore.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    QByteArray shell = "sh", option = "-c", script = kOpener, argument = path;
    char* argv[] = {shell.data(), option.data(), script.data(), shell.data(), argument.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ) != 0)
        pid = -1;

    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct wl_display;

// Wayland's compositor drops a selection request it does not accept (one
// whose input serial is older than the current selection's, say a clipboard
// tool's made since our last key or click) and tells the client nothing, so
// Qt still believes it holds the clipboard. What the protocol does promise is
// that a selection set while we have the keyboard focus comes back to us as a
// selection event, and that a selection we lost cancels our source. One round
// trip after the request shows both. Without the focus nothing comes back
// either way; that case has no honest check and keeps Qt's answer, as does
// a Wayland connection that is not libwayland's.
bool waylandTookSelection(QClipboard* clipboard)
{
    if (!QGuiApplication::focusWindow())
        return true;
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    auto* display = native ? static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display")) : nullptr;
    // libwayland-client is already loaded, by Qt's Wayland plugin.
    void* library = ::dlopen("libwayland-client.so.0", RTLD_LAZY | RTLD_NOLOAD);
    auto* roundtrip = library ? reinterpret_cast<int (*)(wl_display*)>(::dlsym(library, "wl_display_roundtrip")) : nullptr;
    if (!display || !roundtrip) {
        if (library)
            ::dlclose(library);
        return true;
    }
    bool answered = false;
    const QMetaObject::Connection watch = QObject::connect(clipboard, &QClipboard::changed,
        [&answered](QClipboard::Mode mode) { answered = answered || mode == QClipboard::Clipboard; });
    const bool reached = roundtrip(display) >= 0;
    QObject::disconnect(watch);
    ::dlclose(library);
    return reached && answered && clipboard->ownsClipboard();
}

} // namespace

bool CopyToClipboard(WindowHandle /*owner*/, std::u16string text)
{
    // Qt's clipboard acts for the whole application; the owner window is
    // implied.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return false;
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString wanted = toQString(text);
    auto* data = new QMimeData;  // Qt's from here on
    data->setText(wanted);
    clipboard->setMimeData(data, QClipboard::Clipboard);
    // Setting never reports failure, so check that the hand-over took.
    // On X11 the server may ignore our claim (its time stamp is older than
    // the current owner's) while Qt still counts itself the owner; but Qt
    // asks the server who owns the clipboard, and hands back our own data
    // only when that is us.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return clipboard->mimeData(QClipboard::Clipboard) == data;
    if (clipboard->text(QClipboard::Clipboard) != wanted)
        return false;
    // On Wayland the compositor must have taken it.
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        return waylandTookSelection(clipboard);
    return true;
}

std::int32_t OpenWithShell(WindowHandle owner, std::u16string_view operation,
                           std::u16string_view file, std::u16string_view /*parameters*/,
                           std::u16string_view directory, std::int32_t /*showCommand*/)
{
    if (!isOpenOperation(operation))
        return kNoAssociation;

    const QByteArray path = absolutePath(file, directory);
    struct stat info {};
    if (path.isEmpty() || ::stat(path.constData(), &info) != 0)
        return kFileNotFound;

    const pid_t pid = startOpener(path);
    if (pid < 0)
        return kNoAssociation;

    const HeldInputRelease release;
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + kVerdictWait;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return verdict(status);
        if (done < 0 && errno != EINTR)
            return kNoAssociation;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        // The window keeps painting meanwhile, but clicks and keys stay
        // queued until the preview's handler has ended: no other handler
        // may run in the middle of this one.
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        std::this_thread::sleep_for(kPollInterval);
    }

    // Still deciding, or running the browser. An opener that fails later is
    // reported then; one that ends well, whenever, is reaped and forgotten.
    // Watched from the event loop, so the report comes on the window's
    // thread; the watch ends with the application, and an opener that
    // outlives Quorvel is simply inherited by init.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        auto* watch = new QTimer(app);
        QObject::connect(watch, &QTimer::timeout, watch, [watch, pid, owner, started] {
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == 0 || (done < 0 && errno == EINTR))
                return;
            watch->deleteLater();
            // Lost track of it (reaped elsewhere) is no failure of the opener's.
            if (done == pid && !opened(status) && lateFailureHandler &&
                std::chrono::steady_clock::now() - started < kLateVerdictLimit)
                lateFailureHandler(owner, verdict(status));
        });
        watch->start(kLateVerdictPollMs);
        return kOpened;
    }
    // Without an event loop there is nobody to tell; at least never leave
    // a zombie behind.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return kOpened;
}

void SetLateShellFailureHandler(LateShellFailure report)
{
    lateFailureHandler = report;
}

std::int32_t GetPlatformId()
{
    // Only Windows has a family of entry points to choose between.
    return 2;
}

} // namespace ApiDef
