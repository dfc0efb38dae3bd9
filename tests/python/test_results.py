"""RunResult's records, returns, pickling, DataFrames and the HTML report."""

import html.parser
import itertools
import os
import pickle
import shutil
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import tallowmarsh as t
from conftest import Script, Swing, make_ticks, walk

BALANCE = 1000


def crash():
    """Ten times leverage into a falling market: liquidated within a few ticks."""
    plan = {1: [t.Order("buy", 1000)]}
    return t.run_backtest(Script(plan), make_ticks(40, price=1000, step=-10), 10,
                          equity_every=1)


def test_worked_round_trip_books_its_cash_exactly():
    # Bought at the ask 101 after tick 1, sold at the bid 104 after tick 3.
    plan = {1: [t.Order("buy", 2)], 3: [t.Order("sell", 2, offset="close")]}
    r = t.run_backtest(Script(plan), make_ticks(6, step=2), BALANCE, equity_every=1)
    f = r.fill_records
    assert [c.tolist() for c in f] == [
        [1, 3], [1, 2], [1, -1], [0, 1], [103, 105], [2, 2], [0, 0], [1, 1], [0, 40000]]
    assert f.price.tolist() == r.fill_prices and r.fills == 2
    assert r.realised == 40000 and r.final_equity == BALANCE * t.CASH_SCALE + 40000
    assert r.fees_paid == 0 and r.funding_paid == 0
    assert r.equity_curve.exch_ts.tolist() == [0, 1, 2, 3, 4, 5]
    assert r.equity_curve.position.tolist() == [0, 2, 2, 0, 0, 0]


@pytest.mark.skipif(not hasattr(t, "Venue"), reason="needs venue=")
def test_worked_round_trip_with_fees_and_funding():
    # Taker fees of 5 bp on 2 x 103 and 2 x 105 lots of 10000; the long pays
    # 0.1 % funding on 2 x 102 (the mark before time 2).
    plan = {1: [t.Order("buy", 2)], 3: [t.Order("sell", 2, offset="close")]}
    venue = t.Venue(maker_fee="0.0002", taker_fee="0.0005", funding=[(2, "0.001")])
    r = t.run_backtest(Script(plan), make_ticks(6, step=2), BALANCE, equity_every=1, venue=venue)
    assert r.fill_records.fee.tolist() == [1030, 1050] and r.fees_paid == 2080
    assert r.funding_paid == -2040 and r.fill_records.realised.tolist() == [0, 40000]
    assert r.final_equity - BALANCE * t.CASH_SCALE == 40000 - 2080 - 2040 == r.realised - 4120
    assert r.equity_curve.equity.tolist()[-1] == r.final_equity


@pytest.mark.parametrize("seed,every", [(1, 1), (2, 7), (3, 3000), (4, 4999)])
def test_records_agree_with_the_totals(seed, every):
    ticks = walk(seed, 3000)
    r = t.run_backtest(Swing(), ticks, BALANCE, equity_every=every)
    f, c = r.fill_records, r.equity_curve
    assert len(f.price) == r.fills > 0 and f.price.tolist() == r.fill_prices
    assert sum(f.realised.tolist()) == r.realised and sum(f.fee.tolist()) == r.fees_paid
    assert set(f.exch_ts.tolist()) <= {x.exch_ts for x in ticks}
    due = sorted({0, len(ticks) - 1} | set(range(every - 1, len(ticks), every)))
    assert c.exch_ts.tolist() == [ticks[i].exch_ts for i in due]
    equity = c.equity.tolist()
    assert min(equity + [BALANCE * t.CASH_SCALE]) >= r.min_equity
    if every == 1:  # every tick sampled: the drawdown and the lowest equity are the curve's
        assert min(equity + [BALANCE * t.CASH_SCALE]) == r.min_equity
        peaks = itertools.accumulate([BALANCE * t.CASH_SCALE] + equity, max)
        assert r.max_drawdown == max(p - e for p, e in zip(peaks, [BALANCE * t.CASH_SCALE] +
                                                           equity))
    returns = r.returns()
    assert returns == pytest.approx([b / a - 1 for a, b in zip(equity, equity[1:])])
    assert r.returns(log=True) == pytest.approx(np.log1p(returns).tolist())
    assert every > 7 or isinstance(t.sharpe_ratio(returns), float)


def test_no_sampling_keeps_nothing_and_liquidations_are_recorded():
    quiet = t.run_backtest(Script(), make_ticks(10), BALANCE)
    assert [len(x) for x in quiet.equity_curve + quiet.fill_records] == [0] * 12
    assert quiet.returns() == [] and quiet.max_drawdown == 0 and quiet.margin_watch is None
    r = crash()
    liq = r.liquidation_records
    assert len(liq.price) == r.liquidations >= 1 and liq.balance.tolist()[-1] == r.final_equity
    assert r.max_drawdown == BALANCE // 100 * t.CASH_SCALE - r.min_equity
    assert r.returns()[-1] == -1.0 or r.equity_curve.equity.tolist()[-1] > 0


def test_pickle_and_numpy_share_exact_values():
    r = t.run_backtest(Swing(), walk(5, 500), BALANCE, equity_every=3)
    back = pickle.loads(pickle.dumps(r))
    assert repr(back) == repr(r) and back.equity_curve == r.equity_curve
    assert back.fill_records == r.fill_records and back.returns() == r.returns()
    names = ("realised", "max_drawdown", "max_adverse_excursion", "min_equity", "depth_gaps")
    assert [getattr(back, n) for n in names] == [getattr(r, n) for n in names]
    column = np.asarray(r.fill_records.fee)
    assert column.dtype == np.int64 and np.shares_memory(column, np.asarray(r.fill_records.fee))
    with pytest.raises((TypeError, ValueError)):
        t.RunResult._rebuild(("x", (0, 0, 0, 0), (0,) * 7, None, (), (), ()))


def test_to_pandas_with_and_without_pandas(monkeypatch):
    r = crash()
    if __import__("importlib").util.find_spec("pandas") is not None:
        frames = r.to_pandas()
        assert frames.fills["side"].tolist() == ["buy"] + ["sell"] * (r.fills - 1)
        assert frames.curve["equity"].dtype == np.int64
        assert frames.curve["equity"].tolist() == r.equity_curve.equity.tolist()
        assert len(frames.liquidations) == r.liquidations
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pip install pandas"):
        r.to_pandas()


class Shapes(html.parser.HTMLParser):
    """Counts every tag and the points of each polyline, by class."""

    def __init__(self):
        super().__init__()
        self.tags, self.points = [], {}

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append((tag, a.get("class")))
        if tag == "polyline":
            self.points.setdefault(a["class"], []).append(len(a["points"].split()))


def test_report_draws_every_sample_and_marks_liquidations(tmp_path):
    runs = [crash(), t.run_backtest(Swing(), walk(6, 300), BALANCE, equity_every=1)]
    path = t.report(runs, str(tmp_path / "r.html"))
    shapes = Shapes()
    shapes.feed(open(path, encoding="utf-8").read())
    sizes = [len(r.equity_curve.equity) for r in runs]
    assert shapes.points == {"equity": sizes, "drawdown": sizes, "position": sizes}
    assert shapes.tags.count(("circle", "liquidation")) == runs[0].liquidations
    assert not any(tag in ("script", "link", "img", "iframe") for tag, _ in shapes.tags)
    assert "<svg" in runs[1]._repr_html_()
    with pytest.raises(TypeError):
        t.report([], str(tmp_path / "none.html"))


def png_pixels(data):
    """The distinct (8-bit RGB or RGBA) pixel rows of a PNG, decoded with zlib alone."""
    pos, idat, header = 8, b"", None
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + size]
        header = body if kind == b"IHDR" else header
        idat += body if kind == b"IDAT" else b""
        pos += size + 12
    width, height, depth, colour = struct.unpack(">IIBB", header[:10])
    assert depth == 8 and colour in (2, 6)
    raw, stride = zlib.decompress(idat), width * (3 if colour == 2 else 4)
    # Filter bytes differ per row, but a blank image decodes to one repeated byte.
    return set(raw[r * (stride + 1) + 1:(r + 1) * (stride + 1)] for r in range(height))


@pytest.mark.skipif(shutil.which("chromium") is None, reason="needs Debian's chromium")
def test_report_renders_in_a_browser(tmp_path):
    path = t.report([crash()], str(tmp_path / "r.html"))
    shot = tmp_path / "shot.png"
    done = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                           f"--screenshot={shot}", "--window-size=1000,1400",
                           "file://" + os.path.abspath(path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert len(png_pixels(shot.read_bytes())) > 10
