"""The command line: options, choosing a port, opening it, and the exit status."""

import argparse
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from types import FrameType

from corvalink import SerialException, serial_for_url

from .console import open_console
from .options import Options
from .ports import available_ports, open_port, pick_port, port_lines
from .session import Session, describe_open_error
from .transform import EOLS, FILTERS, check_encoding

PROG = "python -m corvalink.tools.terminal"


def parse_key(text: str) -> str:
    """A key given as a character code (29, 0x1d), in caret notation (^]) or as itself."""
    if len(text) == 2 and text[0] == "^" and text[1].upper() in "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_?":
        return chr(ord(text[1].upper()) ^ 0x40)  # ^] is 0x1d, ^? is 0x7f
    try:
        code = int(text, 0)
    except ValueError:
        if len(text) == 1:
            return text
        raise argparse.ArgumentTypeError(f"not a key: {text!r} (give a code such as 0x1d, or ^])") from None
    if not 0 <= code < 0x110000:
        raise argparse.ArgumentTypeError(f"not a character code: {text}")
    return chr(code)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=f"{PROG} [options] [PORT] [BAUDRATE]",
        description="Talk to a serial device by hand: what is typed is sent, what arrives is shown.",
        epilog="Keys are given as a character code (0x1d) or in caret notation (^]). "
        "The exit status is 0 after quitting, 1 when the port is lost, 2 for bad options "
        "or a port that cannot be opened.",
    )
    parser.add_argument(
        "port",
        nargs="?",
        metavar="PORT",
        help="device name or URL (loop://, ...); without it the ports of this machine are listed to choose from",
    )
    parser.add_argument("baudrate", nargs="?", type=int, default=9600, metavar="BAUDRATE", help="default 9600")

    line = parser.add_argument_group("port settings")
    line.add_argument("--bytesize", type=int, choices=(5, 6, 7, 8), default=8, help="default 8")
    line.add_argument("--parity", type=str.upper, choices=("N", "E", "O", "M", "S"), default="N", help="default N")
    line.add_argument("--stopbits", type=float, choices=(1, 1.5, 2), default=1, help="default 1")
    line.add_argument("--xonxoff", action="store_true", help="software flow control")
    line.add_argument("--rtscts", action="store_true", help="RTS/CTS hardware flow control")
    line.add_argument("--dsrdtr", action="store_true", help="DSR/DTR hardware flow control")
    line.add_argument("--rts", type=int, choices=(0, 1), help="initial state of RTS")
    line.add_argument("--dtr", type=int, choices=(0, 1), help="initial state of DTR")
    line.add_argument(
        "--no-lock",
        action="store_true",
        help="open the port even if another program holds it (by default the port is locked "
        "for exclusive use, and a port that another program holds is refused)",
    )

    data = parser.add_argument_group("data")
    data.add_argument("--echo", action="store_true", help="show what is sent (local echo)")
    data.add_argument(
        "--eol",
        type=str.upper,
        choices=tuple(EOLS),
        default="CRLF",
        help="what Enter sends, and which received line end starts a new line (default CRLF)",
    )
    data.add_argument("--encoding", default="UTF-8", help="of the data on the port (default UTF-8)")
    data.add_argument(
        "--filter",
        action="append",
        dest="filters",
        choices=tuple(FILTERS),
        metavar="NAME",
        help=f"how received data is shown: {', '.join(FILTERS)}; "
        "may be given more than once, applied in that order (default: default)",
    )
    data.add_argument("--raw", action="store_true", help="no translation at all, in either direction")

    keys = parser.add_argument_group("keys")
    keys.add_argument("--exit-char", type=parse_key, default="\x1d", metavar="KEY", help="quits (default ^])")
    keys.add_argument("--menu-char", type=parse_key, default="\x14", metavar="KEY", help="opens the menu (default ^T)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no banner and no exit message")
    return parser


def _choose_port() -> str | None:
    """Lists the ports and asks for one; None when none was given."""
    ports = available_ports()
    print("--- Available ports:", file=sys.stderr)
    for line in port_lines(ports):
        print(f"--- {line}", file=sys.stderr)
    while True:
        print("--- Enter a port number or a name: ", end="", file=sys.stderr, flush=True)
        answer = sys.stdin.readline()
        if not answer.strip():
            return None
        try:
            return pick_port(ports, answer)
        except ValueError as e:
            print(f"--- {e}", file=sys.stderr)


def _exit_on_signal(signum: int, frame: FrameType | None) -> None:
    raise SystemExit(128 + signum)


@contextmanager
def _signals_end_the_session() -> Iterator[None]:
    """Termination and hang-up of the terminal end the session through the
    normal exit path, which restores the terminal and closes the port."""
    previous = {}
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        if number is not None:
            previous[number] = signal.signal(number, _exit_on_signal)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # From the port prompt, or a SIGINT sent to the terminal session (the
        # keyboard's Ctrl-C goes to the device).
        print("\n--- interrupted", file=sys.stderr)
        return 130


def _main(argv: Sequence[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        check_encoding(args.encoding)
    except ValueError as e:
        parser.error(str(e))
    if args.exit_char == args.menu_char:
        parser.error("--exit-char and --menu-char must be different keys")
    options = Options(
        encoding=args.encoding,
        eol=args.eol,
        filters=args.filters or ["default"],
        echo=args.echo,
        raw=args.raw,
        exit_char=args.exit_char,
        menu_char=args.menu_char,
        quiet=args.quiet,
        exclusive=not args.no_lock,
    )

    url = args.port if args.port is not None else _choose_port()
    if url is None:
        parser.error("no port given")
    try:
        port = serial_for_url(
            url,
            args.baudrate,
            bytesize=args.bytesize,
            parity=args.parity,
            stopbits=args.stopbits,
            xonxoff=args.xonxoff,
            rtscts=args.rtscts,
            dsrdtr=args.dsrdtr,
            exclusive=options.exclusive,
            do_not_open=True,
        )
        # Set before opening, the line states are part of opening the port.
        if args.rts is not None:
            port.rts = bool(args.rts)
        if args.dtr is not None:
            port.dtr = bool(args.dtr)
        opened = open_port(port)
    except (ValueError, SerialException) as e:
        parser.error(describe_open_error(url, e))

    console = open_console()
    try:
        with _signals_end_the_session():
            return Session(port, console, options, opened).run()
    finally:
        port.close()
        console.close()
