"""Pseudo-terminal benchmarks: corvalink.Serial against plain os.read/os.write
on the same kind of descriptor, measured in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_pty.py [--quick]

Prints medians over alternating trials and the median per-trial ratio
(corvalink / standard library); asserts nothing.
"""

import argparse
import os
import select
import statistics
import threading
import time
import tty

import corvalink

CHUNK = 65536


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


def feed(fd, total):
    """Writes total bytes into fd in CHUNK pieces (runs on its own thread)."""
    block = bytes(range(256)) * (CHUNK // 256)
    left = total
    while left > 0:
        left -= os.write(fd, block[:min(left, CHUNK)])


def echo(fd, stop):
    """Sends back whatever arrives until stop is set."""
    while not stop.is_set():
        try:
            data = os.read(fd, 4096)
        except OSError:
            return
        if not data:
            return
        os.write(fd, data)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


# --- bulk throughput -----------------------------------------------------------

def bulk_os(total):
    p = Pty()
    try:
        writer = threading.Thread(target=feed, args=(p.master, total))

        def run():
            got = 0
            while got < total:
                got += len(os.read(p.slave, CHUNK))

        writer.start()
        t = timed(run)
        writer.join()
        return total / t
    finally:
        p.close()


def bulk_serial(total):
    p = Pty()
    s = corvalink.Serial(p.name, timeout=None)
    try:
        writer = threading.Thread(target=feed, args=(p.master, total))

        def run():
            got = 0
            while got < total:
                got += len(s.read(min(CHUNK, total - got)))

        writer.start()
        t = timed(run)
        writer.join()
        return total / t
    finally:
        s.close()
        p.close()


# --- ping-pong -------------------------------------------------------------------

def pingpong(rounds, write, read, master):
    stop = threading.Event()
    responder = threading.Thread(target=echo, args=(master, stop), daemon=True)
    responder.start()
    msg = b"0123456789abcdef"

    def run():
        for _ in range(rounds):
            write(msg)
            got = b""
            while len(got) < 16:
                got += read(16 - len(got))

    t = timed(run)
    stop.set()
    return rounds / t


def pingpong_os(rounds):
    p = Pty()
    try:
        return pingpong(rounds, lambda b: os.write(p.slave, b), lambda n: os.read(p.slave, n), p.master)
    finally:
        p.close()


def pingpong_os_polled(rounds):
    """The standard library on a non-blocking descriptor: poll, then read.
    This is how any reader that must stay cancellable waits, so the gap
    between it and the blocking read is the price of that design, not of
    the library."""
    p = Pty()
    try:
        os.set_blocking(p.slave, False)
        poller = select.poll()
        poller.register(p.slave, select.POLLIN)

        def read(n):
            poller.poll()
            return os.read(p.slave, n)

        return pingpong(rounds, lambda b: os.write(p.slave, b), read, p.master)
    finally:
        p.close()


def pingpong_serial(rounds):
    p = Pty()
    s = corvalink.Serial(p.name, timeout=None)
    try:
        return pingpong(rounds, s.write, s.read, p.master)
    finally:
        s.close()
        p.close()


# --- threads -------------------------------------------------------------------

def threaded_serial(threads, total_each):
    ptys = [Pty() for _ in range(threads)]
    ports = [corvalink.Serial(p.name, timeout=None) for p in ptys]
    try:
        writers = [threading.Thread(target=feed, args=(p.master, total_each)) for p in ptys]

        def reader(s):
            got = 0
            while got < total_each:
                got += len(s.read(min(CHUNK, total_each - got)))

        readers = [threading.Thread(target=reader, args=(s,)) for s in ports]
        start = time.perf_counter()
        for t in writers + readers:
            t.start()
        for t in writers + readers:
            t.join()
        return threads * total_each / (time.perf_counter() - start)
    finally:
        for s in ports:
            s.close()
        for p in ptys:
            p.close()


def paired(fns, arg, trials):
    """Runs the functions in turn, `trials` times, the order rotating so each
    sees the same load; returns each one's median and the median of its
    per-trial ratio to the first (the machine's load drifts between trials,
    so a ratio within one trial is steadier than a ratio of two medians)."""
    runs = [[] for _ in fns]
    for t in range(trials):
        order = list(range(len(fns)))
        order = order[t % len(fns):] + order[:t % len(fns)]
        for i in order:
            runs[i].append(fns[i](arg))
    medians = [statistics.median(r) for r in runs]
    ratios = [statistics.median(b / a for a, b in zip(runs[0], r)) for r in runs]
    return medians, ratios, runs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller transfers, fewer repetitions")
    args = ap.parse_args()
    repeat = 2 if args.quick else 5
    trials = 4 if args.quick else 15
    total = (8 if args.quick else 32) * 1024 * 1024
    rounds = 2000 if args.quick else 10000

    mb = 1024 * 1024
    (os_rate, cl_rate), (_, ratio), _ = paired([bulk_os, bulk_serial], total, trials)
    print(f"bulk read      os.read {os_rate / mb:8.1f} MB/s   Serial.read(65536) {cl_rate / mb:8.1f} MB/s"
          f"   ratio {ratio:.2f} (target >= 0.9)")

    (os_rt, polled_rt, cl_rt), (_, polled_ratio, ratio), runs = paired(
        [pingpong_os, pingpong_os_polled, pingpong_serial], rounds, trials)
    vs_polled = statistics.median(c / p for p, c in zip(runs[1], runs[2]))
    print(f"16-byte ping   os      {os_rt:8.0f} rt/s    Serial             {cl_rt:8.0f} rt/s"
          f"    ratio {ratio:.2f} (target >= 0.8)")
    print(f"               os.read after poll() on a non-blocking descriptor {polled_rt:8.0f} rt/s"
          f"    ratio {polled_ratio:.2f}; Serial against it {vs_polled:.2f}")

    rates = {n: 0.0 for n in (1, 2, 4)}
    for _ in range(repeat):
        for n in rates:
            rates[n] = max(rates[n], threaded_serial(n, total // 4))
    for n, rate in rates.items():
        print(f"threads {n}      Serial aggregate {rate / mb:8.1f} MB/s   scaling {rate / rates[1]:.2f}x")
    print(f"(cpus available: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
