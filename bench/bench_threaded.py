"""corvalink.threaded: the line rate of a ReaderThread with a LineReader
against a hand-written readline() loop on the same kind of pseudo-terminal,
in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_threaded.py [--quick]

The device (a thread on the master side) sends LINES lines of 32 bytes as
fast as the terminal takes them; each reader decodes every line to str.
Trials alternate between the two; prints the median rates, the median of the
per-trial ratios (reader thread / loop, target >= 0.9) and their spread.
Asserts nothing.
"""

import argparse
import os
import statistics
import threading
import time
import tty

import corvalink
from corvalink.threaded import LineReader, ReaderThread

LINE = b"%026d\r\n"  # 32 bytes with the terminator


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)
        tty.setraw(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def feed(fd, lines):
    block = b"".join(LINE % i for i in range(lines))
    view = memoryview(block)
    while view:
        view = view[os.write(fd, view[:65536]):]


def readline_loop(lines):
    p = Pty()
    port = corvalink.Serial(p.name, timeout=None)
    try:
        feeder = threading.Thread(target=feed, args=(p.master, lines))
        start = time.perf_counter()
        feeder.start()
        readline = port.readline
        for _ in range(lines):
            readline()[:-2].decode("utf-8", "replace")
        elapsed = time.perf_counter() - start
        feeder.join()
        return lines / elapsed
    finally:
        port.close()
        p.close()


def reader_thread(lines):
    p = Pty()
    port = corvalink.Serial(p.name, timeout=None)
    done = threading.Event()

    class Counter(LineReader):
        count = 0

        def handle_line(self, line):
            self.count += 1
            if self.count == lines:
                done.set()

    try:
        with ReaderThread(port, Counter):
            feeder = threading.Thread(target=feed, args=(p.master, lines))
            start = time.perf_counter()
            feeder.start()
            if not done.wait(60):
                raise RuntimeError("the reader thread did not get every line")
            elapsed = time.perf_counter() - start
            feeder.join()
        return lines / elapsed
    finally:
        port.close()
        p.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer lines and trials")
    args = ap.parse_args()
    lines = 20000 if args.quick else 100000
    trials = 6 if args.quick else 21
    runs = {readline_loop: [], reader_thread: []}
    fns = list(runs)
    for t in range(trials):
        for fn in fns if t % 2 == 0 else fns[::-1]:
            runs[fn].append(fn(lines))
    loop, thread = runs[readline_loop], runs[reader_thread]
    ratios = sorted(b / a for a, b in zip(loop, thread))
    q = statistics.quantiles(ratios, n=4)
    print(f"32-byte lines  readline() loop {statistics.median(loop):9.0f} lines/s   "
          f"ReaderThread+LineReader {statistics.median(thread):9.0f} lines/s")
    print(f"               ratio {statistics.median(ratios):.2f} (target >= 0.9); "
          f"quartiles {q[0]:.2f}-{q[2]:.2f}, range {ratios[0]:.2f}-{ratios[-1]:.2f} over {trials} trials")
    print(f"(load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
