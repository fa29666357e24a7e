"""The blocking Serial on loop://: construction, properties, I/O with its
timeouts, cancellation and closing from other threads, signals, subclass
hooks, serial_for_url, and concurrent use of one port."""

import array
import io
import inspect
import os
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import corvalink
from corvalink import PortNotOpenError, Serial, SerialException, SerialTimeoutException

NOT_OPEN = "Attempting to use a port that is not open"


def later(delay, fn, *args):
    """Runs fn(*args) on a thread after delay seconds; returns the thread."""
    t = threading.Thread(target=lambda: (time.sleep(delay), fn(*args)), daemon=True)
    t.start()
    return t


def in_thread(fn, *args):
    """Runs fn on a thread; returns a function that joins and gives the result or raises."""
    box = {}

    def body():
        try:
            box["value"] = fn(*args)
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            box["error"] = e

    t = threading.Thread(target=body, daemon=True)
    t.start()

    def join(timeout=10):
        t.join(timeout)
        assert not t.is_alive(), "call did not return"
        if "error" in box:
            raise box["error"]
        return box["value"]

    return join


# --- construction and state ---

def test_new_object_state():
    s = Serial()
    assert (s.port, s.name, s.portstr) == (None, None, None)
    assert (s.is_open, s.closed) == (False, True)
    assert (s.rts, s.dtr, s.break_condition) == (True, True, False)
    assert (s.readable(), s.writable(), s.seekable()) == (True, True, False)
    with pytest.raises(SerialException) as info:
        s.open()
    assert info.value.args == ("Port must be configured before it can be used.",)


def test_no_instance_dict_or_weakref_and_base_not_instantiable():
    s = Serial()
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(s)
    with pytest.raises(TypeError):
        corvalink.SerialBase()
    assert issubclass(Serial, corvalink.SerialBase)
    assert Serial.__module__ == "corvalink" and corvalink.SerialBase.__module__ == "corvalink"
    assert corvalink.SerialBase.__doc__.startswith("Properties and non-I/O methods")
    # help() and inspect show the constructor's parameters.
    assert list(inspect.signature(Serial).parameters) == [
        "port", "baudrate", "bytesize", "parity", "stopbits", "timeout", "xonxoff", "rtscts",
        "write_timeout", "dsrdtr", "inter_byte_timeout", "exclusive"]


@pytest.mark.parametrize("method,signature", [
    ("read", "($self, size=1)"),
    ("read_until", "(self, /, expected=b'\\n', size=None)"),
    ("readline", "(self, /, size=-1)"),
    ("readlines", "(self, /, hint=-1)"),
    ("readinto", "($self, b)"),
    ("write", "($self, data)"),
    ("send_break", "($self, duration=0.25)"),
    ("__exit__", "($self, *_args)"),
    ("apply_settings", "($self, d)"),
    ("set_buffer_size", "($self, rx_size=4096, tx_size=None)"),
])
def test_text_signatures(method, signature):
    assert getattr(Serial, method).__text_signature__ == signature


def test_repr():
    s = Serial()
    text = repr(s)
    assert text == (f"Serial<id=0x{id(s):x}, open=False>(port=None, baudrate=9600, bytesize=8, parity='N', "
                    "stopbits=1, timeout=None, xonxoff=False, rtscts=False, dsrdtr=False)")

    class Shown(Serial):
        __slots__ = ()

        @property
        def baudrate(self):
            return "custom"

    assert "baudrate='custom'" in repr(Shown()) and repr(Shown()).startswith("Shown<id=0x")


CLOSED_ERRORS = [
    lambda s: s.in_waiting,
    lambda s: s.out_waiting,
    lambda s: s.cts,
    lambda s: s.dsr,
    lambda s: s.ri,
    lambda s: s.cd,
    lambda s: s.reset_input_buffer(),
    lambda s: s.reset_output_buffer(),
    lambda s: s.fileno(),
    lambda s: s.set_buffer_size(),
    lambda s: s.read(),
    lambda s: s.read(0),
    lambda s: s.write(b"x"),
    lambda s: s.flush(),
    lambda s: s.readline(),
    lambda s: s.read_all(),
    lambda s: s.send_break(0),
]


@pytest.mark.parametrize("call", CLOSED_ERRORS)
def test_closed_port_errors(call):
    for s in (Serial(), Serial("loop://", timeout=0)):
        s.close()
        with pytest.raises(PortNotOpenError) as info:
            call(s)
        assert info.value.args == (NOT_OPEN,)


def test_closed_port_stores_settings_and_lines():
    s = Serial()
    s.rts = False
    s.baudrate = 19200
    s.cancel_read()
    s.cancel_write()
    s.close()
    assert (s.rts, s.baudrate) == (False, 19200)
    s.port = "loop://"
    assert s.is_open is False  # setting the name does not open
    s.open()
    assert s.cts is False  # the stored rts reached the loopback on open


def test_open_port_control():
    s = Serial("loop://")
    with pytest.raises(SerialException) as info:
        s.open()
    assert info.value.args == ("Port is already open.",)
    assert s.is_open
    with pytest.raises(io.UnsupportedOperation):
        s.fileno()
    s.rts, s.dtr = False, True
    assert (s.cts, s.dsr, s.ri, s.cd) == (False, True, False, True)
    s.rtscts = True
    s.rts = True  # stored, not driven while rtscts is on
    assert (s.rts, s.cts) == (True, False)
    s.set_buffer_size(8192, None)
    with pytest.raises(OverflowError) as info:
        s.set_buffer_size(2**32)
    assert info.value.__notes__ == ["while processing 'rx_size'"]
    s.port = "LOOP://other"  # closes and reopens under the new name
    assert s.is_open and s.port == "LOOP://other"
    s.close()
    s.close()
    assert s.closed


def test_constructor_open_and_reinit():
    s = Serial(port=None, baudrate=115200)
    assert not s.is_open and s.baudrate == 115200
    s.__init__("loop://", timeout=0)
    assert s.is_open and s.baudrate == 9600
    s.write(b"abc")
    s.__init__("loop://", timeout=0)  # same name, open: reopened, fresh queue
    assert s.is_open and s.read(10) == b""


# --- reading and writing ---

def test_write_and_read_data_kinds(loop_port):
    s = loop_port
    assert s.write(b"abc") == 3
    assert s.read(3) == b"abc"
    assert s.write("é") == 2
    assert s.read(2) == b"\xc3\xa9"
    assert s.write(bytearray(b"x")) == 1
    assert s.write(memoryview(b"yz")[1:]) == 1
    import array
    assert s.write(array.array("H", [0x0102])) == 2
    assert s.read(4) == b"xz" + array.array("H", [0x0102]).tobytes()
    assert s.write(memoryview(b"abcdef")[::2]) == 3
    assert s.read(3) == b"ace"
    with pytest.raises(TypeError) as info:
        s.write(5)
    assert str(info.value) == "a bytes-like object or str is required, not 'int'"
    assert getattr(info.value, "__notes__", []) == []
    with pytest.raises(UnicodeEncodeError):
        s.write("\ud800")
    assert s.in_waiting == 0


def test_write_of_a_buffer_too_large_to_copy_raises_memory_error(loop_port):
    ctypes = pytest.importorskip("ctypes")
    # A buffer that claims a petabyte over 16 real bytes: copying it cannot
    # succeed, and must fail as a Python error rather than end the process.
    backing = ctypes.create_string_buffer(16)
    huge = (ctypes.c_char * (1 << 50)).from_address(ctypes.addressof(backing))
    with pytest.raises(MemoryError):
        loop_port.write(huge)
    assert loop_port.write(b"ok") == 2


def test_size_arguments(loop_port):
    s = loop_port
    with pytest.raises(OverflowError) as info:
        s.read(-1)
    assert info.value.__notes__ == ["while processing 'size'"]
    with pytest.raises(TypeError):
        s.read(1.5)
    assert s.read(0) == b""
    with pytest.raises(TypeError, match=r"Serial.read\(\) takes from 1 to 2 positional arguments but 3 were given"):
        s.read(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'n'"):
        s.read(n=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'size\0'"):
        s.read(**{"size\0": 1})
    s.write(b"ab")
    assert s.read(size=2) == b"ab"


def test_timeouts(loop_port):
    s = loop_port
    s.timeout = 0
    s.write(b"abc")
    assert s.read(100) == b"abc"
    assert s.read(100) == b""
    s.timeout = 0.1
    start = time.monotonic()
    assert s.read(5) == b""
    assert time.monotonic() - start < 5
    s.timeout = None
    later(0.1, s.write, b"12345")
    assert s.read(5) == b"12345"


def test_inter_byte_timeout_ends_read_after_silence(loop_port):
    s = loop_port
    s.timeout = 10
    s.inter_byte_timeout = 0.1
    s.write(b"xyz")
    start = time.monotonic()
    assert s.read(10) == b"xyz"
    assert time.monotonic() - start < 5


def test_line_readers(loop_port):
    s = loop_port
    s.timeout = 0.1
    s.write(b"xxOKyy")
    assert s.read_until(b"OK") == b"xxOK"
    assert s.read(2) == b"yy"
    s.write(b"a\rb\n")
    assert s.read_until(b"\r") == b"a\r"
    assert s.read_until(expected=None) == b"b\n"
    s.write(b"12345")
    assert s.read_until(b"", size=3) == b"123"
    assert s.read_until(b"\n", None) == b"45"
    s.write(b"one\ntwo\n")
    assert s.readline(size=-5) == b"one\n"
    assert s.readline(2) == b"tw"
    assert s.readline() == b"o\n"
    s.write(b"a\nb\nc")
    assert s.readlines() == [b"a\n", b"b\n", b"c"]
    s.write(b"a\nb\nc\n")
    assert s.readlines(1) == [b"a\n"]
    assert s.readlines(hint=-1) == [b"b\n", b"c\n"]
    with pytest.raises(OverflowError) as info:
        s.read_until(b"x", size=-1)
    assert info.value.__notes__ == ["while processing 'size'"]
    with pytest.raises(TypeError, match="not 'int'"):
        s.read_until(5)


def test_readinto(loop_port):
    s = loop_port
    s.timeout = 0.05
    s.write(b"abc")
    buf = bytearray(b"0123456789")
    assert s.readinto(buf) == 3
    assert buf == bytearray(b"abc3456789")
    assert s.readinto(buf) == 0

    class Recorder(list):
        def __setitem__(self, key, value):
            self.assigned = (key, value)

    r = Recorder([0] * 4)
    s.write(b"hi")
    assert s.readinto(r) == 2
    assert r.assigned == (slice(0, 2, 1), b"hi")
    with pytest.raises(TypeError):
        s.readinto(5)

    # A buffer is filled byte-wise up to its size in bytes; a read-only one is
    # refused before anything is read.
    s.write(b"wxyz")
    with pytest.raises(TypeError):
        s.readinto(b"\0" * 4)
    words = array.array("H", [0, 0])
    assert s.readinto(words) == 4
    assert words.tobytes() == b"wxyz"
    view = memoryview(bytearray(6))
    s.write(b"12")
    assert s.readinto(view[2:5]) == 2
    assert view.tobytes() == b"\0\x0012\0\0"


def test_read_all_iteration_and_context_manager():
    with Serial("loop://", timeout=0) as s:
        assert s.is_open
        assert s.read_all() == b""
        s.write(b"a\nb\n")
        assert list(s) == [b"a\n", b"b\n"]
        s.write(b"rest")
        assert s.read_all() == b"rest"
    assert not s.is_open
    with Serial() as s:
        assert not s.is_open
    with pytest.raises(ZeroDivisionError):
        with Serial("loop://") as s:
            1 / 0
    assert s.closed
    with pytest.raises(TypeError):
        s.__exit__(exc=None)
    assert s.__exit__(None, None, None) is None


def test_write_timeouts(loop_port):
    s = loop_port
    s.write_timeout = 0.2
    with pytest.raises(SerialTimeoutException) as info:
        s.write(b"x" * 10000)
    assert info.value.args == ("Write timeout",)
    assert any("4096" in note for note in info.value.__notes__)  # why loop:// cannot take it
    s.reset_input_buffer()
    s.write(b"y" * 4000)
    s.write_timeout = 0
    assert s.write(b"z" * 200) == 96
    s.reset_output_buffer()
    assert s.in_waiting == s.out_waiting == 0


def test_flush_and_send_break(loop_port):
    s = loop_port
    assert s.flush() is None
    assert s.send_break(0) is None
    assert s.send_break(duration=0.01) is None
    assert s.break_condition is False
    with pytest.raises(ValueError) as info:
        s.send_break(-1)
    assert info.value.args == ("duration must be a non-negative number",)
    with pytest.raises(TypeError) as info:
        s.send_break("1")
    assert info.value.__notes__ == ["while processing 'duration'"]


# --- other threads ---

# A blocking call waits on the caller's thread first and goes on as a task
# after 50 ms: the delays put the other thread's call in each of the two.
DELAYS = [0.01, 0.2]


@pytest.mark.parametrize("delay", DELAYS)
def test_cancel_read_from_another_thread(loop_port, delay):
    s = loop_port
    s.timeout = None
    later(delay, s.cancel_read)
    assert s.read(10) == b""
    # A stored cancel ends the next read that waits at once.
    s.cancel_read()
    s.timeout = 10
    assert s.read(1) == b""


# A stored cancel is for the next call that has to wait: a call whose data or
# room is there at once goes through and leaves the permit stored. Repeated,
# since a wrong order of the race would only show now and then.
@pytest.mark.parametrize("side, call, expected", [
    ("read", lambda s: s.read(3), b"abc"),
    ("read", lambda s: s.readline(), b"abc\n"),
    ("read", lambda s: s.read_until(b"c"), b"abc"),
    ("write", lambda s: s.write(b"abc"), 3),
])
def test_a_stored_cancel_leaves_calls_that_need_not_wait_alone(loop_port, side, call, expected):
    s = loop_port
    s.timeout = s.write_timeout = 10
    cancel = s.cancel_read if side == "read" else s.cancel_write
    for _ in range(300):
        s.reset_input_buffer()
        if side == "read":
            s.write(b"abc\n")
        cancel()
        assert call(s) == expected
    s.reset_input_buffer()
    start = time.monotonic()
    if side == "read":
        assert s.read(1) == b""
    else:
        assert s.write(b"x" * 4096) == 4096
        assert s.write(b"x") == 0
    assert time.monotonic() - start < 5  # the permit ended the call that waited


@pytest.mark.parametrize("timeout", [0, 0.1])
def test_a_timed_read_gives_up_waiting_for_a_busy_read_side(loop_port, timeout):
    s = loop_port
    s.timeout = None
    blocked = in_thread(s.readline)
    time.sleep(0.1)  # the readline holds the read side
    s.timeout = timeout
    calls = [(lambda: s.read(1), b""), (s.read_all, b""), (s.readline, b""), (lambda: s.read_until(b"x"), b""),
             (s.readlines, []), (lambda: s.read(0), b"")]
    for call, nothing in calls:
        start = time.monotonic()
        assert in_thread(call)(timeout=2) == nothing
        assert time.monotonic() - start < timeout + 0.5
    s.timeout = None
    assert in_thread(s.read, 0)(timeout=2) == b""  # read(0) never queues
    s.write(b"line\n")
    assert blocked() == b"line\n"


@pytest.mark.parametrize("write_timeout", [0, 0.1])
def test_a_timed_write_gives_up_waiting_for_a_busy_write_side(loop_port, write_timeout):
    s = loop_port
    blocked = in_thread(s.write, b"w" * 5000)  # no write timeout: waits for room
    time.sleep(0.1)
    s.write_timeout = write_timeout
    start = time.monotonic()
    writing = in_thread(s.write, b"x")
    try:
        if write_timeout:
            with pytest.raises(SerialTimeoutException, match="Write timeout"):
                writing(timeout=2)
        else:
            assert writing(timeout=2) == 0
        assert time.monotonic() - start < write_timeout + 0.5
    finally:
        assert s.read(5000) == b"w" * 5000
        assert blocked() == 5000


@pytest.mark.parametrize("delay", DELAYS)
def test_cancel_write_from_another_thread(loop_port, delay):
    s = loop_port
    later(delay, s.cancel_write)
    assert s.write(b"x" * 10000) == 4096


@pytest.mark.parametrize("delay", DELAYS)
def test_close_from_another_thread_during_read(loop_port, delay):
    s = loop_port
    s.timeout = None
    later(delay, s.close)
    with pytest.raises(PortNotOpenError):
        s.read(10)
    assert not s.is_open


@pytest.mark.parametrize("size", [6, 4000, 10000])
def test_read_keeps_bytes_from_before_and_after_the_first_50_ms(loop_port, size):
    s = loop_port
    s.timeout = 5
    s.write(b"ab")
    writers = [later(0.01, s.write, b"cd"), later(0.2, s.write, b"ef" + b"x" * (size - 6))]
    assert s.read(size) == b"abcdef" + b"x" * (size - 6)
    for t in writers:
        t.join()


def test_close_during_send_break(loop_port):
    later(0.2, loop_port.close)
    with pytest.raises(PortNotOpenError):
        loop_port.send_break(5)
    assert loop_port.break_condition is False


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with the runtime's threads alive
def test_operations_in_a_forked_child_fail_with_the_fork_message(loop_port):
    loop_port.flush()  # an ordinary blocking call: the runtime exists before the fork
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports through the pipe and never returns to pytest
        try:
            results = []
            for call in (lambda: loop_port.read(1), lambda: loop_port.write(b"a"), loop_port.flush):
                try:
                    call()
                    results.append("returned")
                except SerialException as e:
                    results.append(str(e))
            os.write(w, "|".join(results).encode())
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        reported = f.read().decode()
    os.waitpid(pid, 0)
    assert reported.split("|") == ["corvalink cannot be used in a child process created by fork()"] * 3


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_a_child_forked_during_a_read_fails_at_once_without_the_runtime():
    # A fresh interpreter whose reads never needed the runtime's threads. At
    # each fork the other thread is almost surely inside a read, holding the
    # read side; the child must not wait for it (the alarm kills it if it does).
    script = r"""
import os, signal, threading, time, corvalink
s = corvalink.Serial("loop://", timeout=0.03)
stop = threading.Event()
def reader():
    while not stop.is_set():
        s.read(1)
t = threading.Thread(target=reader)
t.start()
outcomes = []
for _ in range(10):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        signal.alarm(3)
        results = []
        for call in (lambda: s.read(1), lambda: s.write(b"a"), s.readline, s.flush,
                     lambda: corvalink.Serial("loop://", timeout=0).read(1)):
            try:
                call()
                results.append("returned")
            except corvalink.SerialException as e:
                results.append(str(e))
        os._exit(0 if set(results) == {"corvalink cannot be used in a child process created by fork()"} else 1)
    outcomes.append(os.waitpid(pid, 0)[1])
stop.set()
t.join()
print(outcomes)
"""
    out = subprocess.run([sys.executable, "-P", "-W", "ignore::DeprecationWarning", "-c", script],
                         capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([0] * 10)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_keyboard_interrupt_cancels_a_waiting_read(loop_port):
    s = loop_port
    s.timeout = None
    fired = []

    def interrupt():
        fired.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    later(0.3, interrupt)
    with pytest.raises(KeyboardInterrupt):
        s.read(10)
    assert time.monotonic() - fired[0] < 5
    # The aborted read released the port: it reads again.
    s.write(b"ok")
    s.timeout = 5
    assert s.read(2) == b"ok"


def test_blocking_call_in_a_done_callback_on_a_worker():
    aio = corvalink.aio
    if not hasattr(aio, "Serial") or not hasattr(getattr(aio, "Future", None), "add_done_callback"):
        pytest.skip("corvalink.aio.Serial is not built yet")
    blocking = Serial("loop://", timeout=5)
    port = aio.Serial("loop://")
    results = []
    done = threading.Event()

    def callback(fut):
        # Runs on the worker that finished the read.
        blocking.write(b"12")
        results.append(blocking.read(2))
        done.set()

    fut = port.read(1)
    fut.add_done_callback(callback)
    time.sleep(0.1)
    port.write(b"x")
    assert done.wait(10)
    assert results == [b"12"]


# --- subclasses ---

def test_subclass_overrides_are_called():
    calls = []

    class Port(Serial):
        __slots__ = ()

        def open(self):
            calls.append("open")
            super().open()

        def close(self):
            calls.append("close")
            super().close()

        @property
        def in_waiting(self):
            calls.append("in_waiting")
            return 2

        def read(self, size=1):
            calls.append(("read", size))
            return super().read(size)

    p = Port("loop://", timeout=0)
    assert calls == ["open"]
    p.write(b"abc")
    assert p.read_all() == b"ab"
    assert calls[1:] == ["in_waiting", ("read", 2)]
    with p:
        pass
    assert calls[-1] == "close"
    p.port = None
    with p:  # no name: neither opens nor fails
        pass
    failing = type("Failing", (Serial,), {"open": lambda self: 1 / 0})
    with pytest.raises(ZeroDivisionError):
        failing("loop://")


# --- serial_for_url ---

def test_serial_for_url():
    s = corvalink.serial_for_url("loop://")
    assert type(s) is Serial and s.is_open
    s = corvalink.serial_for_url("LOOP://anything")
    assert s.is_open and s.port == "LOOP://anything"
    s = corvalink.serial_for_url("loop://", do_not_open=True)
    assert not s.is_open and s.port == "loop://"
    s = corvalink.serial_for_url("loop://", 19200, timeout=1)
    assert (s.baudrate, s.timeout) == (19200, 1)
    s = corvalink.serial_for_url("COM3", do_not_open=True)
    assert not s.is_open and s.port == "COM3"
    s = corvalink.serial_for_url(None, do_not_open=True)
    assert s.port is None
    s = corvalink.serial_for_url(url="loop://")
    assert s.is_open


@pytest.mark.parametrize("args,kwargs,exc,message", [
    (("tcp://host:1",), {}, ValueError, "invalid URL, protocol 'tcp' not known"),
    (("Telnet://host:7000",), {}, ValueError, "invalid URL, protocol 'telnet' not known"),
    (("://x",), {}, ValueError, "invalid URL, protocol '' not known"),
    ((5,), {}, TypeError, "'int' object is not an instance of 'str'"),
    ((None,), {}, SerialException, "Port must be configured before it can be used."),
    (("loop://",), {"port": "x"}, TypeError, "Serial.__init__() got multiple values for argument 'port'"),
    ((), {}, TypeError, "serial_for_url() missing 1 required positional argument: 'url'"),
])
def test_serial_for_url_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        corvalink.serial_for_url(*args, **kwargs)
    assert str(info.value) == message


def test_serial_for_url_note_on_do_not_open():
    class Bad:
        def __bool__(self):
            raise RuntimeError("x")

    with pytest.raises(RuntimeError) as info:
        corvalink.serial_for_url("loop://", do_not_open=Bad())
    assert info.value.__notes__ == ["while processing 'do_not_open'"]


# --- concurrency ---

def test_many_threads_on_one_port_lose_no_byte():
    s = Serial("loop://", timeout=0.05)
    stop = threading.Event()
    writers_done = threading.Event()
    written = [0, 0]
    read = [0, 0]
    errors = []

    def guard(fn):
        def body(*args):
            try:
                fn(*args)
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
        return body

    @guard
    def writer(i):
        chunk = bytes(range(256)) * 3
        while not stop.is_set():
            # A cancelled write reports what it wrote, so the count stays exact.
            written[i] += s.write(chunk[: 1 + (written[i] % len(chunk))])

    @guard
    def reader(i):
        deadline = None
        while not writers_done.is_set() or sum(read) < sum(written):
            if writers_done.is_set():
                deadline = deadline or time.monotonic() + 10
                if time.monotonic() > deadline:
                    break
            read[i] += len(s.read(300))

    @guard
    def settings():
        n = 0
        while not stop.is_set():
            n += 1
            s.baudrate = 9600 + n % 7
            s.timeout = 0.05
            s.get_settings()
            s.rts = bool(n % 2)
            _ = s.in_waiting, s.cts, repr(s)

    @guard
    def canceller():
        while not stop.is_set():
            s.cancel_read()
            s.cancel_write()
            time.sleep(0.001)

    others = [threading.Thread(target=writer, args=(0,)), threading.Thread(target=writer, args=(1,)),
              threading.Thread(target=settings), threading.Thread(target=settings),
              threading.Thread(target=canceller), threading.Thread(target=canceller)]
    readers = [threading.Thread(target=reader, args=(0,)), threading.Thread(target=reader, args=(1,))]
    for t in others + readers:
        t.start()
    time.sleep(3)
    stop.set()
    for t in others:
        t.join(30)
    writers_done.set()
    for t in readers:
        t.join(30)
    assert not any(t.is_alive() for t in others + readers)
    assert errors == []
    assert sum(written) > 0
    assert sum(read) == sum(written)
    assert s.in_waiting == 0


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the interpreter's debug build")
def test_no_reference_growth():
    s = Serial("loop://", timeout=0)

    def batch(n):
        for i in range(n):
            s.write(b"ab\ncd")
            s.read(2)
            s.readline()
            s.read_until(b"d")
            s.baudrate = 9600 + i % 3
            s.timeout = 0 if i % 2 else 0.0
            s.get_settings()
            s.apply_settings({"parity": "E" if i % 2 else "N"})
            repr(s)
            try:
                s.parity = "x"
            except ValueError:
                pass

    batch(200)
    before = sys.gettotalrefcount()
    batch(2000)
    after = sys.gettotalrefcount()
    assert after - before < 100


class PlainSubclass(Serial):
    """Inherits open and close, and has an attribute dictionary."""


@pytest.mark.parametrize("cls", [Serial, PlainSubclass])
def test_port_changes_from_several_threads_never_fail(cls):
    # Changing the port (the setter, or __init__ run again) must never fail
    # while other threads change it too, or open and close it: in any order
    # of the calls a change ends with the port open and raises nothing. Only
    # open() may find the port already open.
    p = cls("loop://", timeout=0.01)
    stop = threading.Event()
    errors = []

    def changer(k):
        try:
            while not stop.is_set():
                if k % 2:
                    p.port = "loop://"
                else:
                    p.__init__("loop://", timeout=0.01)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    def open_close():
        try:
            while not stop.is_set():
                p.close()
                try:
                    p.open()
                except SerialException as e:
                    if str(e) != "Port is already open.":
                        raise
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=changer, args=(k,)) for k in range(4)]
    threads.append(threading.Thread(target=open_close))
    for t in threads:
        t.start()
    time.sleep(1)
    stop.set()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert p.is_open
    p.write(b"still works")
    assert p.read(11) == b"still works"
    p.close()
