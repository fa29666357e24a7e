"""Checked by mypy --strict (tools/test), never run: the value types the stubs
give, and calls they must refuse (each refusal is an ignore that mypy reports
as unused if the stub stops refusing it)."""

import asyncio
from typing import assert_type

import corvalink
import corvalink.aio
from corvalink.rs485 import RS485Settings
from corvalink.tools.list_ports import ListPortInfo, comports


def blocking(port: corvalink.Serial) -> None:
    assert_type(port.read(16), bytes)
    assert_type(port.readlines(), list[bytes])
    assert_type(port.write("text"), int)
    assert_type(port.write(memoryview(b"x")), int)
    assert_type(port.readinto(bytearray(8)), int)
    assert_type(port.timeout, float | None)
    assert_type(port.get_settings()["parity"], str)
    assert_type(corvalink.serial_for_url("loop://", 115200, do_not_open=True), corvalink.Serial)
    assert_type(corvalink.Baudrate.B9600 + 0, int)
    with port as same:
        assert_type(same, corvalink.Serial)
    for line in port:
        assert_type(line, bytes)
    assert_type(port.rs485_mode, RS485Settings | None)
    port.rs485_mode = RS485Settings(delay_before_tx=0.001)
    port.rs485_mode = (True, False)  # type: ignore[assignment]
    port.write(5)  # type: ignore[arg-type]
    port.in_waiting = 3  # type: ignore[misc]


async def futures(port: corvalink.aio.Serial) -> None:
    assert_type(port.read(16), corvalink.aio.Future[bytes])
    assert_type(port.read_until(b"\r"), corvalink.aio.Future[bytes])
    assert_type(port.readline(), corvalink.aio.Future[bytes])
    assert_type(port.readlines(), corvalink.aio.Future[list[bytes]])
    assert_type(port.write(b"x"), corvalink.aio.Future[int])
    assert_type(port.flush(), corvalink.aio.Future[None])
    assert_type(port.send_break(), corvalink.aio.Future[None])
    assert_type(port.read_all(), corvalink.aio.Future[bytes])
    assert_type(await port.read(16), bytes)
    assert_type(port.readline().wait(0.5), bytes)
    assert_type(port.write(b"x").exception(), BaseException | None)
    async with corvalink.aio.Serial("loop://") as same:
        assert_type(same, corvalink.aio.Serial)
    assert_type(corvalink.aio.serial_for_url("loop://"), corvalink.aio.Serial)
    assert_type(await asyncio.gather(port.read(1), port.write(b"x")), tuple[bytes, int])
    # A Future[bytes] is a Future[object] (it only gives values out).
    general: corvalink.aio.Future[object] = port.read(1)
    general.add_done_callback(lambda f: print(f.result()), context=None)
    wrong: corvalink.aio.Future[int] = port.read(1)  # type: ignore[assignment]


class Echo(asyncio.Protocol):
    def data_received(self, data: bytes) -> None:
        pass


async def transports(loop: asyncio.AbstractEventLoop) -> None:
    transport, protocol = await corvalink.aio.create_serial_connection(loop, Echo, "loop://", baudrate=9600)
    assert_type(transport, corvalink.aio.SerialTransport)
    assert_type(protocol, Echo)
    assert_type(transport.serial, corvalink.SerialBase)
    assert_type(transport.get_write_buffer_limits(), tuple[int, int])
    transport.write("text")
    serial = corvalink.Serial("loop://")
    pair = await corvalink.aio.connection_for_serial(loop, Echo, serial)
    assert_type(pair, tuple[corvalink.aio.SerialTransport, Echo])
    reader, writer = await corvalink.aio.open_serial_connection(url="loop://", limit=1024)
    assert_type(reader, asyncio.StreamReader)
    assert_type(writer, asyncio.StreamWriter)
    # The port must be named by keyword.
    await corvalink.aio.open_serial_connection()  # type: ignore[call-arg]
    task = asyncio.create_task(corvalink.aio.open_serial_connection(url="loop://"))
    assert_type(await task, tuple[asyncio.StreamReader, asyncio.StreamWriter])


def listing() -> None:
    ports = sorted(comports())
    assert_type(ports, list[ListPortInfo])
    info = ListPortInfo("/dev/ttyUSB0")
    assert_type(info.vid, int | None)
    device, description, hwid = info
    assert_type(device, str)
    assert_type(info[2], str)
    info.vid = "0403"  # type: ignore[assignment]
    info <= info  # type: ignore[operator]


# corvalink.threaded: the thread is generic in its protocol, and connect()
# hands back the protocol the factory made.
from corvalink.threaded import LineReader, Packetizer, ReaderThread


class _Lines(LineReader):
    def handle_line(self, line: str) -> None:
        assert_type(line, str)


def _reader_thread(port: corvalink.Serial) -> None:
    thread = ReaderThread(port, _Lines)
    assert_type(thread.connect(), tuple[ReaderThread[_Lines], _Lines])
    with ReaderThread(port, _Lines) as protocol:
        assert_type(protocol, _Lines)
        protocol.write_line("AT")
    assert_type(Packetizer.TERMINATOR, bytes)
    ReaderThread(port, int)  # type: ignore[type-var]
