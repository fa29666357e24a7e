"""What to serve, from command-line arguments or a TOML file."""

import math
import tomllib
from collections.abc import Mapping
from typing import Any, Literal

from .server import ServedPort

PROTOCOLS = ("rfc2217", "raw")
# The keys a [[port]] table takes; all but tcp_port and device may also
# stand at the top of the file, for every port.
PORT_KEYS = {"tcp_port", "device", "baudrate", "protocol", "listen", "takeover", "keep_open", "modem_interval"}
DEFAULT_KEYS = PORT_KEYS - {"tcp_port", "device"}
FILE_KEYS = DEFAULT_KEYS | {"port", "log_level"}
LOG_LEVELS = ("debug", "info", "warning", "error")


class ConfigError(ValueError):
    """A bad argument or configuration: one line that says what is wrong."""


def _tcp_port(text: str, where: str) -> int:
    try:
        number = int(text, 10)
    except ValueError:
        raise ConfigError(f"{where}: TCP port {text!r} is not a number") from None
    if not 0 <= number <= 65535:
        raise ConfigError(f"{where}: TCP port {number} is not from 0 to 65535")
    return number


def parse_spec(text: str, defaults: Mapping[str, Any] | None = None) -> ServedPort:
    """`[rfc2217:|raw:]TCPPORT=DEVICE[,BAUD]`, with the other settings from defaults."""
    where = f"port {text!r}"
    protocol: Literal["rfc2217", "raw"] = "rfc2217"
    rest = text
    if rest.lower().startswith("raw:"):
        protocol, rest = "raw", rest[4:]
    elif rest.lower().startswith("rfc2217:"):
        rest = rest[8:]
    tcp, sep, device = rest.partition("=")
    if not sep or not tcp or not device:
        raise ConfigError(f"{where}: expected [rfc2217:|raw:]TCPPORT=DEVICE[,BAUD]")
    settings: dict[str, Any] = {**(defaults or {}), "protocol": protocol}
    name, comma, baud = device.rpartition(",")
    if comma and baud.strip().isdigit():
        device = name
        settings["baudrate"] = int(baud)
    return make_port(_tcp_port(tcp.strip(), where), device.strip(), settings, where)


def make_port(tcp_port: int, device: str, settings: Mapping[str, Any], where: str) -> ServedPort:
    """A ServedPort with its settings checked."""
    if not device:
        raise ConfigError(f"{where}: no device")
    values = dict(settings)
    for key, kind in (("baudrate", int), ("listen", str), ("protocol", str), ("takeover", bool),
                      ("keep_open", bool), ("modem_interval", (int, float))):
        if key in values and (not isinstance(values[key], kind) or (kind is int and isinstance(values[key], bool))):
            raise ConfigError(f"{where}: {key} has the wrong type ({type(values[key]).__name__})")
    if values.get("protocol", "rfc2217") not in PROTOCOLS:
        raise ConfigError(f"{where}: protocol must be rfc2217 or raw, not {values['protocol']!r}")
    if values.get("baudrate", 9600) <= 0:
        raise ConfigError(f"{where}: baud rate {values['baudrate']} is not a positive number")
    interval = values.get("modem_interval", 0.2)
    if not (math.isfinite(interval) and 0.01 <= interval <= 60):
        raise ConfigError(f"{where}: modem_interval must be from 0.01 to 60 seconds")
    if "modem_interval" in values:
        values["modem_interval"] = float(interval)
    return ServedPort(tcp_port=tcp_port, device=device, **values)


def load_file(path: str, overrides: Mapping[str, Any]) -> tuple[list[ServedPort], str | None]:
    """The ports of a TOML file, and its log level if it gives one.

    The settings of a port come from its [[port]] table, else from the
    command line's options (`overrides`), else from the top of the file."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise ConfigError(f"{path}: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: {e}") from None
    unknown = sorted(set(data) - FILE_KEYS)
    if unknown:
        raise ConfigError(f"{path}: unknown key {unknown[0]!r}")
    level = data.get("log_level")
    if level is not None and level not in LOG_LEVELS:
        raise ConfigError(f"{path}: log_level must be one of {', '.join(LOG_LEVELS)}")
    defaults = {key: data[key] for key in DEFAULT_KEYS if key in data}
    defaults.update(overrides)
    tables = data.get("port", [])
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise ConfigError(f"{path}: 'port' must be an array of tables ([[port]])")
    ports = []
    for i, table in enumerate(tables, 1):
        where = f"{path}: port {i}"
        unknown = sorted(set(table) - PORT_KEYS)
        if unknown:
            raise ConfigError(f"{where}: unknown key {unknown[0]!r}")
        if not isinstance(table.get("tcp_port"), int) or isinstance(table.get("tcp_port"), bool):
            raise ConfigError(f"{where}: tcp_port must be a number")
        if not isinstance(table.get("device"), str):
            raise ConfigError(f"{where}: device must be a string")
        settings = {**defaults, **{k: v for k, v in table.items() if k not in ("tcp_port", "device")}}
        ports.append(make_port(_tcp_port(str(table["tcp_port"]), where), table["device"], settings, where))
    return ports, level


def check_unique(ports: list[ServedPort]) -> None:
    seen: dict[tuple[str, int], ServedPort] = {}
    for port in ports:
        key = (port.listen, port.tcp_port)
        if port.tcp_port and key in seen:
            raise ConfigError(f"TCP port {port.tcp_port} is given twice ({seen[key].device} and {port.device})")
        seen[key] = port
