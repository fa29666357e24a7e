"""corvalink.aio: the asynchronous Serial, its Future, and awaiting it.

The asyncio tests run on the default event loop and on uvloop: a second,
independent loop implementation shows that the futures rely on nothing but
the public loop API.
"""

import asyncio
import contextvars
import gc
import os
import signal
import subprocess
import sys
import threading
import time
import types
import weakref

import pytest

import corvalink
from corvalink import aio

LOOPS = ["asyncio"]
try:
    import uvloop

    LOOPS.append("uvloop")
except ImportError:  # pragma: no cover - the development root has it
    uvloop = None


def new_loop(kind):
    return uvloop.new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()


@pytest.fixture(params=LOOPS)
def run(request):
    """Runs a coroutine function to its end on a fresh loop of each kind."""

    def runner(fn, *args):
        with asyncio.Runner(loop_factory=lambda: new_loop(request.param)) as r:
            return r.run(fn(*args))

    return runner


@pytest.fixture
def port():
    s = aio.Serial("loop://", timeout=1)
    yield s
    s.close()


async def iterations(fn):
    """Runs fn() and counts the loop iterations a sibling task saw meanwhile."""
    count = 0
    stop = False

    async def ticker():
        nonlocal count
        while not stop:
            count += 1
            await asyncio.sleep(0)

    t = asyncio.ensure_future(ticker())
    await asyncio.sleep(0)
    start = count
    try:
        result = await fn()
    finally:
        stop = True
        await t
    return result, count - start


# --- the port class -----------------------------------------------------------------------------


def test_class_and_module_members():
    assert aio.__all__[:3] == ["Future", "Serial", "serial_for_url"]
    assert issubclass(aio.Serial, corvalink.SerialBase)
    assert not issubclass(aio.Serial, corvalink.Serial)
    assert aio.Serial.__module__ == "corvalink.aio"
    assert aio.Serial.__doc__.startswith("Serial port whose I/O methods return futures.")
    assert aio.Serial.__text_signature__ == corvalink.Serial.__text_signature__
    for name in ("readinto", "readable", "writable", "seekable", "closed", "__enter__", "__iter__"):
        assert not hasattr(aio.Serial, name), name
    assert aio.Serial.read.__text_signature__ == "($self, size=1)"
    assert aio.Serial.read_until.__text_signature__ == "(self, /, expected=b'\\n', size=None)"
    assert aio.Serial.__aexit__.__text_signature__ == "($self, *_args)"
    assert aio.serial_for_url.__doc__ == (
        "Returns an `corvalink.aio.Serial` for `url`, which is a device name, `loop://`, `socket://HOST:PORT` or "
        "`rfc2217://HOST:PORT[?timeout=SECONDS]`."
    )


def test_write_runs_as_a_task_and_a_buffered_read_finishes_at_once(port):
    w = port.write(b"abc")
    assert isinstance(w, aio.Future)
    assert w.wait(5) == 3
    r = port.read(3)
    assert r.done() and r.result() == b"abc"
    port.write(b"x\ny\n").wait(5)
    assert port.readlines().wait(5) == [b"x\n", b"y\n"]  # ends with the timeout
    port.write(b"ab;cd").wait(5)
    assert port.read_until(b";").result() == b"ab;"
    assert port.read_all().result() == b"cd"
    assert port.flush().wait(5) is None


def test_errors_at_the_call_and_in_the_future():
    closed = aio.Serial()
    f = closed.read()
    assert f.done()
    with pytest.raises(corvalink.PortNotOpenError, match="Attempting to use a port that is not open"):
        f.result()
    with pytest.raises(corvalink.PortNotOpenError):
        closed.read_all()


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda s: s.read(-1), OverflowError, None),
        (lambda s: s.write(5), TypeError, "a bytes-like object or str is required, not 'int'"),
        (lambda s: s.readline(size="x"), TypeError, None),
        (lambda s: s.send_break(duration="x"), TypeError, None),
    ],
)
def test_conversion_errors_raise_at_the_call(port, call, exc, text):
    with pytest.raises(exc) as info:
        call(port)
    if text:
        assert str(info.value) == text


def test_timeout_and_cancel_read_end_a_pending_read():
    s = aio.Serial("loop://", timeout=0.3)
    t0 = time.monotonic()
    f = s.read(10)
    assert not f.done()
    assert f.wait(5) == b""
    assert 0.25 <= time.monotonic() - t0 < 2
    s.timeout = None
    f = s.read(10)
    s.cancel_read()
    assert f.wait(5) == b""
    s.close()


def test_serial_for_url_gives_an_open_port_that_is_not_awaitable():
    s = aio.serial_for_url("loop://", timeout=0.5)
    assert type(s) is aio.Serial and s.is_open and s.timeout == 0.5
    assert not hasattr(s, "__await__")
    s.close()


def test_async_with_binds_the_instance_and_closes(run):
    async def main():
        s = aio.Serial("loop://", timeout=1)
        s.close()
        entered = s.__aenter__()
        assert entered.done()
        async with s as bound:
            assert bound is s and s.is_open
            assert await s.write(b"hello\n") == 6
            assert await s.readline() == b"hello\n"
        assert not s.is_open
        assert s.__aexit__(None, None, None).done()

    run(main)


def test_stored_cancel_never_voids_a_read_that_finds_data(port):
    port.write(b"x" * 300).wait(5)
    for _ in range(300):
        port.cancel_read()
        assert port.read(1).result() == b"x"


# --- Future -------------------------------------------------------------------------------------


def test_future_class():
    with pytest.raises(TypeError):
        aio.Future()
    alias = aio.Future[bytes]
    assert isinstance(alias, types.GenericAlias) and alias.__origin__ is aio.Future
    assert aio.Future.__doc__ == "A port operation running on the runtime."
    assert aio.Future.wait.__text_signature__ == "($self, timeout=None)"
    assert aio.Future.add_done_callback.__text_signature__ == "($self, fn, /, *, context=None)"


def test_pending_and_cancelled_states(port):
    f = port.read(1)
    assert not f.done()
    with pytest.raises(asyncio.InvalidStateError, match=r"^Result is not ready\.$"):
        f.result()
    with pytest.raises(asyncio.InvalidStateError, match=r"^Exception is not set\.$"):
        f.exception()
    assert f.cancel() is True
    assert f.cancel() is False
    assert f.done() and f.cancelled()
    for get in (f.result, f.exception, f.wait):
        with pytest.raises(asyncio.CancelledError):
            get()
    # The aborted read released the read side: the next read gets the data.
    port.write(b"z").wait(5)
    assert port.read(1).wait(5) == b"z"


def test_failed_future_keeps_one_exception_with_a_fresh_traceback():
    f = aio.Serial().read()
    errors = []
    for _ in range(2):
        try:
            f.result()
        except corvalink.PortNotOpenError as e:
            errors.append(e)
            assert e.__traceback__.tb_next is None  # only the frame that raised it here
    assert errors[0] is errors[1] is f.exception()
    assert not f.cancelled() and f.cancel() is False


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), 0.0])
def test_wait_without_time_left_raises_at_once(port, timeout):
    f = port.read(1)
    t0 = time.monotonic()
    with pytest.raises(TimeoutError, match="^the operation did not finish within the timeout$"):
        f.wait(timeout)
    assert time.monotonic() - t0 < 0.5
    f.cancel()
    assert port.write(b"q").wait(timeout=float("inf")) == 1
    assert port.read(1).wait(0) == b"q"


def test_wait_rejects_a_timeout_that_is_not_a_number(port):
    with pytest.raises(TypeError) as info:
        port.read(1).wait("soon")
    assert "while processing 'timeout'" in info.value.__notes__


@pytest.mark.parametrize("timeout", [float("inf"), 1e30, None])
def test_wait_without_deadline_from_a_plain_thread(port, timeout):
    f = port.read(2)
    threading.Timer(0.1, lambda: port.write(b"ok")).start()
    assert f.wait(timeout) == b"ok"


def test_ctrl_c_interrupts_wait(port):
    f = port.read(1)
    threading.Timer(0.2, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)).start()
    t0 = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        f.wait()
    assert time.monotonic() - t0 < 2
    assert not f.done()
    f.cancel()


def test_done_callbacks_off_loop(port):
    var = contextvars.ContextVar("var", default="unset")
    seen = []

    def record(fut):
        seen.append((fut, threading.current_thread() is threading.main_thread(), var.get()))

    f = port.read(1)
    var.set("registered")
    f.add_done_callback(record)
    f.add_done_callback(record, context=contextvars.Context())
    var.set("later")
    port.write(b"!").wait(5)
    f.wait(5)
    deadline = time.monotonic() + 5
    while len(seen) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    # Run by the worker that finished the read, each in its own context.
    assert seen == [(f, False, "registered"), (f, False, "unset")]
    # On a finished future the callback runs before add_done_callback returns.
    seen.clear()
    f.add_done_callback(record)
    assert seen == [(f, True, "later")]


def test_callback_errors_are_unraisable_and_the_others_still_run(port, monkeypatch):
    reports, ran = [], []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u))

    def bad(_):
        raise ValueError("boom")

    f = port.read(1)
    f.add_done_callback(bad)
    f.add_done_callback(ran.append)
    port.write(b"!").wait(5)
    f.wait(5)
    deadline = time.monotonic() + 5
    while not ran and time.monotonic() < deadline:
        time.sleep(0.01)
    assert ran == [f]
    assert [type(u.exc_value) for u in reports] == [ValueError]
    assert reports[0].object is bad


def test_remove_done_callback_counts_registrations(port):
    f = port.read(1)

    def cb(_):
        pass

    f.add_done_callback(cb)
    f.add_done_callback(cb)
    f.add_done_callback(print)
    assert f.remove_done_callback(cb) == 2
    assert f.remove_done_callback(cb) == 0
    f.cancel()
    assert f.remove_done_callback(print) == 0  # a finished future holds no registrations

    class Raises:
        def __call__(self, _):
            pass

        def __eq__(self, other):
            raise RuntimeError("no comparison")

    g = port.read(1)
    g.add_done_callback(Raises())
    with pytest.raises(RuntimeError, match="no comparison"):
        g.remove_done_callback(cb)
    g.cancel()


def test_dropped_read_runs_on_and_gives_back_what_nobody_received(port):
    port.read(2)  # dropped at once: the read still takes its place and runs
    gc.collect()
    port.write(b"ab").wait(5)
    port.write(b"c").wait(5)
    # Nobody received what the dropped read took: the next read gets it, first.
    assert port.read(3).wait(5) == b"abc"


# --- awaiting -----------------------------------------------------------------------------------


def test_await_finished_value_takes_one_iteration_and_an_error_none(run):
    async def main():
        s = aio.Serial("loop://", timeout=1)
        await s.write(b"abc")
        value, n = await iterations(lambda: s.read(3))
        assert (value, n) == (b"abc", 1)
        s.close()
        failed = s.read(1)

        async def await_failed():
            with pytest.raises(corvalink.PortNotOpenError):
                await failed

        _, n = await iterations(await_failed)
        assert n == 0

    run(main)


def test_await_pending_future(run):
    async def main():
        s = aio.Serial("loop://", timeout=2)
        f = s.read(5)
        assert not f.done()
        asyncio.get_running_loop().call_later(0.05, lambda: s.write(b"later"))
        assert await f == b"later"
        s.close()

    run(main)


def test_future_cancel_reaches_the_awaiting_task(run):
    async def main():
        s = aio.Serial("loop://", timeout=None)
        f = s.read(1)
        t = asyncio.ensure_future(_await(f))
        await asyncio.sleep(0.01)
        assert f.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        s.close()

    run(main)


async def _await(f):
    return await f


def test_cancelling_the_task_cancels_the_operation(run):
    async def main():
        s = aio.Serial("loop://", timeout=None)
        f = s.read(1)
        t = asyncio.ensure_future(_await(f))
        await asyncio.sleep(0.01)
        t.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        assert f.cancelled()
        # The read side is free for the next reader.
        await s.write(b"n")
        assert await asyncio.wait_for(_await(s.read(1)), 5) == b"n"
        s.close()

    run(main)


def test_one_future_awaited_from_two_loops(port):
    f = port.read(4)
    results = {}

    def waiter(kind):
        async def main():
            return await f

        loop = new_loop(kind)
        try:
            results[threading.current_thread().name] = loop.run_until_complete(main())
        finally:
            loop.close()

    threads = [threading.Thread(target=waiter, args=(LOOPS[i % len(LOOPS)],), name=f"t{i}") for i in range(2)]
    for t in threads:
        t.start()
    time.sleep(0.1)
    port.write(b"both").wait(5)
    for t in threads:
        t.join(5)
    assert results == {"t0": b"both", "t1": b"both"}


def test_closed_loop_waiter_is_dropped_silently(port, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u))
    f = port.read(1)
    loop = asyncio.new_event_loop()
    task = loop.create_task(_await(f))
    loop.run_until_complete(asyncio.sleep(0.01))
    loop.close()
    port.write(b"!").wait(5)
    assert f.wait(5) == b"!"
    time.sleep(0.05)
    assert reports == []
    assert not task.done()


def test_await_outside_a_loop_raises():
    f = aio.Serial().read()
    with pytest.raises(RuntimeError):
        f.__await__()


# --- Ready ----------------------------------------------------------------------------------------


def test_ready_steps_and_throw(run):
    async def main():
        s = aio.Serial("loop://")
        await s.write(b"r")
        r = s.read(1).__await__()
        assert type(r).__name__ == "Ready"
        assert next(r) is None
        for _ in range(2):
            with pytest.raises(StopIteration) as info:
                next(r)
            assert info.value.value == b"r"
        with pytest.raises(ValueError) as info:
            r.throw(ValueError)
        assert info.value.args == ()
        e = ValueError("x")
        with pytest.raises(ValueError) as info:
            r.throw(e)
        assert info.value is e
        with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
            r.throw(42)
        assert r.close() is None
        with pytest.raises(TypeError):
            type(r)()
        s.close()

    run(main)


# --- threads ----------------------------------------------------------------------------------------


def test_threads_start_only_for_a_task():
    script = r"""
import os
from corvalink import aio
def ours():
    return sum(open(f"/proc/self/task/{t}/comm").read().strip() == "corvalink" for t in os.listdir("/proc/self/task"))
s = aio.Serial("loop://", timeout=0)
import time
counts = [ours() if s.read(3).result() == b"" else -1]
assert s.write(b"abc").wait(5) == 3
deadline = time.monotonic() + 5  # a new thread names itself once it runs
while ours() < 2 and time.monotonic() < deadline:
    time.sleep(0.01)
counts.append(ours())
print(counts)
"""
    out = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=30,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["[0,", "2]"]  # then the two workers


# --- call order, and what cancellation keeps ------------------------------------------------------


def test_writes_take_their_places_in_call_order(run):
    async def main():
        s = aio.Serial("loop://", timeout=None)
        reader = aio.Serial("loop://")  # a second port only to show the order on one ring is ours
        reader.close()
        for _ in range(30):
            frames = [b"%03d;" % i for i in range(40)]
            futures = [s.write(f) for f in frames]
            assert not any(f.done() for f in futures)  # pending on return, placed already
            flushed = s.flush()
            got = await s.read(len(b"".join(frames)))
            assert got == b"".join(frames)
            assert await asyncio.gather(*futures) == [4] * 40
            await flushed
            assert all(f.done() for f in futures)
        s.close()

    run(main)


def test_a_flush_finishes_after_the_write_before_it(pty_echo_free):
    s = aio.Serial(pty_echo_free.name, timeout=None)
    w = s.write(b"w" * 200_000)  # more than the terminal holds: it waits for the reader
    f = s.flush()
    reader = threading.Thread(target=pty_echo_free.drain, args=(200_000,))
    reader.start()
    assert f.wait(10) is None
    assert w.done() and w.result() == 200_000
    reader.join(10)
    s.close()


@pytest.fixture
def pty_echo_free():
    """A raw pseudo-terminal whose other side the test reads itself."""
    import tty

    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)

    class Pty:
        name = os.ttyname(slave)

        @staticmethod
        def drain(n):
            got = 0
            while got < n:
                got += len(os.read(master, 65536))

        @staticmethod
        def send(data):
            os.write(master, data)

        @staticmethod
        def hang_up():
            os.close(master)

    yield Pty
    for fd in (master, slave):
        try:
            os.close(fd)
        except OSError:
            pass


# --- reads that wait on the event loop's own poller ---------------------------------------------


def _read_started_on(loop, s, size):
    """Starts s.read(size) from a coroutine of loop, which then stops."""

    async def start():
        f = s.read(size)
        await asyncio.sleep(0.02)
        assert not f.done()
        return f

    return loop.run_until_complete(start())


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("receiver", ["wait", "callback off the loop", "another loop", "the loop closes"])
def test_a_read_waiting_on_a_loop_that_stopped_finishes_for_whoever_needs_it(pty_echo_free, loop_kind, receiver):
    # A read started on a loop's thread waits through that loop; while the
    # loop does not run, a receiver elsewhere still gets its outcome.
    s = aio.Serial(pty_echo_free.name, timeout=None)
    loop = new_loop(loop_kind)
    try:
        f = _read_started_on(loop, s, 5)
        if receiver == "the loop closes":
            loop.close()
        pty_echo_free.send(b"hello")
        if receiver in ("wait", "the loop closes"):
            assert f.wait(5) == b"hello"
        elif receiver == "callback off the loop":
            called = threading.Event()
            f.add_done_callback(lambda _: called.set())
            assert called.wait(5) and f.result() == b"hello"
        else:
            other = new_loop(loop_kind)
            try:
                assert other.run_until_complete(asyncio.wait_for(_await(f), 5)) == b"hello"
            finally:
                other.close()
    finally:
        loop.close()
        s.close()


def test_awaited_reads_on_a_terminal_run_no_thread_of_ours():
    script = r"""
import asyncio, os, sys, tty
from corvalink import aio
def ours():
    return sum(open(f"/proc/self/task/{t}/comm").read().strip() == "corvalink" for t in os.listdir("/proc/self/task"))
master, slave = os.openpty()
tty.setraw(master)
async def main():
    s = aio.Serial(os.ttyname(slave), timeout=None)
    loop = asyncio.get_running_loop()
    for i in range(50):
        f = s.read(6)
        loop.call_later(0.001, os.write, master, b"%06d" % i)
        assert await f == b"%06d" % i
        assert await s.write(b"ack") == 3
        assert os.read(master, 3) == b"ack"
    s.close()
if sys.argv[1] == "uvloop":
    import uvloop
    uvloop.run(main())
else:
    asyncio.run(main())
print(ours())
"""
    for kind in LOOPS:
        out = subprocess.run([sys.executable, "-P", "-c", script, kind], capture_output=True, text=True, timeout=60,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        assert out.returncode == 0, out.stderr
        assert out.stdout.split() == ["0"], kind


@pytest.mark.parametrize("end", ["close from a thread", "hang-up"])
def test_a_read_waiting_on_the_loop_ends_with_its_port_and_the_loop_goes_on(run, pty_echo_free, end):
    async def main():
        s = aio.Serial(pty_echo_free.name, timeout=None)
        f = s.read(5)
        await asyncio.sleep(0.02)
        if end == "hang-up":
            pty_echo_free.hang_up()
        else:
            threading.Thread(target=s.close).start()
        with pytest.raises(corvalink.SerialException):
            await asyncio.wait_for(f, 5)
        if end == "hang-up":
            return
        # Opened again (the same descriptor number, most likely), a read
        # waits through the loop again.
        s.open()
        g = s.read(2)
        asyncio.get_running_loop().call_later(0.02, pty_echo_free.send, b"ok")
        assert await asyncio.wait_for(g, 5) == b"ok"
        s.close()

    run(main)


def _abandon_a_loop_with(loop_kind, start):
    """Runs start() on a new loop in a thread that ends without closing it."""
    loop = None

    def body():
        nonlocal loop
        loop = new_loop(loop_kind)
        loop.run_until_complete(start())

    t = threading.Thread(target=body)
    t.start()
    t.join(10)
    ref = weakref.ref(loop)
    loop = None
    return ref


def _descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("data", ["before the collection", "after the collection"])
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_a_loop_left_without_close_is_collected_and_its_stranded_read_gives_its_bytes_back(
        pty_echo_free, loop_kind, data):
    # The read waits on the abandoned loop's own poller; only that loop could
    # have finished it. The loop is collected as it would be without the read
    # (uvloop keeps descriptors of its own: the same number either way), and
    # the read gives the read side and its bytes back to the next reader.
    s = aio.Serial(pty_echo_free.name, timeout=None)

    async def ours():
        asyncio.ensure_future(s.read(4))
        await asyncio.sleep(0.02)

    async def plain():
        asyncio.ensure_future(asyncio.sleep(3600))
        await asyncio.sleep(0.02)

    def growth(start):
        gc.collect()
        before = _descriptors()
        refs = [_abandon_a_loop_with(loop_kind, start) for _ in range(3)]
        gc.collect()
        assert [r() for r in refs] == [None] * 3
        return _descriptors() - before

    _abandon_a_loop_with(loop_kind, plain)  # the loop kind's first use is not measured
    assert growth(ours) == growth(plain)
    if data == "before the collection":
        _abandon_a_loop_with(loop_kind, ours)
        pty_echo_free.send(b"abcd")
        time.sleep(0.05)
        gc.collect()
    else:
        pty_echo_free.send(b"abcd")
    assert s.read(4).wait(5) == b"abcd"
    pty_echo_free.send(b"efgh")
    assert s.read(4).wait(5) == b"efgh"
    s.close()


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("child", ["close", "drop"])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with the runtime's threads alive
def test_a_forked_child_that_lets_go_of_its_copy_leaves_the_parents_awaited_read_alone(
        pty_echo_free, loop_kind, child):
    async def main():
        s = aio.Serial(pty_echo_free.name, timeout=None)
        t = asyncio.ensure_future(_await(s.read(4)))
        await asyncio.sleep(0.02)  # armed in the loop's own set
        pid = os.fork()
        if pid == 0:
            try:
                if child == "close":
                    s.close()
                else:
                    del s
                    gc.collect()
            finally:
                os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        pty_echo_free.send(b"abcd")
        assert await asyncio.wait_for(t, 5) == b"abcd"
        s.close()

    with asyncio.Runner(loop_factory=lambda: new_loop(loop_kind)) as r:
        r.run(main())


async def _cancel_in_the_yield(kind, s):
    # The read finds its bytes at once; the await of its finished future
    # yields once, and the cancellation lands in that yield.
    try:
        if kind == "timeout":
            async with asyncio.timeout(0):
                await s.read(4)
        elif kind == "wait_for":
            await asyncio.wait_for(s.read(4), 0)
        else:
            t = asyncio.ensure_future(_await(s.read(4)))
            await asyncio.sleep(0)
            t.cancel()
            await t
    except (TimeoutError, asyncio.CancelledError):
        return True
    return False


@pytest.mark.parametrize("kind", ["timeout", "wait_for", "task.cancel"])
def test_a_cancelled_await_of_finished_read_gives_the_bytes_back(run, kind):
    async def main():
        s = aio.Serial("loop://", timeout=None)
        await s.write(b"DATA")
        assert await _cancel_in_the_yield(kind, s)
        assert s.in_waiting == 4
        await s.write(b"MORE")
        assert await s.read(8) == b"DATAMORE"
        s.close()

    run(main)


async def _until(predicate):
    for _ in range(500):
        if predicate():
            return
        await asyncio.sleep(0.01)
    raise AssertionError("not within 5 s")


@pytest.mark.parametrize(
    "device, given_back_by",
    [("loop://", "a dropped future"), ("pty", "a dropped future"), ("loop://", "an await cancelled before its wake-up")],
)
def test_bytes_given_back_wake_the_read_that_already_waits(run, pty_echo_free, device, given_back_by):
    # The bytes go back while the next read already waits for the device:
    # that read takes them at once, not when the device next has something.
    async def main():
        s = aio.Serial(pty_echo_free.name if device == "pty" else "loop://", timeout=None)
        send = pty_echo_free.send if device == "pty" else (lambda data: s.write(data).wait(5))
        if given_back_by == "a dropped future":
            first = s.read(4)
            await asyncio.sleep(0.02)
            send(b"DATA")
            await _until(first.done)
            second = s.read(4)
            await asyncio.sleep(0.05)  # waits for the device now
            del first
        else:
            a = asyncio.ensure_future(_await(s.read(4)))
            second = asyncio.ensure_future(_await(s.read(4)))
            await asyncio.sleep(0.02)
            send(b"DATA")  # a's read finishes on a worker; its wake-up waits for the loop
            time.sleep(0.1)  # the loop is busy meanwhile: b's read takes the side and waits
            a.cancel()
            with pytest.raises(asyncio.CancelledError):
                await a
        assert await asyncio.wait_for(second, 5) == b"DATA"
        assert s.in_waiting == 0
        s.close()

    run(main)


@pytest.mark.parametrize("other", ["another task awaits it", "it has a done-callback", "it was seen done"])
def test_one_awaiter_cancelled_leaves_a_finished_future_to_the_others(run, other):
    # Only an outcome nobody receives goes back: with anyone else interested
    # the cancelled await just stops awaiting, as with an asyncio future.
    async def main():
        s = aio.Serial("loop://", timeout=None)
        await s.write(b"DATA")
        f = s.read(4)
        if other == "it has a done-callback":
            called = []
            f.add_done_callback(called.append)
        elif other == "it was seen done":
            assert f.done()

        async def cancelled_await():
            async with asyncio.timeout(0):
                await f

        b = asyncio.ensure_future(cancelled_await())
        a = asyncio.ensure_future(_await(f)) if other == "another task awaits it" else None
        with pytest.raises(TimeoutError):
            await b
        if a is not None:
            assert await a == b"DATA"
        assert not f.cancelled() and f.result() == b"DATA"
        assert await asyncio.to_thread(f.wait, 5) == b"DATA"
        if other == "it has a done-callback":
            await _until(lambda: called == [f])
        assert s.in_waiting == 0  # nothing given back: nothing twice
        s.close()

    run(main)


def test_a_finished_read_nobody_awaited_keeps_its_bytes_until_dropped(port):
    port.write(b"kept").wait(5)
    f = port.read(4)
    assert f.done() and port.in_waiting == 0  # the future holds them: f.result() gives them
    del f
    assert port.in_waiting == 4
    assert port.read(4).result() == b"kept"


@pytest.mark.parametrize(
    "start, sent, rest",
    [
        (lambda s: s.read(10), b"12345", b"67890"),
        (lambda s: s.readline(), b"no newline", b" yet\n"),
        (lambda s: s.read_until(b"END"), b"almost EN", b"D"),
        (lambda s: s.readlines(), b"a\nb\nc", b"\n"),
    ],
)
def test_a_cancelled_pending_read_gives_back_what_it_took(run, start, sent, rest):
    async def main():
        s = aio.Serial("loop://", timeout=None)
        f = start(s)
        await s.write(sent)
        await asyncio.sleep(0.05)  # the read took what came and waits for more
        assert s.in_waiting == 0
        t = asyncio.ensure_future(_await(f))
        await asyncio.sleep(0.01)
        t.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        assert f.cancelled()
        assert s.in_waiting == len(sent)
        await s.write(rest)
        assert await s.read(len(sent + rest)) == sent + rest
        s.close()

    run(main)


def test_cancel_returns_true_only_for_a_read_that_took_nothing():
    # A cancel racing the bytes' arrival: either the read was cancelled and
    # the bytes are still in the port, or it finished with them.
    s = aio.Serial("loop://", timeout=None)
    writer = aio.Serial("loop://")
    writer.close()
    received = b""
    for i in range(2000):
        f = s.read(2)
        frame = b"%02d" % (i % 100)
        w = s.write(frame)
        if f.cancel():
            received += s.read(2).wait(5)
        else:
            received += f.result()
        w.wait(5)
    assert received == b"".join(b"%02d" % (i % 100) for i in range(2000))
    assert s.in_waiting == 0
    s.close()


def test_a_cancelled_write_never_goes_out_and_one_that_moved_bytes_says_how_many():
    s = aio.Serial("loop://", timeout=0.01)
    s.write(b"-" * 4096).wait(5)  # the ring is full: each write below waits for the reader
    stop = threading.Event()
    got = bytearray()

    def reader():
        while not stop.is_set() or s.in_waiting:
            got.extend(s.read(700).wait(5))

    t = threading.Thread(target=reader)
    t.start()
    expected = b"-" * 4096
    for i in range(300):
        data = b"%03d" % i * 100
        w = s.write(data)
        time.sleep(0.0002 * (i % 7))
        if not w.cancel():
            expected += data[: w.wait(5)]  # it went out (in part): exactly that much
    stop.set()
    t.join(10)
    assert bytes(got) == expected
    s.close()


def test_async_with_cancelled_at_entry_closes_the_port_it_opened(run):
    async def main():
        s = aio.serial_for_url("loop://", do_not_open=True)
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0):
                async with s:
                    pytest.fail("the body never runs")
        assert not s.is_open
        s.open()  # a port that was open stays open
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0):
                async with s:
                    pass
        assert s.is_open
        s.close()

    run(main)


def test_waits_inside_callbacks_never_stall_the_runtime():
    # Callbacks registered outside a loop run on our workers; both of them
    # waiting for an operation that needs a worker (a timeout) must not hang.
    a, b = aio.Serial("loop://", timeout=None), aio.Serial("loop://", timeout=None)
    c = aio.Serial("loop://", timeout=0.2)
    results = []
    done = threading.Event()

    def waits(_f):
        results.append(c.read(1).wait(10))
        if len(results) == 2:
            done.set()

    fa, fb = a.read(1), b.read(1)
    fa.add_done_callback(waits)
    fb.add_done_callback(waits)
    a.write(b"x")
    b.write(b"y")
    assert done.wait(10)
    assert results == [b"", b""]
    for s in (a, b, c):
        s.close()


def test_a_hang_up_ends_every_pending_operation_with_the_hang_up(pty_echo_free):
    # One operation sees the hang-up and closes the port; the others, ended
    # by that close, report the hang-up too, not a closed port: also those
    # still queued for their side, which find the port closed when their
    # turn comes.
    s = aio.Serial(pty_echo_free.name, timeout=None)
    # The first write waits for a reader that never comes.
    pending = [s.read(10), s.read(10), s.write(b"w" * 1_000_000), s.write(b"queued")]
    time.sleep(0.05)
    pty_echo_free.hang_up()
    for f in pending:
        with pytest.raises(corvalink.SerialException) as info:
            f.wait(10)
        assert not isinstance(info.value, corvalink.PortNotOpenError)
    assert not s.is_open
    with pytest.raises(corvalink.PortNotOpenError):
        s.read(1).result()


@pytest.mark.parametrize(
    "where, exc",
    [
        ("a task resumed by a read", SystemExit),
        ("a task resumed by a read", KeyboardInterrupt),
        ("data_received, loop://", SystemExit),
        ("data_received, pty", KeyboardInterrupt),
        ("connection_lost", SystemExit),
    ],
)
def test_system_exit_and_keyboard_interrupt_leave_the_loop(run, pty_echo_free, where, exc):
    # As from asyncio's own callbacks: they stop the loop, they are not
    # reported as unraisable or to the exception handler.
    reports = []

    class Raising(asyncio.Protocol):
        def data_received(self, data):
            raise exc(3)

        def connection_lost(self, error):
            if where == "connection_lost":
                raise exc(3)

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda _loop, context: reports.append(context))
        if where == "a task resumed by a read":
            s = aio.Serial("loop://", timeout=None)

            async def reader():
                await s.read(1)
                raise exc(3)

            asyncio.ensure_future(reader())
            await asyncio.sleep(0.02)
            threading.Thread(target=lambda: s.write(b"x").wait(5)).start()  # finished off the loop's thread
        else:
            device = pty_echo_free.name if where.endswith("pty") else "loop://"
            transport, _ = await aio.connection_for_serial(loop, Raising, corvalink.Serial(device))
            if where == "connection_lost":
                transport.close()
            elif device == "loop://":
                transport.serial.write(b"x")
            else:
                pty_echo_free.send(b"x")
        await asyncio.sleep(5)  # stopped long before

    with pytest.raises(exc):
        run(main)
    # As for any task that ends so: asyncio reports its exception unretrieved.
    assert all(r["message"] == "Task exception was never retrieved" for r in reports)


def test_dropping_the_port_object_closes_it_and_ends_its_reads():
    before = len(os.listdir("/proc/self/fd"))
    s = aio.Serial("loop://", timeout=None)
    f = s.read(10)
    del s
    gc.collect()
    with pytest.raises(corvalink.PortNotOpenError):
        f.wait(5)
    import tty

    master, slave = os.openpty()
    tty.setraw(slave)
    p = aio.Serial(os.ttyname(slave), timeout=None)
    g = p.read(10)
    del p
    with pytest.raises(corvalink.PortNotOpenError):
        g.wait(5)
    os.close(master)
    os.close(slave)
    assert len(os.listdir("/proc/self/fd")) <= before


def _fail_once(s):
    f = s.read(1)
    s.close()
    try:
        f.wait(5)
    except corvalink.PortNotOpenError:
        pass  # the exception keeps its traceback, which keeps this frame, which keeps f
    s.open()


def test_failed_operations_are_collected():
    s = aio.Serial("loop://", timeout=None)
    gc.collect()
    for _ in range(2000):
        _fail_once(s)
    gc.collect()
    kept = [o for o in gc.get_objects() if type(o) in (aio.Future, corvalink.PortNotOpenError)]
    assert kept == []
    s.close()


def test_callbacks_sharing_a_context_run_one_at_a_time(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u))
    ctx = contextvars.copy_context()
    running, overlap, calls = [0], [False], []
    lock = threading.Lock()

    def cb(_f):
        with lock:
            running[0] += 1
            overlap[0] |= running[0] > 1
        time.sleep(0.001)
        with lock:
            running[0] -= 1
            calls.append(1)

    ports = [aio.Serial("loop://", timeout=None) for _ in range(8)]
    futures = [p.read(1) for p in ports for _ in range(10)]
    for f in futures:
        f.add_done_callback(cb, context=ctx)
    for p in ports:
        p.write(b"x" * 10)
    for f in futures:
        f.wait(5)
    deadline = time.monotonic() + 10
    while len(calls) < len(futures) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(calls) == len(futures) and not overlap[0] and reports == []
    for p in ports:
        p.close()


def test_the_interpreter_exits_while_outcomes_are_published():
    script = r"""
import threading
from corvalink import aio
ports = [aio.Serial("loop://", timeout=None) for _ in range(50)]
futures = [p.read(1) for p in ports for _ in range(20)]
for f in futures:
    f.add_done_callback(lambda f: None)
def writer():
    for p in ports:
        p.write(b"x" * 20)
threading.Thread(target=writer, daemon=True).start()
"""
    for _ in range(5):
        out = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=60,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        assert out.returncode == 0, out.stderr
