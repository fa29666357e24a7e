"""Stand-ins for devices, for the examples of the guides (sphinx doctest).

An `Instrument` is a pseudo-terminal whose other side answers command lines
like a small bench instrument, reachable under a device name such as
/dev/ttyUSB0 (a symbolic link made for the run; tools/docs runs inside the
development root, whose /dev belongs to that run). The examples thus run the
code they show, against something that behaves like a device.
"""

import os
import re
import threading
import tty


class Instrument:
    """Answers "AT" with "OK", "*IDN?" with its name, "MEAS:VOLT?" with a
    reading; echoes anything else with "ERR" in front. Replies end in CR LF."""

    def __init__(self, name: str = "/dev/ttyUSB0") -> None:
        if os.path.lexists(name):
            raise RuntimeError(f"{name} exists: the examples run only where it can be made for them")
        self.master, self._slave = os.openpty()
        tty.setraw(self.master)
        self.pty = os.ttyname(self._slave)
        self.name = name
        os.symlink(self.pty, name)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @staticmethod
    def answer(command: str) -> str:
        if command == "AT":
            return "OK"
        if command == "*IDN?":
            return "CORVALINK,SIM-1,0001,1.0"
        if command == "MEAS:VOLT?":
            return "3.300"
        return "ERR " + command

    def _serve(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self.master, 1024)
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            while True:
                cut = min((i for i in (pending.find(b"\r"), pending.find(b"\n")) if i >= 0), default=-1)
                if cut < 0:
                    break
                line, pending = pending[:cut], pending[cut + 1 :]
                if line:
                    os.write(self.master, self.answer(line.decode(errors="replace")).encode() + b"\r\n")

    def close(self) -> None:
        # With no slave side left open the master reads EIO, which ends the
        # answering thread; then the master can go.
        os.unlink(self.name)
        os.close(self._slave)
        self._thread.join(timeout=5)
        os.close(self.master)


class TerminalServer:
    """ser2net on 127.0.0.1 (tests/python/net_peers.py) in front of a
    pseudo-terminal that answers like `Instrument`: `host` and `port` are the
    RFC 2217 accepter's address, `raw_port` the raw TCP one."""

    def __init__(self) -> None:
        from net_peers import Ser2net

        self._ser2net = Ser2net()
        self.host = "127.0.0.1"
        self.port = self._ser2net.ports["rfc2217"]
        self.raw_port = self._ser2net.ports["socket"]
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._serve, args=(line,), daemon=True)
                         for line in self._ser2net.lines.values()]
        for thread in self._threads:
            thread.start()

    def _serve(self, line) -> None:
        import select

        pending = b""
        while not self._stop.is_set():
            ready, _, _ = select.select([line.master], [], [], 0.05)
            if not ready:
                continue
            try:
                pending += os.read(line.master, 1024)
            except (BlockingIOError, OSError):
                continue
            while b"\n" in pending:
                command, pending = pending.split(b"\n", 1)
                reply = Instrument.answer(command.strip().decode(errors="replace"))
                line.send(reply.encode() + b"\r\n")

    def close(self) -> None:
        self._stop.set()
        for thread in self._threads:
            thread.join(timeout=5)
        self._ser2net.close()


def terminal_session(args: list[str], keys: list[str], pause: float = 0.3) -> tuple[int, str]:
    """Runs `python -m corvalink.tools.terminal ARGS` on a pseudo-terminal of
    its own, types each of `keys` after the other with a pause between them,
    and returns the exit status and all the tool showed (line ends as \\n)."""
    import fcntl
    import select
    import struct
    import subprocess
    import sys
    import termios
    import time

    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "TERM": "dumb"}
    proc = subprocess.Popen([sys.executable, "-P", "-m", "corvalink.tools.terminal", *args],
                            stdin=slave, stdout=slave, stderr=slave, start_new_session=True, env=env)
    os.close(slave)
    shown = bytearray()

    def pump(seconds: float) -> bool:
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if select.select([master], [], [], 0.05)[0]:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the tool ended and its side closed
                    return False
                if not chunk:
                    return False
                shown.extend(chunk)
        return True

    try:
        pump(1.0)
        for key in keys:
            os.write(master, key.encode())
            pump(pause)
        status = proc.wait(10)
        while pump(0.2):
            pass
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        os.close(master)
    # What the screen shows: the resets of attributes and modes the tool
    # sends on its way out leave nothing visible.
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", shown.decode(errors="replace"))
    return status, text.replace("\r\n", "\n")
