"""Ports chosen by what they are: `corvalink.tools.list_ports.grep` and the
resolution of `find://REGEX[?n=N][&skip_busy]` URLs, which the extension
calls (with no lock of its own held) before it opens such a port."""

from __future__ import annotations

import re
import sys
from collections.abc import Iterator

from . import Serial, SerialException
from .tools.list_ports import ListPortInfo

_FIND = "find://"


def _listing(include_links: bool) -> list[ListPortInfo]:
    # Looked up at each call, so a replaced comports() (a test's simulated
    # listing) is the one used.
    module = sys.modules["corvalink.tools.list_ports"]
    return sorted(module.comports(include_links))


def grep(regexp: str | re.Pattern[str], include_links: bool = False) -> Iterator[ListPortInfo]:
    """The ports, in natural order of their device names, whose device,
    description or hardware ID the regular expression matches (searched,
    case-insensitive when given as a string)."""
    pattern = re.compile(regexp, re.IGNORECASE) if isinstance(regexp, str) else regexp
    for info in _listing(include_links):
        if pattern.search(info.device) or pattern.search(info.description) or pattern.search(info.hwid):
            yield info


def _split_find_url(url: str) -> tuple[str, int, bool]:
    """(regex, n, skip_busy) of a find:// URL; ValueError for a malformed one.

    The options begin at the last "?" followed by "n=" or "skip_busy", so a
    "?" elsewhere belongs to the regular expression."""
    rest = url[len(_FIND):]
    match = None
    for m in re.finditer(r"\?(?=n=|skip_busy(?!\w))", rest):
        match = m
    regex, query = (rest, "") if match is None else (rest[: match.start()], rest[match.end():])
    if not regex:
        raise ValueError(f"{url!r}: find:// needs a regular expression")
    n, skip_busy = 1, False
    for item in query.split("&") if query else []:
        key, eq, value = item.partition("=")
        if key == "n" and eq and value.isdigit() and value.isascii() and int(value) >= 1:
            n = int(value)
        elif key == "skip_busy" and not eq:
            skip_busy = True
        else:
            raise ValueError(f"{url!r}: unknown or malformed option {item!r} (expected n=N with N >= 1, skip_busy)")
    return regex, n, skip_busy


def _busy(device: str) -> bool:
    # Held by another program as far as the conventions go (flock, a UUCP
    # lock file naming a live process): an exclusive open is refused.
    try:
        Serial(device, exclusive=True).close()
    except SerialException:
        return True
    return False


def _resolve_find(url: str) -> str:
    """The device that a find:// URL names."""
    regex, n, skip_busy = _split_find_url(url)
    try:
        pattern = re.compile(regex, re.IGNORECASE)
    except re.error as e:
        raise ValueError(f"{url!r}: invalid regular expression {regex!r}: {e}") from None
    seen = [info.device for info in _listing(False)]
    found = 0
    busy: list[str] = []
    for info in grep(pattern):
        if skip_busy and _busy(info.device):
            busy.append(info.device)
            continue
        found += 1
        if found == n:
            return info.device
    what = "no port" if n == 1 else f"fewer than {n} ports"
    note = f" ({', '.join(busy)} busy)" if busy else ""
    raise SerialException(
        f"{what} matching {regex!r}{note}; ports seen: {', '.join(seen) if seen else 'none'}"
    )
