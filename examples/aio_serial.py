"""corvalink.aio.Serial: every I/O method returns a Future that an event loop
can await, a plain thread can wait() on, and a task can cancel.

    python aio_serial.py
"""

import asyncio
import threading

import corvalink.aio


async def main() -> None:
    async with corvalink.aio.Serial("loop://", timeout=1) as port:
        # loop:// reads back what is written to it.
        count = await port.write(b"ping\n")
        line = await port.readline()
        print(f"  wrote {count} bytes, readline() -> {line!r}")

        # A read started before its data exists is pending until the data comes.
        pending = port.read(5)
        print(f"  read(5) before any data: done() -> {pending.done()}")
        await port.write(b"hello")
        print(f"  after write(b'hello'): {await pending!r}")

        # Several reads and writes in flight at once; the port orders them.
        replies = await asyncio.gather(port.read(3), port.write(b"abc"))
        print(f"  gather(read(3), write(b'abc')) -> {replies!r}")

        # Cancelling the awaiting task (here by a timeout) stops the read and
        # frees the port for the next reader.
        try:
            await asyncio.wait_for(port.read(100), timeout=0.1)
        except TimeoutError:
            print("  read(100) on an idle line: cancelled by wait_for after 0.1 s")
        await port.write(b"next")
        print(f"  the next read still works: {await port.read(4)!r}")

        # The same futures serve code without an event loop.
        def from_a_thread() -> None:
            port.write(b"from a thread").wait()
            print(f"  Future.wait() on a plain thread -> {port.read(13).wait(timeout=1)!r}")

        worker = threading.Thread(target=from_a_thread)
        worker.start()
        await asyncio.to_thread(worker.join)
    print(f"  closed after the async with block: is_open={port.is_open}")


if __name__ == "__main__":
    asyncio.run(main())
