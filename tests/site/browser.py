"""Headless Chromium driven over the DevTools protocol on a pipe (fds 3 and 4,
no websocket), and a local HTTP server on 127.0.0.1 that serves any file of
this machine under /<policy>/<absolute path> with the Content-Security-Policy
that POLICIES names for <policy> (none for a name it lacks)."""
import http.server, json, os, select, shutil, subprocess, tempfile, threading, time, urllib.parse

POLICIES = {}


class Handler(http.server.SimpleHTTPRequestHandler):
    def translate_path(self, path):
        self.policy, _, rest = urllib.parse.urlsplit(path).path.lstrip("/").partition("/")
        return "/" + urllib.parse.unquote(rest)

    def end_headers(self):
        if POLICIES.get(self.policy):
            self.send_header("Content-Security-Policy", POLICIES[self.policy])
        super().end_headers()

    def log_message(self, *args):
        pass


def serve():
    """The server's URL prefix; it runs until the process ends."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}"


class Browser:
    def __init__(self, command):
        self.profile = tempfile.mkdtemp(prefix="quorvel-chromium-")
        theirs_in, self.commands = os.pipe()
        self.answers, theirs_out = os.pipe()
        self.proc = subprocess.Popen(["sh", "-c", f'exec "$0" "$@" 3<&{theirs_in} 4>&{theirs_out}', *command,
                                      "--disable-quic", "--remote-debugging-pipe", f"--user-data-dir={self.profile}"],
                                     pass_fds=(theirs_in, theirs_out), stderr=subprocess.DEVNULL)
        os.close(theirs_in), os.close(theirs_out)
        self.pending, self.events, self.sent = b"", [], 0
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Log", "Runtime"):
            self.page(domain + ".enable")

    def call(self, method, session=None, **params):
        self.sent += 1
        message = {"id": self.sent, "method": method, "params": params} | ({"sessionId": session} if session else {})
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while (answer := self.read()).get("id") != self.sent:
            self.events.append(answer)
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer["result"]

    def read(self):
        while b"\0" not in self.pending:
            if not select.select([self.answers], [], [], 60)[0]:
                raise RuntimeError("chromium said nothing for 60 s")
            chunk = os.read(self.answers, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium ended")
            self.pending += chunk
        message, _, self.pending = self.pending.partition(b"\0")
        return json.loads(message)

    def page(self, method, **params):
        return self.call(method, self.session, **params)

    def js(self, expression):
        r = self.page("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise RuntimeError(f"{expression}: {r['exceptionDetails']['text']}")
        return r["result"].get("value")

    def open(self, url, scripts=True):
        """Loads `url` and waits for its load event; `errors` then lists what the console said."""
        self.page("Emulation.setScriptExecutionDisabled", value=not scripts)
        self.events = []
        self.page("Page.navigate", url=url)
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self.read())

    def errors(self):
        """Console errors, CSP and integrity violations and uncaught exceptions since the page was opened."""
        entries = [e["params"]["entry"]["text"] for e in self.events
                   if e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error"]
        return entries + [e["params"]["exceptionDetails"]["exception"]["description"].split("\n")[0]
                          for e in self.events if e.get("method") == "Runtime.exceptionThrown"]

    def until(self, expression, expected, seconds=10):
        """The value of `expression` once it equals `expected`, or its last value after `seconds`."""
        end = time.time() + seconds
        while (value := self.js(expression)) != expected and time.time() < end:
            time.sleep(0.1)
        return value

    def click(self, selector):
        x, y = self.js(f"(r => [r.x + r.width / 2, r.y + r.height / 2])"
                       f"(document.querySelector({json.dumps(selector)}).getBoundingClientRect())")
        for kind in ("mousePressed", "mouseReleased"):
            self.page("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def close(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
