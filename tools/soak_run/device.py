"""The device side of the pseudo-terminals: one thread of the soak on the
master sides."""

import os
import random
import select
import threading

from .limits import HANG_LIMIT


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
