"""The callback face: corvalink.aio.Serial driven by done-callbacks outside
any event loop."""

import functools
import random
import time

from corvalink import aio

from .face import Face
from .limits import HANG_LIMIT

# How long a done-callback may wait for another operation (which takes
# milliseconds when nothing is wrong).
NESTED_WAIT_LIMIT = 2.0


class Chain:
    """A sequence of operations on one port where each is started by the
    done-callback of the one before; callbacks run outside any event loop."""

    def __init__(self, face, link, write, rng):
        self.face = face
        self.link = link
        self.write = write
        self.rng = rng
        self.current = None
        self.parked = False
        self.helper = None  # a loop:// port for waits from inside a callback
        self.nesting = True  # until the first stall: more would only hold up the other faces

    @property
    def active(self):
        return self.face.writing if self.write else self.face.running

    def pump(self):
        """Starts operations until one does not finish at once; that one's
        callback carries on."""
        link, rng = self.link, self.rng
        while self.active:
            data = []

            def issue(tx, rx):
                if not self.write:
                    return [link.port.read(rng.randint(1, 3000))]
                data.append(tx.peek(rng.randint(1, 3000)))
                return [link.port.write(data[0])]

            op = link.start(issue)
            if op is None:
                self.current = None
                self.parked = True
                return
            f = op.futures[0]
            self.current = f
            if not f.done():
                f.add_done_callback(functools.partial(self.done, op, data if self.write else None))
                return
            self.finish(op, f, data if self.write else None)
        self.current = None

    def done(self, op, data, f):
        self.finish(op, f, data)
        if self.nesting and self.rng.random() < 0.02:
            self.nested_wait()
        self.pump()

    def finish(self, op, f, data):
        self.link.end_op(op)
        self.face.stats.op()
        if self.write:
            self.face.settle_write(op, data, [self.face.write_outcome(self.link, op, f)], str(self.link))
        elif not f.cancelled():
            if f.exception() is not None:
                self.link.failed(op, f.exception())
            else:
                op.rx.feed(f.result())

    def nested_wait(self):
        """Inside a done-callback: a write and a read on another port, waited for."""
        if self.helper is None:
            self.helper = aio.Serial("loop://", timeout=None)
        futures = []
        try:
            futures.append(self.helper.write(b"ping"))
            futures[-1].wait(NESTED_WAIT_LIMIT)
            futures.append(self.helper.read(4))
            futures[-1].wait(NESTED_WAIT_LIMIT)
            self.face.stats.op(2)
        except TimeoutError:
            self.face.stats.count("stall", f"{self.link}: a done-callback waited {NESTED_WAIT_LIMIT:.0f} s "
                                  f"for a {('write', 'read')[len(futures) - 1]} on another port")
            for f in futures:
                f.cancel()
            self.helper.close()
            self.helper = None
            self.nesting = False


class CallbackFace(Face):
    """corvalink.aio.Serial driven only by done-callbacks outside any loop: per
    port a writer chain and a reader chain; one thread cancels the current
    future of a random chain now and then, and restarts chains parked by a
    close or hang-up."""

    name = "callback"
    face_id = 6

    def start(self):
        self.make_links(aio.Serial)
        self.chains = []
        for link in self.links:
            for write in (True, False):
                self.chains.append(Chain(self, link, write, random.Random(self.rng.random())))
        for chain in self.chains:
            chain.pump()
        self.thread(self.tender, random.Random(self.rng.random()))

    def tender(self, rng):
        while self.running:
            time.sleep(rng.uniform(0.001, 0.02))
            chain = rng.choice(self.chains)
            f = chain.current
            if f is not None and rng.random() < 0.5:
                cancelled = f.cancel()
                if cancelled and not f.cancelled():
                    self.stats.count("error", f"{chain.link}: cancel() returned True but the future is not cancelled")
            for chain in self.chains:
                if chain.parked and chain.link.up and chain.active:
                    chain.parked = False
                    chain.pump()

    def wake(self):
        for chain in self.chains:
            f = chain.current
            if f is not None:
                f.cancel()

    def wait_idle(self, chains, cancel):
        deadline = time.monotonic() + HANG_LIMIT
        while any(c.current is not None for c in chains):
            if cancel:
                self.wake()
            if time.monotonic() > deadline:
                self.stats.count("stall", f"{self.name}: a chain did not come to rest within {HANG_LIMIT:.0f} s")
                return
            time.sleep(0.01)

    def stop_writing(self):
        self.writing = False
        self.wait_idle([c for c in self.chains if c.write], cancel=False)
        for link in self.links:
            link.stop_sending()

    def stop(self):
        self.running = False
        self.wait_idle(self.chains, cancel=True)
        super().stop()
        for chain in self.chains:
            if chain.helper is not None:
                chain.helper.close()
