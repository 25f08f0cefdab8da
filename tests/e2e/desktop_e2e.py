#!/usr/bin/env python3
# Quorvel on a real X desktop, for what only a desktop can show.
#
#     desktop_e2e.py PROGRAM SCENARIO[,SCENARIO...] [wayland|gnome|kde FAKE_INPUT]
#
# Each run starts its own Xvfb (the server picks its display number) or
# compositor and runs the built program in a fresh directory for each
# scenario, inside the session bus that dbus-run-session gives it. It is then read from other processes, as a user's
# tools read it: the accessibility bus (as a screen reader), xclip, the real
# xdg-open with a recording handler for text/html, and headless Chromium.
# Expected tags come from tests/compose_rows.json. A scenario stops at its
# first failing row and names it.
import contextlib, html, json, os, re, shutil, subprocess, sys, tempfile, time
try:
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi, Gio, GLib
except (ImportError, ValueError):
    sys.exit("pyatspi's bindings are missing: install the Debian packages python3-gi gir1.2-atspi-2.0")

# With "wayland" the desktop is a headless sway without Xwayland: buttons are
# pressed through the accessibility bus, keys come from wtype, the clipboard is
# read by wl-paste. With "gnome" it is mutter, as GNOME Shell sets it up, with
# Xwayland, and the program's own choice of display: keys, pointer, clipboard
# and pictures come through mutter's RemoteDesktop and ScreenCast interfaces.
# With "kde" it is kwin_wayland with Breeze: keys and pointer come from
# FAKE_INPUT, a client of kwin's fake-input protocol, the clipboard is read by
# wl-paste and the windows are seen through a KWin script. sway refuses root
# (and kwin and GNOME's tools would run as root only here), so root hands the
# run to nobody, from copies that nobody can read wherever the build tree lies.
BACKEND, FAKE_INPUT, DESKTOP_FILE = (sys.argv[3:] or ["x11"])[0], (sys.argv[4:] or [""])[0], "packaging/io.github.quorvel.Quorvel.desktop"
WAYLAND, SWAY, GNOME, KDE = BACKEND != "x11", BACKEND == "wayland", BACKEND == "gnome", BACKEND == "kde"
if WAYLAND and os.getuid() == 0:
    with tempfile.TemporaryDirectory(prefix="quorvel-wl-") as stage:
        here = os.path.join(sys.path[0], "..", "..")
        for src, dst in ((sys.argv[1], "quorvel"), (sys.argv[0], "tests/e2e/desktop_e2e.py"),
                         (f"{here}/tests/compose_rows.json", "tests/compose_rows.json"),
                         (f"{here}/window/frmMainDesign.h", "window/frmMainDesign.h"),
                         (f"{here}/tests/harvest/harvesters.py", "tests/harvest/harvesters.py"),
                         (f"{here}/{DESKTOP_FILE}", DESKTOP_FILE),
                         *[(FAKE_INPUT, "fake_input")][:os.path.exists(FAKE_INPUT)]):
            os.makedirs(os.path.dirname(os.path.join(stage, dst)), exist_ok=True)
            shutil.copy(src, os.path.join(stage, dst))
        subprocess.run(["chown", "-R", "65534:65534", stage], check=True)
        run = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", sys.executable,
               f"{stage}/tests/e2e/desktop_e2e.py", f"{stage}/quorvel", sys.argv[2], BACKEND, f"{stage}/fake_input"]
        # The compositor hands buffers and keymaps to its clients in shared
        # memory, under /dev/shm; a chroot whose /dev has none that nobody may
        # write to gets a private one for this run.
        if not os.stat("/dev/shm").st_mode & 0o002:
            run = ["unshare", "--mount", "--propagation", "unchanged", "sh", "-c",
                   'mount --make-rprivate /dev && mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"', "sh", *run]
        status = subprocess.run(run, env=dict(os.environ, HOME=stage), cwd=stage).returncode
        [shutil.copy(f"{stage}/{f}", f) for f in os.listdir(stage) if f.endswith(".png")]  # the desktop's picture
        sys.exit(status)
ROWS = {r["name"]: r for r in json.load(open(os.path.join(sys.path[0], "..", "compose_rows.json"), encoding="utf-8"))}
TOOLS = {"dbus-run-session": "dbus-daemon", "xdg-open": "xdg-utils", "file": "file", "chromium": "chromium", **{
    "x11": {"Xvfb": "xvfb", "xdotool": "xdotool", "xclip": "xclip"},
    "wayland": {"sway": "sway", "wtype": "wtype", "wl-paste": "wl-clipboard", "grim": "grim", "setpriv": "util-linux"},
    "gnome": {"mutter": "mutter", "Xwayland": "xwayland", "pipewire": "pipewire", "wireplumber": "wireplumber", "gio": "libglib2.0-bin",
              "gst-launch-1.0": "gstreamer1.0-tools (with gstreamer1.0-pipewire)", "xprop": "x11-utils", "xdotool": "xdotool", "convert": "imagemagick"},
    "kde": {"kwin_wayland": "kwin-wayland", "kde-open5": "kde-cli-tools", "wl-paste": "wl-clipboard", "convert": "imagemagick",
            **({} if os.access(FAKE_INPUT, os.X_OK) else {FAKE_INPUT: "libwayland-dev (to build it)"})}}[BACKEND]}
if [t for t in TOOLS if not shutil.which(t)]:
    sys.exit("".join(f"{t} is missing: install the Debian package {TOOLS[t]}\n" for t in TOOLS if not shutil.which(t)))
# A session bus of its own, and a runtime directory for the accessibility bus's
# socket that no other run shares; every file of the run lives there.
if "QUORVEL_E2E_BUS" not in os.environ:
    with tempfile.TemporaryDirectory(prefix="quorvel-e2e-", ignore_cleanup_errors=True) as run:
        sys.exit(subprocess.run(["dbus-run-session", "--", sys.executable, *sys.argv],
                                env=dict(os.environ, QUORVEL_E2E_BUS="1", XDG_RUNTIME_DIR=run)).returncode)
sys.path.insert(0, os.path.join(sys.path[0], "..", "harvest"))
import harvesters  # noqa: E402
CHROMIUM = harvesters.CHROMIUM
ERROR, COPY_FAILED = "ShellExecuteエラー", "クリップボードコピーに失敗しました。"
INSTRUCTION = "出来たタグをコピペしてね。\r\nコピーボタンでクリップボードにコピーされます。\r\n"
PAGE = "<html>\r\n<head>\r\n<title>Quorvel プレビュー</title>\r\n</head>\r\n<body>\r\n下記のように表示されます。<br><br>\r\n{}\r\n</body>\r\n</html>\r\n"


def expect(expected, seen):
    if expected != seen:
        raise AssertionError(f"\n  expected {expected!r}\n  seen     {seen!r}")


def wait(what, probe):  # polls for 20 s; returns what the probe saw first, or fails
    seen = next((seen for _ in range(200) if (seen := probe()) or pause(0.1)), None)
    return seen or expect(f"{what} within 20 s", None)


def pause(seconds):  # the session bus's signals (mutter's) are handled meanwhile
    while GLib.MainContext.default().iteration(False):
        pass
    time.sleep(seconds)


# Keys by X keysym (mutter) and by Linux key code (kwin's fake input).
KEYS = {"Shift_L": (0xFFE1, 42), "space": (0x20, 57), "Return": (0xFF0D, 28), "KP_Enter": (0xFF8D, 96), "Escape": (0xFF1B, 1), "Tab": (0xFF09, 15)}
RD, SC = "org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast"


class Desktop:
    def __init__(self, program):
        self.program, self.tmp, self.app, self.keyboard, self.own = program, os.environ["XDG_RUNTIME_DIR"], None, None, False
        self.bus, self.x11_before = Gio.bus_get_sync(Gio.BusType.SESSION), set(os.listdir("/tmp/.X11-unix"))
        os.environ.update(LANG="C.UTF-8", XDG_CONFIG_HOME=self.dir("config"), XDG_DATA_HOME=self.dir("data"),
                          XDG_CONFIG_DIRS=self.dir("none"), XDG_DATA_DIRS=self.dir("share"))
        # The types of files, without the applications the machine has for them.
        os.path.exists(f"{self.tmp}/share/mime") or os.symlink("/usr/share/mime", f"{self.tmp}/share/mime")
        self.x, self.media = None, []
        try:  # a desktop that fails to come up is closed all the same
            self.up(dict(os.environ, XDG_DATA_DIRS="/usr/share", XDG_CONFIG_DIRS="/etc/xdg"))
        except BaseException:
            self.close()
            raise

    def up(self, system):
        if SWAY:
            open(f"{self.tmp}/sway.conf", "w").write("xwayland disable\n")
            self.x = subprocess.Popen(["sway", "-d", "-c", f"{self.tmp}/sway.conf"], stderr=open(f"{self.tmp}/wayland.log", "w"),
                                      env=dict(os.environ, WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1"))
            sockets = wait("sway's sockets", lambda: (lambda f: len(f) == 2 and f)(sorted(
                f for f in os.listdir(self.tmp) if re.fullmatch(r"sway-ipc\..*\.sock|wayland-\d+", f))))
            os.environ.pop("DISPLAY", None)
            os.environ.update(SWAYSOCK=f"{self.tmp}/{sockets[0]}", WAYLAND_DISPLAY=sockets[1], QT_QPA_PLATFORM="wayland")
            # A desktop always has a keyboard; without one the window has no keyboard focus.
            self.keyboard = subprocess.Popen(["wtype", "-s", "86400000"])
        elif GNOME:  # GNOME Shell attaches modal dialogs to their windows; mutter alone does when told so
            open(f"{self.dir('config', 'glib-2.0', 'settings')}/keyfile", "w").write("[org/gnome/mutter]\nattach-modal-dialogs=true\n")
            self.media = [subprocess.Popen([p], env=system, stderr=open(f"{self.tmp}/{p}.log", "w")) for p in ("pipewire", "wireplumber")]
            self.x = subprocess.Popen(["mutter", "--headless", "--wayland", "--virtual-monitor", "1024x768", "--", "sh", "-c",
                                       'echo "$DISPLAY $XAUTHORITY $$" >"$0.tmp" && mv "$0.tmp" "$0" && exec sleep 1d', f"{self.tmp}/x11"],
                                      stdout=subprocess.DEVNULL, stderr=open(f"{self.tmp}/gnome.log", "w"), env=dict(system, GSETTINGS_BACKEND="keyfile"))
            display, auth, self.child = wait("mutter's Xwayland", lambda: os.path.exists(f"{self.tmp}/x11") and open(f"{self.tmp}/x11").read().split())
            os.environ.pop("QT_QPA_PLATFORM", None)  # the program chooses
            os.environ.update(DISPLAY=display, XAUTHORITY=auth, WAYLAND_DISPLAY="wayland-0", XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="GNOME")
            # Keys, pointer and clipboard of a remote desktop session; its pointer needs a screen cast beside it.
            wait("mutter's services on the bus", lambda: all(self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                                       "NameHasOwner", "s", name)[0][0] for name in (RD, SC)))
            self.rd = self.call(RD, "/org/gnome/Mutter/RemoteDesktop", RD, "CreateSession")[0][0]
            sid = self.call(RD, self.rd, "org.freedesktop.DBus.Properties", "Get", "ss", RD + ".Session", "SessionId")[0][0]
            cast = self.call(SC, "/org/gnome/Mutter/ScreenCast", SC, "CreateSession", "a{sv}", {"remote-desktop-session-id": GLib.Variant("s", sid)})[0][0]
            self.stream, self.node = self.call(SC, cast, SC + ".Session", "RecordMonitor", "sa{sv}", "", {})[0][0], None
            self.bus.signal_subscribe(SC, SC + ".Stream", "PipeWireStreamAdded", self.stream, None, 0, lambda *a: setattr(self, "node", a[5][0]))
            self.bus.signal_subscribe(RD, RD + ".Session", "SelectionOwnerChanged", self.rd, None, 0,
                                      lambda *a: setattr(self, "own", a[5][0].get("session-is-owner", False)))
            self.call(RD, self.rd, RD + ".Session", "EnableClipboard", "a{sv}", {})
            self.call(RD, self.rd, RD + ".Session", "Start")
            wait("mutter's screen cast", lambda: self.node)
            self.real_key("Shift_L")  # the first key and the first click of a session are lost
            self.real_click(1023, 767)
        elif KDE:  # the installed kwin_wayland carries a file capability that its copy does not need
            shutil.copy(shutil.which("kwin_wayland"), f"{self.tmp}/kwin_wayland")
            self.x = subprocess.Popen([f"{self.tmp}/kwin_wayland", "--virtual", "--width", "1024", "--height", "768", "--no-lockscreen",
                                       "--socket", "wayland-kde"], stdout=subprocess.DEVNULL, stderr=open(f"{self.tmp}/kde.log", "w"), env=dict(
                system, KWIN_WAYLAND_NO_PERMISSION_CHECKS="1", KWIN_SCREENSHOT_NO_PERMISSION_CHECKS="1", QT_LOGGING_RULES="kwin_scripting.debug=true"))
            wait("kwin's socket", lambda: os.path.exists(f"{self.tmp}/wayland-kde"))
            os.environ.pop("DISPLAY", None)  # kwin starts the session's programs as Wayland clients, Qt 5's too
            os.environ.update(QT_QPA_PLATFORM="wayland", WAYLAND_DISPLAY="wayland-kde", XDG_SESSION_TYPE="wayland", XDG_CURRENT_DESKTOP="KDE", KDE_SESSION_VERSION="5",
                              XDG_CONFIG_DIRS="/etc/xdg")  # where KDE finds its menu of applications
            # One client stays connected for the whole run: kwin loses the first events of a new one.
            self.keyboard = subprocess.Popen([FAKE_INPUT], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.real_key("Shift_L")
        else:
            self.start_x()
        # A screen reader announces itself this way; Qt then joins the accessibility bus.
        self.bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
            "Set", GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled", GLib.Variant("b", True))), None, 0, -1, None)

    def start_x(self):
        r, w = os.pipe()
        # Without -noreset the server resets whenever its last client leaves, refusing the next one meanwhile.
        self.x = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-noreset", "-screen", "0",
                                   "1024x768x24"], pass_fds=[w], stderr=subprocess.DEVNULL)
        os.close(w)
        os.environ.update(DISPLAY=":" + os.read(r, 16).decode().strip(), QT_QPA_PLATFORM="xcb")

    def close(self):  # the compositor ends its own way, and what its Xwayland leaves behind goes
        [p.kill() for p in (self.app, self.keyboard) if p]
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.x and (self.x.terminate(), self.x.wait(10))
        self.x and self.x.kill()
        [p.terminate() for p in self.media], getattr(self, "child", None) and os.kill(int(self.child), 15)
        for path in [f for n in set(os.listdir("/tmp/.X11-unix")) - self.x11_before for f in (f"/tmp/.X11-unix/{n}", f"/tmp/.X{n[1:]}-lock")]:
            os.path.exists(path) and os.stat(path).st_uid == os.getuid() and os.remove(path)

    def call(self, name, path, interface, method, signature="", *args, fds=None):  # a method on the session bus: its reply, and any files
        reply, files = self.bus.call_with_unix_fd_list_sync(name, path, interface, method, signature and GLib.Variant(
            f"({signature})", args) or None, None, 0, -1, fds, None)
        return reply.unpack(), files and files.steal_fds()

    def real_key(self, key):
        if GNOME:
            [self.call(RD, self.rd, RD + ".Session", "NotifyKeyboardKeysym", "ub", KEYS[key][0], down) for down in (True, False)]
        else:
            self.fake(f"k {KEYS[key][1]} 1 k {KEYS[key][1]} 0")

    def real_click(self, x, y):
        if GNOME:
            self.call(RD, self.rd, RD + ".Session", "NotifyPointerMotionAbsolute", "sdd", self.stream, x, y)
            pause(0.1)  # a button that comes with the motion may reach the window before the pointer does
            [self.call(RD, self.rd, RD + ".Session", "NotifyPointerButton", "ib", 0x110, down) for down in (True, False)]
        else:
            self.fake(f"m {x} {y} b 272 1 b 272 0")

    def fake(self, events):  # kwin's fake input: one "ok" back for each event, once kwin has it
        self.keyboard.stdin.write(events + "\n")
        self.keyboard.stdin.flush()
        [expect("ok\n", self.keyboard.stdout.readline()) for _ in events.split()[::3]]

    def screenshot(self, path):
        if GNOME:
            self.run("gst-launch-1.0", "-q", "pipewiresrc", f"path={self.node}", "num-buffers=1", "!", "videoconvert", "!", "pngenc", "!", "filesink", f"location={path}")
        else:
            r, w = os.pipe()
            size = self.call("org.kde.KWin", "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2", "CaptureActiveScreen",
                             "a{sv}h", {}, 0, fds=(fds := Gio.UnixFDList.new_from_array([w])))[0][0]
            [os.close(f) for f in fds.steal_fds()]  # kwin ends the picture by closing its end
            with os.fdopen(r, "rb") as raw:
                subprocess.run(["convert", "-size", f"{size['width']}x{size['height']}", "-depth", "8", "bgra:-", path], stdin=raw, check=True)
        return path

    def dir(self, *parts):
        os.makedirs(os.path.join(self.tmp, *parts), exist_ok=True)
        return os.path.join(self.tmp, *parts)

    def start(self, **env):
        self.app and (self.app.kill(), self.app.wait())
        self.work, log = self.dir("work", str(time.monotonic_ns())), os.path.join(self.tmp, "log")
        self.app = subprocess.Popen([self.program], cwd=self.work, stdout=subprocess.DEVNULL, stderr=open(log, "w"),
                                    env=dict(os.environ, **env))
        self.frame = wait("the window on the accessibility bus", lambda: (self.app.poll() is None or expect(
            "the program running", open(log).read())) and next(self.windows(), None))
        (GNOME or KDE) and wait("the window on the screen", self.views)  # a click before that is lost

    def windows(self):
        (desktop := Atspi.get_desktop(0)).clear_cache()
        apps = map(desktop.get_child_at_index, range(desktop.get_child_count()))
        return (a.get_child_at_index(0) for a in apps if a.get_process_id() == self.app.pid and a.get_child_count())

    def controls(self, root=None):
        for child in filter(None, map((root or self.frame).get_child_at_index, range((root or self.frame).get_child_count()))):
            yield child  # (a window that is closing may have lost a child already)
            yield from self.controls(child)

    def control(self, role, name):
        found = [c for c in self.controls() if (c.get_role_name(), c.get_name()) == (role, name)]
        return found[0] if found else expect(f"a {role} named {name!r} on the accessibility bus", None)

    def run(self, *argv):
        return subprocess.run(argv, capture_output=True, check=True, timeout=90).stdout.decode()

    def click(self, control):
        if SWAY:
            return expect(True, Atspi.Action.do_action(control, 0))
        e = control.get_extents(Atspi.CoordType.WINDOW if KDE else Atspi.CoordType.SCREEN)
        x, y = e.x + min(e.width // 2, 8), e.y + e.height // 2
        if not WAYLAND:
            return self.run("xdotool", "mousemove", str(x), str(y), "click", "1")
        origin = [v["client"] for v in self.views() if v["name"] == "Quorvel作成"][0] if KDE else (0, 0)
        self.real_click(x + origin[0], y + origin[1])

    def key(self, control, key):  # a real key, at a control focused through the accessibility bus
        Atspi.Component.grab_focus(control)
        wait("the focus", lambda: control.get_state_set().contains(Atspi.StateType.FOCUSED))
        # The first key of each wtype reaches the window inside its new keyboard's enter event,
        # which is no key press: a key that does nothing goes first.
        self.run("wtype", "-k", "Shift_L", "-k", key) if SWAY else self.real_key(key)

    def paste(self):
        if GNOME:  # through mutter, as a Wayland program pastes; an empty clipboard is an error
            with contextlib.suppress(GLib.Error):
                return b"marker" if self.own else os.fdopen(self.call(RD, self.rd, RD + ".Session", "SelectionRead", "s", "text/plain;charset=utf-8")[1][0], "rb").read()
            return b""
        return subprocess.run(["wl-paste", "-n"] if WAYLAND else ["xclip", "-selection", "clipboard", "-o"],
                              capture_output=True, timeout=20).stdout

    def mark(self):  # a marker first, so that what is read is the program's; the tool stays behind to serve it
        if GNOME:  # wl-copy would take the keyboard focus, and the window a new serial with it
            self.call(RD, self.rd, RD + ".Session", "SetSelection", "a{sv}", {"mime-types": GLib.Variant("as", ["text/plain;charset=utf-8"])})
            return wait("the marker on the clipboard", lambda: self.own)
        subprocess.run(["wl-copy"] if WAYLAND else ["xclip", "-selection", "clipboard", "-i"], input=b"marker",
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        wait("the marker on the clipboard", lambda: self.paste() == b"marker")

    def views(self):  # the program's windows as the compositor has them: title, id, client and frame rectangles, closeable
        if SWAY:
            nodes, found = [json.loads(self.run("swaymsg", "-t", "get_tree"))], []
            while nodes:
                nodes += (n := nodes.pop())["nodes"] + n["floating_nodes"]
                found += [n] if n.get("pid") == self.app.pid else []
            return [dict(name=n["name"], app_id=n["app_id"], closeable=True, frame=(n["rect"]["x"], n["deco_rect"]["y"], n["rect"]["width"],
                         n["rect"]["height"] + n["deco_rect"]["height"]), client=(
                n["rect"]["x"] + n["window_rect"]["x"], n["rect"]["y"] + n["window_rect"]["y"], n["geometry"]["width"], n["geometry"]["height"]))
                for n in found]
        if GNOME:  # X11 windows, with the frame mutter puts around them and the actions it allows
            found = []
            for w in subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.app.pid)], capture_output=True).stdout.split():
                x, y, width, height = map(int, re.findall(r"(?:Absolute upper-left [XY]|Width|Height): +(\d+)", self.run("xwininfo", "-id", w)))
                p = dict(re.findall(r"^(\w+) = (.*)$", self.run("xprop", "-notype", "-id", w, "_NET_WM_NAME", "WM_CLASS", "_NET_FRAME_EXTENTS", "_NET_WM_ALLOWED_ACTIONS"), re.M))
                left, right, top, bottom = map(int, p.get("_NET_FRAME_EXTENTS", "0, 0, 0, 0").split(","))
                found.append(dict(name=json.loads(p.get("_NET_WM_NAME", '""')), app_id=json.loads(p.get("WM_CLASS", '"", ""').split(", ")[1]),
                                  client=(x, y, width, height), frame=(x - left, y - top, width + left + right, height + top + bottom),
                                  closeable="_NET_WM_ACTION_CLOSE" in p.get("_NET_WM_ALLOWED_ACTIONS", "")))
            return found
        # KDE: a KWin script's answer in kwin's log. A window's buffer is its client area; kwin draws the frame.
        open(f"{self.tmp}/views.js", "w").write(f"""const r = g => [g.x, g.y, g.width, g.height]; for (const w of workspace.clientList()) if (w.pid == {self.app.pid}) print("quorvel-view",
            JSON.stringify({{name: w.caption, app_id: w.desktopFileName, closeable: w.closeable, client: r(w.bufferGeometry), frame: r(w.frameGeometry)}})); print("quorvel-views-end");""")
        seen = len(open(f"{self.tmp}/kde.log").readlines())
        script = self.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "loadScript", "ss", f"{self.tmp}/views.js", "quorvel")[0][0]
        self.call("org.kde.KWin", f"/{script}", "org.kde.kwin.Script", "run")
        lines = wait("kwin's answer", lambda: (lambda l: any("quorvel-views-end" in x for x in l) and l)(open(f"{self.tmp}/kde.log").readlines()[seen:]))
        self.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "unloadScript", "s", "quorvel")
        return [json.loads(l.split("quorvel-view", 1)[1]) for l in lines if "quorvel-view " in l]

    def enter(self, row):
        checked = lambda name: self.control("check box", name).get_state_set().contains(Atspi.StateType.CHECKED)
        for name, want in (("コード化", row["shape"] == "encoded"), ("スクリプト化", row["shape"] != "plain")):
            if checked(name) != want:
                self.click(self.control("check box", name))
                wait(f"{name} to be {want}", lambda: checked(name) == want)
        # The texts go in as an on-screen keyboard puts them: xdotool loses
        # characters outside the keymap, and the keymap is too small for kanji.
        for label, text in (("表示内容", row["text"]), ("アドレス", row["address"])):
            expect(True, Atspi.EditableText.set_text_contents(self.control("text", label), text))


def clipboard(d):
    d.start()
    field, copy = d.control("text", "出来たタグ"), d.control("push button", "コピー")
    if WAYLAND:  # a new selection needs a real key's serial
        yield "before make"
        d.key(copy, "space")
        expect(INSTRUCTION.encode(), wait("the selection", d.paste))
    for row in map(ROWS.get, ("example, plain", "apostrophe, script", "japanese, encoded", "emoji, encoded")):
        yield row["name"]
        d.enter(row)
        made = Atspi.Text.get_text(field, 0, -1)
        d.click(d.control("push button", "作成"))
        wait("the tag", lambda: Atspi.Text.get_text(field, 0, -1) != made)
        d.mark()
        d.key(copy, "space") if WAYLAND else d.click(copy)
        expect(row["tag"].encode(), wait("the clipboard to change", lambda: (lambda b: b != b"marker" and b)(d.paste())))
    def bus_copy(text, taken):  # a press through the accessibility bus, as a screen reader makes it: no key or click with it
        expect(True, Atspi.EditableText.set_text_contents(field, text))
        expect(True, Atspi.Action.do_action(copy, 0))
        boxed = lambda: any(c.get_name() == COPY_FAILED for c in d.controls(d.frame.get_parent()))
        wait("the copy taken" if taken else "the message, the marker kept", lambda: (d.paste(), boxed()) == (text.encode(), False)
             if taken else (d.paste(), boxed()) == (b"marker", True))
    if WAYLAND:
        yield "again, through the accessibility bus"
        bus_copy("again", True)
        # sway refuses a selection older than the one another program made since the window's last key or
        # click, and the window says so. Through Xwayland the X server takes it, as GNOME then does.
        yield "through the accessibility bus, after another program's copy"
        d.mark()
        bus_copy("after another's", GNOME or KDE)


def record_pages(d):
    """A handler for text/html that keeps each page it is given; returns how to
    wait for the n-th, which must be the program's page, and read it."""
    record, handler = os.path.join(d.tmp, "opened"), os.path.join(d.tmp, "record-open")
    open(handler, "w").write(f"cp \"$1\" {d.tmp}/page.html && echo \"$1\" >>{record}\n")
    open(os.path.join(d.dir("data", "applications"), "record.desktop"), "w").write(
        f"[Desktop Entry]\nType=Application\nName=record\nExec=sh {handler} %f\nMimeType=text/html;\n")
    open(os.path.join(d.dir("config"), "mimeapps.list"), "w").write("[Default Applications]\ntext/html=record.desktop\n")
    def page(n):
        opened = wait("xdg-open to run the handler", lambda: os.path.exists(record) and open(record).readlines()[n:])
        expect([os.path.join(d.work, "quorvel.html") + "\n"], opened)
        return open(os.path.join(d.tmp, "page.html"), "rb").read()
    return page


def preview(d):
    page = record_pages(d)
    d.start()
    for i, row in enumerate(map(ROWS.get, ("example, plain", "apostrophe, script", "japanese, encoded"))):
        yield row["name"]
        d.enter(row)
        d.click(d.control("push button", "ﾌﾟﾚﾋﾞｭｰ"))
        expect(PAGE.format(row["tag"]).encode(), page(i))
        dom = d.run(*CHROMIUM, f"--user-data-dir={d.dir('chromium')}", "--dump-dom", f"file://{d.tmp}/page.html")
        anchors = re.findall(r'<a href="([^"]*)">([^<]*)</a>', re.sub(r"<script.*?</script>", "", dom, flags=re.S))
        expect([("mailto:" + row["address"], row["text"])], [tuple(map(html.unescape, a)) for a in anchors])


# What harvesters find in the page the program writes, in UTF-8 and, under a
# Shift_JIS locale, in CP932. The measured table goes to harvest-panel.md in
# the working directory; a shape that stops more or less than the README says
# fails.
def harvest(d):
    page, verdicts, n = record_pages(d), {}, 0
    for locale, encoding in (("C.UTF-8", "utf-8"), ("ja_JP.SJIS", "cp932")):
        d.start(LANG=locale)
        for row in (r for r in ROWS.values() if r["name"].startswith("harvest")):
            yield f"{row['name']}, {locale}"
            d.enter(row)
            d.click(d.control("push button", "ﾌﾟﾚﾋﾞｭｰ"))
            expect(PAGE.format(row["tag"]).encode(encoding), page(n))
            n += 1
            for harvester, seen in harvesters.harvest(f"{d.tmp}/page.html", d.dir("chromium")).items():
                verdicts.setdefault(row["shape"], {}).setdefault(harvester, set()).add(row["address"].split("?")[0] in seen)
    print(panel := harvesters.table(verdicts), file=open("harvest-panel.md", "w"))
    print(panel)
    for claim, shapes, harvested, wanted in (("encoded defeats a and b", ["encoded"], "a b", False), ("script defeats b", ["script"], "b", False),
            ("script defeats b only", ["script"], "a", True), ("plain defeats nothing", ["plain"], "a b ca cb da db ea eb", True),
            ("a browser finds the address in every shape", verdicts, "ea eb", True)):
        yield claim
        expect({wanted}, set().union(*(verdicts[s][h] for s in shapes for h in harvested.split())))


def shell_error(d):
    # xdg-open looks for a handler the same way on either display; the X run covers it for sway.
    for name, env in (("no opener", {"PATH": d.dir("empty")}), ("no handler", {"BROWSER": "no-such-browser"}))[:2 - SWAY]:
        yield name
        d.start(**env)
        d.click(d.control("push button", "ﾌﾟﾚﾋﾞｭｰ"))
        box = wait("the message box", lambda: [c for c in d.controls(d.frame.get_parent()) if c.get_name() == ERROR])
        ok = next(c for c in d.controls(box[0].get_parent()) if c.get_role_name() == "push button")
        if (GNOME or KDE) and name == "no opener":
            framed(d)
        else:
            d.key(ok, "space") if WAYLAND else d.click(ok)  # a real key reaches only the window the compositor focused
        wait("the box to close", lambda: all(c.get_name() != ERROR for c in d.controls(d.frame.get_parent())))
        expect((None, True), (d.app.poll(), os.path.exists(os.path.join(d.work, "quorvel.html"))))


def framed(d):  # the box as the desktop frames it, photographed, then closed by its title bar's close button
    main, box = wait("both windows", lambda: (lambda v: len(v) == 2 and sorted(v, key=lambda w: w["name"] != "Quorvel作成"))(d.views()))
    (x, y, w, h), (mx, my, mw, mh), bar = box["frame"], main["frame"], box["client"][1] - box["frame"][1]
    shot = d.screenshot(f"{d.tmp}/box.png")
    # The caption's part of the title bar, left of its buttons, is more than one flat colour.
    inked = int(d.run("convert", shot, "-crop", f"{w - 2 * bar}x{bar}+{x}+{y}", "-format", "%k", "info:"))
    expect(("Quorvel", True, True, True, True), (box["name"], bar >= 20, inked > 8, box["closeable"],
                                                mx < x + w / 2 < mx + mw and my < y + h / 2 < my + mh))
    left, top = min(x, mx) - 24, min(y, my) - 24
    d.run("convert", shot, "-crop", f"{max(x + w, mx + mw) + 24 - left}x{max(y + h, my + mh) + 24 - top}+{left}+{top}", "+repage",
          f"desktop-{BACKEND}.png")
    d.real_click(x + w - bar // 2, y + bar // 2)


def keys(d):  # Enter and Esc press nothing; a Tab after each shows that it was handled
    d.start()
    d.mark()  # what stays on the clipboard (kwin's wl-paste would wait for ever on an empty one)
    field = d.control("text", "出来たタグ")
    shown = Atspi.Text.get_text(field, 0, -1)
    for key, role, name in [(key, *c) for key in ("Return", "KP_Enter", "Escape") for c in (("text", "表示内容"),
                            ("text", "アドレス"), ("push button", "作成"), ("push button", "ﾌﾟﾚﾋﾞｭｰ"), ("push button", "コピー"))]:
        yield f"{key} at {name}"
        d.key(control := d.control(role, name), key)
        d.key(control, "Tab")
        wait("the focus to move on", lambda: not control.get_state_set().contains(Atspi.StateType.FOCUSED))
        expect((["Quorvel作成"], shown, False, b"marker"), ([n["name"] for n in d.views()], Atspi.Text.get_text(field, 0, -1),
               os.path.exists(os.path.join(d.work, "quorvel.html")), d.paste()))


# The opener photographs the result field until it shows the new tag, then
# fails: the box shows that Quorvel was still waiting for that verdict.
def paints(d):
    d.start(PATH=f"{d.dir('bin')}:{os.environ['PATH']}")
    yield "the result field while the opener decides"
    n, e = d.views()[0]["client"], d.control("text", "出来たタグ").get_extents(Atspi.CoordType.WINDOW)
    area = f"{n[0] + e.x},{n[1] + e.y} {e.width}x{e.height}"
    shot = lambda name: (d.run("grim", "-g", area, f"{d.tmp}/{name}.png"), open(f"{d.tmp}/{name}.png", "rb").read())[1]
    wait("a settled picture", lambda: shot("before") == shot("before"))
    open(opener := os.path.join(d.dir("bin"), "xdg-open"), "w").write(f'#!/bin/sh\nfor i in 1 2 3 4 5 6 7 8; do grim -g "{area}" '
        f'{d.tmp}/during.png; cmp -s {d.tmp}/before.png {d.tmp}/during.png || exit 3; done\nexit 3\n')
    os.chmod(opener, 0o755)
    d.click(d.control("push button", "ﾌﾟﾚﾋﾞｭｰ"))
    box = wait("the message box", lambda: [c for c in d.controls(d.frame.get_parent()) if c.get_name() == ERROR])
    d.click(next(c for c in d.controls(box[0].get_parent()) if c.get_role_name() == "push button"))
    wait("the box to close", lambda: len(d.views()) == 1)
    during = open(f"{d.tmp}/during.png", "rb").read()
    expect((True, True), (during != open(f"{d.tmp}/before.png", "rb").read(), during == shot("after")))


def names(d):
    d.start()
    for role, name, description in (("frame", "Quorvel作成", ""), ("text", "表示内容", ""), ("text", "アドレス", ""),
                                    ("text", "出来たタグ", "作成ボタンで出来たタグです。コピーボタンでクリップボードにコピーされます。")):
        yield f"{role} {name}"
        found = d.frame if role == "frame" else d.control(role, name)
        expect((role, name, description), (found.get_role_name(), found.get_name(), found.get_description()))
    if WAYLAND:  # on X11 the menu entry is matched by its StartupWMClass, on Wayland by the app id
        yield "the window as the compositor has it, with its title bar"
        wm_class = re.search(r"^StartupWMClass=(.*)$", open(os.path.join(sys.path[0], "..", "..", DESKTOP_FILE)).read(), re.M)[1]
        expect([("Quorvel作成", wm_class if GNOME else "io.github.quorvel.Quorvel", 367, 216, True)],
               [(v["name"], v["app_id"], *v["client"][2:], v["client"][1] - v["frame"][1] >= 20) for v in d.views()])


# The captions and widths in twips of the window's design, and the room the
# style (Fusion) takes beside a caption, in device-independent pixels.
DESIGN = re.findall(r'\{"\w+", Kind::(Label|CheckBox|Button), u"([^"]*)", \d+, \d+, (\d+)',
                    open(os.path.join(sys.path[0], "..", "..", "window", "frmMainDesign.h"), encoding="utf-8").read())
ROOM = {"Label": 0, "CheckBox": 20, "Button": 4}


# Sets the desktop's font as GNOME does for Qt (the gtk3 theme reads GTK's
# settings) and the scale as Plasma does (QT_SCALE_FACTOR); measures each
# caption in the program's own font, in the result field, against its control.
def captions(d):
    expect(7, len(DESIGN))  # two labels, two check boxes, three buttons: the header still reads as parsed
    clipped = []
    for pt, scale in [(pt, scale) for pt in (9, 11, 14) for scale in ("1", "1.5", "2")]:
        yield f"{pt} pt at scale {scale}"
        open(os.path.join(d.dir("config", "gtk-3.0"), "settings.ini"), "w").write(f"[Settings]\ngtk-font-name=DejaVu Sans {pt}\n")
        d.start(QT_QPA_PLATFORMTHEME="gtk3", QT_SCALE_FACTOR=scale)
        field = d.control("text", "出来たタグ")
        expect("DejaVu Sans", Atspi.Text.get_text_attribute_value(field, 0, "family-name").strip('"'))
        expect({"1": "367x216", "1.5": "551x324", "2": "734x432"}[scale], re.search(r"Geometry: (\S+)", d.run(
            "xdotool", "search", "--all", "--pid", str(d.app.pid), "--onlyvisible", "--name", "^Quorvel", "getwindowgeometry")).group(1))
        for kind, caption, twips in DESIGN:
            Atspi.EditableText.set_text_contents(field, caption)
            width = Atspi.Text.get_range_extents(field, 0, len(caption), Atspi.CoordType.WINDOW).width
            if width > int(twips) // 15 - ROOM[kind]:
                clipped.append(f"{caption} at {pt} pt, scale {scale}: {width} px in {int(twips) // 15}")
    expect([], clipped)


if __name__ == "__main__":
    desktop, scenario, row = Desktop(sys.argv[1]), "start", "start"
    try:
        for scenario in sys.argv[2].split(","):
            for row in globals()[scenario](desktop):
                pass
            print(f"{scenario}: every row passed", flush=True)
    except Exception as e:
        (GNOME or KDE) and desktop.screenshot(f"failed-{BACKEND}.png")  # what the desktop showed then
        log = open(f"{desktop.tmp}/{BACKEND}.log", errors="replace").readlines()[-15:] if WAYLAND else []
        sys.exit(f"{scenario}, row {row!r} failed: {type(e).__name__}: {e}" + "".join([f"\n{BACKEND}'s log ends:\n", *log][:len(log) + bool(log)]))
    finally:
        desktop.close()
