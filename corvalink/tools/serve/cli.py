"""The command line: what to serve, logging, and running until a signal."""

import argparse
import asyncio
import logging
import signal
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from corvalink import serial_for_url

from .config import LOG_LEVELS, ConfigError, check_unique, load_file, parse_spec
from .server import PortServer, ServedPort

PROG = "python -m corvalink.tools.serve"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """Bad arguments: one line, and status 2."""
        self.exit(2, f"{self.prog}: error: {message}\n")


def _parser() -> _Parser:
    parser = _Parser(
        prog=PROG,
        usage=f"{PROG} [options] [[rfc2217:|raw:]TCPPORT=DEVICE[,BAUD] ...]",
        description="Share serial ports on the network: each on a TCP port of its own, "
        "as RFC 2217 (Telnet with the COM port option, the default) or as raw TCP.",
        epilog="Example: %(prog)s 7000=/dev/ttyUSB0 raw:7001=/dev/ttyACM0,115200. "
        "The exit status is 0 after SIGINT or SIGTERM, 1 when a TCP port cannot be listened on, "
        "2 for bad arguments.",
    )
    parser.add_argument("ports", nargs="*", metavar="PORT", help="[rfc2217:|raw:]TCPPORT=DEVICE[,BAUD]; DEVICE is a "
                        "device name or a URL such as loop://, BAUD the baud rate it opens with (default 9600)")
    parser.add_argument("--config", metavar="FILE", help="a TOML file with [[port]] tables (as well as PORT arguments)")
    parser.add_argument("--listen", metavar="ADDRESS", help="address to listen on (default 127.0.0.1; "
                        "0.0.0.0 or :: for every interface)")
    parser.add_argument("--takeover", action="store_true", default=None,
                        help="a new client takes the port from the one connected (default: it is refused)")
    parser.add_argument("--keep-open", action="store_true", default=None,
                        help="open the devices at start and keep them open for the whole run "
                        "(default: open for each client, closed when it leaves)")
    parser.add_argument("--modem-interval", type=float, metavar="SECONDS",
                        help="how often the modem lines are looked at for RFC 2217 clients (default 0.2)")
    parser.add_argument("--log-level", choices=LOG_LEVELS, help="default info")
    return parser


def read_ports(argv: Sequence[str] | None = None) -> tuple[list[ServedPort], str]:
    """The ports to serve and the log level; exits with status 2 on bad arguments."""
    parser = _parser()
    args = parser.parse_args(argv)
    overrides: dict[str, Any] = {}
    for key in ("listen", "takeover", "keep_open", "modem_interval"):
        if getattr(args, key) is not None:
            overrides[key] = getattr(args, key)
    try:
        ports = [parse_spec(spec, overrides) for spec in args.ports]
        level = None
        if args.config is not None:
            from_file, level = load_file(args.config, overrides)
            ports += from_file
        if not ports:
            raise ConfigError("no port to serve (give TCPPORT=DEVICE or --config FILE)")
        check_unique(ports)
        for port in ports:
            try:
                serial_for_url(port.device, do_not_open=True)
            except ValueError as e:
                raise ConfigError(f"port {port.tcp_port}: {e}") from None
    except ConfigError as e:
        parser.error(str(e))
    return ports, args.log_level or level or "info"


async def serve(ports: Sequence[ServedPort]) -> int:
    """Serves the ports until SIGINT or SIGTERM; 1 when one cannot listen."""
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, stop.set)
    servers: list[PortServer] = []
    status = 0
    try:
        for port in ports:
            server = PortServer(port)
            try:
                await server.start()
            except OSError as e:
                logging.getLogger("corvalink.serve").error("cannot listen on %s port %d: %s", port.listen,
                                                           port.tcp_port, e.strerror or e)
                status = 1
                break
            servers.append(server)
        if status == 0:
            await stop.wait()
            logging.getLogger("corvalink.serve").info("stopping")
    finally:
        await asyncio.gather(*(server.stop() for server in servers))
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(number)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    ports, level = read_ports(argv)
    logging.basicConfig(level=level.upper(), format="%(asctime)s %(levelname)s %(message)s", stream=sys.stderr)
    return asyncio.run(serve(ports))
