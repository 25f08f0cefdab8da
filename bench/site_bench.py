#!/usr/bin/env python3
"""quorvel-site over a generated built site of 10,000 pages (about 20 KiB
each, three mail links a page), side by side with cat over the same files
and with BeautifulSoup + html5lib only parsing and serialising them.

Usage: bench/site_bench.py BUILD_DIR RESULTS_DIR
Prints one line per figure; the medians are of whole-command wall times."""
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
site = os.path.join(build, "bench", "site")
work = os.path.join(build, "bench", "site-work")
quorvel = os.path.join(build, "site", "quorvel-site")

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


def generate():
    stamp = os.path.join(site, ".complete")
    if os.path.exists(stamp):
        return
    shutil.rmtree(site, ignore_errors=True)
    rng = random.Random(16)
    for i in range(PAGES):
        d = os.path.join(site, "posts", f"{i // 100:03d}", f"post-{i}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "index.html"), "w", encoding="utf-8") as f:
            f.write(page(rng, i))
    open(stamp, "w").close()


def pages(root):
    return sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs if f.endswith(".html"))


def timed(cmd, runs, before=None):
    times = []
    for _ in range(runs):
        if before:
            before()
        t = time.perf_counter()
        subprocess.run(cmd, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - t)
    return statistics.median(times), times


def fresh_copy():
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(site, work)


def main():
    os.makedirs(out, exist_ok=True)
    generate()
    files = pages(site)
    total = sum(os.path.getsize(f) for f in files)
    listing = os.path.join(out, "site-files.txt")
    with open(listing, "w") as f:
        f.write("\0".join(files))
    sample = files[:: len(files) // BS4_SAMPLE][:BS4_SAMPLE]
    bs4 = [sys.executable, os.path.join(os.path.dirname(__file__), "bs4_floor.py")] + sample
    # Warm the page cache for every command alike.
    subprocess.run(["sh", "-c", f"xargs -0 cat <{listing} >/dev/null"], check=True)
    cat = timed(["sh", "-c", f"xargs -0 cat <{listing} >/dev/null"], 5)
    check = timed([quorvel, "--check", site], 5)
    rewrite = timed([quorvel, work], 3, before=fresh_copy)
    soup = timed(bs4, 3)
    soup_all = soup[0] * len(files) / len(sample)
    shutil.rmtree(work, ignore_errors=True)
    load = os.getloadavg()
    lines = [
        f"site: {len(files)} pages, {total / 2**20:.0f} MiB; load average {load[0]:.1f} on {os.cpu_count()} cores",
        f"site: cat over the pages {cat[0] * 1000:.0f} ms, quorvel-site --check {check[0] * 1000:.0f} ms, rewrite {rewrite[0] * 1000:.0f} ms",
        f"site: bs4 + html5lib over {len(sample)} pages (2 processes) {soup[0]:.2f} s, scaled to {len(files)}: {soup_all:.0f} s",
        f"site rewrite against bs4 + html5lib parse alone {soup_all / rewrite[0]:10.1f}x faster (target >= 10x)",
        f"site rewrite against cat over the same files   {rewrite[0] / cat[0]:10.2f}x (target <= 3x)",
        f"site --check against cat over the same files   {check[0] / cat[0]:10.2f}x (target <= 3x)",
    ]
    with open(os.path.join(out, "site.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if sys.argv[3:] == ["--generate"]:
    generate()
else:
    main()
