#!/usr/bin/env python3
"""Peak resident memory and time of the programs that read a long run, at
several lengths of run.

  benchmarks/stream_memory.py BUILD_DIR [ROUNDS ...]     (default: 10000 200000)

For each length the bench itself makes the run (the built-in demo, in
process, --record and --json); then, with standard output discarded, the
bench replays the recording (--replay --quiet), replays it with the report
page (--report), and vx40-report pictures the JSON rounds, whose page is
then drawn in headless Chromium when there is one. The peak resident
memory of each is its own high-water mark, read while it runs (VmHWM).
Each program streams its input, so for each program the peak
at the longest run may exceed the peak at the shortest by no more than
4 MiB (what the page's bounded tables hold, and the allocator's wander)
and stays under 32 MB. Exit 0
within the targets, 1 outside them, 2 a run that failed.
"""
import os
import subprocess
import sys
import tempfile
import time

# Its Chromium helpers, imported without writing a bytecode cache into tests/.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import report_browser_test  # noqa: E402

TARGET_KB = 32 * 1024
# The page keeps bounded tables (2,000 columns, 10,000 events, 4,096 lines)
# that a short run has not filled yet, and the allocator's high-water mark
# moves by a MiB or so from run to run (a month's replay with the page peaks
# lower than one of 200,000 rounds): a longer run may be up to 4 MiB higher.
GROWTH_KB = 4 * 1024


def peak_kb(cmd):
    """Runs cmd to the end; its peak resident memory in KiB and its time.

    The peak is the program's own high-water mark (VmHWM), read while it
    runs: the kernel's accounting of a finished child (getrusage) would also
    hold the memory of this Python process, which the child had until it
    started the program. The mark only grows, so the last reading, within
    10 ms of the end, is the peak but for what the program's last 10 ms add.
    """
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        child = subprocess.Popen(cmd, stdout=null)
    peak = 0
    status = f"/proc/{child.pid}/status"
    while child.poll() is None:
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.01)
    if child.returncode != 0:
        print(f"stream-memory: {' '.join(cmd)} failed ({child.returncode})", file=sys.stderr)
        sys.exit(2)
    return peak, time.monotonic() - start


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    bench = os.path.join(sys.argv[1], "vx40-bench")
    tool = os.path.join(sys.argv[1], "vx40-report")
    counts = [int(a) for a in sys.argv[2:]] or [10000, 200000]
    peaks = {"replay": [], "replay with page": [], "vx40-report": []}
    with tempfile.TemporaryDirectory(dir=sys.argv[1]) as tmp:
        rec, rounds, page = (os.path.join(tmp, n) for n in ("run.jsonl", "rounds.jsonl", "page.html"))
        for n in counts:
            start = time.monotonic()
            subprocess.run([bench, "--rounds", str(n), "--quiet", "--record", rec, "--json", rounds],
                           stdout=subprocess.DEVNULL, check=True)
            made = time.monotonic() - start
            print(f"{n} rounds: made in {made:.1f} s, {os.path.getsize(rec) / 1e6:.1f} MB recorded, "
                  f"{os.path.getsize(rounds) / 1e6:.1f} MB of JSON rounds")
            for name, cmd in (("replay", [bench, "--replay", rec, "--quiet"]),
                              ("replay with page", [bench, "--replay", rec, "--quiet", "--report", page]),
                              ("vx40-report", [tool, rounds, page])):
                kb, seconds = peak_kb(cmd)
                peaks[name].append(kb)
                print(f"  {name}: peak resident {kb / 1024:.1f} MiB, {seconds:.1f} s"
                      + (f", page of {os.path.getsize(page) / 1e6:.2f} MB" if name != "replay" else ""))
            browser = report_browser_test.chromium()
            if browser:
                attrs, _ = report_browser_test.load(browser, os.path.abspath(page))
                drawn = attrs.get("draw-ms")
                print("  the page drawn in headless Chromium in " + drawn + " ms" if drawn else
                      "  the page: headless Chromium did not draw it (no data-draw-ms)")
            for f in (rec, rounds, page):
                os.remove(f)
    ok = True
    parts = []
    for name, values in peaks.items():
        ok = ok and max(values) < TARGET_KB and values[-1] - values[0] <= GROWTH_KB
        parts.append(f"{name} {'/'.join(f'{v / 1024:.1f}' for v in values)} MiB")
    print(f"stream-memory: {', '.join(parts)} at {'/'.join(str(c) for c in counts)} rounds "
          f"(targets: under {TARGET_KB // 1024} MiB, at most {GROWTH_KB // 1024} MiB more for the "
          f"longest run): "
          f"{'within' if ok else 'OUTSIDE'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
