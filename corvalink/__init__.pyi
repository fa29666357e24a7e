"""Serial ports for Python: blocking, awaitable and asyncio-transport access,
plus port listing."""

import enum
from collections.abc import Buffer, Mapping
from typing import Any, ClassVar, Final, Protocol, Self, TypedDict, type_check_only

from typing_extensions import disjoint_base

from . import aio as aio
from . import rs485 as rs485
from . import tools as tools
from .rs485 import RS485Settings

__all__ = [
    "__version__",
    "PARITY_NONE",
    "PARITY_EVEN",
    "PARITY_ODD",
    "PARITY_MARK",
    "PARITY_SPACE",
    "PARITY_NAMES",
    "STOPBITS_ONE",
    "STOPBITS_ONE_POINT_FIVE",
    "STOPBITS_TWO",
    "FIVEBITS",
    "SIXBITS",
    "SEVENBITS",
    "EIGHTBITS",
    "XON",
    "XOFF",
    "CR",
    "LF",
    "SerialException",
    "SerialTimeoutException",
    "PortNotOpenError",
    "Baudrate",
    "SerialBase",
    "Serial",
    "serial_for_url",
    "aio",
    "tools",
]

__version__: Final[str]

PARITY_NONE: Final = "N"
PARITY_EVEN: Final = "E"
PARITY_ODD: Final = "O"
PARITY_MARK: Final = "M"
PARITY_SPACE: Final = "S"
PARITY_NAMES: Final[dict[str, str]]

STOPBITS_ONE: Final = 1
STOPBITS_ONE_POINT_FIVE: Final = 1.5
STOPBITS_TWO: Final = 2

FIVEBITS: Final = 5
SIXBITS: Final = 6
SEVENBITS: Final = 7
EIGHTBITS: Final = 8

XON: Final = b"\x11"
XOFF: Final = b"\x13"
CR: Final = b"\r"
LF: Final = b"\n"

class SerialException(OSError): ...
class SerialTimeoutException(SerialException): ...
class PortNotOpenError(SerialException): ...

class Baudrate(enum.IntEnum):
    B50 = 50
    B75 = 75
    B110 = 110
    B134 = 134
    B150 = 150
    B200 = 200
    B300 = 300
    B600 = 600
    B1200 = 1200
    B1800 = 1800
    B2400 = 2400
    B4800 = 4800
    B9600 = 9600
    B19200 = 19200
    B38400 = 38400
    B57600 = 57600
    B115200 = 115200
    B230400 = 230400
    B460800 = 460800
    B500000 = 500000
    B576000 = 576000
    B921600 = 921600
    B1000000 = 1000000
    B1152000 = 1152000
    B1500000 = 1500000
    B2000000 = 2000000
    B2500000 = 2500000
    B3000000 = 3000000
    B3500000 = 3500000
    B4000000 = 4000000

# What a port accepts as data to write: bytes, any buffer, or a str (sent as UTF-8).
_Data = Buffer | str

@type_check_only
class _Settings(TypedDict):
    """What `SerialBase.get_settings` returns (the keys in this order)."""

    baudrate: int
    bytesize: int
    parity: str
    stopbits: float
    xonxoff: bool
    dsrdtr: bool
    rtscts: bool
    timeout: float | None
    write_timeout: float | None
    inter_byte_timeout: float | None

@type_check_only
class _SliceAssignable(Protocol):
    """What `Serial.readinto` fills: a length and slice assignment (bytearray, memoryview, array)."""

    def __len__(self) -> int: ...
    def __setitem__(self, key: slice, value: bytes, /) -> None: ...

@disjoint_base
class SerialBase:
    """Properties and non-I/O methods shared by `corvalink.Serial` and `corvalink.aio.Serial`.

    It cannot be instantiated itself; `corvalink.Serial` and `corvalink.aio.Serial` can.
    """

    BAUDRATES: ClassVar[tuple[Baudrate, ...]]
    BYTESIZES: ClassVar[tuple[int, ...]]
    PARITIES: ClassVar[tuple[str, ...]]
    STOPBITS: ClassVar[tuple[float, ...]]

    def __new__(
        cls,
        port: str | None = None,
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
    ) -> Self: ...
    def __init__(
        self,
        port: str | None = None,
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
    ) -> None: ...

    # Settings (readable and writable on a closed port too).
    @property
    def port(self) -> str | None:
        """The device name or URL: "loop://", "socket://HOST:PORT" (raw TCP) or
        "rfc2217://HOST:PORT[?timeout=SECONDS]" (Telnet with the COM port option);
        HOST is a name, an IPv4 address or an IPv6 address in brackets."""
    @port.setter
    def port(self, value: str | None) -> None: ...
    @property
    def name(self) -> str | None: ...
    @property
    def portstr(self) -> str | None: ...
    @property
    def is_open(self) -> bool: ...
    @property
    def baudrate(self) -> int: ...
    @baudrate.setter
    def baudrate(self, value: int) -> None: ...
    @property
    def bytesize(self) -> int: ...
    @bytesize.setter
    def bytesize(self, value: int) -> None: ...
    @property
    def parity(self) -> str: ...
    @parity.setter
    def parity(self, value: str) -> None: ...
    @property
    def stopbits(self) -> float: ...
    @stopbits.setter
    def stopbits(self, value: float) -> None: ...
    @property
    def xonxoff(self) -> bool: ...
    @xonxoff.setter
    def xonxoff(self, value: bool) -> None: ...
    @property
    def rtscts(self) -> bool: ...
    @rtscts.setter
    def rtscts(self, value: bool) -> None: ...
    @property
    def dsrdtr(self) -> bool: ...
    @dsrdtr.setter
    def dsrdtr(self, value: bool | None) -> None: ...
    @property
    def timeout(self) -> float | None: ...
    @timeout.setter
    def timeout(self, value: float | None) -> None: ...
    @property
    def write_timeout(self) -> float | None: ...
    @write_timeout.setter
    def write_timeout(self, value: float | None) -> None: ...
    @property
    def inter_byte_timeout(self) -> float | None: ...
    @inter_byte_timeout.setter
    def inter_byte_timeout(self, value: float | None) -> None: ...
    @property
    def exclusive(self) -> bool | None: ...
    @exclusive.setter
    def exclusive(self, value: bool | None) -> None: ...
    @property
    def rs485_mode(self) -> RS485Settings | None: ...
    @rs485_mode.setter
    def rs485_mode(self, value: RS485Settings | None) -> None: ...

    # Requested line states.
    @property
    def rts(self) -> bool: ...
    @rts.setter
    def rts(self, value: bool) -> None: ...
    @property
    def dtr(self) -> bool: ...
    @dtr.setter
    def dtr(self, value: bool) -> None: ...
    @property
    def break_condition(self) -> bool: ...
    @break_condition.setter
    def break_condition(self, value: bool) -> None: ...

    # Read from the device (PortNotOpenError on a closed port).
    @property
    def cts(self) -> bool: ...
    @property
    def dsr(self) -> bool: ...
    @property
    def ri(self) -> bool: ...
    @property
    def cd(self) -> bool: ...
    @property
    def in_waiting(self) -> int: ...
    @property
    def out_waiting(self) -> int: ...

    def open(self) -> None: ...
    def close(self) -> None: ...
    def reset_input_buffer(self) -> None: ...
    def reset_output_buffer(self) -> None: ...
    def get_settings(self) -> _Settings: ...
    def apply_settings(self, d: Mapping[str, object]) -> None: ...
    def fileno(self) -> int: ...
    def set_buffer_size(self, rx_size: int = 4096, tx_size: int | None = None) -> None: ...
    def cancel_read(self) -> None: ...
    def cancel_write(self) -> None: ...

class Serial(SerialBase):
    """A serial port with the conventional blocking serial-port API."""

    @property
    def closed(self) -> bool: ...
    def read(self, size: int = 1) -> bytes: ...
    def read_until(self, /, expected: _Data | None = b"\n", size: int | None = None) -> bytes: ...
    def readline(self, /, size: int = -1) -> bytes: ...
    def readlines(self, /, hint: int = -1) -> list[bytes]: ...
    def readinto(self, b: _SliceAssignable) -> int: ...
    def write(self, data: _Data) -> int: ...
    def flush(self) -> None: ...
    def send_break(self, duration: float = 0.25) -> None: ...
    def read_all(self) -> bytes: ...
    def readable(self) -> bool: ...
    def writable(self) -> bool: ...
    def seekable(self) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *_args: object) -> None: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> bytes: ...

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
    """Returns a `Serial` for `url`, which is a device name, `loop://`, `socket://HOST:PORT` or
    `rfc2217://HOST:PORT[?timeout=SECONDS]`."""
