#!/usr/bin/env python3
"""Quorvel on a real X desktop, end to end.

Each scenario starts its own Xvfb (the server picks a free display number
itself through -displayfd, so scenarios can run side by side), runs the built
program in a fresh working directory and drives it the way a user would:
xdotool clicks the controls where the window's design puts them and types into
the fields, xclip reads the clipboard from another process, the real xdg-open
picks a handler for text/html out of a private XDG configuration, and headless
Chromium shows what a browser makes of the page.

    desktop_e2e.py --program /path/to/quorvel SCENARIO
    desktop_e2e.py --list

Every wait is bounded and every failure says what was expected and what was
seen. A missing tool fails the scenario and names the Debian package that
provides it.
"""

import argparse
import ctypes
import html.parser
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

# --- what the window's design fixes ----------------------------------------

CAPTION = "Quorvel作成"
BOX_CAPTION = "Quorvel"
WINDOW_SIZE = (367, 216)  # 5505 x 3240 twips

# Left, top, width, height in twips, straight from the window's layout table.
LAYOUT_TWIPS = {
    "txtTitle": (1080, 120, 4335, 375),
    "txtMail": (1080, 600, 4335, 375),
    "chkCnvScript": (240, 1080, 1455, 255),
    "chkCovCode": (240, 1320, 1455, 255),
    "btnMake": (2400, 1080, 1095, 375),
    "btnPreView": (3600, 1080, 855, 375),
    "btnCopy": (4560, 1080, 735, 375),
    "txtTag": (120, 1680, 5295, 1455),
}
TWIPS_PER_PIXEL = 15

INSTRUCTION = "出来たタグをコピペしてね。\r\nコピーボタンでクリップボードにコピーされます。\r\n"


def preview_page(tag):
    return ("<html>\r\n"
            "<head>\r\n"
            "<title>Quorvel プレビュー</title>\r\n"
            "</head>\r\n"
            "<body>\r\n"
            "下記のように表示されます。<br><br>\r\n"
            + tag + "\r\n"
            "</body>\r\n"
            "</html>\r\n")


def script_block(line3):
    return ('<script type="text/javascript">\r\n'
            "<!--\r\n"
            + line3 + "\r\n"
            "// -->\r\n"
            "</script>\r\n")


# Inputs typed into the window, with the tag each shape must produce and what
# a browser must make of it. The tags are written out in full on purpose: they
# are the oracle, not a second implementation of the composer.
ROWS = [
    {
        "tag": "ordinary",
        "title": "メール送信",
        "mail": "ab@c.jp",
        "plain": '<a href="mailto:ab@c.jp">メール送信</a>',
        "script": script_block(
            "document.write('<a href=\"ma' + 'ilto:ab@c.jp\">メール送信</a>');"),
        "encoded": script_block(
            "document.write('<a href=\"ma' + 'ilto:"
            "&#97;&#98;&#64;&#99;&#46;&#106;&#112;\">メール送信</a>');"),
        "href": "mailto:ab@c.jp",
        "text": "メール送信",
    },
    {
        "tag": "apostrophe",
        "title": "Mail O'Brien",
        "mail": "o'b@c.jp",
        "plain": "<a href=\"mailto:o'b@c.jp\">Mail O'Brien</a>",
        "script": script_block(
            "document.write('<a href=\"ma' + 'ilto:o\\'b@c.jp\">Mail O\\'Brien</a>');"),
        "encoded": script_block(
            "document.write('<a href=\"ma' + 'ilto:"
            "&#111;&#39;&#98;&#64;&#99;&#46;&#106;&#112;\">Mail O\\'Brien</a>');"),
        "href": "mailto:o'b@c.jp",
        "text": "Mail O'Brien",
    },
    {
        "tag": "emoji",
        "title": "送信😀",
        "mail": "😀@c.jp",
        "plain": '<a href="mailto:😀@c.jp">送信😀</a>',
        "script": script_block(
            "document.write('<a href=\"ma' + 'ilto:😀@c.jp\">送信😀</a>');"),
        "encoded": script_block(
            "document.write('<a href=\"ma' + 'ilto:"
            "&#128512;&#64;&#99;&#46;&#106;&#112;\">送信😀</a>');"),
        "href": "mailto:😀@c.jp",
        "text": "送信😀",
    },
    {
        "tag": "query",
        "title": "問い合わせ",
        "mail": "ab@c.jp?subject=a&body=b",
        "plain": '<a href="mailto:ab@c.jp?subject=a&body=b">問い合わせ</a>',
        "script": script_block(
            "document.write('<a href=\"ma' + 'ilto:ab@c.jp?subject=a&body=b\">問い合わせ</a>');"),
        "encoded": script_block(
            "document.write('<a href=\"ma' + 'ilto:"
            "&#97;&#98;&#64;&#99;&#46;&#106;&#112;&#63;&#115;&#117;&#98;&#106;&#101;&#99;"
            "&#116;&#61;&#97;&#38;&#98;&#111;&#100;&#121;&#61;&#98;\">問い合わせ</a>');"),
        "href": "mailto:ab@c.jp?subject=a&body=b",
        "text": "問い合わせ",
    },
    {
        # A backslash, a script end tag and double quotes: each would break
        # the script string or the href if it passed through raw.
        "tag": "breakout",
        "title": 'C:\\dir </script> "x"',
        "mail": 'a"b@c.jp',
        "plain": '<a href="mailto:a&quot;b@c.jp">C:\\dir </script> "x"</a>',
        "script": script_block(
            "document.write('<a href=\"ma' + 'ilto:a&quot;b@c.jp\">"
            "C:\\\\dir <\\/script> \"x\"</a>');"),
        "encoded": script_block(
            "document.write('<a href=\"ma' + 'ilto:"
            "&#97;&#34;&#98;&#64;&#99;&#46;&#106;&#112;\">C:\\\\dir <\\/script> \"x\"</a>');"),
        "href": 'mailto:a"b@c.jp',
        # The stray </script> is no element in the body; a browser drops it.
        "text": 'C:\\dir  "x"',
    },
]

# The shapes in the order a run visits them from the start-up state (both
# options checked), and the click that leads from one to the next.
SHAPE_STEPS = [
    ("encoded", None),
    ("script", "chkCovCode"),   # unchecking encode leaves the script option on
    ("plain", "chkCnvScript"),  # unchecking script leaves both off
]

# Debian packages of the tools the scenarios drive.
PACKAGES = {
    "Xvfb": "xvfb",
    "xdotool": "xdotool",
    "xclip": "xclip",
    "xdg-open": "xdg-utils",
    "xdg-mime": "xdg-utils",
    "file": "file",
    "xprop": "x11-utils",
    "chromium": "chromium",
}

TOOL_PATH = "/usr/local/bin:/usr/bin:/bin"


class Failure(Exception):
    pass


def show(value):
    if isinstance(value, bytes):
        try:
            return repr(value.decode("utf-8"))
        except UnicodeDecodeError:
            return repr(value)
    return repr(value)


def expect_equal(what, expected, seen):
    if expected == seen:
        return
    detail = ""
    if isinstance(expected, (bytes, str)) and isinstance(seen, (bytes, str)):
        n = next((i for i, (a, b) in enumerate(zip(expected, seen)) if a != b),
                 min(len(expected), len(seen)))
        detail = f"\n  first difference at offset {n} (lengths {len(expected)} and {len(seen)})"
    raise Failure(f"{what}\n  expected: {show(expected)}\n  seen:     {show(seen)}{detail}")


def wait_until(what, timeout, probe):
    """Polls probe() -> (done, seen) until done or the timeout ends."""
    deadline = time.monotonic() + timeout
    seen = None
    while True:
        done, seen = probe()
        if done:
            return seen
        if time.monotonic() >= deadline:
            raise Failure(f"{what}: not within {timeout:g} s; last seen: {show(seen)}")
        time.sleep(0.05)


def require(*tools):
    for tool in tools:
        if shutil.which(tool, path=TOOL_PATH) is None:
            raise Failure(f"{tool} is not installed: install the Debian package "
                          f"'{PACKAGES[tool]}' (scripts/install-deps does)")


def children_of(pid):
    """(pid, state) of every process whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append((int(entry), fields[0].decode()))
    return found


def end_with_parent():
    """In the child before exec: take SIGTERM when the driver dies, so that a
    driver killed by CTest's timeout leaves no X server behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class AnchorParser(html.parser.HTMLParser):
    """Every a element of a serialised DOM, with its href and text."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.anchors = []
        self._open = []

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self._open.append(len(self.anchors))
            self.anchors.append({"href": dict(attrs).get("href"), "text": ""})

    def handle_endtag(self, tag):
        if tag == "a" and self._open:
            self._open.pop()

    def handle_data(self, data):
        for i in self._open:
            self.anchors[i]["text"] += data


def _xlib():
    try:
        x11 = ctypes.CDLL("libX11.so.6")
    except OSError as e:
        raise Failure(f"libX11.so.6 cannot be loaded ({e}): install the Debian package 'libx11-6'")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XDisplayKeycodes.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                     ctypes.POINTER(ctypes.c_int)]
    x11.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
    x11.XGetKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int,
                                        ctypes.POINTER(ctypes.c_int)]
    x11.XChangeKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                           ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
    x11.XFree.argtypes = [ctypes.c_void_p]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x11


def bind_keys(display, texts):
    """Gives every character outside the keyboard map a key of its own.

    Left alone, xdotool types such a character by remapping a spare key just
    for that keystroke and remapping it back; the program reads the keymap
    from the server when it is told of the change, which may already be the
    next one, and the character is lost. Bound once, before the program
    starts, every keystroke means what it should."""
    wanted = sorted({c for t in texts for c in t if not " " <= c <= "~"})
    if not wanted:
        return
    x11 = _xlib()
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise Failure(f"cannot open display {display} to bind keys")
    low, high = ctypes.c_int(), ctypes.c_int()
    x11.XDisplayKeycodes(dpy, ctypes.byref(low), ctypes.byref(high))
    per = ctypes.c_int()
    count = high.value - low.value + 1
    syms = x11.XGetKeyboardMapping(dpy, low.value, count, ctypes.byref(per))
    free = [low.value + i for i in range(count)
            if all(syms[i * per.value + j] == 0 for j in range(per.value))]
    x11.XFree(syms)
    if len(free) < len(wanted):
        x11.XCloseDisplay(dpy)
        raise Failure(f"the scenario types {len(wanted)} characters outside the keymap, "
                      f"but the server has only {len(free)} spare keys")
    for char, keycode in zip(wanted, free):
        code = ord(char)
        keysym = code if 0xA0 <= code <= 0xFF else 0x01000000 + code
        pair = (ctypes.c_ulong * 2)(keysym, keysym)
        x11.XChangeKeyboardMapping(dpy, keycode, 2, pair, 1)
    x11.XSync(dpy, 0)
    x11.XCloseDisplay(dpy)


def send_close_request(display, window):
    """Asks the window to close, as a window manager's close button would
    (WM_DELETE_WINDOW); xdotool only knows how to destroy it."""
    x11 = _xlib()

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise Failure(f"cannot open display {display} to send WM_DELETE_WINDOW")
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    event.xclient.data[1] = 0  # CurrentTime
    x11.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
    x11.XFlush(dpy)
    x11.XCloseDisplay(dpy)


# --- the desktop --------------------------------------------------------------

class Desktop:
    """A private X server, a working directory and the program under test."""

    def __init__(self, program):
        self.program = os.path.abspath(program)
        if not os.access(self.program, os.X_OK):
            raise Failure(f"the program to test is not an executable file: {self.program}")
        require("Xvfb", "xdotool", "xclip")
        self.tmp = tempfile.mkdtemp(prefix="quorvel-e2e-")
        self.work = os.path.join(self.tmp, "work")
        os.mkdir(self.work)
        self.xvfb = None
        self.app = None
        self.window = None
        self.sentinels = 0
        try:
            self._start_xvfb()
        except BaseException:
            self.close()
            raise

    # -- lifetime

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        log = open(os.path.join(self.tmp, "xvfb.log"), "wb")
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            env={"PATH": TOOL_PATH}, preexec_fn=end_with_parent)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise Failure("Xvfb did not report its display number within 20 s; "
                          f"its log: {self._log('xvfb.log')!r}")
        self.display = ":" + number.strip().decode()

    def close(self):
        if self.app and self.app.poll() is None:
            self.app.kill()
            self.app.wait(timeout=10)
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(timeout=10)
        if os.environ.get("QUORVEL_E2E_KEEP"):
            print(f"kept {self.tmp}")
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def _log(self, name):
        try:
            with open(os.path.join(self.tmp, name), "rb") as f:
                return f.read()[-2000:].decode("utf-8", "replace")
        except OSError:
            return ""

    # -- environment

    def _dir(self, *parts):
        path = os.path.join(self.tmp, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def app_env(self, path=TOOL_PATH):
        """A desktop without any known environment, so that xdg-open takes its
        generic path: no DE, no XDG_CURRENT_DESKTOP, no session variables, no
        BROWSER, no session bus, and XDG directories that hold only what a
        scenario puts there."""
        runtime = self._dir("runtime")
        os.chmod(runtime, 0o700)
        return {
            "PATH": path,
            "HOME": self._dir("home"),
            "LANG": "C.UTF-8",
            "DISPLAY": self.display,
            "QT_QPA_PLATFORM": "xcb",
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": self._dir("config"),
            "XDG_DATA_HOME": self._dir("data"),
            "XDG_CONFIG_DIRS": self._dir("no-system-config"),
            "XDG_DATA_DIRS": self._dir("no-system-data"),
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(self.tmp, "no-bus"),
        }

    def tool_env(self):
        return {"PATH": TOOL_PATH, "DISPLAY": self.display, "LANG": "C.UTF-8",
                "HOME": self._dir("home")}

    def run(self, *argv, timeout=15, check=True, **kw):
        try:
            result = subprocess.run(list(argv), env=self.tool_env(), capture_output=True,
                                    timeout=timeout, **kw)
        except subprocess.TimeoutExpired:
            raise Failure(f"{argv[0]} did not finish within {timeout} s: {argv}")
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(argv)} failed with exit {result.returncode}: "
                          f"{result.stderr.decode('utf-8', 'replace').strip()}")
        return result

    # -- a handler for text/html that records how it was called

    def install_opener(self):
        """Registers a desktop entry for text/html the way a user's desktop
        would, whose program records each call: one line per call with its
        pid, the argument count and the arguments, NUL-separated.

        On an unknown desktop xdg-open (xdg-utils 1.1.3) takes its generic
        path: it asks xdg-mime for the file's type, which runs file(1); finds
        the default for that type in mimeapps.list under XDG_CONFIG_HOME;
        looks the entry up under XDG_DATA_HOME/applications; and runs its
        Exec line in the foreground with %f replaced by the path. Its exit
        status is then the handler's: 0 on success, 4 when the handler fails.
        With the system's XDG directories pointed at empty ones, nothing else
        on the machine can answer in its place."""
        self.record = os.path.join(self.tmp, "opened")
        self.hold = os.path.join(self.tmp, "hold")
        self.released = os.path.join(self.tmp, "released")
        self.fail = os.path.join(self.tmp, "fail")
        script = os.path.join(self._dir("handler"), "record-open")
        with open(script, "w") as f:
            f.write(f"""#!/bin/sh
{{ printf '%s' "$$"; printf '\\0%s' "$#"; for a in "$@"; do printf '\\0%s' "$a"; done; printf '\\n'; }} >> '{self.record}'
# While the hold file exists this stands for a browser that stays open.
if [ -e '{self.hold}' ]; then
    i=0
    while [ -e '{self.hold}' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done
    echo "$$" >> '{self.released}'
fi
[ ! -e '{self.fail}' ]
""")
        os.chmod(script, 0o755)
        env = self.app_env()
        with open(os.path.join(self._dir("data", "applications"), "quorvel-e2e-opener.desktop"),
                  "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Quorvel e2e opener\n"
                    f"Exec={script} %f\nMimeType=text/html;\nNoDisplay=true\n")
        with open(os.path.join(env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\ntext/html=quorvel-e2e-opener.desktop\n")

    def opened(self):
        """[(pid, [arguments])] for every call of the handler so far."""
        try:
            with open(self.record, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        # The handler may be half-way through its line: only lines that end
        # in a newline are complete.
        lines = [chunk.decode("utf-8") for chunk in data.split(b"\n")[:-1]]
        calls = []
        for line in lines:
            fields = line.split("\0")
            if len(fields) < 2:
                raise Failure(f"handler record is garbled: {line!r}")
            pid, count, *args = fields
            if int(count) != len(args):
                raise Failure(f"handler record is garbled: {line!r}")
            calls.append((int(pid), args))
        return calls

    # -- the program

    def start(self, path=TOOL_PATH, typed=()):
        """Starts the program; `typed` are the texts the scenario will type."""
        bind_keys(self.display, typed)
        log = open(os.path.join(self.tmp, "quorvel.log"), "wb")
        self.app = subprocess.Popen([self.program], cwd=self.work, env=self.app_env(path),
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                    preexec_fn=end_with_parent)

        def probe():
            if self.app.poll() is not None:
                raise Failure(f"the program exited with {self.app.returncode} before showing "
                              f"its window; its output: {self._log('quorvel.log')!r}")
            found = self.windows(CAPTION, pid=self.app.pid)
            return bool(found), found
        self.window = wait_until(f"window {CAPTION!r} to appear", 20, probe)[0]

        out = self.run("xdotool", "getwindowgeometry", "--shell", str(self.window)).stdout
        geometry = dict(line.split("=", 1) for line in out.decode().split())
        expect_equal("window size in pixels (the click positions depend on it)",
                     WINDOW_SIZE, (int(geometry["WIDTH"]), int(geometry["HEIGHT"])))

    def windows(self, caption, pid=None):
        """Visible windows whose title is exactly `caption` (xdotool's search
        is a case-insensitive pattern, and Qt also owns hidden helper windows
        named after the program)."""
        argv = ["xdotool", "search", "--onlyvisible"]
        if pid is not None:
            argv += ["--pid", str(pid)]
        argv += ["--name", "^" + caption + "$"]
        ids = self.run(*argv, check=False).stdout.decode().split()
        exact = []
        for wid in ids:
            name = self.run("xdotool", "getwindowname", wid, check=False).stdout
            if name.decode("utf-8", "replace").rstrip("\n") == caption:
                exact.append(int(wid))
        return exact

    def alive(self):
        return self.app.poll() is None

    def point(self, control):
        left, top, width, height = (v // TWIPS_PER_PIXEL for v in LAYOUT_TWIPS[control])
        if control.startswith("chk"):
            # The check mark stands at the left end of a check box.
            return left + 8, top + height // 2
        return left + width // 2, top + height // 2

    def click(self, control):
        x, y = self.point(control)
        self.run("xdotool", "mousemove", "--window", str(self.window), str(x), str(y),
                 "click", "1")

    def set_text(self, control, text):
        """Replaces a field's text the way a user would: select all, type.
        Reads the field back (select all, Ctrl+C), so that a keystroke lost on
        the way is reported as such and not as a wrong tag later."""
        self.click(control)
        self.key("ctrl+a")
        if text:
            self.run("xdotool", "type", "--delay", "15", "--", text, timeout=60)
        else:
            self.key("BackSpace")
        if control.startswith("txt") and control != "txtTag" and text:
            def select_and_copy():
                self.key("ctrl+a")
                self.key("ctrl+c")
            expect_equal(f"text of {control} after typing into it", text.encode("utf-8"),
                         self.clipboard_after(select_and_copy, f"Ctrl+C in {control}"))

    def key(self, name):
        self.run("xdotool", "key", "--clearmodifiers", name)

    # -- the clipboard, as another program sees it

    def read_clipboard(self):
        result = self.run("xclip", "-o", "-selection", "clipboard", check=False, timeout=10)
        return result.stdout if result.returncode == 0 else None

    def copy(self):
        """Presses the copy button and returns what another program then reads
        from the clipboard."""
        return self.clipboard_after(lambda: self.click("btnCopy"), "the copy button")

    def clipboard_after(self, action, what):
        """What another program reads from the clipboard after `action`. A
        marker put there first makes sure the text seen came from it."""
        self.sentinels += 1
        marker = f"quorvel-e2e-marker-{self.sentinels}".encode()
        subprocess.run(["xclip", "-i", "-selection", "clipboard"], input=marker,
                       env=self.tool_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10, check=True)
        wait_until("the marker to be on the clipboard", 10,
                   lambda: (self.read_clipboard() == marker, self.read_clipboard()))
        action()

        def probe():
            seen = self.read_clipboard()
            return seen is not None and seen != marker, seen
        try:
            return wait_until(f"the clipboard to take the text of {what}", 10, probe)
        except Failure as e:
            # A message box blocks the window's clicks; say so rather than
            # leave it to be guessed from a clipboard that did not change.
            if self.boxes():
                raise Failure(f"{e}\n  a message box titled {BOX_CAPTION!r} is up") from None
            raise

    # -- the page and the browser

    @property
    def page_path(self):
        return os.path.join(self.work, "quorvel.html")

    def page_bytes(self):
        try:
            with open(self.page_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            raise Failure(f"expected the page at {self.page_path}; the working directory "
                          f"holds {sorted(os.listdir(self.work))}") from None

    def preview(self):
        """Presses the preview button and waits for the handler's call."""
        before = len(self.opened())
        self.click("btnPreView")
        calls = wait_until("xdg-open to run the text/html handler", 15,
                           lambda: (len(self.opened()) > before, self.opened()))
        return calls[before]

    def dump_dom(self, path):
        profile = self._dir("chromium", str(time.monotonic_ns()))
        argv = ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                "--no-first-run", f"--user-data-dir={profile}", "--dump-dom",
                "file://" + urllib.parse.quote(path)]
        env = {"PATH": TOOL_PATH, "HOME": self._dir("home"), "LANG": "C.UTF-8"}
        try:
            result = subprocess.run(argv, env=env, capture_output=True, timeout=90)
        except subprocess.TimeoutExpired:
            raise Failure("chromium --dump-dom did not finish within 90 s")
        if result.returncode != 0:
            raise Failure(f"chromium --dump-dom failed with exit {result.returncode}: "
                          f"{result.stderr.decode('utf-8', 'replace')[-1500:]}")
        return result.stdout.decode("utf-8")

    def anchors(self, path):
        parser = AnchorParser()
        dom = self.dump_dom(path)
        parser.feed(dom)
        parser.close()
        return parser.anchors, dom

    def boxes(self):
        return self.windows(BOX_CAPTION)


# --- scenarios ----------------------------------------------------------------

SCENARIOS = {}


def scenario(name):
    def register(fn):
        SCENARIOS[name] = fn
        return fn
    return register


class SubResults:
    """Runs the related cases of one scenario, reports each, fails at the end
    if any did."""

    def __init__(self, scenario_name):
        self.name = scenario_name
        self.failed = []

    def check(self, case, fn):
        try:
            fn()
        except Failure as e:
            self.failed.append(case)
            print(f"FAIL {self.name}/{case}: {e}")
            return False
        print(f"PASS {self.name}/{case}")
        return True

    def finish(self):
        if self.failed:
            raise Failure(f"{len(self.failed)} case(s) failed: {', '.join(self.failed)}")


def expect_no_box(d, when):
    found = d.boxes()
    if found:
        raise Failure(f"{when}: expected no message box titled {BOX_CAPTION!r}, "
                      f"seen {len(found)} (the opener's verdict was taken as a failure)")


@scenario("copy_before_make")
def copy_before_make(d):
    d.start()
    expect_equal("clipboard after copy at start-up (the instruction text, CR LF ends)",
                 INSTRUCTION.encode("utf-8"), d.copy())


@scenario("copy_each_shape")
def copy_each_shape(d):
    row = next(r for r in ROWS if r["tag"] == "emoji")
    d.start(typed=[row["title"], row["mail"]])
    d.set_text("txtTitle", row["title"])
    d.set_text("txtMail", row["mail"])
    results = SubResults("copy_each_shape")
    for shape, toggle in SHAPE_STEPS:
        if toggle:
            d.click(toggle)

        def case(shape=shape):
            d.click("btnMake")
            expect_equal(f"clipboard after make then copy, {shape} shape (UTF-8, CR LF)",
                         row[shape].encode("utf-8"), d.copy())
        results.check(shape, case)
    results.finish()


@scenario("copy_edited_tag")
def copy_edited_tag(d):
    d.start(typed=["手で直した"])
    d.set_text("txtMail", "ab@c.jp")
    d.click("btnMake")
    d.set_text("txtTag", "手で直した")
    d.key("Return")
    d.run("xdotool", "type", "--delay", "15", "--", "second line")
    expect_equal("clipboard after editing the result field (taken as edited, CR LF)",
                 "手で直した\r\nsecond line".encode("utf-8"), d.copy())


@scenario("preview_opens_page")
def preview_opens_page(d):
    require("xdg-open", "xdg-mime", "file")
    d.install_opener()
    d.start()
    d.set_text("txtMail", "ab@c.jp")
    expected_tag = next(r for r in ROWS if r["tag"] == "ordinary")["encoded"]
    for press in (1, 2):
        _, args = d.preview()
        expect_equal(f"handler arguments after preview press {press}", [d.page_path], args)
        expect_equal(f"page bytes after preview press {press} (nine lines, UTF-8, CR LF)",
                     preview_page(expected_tag).encode("utf-8"), d.page_bytes())
        # The copy click is handled only after the preview handler has
        # returned, so by then any message box would be up.
        expect_equal("clipboard after preview then copy", expected_tag.encode("utf-8"),
                     d.copy())
        expect_no_box(d, f"after preview press {press}")
    expect_equal("files in the working directory", ["quorvel.html"], sorted(os.listdir(d.work)))


def browser_scenario(row):
    def run(d):
        require("xdg-open", "xdg-mime", "file", "chromium")
        d.install_opener()
        d.start(typed=[row["title"], row["mail"]])
        d.set_text("txtTitle", row["title"])
        d.set_text("txtMail", row["mail"])
        results = SubResults(f"browser_{row['tag']}")
        for shape, toggle in SHAPE_STEPS:
            if toggle:
                d.click(toggle)

            tag = row[shape]

            def opened():
                _, args = d.preview()
                expect_equal("handler arguments", [d.page_path], args)

            def page():
                expect_equal("page bytes (nine lines, UTF-8, CR LF)",
                             preview_page(tag).encode("utf-8"), d.page_bytes())

            def clipboard():
                expect_equal("clipboard after preview then copy", tag.encode("utf-8"), d.copy())
                expect_no_box(d, "after preview")

            def browser():
                anchors, dom = d.anchors(d.page_path)
                if len(anchors) != 1:
                    raise Failure(f"expected exactly one link in the browser's DOM, seen "
                                  f"{len(anchors)}: {anchors}\n  DOM: {dom!r}")
                expect_equal("href of the link in the browser's DOM", row["href"],
                             anchors[0]["href"])
                expect_equal("text of the link in the browser's DOM", row["text"],
                             anchors[0]["text"])

            # The page and the browser are judged apart: a wrong byte and a
            # broken link are different faults.
            if results.check(f"{shape}/opened", opened):
                results.check(f"{shape}/page", page)
                results.check(f"{shape}/clipboard", clipboard)
                results.check(f"{shape}/browser", browser)
        results.finish()
    return run


for _row in ROWS:
    SCENARIOS[f"browser_{_row['tag']}"] = browser_scenario(_row)


def expect_shell_error_and_recover(d):
    """Presses preview when the desktop cannot open the page: one modal box
    titled "Quorvel" must appear, the page must be on disk, and the program
    must go on running and answering once the box is closed with Return."""
    require("xprop")
    d.set_text("txtMail", "ab@c.jp")
    expected_tag = next(r for r in ROWS if r["tag"] == "ordinary")["encoded"]
    d.click("btnPreView")
    box = wait_until(f"a message box titled {BOX_CAPTION!r}", 15,
                     lambda: (bool(d.boxes()), d.boxes()))
    expect_equal("message boxes shown", 1, len(box))
    props = d.run("xprop", "-id", str(box[0]), "WM_TRANSIENT_FOR", "_NET_WM_STATE").stdout.decode()
    expect_equal("the window the box belongs to (WM_TRANSIENT_FOR)", hex(d.window),
                 props.split("WM_TRANSIENT_FOR(WINDOW): window id # ")[-1].split()[0]
                 if "window id # " in props else props)
    if "_NET_WM_STATE_MODAL" not in props:
        raise Failure(f"expected the box to be modal (_NET_WM_STATE_MODAL), seen: {props!r}")
    expect_equal("page bytes on disk although nothing could open it",
                 preview_page(expected_tag).encode("utf-8"), d.page_bytes())
    if not d.alive():
        raise Failure(f"the program ended with {d.app.returncode} while its box was up")
    d.run("xdotool", "windowfocus", "--sync", str(box[0]), "key", "Return")
    wait_until("the message box to close after Return", 10,
               lambda: (not d.boxes(), d.boxes()))
    # Still running and still answering clicks.
    expect_equal("clipboard after the box was closed and copy pressed",
                 expected_tag.encode("utf-8"), d.copy())
    if not d.alive():
        raise Failure(f"the program ended with {d.app.returncode} after the box was closed")


@scenario("preview_without_opener")
def preview_without_opener(d):
    # Only the program itself is found, by its absolute path.
    d.start(path=d._dir("bin-without-opener"))
    expect_shell_error_and_recover(d)


@scenario("preview_handler_fails")
def preview_handler_fails(d):
    """xdg-open runs the registered handler, which fails: xdg-open exits 4."""
    require("xdg-open", "xdg-mime", "file")
    d.install_opener()
    open(d.fail, "w").close()
    d.start()
    expect_shell_error_and_recover(d)
    expect_equal("handler calls", 1, len(d.opened()))


@scenario("opener_stays_open")
def opener_stays_open(d):
    """On a desktop xdg-open knows nothing about, it runs the browser in the
    foreground and returns only when the browser closes."""
    require("xdg-open", "xdg-mime", "file")
    d.install_opener()
    d.start()
    d.set_text("txtMail", "ab@c.jp")
    expected_tag = next(r for r in ROWS if r["tag"] == "ordinary")["encoded"]

    open(d.hold, "w").close()
    handler_pid, args = d.preview()
    expect_equal("handler arguments", [d.page_path], args)
    # The window answers again while the "browser" is still open.
    expect_equal("clipboard after copy while the browser stays open",
                 expected_tag.encode("utf-8"), d.copy())
    expect_no_box(d, "with the browser still open")
    if not os.path.exists(f"/proc/{handler_pid}"):
        raise Failure("the handler ended before it was released; the check proves nothing")

    os.unlink(d.hold)
    wait_until("the handler to finish after release", 15,
               lambda: (os.path.exists(d.released), None))
    wait_until("the program to reap the opener (no child, no zombie)", 10,
               lambda: (not children_of(d.app.pid), children_of(d.app.pid)))

    # Closing the program leaves a browser it started running.
    open(d.hold, "w").close()
    handler_pid, _ = d.preview()
    send_close_request(d.display, d.window)
    try:
        d.app.wait(timeout=15)
    except subprocess.TimeoutExpired:
        raise Failure("the program did not end within 15 s of its window being closed")
    expect_equal("exit status after closing the window", 0, d.app.returncode)
    if not os.path.exists(f"/proc/{handler_pid}"):
        raise Failure("the browser (handler) was ended together with the program")
    os.unlink(d.hold)
    wait_until("the surviving handler to finish on its own", 15,
               lambda: (open(d.released).read().split().count(str(handler_pid)) == 1, None))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", help="the built quorvel executable")
    parser.add_argument("--list", action="store_true", help="print the scenario names")
    parser.add_argument("scenario", nargs="?")
    options = parser.parse_args()
    if options.list:
        print(";".join(SCENARIOS))
        return 0
    if options.scenario not in SCENARIOS or not options.program:
        parser.error(f"give --program and one of: {', '.join(SCENARIOS)}")

    # A stray SIGTERM from CTest's timeout must still take Xvfb down with us.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    desktop = None
    try:
        desktop = Desktop(options.program)
        SCENARIOS[options.scenario](desktop)
    except Failure as e:
        print(f"FAIL {options.scenario}: {e}")
        if desktop:
            log = desktop._log("quorvel.log")
            if log:
                print(f"program output:\n{log}")
        return 1
    finally:
        if desktop:
            desktop.close()
    print(f"PASS {options.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
