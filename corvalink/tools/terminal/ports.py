"""Choosing a port from the machine's list."""

from collections.abc import Sequence

from corvalink.tools import list_ports
from corvalink.tools.list_ports import ListPortInfo


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
