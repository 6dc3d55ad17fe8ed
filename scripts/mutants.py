#!/usr/bin/env python3
"""Mutation run over the plug-in's own sources.

Plants the usual small faults, one at a time, in plugin/, unidata/, vx40/ and
the inline members of host/: operators, constants, strings, conditions,
deleted statements, any two adjacent statements of a block swapped, the type's
zero assigned to each member the host owns at the end of each device
constructor, and a print in each constructor and destructor of the plug-in's
classes. For each, it rebuilds only vx40.so (in worker copies
of the tree, one per core) and runs the suite against it through VX40_PLUGIN,
stopping at the first failure. A mutant is killed (a test failed or timed
out), survived, or did not build. Survivors that are listed, with a reason,
in scripts/mutants-equivalent.json are counted as equivalent; any other
survivor fails the run.

    scripts/mutants.py --build build [--jobs N] [--only SUBSTRING] [--list]

--build names a configured native build with the tests built (the suite's
executables and their dlopen of VX40_PLUGIN are reused as they are).
"""

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [
    "plugin/entry.cpp",
    "plugin/vx40_provider.h",
    "unidata/unidata_device.h",
    "unidata/unidata_settings.h",
    "vx40/vx40.cpp",
    "vx40/vx40.h",
    "vx40/alarm_table.cpp",
    "host/vdevice.h",
    "host/provider.h",
    "host/spdevice.h",
    "host/ttime.h",
]
# In host/ only the inline function bodies are built into the library.
HOST_PREFIX = "host/"
EQUIVALENT_FILE = ROOT / "scripts" / "mutants-equivalent.json"
TEST_TIMEOUT = 60

# ---------------------------------------------------------------- tokenizer

PUNCT = sorted(
    """>>= <<= ... -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= ::
    { } [ ] ( ) ; : , . ? ~ ! + - * / % & | ^ = < > #""".split(),
    key=len,
    reverse=True,
)
TOKEN_RE = re.compile(
    r"""(?P<ws>\s+)
      |(?P<comment>//[^\n]*|/\*.*?\*/)
      |(?P<string>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
      |(?P<char>'(?:\\.|[^'\\\n])+')
      |(?P<number>0[xX][0-9a-fA-F]+[uUlL]*|\d+\.\d*[fF]?|\d+[uUlL]*)
      |(?P<ident>[A-Za-z_]\w*)
      |(?P<punct>"""
    + "|".join(re.escape(p) for p in PUNCT)
    + ")",
    re.VERBOSE | re.DOTALL,
)
KEYWORDS_NOT_STATEMENT = {
    "return", "const", "constexpr", "static", "using", "auto", "if", "for", "while", "else",
    "break", "case", "default", "typedef", "struct", "class", "namespace", "template",
    "unsigned", "int", "float", "bool", "char", "double", "long", "short", "void", "public",
    "private", "protected", "static_assert", "inline", "virtual", "explicit", "friend", "enum",
}


@dataclass
class Tok:
    kind: str
    text: str
    start: int
    end: int
    line: int
    region: str = ""  # "body" (function body), "table" (data initialiser), "member" (member init)
    brace: str = ""  # for "{": the kind of what it opens ("body" for a function body or a block in one)


def tokenize(src):
    toks, pos, line = [], 0, 1
    at_line_start = True
    while pos < len(src):
        # Preprocessor lines are left alone.
        if at_line_start and src[pos:].lstrip(" \t").startswith("#"):
            nl = src.find("\n", pos)
            nl = len(src) if nl < 0 else nl
            pos = nl
            continue
        m = TOKEN_RE.match(src, pos)
        if not m:
            raise SyntaxError(f"cannot tokenize at line {line}: {src[pos:pos + 20]!r}")
        kind = m.lastgroup
        text = m.group()
        if kind not in ("ws", "comment"):
            toks.append(Tok(kind, text, pos, m.end(), line))
            at_line_start = False
        if "\n" in text:
            at_line_start = True
        line += text.count("\n")
        pos = m.end()
    return toks


def classify(toks, host_file):
    """Marks each token with the region it lies in."""
    stack = []  # kinds of the open braces
    paren = 0
    skip_until_semicolon = False  # inside static_assert(...)
    header_start = 0  # index of the first token of the current declaration
    for i, t in enumerate(toks):
        if t.text == "static_assert":
            skip_until_semicolon = True
        if t.text == "(":
            paren += 1
        elif t.text == ")":
            paren -= 1
        inside = stack[-1] if stack else "namespace"
        if t.text == "{":
            prev = toks[i - 1].text if i else ""
            header = [x.text for x in toks[header_start:i]]
            if inside in ("body", "skip"):
                kind = inside
            elif inside == "table" or (prev == "=" and paren == 0):
                kind = "table"
            elif prev in (")", "const", "override", "noexcept", "final"):
                # constexpr functions feed static checks: a mutant there only
                # fails to build.
                kind = "skip" if "constexpr" in header else "body"
            elif "struct" in header or "class" in header:
                kind = "class"
            elif "namespace" in header:
                kind = "namespace"
            else:
                kind = "other"
            t.brace = kind
            stack.append(kind)
        elif t.text == "}":
            stack.pop()
            if not stack or stack[-1] not in ("body", "table"):
                header_start = i + 1
        elif t.text == ";" and paren == 0:
            if inside not in ("body",):
                header_start = i + 1
            skip_until_semicolon = False
        region = stack[-1] if stack else "namespace"
        if t.text in ("{", "}"):
            region = ""
        if skip_until_semicolon:
            region = ""
        if region == "table" and inside == "table" and t.text == "{":
            region = ""
        if region == "class":
            # A default member initialiser: between "=" and ";" in a class body.
            j = i - 1
            while j >= 0 and toks[j].text not in (";", "{", "}", "="):
                j -= 1
            region = "member" if j >= 0 and toks[j].text == "=" else ""
        if region not in ("body", "table", "member"):
            region = ""
        if host_file and region != "body":
            region = ""
        t.region = region
    return toks


# ---------------------------------------------------------------- mutants


@dataclass
class Mutant:
    file: str
    line: int
    op: str
    original: str  # the original line(s), stripped
    mutated: str  # the same line(s) after the change, stripped
    text: str  # the whole mutated file
    occurrence: int  # 1 for the first line of the file with this text, 2 for the next...

    def key(self):
        return (self.file, self.original, self.mutated, self.occurrence)


def lines_of(src, start, end):
    a = src.rfind("\n", 0, start) + 1
    b = src.find("\n", end)
    return a, (len(src) if b < 0 else b)


def make(path, src, op, edits, line):
    """edits: list of (start, end, replacement), applied right to left."""
    text = src
    lo = min(e[0] for e in edits)
    hi = max(e[1] for e in edits)
    a, b = lines_of(src, lo, hi)
    for s, e, r in sorted(edits, reverse=True):
        text = text[:s] + r + text[e:]
    delta = len(text) - len(src)
    original = " ".join(src[a:b].split())
    mutated = " ".join(text[a:b + delta].split())
    first_line = src[a:src.find("\n", a) if "\n" in src[a:b] else b].strip()
    occurrence = 1 + sum(1 for x in src[:a].splitlines() if x.strip() == first_line)
    return Mutant(path, line, op, original, mutated, text, occurrence)


SWAPS = {
    "==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">",
    "+": "-", "-": "+", "*": "/", "/": "*", "&&": "||", "||": "&&",
    "|": "&", "&": "|", "+=": "-=", "-=": "+=", "++": "--", "--": "++",
}


def spaced(src, t):
    return src[t.start - 1:t.start].isspace() and src[t.end:t.end + 1].isspace()


def number_variants(text):
    m = re.fullmatch(r"(0[xX])?([0-9a-fA-F]+)([uUlL]*)", text)
    if not m or "." in text:
        return []
    prefix, digits, suffix = m.groups()
    value = int(digits, 16 if prefix else 10)
    out = []
    for v in (value + 1, value - 1):
        if v < 0:
            continue
        body = f"{v:0{len(digits)}X}" if prefix else str(v)
        out.append(f"{prefix or ''}{body}{suffix}")
    return out


def shorten_string(lit):
    """The literal with its last character (code point or escape) removed, or
    "X" for an empty one."""
    q = lit.index('"')
    body = lit[q + 1:-1]
    if not body:
        return lit[:q + 1] + "X" + '"'
    esc = re.search(r"(\\x[0-9a-fA-F]+|\\.)$", body)
    if esc:
        body = body[:esc.start()]
    else:
        chars = list(body)
        chars.pop()
        body = "".join(chars)
    return lit[:q + 1] + body + '"'


def statements(toks):
    """Statements inside function bodies: (first, last) token indices, last
    being the ";"; with the index of their enclosing block."""
    out = []
    block = []  # opening-brace indices
    start = None
    paren = 0
    for i, t in enumerate(toks):
        if t.region != "body" and t.text not in ("{", "}"):
            start = None
            continue
        if t.text == "(":
            paren += 1
        elif t.text == ")":
            paren -= 1
        if t.text == "{":
            block.append(i)
            start = None
            continue
        if t.text == "}":
            if block:
                block.pop()
            start = None
            continue
        if paren == 0 and t.text == ";":
            if start is not None and block:
                out.append((start, i, block[-1]))
            start = None
            continue
        if start is None and t.region == "body":
            start = i
    return out


def deletable(toks, first, last):
    """An expression statement: a call, an assignment, an increment, a throw
    or a continue; not a declaration or a return."""
    head = toks[first]
    if head.text in ("continue", "throw"):
        return True
    if head.kind != "ident" and head.text not in ("++", "--"):
        return False
    if head.text in KEYWORDS_NOT_STATEMENT:
        return False
    prev = None
    depth = 0
    for t in toks[first:last]:
        if depth == 0:
            if t.text in ("=", "(", "+=", "-=", "++", "--", "<<"):
                return True
            # Two names in a row (a type and a variable): a declaration.
            if prev is not None and t.kind == "ident" and (prev.kind == "ident" or prev.text == ">"):
                return False
        if t.text in ("(", "["):
            depth += 1
        elif t.text in (")", "]"):
            depth -= 1
        prev = t
    return False


def closing_paren(toks, k):
    """Index of the ")" that closes the "(" at index k."""
    return matching(toks, k, "(", ")")


# Statements of a block, for swapping: what may open a block inside a
# function body (a "{" after anything else is a braced initialiser).
BLOCK_OPENERS = {")", "else", "do", "try", "{", "}", ";", "const", "override", "noexcept", "final",
                 "mutable"}
# The plug-in's own classes, whose constructors and destructors get a print;
# the devices among them, whose constructors get a host member zeroed.
PRODUCT_CLASSES = ("UniDataDevice", "VX40", "VX40Provider")
DEVICE_CLASSES = ("UniDataDevice", "VX40")
HOST_HEADERS = ("host/vdevice.h", "host/spdevice.h")
PRINT = '__builtin_puts("special member");'


def matching(toks, k, open_text, close_text):
    """Index of the token that closes the one opened at index k."""
    depth = 0
    while True:
        depth += toks[k].text == open_text
        depth -= toks[k].text == close_text
        if depth == 0:
            return k
        k += 1


def statement_end(toks, j):
    """Index of the last token of the statement that starts at j."""
    t = toks[j].text
    if t == "{":
        return matching(toks, j, "{", "}")
    if t in ("if", "while", "for", "switch"):
        k = j + 1
        if toks[k].text == "constexpr":
            k += 1
        end = statement_end(toks, closing_paren(toks, k) + 1)
        if t == "if" and end + 1 < len(toks) and toks[end + 1].text == "else":
            end = statement_end(toks, end + 2)
        return end
    if t == "try":
        end = matching(toks, j + 1, "{", "}")
        while end + 1 < len(toks) and toks[end + 1].text == "catch":
            end = matching(toks, closing_paren(toks, end + 2) + 1, "{", "}")
        return end
    depth = 0
    while True:
        x = toks[j].text
        if x in ("(", "[", "{"):
            depth += 1
        elif x in (")", "]", "}"):
            depth -= 1
        elif x == ";" and depth == 0:
            return j
        j += 1


def blocks(toks):
    """Each block inside a function body, as the list of its statements
    (first and last token index)."""
    out = []
    for i, t in enumerate(toks):
        if t.text != "{" or t.brace != "body" or not i or toks[i - 1].text not in BLOCK_OPENERS:
            continue
        stmts, j = [], i + 1
        while toks[j].text != "}":
            end = statement_end(toks, j)
            stmts.append((j, end))
            j = end + 1
        out.append(stmts)
    return out


def host_members():
    """Data members of the host's classes that the library sees (their names
    end in an underscore), from the host's headers."""
    names = []
    decl = re.compile(r"^\s+(?!virtual\b|using\b|return\b)[\w:<>, ]+?[\s*]+(\w+_)\s*(?:=[^;]*)?;", re.M)
    for header in HOST_HEADERS:
        names += decl.findall((ROOT / header).read_text(encoding="utf-8"))
    return names


def special_members(toks):
    """Constructors and destructors of the plug-in's classes defined in this
    file: (is constructor, class, the token where the body or "= default" is)."""
    out = []
    for i, t in enumerate(toks):
        if t.kind != "ident" or t.text not in PRODUCT_CLASSES or i + 1 >= len(toks) or toks[i + 1].text != "(":
            continue
        prev = toks[i - 1] if i else None
        destructor = prev is not None and prev.text == "~"
        qualified = prev is not None and (prev.text == "::" or (destructor and toks[i - 2].text == "::"))
        if qualified:
            owner = toks[i - 3 if destructor else i - 2].text
            if owner != t.text:
                continue
        elif prev is not None and prev.text not in (";", "{", "}", ":", "~") and prev.kind != "ident":
            continue
        elif prev is not None and prev.kind == "ident" and prev.text not in ("VX40_LOCAL", "explicit"):
            continue
        k = closing_paren(toks, i + 1)
        # copy and move members are deleted; only the ones that take no
        # argument are special members of interest here.
        if k != i + 2:
            continue
        j = k + 1
        while toks[j].text in ("override", "noexcept", "final"):
            j += 1
        if toks[j].text == ":":  # an initialiser list: its braces or parentheses
            while toks[j].text != "{" or toks[j - 1].text not in (")", "}"):
                j += 1
        if toks[j].text == "{" or (toks[j].text == "=" and toks[j + 1].text == "default"):
            out.append((not destructor, t.text, j))
    return out


def mutants_of(path):
    src = (ROOT / path).read_text(encoding="utf-8")
    toks = classify(tokenize(src), path.startswith(HOST_PREFIX))
    out = []
    for i, t in enumerate(toks):
        if not t.region:
            continue
        nxt = toks[i + 1] if i + 1 < len(toks) else None
        prv = toks[i - 1] if i else None
        if t.kind == "punct":
            if t.text in SWAPS and spaced(src, t):
                out.append(make(path, src, "operator", [(t.start, t.end, SWAPS[t.text])], t.line))
            elif t.text in ("++", "--") and not spaced(src, t):
                out.append(make(path, src, "operator", [(t.start, t.end, SWAPS[t.text])], t.line))
            elif t.text in ("<<", ">>") and spaced(src, t) and nxt is not None and nxt.kind == "number":
                swapped = ">>" if t.text == "<<" else "<<"
                out.append(make(path, src, "operator", [(t.start, t.end, swapped)], t.line))
            elif t.text == "!" and nxt is not None and not spaced(src, t) and src[t.end] != "=":
                out.append(make(path, src, "negation removed", [(t.start, t.end, "")], t.line))
        elif t.kind == "number":
            # Array sizes of table rows are layout, not values.
            if prv is not None and prv.text == "[" and nxt is not None and nxt.text == "]" \
                    and i + 2 < len(toks) and toks[i + 2].text == ";":
                continue
            for v in number_variants(t.text):
                out.append(make(path, src, "constant", [(t.start, t.end, v)], t.line))
        elif t.kind == "ident" and t.text in ("true", "false"):
            other = "false" if t.text == "true" else "true"
            out.append(make(path, src, "constant", [(t.start, t.end, other)], t.line))
        elif t.kind == "string":
            out.append(make(path, src, "string", [(t.start, t.end, shorten_string(t.text))], t.line))
        elif t.kind == "ident" and t.text == "endl" and prv is not None and prv.text == "::":
            std = toks[i - 2]
            out.append(make(path, src, "endl", [(std.start, t.end, "'\\n'")], t.line))
        elif t.kind == "ident" and t.text == "make_shared" and prv is not None and prv.text == "::":
            # std::make_shared<T>(args) -> std::shared_ptr<T>(new T(args))
            j = i + 2
            while toks[j].text != ">":
                j += 1
            type_text = src[toks[i + 2].start:toks[j - 1].end]
            k = closing_paren(toks, j + 1)
            args = src[toks[j + 1].end:toks[k].start]
            repl = f"shared_ptr<{type_text}>(new {type_text}({args}))"
            out.append(make(path, src, "make_shared to new", [(t.start, toks[k].end, repl)], t.line))
        elif t.kind == "ident" and t.text in ("if", "while") and nxt is not None and nxt.text == "(":
            k = closing_paren(toks, i + 1)
            inner = src[nxt.end:toks[k].start]
            out.append(make(path, src, "condition negated", [(nxt.end, toks[k].start, f"!({inner})")], t.line))

    stmts = [s for s in statements(toks) if deletable(toks, s[0], s[1])]
    for first, last, _ in stmts:
        a, b = toks[first].start, toks[last].end
        out.append(make(path, src, "statement deleted", [(a, b, "")], toks[first].line))
    for block in blocks(toks):
        for (f1, l1), (f2, l2) in zip(block, block[1:]):
            s1 = src[toks[f1].start:toks[l1].end]
            s2 = src[toks[f2].start:toks[l2].end]
            if s1 != s2:
                out.append(make(path, src, "statements swapped",
                                [(toks[f1].start, toks[l1].end, s2), (toks[f2].start, toks[l2].end, s1)],
                                toks[f1].line))
    if path.startswith(HOST_PREFIX):
        return out
    for constructor, cls, j in special_members(toks):
        t = toks[j]
        if t.text == "{":
            out.append(make(path, src, "print in special member", [(t.end, t.end, " " + PRINT)], t.line))
        else:
            semicolon = toks[j + 2]
            out.append(make(path, src, "print in special member",
                            [(t.start, semicolon.end, "{ " + PRINT + " }")], t.line))
        if constructor and cls in DEVICE_CLASSES and t.text == "{":
            # After the constructor's last statement (its own assignments).
            close = matching(toks, j, "{", "}")
            last = toks[close - 1]
            for member in host_members():
                out.append(make(path, src, "host member zeroed",
                                [(last.end, last.end, f" this->{member} = {{}};")], last.line))
    return out


# ---------------------------------------------------------------- running


def run(cmd, env, cwd=None, timeout=None):
    return subprocess.run(cmd, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout).returncode


def source_files():
    """The tree's files, less what .gitignore leaves out (build folders, caches) and .git:
    read from the folder itself, so a copy of the tree without git runs too."""
    for top in sorted(ROOT.iterdir()):
        if top.name in (".git", ".cache") or top.name.startswith("build"):
            continue
        for path in sorted([top, *top.rglob("*")] if top.is_dir() else [top]):
            if path.is_file():
                yield path.relative_to(ROOT)


class Worker:
    """A copy of the tree with a build of the library only."""

    def __init__(self, index, base):
        self.dir = base / f"w{index}"
        self.src = self.dir / "src"
        self.lib_build = self.dir / "build"
        self.tmp = self.dir / "tmp"
        self.tmp.mkdir(parents=True, exist_ok=True)
        for f in source_files():
            dst = self.src / f
            dst.parent.mkdir(parents=True, exist_ok=True)
            if not dst.exists() or dst.read_bytes() != (ROOT / f).read_bytes():
                shutil.copyfile(ROOT / f, dst)
        self.current = None  # the file that holds a mutant now

    def configure(self):
        # Built afresh: a run stopped part-way may have left a mutant built.
        shutil.rmtree(self.lib_build, ignore_errors=True)
        # Unoptimised and with precompiled third-party headers: a mutant is
        # about what the tests see, and this builds in a third of the time.
        subprocess.run(["cmake", "-S", str(self.src), "-B", str(self.lib_build), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O0", "-DVX40_TESTS=OFF",
                        "-DVX40_BENCH=OFF", "-DVX40_PCH=ON"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-j1", "-C", str(self.lib_build), "vx40"], check=True, stdout=subprocess.DEVNULL)

    # Files are copied with a fresh time (copyfile, not copy2): a file put
    # back with its old time would look older than the object built from the
    # mutant, and the build would keep that mutant in the library.
    def restore(self):
        if self.current is not None:
            shutil.copyfile(ROOT / self.current, self.src / self.current)
            self.current = None

    def try_mutant(self, m, suite):
        if self.current != m.file:
            self.restore()
        (self.src / m.file).write_text(m.text, encoding="utf-8")
        self.current = m.file
        env = dict(os.environ)
        if run(["ninja", "-j1", "-C", str(self.lib_build), "vx40"], env) != 0:
            return "did not build"
        env["VX40_PLUGIN"] = str(self.lib_build / "vx40.so")
        # The suites' files in a folder of this worker's: two workers running
        # the same test at once would otherwise write the same files, and a
        # mutant would be "killed" by the other worker.
        env["TEST_TMPDIR"] = str(self.tmp)
        for cmd in suite:
            try:
                if run(cmd, env, timeout=TEST_TIMEOUT) != 0:
                    return "killed"
            except subprocess.TimeoutExpired:
                return "killed"
        return "survived"


def suite_commands(build):
    t = build / "tests"
    cmds = [[str(t / "vx40_tests"), "--gtest_fail_fast", "--gtest_brief=1"],
            [str(t / "vx40_heap_tests"), "--gtest_fail_fast", "--gtest_brief=1"]]
    if (t / "vx40_bench_tests").exists():
        cmds.append([str(t / "vx40_bench_tests"), "--gtest_fail_fast", "--gtest_brief=1"])
    return cmds


def contract_commands(worker):
    lib = str(worker.lib_build / "vx40.so")
    checks = ROOT / "tests"
    return [["cmake", f"-DLIB={lib}", "-P", str(checks / name)]
            for name in ("check_needed.cmake", "check_data.cmake")]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build", help="native build with the tests")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--only", default="", help="only mutants whose file or line contains this")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--report", help="write the table of every mutant here")
    args = ap.parse_args()

    build = Path(args.build).resolve()
    mutants = [m for f in SOURCES for m in mutants_of(f)]
    if args.only:
        mutants = [m for m in mutants if args.only in m.file or args.only in m.original]
    try:
        # An entry names the file, the line as written (stripped), the line
        # after the change, and which of the file's lines with that text it is
        # ("occurrence", 1 when left out).
        equivalent = {(e["file"], e["line"], e["mutant"], e.get("occurrence", 1)): e["reason"]
                      for e in json.loads(EQUIVALENT_FILE.read_text(encoding="utf-8"))}
    except (OSError, ValueError, KeyError) as e:
        sys.exit(f"mutants: {EQUIVALENT_FILE}: {e}")
    if args.list:
        for m in mutants:
            print(f"{m.file}:{m.line}: {m.op}: {m.original}  =>  {m.mutated}")
        print(f"{len(mutants)} mutants")
        return 0
    suite = suite_commands(build)
    for cmd in suite:
        if not Path(cmd[0]).exists():
            sys.exit(f"mutants: {cmd[0]} is missing: build the tests in {build} first")

    start = time.monotonic()
    base = build / "mutants"
    jobs = max(1, min(args.jobs, len(mutants)))
    workers = [Worker(i, base) for i in range(jobs)]
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(Worker.configure, workers))
    # The unmutated library must pass, or every verdict would be wrong.
    for w in workers[:1]:
        env = dict(os.environ, VX40_PLUGIN=str(w.lib_build / "vx40.so"), TEST_TMPDIR=str(w.tmp))
        for cmd in suite + contract_commands(w):
            if run(cmd, env, timeout=TEST_TIMEOUT) != 0:
                sys.exit(f"mutants: the suite fails without any mutant: {' '.join(cmd)}")

    # Each worker takes one file's mutants at a time, so a file is rebuilt
    # back to its original only once.
    by_file = {}
    for m in mutants:
        by_file.setdefault(m.file, []).append(m)
    chunks = []
    for f, ms in by_file.items():
        half = (len(ms) + jobs - 1) // jobs
        chunks += [ms[k:k + half] for k in range(0, len(ms), half)]
    results = {}

    def work(w, queue):
        while True:
            try:
                chunk = queue.pop()
            except IndexError:
                break
            for m in chunk:
                results[id(m)] = w.try_mutant(m, suite + contract_commands(w))
                done = len(results)
                if done % 50 == 0:
                    print(f"mutants: {done} of {len(mutants)} tried, {time.monotonic() - start:.0f} s",
                          flush=True)
        w.restore()

    queue = sorted(chunks, key=len)
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(lambda w: work(w, queue), workers))
    elapsed = time.monotonic() - start

    counts = {"killed": 0, "equivalent": 0, "did not build": 0, "survived": 0}
    rows = []
    for m in mutants:
        verdict = results[id(m)]
        reason = ""
        if verdict == "survived" and m.key() in equivalent:
            verdict, reason = "equivalent", equivalent[m.key()]
        counts[verdict] += 1
        rows.append((m, verdict, reason))
    listed = {k for k in equivalent}
    stale = listed - {m.key() for m in mutants}

    report = []
    report.append("| file:line | operator | mutant | verdict |")
    report.append("|---|---|---|---|")
    for m, verdict, reason in rows:
        note = f"{verdict}: {reason}" if reason else verdict
        report.append(f"| {m.file}:{m.line} | {m.op} | `{m.mutated}` | {note} |")
    if args.report:
        Path(args.report).write_text("\n".join(report) + "\n", encoding="utf-8")

    for m, verdict, _ in rows:
        if verdict == "survived":
            print(f"SURVIVED {m.file}:{m.line}: {m.op}: {m.original}  =>  {m.mutated}")
    unused = {k for k in listed if any(m.key() == k and v != "equivalent" for m, v, _ in rows)}
    for k in sorted(stale | unused):
        print(f"note: listed as equivalent but not a surviving mutant: {k[0]}: {k[1]} => {k[2]}")
    shapes = {}
    for m, verdict, _ in rows:
        shapes.setdefault(m.op, {}).setdefault(verdict, 0)
        shapes[m.op][verdict] += 1
    by_shape = []
    for op, verdicts in shapes.items():
        parts = ", ".join(f"{n} {v}" for v, n in verdicts.items())
        by_shape.append(f"{op} {sum(verdicts.values())} ({parts})")
    print("mutants by shape: " + "; ".join(by_shape))
    planted = len(mutants)
    scored = planted - counts["did not build"] - counts["equivalent"]
    score = 100.0 * counts["killed"] / scored if scored else 100.0
    print(f"mutants: {planted} planted, {counts['killed']} killed, {counts['equivalent']} equivalent, "
          f"{counts['did not build']} did not build, {counts['survived']} survived; "
          f"score {score:.1f}% in {elapsed:.0f} s on {jobs} workers")
    return 1 if counts["survived"] else 0


if __name__ == "__main__":
    sys.exit(main())
