"""Throughput mode's last, incomplete batch: its ticks still reach the engine but
are never held for the strategy, so a batch larger than a whole tick file keeps
the run's memory bounded by the file reader's block."""

import pytest

import tallowmarsh as t
from conftest import Quiet, make_ticks


class BuyOnBatch:
    """Buys one lot at market on the given call (1-based) and counts its calls."""

    def __init__(self, on_call):
        self.on_call = on_call
        self.calls = 0
        self.seen = []

    def on_batch(self, ticks):
        self.calls += 1
        self.seen.append([k.exch_ts for k in ticks])
        if self.calls == self.on_call:
            return [t.Order("buy", 1)]
        return None


def status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise LookupError(key)


@pytest.fixture
def ten_tick_file(tmp_path):
    path = str(tmp_path / "ten.tmtk")
    t.save_ticks(path, make_ticks(10, price=100))
    return path


class TestIncompleteLastBatch:
    @pytest.mark.parametrize("source", ["list", "file"])
    def test_the_tail_reaches_the_engine_but_not_the_strategy(self, source, ten_tick_file):
        ticks = make_ticks(10, price=100) if source == "list" else t.load_ticks(ten_tick_file)
        strategy = BuyOnBatch(on_call=3)
        result = t.run_backtest(strategy, ticks, 1000, batch=3)
        # Called after ticks 3, 6 and 9; the order of the third call fills on tick 10.
        assert strategy.seen == [[0, 1, 2], [3, 4, 5], [6, 7, 8]]
        assert result.ticks == 10
        assert result.fill_prices == [101]

    @pytest.mark.parametrize("source", ["list", "file"])
    def test_a_batch_larger_than_the_series_never_calls_the_strategy(self, source,
                                                                     ten_tick_file):
        ticks = make_ticks(10) if source == "list" else t.load_ticks(ten_tick_file)
        strategy = Quiet()
        result = t.run_backtest(strategy, ticks, 1000, batch=2**40)
        assert (strategy.calls, result.ticks) == (0, 10)

    def test_a_batch_larger_than_the_file_keeps_memory_bounded(self, tmp_path):
        n = 500_000  # 32 MB of records
        path = str(tmp_path / "big.tmtk")
        t.save_ticks(path, make_ticks(n))
        source = t.load_ticks(path)
        base = status_kib("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")  # restart the peak resident size from here
        except OSError:
            pytest.skip("the peak resident size cannot be reset here")
        result = t.run_backtest(Quiet(), source, 1000, batch=n + 1)
        grown_mib = (status_kib("VmHWM") - base) / 1024
        assert result.ticks == n
        assert grown_mib < 8, f"the run grew the process by {grown_mib:.1f} MiB"
