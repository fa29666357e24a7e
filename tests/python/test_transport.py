"""The asyncio transport and the connection helpers, on the default loop and uvloop."""

import asyncio
import gc
import os
import socket
import threading
import time
import tty
import weakref

import pytest

import corvalink
from corvalink import aio

LOOPS = ["asyncio"]
try:
    import uvloop

    LOOPS.append("uvloop")
except ImportError:  # pragma: no cover - the development root has it
    uvloop = None


@pytest.fixture(params=LOOPS)
def run(request):
    def runner(fn, *args):
        factory = uvloop.new_event_loop if request.param == "uvloop" else asyncio.new_event_loop
        with asyncio.Runner(loop_factory=factory) as r:
            return r.run(asyncio.wait_for(fn(*args), 20))

    return runner


class Recorder(asyncio.Protocol):
    """Records every protocol call in order."""

    def __init__(self):
        self.events = []
        self.data = bytearray()
        self.lost = asyncio.get_running_loop().create_future()
        self.transport = None

    def connection_made(self, transport):
        self.events.append("made")
        self.transport = transport

    def data_received(self, data):
        self.events.append("data")
        self.data += data

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append("lost")
        self.lost.set_result(exc)

    async def received(self, n):
        while len(self.data) < n:
            await asyncio.sleep(0.005)
        return bytes(self.data)


@pytest.fixture
def pty_pair():
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    name = os.ttyname(slave)
    yield master, name
    for fd in (master, slave):
        try:
            os.close(fd)
        except OSError:
            pass


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


# --- the class ------------------------------------------------------------------------------


def test_serial_transport_class():
    cls = aio.SerialTransport
    assert cls is aio.SerialTransport
    assert cls.__bases__ == (asyncio.Transport,)
    assert (cls.__module__, cls.__qualname__) == ("corvalink.aio", "SerialTransport")
    assert cls.__slots__ == ("_core", "__weakref__")
    assert "SerialTransport" in aio.__all__ and "__getattr__" not in aio.__all__
    assert "SerialTransport" not in vars(aio)
    with pytest.raises(AttributeError, match="^module 'corvalink.aio' has no attribute 'Nope'$"):
        aio.Nope


def test_helpers_return_deferred_coroutines_that_work_on_the_first_step():
    import collections.abc

    d = aio.connection_for_serial(None, dict, object())  # nothing runs yet
    assert isinstance(d, collections.abc.Coroutine)
    assert type(d).__name__ == "Deferred"
    d.close()
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        d.send(None)
    d = aio.connection_for_serial(None, dict, object())
    with pytest.raises(TypeError, match="'object' object is not an instance of 'SerialBase'"):
        d.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse"):
        d.send(None)
    d = aio.open_serial_connection(url="loop://")
    with pytest.raises(ValueError):
        d.throw(ValueError)
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        d.throw(1)


def test_deferred_works_with_create_task(run):
    async def main():
        loop = asyncio.get_running_loop()
        calls = []

        def factory():
            calls.append(1)
            return Recorder()

        transport, protocol = await aio.create_serial_connection(loop, factory, "loop://", timeout=3)
        assert calls == [1] and protocol.events == ["made"] and protocol.transport is transport
        assert transport.get_protocol() is protocol
        assert transport.serial.timeout == 0 and transport.serial.write_timeout == 0
        transport.abort()
        await protocol.lost
        transport, protocol = await asyncio.create_task(aio.create_serial_connection(loop, factory, "loop://"))
        assert transport.get_protocol() is protocol and calls == [1, 1]
        transport.abort()
        await protocol.lost

    run(main)


@pytest.mark.parametrize("helper", ["create_serial_connection", "connection_for_serial", "a port closed already"])
def test_connection_made_comes_first_and_the_helpers_return_after_it(run, helper):
    async def main():
        loop = asyncio.get_running_loop()
        s = aio.Serial("loop://", timeout=None)
        read = s.read(1)
        threading.Thread(target=lambda: s.write(b"x").wait(5)).start()
        # Resumed by the delivery of an outcome that another thread finished.
        assert await asyncio.wait_for(read, 5) == b"x"
        if helper == "create_serial_connection":
            transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        else:
            port = corvalink.Serial("loop://")
            if helper == "a port closed already":
                port.close()  # the transport learns of it while that delivery still runs
            transport, protocol = await aio.connection_for_serial(loop, Recorder, port)
        assert protocol.events == ["made"]
        transport.close()
        await asyncio.wait_for(protocol.lost, 5)
        assert protocol.events == ["made", "lost"]
        s.close()

    run(main)


def test_a_helper_cancelled_before_it_returns_closes_what_it_made(run):
    async def main():
        loop = asyncio.get_running_loop()
        made = []

        def factory():
            made.append(Recorder())
            return made[-1]

        task = asyncio.ensure_future(aio.create_serial_connection(loop, factory, "loop://"))
        await asyncio.sleep(0)  # the transport is made; the helper waits for connection_made
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert await asyncio.wait_for(made[0].lost, 5) is None
        assert made[0].events == ["made", "lost"]
        assert not made[0].transport.serial.is_open

    run(main)


# --- reading and writing ------------------------------------------------------------------------


def test_echo_through_loop(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        assert isinstance(transport, asyncio.Transport)
        assert transport.loop is loop and transport.get_extra_info("serial") is transport.serial
        assert transport.get_extra_info("peer", 5) == 5
        transport.write(b"hello ")
        transport.writelines([b"wor", bytearray(b"ld"), "!"])
        assert await protocol.received(12) == b"hello world!"
        assert protocol.events[0] == "made"
        transport.close()
        assert await protocol.lost is None
        assert transport.is_closing() and not transport.is_reading()
        assert not transport.serial.is_open
        assert transport.get_protocol() is None and "None" in repr(transport)

    run(main)


def test_echo_through_a_pty(run, pty_pair):
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, name)
        payload = bytes(range(256)) * 64
        transport.write(payload)
        got = bytearray()
        while len(got) < len(payload):
            got += await loop.run_in_executor(None, os.read, master, 65536)
        assert bytes(got) == payload
        # Written from another thread: the pty holds only a few KiB.
        await loop.run_in_executor(None, write_all, master, payload)
        assert await protocol.received(len(payload)) == payload
        transport.close()
        await protocol.lost

    run(main)


def test_pause_and_resume_reading_deliver_held_data_at_once(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        await asyncio.sleep(0.01)
        transport.pause_reading()
        assert not transport.is_reading()
        for chunk in (b"one ", b"two ", b"three"):
            transport.write(chunk)
            await asyncio.sleep(0.02)
        assert protocol.events == ["made"]
        transport.resume_reading()
        transport.resume_reading()  # without a pause: nothing
        await protocol.received(13)
        await asyncio.sleep(0.05)
        assert bytes(protocol.data) == b"one two three"
        assert protocol.events.count("data") <= 2  # what was held arrives as one piece
        transport.abort()
        await protocol.lost

    run(main)


@pytest.mark.parametrize(
    "args, limits",
    [({}, (16384, 65536)), ({"high": 100}, (25, 100)), ({"low": 10}, (10, 40)), ({"high": 8, "low": 8}, (8, 8))],
)
def test_write_buffer_limits(run, args, limits):
    async def main():
        transport, protocol = await aio.create_serial_connection(asyncio.get_running_loop(), Recorder, "loop://")
        if args:
            transport.set_write_buffer_limits(**args)
        assert transport.get_write_buffer_limits() == limits
        transport.abort()
        await protocol.lost

    run(main)


@pytest.mark.parametrize("high, low, text", [(1, 2, "high (1) must be >= low (2) must be >= 0"),
                                             (-1, None, "high (-1) must be >= low (0) must be >= 0")])
def test_invalid_limits(run, high, low, text):
    async def main():
        transport, protocol = await aio.create_serial_connection(asyncio.get_running_loop(), Recorder, "loop://")
        with pytest.raises(ValueError) as info:
            transport.set_write_buffer_limits(high=high, low=low)
        assert str(info.value) == text
        transport.abort()
        await protocol.lost

    run(main)


def test_flow_control_pauses_once_and_resumes_once(run, pty_pair):
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, name)
        transport.set_write_buffer_limits(high=64)
        # More than the terminal takes at once: what it cannot take stays in flight.
        transport.write(b"a" * (1 << 20))
        for _ in range(4):
            transport.write(b"b" * 100)
        assert protocol.events.count("pause") == 1
        got = 0
        while got < (1 << 20) + 400:
            got += len(await loop.run_in_executor(None, os.read, master, 65536))
        while "resume" not in protocol.events:
            await asyncio.sleep(0.005)
        assert protocol.events.count("pause") == 1 and protocol.events.count("resume") == 1
        assert transport.get_write_buffer_size() == 0
        transport.close()
        await protocol.lost

    run(main)


def test_close_delivers_buffered_data_then_connection_lost(run, pty_pair):
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, name)
        payload = os.urandom(200_000)
        transport.write(payload)
        transport.close()
        transport.close()  # a second close does nothing
        transport.write(b"dropped")  # after close: dropped silently
        got = bytearray()
        while len(got) < len(payload):
            got += await loop.run_in_executor(None, os.read, master, 65536)
        assert await protocol.lost is None
        assert bytes(got) == payload
        assert protocol.events.count("lost") == 1

    run(main)


def test_abort_discards_and_calls_connection_lost_once(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        await asyncio.sleep(0)
        transport.pause_reading()
        transport.write(b"x" * 10)
        transport.write(b"y" * 10)
        transport.abort()
        assert transport.get_write_buffer_size() == 0
        assert await protocol.lost is None
        transport.close()
        await asyncio.sleep(0.05)
        assert protocol.events.count("lost") == 1 and not transport.serial.is_open

    run(main)


def test_flush_discards_unsent_data(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        transport.pause_reading()
        transport.set_write_buffer_limits(high=4)
        transport.write(b"12345")
        transport.write(b"dropped")
        transport.flush()
        assert transport.get_write_buffer_size() <= 5
        transport.abort()
        await protocol.lost

    run(main)


def test_read_error_closes_with_the_error_once(run, pty_pair):
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, name)
        await asyncio.sleep(0.05)
        os.close(master)  # the other side hangs up
        exc = await protocol.lost
        assert isinstance(exc, corvalink.SerialException)
        await asyncio.sleep(0.05)
        assert protocol.events.count("lost") == 1
        assert not transport.serial.is_open

    run(main)


def test_write_type_error_and_write_eof(run):
    async def main():
        transport, protocol = await aio.create_serial_connection(asyncio.get_running_loop(), Recorder, "loop://")
        with pytest.raises(TypeError):
            transport.write(5)
        assert transport.can_write_eof() is False
        with pytest.raises(NotImplementedError, match="^Serial connections do not support end-of-file$"):
            transport.write_eof()
        transport.abort()
        await protocol.lost

    run(main)


def test_protocol_hook_errors_go_to_the_exception_handler(run):
    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda _loop, context: reports.append(context))

        class Bad(Recorder):
            def pause_writing(self):
                raise RuntimeError("hook")

        transport, protocol = await aio.create_serial_connection(loop, Bad, "loop://")
        transport.pause_reading()
        transport.set_write_buffer_limits(high=1)
        transport.write(b"abc" * 100_000)  # far more than loop:// holds: most of it waits
        assert [r["message"] for r in reports] == ["protocol.pause_writing() failed"]
        assert reports[0]["transport"] is transport and reports[0]["protocol"] is protocol
        assert isinstance(reports[0]["exception"], RuntimeError)
        transport.write(b"more")  # state intact: still buffering, still open
        assert not transport.is_closing()
        transport.abort()
        await protocol.lost

    run(main)


def test_closing_the_loop_closes_the_port_at_the_next_completion():
    loop = asyncio.new_event_loop()
    transport, protocol = loop.run_until_complete(_connect(loop))
    serial = transport.serial
    loop.run_until_complete(asyncio.sleep(0.05))
    loop.close()
    # The read in flight restarts within a second; its completion finds the loop gone.
    end = time.monotonic() + 5
    while serial.is_open and time.monotonic() < end:
        time.sleep(0.05)
    assert not serial.is_open


async def _connect(loop):
    return await aio.create_serial_connection(loop, asyncio.Protocol, "loop://")


# --- streams --------------------------------------------------------------------------------------


def test_open_serial_connection_streams(run):
    async def main():
        reader, writer = await aio.open_serial_connection(url="loop://", baudrate=115200)
        assert isinstance(reader, asyncio.StreamReader) and isinstance(writer, asyncio.StreamWriter)
        assert writer.transport.serial.baudrate == 115200
        writer.write(b"ping\n")
        await writer.drain()
        assert await asyncio.wait_for(reader.readline(), 5) == b"ping\n"
        writer.close()
        await writer.wait_closed()
        assert not writer.transport.serial.is_open

    run(main)


def test_nothing_outlives_a_closed_transport(run):
    async def main():
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(20):
            reader, writer = await aio.open_serial_connection(url="loop://")
            writer.close()
            await writer.wait_closed()
        gc.collect()
        await asyncio.sleep(0.05)
        # Once per loop: its poller and the doorbell in it.
        assert len(os.listdir("/proc/self/fd")) <= before + 2

    run(main)


# --- edges: hang-ups, closes, bad input ------------------------------------------------------------


@pytest.mark.parametrize("side", ["the write side", "the read side"])
def test_a_hang_up_goes_to_connection_lost_only_whichever_side_notices(run, pty_pair, side):
    # An OSError (a SerialException is one) ends the transport through
    # connection_lost only, as in asyncio's transports; the exception
    # handler hears nothing of it, whichever side met it first.
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda _loop, context: reports.append(context))
        transport, protocol = await aio.create_serial_connection(loop, Recorder, name)
        if side == "the write side":
            transport.pause_reading()  # only the write side watches the line
            transport.write(b"w" * (1 << 20))  # more than the terminal takes: the rest waits
        await asyncio.sleep(0.05)
        os.close(master)
        exc = await protocol.lost
        assert isinstance(exc, corvalink.SerialException) and not isinstance(exc, corvalink.PortNotOpenError)
        await asyncio.sleep(0.05)
        assert protocol.events.count("lost") == 1 and not transport.serial.is_open
        assert reports == []

    run(main)


@pytest.mark.parametrize("device, raised", [("loop://", RuntimeError), ("pty", RuntimeError), ("loop://", OSError)])
def test_an_exception_in_data_received_ends_the_transport(run, pty_pair, device, raised):
    # As in asyncio's transports: reported (an OSError only to
    # connection_lost), then connection_lost gets it; nothing more is read.
    master, name = pty_pair

    class Failing(Recorder):
        def data_received(self, data):
            super().data_received(data)
            raise raised("boom")

    async def main():
        loop = asyncio.get_running_loop()
        reports = []
        loop.set_exception_handler(lambda _loop, context: reports.append(context))
        transport, protocol = await aio.create_serial_connection(loop, Failing, "loop://" if device == "loop://" else name)
        send = transport.serial.write if device == "loop://" else (lambda data: os.write(master, data))
        send(b"first")
        exc = await asyncio.wait_for(protocol.lost, 5)
        assert isinstance(exc, raised) and str(exc) == "boom"
        assert transport.is_closing() and not transport.serial.is_open
        if raised is OSError:
            assert reports == []
        else:
            assert [r["message"] for r in reports] == ["Fatal error: protocol.data_received() call failed."]
            assert reports[0]["exception"] is exc and reports[0]["protocol"] is protocol
        assert protocol.events == ["made", "data", "lost"]

    run(main)


def test_nothing_is_delivered_after_close(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        await asyncio.sleep(0.01)
        transport.pause_reading()
        transport.write(b"held")
        await asyncio.sleep(0.05)  # the read in flight took it: held
        transport.close()
        transport.resume_reading()
        await protocol.lost
        await asyncio.sleep(0.05)
        assert "data" not in protocol.events

    run(main)


def test_writelines_writes_nothing_when_an_item_is_bad(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        with pytest.raises(TypeError):
            transport.writelines([b"first", 5, b"last"])
        transport.writelines([b"one ", bytearray(b"two "), "three"])
        assert await protocol.received(13) == b"one two three"
        transport.abort()
        await protocol.lost

    run(main)


@pytest.mark.parametrize(
    "args, limits",
    [({"low": 2**61}, (2**61, 2**63)), ({"high": 2**70}, (2**68, 2**64 - 1)), ({"high": 2**64 + 5, "low": 0}, (0, 2**64 - 1))],
)
def test_large_limits_saturate(run, args, limits):
    async def main():
        transport, protocol = await aio.create_serial_connection(asyncio.get_running_loop(), Recorder, "loop://")
        transport.set_write_buffer_limits(**args)
        low, high = limits
        assert transport.get_write_buffer_limits() == (min(low, 2**64 - 1), min(high, 2**64 - 1))
        with pytest.raises(ValueError, match=r"^high \(1\) must be >= low \(1237940039285380274899124224\) must be >= 0$"):
            transport.set_write_buffer_limits(high=1, low=2**90)
        transport.abort()
        await protocol.lost

    run(main)


def test_cancel_write_puts_the_unwritten_rest_back(run, pty_pair):
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, name)
        payload = bytes(range(256)) * 4096  # 1 MiB: most of it waits in a port write
        transport.write(payload)
        await asyncio.sleep(0.05)
        transport.serial.cancel_write()
        await asyncio.sleep(0.05)
        left = transport.get_write_buffer_size()
        assert 0 < left < len(payload)  # what did not go out is still buffered
        transport.write(b"tail")  # goes out after the rest, in order
        got = bytearray()
        while len(got) < len(payload) + 4:
            got += await loop.run_in_executor(None, os.read, master, 65536)
        assert bytes(got) == payload + b"tail"
        transport.close()
        await protocol.lost

    run(main)


def test_graceful_close_of_a_loop_transport_with_more_than_it_holds(run):
    async def main():
        loop = asyncio.get_running_loop()
        transport, protocol = await aio.create_serial_connection(loop, Recorder, "loop://")
        transport.write(b"x" * 20_000)  # the transport's own read drains the ring
        transport.close()
        assert await asyncio.wait_for(protocol.lost, 10) is None
        assert not transport.serial.is_open

    run(main)


async def _watched_by_the_loop(reuser, loop, name, master, first_lost):
    """Opens a descriptor and watches it through the loop at once; once the
    first transport ended, the descriptor's readiness still reaches it."""
    if reuser == "a new connection":
        t, p = await aio.create_serial_connection(loop, Recorder, name)
        await asyncio.sleep(0)  # connected and watched before anything is sent
        assert isinstance(await asyncio.wait_for(first_lost, 5), corvalink.PortNotOpenError)
        write_all(master, b"abc")
        await asyncio.wait_for(p.received(3), 5)
        t.close()
        await asyncio.wait_for(p.lost, 5)
        return
    if reuser == "add_reader":
        r, w = os.pipe()
        got = loop.create_future()
        loop.add_reader(r, lambda: got.done() or got.set_result(os.read(r, 10)))
        try:
            assert isinstance(await asyncio.wait_for(first_lost, 5), corvalink.PortNotOpenError)
            os.write(w, b"x")
            assert await asyncio.wait_for(got, 5) == b"x"
        finally:
            loop.remove_reader(r)
            os.close(r)
            os.close(w)
        return
    a, b = socket.socketpair()
    a.setblocking(False)
    try:
        task = asyncio.ensure_future(loop.sock_recv(a, 10))
        assert isinstance(await asyncio.wait_for(first_lost, 5), corvalink.PortNotOpenError)
        b.send(b"y")
        assert await asyncio.wait_for(task, 5) == b"y"
    finally:
        a.close()
        b.close()


@pytest.mark.parametrize("closer", ["the loop's thread", "another thread"])
@pytest.mark.parametrize("reuser", ["a new connection", "add_reader", "sock_recv"])
def test_a_descriptor_opened_right_after_the_port_closed_is_watched(run, pty_pair, closer, reuser):
    # The closed port's descriptor number is not reused while the loop's
    # selector still holds it; whoever opens a descriptor at once gets its
    # readiness, also after the first transport ended and let go of its own.
    master, name = pty_pair

    async def main():
        loop = asyncio.get_running_loop()
        t1, p1 = await aio.create_serial_connection(loop, Recorder, name)
        await asyncio.sleep(0)
        write_all(master, b"1")
        await asyncio.wait_for(p1.received(1), 5)  # the loop watches the descriptor
        if closer == "another thread":
            closing = threading.Thread(target=t1.serial.close)
            closing.start()
            closing.join(5)  # the loop is busy meanwhile
        else:
            t1.serial.close()
        await _watched_by_the_loop(reuser, loop, name, master, p1.lost)

    run(main)


@pytest.mark.parametrize("kind", LOOPS)
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_a_loop_left_without_close_is_collected_with_its_transport(pty_pair, kind):
    # The loop's selector holds the transport's watchers, which hold the
    # transport, which holds the loop: collected together, and the port of a
    # transport whose loop went away is closed.
    master, name = pty_pair
    kept = {}

    def body():
        loop = (uvloop.new_event_loop if kind == "uvloop" else asyncio.new_event_loop)()
        t, p = loop.run_until_complete(aio.create_serial_connection(loop, Recorder, name))
        loop.run_until_complete(asyncio.sleep(0.02))  # connected, watched
        kept.update(loop=weakref.ref(loop), serial=t.serial)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join(10)
    gc.collect()
    assert kept["loop"]() is None
    assert not kept["serial"].is_open


def test_a_graceful_close_ends_when_its_port_is_closed_under_it(run, pty_pair):
    # The buffered data can no longer go out: the transport ends with the
    # close instead of waiting for room for ever, and lets go of its
    # descriptor.
    master, name = pty_pair

    async def main():
        t, p = await aio.create_serial_connection(asyncio.get_running_loop(), Recorder, name)
        await asyncio.sleep(0)
        t.write(b"x" * 200_000)  # nobody reads the other side: the rest waits for room
        t.close()
        closing = threading.Thread(target=t.serial.close)
        closing.start()
        closing.join(5)
        assert isinstance(await asyncio.wait_for(p.lost, 5), corvalink.PortNotOpenError)

    run(main)
