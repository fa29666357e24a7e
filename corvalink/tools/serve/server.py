"""One served port: a TCP listener, at most one client, and the device it
reaches, with the data moving both ways under flow control.

Everything here runs on the event loop's thread; the device's data comes in
through a `corvalink.aio` transport, the client's through asyncio's own."""

import asyncio
import contextlib
import logging
import socket
from collections.abc import Callable, MutableMapping
from dataclasses import dataclass
from typing import Any, Literal

import corvalink
from corvalink import SerialBase, SerialException, aio

from . import telnet
from .rfc2217 import ComPort

log = logging.getLogger("corvalink.serve")

# The write-buffer limits of both sides: past the high mark the side that
# feeds it is paused (the client's socket, or our reading of the device).
HIGH_WATER = 64 * 1024
LOW_WATER = 16 * 1024
# What our own Telnet answers may pile up in the client's buffer before we
# stop reading a client that sends commands and never reads the answers.
ANSWERS_LIMIT = 4 * HIGH_WATER
# How long a leaving client's last data may take to reach the device, and a
# closing client to take what was sent to it, before they are cut.
DRAIN_SECONDS = 2.0
# Warnings of one connection that are logged; the rest are counted.
WARNINGS_LOGGED = 20
# While a client is not read (the device takes no more), how often its
# connection is looked at for a reset, which would otherwise go unseen.
ALIVE_SECONDS = 1.0
_TCP_CLOSE = 7  # tcpi_state of a connection that was reset


@dataclass(frozen=True, slots=True)
class ServedPort:
    """What to serve and how.

    `device` is a device name or any URL that `corvalink.serial_for_url`
    opens. `tcp_port` 0 takes a free port (see `PortServer.address`).
    `keep_open` opens the device when the server starts and keeps it open
    for the whole run, between clients too; otherwise it is opened for each
    client and closed when the client leaves. `takeover` lets a new client
    take the port from the one connected instead of being refused.
    `modem_interval` is how often, in seconds, the modem lines are looked at
    for RFC 2217 clients."""

    tcp_port: int
    device: str
    baudrate: int = 9600
    protocol: Literal["rfc2217", "raw"] = "rfc2217"
    listen: str = "127.0.0.1"
    takeover: bool = False
    keep_open: bool = False
    modem_interval: float = 0.2

    def __str__(self) -> str:
        return f"{self.protocol}:{self.tcp_port}={self.device},{self.baudrate}"


Opener = Callable[[ServedPort], SerialBase]


def open_device(served: ServedPort) -> SerialBase:
    """The default opener: the device, exclusively, at the port's baud rate."""
    return corvalink.serial_for_url(served.device, served.baudrate, exclusive=True)


class _Log(logging.LoggerAdapter[logging.Logger]):
    """Prefixes each line with the served port (and the client), and logs at
    most `WARNINGS_LOGGED` warnings: a client sending junk cannot flood the log."""

    def __init__(self, prefix: str) -> None:
        super().__init__(log, {})
        self.prefix = prefix
        self.warnings = 0

    def process(self, msg: Any, kwargs: MutableMapping[str, Any]) -> tuple[Any, MutableMapping[str, Any]]:
        return f"{self.prefix}: {msg}", kwargs

    def warning(self, msg: object, *args: object, **kwargs: Any) -> None:
        self.warnings += 1
        if self.warnings <= WARNINGS_LOGGED:
            super().warning(msg, *args, **kwargs)
        if self.warnings == WARNINGS_LOGGED:
            super().warning("further warnings of this connection are not logged")


class _Device(asyncio.Protocol):
    """The device's side: hands the data to the client attached, if any."""

    def __init__(self, server: "PortServer") -> None:
        self.server = server
        self.transport: aio.SerialTransport | None = None
        self.client: "_Client | None" = None
        self.lost: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.alive_check: asyncio.TimerHandle | None = None
        self.write_paused = False
        self.read_paused = False

    @property
    def port(self) -> SerialBase:
        assert self.transport is not None
        return self.transport.serial

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, aio.SerialTransport)
        if self.transport is None:
            self.transport = transport
            transport.set_write_buffer_limits(HIGH_WATER, LOW_WATER)

    def data_received(self, data: bytes) -> None:
        client = self.client
        if client is not None:
            client.to_client(data)

    def pause_writing(self) -> None:
        self.write_paused = True
        if self.client is not None:
            self.client.update_reading()

    def resume_writing(self) -> None:
        self.write_paused = False
        if self.client is not None:
            self.client.update_reading()

    def connection_lost(self, exc: Exception | None) -> None:
        if not self.lost.done():
            self.lost.set_result(None)
        self.server._device_lost(self, exc)

    def update_reading(self) -> None:
        """Reads the device unless the client cannot take more or asked us to hold."""
        client = self.client
        paused = client is not None and (client.write_paused or client.suspended)
        if paused != self.read_paused and self.transport is not None and not self.transport.is_closing():
            self.read_paused = paused
            if paused:
                self.transport.pause_reading()
            else:
                self.transport.resume_reading()

    async def close(self) -> None:
        """Closes the port, letting what is buffered reach it for a bounded time."""
        if self.transport is not None and not self.transport.is_closing():
            self.transport.close()
        try:
            await asyncio.wait_for(asyncio.shield(self.lost), DRAIN_SECONDS)
        except TimeoutError:
            assert self.transport is not None
            self.transport.abort()
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(asyncio.shield(self.lost), DRAIN_SECONDS)


class _Client(asyncio.Protocol):
    """A client's connection: raw bytes, or Telnet with the COM port option."""

    def __init__(self, server: "PortServer") -> None:
        self.server = server
        self.telnet = server.served.protocol == "rfc2217"
        self.transport: asyncio.Transport | None = None
        self.peer = "?"
        self.log = _Log(server.name)
        self.device: _Device | None = None
        self.attached = False
        self.gone = False
        self.write_paused = False  # our data to the client is past the high mark
        self.suspended = False  # the client asked for FLOWCONTROL-SUSPEND
        self.answers_paused = False  # it sends commands and does not read the answers
        self.read_paused = False
        self.decoder = telnet.Decoder()
        self.options = telnet.Options({telnet.BINARY, telnet.SGA, telnet.COM_PORT},
                                      {telnet.BINARY, telnet.SGA, telnet.COM_PORT}, self.send)
        self.com_port: ComPort | None = None
        self.watcher: asyncio.TimerHandle | None = None
        self.closer: asyncio.TimerHandle | None = None
        self.lost: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.alive_check: asyncio.TimerHandle | None = None

    # --- the connection ---------------------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        peer = transport.get_extra_info("peername")
        if isinstance(peer, tuple) and len(peer) >= 2:
            self.peer = f"[{peer[0]}]:{peer[1]}" if ":" in str(peer[0]) else f"{peer[0]}:{peer[1]}"
        self.log.prefix = f"{self.server.name} {self.peer}"
        transport.set_write_buffer_limits(HIGH_WATER, LOW_WATER)
        self.update_reading()  # nothing is read before the device is there
        self.server._accept(self)

    def connection_lost(self, exc: Exception | None) -> None:
        self.gone = True
        if not self.lost.done():
            self.lost.set_result(None)
        for timer in (self.closer, self.alive_check):
            if timer is not None:
                timer.cancel()
        self.stop_watching()
        self.server._client_left(self, exc)

    def eof_received(self) -> bool:
        return False  # a half-closed client is a client that left

    def close(self, message: str | None = None, *, abort: bool = False) -> None:
        """Ends the connection: what was sent to it still goes out for a bounded time."""
        transport = self.transport
        if transport is None or self.gone:
            return
        self.stop_watching()
        self.detach()
        if message is not None and not abort:
            transport.write(message.encode() + b"\r\n")
        if abort:
            transport.abort()
            return
        transport.close()
        if self.closer is None:
            self.closer = asyncio.get_running_loop().call_later(DRAIN_SECONDS, transport.abort)

    def send(self, data: bytes) -> None:
        """Puts bytes on the connection (Telnet answers, or data already escaped)."""
        if self.transport is not None and not self.gone and not self.transport.is_closing():
            self.transport.write(data)

    # --- attaching to the device ---------------------------------------------------------

    def attach(self, device: _Device) -> None:
        self.device = device
        device.client = self
        self.attached = True
        if self.telnet:
            # Offered once the device is there: a client that cannot have it
            # gets nothing but the line that says why.
            for option in (telnet.BINARY, telnet.SGA):
                self.options.offer(option)
                self.options.ask(option)
            self.options.ask(telnet.COM_PORT)
            self.com_port = ComPort(device.port, self, self.log)
            if self._com_port_on():
                self.start_watching()
        device.update_reading()
        self.update_reading()

    def detach(self) -> None:
        """Lets go of the device; it goes on being read (and thrown away) or closes."""
        device, self.device = self.device, None
        self.attached = False
        self.com_port = None
        if device is not None and device.client is self:
            device.client = None
            device.update_reading()

    def _com_port_on(self) -> bool:
        return self.options.him.get(telnet.COM_PORT, False) or self.options.us.get(telnet.COM_PORT, False)

    # --- flow control --------------------------------------------------------------------

    def update_reading(self) -> None:
        device = self.device
        paused = (not self.attached or self.answers_paused or (device is not None and device.write_paused))
        if paused != self.read_paused and self.transport is not None and not self.transport.is_closing():
            self.read_paused = paused
            if paused:
                self.transport.pause_reading()
                if self.alive_check is None:
                    self.alive_check = asyncio.get_running_loop().call_later(ALIVE_SECONDS, self._check_alive)
            else:
                self.transport.resume_reading()

    def _check_alive(self) -> None:
        """A connection that is not read does not see a reset: looks for one."""
        self.alive_check = None
        transport = self.transport
        if transport is None or self.gone or transport.is_closing() or not self.read_paused:
            return
        sock = transport.get_extra_info("socket")
        reset = False
        with contextlib.suppress(OSError, AttributeError):
            if hasattr(socket, "TCP_INFO"):
                reset = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] == _TCP_CLOSE
            else:
                reset = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0
        if reset:
            self.log.info("connection reset while the device took no data")
            transport.abort()
            return
        self.alive_check = asyncio.get_running_loop().call_later(ALIVE_SECONDS, self._check_alive)

    def pause_writing(self) -> None:
        self.write_paused = True
        if self.device is not None:
            self.device.update_reading()

    def resume_writing(self) -> None:
        self.write_paused = False
        self.answers_paused = False
        if self.device is not None:
            self.device.update_reading()
        self.update_reading()

    def suspend(self, suspended: bool) -> None:
        if suspended != self.suspended:
            self.log.info("client %s the data", "suspended" if suspended else "resumed")
        self.suspended = suspended
        if self.device is not None:
            self.device.update_reading()

    def purge(self, receive: bool, transmit: bool) -> None:
        device = self.device
        if device is None or device.transport is None:
            return
        try:
            if receive:
                device.port.reset_input_buffer()
            if transmit:
                device.transport.flush()  # what the transport holds for the device
                device.port.reset_output_buffer()
        except SerialException as e:
            self.log.warning("purge failed: %s", e)

    # --- data ----------------------------------------------------------------------------

    def to_client(self, data: bytes) -> None:
        assert self.transport is not None
        self.transport.write(telnet.escape(data) if self.telnet else data)

    def data_received(self, data: bytes) -> None:
        device = self.device
        if not self.telnet:
            if device is not None and device.transport is not None:
                device.transport.write(data)
            return
        for item in self.decoder.feed(data):
            if isinstance(item, bytes):
                if device is not None and device.transport is not None:
                    device.transport.write(item)
            elif isinstance(item, telnet.Negotiation):
                self._negotiation(item)
            elif isinstance(item, telnet.Subnegotiation):
                if item.option == telnet.COM_PORT and self.com_port is not None and self._com_port_on():
                    self.com_port.command(item.payload)
                else:
                    self.log.warning("dropped a subnegotiation of option %d (%d bytes)", item.option,
                                     len(item.payload))
            else:
                self.log.warning("dropped %s", item.reason)
        assert self.transport is not None
        if not self.answers_paused and self.transport.get_write_buffer_size() > ANSWERS_LIMIT:
            self.answers_paused = True
            self.update_reading()

    def _negotiation(self, item: telnet.Negotiation) -> None:
        was_on = self._com_port_on()
        changed = self.options.receive(item.verb, item.option)
        name = telnet.OPTION_NAMES.get(item.option, str(item.option))
        if changed:
            self.log.debug("%s %s", telnet.VERBS[item.verb], name)
        elif item.option not in telnet.OPTION_NAMES:
            self.log.debug("refused option %s (%s)", name, telnet.VERBS[item.verb])
        now_on = self._com_port_on()
        if now_on and not was_on:
            self.log.info("COM-PORT-OPTION on")
            self.start_watching()
        elif was_on and not now_on:
            self.log.info("COM-PORT-OPTION off")
            self.stop_watching()

    # --- the modem lines -------------------------------------------------------------

    def start_watching(self) -> None:
        if self.watcher is None and self.com_port is not None:
            self.watcher = asyncio.get_running_loop().call_later(self.server.served.modem_interval, self._watch)

    def stop_watching(self) -> None:
        if self.watcher is not None:
            self.watcher.cancel()
            self.watcher = None

    def _watch(self) -> None:
        self.watcher = None
        if self.com_port is None or self.gone:
            return
        self.com_port.watch()
        self.start_watching()


class PortServer:
    """Serves one port on the network until stopped.

    ``async with PortServer(ServedPort(7000, "/dev/ttyUSB0")) as server:``
    listens on entering and stops on leaving; `start()` and `stop()` do the
    same by hand. `opener` opens the device (by default exclusively, with
    `corvalink.serial_for_url`)."""

    def __init__(self, served: ServedPort, *, opener: Opener | None = None) -> None:
        self.served = served
        self.name = str(served.tcp_port)
        self._opener = opener or open_device
        self._server: asyncio.Server | None = None
        self._client: _Client | None = None
        self._device: _Device | None = None
        self._device_lock: asyncio.Lock | None = None
        self._tasks: set[asyncio.Task[None]] = set()
        self._stopping = False

    @property
    def address(self) -> tuple[str, int]:
        """The address listened on (host, port): the first of them."""
        assert self._server is not None, "not started"
        host, port = self._server.sockets[0].getsockname()[:2]
        return str(host), int(port)

    @property
    def client(self) -> str | None:
        """The address of the client connected, if any."""
        return self._client.peer if self._client is not None else None

    @property
    def device_open(self) -> bool:
        return self._device is not None

    async def start(self) -> None:
        loop = asyncio.get_running_loop()
        self._device_lock = asyncio.Lock()
        self._server = await loop.create_server(lambda: _Client(self), self.served.listen, self.served.tcp_port,
                                                reuse_address=True)
        self.name = str(self.address[1])
        log.info("%s: serving %s (%s) on %s", self.name, self.served.device, self.served.protocol,
                 ", ".join(_address(s.getsockname()) for s in self._server.sockets))
        if self.served.keep_open:
            await self._open_device()

    async def stop(self) -> None:
        """Stops listening, ends the client's connection and closes the device."""
        self._stopping = True
        if self._server is not None:
            self._server.close()
        client, self._client = self._client, None
        if client is not None:
            client.close()
            log.info("%s: %s disconnected: the server is stopping", self.name, client.peer)
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)
        if self._device is not None:
            await self._close_device()
        if client is not None:
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(asyncio.shield(client.lost), DRAIN_SECONDS + 1)
        if self._server is not None:
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(self._server.wait_closed(), DRAIN_SECONDS + 1)

    async def __aenter__(self) -> "PortServer":
        await self.start()
        return self

    async def __aexit__(self, *_: object) -> None:
        await self.stop()

    # --- clients -------------------------------------------------------------------------

    def _accept(self, client: _Client) -> None:
        if self._stopping:
            client.close(abort=True)
            return
        current = self._client
        if current is not None:
            if not self.served.takeover:
                log.info("%s: refused %s: in use by %s", self.name, client.peer, current.peer)
                client.close(f"port {self.name} ({self.served.device}) is in use by {current.peer}")
                return
            log.info("%s: %s taken over by %s", self.name, current.peer, client.peer)
            current.close(abort=True)
        self._client = client
        log.info("%s: %s connected", self.name, client.peer)
        self._spawn(self._attach(client))

    def _spawn(self, coro: Any) -> None:
        task = asyncio.get_running_loop().create_task(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _attach(self, client: _Client) -> None:
        assert self._device_lock is not None
        async with self._device_lock:
            if client.gone or self._client is not client:
                return
            if self._device is None:
                error = await self._open_device()
                if error is not None:
                    if self._client is client:
                        self._client = None
                    client.close(f"cannot open {self.served.device}: {error}")
                    return
            if client.gone or self._client is not client or self._device is None:
                return
            client.attach(self._device)

    def _client_left(self, client: _Client, exc: Exception | None) -> None:
        client.detach()
        if self._client is not client:
            return  # refused, taken over, or the server is stopping
        self._client = None
        log.info("%s: %s disconnected%s", self.name, client.peer, f": {exc}" if exc else "")
        if not self.served.keep_open and not self._stopping:
            self._spawn(self._release_device())

    async def _release_device(self) -> None:
        assert self._device_lock is not None
        async with self._device_lock:
            if self._client is None and self._device is not None:
                await self._close_device()

    # --- the device ----------------------------------------------------------------------

    async def _open_device(self) -> str | None:
        """Opens the device; the error's text when it cannot be opened."""
        loop = asyncio.get_running_loop()
        try:
            if "://" in self.served.device and not self.served.device.startswith("loop://"):
                port = await asyncio.to_thread(self._opener, self.served)  # a network port negotiates
            else:
                port = self._opener(self.served)
        except (SerialException, ValueError, OSError) as e:
            reason = str(getattr(e, "strerror", None) or e)
            log.error("%s: cannot open %s: %s", self.name, self.served.device, reason)
            return reason
        try:
            transport, device = await aio.connection_for_serial(loop, lambda: _Device(self), port)
        except (SerialException, ValueError, OSError) as e:
            port.close()
            log.error("%s: cannot open %s: %s", self.name, self.served.device, e)
            return str(e)
        if device.transport is None:  # connection_made may come later
            device.connection_made(transport)
        self._device = device
        log.info("%s: opened %s", self.name, self.served.device)
        return None

    async def _close_device(self) -> None:
        device, self._device = self._device, None
        if device is None:
            return
        await device.close()
        log.info("%s: closed %s", self.name, self.served.device)

    def _device_lost(self, device: _Device, exc: Exception | None) -> None:
        if self._device is not device:
            return  # closed by us
        self._device = None
        log.warning("%s: %s hung up%s", self.name, self.served.device, f": {exc}" if exc else "")
        client = device.client
        if client is not None:
            self._client = None
            client.close()
            log.info("%s: %s disconnected: the device hung up", self.name, client.peer)


def _address(sockname: Any) -> str:
    host, port = sockname[:2]
    return f"[{host}]:{port}" if ":" in str(host) else f"{host}:{port}"
