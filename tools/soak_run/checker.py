"""Soak: every face of corvalink at once, on loop:// and on pseudo-terminals.

Faces, each with a loop:// port and a pseudo-terminal of its own:

  blocking     corvalink.Serial from a writer, a reader and a canceller thread
  aio-asyncio  corvalink.aio.Serial tasks on an asyncio loop in its own thread
  aio-uvloop   the same tasks on a uvloop loop in another thread
  transport    SerialTransport connections with a flow-controlled protocol
  wait         corvalink.aio.Serial futures waited for from plain threads
  callback     chains of done-callbacks outside any loop, some waiting for
               other operations from inside the callback

Every byte written belongs to a stream of sequence-numbered, checksummed
frames, and the receiving side of every stream checks it exactly: nothing
lost, duplicated, reordered or corrupted, however many reads and writes were
cancelled or timed out. Writers count only what the operations report as
written. The device side of each pseudo-terminal is played by one thread of
the soak on the master side, which checks what the port sends and sends a
stream of its own. Throughout the run ports are closed and reopened, the
device hangs up and a new terminal takes its place, and transports end by
close, abort and hang-up; a stream restarts after each of these, so bytes in
flight at that moment are not counted as lost.

The run: a short warm-up of all faces, the main phase with all faces at
once, then each face alone for a short while (after a warm-up of its own,
and with closes and hang-ups more often). File descriptors, threads, RSS,
allocated blocks and, on a debug interpreter, the total reference count are
sampled after a collection before and after the main phase and each face's
run alone; the latter gives the growth on the face's line. The last lines
are one per face and the verdict; the exit status is 0 only when nothing was
violated, nothing hung and nothing leaked. A face that makes no progress for
--watchdog seconds has the stacks of all threads dumped and fails the run.
"""

import argparse
import asyncio
import collections
import faulthandler
import functools
import gc
import os
import random
import select
import struct
import sys
import threading
import time
import traceback
import zlib

import corvalink
from corvalink import aio

# How long an operation may take to end after a close or hang-up, a
# connection to report connection_lost, or a stream's reader to catch up
# with its writer at the end, before it counts as a stall.
HANG_LIMIT = 10.0
# How long a done-callback may wait for another operation (which takes
# milliseconds when nothing is wrong).
NESTED_WAIT_LIMIT = 2.0
# At the end of a stream: when its receiver got nothing for this long, what
# has not arrived counts as lost. Longer than a stalled done-callback holds
# the runtime's workers.
QUIET = 3.0
# Leak tolerances. Descriptors and threads are counted exactly: after a
# collection and a settle, everything a phase opened or started is gone. For
# a face alone, after a warm-up of its own, clean faces leave 0-80 allocated
# blocks and references and under 1 MiB of RSS, while an object kept alive per
# failed operation adds hundreds in the few seconds of the run. The shared
# phase comes after only a short warm-up and runs several loops and threads
# at once, so its figures are a coarse check for what only shows there.
RSS_TOLERANCE = {"together": 32 << 20, "alone": 4 << 20}
# Off with --no-rss: a sanitizer's allocator keeps freed memory and its
# shadow grows, so only descriptors, threads and blocks are judged then.
RSS_JUDGED = True
BLOCKS_TOLERANCE = {"together": 5000, "alone": 150}
REFS_TOLERANCE = {"together": 5000, "alone": 200}

READ_TIMEOUTS = (None, None, 0, 0.001, 0.02, 0.2)


# --------------------------------------------------------------------------
# Frames and streams

MAGIC = b"\xf5\xa7"
HEADER = struct.Struct("<2sBIIH")  # magic, face, stream, sequence number, payload length
CRC = struct.Struct("<I")  # crc32 of header and payload
MAX_PAYLOAD = 240
# Payload bytes lie in 0x20..0x5f, so the magic's first byte never starts inside one.
PATTERN = bytes(range(0x20, 0x60)) * 6


def payload_length(seq):
    return (seq * 2654435761 >> 8) % (MAX_PAYLOAD + 1)


def frame_length(seq):
    return HEADER.size + payload_length(seq) + CRC.size


def make_frame(face_id, stream_id, seq):
    n = payload_length(seq)
    head = HEADER.pack(MAGIC, face_id, stream_id, seq, n)
    body = PATTERN[seq % 64 : seq % 64 + n]
    return head + body + CRC.pack(zlib.crc32(body, zlib.crc32(head)))


class Outgoing:
    """The sending side of one stream: frames made on demand, and the count of
    bytes that went out. One sender uses it at a time."""

    def __init__(self, face_id, stream_id):
        self.face_id = face_id
        self.stream_id = stream_id
        self.frames = collections.deque()  # not yet wholly sent; the first from `offset` on
        self.offset = 0
        self.next_seq = 0
        self.sent = 0

    @property
    def complete_frames(self):
        return self.next_seq - len(self.frames)

    def _make(self):
        self.frames.append(make_frame(self.face_id, self.stream_id, self.next_seq))
        self.next_seq += 1

    def peek(self, n):
        """The next n bytes to send, without counting them as sent."""
        out = bytearray()
        skip = self.offset
        i = 0
        while len(out) < n:
            if i == len(self.frames):
                self._make()
            out += self.frames[i][skip : skip + n - len(out)]
            skip = 0
            i += 1
        return bytes(out)

    def peek_frames(self, count):
        """The next `count` chunks, cut at frame boundaries (the first one may be
        the rest of a frame that went out in part)."""
        while len(self.frames) < count:
            self._make()
        return [self.frames[0][self.offset :]] + [self.frames[i] for i in range(1, count)]

    def advance(self, n):
        """n more bytes went out."""
        self.sent += n
        n += self.offset
        while self.frames and n >= len(self.frames[0]):
            n -= len(self.frames.popleft())
        self.offset = n


class Incoming:
    """The receiving side of one stream: checks that the bytes are exactly the
    stream's frames, each once and in order, and says what went wrong if not.

    Where the next frame is not found intact, the bytes up to the stream's
    next intact frame are skipped, and their count tells what happened: fewer
    than the stream had there is a loss (the frames in between stay missing
    unless they turn up later, which is a reordering), more is a repetition,
    as many is corruption in place. A frame that arrives a second time is a
    repetition, a frame of another stream corruption.
    """

    def __init__(self, stats, face_id, stream_id):
        self.stats = stats
        self.face_id = face_id
        self.stream_id = stream_id
        self.lock = threading.Lock()
        self.buf = bytearray()
        self.received = 0
        self.next_seq = 0
        self.missing = set()
        self.skipped = 0  # bytes passed over since the last intact frame of the stream

    def feed(self, data):
        with self.lock:
            self.received += len(data)
            self.buf += data
            self._parse()
        self.stats.add("bytes", len(data))

    def retire(self):
        """The stream is over: frames still missing are lost."""
        self.stats.retire(self)

    def _frame_at(self, pos):
        """(face, stream, seq, length) of a whole valid frame at pos, "short"
        when more bytes are needed to tell, None when there is none."""
        buf = self.buf
        if len(buf) - pos < HEADER.size:
            return "short"
        magic, face, stream, seq, n = HEADER.unpack_from(buf, pos)
        if magic != MAGIC or n > MAX_PAYLOAD:
            return None
        total = HEADER.size + n + CRC.size
        if len(buf) - pos < total:
            return "short"
        end = pos + HEADER.size + n
        if CRC.unpack_from(buf, end)[0] != zlib.crc32(buf[pos:end]):
            return None
        return face, stream, seq, total

    def _parse(self):
        pos = 0
        while True:
            frame = self._frame_at(pos)
            if frame == "short":
                break
            if frame is None:  # skip to the next possible frame start
                nxt = self.buf.find(MAGIC, pos + 1)
                step = (nxt if nxt >= 0 else max(pos, len(self.buf) - 1)) - pos
                self.skipped += step
                pos += step
                if nxt < 0:
                    break
                continue
            face, stream, seq, total = frame
            if face != self.face_id:
                self.stats.count("corrupt", f"stream {self.stream_id}: a frame of face {face} "
                                 f"stream {stream} (seq {seq}) arrived in it")
            elif stream != self.stream_id:
                self.stats.count("corrupt", f"stream {self.stream_id}: a frame of stream {stream} "
                                 f"(seq {seq}) arrived in it: an operation from before a close ran "
                                 "after the reopen?")
            else:
                self._accept(seq, self.received - len(self.buf) + pos)
            pos += total
        del self.buf[:pos]

    def _accept(self, seq, offset):
        skipped, self.skipped = self.skipped, 0
        where = f"stream {self.stream_id} at byte {offset}"
        if seq < self.next_seq:
            if seq in self.missing:
                self.missing.discard(seq)
                self.stats.count("order", f"{where}: frame {seq} arrived after later ones")
            else:
                self.stats.count("dup", f"{where}: frame {seq} arrived again (next due {self.next_seq})")
            return
        if seq - self.next_seq > 1_000_000:
            self.stats.count("corrupt", f"{where}: frame {seq} while {self.next_seq} was due")
            return
        expected = sum(frame_length(k) for k in range(self.next_seq, seq))
        if skipped < expected:
            self.missing.update(range(self.next_seq, seq))
            self.stats.note("loss", f"{where}: {expected - skipped} bytes missing before frame {seq} "
                            f"(frames {self.next_seq}..{seq - 1} not intact)")
        elif skipped > expected:
            self.stats.count("dup", f"{where}: {skipped - expected} bytes too many before frame {seq}")
        elif skipped:
            self.stats.count("corrupt", f"{where}: {skipped} bytes changed before frame {seq}")
        self.next_seq = seq + 1


def check_tail(stats, sender, receiver, what):
    """At a clean end of a stream the receiver must hold exactly what the
    sender counted as sent."""
    with receiver.lock:
        got_frames, partial = receiver.next_seq, len(receiver.buf)
        received = receiver.received
    want_frames, want_partial = sender.complete_frames, sender.offset
    if (got_frames, partial) == (want_frames, want_partial):
        return
    text = (f"{what}: stream {sender.stream_id} ends at frame {got_frames} + {partial} bytes "
            f"({received} bytes), the writer counted frame {want_frames} + {want_partial} bytes "
            f"({sender.sent} bytes)")
    stats.count("loss" if received < sender.sent else "dup", text)


# --------------------------------------------------------------------------
# Counters

class Stats:
    """Counters and the first few messages of each kind of violation for one
    face, kept across the phases of the run."""

    KINDS = ("loss", "dup", "order", "corrupt", "error", "stall", "leak")

    def __init__(self, name):
        self.name = name
        self.lock = threading.Lock()
        self.ops = 0
        self.counts = dict.fromkeys(("bytes",) + self.KINDS, 0)
        self.notes = collections.defaultdict(list)
        self.live = set()  # checkers of streams still running
        self.progress = time.monotonic()
        self.growth = None  # what the face alone left behind
        self.skipped = None

    def op(self, n=1):
        with self.lock:
            self.ops += n
            self.progress = time.monotonic()

    def add(self, kind, n):
        with self.lock:
            self.counts[kind] += n

    def note(self, kind, text):
        with self.lock:
            if len(self.notes[kind]) < 5:
                self.notes[kind].append(text)

    def count(self, kind, text):
        self.add(kind, 1)
        self.note(kind, text)

    def incoming(self, face_id, stream_id):
        checker = Incoming(self, face_id, stream_id)
        with self.lock:
            self.live.add(checker)
        return checker

    def retire(self, checker):
        with checker.lock:
            lost = len(checker.missing)
            checker.missing.clear()
        with self.lock:
            if checker in self.live:
                self.live.discard(checker)
                self.counts["loss"] += lost

    def totals(self):
        with self.lock:
            counts = dict(self.counts)
            live = list(self.live)
        counts["loss"] += sum(len(c.missing) for c in live)
        return counts

    def violations(self):
        t = self.totals()
        return sum(t[k] for k in self.KINDS)


# --------------------------------------------------------------------------
# The device side of the pseudo-terminals

class PtyEnd:
    """One pseudo-terminal: the port opens `name`; the device thread reads what
    the port sends into `from_port` and sends `to_port` once `sending` is set
    (opening a terminal discards input that came before)."""

    def __init__(self):
        self.master, self.slave = os.openpty()  # the slave stays open so the master never sees EIO
        os.set_blocking(self.master, False)
        self.name = os.ttyname(self.slave)
        self.from_port = None
        self.to_port = None
        self.sending = False
        self.gone = threading.Event()


class PtyDevice(threading.Thread):
    """Plays the device for every pseudo-terminal of the run: one thread that
    reads each master side and writes to it, and closes it to hang up."""

    def __init__(self, seed):
        super().__init__(name="soak-device", daemon=True)
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.ends = []
        self.hangups = []
        self.wake_r, self.wake_w = os.pipe()
        self.stopping = False
        self.rounds = 0
        self.round_done = threading.Condition()

    def new_end(self):
        end = PtyEnd()
        with self.lock:
            self.ends.append(end)
        self._wake()
        return end

    def hang_up(self, end):
        """Closes the master side; returns once it is closed."""
        with self.lock:
            self.hangups.append(end)
        self._wake()
        if not end.gone.wait(HANG_LIMIT):
            raise RuntimeError("device thread did not hang up")

    def stop_sending(self, end):
        """Stops sending to end; returns once no write of it is under way."""
        end.sending = False
        with self.round_done:
            target = self.rounds + 2
            self._wake()
            self.round_done.wait_for(lambda: self.rounds >= target or not self.is_alive(), HANG_LIMIT)

    def stop(self):
        self.stopping = True
        self._wake()
        self.join(HANG_LIMIT)
        for end in self.ends:
            self._close(end)
        os.close(self.wake_r)
        os.close(self.wake_w)

    def _wake(self):
        os.write(self.wake_w, b"x")

    def _close(self, end):
        os.close(end.master)
        os.close(end.slave)
        end.gone.set()

    def run(self):
        rng = self.rng
        while not self.stopping:
            with self.round_done:
                self.rounds += 1
                self.round_done.notify_all()
            with self.lock:
                for end in self.hangups:
                    if end in self.ends:
                        self.ends.remove(end)
                        self._close(end)
                self.hangups.clear()
                ends = list(self.ends)
            readers = {e.master: e for e in ends}
            writers = [e.master for e in ends if e.sending]
            r, w, _ = select.select([self.wake_r, *readers], writers, [], 0.5)
            if self.wake_r in r:
                os.read(self.wake_r, 512)
            for fd in r:
                end = readers.get(fd)
                if end is None:
                    continue
                try:
                    data = os.read(fd, 65536)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError as exc:  # cannot happen while the soak holds the slave side open
                    print(f"[soak] device: reading {end.name}: {exc}", flush=True)
                    continue
                if end.from_port is not None:
                    end.from_port.feed(data)
            for fd in w:
                end = readers[fd]
                stream = end.to_port
                if stream is None or not end.sending:
                    continue
                try:
                    n = os.write(fd, stream.peek(rng.randint(1, 1500)))
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError as exc:
                    print(f"[soak] device: writing {end.name}: {exc}", flush=True)
                    continue
                stream.advance(n)


# --------------------------------------------------------------------------
# Ports under test

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


# --------------------------------------------------------------------------
# Faces

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
        for link in self.links:
            self.thread(self.writer, link, random.Random(self.rng.random()), writer=True)
            self.thread(self.reader, link, random.Random(self.rng.random()))
        self.thread(self.second_waiter)

    def wake(self):
        for f in list(self.current.values()):
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
                    if not f.done() or cancelled != f.cancelled():
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


class SoakProtocol(asyncio.Protocol):
    """Writes its stream whenever the transport is not paused, toggles reading
    at random, and checks what it receives."""

    def __init__(self, face, tx, rx, rng):
        self.face = face
        self.stats = face.stats
        self.tx = tx
        self.rx = rx
        self.rng = rng
        self.loop = asyncio.get_running_loop()
        self.transport = None
        self.writing = True
        self.paused_writing = False
        self.paused_reading = False
        self.pump_scheduled = False
        self.toggling = True
        self.lost = self.loop.create_future()

    def connection_made(self, transport):
        self.transport = transport
        transport.set_write_buffer_limits(high=self.rng.choice((256, 4096, 65536)))
        self.schedule_pump(0)
        self.loop.call_later(self.rng.uniform(0.001, 0.1), self.toggle_reading)

    def schedule_pump(self, delay):
        if not self.pump_scheduled:
            self.pump_scheduled = True
            self.loop.call_later(delay, self.pump)

    def pump(self):
        self.pump_scheduled = False
        t = self.transport
        for _ in range(self.rng.randint(1, 8)):
            if not self.writing or self.paused_writing or t.is_closing():
                return
            chunk = self.tx.peek(self.rng.randint(1, 1500))
            t.write(chunk)
            self.tx.advance(len(chunk))
            self.stats.op()
        self.schedule_pump(self.rng.choice((0, 0.001, 0.005)))

    def pause_writing(self):
        if self.paused_writing:
            self.stats.count("error", "transport: pause_writing() twice without resume_writing()")
        self.paused_writing = True

    def resume_writing(self):
        if not self.paused_writing:
            self.stats.count("error", "transport: resume_writing() without pause_writing()")
        self.paused_writing = False
        self.schedule_pump(0)

    def settle(self):
        """Stops writing and toggling; reading goes on."""
        self.writing = False
        self.toggling = False
        if self.paused_reading:
            self.paused_reading = False
            self.transport.resume_reading()

    def toggle_reading(self):
        t = self.transport
        if not self.toggling or t.is_closing() or self.lost.done():
            return
        if self.paused_reading:
            self.paused_reading = False
            t.resume_reading()
        else:
            self.paused_reading = True
            t.pause_reading()
        self.loop.call_later(self.rng.uniform(0.001, 0.05 if self.paused_reading else 0.2), self.toggle_reading)

    def data_received(self, data):
        if self.paused_reading:
            self.stats.count("error", "transport: data_received() while reading was paused")
        if self.lost.done():
            self.stats.count("error", "transport: data_received() after connection_lost()")
        self.rx.feed(data)
        self.stats.op()

    def connection_lost(self, exc):
        if self.lost.done():
            self.stats.count("error", "transport: connection_lost() called twice")
            return
        self.lost.set_result(exc)


class TransportFace(Face):
    """SerialTransport connections on an asyncio loop in its own thread, one
    after another on loop:// and on fresh pseudo-terminals, each ended by
    close(), abort() or (terminals) a hang-up. A closed connection must have
    delivered everything it was given; every ending must bring
    connection_lost() with the right argument and leave the port closed."""

    name = "transport"
    face_id = 4

    def start(self):
        self.finished = 0
        self.hanging_up = False
        self.thread(self.run_loop)

    def run_loop(self):
        with asyncio.Runner() as runner:
            runner.run(self.main())

    async def main(self):
        asyncio.get_running_loop().set_exception_handler(self.loop_exception)
        await asyncio.gather(self.slot("loop", random.Random(self.rng.random())),
                             self.slot("pty", random.Random(self.rng.random())))

    def chaos(self, rng):
        pass  # connections end by themselves

    def caught_up(self):
        return self.finished == 2

    def check_tails(self):
        pass  # each connection checks its own

    async def slot(self, kind, rng):
        try:
            while self.writing:
                await self.connection(kind, rng)
        finally:
            self.finished += 1

    async def connection(self, kind, rng):
        loop = asyncio.get_running_loop()
        stats = self.stats
        device = self.soak.device
        tx = Outgoing(self.face_id, self.new_stream_id())
        end = device.new_end() if kind == "pty" else None
        if end is None:
            sender, rx = tx, stats.incoming(self.face_id, tx.stream_id)
        else:
            end.from_port = stats.incoming(self.face_id, tx.stream_id)
            end.to_port = sender = Outgoing(self.face_id, self.new_stream_id())
            rx = stats.incoming(self.face_id, end.to_port.stream_id)
        what = f"transport {kind}"
        transport, proto = await aio.create_serial_connection(
            loop, lambda: SoakProtocol(self, tx, rx, rng), end.name if end else "loop://")
        if end:
            end.sending = True
        deadline = time.monotonic() + rng.uniform(0.3, 3.0)
        while self.writing and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        ending = "close" if not self.writing else rng.choice(("close", "abort") + (("hang-up",) if end else ()))
        if ending == "close":
            # Everything sent must arrive: before the close, all the protocol
            # is sent (on loop:// its own stream read back, on a terminal the
            # device's); on a terminal, after it, all the protocol wrote, since
            # a close sends what is buffered first.
            proto.settle()
            if end:
                await loop.run_in_executor(None, device.stop_sending, end)
            await self.catch_up(rx, sender)
            check_tail(stats, sender, rx, f"{what} (to the protocol)")
            transport.close()
        elif ending == "abort":
            transport.abort()
        else:
            self.hanging_up = True
            await loop.run_in_executor(None, device.hang_up, end)
        try:
            exc = await asyncio.wait_for(asyncio.shield(proto.lost), HANG_LIMIT)
        except TimeoutError:
            stats.count("stall", f"{what}: no connection_lost() {HANG_LIMIT:.0f} s after {ending}")
            transport.abort()
        else:
            self.check_lost(what, ending, exc, transport)
        self.hanging_up = False
        stats.op()
        rx.retire()
        if end:
            if ending == "close":
                await self.catch_up(end.from_port, tx)
                check_tail(stats, tx, end.from_port, f"{what} (to the device)")
            if ending != "hang-up":
                await loop.run_in_executor(None, device.hang_up, end)
            end.from_port.retire()

    def check_lost(self, what, ending, exc, transport):
        if ending == "hang-up":
            if not isinstance(exc, corvalink.SerialException) or isinstance(exc, corvalink.PortNotOpenError):
                self.stats.count("error", f"{what}: connection_lost({exc!r}) after a hang-up, "
                                 "expected the disconnect error")
        elif exc is not None:
            self.stats.count("error", f"{what}: connection_lost({exc!r}) after {ending}()")
        if transport.serial.is_open:
            self.stats.count("error", f"{what}: the port is open after connection_lost()")

    async def catch_up(self, receiver, sender):
        """Waits until receiver has what sender sent, or nothing more comes."""
        deadline = time.monotonic() + HANG_LIMIT
        last, quiet = -1, time.monotonic()
        while receiver.received < sender.sent and time.monotonic() < deadline:
            if receiver.received != last:
                last, quiet = receiver.received, time.monotonic()
            elif time.monotonic() - quiet > QUIET:
                return  # the tail check says what is missing
            await asyncio.sleep(0.01)

    def loop_exception(self, loop, context):
        """A failed write at a hang-up is reported here by design; anything
        else reaching the loop's exception handler is a fault."""
        exc = context.get("exception")
        if self.hanging_up and context.get("message") == "Fatal write error on serial transport" \
                and isinstance(exc, corvalink.SerialException):
            return
        self.stats.count("error", f"transport: loop exception handler: {context.get('message')} {exc!r}")

    def stop(self):
        self.running = False
        self.writing = False
        for t in self.threads:
            t.join(3 * HANG_LIMIT)
            if t.is_alive():
                self.stats.count("stall", f"{self.name}: the loop thread did not stop")


# --------------------------------------------------------------------------
# The run

FACES = {face.name: face for face in (BlockingFace, AsyncioFace, UvloopFace, TransportFace, WaitFace, CallbackFace)}


def start_engine_threads():
    """The engine starts its workers and its readiness thread on first need; a
    read that waits on a terminal starts them all, so that a phase that happens
    to need them first does not count them as growth."""
    master, slave = os.openpty()
    port = aio.Serial(os.ttyname(slave), timeout=None)
    read = port.read(1)
    time.sleep(0.1)
    os.write(master, b"x")
    read.wait(HANG_LIMIT)
    port.close()
    os.close(master)
    os.close(slave)


class Sample:
    """Process resources after a collection and a short settle."""

    def __init__(self):
        for _ in range(3):
            gc.collect()
        last = None
        for _ in range(30):  # until descriptors and threads hold still for a moment
            time.sleep(0.1)
            now = (len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), threading.active_count())
            if now == last:
                break
            last = now
        self.fds, self.os_threads, self.py_threads = now
        with open("/proc/self/statm") as f:
            self.rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        self.blocks = sys.getallocatedblocks()
        self.refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None


class Growth:
    """What a phase left behind. `scope` ("together" or "alone") picks the
    tolerances. uvloop moves the debug interpreter's reference total by about
    two per loop iteration without leaving any object behind, so the total is
    shown but not judged for a phase that ran it."""

    def __init__(self, before, after, scope, uvloop):
        self.scope = scope
        self.fds = after.fds - before.fds
        self.threads = max(after.os_threads - before.os_threads, after.py_threads - before.py_threads)
        self.rss = after.rss - before.rss
        self.blocks = after.blocks - before.blocks
        self.refs = None if after.refs is None else after.refs - before.refs
        self.refs_judged = not uvloop

    def __str__(self):
        if self.refs is None:
            refs = "refs n/a"
        else:
            refs = f"refs{self.refs:+d}" + ("" if self.refs_judged else " (uvloop)")
        return (f"fd{self.fds:+d} threads{self.threads:+d} rss{self.rss / 2**20:+.1f}MiB "
                f"blocks{self.blocks:+d} {refs}")

    def leaks(self):
        found = []
        if self.fds > 0:
            found.append(f"{self.fds} file descriptors")
        if self.threads > 0:
            found.append(f"{self.threads} threads")
        if RSS_JUDGED and self.rss > RSS_TOLERANCE[self.scope]:
            found.append(f"RSS {self.rss / 2**20:.1f} MiB (tolerance {RSS_TOLERANCE[self.scope] / 2**20:.0f} MiB)")
        if self.blocks > BLOCKS_TOLERANCE[self.scope]:
            found.append(f"{self.blocks} allocated blocks (tolerance {BLOCKS_TOLERANCE[self.scope]})")
        if self.refs_judged and self.refs is not None and self.refs > REFS_TOLERANCE[self.scope]:
            found.append(f"{self.refs} references (tolerance {REFS_TOLERANCE[self.scope]})")
        return found


class Soak:
    def __init__(self, args):
        self.seed = args.seed
        self.watchdog_seconds = args.watchdog
        self.names = args.faces
        self.stats = {name: Stats(name) for name in self.names}
        self.device = None
        self.watched = []
        self.teardown_deadline = None
        self.together = None  # what the phase with all faces left behind
        # Exceptions nobody else sees: a done-callback that raised, a thread of
        # the soak that died.
        self.unhandled = []
        sys.unraisablehook = lambda u: self.unhandled.append(
            f"unraisable in {u.object!r}: {u.exc_type.__name__}: {u.exc_value}")
        threading.excepthook = lambda a: self.unhandled.append(
            f"thread {a.thread.name if a.thread else '?'} died: "
            + "".join(traceback.format_exception(a.exc_type, a.exc_value, a.exc_traceback)[-3:]).strip())
        if "aio-uvloop" in self.names:
            try:
                import uvloop  # noqa: F401
            except ImportError as exc:
                self.stats["aio-uvloop"].skipped = f"skipped ({exc})"

    def active_names(self):
        return [n for n in self.names if self.stats[n].skipped is None]

    def watchdog(self):
        while True:
            time.sleep(0.5)
            now = time.monotonic()
            for face in list(self.watched):
                idle = now - face.stats.progress
                if idle > self.watchdog_seconds:
                    self.hang(f"{face.name} made no progress for {idle:.0f} s")
            deadline = self.teardown_deadline
            if deadline is not None and now > deadline:
                self.hang("stopping the faces took too long")

    def hang(self, why):
        print(f"\nwatchdog: {why}; the stacks of all threads follow", flush=True)
        faulthandler.dump_traceback(all_threads=True)
        self.report(hang=why)
        sys.stdout.flush()
        os._exit(2)

    def phase(self, names, seconds, label):
        """Runs the faces together for `seconds`, with closes and hang-ups,
        then lets every stream drain and tears everything down."""
        rng = random.Random(self.seed * 1000003 + zlib.crc32(label.encode()))
        self.device = PtyDevice(rng.random())
        self.device.start()
        faces = []
        for name in names:
            self.stats[name].progress = time.monotonic()
            face = FACES[name](self, self.stats[name])
            faces.append(face)
            face.start()
        self.watched = faces
        end = time.monotonic() + seconds
        next_report = time.monotonic() + 15
        while time.monotonic() < end:
            # Alone, a face gets closes and hang-ups more often, so that what
            # they leave behind shows in its growth.
            time.sleep(rng.uniform(0.2, 0.8) if len(faces) > 1 else rng.uniform(0.05, 0.25))
            rng.choice(faces).chaos(rng)
            if label == "together" and time.monotonic() >= next_report:
                next_report += 15
                left = max(0, end - time.monotonic())
                ops = " ".join(f"{f.name}={f.stats.ops}" for f in faces)
                bad = sum(self.stats[n].violations() for n in names)
                print(f"[soak] {seconds - left:.0f}/{seconds:.0f} s  ops: {ops}  violations: {bad}", flush=True)
        for face in faces:
            face.stop_writing()
        # Every stream's receiver catches up with its sender, unless bytes
        # were lost: then nothing more arrives and the tail checks tell.
        deadline = time.monotonic() + HANG_LIMIT
        last, quiet = None, time.monotonic()
        while not all(face.caught_up() for face in faces) and time.monotonic() < deadline:
            for face in faces:
                face.nudge()
            time.sleep(0.02)
            now = sum(self.stats[name].counts["bytes"] for name in names)
            if now != last:
                last, quiet = now, time.monotonic()
            elif time.monotonic() - quiet > QUIET:
                break
        for face in faces:
            face.check_tails()
        self.watched = []
        self.teardown_deadline = time.monotonic() + 4 * HANG_LIMIT
        for face in faces:
            face.stop()
        self.device.stop()
        self.device = None
        self.teardown_deadline = None

    def run(self, seconds):
        names = self.active_names()
        threading.Thread(target=self.watchdog, name="soak-watchdog", daemon=True).start()
        start_engine_threads()
        warm = max(1.0, 0.05 * seconds)
        alone = max(1.5, 0.25 * seconds / max(len(names), 1))
        together = max(1.0, seconds - warm - alone * len(names))
        print(f"[soak] faces: {' '.join(names)}; seed {self.seed}; {warm:.0f} s warm-up, "
              f"{together:.0f} s together, {alone:.1f} s each alone", flush=True)
        self.phase(names, warm, "warm-up")
        before = Sample()
        self.phase(names, together, "together")
        self.together = Growth(before, Sample(), "together", "aio-uvloop" in names)
        for name in names:
            # A short run first, so what the shared phase left to settle and
            # what the face sets up once are not counted.
            self.phase([name], alone / 3, name + " warm-up")
            before = Sample()
            self.phase([name], alone * 2 / 3, name)
            stats = self.stats[name]
            stats.growth = Growth(before, Sample(), "alone", name == "aio-uvloop")
            for leak in stats.growth.leaks():
                stats.count("leak", f"{name} alone: {leak}")
        return self.report(together_leaks=self.together.leaks())

    def report(self, hang=None, together_leaks=()):
        bad = [n for n in self.names if self.stats[n].violations()]
        if self.unhandled:
            print(f"\nunhandled exceptions ({len(self.unhandled)}):")
            for text in self.unhandled[:10]:
                print(f"  {text}")
        for name in bad:
            stats = self.stats[name]
            print(f"\n{name}:")
            for kind in Stats.KINDS:
                for text in stats.notes.get(kind, []):
                    print(f"  {kind:8} {text}")
        for leak in together_leaks:
            print(f"\nall faces together: {leak}")
        print()
        width = max(len(n) for n in self.names)
        for name in self.names:
            stats = self.stats[name]
            if stats.skipped:
                print(f"{name:{width}}  {stats.skipped}")
                continue
            t = stats.totals()
            growth = stats.growth or "growth not measured"
            print(f"{name:{width}}  ops={stats.ops} bytes={t['bytes']} losses={t['loss']} dup={t['dup']} "
                  f"order={t['order']} corrupt={t['corrupt']} errors={t['error']} stalls={t['stall']} {growth}")
        together = self.together or "not measured"
        if hang or bad or together_leaks or self.unhandled:
            why = [f"hang: {hang}"] if hang else []
            why += ["unhandled exceptions"] if self.unhandled else []
            why += [f"{n} ({', '.join(k for k in Stats.KINDS if self.stats[n].totals()[k])})" for n in bad]
            why += ["leaks with all faces together"] if together_leaks else []
            print(f"FAIL  {'; '.join(why)}  [together: {together}]", flush=True)
            return 1
        print(f"OK  no violations, no hang, no leak  [together: {together}]", flush=True)
        return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60, help="length of the whole run (default 60)")
    parser.add_argument("--faces", default=",".join(FACES),
                        help="comma-separated faces to run (default: all)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: from the clock)")
    parser.add_argument("--watchdog", type=float, default=30,
                        help="seconds without progress of a face that count as a hang (default 30)")
    parser.add_argument("--no-rss", action="store_true",
                        help="do not judge RSS growth (under a sanitizer's allocator)")
    args = parser.parse_args(argv)
    global RSS_JUDGED
    RSS_JUDGED = not args.no_rss
    args.faces = [f for f in args.faces.split(",") if f]
    unknown = [f for f in args.faces if f not in FACES]
    if unknown:
        parser.error(f"unknown faces: {', '.join(unknown)} (known: {', '.join(FACES)})")
    if args.seed is None:
        args.seed = int(time.time()) % 100000
    faulthandler.enable()
    # A last resort should the watchdog itself be stuck.
    faulthandler.dump_traceback_later(args.seconds * 2 + 300, exit=True)
    return Soak(args).run(args.seconds)
