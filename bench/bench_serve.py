"""The port server (corvalink.tools.serve) against ser2net, serving the same
pseudo-terminals, measured in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_serve.py [--quick]

1. Through one pseudo-terminal, our client (corvalink.Serial) on both
   servers: bulk in and out and 16-byte round trips, raw (socket://) and
   RFC 2217 (rfc2217://). Trials alternate between the servers, each on a
   fresh connection; each figure is the median with the spread (lowest to
   highest trial), and the ratio the median per-trial ratio ours / ser2net.
2. 64 pseudo-terminals served by one process of each: data both ways on all
   of them at once, driven by this process with plain sockets; the server's
   CPU time (user + system, from /proc) per MB moved, ours / ser2net.

The payload has no 0xFF byte, so the plain sockets of part 2 need no Telnet
decoding beyond skipping the servers' opening negotiation. Asserts nothing.
"""

import argparse
import contextlib
import os
import pathlib
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import corvalink

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_net import CHUNK, MSG, PAYLOAD, Device, Port, bulk_in, bulk_out, round_trips  # noqa: E402
from net_peers import SER2NET, Line, _die_with_parent, listening, wait_until  # noqa: E402
from serve_peers import free_ports  # noqa: E402

MB = 1024 * 1024


class Servers:
    """ser2net and our server, each with a raw and an RFC 2217 accepter for
    every line (each server on TCP ports of its own)."""

    def __init__(self, lines):
        self.lines = lines
        self.dir = tempfile.mkdtemp(prefix="corvalink-bench-serve-")
        picked = iter(free_ports(4 * len(lines)))
        self.ports = {name: {scheme: [next(picked) for _ in lines] for scheme in ("socket", "rfc2217")}
                      for name in ("ser2net", "ours")}
        config = ["%YAML 1.1", "---"]
        for i, line in enumerate(lines):
            for scheme, accepter in (("socket", "tcp"), ("rfc2217", "telnet(rfc2217),tcp")):
                config += [f"connection: &c{scheme}{i}",
                           f"  accepter: {accepter},127.0.0.1,{self.ports['ser2net'][scheme][i]}",
                           f"  connector: serialdev,{line.path},9600n81,local",
                           "  options:", "    chardelay: false"]
        path = pathlib.Path(self.dir, "ser2net.yaml")
        path.write_text("\n".join(config) + "\n")
        self.procs = {
            "ser2net": subprocess.Popen([SER2NET, "-n", "-d", "-c", str(path)], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=_die_with_parent),
            "ours": subprocess.Popen(
                [sys.executable, "-P", "-m", "corvalink.tools.serve", "--log-level", "warning"]
                + [f"{'raw' if scheme == 'socket' else 'rfc2217'}:{self.ports['ours'][scheme][i]}={line.path}"
                   for i, line in enumerate(lines) for scheme in ("socket", "rfc2217")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, preexec_fn=_die_with_parent),
        }
        every = [p for name in self.ports for scheme in self.ports[name] for p in self.ports[name][scheme]]
        if not wait_until(lambda: all(listening(p) for p in every), 30):
            self.close()
            raise RuntimeError("the servers did not start")

    def url(self, name, scheme, i=0):
        return f"{scheme}://127.0.0.1:{self.ports[name][scheme][i]}"

    def holds(self, name, path):
        fds = f"/proc/{self.procs[name].pid}/fd"
        for fd in os.listdir(fds):
            with contextlib.suppress(OSError):
                if os.readlink(f"{fds}/{fd}") == path:
                    return True
        return False

    def cpu(self, name):
        """User + system seconds of the server so far."""
        with open(f"/proc/{self.procs[name].pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        for proc in self.procs.values():
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        with contextlib.suppress(OSError):
            for f in pathlib.Path(self.dir).iterdir():
                f.unlink()
            os.rmdir(self.dir)


def connect(servers, name, scheme, line, device):
    """Our client on a path to the device known to work: each server opens
    the device for the client only, so the other must have let go of it."""
    device.start("echo", 1)
    deadline = time.monotonic() + 15
    while True:
        wait_until(lambda: not any(servers.holds(n, line.path) for n in servers.procs), 10)
        client = None
        try:
            client = Port(servers.url(name, scheme))
            client.write(MSG)
            if client.read_exactly(16, check=True) == MSG:
                device.wait()
                return client
        except OSError:
            pass
        if client:
            client.close()
        if time.monotonic() > deadline:
            raise RuntimeError(f"no working connection through {name} ({scheme})")


def one_port(servers, line, quick):
    trials = 4 if quick else 8
    total = (2 if quick else 8) * MB
    rounds = 1000 if quick else 3000
    device = Device(line)
    try:
        for scheme in ("socket", "rfc2217"):
            for label, measure, arg, unit, scale in [
                ("bulk in", bulk_in, total, "MB/s", MB),
                ("bulk out", bulk_out, total, "MB/s", MB),
                ("16-byte round trips", round_trips, rounds, "rt/s", 1),
            ]:
                runs = {"ser2net": [], "ours": []}
                for t in range(trials):
                    for name in ("ser2net", "ours") if t % 2 == 0 else ("ours", "ser2net"):
                        client = connect(servers, name, scheme, line, device)
                        try:
                            runs[name].append(measure(client, device, arg) / scale)
                        finally:
                            client.close()
                ratio = statistics.median(o / s for s, o in zip(runs["ser2net"], runs["ours"]))
                shown = "   ".join(f"{name} {statistics.median(r):8.1f} {unit} ({min(r):.1f}..{max(r):.1f})"
                                   for name, r in runs.items())
                print(f"{scheme:8} {label:20} {shown}   ratio {ratio:.2f} (goal >= 1.0)", flush=True)
    finally:
        device.close()


def many_ports(servers, lines, name, scheme, per_line):
    """Moves per_line bytes each way on every line at once through one
    server; its CPU seconds per MB moved."""
    sel = selectors.DefaultSelector()
    socks = []
    try:
        for i in range(len(lines)):
            s = socket.create_connection(("127.0.0.1", servers.ports[name][scheme][i]), timeout=10)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            socks.append(s)
        # Each server opens the device once the client is there: one byte each
        # way through every line shows it has (and skips the negotiation).
        for i, s in enumerate(socks):
            deadline = time.monotonic() + 10
            got = False
            while not got and time.monotonic() < deadline:
                s.sendall(b"!")
                lines[i].drain()
                time.sleep(0.02)
                with contextlib.suppress(BlockingIOError):
                    got = b"!" in os.read(lines[i].master, 100)
            lines[i].drain()
            os.write(lines[i].master, b"#")
            s.settimeout(10)
            seen = b""
            while not seen.endswith(b"#"):
                seen += s.recv(100)
            s.setblocking(False)
        start_cpu = servers.cpu(name)
        start = time.perf_counter()
        to_sock = {i: per_line for i in range(len(lines))}  # still to send from the device
        to_dev = dict(to_sock)  # still to send from the client
        at_sock = dict(to_sock)  # still to arrive at the client
        at_dev = dict(to_sock)
        for i, s in enumerate(socks):
            sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, ("sock", i))
            sel.register(lines[i].master, selectors.EVENT_READ | selectors.EVENT_WRITE, ("dev", i))
        deadline = time.monotonic() + 300
        # (> 0: a server may send a Telnet command more, counted as data here)
        while any(v > 0 for v in (*at_sock.values(), *at_dev.values())) and time.monotonic() < deadline:
            for key, events in sel.select(1):
                kind, i = key.data
                if events & selectors.EVENT_READ:
                    try:
                        n = len(socks[i].recv(CHUNK) if kind == "sock" else os.read(lines[i].master, CHUNK))
                    except (BlockingIOError, InterruptedError):
                        n = 0
                    if kind == "sock":
                        at_sock[i] -= n
                    else:
                        at_dev[i] -= n
                if events & selectors.EVENT_WRITE:
                    left = to_dev[i] if kind == "sock" else to_sock[i]
                    if left:
                        try:
                            n = socks[i].send(PAYLOAD[:min(left, CHUNK)]) if kind == "sock" else \
                                os.write(lines[i].master, PAYLOAD[:min(left, CHUNK)])
                        except (BlockingIOError, InterruptedError):
                            n = 0
                        if kind == "sock":
                            to_dev[i] -= n
                        else:
                            to_sock[i] -= n
                    else:
                        sel.modify(key.fileobj, selectors.EVENT_READ, key.data)
        if time.monotonic() >= deadline:
            raise RuntimeError(f"{name} ({scheme}) did not move the data within 300 s")
        elapsed = time.perf_counter() - start
        cpu = servers.cpu(name) - start_cpu
        moved = 2 * per_line * len(lines) / MB
        return cpu / moved, moved / elapsed
    finally:
        sel.close()
        for s in socks:
            s.close()
        for name_ in servers.procs:
            wait_until(lambda: not any(servers.holds(name_, line.path) for line in lines), 10)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller transfers, fewer trials")
    ap.add_argument("--ports", type=int, default=64, help="pseudo-terminals in the second part (default 64)")
    ap.add_argument("--only", choices=("one", "many"), help="run only the first or the second part")
    args = ap.parse_args()
    lines = [Line() for _ in range(args.ports)]
    servers = Servers(lines)
    try:
        if args.only != "many":
            print("one pseudo-terminal, our client through each server:")
            one_port(servers, lines[0], args.quick)
        if args.only == "one":
            return
        per_line = (64 if args.quick else 256) * 1024
        trials = 2 if args.quick else 3
        print(f"\n{len(lines)} pseudo-terminals served by one process, {per_line // 1024} KiB each way on each:")
        for scheme in ("socket", "rfc2217"):
            runs = {"ser2net": [], "ours": []}
            for t in range(trials):
                for name in ("ser2net", "ours") if t % 2 == 0 else ("ours", "ser2net"):
                    runs[name].append(many_ports(servers, lines, name, scheme, per_line))
            cpu = {name: statistics.median(r[0] for r in rs) for name, rs in runs.items()}
            rate = {name: statistics.median(r[1] for r in rs) for name, rs in runs.items()}
            spread = {name: (min(r[0] for r in rs), max(r[0] for r in rs)) for name, rs in runs.items()}
            shown = "   ".join(f"{name} {cpu[name] * 1000:6.1f} ms/MB ({spread[name][0] * 1000:.1f}.."
                               f"{spread[name][1] * 1000:.1f}), {rate[name]:5.1f} MB/s" for name in cpu)
            print(f"{scheme:8} CPU per MB moved: {shown}   ours/ser2net {cpu['ours'] / cpu['ser2net']:.2f} "
                  "(goal <= 1.0)", flush=True)
    finally:
        servers.close()
        for line in lines:
            line.close()
    print(f"(cpus available: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
