"""The port server (corvalink.tools.serve): our own clients through it to a
pseudo-terminal, third-party clients, hostile clients and the command line."""

import asyncio
import contextlib
import logging
import os
import shutil
import signal
import socket
import subprocess
import sys
import termios
import threading
import time

import pytest

import corvalink
from corvalink import aio
from corvalink.tools.serve import telnet
from corvalink.tools.serve.config import parse_spec
from net_peers import COM_PORT, DO, IAC, SB, SE, WILL, Line, ClientStream, speeds, subneg, wait_until
from serve_peers import ServedThread, ServeProcess, drain_socket, free_ports

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pseudo-terminals and /proc"),
    pytest.mark.timeout(90),
]

SCHEMES = ["socket", "rfc2217"]
PROTOCOL = {"socket": "raw", "rfc2217": "rfc2217"}
# Every byte value, 0xFF in runs, so escaping is cut at every buffer boundary.
PATTERN = (bytes(range(256)) + b"\xff" * 37 + b"\x00\xff\r\n\xff") * 700
LOCK_DIR = "/run/lock"


def lock_file(path):
    return os.path.join(LOCK_DIR, "LCK.." + path.removeprefix("/dev/").replace("/", "_"))


@pytest.fixture
def line():
    line = Line()
    yield line
    line.close()


@pytest.fixture(params=SCHEMES)
def served(request, line):
    """A server of the pseudo-terminal, raw or RFC 2217."""
    s = ServedThread(line.path, PROTOCOL[request.param])
    yield s, line, request.param
    s.close()


def through(port, line):
    """A byte through shows the server has the device open."""
    port.write(b"!")
    assert line.receive(1) == b"!"
    line.drain()


# --- our clients through the server ---------------------------------------------------


def test_bulk_both_ways_is_byte_exact(served):
    server, line, scheme = served
    with corvalink.Serial(server.url(scheme), timeout=10) as port:
        through(port, line)
        got = {}
        reader = threading.Thread(target=lambda: got.setdefault("line", line.receive(len(PATTERN))))
        reader.start()
        assert port.write(PATTERN) == len(PATTERN)
        # At the same time the other way.
        writer = threading.Thread(target=line.send, args=(PATTERN,))
        writer.start()
        assert port.read(len(PATTERN)) == PATTERN
        reader.join(30)
        writer.join(30)
        assert got["line"] == PATTERN


@pytest.mark.parametrize("face", ["aio.Serial", "transport", "streams"])
def test_asynchronous_faces(served, face):
    server, line, scheme = served
    url = server.url(scheme)

    class Collect(asyncio.Protocol):
        def __init__(self):
            self.data = bytearray()
            self.more = asyncio.Event()

        def data_received(self, data):
            self.data += data
            self.more.set()

    async def exchange():
        chunk = PATTERN[:40000]
        if face == "aio.Serial":
            async with aio.serial_for_url(url, timeout=10) as port:
                await port.write(b"!")
                assert line.receive(1) == b"!"
                assert await port.write(chunk) == len(chunk)
                assert line.receive(len(chunk)) == chunk
                line.send(chunk)
                assert await port.read(len(chunk)) == chunk
        elif face == "transport":
            loop = asyncio.get_running_loop()
            transport, protocol = await aio.create_serial_connection(loop, Collect, url)
            transport.write(b"!" + chunk)
            assert line.receive(len(chunk) + 1) == b"!" + chunk
            line.send(chunk)
            while len(protocol.data) < len(chunk):
                protocol.more.clear()
                await protocol.more.wait()
            assert bytes(protocol.data) == chunk
            transport.close()
        else:
            reader, writer = await aio.open_serial_connection(url=url, baudrate=19200)
            writer.write(b"!" + chunk)
            await writer.drain()
            assert line.receive(len(chunk) + 1) == b"!" + chunk
            line.send(chunk)
            assert await reader.readexactly(len(chunk)) == chunk
            writer.close()
            await writer.wait_closed()

    asyncio.run(asyncio.wait_for(exchange(), 60))


def test_settings_reach_the_pty(line, caplog):
    caplog.set_level(logging.INFO, "corvalink.serve")
    server = ServedThread(line.path)
    try:
        with corvalink.Serial(server.url(), baudrate=38400, stopbits=2, timeout=2) as port:
            assert speeds(line.slave) == (38400, 38400)
            assert termios.tcgetattr(line.slave)[2] & termios.CSTOPB
            for name, value, check in [
                ("baudrate", 115200, lambda a: speeds(line.slave) == (115200, 115200)),
                ("baudrate", 12345, lambda a: speeds(line.slave) == (12345, 12345)),
                ("stopbits", 1, lambda a: not a[2] & termios.CSTOPB),
                ("stopbits", 1.5, lambda a: True),
                ("rtscts", True, lambda a: a[2] & termios.CRTSCTS),
                ("rtscts", False, lambda a: not a[2] & termios.CRTSCTS),
                ("xonxoff", True, lambda a: a[0] & termios.IXON and a[0] & termios.IXOFF),
                ("xonxoff", False, lambda a: not a[0] & termios.IXON),
                ("dsrdtr", True, lambda a: True),
                ("dsrdtr", False, lambda a: True),
                # A pseudo-terminal keeps 8 bits and no parity whatever it is
                # told: the server took them and answered with them.
                ("bytesize", 7, lambda a: True),
                ("parity", "E", lambda a: True),
                ("parity", "M", lambda a: True),
            ]:
                setattr(port, name, value)
                assert getattr(port, name) == value
                assert check(termios.tcgetattr(line.slave)), (name, value)
            through(port, line)
        messages = [r.getMessage() for r in caplog.records]
        assert any(m.endswith("baud rate 12345") for m in messages)
        assert any(m.endswith("flow control RTS/CTS") for m in messages)
        assert any(m.endswith("parity mark") for m in messages)
    finally:
        server.close()


def test_a_refused_setting_is_answered_with_the_value_in_force(caplog):
    class Limited(corvalink.Serial):
        def __setattr__(self, name, value):  # what the port rejects
            if name == "baudrate" and value > 57600:
                raise corvalink.SerialException("baud rate not supported")
            super().__setattr__(name, value)

    server = ServedThread("loop://", opener=lambda served: Limited("loop://", 9600))
    try:
        url = server.url()
        with corvalink.Serial(url, timeout=2) as port:
            port.baudrate = 57600
            with pytest.raises(corvalink.SerialException, match="refused baud rate 115200 .it reports 57600"):
                port.baudrate = 115200
            assert port.baudrate == 57600
            port.write(b"still\xff")
            assert port.read(6) == b"still\xff"
        assert any("baud rate 115200 refused by the port" in r.getMessage() for r in caplog.records)
    finally:
        server.close()


def test_lines_break_and_resets(line, caplog):
    caplog.set_level(logging.INFO, "corvalink.serve")
    server = ServedThread(line.path)
    try:
        with corvalink.Serial(server.url(), timeout=2) as port:
            through(port, line)
            port.rts = False
            port.dtr = False
            port.break_condition = True
            port.break_condition = False
            port.send_break(0.05)
            port.rts = port.dtr = True
            # A pseudo-terminal has no modem lines: all read inactive.
            assert (port.cts, port.dsr, port.ri, port.cd) == (False, False, False, False)
            line.send(b"stale")
            assert wait_until(lambda: port.in_waiting == 5)
            port.reset_input_buffer()
            port.reset_output_buffer()
            line.send(b"fresh\xff")
            assert port.read(6) == b"fresh\xff"
        messages = [r.getMessage().split(": ", 1)[-1] for r in caplog.records]
        for expected in ("RTS off", "DTR off", "break on", "break off", "RTS on", "DTR on",
                         "purged the receive buffer", "purged the transmit buffer"):
            assert any(m.endswith(expected) for m in messages), expected
    finally:
        server.close()


def test_modem_state_changes_are_notified():
    # loop:// reads CTS as its RTS and DSR as its DTR: the client's own line
    # changes come back as modem-state notifications.
    server = ServedThread("loop://", modem_interval=0.02)
    try:
        with corvalink.Serial(server.url(), timeout=2) as port:
            assert wait_until(lambda: (port.cts, port.dsr) == (True, True))
            for rts, dtr in [(False, True), (False, False), (True, False), (True, True)]:
                port.rts, port.dtr = rts, dtr
                assert wait_until(lambda: (port.cts, port.dsr) == (rts, dtr), 5), (rts, dtr)
            assert (port.ri, port.cd) == (False, True)  # as loop:// has them
    finally:
        server.close()


def test_modem_state_mask_and_deltas():
    """On the wire: the state when the mask is set, then a change with its
    delta bit, filtered through the mask."""
    server = ServedThread("loop://", modem_interval=0.02)
    try:
        with server.connect() as s:
            s.sendall(bytes([IAC, WILL, COM_PORT]) + subneg([11, 0x11]) + subneg([5, 12]))  # CTS only; RTS off
            s.settimeout(0.2)
            stream, notes = ClientStream(), []
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and len(notes) < 2:
                try:
                    stream.feed(s.recv(4096))
                except TimeoutError:
                    continue
                notes = [e[2][1] for e in stream.events if e[0] == "sb" and e[2][:1] == bytes([107])]
            assert notes == [0x10, 0x01]  # CTS on (DSR masked out), then off with its delta
            assert ("sb", COM_PORT, bytes([111, 0x11])) in stream.events
            assert ("sb", COM_PORT, bytes([105, 12])) in stream.events
    finally:
        server.close()


# --- one client at a time, and the device's lifetime ------------------------------------


def test_a_second_client_is_refused_with_one_line(served):
    server, line, scheme = served
    with corvalink.Serial(server.url(scheme), timeout=2) as port:
        through(port, line)
        with server.connect() as second:
            message = drain_socket(second)
        assert message.endswith(b"\r\n") and message.count(b"\r\n") == 1
        assert f"port {server.port} ({line.path}) is in use by 127.0.0.1:".encode() in message
        port.write(b"first\xff")  # the first client goes on
        assert line.receive(6) == b"first\xff"


def test_two_clients_racing_get_one_device(line):
    server = ServedThread(line.path, "raw")
    try:
        start = threading.Barrier(2)
        heard = {}

        def client(n):
            start.wait(10)
            with server.connect() as s:
                # Sequence-numbered: whose bytes reach the device, and in order.
                with contextlib.suppress(OSError):
                    s.sendall(b"".join(bytes([n]) + i.to_bytes(2, "big") for i in range(2000)))
                heard[n] = drain_socket(s, quiet=1)

        threads = [threading.Thread(target=client, args=(n,)) for n in (1, 2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        refused = [n for n in heard if heard[n].startswith(b"port ")]
        assert len(refused) == 1 and len(heard) == 2
        winner = 3 - refused[0]
        assert line.receive(6000) == b"".join(bytes([winner]) + i.to_bytes(2, "big") for i in range(2000))
        assert line.receive(1, timeout=0.2) == b""
    finally:
        server.close()


def test_takeover(line):
    server = ServedThread(line.path, "raw", takeover=True)
    try:
        first = server.connect()
        first.sendall(b"1")
        assert line.receive(1) == b"1"
        with server.connect() as second:
            assert drain_socket(first) == b""  # cut
            second.sendall(b"2")
            assert line.receive(1) == b"2"
            line.send(b"to the second")
            assert second.recv(100) == b"to the second"
        first.close()
    finally:
        server.close()


@pytest.mark.skipif(not os.access(LOCK_DIR, os.W_OK), reason="lock directory not writable")
@pytest.mark.parametrize("keep_open", [False, True])
def test_the_device_is_held_exclusively(line, keep_open):
    server = ServedThread(line.path, "raw", keep_open=keep_open)
    try:
        assert server.device_open() == keep_open
        with server.connect() as s:
            s.sendall(b"!")
            assert line.receive(1) == b"!"
            with open(lock_file(line.path)) as f:
                assert f.read().split() == [str(os.getpid())]
            with pytest.raises(corvalink.SerialException):
                corvalink.Serial(line.path, exclusive=True)
        assert wait_until(lambda: server.client() is None)
        assert wait_until(lambda: server.device_open() == keep_open)
        assert os.path.exists(lock_file(line.path)) == keep_open
    finally:
        server.close()
    assert not os.path.exists(lock_file(line.path))


def test_one_device_on_two_ports_serves_one_client(line):
    first, second = ServedThread(line.path, "raw"), ServedThread(line.path, "raw")
    try:
        with first.connect() as s:
            s.sendall(b"!")
            assert line.receive(1) == b"!"
            with second.connect() as t:
                assert drain_socket(t).startswith(f"cannot open {line.path}: ".encode())
        assert wait_until(lambda: not first.device_open())
        with second.connect() as t:  # free again
            t.sendall(b"?")
            assert line.receive(1) == b"?"
    finally:
        first.close()
        second.close()


def test_a_device_that_hangs_up_ends_the_connection_and_is_reopened(caplog):
    lines = [Line(), Line()]
    opened = []

    def opener(served):
        line = lines[len(opened)]
        opened.append(line)
        return corvalink.Serial(line.path, exclusive=True)

    server = ServedThread("pty", "raw", opener=opener)
    try:
        with server.connect() as s:
            s.sendall(b"!")
            assert lines[0].receive(1) == b"!"
            lines[0].send(b"last words")
            s.settimeout(5)
            assert s.recv(100) == b"last words"
            os.close(lines[0].master)  # the device goes away mid-transfer
            lines[0].master = os.open("/dev/null", os.O_RDONLY)
            assert drain_socket(s) == b""  # and the connection ends
        assert wait_until(lambda: any("hung up" in r.getMessage() for r in caplog.records))
        with server.connect() as s:  # the next client gets the device anew
            s.sendall(b"?")
            assert lines[1].receive(1) == b"?"
        assert len(opened) == 2
    finally:
        server.close()
        for line in lines:
            line.close()


@pytest.mark.parametrize("protocol", ["raw", "rfc2217"])
def test_a_hang_up_in_the_middle_of_floods_both_ways(protocol):
    line = Line()
    port, = free_ports(1)
    proc = ServeProcess(f"{protocol}:{port}={line.path}", wait_for=[port])
    stop = threading.Event()

    def device_floods():
        for i in range(100000):
            if stop.is_set():
                return
            with contextlib.suppress(OSError):
                os.write(line.master, i.to_bytes(4, "big") * 256)

    flood = threading.Thread(target=device_floods)
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.setblocking(False)
            flood.start()
            received = 0
            deadline = time.monotonic() + 1
            while time.monotonic() < deadline:
                with contextlib.suppress(BlockingIOError):
                    received += len(s.recv(65536))
                with contextlib.suppress(BlockingIOError):
                    s.send(b"\xff\xff\x00" * 8192)
                with contextlib.suppress(OSError):
                    os.read(line.master, 65536)
            assert received
            os.close(line.master)  # the device goes away
            line.master = os.open("/dev/null", os.O_RDONLY)
            stop.set()
            flood.join(10)
            s.setblocking(True)
            with contextlib.suppress(ConnectionResetError):
                while drain_socket(s, quiet=2):
                    pass  # what was on its way, then the end
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            assert drain_socket(s).startswith(f"cannot open {line.path}: ".encode())
    finally:
        stop.set()
        if flood.is_alive():
            flood.join(10)
        status, log = proc.stop()
        line.close()
    assert status == 0
    assert f"{line.path} hung up" in log and "disconnected: the device hung up" in log
    assert "Traceback" not in log


def test_a_device_that_cannot_be_opened_is_told_and_the_server_goes_on(tmp_path):
    missing = str(tmp_path / "ttyNONE")
    server = ServedThread(missing, "raw")
    try:
        for _ in range(2):
            with server.connect() as s:
                message = drain_socket(s)
            assert message.startswith(f"cannot open {missing}: ".encode()) and message.endswith(b"\r\n")
    finally:
        server.close()


# --- flow control ------------------------------------------------------------------


def flood_until_blocked(send, limit=64 << 20):
    """Sends sequence-numbered blocks until nothing more goes for half a
    second (bounded in bytes and time); what was sent."""
    sent, idle, block = bytearray(), 0, 0
    deadline = time.monotonic() + 30
    pending = b""
    while len(sent) < limit and idle < 50 and time.monotonic() < deadline:
        if not pending:
            pending = b"".join(block.to_bytes(4, "big") + b"\xff" for block in range(block, block + 8192))
            block += 8192
        n = send(pending)
        sent += pending[:n]
        pending = pending[n:]
        idle = 0 if n else idle + 1
        if not n:
            time.sleep(0.01)
    return bytes(sent)


@pytest.mark.parametrize("scheme", SCHEMES)
def test_a_client_that_does_not_read_stops_the_device(line, scheme):
    server = ServedThread(line.path, PROTOCOL[scheme])
    offer = bytes([IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, DO, COM_PORT])
    try:
        with server.connect() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            s.sendall(b"!")
            assert line.receive(1) == b"!"

            def send(chunk):
                try:
                    return os.write(line.master, chunk)
                except BlockingIOError:
                    return 0

            sent = flood_until_blocked(send)
            # Bounded by the socket buffers, our buffers and the pty's.
            assert len(sent) < 16 << 20
            # The data is all there, in order, once the client reads.
            expected = sent
            if scheme == "rfc2217":  # after the server's opening negotiation
                expected = offer + expected.replace(b"\xff", b"\xff\xff")
            got = bytearray()
            s.settimeout(5)
            while len(got) < len(expected):
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                got += chunk
            assert bytes(got) == expected
    finally:
        server.close()


def test_a_device_that_does_not_read_stops_the_client(line):
    server = ServedThread(line.path, "raw")
    try:
        with server.connect() as s:
            s.sendall(b"!")
            assert line.receive(1) == b"!"
            s.setblocking(False)

            def send(chunk):
                try:
                    return s.send(chunk)
                except BlockingIOError:
                    return 0

            sent = flood_until_blocked(send)
            assert len(sent) < 16 << 20
            assert line.receive(len(sent), timeout=20) == sent
    finally:
        server.close()


# --- hostile clients ---------------------------------------------------------------


def nonsense(kind):
    if kind == "IAC flood":
        return bytes([IAC, 241]) * 20000 + bytes([IAC, IAC]) * 20000
    if kind == "endless subnegotiation":
        return bytes([IAC, SB, COM_PORT]) + b"\x01" * 200000
    if kind == "negotiation loop":
        return (bytes([IAC, WILL, 1, IAC, 252, 1, IAC, DO, 1, IAC, 254, 1, IAC, WILL, 0, IAC, 252, 0,
                       IAC, WILL, 99, IAC, DO, 99])) * 5000
    if kind == "malformed commands":
        return (subneg([1, 0, 0]) + subneg([5]) + subneg([5, 200]) + subneg([2, 200]) + subneg([3, 9]) + subneg([77, 1])
                + bytes([IAC, SB, IAC, SE])) * 500
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["IAC flood", "endless subnegotiation", "negotiation loop", "malformed commands"])
def test_hostile_telnet_leaves_the_server_sound(line, kind, caplog):
    server = ServedThread(line.path)
    try:
        with server.connect() as s:
            s.sendall(bytes([IAC, WILL, COM_PORT]) + b"<")
            assert line.receive(1) == b"<"
            s.sendall(nonsense(kind) + bytes([IAC, SE]) + b">")
            if kind == "IAC flood":
                assert line.receive(20001, timeout=20) == b"\xff" * 20000 + b">"
            else:
                assert line.receive(1, timeout=20) == b">"
            answers = drain_socket(s, quiet=0.5)
            assert len(answers) <= len(nonsense(kind))  # answered at most once per request
        # The next client is served as usual.
        assert wait_until(lambda: server.client() is None)
        with corvalink.Serial(server.url(), timeout=5) as port:
            through(port, line)
        assert sum(r.levelno >= logging.WARNING for r in caplog.records) <= 25
    finally:
        server.close()


def test_resets_mid_write_and_many_connections():
    ports = free_ports(1)
    line = Line()
    proc = ServeProcess(f"raw:{ports[0]}={line.path}", wait_for=ports)

    def settled():
        """The server has closed the device and every connection it accepted
        (its descriptors stay the same for half a second)."""
        line.drain()
        count = proc.fds()
        time.sleep(0.5)
        line.drain()
        return not proc.holds(line.path) and proc.fds() == count

    try:
        def one(i):
            s = socket.create_connection(("127.0.0.1", ports[0]), timeout=5)
            if i % 2:  # a reset in the middle of a write larger than the buffers
                with contextlib.suppress(OSError):
                    s.sendall(i.to_bytes(4, "big") * 50000)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            s.close()

        # The module starts its runtime on the first port it opens: one
        # client through first, so that it is there before counting.
        with socket.create_connection(("127.0.0.1", ports[0]), timeout=5) as s:
            s.sendall(b"first")
            assert line.receive(5) == b"first"
        for i in range(50):
            one(i)
        assert wait_until(settled, 30)
        before = (proc.fds(), proc.status("Threads"), proc.status("VmRSS"))
        for i in range(300):
            one(i)
            if i % 50 == 0:
                line.drain()
        assert wait_until(lambda: settled() and proc.fds() <= before[0], 30)
        after = (proc.fds(), proc.status("Threads"), proc.status("VmRSS"))
        assert after[0] <= before[0] and after[1] <= before[1], (before, after)
        assert after[2] < before[2] + 8 * 1024, (before, after)  # kB
        with socket.create_connection(("127.0.0.1", ports[0]), timeout=5) as s:
            s.sendall(b"alive")
            assert line.receive(5) == b"alive"
    finally:
        status, log = proc.stop()
        line.close()
    assert status == 0, log


# --- third-party clients -------------------------------------------------------------


def run_peer(argv, data, expect_back, line, timeout=20):
    """Runs a third-party client with data on its standard input; the line
    checks what reaches it and sends expect_back, which the client prints."""
    with subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as peer:
        try:
            peer.stdin.write(data)
            peer.stdin.flush()
            assert line.receive(len(data), timeout=timeout) == data
            line.send(expect_back)
            out = bytearray()
            os.set_blocking(peer.stdout.fileno(), False)
            deadline = time.monotonic() + timeout
            while len(out) < len(expect_back) and time.monotonic() < deadline:
                chunk = peer.stdout.read(65536)
                if chunk:
                    out += chunk
                else:
                    time.sleep(0.01)
            assert bytes(out) == expect_back
        finally:
            peer.kill()
            peer.wait(10)


@pytest.mark.skipif(not shutil.which("gensiot"), reason="gensiot not installed")
def test_gensiot_as_rfc2217_client(line, caplog):
    caplog.set_level(logging.INFO, "corvalink.serve")
    server = ServedThread(line.path)
    try:
        data = PATTERN[:30000]
        run_peer(["gensiot", "-i", "stdio(self)", f"telnet(rfc2217),tcp,127.0.0.1,{server.port}"],
                 data, data[::-1], line)
        assert any(r.getMessage().endswith("COM-PORT-OPTION on") for r in caplog.records)
    finally:
        server.close()


@pytest.mark.skipif(not shutil.which("socat"), reason="socat not installed")
def test_socat_as_raw_client(line):
    server = ServedThread(line.path, "raw")
    try:
        data = PATTERN[:30000]
        run_peer(["socat", "-b65536", "STDIO", f"TCP:127.0.0.1:{server.port}"], data, data[::-1], line)
    finally:
        server.close()


# --- the Telnet codec ----------------------------------------------------------------


def test_decoder_reassembles_across_every_split():
    stream = (b"a\xff\xffb" + bytes([IAC, DO, 0]) + subneg([1, 0, 0, 0x25, 0x80]) + bytes([IAC, 241]) +
              subneg([5, 0xff]) + b"c")
    expected = [b"a\xffb", telnet.Negotiation(DO, 0), telnet.Subnegotiation(COM_PORT, bytes([1, 0, 0, 0x25, 0x80])),
                telnet.Subnegotiation(COM_PORT, bytes([5, 0xff])), b"c"]

    def merged(items):
        out = []
        for item in items:
            if isinstance(item, bytes) and out and isinstance(out[-1], bytes):
                out[-1] += item
            else:
                out.append(item)
        return out

    for i in range(len(stream)):
        for j in range(i, len(stream)):
            d = telnet.Decoder()
            assert merged(d.feed(stream[:i]) + d.feed(stream[i:j]) + d.feed(stream[j:])) == expected


def test_decoder_drops_a_long_subnegotiation_and_goes_on():
    d = telnet.Decoder()
    items = d.feed(bytes([IAC, SB, COM_PORT]) + b"x" * 10000)
    items += d.feed(b"\xff\xffy" * 1000 + bytes([IAC, SE]) + b"data")
    assert items == [telnet.Dropped(f"a subnegotiation longer than {telnet.MAX_SUBNEGOTIATION} bytes"), b"data"]
    assert len(d._sb) == 0


def test_negotiation_answers_once():
    sent = []
    opts = telnet.Options({0, 3}, {0, 3, 44}, sent.append)
    opts.ask(44)
    assert sent.pop() == bytes([IAC, DO, 44])
    for verb, option, answer in [
        (WILL, 44, None),  # the answer to our DO
        (WILL, 44, None),  # again: no change, no answer
        (DO, 0, bytes([IAC, WILL, 0])),
        (DO, 0, None),
        (DO, 1, bytes([IAC, 252, 1])),  # ECHO refused
        (DO, 1, bytes([IAC, 252, 1])),
        (254, 0, bytes([IAC, 252, 0])),  # DONT BINARY after it was on
        (WILL, 99, bytes([IAC, 254, 99])),
    ]:
        before = len(sent)
        opts.receive(verb, option)
        assert sent[before:] == ([answer] if answer else []), (verb, option)
    assert opts.him[44] is True and opts.us[0] is False


# --- the command line ----------------------------------------------------------------


@pytest.mark.parametrize("text,expected", [
    ("7000=/dev/ttyUSB0", ("rfc2217", 7000, "/dev/ttyUSB0", 9600)),
    ("raw:7001=/dev/ttyACM0,115200", ("raw", 7001, "/dev/ttyACM0", 115200)),
    ("RFC2217:0=loop://", ("rfc2217", 0, "loop://", 9600)),
    ("raw:7002=rfc2217://h:1?timeout=2,19200", ("raw", 7002, "rfc2217://h:1?timeout=2", 19200)),
])
def test_port_arguments(text, expected):
    p = parse_spec(text)
    assert (p.protocol, p.tcp_port, p.device, p.baudrate) == expected
    assert p.listen == "127.0.0.1"


@pytest.mark.parametrize("args,message", [
    ([], "no port to serve"),
    (["7000"], "expected [rfc2217:|raw:]TCPPORT=DEVICE[,BAUD]"),
    (["tcp:7000=loop://"], "TCP port 'tcp:7000' is not a number"),
    (["70000=loop://"], "TCP port 70000 is not from 0 to 65535"),
    (["7000=loop://", "7000=/dev/ttyS0"], "TCP port 7000 is given twice"),
    (["7000=ftp://x"], "port 7000: invalid URL, protocol 'ftp' not known"),
    (["--modem-interval", "0", "7000=loop://"], "modem_interval must be from 0.01 to 60 seconds"),
    (["--bogus", "7000=loop://"], "unrecognized arguments: --bogus"),
    (["--config", "/nonexistent.toml"], "/nonexistent.toml: No such file or directory"),
    (["--config", "BAD"], "port 1: unknown key 'speed'"),
])
def test_bad_arguments_exit_2_with_one_line(args, message, tmp_path):
    bad = tmp_path / "bad.toml"
    bad.write_text('[[port]]\ntcp_port = 7000\ndevice = "loop://"\nspeed = 1\n')
    args = [str(bad) if a == "BAD" else a for a in args]
    result = subprocess.run([sys.executable, "-P", "-m", "corvalink.tools.serve", *args],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_config_file_signal_and_lock_files(tmp_path, sig):
    lines = [Line(), Line()]
    ports = free_ports(2)
    config = tmp_path / "serve.toml"
    config.write_text(f'keep_open = true\nlog_level = "debug"\n'
                      f'[[port]]\ntcp_port = {ports[0]}\ndevice = "{lines[0].path}"\nbaudrate = 115200\n'
                      f'[[port]]\ntcp_port = {ports[1]}\ndevice = "{lines[1].path}"\nprotocol = "raw"\n')
    proc = ServeProcess("--config", str(config), wait_for=ports)
    try:
        port = corvalink.Serial(f"rfc2217://127.0.0.1:{ports[0]}", 115200, timeout=2)
        through(port, lines[0])
        assert speeds(lines[0].slave) == (115200, 115200)
        raw = socket.create_connection(("127.0.0.1", ports[1]), timeout=5)
        raw.sendall(b"!")
        assert lines[1].receive(1) == b"!"
        # Transfers going on both ways when the signal comes.
        stop = threading.Event()

        def feed():
            n = 0
            while not stop.is_set() and n < 2000:
                try:
                    os.write(lines[0].master, b"z" * 1024)
                except BlockingIOError:
                    time.sleep(0.001)
                n += 1
        feeder = threading.Thread(target=feed)
        feeder.start()
        if os.access(LOCK_DIR, os.W_OK):
            assert all(os.path.exists(lock_file(line.path)) for line in lines)
        status, log = proc.stop(sig)
        stop.set()
        feeder.join(10)
        assert status == 0, log
        assert drain_socket(raw) == b""
        raw.close()
        with pytest.raises(corvalink.SerialException):
            for _ in range(100):
                port.read(65536)
        for line in lines:
            assert not os.path.exists(lock_file(line.path))
        assert "disconnected: the server is stopping" in log
        assert "closed " + lines[0].path in log
    finally:
        proc.stop(signal.SIGKILL)
        for line in lines:
            line.close()


def test_listening_on_a_taken_port_exits_1():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        result = subprocess.run([sys.executable, "-P", "-m", "corvalink.tools.serve",
                                 f"{taken.getsockname()[1]}=loop://"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 1
    assert "cannot listen on 127.0.0.1 port" in result.stderr
