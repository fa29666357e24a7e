"""A line-oriented request/response client on asyncio streams.

    python line_client.py [--timeout SECONDS] DEVICE COMMAND...

Sends each COMMAND as one line and prints the line that comes back. Every
request has its own timeout: a device that does not answer in time costs that
one request, not the program, and a reply that arrives within one more
timeout is thrown away so that it cannot be taken for the answer to the next
command. DEVICE is
a device name such as /dev/ttyUSB0, or loop:// (which answers every command
with the command itself).

The exit status is 1 when a request went unanswered.
"""

import argparse
import asyncio
import sys

import corvalink.aio


class RequestTimeout(Exception):
    """The device did not answer a request in time."""


class LineClient:
    """Sends one command line at a time and reads one reply line for each.

    Requests made concurrently (from several tasks) wait for their turn, so
    the replies always match the commands.
    """

    def __init__(
        self,
        reader: asyncio.StreamReader,
        writer: asyncio.StreamWriter,
        *,
        newline: bytes = b"\n",
        encoding: str = "ascii",
    ) -> None:
        self._reader = reader
        self._writer = writer
        self._newline = newline
        self._encoding = encoding
        self._turn = asyncio.Lock()

    @classmethod
    async def connect(cls, device: str, baudrate: int = 115200) -> "LineClient":
        reader, writer = await corvalink.aio.open_serial_connection(url=device, baudrate=baudrate)
        return cls(reader, writer)

    async def request(self, command: str, timeout: float = 1.0) -> str:
        """Sends `command` and returns the reply line without its line ending.

        Raises RequestTimeout when no complete line arrives within `timeout`
        seconds, and ConnectionError when the port went away.
        """
        async with self._turn:
            self._writer.write(command.encode(self._encoding) + self._newline)
            await self._writer.drain()
            try:
                async with asyncio.timeout(timeout):
                    line = await self._reader.readuntil(b"\n")
            except TimeoutError:
                # The answer may still be on its way: let it arrive and drop
                # it, so the next request reads its own reply.
                await self._discard_input(quiet=timeout)
                raise RequestTimeout(f"no reply to {command!r} within {timeout} s") from None
            except asyncio.IncompleteReadError as e:
                raise ConnectionError("the port closed before a reply arrived") from e
            return line.decode(self._encoding, errors="replace").rstrip("\r\n")

    async def _discard_input(self, quiet: float) -> None:
        """Reads and drops input until the line stays silent for `quiet` seconds."""
        while True:
            try:
                async with asyncio.timeout(quiet):
                    if not await self._reader.read(4096):
                        return  # end of stream
            except TimeoutError:
                return

    async def close(self) -> None:
        self._writer.close()
        await self._writer.wait_closed()


async def run(device: str, commands: list[str], timeout: float) -> int:
    client = await LineClient.connect(device)
    unanswered = 0
    try:
        for command in commands:
            try:
                reply = await client.request(command, timeout)
            except RequestTimeout as e:
                unanswered += 1
                print(f"  ! {e}")
            else:
                print(f"  > {command:<20} < {reply}")
    finally:
        await client.close()
    return 1 if unanswered else 0


def main() -> int:
    parser = argparse.ArgumentParser(description="Send command lines to a serial device and print the replies.")
    parser.add_argument("--timeout", type=float, default=1.0, help="seconds to wait for each reply (default 1)")
    parser.add_argument("device", help="device name, or loop://")
    parser.add_argument("commands", nargs="+", metavar="COMMAND")
    args = parser.parse_args()
    return asyncio.run(run(args.device, args.commands, args.timeout))


if __name__ == "__main__":
    sys.exit(main())
