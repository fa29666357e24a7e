"""The asyncio transport (corvalink.aio) against what asyncio does without it
on the same kind of pseudo-terminal, measured in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_transport.py [--quick] [--uvloop]

- bulk in and bulk out through SerialTransport with a Protocol, against the
  event loop's connect_read_pipe / connect_write_pipe on the raw descriptor;
- the same through open_serial_connection streams, against asyncio streams
  over those pipe transports;
- 64 and 256 pseudo-terminals echoing 16-byte messages at once (the echo in
  another process), against loop.add_reader on the raw descriptors: total
  messages per second and the peak memory of the process;
- 256 open idle transports against 256 idle add_reader registrations: CPU
  time as a share of one core.

Every measurement runs in a fresh process (so peak memory and idle threads
belong to that case alone), the contenders alternate, and figures are
medians with the spread of the per-trial ratio. Nothing is asserted.
"""

import argparse
import asyncio
import json
import os
import resource
import selectors
import statistics
import subprocess
import sys
import time
import tty

CHUNK = 65536
MSG = b"0123456789abcdef"

FEED = r"""
import os, sys
fd, total = int(sys.argv[1]), int(sys.argv[2])
block = bytes(range(256)) * 256
while total > 0:
    total -= os.write(fd, block[:min(total, len(block))])
sys.stdin.read()  # the master stays open until the reader has everything
"""

SINK = r"""
import os, sys
fd, total, done = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
while total > 0:
    total -= len(os.read(fd, 65536))
os.write(done, b"!")
"""

ECHO_MANY = r"""
import os, selectors, sys
sel = selectors.DefaultSelector()
for fd in map(int, sys.argv[1:]):
    os.set_blocking(fd, False)
    sel.register(fd, selectors.EVENT_READ)
open_fds = len(sys.argv) - 1
while open_fds:
    for key, _ in sel.select():
        try:
            data = os.read(key.fd, 4096)
        except BlockingIOError:
            continue
        except OSError:
            data = b""
        if not data:
            sel.unregister(key.fd)
            open_fds -= 1
            continue
        os.write(key.fd, data)
"""


# --- shared helpers ------------------------------------------------------------------


def new_loop(kind):
    if kind == "uvloop":
        import uvloop

        return uvloop.new_event_loop()
    return asyncio.new_event_loop()


def open_pty():
    """A raw pseudo-terminal: (master, slave, name)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def open_raw(name):
    return os.open(name, os.O_RDWR | os.O_NOCTTY)


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


# --- bulk --------------------------------------------------------------------------


class Counting(asyncio.Protocol):
    """Counts received bytes; resolves `done` at `total`. Times from the first
    chunk, so the feeder's start-up is not part of the rate."""

    def __init__(self, total, done):
        self.total, self.done, self.got = total, done, 0
        self.first = self.first_len = None

    def data_received(self, data):
        if self.first is None:
            self.first, self.first_len = time.perf_counter(), len(data)
        self.got += len(data)
        if self.got >= self.total and not self.done.done():
            self.done.set_result(time.perf_counter())

    def connection_lost(self, exc):
        if not self.done.done():
            self.done.set_exception(exc or ConnectionError("closed early"))


class Sending(asyncio.Protocol):
    """Writes `total` bytes in CHUNK pieces, pausing when told to."""

    def __init__(self, total):
        self.left = total
        self.paused = False
        self.transport = None
        self.block = bytes(range(256)) * (CHUNK // 256)

    def connection_made(self, transport):
        self.transport = transport

    def pump(self):
        while self.left > 0 and not self.paused:
            n = min(self.left, CHUNK)
            self.left -= n
            self.transport.write(self.block[:n])

    def pause_writing(self):
        self.paused = True

    def resume_writing(self):
        self.paused = False
        self.pump()


async def bulk_in(impl, total):
    loop = asyncio.get_running_loop()
    master, slave, name = open_pty()
    feeder = subprocess.Popen([sys.executable, "-c", FEED, str(master), str(total)], pass_fds=[master],
                              stdin=subprocess.PIPE)
    os.close(master)
    done = loop.create_future()
    try:
        if impl == "serial":
            import corvalink.aio

            transport, proto = await corvalink.aio.create_serial_connection(
                loop, lambda: Counting(total, done), name)
            await done
            rate = (proto.got - proto.first_len) / (done.result() - proto.first)
        elif impl == "pipe":
            pipe = open(open_raw(name), "rb", buffering=0)
            transport, proto = await loop.connect_read_pipe(lambda: Counting(total, done), pipe)
            await done
            rate = (proto.got - proto.first_len) / (done.result() - proto.first)
        elif impl == "serial_streams":
            import corvalink.aio

            reader, writer = await corvalink.aio.open_serial_connection(url=name)
            first = await reader.read(CHUNK)
            start, got = time.perf_counter(), 0
            while got + len(first) < total:
                got += len(await reader.read(CHUNK))
            rate = got / (time.perf_counter() - start)
            transport = writer.transport
        elif impl == "pipe_streams":
            pipe = open(open_raw(name), "rb", buffering=0)
            reader = asyncio.StreamReader(limit=2 ** 16)
            transport, _ = await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), pipe)
            first = await reader.read(CHUNK)
            start, got = time.perf_counter(), 0
            while got + len(first) < total:
                got += len(await reader.read(CHUNK))
            rate = got / (time.perf_counter() - start)
        else:
            raise ValueError(impl)
        transport.close()
        await asyncio.sleep(0)
    finally:
        feeder.stdin.close()
        feeder.wait()
        os.close(slave)
    return {"rate": rate}


async def bulk_out(impl, total):
    loop = asyncio.get_running_loop()
    master, slave, name = open_pty()
    done_r, done_w = os.pipe()
    sink = subprocess.Popen([sys.executable, "-c", SINK, str(master), str(total), str(done_w)],
                            pass_fds=[master, done_w])
    os.close(master)
    os.close(done_w)
    finished = loop.create_future()
    loop.add_reader(done_r, lambda: finished.done() or finished.set_result(time.perf_counter()))
    try:
        block = bytes(range(256)) * (CHUNK // 256)
        # Timed from the first write, once the connection is made.
        if impl == "serial":
            import corvalink.aio

            transport, proto = await corvalink.aio.create_serial_connection(loop, lambda: Sending(total), name)
            await asyncio.sleep(0)  # connection_made
            start = time.perf_counter()
            proto.pump()
        elif impl == "pipe":
            pipe = open(open_raw(name), "wb", buffering=0)
            transport, proto = await loop.connect_write_pipe(lambda: Sending(total), pipe)
            start = time.perf_counter()
            proto.pump()
        elif impl in ("serial_streams", "pipe_streams"):
            if impl == "serial_streams":
                import corvalink.aio

                _, writer = await corvalink.aio.open_serial_connection(url=name)
            else:
                pipe = open(open_raw(name), "wb", buffering=0)
                transport, proto = await loop.connect_write_pipe(
                    lambda: asyncio.StreamReaderProtocol(asyncio.StreamReader()), pipe)
                writer = asyncio.StreamWriter(transport, proto, None, loop)
            start = time.perf_counter()
            left = total
            while left > 0:
                n = min(left, CHUNK)
                left -= n
                writer.write(block[:n])
                await writer.drain()
            transport = writer.transport
        else:
            raise ValueError(impl)
        end = await finished
        transport.close()
        await asyncio.sleep(0)
    finally:
        loop.remove_reader(done_r)
        os.close(done_r)
        sink.wait()
        os.close(slave)
    return {"rate": total / (end - start)}


# --- many echoing ptys -------------------------------------------------------------


class PingPong(asyncio.Protocol):
    counter = 0
    lost = 0

    def __init__(self):
        self.got = 0

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.got += len(data)
        while self.got >= 16:
            self.got -= 16
            PingPong.counter += 1
            self.transport.write(MSG)

    def connection_lost(self, exc):
        PingPong.lost += 1


async def many(impl, n, seconds):
    loop = asyncio.get_running_loop()
    ptys = [open_pty() for _ in range(n)]
    masters = [m for m, _, _ in ptys]
    echo = subprocess.Popen([sys.executable, "-c", ECHO_MANY, *map(str, masters)], pass_fds=masters)
    for m in masters:
        os.close(m)
    rss0 = peak_rss_mib()
    cleanup = []
    counter = 0
    try:
        if impl == "serial":
            import corvalink.aio

            transports = []
            for _, _, name in ptys:
                t, _ = await corvalink.aio.create_serial_connection(loop, PingPong, name)
                transports.append(t)
            await asyncio.sleep(0.01)
            PingPong.counter = 0
            cpu0, start = cpu_seconds(), time.perf_counter()
            for t in transports:
                t.write(MSG)
            await asyncio.sleep(seconds)
            counter, elapsed = PingPong.counter, time.perf_counter() - start

            async def close_transports():
                for t in transports:
                    t.close()
                for _ in range(200):  # connection_lost runs on this loop, after the port drained
                    if PingPong.lost == n:
                        break
                    await asyncio.sleep(0.05)

            cleanup = [close_transports]
        else:
            fds = [os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) for _, _, name in ptys]
            counts = [0] * n

            def readable(i, fd):
                nonlocal counter
                try:
                    data = os.read(fd, 4096)
                except BlockingIOError:
                    return
                counts[i] += len(data)
                while counts[i] >= 16:
                    counts[i] -= 16
                    counter += 1
                    os.write(fd, MSG)

            for i, fd in enumerate(fds):
                loop.add_reader(fd, readable, i, fd)
            cpu0, start = cpu_seconds(), time.perf_counter()
            for fd in fds:
                os.write(fd, MSG)
            await asyncio.sleep(seconds)
            counter, elapsed = counter, time.perf_counter() - start

            async def close_raw():
                for fd in fds:
                    loop.remove_reader(fd)
                    os.close(fd)

            cleanup = [close_raw]
        cpu = cpu_seconds() - cpu0
        peak = peak_rss_mib()
    finally:
        for c in cleanup:
            await c()
        for _, slave, _ in ptys:
            os.close(slave)
        await asyncio.to_thread(echo.wait)  # it ends when every slave side is closed
    return {"rate": counter / elapsed, "cpu": cpu / elapsed, "peak": peak, "peak_growth": peak - rss0}


async def idle(impl, n, seconds):
    loop = asyncio.get_running_loop()
    ptys = [open_pty() for _ in range(n)]
    closers = []
    try:
        if impl == "serial":
            import corvalink.aio

            for _, _, name in ptys:
                t, _ = await corvalink.aio.create_serial_connection(loop, asyncio.Protocol, name)
                closers.append(t.close)
        else:
            for _, _, name in ptys:
                fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                loop.add_reader(fd, os.read, fd, 4096)
                closers.append(lambda fd=fd: (loop.remove_reader(fd), os.close(fd)))
        await asyncio.sleep(1.2)  # past the first one-second read restart
        cpu0, start = cpu_seconds(), time.perf_counter()
        await asyncio.sleep(seconds)
        share = (cpu_seconds() - cpu0) / (time.perf_counter() - start)
    finally:
        for c in closers:
            c()
        await asyncio.sleep(0.05)
        for m, s, _ in ptys:
            os.close(m)
            os.close(s)
    return {"cpu": share}


CASES = {"bulk_in": bulk_in, "bulk_out": bulk_out, "many": many, "idle": idle}


def child(argv):
    """Runs one measurement: CASE LOOP IMPL ARGS... and prints it as JSON."""
    case, kind, impl, *rest = argv
    loop = new_loop(kind)
    try:
        numbers = [int(rest[0]), *map(float, rest[1:])]
        result = loop.run_until_complete(CASES[case](impl, *numbers))
    finally:
        loop.close()
    print(json.dumps(result))


def measure(case, kind, impl, *args):
    out = subprocess.run([sys.executable, "-P", os.path.abspath(__file__), "--child", case, kind, impl,
                          *map(str, args)], capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise RuntimeError(f"{case} {kind} {impl} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def paired(case, kind, impls, args, trials):
    runs = {impl: [] for impl in impls}
    for t in range(trials):
        for k in range(len(impls)):
            impl = impls[(t + k) % len(impls)]
            runs[impl].append(measure(case, kind, impl, *args))
    return [runs[i] for i in impls]


def med(runs, key):
    return statistics.median(r[key] for r in runs)


def ratio_text(base, ours, key, goal):
    ratios = [b[key] / a[key] for a, b in zip(base, ours)]
    return f"ratio {statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f}; goal >= {goal})"


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(sys.argv[2:])
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller transfers, fewer trials, 64 ptys only")
    ap.add_argument("--uvloop", action="store_true", help="also run the bulk and 64-pty cases on uvloop")
    args = ap.parse_args()
    trials = 2 if args.quick else 5
    total = (2 if args.quick else 16) * 1024 * 1024
    seconds = 1.0 if args.quick else 2.0
    mb = 1024 * 1024

    kinds = ["asyncio", "uvloop"] if args.uvloop else ["asyncio"]
    for kind in kinds:
        print(f"--- {kind} event loop ---")
        for case, label in (("bulk_in", "bulk in "), ("bulk_out", "bulk out")):
            base, ours = paired(case, kind, ["pipe", "serial"], [total], trials)
            print(f"{label}  Protocol  connect_{'read' if case == 'bulk_in' else 'write'}_pipe "
                  f"{med(base, 'rate') / mb:7.1f} MB/s   SerialTransport {med(ours, 'rate') / mb:7.1f} MB/s   "
                  f"{ratio_text(base, ours, 'rate', '1.0')}")
            base, ours = paired(case, kind, ["pipe_streams", "serial_streams"], [total], trials)
            print(f"{label}  streams   over pipe transports {med(base, 'rate') / mb:7.1f} MB/s   "
                  f"open_serial_connection {med(ours, 'rate') / mb:7.1f} MB/s   {ratio_text(base, ours, 'rate', '1.0')}")
        counts = [64] if args.quick or kind == "uvloop" else [64, 256]
        for n in counts:
            base, ours = paired("many", kind, ["raw", "serial"], [n, seconds], trials)
            print(f"{n:3d} ptys echoing  add_reader {med(base, 'rate'):9,.0f} msg/s   transports "
                  f"{med(ours, 'rate'):9,.0f} msg/s   {ratio_text(base, ours, 'rate', '0.8')}")
            # CPU per message: this process's CPU time over the messages it echoed.
            per = [(b["cpu"] / b["rate"]) / (a["cpu"] / a["rate"]) for a, b in zip(base, ours)]
            print(f"                 CPU {med(base, 'cpu') * 100:.0f} % / {med(ours, 'cpu') * 100:.0f} % of one core;"
                  f" per message {med(base, 'cpu') / med(base, 'rate') * 1e6:.1f} / "
                  f"{med(ours, 'cpu') / med(ours, 'rate') * 1e6:.1f} us, ratio {statistics.median(per):.2f} "
                  f"({min(per):.2f}-{max(per):.2f}; goal <= 1.3)")
            print(f"                 peak RSS {med(base, 'peak'):.1f} / {med(ours, 'peak'):.1f} MiB"
                  f" (grown during the run {med(base, 'peak_growth'):.1f} / {med(ours, 'peak_growth'):.1f} MiB)")
    n = 256
    base, ours = paired("idle", "asyncio", ["raw", "serial"], [n, 1.5 if args.quick else 4.0], 1 if args.quick else 3)
    print(f"{n} idle        add_reader {med(base, 'cpu') * 100:.2f} % of one core   transports "
          f"{med(ours, 'cpu') * 100:.2f} % (goal <= 0.5 %)")
    print(f"(cpus available: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
