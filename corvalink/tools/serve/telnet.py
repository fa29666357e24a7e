"""The server's side of Telnet: the codes it uses, an incremental decoder of
what a client sends, and the option negotiation.

The decoder keeps no more state than one command and one subnegotiation of
at most `MAX_SUBNEGOTIATION` bytes, whatever it is fed: a longer one is
dropped, and what follows is skipped up to its end."""

from collections.abc import Callable
from dataclasses import dataclass

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
NOP, GA = 241, 249
BINARY, ECHO, SGA, COM_PORT = 0, 1, 3, 44

MAX_SUBNEGOTIATION = 256

VERBS = {WILL: "WILL", WONT: "WONT", DO: "DO", DONT: "DONT"}
OPTION_NAMES = {BINARY: "BINARY", ECHO: "ECHO", SGA: "SUPPRESS-GO-AHEAD", COM_PORT: "COM-PORT-OPTION"}


def escape(data: bytes) -> bytes:
    """Data as it goes on the wire: IAC doubled."""
    return data.replace(b"\xff", b"\xff\xff") if b"\xff" in data else data


def subnegotiation(option: int, payload: bytes) -> bytes:
    return bytes((IAC, SB, option)) + escape(payload) + bytes((IAC, SE))


@dataclass(frozen=True, slots=True)
class Negotiation:
    verb: int  # WILL, WONT, DO or DONT
    option: int


@dataclass(frozen=True, slots=True)
class Subnegotiation:
    option: int
    payload: bytes


@dataclass(frozen=True, slots=True)
class Dropped:
    """A subnegotiation that was not kept: too long, or empty."""

    reason: str


Event = Negotiation | Subnegotiation | Dropped

_DATA, _IAC, _VERB, _SB, _SB_IAC, _SKIP, _SKIP_IAC = range(7)


class Decoder:
    """Splits what a client sends into data and Telnet events, in order.

    `feed(chunk)` returns a list whose items are `bytes` (data, unescaped)
    or events. A command cut anywhere across chunks is put together."""

    __slots__ = ("_state", "_verb", "_sb")

    def __init__(self) -> None:
        self._state = _DATA
        self._verb = 0
        self._sb = bytearray()

    def feed(self, chunk: bytes) -> list[bytes | Event]:
        if self._state == _DATA:
            if IAC not in chunk:
                return [chunk] if chunk else []
            # Data whose 0xFF are all doubled, the usual case, at C speed.
            # (A run is paired from its start, as below; an odd one is left.)
            undoubled = chunk.replace(b"\xff\xff", b"")
            if IAC not in undoubled:
                return [chunk.replace(b"\xff\xff", b"\xff")]
        out: list[bytes | Event] = []
        data = bytearray()
        i, n = 0, len(chunk)
        while i < n:
            state = self._state
            if state == _DATA:
                j = chunk.find(b"\xff", i)
                if j < 0:
                    data += chunk[i:]
                    break
                data += chunk[i:j]
                self._state = _IAC
                i = j + 1
                continue
            b = chunk[i]
            i += 1
            if state == _IAC:
                if b == IAC:
                    data.append(IAC)
                    self._state = _DATA
                elif b in VERBS:
                    self._verb, self._state = b, _VERB
                elif b == SB:
                    self._sb.clear()
                    self._state = _SB
                else:  # NOP, GA, AYT and the like: nothing for a serial port
                    self._state = _DATA
            elif state == _VERB:
                if data:
                    out.append(bytes(data))
                    data.clear()
                out.append(Negotiation(self._verb, b))
                self._state = _DATA
            elif state == _SB:
                if b == IAC:
                    self._state = _SB_IAC
                elif len(self._sb) >= MAX_SUBNEGOTIATION:
                    self._sb.clear()
                    self._state = _SKIP
                    if data:
                        out.append(bytes(data))
                        data.clear()
                    out.append(Dropped(f"a subnegotiation longer than {MAX_SUBNEGOTIATION} bytes"))
                else:
                    self._sb.append(b)
            elif state == _SB_IAC:
                if b == SE:
                    if data:
                        out.append(bytes(data))
                        data.clear()
                    if self._sb:
                        out.append(Subnegotiation(self._sb[0], bytes(self._sb[1:])))
                    else:
                        out.append(Dropped("an empty subnegotiation"))
                    self._sb.clear()
                    self._state = _DATA
                else:  # IAC IAC is a 0xFF of the payload; anything else is taken as it is
                    self._sb.append(b)
                    self._state = _SB
            elif state == _SKIP:
                if b == IAC:
                    self._state = _SKIP_IAC
            else:  # _SKIP_IAC
                self._state = _DATA if b == SE else _SKIP
        if data:
            out.append(bytes(data))
        return out


class Options:
    """Which options are on, each way, negotiated so that no answer is ever
    answered: a request is answered only when it changes the option's state,
    and the answer to one of ours is taken as such.

    `accept_him` are the options the client may turn on (WILL), `accept_us`
    those we turn on when asked (DO). `send(bytes)` puts a reply on the wire."""

    def __init__(self, accept_us: set[int], accept_him: set[int], send: Callable[[bytes], None]) -> None:
        self._accept_us, self._accept_him = accept_us, accept_him
        self._send = send
        self.us: dict[int, bool] = {}
        self.him: dict[int, bool] = {}
        self._asked_us: set[int] = set()
        self._asked_him: set[int] = set()

    def offer(self, option: int) -> None:
        """Sends WILL option."""
        self._asked_us.add(option)
        self._send(bytes((IAC, WILL, option)))

    def ask(self, option: int) -> None:
        """Sends DO option."""
        self._asked_him.add(option)
        self._send(bytes((IAC, DO, option)))

    def receive(self, verb: int, option: int) -> bool:
        """Takes a negotiation in; True when it changed an option's state."""
        if verb in (WILL, WONT):
            want, accepted, state, asked, yes, no = verb == WILL, self._accept_him, self.him, self._asked_him, DO, DONT
        else:
            want, accepted, state, asked, yes, no = verb == DO, self._accept_us, self.us, self._asked_us, WILL, WONT
        answered = option in asked
        asked.discard(option)
        if want and option not in accepted:
            if not answered:
                self._send(bytes((IAC, no, option)))
            return False
        if state.get(option, False) == want:
            return False
        state[option] = want
        if not answered:
            self._send(bytes((IAC, yes if want else no, option)))
        return True
