#!/usr/bin/env python3
# Quorvel on a real X desktop, for what only a desktop can show.
#
#     desktop_e2e.py PROGRAM SCENARIO
#
# Each scenario starts its own Xvfb (the server picks its display number) and
# runs the built program in a fresh directory, inside the session bus that
# dbus-run-session gives it. It is then read from other processes, as a user's
# tools read it: the accessibility bus (as a screen reader), xclip, the real
# xdg-open with a recording handler for text/html, and headless Chromium.
# Expected tags come from tests/compose_rows.json. A scenario stops at its
# first failing row and names it.
import html, json, os, re, shutil, subprocess, sys, tempfile, time
try:
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi, Gio, GLib
except (ImportError, ValueError):
    sys.exit("pyatspi's bindings are missing: install the Debian packages python3-gi gir1.2-atspi-2.0")

# With "wayland" the desktop is a headless sway without Xwayland: buttons are
# pressed through the accessibility bus, keys come from wtype, the clipboard is
# read by wl-paste. sway refuses root, so root hands the run to nobody, from
# copies that nobody can read wherever the build tree lies.
WAYLAND = sys.argv[3:] == ["wayland"]
if WAYLAND and os.getuid() == 0:
    with tempfile.TemporaryDirectory(prefix="quorvel-wl-") as stage:
        here = os.path.join(sys.path[0], "..", "..")
        for src, dst in ((sys.argv[1], "quorvel"), (sys.argv[0], "tests/e2e/desktop_e2e.py"),
                         (f"{here}/tests/compose_rows.json", "tests/compose_rows.json"),
                         (f"{here}/window/frmMainDesign.h", "window/frmMainDesign.h"),
                         (f"{here}/tests/harvest/harvesters.py", "tests/harvest/harvesters.py")):
            os.makedirs(os.path.dirname(os.path.join(stage, dst)), exist_ok=True)
            shutil.copy(src, os.path.join(stage, dst))
        subprocess.run(["chown", "-R", "65534:65534", stage], check=True)
        run = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", sys.executable,
               f"{stage}/tests/e2e/desktop_e2e.py", f"{stage}/quorvel", sys.argv[2], "wayland"]
        # The compositor hands buffers and keymaps to its clients in shared
        # memory, under /dev/shm; a chroot whose /dev has none that nobody may
        # write to gets a private one for this run.
        if not os.stat("/dev/shm").st_mode & 0o002:
            run = ["unshare", "--mount", "--propagation", "unchanged", "sh", "-c",
                   'mount --make-rprivate /dev && mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"', "sh", *run]
        sys.exit(subprocess.run(run, env=dict(os.environ, HOME=stage)).returncode)
ROWS = {r["name"]: r for r in json.load(open(os.path.join(sys.path[0], "..", "compose_rows.json"), encoding="utf-8"))}
TOOLS = {"dbus-run-session": "dbus-daemon", "xdg-open": "xdg-utils", "file": "file", "chromium": "chromium",
         **({"sway": "sway", "wtype": "wtype", "wl-paste": "wl-clipboard", "grim": "grim", "setpriv": "util-linux"}
            if WAYLAND else {"Xvfb": "xvfb", "xdotool": "xdotool", "xclip": "xclip"})}
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
    seen = next((seen for _ in range(200) if (seen := probe()) or time.sleep(0.1)), None)
    return seen or expect(f"{what} within 20 s", None)


class Desktop:
    def __init__(self, program):
        self.program, self.tmp, self.app = program, os.environ["XDG_RUNTIME_DIR"], None
        if WAYLAND:
            open(f"{self.tmp}/sway.conf", "w").write("xwayland disable\n")
            self.x = subprocess.Popen(["sway", "-d", "-c", f"{self.tmp}/sway.conf"], stderr=open(f"{self.tmp}/sway.log", "w"),
                                      env=dict(os.environ, WLR_BACKENDS="headless", WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1"))
            sockets = wait("sway's sockets", lambda: (lambda f: len(f) == 2 and f)(sorted(
                f for f in os.listdir(self.tmp) if re.fullmatch(r"sway-ipc\..*\.sock|wayland-\d+", f))))
            os.environ.pop("DISPLAY", None)
            os.environ.update(SWAYSOCK=f"{self.tmp}/{sockets[0]}", WAYLAND_DISPLAY=sockets[1], QT_QPA_PLATFORM="wayland")
            # A desktop always has a keyboard; without one the window has no keyboard focus.
            self.keyboard = subprocess.Popen(["wtype", "-s", "86400000"])
        else:
            self.start_x()
        os.environ.update(LANG="C.UTF-8", XDG_CONFIG_HOME=self.dir("config"), XDG_DATA_HOME=self.dir("data"),
                          XDG_CONFIG_DIRS=self.dir("none"), XDG_DATA_DIRS=self.dir("none"))
        # A screen reader announces itself this way; Qt then joins the accessibility bus.
        Gio.bus_get_sync(Gio.BusType.SESSION).call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
            "Set", GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled", GLib.Variant("b", True))), None, 0, -1, None)

    def start_x(self):
        r, w = os.pipe()
        # Without -noreset the server resets whenever its last client leaves, refusing the next one meanwhile.
        self.x = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-noreset", "-screen", "0",
                                   "1024x768x24"], pass_fds=[w], stderr=subprocess.DEVNULL)
        os.close(w)
        os.environ.update(DISPLAY=":" + os.read(r, 16).decode().strip(), QT_QPA_PLATFORM="xcb")

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

    def windows(self):
        (desktop := Atspi.get_desktop(0)).clear_cache()
        apps = map(desktop.get_child_at_index, range(desktop.get_child_count()))
        return (a.get_child_at_index(0) for a in apps if a.get_process_id() == self.app.pid and a.get_child_count())

    def controls(self, root=None):
        for child in map((root or self.frame).get_child_at_index, range((root or self.frame).get_child_count())):
            yield child
            yield from self.controls(child)

    def control(self, role, name):
        found = [c for c in self.controls() if (c.get_role_name(), c.get_name()) == (role, name)]
        return found[0] if found else expect(f"a {role} named {name!r} on the accessibility bus", None)

    def run(self, *argv):
        return subprocess.run(argv, capture_output=True, check=True, timeout=90).stdout.decode()

    def click(self, control):
        if WAYLAND:
            return expect(True, Atspi.Action.do_action(control, 0))
        e = control.get_extents(Atspi.CoordType.SCREEN)
        self.run("xdotool", "mousemove", str(e.x + min(e.width // 2, 8)), str(e.y + e.height // 2), "click", "1")

    def key(self, control, key):  # a real key, at a control focused through the accessibility bus
        Atspi.Component.grab_focus(control)
        wait("the focus", lambda: control.get_state_set().contains(Atspi.StateType.FOCUSED))
        # The first key of each wtype reaches the window inside its new keyboard's enter event,
        # which is no key press: a key that does nothing goes first.
        self.run("wtype", "-k", "Shift_L", "-k", key)

    def paste(self):
        return subprocess.run(["wl-paste", "-n"] if WAYLAND else ["xclip", "-selection", "clipboard", "-o"],
                              capture_output=True).stdout

    def mark(self):  # a marker first, so that what is read is the program's; the tool stays behind to serve it
        subprocess.run(["wl-copy"] if WAYLAND else ["xclip", "-selection", "clipboard", "-i"], input=b"marker",
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        wait("the marker on the clipboard", lambda: self.paste() == b"marker")

    def views(self):  # the program's windows in sway's tree
        nodes, found = [json.loads(self.run("swaymsg", "-t", "get_tree"))], []
        while nodes:
            nodes += (n := nodes.pop())["nodes"] + n["floating_nodes"]
            found += [n] if n.get("pid") == self.app.pid else []
        return found

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
    if WAYLAND:  # sway refuses a selection older than the current one, and says so to no one
        yield "refused by the compositor"
        d.mark()
        d.click(copy)
        wait("the message", lambda: [c for c in d.controls(d.frame.get_parent()) if c.get_name() == COPY_FAILED])
        expect(b"marker", d.paste())


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
    # xdg-open looks for a handler the same way on either display; the X run covers it.
    for name, env in (("no opener", {"PATH": d.dir("empty")}), ("no handler", {"BROWSER": "no-such-browser"}))[:2 - WAYLAND]:
        yield name
        d.start(**env)
        d.click(d.control("push button", "ﾌﾟﾚﾋﾞｭｰ"))
        box = wait("the message box", lambda: [c for c in d.controls(d.frame.get_parent()) if c.get_name() == ERROR])
        ok = next(c for c in d.controls(box[0].get_parent()) if c.get_role_name() == "push button")
        d.key(ok, "space") if WAYLAND else d.click(ok)  # a real key reaches only the window the compositor focused
        wait("the box to close", lambda: all(c.get_name() != ERROR for c in d.controls(d.frame.get_parent())))
        expect((None, True), (d.app.poll(), os.path.exists(os.path.join(d.work, "quorvel.html"))))


def keys(d):  # Enter and Esc press nothing; a Tab after each shows that it was handled
    d.start()
    field = d.control("text", "出来たタグ")
    shown = Atspi.Text.get_text(field, 0, -1)
    for key, role, name in [(key, *c) for key in ("Return", "KP_Enter", "Escape") for c in (("text", "表示内容"),
                            ("text", "アドレス"), ("push button", "作成"), ("push button", "ﾌﾟﾚﾋﾞｭｰ"), ("push button", "コピー"))]:
        yield f"{key} at {name}"
        d.key(control := d.control(role, name), key)
        d.key(control, "Tab")
        wait("the focus to move on", lambda: not control.get_state_set().contains(Atspi.StateType.FOCUSED))
        expect((["Quorvel作成"], shown, False, b""), ([n["name"] for n in d.views()], Atspi.Text.get_text(field, 0, -1),
               os.path.exists(os.path.join(d.work, "quorvel.html")), d.paste()))


# The opener photographs the result field until it shows the new tag, then
# fails: the box shows that Quorvel was still waiting for that verdict.
def paints(d):
    d.start(PATH=f"{d.dir('bin')}:{os.environ['PATH']}")
    yield "the result field while the opener decides"
    n, e = d.views()[0], d.control("text", "出来たタグ").get_extents(Atspi.CoordType.WINDOW)
    area = f"{n['rect']['x'] + n['window_rect']['x'] + e.x},{n['rect']['y'] + n['window_rect']['y'] + e.y} {e.width}x{e.height}"
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
    if WAYLAND:
        yield "the window in sway's tree"
        expect([("Quorvel作成", "io.github.quorvel.Quorvel", 367, 216)],
               [(n["name"], n["app_id"], n["geometry"]["width"], n["geometry"]["height"]) for n in d.views()])


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
    desktop, row = Desktop(sys.argv[1]), "start"
    try:
        for row in globals()[sys.argv[2]](desktop):
            pass
    except Exception as e:
        log = open(f"{desktop.tmp}/sway.log", errors="replace").readlines()[-15:] if WAYLAND else []
        sys.exit(f"{sys.argv[2]}, row {row!r} failed: {type(e).__name__}: {e}" + "".join(["\nsway's log ends:\n", *log][:len(log) + bool(log)]))
    finally:
        [p.kill() for p in (desktop.app, getattr(desktop, "keyboard", None), desktop.x) if p]
    print(f"{sys.argv[2]}: every row passed")
