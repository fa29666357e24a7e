"""Conversion of Python values to port settings: accepted values, messages,
argument notes, the dictionary form and the all-or-nothing update."""

import pytest

import corvalink

NOTE_VALUE = ["while processing 'value'"]


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


# (attribute, value given, value read back)
ACCEPTED = [
    ("baudrate", "9600", 9600),
    ("baudrate", 9600.9, 9600),
    ("baudrate", 0, 0),
    ("baudrate", 4294967295, 4294967295),
    ("baudrate", 12345, 12345),
    ("bytesize", 8.0, 8),
    ("bytesize", 5, 5),
    ("parity", "E", "E"),
    ("parity", "S", "S"),
    ("stopbits", 1, 1),
    ("stopbits", 1.0, 1),
    ("stopbits", 1.5, 1.5),
    ("stopbits", 2, 2),
    ("timeout", 2, 2),
    ("timeout", 2.0, 2.0),
    ("timeout", True, 1),
    ("timeout", None, None),
    ("timeout", float("inf"), float("inf")),
    ("timeout", 10**30, 1e30),
    ("write_timeout", 0, 0),
    ("inter_byte_timeout", 0.25, 0.25),
    ("xonxoff", 1, True),
    ("rtscts", [], False),
    ("exclusive", None, None),
    ("exclusive", "yes", True),
    ("rts", 0, False),
    ("dtr", "x", True),
    ("break_condition", 1, True),
]


@pytest.mark.parametrize("attr,given,expected", ACCEPTED)
def test_setter_accepts_and_reads_back_with_kind(attr, given, expected):
    s = corvalink.Serial()
    setattr(s, attr, given)
    got = getattr(s, attr)
    assert got == expected
    assert type(got) is type(expected)


# (attribute, value, exception, message, whether the note is present)
REJECTED = [
    ("baudrate", -1, ValueError, "Not a valid baudrate: -1", True),
    ("baudrate", 4294967296, ValueError, "Not a valid baudrate: 4294967296", True),
    ("baudrate", "fast", ValueError, "Not a valid baudrate: 'fast'", True),
    ("baudrate", 2**70, ValueError, f"Not a valid baudrate: {2**70}", True),
    ("bytesize", 7.5, ValueError, "Not a valid byte size: 7.5", True),
    ("bytesize", 9, ValueError, "Not a valid byte size: 9", True),
    ("bytesize", 9.0, ValueError, "Not a valid byte size: 9", True),
    ("bytesize", "8", ValueError, "Not a valid byte size: '8'", True),
    ("bytesize", float("nan"), ValueError, "Not a valid byte size: nan", True),
    ("parity", "n", ValueError, "Not a valid parity: 'n'", False),
    ("parity", "NE", ValueError, "Not a valid parity: 'NE'", False),
    ("parity", "N\0", ValueError, "Not a valid parity: 'N\0'", False),
    ("parity", 0, TypeError, "'int' object is not an instance of 'str'", True),
    ("parity", None, TypeError, "'None' is not an instance of 'str'", True),
    ("stopbits", 3, ValueError, "Not a valid stop bit size: 3.0", False),
    ("stopbits", 1e20, ValueError, "Not a valid stop bit size: 1e20", False),
    ("stopbits", 1.5e-7, ValueError, "Not a valid stop bit size: 1.5e-7", False),
    ("stopbits", 0.0001, ValueError, "Not a valid stop bit size: 0.0001", False),
    ("stopbits", -0.0, ValueError, "Not a valid stop bit size: -0.0", False),
    ("stopbits", float("-inf"), ValueError, "Not a valid stop bit size: -inf", False),
    ("stopbits", "1", TypeError, "must be real number, not str", True),
    ("timeout", -1, ValueError, "Not a valid timeout: -1", False),
    ("timeout", -0.5, ValueError, "Not a valid timeout: -0.5", False),
    ("timeout", float("nan"), ValueError, "Not a valid timeout: NaN", False),
    ("timeout", -(10**30), ValueError, "Not a valid timeout: -1e30", False),
    ("write_timeout", "1", ValueError, "Not a valid timeout: '1'", True),
    ("port", 5, TypeError, "'int' object is not an instance of 'str'", True),
]


@pytest.mark.parametrize("attr,value,exc,message,noted", REJECTED)
def test_setter_rejects_with_exact_message(attr, value, exc, message, noted):
    s = corvalink.Serial()
    before = getattr(s, attr)
    with pytest.raises(exc) as info:
        setattr(s, attr, value)
    assert str(info.value) == message
    assert notes(info) == (NOTE_VALUE if noted else [])
    assert getattr(s, attr) == before


def test_unprintable_repr_is_replaced():
    class Bad:
        def __repr__(self):
            raise RuntimeError("no")

    s = corvalink.Serial()
    with pytest.raises(ValueError) as info:
        s.baudrate = Bad()
    assert str(info.value) == "Not a valid baudrate: <unprintable>"


def test_truth_test_errors_propagate():
    class NoBool:
        def __bool__(self):
            raise ZeroDivisionError("bool")

    s = corvalink.Serial()
    with pytest.raises(ZeroDivisionError) as info:
        s.xonxoff = NoBool()
    assert notes(info) == NOTE_VALUE


def test_dsrdtr_none_follows_rtscts():
    s = corvalink.Serial()
    s.rtscts = True
    s.dsrdtr = None
    assert s.dsrdtr is True
    assert corvalink.Serial(rtscts=True).dsrdtr is True
    assert corvalink.Serial(rtscts=True, dsrdtr=False).dsrdtr is False


def test_every_property_refuses_deletion():
    s = corvalink.Serial()
    for name in ["port", "baudrate", "timeout", "rts", "cts", "in_waiting", "is_open", "closed"]:
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(s, name)


@pytest.mark.parametrize("name", ["name", "portstr", "is_open", "cts", "dsr", "ri", "cd", "in_waiting",
                                  "out_waiting", "closed"])
def test_read_only_properties(name):
    with pytest.raises(AttributeError, match="is not writable"):
        setattr(corvalink.Serial(), name, 1)


# --- constructor ---

CTOR_ERRORS = [
    # The letter check of parity runs after every conversion, before the
    # timeout range check, and carries no note.
    (dict(parity="X", timeout=-1), ValueError, "Not a valid parity: 'X'", []),
    (dict(baudrate="x", parity=5), ValueError, "Not a valid baudrate: 'x'", ["while processing 'baudrate'"]),
    (dict(parity=5), TypeError, "'int' object is not an instance of 'str'", ["while processing 'parity'"]),
    (dict(stopbits=3, parity="N", timeout=-1), ValueError, "Not a valid stop bit size: 3.0", []),
    (dict(timeout=-1, write_timeout="x"), ValueError, "Not a valid timeout: 'x'",
     ["while processing 'write_timeout'"]),
    (dict(timeout=-1, write_timeout=-2), ValueError, "Not a valid timeout: -1", []),
    (dict(inter_byte_timeout=-0.5), ValueError, "Not a valid timeout: -0.5", []),
    (dict(bytesize=4), ValueError, "Not a valid byte size: 4", ["while processing 'bytesize'"]),
    (dict(port=b"loop://"), TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'port'"]),
]


@pytest.mark.parametrize("kwargs,exc,message,expected_notes", CTOR_ERRORS)
def test_constructor_conversion_order_and_notes(kwargs, exc, message, expected_notes):
    with pytest.raises(exc) as info:
        corvalink.Serial(**kwargs)
    assert str(info.value) == message
    assert notes(info) == expected_notes


@pytest.mark.parametrize("args,kwargs,message", [
    ((None,) * 13, {}, "Serial.__init__() takes from 1 to 13 positional arguments but 14 were given"),
    ((), {"speed": 1}, "Serial.__init__() got an unexpected keyword argument 'speed'"),
    ((), {"port\0x": "loop://"}, "Serial.__init__() got an unexpected keyword argument 'port\0x'"),
    (("loop://",), {"port": "loop://"}, "Serial.__init__() got multiple values for argument 'port'"),
])
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        corvalink.Serial(*args, **kwargs)
    assert str(info.value) == message


def test_constructor_positional_order():
    s = corvalink.Serial(None, 19200, 7, "E", 2, 1.5, True, False, 3, None, 0, True)
    assert s.get_settings() == {
        "baudrate": 19200, "bytesize": 7, "parity": "E", "stopbits": 2, "xonxoff": True,
        "dsrdtr": False, "rtscts": False, "timeout": 1.5, "write_timeout": 3, "inter_byte_timeout": 0,
    }
    assert s.exclusive is True
    assert s.is_open is False


# --- dictionary form ---

DEFAULTS = {
    "baudrate": 9600, "bytesize": 8, "parity": "N", "stopbits": 1, "xonxoff": False, "dsrdtr": False,
    "rtscts": False, "timeout": None, "write_timeout": None, "inter_byte_timeout": None,
}


def test_get_settings_defaults_in_key_order():
    d = corvalink.Serial().get_settings()
    assert list(d.items()) == list(DEFAULTS.items())
    assert d is not corvalink.Serial().get_settings()


def test_apply_settings_round_trip_and_absent_keys():
    s = corvalink.Serial()
    s.apply_settings({})
    s.apply_settings({"port": "x", "exclusive": True})
    assert s.get_settings() == DEFAULTS
    assert s.port is None and s.exclusive is None
    new = dict(DEFAULTS, baudrate=115200, parity="O", stopbits=1.5, timeout=0.5, inter_byte_timeout=2)
    s.apply_settings(new)
    assert s.get_settings() == new
    assert type(s.get_settings()["inter_byte_timeout"]) is int


@pytest.mark.parametrize("d,exc,message", [
    ({"baudrate": 19200, "parity": "X"}, ValueError, "Not a valid parity: 'X'"),
    ({"baudrate": 19200, "timeout": -1}, ValueError, "Not a valid timeout: -1"),
    ({"timeout": 1, "inter_byte_timeout": float("nan")}, ValueError, "Not a valid timeout: NaN"),
    ({"bytesize": 7, "stopbits": 4}, ValueError, "Not a valid stop bit size: 4.0"),
    ({"xonxoff": True, "parity": 1}, TypeError, "'int' object is not an instance of 'str'"),
])
def test_apply_settings_is_all_or_nothing(d, exc, message):
    s = corvalink.Serial("loop://")
    with pytest.raises(exc) as info:
        s.apply_settings(d)
    assert str(info.value) == message
    assert notes(info) == []
    assert s.get_settings() == DEFAULTS


def test_apply_settings_dsrdtr_none_uses_previous_rtscts():
    s = corvalink.Serial()
    s.apply_settings({"rtscts": True, "dsrdtr": None})
    assert (s.rtscts, s.dsrdtr) == (True, False)
    s.apply_settings({"dsrdtr": None})
    assert s.dsrdtr is True


def test_apply_settings_uses_get_with_a_sentinel():
    seen = []

    class Mapping:
        def get(self, key, default):
            seen.append(key)
            return 57600 if key == "baudrate" else default

    s = corvalink.Serial()
    s.apply_settings(Mapping())
    assert s.baudrate == 57600
    assert seen == list(DEFAULTS)

    class Raising:
        def get(self, key, default):
            if key == "parity":
                raise KeyError("boom")
            return default

    with pytest.raises(KeyError):
        s.apply_settings(Raising())
    with pytest.raises(AttributeError, match="get"):
        s.apply_settings(5)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'd'"):
        s.apply_settings()


def test_class_attributes():
    B = corvalink.SerialBase
    assert B.BAUDRATES == tuple(corvalink.Baudrate)
    assert len(B.BAUDRATES) == 30 and B.BAUDRATES[0] == 50 and B.BAUDRATES[-1] == 4000000
    assert B.BYTESIZES == (5, 6, 7, 8)
    assert B.PARITIES == ("N", "E", "O", "M", "S")
    assert [type(x) for x in B.STOPBITS] == [int, float, int]
    assert corvalink.Serial.STOPBITS == (1, 1.5, 2)


def test_settings_survive_close_and_reopen():
    s = corvalink.Serial("loop://", baudrate=300, timeout=0)
    s.close()
    s.open()
    assert (s.baudrate, s.timeout) == (300, 0)
