"""The aio faces on an event loop: asyncio's own and uvloop's."""

import asyncio
import random
import threading
import time

import corvalink
from corvalink import aio

from .face import READ_TIMEOUTS, Face
from .limits import HANG_LIMIT


class AioLoopFace(Face):
    """corvalink.aio.Serial on an event loop (new_loop()) in a thread of its own: per port a
    writer task (batches started without awaiting in between, single writes
    under asyncio.timeout or Future.cancel(), a write followed by flush()) and
    a reader task whose reads are awaited plainly, under asyncio.timeout
    (delay 0 included), asyncio.wait_for, a task.cancel() from outside, or
    cancelled with Future.cancel()."""

    def __init__(self, soak, stats):
        super().__init__(soak, stats)
        self.current = {}  # link -> the read future its reader awaits
        self.writers_done = threading.Event()

    def start(self):
        self.make_links(aio.Serial)
        self.thread(self.run_loop)

    def run_loop(self):
        with asyncio.Runner(loop_factory=self.new_loop) as runner:
            runner.run(self.main())

    async def main(self):
        asyncio.get_running_loop().set_exception_handler(self.loop_exception)
        readers = [asyncio.create_task(self.reader(link, random.Random(self.rng.random()))) for link in self.links]
        await asyncio.gather(*(self.writer(link, random.Random(self.rng.random())) for link in self.links))
        self.writers_done.set()
        await asyncio.gather(*readers)

    def loop_exception(self, loop, context):
        self.stats.count("error", f"{self.name}: loop exception handler: {context.get('message')} "
                         f"{context.get('exception')!r}")

    def stop_writing(self):
        self.writing = False
        if not self.writers_done.wait(HANG_LIMIT):
            self.stats.count("stall", f"{self.name}: the writer tasks did not stop within {HANG_LIMIT:.0f} s")
        for link in self.links:
            link.stop_sending()

    def wake(self):
        for f in list(self.current.values()):
            f.cancel()

    async def until_done(self, futures, what):
        """Waits without awaiting the futures themselves (their awaiting task
        may have been cancelled)."""
        deadline = time.monotonic() + HANG_LIMIT
        while not all(f.done() for f in futures):
            if time.monotonic() > deadline:
                self.stats.count("stall", f"{what}: an operation still running {HANG_LIMIT:.0f} s later")
                for f in futures:
                    f.cancel()
                return
            await asyncio.sleep(0.001)

    async def writer(self, link, rng):
        while self.writing:
            if not link.up:
                await asyncio.sleep(0.005)
                continue
            how = rng.random()
            if how < 0.4:
                await self.write_batch(link, rng)
            elif how < 0.85:
                await self.write_one(link, rng)
            else:
                await self.write_flush(link, rng)

    async def write_batch(self, link, rng):
        chunks = []

        def issue(tx, rx):
            chunks.extend(tx.peek_frames(rng.randint(2, 12)))
            return [link.port.write(c) for c in chunks]

        op = link.start(issue)
        if op is None:
            return
        if rng.random() < 0.3:  # cancel a tail of the batch, last first
            await asyncio.sleep(rng.choice((0, 0, 0.0002, 0.002)))
            for f in reversed(op.futures[rng.randrange(len(op.futures)) :]):
                if f.cancel() and not f.cancelled():
                    self.stats.count("error", f"{link}: cancel() returned True but the future is not cancelled")
        await self.until_done(op.futures, str(link))
        link.end_op(op)
        self.stats.op(len(op.futures))
        self.settle_write(op, chunks, [self.write_outcome(link, op, f) for f in op.futures], str(link))

    async def write_one(self, link, rng):
        data = []

        def issue(tx, rx):
            data.append(tx.peek(rng.randint(1, 3000)))
            return [link.port.write(data[0])]

        op = link.start(issue)
        if op is None:
            return
        f = op.futures[0]
        how = rng.random()
        try:
            if how < 0.4:
                await f
            elif how < 0.8:
                async with asyncio.timeout(rng.choice((0, 0.0001, 0.001, 0.01))):
                    await f
            else:
                await asyncio.sleep(rng.choice((0, 0.0005, 0.005)))
                if not f.cancel() and not f.done():
                    self.stats.count("error", f"{link}: cancel() returned False on a running write")
        except (TimeoutError, asyncio.CancelledError, corvalink.SerialException):
            if asyncio.current_task().cancelling():
                raise
        await self.until_done(op.futures, str(link))
        link.end_op(op)
        self.stats.op()
        self.settle_write(op, data, [self.write_outcome(link, op, f)], str(link))

    async def write_flush(self, link, rng):
        data = []

        def issue(tx, rx):
            data.append(tx.peek(rng.randint(1, 3000)))
            return [link.port.write(data[0]), link.port.flush()]

        op = link.start(issue)
        if op is None:
            return
        w, fl = op.futures
        try:
            await fl
            if not w.done():
                self.stats.count("order", f"{link}: flush() finished before the write started before it")
        except corvalink.SerialException:
            pass
        await self.until_done(op.futures, str(link))
        link.end_op(op)
        self.stats.op(2)
        self.settle_write(op, data, [self.write_outcome(link, op, w)], str(link))

    async def reader(self, link, rng):
        while self.running:
            if not link.up:
                await asyncio.sleep(0.005)
                continue
            if rng.random() < 0.1:
                link.port.timeout = rng.choice(READ_TIMEOUTS)
            op = link.start(lambda tx, rx: [link.port.read(rng.randint(1, 3000))])
            if op is None:
                continue
            f = op.futures[0]
            self.current[link] = f
            data = await self.read_one(link, op, f, rng)
            self.current.pop(link, None)
            await self.until_done(op.futures, str(link))
            link.end_op(op)
            self.stats.op()
            if data:
                op.rx.feed(data)

    async def read_one(self, link, op, f, rng):
        """What the read delivered to its caller (None when cancelled)."""
        how = rng.random()
        try:
            if how < 0.3:
                return await f
            if how < 0.55:
                async with asyncio.timeout(rng.choice((0, 0, 0.0001, 0.001, 0.01))):
                    return await f
            if how < 0.65:
                return await asyncio.wait_for(f, rng.choice((0.0001, 0.001, 0.01)))
            if how < 0.85:
                task = asyncio.ensure_future(self.await_future(f))
                await asyncio.sleep(0)  # the task now awaits the read
                delay = rng.choice((0, 0, 0.0005, 0.005))
                if delay:
                    await asyncio.sleep(delay)
                task.cancel()
                return await task
            await asyncio.sleep(rng.choice((0, 0.0005, 0.005)))
            if f.cancel():
                if not f.cancelled():
                    self.stats.count("error", f"{link}: cancel() returned True but the future is not cancelled")
                return None
            return f.result()
        except (TimeoutError, asyncio.CancelledError):
            if asyncio.current_task().cancelling():
                raise
            return None
        except corvalink.SerialException as exc:
            link.failed(op, exc)
            return None

    @staticmethod
    async def await_future(f):
        return await f


class AsyncioFace(AioLoopFace):
    name = "aio-asyncio"
    face_id = 2
    new_loop = staticmethod(asyncio.new_event_loop)


class UvloopFace(AioLoopFace):
    name = "aio-uvloop"
    face_id = 3

    @staticmethod
    def new_loop():
        import uvloop

        return uvloop.new_event_loop()
