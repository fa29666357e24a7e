"""A thread that reads one open port and feeds what arrives to a protocol.

    class Printer(LineReader):
        def handle_line(self, line: str) -> None:
            print(line)

    with ReaderThread(corvalink.Serial("/dev/ttyUSB0", 115200), Printer) as printer:
        printer.write_line("AT")

`ReaderThread` owns the reading of its port: it calls the protocol's
`connection_made(transport)` once, `data_received(data)` for every chunk that
arrives and `connection_lost(exc)` once at the end, all on its own thread.
`exc` is the exception that ended reading (the port's error, or one a
callback raised) or None after `stop()`. `write()` may be called from any
thread; writes are serialised, so each one reaches the port whole.

The framing protocols keep at most `MAX_PACKET_SIZE` bytes of an unfinished
packet: a terminator that never comes ends in `handle_overflow(data)`, which
raises `PacketOverflowError` (ending the thread) unless a subclass decides
otherwise.
"""

from __future__ import annotations

import threading
from types import TracebackType
from typing import Any, Callable, ClassVar, Generic, TypeVar

from . import PortNotOpenError, Serial, SerialException

__all__ = [
    "Protocol",
    "Packetizer",
    "LineReader",
    "FramedPacket",
    "PacketOverflowError",
    "ReaderThread",
]


class PacketOverflowError(ValueError):
    """More bytes arrived for one packet than the protocol keeps (`MAX_PACKET_SIZE`)."""


class Protocol:
    """The callbacks `ReaderThread` makes, all on its thread. This base ignores them."""

    def connection_made(self, transport: ReaderThread[Any]) -> None:
        """Called once, before any data, with the thread (which has `write()`)."""

    def data_received(self, data: bytes) -> None:
        """Called with each chunk read from the port (never empty)."""

    def connection_lost(self, exc: BaseException | None) -> None:
        """Called once at the end: with the exception that ended reading, or None after `stop()`."""


class _Framing(Protocol):
    # What the framing protocols share: the transport and the overflow rule.
    MAX_PACKET_SIZE: ClassVar[int] = 65536

    transport: ReaderThread[Any] | None

    def __init__(self) -> None:
        self.buffer = bytearray()
        self.transport = None

    def connection_made(self, transport: ReaderThread[Any]) -> None:
        self.transport = transport

    def connection_lost(self, exc: BaseException | None) -> None:
        self.transport = None

    def handle_overflow(self, data: bytes) -> None:
        """Called with bytes dropped because a packet grew beyond `MAX_PACKET_SIZE`
        (in pieces, up to the end of the oversized packet). Raises
        `PacketOverflowError` unless overridden; an override that returns lets
        framing go on with the next packet."""
        raise PacketOverflowError(
            f"a packet grew beyond {self.MAX_PACKET_SIZE} bytes without its end; "
            f"{len(data)} bytes dropped"
        )


class Packetizer(_Framing):
    """Splits the input on `TERMINATOR` and calls `handle_packet` with each packet (without it)."""

    TERMINATOR: ClassVar[bytes] = b"\0"

    def __init__(self) -> None:
        super().__init__()
        # Skipping the rest of an oversized packet, up to its terminator.
        self._discarding = False

    def data_received(self, data: bytes) -> None:
        buf = self.buffer
        term = self.TERMINATOR
        # Only the terminator's length minus one of the old bytes can start a
        # terminator that ends in the new data.
        search = max(0, len(buf) - len(term) + 1)
        buf += data
        start = 0
        try:
            while True:
                end = buf.find(term, max(start, search))
                if end < 0:
                    break
                packet = bytes(buf[start:end])
                start = end + len(term)
                if self._discarding or len(packet) > self.MAX_PACKET_SIZE:
                    # The end of an oversized packet.
                    self._discarding = False
                    self.handle_overflow(packet + term)
                else:
                    self.handle_packet(packet)
        finally:
            # Also when a handler raised: what it was given is consumed.
            if start:
                del buf[:start]
        if len(buf) > self.MAX_PACKET_SIZE:
            # Keep the bytes that may be the start of a terminator cut by the read.
            keep = len(term) - 1
            dropped = bytes(buf[: len(buf) - keep])
            del buf[: len(buf) - keep]
            self._discarding = True
            self.handle_overflow(dropped)

    def handle_packet(self, packet: bytes) -> None:
        """Called with each packet, without its terminator."""
        raise NotImplementedError("handle_packet must be implemented by a subclass")


class LineReader(Packetizer):
    """Lines of text ending in `TERMINATOR`, decoded with `ENCODING` (errors as `ERRORS` says)."""

    TERMINATOR: ClassVar[bytes] = b"\r\n"
    ENCODING: ClassVar[str] = "utf-8"
    ERRORS: ClassVar[str] = "replace"

    def handle_packet(self, packet: bytes) -> None:
        self.handle_line(packet.decode(self.ENCODING, self.ERRORS))

    def handle_line(self, line: str) -> None:
        """Called with each line, without its terminator."""
        raise NotImplementedError("handle_line must be implemented by a subclass")

    def write_line(self, text: str) -> None:
        """Writes `text` encoded with `ENCODING`, followed by `TERMINATOR`, as one write."""
        transport = self.transport
        if transport is None:
            raise RuntimeError("the protocol is not connected")
        transport.write(text.encode(self.ENCODING, self.ERRORS) + self.TERMINATOR)


class FramedPacket(_Framing):
    """Packets between a `START` and a `STOP` byte; what comes outside a frame goes to
    `handle_out_of_packet_data`. Inside a frame every byte up to `STOP` is data."""

    START: ClassVar[bytes] = b"("
    STOP: ClassVar[bytes] = b")"

    def __init__(self) -> None:
        super().__init__()
        self.in_packet = False
        self._discarding = False

    def data_received(self, data: bytes) -> None:
        if len(self.START) != 1 or len(self.STOP) != 1:
            raise ValueError("START and STOP must be single bytes")
        pos, n = 0, len(data)
        while pos < n:
            if not self.in_packet:
                begin = data.find(self.START, pos)
                if begin < 0:
                    self.handle_out_of_packet_data(data[pos:])
                    return
                if begin > pos:
                    self.handle_out_of_packet_data(data[pos:begin])
                self.in_packet = True
                pos = begin + 1
                continue
            end = data.find(self.STOP, pos)
            piece = data[pos:] if end < 0 else data[pos:end]
            pos = n if end < 0 else end + 1
            if end >= 0:
                self.in_packet = False
            if self._discarding or len(self.buffer) + len(piece) > self.MAX_PACKET_SIZE:
                # Too long: dropped up to the frame's STOP.
                dropped = bytes(self.buffer) + piece
                self.buffer.clear()
                self._discarding = end < 0
                self.handle_overflow(dropped)
                continue
            self.buffer += piece
            if end < 0:
                return
            packet = bytes(self.buffer)
            self.buffer.clear()
            self.handle_packet(packet)

    def handle_packet(self, packet: bytes) -> None:
        """Called with each frame's contents, without `START` and `STOP`."""
        raise NotImplementedError("handle_packet must be implemented by a subclass")

    def handle_out_of_packet_data(self, data: bytes) -> None:
        """Called with bytes that came outside a frame; dropped unless overridden."""


P = TypeVar("P", bound=Protocol)


class ReaderThread(threading.Thread, Generic[P]):
    """Reads an open port on a thread of its own and feeds a protocol made by `protocol_factory`.

    Use it as a context manager (entry starts it and returns the protocol, exit
    calls `close()`), or call `start()`, `connect()` and `stop()`/`close()`.
    The thread owns the port's reading: nobody else should read the port
    while it runs.
    """

    def __init__(self, serial_instance: Serial, protocol_factory: Callable[[], P]) -> None:
        super().__init__(daemon=True, name=f"corvalink reader {serial_instance.port}")
        self.serial = serial_instance
        self.protocol_factory = protocol_factory
        self.protocol: P | None = None
        self._alive = True
        # Whether the thread waits in its first read of a chunk: only then
        # does stop() cancel it. A cancel_read() with no read waiting would
        # stay stored on the port and end its owner's next waiting read.
        self._reading = False
        self._state = threading.Lock()
        self._write_lock = threading.Lock()
        # Set once connection_made returned, or the thread ended without it.
        self._connected = threading.Event()
        self._factory_error: BaseException | None = None

    @property
    def alive(self) -> bool:
        """Whether the thread is meant to keep reading (false once `stop()` was called or reading ended)."""
        return self._alive

    def stop(self, timeout: float | None = None) -> None:
        """Ends reading and waits (up to `timeout` seconds) until the thread is done.

        A read that waits is ended with `cancel_read()`. Called from one of the
        protocol's callbacks, it returns at once and reading ends after the
        callback. Calling it again, or on a thread never started, does nothing
        more than that."""
        with self._state:
            self._alive = False
            reading = self._reading
        if reading:
            try:
                self.serial.cancel_read()
            except SerialException:
                pass  # the port is closed already: nothing waits on it
        if threading.current_thread() is not self and self.is_alive():
            self.join(timeout)

    def run(self) -> None:
        port = self.serial
        try:
            protocol = self.protocol_factory()
        except BaseException as e:
            self._factory_error = e
            self._alive = False
            self._connected.set()
            raise
        self.protocol = protocol
        error: BaseException | None = None
        try:
            try:
                protocol.connection_made(self)
            finally:
                self._connected.set()
            received = protocol.data_received
            state = self._state
            while True:
                with state:
                    if not self._alive:
                        break
                    self._reading = True
                # The read waits for a first byte (or for stop()'s
                # cancel_read), then takes what else has arrived.
                try:
                    data = port.read(1)
                finally:
                    with state:
                        self._reading = False
                if data:
                    waiting = port.in_waiting
                    if waiting:
                        data += port.read(waiting)
                    received(data)
                elif not port.is_open:
                    raise PortNotOpenError("the port was closed under the reader")
        except BaseException as e:
            error = e
        self._alive = False
        protocol.connection_lost(error)
        if error is not None and not isinstance(error, Exception):
            # SystemExit, KeyboardInterrupt and the like are not swallowed:
            # the thread ends with them, after the protocol heard of them.
            raise error

    def write(self, data: bytes) -> int:
        """Writes `data` to the port whole; callable from any thread (writes are serialised)."""
        with self._write_lock:
            return self.serial.write(data)

    def close(self) -> None:
        """Stops the thread and closes the port."""
        self.stop()
        self.serial.close()

    def connect(self) -> tuple[ReaderThread[P], P]:
        """Waits until the thread has called `connection_made` and returns (thread, protocol).

        Raises what the protocol factory raised; `RuntimeError` if the thread
        was never started or ended before making the connection."""
        if self.ident is None:
            raise RuntimeError("connect() before start()")
        self._connected.wait()
        if self._factory_error is not None:
            raise self._factory_error
        if self.protocol is None:
            raise RuntimeError("the reader thread ended before connecting")
        return self, self.protocol

    def __enter__(self) -> P:
        self.start()
        try:
            return self.connect()[1]
        except BaseException:
            self.close()
            raise

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()
