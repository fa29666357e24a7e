"""The menu behind the menu key: one key picks a command, and a few commands
ask for a value on the line below."""

import os
from collections.abc import Callable, Mapping
from contextlib import AbstractContextManager
from typing import Protocol

from corvalink import Serial, SerialBase, SerialException

from .options import Options
from .ports import available_ports, pick_port, port_lines
from .transform import EOLS, FILTERS, check_encoding, check_filters

_PARITIES = {"N": "none", "E": "even", "O": "odd", "M": "mark", "S": "space"}
_STOPBITS = {"1": 1.0, "2": 2.0, "3": 1.5}
_FLOW = {"x": ("xonxoff", "XON/XOFF"), "r": ("rtscts", "RTS/CTS"), "d": ("dsrdtr", "DSR/DTR")}
_UPLOAD_CHUNK = 1024


def key_name(key: str) -> str:
    """Ctrl-] for "\\x1d", the key itself for a printable one; a key that
    comes as a sequence is named character by character."""
    if len(key) > 1:
        return " ".join(key_name(char) for char in key)
    code = ord(key)
    if code == 0x1B:
        return "Esc"
    if code < 0x20:
        return f"Ctrl-{chr(code + 0x40)}"
    if code == 0x7F:
        return "Ctrl-?"
    return key


NotKept = Mapping[str, tuple[object, object]]


def in_force(port: SerialBase, not_kept: NotKept, name: str) -> object:
    """A setting as the device holds it: the port reports what was asked
    for, and opening it said which settings the device did not keep."""
    value = getattr(port, name)
    asked, held = not_kept.get(name, (None, None))
    return held if asked is not None and asked == value else value


def port_summary(port: SerialBase, not_kept: NotKept = {}) -> str:
    """The line settings in the usual short form, 9600,8,N,1."""
    baudrate, bytesize, parity, stopbits = (
        in_force(port, not_kept, name) for name in ("baudrate", "bytesize", "parity", "stopbits")
    )
    return f"{baudrate},{bytesize},{parity},{stopbits:g}"


class MenuScreen(Protocol):
    """Where the menu shows its messages, prompts and answers."""

    def message(self, text: str) -> None: ...
    def typed(self, text: str) -> None: ...
    def new_line(self) -> None: ...
    def progress(self, text: str) -> None: ...
    def hold(self) -> AbstractContextManager[None]:
        """Keeps received data back (and the port unread) while a question is open."""
        ...


class MenuHost(Protocol):
    """What the menu works on: the running terminal, as far as its commands
    reach into it."""

    @property
    def options(self) -> Options:
        """Changed in place by the commands; reconfigure() makes the screen follow them."""
        ...

    @property
    def screen(self) -> MenuScreen: ...

    @property
    def port(self) -> Serial:
        """The port in use now, which switch_port() replaces."""
        ...

    @property
    def not_kept(self) -> NotKept:
        """The settings the device did not keep when the port was opened."""
        ...

    def next_key(self) -> str | None:
        """The next typed key; None when the terminal is to end."""
        ...

    def drop_pending(self) -> None:
        """Forgets keys typed but not yet read."""
        ...

    def send_keys(self, keys: str) -> None: ...

    def write(self, data: bytes) -> tuple[int, bool]:
        """Sends data as it is; returns how much went out, and whether a
        stop key or the quit key ended the write."""
        ...

    def stop(self) -> None:
        """Ends the terminal once the menu returns."""
        ...

    def lost(self, error: BaseException) -> None:
        """Ends the terminal because the port failed."""
        ...

    def reconfigure(self) -> None: ...
    def switch_port(self, url: str) -> None: ...


def _on_off(value: bool) -> str:
    return "on" if value else "off"


def _active(value: bool) -> str:
    return "active" if value else "inactive"


class Menu:
    def __init__(self, host: MenuHost) -> None:
        self._host = host
        options = host.options
        menu_key, exit_key = key_name(options.menu_char), key_name(options.exit_char)
        # (keys, what the help says, what they do); a command for several
        # keys is given the key that was pressed.
        self._commands: list[tuple[str, str, Callable[[str], None]]] = [
            (options.menu_char, f"send {menu_key} itself", self._send_key),
            (options.exit_char, f"send {exit_key} itself", self._send_key),
            ("h?", "this help", lambda _: self.help()),
            ("q", f"quit (as {exit_key} does)", lambda _: self._quit()),
            ("e", "local echo on/off", lambda _: self._toggle_echo()),
            ("b", "baud rate", lambda _: self._baudrate()),
            ("5678", "byte size", self._bytesize),
            ("NEOMS", "parity: none, even, odd, mark, space", self._parity),
            ("123", "stop bits: 1, 2, 1.5 (3)", self._stopbits),
            ("f", "flow control: XON/XOFF, RTS/CTS, DSR/DTR", lambda _: self._flow_control()),
            ("r", "RTS on/off", lambda _: self._toggle_line("rts", "RTS")),
            ("d", "DTR on/off", lambda _: self._toggle_line("dtr", "DTR")),
            ("m", "show the modem lines CTS, DSR, RI, CD", lambda _: self._modem_lines()),
            ("k", "send a break", lambda _: self._send_break()),
            ("l", "line end that Enter sends and that starts a new line: CR, LF, CRLF", lambda _: self._eol()),
            ("c", "encoding", lambda _: self._encoding()),
            ("t", f"filters: {', '.join(FILTERS)}", lambda _: self._filters()),
            ("u", "upload a file (sent raw)", lambda _: self._upload()),
            ("p", "switch to another port", lambda _: self._switch_port()),
            ("i", "show the port's settings", lambda _: self.show_settings()),
        ]
        self._actions = {key: action for keys, _, action in self._commands for key in keys}

    def run(self) -> None:
        """Reads the key after the menu key and carries out its command."""
        host = self._host
        key = host.next_key()
        if key is None:
            return
        action = self._actions.get(key)
        if action is None:
            menu_key = key_name(host.options.menu_char)
            host.screen.message(f"unknown menu key {key_name(key)} ({menu_key} then h lists them)")
            return
        try:
            action(key)
        except SerialException as e:
            if host.port.is_open:
                host.screen.message(f"failed: {e}")
            else:
                host.lost(e)

    def help(self) -> None:
        say = self._host.screen.message
        say(f"{key_name(self._host.options.menu_char)}, then:")
        for keys, text, _ in self._commands:
            label = " ".join(key_name(key) for key in keys)
            say(f"  {label:<10} {text}")

    # Questions on the line below the data.

    def ask(self, question: str) -> str | None:
        """A line typed by the user (Enter ends it; Esc cancels), or None.
        Received data waits until the question is answered."""
        with self._host.screen.hold():
            return self._ask(question)

    def _ask(self, question: str) -> str | None:
        host = self._host
        screen = host.screen
        options = host.options
        screen.new_line()
        screen.typed(f"--- {question}: ")
        answer = ""
        while True:
            key = host.next_key()
            if key is None:
                return None
            if key in "\r\n":
                screen.typed("\n")
                return answer
            if key in ("\x7f", "\b"):
                if answer:
                    answer = answer[:-1]
                    screen.typed("\b \b")
            elif key in ("\x1b", "\x03", options.exit_char, options.menu_char):
                host.drop_pending()
                screen.typed(" (cancelled)\n")
                return None
            elif len(key) == 1 and key.isprintable():
                answer += key
                screen.typed(key)

    def ask_key(self, question: str) -> str | None:
        host = self._host
        with host.screen.hold():
            host.screen.new_line()
            host.screen.typed(f"--- {question} ")
            key = host.next_key()
            host.screen.typed(f"{key_name(key) if key else ''}\n")
        return key

    # The commands.

    def _send_key(self, key: str) -> None:
        self._host.send_keys(key)

    def _quit(self) -> None:
        self._host.stop()

    def _toggle_echo(self) -> None:
        options = self._host.options
        options.echo = not options.echo
        self._host.screen.message(f"local echo {_on_off(options.echo)}")

    def _set(self, name: str, value: object, shown: str) -> None:
        """Applies one port setting and confirms it, or says why it was refused."""
        port = self._host.port
        try:
            setattr(port, name, value)
        except (ValueError, SerialException) as e:
            if isinstance(e, SerialException) and not port.is_open:
                raise
            # The port keeps its previous setting.
            self._host.screen.message(f"{shown} refused: {e}")
        else:
            self._host.screen.message(shown)

    def _baudrate(self) -> None:
        answer = self.ask(f"baud rate (now {self._host.port.baudrate})")
        if not answer:
            return
        try:
            value = int(answer)
        except ValueError:
            self._host.screen.message(f"not a baud rate: {answer}")
            return
        self._set("baudrate", value, f"baud rate {value}")

    def _bytesize(self, key: str) -> None:
        self._set("bytesize", int(key), f"byte size {key}")

    def _parity(self, key: str) -> None:
        self._set("parity", key, f"parity {_PARITIES[key]}")

    def _stopbits(self, key: str) -> None:
        value = _STOPBITS[key]
        self._set("stopbits", value, f"stop bits {value:g}")

    def _flow_control(self) -> None:
        port = self._host.port
        states = ", ".join(f"{key} {name} {_on_off(getattr(port, attr))}" for key, (attr, name) in _FLOW.items())
        key = self.ask_key(f"flow control to switch ({states}):")
        if key not in _FLOW:
            return
        attr, name = _FLOW[key]
        value = not getattr(port, attr)
        self._set(attr, value, f"{name} flow control {_on_off(value)}")

    def _toggle_line(self, attr: str, name: str) -> None:
        port = self._host.port
        value = not getattr(port, attr)
        try:
            setattr(port, attr, value)
        except SerialException as e:
            if not port.is_open:
                raise
            # The port keeps the new state (and applies it when it can); this
            # device has no such line, or refused it.
            self._host.screen.message(f"{name} {_active(value)}, not applied: {e}")
        else:
            self._host.screen.message(f"{name} {_active(value)}")

    def modem_lines(self) -> str:
        port = self._host.port
        try:
            states = [(name, getattr(port, name.lower())) for name in ("CTS", "DSR", "RI", "CD")]
        except SerialException as e:
            if not port.is_open:
                raise
            return f"modem lines cannot be read: {e}"
        return "  ".join(f"{name} {_active(value)}" for name, value in states)

    def _modem_lines(self) -> None:
        self._host.screen.message(self.modem_lines())

    def _send_break(self) -> None:
        self._host.port.send_break(0.25)
        self._host.screen.message("break sent (0.25 s)")

    def _eol(self) -> None:
        host = self._host
        names = list(EOLS)
        host.options.eol = names[(names.index(host.options.eol) + 1) % len(names)]
        host.reconfigure()
        host.screen.message(f"line end {host.options.eol}")

    def _encoding(self) -> None:
        host = self._host
        answer = self.ask(f"encoding (now {host.options.encoding})")
        if not answer:
            return
        try:
            host.options.encoding = check_encoding(answer.strip())
        except ValueError as e:
            host.screen.message(str(e))
            return
        host.reconfigure()
        host.screen.message(f"encoding {host.options.encoding}")

    def _filters(self) -> None:
        host = self._host
        answer = self.ask(f"filters, in order (now {' '.join(host.options.filters)})")
        if not answer:
            return
        try:
            host.options.filters = check_filters(answer.replace(",", " ").split())
        except ValueError as e:
            host.screen.message(str(e))
            return
        host.reconfigure()
        host.screen.message(f"filters {' '.join(host.options.filters)}")

    def _upload(self) -> None:
        host = self._host
        path = self.ask("file to upload")
        if not path:
            return
        path = os.path.expanduser(path.strip())
        try:
            file = open(path, "rb")
        except OSError as e:
            host.screen.message(f"cannot upload: {e}")
            return
        sent = 0
        with file:
            total = os.fstat(file.fileno()).st_size
            while chunk := file.read(_UPLOAD_CHUNK):
                written, stopped = host.write(chunk)
                sent += written
                if stopped:
                    host.screen.message(f"upload stopped: {sent} of {total} bytes sent from {path}")
                    return
                host.screen.progress(f"uploading {path}: {sent} of {total} bytes")
        host.screen.message(f"uploaded {sent} bytes from {path}")

    def _switch_port(self) -> None:
        host = self._host
        ports = available_ports()
        for line in port_lines(ports):
            host.screen.message(line)
        answer = self.ask("port (number, name or URL)")
        if not answer:
            return
        try:
            url = pick_port(ports, answer)
        except ValueError as e:
            host.screen.message(str(e))
            return
        host.switch_port(url)

    def show_settings(self) -> None:
        host = self._host
        port, options = host.port, host.options
        say = host.screen.message
        say(f"{port.port}: {port_summary(port, host.not_kept)}")
        flow = {name: _on_off(bool(in_force(port, host.not_kept, name))) for name in ("xonxoff", "rtscts", "dsrdtr")}
        say(f"flow control: XON/XOFF {flow['xonxoff']}, RTS/CTS {flow['rtscts']}, DSR/DTR {flow['dsrdtr']}")
        say(f"RTS {_active(port.rts)}  DTR {_active(port.dtr)}  break {_active(port.break_condition)}")
        say(self.modem_lines())
        translation = "none (raw)" if options.raw else f"{options.encoding}, line end {options.eol}"
        say(f"translation: {translation}, filters {' '.join(options.filters)}, local echo {_on_off(options.echo)}")
