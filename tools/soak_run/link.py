"""A port under test, the far end of its streams, and the operations that
run on it between its closes and hang-ups."""

import threading
import time

import corvalink

from .checker import Outgoing, check_tail
from .limits import HANG_LIMIT


class Op:
    """One operation (or a batch of futures started together) on a PortLink."""

    __slots__ = ("epoch", "tx", "rx", "futures", "finished", "outcome", "pending_at_cut")

    def __init__(self, epoch, tx, rx, futures=()):
        self.epoch = epoch
        self.tx = tx
        self.rx = rx
        self.futures = list(futures)
        self.finished = False
        self.outcome = None  # the exception of a blocking call
        self.pending_at_cut = False

    def done(self):
        return all(f.done() for f in self.futures) if self.futures else self.finished

    def exceptions(self):
        if not self.futures:
            return [self.outcome] if self.outcome is not None else []
        return [f.exception() for f in self.futures if f.done() and not f.cancelled() and f.exception()]


class PortLink:
    """One port under test and the far end of its streams.

    On loop:// the port reads back its own stream (`tx` is checked by `rx`);
    on a pseudo-terminal the device thread checks `tx` and sends the stream
    that `rx` checks. Operations are registered by epoch: a close or a hang-up
    starts a new epoch (new streams, and for a terminal a new one), waits for
    the operations of the old epoch to end and checks how they ended. No
    operation of the new epoch starts before the port is open again, so the
    new streams begin on an empty port.
    """

    def __init__(self, face, kind, port_class, fast_reopen):
        self.face = face
        self.stats = face.stats
        self.kind = kind
        self.fast_reopen = fast_reopen  # operations start together with their registration
        self.cond = threading.Condition()
        self.epoch = 0
        self.up = True
        self.ops = set()
        self.end = face.soak.device.new_end() if kind == "pty" else None
        self.port = port_class(self.end.name if self.end else "loop://", timeout=None)
        self._new_streams(self.end)
        if self.end:
            self.end.sending = True

    def __str__(self):
        return f"{self.face.name} {self.kind}"

    def _new_streams(self, end):
        face = self.face
        self.tx = Outgoing(face.face_id, face.new_stream_id())
        if end is None:
            self.rx = self.stats.incoming(face.face_id, self.tx.stream_id)
        else:
            end.from_port = self.stats.incoming(face.face_id, self.tx.stream_id)
            end.to_port = Outgoing(face.face_id, face.new_stream_id())
            self.rx = self.stats.incoming(face.face_id, end.to_port.stream_id)

    # Operations

    def begin(self, stopped):
        """Registers a blocking call; waits while the port is down. None once
        stopped() says so."""
        with self.cond:
            while not self.up:
                if stopped():
                    return None
                self.cond.wait(0.05)
            if stopped():
                return None
            op = Op(self.epoch, self.tx, self.rx)
            self.ops.add(op)
            return op

    def start(self, issue):
        """Starts futures with issue(tx, rx) and registers them in one step,
        or returns None while the port is down."""
        with self.cond:
            if not self.up:
                return None
            op = Op(self.epoch, self.tx, self.rx, issue(self.tx, self.rx))
            self.ops.add(op)
            return op

    def end_op(self, op, outcome=None):
        with self.cond:
            op.outcome = outcome
            op.finished = True
            self.ops.discard(op)
            self.cond.notify_all()

    def wait_up(self, timeout):
        with self.cond:
            self.cond.wait_for(lambda: self.up, timeout)

    def failed(self, op, exc):
        """An operation of this link raised exc: fine after a close or hang-up
        (restart() checks those), a violation otherwise."""
        if not isinstance(exc, corvalink.SerialException):
            self.stats.count("error", f"{self}: an operation raised {exc!r}")
        elif op.epoch == self.epoch:
            self.stats.count("error", f"{self}: {exc!r} with no close or hang-up")

    # Closes and hang-ups

    def restart(self, rng):
        """Closes the port (loop://) or hangs the terminal up, checks how the
        operations that were running ended, and opens the port again."""
        hangup = self.kind == "pty"
        fast = self.fast_reopen and not hangup and rng.random() < 0.5
        new_end = self.face.soak.device.new_end() if hangup else None
        with self.cond:
            self.epoch += 1
            self.up = False
            old = list(self.ops)
            for op in old:
                op.pending_at_cut = not op.done()
            old_end, old_rx = self.end, self.rx
            self.end = new_end
            self._new_streams(new_end)
        if hangup:
            self.face.soak.device.hang_up(old_end)
        else:
            self.port.close()
            if fast:  # operations queued before the close must not run on the reopened port
                self._reopen(None)
        self._drain(old, "hang-up" if hangup else "close")
        if hangup and any(isinstance(e, corvalink.SerialException) for op in old for e in op.exceptions()):
            self._check_closed()
        old_rx.retire()
        if old_end:
            old_end.from_port.retire()
        if not fast:
            self._reopen(new_end)

    def _reopen(self, new_end):
        if new_end is not None:
            self.port.port = new_end.name  # reopens a port that did not notice the hang-up
        if not self.port.is_open:
            self.port.open()
        if new_end is not None:
            new_end.sending = True
        with self.cond:
            self.up = True
            self.cond.notify_all()

    def _drain(self, old, what):
        deadline = time.monotonic() + HANG_LIMIT
        stuck = 0
        for op in old:
            for f in op.futures:
                try:
                    f.wait(max(0.0, deadline - time.monotonic()))
                except TimeoutError:
                    if not f.done():
                        stuck += 1
                        f.cancel()
                except BaseException:
                    pass
            if not op.futures:
                with self.cond:
                    if not self.cond.wait_for(lambda: op.finished, max(0.0, deadline - time.monotonic())):
                        stuck += 1
        if stuck:
            self.stats.count("stall", f"{self}: {stuck} operations still running {HANG_LIMIT:.0f} s after a {what}")
        for op in old:
            if not op.pending_at_cut:
                continue
            for exc in op.exceptions():
                if not isinstance(exc, corvalink.SerialException):
                    self.stats.count("error", f"{self}: an operation running at a {what} raised {exc!r}")
                elif what == "close" and not isinstance(exc, corvalink.PortNotOpenError):
                    self.stats.count("error", f"{self}: an operation running at a close raised {exc!r}, "
                                     "not PortNotOpenError")
                elif what == "hang-up" and op.futures and isinstance(exc, corvalink.PortNotOpenError):
                    self.stats.count("error", f"{self}: an operation started before a hang-up ended with "
                                     f"{exc!r} instead of the disconnect error")

    def _check_closed(self):
        if self.port.is_open:
            self.stats.count("error", f"{self}: the port is still open after a hang-up ended its operations")
            return
        try:
            self.port.in_waiting
        except corvalink.PortNotOpenError:
            return
        except BaseException as exc:
            self.stats.count("error", f"{self}: in_waiting after a hang-up raised {exc!r}")
            return
        self.stats.count("error", f"{self}: in_waiting after a hang-up did not raise PortNotOpenError")

    # The end of the run

    def stop_sending(self):
        if self.end:
            self.face.soak.device.stop_sending(self.end)

    def caught_up(self):
        if self.end is None:
            return self.rx.received >= self.tx.sent
        return self.end.from_port.received >= self.tx.sent and self.rx.received >= self.end.to_port.sent

    def check_tails(self):
        if self.end is None:
            check_tail(self.stats, self.tx, self.rx, str(self))
        else:
            check_tail(self.stats, self.tx, self.end.from_port, f"{self} (port to device)")
            check_tail(self.stats, self.end.to_port, self.rx, f"{self} (device to port)")

    def close(self):
        self.port.close()
        self.rx.retire()
        if self.end:
            self.face.soak.device.hang_up(self.end)
            self.end.from_port.retire()
