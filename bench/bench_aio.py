"""corvalink.aio.Serial against what an asyncio program does without it,
measured in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_aio.py [--quick] [--uvloop]

- buffered read: `await s.read(16)` of data already waiting on loop://,
  against `await reader.readexactly(16)` on a StreamReader holding fed data;
- 16-byte ping-pong over a pseudo-terminal (echo in another process):
  `await s.write(...)` / `await s.read(16)`, against `loop.add_reader` with
  os.read/os.write on the raw descriptor; with the context switches per round
  trip of every thread in the process (its "thread hops");
- 10,000 reads pending at once on 1,000 loop:// ports, then written to:
  completions per second and memory per pending future, against 10,000
  asyncio futures resolved from another thread with call_soon_threadsafe.

Trials alternate between the contenders; figures are medians, with the
spread (lowest to highest) of the per-trial ratio. Nothing is asserted.
"""

import argparse
import asyncio
import ctypes
import json
import gc
import os
import resource
import statistics
import subprocess
import sys
import threading
import time
import tracemalloc
import tty

import corvalink.aio

MSG = b"0123456789abcdef"
PAGE = os.sysconf("SC_PAGE_SIZE")

ECHO_CHILD = r"""
import os, sys
fd = int(sys.argv[1])
while True:
    try:
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data:
        break
    os.write(fd, data)
"""


def new_loop(use_uvloop):
    if use_uvloop:
        import uvloop

        return uvloop.new_event_loop()
    return asyncio.new_event_loop()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


# tracemalloc keeps its own records with malloc, so the heap and RSS figures
# come from a run without it and the Python figures from a run with it.
TRACE = False


def traced():
    return tracemalloc.get_traced_memory()[0] if TRACE else 0


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes allocated with malloc (all arenas), where the module's C++
    objects live; tracemalloc sees only the interpreter's allocations, and
    RSS moves in pages and keeps freed memory. None without glibc."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = _MallInfo2
    except (OSError, AttributeError):
        return None
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def switches_by_thread():
    """Voluntary + involuntary context switches of each thread, by name."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/self/task/{tid}/status") as f:
                fields = dict(line.split(":", 1) for line in f if "ctxt_switches" in line)
            count = sum(int(v) for v in fields.values())
        except OSError:
            continue
        out[name] = out.get(name, 0) + count
    return out


def diff_switches(before, after):
    return {k: after.get(k, 0) - before.get(k, 0) for k in after}


def percentiles(latencies):
    """Median and 99th percentile of round-trip times, in seconds."""
    ordered = sorted(latencies)
    return ordered[len(ordered) // 2], ordered[min(len(ordered) - 1, len(ordered) * 99 // 100)]


def spread(values):
    return f"{min(values):.2f}-{max(values):.2f}"


def paired(fns, trials):
    """Runs the contenders in turn, the starting one rotating; returns each
    one's per-trial results."""
    runs = [[] for _ in fns]
    for t in range(trials):
        for k in range(len(fns)):
            i = (t + k) % len(fns)
            runs[i].append(fns[i]())
    return runs


# --- buffered read ---------------------------------------------------------------

BATCH = 250  # 250 x 16 = 4000 bytes: what the loopback ring holds


def buffered_serial(use_uvloop, batches, awaited=True):
    """`await s.read(16)`; with awaited false, `s.read(16).result()`: the
    same read without the event-loop step that awaiting a finished future
    takes."""
    async def run():
        s = corvalink.aio.Serial("loop://", timeout=None)
        block = MSG * BATCH
        elapsed = 0.0
        for _ in range(batches):
            await s.write(block)
            start = time.perf_counter()
            if awaited:
                for _ in range(BATCH):
                    await s.read(16)
            else:
                for _ in range(BATCH):
                    s.read(16).result()
            elapsed += time.perf_counter() - start
        s.close()
        return batches * BATCH / elapsed

    loop = new_loop(use_uvloop)
    try:
        return loop.run_until_complete(run())
    finally:
        loop.close()


def buffered_stream(use_uvloop, batches):
    """`await reader.readexactly(16)` followed by one loop step: awaiting a
    finished future yields once by design, and readexactly of buffered data
    does not yield at all."""
    async def run():
        reader = asyncio.StreamReader()
        block = MSG * BATCH
        elapsed = 0.0
        for _ in range(batches):
            reader.feed_data(block)
            start = time.perf_counter()
            for _ in range(BATCH):
                await reader.readexactly(16)
                await asyncio.sleep(0)
            elapsed += time.perf_counter() - start
        return batches * BATCH / elapsed

    loop = new_loop(use_uvloop)
    try:
        return loop.run_until_complete(run())
    finally:
        loop.close()


# --- ping-pong over a pseudo-terminal ---------------------------------------------


class EchoPty:
    """A pseudo-terminal whose master side echoes in a child process."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.name = os.ttyname(slave)
        self.child = subprocess.Popen([sys.executable, "-c", ECHO_CHILD, str(self.master)],
                                      pass_fds=[self.master])
        os.close(self.master)
        self.slave = slave  # kept open so the pty lives until close()

    def close(self):
        os.close(self.slave)
        self.child.wait()


def pingpong_serial(use_uvloop, rounds):
    p = EchoPty()
    result = {}

    async def run():
        s = corvalink.aio.Serial(p.name, timeout=None)
        for _ in range(50):  # warm up: threads started, caches warm
            await s.write(MSG)
            await s.read(16)
        before = switches_by_thread()
        cpu0 = time.process_time()
        start = time.perf_counter()
        lat = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            await s.write(MSG)
            got = await s.read(16)
            while len(got) < 16:
                got += await s.read(16 - len(got))
            lat.append(time.perf_counter() - t0)
        result["rate"] = rounds / (time.perf_counter() - start)
        result["p50"], result["p99"] = percentiles(lat)
        result["cpu"] = (time.process_time() - cpu0) / rounds
        result["switches"] = diff_switches(before, switches_by_thread())
        s.close()

    loop = new_loop(use_uvloop)
    try:
        loop.run_until_complete(run())
    finally:
        loop.close()
        p.close()
    return result


def pingpong_raw(use_uvloop, rounds):
    p = EchoPty()
    fd = os.open(p.name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    result = {}

    async def run():
        loop = asyncio.get_running_loop()
        waiter = None
        got = b""

        def readable():
            nonlocal got
            try:
                got += os.read(fd, 4096)
            except BlockingIOError:
                return
            if len(got) >= 16 and waiter is not None and not waiter.done():
                waiter.set_result(None)

        loop.add_reader(fd, readable)

        async def round_trip():
            nonlocal waiter, got
            got = b""
            waiter = loop.create_future()
            os.write(fd, MSG)
            await waiter

        for _ in range(50):
            await round_trip()
        before = switches_by_thread()
        cpu0 = time.process_time()
        start = time.perf_counter()
        lat = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            await round_trip()
            lat.append(time.perf_counter() - t0)
        result["rate"] = rounds / (time.perf_counter() - start)
        result["p50"], result["p99"] = percentiles(lat)
        result["cpu"] = (time.process_time() - cpu0) / rounds
        result["switches"] = diff_switches(before, switches_by_thread())
        loop.remove_reader(fd)

    loop = new_loop(use_uvloop)
    try:
        loop.run_until_complete(run())
    finally:
        loop.close()
        os.close(fd)
        p.close()
    return result


# --- many pending reads ------------------------------------------------------------


def pending_serial(use_uvloop, ports, per_port):
    """Starts per_port reads of 16 bytes on each of `ports` loop:// ports,
    measures the memory they hold while pending, then writes to every port
    and times until all reads completed."""
    result = {}

    async def run():
        serials = [corvalink.aio.Serial("loop://", timeout=None) for _ in range(ports)]
        for s in serials:  # the runtime's threads, started before measuring
            await s.write(b"x")
            await s.read(1)
        gc.collect()
        if TRACE:
            tracemalloc.start()
        rss0, heap0 = rss_bytes(), malloc_in_use()
        traced0 = traced()
        futures = [s.read(16) for s in serials for _ in range(per_port)]
        await asyncio.sleep(0.05)  # every first read handed on and waiting
        n = len(futures)
        result["rss_future"] = (rss_bytes() - rss0) / n
        result["heap_future"] = (malloc_in_use() - heap0) / n
        result["traced_future"] = (traced() - traced0) / n
        awaiting = asyncio.gather(*futures)  # each awaited: an asyncio future and a task too
        await asyncio.sleep(0.05)
        result["rss_awaited"] = (rss_bytes() - rss0) / n
        result["heap_awaited"] = (malloc_in_use() - heap0) / n
        result["traced_awaited"] = (traced() - traced0) / n
        if TRACE:
            tracemalloc.stop()
        pending = sum(not f.done() for f in futures)
        start = time.perf_counter()
        writes = [s.write(MSG * per_port) for s in serials]
        done = await awaiting
        result["rate"] = n / (time.perf_counter() - start)
        await asyncio.gather(*writes)
        result["pending"] = pending
        result["complete"] = sum(len(d) == 16 for d in done)
        for s in serials:
            s.close()

    loop = new_loop(use_uvloop)
    try:
        loop.run_until_complete(run())
    finally:
        loop.close()
    return result


def pending_asyncio(use_uvloop, ports, per_port):
    """The same number of asyncio futures, each awaited by a task and
    resolved from another thread with call_soon_threadsafe."""
    result = {}

    async def run():
        loop = asyncio.get_running_loop()
        n = ports * per_port
        gc.collect()
        if TRACE:
            tracemalloc.start()
        rss0, heap0 = rss_bytes(), malloc_in_use()
        traced0 = traced()
        futures = [loop.create_future() for _ in range(n)]

        async def wait(f):
            return await f

        awaiting = asyncio.gather(*(wait(f) for f in futures))
        await asyncio.sleep(0.05)
        result["rss_awaited"] = (rss_bytes() - rss0) / n
        result["heap_awaited"] = (malloc_in_use() - heap0) / n
        result["traced_awaited"] = (traced() - traced0) / n
        if TRACE:
            tracemalloc.stop()
        start = time.perf_counter()

        def resolve():
            for f in futures:
                loop.call_soon_threadsafe(f.set_result, MSG)

        t = threading.Thread(target=resolve)
        t.start()
        await awaiting
        result["rate"] = n / (time.perf_counter() - start)
        t.join()

    loop = new_loop(use_uvloop)
    try:
        loop.run_until_complete(run())
    finally:
        loop.close()
    return result


def pending_in_child(which, use_uvloop, ports, per_port):
    """Runs one pending-reads measurement in fresh processes, so that its
    RSS and heap figures are not blurred by memory freed earlier: once
    without tracemalloc (rates, heap, RSS), once with it (Python objects)."""
    result = {}
    for trace in (False, True):
        out = subprocess.run([sys.executable, "-P", os.path.abspath(__file__), "--pending-child", which,
                              str(int(use_uvloop)), str(ports), str(per_port), str(int(trace))],
                             capture_output=True, text=True, timeout=300)
        if out.returncode != 0:
            raise RuntimeError(f"pending {which} failed:\n{out.stderr}")
        run = json.loads(out.stdout.strip().splitlines()[-1])
        if trace:
            result.update({k: v for k, v in run.items() if k.startswith("traced")})
        else:
            result.update({k: v for k, v in run.items() if not k.startswith("traced")})
    return result


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--pending-child":
        global TRACE
        which, use_uvloop, ports, per_port = sys.argv[2], bool(int(sys.argv[3])), int(sys.argv[4]), int(sys.argv[5])
        TRACE = bool(int(sys.argv[6]))
        fn = pending_serial if which == "serial" else pending_asyncio
        print(json.dumps(fn(use_uvloop, ports, per_port)))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer trials and rounds")
    ap.add_argument("--uvloop", action="store_true", help="also run every case on uvloop")
    args = ap.parse_args()
    trials = 3 if args.quick else 9
    batches = 40 if args.quick else 200
    rounds = 1000 if args.quick else 5000
    loops = [False, True] if args.uvloop else [False]

    for use_uvloop in loops:
        tag = "uvloop" if use_uvloop else "asyncio"
        print(f"--- {tag} event loop ---")
        stream, serial, unawaited = paired([lambda: buffered_stream(use_uvloop, batches),
                                            lambda: buffered_serial(use_uvloop, batches),
                                            lambda: buffered_serial(use_uvloop, batches, awaited=False)], trials)
        ratios = [b / a for a, b in zip(stream, serial)]
        print(f"buffered read   readexactly(16) + one loop step {statistics.median(stream):10,.0f}/s   "
              f"await s.read(16) {statistics.median(serial):10,.0f}/s   "
              f"ratio {statistics.median(ratios):.2f} ({spread(ratios)}; goal: no slower than before, 0.94)")
        ratios = [b / a for a, b in zip(stream, unawaited)]
        step = statistics.median(1 / a - 1 / b for a, b in zip(serial, unawaited))
        print(f"                s.read(16).result() {statistics.median(unawaited):10,.0f}/s   "
              f"ratio {statistics.median(ratios):.2f} ({spread(ratios)}): the read itself; the event-loop "
              f"step of the await costs {step * 1e6:.1f} us")

        raw, ours = paired([lambda: pingpong_raw(use_uvloop, rounds),
                            lambda: pingpong_serial(use_uvloop, rounds)], trials)
        ratios = [b["rate"] / a["rate"] for a, b in zip(raw, ours)]
        print(f"16-byte ping    add_reader+os.read {statistics.median(r['rate'] for r in raw):8,.0f} rt/s   "
              f"await write/read {statistics.median(r['rate'] for r in ours):8,.0f} rt/s   "
              f"ratio {statistics.median(ratios):.2f} ({spread(ratios)}; goal >= 0.8)")
        p99 = [b["p99"] / a["p99"] for a, b in zip(raw, ours)]
        print(f"                latency median {statistics.median(r['p50'] for r in raw) * 1e6:.0f} / "
              f"{statistics.median(r['p50'] for r in ours) * 1e6:.0f} us, p99 "
              f"{statistics.median(r['p99'] for r in raw) * 1e6:.0f} / {statistics.median(r['p99'] for r in ours) * 1e6:.0f} us,"
              f" p99 ratio {statistics.median(p99):.2f} ({spread(p99)}; goal <= 1.5)")
        cpu = [b["cpu"] / a["cpu"] for a, b in zip(raw, ours)]
        print(f"                CPU per round trip: add_reader {statistics.median(r['cpu'] for r in raw) * 1e6:.1f} us, "
              f"corvalink {statistics.median(r['cpu'] for r in ours) * 1e6:.1f} us (all threads), "
              f"ratio {statistics.median(cpu):.2f} ({spread(cpu)}; goal <= 1.5)")
        for label, runs in (("add_reader", raw), ("corvalink", ours)):
            names = sorted({k for r in runs for k in r["switches"]})
            per = {k: statistics.median(r["switches"].get(k, 0) / rounds for r in runs) for k in names}
            total = statistics.median(sum(r["switches"].values()) / rounds for r in runs)
            detail = ", ".join(f"{k} {v:.2f}" for k, v in per.items() if v >= 0.01)
            print(f"                context switches (thread hops) per round trip, {label}: {total:.2f} ({detail})"
                  + ("; goal <= 2" if label == "corvalink" else ""))

        ports, per_port = (200, 10) if args.quick else (1000, 10)
        n = ports * per_port
        ours, base = [], []
        for _ in range(max(1, trials // 3)):
            ours.append(pending_in_child("serial", use_uvloop, ports, per_port))
            base.append(pending_in_child("asyncio", use_uvloop, ports, per_port))
        m = lambda runs, key: statistics.median(r[key] for r in runs)  # noqa: E731
        print(f"{n:,} pending reads on {ports:,} loop:// ports: {int(m(ours, 'pending')):,} pending before the "
              f"writes, {int(m(ours, 'complete')):,} completed with 16 bytes")
        print(f"                completions {m(ours, 'rate'):10,.0f}/s   asyncio futures resolved from a thread "
              f"{m(base, 'rate'):10,.0f}/s   ratio {m(ours, 'rate') / m(base, 'rate'):.2f}")
        print(f"                memory per pending Future: {m(ours, 'heap_future'):.0f} B malloc + "
              f"{m(ours, 'traced_future'):.0f} B Python objects (tracemalloc); "
              f"RSS {m(ours, 'rss_future'):.0f} B")
        extra = (m(ours, 'heap_awaited') + m(ours, 'traced_awaited')) - (m(base, 'heap_awaited') + m(base, 'traced_awaited'))
        print(f"                awaited by a task as well: {m(ours, 'heap_awaited'):.0f} B malloc + "
              f"{m(ours, 'traced_awaited'):.0f} B Python, RSS {m(ours, 'rss_awaited'):.0f} B; "
              f"an asyncio future awaited by a task: {m(base, 'heap_awaited'):.0f} B malloc + "
              f"{m(base, 'traced_awaited'):.0f} B Python, RSS {m(base, 'rss_awaited'):.0f} B")
        print(f"                a pending awaited read costs {extra:.0f} B more than an awaited asyncio future "
              f"(goal: <= 512 B per pending Future)")
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(f"(cpus available: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f}, "
          f"peak RSS {usage.ru_maxrss / 1024:.0f} MiB)")


if __name__ == "__main__":
    main()
