#!/usr/bin/env python3
"""Every row of site_rows.json through the real quorvel-site: the page's bytes
afterwards, the exit status and the messages; a second run must change
nothing. Headless Chromium then renders each original and rewritten page:
once the inserted script blocks are taken out, the two DOMs must be the
same, so every link kept its href, text and attributes and nothing else moved.

Usage: site_test.py QUORVEL_SITE ROWS OUT_DIR [CHROMIUM]
The pages stay in OUT_DIR/<row>/ (original.html, page.html) for other panels."""
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harvest"))
import harvesters  # noqa: E402

binary, rows_file, out_dir = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
if len(sys.argv) > 5:  # the build's stand-in for a missing chromium: it says which package
    sys.exit(subprocess.run(sys.argv[4:]).returncode or 1)
chromium = sys.argv[4] if len(sys.argv) > 4 else shutil.which("chromium")
rows = json.load(open(rows_file, encoding="utf-8"))
# What the rewrite inserts, exactly: the script block that puts one link in
# its own place, in case it stayed.
INSERTED = re.compile(r'<script type="text/javascript">\r?\n<!--\r?\ndocument\.currentScript\.outerHTML = \'.*?\';\r?\n// -->\r?\n</script>', re.S)
failures = []


def run(cwd, args, name="page.html", user=None):
    return subprocess.run([as_user if user else binary] + args + [name], cwd=cwd, capture_output=True, timeout=60,
                          user=user)


# Another user may not reach into the build tree (a clone under /root): a
# row run as that user works in a directory of its own, with a copy of the
# program.
shared = tempfile.mkdtemp(prefix="quorvel-site-rows-")
os.chmod(shared, 0o755)
as_user = shutil.copy(binary, shared)


def dom(path):
    with tempfile.TemporaryDirectory() as profile:
        p = subprocess.run([chromium, *harvesters.CHROMIUM[1:], f"--user-data-dir={profile}", "--dump-dom",
                            "file://" + os.path.abspath(path)], capture_output=True, timeout=120)
    if p.returncode != 0 or not p.stdout:
        failures.append(f"chromium failed on {path}: {p.stderr.decode(errors='replace')[-300:]}")
    return p.stdout.decode()


for row in rows:
    name, file, user = row["name"], row.get("file", "page.html"), row.get("run_as")
    where = os.path.join(shared if user else out_dir, re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-"))
    shutil.rmtree(where, ignore_errors=True)
    os.makedirs(where)
    os.chmod(where, 0o755)
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
    p = run(where, row.get("args", []), file, user)
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
        again = run(where, row.get("args", []), file, user)
        checks.append((open(page_file, "rb").read() == expected and again.returncode == row["exit"], "a second run changed it"))
    failures += [f"{name}: {why}" for ok, why in checks if not ok]
    if rewritten and chromium and file.endswith(".html"):
        before, after = dom(os.path.join(where, "original.html")), dom(page_file)
        if INSERTED.sub("", after) != before:
            failures.append(f"{name}: Chromium renders it differently:\n{before}\n----\n{after}")

# The harvester panel over quorvel-site's output, one column a shape: what
# each stops, next to the page as the site wrote it.
ADDRESS, verdicts = "taro+web@example.co.jp", {}
PANEL = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>連絡先</title></head>\n<body>\n<p><a class="mail" '
         f'href="mailto:{ADDRESS}?subject=ご質問&amp;body=よろしく" title="{ADDRESS}">お問い合わせ</a></p>\n'
         f'<p><a href="MAILTO:{ADDRESS}">{ADDRESS}</a></p>\n</body></html>\n')
for shape in ("as written", "references", "script", "encoded") if chromium else ():
    os.makedirs(where := os.path.join(out_dir, "panel", shape.replace(" ", "-")), exist_ok=True)
    open(os.path.join(where, "page.html"), "w", encoding="utf-8").write(PANEL)
    if shape != "as written" and run(where, ["--shape", shape]).returncode != 0:
        failures.append(f"panel, {shape}: quorvel-site failed")
    with tempfile.TemporaryDirectory() as profile:
        for harvester, seen in harvesters.harvest(os.path.join(where, "page.html"), profile).items():
            verdicts.setdefault(shape, {})[harvester] = {ADDRESS in seen}
if verdicts:
    print(panel := harvesters.table(verdicts), file=open(os.path.join(out_dir, "harvest-panel.md"), "w"))
    print(panel)
    for claim, shapes, harvested in (("references and encoded defeat a and b", ("references", "encoded"), "a b"),
                                     ("script defeats b", ("script",), "b")):
        if any(verdicts[s][h] != {False} for s in shapes for h in harvested.split()):
            failures.append(f"panel: {claim} no longer holds")
    if any(verdicts[s][h] != {True} for s in verdicts for h in ("ea", "eb")):
        failures.append("panel: a browser no longer finds the address in every shape")

if not chromium:
    failures.append("chromium is missing: install the Debian package chromium")
shutil.rmtree(shared, ignore_errors=True)
print("\n".join(failures) or f"{len(rows)} rows passed")
sys.exit(1 if failures else 0)
