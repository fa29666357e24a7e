"""Serial ports for Python: blocking, awaitable and asyncio-transport access,
plus port listing.

The implementation is the extension module ``corvalink._corvalink``; this
package re-exports its namespace. Importing it registers the submodules
``corvalink.aio``, ``corvalink.rs485``, ``corvalink.tools`` and
``corvalink.tools.list_ports``.
"""

import os as _os
import sys as _sys

from . import _corvalink
from ._corvalink import *  # noqa: F401,F403
from ._corvalink import __all__, __version__  # noqa: F401

# Made by the extension and registered in sys.modules, outside its __all__.
from . import rs485  # noqa: E402,F401


def _make_command_package(name, path):
    # corvalink.tools and corvalink.tools.list_ports are built by the
    # extension; giving them a search path lets `python -m
    # corvalink.tools.list_ports` find the command's __main__ beside this file.
    import importlib.machinery

    module = _sys.modules[name]
    module.__path__ = [path]
    module.__spec__ = importlib.machinery.ModuleSpec(name, None, is_package=True)
    module.__spec__.submodule_search_locations = [path]


# Serial has the raw-stream methods (readinto, write, readable, writable,
# closed, fileno, ...), so the io classes may wrap it.
import io as _io  # noqa: E402

_io.RawIOBase.register(Serial)  # noqa: F405
del _io

_here = _os.path.dirname(__file__)
_make_command_package("corvalink.tools", _os.path.join(_here, "tools"))
_make_command_package("corvalink.tools.list_ports", _os.path.join(_here, "tools", "list_ports"))
del _here, _make_command_package

# grep() is plain Python beside the extension's comports().
from . import _ports  # noqa: E402

_ports.grep.__module__ = "corvalink.tools.list_ports"
_sys.modules["corvalink.tools.list_ports"].grep = _ports.grep
_sys.modules["corvalink.tools.list_ports"].__all__ = [*_sys.modules["corvalink.tools.list_ports"].__all__, "grep"]

