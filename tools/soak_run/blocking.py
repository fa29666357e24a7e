"""The blocking face: corvalink.Serial from plain threads."""

import random
import time

import corvalink

from .checker import MAGIC
from .face import READ_TIMEOUTS, Face


class BlockingFace(Face):
    """corvalink.Serial: per port a writer and a reader thread, and one thread
    that calls cancel_read() and cancel_write() at random moments."""

    name = "blocking"
    face_id = 1
    fast_reopen = False  # a registered blocking call may enter the port only after a reopen

    def start(self):
        self.make_links(corvalink.Serial)
        for link in self.links:
            self.thread(self.writer, link, random.Random(self.rng.random()), writer=True)
            self.thread(self.reader, link, random.Random(self.rng.random()))
        self.thread(self.canceller, random.Random(self.rng.random()))

    def call(self, link, op, fn):
        """Runs one blocking call registered as op; None when it raised."""
        try:
            result = fn()
        except BaseException as exc:
            link.end_op(op, exc)
            self.stats.op()
            link.failed(op, exc)
            link.wait_up(1)
            return None
        link.end_op(op)
        self.stats.op()
        return result

    def writer(self, link, rng):
        while self.writing:
            op = link.begin(lambda: not self.writing)
            if op is None:
                break
            data = op.tx.peek(rng.randint(1, 3000))
            link.port.write_timeout = 0 if rng.random() < 0.1 else None
            n = self.call(link, op, lambda: link.port.write(data))
            if n is not None:
                self.settle_write(op, [data], [n], str(link))

    def reader(self, link, rng):
        while self.running:
            op = link.begin(lambda: not self.running)
            if op is None:
                break
            link.port.timeout = rng.choice(READ_TIMEOUTS)
            how = rng.random()
            if how < 0.7:
                data = self.call(link, op, lambda: link.port.read(rng.randint(1, 3000)))
            elif how < 0.85:
                data = self.call(link, op, lambda: link.port.read_until(MAGIC, rng.randint(1, 600)))
            else:
                buf = bytearray(rng.randint(1, 2000))
                n = self.call(link, op, lambda: link.port.readinto(buf))
                data = None if n is None else bytes(buf[:n])
            if data:
                op.rx.feed(data)

    def canceller(self, rng):
        while self.running:
            time.sleep(rng.uniform(0.001, 0.03))
            port = rng.choice(self.links).port
            try:
                port.cancel_read() if rng.random() < 0.7 else port.cancel_write()
            except corvalink.SerialException:
                pass

    def wake(self):
        for link in self.links:
            try:
                link.port.cancel_read()
                link.port.cancel_write()
            except corvalink.SerialException:
                pass
