"""The terminal's settings that are not the port's: how data is translated,
and the terminal's own keys. The command line fills them in; the menu
changes them while the terminal runs."""

from dataclasses import dataclass, field


@dataclass
class Options:
    """How data is translated, and the terminal's own keys."""

    encoding: str = "UTF-8"
    eol: str = "CRLF"
    filters: list[str] = field(default_factory=lambda: ["default"])
    echo: bool = False
    raw: bool = False
    exit_char: str = "\x1d"
    menu_char: str = "\x14"
    quiet: bool = False
    exclusive: bool = True  # ports are opened for exclusive use, locked against other programs
