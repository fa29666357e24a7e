"""corvalink.threaded: the framing protocols on their own, and ReaderThread on
loop:// and on pseudo-terminals (the test playing the device on the master)."""

import os
import queue
import select
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvalink
from corvalink.threaded import (
    FramedPacket,
    LineReader,
    PacketOverflowError,
    Packetizer,
    Protocol,
    ReaderThread,
)

pytestmark = pytest.mark.timeout(60)

WAIT = 10  # seconds: the bound of every wait for the reader thread


def pieces(data, cuts):
    """data cut at the given offsets (sorted, deduplicated)."""
    edges = [0, *sorted(set(c % (len(data) + 1) for c in cuts)), len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


class Packets(Packetizer):
    def __init__(self):
        super().__init__()
        self.packets = []
        self.dropped = bytearray()

    def handle_packet(self, packet):
        self.packets.append(packet)

    def handle_overflow(self, data):
        self.dropped += data


class Frames(FramedPacket):
    START = b"<"
    STOP = b">"

    def __init__(self):
        super().__init__()
        self.packets = []
        self.outside = bytearray()
        self.dropped = bytearray()

    def handle_packet(self, packet):
        self.packets.append(packet)

    def handle_out_of_packet_data(self, data):
        self.outside += data

    def handle_overflow(self, data):
        self.dropped += data


# --- framing -----------------------------------------------------------------


@settings(max_examples=300, deadline=None)
@given(
    term=st.sampled_from([b"\0", b"\r\n", b"abab"]),
    stream=st.binary(max_size=120).map(lambda b: b.replace(b"\x01", b"\r\n").replace(b"\x02", b"abab")),
    cuts=st.lists(st.integers(min_value=0, max_value=200), max_size=12),
)
def test_packetizer_finds_the_same_packets_however_the_input_is_split(term, stream, cuts):
    class P(Packets):
        TERMINATOR = term

    p = P()
    for piece in pieces(stream, cuts):
        p.data_received(piece)
    *expected, rest = stream.split(term)
    assert p.packets == expected
    assert bytes(p.buffer) == rest


def frames_of(stream):
    """The frames and the outside bytes of a <...> stream, byte by byte."""
    packets, outside, current = [], bytearray(), None
    for b in stream:
        c = bytes([b])
        if current is None:
            if c == b"<":
                current = bytearray()
            else:
                outside += c
        elif c == b">":
            packets.append(bytes(current))
            current = None
        else:
            current += c
    return packets, bytes(outside)


@settings(max_examples=300, deadline=None)
@given(stream=st.lists(st.sampled_from([b"<", b">", b"x", b"yz", b"\0"]), max_size=60).map(b"".join),
       cuts=st.lists(st.integers(min_value=0, max_value=200), max_size=12))
def test_framed_packet_finds_the_same_frames_however_the_input_is_split(stream, cuts):
    p = Frames()
    for piece in pieces(stream, cuts):
        p.data_received(piece)
    packets, outside = frames_of(stream)
    assert p.packets == packets
    assert bytes(p.outside) == outside


@pytest.mark.parametrize("chunk", [1, 7, 64])
def test_packetizer_drops_an_oversized_packet_and_goes_on(chunk):
    class P(Packets):
        TERMINATOR = b"\r\n"
        MAX_PACKET_SIZE = 16

    p = P()
    flood = bytes(i % 251 for i in range(1000)).replace(b"\r", b"R")
    for piece in pieces(flood + b"\r\nok\r\n", range(0, 2000, chunk)):
        p.data_received(piece)
        assert len(p.buffer) <= P.MAX_PACKET_SIZE + chunk
    assert p.packets == [b"ok"]
    assert bytes(p.dropped) == flood + b"\r\n"


def test_framed_packet_drops_an_oversized_frame_up_to_its_stop():
    class F(Frames):
        MAX_PACKET_SIZE = 8

    f = F()
    for piece in pieces(b"<0123456789abcdef>junk<ok>", range(0, 40, 3)):
        f.data_received(piece)
        assert len(f.buffer) <= F.MAX_PACKET_SIZE
    assert f.packets == [b"ok"]
    assert bytes(f.dropped) == b"0123456789abcdef"
    assert bytes(f.outside) == b"junk"


@pytest.mark.parametrize("protocol", [Packetizer, LineReader, FramedPacket])
def test_a_terminator_that_never_comes_is_reported_by_default(protocol):
    p = protocol()
    with pytest.raises(PacketOverflowError):
        for _ in range(100):
            p.data_received(b"(" + b"x" * 4096)
    assert len(p.buffer) <= protocol.MAX_PACKET_SIZE


# --- the reader thread ---------------------------------------------------------


class Recorder(LineReader):
    """Queues every callback as (name, argument)."""

    TERMINATOR = b"\n"

    def __init__(self):
        super().__init__()
        self.events = queue.Queue()

    def connection_made(self, transport):
        super().connection_made(transport)
        self.events.put(("made", transport))

    def handle_line(self, line):
        self.events.put(("line", line))

    def connection_lost(self, exc):
        super().connection_lost(exc)
        self.events.put(("lost", exc))

    def next(self, kind):
        name, arg = self.events.get(timeout=WAIT)
        assert name == kind, (name, arg)
        return arg


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)

    def receive(self, n):
        out = bytearray()
        deadline = time.monotonic() + WAIT
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            out += os.read(self.master, 65536)
        return bytes(out)

    def close(self):
        for fd in (self.master, self.slave):
            if fd >= 0:
                os.close(fd)
        self.master = self.slave = -1


class Link:
    """An open port and the device's side of it: `send` reaches the port's
    input; `receive` returns what the port wrote (on loop:// it is read back
    by the port itself, so there it is None)."""

    def __init__(self, kind):
        self.pty = None
        if kind == "pty":
            self.pty = Pty()
            self.port = corvalink.Serial(self.pty.name)
        else:
            self.port = corvalink.Serial("loop://")

    def send(self, data):
        if self.pty:
            os.write(self.pty.master, data)
        else:
            self.port.write(data)

    def close(self):
        self.port.close()
        if self.pty:
            self.pty.close()


kinds = ["loop"] + (["pty"] if sys.platform.startswith("linux") else [])


@pytest.fixture(params=kinds)
def link(request):
    link = Link(request.param)
    yield link
    link.close()


def test_lines_arrive_in_order_and_the_end_is_clean(link):
    thread = ReaderThread(link.port, Recorder)
    with thread as protocol:
        assert protocol.next("made") is thread
        lines = [f"{i:05d} ✓" for i in range(2000)]
        link.send("".join(line + "\n" for line in lines).encode())
        for line in lines:
            assert protocol.next("line") == line
    assert protocol.next("lost") is None
    assert not thread.is_alive()
    assert not link.port.is_open


def test_write_line_reaches_the_device(link):
    with ReaderThread(link.port, Recorder) as protocol:
        protocol.next("made")
        protocol.write_line("AT+ID?")
        if link.pty:
            assert link.pty.receive(7) == b"AT+ID?\n"
        else:
            assert protocol.next("line") == "AT+ID?"


@pytest.mark.parametrize("where", ["now", "from another thread", "twice", "from a callback"])
def test_stop_ends_a_waiting_read(link, where):
    class Stopper(Recorder):
        def handle_line(self, line):
            super().handle_line(line)
            self.transport.stop()
            self.transport.stop()

    thread = ReaderThread(link.port, Stopper)
    thread.start()
    _, protocol = thread.connect()
    protocol.next("made")
    time.sleep(0.05)  # let the read start waiting
    if where == "from a callback":
        link.send(b"stop\n")
        assert protocol.next("line") == "stop"
        thread.join(WAIT)
        link.send(b"not seen\n")
    elif where == "from another thread":
        others = [threading.Thread(target=thread.stop, args=(WAIT,)) for _ in range(3)]
        for t in others:
            t.start()
        for t in others:
            t.join(WAIT)
    else:
        thread.stop(WAIT)
        if where == "twice":
            thread.stop(WAIT)
    assert not thread.is_alive()
    assert protocol.next("lost") is None
    assert protocol.events.empty()
    assert link.port.is_open  # stop() leaves the port to its owner; close() closes it


@pytest.mark.parametrize("error", [ValueError("bad line"), SystemExit(3), KeyboardInterrupt()])
@pytest.mark.parametrize("callback", ["connection_made", "handle_line"])
def test_a_protocol_exception_ends_the_thread_through_connection_lost(link, monkeypatch, error, callback):
    unhandled = []
    monkeypatch.setattr(threading, "excepthook", unhandled.append)

    class Failing(Recorder):
        def connection_made(self, transport):
            super().connection_made(transport)
            if callback == "connection_made":
                raise error

        def handle_line(self, line):
            super().handle_line(line)
            raise error

    thread = ReaderThread(link.port, Failing)
    thread.start()
    _, protocol = thread.connect()
    protocol.next("made")
    link.send(b"one\ntwo\n")
    if callback == "handle_line":
        assert protocol.next("line") == "one"
    assert protocol.next("lost") is error
    thread.join(WAIT)
    assert not thread.is_alive()
    # What is not an Exception goes on to end the thread (the default hook
    # prints KeyboardInterrupt and ignores SystemExit); an Exception stops at
    # connection_lost.
    assert [u.exc_value for u in unhandled] == ([] if isinstance(error, Exception) else [error])
    assert protocol.events.empty()


def test_a_failing_factory_is_raised_at_entry(link, monkeypatch):
    monkeypatch.setattr(threading, "excepthook", lambda args: None)

    def factory():
        raise LookupError("no protocol")

    with pytest.raises(LookupError, match="no protocol"):
        with ReaderThread(link.port, factory):
            pass
    assert not link.port.is_open


def test_closing_the_port_under_the_reader_ends_it_with_the_error(link):
    thread = ReaderThread(link.port, Recorder)
    with thread as protocol:
        protocol.next("made")
        time.sleep(0.05)
        link.port.close()
        assert isinstance(protocol.next("lost"), corvalink.SerialException)
        thread.join(WAIT)
        assert not thread.is_alive()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals")
def test_a_hang_up_ends_the_reader_with_the_error():
    pty = Pty()
    try:
        with ReaderThread(corvalink.Serial(pty.name), Recorder) as protocol:
            protocol.next("made")
            os.write(pty.master, b"last\n")
            assert protocol.next("line") == "last"
            os.close(pty.master)
            pty.master = -1
            assert isinstance(protocol.next("lost"), corvalink.SerialException)
    finally:
        pty.close()


def test_writes_from_several_threads_arrive_whole(link):
    writers, count = 4, 300
    with ReaderThread(link.port, Recorder) as protocol:
        protocol.next("made")
        transport = protocol.transport

        def writer(n):
            for i in range(count):
                # Longer than a pty takes at once, so unserialised writes would interleave.
                transport.write(f"{n}:{i:04d}:{'x' * 5000}\n".encode())

        threads = [threading.Thread(target=writer, args=(n,)) for n in range(writers)]
        for t in threads:
            t.start()
        if link.pty:
            total = writers * count * 5008
            data = link.pty.receive(total)
            lines = data.decode().splitlines()
            assert len(data) == total
        else:
            lines = [protocol.next("line") for _ in range(writers * count)]
        for t in threads:
            t.join(WAIT)
    seen = {n: [] for n in range(writers)}
    for line in lines:
        n, i, filler = line.split(":")
        assert filler == "x" * 5000
        seen[int(n)].append(int(i))
    assert all(s == list(range(count)) for s in seen.values())


def test_writes_racing_a_close_either_go_out_or_fail_cleanly(link):
    with ReaderThread(link.port, Recorder) as protocol:
        protocol.next("made")
        transport = protocol.transport
        outcomes = queue.Queue()

        def writer():
            for i in range(2000):
                try:
                    transport.write(b"%05d\n" % i)
                except corvalink.SerialException as e:
                    outcomes.put(e)
                    return
            outcomes.put(None)

        t = threading.Thread(target=writer)
        t.start()
        time.sleep(0.01)
        transport.close()
        t.join(WAIT)
        assert not t.is_alive()
        result = outcomes.get(timeout=WAIT)
        assert result is None or isinstance(result, corvalink.PortNotOpenError)
    events = []
    while not protocol.events.empty():
        events.append(protocol.events.get())
    assert events[-1] == ("lost", None)
    numbers = [int(arg) for name, arg in events if name == "line"]
    assert numbers == list(range(len(numbers)))  # in order, none lost before the close


def test_a_flood_without_terminator_ends_the_reader(link):
    class Small(Recorder):
        MAX_PACKET_SIZE = 1024

    with ReaderThread(link.port, Small) as protocol:
        protocol.next("made")
        link.send(b"y" * 3000)
        assert isinstance(protocol.next("lost"), PacketOverflowError)


def test_a_plain_protocol_gets_every_byte_in_order(link):
    class Bytes(Protocol):
        def __init__(self):
            self.data = bytearray()
            self.done = threading.Event()

        def data_received(self, data):
            self.data += data
            if len(self.data) >= 40000:
                self.done.set()

    # Sequence-numbered bytes, sent in uneven pieces.
    payload = b"".join(b"%07d," % i for i in range(5000))
    with ReaderThread(link.port, Bytes) as protocol:
        for piece in pieces(payload, range(0, len(payload), 997)):
            link.send(piece)
        assert protocol.done.wait(WAIT)
    assert bytes(protocol.data) == payload


def test_stop_leaves_no_cancel_behind_for_the_ports_next_reader(link):
    class Slow(Recorder):
        def handle_line(self, line):
            super().handle_line(line)
            time.sleep(0.1)  # stop() comes while no read waits

    thread = ReaderThread(link.port, Slow)
    thread.start()
    _, protocol = thread.connect()
    link.send(b"busy\n")
    assert protocol.next("made") is thread
    assert protocol.next("line") == "busy"
    thread.stop(WAIT)
    assert protocol.next("lost") is None

    # The owner's next read waits for data, rather than ending at once as a
    # stored cancel_read() would make it.
    later = threading.Timer(0.1, link.send, args=(b"y",))
    later.start()
    link.port.timeout = WAIT
    assert link.port.read(1) == b"y"
    later.join(WAIT)
