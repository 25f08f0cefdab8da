#!/usr/bin/env python3
"""The floor of a rewriter in Python: BeautifulSoup with html5lib only parses
and serialises each page given, two pages at a time."""
import multiprocessing
import sys

from bs4 import BeautifulSoup


def one(path):
    with open(path, encoding="utf-8") as f:
        return len(str(BeautifulSoup(f.read(), "html5lib")))


if __name__ == "__main__":
    with multiprocessing.Pool(2) as pool:
        pool.map(one, sys.argv[1:], chunksize=4)
