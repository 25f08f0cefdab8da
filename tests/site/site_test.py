#!/usr/bin/env python3
"""Every row of site_rows.json through the real quorvel-site: the page's bytes
afterwards, the exit status and the messages; a second run must change
nothing. Headless Chromium then loads each original and rewritten page over
HTTP: once the script tag the external shape adds is taken out, the two DOMs
must be the same, so every link kept its href, text and attributes and
nothing else moved. A page in the external shape must come out the same under
a Content-Security-Policy of script-src 'self' and under one that allows only
its script file's hash, with no error, and with scripts off no address may
stand anywhere in it. A row with "mkdocs" builds that site, rewrites it in
each shape and follows its "navigate" by a click, as instant navigation does.

Usage: site_test.py QUORVEL_SITE ROWS OUT_DIR CHROMIUM... -- MKDOCS...
The pages stay in OUT_DIR/<row>/ (original.html, page.html) for other panels."""
import base64
import glob
import hashlib
import html
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harvest"))
import browser  # noqa: E402
import harvesters  # noqa: E402

binary, rows_file, out_dir = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
chromium, mkdocs = sys.argv[4:sys.argv.index("--")], sys.argv[sys.argv.index("--") + 1:]
failures = []
for tool in chromium, mkdocs:  # the build's stand-in for a missing tool says which package
    if len(tool) > 1:
        failures.append(subprocess.run(tool, capture_output=True, text=True).stderr.strip())
        tool.clear()
rows = json.load(open(rows_file, encoding="utf-8"))
# What the rewrite inserts beside the links, exactly: the external shape's script tag.
INSERTED = re.compile(r'<script src="(\.\./)*quorvel-[0-9a-f]{8}\.js" integrity="sha384-[A-Za-z0-9+/]{64}"></script>')
server = browser.serve()
chrome = browser.Browser([chromium[0], *harvesters.CHROMIUM[1:]]) if chromium else None


def run(cwd, args, name="page.html", user=None):
    return subprocess.run([as_user if user else binary] + args + [name], cwd=cwd, capture_output=True, timeout=60,
                          user=user)


# Another user may not reach into the build tree (a clone under /root): a
# row run as that user works in a directory of its own, with a copy of the
# program.
shared = tempfile.mkdtemp(prefix="quorvel-site-rows-")
os.chmod(shared, 0o755)
as_user = shutil.copy(binary, shared)


def url(path, policy="open"):
    return f"{server}/{policy}{urllib.parse.quote(os.path.abspath(path))}"


def dom(path, policy="open", scripts=True):
    chrome.open(url(path, policy), scripts)
    return chrome.js("document.documentElement.outerHTML")


def readable(markup):
    return urllib.parse.unquote(html.unescape(markup)).lower()


def external(name, original, page_file, root):
    """The checks of a page in the external shape, whose script file is at `root`: under each policy it must come out
    as the original does under it, with no more errors; with scripts off, the page shows none of its links' addresses."""
    script = glob.glob(os.path.join(root, "quorvel-*.js"))
    digest = base64.b64encode(hashlib.sha384(open(script[0], "rb").read()).digest()).decode() if script else "none"
    browser.POLICIES.update({"self": "script-src 'self'", "hash": f"script-src 'sha384-{digest}'"})
    for policy in "self", "hash":
        before, errors = dom(original, policy), chrome.errors()
        after = INSERTED.sub("", dom(page_file, policy))
        if after != before or not set(chrome.errors()) <= set(errors):
            failures.append(f"{name}: under {browser.POLICIES[policy]}: {chrome.errors()}\n{before}\n----\n{after}")
    as_written = dom(original)
    links = chrome.js("[...document.links].filter(a => a.protocol == 'mailto:').map(a => [a.outerHTML, a.pathname])")
    # The addresses that stand in the page's links and nowhere else, as a reader without JavaScript gets it.
    dom(original, scripts=False)
    outside = readable(chrome.js("(c => (c.querySelectorAll('a, area').forEach(a => a.protocol == 'mailto:' && a.remove()),"
                                 " c.outerHTML))(document.documentElement.cloneNode(true))"))
    own = {a.strip().lower() for _, path in links for a in urllib.parse.unquote(path).split(",")} - {""}
    own = {a for a in own if a not in outside}
    dom(page_file, scripts=False)
    hidden = chrome.js("[...document.querySelectorAll('a[data-quorvel]')].map(a => a.outerHTML)")
    shown = readable(chrome.js("document.documentElement.outerHTML"))
    if not hidden or any(a in shown for a in own):
        failures.append(f"{name}: with scripts off, the page shows one of {own}:\n{shown}")
    # A link that arrives later, by markup whose scripts do not run: the script file's observer converts it.
    dom(page_file, "self")
    ours = next(h for h in hidden if h not in as_written)
    late = chrome.js(f"document.body.insertAdjacentHTML('beforeend', {json.dumps(ours)}); "
                     "new Promise(done => setTimeout(() => done(document.body.lastElementChild.outerHTML)))")
    if late not in [markup for markup, _ in links]:
        failures.append(f"{name}: a link added later stays {late}")


def instant(row, where):
    """The row's mkdocs site in each shape: from the home page to another by a click, once the sitemap is kept."""
    os.makedirs(src := os.path.join(where, "src"))
    for name, text in row["mkdocs"].items():
        os.makedirs(os.path.dirname(os.path.join(src, name)), exist_ok=True)
        open(os.path.join(src, name), "w", encoding="utf-8").write(text)
    built = os.path.join(where, "built")
    p = subprocess.run([*mkdocs, "build", "-q", "-f", os.path.join(src, "mkdocs.yml"), "-d", built], capture_output=True)
    if p.returncode != 0:
        return [f"{row['name']}: mkdocs build failed (the theme comes with the Debian package mkdocs-material): {p.stderr!r}"]
    found = []
    for shape in row["shapes"]:
        shutil.copytree(built, site := os.path.join(where, shape))
        if subprocess.run([binary, "--shape", shape, site], capture_output=True).returncode != 0:
            found.append(f"{row['name']}, {shape}: quorvel-site failed")
        chrome.open(url(os.path.join(site, "index.html")))
        go = row["navigate"]
        chrome.until("Object.keys(sessionStorage).includes(location.pathname.replace(/index.html$/, '.__sitemap'))", True)
        chrome.js("window.notReloaded = true")
        chrome.click(go["click"])
        got = chrome.until(go["read"], go["expect"])
        if got != go["expect"] or chrome.errors():
            found.append(f"{row['name']}, {shape}: {got} {chrome.errors()}")
    return found


for row in rows:
    name, file, user = row["name"], row.get("file", "page.html"), row.get("run_as")
    where = os.path.join(shared if user else out_dir, re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-"))
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.join(where, file)))
    os.chmod(where, 0o755)
    if "mkdocs" in row:
        failures += instant(row, where) if chrome and mkdocs else []
        continue
    if "page_parts" in row:  # a page too large for the table: pieces, some repeated
        row["page"] = "".join(p if isinstance(p, str) else p[0] * p[1] for p in row["page_parts"])
    page = bytes.fromhex(row["page_hex"]) if "page_hex" in row else row["page"].encode()
    target = os.path.join(where, file)
    if row.get("symlink"):
        with open(os.path.join(where, "outside.html"), "wb") as f:
            f.write(page)
        os.symlink("outside.html", target)
        page_file = os.path.join(where, "outside.html")
    else:
        with open(target, "wb") as f:
            f.write(page)
        page_file = target
    shutil.copyfile(page_file, os.path.join(where, "original.html"))
    if "size" in row:  # sparse: a large page costs no disk
        os.truncate(page_file, row["size"])
    if "alias" in row:  # the row's directory by a second name
        os.symlink(".", os.path.join(where, row["alias"]))
    owner = row.get("owner", user)
    if owner and os.geteuid() != 0:
        failures.append(f"{name}: giving the page to {owner} needs root")
        continue
    if owner:
        os.chown(page_file, pwd.getpwnam(owner).pw_uid, pwd.getpwnam(owner).pw_gid)
    mode = 0o640
    os.chmod(page_file, mode)
    p = run(where, row.get("args", []), row.get("root", file), user)
    rewritten = "out" in row or "out_hex" in row
    expected = bytes.fromhex(row["out_hex"]) if "out_hex" in row else row["out"].encode() if "out" in row else page
    got = open(page_file, "rb").read(len(expected) + ("size" not in row))
    checks = [
        (got == expected, f"bytes differ:\n{got[:4000]!r}\nexpected\n{expected[:4000]!r}"),
        (p.returncode == row["exit"], f"exit {p.returncode}, expected {row['exit']}"),
        (p.stdout.decode() == row["stdout"], f"stdout {p.stdout!r}"),
        (p.stderr.decode() == row["stderr"], f"stderr {p.stderr!r}"),
        (os.stat(page_file).st_mode & 0o777 == mode, "mode not kept"),
        (not owner or os.stat(page_file).st_uid == pwd.getpwnam(owner).pw_uid, "owner not kept"),
        (not row.get("symlink") or os.path.islink(target), "the link was replaced"),
    ]
    if rewritten:
        again = run(where, row.get("args", []), row.get("root", file), user)
        checks.append((open(page_file, "rb").read() == expected and again.returncode == row["exit"], "a second run changed it"))
    failures += [f"{name}: {why}" for ok, why in checks if not ok]
    if rewritten and chrome and file.endswith(".html"):
        before, after = dom(os.path.join(where, "original.html")), dom(page_file)
        if INSERTED.sub("", after) != before:
            failures.append(f"{name}: Chromium renders it differently:\n{before}\n----\n{after}")
        if b"data-quorvel" in got:
            root = os.path.join(where, row.get("root", file))
            external(name, os.path.join(where, "original.html"), page_file, root if os.path.isdir(root) else os.path.dirname(root))

# The harvester panel over quorvel-site's output, one column a shape: what
# each stops, next to the page as the site wrote it.
ADDRESS, verdicts = "taro+web@example.co.jp", {}
PANEL = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>連絡先</title></head>\n<body>\n<p><a class="mail" '
         f'href="mailto:{ADDRESS}?subject=ご質問&amp;body=よろしく" title="{ADDRESS}">お問い合わせ</a></p>\n'
         f'<p><a href="MAILTO:{ADDRESS}">{ADDRESS}</a></p>\n</body></html>\n')
for shape in ("as written", "references", "script", "encoded", "external") if chrome else ():
    shutil.rmtree(where := os.path.join(out_dir, "panel", shape.replace(" ", "-")), ignore_errors=True)
    os.makedirs(where)
    open(page := os.path.join(where, "page.html"), "w", encoding="utf-8").write(PANEL)
    if shape != "as written" and run(where, ["--shape", shape]).returncode != 0:
        failures.append(f"panel, {shape}: quorvel-site failed")
    with tempfile.TemporaryDirectory() as profile:  # the page with its script file, if it has one
        for harvester, seen in harvesters.harvest(page, profile, url(page), glob.glob(where + "/*.js")).items():
            verdicts.setdefault(shape, {})[harvester] = {ADDRESS in seen}
if verdicts:
    print(panel := harvesters.table(verdicts), file=open(os.path.join(out_dir, "harvest-panel.md"), "w"))
    print(panel)
    for claim, shapes, harvested in (("references and encoded defeat a and b", ("references", "encoded"), "a b"),
                                     ("script defeats b", ("script",), "b"),
                                     ("external defeats a to d", ("external",), "a b ca cb da db")):
        if any(verdicts[s][h] != {False} for s in shapes for h in harvested.split()):
            failures.append(f"panel: {claim} no longer holds")
    if any(verdicts[s][h] != {True} for s in verdicts for h in ("ea", "eb")):
        failures.append("panel: a browser no longer finds the address in every shape")

if chrome:
    chrome.close()
shutil.rmtree(shared, ignore_errors=True)
print("\n".join(failures) or f"{len(rows)} rows passed")
sys.exit(1 if failures else 0)
