"""The COM-PORT-OPTION (RFC 2217) commands of a client, applied to a real
port and answered with what the port then holds."""

import contextlib
import logging
from typing import Protocol

from corvalink import SerialBase, SerialException

from .telnet import COM_PORT, subnegotiation

SIGNATURE, SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE, SET_CONTROL = 0, 1, 2, 3, 4, 5
NOTIFY_LINESTATE, NOTIFY_MODEMSTATE, FLOWCONTROL_SUSPEND, FLOWCONTROL_RESUME = 6, 7, 8, 9
SET_LINESTATE_MASK, SET_MODEMSTATE_MASK, PURGE_DATA = 10, 11, 12
SERVER_OFFSET = 100

PARITY_CODES = {"N": 1, "O": 2, "E": 3, "M": 4, "S": 5}
PARITY_OF_CODE = {code: parity for parity, code in PARITY_CODES.items()}
STOPSIZE_CODES = {1.0: 1, 2.0: 2, 1.5: 3}
STOPBITS_OF_CODE = {code: stopbits for stopbits, code in STOPSIZE_CODES.items()}
PARITY_NAMES = {"N": "none", "O": "odd", "E": "even", "M": "mark", "S": "space"}

# SET-CONTROL values.
FLOW_QUERY, FLOW_NONE, FLOW_XONXOFF, FLOW_HARDWARE = 0, 1, 2, 3
BREAK_QUERY, BREAK_ON, BREAK_OFF = 4, 5, 6
DTR_QUERY, DTR_ON, DTR_OFF = 7, 8, 9
RTS_QUERY, RTS_ON, RTS_OFF = 10, 11, 12
INBOUND_QUERY, INBOUND_NONE, INBOUND_XONXOFF, INBOUND_HARDWARE = 13, 14, 15, 16
FLOW_DCD, FLOW_DTR, FLOW_DSR = 17, 18, 19

PURGE_RECEIVE, PURGE_TRANSMIT, PURGE_BOTH = 1, 2, 3

# Modem state bits: the lines and their changes since the last report.
MODEM_CTS, MODEM_DSR, MODEM_RI, MODEM_CD = 0x10, 0x20, 0x40, 0x80
DELTA_CTS, DELTA_DSR, RI_TRAILING_EDGE, DELTA_CD = 0x01, 0x02, 0x04, 0x08

SERVER_SIGNATURE = "corvalink serve"


class Link(Protocol):
    """What the commands act on besides the port's own settings."""

    def send(self, data: bytes) -> None:
        """Puts bytes (already Telnet) on the client's connection."""

    def purge(self, receive: bool, transmit: bool) -> None:
        """Drops data on its way from the device (receive) or to it (transmit)."""

    def suspend(self, suspended: bool) -> None:
        """The client asks us to stop (or go on) sending it the device's data."""


def modem_state(port: SerialBase) -> int:
    """The four input lines as a modem-state byte (no change bits)."""
    return ((MODEM_CTS if port.cts else 0) | (MODEM_DSR if port.dsr else 0)
            | (MODEM_RI if port.ri else 0) | (MODEM_CD if port.cd else 0))


def flow_code(port: SerialBase) -> int:
    if port.rtscts:
        return FLOW_HARDWARE
    if port.dsrdtr:
        return FLOW_DSR
    if port.xonxoff:
        return FLOW_XONXOFF
    return FLOW_NONE


def _flow_name(code: int) -> str:
    return {FLOW_NONE: "none", FLOW_XONXOFF: "XON/XOFF", FLOW_HARDWARE: "RTS/CTS", FLOW_DSR: "DSR/DTR"}.get(code, str(code))


class ComPort:
    """One client's COM-PORT-OPTION state: the masks, the last modem state
    reported, and the commands applied to `port`."""

    def __init__(self, port: SerialBase, link: Link, log: logging.LoggerAdapter[logging.Logger]) -> None:
        self.port = port
        self.link = link
        self.log = log
        self.linestate_mask = 0
        self.modemstate_mask = 0xFF
        self.reported: int | None = None  # the modem state last sent

    def _answer(self, command: int, value: bytes) -> None:
        self.link.send(subnegotiation(COM_PORT, bytes((command + SERVER_OFFSET,)) + value))

    def _set(self, what: str, name: str, value: object, shown: str) -> None:
        """Applies one setting; a refused one leaves the value in force."""
        before = getattr(self.port, name)
        if before == value:
            return
        try:
            setattr(self.port, name, value)
        except (SerialException, ValueError) as e:
            self.log.warning("%s %s refused by the port (%s); %s stays", what, shown, e, getattr(self.port, name))
            return
        self.log.info("%s %s", what, shown)

    def command(self, payload: bytes) -> None:
        """One subnegotiation of the option: command byte and value."""
        if not payload:
            self.log.warning("dropped an empty COM-PORT-OPTION subnegotiation")
            return
        command, value = payload[0], payload[1:]
        port = self.port
        if command == SIGNATURE:
            if value:
                self.log.info("client signature: %s", value.decode("latin-1"))
            else:
                self._answer(SIGNATURE, SERVER_SIGNATURE.encode())
        elif command == SET_BAUDRATE and len(value) == 4:
            baudrate = int.from_bytes(value, "big")
            if baudrate:
                self._set("baud rate", "baudrate", baudrate, str(baudrate))
            self._answer(command, port.baudrate.to_bytes(4, "big"))
        elif command == SET_DATASIZE and len(value) == 1:
            if value[0]:
                if 5 <= value[0] <= 8:
                    self._set("byte size", "bytesize", value[0], str(value[0]))
                else:
                    self.log.warning("byte size %d refused; %d stays", value[0], port.bytesize)
            self._answer(command, bytes((port.bytesize,)))
        elif command == SET_PARITY and len(value) == 1:
            if value[0]:
                parity = PARITY_OF_CODE.get(value[0])
                if parity is None:
                    self.log.warning("parity code %d refused; %s stays", value[0], PARITY_NAMES[port.parity])
                else:
                    self._set("parity", "parity", parity, PARITY_NAMES[parity])
            self._answer(command, bytes((PARITY_CODES[port.parity],)))
        elif command == SET_STOPSIZE and len(value) == 1:
            if value[0]:
                stopbits = STOPBITS_OF_CODE.get(value[0])
                if stopbits is None:
                    self.log.warning("stop size code %d refused; %s stays", value[0], port.stopbits)
                else:
                    self._set("stop bits", "stopbits", stopbits, f"{stopbits:g}")
            self._answer(command, bytes((STOPSIZE_CODES[float(port.stopbits)],)))
        elif command == SET_CONTROL and len(value) == 1 and value[0] <= FLOW_DSR:
            self._answer(command, bytes((self._control(value[0]),)))
        elif command == FLOWCONTROL_SUSPEND and not value:
            self.link.suspend(True)
        elif command == FLOWCONTROL_RESUME and not value:
            self.link.suspend(False)
        elif command == SET_LINESTATE_MASK and len(value) == 1:
            self.linestate_mask = value[0]
            self._answer(command, value)
        elif command == SET_MODEMSTATE_MASK and len(value) == 1:
            self.modemstate_mask = value[0]
            self._answer(command, value)
            self.reported = None  # the next look reports the lines as they are
            self.watch()
        elif command == PURGE_DATA and len(value) == 1 and value[0] in (PURGE_RECEIVE, PURGE_TRANSMIT, PURGE_BOTH):
            receive, transmit = bool(value[0] & PURGE_RECEIVE), bool(value[0] & PURGE_TRANSMIT)
            self.link.purge(receive, transmit)
            self.log.info("purged %s", "both buffers" if receive and transmit else
                          "the receive buffer" if receive else "the transmit buffer")
            self._answer(command, value)
        else:
            self.log.warning("dropped a malformed COM-PORT-OPTION command %d with %d value bytes", command, len(value))

    def _control(self, value: int) -> int:
        """Applies a SET-CONTROL value; returns what to answer."""
        port = self.port
        if value in (FLOW_NONE, FLOW_XONXOFF, FLOW_HARDWARE, FLOW_DSR):
            if flow_code(port) != value:
                wanted = {"xonxoff": value == FLOW_XONXOFF, "rtscts": value == FLOW_HARDWARE, "dsrdtr": value == FLOW_DSR}
                before = {name: getattr(port, name) for name in wanted}
                try:
                    port.apply_settings(wanted)
                except (SerialException, ValueError) as e:
                    self.log.warning("flow control %s refused by the port (%s)", _flow_name(value), e)
                    with contextlib.suppress(SerialException, ValueError):
                        port.apply_settings(before)
                else:
                    self.log.info("flow control %s", _flow_name(value))
            return flow_code(port)
        if value in (FLOW_QUERY, FLOW_DCD, FLOW_DTR):
            if value != FLOW_QUERY:
                self.log.warning("flow control code %d is not supported; %s stays", value,
                                 _flow_name(flow_code(port)))
            return flow_code(port)
        if value in (BREAK_ON, BREAK_OFF):
            self._line("break", "break_condition", value == BREAK_ON)
        if value in (BREAK_QUERY, BREAK_ON, BREAK_OFF):
            return BREAK_ON if port.break_condition else BREAK_OFF
        if value in (DTR_ON, DTR_OFF):
            self._line("DTR", "dtr", value == DTR_ON)
        if value in (DTR_QUERY, DTR_ON, DTR_OFF):
            return DTR_ON if port.dtr else DTR_OFF
        if value in (RTS_ON, RTS_OFF):
            self._line("RTS", "rts", value == RTS_ON)
        if value in (RTS_QUERY, RTS_ON, RTS_OFF):
            return RTS_ON if port.rts else RTS_OFF
        # Inbound flow control: the port has one setting for both ways, which
        # the outbound commands change; these are answered with it.
        if port.xonxoff:
            return INBOUND_XONXOFF
        return INBOUND_HARDWARE if port.rtscts else INBOUND_NONE

    def _line(self, what: str, name: str, level: bool) -> None:
        try:
            setattr(self.port, name, level)
        except SerialException as e:
            self.log.warning("%s %s refused by the port (%s)", what, "on" if level else "off", e)
        else:
            self.log.info("%s %s", what, "on" if level else "off")

    def watch(self) -> None:
        """Looks at the modem lines; reports a change the mask lets through."""
        try:
            state = modem_state(self.port)
        except SerialException:
            return  # the port is going: its loss is reported by the transport
        previous = self.reported
        if previous is None:
            self.reported = state
            if self.modemstate_mask:
                self._answer(NOTIFY_MODEMSTATE, bytes((state & self.modemstate_mask,)))
            return
        changed = state ^ previous
        if not changed:
            return
        deltas = ((DELTA_CTS if changed & MODEM_CTS else 0) | (DELTA_DSR if changed & MODEM_DSR else 0)
                  | (DELTA_CD if changed & MODEM_CD else 0)
                  | (RI_TRAILING_EDGE if previous & MODEM_RI and not state & MODEM_RI else 0))
        self.reported = state
        report = (state | deltas) & self.modemstate_mask
        if report & 0x0F or changed & self.modemstate_mask:
            self._answer(NOTIFY_MODEMSTATE, bytes((report,)))


