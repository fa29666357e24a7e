"""What the terminal does to data between the port and the screen.

Received bytes go through a `Pipeline`: they are decoded (incrementally, so a
character split across reads comes out whole), the configured line end is
turned into a new line, and the filters run in the order they were given.
Local echo shows the bytes that were sent through a second pipeline of the
same kind, so it shows exactly what went out. The ``hex`` filter takes the
place of decoding and line ends: it shows the bytes themselves.
"""

import codecs
import random
import re
from collections.abc import Callable, Sequence
from typing import ClassVar

EOLS: dict[str, str] = {"CR": "\r", "LF": "\n", "CRLF": "\r\n"}

_C0 = range(0x20)
_C1 = range(0x80, 0xA0)
_DEL = 0x7F


def control_picture(code: int) -> str:
    """How a control character looks when it is shown rather than obeyed."""
    if code < 0x20:
        return chr(0x2400 + code)  # the Control Pictures block: NUL is shown as U+2400
    if code == _DEL:
        return "\u2421"
    return f"\\x{code:02x}"


def _pictures(keep: str) -> dict[int, str]:
    return {code: control_picture(code) for code in (*_C0, _DEL, *_C1) if chr(code) not in keep}


class Filter:
    """A change made to text on its way to the screen."""

    name: ClassVar[str]

    def received(self, text: str) -> str:
        return text

    def echoed(self, text: str) -> str:
        return self.received(text)


class Direct(Filter):
    """Everything goes to the terminal as it is, control characters included."""

    name = "direct"


class Default(Filter):
    """Text, line ends, tabs, backspace and colours (SGR sequences) pass; every
    other control character and escape sequence is shown as symbols, so a
    device cannot switch screens, turn on mouse reporting, set the title or
    the clipboard, or make the terminal answer as if it were typed.

    An SGR sequence can only be told from the others at its last character,
    so a CSI sequence is kept back until it ends, across reads; one longer
    than any colour change is shown as it is and the rest of it follows as
    text. Strings (OSC, DCS and the like) need no state: their ESC is shown
    as a symbol and their content as text.
    """

    name = "default"
    _table = _pictures("\t\n\r\b")
    _LONGEST_SGR = 64

    def __init__(self) -> None:
        self._held = ""  # an ESC, or the start of a CSI sequence, from an earlier read

    def received(self, text: str) -> str:
        text, self._held = self._held + text, ""
        out: list[str] = []
        start = 0
        while (esc := text.find("\x1b", start)) >= 0:
            out.append(text[start:esc].translate(self._table))
            end = self._sequence_end(text, esc)
            if end is None:  # the sequence goes on in the next read
                self._held = text[esc:]
                return "".join(out)
            sequence = text[esc:end]
            out.append(sequence if _SGR.fullmatch(sequence) else sequence.translate(self._table))
            start = end
        out.append(text[start:].translate(self._table))
        return "".join(out)

    def _sequence_end(self, text: str, esc: int) -> int | None:
        """Where the sequence at text[esc] ends (the index after it), for the
        part that is kept whole; None when that part has not all arrived."""
        if esc + 1 == len(text):
            return None
        if text[esc + 1] != "[":
            return esc + 1  # only the ESC is changed; what follows is text
        limit = min(len(text), esc + self._LONGEST_SGR)
        for i in range(esc + 2, limit):
            code = ord(text[i])
            if 0x40 <= code <= 0x7E:
                return i + 1  # the final character
            if not 0x20 <= code <= 0x3F:
                return i  # not a CSI character: the sequence ends before it
        return limit if limit - esc >= self._LONGEST_SGR else None


# Colours and text attributes; nothing else in the CSI family passes `default`.
_SGR = re.compile(r"\x1b\[[0-9;:]*m")


class Printable(Filter):
    """Every control character except the new line is shown as a symbol."""

    name = "printable"
    _table = _pictures("\n")

    def received(self, text: str) -> str:
        return text.translate(self._table)


class Colorize(Filter):
    """Received text in one colour, local echo in another."""

    name = "colorize"

    def received(self, text: str) -> str:
        return f"\x1b[36m{text}\x1b[0m" if text else text

    def echoed(self, text: str) -> str:
        return f"\x1b[33m{text}\x1b[0m" if text else text


FILTERS: dict[str, type[Filter] | None] = {
    "direct": Direct,
    "default": Default,
    "printable": Printable,
    "colorize": Colorize,
    "hex": None,  # not a text filter: it replaces decoding, see Pipeline
}


class HexDump:
    """Bytes as hexadecimal pairs, sixteen to a line; an LF byte also ends the line."""

    def __init__(self) -> None:
        self._column = 0

    def __call__(self, data: bytes) -> str:
        out: list[str] = []
        for byte in data:
            if self._column:
                out.append(" ")
            out.append(f"{byte:02X}")
            self._column += 1
            if byte == 0x0A or self._column == 16:
                out.append("\n")
                self._column = 0
        return "".join(out)


class LineEnds:
    """Turns the received line end into a new line ("\\n").

    A received LF always starts a new line, as it does on any terminal; with
    CR or CRLF the CR also ends a line (on its own, or before an LF). A CR at
    the end of one read waits for the next, which may start with its LF.
    """

    def __init__(self, eol: str) -> None:
        self._eol = eol
        self._held = ""

    def __call__(self, text: str) -> str:
        if self._eol == "LF":
            return text
        if self._eol == "CR":
            return text.replace("\r", "\n")
        text, self._held = self._held + text, ""
        if text.endswith("\r"):
            text, self._held = text[:-1], "\r"
        return text.replace("\r\n", "\n")


# The filters that decide what becomes of control characters; without one
# of them, `default` runs first.
_CONTROL_FILTERS = {"direct", "default", "printable", "hex"}

# Bytes a decoder may keep back for a character or sequence not yet ended.
_MOST_HELD = 4096


class Pipeline:
    """Received (or echoed) bytes to the text that is shown."""

    def __init__(self, encoding: str, eol: str, filters: Sequence[str], *, echo: bool = False) -> None:
        self._decode: Callable[[bytes], str]
        self._eol: LineEnds | None
        self._encoding = encoding
        if "hex" in filters:
            self._decode, self._eol = HexDump(), None
        else:
            self._decode = self._decoder()
            self._eol = LineEnds(eol)
        if not _CONTROL_FILTERS.intersection(filters):
            filters = ["default", *filters]
        stages = [cls() for name in filters if (cls := FILTERS[name]) is not None]
        self._filters = [stage.echoed if echo else stage.received for stage in stages]

    def _decoder(self) -> Callable[[bytes], str]:
        decoder = codecs.getincrementaldecoder(self._encoding)("replace")

        def decode(data: bytes) -> str:
            text = decoder.decode(data)
            # Some decoders keep back every byte of a sequence that has not
            # ended (a UTF-7 shift sequence): past a bound, what they hold is
            # decoded as it stands, so a device cannot fill memory with it.
            if len(decoder.getstate()[0]) > _MOST_HELD:
                text += decoder.decode(b"", True)
                decoder.reset()
            return text

        return decode

    def __call__(self, data: bytes) -> str:
        try:
            text = self._decode(data)
        except (UnicodeError, ValueError, TypeError):
            # check_encoding lets through only codecs that replace what they
            # cannot decode; should one still fail, it starts over.
            self._decode = self._decoder()
            text = "\ufffd"
        if self._eol is not None:
            text = self._eol(text)
        for apply in self._filters:
            text = apply(text)
        return text


class KeyEncoder:
    """What typed text sends: Enter (a CR from the keyboard) becomes the line
    end. One encoder serves the whole session, so an encoding that starts its
    stream with a byte-order mark sends it once, not before every key."""

    def __init__(self, encoding: str) -> None:
        self.encoding = encoding
        self._encode = codecs.getincrementalencoder(encoding)("replace").encode

    def __call__(self, keys: str, eol: str) -> bytes:
        try:
            return self._encode(keys.replace("\r", EOLS[eol]))
        except (UnicodeError, ValueError, TypeError):
            return b""


# Probes for check_encoding: every byte value, in both orders, escapes and
# prefixes that some codecs treat specially, and noise.
_PROBES = [
    bytes(range(256)),
    bytes(range(255, -1, -1)),
    b"\\",
    b"\\N{",
    b"+-&",
    b"\x1b$B",
    b"\xff\xfe\x00\xd8",
    random.Random(2).randbytes(4096),
]


def _decodes_anything(name: str) -> bool:
    """Whether the codec decodes each probe with replacement, whole and a
    byte at a time, and encodes what a keyboard sends."""
    try:
        for probe in _PROBES:
            for pieces in ([probe], [probe[i : i + 1] for i in range(len(probe))]):
                decoder = codecs.getincrementaldecoder(name)("replace")
                for piece in pieces:
                    if not isinstance(decoder.decode(piece), str):
                        return False
                if not isinstance(decoder.decode(b"", True), str):
                    return False
        encoder = codecs.getincrementalencoder(name)("replace")
        return isinstance(encoder.encode("a\r\x1b\u20ac\U0001f600"), bytes)
    except Exception:
        return False


def check_encoding(name: str) -> str:
    """The name if it is a text encoding that decodes any bytes (with
    replacement), else ValueError."""
    try:
        info = codecs.lookup(name)
    except LookupError:
        raise ValueError(f"unknown encoding: {name}") from None
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"not a text encoding: {name}")
    if not _decodes_anything(name):
        hint = f"give the byte order: {info.name}-le or {info.name}-be" if info.name in ("utf-16", "utf-32") else ""
        raise ValueError(f"{name} cannot decode every byte sequence; {hint or 'choose another encoding'}")
    return name


def check_filters(names: Sequence[str]) -> list[str]:
    """The names if each is a filter, else ValueError."""
    unknown = [name for name in names if name not in FILTERS]
    if unknown:
        raise ValueError(f"unknown filter: {', '.join(unknown)} (known: {', '.join(FILTERS)})")
    if not names:
        raise ValueError(f"no filter given (known: {', '.join(FILTERS)})")
    return list(names)
