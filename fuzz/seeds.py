#!/usr/bin/env python3
"""The fuzz target's seeds: every page of tests/site/site_rows.json, in each
shape, and generated pages of what real builds hold.

Usage: seeds.py ROWS OUT_DIR"""
import json
import os
import random
import sys

rows, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
pages = []
for row in json.load(open(rows, encoding="utf-8")):
    if row.get("file", "page.html").endswith(".html") and ("page" in row or "page_hex" in row):
        pages.append(bytes.fromhex(row["page_hex"]) if "page_hex" in row else row["page"].encode())

rng = random.Random(22)
PIECES = ['<a href="mailto:a@b.org">a@b.org</a>', "<a href='MAILTO:x%40y.jp?subject=Hi&amp;cc=c@d.org' title='x@y.jp'>",
          "</a>", "<p>", "</p>", "<table><tr><td>", "</table>", "<b>", "</b>", "<select><option>", "<svg><a href=mailto:s@v.g>",
          "</svg>", "<noscript>", "</noscript>", "<!-- c@d.org -->", "<script>x='<a href=mailto:q@r.s>'</script>",
          "<area href=mailto:m@p.org>", "<math><mi>", "<template>", "</template>", "text t@u.org ", "&amp;", "&#64;",
          "<img src='i@2x.png'>", "\r\n", "<foreignObject>", "<textarea>", "</textarea>", "<title>", "</title>",
          # what the scan follows itself rather than leaving to gumbo
          "<tr><td>", "<td>", "</td>", "</tr>", "<th>", "<caption>", "</caption>", "<tbody>", "<colgroup><col>",
          "<ul><li>", "<li>", "</ul>", "<dl><dt>", "<dd>", "</dl>", "<div>", "</div>", "<span>", "</span>", "<i>",
          "</i>", "<h2>", "</h2>", "<pre>\n", "</pre>", "<form>", "</form>", "<button>", "</button>", "<object>",
          "</object>", "<font color=red>", "</font>", "<a name=n>", "</br>", "<ruby>r<rt>t</rt></ruby>",
          "<svg viewBox='0 0 24 24'><path d='M1 2'/></svg>", "<svg><title>i@c.org</title><circle r=1></circle></svg>",
          "<math><mi>x</mi></math>", "<select><option>o@p.org</option><option>p</select>", "<style>a</style>",
          "<noscript><iframe src=x></iframe></noscript>", "<script><!-- x --></script>", "<head><noscript><img src=x>",
          "</noscript>", "<body class=b>", "</body>", "</html>", "<hr>", "<br/>", "<input>", "<keygen>"]
for n in range(40):
    head = rng.choice(['<!DOCTYPE html><meta charset="utf-8">', '<meta charset="windows-1252">', "",
                       '<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01 Transitional//EN">', "\ufeff<!DOCTYPE html>",
                       "<html><head><title>t</title></head><body>"])
    pages.append((head + "".join(rng.choice(PIECES) for _ in range(rng.randrange(5, 40)))).encode())
for i, page in enumerate(pages):
    for shape in range(4):  # the first byte: the shape, and --text every other page
        with open(os.path.join(out, f"seed-{i:03d}-{shape}"), "wb") as f:
            f.write(bytes([shape | (i % 2) << 2]) + page)
