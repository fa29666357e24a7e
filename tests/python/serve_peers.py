"""Helpers for the tests of the port server: a PortServer running on an event
loop of its own thread, and a server run as a separate process."""

import asyncio
import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time

from corvalink.tools.serve import PortServer, ServedPort

from net_peers import listening, wait_until


class ServedThread:
    """A PortServer on its own event loop thread, for clients in the test's."""

    def __init__(self, device, protocol="rfc2217", opener=None, **settings):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="served", daemon=True)
        self.thread.start()
        self.served = ServedPort(0, device, protocol=protocol, **settings)
        self.server = PortServer(self.served, opener=opener)
        self.call(self.server.start())
        self.port = self.server.address[1]

    def call(self, coro, timeout=15):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def on_loop(self, fn):
        """fn() run on the server's loop, its result returned."""
        async def run():
            return fn()
        return self.call(run())

    def url(self, scheme=None):
        scheme = scheme or ("rfc2217" if self.served.protocol == "rfc2217" else "socket")
        return f"{scheme}://127.0.0.1:{self.port}"

    def client(self):
        return self.on_loop(lambda: self.server.client)

    def device_open(self):
        return self.on_loop(lambda: self.server.device_open)

    def connect(self):
        """A plain socket to the server."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def close(self):
        with contextlib.suppress(Exception):
            self.call(self.server.stop())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


class ServeProcess:
    """python -m corvalink.tools.serve with the given arguments, its log in a pipe."""

    def __init__(self, *args, wait_for=()):
        self.proc = subprocess.Popen([sys.executable, "-P", "-m", "corvalink.tools.serve", *args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True)
        self.ports = wait_for
        if not wait_until(lambda: self.proc.poll() is not None or all(listening(p) for p in wait_for), 15):
            self.stop()
            raise RuntimeError("the server did not start")

    def holds(self, path):
        """True while the server has path open."""
        fds = f"/proc/{self.proc.pid}/fd"
        for fd in os.listdir(fds):
            with contextlib.suppress(OSError):
                if os.readlink(f"{fds}/{fd}") == path:
                    return True
        return False

    def fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def status(self, field):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise KeyError(field)

    def stop(self, sig=signal.SIGTERM, timeout=15):
        """Sends sig; returns (exit status, the log)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            _, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        return self.proc.returncode, err


def free_ports(n):
    """n TCP ports free on 127.0.0.1 at the time of asking."""
    socks = []
    try:
        for _ in range(n):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def drain_socket(s, limit=1 << 20, quiet=0.3):
    """What s receives until it stays quiet for `quiet` seconds (bounded)."""
    out = bytearray()
    s.settimeout(quiet)
    deadline = time.monotonic() + 10
    while len(out) < limit and time.monotonic() < deadline:
        try:
            chunk = s.recv(65536)
        except TimeoutError:
            break
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    return bytes(out)
