"""Network ports through ser2net: corvalink.Serial on socket:// and rfc2217://
against a plain Python TCP client (socket with recv_into/sendall) through the
same ser2net accepter, measured in the same run.

    PYTHONPATH=build/release/python python3.14 -P bench/bench_net.py [--quick]

ser2net serves a pseudo-terminal whose master side is a separate process
(the device: it swallows, sends or echoes). Each figure is the median over
alternating trials, each trial on a fresh connection; the ratio is the
median per-trial ratio (corvalink / plain socket). The payload has no 0xFF
byte, so the plain client needs no Telnet escaping on the RFC 2217
accepter; it drains ser2net's opening negotiation and asks for binary mode,
nothing more. Asserts nothing.
"""

import argparse
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import time

import corvalink

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from net_peers import Ser2net  # noqa: E402

CHUNK = 65536
PAYLOAD = bytes(i % 255 for i in range(CHUNK))  # no 0xFF
MSG = b"0123456789abcdef"

# The device on the pseudo-terminal's master side: one command per line on
# stdin ("sink N", "source N", "echo N" for N round trips), "done" on stdout.
DEVICE = r"""
import os, sys
fd = int(sys.argv[1])
block = bytes(i % 255 for i in range(65536))
for line in sys.stdin:
    cmd, n = line.split()
    n = int(n)
    if cmd == "sink":
        while n > 0:
            n -= len(os.read(fd, min(n, 65536)))
    elif cmd == "source":
        while n > 0:
            n -= os.write(fd, block[:min(n, 65536)])
    elif cmd == "echo":
        for _ in range(n):
            got = b""
            while len(got) < 16:
                got += os.read(fd, 16 - len(got))
            os.write(fd, got)
    print("done", flush=True)
"""


class Device:
    def __init__(self, line):
        os.set_blocking(line.master, True)
        self.proc = subprocess.Popen([sys.executable, "-c", DEVICE, str(line.master)], pass_fds=[line.master],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def start(self, cmd, n):
        self.proc.stdin.write(f"{cmd} {n}\n")
        self.proc.stdin.flush()

    def wait(self):
        assert self.proc.stdout.readline().strip() == "done"

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(10)


# --- the two clients ------------------------------------------------------------

class Plain:
    """socket + recv_into/sendall; on the RFC 2217 accepter it drains the
    server's opening negotiation and asks for binary mode both ways."""

    def __init__(self, host, port, telnet):
        self.sock = socket.create_connection((host, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray(CHUNK)
        self.view = memoryview(self.buf)
        if telnet:
            self.sock.sendall(bytes([255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3]))
            self.sock.settimeout(0.1)
            try:
                while self.sock.recv(4096):
                    pass
            except TimeoutError:
                pass
            self.sock.settimeout(None)

    def read_exactly(self, n, check=False):
        if check:  # short, and whatever comes (within 5 s) is returned
            self.sock.settimeout(5)
            got = bytearray()
            while len(got) < n:
                chunk = self.sock.recv(n - len(got))
                if not chunk:
                    break
                got += chunk
            self.sock.settimeout(None)
            return bytes(got)
        while n > 0:
            n -= self.sock.recv_into(self.view[:min(n, CHUNK)])

    def write(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()


class Port:
    def __init__(self, url):
        self.port = corvalink.Serial(url, timeout=5)  # for the first round trip; then none

    def read_exactly(self, n, check=False):
        if check:
            got = self.port.read(n)
            self.port.timeout = None
            return got
        while n > 0:
            n -= len(self.port.read(min(n, CHUNK)))

    def write(self, data):
        self.port.write(data)

    def close(self):
        self.port.close()


def connect(make, device, server, scheme):
    """A client whose path to the device is known to work. ser2net turns a
    client away while it still holds the device for the last one (it says
    so and hangs up), and opens the device only after accepting the
    connection; one echoed message shows the path works."""
    device.start("echo", 1)
    deadline = time.monotonic() + 10
    while True:
        server.released(scheme)
        client = None
        try:
            client = make()
            client.write(MSG)
            if client.read_exactly(16, check=True) == MSG:
                device.wait()
                return client
        except OSError:
            pass
        if client:
            client.close()
        if time.monotonic() > deadline:
            raise RuntimeError(f"no working connection to the {scheme} accepter")


# --- the measurements -----------------------------------------------------------

def bulk_in(client, device, total):
    device.start("source", total)
    start = time.perf_counter()
    client.read_exactly(total)
    t = time.perf_counter() - start
    device.wait()
    return total / t


def bulk_out(client, device, total):
    device.start("sink", total)
    start = time.perf_counter()
    left = total
    while left > 0:
        client.write(PAYLOAD[:min(left, CHUNK)])
        left -= CHUNK
    device.wait()
    return total / (time.perf_counter() - start)


def round_trips(client, device, rounds):
    device.start("echo", rounds)
    start = time.perf_counter()
    for _ in range(rounds):
        client.write(MSG)
        client.read_exactly(16)
    t = time.perf_counter() - start
    device.wait()
    return rounds / t


def paired(makers, measure, device, arg, trials, server, scheme):
    """Each maker's client in turn, the order rotating per trial; returns the
    medians and the median per-trial ratio of the second to the first."""
    runs = [[] for _ in makers]
    for t in range(trials):
        for i in (0, 1) if t % 2 == 0 else (1, 0):
            client = connect(makers[i], device, server, scheme)
            try:
                runs[i].append(measure(client, device, arg))
            finally:
                client.close()
    medians = [statistics.median(r) for r in runs]
    ratio = statistics.median(b / a for a, b in zip(runs[0], runs[1]))
    return medians, ratio


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="smaller transfers, fewer trials")
    args = ap.parse_args()
    trials = 4 if args.quick else 10
    total = (2 if args.quick else 8) * 1024 * 1024
    rounds = 1000 if args.quick else 3000
    mb = 1024 * 1024

    server = Ser2net()
    try:
        for scheme in ("socket", "rfc2217"):
            line = server.lines[scheme]
            device = Device(line)
            try:
                makers = [lambda: Plain("127.0.0.1", server.ports[scheme], scheme == "rfc2217"),
                          lambda: Port(server.url(scheme))]
                for name, measure, arg, unit, scale in [
                    ("bulk in ", bulk_in, total, "MB/s", mb),
                    ("bulk out", bulk_out, total, "MB/s", mb),
                    ("16-byte round trips", round_trips, rounds, "rt/s", 1),
                ]:
                    (plain, ours), ratio = paired(makers, measure, device, arg, trials, server, scheme)
                    print(f"{scheme:8} {name:20} plain socket {plain / scale:9.1f} {unit}   Serial "
                          f"{ours / scale:9.1f} {unit}   ratio {ratio:.2f} (target >= 0.9)", flush=True)
            finally:
                device.close()
    finally:
        server.close()
    print(f"(cpus available: {os.cpu_count()}, load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
