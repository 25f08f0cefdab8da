#!/usr/bin/env python3
"""quorvel-site side by side with its peers, on four corpora: a generated
built site of 10,000 pages (about 20 KiB each, three mail links a page),
real built documentation (the Apache manual, Python's Sphinx pages, vim's
help, SQLite's site, gtk-doc), and one generated page of 1 MB and one of
10 MB (a mail link in about 450 bytes). On each: cat over the pages (warm:
every command reads them from the page cache), the parse-only floors of
gumbo and of the scan, lol-html as WebAssembly under node doing the same
rewrite (bench/lol_peer.js), and quorvel-site --check and rewrite. The
medians are of whole-command wall times, the memory the peak resident size
of each command's largest run.

With QUORVEL_SITE_BEFORE naming another build of quorvel-site, it is timed
too and the pages both rewrite are compared byte for byte.

Usage: bench/site_bench.py BUILD_DIR RESULTS_DIR PEER_DIR
Prints the table; BeautifulSoup + html5lib is timed on part of the site."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

PAGES = 10_000
BS4_SAMPLE = 400  # bs4 + html5lib is far too slow for all pages in every run

build, out = sys.argv[1], sys.argv[2]
peer = sys.argv[3] if len(sys.argv) > 3 else ""  # or "--generate"
site = os.path.join(build, "bench", "site")
quorvel = os.path.join(build, "site", "quorvel-site")
floor = os.path.join(build, "bench", "bench_site_floor")
lol = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lol_peer.js")
before = os.environ.get("QUORVEL_SITE_BEFORE")
DOCS = [("apache2-doc", "/usr/share/doc/apache2-doc/manual"), ("python3-doc", "/usr/share/doc/python3-doc/html"),
        ("vim-doc", "/usr/share/doc/vim/html"), ("sqlite3-doc", "/usr/share/doc/sqlite3"),
        ("libgtk-3-doc", "/usr/share/gtk-doc/html/gtk3")]

WORDS = ("static site generator page build output theme layout content partial template "
         "author contact address privacy robots harvest mail link protect shape script "
         "reference encode browser parser markup element attribute").split()


def text(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def page(rng, i):
    nav = "".join(f'<li><a href="/section/{k}/" class="nav-link">{text(rng, 2)}</a></li>\n' for k in range(12))
    parts = [f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{text(rng, 4)} | Example site</title>
<link rel="stylesheet" href="/css/main.min.css">
<script>window.dataLayer = window.dataLayer || []; if (a < b && c) {{ dataLayer.push("page-{i}"); }}</script>
</head>
<body class="page">
<!-- header partial -->
<header><nav><ul>
{nav}</ul></nav></header>
<main><article>
<h1>{text(rng, 5)}</h1>
<p>Questions? Write to <a href="mailto:author{i % 97}@example.org">author{i % 97}@example.org</a>.</p>
"""]
    size = sum(map(len, parts))
    while size < 19_000:
        block = rng.choice((
            f'<p>{text(rng, 50)} <em>{text(rng, 3)}</em> <a href="/posts/{rng.randrange(999)}/">{text(rng, 2)}</a> {text(rng, 30)}.</p>\n',
            f'<h2 id="s{size}">{text(rng, 4)}</h2>\n',
            f'<pre><code class="language-sh">make build &amp;&amp; {text(rng, 6)} &lt;dir&gt;</code></pre>\n',
            f'<figure><img src="/img/{rng.randrange(99)}.png" alt="{text(rng, 3)}" width="640" height="360"><figcaption>{text(rng, 6)}</figcaption></figure>\n',
            f'<ul><li>{text(rng, 8)}</li><li>{text(rng, 8)}</li><li>{text(rng, 8)}</li></ul>\n',
        ))
        parts.append(block)
        size += len(block)
    parts.append(f"""<p>For the press: <a class="contact" href="mailto:press@example.org?subject=Page%20{i}" title="Press office">press office</a>.</p>
</article></main>
<footer><p>&copy; 2026 Example &middot; <a href="mailto:webmaster@example.org" rel="nofollow">webmaster@example.org</a></p></footer>
</body>
</html>
""")
    return "".join(parts)


def big_page(rng, size):
    """One long page: the site's blocks with a mail link in about 450 bytes."""
    parts = ['<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>All authors</title>\n'
             '</head>\n<body>\n<main>\n<table>\n']
    n = 0
    while n < size:
        k = rng.randrange(9999)
        row = (f'<tr><td><a href="/people/{k}/">{text(rng, 3)}</a></td><td>{text(rng, 40)}</td>'
               f'<td><a href="mailto:person{k}@example.org">person{k}@example.org</a></td></tr>\n')
        parts.append(row)
        n += len(row)
    parts.append("</table>\n</main>\n</body>\n</html>\n")
    return "".join(parts)


def generate():
    stamp = os.path.join(site, ".complete")
    if not os.path.exists(stamp):
        shutil.rmtree(site, ignore_errors=True)
        rng = random.Random(16)
        for i in range(PAGES):
            d = os.path.join(site, "posts", f"{i // 100:03d}", f"post-{i}")
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "index.html"), "w", encoding="utf-8") as f:
                f.write(page(rng, i))
        open(stamp, "w").close()
    for mb in (1, 10):
        d = os.path.join(build, "bench", f"page-{mb}mb")
        if not os.path.exists(os.path.join(d, "index.html")):
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "index.html"), "w", encoding="utf-8") as f:
                f.write(big_page(random.Random(mb), mb * 10**6))
    docs = os.path.join(build, "bench", "docs")
    if not os.path.exists(os.path.join(docs, ".complete")):
        shutil.rmtree(docs, ignore_errors=True)
        for package, d in DOCS:
            if not os.path.isdir(d):
                sys.exit(f"site_bench: {d} is missing: install the Debian package {package}")
            shutil.copytree(d, os.path.join(docs, package))
        open(os.path.join(docs, ".complete"), "w").close()


def pages(root):
    return sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs if f.endswith((".html", ".htm")))


def timed(cmd, runs, before=None, ok=(0,)):
    """The median wall time of `runs` runs and the largest peak resident
    size (KiB) among them, as GNU time reads it: a child forked from this
    Python would count Python's own memory as its peak."""
    times, peak = [], 0
    rss = os.path.join(out, "rss")
    for _ in range(runs):
        if before:
            before()
        t = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss] + cmd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        times.append(time.perf_counter() - t)
        if p.returncode not in ok:
            sys.exit(f"site_bench: {' '.join(cmd)} failed ({p.returncode}):\n{p.stderr.decode(errors='replace')[-2000:]}")
        with open(rss) as f:
            peak = max(peak, int(f.read().split()[-1]))
    return statistics.median(times), peak


QUORVEL_OK = (0, 1, 2)  # 1: links found by --check; 2: some file left as it is (real documentation has some)


def listing(files, name):
    path = os.path.join(out, name)
    with open(path, "w") as f:
        f.write("\0".join(files))
    return path


def corpus(name, root, runs):
    """One row of the table: the name, its size, {peer: (seconds, KiB)}."""
    files = pages(root)
    total = sum(os.path.getsize(f) for f in files)
    work = root.rstrip("/") + "-work"

    def fresh_copy():
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(root, work)
        # The copy's own dirty pages are the set-up's, not the next command's:
        # a rewrite that syncs would otherwise write the whole copy too.
        os.sync()

    key = os.path.basename(root)
    pages_list = listing(files, f"{key}.list")
    work_list = listing([work + f[len(root):] for f in files], f"{key}-work.list")
    cat = ["sh", "-c", f"xargs -0 cat <{pages_list} >/dev/null"]
    subprocess.run(cat, check=True)  # the page cache warm for every command alike
    row = {
        "cat": timed(cat, 5),
        "gumbo floor": timed([floor, "gumbo", pages_list], runs),
        "scan floor": timed([floor, "scan", pages_list], runs),
        "lol-html": timed(["node", lol, peer, work_list], runs, before=fresh_copy),
        "--check": timed([quorvel, "--check", root], runs, ok=QUORVEL_OK),
        "rewrite": timed([quorvel, work], runs, before=fresh_copy, ok=QUORVEL_OK),
    }
    same = ""
    if before:
        row["before"] = timed([before, work], runs, before=fresh_copy, ok=QUORVEL_OK)
        theirs = {f: open(f, "rb").read() for f in pages(work)}
        fresh_copy()
        subprocess.run([quorvel, work], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        differ = [f for f, b in theirs.items() if open(f, "rb").read() != b]
        changed = sum(open(f, "rb").read() != open(root + f[len(work):], "rb").read() for f in theirs)
        same = (f"{len(theirs)} pages, {changed} rewritten: " +
                ("byte for byte as before" if not differ else f"{len(differ)} DIFFER from before, e.g. {differ[0]}"))
    shutil.rmtree(work, ignore_errors=True)
    print(name, len(files), total, row, same, file=sys.stderr, flush=True)
    return name, len(files), total, row, same


def main():
    os.makedirs(out, exist_ok=True)
    generate()
    rows = [corpus("site", site, 3), corpus("docs", os.path.join(build, "bench", "docs"), 3)]
    for mb in (1, 10):
        rows.append(corpus(f"{mb} MB page", os.path.join(build, "bench", f"page-{mb}mb"), 5))
    files = pages(site)
    sample = files[:: len(files) // BS4_SAMPLE][:BS4_SAMPLE]
    soup = timed([sys.executable, os.path.join(os.path.dirname(__file__), "bs4_floor.py")] + sample, 3)[0]
    soup_all = soup * len(files) / len(sample)
    load = os.getloadavg()

    peers = ["cat", "gumbo floor", "scan floor", "lol-html", "--check", "rewrite"] + (["before"] if before else [])
    lines = [f"quorvel-site and its peers, medians of whole commands (s); load average {load[0]:.1f} on "
             f"{os.cpu_count()} cores; cat warm",
             f"{'corpus':<24}" + "".join(f"{p:>12}" for p in peers) +
             f"{'lol/rewrite':>12}{'rewrite/cat':>12}{'MiB/s':>8}{'peak MiB':>10}" + (f"{'(before)':>9}" if before else "")]
    for name, n, total, row, same in rows:
        rewrite = row["rewrite"][0]
        lines.append(f"{f'{name} ({n}, {total / 2**20:.0f} MiB)':<24}" +
                     "".join(f"{row[p][0]:12.3f}" for p in peers) +
                     f"{row['lol-html'][0] / rewrite:11.2f}x{rewrite / row['cat'][0]:11.1f}x"
                     f"{total / 2**20 / rewrite:8.0f}{row['rewrite'][1] / 1024:10.1f}" +
                     (f"{row['before'][1] / 1024:9.1f}" if before else ""))
    lines.append(f"peak MiB of lol-html: " + ", ".join(f"{name} {row['lol-html'][1] / 1024:.0f}"
                                                      for name, _, _, row, _ in rows))
    for name, _, _, _, same in rows:
        if same:
            lines.append(f"{name} against QUORVEL_SITE_BEFORE: {same}")
    site_rewrite = rows[0][3]["rewrite"][0]
    lines.append(f"site rewrite against bs4 + html5lib parse alone ({len(sample)} pages, scaled) "
                 f"{soup_all / site_rewrite:.1f}x faster (target >= 10x)")
    worst = min(row["lol-html"][0] / row["rewrite"][0] for _, _, _, row, _ in rows)
    lines.append(f"rewrite against lol-html, the slowest corpus: {worst:.2f}x faster (target >= 2x)")
    with open(os.path.join(out, "site.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if sys.argv[3:] == ["--generate"]:  # the corpora only
    generate()
else:
    main()
