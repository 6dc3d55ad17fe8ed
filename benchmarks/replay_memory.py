#!/usr/bin/env python3
"""Peak resident memory of vx40-bench replaying recordings of several lengths.

  benchmarks/replay_memory.py BUILD_DIR [ROUNDS ...]     (default: 10000 200000)

Each recording is made by the bench itself (the built-in demo, in process,
--record), then replayed with --quiet and standard output discarded; the
peak resident memory of the replay is read from the kernel's accounting of
the finished child (getrusage). The replay streams its recording, so the
peaks must agree within 10 % and stay under 20 MB. Exit 0 within the
targets, 1 outside them, 2 a run that failed.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time

TARGET_KB = 20 * 1024
SPREAD = 0.10


def peak_kb(cmd):
    """Runs cmd to the end; its peak resident memory in KiB and its time."""
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        os.execv(cmd[0], cmd)
    _, status, usage = os.wait4(pid, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        print(f"replay-memory: {' '.join(cmd)} failed ({status})", file=sys.stderr)
        sys.exit(2)
    return usage.ru_maxrss, time.monotonic() - start


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    bench = os.path.join(sys.argv[1], "vx40-bench")
    counts = [int(a) for a in sys.argv[2:]] or [10000, 200000]
    peaks = []
    with tempfile.TemporaryDirectory(dir=sys.argv[1]) as tmp:
        for n in counts:
            rec = os.path.join(tmp, f"{n}.jsonl")
            subprocess.run([bench, "--rounds", str(n), "--quiet", "--record", rec],
                           stdout=subprocess.DEVNULL, check=True)
            size = os.path.getsize(rec)
            kb, seconds = peak_kb([bench, "--replay", rec, "--quiet"])
            peaks.append(kb)
            print(f"replay {n} rounds ({size / 1e6:.1f} MB recorded): peak resident "
                  f"{kb / 1024:.1f} MiB, {seconds:.1f} s")
            os.remove(rec)
    spread = (max(peaks) - min(peaks)) / min(peaks)
    ok = max(peaks) < TARGET_KB and spread <= SPREAD
    print(f"replay-memory: peaks {', '.join(f'{p / 1024:.1f}' for p in peaks)} MiB, spread "
          f"{100 * spread:.1f} % (targets: under {TARGET_KB // 1024} MiB, within "
          f"{100 * SPREAD:.0f} %): {'within' if ok else 'OUTSIDE'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
