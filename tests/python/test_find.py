"""Ports chosen by what they are: list_ports.grep, the command line's REGEX
and find:// URLs, over a simulated listing of pseudo-terminals."""

import asyncio
import os
import select
import sys

import pytest

import corvalink
import corvalink.aio
from corvalink.tools import list_ports
from corvalink.tools.list_ports import ListPortInfo, grep
from corvalink.tools.list_ports.__main__ import main

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux terminals"),
    pytest.mark.timeout(30),
]


class Device:
    def __init__(self, description, hwid):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)
        self.info = ListPortInfo(self.name, skip_link_detection=True)
        self.info.description = description
        self.info.hwid = hwid

    def received(self, n):
        return os.read(self.master, n)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def devices(monkeypatch):
    """Three terminals listed as a GPS receiver and two modems."""
    devs = [
        Device("u-blox GNSS receiver", "USB VID:PID=1546:01A7 SER=GPS1"),
        Device("Quectel modem AT port", "USB VID:PID=2C7C:0125 SER=M1"),
        Device("Quectel modem AT port", "USB VID:PID=2C7C:0125 SER=M2"),
    ]
    links = []

    def comports(include_links=False):
        links.append(include_links)
        return [d.info for d in reversed(devs)]  # listed out of order; grep sorts

    monkeypatch.setattr(list_ports, "comports", comports)
    yield devs
    for d in devs:
        d.close()


def opened_device(port, devices):
    """Which of the devices the port is: what it writes arrives on that master."""
    port.write(b"?")
    ready, _, _ = select.select([d.master for d in devices], [], [], 5)
    found = [d for d in devices if d.master in ready]
    assert len(found) == 1 and found[0].received(1) == b"?"
    return found[0]


@pytest.mark.parametrize("regexp, expected", [
    ("gnss", [0]),                 # description, case-insensitive
    ("2c7c:0125", [1, 2]),         # hwid, in device order
    ("SER=M2$", [2]),
    ("nothing like it", []),
])
def test_grep_matches_device_description_or_hwid(devices, regexp, expected):
    found = grep(regexp)
    assert iter(found) is found
    assert list(found) == [devices[i].info for i in expected]


def test_grep_takes_a_compiled_pattern_and_passes_include_links(devices):
    import re

    assert list(grep(re.compile("SER=m2"), include_links=True)) == []  # a compiled pattern keeps its flags
    assert list(grep(re.compile(re.escape(devices[0].name)))) == [devices[0].info]


def test_the_command_line_regexp_uses_grep(devices, capsys):
    assert main(["-v", "quectel"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split("\t")[0] for line in lines] == [devices[1].name, devices[2].name]
    assert main(["no such port"]) == 1


@pytest.mark.parametrize("url, index", [
    ("find://gnss", 0),
    ("FIND://quectel", 1),
    ("find://quectel?n=2", 2),
    ("find://SER=M[0-9]?n=1", 1),
    ("find://SER=GPS?1", 0),        # a "?" that starts no option belongs to the expression
    ("find://2c7c:0125?skip_busy&n=2", 2),
])
def test_find_opens_the_nth_matching_port(devices, url, index):
    with corvalink.Serial(url, timeout=1) as port:
        assert port.port == url
        assert opened_device(port, devices) is devices[index]
        port.close()
        port.open()  # a reopen resolves again
        assert opened_device(port, devices) is devices[index]


def test_skip_busy_passes_over_a_port_held_exclusively(devices):
    with corvalink.Serial(devices[1].name, exclusive=True):
        with corvalink.Serial("find://quectel?skip_busy") as port:
            assert opened_device(port, devices) is devices[2]
        with pytest.raises(corvalink.SerialException) as info:
            corvalink.Serial("find://quectel?n=2&skip_busy")
        assert f"({devices[1].name} busy)" in str(info.value)


@pytest.mark.parametrize("url", ["find://printer", "find://quectel?n=3"])
def test_no_match_names_the_pattern_and_the_ports_seen(devices, url):
    port = corvalink.Serial()
    port.port = url  # stored on a closed port: resolved only when opened
    with pytest.raises(corvalink.SerialException) as info:
        port.open()
    message = str(info.value)
    assert repr(url[len("find://"):].split("?")[0]) in message
    assert all(d.name in message for d in devices)
    assert not port.is_open


@pytest.mark.parametrize("url, message", [
    ("find://", "needs a regular expression"),
    ("find://?n=2", "needs a regular expression"),
    ("find://x?n=0", "malformed option 'n=0'"),
    ("find://x?n=two", "malformed option 'n=two'"),
    ("find://x?n=1&colour=red", "malformed option 'colour=red'"),
    ("find://x?skip_busy=1", "malformed option 'skip_busy=1'"),
    ("find://([a-z]", "invalid regular expression"),
])
def test_malformed_find_urls_raise_value_error(devices, url, message):
    with pytest.raises(ValueError, match=message):
        corvalink.Serial(url)


def test_find_through_the_other_faces(devices):
    with corvalink.Serial(devices[0].name) as port:
        port.port = "find://SER=M1"  # renaming an open port reopens it on the device found
        assert opened_device(port, devices) is devices[1]

    async def main():
        async with corvalink.aio.Serial("find://gnss", timeout=1) as port:
            await port.write(b"!")
            return devices[0].received(1)

    assert asyncio.run(main()) == b"!"
    with corvalink.serial_for_url("find://SER=M2") as port:
        assert opened_device(port, devices) is devices[2]
