"""The network peers of tools/wine-test: a raw and an RFC 2217 server on
127.0.0.1 that send back whatever data they receive. Their URLs go to the
FIFO named by the first argument; the process then serves until killed."""

import pathlib
import signal
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from net_peers import ScriptedServer  # noqa: E402

servers = [ScriptedServer(telnet=False, echo=True), ScriptedServer(telnet=True, echo=True)]
with open(sys.argv[1], "w") as fifo:
    fifo.write(" ".join(s.url() for s in servers) + "\n")
signal.pause()
