"""Asynchronous access to serial ports: `Serial` whose I/O methods return an
awaitable `Future`, and an asyncio transport with its connection helpers."""

import asyncio
from collections.abc import Callable, Coroutine, Generator, Iterable
from contextvars import Context
from types import GenericAlias
from typing import Any, Generic, NoReturn, Self, TypeVar, final

from . import SerialBase, _Data

__all__ = [
    "Future",
    "Serial",
    "serial_for_url",
    "SerialTransport",
    "create_serial_connection",
    "connection_for_serial",
    "open_serial_connection",
]

_T_co = TypeVar("_T_co", covariant=True)
_P = TypeVar("_P", bound=asyncio.BaseProtocol)

@final
class Future(Generic[_T_co]):
    """A port operation running on the runtime.

    Await it in any asyncio event loop, block on it from any thread with
    `wait()`, or give it done-callbacks.  `Future[bytes]`, `Future[int]`, ...
    name the value it finishes with.
    """

    def done(self) -> bool: ...
    def cancelled(self) -> bool: ...
    def result(self) -> _T_co: ...
    def exception(self) -> BaseException | None: ...
    def cancel(self) -> bool: ...
    def wait(self, timeout: float | None = None) -> _T_co: ...
    def add_done_callback(self, fn: Callable[[Future[_T_co]], object], /, *, context: Context | None = None) -> None: ...
    def remove_done_callback(self, fn: Callable[[Future[_T_co]], object], /) -> int: ...
    def __await__(self) -> Generator[Any, Any, _T_co]: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...

class Serial(SerialBase):
    """Serial port whose I/O methods return futures."""

    def read(self, size: int = 1) -> Future[bytes]: ...
    def read_until(self, /, expected: _Data | None = b"\n", size: int | None = None) -> Future[bytes]: ...
    def readline(self, /, size: int = -1) -> Future[bytes]: ...
    def readlines(self, /, hint: int = -1) -> Future[list[bytes]]: ...
    def write(self, data: _Data) -> Future[int]: ...
    def flush(self) -> Future[None]: ...
    def send_break(self, duration: float = 0.25) -> Future[None]: ...
    def read_all(self) -> Future[bytes]: ...
    def __aenter__(self) -> Future[Self]: ...
    def __aexit__(self, *_args: object) -> Future[None]: ...

def serial_for_url(
    url: str | None,
    baudrate: int = 9600,
    bytesize: int = 8,
    parity: str = "N",
    stopbits: float = 1,
    timeout: float | None = None,
    xonxoff: bool = False,
    rtscts: bool = False,
    write_timeout: float | None = None,
    dsrdtr: bool | None = None,
    inter_byte_timeout: float | None = None,
    exclusive: bool | None = None,
    *,
    do_not_open: bool = False,
) -> Serial:
    """Returns an `corvalink.aio.Serial` for `url`, which is a device name, `loop://`, `socket://HOST:PORT`
    or `rfc2217://HOST:PORT[?timeout=SECONDS]`."""

class SerialTransport(asyncio.Transport):
    """An asyncio transport over a serial port."""

    @property
    def loop(self) -> asyncio.AbstractEventLoop: ...
    @property
    def serial(self) -> SerialBase: ...
    def get_extra_info(self, name: str, default: Any = None) -> Any: ...
    def is_closing(self) -> bool: ...
    def is_reading(self) -> bool: ...
    def close(self) -> None: ...
    def abort(self) -> None: ...
    def write(self, data: _Data) -> None: ...
    def writelines(self, list_of_data: Iterable[_Data]) -> None: ...
    def can_write_eof(self) -> bool: ...
    def write_eof(self) -> NoReturn: ...
    def pause_reading(self) -> None: ...
    def resume_reading(self) -> None: ...
    def set_write_buffer_limits(self, high: int | None = None, low: int | None = None) -> None: ...
    def get_write_buffer_limits(self) -> tuple[int, int]: ...
    def get_write_buffer_size(self) -> int: ...
    def flush(self) -> None: ...
    def get_protocol(self) -> asyncio.BaseProtocol: ...
    def set_protocol(self, protocol: asyncio.BaseProtocol) -> None: ...

def create_serial_connection(
    loop: asyncio.AbstractEventLoop,
    protocol_factory: Callable[[], _P],
    url: str,
    baudrate: int = 9600,
    bytesize: int = 8,
    parity: str = "N",
    stopbits: float = 1,
    timeout: float | None = None,
    xonxoff: bool = False,
    rtscts: bool = False,
    write_timeout: float | None = None,
    dsrdtr: bool | None = None,
    inter_byte_timeout: float | None = None,
    exclusive: bool | None = None,
    *,
    do_not_open: bool = False,
) -> Coroutine[Any, Any, tuple[SerialTransport, _P]]:
    """Opens `url` like `corvalink.serial_for_url` and connects it to a new protocol."""

def connection_for_serial(
    loop: asyncio.AbstractEventLoop, protocol_factory: Callable[[], _P], serial_instance: SerialBase
) -> Coroutine[Any, Any, tuple[SerialTransport, _P]]:
    """Connects an open port to a new protocol."""

def open_serial_connection(
    *,
    loop: asyncio.AbstractEventLoop | None = None,
    limit: int | None = None,
    url: str,
    baudrate: int = 9600,
    bytesize: int = 8,
    parity: str = "N",
    stopbits: float = 1,
    timeout: float | None = None,
    xonxoff: bool = False,
    rtscts: bool = False,
    write_timeout: float | None = None,
    dsrdtr: bool | None = None,
    inter_byte_timeout: float | None = None,
    exclusive: bool | None = None,
    do_not_open: bool = False,
) -> Coroutine[Any, Any, tuple[asyncio.StreamReader, asyncio.StreamWriter]]:
    """Opens a port and returns an asyncio `StreamReader` and `StreamWriter` for it."""
