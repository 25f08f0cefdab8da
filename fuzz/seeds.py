#!/usr/bin/env python3
"""The fuzz target's seeds: every page of tests/site/site_rows.json and a few
generated pages of what real builds hold, each in every shape.

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
          "<img src='i@2x.png'>", "\r\n", "<foreignObject>", "<textarea>", "</textarea>", "<title>", "</title>"]
for n in range(12):
    head = rng.choice(['<!DOCTYPE html><meta charset="utf-8">', '<meta charset="windows-1252">', ""])
    pages.append((head + "".join(rng.choice(PIECES) for _ in range(rng.randrange(5, 40)))).encode())
for i, page in enumerate(pages):
    for shape in range(4):  # the first byte: the shape, and --text every other page
        with open(os.path.join(out, f"seed-{i:03d}-{shape}"), "wb") as f:
            f.write(bytes([shape | (i % 2) << 2]) + page)
