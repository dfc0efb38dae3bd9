"""Tick files from Python: the bytes save_ticks writes, the round trip through a
run, every refusal's text, and seeded corruptions judged by a model of the file."""

import itertools
import os
import random
import struct
import zlib

import pytest

import tallowmarsh as t
from conftest import (FAILED, NOT_TICKS, Items, Script, buy, failing, make_ticks,
                      message_of, sell, summary)

HEADER = struct.Struct("<4sHHQQII")


class Seen(Script):
    """Records every tick it is shown, as the tuple of its fields."""

    def __init__(self):
        super().__init__()
        self.ticks = []

    def on_tick(self, ctx):
        k = ctx.tick
        self.ticks.append((k.exch_ts, k.local_ts, k.last, k.high, k.low, k.bid, k.ask, k.volume))


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "ticks.tmtk")


def spoil(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def test_saved_bytes_and_round_trip(path):
    ticks = [t.Tick(1, 100, 2, 101, 99, 98, 102, 7), t.Tick(3, -5, volume=-1), t.Tick(2, 0)]
    assert t.save_ticks(path, ticks, instrument=42) == 3  # order is not checked when writing
    data = open(path, "rb").read()
    assert HEADER.unpack(data[:32]) == (b"TMTK", 2, 0, 3, 42, zlib.crc32(data[32:]), 0)
    assert [struct.unpack_from("<8q", data, 32 + 64 * i) for i in range(3)] == [
        (1, 2, 100, 101, 99, 98, 102, 7), (3, 3, -5, -5, -5, 0, 0, -1), (2, 2, 0, 0, 0, 0, 0, 0)]
    t.save_ticks(path, ticks[:2] + [t.Tick(2**62, 2**63 - 1, bid=-(2**63))])
    strategy = Seen()
    assert t.run_backtest(strategy, t.load_ticks(path), 1000).ticks == 3
    assert strategy.ticks[:2] == [struct.unpack_from("<8q", data, 32 + 64 * i) for i in range(2)]
    assert strategy.ticks[2] == (2**62, 2**62, 2**63 - 1, 2**63 - 1, 2**63 - 1, -(2**63), 0, 0)
    assert t.save_ticks(path, []) == 0
    assert open(path, "rb").read() == HEADER.pack(b"TMTK", 2, 0, 0, 1, 0, 0)
    assert (lambda s: (len(s), s.count, s.instrument))(t.load_ticks(path)) == (0, 0, 1)
    assert t.save_ticks(path, (t.Tick(1, 1),)) == 1
    assert t.save_ticks(path, Items([t.Tick(1, 1)])) == 1


def test_tick_source_runs_as_the_list_does_and_again(path):
    ticks = make_ticks(50, price=1000, step=1)
    t.save_ticks(path, ticks, instrument=9)
    plan, source = {1: [buy(2)], 7: [sell(1, price=1010)], 20: [sell(1)]}, t.load_ticks(path)
    for batch in (1, 3):
        runs = [summary(t.run_backtest(Script(plan), k, 5000, batch))
                for k in (ticks, source, source)]
        assert runs[0] == runs[1] == runs[2] and runs[0][1] >= 2
    assert (source.path, source.count, source.instrument, len(source)) == (path, 50, 9, 50)
    assert repr(source) == f"TickSource({path}, 50 ticks, instrument 9)"
    assert message_of(TypeError, t.save_ticks, path + "2", source) == NOT_TICKS
    assert message_of(TypeError, t.lookahead_check, Script, source, 1000) == NOT_TICKS
    spoil(path, 8, struct.pack("<Q", 2**63 + 5))
    assert t.load_ticks(path).count == 2**63 + 5
    with pytest.raises(OverflowError):
        len(t.load_ticks(path))


def test_save_refusals(path, tmp_path):
    target = str(tmp_path / "nowhere" / "t.tmtk")
    assert message_of(ValueError, t.save_ticks, target, make_ticks(2)).startswith(target + ": ")
    for call in (t.load_ticks, lambda p: t.save_ticks(p, [])):
        with pytest.raises(ValueError, match="embedded null byte"):
            call(path + "\0b")
    assert os.listdir(tmp_path) == []


def test_the_file_stops_the_run(path):
    t.save_ticks(path, make_ticks(3))
    source = t.load_ticks(path)
    os.remove(path)  # a source holds a path: a file gone since is refused when read
    for call in (lambda: t.run_backtest(Script(), source, 1000), lambda: t.load_ticks(path)):
        assert message_of(ValueError, call) == path + ": truncated: needed 32 bytes, 0 available"
    t.save_ticks(path, make_ticks(20000))
    spoil(path, 40, b"\xff")
    assert message_of(ValueError, t.run_backtest, failing(RuntimeError("first"))(),
                      t.load_ticks(path), 1000) == FAILED + "RuntimeError: first"  # it comes first
    with pytest.raises(KeyboardInterrupt):
        t.run_backtest(failing(KeyboardInterrupt)(), t.load_ticks(path), 1000)


def predict(data):
    """What a run over these bytes must do: ("header", message), or ("ran", times, message)
    with message None when every record is delivered."""
    if len(data) < 32:
        return "header", "truncated: needed 32 bytes, 0 available"
    magic, version, _, count, _, stored, _ = HEADER.unpack_from(data)
    if magic != b"TMTK":
        return "header", f"not a tick file: magic 0x{int.from_bytes(magic, 'little'):08x}"
    if version != 2:
        return "header", f"unknown tick file version {version}"
    times, crc, remaining = [], 0, count
    while remaining:  # blocks of 8192 records, each checked before any of it is delivered
        n = min(remaining, 8192)
        block = data[32 + 64 * (count - remaining):][:64 * n]
        if len(block) < 64 * n:
            return "ran", times, (f"truncated: needed {min(32 + 64 * count, 2**64 - 1)} bytes, "
                                  f"{32 + 64 * (count - remaining)} available")
        crc, remaining = zlib.crc32(block, crc), remaining - n
        if remaining == 0 and crc != stored:
            return "ran", times, f"checksum mismatch: expected 0x{stored:08x}, computed 0x{crc:08x}"
        for (ts,) in struct.iter_unpack("<q56x", block):
            if times and ts < times[-1]:
                return "ran", times, (f"tick {len(times)} goes backwards: previous exchange time "
                                      f"{times[-1]}, found {ts}")
            times.append(ts)
    return "ran", times, None


def mutate(data, rng):
    choice = rng.randrange(6)
    if choice == 0:
        data[rng.randrange(min(32, len(data)))] ^= rng.randrange(1, 256)
    elif choice == 1 and len(data) > 32:
        data[rng.randrange(32, len(data))] ^= 1 << rng.randrange(8)
    elif choice == 2:
        del data[rng.randrange(len(data) + 1):]
    elif choice == 3:
        count = struct.unpack_from("<Q", data, 8)[0]
        struct.pack_into("<Q", data, 8, rng.choice([count + 1, (count - 1) % 2**64, 2**64 - 1]))
    elif len(data) >= 32 + 128:  # an earlier time, with the checksum made right or not
        at = 32 + 64 * rng.randrange(1, (len(data) - 32) // 64)
        struct.pack_into("<q", data, at, struct.unpack_from("<q", data, at)[0] - 5)
        if choice == 4:
            struct.pack_into("<I", data, 24, zlib.crc32(bytes(data[32:])))
    return data


@pytest.mark.parametrize("seed", range(60))
def test_corrupt_file_does_what_the_model_says(tmp_path, seed):
    rng, path = random.Random(seed), str(tmp_path / "m.tmtk")
    n = rng.choice([0, 1, 7, 300, 8193, 20000])
    t.save_ticks(path, [t.Tick(ts, 100) for ts in itertools.accumulate(
        rng.choice([0, 1, 1, 2, 1000]) for _ in range(n))])
    data = mutate(bytearray(open(path, "rb").read()), rng)
    open(path, "wb").write(data)
    kind, *expected = predict(bytes(data))
    if kind == "header":
        assert message_of(ValueError, t.load_ticks, path) == f"{path}: {expected[0]}"
        return
    (times, message), strategy, source = expected, Seen(), t.load_ticks(path)
    for batch, watch in ((2**40, Seen()), (1, strategy)):
        if message is None:
            assert t.run_backtest(watch, source, 1000, batch=batch).ticks == len(times)
        else:
            assert message_of(ValueError, t.run_backtest, watch, source, 1000, batch=batch) == \
                f"the tick file stopped the run after {len(times)} ticks: {message}"
    assert [k[0] for k in strategy.ticks] == times
