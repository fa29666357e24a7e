"""Serial ports shared on the network, as RFC 2217 or raw TCP servers.

`python -m corvalink.tools.serve` (or `corvalink-serve`) runs them from the
command line; `PortServer` serves one port in a program's own event loop."""

from .server import PortServer, ServedPort, open_device

__all__ = ["PortServer", "ServedPort", "open_device"]
