#!/usr/bin/env python3
"""The longest function definitions in C++ sources, as clang-format lays them
out here (a definition's opening brace alone on its line, its closing brace
at the definition's indentation): lines from the signature to the closing
brace, longest first.

  scripts/function-lengths.py [--top N] [--over LINES] DIR_OR_FILE ...
"""
import argparse
import os
import re
import sys

SIGNATURE_END = re.compile(r"\)\s*(const)?\s*(override)?\s*(noexcept)?\s*$")


def definitions(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines) - 1:
        brace = lines[i + 1]
        indent = len(brace) - len(brace.lstrip())
        if brace.strip() == "{" and SIGNATURE_END.search(lines[i]) and not lines[i].lstrip().startswith(("if", "for", "while", "switch", "}")):
            # The signature may span lines: back to its first.
            start = i
            while start > 0 and lines[start - 1].strip() and not lines[start - 1].rstrip().endswith((";", "}", "{")) and not lines[start - 1].lstrip().startswith(("//", "#")):
                start -= 1
            end = i + 2
            closing = " " * indent + "}"
            while end < len(lines) and not (lines[end].startswith(closing) and len(lines[end].rstrip()) <= indent + 2):
                end += 1
            name = re.sub(r"\s+", " ", " ".join(l.strip() for l in lines[start:i + 1]))
            name = name.split("(")[0].split()[-1] if "(" in name else name
            yield name, start + 1, end - start + 1
            i = end
        i += 1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--top", type=int, default=15)
    ap.add_argument("--over", type=int, default=0)
    ap.add_argument("paths", nargs="+")
    a = ap.parse_args()
    found = []
    for p in a.paths:
        files = [p] if os.path.isfile(p) else [os.path.join(d, f) for d, _, fs in os.walk(p) for f in fs]
        for f in sorted(files):
            if f.endswith((".cpp", ".h")):
                found += [(n, f, line, length) for n, line, length in definitions(f)]
    found.sort(key=lambda x: -x[3])
    shown = [x for x in found if x[3] > a.over][: a.top] if a.over else found[: a.top]
    for name, f, line, length in shown:
        print(f"{length:5d}  {f}:{line}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
