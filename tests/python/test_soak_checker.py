"""The soak's stream checker (tools/soak_run/checker.py): a checker that let a fault
through would make every soak run pass, so each kind of damage is fed to it
and must be named as such."""

import os
import random
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
from soak_run import checker as soak  # noqa: E402

FACE, STREAM = 3, 7


def frames(n, stream=STREAM):
    return [soak.make_frame(FACE, stream, seq) for seq in range(n)]


def swap(fs, i, j):
    fs = list(fs)
    fs[i], fs[j] = fs[j], fs[i]
    return fs


def flip(data, i):
    return data[:i] + bytes([data[i] ^ 0x01]) + data[i + 1 :]


F = frames(12)
WHOLE = b"".join(F)
AT3 = len(b"".join(F[:3]))  # where frame 3 starts

CASES = {
    "intact": (WHOLE, {}),
    "frame dropped": (b"".join(F[:4] + F[5:]), {"loss": 1}),
    "bytes dropped inside a frame": (WHOLE[: AT3 + 10] + WHOLE[AT3 + 30 :], {"loss": 1}),
    "bytes dropped across frames": (WHOLE[: AT3 + 10] + WHOLE[AT3 + len(F[3]) + 20 :], {"loss": 2}),
    "bytes repeated inside a frame": (WHOLE[: AT3 + 30] + WHOLE[AT3 + 10 :], {"dup": 1}),
    "frame repeated": (b"".join(F[:5] + F[4:]), {"dup": 1}),
    "frames swapped": (b"".join(swap(F, 4, 5)), {"order": 1}),
    "byte changed": (flip(WHOLE, AT3 + 20), {"corrupt": 1}),
    "frame of another stream": (b"".join(F[:6] + frames(1, stream=STREAM + 1) + F[6:]), {"corrupt": 1}),
}


@pytest.mark.parametrize("split_seed", [0, 1, 2])
@pytest.mark.parametrize("name", CASES)
def test_checker_names_the_damage(name, split_seed):
    data, want = CASES[name]
    stats = soak.Stats("t")
    checker = stats.incoming(FACE, STREAM)
    rng = random.Random(split_seed)
    i = 0
    while i < len(data):  # arbitrary read sizes, frames cut anywhere
        n = rng.randint(1, 300)
        checker.feed(data[i : i + n])
        i += n
    checker.retire()
    got = {k: v for k, v in stats.totals().items() if k in soak.Stats.KINDS and v}
    assert got == want, stats.notes
    assert stats.totals()["bytes"] == len(data)


@pytest.mark.parametrize("short_by, want", [(0, {}), (5, {"loss": 1}), (len(F[-1]) + 3, {"loss": 1})])
def test_tail_check_against_the_writers_count(short_by, want):
    sender = soak.Outgoing(FACE, STREAM)
    sent = sender.peek(len(WHOLE) - 40)
    sender.advance(len(sent))
    stats = soak.Stats("t")
    receiver = stats.incoming(FACE, STREAM)
    receiver.feed(sent[: len(sent) - short_by])
    soak.check_tail(stats, sender, receiver, "t")
    got = {k: v for k, v in stats.totals().items() if k in soak.Stats.KINDS and v}
    assert got == want


def test_writer_account_follows_partial_writes():
    # Resending from the writer's account after short writes gives the stream unchanged.
    sender = soak.Outgoing(FACE, STREAM)
    out = bytearray()
    rng = random.Random(5)
    while len(out) < len(WHOLE):
        if rng.random() < 0.5:
            chunk = b"".join(sender.peek_frames(rng.randint(1, 3)))
        else:
            chunk = sender.peek(rng.randint(1, 500))
        n = rng.randint(0, len(chunk))
        out += chunk[:n]
        sender.advance(n)
    assert bytes(out[: len(WHOLE)]) == WHOLE
    assert sender.sent == len(out)
