"""The wait face: corvalink.aio.Serial futures waited for from plain threads."""

import collections
import random
import time

from corvalink import aio

from .face import READ_TIMEOUTS, Face
from .limits import HANG_LIMIT


class WaitFace(Face):
    """corvalink.aio.Serial futures waited for from plain threads: wait() with
    short timeouts, sometimes followed by cancel(); a second thread also waits
    for some of the futures."""

    name = "wait"
    face_id = 5

    def start(self):
        self.make_links(aio.Serial)
        self.second = collections.deque()
        self.current = {}
        self.woken = set()  # ids of futures that wake() cancelled from another thread
        for link in self.links:
            self.thread(self.writer, link, random.Random(self.rng.random()), writer=True)
            self.thread(self.reader, link, random.Random(self.rng.random()))
        self.thread(self.second_waiter)

    def wake(self):
        for f in list(self.current.values()):
            self.woken.add(id(f))
            f.cancel()

    def start_op(self, link, issue, stopped):
        while not stopped():
            op = link.start(issue)
            if op is not None:
                return op
            link.wait_up(0.05)
        return None

    def wait_out(self, link, f, rng, may_cancel):
        """Waits for f in short slices; may cancel it after a slice."""
        while True:
            try:
                f.wait(rng.choice((None, 0, 0.0005, 0.005, 0.05)))
                return
            except TimeoutError:
                if f.done():
                    return  # the operation's own error
                if may_cancel and rng.random() < 0.3:
                    cancelled = f.cancel()
                    # A False here is right when wake()'s cancel came first.
                    raced = not cancelled and id(f) in self.woken
                    if not f.done() or (cancelled != f.cancelled() and not raced):
                        self.stats.count("error", f"{link}: cancel() returned {cancelled}, then done() "
                                         f"{f.done()} and cancelled() {f.cancelled()}")
                    return
            except BaseException:
                return
            finally:
                if rng.random() < 0.05:
                    self.second.append(f)

    def writer(self, link, rng):
        while self.writing:
            chunks = []
            batch = rng.random() < 0.3

            def issue(tx, rx):
                chunks.extend(tx.peek_frames(rng.randint(2, 8)) if batch else [tx.peek(rng.randint(1, 3000))])
                return [link.port.write(c) for c in chunks]

            op = self.start_op(link, issue, lambda: not self.writing)
            if op is None:
                break
            for i in reversed(range(len(op.futures))):  # the last first, so cancels hit a tail
                self.wait_out(link, op.futures[i], rng, may_cancel=True)
            for f in op.futures:
                self.wait_out(link, f, rng, may_cancel=False)
            link.end_op(op)
            self.stats.op(len(op.futures))
            self.settle_write(op, chunks, [self.write_outcome(link, op, f) for f in op.futures], str(link))

    def reader(self, link, rng):
        while self.running:
            if rng.random() < 0.1:
                link.port.timeout = rng.choice(READ_TIMEOUTS)
            op = self.start_op(link, lambda tx, rx: [link.port.read(rng.randint(1, 3000))], lambda: not self.running)
            if op is None:
                break
            f = op.futures[0]
            self.current[link] = f
            self.wait_out(link, f, rng, may_cancel=True)
            self.wait_out(link, f, rng, may_cancel=False)
            self.current.pop(link, None)
            link.end_op(op)
            self.stats.op()
            if f.cancelled():
                continue
            if f.exception():
                link.failed(op, f.exception())
                continue
            op.rx.feed(f.result())

    def second_waiter(self):
        while self.running or self.second:
            if not self.second:
                time.sleep(0.005)
                continue
            f = self.second.popleft()
            try:
                f.wait(HANG_LIMIT)
            except TimeoutError:
                if not f.done():
                    self.stats.count("stall", f"{self.name}: a second thread's wait() for a future "
                                     f"did not end within {HANG_LIMIT:.0f} s")
            except BaseException:
                pass
