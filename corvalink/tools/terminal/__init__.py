"""A terminal for talking to a serial device by hand.

    python -m corvalink.tools.terminal [options] [PORT] [BAUDRATE]

What is typed is sent to the port as it is typed, and what the port receives
is shown as it arrives. Ctrl-T opens a menu (Ctrl-T h lists its commands) for
changing the port's settings, toggling RTS and DTR, sending a break,
uploading a file or switching ports; Ctrl-] quits. `--help` lists the options.
"""

from .cli import main

__all__ = ["main"]
