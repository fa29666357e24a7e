"""Peers for the network ports: ser2net serving pseudo-terminals, and a small
scripted server that speaks just enough Telnet and COM-PORT-OPTION to do on
demand what ser2net will not (refuse, stay silent, reject a setting, split
commands, hang up). Also used by bench/bench_net.py."""

import contextlib
import ctypes
import fcntl
import os
import pathlib
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
BINARY, SGA, COM_PORT = 0, 3, 44


def listening(port):
    """True once something listens on 127.0.0.1:port (read from /proc)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with contextlib.suppress(OSError), open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if int(fields[1].rsplit(":", 1)[1], 16) == port and fields[3] == "0A":
                    return True
    return False


# struct termios2 as the kernel holds it: the speeds are plain numbers there.
TCGETS2 = 0x802C542A
TERMIOS2 = struct.Struct("=4IB19s2I")


def speeds(fd):
    """The input and output speed of a terminal, in bits per second."""
    fields = TERMIOS2.unpack(fcntl.ioctl(fd, TCGETS2, bytes(TERMIOS2.size)))
    return fields[6], fields[7]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Line:
    """A pseudo-terminal whose slave ser2net opens; the test is the device on
    the master. A second descriptor of the slave stays open so the line
    never hangs up between connections, and serves for termios read-back."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)

    def send(self, data):
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(self.master, view):]
            except BlockingIOError:
                time.sleep(0.001)

    def receive(self, n, timeout=10.0):
        """Exactly n bytes from the master side (fewer if it stays silent)."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while len(out) < n and time.monotonic() < deadline:
            try:
                chunk = os.read(self.master, n - len(out))
            except BlockingIOError:
                time.sleep(0.001)
                continue
            out += chunk
        return bytes(out)

    def drain(self):
        """Throws away what is waiting on the master side."""
        with contextlib.suppress(BlockingIOError):
            while os.read(self.master, 65536):
                pass

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Ser2net:
    """ser2net on 127.0.0.1 with a raw and an RFC 2217 accepter, each on a
    pseudo-terminal of its own, started in the foreground from a config in a
    temporary directory and stopped by close()."""

    def __init__(self):
        self.lines = {"socket": Line(), "rfc2217": Line()}
        self.dir = tempfile.mkdtemp(prefix="corvalink-ser2net-")
        self.proc = None
        for _attempt in range(5):  # a port taken between the pick and the bind
            self.ports = {"socket": free_port(), "rfc2217": free_port()}
            if self._start():
                return
        self.close()
        raise RuntimeError("ser2net did not start")

    def _start(self):
        # No character delay: ser2net would otherwise hold what the device
        # sends for a few character times, to send it in fewer packets.
        config = pathlib.Path(self.dir, "ser2net.yaml")
        config.write_text(
            "%YAML 1.1\n---\n"
            f"connection: &raw\n  accepter: tcp,127.0.0.1,{self.ports['socket']}\n"
            f"  connector: serialdev,{self.lines['socket'].path},9600n81,local\n"
            "  options:\n    chardelay: false\n"
            f"connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{self.ports['rfc2217']}\n"
            f"  connector: serialdev,{self.lines['rfc2217'].path},9600n81,local\n"
            "  options:\n    chardelay: false\n")
        self.proc = subprocess.Popen([SER2NET, "-n", "-d", "-c", str(config)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            if all(listening(p) for p in self.ports.values()):
                return True
            time.sleep(0.01)
        self.proc.kill()
        self.proc.wait()
        return False

    def url(self, scheme, query=""):
        return f"{scheme}://127.0.0.1:{self.ports[scheme]}{query}"

    def holds(self, scheme):
        """True while ser2net has the line's device open (a client is
        connected, or it is still letting go of one). While it does, a new
        client of that accepter is turned away."""
        path = self.lines[scheme].path
        fds = f"/proc/{self.proc.pid}/fd"
        for fd in os.listdir(fds):
            with contextlib.suppress(OSError):
                if os.readlink(f"{fds}/{fd}") == path:
                    return True
        return False

    def released(self, scheme, timeout=10.0):
        """Waits until ser2net has let go of the line's device."""
        return wait_until(lambda: not self.holds(scheme), timeout)

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for line in self.lines.values():
            line.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def _die_with_parent():
    """In the child: ser2net goes when the process that started it does,
    however that ends (PR_SET_PDEATHSIG)."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class ClientStream:
    """The server's view of what the client sends: data and, unless raw,
    Telnet commands."""

    def __init__(self, raw=False):
        self.raw = raw
        self.data = bytearray()
        self.events = []  # ("will"|"wont"|"do"|"dont", option) or ("sb", option, payload)
        self._state = "data"
        self._verb = None
        self._sb = bytearray()

    def feed(self, chunk):
        if self.raw:
            self.data += chunk
            return
        verbs = {WILL: "will", WONT: "wont", DO: "do", DONT: "dont"}
        for b in chunk:
            if self._state == "data":
                if b == IAC:
                    self._state = "iac"
                else:
                    self.data.append(b)
            elif self._state == "iac":
                if b == IAC:
                    self.data.append(IAC)
                    self._state = "data"
                elif b in verbs:
                    self._verb, self._state = verbs[b], "verb"
                elif b == SB:
                    self._sb.clear()
                    self._state = "sb"
                else:
                    self._state = "data"
            elif self._state == "verb":
                self.events.append((self._verb, b))
                self._state = "data"
            elif self._state == "sb":
                if b == IAC:
                    self._state = "sb-iac"
                else:
                    self._sb.append(b)
            elif self._state == "sb-iac":
                if b == SE:
                    self.events.append(("sb", self._sb[0], bytes(self._sb[1:])))
                    self._state = "data"
                else:
                    self._sb.append(b)
                    self._state = "sb"


def subneg(payload):
    """IAC SB COM-PORT-OPTION payload IAC SE, with 0xFF doubled."""
    return bytes([IAC, SB, COM_PORT]) + bytes(payload).replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])


class ScriptedServer:
    """One connection on 127.0.0.1 (or ::1) at a time, served by a thread.

    With telnet=True it negotiates as a COM-PORT-OPTION server and answers
    every command with its own value unless `answer(command, value)` says
    otherwise (None: no answer at all). `refuse` refuses COM-PORT-OPTION,
    `binary=False` refuses binary mode both ways, `silent` never sends
    anything, `echo` sends the data back, `greeting` is sent as soon as a
    connection is accepted (before the Telnet offer). The test
    sends raw bytes with send(), ends the connection with hang_up(reset=...),
    and looks at `stream`."""

    def __init__(self, telnet=True, refuse=False, silent=False, answer=None, family=socket.AF_INET, echo=False,
                 greeting=b"", binary=True):
        self.telnet, self.refuse, self.silent, self.echo = telnet, refuse, silent, echo
        self.greeting, self.binary = greeting, binary
        self.answer = answer or (lambda command, value: value)
        self.listener = socket.socket(family)
        self.listener.bind(("::1" if family == socket.AF_INET6 else "127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.host = "[::1]" if family == socket.AF_INET6 else "127.0.0.1"
        self.stream = ClientStream(raw=not telnet)
        self.reading = threading.Event()
        self.reading.set()
        self.conn = None
        self.connected = threading.Event()
        self.lock = threading.Lock()
        self.sending = threading.Lock()
        self.stop = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def url(self, query=""):
        return f"{'rfc2217' if self.telnet else 'socket'}://{self.host}:{self.port}{query}"

    def _serve(self):
        self.listener.settimeout(0.05)
        while not self.stop:
            try:
                conn, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.settimeout(0.02)
            with self.lock:
                self.conn = conn
                self.stream = ClientStream(raw=not self.telnet)
            self.connected.set()
            if self.greeting:
                self.send(self.greeting)
            if self.telnet and not self.silent:
                binary = [IAC, DO, BINARY, IAC, WILL, BINARY] if self.binary else [IAC, DONT, BINARY, IAC, WONT, BINARY]
                self.send(bytes(binary + [IAC, DO, SGA, IAC, WILL, SGA]))
            self._read(conn)
            conn.close()

    def _read(self, conn):
        seen = echoed = 0
        while not self.stop:
            if not self.reading.is_set():
                time.sleep(0.01)
                continue
            try:
                chunk = conn.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                self.stream.feed(chunk)
                events = self.stream.events[seen:]
                seen = len(self.stream.events)
                back = bytes(self.stream.data[echoed:]) if self.echo else b""
                echoed = len(self.stream.data)
            if back:
                self.send(back.replace(b"\xff", b"\xff\xff") if self.telnet else back)
            if self.telnet and not self.silent:
                for event in events:
                    self._respond(event)

    def _respond(self, event):
        if event == ("will", COM_PORT):
            self.send(bytes([IAC, DONT if self.refuse else DO, COM_PORT]))
        elif event[0] == "sb" and event[1] == COM_PORT and event[2]:
            command, value = event[2][0], event[2][1:]
            if command in (10, 11):  # the masks are not answered here
                return
            reply = self.answer(command, value)
            if reply is not None:
                self.send(subneg([command + 100, *reply]))

    def commands(self, command=None):
        """The COM-PORT-OPTION commands received, as (command, value)."""
        with self.lock:
            found = [(e[2][0], e[2][1:]) for e in self.stream.events if e[0] == "sb" and e[1] == COM_PORT]
        return [c for c in found if command is None or c[0] == command]

    def data(self):
        with self.lock:
            return bytes(self.stream.data)

    def send(self, data):
        """Sends all of data unless the connection ends first."""
        self.connected.wait(5)
        with self.lock:
            conn = self.conn
        if conn is None:
            return
        with self.sending:
            view = memoryview(data)
            while view and not self.stop:
                try:
                    view = view[conn.send(view):]
                except TimeoutError:  # the client reads slowly: keep at it
                    continue
                except OSError:
                    return

    def hang_up(self, reset=False):
        with self.lock:
            conn, self.conn = self.conn, None
        if conn is None:
            return
        if reset:  # an abortive close: RST instead of FIN
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()
            return
        # An orderly close: FIN after what was sent. The reading thread goes
        # on reading until the client closes too, so what the client sends
        # meanwhile (answers to commands) never turns the close into a reset.
        try:
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            conn.close()

    def close(self):
        self.stop = True
        self.hang_up()
        self.listener.close()
        self.thread.join(5)


# --- a hostile server in a process of its own -----------------------------------

NOP = 241
# What the server sends without end once the client has sent "!", by mode.
FLOODS = {
    "nop": bytes([IAC, NOP]) * 8192,
    # One subnegotiation that never ends (the first chunk opens it).
    "endless-sb": b"x" * 16384,
    "do-99": bytes([IAC, DO, 99]) * 5461,
    # An option switched on and off: every command needs an answer.
    "toggle": bytes([IAC, DONT, BINARY, IAC, DO, BINARY]) * 2730,
}


class HostileServer:
    """A server in a process of its own (so its flood does not compete with
    the test for the interpreter). It negotiates and answers as a
    COM-PORT-OPTION server (or, for socket://, only reads) until the client
    sends b"!", then sends FLOODS[mode] over and over and reads nothing more,
    for at most `seconds` or `limit` bytes, and exits once the client has
    gone. Listens on 127.0.0.1 or ::1."""

    def __init__(self, mode, telnet=True, family=socket.AF_INET, seconds=20.0, limit=8 << 30):
        host = "::1" if family == socket.AF_INET6 else "127.0.0.1"
        self.proc = subprocess.Popen(
            [sys.executable, "-P", __file__, "flood", mode, host, "1" if telnet else "0", str(seconds), str(limit)],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait(5)
            raise OSError("the hostile server did not start")
        self.port = int(line)
        self.host = "[::1]" if family == socket.AF_INET6 else "127.0.0.1"
        self.telnet = telnet

    def url(self, query=""):
        return f"{'rfc2217' if self.telnet else 'socket'}://{self.host}:{self.port}{query}"

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


def _flood_main(mode, host, telnet, seconds, limit):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    deadline = time.monotonic() + float(seconds)
    with socket.socket(family) as listener:
        listener.bind((host, 0))
        listener.listen(1)
        listener.settimeout(float(seconds))
        print(listener.getsockname()[1], flush=True)
        conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    conn.settimeout(0.05)
    stream = ClientStream(raw=telnet != "1")
    if telnet == "1":
        conn.sendall(bytes([IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, SGA, IAC, WILL, SGA]))
    seen = 0
    while b"!" not in stream.data and time.monotonic() < deadline:
        try:
            chunk = conn.recv(65536)
        except TimeoutError:
            continue
        if not chunk:
            return
        stream.feed(chunk)
        for event in stream.events[seen:]:
            if event == ("will", COM_PORT):
                conn.sendall(bytes([IAC, DO, COM_PORT]))
            elif event[0] == "sb" and event[1] == COM_PORT and event[2] and event[2][0] not in (10, 11):
                conn.sendall(subneg([event[2][0] + 100, *event[2][1:]]))
        seen = len(stream.events)
    flood = FLOODS[mode]
    sent = 0
    if mode == "endless-sb":
        conn.sendall(bytes([IAC, SB, COM_PORT]))
    conn.settimeout(0.2)
    while time.monotonic() < deadline and sent < int(limit):
        try:
            sent += conn.send(flood)
        except TimeoutError:  # the client does not read: keep at it until the time is up
            continue
        except OSError:  # the client has gone
            return
    conn.close()


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "flood":
        _flood_main(*sys.argv[2:])
