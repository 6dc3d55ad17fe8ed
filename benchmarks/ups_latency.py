#!/usr/bin/env python3
"""vx40-ups's reply latency on a pseudo-terminal, as a host sees it.

  benchmarks/ups_latency.py BUILD_DIR [REQUESTS]      (default 1000)

Starts the built vx40-ups on a new pseudo-terminal (a steady UPS, no
--line-rate), opens its host side raw, and sends 2A/41 requests one at a
time: the latency is from the write of a request's last character to the
read of the reply's first. Prints the median, the 99th percentile and the
worst, in milliseconds; the target is a 99th percentile under 5 ms.
A benchmark, not a test: exit 0 when it ran, 2 when it could not.
"""
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty

REQUEST = b"~21012A410000FDA4\r"


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    with tempfile.TemporaryDirectory() as tmp:
        scenario = os.path.join(tmp, "steady.json")
        with open(scenario, "w") as f:
            f.write('{"rounds": []}')
        link = os.path.join(tmp, "line")
        ups = subprocess.Popen([os.path.join(build, "vx40-ups"), "--pty", "--link", link,
                                "--quiet", "--scenario", scenario],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        try:
            for _ in range(400):
                if os.path.islink(link):
                    break
                time.sleep(0.025)
            fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(fd, termios.TCSANOW)
            samples = []
            for _ in range(count):
                os.write(fd, REQUEST)
                sent = time.perf_counter()
                ready, _, _ = select.select([fd], [], [], 2.0)
                if not ready:
                    print("ups-latency: no reply within 2 s", file=sys.stderr)
                    return 2
                samples.append(time.perf_counter() - sent)
                got = b""
                while not got.endswith(b"\r"):
                    got += os.read(fd, 512)
            os.close(fd)
        finally:
            ups.send_signal(signal.SIGINT)
            ups.wait(timeout=10)
    samples.sort()
    ms = [1000 * s for s in samples]
    median = ms[len(ms) // 2]
    p99 = ms[min(len(ms) - 1, (99 * len(ms)) // 100)]
    print(f"ups-latency: {count} requests on a pseudo-terminal: median {median:.3f} ms, "
          f"99th percentile {p99:.3f} ms, worst {ms[-1]:.3f} ms (target: 99th under 5 ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
