"""Blocking Serial throughput on loop://, against a standard-library baseline
measured in the same run.

    PYTHONPATH=build/release/python python3.14 bench/bench_blocking.py [seconds]

Reports calls per second; asserts nothing. The worker CPU column is the CPU
time used by the runtime's threads ("corvalink") during the measurement: it
stays near zero when every operation finishes on the caller's thread.
"""

import os
import sys
import time

import corvalink


def worker_cpu_seconds():
    """CPU time of this process's threads named "corvalink" (Linux only)."""
    total = 0
    tick = os.sysconf("SC_CLK_TCK")
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return float("nan")
    for tid in tasks:
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() != "corvalink":
                    continue
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            continue
    return total / tick


def measure(name, fn, seconds, baseline=None):
    fn()  # warm up (also starts the runtime)
    n = 0
    cpu0 = worker_cpu_seconds()
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        for _ in range(1000):
            fn()
        n += 1000
        if time.perf_counter() >= deadline:
            break
    elapsed = time.perf_counter() - start
    cpu = worker_cpu_seconds() - cpu0
    rate = n / elapsed
    ratio = f"{rate / baseline:6.2f}x" if baseline else "  base "
    print(f"{name:<44} {rate:>12,.0f}/s  {ratio}  worker CPU {cpu:.2f}s")
    return rate


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
    payload = bytes(range(16))
    print(f"python {sys.version.split()[0]}, {seconds:.1f}s per case")

    r, w = os.pipe()

    def pipe_round_trip():
        os.write(w, payload)
        os.read(r, 16)

    base = measure("os.pipe write+read, 16 bytes (stdlib)", pipe_round_trip, seconds)

    s = corvalink.Serial("loop://", timeout=1)

    def round_trip():
        s.write(payload)
        s.read(16)

    measure("Serial write+read round trip, 16 bytes", round_trip, seconds, base)

    big = bytes(4000)
    s.write(big)

    def buffered_read():
        # 16 bytes out of a queue that is kept filled: data already buffered.
        s.read(16)
        s.write(payload)

    measure("Serial.read(16) of buffered data (+refill)", buffered_read, seconds, base)

    def in_waiting():
        return s.in_waiting

    measure("Serial.in_waiting", in_waiting, seconds, base)

    def setter():
        s.timeout = 1

    measure("Serial.timeout = 1", setter, seconds, base)
    s.close()
    os.close(r)
    os.close(w)


if __name__ == "__main__":
    main()
