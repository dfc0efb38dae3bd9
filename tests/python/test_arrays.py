"""Ticks as arrays: every accepted form against the Tick list, every refusal's text,
arrays -> TickWriter -> read/chunks round trips, and the writer's lifecycle."""

import gc
import os
import random
import struct
import threading
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tallowmarsh as t
from conftest import NOT_TICKS, Swing, summary, walk

np = pytest.importorskip("numpy")
F = t.TICK_FIELDS
RECORD = np.dtype([(f, "<i8") for f in F])


def rows(ticks):
    return np.array([[getattr(k, f) for f in F] for k in ticks], dtype=np.int64)


def records(a):
    return np.ascontiguousarray(a).view(RECORD).reshape(-1)


def seeded(seed, n):
    """n records with rising times (repeats included) and arbitrary int64 fields."""
    rng = np.random.default_rng(seed)
    a = rng.integers(-2**63, 2**63 - 1, size=(n, 8), dtype=np.int64, endpoint=True)
    a[:, 0] = np.cumsum(rng.integers(0, 3, size=n)) - 2**40
    return a


def test_every_form_runs_as_the_tick_list(tmp_path):
    ticks = walk(7, 800)
    a = rows(ticks)
    forms = [a, t.Int64Array(a.tobytes(), a.shape), records(a), dict(zip(F, a.T)),
             {f: a[:, i].copy() for i, f in enumerate(F)}]
    for batch in (1, 7):
        expected = summary(t.run_backtest(Swing(), ticks, 10**6, batch=batch))
        for form in forms:
            assert summary(t.run_backtest(Swing(), form, 10**6, batch=batch)) == expected
    # Missing columns default as Tick defaults them.
    minimal = {"exch_ts": a[:, 0], "last": a[:, 2]}
    path = str(tmp_path / "m.tmtk")
    assert t.save_ticks(path, minimal) == 800
    expected = rows([t.Tick(int(e), int(p)) for e, p in zip(a[:, 0], a[:, 2])])
    assert (np.asarray(t.load_ticks(path).read()) == expected).all()
    assert repr(t.compare_modes(Swing, a, 10**6, 5)) == repr(t.compare_modes(Swing, ticks, 10**6, 5))


A = np.zeros((3, 8), dtype=np.int64)
EXPECTED_ROWS = ("ticks: expected an (n, 8) int64 array, or 64-byte records of the eight int64 "
                 "fields exch_ts, local_ts, last, high, low, bid, ask, volume; got ")
REFUSALS = [
    (A.astype(np.float64), TypeError, EXPECTED_ROWS + "format 'd' (item size 8)"),
    (A.astype(">i8"), TypeError, EXPECTED_ROWS + "format '>q' (item size 8)"),
    (b"", TypeError, EXPECTED_ROWS + "format 'B' (item size 1)"),
    (np.zeros(3, dtype=[(f, "<i8") for f in reversed(F)]), TypeError,
     EXPECTED_ROWS + "format 'T{" + "".join(f"l:{f}:" for f in reversed(F)) + "}' (item size 64)"),
    (A[:, :7], ValueError, "ticks: expected an int64 array of shape (n, 8); got shape (3, 7)"),
    (A.reshape(-1), ValueError, "ticks: expected an int64 array of shape (n, 8); got shape (24,)"),
    (records(A).reshape(3, 1), ValueError,
     "ticks: expected records of shape (n,); got shape (3, 1)"),
    (np.zeros((6, 8), dtype=np.int64)[::2], ValueError,
     "ticks: the array must be C-contiguous (numpy.ascontiguousarray makes it so); "
     "got strides (128, 8)"),
    ({"exch_ts": A[:, 0]}, ValueError,
     "ticks: the columns exch_ts and last are required; missing last"),
    ({"last": A[:, 0]}, ValueError,
     "ticks: the columns exch_ts and last are required; missing exch_ts"),
    ({"exch_ts": A[:, 0], "last": A[:2, 0]}, ValueError,
     "ticks: the columns differ in length: exch_ts has 3, last has 2"),
    ({"exch_ts": A[:, 0], "price": A[:, 0]}, ValueError,
     "ticks: unknown field 'price'; the fields are exch_ts, local_ts, last, high, low, bid, ask, "
     "volume"),
    ({"exch_ts": A[:, 0], "last": [1, 2, 3]}, TypeError,
     "ticks['last']: expected a 1-D int64 buffer (a numpy int64 array); got list"),
    ({"exch_ts": A[:, 0], "last": A[:, 0].astype(np.int32)}, TypeError,
     "ticks['last']: expected int64 values; got format 'i' (item size 4)"),
    ({"exch_ts": A[:, 0], "last": A[:, :2]}, ValueError,
     "ticks['last']: expected one dimension; got shape (3, 2)"),
    ("ticks", TypeError, NOT_TICKS),
    ([A], TypeError, NOT_TICKS),
]


@pytest.mark.parametrize("given_, exc, text", REFUSALS)
def test_refusals_say_what_was_expected_and_given(tmp_path, given_, exc, text):
    path = str(tmp_path / "r.tmtk")
    calls = [lambda: t.run_backtest(Swing(), given_, 1000), lambda: t.save_ticks(path, given_),
             lambda: t.lookahead_check(Swing, given_, 1000)]
    with t.TickWriter(path) as writer:
        calls.append(lambda: writer.write(given_))
        for call in calls:
            with pytest.raises(exc) as info:
                call()
            assert str(info.value) == text
    assert len(t.load_ticks(path)) == 0


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.integers(0, 2**32), st.integers(0, 3000), st.integers(1, 700))
def test_arrays_round_trip_through_writer_read_and_chunks(tmp_path, seed, n, size):
    a = seeded(seed, n)
    path = str(tmp_path / "rt.tmtk")
    rng = random.Random(seed)
    with t.TickWriter(path, instrument=9) as writer:
        i = 0
        while i < n:  # chunks of every accepted array form
            j = min(n, i + rng.randint(0, 500))
            writer.write(rng.choice([lambda b: b, records, lambda b: dict(zip(F, b.T))])(a[i:j]))
            i = j
    source = t.load_ticks(path)
    assert (source.count, source.instrument) == (n, 9)
    assert (np.asarray(source.read()) == a).all()
    assert (np.concatenate([np.asarray(c) for c in source.chunks(size)] or [a[:0]]) == a).all()
    start, count = rng.randint(0, n), rng.randint(0, n)
    assert (np.asarray(source.read(start, count)) == a[start:start + count]).all()
    t.save_ticks(path + "2", a, instrument=9)
    assert open(path + "2", "rb").read() == open(path, "rb").read()


def test_damaged_file_fails_read_and_chunks_as_a_run(tmp_path):
    path = str(tmp_path / "d.tmtk")
    t.save_ticks(path, seeded(1, 20000))
    with open(path, "r+b") as f:
        f.seek(32 + 64 * 15000)
        f.write(b"\x01")
    source = t.load_ticks(path)
    with pytest.raises(ValueError) as run:
        t.run_backtest(Swing(), source, 1000)
    reason = str(run.value).split(": ", 1)[1]
    for call in (source.read, lambda: list(source.chunks(8192))):
        with pytest.raises(ValueError, match=f"^{path}: {reason}$"):
            call()
    assert np.asarray(source.read(0, 100)).shape == (100, 8)  # the checksum is not reached


def test_writer_lifecycle(tmp_path):
    a = seeded(2, 1000)
    path = str(tmp_path / "w.tmtk")

    def leftovers():
        return sorted(os.listdir(tmp_path))

    writer = t.TickWriter(path)
    writer.write(a[:600])
    assert not os.path.exists(path)
    with pytest.raises(ValueError, match=r"tick 600 goes backwards: previous exchange time "
                       rf"{a[599, 0]}, found {a[0, 0]} \(item 0 of this write"):
        writer.write(a[:10])
    b = a[600:].copy()
    b[5, 0] = b[4, 0] - 1
    with pytest.raises(ValueError, match=r"tick 605 goes backwards.*\(item 5 of this write"):
        writer.write(b)
    assert writer.count == 600
    assert writer.write(a[600:]) == 400 and writer.close() == 1000 and writer.closed
    assert writer.close() == 1000
    with pytest.raises(ValueError, match="the TickWriter is closed"):
        writer.write(a)
    assert leftovers() == ["w.tmtk"]
    original = open(path, "rb").read()
    ended = [lambda w: w.abort(), lambda w: w.__exit__(KeyError, KeyError(), None)]
    for end in ended + [None]:
        w = t.TickWriter(path)
        w.write(a[:3])
        if end:
            end(w)
            assert w.closed and w.count == 0
        del w
        gc.collect()
        assert leftovers() == ["w.tmtk"] and open(path, "rb").read() == original
    with pytest.raises(ValueError, match="No such file or directory"):
        t.TickWriter(str(tmp_path / "missing" / "x.tmtk"))


def test_long_writes_are_whole_and_a_late_backwards_tick_leaves_no_trace(tmp_path):
    a = seeded(4, 70_000)  # 4.5 MB: long enough to be written on two threads
    path = str(tmp_path / "long.tmtk")
    t.save_ticks(path, a)
    saved = open(path, "rb").read()
    assert saved[32:] == a.tobytes() and struct.unpack_from("<I", saved, 24)[0] == zlib.crc32(a)
    b = a.copy()
    b[60_000, 0] = b[59_999, 0] - 1
    with t.TickWriter(path + "2") as writer:
        writer.write(a[:3])
        with pytest.raises(ValueError, match=r"tick 60000 goes backwards.*\(item 59997 of this"):
            writer.write(b[3:])
        assert writer.count == 3
        writer.write(a[3:])
    assert open(path + "2", "rb").read() == saved
    assert (np.asarray(t.load_ticks(path).read()) == a).all()


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_writer_to_a_fifo_writes_the_whole_file(tmp_path):
    fifo, a = str(tmp_path / "pipe"), seeded(3, 80_000)  # the second write is piped
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
    reader.start()
    with t.TickWriter(fifo) as writer:
        writer.write(a[:2000])
        writer.write(a[2000:])
    reader.join()
    t.save_ticks(str(tmp_path / "f.tmtk"), a)
    assert got == [open(tmp_path / "f.tmtk", "rb").read()]


def test_lookahead_hands_build_the_form_it_was_given():
    ticks = walk(3, 300)
    a = rows(ticks)
    i64 = t.Int64Array(a.tobytes(), a.shape)
    for given_, check in [
        (a, lambda x: isinstance(x, np.ndarray) and np.shares_memory(x, a)),
        (i64, lambda x: x is i64 or (isinstance(x, memoryview) and x.obj is i64)),
        (dict(zip(F, a.T)), lambda x: all(np.shares_memory(x[f], a) for f in F)),
        (ticks, lambda x: isinstance(x, list) and isinstance(x[0], t.Tick)),
    ]:
        built = []

        def build(prefix):
            built.append(prefix)
            return Swing()

        report = t.lookahead_check(build, given_, 10**6, max_points=4)
        assert repr(report) == repr(t.lookahead_check(Swing, ticks, 10**6, max_points=4))
        assert built[0] is given_ or (rows(built[0]) == a).all()
        assert all(check(p) for p in built) and len(built) == 5
        assert [len(p["last"] if isinstance(p, dict) else p) for p in built[1:]] == sorted(
            len(p["last"] if isinstance(p, dict) else p) for p in built[1:])


def frame_columns(kind, a):
    """The README's recipe for each kind of frame: one int64 numpy column per field."""
    if kind == "pandas":
        df = pytest.importorskip("pandas").DataFrame(a, columns=F)
        return {c: df[c].to_numpy(np.int64) for c in F if c in df}
    if kind == "polars":
        df = pytest.importorskip("polars").DataFrame(a, schema=list(F), orient="row")
        return {c: df[c].to_numpy() for c in F if c in df.columns}
    pa, pq = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
    return pa, pq


@pytest.mark.parametrize("kind", ["pandas", "polars", "parquet"])
def test_readme_recipes(tmp_path, kind):
    a, path = seeded(5, 3000), str(tmp_path / "r.tmtk")
    if kind != "parquet":
        tm_count = t.save_ticks(path, frame_columns(kind, a))
    else:
        pa, pq = frame_columns(kind, a)
        pq.write_table(pa.table({c: a[:, i] for i, c in enumerate(F)}), tmp_path / "d.parquet")
        with t.TickWriter(path) as writer:
            for batch in pq.ParquetFile(tmp_path / "d.parquet").iter_batches(1000):
                writer.write({c: batch.column(c).to_numpy() for c in batch.schema.names})
        tm_count = writer.count
    assert tm_count == 3000 and (np.asarray(t.load_ticks(path).read()) == a).all()
