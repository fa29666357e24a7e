"""The running terminal: a reader thread shows what arrives while the main
thread reads the keyboard, runs the menu and hands what is typed to a writer
thread, so that it goes on reading keys while the device takes no data."""

import queue
import re
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager

from corvalink import PortNotOpenError, Serial, SerialException, serial_for_url

from .console import Console, split_key
from .menu import Menu, NotKept, key_name, port_summary
from .options import Options
from .ports import open_port, port_holder, settings_not_kept
from .transform import KeyEncoder, Pipeline


# Colour resets at the end of what was shown do not move the cursor.
_TRAILING_SGR = re.compile(r"(?:\x1b\[[0-9;]*m)+\Z")

# What a device may have changed in the terminal when its data went there as
# it is: attributes and character set, the alternate screen, mouse and focus
# reporting, bracketed paste, cursor-key and keypad modes, a hidden cursor,
# insert mode, autowrap and the scrolling region (reset around a saved
# cursor, as resetting it moves the cursor home). Origin mode is left alone:
# turning it off moves the cursor home, and the saved cursor carries it.
_RESET_ATTRIBUTES = "\x1b[0m"
_RESET_ALL = (
    "\x1b[0m\x0f\x1b(B"
    "\x1b[?1049l"
    "\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1005l\x1b[?1006l\x1b[?1015l\x1b[?1004l\x1b[?2004l"
    "\x1b[?1l\x1b>"
    "\x1b[?25h\x1b[4l\x1b[?7h"
    "\x1b7\x1b[r\x1b8"
)

# How long the key loop waits for a write before it looks at the keyboard.
_WRITE_POLL = 0.05


class Screen:
    """Everything the terminal shows goes through here, from either thread.

    While the menu asks a question, received data is kept back and shown
    once the question is answered, so that it does not run through the
    prompt: the reader waits in `received` with what it has read, so the
    port is not read meanwhile and what the device sends waits in the port's
    buffers (and, once they are full, in the device through its flow
    control).
    """

    def __init__(self, console: Console, options: Options) -> None:
        self._console = console
        self._lock = threading.Lock()
        self._released = threading.Condition(self._lock)
        self._holds = 0
        self._at_line_start = True
        self._on_progress_line = False
        self._passed_as_is = False  # data went to the terminal unfiltered
        self._raw: bool
        self._rx: Pipeline
        self._echo: Pipeline
        self.configure(options)

    def configure(self, options: Options) -> None:
        """Starts showing data as the options now say."""
        rx = Pipeline(options.encoding, options.eol, options.filters)
        echo = Pipeline(options.encoding, options.eol, options.filters, echo=True)
        with self._lock:
            self._raw, self._rx, self._echo = options.raw, rx, echo
            self._passed_as_is |= options.raw or "direct" in options.filters

    def received(self, data: bytes) -> None:
        """Shows received data; waits while data is held."""
        with self._lock:
            while self._holds:
                self._released.wait()
            self._show(data if self._raw else self._rx(data))

    def echoed(self, data: bytes) -> None:
        with self._lock:
            self._show(data if self._raw else self._echo(data))

    def message(self, text: str) -> None:
        """A line of the terminal's own, on a line of its own."""
        with self._lock:
            self._new_line()
            self._put(f"--- {text}\n")

    def progress(self, text: str) -> None:
        """A message line that the next progress call overwrites."""
        with self._lock:
            if not self._on_progress_line:
                self._new_line()
            self._put(f"\r--- {text}\x1b[K")
            self._on_progress_line = True

    def typed(self, text: str) -> None:
        """Text of a prompt or of its answer, shown even while data is held."""
        with self._lock:
            self._put(text)

    def new_line(self) -> None:
        with self._lock:
            self._new_line()

    def restore_terminal(self) -> None:
        """Undoes what received data may have changed in the terminal."""
        with self._lock:
            self._console.write(_RESET_ALL if self._passed_as_is else _RESET_ATTRIBUTES)

    @contextmanager
    def hold(self) -> Iterator[None]:
        """Keeps received data back until the block ends."""
        with self._lock:
            self._holds += 1
        try:
            yield
        finally:
            with self._lock:
                self._holds -= 1
                if not self._holds:
                    self._released.notify_all()

    def _new_line(self) -> None:
        if not self._at_line_start:
            self._put("\n")

    def _show(self, out: str | bytes) -> None:
        if self._on_progress_line and out:
            self._new_line()
        self._put(out)

    def _put(self, out: str | bytes) -> None:
        self._on_progress_line = False
        if isinstance(out, bytes):
            self._console.write_bytes(out)
            if out:
                self._at_line_start = out.endswith(b"\n")
        else:
            self._console.write(out)
            visible = _TRAILING_SGR.sub("", out)
            if visible:
                self._at_line_start = visible.endswith("\n")


class Reader:
    """Shows what the port receives, on a thread of its own."""

    def __init__(self, port: Serial, screen: Screen, on_failure: Callable[[BaseException], None]) -> None:
        self._port = port
        self._screen = screen
        self._on_failure = on_failure
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="terminal reader", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stopping.set()
        try:
            self._port.cancel_read()
        except SerialException:
            pass  # the port is closed already, so nothing waits on it
        self._thread.join()

    def _run(self) -> None:
        port = self._port
        try:
            while not self._stopping.is_set():
                # The port has no timeout: the read waits for a first byte
                # (or for stop()'s cancel_read), then takes what else is there.
                data = port.read(1)
                if data:
                    waiting = port.in_waiting
                    if waiting:
                        data += port.read(waiting)
                    self._screen.received(data)
                elif not port.is_open:
                    raise PortNotOpenError("the port was closed")
        except BaseException as e:
            if not self._stopping.is_set():
                self._on_failure(e)


class _Write:
    """One write handed to the writer thread."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.written = 0
        self.error: BaseException | None = None
        self.stopped = False
        self.done = threading.Event()


class Writer:
    """Writes to the port on a thread of its own, so that the key loop can
    watch the keyboard while the device takes no data (flow control, a busy
    device) and end the write with `stop`."""

    def __init__(self, port: Serial) -> None:
        self._port = port
        self._writes: queue.SimpleQueue[_Write | None] = queue.SimpleQueue()
        self._current: _Write | None = None
        self._thread = threading.Thread(target=self._run, name="terminal writer", daemon=True)
        self._thread.start()

    def submit(self, data: bytes) -> _Write:
        write = _Write(data)
        self._current = write
        self._writes.put(write)
        return write

    def stop(self, write: _Write) -> None:
        """Ends the write early; what it did not send is dropped."""
        write.stopped = True
        if not write.done.is_set():
            try:
                self._port.cancel_write()
            except SerialException:
                pass  # the port is closed, which ends the write too

    def close(self) -> None:
        current = self._current
        if current is not None:
            self.stop(current)
        self._writes.put(None)
        self._thread.join()

    def _run(self) -> None:
        while (write := self._writes.get()) is not None:
            try:
                view = memoryview(write.data)
                # A write ends short when it is cancelled; a cancel that came
                # too late for the write it was meant for ends a later one
                # short, which then goes on.
                while view and not write.stopped:
                    count = self._port.write(view)
                    write.written += count
                    view = view[count:]
            except BaseException as e:
                write.error = e
            finally:
                write.done.set()


class Session:
    """One run of the terminal on an open port, until it quits or the port is lost."""

    def __init__(self, port: Serial, console: Console, options: Options, opened: Sequence[str] = ()) -> None:
        """opened: what opening the port warned about."""
        self.port = port
        self.console = console
        self.options = options
        self.screen = Screen(console, options)
        self.menu = Menu(self)
        self.running = False
        self._opened = list(opened)
        self.not_kept: NotKept = settings_not_kept(opened)
        self._keys = KeyEncoder(options.encoding)
        self._pending = ""
        self._dropped_keys = 0  # by the last stop key
        self._failure: BaseException | None = None
        self._reader: Reader | None = None
        self._writer: Writer | None = None

    def run(self) -> int:
        """Runs until quit (0) or until the port is lost (1, with one line on stderr)."""
        try:
            with self.console:
                try:
                    if not self.options.quiet:
                        self.banner()
                    for message in self._opened:
                        self.screen.message(message)
                    self._start_port()
                    self._loop()
                finally:
                    self._stop_port()
                    # Before the last line, which would otherwise go to a
                    # screen the device switched to.
                    self.screen.restore_terminal()
                    if not self.options.quiet and self._failure is None:
                        self.screen.message("exit")
                    self.screen.new_line()
        finally:
            self.port.close()
        failure = self._failure
        if failure is None:
            return 0
        if isinstance(failure, SerialException):
            print(f"--- lost the port {self.port.port}: {failure}", file=sys.stderr)
            return 1
        raise failure

    def banner(self) -> None:
        exit_key, menu_key = key_name(self.options.exit_char), key_name(self.options.menu_char)
        self.screen.message(f"Terminal on {self.port.port}: {port_summary(self.port, self.not_kept)}")
        self.screen.message(f"Quit: {exit_key} | Menu: {menu_key} | Help: {menu_key} then h")

    def stop(self) -> None:
        """Ends the session once the key being handled is done with."""
        self.running = False

    def lost(self, error: BaseException) -> None:
        """Ends the session because the port failed (from either thread)."""
        if self._failure is None:
            self._failure = error
        self.running = False
        self.console.cancel()

    def _loop(self) -> None:
        self.running = True
        while self.running:
            keys = self.next_keys()
            if keys is None:
                break
            self._handle(keys)

    def _handle(self, keys: str) -> None:
        special = (self.options.exit_char, self.options.menu_char)
        for i, key in enumerate(keys):
            if key in special:
                self.send_keys(keys[:i])
                if not self.running:
                    return
                self._pending = keys[i + 1 :] + self._pending
                if key == self.options.exit_char:
                    self.stop()
                else:
                    self.menu.run()
                return
        self.send_keys(keys)

    def next_keys(self) -> str | None:
        """Typed keys not yet handled; None when the session is to end."""
        if self._pending:
            pending, self._pending = self._pending, ""
            return pending
        keys = self.console.read()
        return None if keys is None or self._failure is not None else keys

    def next_key(self) -> str | None:
        """The next whole key: a key that comes as an escape sequence is one."""
        keys = self.next_keys()
        if keys is None:
            return None
        key, rest = split_key(keys)
        self._pending = rest + self._pending
        return key

    def drop_pending(self) -> None:
        self._pending = ""

    def send_keys(self, keys: str) -> None:
        if not keys:
            return
        if self.options.raw:
            data = self.console.key_bytes(keys)
        else:
            data = self._keys(keys, self.options.eol)
        self.send(data)

    def send(self, data: bytes) -> None:
        """Sends data as it is, echoing what went out when local echo is on."""
        written, stopped = self.write(data)
        if self.options.echo and written:
            self.screen.echoed(data[:written])
        if stopped and self.running:
            unsent, dropped = len(data) - written, self._dropped_keys
            self.screen.message(f"stopped sending: {unsent} bytes not sent, {dropped} typed keys dropped")

    def write(self, data: bytes) -> tuple[int, bool]:
        """Sends data as it is; returns how much went out, and whether a stop
        key or the quit key ended the write.

        While the device takes no data the keyboard is still read: the quit
        key ends the session, Esc and Ctrl-C stop the write (and drop the
        keys typed after it, a paste's rest); neither is sent. Other keys
        wait until the write is done.
        """
        writer = self._writer
        if not data or writer is None:
            return 0, False
        write = writer.submit(data)
        while not write.done.wait(_WRITE_POLL):
            keys = self.console.read(timeout=_WRITE_POLL)
            if keys is None or self._failure is not None:
                self.running = False
                writer.stop(write)
                break
            while keys:
                key, keys = split_key(keys)
                if key == self.options.exit_char:
                    self.stop()
                elif key not in ("\x1b", "\x03"):
                    self._pending += key
                    continue
                writer.stop(write)
                self._dropped_keys = len(self._pending)
                self.drop_pending()
                break
            if write.stopped:
                break
        write.done.wait()
        if write.error is not None:
            if isinstance(write.error, SerialException):
                self.lost(write.error)
            else:
                raise write.error
        return write.written, write.stopped

    def reconfigure(self) -> None:
        """Shows data from now on as the options say, and encodes keys so."""
        self.screen.configure(self.options)
        if self._keys.encoding != self.options.encoding:
            self._keys = KeyEncoder(self.options.encoding)

    def switch_port(self, url: str) -> None:
        """Opens url with the current settings and moves to it; the old port
        stays in use when that fails."""
        try:
            new = serial_for_url(url, do_not_open=True)
            new.apply_settings(self.port.get_settings())
            new.rts, new.dtr = self.port.rts, self.port.dtr
            new.exclusive = self.options.exclusive
            opened = open_port(new)
        except (ValueError, SerialException) as e:
            self.screen.message(f"cannot open {url}: {describe_open_error(url, e)}")
            return
        self._stop_port()
        self.port.close()
        self.port = new
        self.not_kept = settings_not_kept(opened)
        self._start_port()
        for message in opened:
            self.screen.message(message)
        self.screen.message(f"now on {new.port}: {port_summary(new, self.not_kept)}")

    def _start_port(self) -> None:
        self._writer = Writer(self.port)
        self._reader = Reader(self.port, self.screen, self.lost)
        self._reader.start()

    def _stop_port(self) -> None:
        reader, self._reader = self._reader, None
        if reader is not None:
            reader.stop()
        writer, self._writer = self._writer, None
        if writer is not None:
            writer.close()


def describe_open_error(url: str, error: Exception) -> str:
    """Why a port did not open, naming the program that holds it if one does."""
    holder = port_holder(url) if isinstance(error, SerialException) else None
    return f"{error}; held by {holder}" if holder else str(error)
