"""The streams: frames made by the writers, checked exactly by the
receivers, and the counters of each face."""

import collections
import struct
import threading
import time
import zlib

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
