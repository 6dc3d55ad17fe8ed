#!/usr/bin/env python3
"""The bench's report page in a real browser (headless Chromium).

  tests/report_browser_test.py BUILD_DIR [SCREENSHOT.png]

Makes the demo's page with vx40-bench (and again from its --json file with
vx40-report), loads each in Chromium, reads back what the page drew (the
body's data-drawn attribute) and compares it with the JSON the bench wrote;
then a long generated run (100,000 rounds, drawn in columns) for its size,
its time to draw and the same checks on the columns. A page that logs a
script error fails. Exit 0 passed, 1 failed, 77 Chromium cannot start.
"""
import html
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

LONG_ROUNDS = 100000
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def f32(v):
    return struct.unpack("f", struct.pack("f", v))[0]


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def browser_args(exe):
    return [exe, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
            "--no-first-run", "--disable-dev-shm-usage"]


def load(exe, page):
    """The page's body attributes after its scripts ran, and the wall time."""
    start = time.monotonic()
    out = subprocess.run(browser_args(exe) + ["--dump-dom", "file://" + page],
                         capture_output=True, text=True, timeout=300)
    seconds = time.monotonic() - start
    m = re.search(r"<body([^>]*)>", out.stdout)
    if not m:
        raise RuntimeError("no page from chromium: " + out.stderr[-2000:])
    attrs = {k: html.unescape(v) for k, v in re.findall(r'data-([a-z-]+)="([^"]*)"', m.group(1))}
    return attrs, seconds


def expected(rounds, names):
    """What the page should draw for rounds taken one by one (one per column)."""
    groups = []
    for g in range(3):
        series = []
        for k in range(3 * g, 3 * g + 3):
            pts = [[r["round"], f32(r["values"][names[k]])] for r in rounds
                   if not isinstance(r["values"][names[k]], dict)]
            series.append({"name": names[k], "points": pts})
        gaps = []
        for r in rounds:
            code = 0
            for k in range(3 * g, 3 * g + 3):
                v = r["values"][names[k]]
                if isinstance(v, dict):
                    code |= {"not_ready": 1, "stale": 2}.get(v["error"], 4)
            if code:
                gaps.append([r["round"], code])
        groups.append({"series": series, "gaps": gaps})
    spans, state, start = [], [False] * 18, [None] * 18
    for r in rounds:
        if r["alarms"]:
            state = [a["active"] for a in r["alarms"]]
        for row in range(18):
            if state[row] and start[row] is None:
                start[row] = r["round"]
            if not state[row] and start[row] is not None:
                spans.append([row, start[row], prev])
                start[row] = None
        prev = r["round"]
    for row in range(18):
        if start[row] is not None:
            spans.append([row, start[row], prev])
    status = [[r["round"], 0 if r["completed"] else 3 if r["rejected"] else 2 if r["missing"] else 1]
              for r in rounds]
    complaints = [r["round"] for r in rounds if any(l.startswith("error in") for l in r["log"])]
    return groups, sorted(spans), status, complaints


def compare(drawn, rounds, names, label):
    groups, spans, status, complaints = expected(rounds, names)
    check(len(drawn["charts"]) == 3, label + ": three charts")
    for g, chart in enumerate(drawn["charts"]):
        for s, (got, want) in enumerate(zip(chart["series"], groups[g]["series"])):
            got_pts = [[p[0], f32(p[1])] for p in got["points"]]
            check(got["name"] == want["name"], f"{label}: chart {g} series {s} name")
            check(got_pts == want["points"],
                  f"{label}: chart {g} {want['name']}: drawn {got_pts[:8]} wanted {want['points'][:8]}")
        check(chart["gaps"] == groups[g]["gaps"],
              f"{label}: chart {g} gaps {chart['gaps']} wanted {groups[g]['gaps']}")
    check(sorted(drawn["alarms"]) == spans, f"{label}: alarm spans {drawn['alarms']} wanted {spans}")
    check(drawn["rounds"] == status, f"{label}: round lane {drawn['rounds']} wanted {status}")
    check(drawn["complaints"] == complaints,
          f"{label}: complaints {drawn['complaints']} wanted {complaints}")


def main():
    build = os.path.abspath(sys.argv[1])
    shot = sys.argv[2] if len(sys.argv) > 2 else None
    exe = chromium()
    if exe is None:
        print("browser: skipped: no chromium on the PATH")
        return 77
    work = tempfile.mkdtemp(prefix="vx40-report-")
    probe = os.path.join(work, "probe.html")
    with open(probe, "w") as f:
        f.write('<!doctype html><body><script>document.body.dataset.ready="1"</script></body>')
    try:
        attrs, _ = load(exe, probe)
        if attrs.get("ready") != "1":
            raise RuntimeError("the probe page's script did not run")
    except Exception as e:  # noqa: BLE001 - any failure to start is reported as a skip
        print("browser: skipped: chromium cannot start:", str(e).strip().splitlines()[-1:])
        return 77

    bench, tool = os.path.join(build, "vx40-bench"), os.path.join(build, "vx40-report")
    names = ["ACInputLineOrPhaseAB_A", "ACInputLineOrPhaseBC_B", "ACInputLineOrPhaseCA_C",
             "ACOutputLineOrPhaseAB_A", "ACOutputLineOrPhaseBC_B", "ACOutputLineOrPhaseCA_C",
             "ACOutputCurrentA", "ACOutputCurrentB", "ACOutputCurrentC"]

    # The demo: from the bench, and from its JSON through vx40-report.
    demo_json, demo_page, tool_page = (os.path.join(work, n) for n in
                                       ("demo.jsonl", "demo.html", "tool.html"))
    subprocess.run([bench, "--quiet", "--json", demo_json, "--report", demo_page], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([tool, demo_json, tool_page], check=True, stdout=subprocess.DEVNULL)
    rounds = [json.loads(l) for l in open(demo_json) if l.strip()]
    for label, page in (("demo", demo_page), ("demo via vx40-report", tool_page)):
        attrs, seconds = load(exe, page)
        check("errors" not in attrs, f"{label}: script errors {attrs.get('errors')}")
        check(attrs.get("ready") == "1", f"{label}: the page did not finish drawing")
        drawn = json.loads(attrs.get("drawn", "{}"))
        compare(drawn, rounds, names, label)
        print(f"{label}: {os.path.getsize(page)} bytes, drawn in {attrs.get('draw-ms')} ms, "
              f"loaded in {seconds:.2f} s")
    # What the demo is for: the inverter fault raised in round 2 and cleared in
    # round 5, the short reply of round 3, the dropped reply of round 4, the
    # stale values of round 5.
    drawn = json.loads(load(exe, demo_page)[0]["drawn"])
    check([5, 2, 4] in drawn["alarms"], "demo: inverter fault drawn from round 2 to 4")
    check(drawn["complaints"] == [3], "demo: the short reply of round 3 marked")
    check([4, 2] in drawn["rounds"], "demo: the dropped reply of round 4 marked")
    check(all([5, 2] in c["gaps"] for c in drawn["charts"]), "demo: round 5 stale in every chart")
    if shot:
        subprocess.run(browser_args(exe) + ["--window-size=1160,1280", "--screenshot=" + shot,
                                            "file://" + demo_page],
                       check=True, capture_output=True, timeout=120)
        print("screenshot:", shot)

    # A long run: columns of rounds, each drawn from its least and greatest.
    long_page = os.path.join(work, "long.html")
    start = time.monotonic()
    subprocess.run([bench, "--quiet", "--rounds", str(LONG_ROUNDS), "--report", long_page],
                   check=True, stdout=subprocess.DEVNULL)
    made = time.monotonic() - start
    attrs, seconds = load(exe, long_page)
    size = os.path.getsize(long_page)
    check("errors" not in attrs, f"long run: script errors {attrs.get('errors')}")
    drawn = json.loads(attrs.get("drawn", "{}"))
    columns = drawn.get("rounds", [])
    check(len(columns) == 2000, f"long run: {len(columns)} columns, wanted 2000")
    check(columns[0][0] == 1 and columns[-1][0] == LONG_ROUNDS - 49,
          f"long run: columns from round {columns[0][0]} to {columns[-1][0]}")
    check(size < 3_000_000, f"long run: page of {size} bytes")
    print(f"long run: {LONG_ROUNDS} rounds, page of {size} bytes made in {made:.1f} s, "
          f"drawn in {attrs.get('draw-ms')} ms, loaded in {seconds:.2f} s")
    shutil.rmtree(work)
    print("browser:", "FAILED" if failures else "passed", f"({len(failures)} failures)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
