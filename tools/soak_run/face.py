"""What every face has in common: its ports, its threads, the end of a
phase, and the accounting of writes."""

import random
import threading
import time

import corvalink

from .limits import HANG_LIMIT
from .link import PortLink

READ_TIMEOUTS = (None, None, 0, 0.001, 0.02, 0.2)


class Face:
    """One way of using the module. Subclasses start their workers in start(),
    stop writing in stop_writing(), and end everything in stop()."""

    name = ""
    face_id = 0
    fast_reopen = True

    def __init__(self, soak, stats):
        self.soak = soak
        self.stats = stats
        self.rng = random.Random(soak.seed * 31 + self.face_id)
        self.running = True
        self.writing = True
        self.streams = 0
        self.links = []
        self.threads = []
        self.writer_threads = []

    def new_stream_id(self):
        self.streams += 1
        return self.streams

    def make_links(self, port_class):
        self.links = [PortLink(self, kind, port_class, self.fast_reopen) for kind in ("loop", "pty")]

    def thread(self, target, *args, writer=False):
        t = threading.Thread(target=target, args=args, name=f"soak-{self.name}", daemon=True)
        (self.writer_threads if writer else self.threads).append(t)
        t.start()

    def join(self, threads):
        deadline = time.monotonic() + HANG_LIMIT
        for t in threads:
            while t.is_alive() and time.monotonic() < deadline:
                self.wake()
                t.join(0.05)
            if t.is_alive():
                self.stats.count("stall", f"{self.name}: a thread did not stop within {HANG_LIMIT:.0f} s")

    def chaos(self, rng):
        self.rng.choice(self.links).restart(rng)

    def stop_writing(self):
        """Returns once nothing more is written to any stream of the face."""
        self.writing = False
        self.join(self.writer_threads)
        for link in self.links:
            link.stop_sending()

    def caught_up(self):
        return all(link.caught_up() for link in self.links)

    def nudge(self):
        """At the end: a read without a timeout waits for all it asked for;
        cancel_read() makes it return what it has."""
        for link in self.links:
            try:
                link.port.cancel_read()
            except corvalink.SerialException:
                pass

    def check_tails(self):
        for link in self.links:
            link.check_tails()

    def wake(self):
        """Ends waits that would not end by themselves (reads without a timeout)."""

    def stop(self):
        self.running = False
        self.writing = False
        self.join(self.writer_threads + self.threads)
        for link in self.links:
            link.close()

    def settle_write(self, op, chunks, outcomes, what):
        """Accounts for writes started together, given what each ended with: a
        count, None when it was cancelled without effect, or its exception."""
        sent = 0
        short = None  # why an earlier write of the batch moved less than all
        for chunk, outcome in zip(chunks, outcomes):
            n = outcome if isinstance(outcome, int) else 0
            if not 0 <= n <= len(chunk):
                self.stats.count("error", f"{what}: a write of {len(chunk)} bytes reported {n}")
                n = max(0, min(n, len(chunk)))
            if short == "failed" and n:
                self.stats.count("error", f"{what}: a write moved bytes after an earlier one of the same "
                                 "batch failed: an operation from before a close ran after the reopen?")
            elif short and n:
                self.stats.count("order", f"{what}: a write moved bytes after an earlier one of the same "
                                 f"batch was {short}")
            sent += n
            if short is None and n < len(chunk):
                short = "cancelled" if outcome is None else "cut short" if isinstance(outcome, int) else "failed"
        op.tx.advance(sent)

    @staticmethod
    def write_outcome(link, op, f):
        """What a finished write future ended with, for settle_write()."""
        if f.cancelled():
            return None
        exc = f.exception()
        if exc is not None:
            link.failed(op, exc)
            return exc
        return f.result()
