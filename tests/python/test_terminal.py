"""python -m corvalink.tools.terminal in a real terminal: tmux runs the tool
on the slave side of a pseudo-terminal whose master side the test plays as
the device. Keys go in with send-keys, the screen comes back with
capture-pane."""

import fcntl
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import corvalink

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals"),
    pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux"),
    pytest.mark.timeout(60),
]

PACKAGE_ROOT = str(Path(corvalink.__file__).parent.parent)
WAIT = 15.0  # seconds; a bound for waits, never an expectation


class Device:
    """The master side of a pseudo-terminal; the tool opens the slave by name.

    The test keeps a slave descriptor of its own, for reading the terminal's
    settings back and for seeing how much the tool has not read yet.
    """

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)
        self.received = b""

    def send(self, data):
        os.write(self.master, data)

    def expect(self, data):
        """Reads until data has arrived (after what earlier calls consumed);
        returns what came before it."""
        deadline = time.monotonic() + WAIT
        while data not in self.received:
            left = deadline - time.monotonic()
            if left <= 0:
                pytest.fail(f"the device did not receive {data!r}; it got {self.received[-200:]!r}")
            if select.select([self.master], [], [], left)[0]:
                self.received += os.read(self.master, 65536)
        before, _, self.received = self.received.partition(data)
        return before

    def unread(self):
        return int.from_bytes(fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)

    def wait_until_read(self):
        deadline = time.monotonic() + WAIT
        while self.unread():
            if time.monotonic() > deadline:
                pytest.fail("the tool did not read what the device sent")
            time.sleep(0.01)

    def settings(self):
        return termios.tcgetattr(self.slave)

    def hang_up(self):
        fd, self.master = self.master, -1
        os.close(fd)

    def close(self):
        if self.master >= 0:
            os.close(self.master)
        os.close(self.slave)


class Tmux:
    """A private tmux server; each tool runs in a session of its own."""

    def __init__(self):
        self.base = ["tmux", "-L", f"corvalink-terminal-{os.getpid()}", "-f", "/dev/null"]
        self.count = 0

    def __call__(self, *args):
        return subprocess.run([*self.base, *args], capture_output=True, text=True, check=True, timeout=30).stdout

    def kill(self):
        subprocess.run([*self.base, "kill-server"], capture_output=True, timeout=30)


class Tool:
    """The tool in a tmux pane. The pane's shell records `stty -a` before and
    after the run and prints the exit status."""

    def __init__(self, tmux, workdir, args, *, script=None):
        self.tmux = tmux
        tmux.count += 1
        self.target = f"t{tmux.count}"
        self.before, self.after = workdir / "stty-before", workdir / "stty-after"
        program = [script] if script else ["-m", "corvalink.tools.terminal"]
        command = " ".join(
            [
                f"stty -a > {shlex.quote(str(self.before))};",
                f"PYTHONPATH={shlex.quote(PACKAGE_ROOT)}",
                shlex.join([sys.executable, "-P", *program, *args]) + ";",
                "status=$?;",
                f"stty -a > {shlex.quote(str(self.after))};",
                'echo "[exit $status]";',
                "sleep 600",
            ]
        )
        tmux("new-session", "-d", "-s", self.target, "-x", "120", "-y", "40", command)

    def screen(self):
        return self.tmux("capture-pane", "-p", "-J", "-S", "-200", "-t", self.target)

    def wait_for(self, pattern):
        """Polls the screen until the regular expression matches; returns the match."""
        deadline = time.monotonic() + WAIT
        while True:
            screen = self.screen()
            if match := re.search(pattern, screen, re.MULTILINE):
                return match
            if time.monotonic() > deadline:
                pytest.fail(f"{pattern!r} did not appear on the screen:\n{screen}")
            time.sleep(0.03)

    def started(self):
        self.wait_for(r"^--- Quit: Ctrl-\]")
        return self

    def keys(self, *keys):
        self.tmux("send-keys", "-t", self.target, *keys)

    def paste(self, path):
        """Pastes the file's content as if typed."""
        self.tmux("load-buffer", "-b", self.target, str(path))
        self.tmux("paste-buffer", "-d", "-b", self.target, "-t", self.target)

    def modes(self):
        """What a device could change in the pane: screen, mouse, keypad and cursor modes, the title."""
        names = [
            "alternate_on", "mouse_any_flag", "mouse_button_flag", "mouse_standard_flag", "mouse_sgr_flag",
            "keypad_flag", "keypad_cursor_flag", "cursor_flag", "insert_flag", "origin_flag", "wrap_flag",
            "pane_title",
        ]
        values = self.tmux("display-message", "-p", "-t", self.target, "|".join(f"#{{{n}}}" for n in names))
        return dict(zip(names, values.rstrip("\n").split("|")))

    def type(self, text):
        self.tmux("send-keys", "-t", self.target, "-l", text)

    def menu(self, key, answer=None):
        self.keys("C-t", key)
        if answer is not None:
            self.type(answer)
            self.keys("Enter")

    def exit_status(self):
        return int(self.wait_for(r"^\[exit (\d+)\]").group(1))

    def stty(self):
        """The pane's `stty -a` before and after the run (as words: stty
        wraps its lines as it pleases)."""
        return self.before.read_text().split(), self.after.read_text().split()

    def pid(self):
        """The tool's process: the only child of the pane's shell."""
        shell = self.tmux("display-message", "-p", "-t", self.target, "#{pane_pid}").strip()
        children = Path(f"/proc/{shell}/task/{shell}/children").read_text().split()
        assert len(children) == 1, children
        return int(children[0])


@pytest.fixture(scope="module")
def tmux():
    server = Tmux()
    yield server
    server.kill()


@pytest.fixture
def device():
    d = Device()
    yield d
    d.close()


@pytest.fixture
def run(tmux, device, tmp_path):
    """Starts the tool on the device with the given options and waits for its banner."""

    def start(*args):
        return Tool(tmux, tmp_path, [*args, device.name]).started()

    return start


def test_typed_keys_reach_the_device_and_its_answer_is_shown(run, device):
    tool = run()
    tool.type("AT+GMR")
    tool.keys("Enter")
    device.expect(b"AT+GMR\r\n")
    # Raw mode: Ctrl-C and Ctrl-Z are keys for the device, not signals.
    tool.keys("C-c", "C-z")
    device.expect(b"\x03\x1a")
    device.send(b"firmware 1.2\r\nOK\r\n")
    tool.wait_for(r"^firmware 1\.2\nOK$")


# The device sends: one CRLF two CR three LF end, then a control character.
LINE_END_CASES = [
    # options, what Enter sends, what the screen shows
    (["--eol", "CRLF"], b"\r\n", "one\ntwo\u240dthree\nend\u2401"),
    (["--eol", "CR"], b"\r", "one\n\ntwo\nthree\nend\u2401"),
    (["--eol", "LF"], b"\n", "one\u240d\ntwo\u240dthree\nend\u2401"),
    # no translation in either direction; the control character goes to tmux
    (["--eol", "LF", "--raw"], b"\r", None),
]


@pytest.mark.parametrize("options,enter,shown", LINE_END_CASES, ids=["CRLF", "CR", "LF", "raw"])
def test_line_ends_sent_and_shown(run, device, options, enter, shown):
    raw = "--raw" in options
    tool = run(*options, *([] if raw else ["--filter", "printable", "--echo"]))
    tool.type("ab")
    tool.keys("Enter")
    device.expect(b"ab" + enter)
    if raw:
        device.send(b"one\r\ntwo\x01!\r\n")
        tool.wait_for(r"^one\ntwo!$")
    else:
        # Local echo shows what was sent, through the same line-end rule.
        tool.wait_for(r"^ab$")
        device.send(b"one\r\ntwo\rthree\nend\x01")
        tool.wait_for("^ab\n" + re.escape(shown))


def test_hex_filter(run, device):
    tool = run("--filter", "hex")
    device.send(b"AT\r\n" + bytes(range(0xF0, 0x100)) + b"\x00")
    tool.wait_for(r"^41 54 0D 0A\nF0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF\n00$")


# What a device sends between < and >, and what `default` shows there: colours
# pass, every other control character and sequence is shown as symbols.
HOSTILE_CASES = [
    ("alternate screen", b"\x1b[?1049h", "\u241b[?1049h"),
    ("mouse reporting", b"\x1b[?1000h\x1b[?1006h", "\u241b[?1000h\u241b[?1006h"),
    ("keypad and cursor keys", b"\x1b=\x1b[?1h", "\u241b=\u241b[?1h"),
    ("title", b"\x1b]2;pwned\x07", "\u241b]2;pwned\u2407"),
    ("clipboard", b"\x1b]52;c;cm0gLXJmIH4K\x07", "\u241b]52;c;cm0gLXJmIH4K\u2407"),
    ("string ended by ST", b"\x1bP1$r\x1b\\", "\u241bP1$r\u241b\\"),
    ("device attributes query", b"\x1b[c", "\u241b[c"),
    ("cursor position query", b"\x1b[6n", "\u241b[6n"),
    ("C1 CSI in UTF-8", "\x9b?1049h".encode(), "\\x9b?1049h"),
    ("bell and shift-out", b"\x07\x0e", "\u2407\u240e"),
    ("a CSI too long for a colour", b"\x1b[" + b"1;" * 40 + b"m", "\u241b[" + "1;" * 31),
    ("colours", b"\x1b[1;31mred\x1b[0m \x1b[38;5;208morange\x1b[m", "red orange"),
]


@pytest.mark.parametrize("sent,shown", [case[1:] for case in HOSTILE_CASES], ids=[case[0] for case in HOSTILE_CASES])
def test_default_filter_shows_control_sequences(run, device, sent, shown):
    tool = run()
    modes = tool.modes()
    device.send(b"<" + sent + b">\r\n")
    tool.wait_for("^<" + re.escape(shown))
    # Nothing changed in the terminal, and it did not answer a query: the
    # first thing the device gets is what is typed next.
    assert tool.modes() == modes
    tool.type("z")
    assert device.expect(b"z") == b""


@pytest.mark.parametrize("options", [[], ["--filter", "colorize"]], ids=["default", "colorize"])
def test_sequences_split_at_every_byte(run, device, options):
    # A filter that leaves control characters alone gets `default` before it.
    tool = run(*options)
    modes = tool.modes()
    for byte in b"<\x1b[?1049h\x1b[31mred\x1b[0m\x1b]0;t\x07>\r\n":
        device.send(bytes([byte]))
        device.wait_until_read()
    tool.wait_for("^<\u241b\\[\\?1049hred\u241b\\]0;t\u2407>$")
    assert tool.modes() == modes


def test_endless_string_sequence(run, device):
    # An OSC string that never ends, then a query: the tool keeps nothing
    # back for the string and still shows the query as text.
    tool = run()
    device.send(b"\x1b]0;" + b"A" * 20_000)
    device.wait_until_read()
    device.send(b"\x1b[c\r\nstill here\r\n")
    tool.wait_for(r"A\u241b\[c\nstill here$")
    tool.type("z")
    assert device.expect(b"z") == b""


def test_character_split_across_reads_is_shown_whole(run, device):
    tool = run()
    euro = "\u20ac".encode()
    device.send(b"A" + euro[:2])
    device.wait_until_read()
    tool.wait_for(r"^A$")
    device.send(euro[2:] + b"B\xc3")
    device.wait_until_read()
    device.send(b"\xa9\r\n")
    tool.wait_for("^A\u20acB\u00e9$")
    assert "\ufffd" not in tool.screen()


def test_menu_changes_reach_the_port(run, device):
    tool = run()
    tool.menu("b", "115200")
    tool.menu("2")
    tool.menu("f")
    tool.type("x")
    tool.menu("f")
    tool.type("r")
    tool.menu("7")
    tool.menu("E")
    tool.menu("i")
    summary = tool.wait_for(r"^--- /dev/pts/\d+: (\d+),(\d),(\w),(\S+)$").groups()
    screen = tool.screen()
    for confirmation in ("baud rate 115200", "stop bits 2", "XON/XOFF flow control on", "RTS/CTS flow control on"):
        assert f"--- {confirmation}\n" in screen

    iflag, _, cflag, _, ispeed, ospeed, _ = device.settings()
    assert ispeed == ospeed == termios.B115200
    assert cflag & termios.CSTOPB
    assert cflag & termios.CRTSCTS
    assert iflag & termios.IXON and iflag & termios.IXOFF
    # A pseudo-terminal keeps 8 data bits without parity whatever it is
    # asked; the port reports what was asked for (a device with a UART takes
    # it). Either way the tool confirms what the port now reports, once.
    seven = "--- byte size 7\n" in screen
    assert seven != ("--- byte size 7 refused" in screen)
    even = "--- parity even\n" in screen
    assert even != ("--- parity even refused" in screen)
    assert summary == ("115200", "7" if seven else "8", "E" if even else "N", "2")


def test_line_controls(run, device):
    tool = run("--dtr", "0")
    # A pseudo-terminal has no modem lines: the port keeps the requested
    # RTS and DTR (the settings read them back) but the device side cannot
    # see them, and reading CTS, DSR, RI and CD may fail. Either way the
    # tool answers in one line and carries on.
    tool.menu("r")
    tool.wait_for(r"^--- RTS inactive\b")
    tool.menu("d")
    tool.wait_for(r"^--- DTR active\b")
    tool.menu("i")
    tool.wait_for(r"^--- RTS inactive  DTR active  break inactive$")
    tool.menu("m")
    tool.wait_for(r"^--- (CTS (in)?active  DSR|modem lines cannot be read: )")
    tool.menu("k")
    tool.wait_for(r"^--- break sent")
    tool.type("still here")
    device.expect(b"still here")


def test_menu_changes_translation(run, device):
    tool = run()
    tool.menu("l")
    tool.wait_for(r"^--- line end CR$")
    tool.keys("Enter")
    device.expect(b"\r")
    tool.menu("c", "latin-1")
    tool.wait_for(r"^--- encoding latin-1$")
    device.send(b"caf\xe9\r")
    tool.wait_for("^caf\u00e9$")
    tool.menu("t", "hex colorize")
    tool.wait_for(r"^--- filters hex colorize$")
    device.send(b"AB\n")
    tool.wait_for(r"^41 42 0A$")
    # Unknown names change nothing.
    tool.menu("t", "hex sparkle")
    tool.wait_for(r"^--- unknown filter: sparkle")
    device.send(b"C")
    tool.wait_for(r"^43$")


@pytest.mark.parametrize("encoding", ["utf-16", "idna", "undefined"])
def test_menu_refuses_an_encoding_that_cannot_decode_everything(run, device, encoding):
    tool = run()
    tool.menu("c", encoding)
    tool.wait_for(rf"^--- {encoding} cannot decode every byte sequence")
    device.send(b"\xff\xfe\x00\xd8caf\xc3\xa9\r\n")
    tool.wait_for("caf\u00e9$")
    tool.menu("i")
    tool.wait_for(r"^--- translation: UTF-8,")


@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-7", "shift_jis", "punycode"])
def test_any_bytes_in_an_accepted_encoding(run, device, encoding):
    tool = run("--encoding", encoding)
    for _ in range(2):
        device.send(bytes(range(256)) + b"+-\\N{\x1b$B\xff")
        device.wait_until_read()
    tool.type("z")
    device.expect("z".encode(encoding))
    assert "Traceback" not in tool.screen()


def test_sequence_that_never_ends_is_decoded_as_it_stands(run, device):
    # A UTF-7 shift sequence is kept back until it ends; one that goes on
    # is shown once it is long, instead of being held without limit.
    tool = run("--encoding", "utf-7")
    device.send(b"+" + b"A" * 40_000)
    device.wait_until_read()
    tool.wait_for(r"^[^-\n].{99}")


def test_keys_carry_one_byte_order_mark(run, device):
    # One encoder for the session: the mark starts the stream, once.
    tool = run("--encoding", "utf-8-sig")
    before = []
    for key in "ab\u20ac":
        tool.type(key)
        before.append(device.expect(key.encode()))
    tool.keys("Enter")
    before.append(device.expect(b"\r\n"))
    assert before == [b"\xef\xbb\xbf", b"", b"", b""]


def test_upload_is_byte_exact(run, device, tmp_path):
    # Every byte value, the terminal's own keys and line ends included, and
    # more than one chunk.
    data = bytes(range(256)) * 9 + b"\r\n\x14\x1d"
    path = tmp_path / "firmware.bin"
    path.write_bytes(data)
    tool = run("--eol", "CR")
    tool.menu("u", str(path))
    device.expect(data)
    tool.wait_for(rf"^--- uploaded {len(data)} bytes from ")
    assert device.received == b""
    # A file that is not there is one line, and the session goes on.
    tool.menu("u", str(tmp_path / "missing"))
    tool.wait_for(r"^--- cannot upload: \[Errno 2\]")
    tool.type("x")
    device.expect(b"x")


def test_switch_port(run, device):
    other = Device()
    try:
        tool = run()
        tool.menu("p", other.name)
        tool.wait_for(rf"^--- now on {other.name}: 9600,8,N,1$")
        tool.type("hello")
        other.expect(b"hello")
        other.send(b"from the other one\r\n")
        tool.wait_for(r"^from the other one$")
        # A port that cannot be opened leaves the current one in use.
        tool.menu("p", "/dev/does-not-exist")
        tool.wait_for(r"^--- cannot open /dev/does-not-exist: ")
        tool.type("again")
        other.expect(b"again")
    finally:
        other.close()
    assert not select.select([device.master], [], [], 0)[0]


def holds_flock(pid):
    with open("/proc/locks") as f:
        return any(line.split()[1:2] == ["FLOCK"] and line.split()[4] == str(pid) for line in f)


def holds_lock_file(pid, name):
    try:
        with open("/run/lock/LCK.." + name.removeprefix("/dev/").replace("/", "_")) as f:
            return f.read().strip() == str(pid)
    except OSError:
        return False


# Other programs holding a port, as they mark it: picocom with flock,
# minicom with a UUCP lock file.
PEERS = {
    "picocom": (["picocom", "-b", "115200", "{port}"], lambda pid, name: holds_flock(pid)),
    "minicom": (["minicom", "-b", "115200", "-D", "{port}"], holds_lock_file),
}


@pytest.fixture(params=sorted(PEERS))
def peer(request, tmux, device):
    """Another terminal program, holding the device; yields its name and process."""
    argv, holds = PEERS[request.param]
    if not shutil.which(argv[0]):
        pytest.skip(f"{argv[0]} is not installed")
    try:
        os.makedirs("/run/lock", exist_ok=True)
    except OSError:
        pass
    tmux.count += 1
    session = f"peer{tmux.count}"
    tmux("new-session", "-d", "-s", session, "-x", "100", "-y", "30", "--", *[a.format(port=device.name) for a in argv])
    pid = int(tmux("display-message", "-p", "-t", session, "#{pane_pid}").strip())
    deadline = time.monotonic() + WAIT
    while not holds(pid, device.name):
        if time.monotonic() > deadline:
            pytest.fail(f"{request.param} did not take the port:\n" + tmux("capture-pane", "-p", "-t", session))
        time.sleep(0.05)
    yield request.param, pid
    tmux("kill-session", "-t", session)


def test_a_port_another_program_holds_is_refused(tmux, device, tmp_path, peer):
    program, pid = peer
    speed = device.settings()[4:6]
    result = subprocess.run(
        [sys.executable, "-P", "-m", "corvalink.tools.terminal", device.name, "1200"],
        capture_output=True,
        text=True,
        timeout=60,
        stdin=subprocess.DEVNULL,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
    )
    assert result.returncode == 2
    error = result.stderr.splitlines()[-1]
    assert error.startswith("python -m corvalink.tools.terminal: error: ")
    assert f"could not open port '{device.name}'" in error
    assert error.endswith(f"held by {program} (process {pid})")
    assert device.settings()[4:6] == speed  # the other program's speed is untouched

    # Switching to it is refused the same way, and the tool stays where it is.
    other = Device()
    try:
        tool = Tool(tmux, tmp_path, [other.name]).started()
        tool.menu("p", device.name)
        tool.wait_for(rf"^--- cannot open {device.name}: .*held by {program} \(process {pid}\)$")
        tool.type("still here")
        other.expect(b"still here")
        assert device.settings()[4:6] == speed
    finally:
        other.close()
    # Unless told not to look.
    tool = Tool(tmux, tmp_path, ["--no-lock", device.name]).started()
    tool.type("anyway")
    device.expect(b"anyway")


def test_read_back_settings_shown_as_a_line(run, device):
    other = Device()
    try:
        # A pseudo-terminal keeps no parity: the tool says so in one line,
        # and shows the settings in force.
        tool = run("--parity", "E", "--stopbits", "2")
        tool.wait_for(rf"^--- Terminal on {device.name}: 9600,8,N,2$")
        tool.wait_for(rf"^--- settings not kept by '{device.name}': parity asked 'E', in force 'N'$")
        tool.menu("i")
        tool.wait_for(rf"^--- {device.name}: 9600,8,N,2$")
        # A switch asks the new port for the same settings.
        tool.menu("p", other.name)
        tool.wait_for(
            rf"^--- settings not kept by '{other.name}': parity asked 'E', in force 'N'\n"
            rf"--- now on {other.name}: 9600,8,N,2$"
        )
        tool.menu("i")
        tool.wait_for(rf"^--- {other.name}: 9600,8,N,2$")
        screen = tool.screen()
        assert "Warning" not in screen and "warn" not in screen
        tool.type("x")
        other.expect(b"x")
    finally:
        other.close()


@pytest.mark.parametrize("key,name", [("Up", "Esc [ A"), ("F1", "Esc O P"), ("F5", "Esc [ 1 5 ~"), ("M-x", "Esc x")])
def test_menu_key_is_a_whole_key(run, device, key, name):
    tool = run()
    tool.keys("C-t", key)
    tool.wait_for(rf"^--- unknown menu key {re.escape(name)} ")
    tool.type("z")
    assert device.expect(b"z") == b""


def test_received_data_waits_in_the_port_while_a_question_is_open(run, device):
    # The tool stops reading while it holds output back: the device's data
    # fills the port's buffers and then the device can send no more.
    tool = run()
    tool.menu("b")
    tool.wait_for(r"^--- baud rate \(now 9600\): $")
    os.set_blocking(device.master, False)
    line = b"0123456789abcdef" * 4 + b"\r\n"
    sent = 0
    try:
        while sent < 8_000_000 and select.select([], [device.master], [], 0.5)[1]:
            try:
                sent += os.write(device.master, line * 256)
            except BlockingIOError:
                pass
    finally:
        os.set_blocking(device.master, True)
    assert sent < 2_000_000
    assert "0123" not in tool.screen()
    tool.keys("Escape")
    device.send(b"\r\nthe end\r\n")  # once the tool reads again
    tool.wait_for(r"^the end$")
    tool.type("z")
    device.expect(b"z")


def write_paste(path):
    path.write_bytes(b"p" * 100_000)
    return "paste"


def write_upload(path):
    path.write_bytes(b"u" * 2_000_000)
    return "upload"


@pytest.mark.parametrize("make", [write_paste, write_upload], ids=["paste", "upload"])
@pytest.mark.parametrize("stop_key", ["Escape", "C-c", "C-]"])
def test_stop_keys_while_the_device_takes_no_data(run, device, tmp_path, make, stop_key):
    # The device reads nothing until the stop key has been handled.
    path = tmp_path / "data"
    how = make(path)
    tool = run()
    if how == "paste":
        tool.paste(path)
    else:
        tool.menu("u", str(path))
        tool.wait_for(r"^--- uploading ")
    tool.keys(stop_key)
    if stop_key == "C-]":
        assert tool.exit_status() == 0
        tool.wait_for(r"^--- exit$")
    elif how == "paste":
        tool.wait_for(r"^--- stopped sending: \d+ bytes not sent, \d+ typed keys dropped$")
    else:
        tool.wait_for(r"^--- upload stopped: \d+ of 2000000 bytes sent from ")
    if stop_key != "C-]":
        tool.type("after")
        got = device.expect(b"after")
    else:
        os.set_blocking(device.master, False)
        got = device.received
        try:
            while chunk := os.read(device.master, 65536):
                got += chunk
        except (BlockingIOError, OSError):
            pass
    assert 0 < len(got) < path.stat().st_size
    assert set(got) == {path.read_bytes()[0]}  # the stop key itself never reached the device


def quit_key(tool, device):
    tool.keys("C-]")


def quit_menu(tool, device):
    tool.menu("q")


def hang_up(tool, device):
    device.hang_up()


def terminate(tool, device):
    os.kill(tool.pid(), signal.SIGTERM)


def interrupt(tool, device):
    os.kill(tool.pid(), signal.SIGINT)


EXIT_CASES = [
    # how the session ends, exit status, the last line the tool writes
    (quit_key, 0, r"^--- exit$"),
    (quit_menu, 0, r"^--- exit$"),
    (hang_up, 1, r"^--- lost the port /dev/pts/\d+: .+$"),
    (terminate, 128 + signal.SIGTERM, None),
    (interrupt, 130, r"^--- interrupted$"),
]


@pytest.mark.parametrize("end,status,last_line", EXIT_CASES, ids=lambda case: getattr(case, "__name__", None))
def test_every_exit_restores_the_terminal(run, device, end, status, last_line):
    # With `direct` the device changes the terminal's modes at will: the
    # alternate screen, mouse reporting, keypad and cursor-key modes, a
    # hidden cursor, insert mode, attributes. The way out undoes them.
    tool = run("--filter", "direct")
    modes = tool.modes()
    device.send(b"\x1b[?1049h\x1b[?1000h\x1b[?1006h\x1b=\x1b[?1h\x1b[?25l\x1b[4h\x1b[7m")
    device.wait_until_read()
    tool.type("hi")
    device.expect(b"hi")
    changed = tool.modes()
    assert changed["alternate_on"] == "1" and changed["mouse_standard_flag"] == "1"
    end(tool, device)
    assert tool.exit_status() == status
    if last_line is not None:
        tool.wait_for(last_line + r"\n\[exit ")
    assert "Traceback" not in tool.screen()
    assert tool.modes() == modes
    before, after = tool.stty()
    assert after == before


def test_port_prompt_lists_comports(tmux, device, tmp_path):
    script = tmp_path / "fake_ports.py"
    script.write_text(
        "import sys\n"
        "from corvalink.tools import list_ports\n"
        "from corvalink.tools.terminal import main\n"
        "def fake(include_links=False):\n"
        f"    ports = [list_ports.ListPortInfo({device.name!r}, True), list_ports.ListPortInfo('/dev/ttyFAKE0', True)]\n"
        "    ports[0].description = 'scripted device'\n"
        "    ports[1].description = 'a port that is not there'\n"
        "    return ports\n"
        "list_ports.comports = fake\n"
        "sys.exit(main())\n"
    )
    tool = Tool(tmux, tmp_path, [], script=str(script))
    tool.wait_for(r"^--- Enter a port number or a name: *$")
    screen = tool.screen()
    assert re.search(rf"^---  1: {device.name} +scripted device$", screen, re.MULTILINE)
    assert re.search(r"^---  2: /dev/ttyFAKE0 +a port that is not there$", screen, re.MULTILINE)
    tool.type("3")
    tool.keys("Enter")
    tool.wait_for(r"^--- no port number 3 in the list\n--- Enter a port number or a name: *$")
    tool.type("1")
    tool.keys("Enter")
    tool.started()
    tool.type("picked")
    device.expect(b"picked")


@pytest.mark.parametrize(
    "args,message",
    [
        (["--parity", "X", "loop://"], "argument --parity: invalid choice: 'X'"),
        (["loop://", "fast"], "argument BAUDRATE: invalid int value: 'fast'"),
        (["--encoding", "klingon", "loop://"], "unknown encoding: klingon"),
        # Text encodings that fail on some bytes (no byte-order mark, no
        # replacement at all) are refused before they meet the device.
        (["--encoding", "utf-16", "loop://"], "utf-16 cannot decode every byte sequence"),
        (["--encoding", "utf-32", "loop://"], "utf-32 cannot decode every byte sequence"),
        (["--encoding", "idna", "loop://"], "idna cannot decode every byte sequence"),
        (["--encoding", "undefined", "loop://"], "undefined cannot decode every byte sequence"),
        (["--exit-char", "^T", "loop://"], "--exit-char and --menu-char must be different keys"),
        (["/dev/does-not-exist"], "could not open port '/dev/does-not-exist'"),
        (["nowhere://x"], "'nowhere'"),
    ],
)
def test_bad_options_and_ports_are_one_line_errors(args, message):
    result = subprocess.run(
        [sys.executable, "-P", "-m", "corvalink.tools.terminal", *args],
        capture_output=True,
        text=True,
        timeout=60,
        stdin=subprocess.DEVNULL,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
    )
    assert result.returncode == 2
    usage, error = result.stderr.splitlines()
    assert usage.startswith("usage: python -m corvalink.tools.terminal [options] [PORT] [BAUDRATE]")
    assert error.startswith("python -m corvalink.tools.terminal: error: ") and message in error
