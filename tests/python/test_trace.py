"""trace://: what a traced port reads and writes, and its control calls, in
the trace file; through every face, around loop://, a terminal and a
network port."""

import asyncio
import os
import re
import socket
import sys
import threading

import pytest

import corvalink
import corvalink.aio

pytestmark = pytest.mark.timeout(30)


def masked(text):
    return re.sub(r"^\[ *\d+\.\d{6}\] ", "[T] ", text, flags=re.M)


def trace_of(path):
    with open(path) as f:
        return masked(f.read())


def test_a_scripted_session_is_traced_whole(tmp_path):
    log = tmp_path / "session.trace"
    with corvalink.Serial(f"trace://loop://?file={log}", baudrate=115200, timeout=1) as port:
        assert port.port == f"trace://loop://?file={log}"
        port.write(b"AT+VERSION?\r\n")
        assert port.read(13) == b"AT+VERSION?\r\n"
        port.rts = False
        port.dtr = True
        port.baudrate = 9600
        port.parity = "E"
        port.break_condition = True
        port.break_condition = False
        port.reset_input_buffer()
        port.reset_output_buffer()
        port.write(bytes(range(0x1e, 0x32)))
        assert port.read(20) == bytes(range(0x1e, 0x32))
    assert trace_of(log) == """\
[T] open loop:// 115200 8N1 xonxoff=0 rtscts=0 dsrdtr=0 rts=1 dtr=1
[T] reset input
[T] write 13
    0000  41 54 2b 56 45 52 53 49  4f 4e 3f 0d 0a           AT+VERSION?..
[T] read 13
    0000  41 54 2b 56 45 52 53 49  4f 4e 3f 0d 0a           AT+VERSION?..
[T] rts 0
[T] dtr 1
[T] settings 9600 8N1 xonxoff=0 rtscts=0 dsrdtr=0 rts=0 dtr=1
[T] settings 9600 8E1 xonxoff=0 rtscts=0 dsrdtr=0 rts=0 dtr=1
[T] break 1
[T] break 0
[T] reset input
[T] reset output
[T] write 20
    0000  1e 1f 20 21 22 23 24 25  26 27 28 29 2a 2b 2c 2d  .. !"#$%&'()*+,-
    0010  2e 2f 30 31                                       ./01
[T] read 20
    0000  1e 1f 20 21 22 23 24 25  26 27 28 29 2a 2b 2c 2d  .. !"#$%&'()*+,-
    0010  2e 2f 30 31                                       ./01
[T] close
"""


def test_raw_format_and_standard_error(tmp_path, capfd):
    log = tmp_path / "raw.trace"
    with corvalink.Serial(f"trace://loop://?format=raw&file={log}", timeout=1) as port:
        port.write(b"ping\n")
        port.read(5)
    assert trace_of(log).splitlines()[2:] == ["[T] write 5", "ping", "", "[T] read 5", "ping", "", "[T] close"]

    with corvalink.Serial("trace://loop://", timeout=1) as port:
        port.write(b"x")
    err = masked(capfd.readouterr().err)
    assert err.startswith("[T] open loop:// 9600 8N1")
    assert "[T] write 1\n    0000  78" in err and err.endswith("[T] close\n")


def test_reopening_appends_and_a_failed_open_is_traced(tmp_path):
    log = tmp_path / "t.trace"
    port = corvalink.Serial(f"trace://loop://?file={log}")
    port.close()
    port.open()
    port.close()
    assert trace_of(log).count("[T] open loop://") == 2
    with pytest.raises(corvalink.SerialException, match="could not open port '/dev/no-such-port'"):
        corvalink.Serial(f"trace:///dev/no-such-port?file={log}")
    assert "[T] open /dev/no-such-port failed: could not open port" in trace_of(log)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals")
def test_a_terminal_through_the_asynchronous_face_and_the_transport(tmp_path):
    master, slave = os.openpty()
    name = os.ttyname(slave)
    log = tmp_path / "pty.trace"
    try:
        async def session():
            async with corvalink.aio.Serial(f"trace://{name}?file={log}", timeout=1) as port:
                await port.write(b"hello")
                assert os.read(master, 5) == b"hello"
                os.write(master, b"world")
                assert await port.read(5) == b"world"
                port.set_input_flow_control(False)
                assert os.read(master, 1) == b"\x13"

            received = asyncio.get_running_loop().create_future()

            class Echo(asyncio.Protocol):
                def data_received(self, data):
                    received.set_result(data)

            transport, _ = await corvalink.aio.create_serial_connection(
                asyncio.get_running_loop(), Echo, f"trace://{name}?file={log}")
            os.write(master, b"via transport")
            assert await asyncio.wait_for(received, 10) == b"via transport"
            transport.write(b"back")
            assert os.read(master, 4) == b"back"
            transport.close()
            await asyncio.sleep(0.05)

        asyncio.run(session())
    finally:
        os.close(master)
        os.close(slave)
    lines = [line for line in trace_of(log).splitlines() if line.startswith("[T]")]
    events = [line.split()[1] for line in lines]
    assert events == ["open", "reset", "write", "read", "input", "close",
                      "open", "reset", "read", "write", "flush", "close"]
    assert "68 65 6c 6c 6f" in trace_of(log) and "via transport" in trace_of(log)


def test_a_network_port_keeps_its_own_options(tmp_path):
    server = socket.create_server(("127.0.0.1", 0))
    port_number = server.getsockname()[1]
    log = tmp_path / "net.trace"
    peer = {}

    def accept():
        conn, _ = server.accept()
        peer["data"] = conn.recv(100)
        conn.sendall(b"pong")
        peer["conn"] = conn

    t = threading.Thread(target=accept)
    t.start()
    url = f"trace://socket://127.0.0.1:{port_number}?timeout=2?file={log}"
    with corvalink.Serial(url, timeout=2) as port:
        port.write(b"ping")
        t.join(10)
        assert port.read(4) == b"pong"
    peer["conn"].close()
    server.close()
    assert peer["data"] == b"ping"
    text = trace_of(log)
    assert text.startswith(f"[T] open socket://127.0.0.1:{port_number}?timeout=2 9600 8N1")
    assert "70 69 6e 67" in text and "70 6f 6e 67" in text


@pytest.mark.parametrize("url, exc, message", [
    ("trace://", ValueError, "trace:// needs the port to trace"),
    ("trace://?file=/tmp/x", ValueError, "trace:// needs the port to trace"),
    ("trace://loop://?format=octal", ValueError, "malformed option 'format=octal'"),
    ("trace://loop://?file=/tmp/x&colour=red", ValueError, "malformed option 'colour=red'"),
    ("trace://loop://?file=", ValueError, "malformed option 'file='"),
    ("trace://loop://?file=/tmp/a\0b", ValueError, "malformed option 'file=/tmp/a\x00b'"),
    ("trace://loop://?file=/no/such/dir/t.log", corvalink.SerialException, "could not open trace file"),
])
def test_bad_trace_urls(url, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        corvalink.Serial(url)
    with pytest.raises(exc, match=re.escape(message)):
        corvalink.serial_for_url(url)
