#!/usr/bin/env python3
# What address harvesters find in the preview page of each shape, as the
# window writes it in UTF-8 and in CP932, from the harvest rows of
# tests/compose_rows.json. Writes the measured table to OUTDIR/panel.md and
# fails when a shape stops more, or less, than it is said to.
#   harvest_panel.py HARVEST_PAGES ROWS_JSON OUTDIR
import html, json, os, re, shutil, subprocess, sys, tempfile, urllib.parse

ADDRESS = re.compile(r"[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}")
MAILTO = re.compile(r"mailto:([^\"']*)", re.I)
LOCALES = ("ja_JP.UTF-8", "ja_JP.SJIS")


def found(source):
    """What the two simplest harvesters take from a text: any address (a),
    and the address of each mailto: up to its query or the quote (b)."""
    return {"a": set(ADDRESS.findall(source)), "b": {m.split("?")[0] for m in MAILTO.findall(source)}}


def harvest(page, chromium, profile):
    """Harvester -> addresses, for the bytes of one page."""
    raw = page.decode("latin-1")  # bytes as bytes: the address is ASCII in every encoding
    decoded = html.unescape(raw)  # an entity decoder, but no parser
    dom = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          f"--user-data-dir={profile}", "--dump-dom", "file://" + page.path],
                         capture_output=True, check=True, timeout=120).stdout.decode()
    stages = {"": raw, "c": decoded, "d": urllib.parse.unquote(decoded), "e": dom}
    return {stage + kind: seen for stage, text in stages.items() for kind, seen in found(text).items()}


class Page(bytes):
    path = ""


def main(writer, rows_json, out):
    if not (chromium := shutil.which("chromium")):
        sys.exit("chromium is missing: install the Debian package chromium")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    subprocess.run([writer, rows_json, out, *LOCALES], check=True)
    rows = [(i, r) for i, r in enumerate(json.load(open(rows_json, encoding="utf-8"))) if r["name"].startswith("harvest")]
    table = {}  # shape -> harvester -> the set of verdicts over every row and encoding
    with tempfile.TemporaryDirectory() as profile:
        for i, row in rows:
            for locale in LOCALES:
                page = Page(open(path := os.path.join(out, f"{i}.{locale}.html"), "rb").read())
                page.path = path
                address = row["address"].split("?")[0]
                for harvester, seen in harvest(page, chromium, profile).items():
                    table.setdefault(row["shape"], {}).setdefault(harvester, set()).add(address in seen)
    names = {"a": "a. address pattern", "b": "b. mailto: scanner", "ca": "c. a after references", "cb": "c. b after references",
             "da": "d. a after %-decoding too", "db": "d. b after %-decoding too", "ea": "e. a over the DOM", "eb": "e. b over the DOM"}
    verdict = lambda v: "found" if v == {True} else "not found" if v == {False} else "found in some"
    lines = ["| harvester | " + " | ".join(table) + " |", "|---|" + "---|" * len(table)]
    lines += [f"| {names[h]} | " + " | ".join(verdict(table[s][h]) for s in table) + " |" for h in names]
    open(os.path.join(out, "panel.md"), "w").write("\n".join(lines) + "\n")
    print("\n".join(lines))
    cell = lambda shape, h: verdict(table[shape][h])
    claims = {"encoded defeats a and b": cell("encoded", "a") == cell("encoded", "b") == "not found",
              "script defeats b only": cell("script", "a") == "found" and cell("script", "b") == "not found",
              "plain defeats nothing": all(cell("plain", h) == "found" for h in names),
              "a browser finds the address in every shape": all(cell(s, h) == "found" for s in table for h in ("ea", "eb"))}
    failed = [claim for claim, held in claims.items() if not held]
    print(f"{len(claims) - len(failed)} passed, {len(failed)} failed" + "".join(f"\nFAIL {c}" for c in failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
