"""Lines from a device, handled on a reader thread while the main thread sends.

    python threaded_lines.py [DEVICE]

Sends a few commands, one line each, and prints every line that comes back
as the reader thread hands it over. DEVICE defaults to loop://, which sends
every line straight back.
"""

import queue
import sys

import corvalink
from corvalink.threaded import LineReader, ReaderThread


class Replies(LineReader):
    TERMINATOR = b"\n"

    def __init__(self) -> None:
        super().__init__()
        self.lines: queue.Queue[str] = queue.Queue()

    def handle_line(self, line: str) -> None:
        self.lines.put(line)

    def connection_lost(self, exc: BaseException | None) -> None:
        super().connection_lost(exc)
        if exc is not None:
            print(f"reading ended: {exc}", file=sys.stderr)


def main() -> int:
    device = sys.argv[1] if len(sys.argv) > 1 else "loop://"
    port = corvalink.Serial(device, 115200)
    with ReaderThread(port, Replies) as protocol:
        for command in ("AT", "AT+VERSION?", "AT+ID?"):
            protocol.write_line(command)
            try:
                print(f"{command!r} -> {protocol.lines.get(timeout=1)!r}")
            except queue.Empty:
                print(f"{command!r} -> no answer within 1 s")
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
