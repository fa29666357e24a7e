"""List the serial ports of this machine.

    python -m corvalink.tools.list_ports [-v] [REGEXP]

Prints one port per line in natural order of the device names. With -v each
line also carries the description and the hardware ID, separated by tabs.
REGEXP (case-insensitive) keeps only the ports whose device, description or
hardware ID it matches. The exit status is 1 when no port was listed.
"""

import argparse
import re
import sys
from collections.abc import Sequence

from corvalink.tools.list_ports import comports, grep


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m corvalink.tools.list_ports",
        description="List the serial ports of this machine.",
    )
    parser.add_argument(
        "regexp",
        nargs="?",
        help="only list ports whose device, description or hardware ID matches "
        "this regular expression (case-insensitive)",
    )
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="also show the description and the hardware ID"
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    pattern = None
    if args.regexp is not None:
        try:
            pattern = re.compile(args.regexp, re.IGNORECASE)
        except re.error as e:
            parser.error(f"invalid regular expression {args.regexp!r}: {e}")

    ports = sorted(comports()) if pattern is None else list(grep(pattern))
    for port in ports:
        if args.verbose:
            print(f"{port.device}\t{port.description}\t{port.hwid}")
        else:
            print(port.device)
    if not ports:
        print("no ports found", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
