"""Seeded corruptions of sound tick files, run from Python.

A small model of the whole file format predicts, for any bytes, what a run
over them must do: refuse the file at load_ticks with the header's message,
stop after a known number of ticks with the reader's message, or finish with
every record. Each mutated file must do exactly what the model says, and
deliver exactly the ticks the model delivers.
"""

import random
import struct
import zlib

import pytest

import tallowmarsh as t

MAGIC = 0x4B544D54
HEADER = 32
RECORD = 64
BLOCK = 8192
MUTATIONS = 600
SIZES = [0, 1, 7, 300, 8191, 8192, 8193, 20000]


# --- The model ----------------------------------------------------------------

def predict(data):
    """("header", message), ("stopped", ticks, times, message) or ("ok", ticks, times)."""
    if len(data) < HEADER:
        return ("header", "truncated: needed 32 bytes, 0 available")
    magic, version, count, stored = (struct.unpack_from("<I", data, 0)[0],
                                     struct.unpack_from("<H", data, 4)[0],
                                     struct.unpack_from("<Q", data, 8)[0],
                                     struct.unpack_from("<I", data, 24)[0])
    if magic != MAGIC:
        return ("header", f"not a tick file: magic 0x{magic:08x}")
    if version != 2:
        return ("header", f"unknown tick file version {version}")
    times, previous, crc, remaining, at = [], None, 0, count, HEADER
    while remaining:
        n = min(remaining, BLOCK)
        block = data[at:at + RECORD * n]
        if len(block) < RECORD * n:
            needed = min(HEADER + RECORD * count, 2**64 - 1)
            available = HEADER + RECORD * (count - remaining)
            return ("stopped", len(times), times,
                    f"truncated: needed {needed} bytes, {available} available")
        crc = zlib.crc32(block, crc)
        remaining -= n
        at += RECORD * n
        if remaining == 0 and crc != stored:
            return ("stopped", len(times), times,
                    f"checksum mismatch: expected 0x{stored:08x}, computed 0x{crc:08x}")
        for (ts,) in struct.iter_unpack("<q8x8x8x8x8x8x8x", block):
            if previous is not None and ts < previous:
                return ("stopped", len(times), times,
                        f"tick {len(times)} goes backwards: previous exchange time "
                        f"{previous}, found {ts}")
            previous = ts
            times.append(ts)
    return ("ok", len(times), times)


# --- Sound files and their mutations ----------------------------------------

def sound_file(tmp_path, n, rng):
    ticks, ts = [], rng.randrange(-1000, 1000)
    for i in range(n):
        ts += rng.choice([0, 1, 1, 2, 1000])
        last = 100 + rng.randrange(-5, 6)
        ticks.append(t.Tick(ts, last, bid=last - 1, ask=last + 1, volume=i))
    path = tmp_path / "sound.tmtk"
    assert t.save_ticks(str(path), ticks, instrument=rng.randrange(2**64)) == n
    return bytearray(path.read_bytes())


def set_u(data, offset, fmt, value):
    struct.pack_into(fmt, data, offset, value)


def refresh_checksum(data):
    set_u(data, 24, "<I", zlib.crc32(bytes(data[HEADER:])) if len(data) > HEADER else 0)


def records(data):
    return (len(data) - HEADER) // RECORD


def flip_header(data, rng):
    data[rng.randrange(HEADER)] ^= rng.randrange(1, 256)


def flip_reserved(data, rng):
    data[rng.choice([6, 7, 28, 29, 30, 31])] ^= rng.randrange(1, 256)


def flip_record(data, rng):
    if len(data) > HEADER:
        data[rng.randrange(HEADER, len(data))] ^= 1 << rng.randrange(8)


def truncate(data, rng):
    del data[rng.randrange(len(data) + 1):]


def cut_records(data, rng):
    # Whole records lost after the header was written: a short file.
    n = records(data)
    if n:
        del data[HEADER + RECORD * rng.randrange(n):]


def extend(data, rng):
    data.extend(rng.randbytes(rng.choice([1, 63, 64, 640, 70000])))


def change_count(data, rng):
    count = struct.unpack_from("<Q", data, 8)[0]
    choice = rng.randrange(4)
    value = (count + rng.randrange(1, 20000) if choice == 0 else
             max(0, count - rng.randrange(1, 20000)) if choice == 1 else
             rng.randrange(2**64) if choice == 2 else 2**64 - 1)
    set_u(data, 8, "<Q", value)


def change_magic(data, rng):
    set_u(data, 0, "<I", rng.choice([0, 0x44434241, MAGIC ^ 1, rng.randrange(2**32)]))


def change_version(data, rng):
    set_u(data, 4, "<H", rng.choice([0, 1, 3, 0xFFFF, rng.randrange(2**16)]))


def backwards(data, rng, fix_checksum):
    n = records(data)
    if n >= 2:
        i = rng.randrange(1, n)
        previous = struct.unpack_from("<q", data, HEADER + RECORD * (i - 1))[0]
        set_u(data, HEADER + RECORD * i, "<q", max(previous - rng.randrange(1, 5), -(2**63)))
        if fix_checksum:
            refresh_checksum(data)


MUTATORS = [
    flip_header, flip_reserved, flip_record, truncate, cut_records, extend, change_count,
    change_magic, change_version,
    lambda data, rng: backwards(data, rng, fix_checksum=True),
    lambda data, rng: backwards(data, rng, fix_checksum=False),
]


def mutate(data, rng):
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        mutator = rng.choice(MUTATORS)
        if len(data) >= HEADER or mutator in (truncate, extend):
            mutator(data, rng)
    return data


class Times:
    """Records the exchange time of every tick it is shown."""

    def __init__(self):
        self.times = []

    def on_tick(self, ctx):
        self.times.append(ctx.tick.exch_ts)


class Never:
    def on_batch(self, ticks):
        raise AssertionError("a batch larger than the file is never delivered")


# --- The checks ----------------------------------------------------------------

def run_file(path, expected):
    """Runs `path` and checks the outcome against the model's prediction."""
    if expected[0] == "header":
        with pytest.raises(ValueError) as info:
            t.load_ticks(path)
        assert str(info.value) == f"{path}: {expected[1]}"
        return
    source = t.load_ticks(path)
    if expected[0] == "ok":
        _, n, times = expected
        result = t.run_backtest(Never(), source, 1000, batch=2**40)
        assert result.ticks == n
        if n <= 2000:
            strategy = Times()
            assert t.run_backtest(strategy, source, 1000).ticks == n
            assert strategy.times == times
        return
    _, n, times, message = expected
    with pytest.raises(ValueError) as info:
        t.run_backtest(Never(), source, 1000, batch=2**40)
    assert str(info.value) == f"the tick file stopped the run after {n} ticks: {message}"
    if n <= 2000:
        strategy = Times()
        with pytest.raises(ValueError):
            t.run_backtest(strategy, source, 1000)
        assert strategy.times == times


@pytest.mark.parametrize("seed", range(MUTATIONS))
def test_mutated_file_does_what_the_model_says(tmp_path, seed):
    rng = random.Random(seed)
    data = mutate(sound_file(tmp_path, rng.choice(SIZES), rng), rng)
    path = str(tmp_path / "mutated.tmtk")
    with open(path, "wb") as f:
        f.write(data)
    run_file(path, predict(bytes(data)))


class TestModel:
    """The model agrees with the reader's worked cases before it judges anything."""

    def test_sound_file_is_ok(self, tmp_path):
        data = sound_file(tmp_path, 20000, random.Random(1))
        assert predict(bytes(data))[:2] == ("ok", 20000)

    def test_flipped_last_record_stops_after_two_blocks(self, tmp_path):
        data = sound_file(tmp_path, 20000, random.Random(2))
        data[-1] ^= 0x40
        kind, n, _, message = predict(bytes(data))
        assert (kind, n) == ("stopped", 16384) and message.startswith("checksum mismatch")
        path = str(tmp_path / "m.tmtk")
        open(path, "wb").write(data)
        run_file(path, predict(bytes(data)))

    def test_short_file_stops_after_one_block(self, tmp_path):
        data = sound_file(tmp_path, 9000, random.Random(3))
        set_u(data, 8, "<Q", 10000)
        assert predict(bytes(data))[::3] == ("stopped",
                                              "truncated: needed 640032 bytes, 524320 available")
        assert predict(bytes(data))[1] == 8192

    def test_times_5_5_4(self, tmp_path):
        path = str(tmp_path / "b.tmtk")
        t.save_ticks(path, [t.Tick(5, 1), t.Tick(5, 1), t.Tick(4, 1)])
        expected = predict(open(path, "rb").read())
        assert expected[1] == 2
        assert expected[3] == "tick 2 goes backwards: previous exchange time 5, found 4"
        run_file(path, expected)

    def test_reserved_bytes_are_never_read(self, tmp_path):
        data = sound_file(tmp_path, 10, random.Random(4))
        for offset in (6, 7, 28, 29, 30, 31):
            data[offset] = 0xAB
        assert predict(bytes(data))[0] == "ok"
        path = str(tmp_path / "r.tmtk")
        open(path, "wb").write(data)
        run_file(path, predict(bytes(data)))


def test_file_changed_between_runs_of_one_source(tmp_path):
    # A TickSource holds a path: each run sees the file as it is then.
    path = str(tmp_path / "c.tmtk")
    t.save_ticks(path, [t.Tick(i, 100) for i in range(10000)])
    source = t.load_ticks(path)
    assert t.run_backtest(Never(), source, 1000, batch=2**40).ticks == 10000
    with open(path, "r+b") as f:
        f.truncate(HEADER + RECORD * 9000)
    with pytest.raises(ValueError, match=r"^the tick file stopped the run after 8192 ticks: "
                                         r"truncated: needed 640032 bytes, 524320 available$"):
        t.run_backtest(Never(), source, 1000, batch=2**40)
    assert len(source) == 10000
