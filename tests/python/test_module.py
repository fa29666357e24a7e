import importlib
import subprocess
import sys
import textwrap

import pytest

import corvalink
import corvalink._corvalink as native

MAIN_ALL = [
    "__version__", "PARITY_NONE", "PARITY_EVEN", "PARITY_ODD", "PARITY_MARK", "PARITY_SPACE",
    "PARITY_NAMES", "STOPBITS_ONE", "STOPBITS_ONE_POINT_FIVE", "STOPBITS_TWO", "FIVEBITS",
    "SIXBITS", "SEVENBITS", "EIGHTBITS", "XON", "XOFF", "CR", "LF", "SerialException",
    "SerialTimeoutException", "PortNotOpenError", "Baudrate", "SerialBase", "Serial",
    "serial_for_url", "aio", "tools",
]
AIO_ALL = [
    "Future", "Serial", "serial_for_url", "SerialTransport", "create_serial_connection",
    "connection_for_serial", "open_serial_connection",
]


def present(names, module):
    # Names whose classes or functions exist in this build, in order.
    return [n for n in names if n == "__version__" or hasattr(module, n) or n == "SerialTransport"]


def test_main_namespace_order():
    assert native.__all__ == present(MAIN_ALL, native)
    assert corvalink.__all__ == native.__all__
    # Everything that is always there, in its place.
    assert native.__all__[:22] == MAIN_ALL[:22]
    assert native.__all__[-2:] == ["aio", "tools"]


def test_submodules_are_registered():
    import corvalink.aio
    import corvalink.tools
    import corvalink.tools.list_ports

    assert sys.modules["corvalink.aio"] is native.aio
    assert sys.modules["corvalink.tools"] is native.tools
    assert sys.modules["corvalink.tools.list_ports"] is native.tools.list_ports
    assert native.tools.__all__ == ["list_ports"]
    assert native.tools.list_ports is corvalink.tools.list_ports
    # corvalink.rs485 is registered and bound on the package, outside the native namespace.
    import corvalink.rs485

    assert sys.modules["corvalink.rs485"] is corvalink.rs485
    assert corvalink.rs485.__all__ == ["RS485Settings"]
    assert not hasattr(native, "rs485")


@pytest.mark.parametrize(
    "name, value, kind",
    [
        ("__version__", "0.3.0", str),
        ("PARITY_NONE", "N", str),
        ("PARITY_EVEN", "E", str),
        ("PARITY_ODD", "O", str),
        ("PARITY_MARK", "M", str),
        ("PARITY_SPACE", "S", str),
        ("STOPBITS_ONE", 1, int),
        ("STOPBITS_ONE_POINT_FIVE", 1.5, float),
        ("STOPBITS_TWO", 2, int),
        ("FIVEBITS", 5, int),
        ("SIXBITS", 6, int),
        ("SEVENBITS", 7, int),
        ("EIGHTBITS", 8, int),
        ("XON", b"\x11", bytes),
        ("XOFF", b"\x13", bytes),
        ("CR", b"\r", bytes),
        ("LF", b"\n", bytes),
    ],
)
def test_constants(name, value, kind):
    got = getattr(corvalink, name)
    assert type(got) is kind
    assert got == value


def test_parity_names_order():
    assert list(corvalink.PARITY_NAMES.items()) == [
        ("N", "None"), ("E", "Even"), ("O", "Odd"), ("M", "Mark"), ("S", "Space"),
    ]


def test_baudrate_enum():
    B = corvalink.Baudrate
    assert B.B9600 == 9600
    assert B(115200).name == "B115200"
    assert len(B) == 30
    assert B.__module__ == "corvalink"
    assert [int(m) for m in B][:3] == [50, 75, 110]
    assert list(B)[-1] is B.B4000000
    import enum

    assert issubclass(B, enum.IntEnum)


def test_exception_hierarchy():
    SE = corvalink.SerialException
    assert issubclass(SE, OSError)
    assert issubclass(corvalink.SerialTimeoutException, SE)
    assert issubclass(corvalink.PortNotOpenError, SE)
    for cls in (SE, corvalink.SerialTimeoutException, corvalink.PortNotOpenError):
        assert cls.__doc__  # help() and the reference say what each means
        assert cls.__module__ == "corvalink"


def run_python(code):
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_reimport_keeps_process_wide_classes():
    r = run_python(
        """
        import sys, corvalink._corvalink as a
        first = (a.SerialException, a.Baudrate, a.PortNotOpenError)
        for name in [n for n in sys.modules if n.startswith("corvalink")]:
            del sys.modules[name]
        import corvalink._corvalink as b
        assert b is not a
        assert (b.SerialException, b.Baudrate, b.PortNotOpenError) == first
        assert sys.modules["corvalink.aio"] is b.aio
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


@pytest.mark.parametrize("main_first", [True, False], ids=["main-imports-first", "subinterpreters-first"])
def test_subinterpreters_are_refused(main_first):
    # In a child process, so that a crash while a subinterpreter ends cannot
    # take the test run with it.
    r = run_python(
        f"""
        import sys
        try:
            import _interpreters
        except ImportError:
            print("no-subinterpreters")
            raise SystemExit
        if {main_first}:
            import corvalink
            corvalink.Serial("loop://").close()
            before = id(corvalink.Serial)
        errors = {{}}
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(config)
            code = "import sys; sys.path[:0] = %r; import corvalink; corvalink.Serial('loop://').close()"
            failure = _interpreters.exec(interp, code % (sys.path,))
            errors[config] = failure and (failure.type.__name__, failure.msg)
            _interpreters.destroy(interp)
        import corvalink
        if {main_first}:
            assert id(corvalink.Serial) == before
        with corvalink.Serial("loop://", timeout=1) as p:
            p.write(b"main")
            assert p.read(4) == b"main"
        print(errors)
        """
    )
    assert r.returncode == 0, r.stderr
    if r.stdout.strip() == "no-subinterpreters":
        pytest.skip("this interpreter has no _interpreters module")
    refused = ("ImportError", "module corvalink._corvalink does not support loading in subinterpreters")
    assert r.stdout.strip() == repr({"legacy": refused, "isolated": refused})


def test_import_starts_no_thread():
    r = run_python(
        """
        import threading, os
        before = len(os.listdir("/proc/self/task"))
        import corvalink, corvalink.aio
        from corvalink.tools.list_ports import comports
        print(before, len(os.listdir("/proc/self/task")))
        """
    )
    assert r.returncode == 0, r.stderr
    before, after = r.stdout.split()
    assert before == after



def test_extension_links_only_the_c_and_cxx_runtimes():
    import shutil

    ldd = shutil.which("ldd")
    if ldd is None:
        pytest.skip("ldd is not available")
    out = subprocess.run([ldd, native.__file__], capture_output=True, text=True, check=True).stdout
    allowed = ("linux-vdso", "libstdc++", "libm.so", "libgcc_s", "libc.so", "ld-linux", "libpython3")
    libraries = [line.split()[0] for line in out.splitlines() if line.strip()]
    assert libraries
    assert [lib for lib in libraries if not lib.startswith(allowed) and "/ld-linux" not in lib] == []
