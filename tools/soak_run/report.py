"""What the run left behind and the final lines: process resources sampled
before and after a phase, their growth against the tolerances, and the
verdict."""

import gc
import os
import sys
import threading
import time

from .checker import Stats

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


def final_lines(names, face_stats, unhandled, together, hang=None, together_leaks=()):
    """Up to five messages per kind of violation and face, one line per face
    and the verdict; returns the exit status."""
    bad = [n for n in names if face_stats[n].violations()]
    if unhandled:
        print(f"\nunhandled exceptions ({len(unhandled)}):")
        for text in unhandled[:10]:
            print(f"  {text}")
    for name in bad:
        stats = face_stats[name]
        print(f"\n{name}:")
        for kind in Stats.KINDS:
            for text in stats.notes.get(kind, []):
                print(f"  {kind:8} {text}")
    for leak in together_leaks:
        print(f"\nall faces together: {leak}")
    print()
    width = max(len(n) for n in names)
    for name in names:
        stats = face_stats[name]
        if stats.skipped:
            print(f"{name:{width}}  {stats.skipped}")
            continue
        t = stats.totals()
        growth = stats.growth or "growth not measured"
        print(f"{name:{width}}  ops={stats.ops} bytes={t['bytes']} losses={t['loss']} dup={t['dup']} "
              f"order={t['order']} corrupt={t['corrupt']} errors={t['error']} stalls={t['stall']} {growth}")
    together = together or "not measured"
    if hang or bad or together_leaks or unhandled:
        why = [f"hang: {hang}"] if hang else []
        why += ["unhandled exceptions"] if unhandled else []
        why += [f"{n} ({', '.join(k for k in Stats.KINDS if face_stats[n].totals()[k])})" for n in bad]
        why += ["leaks with all faces together"] if together_leaks else []
        print(f"FAIL  {'; '.join(why)}  [together: {together}]", flush=True)
        return 1
    print(f"OK  no violations, no hang, no leak  [together: {together}]", flush=True)
    return 0
