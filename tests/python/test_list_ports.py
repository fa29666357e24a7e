import ast
import importlib
import os
import subprocess
import sys
import threading

import pytest

import corvalink.tools.list_ports as list_ports
from corvalink.tools.list_ports import ListPortInfo, comports

OPTIONAL = ["vid", "pid", "serial_number", "location", "manufacturer", "product", "interface"]


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


def port(device, **fields):
    info = ListPortInfo(device)
    for key, value in fields.items():
        setattr(info, key, value)
    return info


# --- construction, sequence behaviour -------------------------------------


def test_new_port_has_defaults_and_behaves_as_a_triple():
    info = ListPortInfo("COM3")
    assert (info.device, info.name, info.description, info.hwid) == ("COM3", "COM3", "n/a", "n/a")
    assert [getattr(info, a) for a in OPTIONAL] == [None] * 7
    assert str(info) == "COM3 - n/a"
    assert (info[0], info[1], info[2]) == ("COM3", "n/a", "n/a")
    assert list(info) == ["COM3", "n/a", "n/a"]
    device, description, hwid = ListPortInfo("/dev/ttyUSB0")
    assert (device, description, hwid) == ("/dev/ttyUSB0", "n/a", "n/a")
    assert type(info).__module__ == "corvalink.tools.list_ports"
    assert ListPortInfo.__text_signature__ == "(device, skip_link_detection=False)"
    with pytest.raises(TypeError):
        len(info)


def test_keyword_construction_and_skip_link_detection():
    assert ListPortInfo(device="COM1", skip_link_detection=True).name == "COM1"
    assert ListPortInfo("COM1", False).device == "COM1"


@pytest.mark.parametrize(
    "args, kwargs, exc, message, note",
    [
        ((5,), {}, TypeError, "'int' object is not an instance of 'str'", "device"),
        ((None,), {}, TypeError, "'None' is not an instance of 'str'", "device"),
        ((b"COM1",), {}, TypeError, "'bytes' object is not an instance of 'str'", "device"),
        (("COM1", 1), {}, TypeError, "'int' object is not an instance of 'bool'", "skip_link_detection"),
        (("COM1",), {"skip_link_detection": None}, TypeError, "'None' is not an instance of 'bool'",
         "skip_link_detection"),
    ],
)
def test_constructor_rejects_wrong_types(args, kwargs, exc, message, note):
    with pytest.raises(exc) as e:
        ListPortInfo(*args, **kwargs)
    assert str(e.value) == message
    assert notes(e) == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    "device, name",
    [
        ("COM3", "COM3"),
        ("/dev/ttyUSB0", "ttyUSB0"),
        ("C:\\ports\\COM7", "COM7"),
        ("dir/sub\\port", "port"),
        ("ports/COM4/", "COM4"),  # a trailing separator adds nothing
        ("ports/COM4/.", "COM4"),
        ("./COM5", "COM5"),
        ("\\\\?\\C:\\x\\COM6", "COM6"),
        ("\\\\server\\share\\COM8", "COM8"),
        ("\\\\.\\COM3\\x", "x"),
        # A path that ends in a prefix, a root, "." or ".." keeps the whole device.
        ("\\\\.\\COM3", "\\\\.\\COM3"),
        ("\\\\.\\COM3/", "\\\\.\\COM3/"),
        ("\\\\server\\share", "\\\\server\\share"),
        ("\\\\?\\C:\\x\\.", "\\\\?\\C:\\x\\."),  # verbatim paths keep "."
        ("C:", "C:"),
        ("C:\\", "C:\\"),
        ("/", "/"),
        (".", "."),
        ("ports/..", "ports/.."),
        ("", ""),
        ("/dev/tty\u00e9", "tty\u00e9"),
    ],
)
def test_name_is_last_component_of_windows_path(device, name):
    assert ListPortInfo(device).name == name


@pytest.mark.parametrize("index", [3, -1, -3, 2**62])
def test_index_out_of_range(index):
    with pytest.raises(IndexError, match="^list index out of range$"):
        ListPortInfo("COM1")[index]


@pytest.mark.parametrize("index, exc", [("0", TypeError), (1.0, TypeError), (2**64, OverflowError)])
def test_index_conversion_errors_name_index(index, exc):
    with pytest.raises(exc) as e:
        ListPortInfo("COM1")[index]
    assert notes(e) == ["while processing 'index'"]


# --- attributes -------------------------------------------------------------


@pytest.mark.parametrize(
    "attr, value",
    [("device", "COM9"), ("name", "x"), ("description", "d"), ("hwid", "h")]
    + [(a, "text") for a in OPTIONAL if a not in ("vid", "pid")]
    + [(a, None) for a in OPTIONAL]
    + [("vid", 0), ("vid", 65535), ("pid", 0x1A), ("pid", True)],
)
def test_setters_store_values(attr, value):
    info = ListPortInfo("COM1")
    if value is None:  # start from a present value so that None clears something
        setattr(info, attr, 1 if attr in ("vid", "pid") else "seed")
    setattr(info, attr, value)
    assert getattr(info, attr) == value


@pytest.mark.parametrize(
    "attr, value, exc, message",
    [
        ("device", None, TypeError, "'None' is not an instance of 'str'"),
        ("hwid", 1, TypeError, "'int' object is not an instance of 'str'"),
        ("serial_number", b"x", TypeError, "'bytes' object is not an instance of 'str'"),
        ("interface", 0, TypeError, "'int' object is not an instance of 'str'"),
        ("vid", 65536, OverflowError, "out of range integral type conversion attempted"),
        ("pid", -1, OverflowError, "out of range integral type conversion attempted"),
        ("vid", 2**80, OverflowError, "out of range integral type conversion attempted"),
        ("pid", -(2**80), OverflowError, "out of range integral type conversion attempted"),
        ("vid", "1234", TypeError, None),
        ("pid", 1.0, TypeError, None),
    ],
)
def test_setters_reject_bad_values_with_note(attr, value, exc, message):
    info = port("COM1", vid=7, pid=8, serial_number="S", interface="I")
    before = getattr(info, attr)
    with pytest.raises(exc) as e:
        setattr(info, attr, value)
    if message is not None:
        assert str(e.value) == message
    assert notes(e) == [f"while processing '{attr}'"]
    assert getattr(info, attr) == before


@pytest.mark.parametrize("attr", ["device", "name", "description", "hwid"] + OPTIONAL)
def test_attributes_cannot_be_deleted(attr):
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(ListPortInfo("COM1"), attr)


# --- USB strings ------------------------------------------------------------


@pytest.mark.parametrize(
    "fields, description, info",
    [
        ({}, "COM1", "USB VID:PID=0000:0000"),
        ({"product": "Widget"}, "Widget", "USB VID:PID=0000:0000"),
        ({"interface": "Data"}, "None - Data", "USB VID:PID=0000:0000"),
        ({"product": "Widget", "interface": "Data"}, "Widget - Data", "USB VID:PID=0000:0000"),
        ({"vid": 0x1A, "pid": 0xFFFF}, "COM1", "USB VID:PID=001A:FFFF"),
        ({"vid": 0x1234, "pid": 0xABCD, "serial_number": "SN0001", "location": "1-2.3"}, "COM1",
         "USB VID:PID=1234:ABCD SER=SN0001 LOCATION=1-2.3"),
        ({"serial_number": ""}, "COM1", "USB VID:PID=0000:0000 SER="),
        ({"location": "1-4"}, "COM1", "USB VID:PID=0000:0000 LOCATION=1-4"),
    ],
)
def test_usb_description_info_and_apply(fields, description, info):
    p = port("COM1", **fields)
    assert p.usb_description() == description
    assert p.usb_info() == info
    assert (p.description, p.hwid) == ("n/a", "n/a")
    assert p.apply_usb_info() is None
    assert (p.description, p.hwid) == (description, info)
    assert str(p) == f"COM1 - {description}"


def test_usb_description_uses_current_name():
    p = port("/dev/ttyUSB0", name="renamed")
    assert p.usb_description() == "renamed"


# --- ordering, equality, hash -------------------------------------------------

MAX_U128 = str(2**128 - 1)


@pytest.mark.parametrize(
    "unsorted, expected",
    [
        (["COM10", "COM2", "COM1"], ["COM1", "COM2", "COM10"]),
        (["COM1", "COM"], ["COM", "COM1"]),
        (["/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyUSB9", "/dev/ttyS0"],
         ["/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB9", "/dev/ttyUSB10"]),
        (["a1b10", "a1b2", "a01b3"], ["a1b2", "a01b3", "a1b10"]),
        # Values beyond 64 bits still count as numbers...
        (["x18446744073709551616", "x18446744073709551615"], ["x18446744073709551615", "x18446744073709551616"]),
        # ...up to 2**128 - 1; a longer run falls back to its bytes, which are
        # all smaller than that number.
        (["x" + MAX_U128, "x" + str(2**128)], ["x" + str(2**128), "x" + MAX_U128]),
        (["\u00e910", "\u00e92"], ["\u00e92", "\u00e910"]),
    ],
)
def test_sorting_uses_natural_order(unsorted, expected):
    assert [p.device for p in sorted(ListPortInfo(d) for d in unsorted)] == expected


def test_leading_zeros_do_not_count_but_equality_is_exact():
    a, b = ListPortInfo("COM01"), ListPortInfo("COM1")
    assert not a < b and not b < a
    assert a != b and not a == b


def test_equality_and_reflected_ordering():
    a, b = ListPortInfo("COM2"), ListPortInfo("COM10")
    assert a == ListPortInfo("COM2") and not a != ListPortInfo("COM2")
    a.description = "changed"
    assert a == ListPortInfo("COM2")  # only the device counts
    assert a < b and b > a  # > is answered by the reflected <
    with pytest.raises(TypeError):
        a <= b
    with pytest.raises(TypeError):
        a >= b


def test_comparison_with_foreign_types():
    info = ListPortInfo("COM3")
    assert (info == 5) is False and (info != 5) is True
    assert (info == "COM3") is False
    assert ("COM3" != info) is True
    with pytest.raises(TypeError, match=r"^unorderable types: ListPortInfo\(\) and int$"):
        info < 5
    with pytest.raises(TypeError, match=r"^unorderable types: ListPortInfo\(\) and str$"):
        "x" > info


def test_subclass_instances_compare_as_ports():
    class Port(ListPortInfo):
        pass

    p = Port("COM1")
    assert p == ListPortInfo("COM1") and ListPortInfo("COM0") < p
    assert hash(p) == hash(ListPortInfo("COM1"))


DEVICES = ["COM3", "", "ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0123", "\\\\.\\COM12", "tty\u00e9\u4e2d", "x" * 100]


def test_hash_is_siphash13_of_device_and_ff_with_zero_key():
    # The interpreter's own bytes hash is SipHash-1-3; with PYTHONHASHSEED=0
    # its key is zero, which makes it an independent reference.
    if sys.hash_info.algorithm != "siphash13":
        pytest.skip("this interpreter does not hash with SipHash-1-3")
    code = "import sys; print([hash(d.encode() + b'\\xff') for d in sys.argv[1:]])"
    out = subprocess.run(
        [sys.executable, "-c", code, *DEVICES],
        env={**os.environ, "PYTHONHASHSEED": "0"},
        capture_output=True, text=True, check=True, timeout=60,
    ).stdout
    assert [hash(ListPortInfo(d)) for d in DEVICES] == ast.literal_eval(out)
    assert hash(ListPortInfo("COM3")) == -1839669187439469309
    assert hash(ListPortInfo("COM3")) == hash(port("COM3", description="x", vid=1))


# --- concurrency --------------------------------------------------------------


def test_concurrent_access_sees_whole_records():
    # Readers wait out a writer instead of failing: no RuntimeError, and a
    # comparison with a twin of the same device is never answered wrongly.
    info = ListPortInfo("COM1")
    twin = ListPortInfo("COM1")
    expected_hash = hash(twin)
    failures = []
    stop = threading.Event()

    def writer():
        n = 0
        try:
            while not stop.is_set():
                info.description = f"d{n}"
                info.product = f"d{n}"
                info.vid = n % 65536
                info.apply_usb_info()
                info.device = "COM1"
                n += 1
        except BaseException as e:  # noqa: BLE001
            failures.append(e)

    def reader():
        try:
            for _ in range(3000):
                ok = (info.device == "COM1" and info == twin and twin == info and info in [twin]
                      and hash(info) == expected_hash and not info < twin and info[0] == "COM1"
                      and list(info)[0] == "COM1" and str(info).startswith("COM1 - "))
                if not ok:
                    failures.append("wrong answer")
                info.usb_info()
        except BaseException as e:  # noqa: BLE001
            failures.append(e)

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join(timeout=60)
    stop.set()
    threads[0].join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


# --- enumeration --------------------------------------------------------------


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text + "\n")


def add_tty(sysfs, device_dir, name, *, attrs=None, has_device=True):
    """A class/tty entry for a tty below sysfs/devices/<device_dir>."""
    tty_dir = sysfs / "devices" / device_dir / "tty" / name
    tty_dir.mkdir(parents=True)
    write(tty_dir / "dev", "4:64")
    for key, value in (attrs or {}).items():
        write(tty_dir / key, value)
    if has_device:
        (tty_dir / "device").symlink_to("../..")
    link = sysfs / "class" / "tty" / name
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(os.path.relpath(tty_dir, link.parent))


def add_usb_device(sysfs, path, **attrs):
    for key, value in attrs.items():
        write(sysfs / "devices" / path / key, value)


@pytest.fixture
def sysfs(tmp_path):
    root = tmp_path / "sys"
    usb = "pci0000:00/0000:00:14.0/usb1"
    # A USB serial adapter: the tty sits below the usb-serial port device,
    # which sits below interface 1-2.3:1.0 of device 1-2.3.
    add_usb_device(root, f"{usb}/1-2/1-2.3", idVendor="0403", idProduct="6001", serial="SN0001",
                   manufacturer="Vendor", product="USB Serial")
    write(root / "devices" / usb / "1-2/1-2.3/1-2.3:1.0/bInterfaceNumber", "00")
    add_tty(root, f"{usb}/1-2/1-2.3/1-2.3:1.0/ttyUSB0", "ttyUSB0")
    # A composite device without serial number: the tty is on its third
    # interface, which has a name.
    add_usb_device(root, f"{usb}/1-4", idVendor="1a86", idProduct="55d4", manufacturer="Maker",
                   product="Dual Serial")
    add_usb_device(root, f"{usb}/1-4/1-4:1.2", bInterfaceNumber="02", interface="Debug Port")
    add_tty(root, f"{usb}/1-4/1-4:1.2", "ttyACM1")
    # An ACM modem directly on its interface.
    add_usb_device(root, f"{usb}/1-1", idVendor="2341", idProduct="0043", serial="85735313",
                   manufacturer="Board Maker", product="Board")
    add_usb_device(root, f"{usb}/1-1/1-1:1.0", bInterfaceNumber="00")
    add_tty(root, f"{usb}/1-1/1-1:1.0", "ttyACM0")
    # A USB device whose vendor ID cannot be read as hexadecimal is no USB port.
    add_usb_device(root, f"{usb}/1-5", idVendor="zz", idProduct="0001", product="Odd")
    add_usb_device(root, f"{usb}/1-5/1-5:1.0", bInterfaceNumber="00")
    add_tty(root, f"{usb}/1-5/1-5:1.0", "ttyACM2")
    # A real 16550A on the PNP bus, an 8250 placeholder, a platform UART
    # without a type attribute, and a virtual console without device.
    add_tty(root, "pnp0/00:01", "ttyS0", attrs={"type": "4"})
    add_tty(root, "platform/serial8250", "ttyS1", attrs={"type": "0"})
    add_tty(root, "platform/fe201000.serial", "ttyAMA0")
    add_tty(root, "virtual", "tty0", has_device=False)
    return root


USB_FIELDS = ["vid", "pid", "serial_number", "manufacturer", "product", "interface", "location"]


def test_enumeration_of_sysfs_tree(sysfs, tmp_path):
    ports = list_ports._comports_from(sysfs, "/dev")
    assert all(type(p) is ListPortInfo for p in ports)
    assert [p.device for p in ports] == [
        "/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyACM2", "/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyUSB0",
    ]
    by_device = {p.device: p for p in ports}
    expected = {
        "/dev/ttyUSB0": ((0x0403, 0x6001, "SN0001", "Vendor", "USB Serial", None, "1-2.3"),
                         "USB Serial", "USB VID:PID=0403:6001 SER=SN0001 LOCATION=1-2.3"),
        "/dev/ttyACM1": ((0x1A86, 0x55D4, None, "Maker", "Dual Serial", "Debug Port", "1-4"),
                         "Dual Serial - Debug Port", "USB VID:PID=1A86:55D4 LOCATION=1-4"),
        "/dev/ttyACM0": ((0x2341, 0x0043, "85735313", "Board Maker", "Board", None, "1-1"),
                         "Board", "USB VID:PID=2341:0043 SER=85735313 LOCATION=1-1"),
        "/dev/ttyACM2": ((None,) * 7, "n/a", "n/a"),
        "/dev/ttyS0": ((None,) * 7, "n/a", "n/a"),
        "/dev/ttyAMA0": ((None,) * 7, "n/a", "n/a"),
    }
    for device, (fields, description, hwid) in expected.items():
        p = by_device[device]
        assert tuple(getattr(p, f) for f in USB_FIELDS) == fields, device
        assert (p.name, p.description, p.hwid) == (device.rsplit("/", 1)[1], description, hwid)


def test_enumeration_names_devices_under_dev_root(sysfs, tmp_path):
    ports = list_ports._comports_from(str(sysfs), str(tmp_path / "dev"))
    assert ports[0].device == str(tmp_path / "dev" / "ttyACM0")
    assert ports[0].name == "ttyACM0"


def test_enumeration_of_missing_tree_is_empty(tmp_path):
    assert list_ports._comports_from(tmp_path / "absent", "/dev") == []
    (tmp_path / "sys" / "class").mkdir(parents=True)
    assert list_ports._comports_from(tmp_path / "sys", "/dev") == []


def test_comports_arguments():
    ports = comports()
    assert isinstance(ports, list) and all(isinstance(p, ListPortInfo) for p in ports)
    assert [p.device for p in comports(True)] == [p.device for p in ports]
    assert [p.device for p in comports(include_links=False)] == [p.device for p in ports]
    with pytest.raises(TypeError) as e:
        comports(1)
    assert str(e.value) == "'int' object is not an instance of 'bool'"
    assert notes(e) == ["while processing 'include_links'"]
    assert comports.__text_signature__ == "(include_links=False)"
    assert "_comports_from" not in list_ports.__all__
    assert list_ports.__all__ == ["ListPortInfo", "comports", "grep"]


# --- the command ----------------------------------------------------------------


@pytest.fixture
def command(monkeypatch):
    module = importlib.import_module("corvalink.tools.list_ports.__main__")
    ports = [
        port("/dev/ttyUSB10", description="Adapter", hwid="USB VID:PID=0403:6001"),
        port("/dev/ttyS0"),
        port("/dev/ttyUSB2", description="Widget", hwid="USB VID:PID=1234:ABCD SER=X"),
    ]
    monkeypatch.setattr(module, "comports", lambda: list(ports))
    # The REGEX goes through grep(), which takes the listing from the package.
    monkeypatch.setattr(list_ports, "comports", lambda include_links=False: list(ports))
    return module


@pytest.mark.parametrize(
    "argv, status, lines",
    [
        ([], 0, ["/dev/ttyS0", "/dev/ttyUSB2", "/dev/ttyUSB10"]),
        (["-v"], 0, ["/dev/ttyS0\tn/a\tn/a", "/dev/ttyUSB2\tWidget\tUSB VID:PID=1234:ABCD SER=X",
                     "/dev/ttyUSB10\tAdapter\tUSB VID:PID=0403:6001"]),
        (["usb"], 0, ["/dev/ttyUSB2", "/dev/ttyUSB10"]),  # device, case-insensitive
        (["widget"], 0, ["/dev/ttyUSB2"]),  # description
        (["--verbose", "0403:"], 0, ["/dev/ttyUSB10\tAdapter\tUSB VID:PID=0403:6001"]),  # hwid
        (["^n/a$"], 0, ["/dev/ttyS0"]),
        (["nothing-like-this"], 1, []),
    ],
)
def test_command_lists_sorted_and_filtered(command, capsys, argv, status, lines):
    assert command.main(argv) == status
    out, err = capsys.readouterr()
    assert out.splitlines() == lines
    assert (err != "") == (status == 1)


def test_command_rejects_bad_expression(command, capsys):
    with pytest.raises(SystemExit) as e:
        command.main(["("])
    assert e.value.code == 2
    assert "invalid regular expression" in capsys.readouterr().err


def test_command_runs_as_module():
    result = subprocess.run(
        [sys.executable, "-P", "-m", "corvalink.tools.list_ports"],
        capture_output=True, text=True, timeout=60,
    )
    expected = sorted(comports())
    assert result.returncode == (0 if expected else 1), result.stderr
    assert result.stdout.splitlines() == [p.device for p in expected]
