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
import faulthandler
import os
import random
import sys
import threading
import time
import traceback
import zlib

from corvalink import aio

from . import report
from .aio_loop import AsyncioFace, UvloopFace
from .blocking import BlockingFace
from .callback import CallbackFace
from .checker import Stats
from .device import PtyDevice
from .limits import HANG_LIMIT, QUIET
from .transport import TransportFace
from .wait import WaitFace

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
        self.verdict(hang=why)
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
        before = report.Sample()
        self.phase(names, together, "together")
        self.together = report.Growth(before, report.Sample(), "together", "aio-uvloop" in names)
        for name in names:
            # A short run first, so what the shared phase left to settle and
            # what the face sets up once are not counted.
            self.phase([name], alone / 3, name + " warm-up")
            before = report.Sample()
            self.phase([name], alone * 2 / 3, name)
            stats = self.stats[name]
            stats.growth = report.Growth(before, report.Sample(), "alone", name == "aio-uvloop")
            for leak in stats.growth.leaks():
                stats.count("leak", f"{name} alone: {leak}")
        return self.verdict(together_leaks=self.together.leaks())

    def verdict(self, hang=None, together_leaks=()):
        return report.final_lines(self.names, self.stats, self.unhandled, self.together, hang, together_leaks)


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
    report.RSS_JUDGED = not args.no_rss
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
