"""The keyboard and the screen, one class per platform.

A console is entered (``with console:``) for the time the terminal runs: it
switches the keyboard to raw input (every key, Ctrl-C included, arrives as a
character) and restores what it found on the way out, whatever the way out is.
"""

import codecs
import os
import sys
import threading
import time
from abc import ABC, abstractmethod
from types import TracebackType
from typing import Any, Self


class Console(ABC):
    """Keys in, text and bytes out."""

    def __enter__(self) -> Self:
        self.setup()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.restore()

    def close(self) -> None:
        """Releases what the console holds."""

    @abstractmethod
    def setup(self) -> None:
        """Switches the keyboard to raw input."""

    @abstractmethod
    def restore(self) -> None:
        """Puts back the modes that `setup` found."""

    @abstractmethod
    def read(self, timeout: float | None = None) -> str | None:
        """Waits for typed keys and returns them (one or more characters).

        Returns "" when timeout seconds pass without a key, None when
        `cancel` was called, or when the keyboard is gone.
        """

    @abstractmethod
    def cancel(self) -> None:
        """Wakes `read`; may be called from any thread."""

    @abstractmethod
    def key_bytes(self, keys: str) -> bytes:
        """The bytes the keyboard sent for `keys`, for sending them untranslated."""

    @abstractmethod
    def write(self, text: str) -> None:
        """Shows text; "\\n" starts a new line."""

    @abstractmethod
    def write_bytes(self, data: bytes) -> None:
        """Passes bytes to the terminal as they are."""


if sys.platform == "win32":
    import ctypes
    import msvcrt

    _ENABLE_PROCESSED_INPUT = 0x0001
    _ENABLE_LINE_INPUT = 0x0002
    _ENABLE_ECHO_INPUT = 0x0004
    _ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004
    _CP_UTF8 = 65001

    # Keys that arrive as a prefix and a scan code, as the escape sequences a
    # terminal sends for them.
    _SPECIAL_KEYS = {
        "H": "\x1b[A",  # up
        "P": "\x1b[B",  # down
        "M": "\x1b[C",  # right
        "K": "\x1b[D",  # left
        "G": "\x1b[H",  # home
        "O": "\x1b[F",  # end
        "R": "\x1b[2~",  # insert
        "S": "\x1b[3~",  # delete
        "I": "\x1b[5~",  # page up
        "Q": "\x1b[6~",  # page down
    }

    class WindowsConsole(Console):
        """The Windows console through msvcrt and the console API."""

        def __init__(self) -> None:
            self._kernel32 = ctypes.windll.kernel32
            self._in_handle = self._kernel32.GetStdHandle(-10)
            self._out_handle = self._kernel32.GetStdHandle(-11)
            self._saved: tuple[int, int, int] | None = None
            self._cancelled = threading.Event()

        def _mode(self, handle: int) -> int:
            mode = ctypes.c_ulong()
            self._kernel32.GetConsoleMode(handle, ctypes.byref(mode))
            return mode.value

        def setup(self) -> None:
            in_mode, out_mode = self._mode(self._in_handle), self._mode(self._out_handle)
            self._saved = (in_mode, out_mode, self._kernel32.GetConsoleOutputCP())
            # Ctrl-C is a key to send, not a signal; escape sequences are shown.
            raw = in_mode & ~(_ENABLE_PROCESSED_INPUT | _ENABLE_LINE_INPUT | _ENABLE_ECHO_INPUT)
            self._kernel32.SetConsoleMode(self._in_handle, raw)
            self._kernel32.SetConsoleMode(self._out_handle, out_mode | _ENABLE_VIRTUAL_TERMINAL_PROCESSING)
            self._kernel32.SetConsoleOutputCP(_CP_UTF8)

        def restore(self) -> None:
            saved, self._saved = self._saved, None
            if saved is not None:
                self._kernel32.SetConsoleMode(self._in_handle, saved[0])
                self._kernel32.SetConsoleMode(self._out_handle, saved[1])
                self._kernel32.SetConsoleOutputCP(saved[2])

        def read(self, timeout: float | None = None) -> str | None:
            deadline = None if timeout is None else time.monotonic() + timeout
            while not self._cancelled.is_set():
                if msvcrt.kbhit():
                    keys: list[str] = []
                    while msvcrt.kbhit():
                        key = msvcrt.getwch()
                        if key in ("\x00", "\xe0"):
                            keys.append(_SPECIAL_KEYS.get(msvcrt.getwch(), ""))
                        else:
                            keys.append(key)
                    return "".join(keys)
                if deadline is not None and time.monotonic() >= deadline:
                    return ""
                self._cancelled.wait(0.02)
            self._cancelled.clear()
            return None

        def cancel(self) -> None:
            self._cancelled.set()

        def key_bytes(self, keys: str) -> bytes:
            return keys.encode("utf-8", "replace")

        def write(self, text: str) -> None:
            self.write_bytes(text.replace("\n", "\r\n").encode("utf-8", "replace"))

        def write_bytes(self, data: bytes) -> None:
            sys.stdout.flush()
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()

else:
    import select
    import termios
    import tty

    class PosixConsole(Console):
        """A terminal on standard input and output, put in raw mode with termios."""

        def __init__(self) -> None:
            self._in = sys.stdin.fileno()
            self._out = sys.stdout.fileno()
            self._in_encoding = sys.stdin.encoding or "utf-8"
            self._out_encoding = sys.stdout.encoding or "utf-8"
            # Keys are decoded as the terminal encodes them; undecodable bytes
            # survive as surrogates so that key_bytes can give them back.
            self._decoder = codecs.getincrementaldecoder(self._in_encoding)("surrogateescape")
            self._saved: list[Any] | None = None
            self._wake_read, self._wake_write = os.pipe()
            os.set_blocking(self._wake_write, False)

        def setup(self) -> None:
            if os.isatty(self._in):
                self._saved = termios.tcgetattr(self._in)
                tty.setraw(self._in, termios.TCSADRAIN)

        def restore(self) -> None:
            saved, self._saved = self._saved, None
            if saved is not None:
                termios.tcsetattr(self._in, termios.TCSADRAIN, saved)

        def close(self) -> None:
            os.close(self._wake_read)
            os.close(self._wake_write)

        def read(self, timeout: float | None = None) -> str | None:
            deadline = None if timeout is None else time.monotonic() + timeout
            while True:
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                ready, _, _ = select.select([self._in, self._wake_read], [], [], left)
                if not ready:
                    return ""
                if self._wake_read in ready:
                    os.read(self._wake_read, 64)
                    return None
                data = os.read(self._in, 1024)
                if not data:
                    return None
                text = self._decoder.decode(data)
                if text:
                    return text

        def cancel(self) -> None:
            try:
                os.write(self._wake_write, b"!")
            except BlockingIOError:
                pass  # a wake-up is already pending

        def key_bytes(self, keys: str) -> bytes:
            return keys.encode(self._in_encoding, "surrogateescape")

        def write(self, text: str) -> None:
            # Raw mode also turns off the output translation of "\n".
            if self._saved is not None:
                text = text.replace("\n", "\r\n")
            self._write_all(text.encode(self._out_encoding, "replace"))

        def write_bytes(self, data: bytes) -> None:
            self._write_all(data)

        def _write_all(self, data: bytes) -> None:
            view = memoryview(data)
            while view:
                view = view[os.write(self._out, view) :]


def split_key(keys: str) -> tuple[str, str]:
    """The first whole key of typed text, and the rest.

    A function or cursor key comes as one escape sequence (ESC [ ... final,
    or ESC O and a letter); Alt and a key as ESC and that key. Every other key
    is one character.
    """
    if not keys.startswith("\x1b") or len(keys) == 1:
        return keys[:1], keys[1:]
    if keys[1] == "O" and len(keys) > 2:
        return keys[:3], keys[3:]
    if keys[1] != "[":
        return keys[:2], keys[2:]
    for i in range(2, len(keys)):
        code = ord(keys[i])
        if 0x40 <= code <= 0x7E:
            return keys[: i + 1], keys[i + 1 :]
        if not 0x20 <= code <= 0x3F:
            return keys[:i], keys[i:]
    return keys, ""


def open_console() -> Console:
    """The console of this platform, on the standard streams."""
    if sys.platform == "win32":
        return WindowsConsole()
    else:
        return PosixConsole()
