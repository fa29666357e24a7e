"""Network ports: socket:// and rfc2217:// against a real ser2net serving
pseudo-terminals, and against a scripted server for what ser2net will not do
on demand."""

import asyncio
import resource
import socket
import sys
import termios
import threading
import time

import pytest

import corvalink
from corvalink import aio
from net_peers import IAC, SB, SE, HostileServer, ScriptedServer, Ser2net, speeds, subneg, wait_until

try:
    import uvloop
except ImportError:
    uvloop = None

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ser2net and pseudo-terminals"),
    pytest.mark.timeout(60),
]

SCHEMES = ["socket", "rfc2217"]
# Every byte value, 0xFF in runs, so escaping is cut at every buffer boundary.
PATTERN = (bytes(range(256)) + b"\xff" * 37 + b"\x00\xff\r\n\xff") * 700


@pytest.fixture(scope="module")
def ser2net():
    if not sys.platform.startswith("linux"):
        pytest.skip("ser2net")
    s = Ser2net()
    yield s
    s.close()


@pytest.fixture(params=SCHEMES)
def link(request, ser2net):
    """An open port through ser2net and the pseudo-terminal behind it."""
    line = ser2net.lines[request.param]
    assert ser2net.released(request.param)
    port = corvalink.Serial(ser2net.url(request.param), timeout=5)
    # ser2net opens the device once it has accepted the connection, and
    # throws away what was waiting then: a byte through shows it has.
    port.write(b"!")
    assert line.receive(1) == b"!"
    line.drain()
    yield port, line
    port.close()


def test_bulk_transfer_is_byte_exact_both_ways(link):
    port, line = link
    got = {}
    reader = threading.Thread(target=lambda: got.setdefault("line", line.receive(len(PATTERN))))
    reader.start()
    assert port.write(PATTERN) == len(PATTERN)
    port.flush()
    reader.join()
    assert got["line"] == PATTERN

    writer = threading.Thread(target=line.send, args=(PATTERN,))
    writer.start()
    assert port.read(len(PATTERN)) == PATTERN
    writer.join()


def test_settings_reach_the_device(ser2net):
    line = ser2net.lines["rfc2217"]
    assert ser2net.released("rfc2217")
    with corvalink.Serial(ser2net.url("rfc2217"), baudrate=38400, stopbits=2, timeout=1) as port:
        assert speeds(line.slave) == (38400, 38400)
        assert termios.tcgetattr(line.slave)[2] & termios.CSTOPB
        for name, value, check in [
            ("baudrate", 115200, lambda a: speeds(line.slave) == (115200, 115200)),
            ("baudrate", 12345, lambda a: speeds(line.slave) == (12345, 12345)),
            ("stopbits", 1, lambda a: not a[2] & termios.CSTOPB),
            ("rtscts", True, lambda a: a[2] & termios.CRTSCTS),
            ("rtscts", False, lambda a: not a[2] & termios.CRTSCTS),
            ("xonxoff", True, lambda a: a[0] & termios.IXON and a[0] & termios.IXOFF),
            ("xonxoff", False, lambda a: not a[0] & termios.IXON),
            # A pseudo-terminal keeps 8 bits and no parity whatever it is told;
            # these check that the server took them.
            ("bytesize", 7, lambda a: True),
            ("parity", "E", lambda a: True),
        ]:
            setattr(port, name, value)
            assert getattr(port, name) == value
            assert check(termios.tcgetattr(line.slave)), (name, value)
        # Data still flows after all of it.
        line.drain()
        port.write(b"after\xff")
        assert line.receive(6) == b"after\xff"


def test_lines_break_and_resets(link):
    port, line = link
    port.rts = False
    port.dtr = False
    port.send_break(0.05)
    port.break_condition = True
    port.break_condition = False
    port.rts = port.dtr = True
    # A pseudo-terminal has no modem lines: ser2net reports them inactive,
    # and a raw stream has none.
    assert (port.cts, port.dsr, port.ri, port.cd) == (False, False, False, False)

    line.send(b"stale")
    assert wait_until(lambda: port.in_waiting == 5)
    port.reset_input_buffer()
    assert port.in_waiting == 0
    port.reset_output_buffer()
    line.send(b"fresh\xff")
    assert port.read(6) == b"fresh\xff"
    assert port.in_waiting == 0


@pytest.mark.parametrize("scheme", SCHEMES)
def test_aio_serial_and_the_transport(ser2net, scheme):
    line = ser2net.lines[scheme]
    line.drain()
    url = ser2net.url(scheme)

    class Collect(asyncio.Protocol):
        def __init__(self):
            self.data = bytearray()
            self.more = asyncio.Event()

        def data_received(self, data):
            self.data += data
            self.more.set()

        async def received(self, n):
            while len(self.data) < n:
                self.more.clear()
                await self.more.wait()
            return bytes(self.data)

    async def through_a_protocol(make):
        await released()
        transport, protocol = await make()
        transport.write(b"proto\xff\n")
        assert line.receive(7) == b"proto\xff\n"
        line.send(b"back\xff\n")
        assert await protocol.received(6) == b"back\xff\n"
        transport.close()

    async def released():
        """ser2net has let go of the device (the loop runs meanwhile, so a
        transport that is closing gets to close its port)."""
        for _ in range(1000):
            if not ser2net.holds(scheme):
                return
            await asyncio.sleep(0.01)
        raise AssertionError("ser2net keeps the device")

    async def exchange():
        # Each step waits until ser2net has let go of the device after the
        # last one, and sends first: ser2net opens the device only once it
        # has accepted the connection, and throws away what was waiting then.
        await released()
        async with aio.serial_for_url(url, timeout=5) as port:
            assert await port.write(b"ping\xff\n") == 6
            assert line.receive(6) == b"ping\xff\n"
            line.send(b"pong\xff\n")
            assert await port.readline() == b"pong\xff\n"

        loop = asyncio.get_running_loop()
        await through_a_protocol(lambda: aio.create_serial_connection(loop, Collect, url))
        await through_a_protocol(lambda: aio.connection_for_serial(loop, Collect, corvalink.Serial(url)))

        await released()

        reader, writer = await aio.open_serial_connection(url=url, baudrate=19200)
        writer.write(b"stream\xff\n")
        await writer.drain()
        assert line.receive(8) == b"stream\xff\n"
        line.send(PATTERN[:50000])
        assert await reader.readexactly(50000) == PATTERN[:50000]
        writer.close()
        await writer.wait_closed()

    asyncio.run(asyncio.wait_for(exchange(), 30))


@pytest.mark.parametrize("call", ["reset_input_buffer", "baudrate"])
def test_a_reset_or_a_setting_behind_a_large_backlog(ser2net, call):
    # More than our input cap waits between the device and us: the server's
    # answer is behind it, and is seen all the same.
    line = ser2net.lines["rfc2217"]
    backlog = b"".join(i.to_bytes(4, "big") for i in range(1 << 20))  # 4 MiB, numbered
    assert ser2net.released("rfc2217")
    with corvalink.Serial(ser2net.url("rfc2217"), timeout=5) as port:
        port.write(b"!")
        assert line.receive(1) == b"!"
        line.drain()
        sender = threading.Thread(target=line.send, args=(backlog,))
        sender.start()
        try:
            assert wait_until(lambda: port.in_waiting >= 1 << 20)
            time.sleep(0.3)  # the buffers on the way fill up as well
            if call == "baudrate":
                port.baudrate = 19200
                assert speeds(line.slave) == (19200, 19200)
                assert port.read(len(backlog)) == backlog  # nothing lost or reordered
            else:
                port.reset_input_buffer()
                port.timeout = 0.5
                rest = bytearray()
                while chunk := port.read(1 << 20):
                    rest += chunk
                # What came after the purge is the end of what was sent.
                assert len(rest) < len(backlog) - (1 << 20)
                assert rest == backlog[len(backlog) - len(rest):]
        finally:
            sender.join(30)


# --- scripted server ---------------------------------------------------------


@pytest.fixture
def server(request):
    s = ScriptedServer(**getattr(request, "param", {}))
    yield s
    s.close()


def error_of(fn, exc=corvalink.SerialException):
    """The message of the exception fn raises (without an OS error's number)."""
    with pytest.raises(exc) as info:
        fn()
    return getattr(info.value, "strerror", None) or str(info.value)


@pytest.mark.parametrize("server,cause", [
    ({"refuse": True}, "the server refused the COM-PORT-OPTION (RFC 2217)"),
    ({"silent": True}, "no answer to the Telnet negotiation within 0.3 s"),
    ({"binary": False}, "the server refused binary mode (Telnet BINARY), which the port needs to pass every byte unchanged"),
], indirect=["server"])
def test_negotiation_failures(server, cause):
    url = server.url("?timeout=0.3")
    assert error_of(lambda: corvalink.Serial(url)) == f"could not open port '{url}': {cause}"


def test_open_failures_name_the_url_and_the_cause():
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        url = f"socket://127.0.0.1:{s.getsockname()[1]}"
        assert error_of(lambda: corvalink.Serial(url)) == f"could not open port '{url}': Connection refused"
    url = "rfc2217://no-such-host.invalid:7000?timeout=2"
    message = error_of(lambda: corvalink.Serial(url))
    assert message.startswith(f"could not open port '{url}': could not resolve host 'no-such-host.invalid'")


@pytest.mark.parametrize("url,message", [
    ("socket://host", "invalid URL 'socket://host': expected socket://HOST:PORT[?timeout=SECONDS]"),
    ("socket://host:0", "invalid URL 'socket://host:0': the port must be a number from 1 to 65535"),
    ("rfc2217://host:65536", "invalid URL 'rfc2217://host:65536': the port must be a number from 1 to 65535"),
    ("socket://::1:7000", "invalid URL 'socket://::1:7000': an IPv6 address goes in brackets, as in [::1]:PORT"),
    ("rfc2217://:7000", "invalid URL 'rfc2217://:7000': no host; expected rfc2217://HOST:PORT[?timeout=SECONDS]"),
    ("rfc2217://h:1?baud=9600", "unknown option 'baud' in URL 'rfc2217://h:1?baud=9600'"),
    ("rfc2217://h:1?timeout=1&timeout=2", "option 'timeout' given more than once in URL 'rfc2217://h:1?timeout=1&timeout=2'"),
    ("socket://h:1?timeout=1&&timeout=1", "option 'timeout' given more than once in URL 'socket://h:1?timeout=1&&timeout=1'"),
    ("rfc2217://h:1?timeout=-1", "invalid value '-1' for option 'timeout' in URL 'rfc2217://h:1?timeout=-1': "
                                 "expected a positive number of seconds"),
    ("socket://h:1?timeout=x", "invalid value 'x' for option 'timeout' in URL 'socket://h:1?timeout=x': "
                               "expected a positive number of seconds"),
])
def test_bad_urls(url, message):
    assert error_of(lambda: corvalink.Serial(url), ValueError) == message
    port = corvalink.serial_for_url(url, do_not_open=True)
    assert port.port == url
    assert error_of(port.open, ValueError) == message


def test_urls_are_known_and_read_back_as_given(server):
    url = server.url().replace("rfc2217", "RFC2217").replace("127.0.0.1", "localhost")
    port = corvalink.serial_for_url(url, timeout=1)
    assert port.is_open and port.port == url
    port.close()
    for fn in (corvalink.serial_for_url, aio.serial_for_url):
        assert fn("socket://x:1", do_not_open=True).port == "socket://x:1"
    assert error_of(lambda: corvalink.serial_for_url("tcp://x:1"), ValueError) == "invalid URL, protocol 'tcp' not known"


def test_ipv6_address_in_brackets():
    try:
        server = ScriptedServer(family=socket.AF_INET6)
    except OSError:
        pytest.skip("no IPv6 loopback")
    try:
        with corvalink.Serial(server.url(), timeout=1) as port:
            port.write(b"six")
            assert wait_until(lambda: server.data() == b"six")
    finally:
        server.close()


def baud_only_up_to_57600(command, value):
    if command == 1 and int.from_bytes(value, "big") > 57600:
        return (9600).to_bytes(4, "big")
    return value


@pytest.mark.parametrize("server", [{"answer": baud_only_up_to_57600}], indirect=True)
def test_a_refused_setting_raises_and_the_previous_one_stays(server):
    url = server.url()
    with corvalink.Serial(url, timeout=1) as port:
        assert error_of(lambda: setattr(port, "baudrate", 115200)) == (
            f"{url}: the server refused baud rate 115200 (it reports 9600)")
        assert port.baudrate == 9600
        # Two at once: what the server took is put back.
        with pytest.raises(corvalink.SerialException):
            port.apply_settings({"parity": "E", "baudrate": 230400})
        assert (port.parity, port.baudrate) == ("N", 9600)
        assert [v for c, v in server.commands(3)] == [b"\x01", b"\x03", b"\x01"]
        port.baudrate = 57600
        assert server.commands(1)[-1] == (1, (57600).to_bytes(4, "big"))


def test_data_that_comes_while_a_setting_waits_is_kept():
    state = {"baud rates": 0}

    def answer(command, value):
        if command == 1:
            state["baud rates"] += 1
            if state["baud rates"] == 2:  # the change after the open
                server.send(b"during\xff\xff")  # escaped on the wire
        return value

    server = ScriptedServer(answer=answer)
    try:
        with corvalink.Serial(server.url(), timeout=None) as port:
            got = {}
            reader = threading.Thread(target=lambda: got.setdefault("read", port.read(7)))
            reader.start()
            time.sleep(0.1)  # the reader waits on the socket
            port.baudrate = 19200  # takes the data in while it waits for the answer
            reader.join(5)  # woken: the data is not in the socket any more
            assert got.get("read") == b"during\xff"
    finally:
        server.close()


def answering(command, value, reply):
    """A server's answer function: `reply` to `command` with `value`, every
    other command answered with its own value."""
    return lambda c, v: reply if (c, v) == (command, value) else v


@pytest.mark.parametrize("server,change,what", [
    ({"answer": answering(1, (19200).to_bytes(4, "big"), b"")}, {"baudrate": 19200},
     "baud rate 19200 (its answer carries no value)"),
    ({"answer": answering(4, b"\x02", b"")}, {"stopbits": 2}, "stop bits 2 (its answer carries no value)"),
    ({"answer": answering(2, b"\x07", b"\x00\x07")}, {"bytesize": 7}, "byte size 7 (it reports code 0 7)"),
], indirect=["server"])
def test_a_refused_setting_names_the_answer(server, change, what):
    with corvalink.Serial(server.url(), timeout=1) as port:
        assert error_of(lambda: port.apply_settings(change)) == f"{server.url()}: the server refused {what}"


@pytest.mark.parametrize("server", [{"answer": answering(1, (19200).to_bytes(4, "big"), None)}], indirect=True)
def test_a_setting_not_answered_is_put_back(server):
    # The server may have taken it: the previous value goes to it again, so
    # both ends hold the same.
    url = server.url("?timeout=0.3")
    with corvalink.Serial(url) as port:
        assert error_of(lambda: setattr(port, "baudrate", 19200)) == (
            f"{url}: no answer from the server to baud rate 19200 within 0.3 s")
        assert port.baudrate == 9600
        assert wait_until(lambda: [int.from_bytes(v, "big") for _, v in server.commands(1)] == [9600, 19200, 9600])


@pytest.mark.parametrize("server", [{"answer": lambda c, v: None if c == 2 else v}], indirect=True)
def test_a_setting_never_answered_raises(server):
    url = server.url("?timeout=0.3")
    assert error_of(lambda: corvalink.Serial(url, bytesize=7)) == (
        f"{url}: no answer from the server to byte size 7 within 0.3 s")


def test_commands_split_across_reads_and_escaped_data(server):
    with corvalink.Serial(server.url(), timeout=2) as port:
        stream = (b"a\xff\xffb" + subneg([107, 0x30]) + b"c" + bytes([IAC, SB, 99]) + b"x" * 100 +
                  bytes([IAC, SE]) + b"\xff\xff" + bytes([IAC, 241]) + b"d")
        for i in range(len(stream)):  # one byte per segment
            server.send(stream[i:i + 1])
            time.sleep(0.001)
        assert port.read(6) == b"a\xffbc\xffd"
        assert (port.cts, port.dsr, port.ri, port.cd) == (True, True, False, False)
        port.write(b"\xff" * 3 + b"e")
        assert wait_until(lambda: server.data() == b"\xff\xff\xffe")


def test_flow_control_suspend_holds_data_until_resume(server):
    with corvalink.Serial(server.url(), timeout=2, write_timeout=5) as port:
        server.send(subneg([108]) + b"s")  # the byte after it shows it was seen
        assert wait_until(lambda: port.in_waiting == 1)
        assert port.read(1) == b"s"
        done = threading.Thread(target=port.write, args=(b"held",))
        done.start()
        time.sleep(0.2)
        assert server.data() == b""
        server.send(subneg([109]))
        done.join(5)
        assert wait_until(lambda: server.data() == b"held")


@pytest.mark.parametrize("scheme", SCHEMES)
@pytest.mark.parametrize("reset", [False, True], ids=["closed", "reset"])
def test_connection_lost_mid_read_keeps_what_arrived(scheme, reset):
    server = ScriptedServer(telnet=scheme == "rfc2217")
    try:
        url = server.url()
        port = corvalink.Serial(url, timeout=2)
        server.send(b"partial")
        assert wait_until(lambda: port.in_waiting == 7)
        server.hang_up(reset=reset)
        assert port.read(100) == b"partial"
        message = error_of(lambda: port.read(1))
        assert message.startswith(f"{url}: ")
        assert ("closed by the peer" in message) or ("connection lost" in message)
        assert not port.is_open
    finally:
        server.close()


@pytest.mark.parametrize("scheme", SCHEMES)
def test_connection_lost_mid_write_fails_the_write(scheme):
    server = ScriptedServer(telnet=scheme == "rfc2217")
    try:
        url = server.url()
        port = corvalink.Serial(url, timeout=1)
        assert server.connected.wait(5)
        server.reading.clear()  # the server stops reading: the write fills the buffers and waits
        failed = {}

        def write():
            try:
                port.write(b"\xff" * (32 << 20))
            except corvalink.SerialException as e:
                failed["error"] = e.strerror or str(e)

        writer = threading.Thread(target=write)
        writer.start()
        time.sleep(0.2)
        server.hang_up(reset=True)
        writer.join(10)
        assert not writer.is_alive()
        assert failed["error"].startswith(f"{url}: connection lost: ")
        assert not port.is_open
    finally:
        server.close()


def test_close_and_cancel_end_a_waiting_read(server):
    port = corvalink.Serial(server.url(), timeout=None)
    outcome = {}
    reader = threading.Thread(target=lambda: outcome.setdefault("read", port.read(1)))
    reader.start()
    time.sleep(0.1)
    port.cancel_read()
    reader.join(5)
    assert outcome["read"] == b""

    def read_until_closed():
        try:
            port.read(1)
        except corvalink.PortNotOpenError as e:
            outcome["closed"] = e

    reader = threading.Thread(target=read_until_closed)
    reader.start()
    time.sleep(0.1)
    port.close()
    reader.join(5)
    assert isinstance(outcome["closed"], corvalink.PortNotOpenError)


def test_a_read_waiting_on_a_loop_that_stopped_finishes_for_a_wait():
    # Awaited on a loop, a receive waits through that loop; a wait from a
    # plain thread still ends it once the loop has stopped.
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = aio.Serial(f"socket://127.0.0.1:{listener.getsockname()[1]}", timeout=None)
        conn, _ = listener.accept()
        loop = asyncio.new_event_loop()
        try:

            async def start():
                f = port.read(5)
                await asyncio.sleep(0.02)
                assert not f.done()
                return f

            f = loop.run_until_complete(start())
            conn.sendall(b"hello")
            assert f.wait(5) == b"hello"
        finally:
            loop.close()
            port.close()
            conn.close()


# --- servers that greet, pause and close ----------------------------------------


@pytest.mark.parametrize("scheme", SCHEMES)
def test_what_the_server_sends_at_once_is_kept(scheme):
    # Sent on accept: for rfc2217:// it arrives during the negotiation.
    server = ScriptedServer(telnet=scheme == "rfc2217", greeting=b"HELLO")
    try:
        for _ in range(20):
            with corvalink.Serial(server.url(), timeout=2) as port:
                assert port.read(5) == b"HELLO"
            assert wait_until(lambda: server.conn is None or server.data() == b"", 5)
        assert not server.commands(12)  # no purge at open
    finally:
        server.close()


def run_on(loop_name, coro):
    if loop_name == "uvloop":
        if uvloop is None:
            pytest.skip("uvloop")
        return uvloop.run(coro)
    return asyncio.run(coro)


LOOPS = ["asyncio", "uvloop"]


@pytest.mark.parametrize("loop_name", LOOPS)
@pytest.mark.parametrize("scheme", SCHEMES)
def test_a_stream_reader_gets_all_that_came_before_the_peer_closed(loop_name, scheme):
    server = ScriptedServer(telnet=scheme == "rfc2217")
    data = bytes(i * 7 % 251 for i in range(100 << 10))

    async def main():
        reader, writer = await aio.open_serial_connection(url=server.url(), timeout=2)
        server.send(data.replace(b"\xff", b"\xff\xff") if scheme == "rfc2217" else data)
        server.hang_up()
        await asyncio.sleep(0.8)
        assert await reader.read(len(data) + 1) == data
        assert await reader.read(1) == b""  # the end of the input, not an error
        assert reader.at_eof()
        writer.close()
        await writer.wait_closed()

    try:
        run_on(loop_name, asyncio.wait_for(main(), 20))
    finally:
        server.close()


@pytest.mark.parametrize("reset", [False, True], ids=["closed", "reset"])
def test_a_protocol_hears_the_end_of_input_then_the_end(reset):
    server = ScriptedServer()

    class Record(asyncio.Protocol):
        def __init__(self):
            self.events = []
            self.done = asyncio.Event()

        def data_received(self, data):
            self.events.append(bytes(data))

        def eof_received(self):
            self.events.append("eof")

        def connection_lost(self, exc):
            self.events.append(exc)
            self.done.set()

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Record, server.url(), timeout=2)
        server.send(b"last")
        while not protocol.events:
            await asyncio.sleep(0.01)
        server.hang_up(reset=reset)
        await protocol.done.wait()
        return protocol.events

    try:
        events = asyncio.run(asyncio.wait_for(main(), 20))
    finally:
        server.close()
    assert events[0] == b"last"
    if reset:
        assert len(events) == 2 and isinstance(events[1], corvalink.SerialException)
    else:
        assert events[1:] == ["eof", None]


@pytest.mark.parametrize("end", ["write_timeout", "cancel_write"])
@pytest.mark.parametrize("face", ["blocking", "aio"])
def test_a_write_ending_while_paused_leaves_the_reader_awake(server, face, end):
    # The server pauses our output; a write waits for its resume and ends
    # by its timeout or a cancel. A reader waiting meanwhile still gets what
    # the server sends afterwards.
    write_timeout = 0.3 if end == "write_timeout" else None
    cls = aio.Serial if face == "aio" else corvalink.Serial
    port = cls(server.url(), timeout=None, write_timeout=write_timeout)
    try:
        server.send(subneg([108]) + b"s")
        got = {}
        if face == "aio":
            assert port.read(1).wait(5) == b"s"
            reading = port.read(5)
            time.sleep(0.1)
            writing = port.write(b"held")
            time.sleep(0.2)
            if end == "cancel_write":
                port.cancel_write()
            assert _ended(lambda: writing.wait(5)) in (0, "timeout", "cancelled")
            server.send(b"hello")
            got["read"] = reading.wait(5)
        else:
            assert port.read(1) == b"s"
            reader = threading.Thread(target=lambda: got.setdefault("read", port.read(5)))
            reader.start()
            time.sleep(0.1)
            written = {}
            writer = threading.Thread(target=lambda: written.setdefault("n", _ended(lambda: port.write(b"held"))))
            writer.start()
            time.sleep(0.2)
            if end == "cancel_write":
                port.cancel_write()
            writer.join(5)
            assert not writer.is_alive() and written["n"] in (0, "timeout")
            server.send(b"hello")
            reader.join(5)
            assert not reader.is_alive()
        assert got["read"] == b"hello"
        assert server.data() == b""
    finally:
        port.close()


def _ended(write):
    """How a write ended: its count, "timeout" or "cancelled"."""
    try:
        return write()
    except corvalink.SerialTimeoutException:
        return "timeout"
    except (asyncio.CancelledError, corvalink.aio.CancelledError if hasattr(aio, "CancelledError") else ()):
        return "cancelled"


# --- hostile servers ---------------------------------------------------------------


@pytest.fixture
def hostile(request):
    mode, family = request.param if isinstance(request.param, tuple) else (request.param, socket.AF_INET)
    try:
        s = HostileServer(mode, family=family)
    except OSError:
        pytest.skip("no IPv6 loopback" if family == socket.AF_INET6 else "server")
    yield s
    s.close()


COMMAND_FLOODS = ["nop", "endless-sb", "do-99", ("nop", socket.AF_INET6)]
# Far above the timeouts asked for, far below a wait that does not end.
BOUND = 2.5


def timed(fn):
    start = time.monotonic()
    try:
        return fn(), time.monotonic() - start
    except Exception as e:  # noqa: BLE001 - the caller looks at it
        return e, time.monotonic() - start


def flooding(hostile, **kwargs):
    """A port whose server has begun its flood."""
    port = corvalink.Serial(hostile.url(kwargs.pop("query", "")), **kwargs)
    port.write(b"!")
    time.sleep(0.2)
    return port


@pytest.mark.parametrize("hostile", COMMAND_FLOODS, indirect=True)
def test_calls_keep_their_timeouts_while_a_server_sends_only_commands(hostile):
    port = flooding(hostile, timeout=0.3, query="?timeout=0.5")
    try:
        for size in (1024, 1):  # straight into the caller's buffer, and through ours
            got, took = timed(lambda: port.read(size))
            assert got == b"" and took < BOUND
        n, took = timed(lambda: port.in_waiting)
        assert n == 0 and took < BOUND
        error, took = timed(lambda: setattr(port, "baudrate", 19200))
        assert isinstance(error, corvalink.SerialException) and "within 0.5 s" in str(error) and took < BOUND
        assert port.baudrate == 9600
    finally:
        port.close()


@pytest.mark.parametrize("loop_name", LOOPS)
@pytest.mark.parametrize("hostile", ["nop", "endless-sb"], indirect=True)
def test_an_awaited_read_keeps_its_timeout_while_a_server_sends_only_commands(hostile, loop_name):
    port = aio.Serial(hostile.url(), timeout=0.3)

    async def main():
        await port.write(b"!")
        await asyncio.sleep(0.2)
        start = time.monotonic()
        assert await port.read(1024) == b""
        return time.monotonic() - start

    try:
        assert run_on(loop_name, asyncio.wait_for(main(), 20)) < BOUND
    finally:
        port.close()


@pytest.mark.parametrize("call", ["read", "setting"])
@pytest.mark.parametrize("hostile", ["nop", "do-99"], indirect=True)
def test_close_from_another_thread_ends_a_wait_under_a_flood(hostile, call):
    port = flooding(hostile, timeout=None)  # the URL's own timeout is 3 s
    outcome = {}

    def wait():
        try:
            if call == "read":
                port.read(1)
            else:
                port.baudrate = 19200
        except corvalink.SerialException as e:
            outcome["error"] = e

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.3)
    _, took = timed(port.close)
    waiter.join(BOUND)
    assert took < 1.5 and not waiter.is_alive()
    assert isinstance(outcome["error"], corvalink.PortNotOpenError)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@pytest.mark.parametrize("hostile", ["do-99", "toggle"], indirect=True)
def test_replies_to_a_server_that_never_reads_are_bounded(hostile):
    port = flooding(hostile, timeout=0.2)
    try:
        before = rss()
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            assert port.read(4096) == b""
            assert port.in_waiting == 0
        # What is queued for the server is no data of ours.
        assert port.out_waiting == 0
        assert rss() - before < 32 << 20
    finally:
        port.close()
