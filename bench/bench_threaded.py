"""corvalink.threaded: the line rate of a ReaderThread with a LineReader
against a hand-written readline() loop on the same kind of pseudo-terminal,
in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_threaded.py [--quick]

Two cases: the device (a thread on the master side) sends lines of 32 bytes
as fast as the terminal takes them, and the device echoes each line, the
reader sending the next one when the previous came back (on the reader
thread, from handle_line). Each reader decodes every line to str.
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


# --- request/response: the device echoes each line, the reader sends the next
# one when the previous came back --------------------------------------------

def echo(fd, stop):
    while not stop.is_set():
        try:
            data = os.read(fd, 4096)
        except OSError:
            return
        if not data:
            return
        os.write(fd, data)


def pingpong_loop(rounds):
    p = Pty()
    port = corvalink.Serial(p.name, timeout=None)
    stop = threading.Event()
    responder = threading.Thread(target=echo, args=(p.master, stop), daemon=True)
    responder.start()
    try:
        start = time.perf_counter()
        for i in range(rounds):
            port.write(LINE % i)
            port.readline()[:-2].decode("utf-8", "replace")
        return rounds / (time.perf_counter() - start)
    finally:
        stop.set()
        port.close()
        p.close()


def pingpong_thread(rounds):
    p = Pty()
    port = corvalink.Serial(p.name, timeout=None)
    stop = threading.Event()
    responder = threading.Thread(target=echo, args=(p.master, stop), daemon=True)
    responder.start()
    done = threading.Event()

    class Asker(LineReader):
        count = 0

        def handle_line(self, line):
            self.count += 1
            if self.count == rounds:
                done.set()
            else:
                self.transport.write(LINE % self.count)

    try:
        with ReaderThread(port, Asker) as asker:
            start = time.perf_counter()
            asker.transport.write(LINE % 0)
            if not done.wait(120):
                raise RuntimeError("the reader thread did not get every reply")
            return rounds / (time.perf_counter() - start)
    finally:
        stop.set()
        port.close()
        p.close()


def compare(label, a, b, arg, trials):
    runs = {a: [], b: []}
    for t in range(trials):
        for fn in (a, b) if t % 2 == 0 else (b, a):
            runs[fn].append(fn(arg))
    ratios = sorted(y / x for x, y in zip(runs[a], runs[b]))
    q = statistics.quantiles(ratios, n=4)
    print(f"{label:15s}readline() loop {statistics.median(runs[a]):9.0f} lines/s   "
          f"ReaderThread+LineReader {statistics.median(runs[b]):9.0f} lines/s")
    print(f"               ratio {statistics.median(ratios):.2f} (target >= 0.9); "
          f"quartiles {q[0]:.2f}-{q[2]:.2f}, range {ratios[0]:.2f}-{ratios[-1]:.2f} over {trials} trials")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer lines and trials")
    args = ap.parse_args()
    lines = 20000 if args.quick else 100000
    trials = 6 if args.quick else 21
    compare("32-byte lines", readline_loop, reader_thread, lines, trials)
    compare("echoed lines", pingpong_loop, pingpong_thread, lines // 10, trials)
    print(f"(load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
