# What address harvesters take from a page, for the desktop tests' panel and
# quorvel-site's: a. anything shaped like an address in the bytes; b. what
# follows mailto:, up to the quote; c. both after every character reference
# is decoded, as by a harvester with an entity decoder but no HTML parser;
# d. c after percent-decoding too; e. both over the DOM that headless
# Chromium builds, scripts run, as by a harvester that runs JavaScript.
import html, re, subprocess, urllib.parse

ADDRESS = re.compile(r"[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}")
MAILTO = re.compile(r"mailto:([^\"']*)", re.I)
NAMES = {"a": "a. address pattern", "b": "b. mailto: scanner", "ca": "c. a after references", "cb": "c. b after references",
         "da": "d. a after %-decoding too", "db": "d. b after %-decoding too", "ea": "e. a over the DOM", "eb": "e. b over the DOM"}
CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--password-store=basic"]  # no desktop keyring, KDE's included


def found(text):
    return {"a": set(ADDRESS.findall(text)), "b": {m.split("?")[0] for m in MAILTO.findall(text)}}


def harvest(path, profile, url=None, also=()):
    """Harvester -> the addresses it takes from the page at `path` (its DOM as loaded from `url`, if given) and the
    files it loads, `also`."""
    # Bytes as bytes: an ASCII address reads alike in every encoding.
    raw = b"".join(open(p, "rb").read() for p in (path, *also)).decode("latin-1")
    decoded = html.unescape(raw)
    dom = subprocess.run(CHROMIUM + [f"--user-data-dir={profile}", "--dump-dom", url or "file://" + path],
                         capture_output=True, check=True, timeout=120).stdout.decode()
    texts = {"": raw, "c": decoded, "d": urllib.parse.unquote(decoded), "e": dom}
    return {stage + kind: seen for stage, text in texts.items() for kind, seen in found(text).items()}


def table(verdicts):
    """A markdown table from column -> harvester -> the set of its verdicts over the pages."""
    word = lambda v: "found" if v == {True} else "not found" if v == {False} else "found in some"
    lines = ["| harvester | " + " | ".join(verdicts) + " |", "|---|" + "---|" * len(verdicts)]
    return "\n".join(lines + [f"| {NAMES[h]} | " + " | ".join(word(verdicts[c][h]) for c in verdicts) + " |" for h in NAMES]) + "\n"
