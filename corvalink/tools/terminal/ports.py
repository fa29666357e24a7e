"""Choosing a port from the machine's list, opening it, and naming the
program that holds a port."""

import ast
import os
import re
import sys
import warnings
from collections.abc import Sequence

from corvalink import Serial
from corvalink.tools import list_ports
from corvalink.tools.list_ports import ListPortInfo

_LOCK_DIRECTORIES = ("/run/lock", "/var/lock")


def available_ports() -> list[ListPortInfo]:
    return sorted(list_ports.comports())


def port_lines(ports: Sequence[ListPortInfo]) -> list[str]:
    """The numbered list that a choice refers to."""
    if not ports:
        return ["no ports found; a device name or URL (such as loop://) still works"]
    width = max(len(port.device) for port in ports)
    return [f"{i:2}: {port.device:<{width}}  {port.description}" for i, port in enumerate(ports, 1)]


def pick_port(ports: Sequence[ListPortInfo], answer: str) -> str:
    """The port an answer names: a number from the list, or a device name or URL."""
    answer = answer.strip()
    if not answer:
        raise ValueError("no port given")
    if answer.isdecimal():
        number = int(answer)
        if 1 <= number <= len(ports):
            return ports[number - 1].device
        raise ValueError(f"no port number {number} in the list")
    return answer


def open_port(port: Serial) -> list[str]:
    """Opens the port; returns what opening warned about (settings the
    device did not keep), one message each, instead of letting Python print it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        port.open()
    return [str(warning.message) for warning in caught]


# "settings not kept by '/dev/pts/3': bytesize asked 7, in force 8; parity asked 'E', in force 'N'"
_NOT_KEPT = re.compile(r"(\w+) asked (.+?), in force ([^;]+)")


def settings_not_kept(messages: Sequence[str]) -> dict[str, tuple[object, object]]:
    """Setting name to (value asked for, value in force), from open_port's messages."""
    found: dict[str, tuple[object, object]] = {}
    for message in messages:
        if "settings not kept" not in message:
            continue
        for name, asked, in_force in _NOT_KEPT.findall(message):
            try:
                found[name] = (ast.literal_eval(asked), ast.literal_eval(in_force.strip()))
            except (ValueError, SyntaxError):
                pass
    return found


def port_holder(device: str) -> str | None:
    """The program that holds a device, as "picocom (process 1234)": the
    owner of a UUCP lock file or of a flock on the device (Linux); None when
    none is found."""
    if sys.platform == "win32":
        return None
    pids: list[int] = []
    name = device.removeprefix("/dev/").replace("/", "_")
    for directory in _LOCK_DIRECTORIES:
        try:
            with open(os.path.join(directory, f"LCK..{name}"), "rb") as f:
                pids.append(int(f.read(64).split()[0]))
        except (OSError, ValueError, IndexError):
            pass
    try:
        st = os.stat(device)
        with open("/proc/locks") as f:
            locks = f.read().splitlines()
    except OSError:
        locks = []
    else:
        where = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
        for line in locks:
            fields = line.split()
            if len(fields) > 5 and fields[1] == "FLOCK" and fields[5] == where and fields[4].isdigit():
                pids.append(int(fields[4]))
    for pid in pids:
        try:
            with open(f"/proc/{pid}/comm") as f:
                return f"{f.read().strip()} (process {pid})"
        except OSError:
            if os.path.isdir("/proc/self"):
                continue  # a lock left by a process that is gone
            return f"process {pid}"
    return None
