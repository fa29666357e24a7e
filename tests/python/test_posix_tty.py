"""corvalink.Serial on real kernel terminals: pseudo-terminal pairs whose
slave side is opened by name, the test playing the device on the master."""

import fcntl
import os
import select
import struct
import subprocess
import sys
import termios
import threading
import time
import warnings

import pytest

import corvalink

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals"),
    pytest.mark.timeout(30),
]

CMSPAR = getattr(termios, "CMSPAR", 0o10000000000)  # not exported by the termios module

# struct termios2 as the kernel holds it: the speeds are plain numbers there.
TCGETS2 = 0x802C542A
TERMIOS2 = struct.Struct("=4IB19s2I")


def kernel_termios(fd):
    iflag, oflag, cflag, lflag, _line, _cc, ispeed, ospeed = TERMIOS2.unpack(
        fcntl.ioctl(fd, TCGETS2, bytes(TERMIOS2.size)))
    return iflag, cflag, ispeed, ospeed


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)

    def send(self, data):
        os.write(self.master, data)

    def receive(self, n, timeout=5.0):
        """Reads exactly n bytes from the master side (fewer if it stays silent)."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            out += os.read(self.master, n - len(out))
        return bytes(out)

    def hang_up(self):
        fd, self.master = self.master, -1
        if fd >= 0:
            os.close(fd)

    def close(self):
        self.hang_up()
        os.close(self.slave)


def wait_for_input(port, n):
    """The kernel hands written bytes on asynchronously; wait until n arrived."""
    deadline = time.monotonic() + 5
    while port.in_waiting < n and time.monotonic() < deadline:
        time.sleep(0.005)


@pytest.fixture
def pty():
    p = Pty()
    yield p
    p.close()


@pytest.fixture
def port(pty):
    s = corvalink.Serial(pty.name, timeout=1)
    yield s
    s.close()


# baudrate, bytesize, parity, stopbits, xonxoff, rtscts
SETTINGS = [
    (9600, 8, "N", 1, False, False),
    (19200, 7, "E", 1, False, False),
    (115200, 8, "O", 2, False, False),
    (57600, 8, "M", 1, False, False),
    (38400, 6, "S", 1, True, False),
    (300, 5, "N", 1.5, False, True),
    (123456, 8, "E", 2, False, True),
    (4000000, 8, "N", 1, True, False),
]


def expected_bits(parity, stopbits, xonxoff, rtscts):
    # The pseudo-terminal driver forces CS8 without PARENB, so byte size and
    # parity enable cannot be seen there; PARODD and CMSPAR are kept.
    cflag = {"N": 0, "E": 0, "O": termios.PARODD, "M": termios.PARODD | CMSPAR,
             "S": CMSPAR}[parity]
    if stopbits != 1:
        cflag |= termios.CSTOPB
    if rtscts:
        cflag |= termios.CRTSCTS
    iflag = termios.IXON | termios.IXOFF if xonxoff else 0
    return cflag, iflag


CFLAG_MASK = termios.PARODD | CMSPAR | termios.CSTOPB | termios.CRTSCTS


# The terminal keeps neither byte size nor parity (see the next test).
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("baudrate,bytesize,parity,stopbits,xonxoff,rtscts", SETTINGS)
def test_settings_reach_the_terminal_and_data_passes_both_ways(
        pty, baudrate, bytesize, parity, stopbits, xonxoff, rtscts):
    s = corvalink.Serial(pty.name, baudrate=baudrate, bytesize=bytesize, parity=parity,
                         stopbits=stopbits, xonxoff=xonxoff, rtscts=rtscts, timeout=1)
    try:
        iflag, cflag, ispeed, ospeed = kernel_termios(s.fileno())
        want_c, want_i = expected_bits(parity, stopbits, xonxoff, rtscts)
        assert (ispeed, ospeed) == (baudrate, baudrate)
        assert cflag & CFLAG_MASK == want_c
        assert iflag & (termios.IXON | termios.IXOFF) == want_i
        assert cflag & (termios.CLOCAL | termios.CREAD) == termios.CLOCAL | termios.CREAD
        attrs = termios.tcgetattr(s.fileno())
        if hasattr(termios, f"B{baudrate}"):
            assert attrs[4] == attrs[5] == getattr(termios, f"B{baudrate}")
        assert attrs[3] & (termios.ICANON | termios.ECHO | termios.ISIG) == 0
        assert attrs[6][termios.VMIN] == 0 and attrs[6][termios.VTIME] == 0

        # Every byte value except the flow-control characters when XON/XOFF is on.
        data = bytes(b for b in range(256) if not (xonxoff and b in (0x11, 0x13))) * 8
        assert s.write(data) == len(data)
        assert pty.receive(len(data)) == data
        pty.send(data)
        assert s.read(len(data)) == data
    finally:
        s.close()


def test_settings_the_terminal_did_not_keep_are_warned_about_on_open(pty):
    expected = f"settings not kept by '{pty.name}': bytesize asked 7, in force 8; parity asked 'E', in force 'N'"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = corvalink.Serial(pty.name, bytesize=7, parity="E", stopbits=2)
        s.close()
        s.open()
        corvalink.Serial(pty.name).close()  # 8N1: kept
        corvalink.Serial(pty.name, 1234567, stopbits=2, xonxoff=True, rtscts=True).close()  # kept too
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (RuntimeWarning, expected, __file__)] * 2
    # The port goes on reporting what was asked for.
    assert (s.bytesize, s.parity, s.stopbits) == (7, "E", 2)

    # Turned into an error, the warning fails the open and leaves the port closed.
    s.close()
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="bytesize asked 7"):
            s.open()
        assert not s.is_open
        with pytest.raises(RuntimeWarning, match="parity asked 'O'"):
            corvalink.Serial(pty.name, parity="O")
    with pytest.warns(RuntimeWarning):
        s.open()  # the device was left free
    s.close()


def test_settings_changed_on_an_open_port_are_applied(port):
    port.baudrate = 230400
    port.parity = "M"
    port.stopbits = 2
    _, cflag, _, ospeed = kernel_termios(port.fileno())
    assert ospeed == 230400
    assert cflag & CFLAG_MASK == termios.PARODD | CMSPAR | termios.CSTOPB
    port.apply_settings({"baudrate": 1234567, "parity": "N", "stopbits": 1})
    _, cflag, ispeed, ospeed = kernel_termios(port.fileno())
    assert (ispeed, ospeed) == (1234567, 1234567)
    assert cflag & CFLAG_MASK == 0


@pytest.mark.parametrize("name,value", [
    ("bytesize", 9), ("parity", "X"), ("stopbits", 3), ("baudrate", -1),
])
def test_invalid_settings_leave_the_previous_ones_in_force(port, name, value):
    port.apply_settings({"baudrate": 57600, "parity": "O", "stopbits": 2})
    before = termios.tcgetattr(port.fileno()), kernel_termios(port.fileno())
    settings = port.get_settings()
    with pytest.raises(ValueError):
        setattr(port, name, value)
    with pytest.raises(ValueError):
        port.apply_settings({"baudrate": 115200, name: value})
    assert (termios.tcgetattr(port.fileno()), kernel_termios(port.fileno())) == before
    assert port.get_settings() == settings


def test_read_timeouts(pty, port):
    port.timeout = 0
    assert port.read(10) == b""
    pty.send(b"now")
    wait_for_input(port, 3)
    assert port.read(10) == b"now"

    port.timeout = 0.2
    started = time.monotonic()
    assert port.read(10) == b""
    assert time.monotonic() - started < 5

    port.timeout = 2
    port.inter_byte_timeout = 0.1
    pty.send(b"abc")
    assert port.read(10) == b"abc"

    port.timeout = None
    port.inter_byte_timeout = None
    timer = threading.Timer(0.1, pty.send, (b"12345",))
    timer.start()
    assert port.read(5) == b"12345"
    timer.join()


def test_in_waiting_and_reset_input_buffer(pty, port):
    assert port.in_waiting == 0
    pty.send(b"x" * 100)
    wait_for_input(port, 100)
    assert port.in_waiting == 100
    port.reset_input_buffer()
    assert port.in_waiting == 0
    pty.send(b"fresh")
    assert port.read(5) == b"fresh"


def test_large_write_then_flush(pty, port):
    data = os.urandom(256 * 1024)
    received = bytearray()
    reader = threading.Thread(target=lambda: received.extend(pty.receive(len(data), timeout=20)))
    reader.start()
    assert port.write(data) == len(data)
    port.flush()
    assert port.out_waiting == 0
    reader.join(25)
    assert bytes(received) == data


@pytest.mark.parametrize("delay", [0.01, 0.1])  # within the first 50 ms of the read, and after
def test_hang_up_during_a_blocking_read_closes_the_port(pty, port, delay):
    port.timeout = None
    timer = threading.Timer(delay, pty.hang_up)
    timer.start()
    with pytest.raises(corvalink.SerialException) as info:
        port.read(10)
    timer.join()
    assert not isinstance(info.value, corvalink.PortNotOpenError)
    assert not port.is_open
    with pytest.raises(corvalink.PortNotOpenError):
        port.read(1)
    with pytest.raises(corvalink.PortNotOpenError):
        port.write(b"x")


def test_hang_up_while_a_write_waits_for_room_closes_the_port(pty, port):
    # Nobody reads the other side, so the write fills the terminal's queue and waits.
    timer = threading.Timer(0.2, pty.hang_up)
    timer.start()
    with pytest.raises(corvalink.SerialException):
        port.write(b"x" * (4 * 1024 * 1024))
    timer.join()
    assert not port.is_open


def test_hang_up_before_a_write_closes_the_port(pty, port):
    pty.hang_up()
    with pytest.raises(corvalink.SerialException):
        port.write(b"hello")
    assert not port.is_open


# A polling loop with a zero timeout sees the hang-up too, and a control call
# that meets it closes the port as a read or write does.
@pytest.mark.parametrize("call", [lambda p: p.read(100), lambda p: p.readline(), lambda p: p.in_waiting])
def test_hang_up_seen_without_waiting_closes_the_port(pty, port, call):
    port.timeout = 0
    pty.hang_up()
    with pytest.raises(corvalink.SerialException) as info:
        for _ in range(100):
            call(port)
    assert not isinstance(info.value, corvalink.PortNotOpenError)
    assert not port.is_open


# Right after a write the port expects no input yet; a timeout that has run
# out by the first look must still find the bytes that are there.
@pytest.mark.parametrize("call, expected", [
    (lambda p: p.read(1), b"x"),
    (lambda p: p.readline(), b"x\n"),
    (lambda p: p.read_until(b"\n"), b"x\n"),
])
def test_a_tiny_timeout_still_reads_what_is_there(pty, port, call, expected):
    port.timeout = 1e-6
    for _ in range(300):
        pty.send(expected)
        wait_for_input(port, len(expected))
        port.write(b"?")
        assert call(port) == expected
        assert pty.receive(1) == b"?"


def test_exclusive_open_is_refused_while_held(pty):
    first = corvalink.Serial(pty.name, exclusive=True)
    try:
        fds = open_fds()
        with pytest.raises(corvalink.SerialException) as info:
            corvalink.Serial(pty.name, exclusive=True)
        assert info.value.args[1].startswith(f"could not open port '{pty.name}': ")
        assert open_fds() == fds
        # Without the option nothing is locked or checked.
        corvalink.Serial(pty.name).close()
    finally:
        first.close()
    corvalink.Serial(pty.name, exclusive=True).close()


def test_failed_opens_leak_no_descriptor(pty):
    corvalink.Serial(pty.name).close()  # the reactor's own descriptor stays from the first open on
    fds = open_fds()
    for name in ["/dev/does-not-exist-corvalink", "/dev/null", "/proc/self/status"]:
        with pytest.raises(corvalink.SerialException) as info:
            corvalink.Serial(name)
        _, message, _, code = info.value.args
        assert message.startswith(f"could not open port '{name}': ")
        assert isinstance(code, int)
    s = corvalink.Serial()
    s.port = "/dev/does-not-exist-corvalink"
    with pytest.raises(corvalink.SerialException):
        s.open()
    assert not s.is_open
    assert open_fds() == fds


def test_terminal_without_modem_lines(pty, port):
    # A pseudo-terminal's driver has no modem-control lines: they read False,
    # and setting one is stored without effect.
    assert os.isatty(port.fileno())
    assert (port.cts, port.dsr, port.ri, port.cd) == (False, False, False, False)
    port.rts = False
    port.dtr = False
    assert (port.rts, port.dtr) == (False, False)
    port.close()
    port.dtr = True
    port.open()
    assert port.dtr and port.cd is False
    port.send_break(0.01)
    port.set_buffer_size(rx_size=8192)
    pty.send(b"still fine")
    assert port.read(10) == b"still fine"


def test_close_and_reopen(pty, port):
    port.close()
    assert not port.is_open
    port.open()
    pty.send(b"again")
    assert port.read(5) == b"again"


def test_open_failure_carries_the_errno():
    import errno

    with pytest.raises(corvalink.SerialException) as info:
        corvalink.Serial("/dev/does-not-exist-corvalink")
    e = info.value
    assert e.args == (None, e.strerror, None, errno.ENOENT)
    assert e.errno == errno.ENOENT
    assert e.strerror == f"could not open port '/dev/does-not-exist-corvalink': {os.strerror(errno.ENOENT)}"
    assert str(e) == f"[Errno {errno.ENOENT}] {e.strerror}"


def test_threads_start_only_when_a_call_needs_them():
    # A fresh interpreter: the library's threads are all named "corvalink".
    script = r"""
import os, corvalink
def ours():
    return sum(open(f"/proc/self/task/{t}/comm").read().strip() == "corvalink" for t in os.listdir("/proc/self/task"))
master, slave = os.openpty()
s = corvalink.Serial(os.ttyname(slave), timeout=1)
s.write(b"ping")
os.write(master, os.read(master, 4))
counts = [ours() if s.read(4) == b"ping" else -1]
s.timeout = 0.2
counts.append(ours() if s.read(1) == b"" else -1)  # waits past 50 ms: a task woken by the reactor
print(counts)
"""
    out = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=30,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["[0,", "3]"]  # then two workers and the reactor


def test_manual_flow_control_holds_and_releases_output_and_sends_xoff_xon(pty, port):
    port.set_input_flow_control(False)
    assert pty.receive(1) == b"\x13"
    port.set_input_flow_control(enable=True)
    assert pty.receive(1) == b"\x11"

    port.set_output_flow_control(False)
    writer = threading.Thread(target=port.write, args=(b"held back",))
    writer.start()
    assert pty.receive(1, timeout=0.2) == b""  # nothing leaves while output is suspended
    port.set_output_flow_control(True)
    assert pty.receive(9) == b"held back"
    writer.join(5)
    assert not writer.is_alive()


@pytest.mark.parametrize("value", [True, False])
def test_low_latency_is_refused_by_a_pseudo_terminal(pty, port, value):
    with pytest.raises(corvalink.SerialException, match=f"the driver of '{pty.name}' has no low latency setting"):
        port.low_latency = value
    assert port.low_latency is None
    port.low_latency = None  # leaving the driver alone always works

    # Stored on a closed port, it is what the next open applies.
    port.close()
    port.low_latency = value
    with pytest.raises(corvalink.SerialException, match="has no low latency setting"):
        port.open()
    assert not port.is_open
    assert port.low_latency is value
