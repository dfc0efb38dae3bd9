"""Sweeps on threads, serially and on a Dask cluster; progress reports; pickling."""

import os
import pickle
import signal
import sys
import threading
import time

import pytest

import tallowmarsh as t
from conftest import summary, walk


class Cross:
    """Long while the mean of the last `fast` prices is above the mean of the last
    `slow`, short below, on every tick or once per batch. fast == 0 fails the run."""

    def __init__(self, fast, slow, pause=0.0):
        self.fast, self.slow, self.pause, self.prices = fast, slow, pause, []

    def on_tick(self, ctx):
        self.position = ctx.position
        return self.on_batch([ctx.tick])

    def on_batch(self, ticks):
        time.sleep(self.pause)
        self.fast = self.fast // self.fast * self.fast
        self.prices = (self.prices + [k.last for k in ticks])[-self.slow:]
        fast = sum(self.prices[-self.fast:]) * self.slow
        target = 2 if fast > sum(self.prices) * self.fast else -2
        change = target - self.position
        return [t.Order("buy" if change > 0 else "sell", abs(change))] if change else None


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("sweep") / "walk.tmtk")
    t.save_ticks(path, walk(5, 4000))
    return t.load_ticks(path)


GRID = {"fast": [2, 5, 0], "slow": [20, 40]}


def rows(result):
    return [(p, summary(r) if r else None, row) for p, r, row in
            zip(result.params, result.results, result.returns)]


def run(source, **kwargs):
    return t.sweep(Cross, GRID, source, 10_000, batch=16, equity_every=160, **kwargs)


def test_grid_and_failures(source):
    result = run(source, threads=1)
    assert result.params == ({"fast": 2, "slow": 20}, {"fast": 2, "slow": 40},
                             {"fast": 5, "slow": 20}, {"fast": 5, "slow": 40},
                             {"fast": 0, "slow": 20}, {"fast": 0, "slow": 40})
    assert [p for p, _ in result.failures] == [{"fast": 0, "slow": 20}, {"fast": 0, "slow": 40}]
    assert all("ZeroDivisionError" in text for _, text in result.failures)
    assert result.results[4] is None and all(result.results[:4])
    assert {len(row) for row in result.returns[:4]} == {4000 // 160}
    assert result.best == max(range(4), key=lambda i: result.sharpes[i])
    assert "failed: ValueError: the strategy failed" in result.table() and "deflated" in result.judgement()
    listed = t.sweep(Cross, [{"fast": 3, "slow": 9}], source, 10_000, batch=16)
    assert listed.params == ({"fast": 3, "slow": 9},) and listed.pbo is None
    for bad, error in (({"fast": 3}, TypeError), ([], ValueError), (["x"], TypeError)):
        with pytest.raises(error):
            t.sweep(Cross, bad, source, 10_000)


def test_threads_serial_and_pickle_agree(source):
    serial = run(source, threads=1)
    assert rows(run(source)) == rows(serial)
    copy = pickle.loads(pickle.dumps(serial))
    assert rows(copy) == rows(serial) and repr(copy) == repr(serial)
    assert (copy.pbo, copy.deflated_sharpe, copy.best) == (serial.pbo, serial.deflated_sharpe,
                                                          serial.best)


def test_local_cluster_agrees_with_serial(source):
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        on_cluster = run(source, executor=client, chunk=2)
    assert rows(on_cluster) == rows(run(source, threads=1))


def test_ctrl_c_cancels_a_sweep(source):
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            t.sweep(Cross, {"fast": [2] * 8, "slow": [20], "pause": [0.004]}, source, 10_000,
                    batch=16, threads=2)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - started < 2.0  # the whole sweep would take about 4 s


def test_progress_forms(source, capsys, monkeypatch):
    calls = []
    result = t.run_backtest(Cross(2, 20), source, 10_000, batch=16,
                            progress=lambda done, total: calls.append((done, total)))
    assert calls[0] == (0, 4000) and calls[-1] == (4000, 4000) == (result.ticks, len(source))
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)

    def stop(done, total):
        raise LookupError("enough")
    with pytest.raises(LookupError, match="enough"):
        t.run_backtest(Cross(2, 20), walk(1, 3000), 10_000, batch=16, progress=stop)
    with pytest.raises(TypeError, match="progress must be"):
        t.run_backtest(Cross(2, 20), source, 10_000, batch=16, progress=3)

    pytest.importorskip("tqdm")
    t.run_backtest(Cross(2, 20), source, 10_000, batch=16, progress=True)
    assert "4.00k/4.00k" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as if tqdm were not installed
    seen = []
    run(source, progress=True)
    run(source, progress=lambda done, total: seen.append((done, total)))
    assert "100%|" in capsys.readouterr().err and seen[-1] == (6, 6)


def test_values_pickle_exactly(source):
    tick = t.Tick(5, 100, local_ts=7, high=103, low=98, bid=99, ask=101, volume=12)
    compared = t.compare_modes(lambda: Cross(2, 20), walk(2, 500), 10_000, 16)
    report = t.lookahead_check(lambda ticks: Cross(2, 20), walk(3, 300), 10_000, max_points=5)
    for value, fields in ((tick, t.TICK_FIELDS),
                          (t.Order("sell", 2, "close", price=61_000), ("side", "qty", "offset",
                                                                        "price")),
                          (t.Order("buy", 1), ("side", "qty", "offset", "price")),
                          (source, ("path", "count", "instrument")),
                          (compared, ("batch", "compat_fills", "batched_fills", "first_divergence",
                                      "equity_difference", "identical")),
                          (report, ("signals", "checked", "divergences", "clean"))):
        copy = pickle.loads(pickle.dumps(value))
        assert type(copy) is type(value) and repr(copy) == repr(value)
        assert [getattr(copy, f) for f in fields] == [getattr(value, f) for f in fields]


def test_a_relative_tick_source_pickles_the_file_it_reads(tmp_path, monkeypatch):
    for name, seed in (("a", 1), ("b", 2)):
        (tmp_path / name).mkdir()
        t.save_ticks(str(tmp_path / name / "walk.tmtk"), walk(seed, 50 * seed))
    monkeypatch.chdir(tmp_path / "a")
    source = t.load_ticks("walk.tmtk")
    data = pickle.dumps(source)
    monkeypatch.chdir(tmp_path / "b")  # where the same relative path names another file
    copy = pickle.loads(data)
    assert source.path == "walk.tmtk" and repr(source).startswith("TickSource(walk.tmtk,")
    assert copy.path == str(tmp_path / "a" / "walk.tmtk") and len(copy) == len(source) == 50
    assert summary(t.run_backtest(Cross(2, 20), copy, 10_000, batch=16)) == \
        summary(t.run_backtest(Cross(2, 20), source, 10_000, batch=16))
