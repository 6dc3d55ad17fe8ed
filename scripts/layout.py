#!/usr/bin/env python3
"""The folders' dependencies, from the project's own #include lines: which
folder's files include which other folder's headers. With --check, exits 1
when an arrow goes against the layered order below (a lower layer never
includes a higher one; the stand-in host is for host programs only).

  scripts/layout.py [--check] [--dot]
"""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# What each folder may include, besides itself.
ALLOWED = {
    "host": set(),
    "unidata": {"host"},
    "vx40": {"host", "unidata"},
    "plugin": {"host", "unidata", "vx40"},
    "protocol": set(),
    "vocabulary": set(),
    "standin": {"host"},
    "io": {"protocol"},
    "emulator": {"io", "protocol", "vocabulary"},
    "bench": {"emulator", "io", "protocol", "vocabulary", "standin", "host"},
    "ups": {"emulator", "io", "protocol", "vocabulary"},
    "preflight": set(),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def headers():
    """Each project header's base name -> its folder."""
    owner = {}
    for folder in ALLOWED:
        for name in os.listdir(os.path.join(ROOT, folder)) if os.path.isdir(os.path.join(ROOT, folder)) else []:
            if name.endswith(".h"):
                owner.setdefault(name, folder)
    return owner


def arrows():
    owner = headers()
    found = {}
    for folder in ALLOWED:
        if not os.path.isdir(os.path.join(ROOT, folder)):
            continue
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".h", ".cpp")):
                continue
            text = open(os.path.join(ROOT, folder, name), encoding="utf-8").read()
            for inc in INCLUDE.findall(text):
                to = owner.get(os.path.basename(inc))
                if to is not None and to != folder:
                    found.setdefault((folder, to), []).append(f"{folder}/{name}")
    return found


def main():
    found = arrows()
    wrong = []
    for (a, b), files in sorted(found.items()):
        bad = b not in ALLOWED[a]
        if bad:
            wrong.append((a, b, files))
        print(f"{a:>10} -> {b:<10} {len(files):3d} file(s){'   NOT ALLOWED' if bad else ''}")
    for a, b, files in wrong:
        print(f"layout: {a}/ includes {b}/ in {', '.join(sorted(set(files)))}", file=sys.stderr)
    return 1 if wrong and "--check" in sys.argv else 0


if __name__ == "__main__":
    sys.exit(main())
