"""corvalink.rs485.RS485Settings and SerialBase.rs485_mode: the value type,
its validation, the property, and a device without RS-485 support."""

import copy
import errno
import os
import pickle
import sys

import pytest

import corvalink
from corvalink.rs485 import RS485Settings

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals")


def test_value_type():
    mode = RS485Settings()
    assert (mode.rts_level_for_tx, mode.rts_level_for_rx, mode.loopback,
            mode.delay_before_tx, mode.delay_before_rx) == (True, False, False, None, None)
    assert repr(RS485Settings(False, True, True, 0.005, 1)) == (
        "RS485Settings(rts_level_for_tx=False, rts_level_for_rx=True, loopback=True, "
        "delay_before_tx=0.005, delay_before_rx=1)")
    # Delays keep the kind they were given, and compare as numbers.
    assert type(RS485Settings(delay_before_tx=2).delay_before_tx) is int
    assert RS485Settings(delay_before_tx=2) == RS485Settings(delay_before_tx=2.0)
    assert hash(RS485Settings(delay_before_tx=2)) == hash(RS485Settings(delay_before_tx=2.0))
    assert RS485Settings(loopback=1) != RS485Settings()
    # The longest delays a driver holds: 2**32 - 1 ms, and whole seconds below it.
    assert RS485Settings(delay_before_tx=4294967.295, delay_before_rx=4294967).delay_before_tx == 4294967.295
    assert RS485Settings() != (True, False, False, None, None)

    changed = copy.replace(mode, loopback=True, delay_before_rx=0.002)
    assert (changed.loopback, changed.delay_before_rx, mode.loopback) == (True, 0.002, False)
    assert pickle.loads(pickle.dumps(changed)) == changed
    with pytest.raises(AttributeError):
        mode.loopback = True
    with pytest.raises(TypeError):
        class Sub(RS485Settings):  # noqa: F841
            pass


class Falsy:
    def __bool__(self):
        raise RuntimeError("no truth")


# (arguments, exception, message, note)
REJECTED = [
    ({"delay_before_tx": -1}, ValueError, "Not a valid delay: -1", "delay_before_tx"),
    ({"delay_before_rx": -0.5}, ValueError, "Not a valid delay: -0.5", "delay_before_rx"),
    ({"delay_before_tx": float("nan")}, ValueError, "Not a valid delay: NaN", "delay_before_tx"),
    ({"delay_before_tx": float("inf")}, ValueError, "Not a valid delay: inf", "delay_before_tx"),
    # Beyond the driver's 32 bits of milliseconds.
    ({"delay_before_tx": 1e300}, ValueError, "Not a valid delay: 1e300", "delay_before_tx"),
    ({"delay_before_rx": 10**30}, ValueError, "Not a valid delay: 1000000000000000000000000000000",
     "delay_before_rx"),
    ({"delay_before_tx": 5e9}, ValueError, "Not a valid delay: 5000000000.0", "delay_before_tx"),
    ({"delay_before_rx": 4294968}, ValueError, "Not a valid delay: 4294968", "delay_before_rx"),
    ({"delay_before_tx": 4294967.2951}, ValueError, "Not a valid delay: 4294967.2951", "delay_before_tx"),
    ({"delay_before_rx": "1"}, ValueError, "Not a valid delay: '1'", "delay_before_rx"),
    ({"loopback": Falsy()}, RuntimeError, "no truth", "loopback"),
    ({"delay": 1}, TypeError, "RS485Settings() got an unexpected keyword argument 'delay'", None),
]


@pytest.mark.parametrize("kwargs,exc,message,note", REJECTED)
def test_invalid_values_are_refused(kwargs, exc, message, note):
    with pytest.raises(exc) as info:
        RS485Settings(**kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_property_on_a_closed_port():
    s = corvalink.Serial()
    assert s.rs485_mode is None
    mode = RS485Settings(rts_level_for_tx=False, rts_level_for_rx=True, delay_before_tx=0.01)
    s.rs485_mode = mode
    assert s.rs485_mode == mode
    assert "rs485_mode" not in s.get_settings()
    with pytest.raises(TypeError) as info:
        s.rs485_mode = (True, False)
    assert str(info.value) == "'tuple' object is not an instance of 'RS485Settings'"
    assert info.value.__notes__ == ["while processing 'value'"]
    assert s.rs485_mode == mode
    with pytest.raises(AttributeError, match="property has no deleter"):
        del s.rs485_mode
    s.rs485_mode = None
    assert s.rs485_mode is None


@linux_only
def test_device_without_rs485_support():
    master, slave = os.openpty()
    name = os.ttyname(slave)
    message = f"the driver of '{name}' has no RS-485 support"
    try:
        # On an open port: refused at once, the previous mode stays.
        s = corvalink.Serial(name)
        with pytest.raises(corvalink.SerialException) as info:
            s.rs485_mode = RS485Settings()
        assert (info.value.errno, info.value.strerror) == (errno.ENOTTY, message)
        assert s.rs485_mode is None and s.is_open
        s.rs485_mode = None

        # On a closed port: stored, and the next open applies it.
        s.close()
        s.rs485_mode = RS485Settings()
        with pytest.raises(corvalink.SerialException) as info:
            s.open()
        assert (info.value.errno, info.value.strerror) == (errno.ENOTTY, message)
        assert not s.is_open
    finally:
        os.close(master)
        os.close(slave)
