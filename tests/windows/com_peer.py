"""The Linux end of a COM port that Wine maps to a pseudo-terminal.

Opens a pseudo-terminal, sets it raw, writes the slave's path into the file
named on the command line and then serves requests that arrive on the master
side, one per line:

    PING <text>   answers "PONG <text>\\n"
    SEND <n>      sends n pattern bytes (byte i is i % 251), no line end
    BULK <n>      reads the next n bytes and answers "SUM <n> <sum>\\n"
                  (sum of the byte values modulo 2**32)

Anything else is answered with "ERR <line>\\n". The slave stays open here as
well, so the line never hangs up while the program under test reopens it.
"""

import os
import sys
import tty


def main() -> None:
    master, slave = os.openpty()
    tty.setraw(slave)
    tty.setraw(master)
    with open(sys.argv[1], "w") as f:
        f.write(os.ttyname(slave) + "\n")

    pending = bytearray()
    bulk_left = 0
    bulk_sum = 0
    bulk_size = 0

    def send(data: bytes) -> None:
        view = memoryview(data)
        while view:
            n = os.write(master, view)
            view = view[n:]

    while True:
        chunk = os.read(master, 65536)
        if not chunk:
            return
        pending += chunk
        while True:
            if bulk_left:
                take = min(bulk_left, len(pending))
                bulk_sum = (bulk_sum + sum(pending[:take])) % 2**32
                del pending[:take]
                bulk_left -= take
                if bulk_left:
                    break
                send(b"SUM %d %d\n" % (bulk_size, bulk_sum))
                continue
            end = pending.find(b"\n")
            if end < 0:
                break
            line = bytes(pending[:end])
            del pending[: end + 1]
            print("peer got:", line[:80], flush=True)
            word, _, arg = line.partition(b" ")
            if word == b"PING":
                send(b"PONG " + arg + b"\n")
            elif word == b"SEND":
                send(bytes(i % 251 for i in range(int(arg))))
            elif word == b"BULK":
                bulk_size = bulk_left = int(arg)
                bulk_sum = 0
                if not bulk_left:
                    send(b"SUM 0 0\n")
            else:
                send(b"ERR " + line + b"\n")


if __name__ == "__main__":
    main()
