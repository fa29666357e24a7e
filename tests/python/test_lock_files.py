"""exclusive=True against other terminal programs: the UUCP lock file in
/run/lock (which minicom honours) and flock (which picocom honours), tried
with the programs themselves under tmux; the forms of other writers' locks
and what else may be at the lock path; `exclusive` changed on an open port;
and the lock file's life, up to the exit of a process whose port outlives
the interpreter."""

import fcntl
import gc
import os
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import corvalink
from corvalink.rs485 import RS485Settings

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals"),
    pytest.mark.timeout(60),
]

LOCK_DIR = "/run/lock"


def lock_path(device):
    return os.path.join(LOCK_DIR, "LCK.." + device.removeprefix("/dev/").replace("/", "_"))


def read_lock(device):
    try:
        with open(lock_path(device)) as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def our_lock(pid=None):
    return f"{pid or os.getpid():>10}\n"


def gone_pid():
    gone = subprocess.Popen(["true"])
    gone.wait()
    return gone.pid


def flock_is_free(device):
    """Whether another open file of the device can take its flock now."""
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


def wait_until(predicate, timeout=10.0):
    """Polls predicate until it gives a true value or the time is up; returns its last value."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return value


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.fixture
def lock_dir():
    # Programs on this machine agree on /run/lock; a root without one gets it.
    try:
        os.makedirs(LOCK_DIR, mode=0o1777, exist_ok=True)
    except OSError:
        pass
    if not os.access(LOCK_DIR, os.W_OK):
        pytest.skip(f"{LOCK_DIR} cannot be written here")
    return LOCK_DIR


@pytest.fixture
def live_pid():
    """The PID of a process that lives as long as the test."""
    p = subprocess.Popen(["sleep", "600"])
    yield p.pid
    p.kill()
    p.wait()


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)

    def hang_up(self):
        fd, self.master = self.master, -1
        if fd >= 0:
            os.close(fd)


@pytest.fixture
def pty(lock_dir):
    p = Pty()
    yield p
    p.hang_up()
    os.close(p.slave)
    # A peer killed with its tmux server may leave its lock behind.
    content = (read_lock(p.name) or "").strip()
    if content.isdigit() and not alive(int(content)):
        os.unlink(lock_path(p.name))


# How the lock ends, for the port in held[0] (each leaves the port closed).
def by_close(held, pty):
    held[0].close()


def by_drop(held, pty):
    held.clear()
    gc.collect()


def by_fatal_error(held, pty):
    pty.hang_up()
    with pytest.raises(corvalink.SerialException):
        held[0].read(1)
    assert not held[0].is_open


@pytest.mark.parametrize("end", [by_close, by_drop, by_fatal_error])
def test_lock_file_lives_as_long_as_the_exclusive_open(pty, end):
    name = pty.name
    corvalink.Serial(name, exclusive=False).close()
    assert read_lock(name) is None

    held = [corvalink.Serial(name, exclusive=True, timeout=2)]
    assert read_lock(name) == f"{os.getpid():>10}\n"
    end(held, pty)
    assert read_lock(name) is None


def test_failed_open_and_stale_lock(pty):
    name = pty.name
    # The device opens, then refuses the configuration: the lock goes with it.
    s = corvalink.Serial()
    s.exclusive = True
    s.rs485_mode = RS485Settings()
    s.port = name
    with pytest.raises(corvalink.SerialException):
        s.open()
    assert read_lock(name) is None

    # A lock whose process is gone is replaced.
    with open(lock_path(name), "w") as f:
        f.write(our_lock(gone_pid()))
    s.rs485_mode = None
    s.open()
    assert read_lock(name) == f"{os.getpid():>10}\n"
    s.close()
    assert read_lock(name) is None


# The forms other programs write their locks in.
LOCK_FORMS = {
    "ten columns": lambda pid: f"{pid:>10}\n".encode(),
    "program name after it": lambda pid: f"     {pid} minicom\n".encode(),
    "tab before it": lambda pid: f"\t{pid}\n".encode(),
    "4-byte binary": lambda pid: struct.pack("=i", pid),
}


@pytest.mark.parametrize("form", sorted(LOCK_FORMS))
def test_a_lock_names_its_process_in_any_form(pty, live_pid, form):
    name, path = pty.name, lock_path(pty.name)
    with open(path, "wb") as f:
        f.write(LOCK_FORMS[form](live_pid))
    with pytest.raises(corvalink.SerialException) as info:
        corvalink.Serial(name, exclusive=True)
    assert info.value.strerror == f"could not open port '{name}': the port is locked by process {live_pid} ({path})"
    with open(path, "rb") as f:
        assert f.read() == LOCK_FORMS[form](live_pid)

    with open(path, "wb") as f:
        f.write(LOCK_FORMS[form](gone_pid()))
    with corvalink.Serial(name, exclusive=True):
        assert read_lock(name) == our_lock()
    assert read_lock(name) is None


def put_empty(path):
    open(path, "w").close()


def put_garbage(path):
    with open(path, "w") as f:
        f.write("garbage\n")


def put_dangling_link(path):
    os.symlink(path + ".nowhere", path)


# What names no process is left at the lock path, and refuses the port.
NOT_A_LOCK = [
    (put_empty, "names no process"),
    (put_garbage, "names no process"),
    (put_dangling_link, "is a symbolic link, which is not followed"),
    (os.mkdir, "is not a regular file"),
]


@pytest.mark.parametrize("make,says", NOT_A_LOCK, ids=lambda v: getattr(v, "__name__", None))
def test_what_names_no_process_is_left_alone(pty, make, says):
    name, path = pty.name, lock_path(pty.name)
    make(path)
    try:
        before = os.lstat(path)
        with pytest.raises(corvalink.SerialException) as info:
            corvalink.Serial(name, exclusive=True)
        assert info.value.strerror == f"could not open port '{name}': the port's lock file {says} ({path})"
        after = os.lstat(path)
        assert (after.st_ino, after.st_mode, after.st_size) == (before.st_ino, before.st_mode, before.st_size)
        assert flock_is_free(name)
    finally:
        (os.rmdir if os.path.isdir(path) and not os.path.islink(path) else os.unlink)(path)


def test_exclusive_changed_on_an_open_port_takes_effect_at_once(pty):
    name = pty.name
    s = corvalink.Serial(name, timeout=None)
    got = []
    reader = threading.Thread(target=lambda: got.append(s.read(1)))
    reader.start()  # a read waiting on the port does not hold the locks up

    s.exclusive = True
    assert s.exclusive is True
    assert read_lock(name) == our_lock()
    assert not flock_is_free(name)
    with pytest.raises(corvalink.SerialException):
        corvalink.Serial(name, exclusive=True)
    s.exclusive = True  # again: nothing changes
    assert read_lock(name) == our_lock()

    s.exclusive = None
    assert read_lock(name) is None and flock_is_free(name)
    corvalink.Serial(name, exclusive=True).close()

    os.write(pty.master, b"x")
    reader.join(10)
    assert got == [b"x"]
    s.close()


def hold_lock_file(name, pid, fds):
    with open(lock_path(name), "w") as f:
        f.write(our_lock(pid))
    return f"the port is locked by process {pid} ({lock_path(name)})"


def hold_flock(name, pid, fds):
    fds.append(os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
    fcntl.flock(fds[-1], fcntl.LOCK_EX | fcntl.LOCK_NB)
    return "the port is locked: it is already open for exclusive use"


@pytest.mark.parametrize("hold", [hold_lock_file, hold_flock])
def test_exclusive_refused_on_an_open_port_leaves_it_open_and_unlocked(pty, live_pid, hold):
    name = pty.name
    s = corvalink.Serial(name, exclusive=False)
    fds = []
    try:
        message = hold(name, live_pid, fds)
        before = read_lock(name)
        with pytest.raises(corvalink.SerialException) as info:
            s.exclusive = True
        assert info.value.strerror == f"could not lock port '{name}': {message}"
        assert s.is_open and s.exclusive is False
        assert read_lock(name) == before
        s.write(b"still usable")
        assert os.read(pty.master, 100) == b"still usable"
    finally:
        for fd in fds:
            os.close(fd)
    assert flock_is_free(name)
    s.close()


def test_threads_opening_closing_and_changing_exclusive_leave_nothing_behind(pty):
    name = pty.name
    s = corvalink.Serial(name)
    errors = []

    def toggle():
        for i in range(300):
            try:
                s.exclusive = i % 2 == 0
            except Exception as e:  # noqa: BLE001
                errors.append(e)

    def reopen():
        for _ in range(150):
            s.close()
            s.open()

    threads = [threading.Thread(target=toggle), threading.Thread(target=reopen)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    # The port is open and exclusive=False now: neither lock is held.
    assert s.is_open and s.exclusive is False
    assert read_lock(name) is None and flock_is_free(name)
    s.close()


# The port is held exclusively; a fork child that gives it up, and fails to
# take it again, leaves the parent's locks alone; then the port outlives the interpreter in a daemon
# thread blocked in read() while the process exits.
EXIT_SCRIPT = textwrap.dedent("""
    import fcntl, os, sys, threading, corvalink
    name, lock = sys.argv[1], sys.argv[2]
    s = corvalink.Serial(name, exclusive=True)
    child = os.fork()
    if child == 0:
        s.exclusive = False
        try:
            s.exclusive = True  # refused: the lock file names the parent
        except corvalink.SerialException:
            pass
        del s
        sys.exit(0)
    os.waitpid(child, 0)
    print(open(lock).read(), end="")
    fd = os.open(name, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        print("flock free")
    except BlockingIOError:
        print("flock held")
    reading = threading.Event()
    def read():
        reading.set()
        s.read(1)
    threading.Thread(target=read, daemon=True).start()
    reading.wait()
""")


def test_lock_file_goes_at_exit_even_if_the_port_outlives_the_interpreter(pty):
    name = pty.name
    proc = subprocess.Popen([sys.executable, "-P", "-c", EXIT_SCRIPT, name, lock_path(name)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out == our_lock(proc.pid) + "flock held\n"
    assert read_lock(name) is None


class Tmux:
    """A private tmux server whose panes stay after their program ends."""

    def __init__(self, tmp_path):
        self.socket = f"corvalink-test-{os.getpid()}"
        self.config = tmp_path / "tmux.conf"
        self.config.write_text("set -g remain-on-exit on\n")

    def run(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", str(self.config), *args],
                              check=True, capture_output=True, text=True, timeout=10).stdout

    def start(self, session, argv, log=None):
        """Runs argv in a new session, its output into the file log if given
        (minicom clears the screen as it exits); returns its PID."""
        if log:
            argv = ["sh", "-c", 'exec "$@" >"$0" 2>&1', str(log), *argv]
        return int(self.run("new-session", "-d", "-x", "100", "-y", "30", "-s", session,
                            "-P", "-F", "#{pane_pid}", "--", *argv))

    def screen(self, session):
        return self.run("capture-pane", "-p", "-t", session)

    def kill(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True, timeout=10)


@pytest.fixture
def tmux(tmp_path):
    if not shutil.which("tmux"):
        pytest.skip("tmux is not installed")
    t = Tmux(tmp_path)
    yield t
    t.kill()


def holds_flock(pid):
    with open("/proc/locks") as f:
        return any(line.split()[1] == "FLOCK" and line.split()[4] == str(pid) for line in f)


# program, its command line, what it says when it finds the port taken, and
# how to tell that it holds the port.
PEERS = {
    "minicom": (["minicom", "-D", "{port}"], "is locked",
                lambda pid, port: read_lock(port) == f"{pid:>10}\n"),
    "picocom": (["picocom", "{port}"], "cannot lock",
                lambda pid, port: holds_flock(pid)),
}


def peer(name):
    argv, refusal, holds = PEERS[name]
    if not shutil.which(argv[0]):
        pytest.skip(f"{argv[0]} is not installed")
    return argv, refusal, holds


@pytest.mark.parametrize("program", sorted(PEERS))
def test_peer_refuses_a_port_we_hold(pty, tmux, tmp_path, program):
    argv, refusal, _ = peer(program)
    name = pty.name
    log = tmp_path / "peer.log"
    with corvalink.Serial(name, exclusive=True):
        tmux.start("peer", [a.format(port=name) for a in argv], log=log)
        assert wait_until(lambda: log.exists() and refusal in log.read_text(errors="replace")), (
            log.read_text(errors="replace") if log.exists() else "no output")


@pytest.mark.parametrize("program", sorted(PEERS))
def test_we_refuse_a_port_the_peer_holds(pty, tmux, program):
    argv, _, holds = peer(program)
    name = pty.name
    pid = tmux.start("peer", [a.format(port=name) for a in argv])
    assert wait_until(lambda: holds(pid, name)), tmux.screen("peer")

    with pytest.raises(corvalink.SerialException) as info:
        corvalink.Serial(name, exclusive=True)
    assert info.value.strerror.startswith(f"could not open port '{name}': the port is locked")
    if program == "minicom":
        assert f"locked by process {pid} " in info.value.strerror
    corvalink.Serial(name).close()  # without the option nothing is checked

    # Once the peer is gone (killed, so its lock file stays behind), the port is ours.
    os.kill(pid, signal.SIGKILL)
    assert wait_until(lambda: not alive(pid))
    corvalink.Serial(name, exclusive=True).close()
