"""The transport face: SerialTransport connections with a flow-controlled
protocol."""

import asyncio
import os
import random
import signal
import threading
import time
import tty

import corvalink
from corvalink import aio

from .checker import Outgoing, check_tail
from .face import Face
from .limits import HANG_LIMIT, QUIET


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
        if end and self.writing and rng.random() < 0.1:
            await self.fork_and_close(transport, what)
        endings = ("close", "abort") + (("hang-up", "port closed here", "port closed elsewhere") if end else ())
        ending = "close" if not self.writing else rng.choice(endings)
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
        elif ending.startswith("port closed"):
            # Closed under the transport, from the loop's thread or from
            # another while the loop is busy; descriptors opened at once
            # must get their readiness. A write the protocol makes meanwhile
            # fails, as at a hang-up.
            self.hanging_up = True
            if ending == "port closed here":
                transport.serial.close()
            else:
                closer = threading.Thread(target=transport.serial.close)
                closer.start()
                closer.join(HANG_LIMIT)
            await self.reopen_at_once(what, ending)
        else:
            await loop.run_in_executor(None, device.hang_up, end)
        try:
            exc = await asyncio.wait_for(asyncio.shield(proto.lost), HANG_LIMIT)
        except TimeoutError:
            stats.count("stall", f"{what}: no connection_lost() {HANG_LIMIT:.0f} s after {ending}")
            transport.abort()
        else:
            self.check_lost(what, ending, exc, transport)
        stats.op()
        rx.retire()
        if end:
            if ending == "close":
                await self.catch_up(end.from_port, tx)
                check_tail(stats, tx, end.from_port, f"{what} (to the device)")
            if ending != "hang-up":
                await loop.run_in_executor(None, device.hang_up, end)
            end.from_port.retire()

    async def reopen_at_once(self, what, ending):
        """A new connection and a pipe opened right after a close: the loop
        must report the readiness of both."""
        loop = asyncio.get_running_loop()
        master, slave = os.openpty()
        tty.setraw(master)
        tty.setraw(slave)
        r, w = os.pipe()
        got = loop.create_future()
        loop.add_reader(r, lambda: got.done() or got.set_result(os.read(r, 16)))
        probe = loop.create_future()

        class Probe(asyncio.Protocol):
            def data_received(self, data):
                if not probe.done():
                    probe.set_result(data)

        transport = None
        try:
            transport, _ = await aio.create_serial_connection(loop, Probe, os.ttyname(slave))
            await asyncio.sleep(0)
            os.write(master, b"p")
            os.write(w, b"q")
            await asyncio.wait_for(asyncio.gather(probe, got), HANG_LIMIT)
        except TimeoutError:
            self.stats.count("stall", f"{what}: a descriptor opened right after '{ending}' got no readiness")
        finally:
            loop.remove_reader(r)
            if transport:
                transport.abort()
            for fd in (r, w, master, slave):
                os.close(fd)

    async def fork_and_close(self, transport, what):
        """A child that closes its copy of the port and exits: the parent's
        connection must not notice (its streams are checked as ever)."""
        pid = os.fork()
        if pid == 0:
            signal.alarm(int(HANG_LIMIT))  # a child stuck in close() dies and is reported
            try:
                transport.serial.close()
            finally:
                os._exit(0)
        deadline = time.monotonic() + 2 * HANG_LIMIT
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                if status != 0:
                    self.stats.count("stall", f"{what}: a forked child closing its copy of the port "
                                     f"did not exit cleanly (status {status})")
                return
            await asyncio.sleep(0.01)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        self.stats.count("stall", f"{what}: a forked child closing its copy of the port did not exit")

    def check_lost(self, what, ending, exc, transport):
        if ending.startswith("port closed"):
            if not isinstance(exc, corvalink.PortNotOpenError):
                self.stats.count("error", f"{what}: connection_lost({exc!r}) after '{ending}', "
                                 "expected PortNotOpenError")
        elif ending == "hang-up":
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
        """Nothing reaches the loop's exception handler: a hang-up, whichever
        side of the transport meets it, goes to connection_lost only."""
        exc = context.get("exception")
        self.stats.count("error", f"transport: loop exception handler: {context.get('message')} {exc!r}")

    def stop(self):
        self.running = False
        self.writing = False
        for t in self.threads:
            t.join(3 * HANG_LIMIT)
            if t.is_alive():
                self.stats.count("stall", f"{self.name}: the loop thread did not stop")
