"""A tour of corvalink: blocking I/O on the loopback port, a conversation with
a simulated instrument behind a pseudo-terminal, the same through asyncio
(corvalink.aio.Serial, and the request/response client of line_client.py on
asyncio streams), and this machine's ports."""

import asyncio
import os
import sys
import threading
import time
import tty

import corvalink
from corvalink.tools import list_ports

# The examples beside this file (the demo runs with -P, which leaves the
# script's directory off the path).
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import aio_serial  # noqa: E402
import line_client  # noqa: E402


def loopback_tour() -> None:
    print("== loop:// ==")
    with corvalink.Serial("loop://", baudrate=115200, timeout=0.2) as port:
        print(f"  {port!r}")
        n = port.write(b"hello, loop\n")
        print(f"  wrote {n} bytes, in_waiting={port.in_waiting}")
        print(f"  readline() -> {port.readline()!r}")
        port.write("µ-volt\r".encode())
        print(f"  read_until(b'\\r') -> {port.read_until(b'\\r')!r}")
        t0 = time.monotonic()
        data = port.read(10)
        print(f"  read(10) on an idle line -> {data!r} after {time.monotonic() - t0:.2f} s (timeout=0.2)")
        port.write(b"a\nb\nc")
        print(f"  readlines() -> {port.readlines()!r}")
        port.rts = False
        print(f"  rts=False -> cts={port.cts}; dtr={port.dtr} -> dsr={port.dsr}")
        print(f"  settings: {port.get_settings()}")
    print(f"  closed after the with block: {port.closed}")


class Instrument(threading.Thread):
    """A tiny line-oriented instrument on the master side of a pty."""

    def __init__(self, fd: int) -> None:
        super().__init__(daemon=True)
        self.fd = fd
        self.voltage = 3.3

    def answer(self, command: str) -> str:
        if command == "*IDN?":
            return "CORVALINK,SIM-1,0001,1.0"
        if command == "MEAS:VOLT?":
            self.voltage += 0.001
            return f"{self.voltage:.3f}"
        if command.startswith("SYST:ECHO "):
            return command[len("SYST:ECHO "):]
        if command.startswith("SYST:WAIT "):  # a slow answer
            time.sleep(float(command[len("SYST:WAIT "):]))
            return "DONE"
        return "ERR unknown command"

    def run(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self.fd, 1024)
            except OSError:
                return  # the other side went away
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                command = line.decode(errors="replace").strip()
                if command == "QUIT":
                    return
                os.write(self.fd, self.answer(command).encode() + b"\r\n")


def pty_tour() -> None:
    print("\n== a simulated instrument on a pseudo-terminal ==")
    master, slave = os.openpty()
    tty.setraw(master)
    device = os.ttyname(slave)
    instrument = Instrument(master)
    instrument.start()
    try:
        with corvalink.Serial(device, baudrate=115200, timeout=2) as port:
            print(f"  opened {device}: {port!r}")
            for command in ("*IDN?", "MEAS:VOLT?", "MEAS:VOLT?", "SYST:ECHO corvalink", "BOGUS"):
                port.write(command.encode() + b"\n")
                reply = port.read_until(b"\r\n")
                print(f"  > {command:<20} < {reply.decode().strip()}")
            t0 = time.monotonic()
            n, rounds = 0, 0
            while time.monotonic() - t0 < 0.5:
                port.write(b"MEAS:VOLT?\n")
                n += len(port.read_until(b"\r\n"))
                rounds += 1
            elapsed = time.monotonic() - t0
            print(f"  {rounds} command round trips in {elapsed:.2f} s ({rounds / elapsed:.0f}/s)")
            port.write(b"QUIT\n")
            port.flush()
    finally:
        instrument.join(timeout=2)
        os.close(slave)
        os.close(master)


def ports_tour() -> None:
    print("\n== serial ports on this machine ==")
    ports = sorted(list_ports.comports())
    for info in ports:
        print(f"  {info.device}: {info.description} [{info.hwid}]")
    if not ports:
        print("  (none found)")


def asyncio_tour() -> None:
    print("\n== corvalink.aio.Serial on loop:// (examples/aio_serial.py) ==")
    asyncio.run(aio_serial.main())

    commands = ["*IDN?", "MEAS:VOLT?", "SYST:ECHO asyncio"]
    print("\n== line_client.py on loop:// (every command comes back as its own reply) ==")
    asyncio.run(line_client.run("loop://", commands, timeout=0.5))

    print("\n== line_client.py and the instrument on a pseudo-terminal ==")
    master, slave = os.openpty()
    tty.setraw(master)
    device = os.ttyname(slave)
    instrument = Instrument(master)
    instrument.start()
    try:
        # SYST:WAIT 0.4 answers after 0.4 s: its request times out,
        # the late "DONE" is dropped, and the next request gets its own reply.
        status = asyncio.run(
            line_client.run(device, commands + ["SYST:WAIT 0.4", "MEAS:VOLT?", "BOGUS"], timeout=0.25)
        )
        print(f"  exit status {status} (1: a request went unanswered)")
        asyncio.run(concurrent_requests(device))
    finally:
        with corvalink.Serial(device, timeout=1) as port:
            port.write(b"QUIT\n")
            port.flush()
        instrument.join(timeout=2)
        os.close(slave)
        os.close(master)


async def concurrent_requests(device: str) -> None:
    """Many tasks share one client; each gets the reply to its own command."""
    client = await line_client.LineClient.connect(device)
    try:
        t0 = time.monotonic()
        replies = await asyncio.gather(*(client.request(f"SYST:ECHO task {i}") for i in range(200)))
        elapsed = time.monotonic() - t0
        matched = sum(reply == f"task {i}" for i, reply in enumerate(replies))
        print(f"  200 concurrent tasks, one request each: {matched} matching replies in {elapsed:.2f} s"
              f" ({200 / elapsed:.0f} requests/s)")
    finally:
        await client.close()


def main() -> None:
    print(f"corvalink {corvalink.__version__}, {len(corvalink.Baudrate)} standard rates")
    loopback_tour()
    pty_tour()
    asyncio_tour()
    ports_tour()


if __name__ == "__main__":
    main()
