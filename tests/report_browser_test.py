#!/usr/bin/env python3
"""The bench's report page in a real browser (headless Chromium).

  tests/report_browser_test.py BUILD_DIR [SCREENSHOT.png]

First the page's data, without a browser: the events of a run with flapping
alarms, a dropped reply, a refused frame, a short reply and stale values
equal the transitions in the bench's JSON rounds; a page of a span (--from,
--to, with vx40-report and with the bench) holds exactly the rounds of that
span. Then in Chromium: the demo's page (from the bench, and from its --json
file with vx40-report) draws what the JSON holds (the body's data-drawn
attribute), a round has the same x in every chart and lane, a run over days
has dates on its axis, the events table lists every event, and a long run
(100,000 rounds, drawn in columns) is small and quick to draw. A page that
logs a script error fails. Exit 0 passed, 1 failed, 77 Chromium cannot start
(after the checks that need none).
"""
import calendar
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
MAX_COLUMNS = 2000
failures = []

# Alarms that come and go, a dropped reply, a refused frame, a short status
# reply (the status bytes, and so the alarms, stay as they were) and values
# gone stale for two rounds.
EVENTS_SCENARIO = {
    "rounds": [
        {},
        {"status": {"3": 240}},
        {"status": {"3": 0}},
        {"status": {"3": 240, "10": 240}},
        {"drop": ["46"]},
        {"wire": {"43": {"chksum": True}}},
        {"status": {"3": 0}, "short": {"44": 20}},
        {"advance": 61},
        {"advance": 61},
        {},
        {"status": {"3": 0, "10": 0}},
        {"status": {"10": 240}},
    ]
}
KINDS = ["alarm", "values refused", "frame refused", "reply missing", "short reply"]
REASONS = {"not_ready": 0, "stale": 1, "unsupported": 2}


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


def aligned(drawn, label):
    """Every chart and lane has one time axis: the same plot area on the page,
    and the same x for the same column, within a pixel."""
    xs, plots = drawn.get("x", {}), drawn.get("plot", {})
    check(len(xs) == 5 and len(plots) == 5, f"{label}: five canvases on the time axis: {sorted(xs)}")
    first = next(iter(xs.values()), [])
    for name, x in xs.items():
        check(len(x) == len(first) and all(abs(a - b) <= 1 for a, b in zip(x, first)),
              f"{label}: {name} puts columns at {x}, the first chart at {first}")
    for name, plot in plots.items():
        check(plot == next(iter(plots.values())), f"{label}: {name} plots over {plot}")


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


def page_data(page):
    """The data the page carries (its #data element)."""
    text = open(page, encoding="utf-8").read()
    m = re.search(r'<script type="application/json" id="data">(.*?)</script>', text, re.S)
    return json.loads(m.group(1).replace("<\\/", "</"))


def seconds(clock):
    """A clock reading as the page counts it: seconds of that civil time."""
    return calendar.timegm(time.strptime(clock, "%Y-%m-%d %H:%M:%S"))


def expected_events(rounds):
    """(kind, round, end round or None) of every event, in the page's order:
    by round, and in a round alarms, refused values, then the round's own."""
    events, alarm_on, reason_on, active = [], {}, {}, None
    for r in rounds:
        n = r["round"]
        if r["alarms"]:
            now = [a["active"] for a in r["alarms"]]
            for row, on in enumerate(now):
                was = active[row] if active else False
                if on and not was:
                    alarm_on[row] = len(events)
                    events.append([0, n, None])
                elif was and not on:
                    events[alarm_on.pop(row)][2] = n
            active = now
        reasons = {REASONS[v["error"]] for v in r["values"].values() if isinstance(v, dict)}
        for b in range(3):
            if b in reasons and b not in reason_on:
                reason_on[b] = len(events)
                events.append([1, n, None])
            elif b not in reasons and b in reason_on:
                events[reason_on.pop(b)][2] = n
        if r["rejected"]:
            events.append([2, n, n])
        if r["missing"]:
            events.append([3, n, n])
        if any(l.startswith("error in") for l in r["log"]):
            events.append([4, n, n])
    return events


def check_page_data(bench, tool, work):
    """Events and spans, read from the pages' data."""
    scenario, rounds_file, page = (os.path.join(work, n) for n in
                                   ("events.json", "events.jsonl", "events.html"))
    with open(scenario, "w") as f:
        json.dump(EVENTS_SCENARIO, f)
    subprocess.run([bench, "--quiet", "--scenario", scenario, "--json", rounds_file,
                    "--report", page], check=True, stdout=subprocess.DEVNULL)
    rounds = [json.loads(l) for l in open(rounds_file) if l.strip()]
    d = page_data(page)
    want = expected_events(rounds)
    got = [[e[0], e[1], e[2]] for e in d["events"]]
    check(got == want, f"events: {got} wanted {want}")
    counts = [sum(1 for e in want if e[0] == k) for k in range(5)]
    check(d["counts"] == counts, f"events: counts {d['counts']} wanted {counts}")
    check(all(k in [e[0] for e in want] for k in range(5)), "events: the scenario shows every kind")
    still = [e for e in want if e[2] is None]
    check(len(still) == 1 and still[0][0] == 0, f"events: one alarm still active at the end: {still}")
    clock = {r["round"]: seconds(r["clock"]) for r in rounds}
    for e in d["events"]:
        check(e[3] == clock[e[1]] - d["t0"] and (e[4] is None or e[4] == clock[e[2]] - d["t0"]),
              f"events: times of {e}")

    # Spans: a run over three days, one page of a span of it.
    long_json, whole_page, tool_page, bench_page = (os.path.join(work, n) for n in (
        "days.jsonl", "days.html", "span-tool.html", "span-bench.html"))
    subprocess.run([bench, "--quiet", "--rounds", "72", "--interval", "3600", "--json", long_json,
                    "--report", whole_page], check=True, stdout=subprocess.DEVNULL)
    rounds = [json.loads(l) for l in open(long_json) if l.strip()]
    start, end = rounds[20]["clock"], rounds[33]["clock"]
    in_span = [r["round"] for r in rounds if start <= r["clock"] <= end]
    subprocess.run([tool, "--from", start, "--to", end, long_json, tool_page], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([bench, "--quiet", "--rounds", "72", "--interval", "3600", "--report", bench_page,
                    "--from", start, "--to", end], check=True, stdout=subprocess.DEVNULL)
    for label, span_page in (("vx40-report", tool_page), ("vx40-bench", bench_page)):
        d = page_data(span_page)
        check(d["first"] == in_span and d["last"] == in_span,
              f"span with {label}: rounds {d['first']} wanted {in_span}")
    return whole_page


def main():
    build = os.path.abspath(sys.argv[1])
    shot = sys.argv[2] if len(sys.argv) > 2 else None
    exe = chromium()
    if exe is None:
        print("browser: skipped: no chromium on the PATH")
        return 1 if failures else 77
    work = tempfile.mkdtemp(prefix="vx40-report-")
    bench, tool = os.path.join(build, "vx40-bench"), os.path.join(build, "vx40-report")
    days_page = check_page_data(bench, tool, work)
    print("page data:", "FAILED" if failures else "passed",
          "(events equal the JSON's transitions; span pages hold their rounds)")
    probe = os.path.join(work, "probe.html")
    with open(probe, "w") as f:
        f.write('<!doctype html><body><script>document.body.dataset.ready="1"</script></body>')
    try:
        attrs, _ = load(exe, probe)
        if attrs.get("ready") != "1":
            raise RuntimeError("the probe page's script did not run")
    except Exception as e:  # noqa: BLE001 - any failure to start is reported as a skip
        print("browser: skipped: chromium cannot start:", str(e).strip().splitlines()[-1:])
        return 1 if failures else 77
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
        aligned(drawn, label)
        check(all(re.fullmatch(r"\d\d:\d\d:\d\d", t) for t in drawn.get("axis", [""])),
              f"{label}: a run within a day has times on its axis: {drawn.get('axis')}")
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
        subprocess.run(browser_args(exe) + ["--window-size=1240,1400", "--screenshot=" + shot,
                                            "file://" + demo_page],
                       check=True, capture_output=True, timeout=120)
        print("screenshot:", shot)

    # A run over days: dates on the axis; the events table lists every event.
    attrs, _ = load(exe, days_page)
    drawn = json.loads(attrs.get("drawn", "{}"))
    check("errors" not in attrs, f"days: script errors {attrs.get('errors')}")
    aligned(drawn, "days")
    check(all(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d", t) for t in drawn.get("axis", [""])),
          f"days: the axis carries dates: {drawn.get('axis')}")
    events_page = os.path.join(work, "events.html")
    dom = subprocess.run(browser_args(exe) + ["--dump-dom", "file://" + events_page],
                         capture_output=True, text=True, timeout=300).stdout
    body = re.search(r'<tbody>(.*?)</tbody>', dom, re.S)
    rows = re.findall(r"<tr>(.*?)</tr>", body.group(1) if body else "", re.S)
    cells = [[html.unescape(c) for c in re.findall(r"<td>(.*?)</td>", r, re.S)] for r in rows]
    events = page_data(events_page)["events"]
    check(len(cells) == len(events), f"events table: {len(cells)} rows for {len(events)} events")
    check(any(c[4] == "still active at the end" for c in cells), "events table: an alarm still active")
    check(all(c[1] in KINDS for c in cells), "events table: every row has its kind")

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
    width = 1
    while (LONG_ROUNDS + width - 1) // width > MAX_COLUMNS:
        width *= 2
    check(len(columns) == (LONG_ROUNDS + width - 1) // width,
          f"long run: {len(columns)} columns, wanted columns of {width} rounds")
    check([c[0] for c in columns] == list(range(1, LONG_ROUNDS + 1, width)),
          f"long run: columns from round {columns[0][0]} to {columns[-1][0]}")
    aligned(drawn, "long run")
    check(size < 5_000_000, f"long run: page of {size} bytes")
    check(int(attrs.get("draw-ms", "99999")) < 1000, f"long run: drawn in {attrs.get('draw-ms')} ms")
    print(f"long run: {LONG_ROUNDS} rounds, page of {size} bytes made in {made:.1f} s, "
          f"drawn in {attrs.get('draw-ms')} ms, loaded in {seconds:.2f} s")
    shutil.rmtree(work)
    print("browser:", "FAILED" if failures else "passed", f"({len(failures)} failures)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
