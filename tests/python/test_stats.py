"""The statistics functions from Python: the papers' worked numbers, the judgements
against their formulas, and every refusal's text."""

import array
import math

import numpy as np
import pytest
from scipy import stats as sps

import tallowmarsh as t
from conftest import message_of

ZERO_VARIANCE = "sample has zero variance; Sharpe ratio is undefined"
ONE_CANDIDATE = ("deflation needs more than one configuration: with one candidate there was no "
                 "search to deflate, and the answer is the plain Sharpe ratio")
ONE_CONFIG = ("overfitting is a statement about a choice among alternatives; with one "
              "configuration there was no choice")
NAN, INF = float("nan"), float("inf")
GOOD = [0.01 * ((i * 7) % 5 - 2) for i in range(40)]


def test_worked_numbers():
    assert t.moments([1, 2, 3, 4]) == (pytest.approx(1.936492, abs=1e-6), 0.0, 1.64)
    assert type(t.moments([1, 2, 3, 4])) is tuple
    n = t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0)
    assert round(n, 1) == 272.9 and n == t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.95)
    assert n == pytest.approx(1 + 1.005 * (sps.norm.ppf(0.95) / 0.1) ** 2, rel=1e-12)
    assert [t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, p) for p in (0.05, 0.5)] == [1, 1]
    good = [1.0 if i % 2 else 1.2 for i in range(64)]
    poor = [-1.0 if i % 2 else 1.3 for i in range(64)]
    assert t.probability_of_backtest_overfitting([good, poor]) == 0.0
    columns = np.random.default_rng(7).normal(0, 0.01, (3, 40)).tolist()
    assert t.probability_of_backtest_overfitting(columns) == \
        t.probability_of_backtest_overfitting(columns, n_blocks=16)
    assert t.sharpe_ratio(columns[0]) == t.moments(columns[0])[0]


@pytest.mark.parametrize("scale", [1e-160, 1e-80, 1e75, 1e200, 1e300])
def test_extreme_scales_answer_as_ordinary_ones(scale):
    returns = [0.01 * ((i * 7) % 5 - 2) + 0.003 for i in range(40)]
    sharpe, skew, kurt = t.moments(returns)
    assert t.sharpe_ratio([r * scale for r in returns]) == pytest.approx(sharpe, rel=1e-12)
    assert t.moments([r * scale for r in returns]) == pytest.approx((sharpe, skew, kurt), rel=1e-12)


@pytest.mark.parametrize("seed", range(4))
def test_every_input_form_gives_the_same_bits(seed):
    rng = np.random.default_rng(seed)
    for scale in (1e-300, 1e-80, 1e-2, 1e80, 1e300):
        r = rng.normal(0.0003, 1.0, int(rng.integers(4, 3000))) * scale
        forms = (r.tolist(), tuple(r.tolist()), r, np.repeat(r, 2)[::2],
                 array.array("d", r.tolist()), memoryview(r))
        assert len({repr((t.moments(x), t.sharpe_ratio(x))) for x in forms}) == 1
    table = rng.normal(0.0002, 0.01, (6, 64))
    assert len({t.probability_of_backtest_overfitting(x, 8)
                for x in (table, table.tolist(), np.asfortranarray(table))}) == 1


def test_sharpe_judgements_match_their_formulas():
    n, o, b, s, k = 120, 0.11, 0.02, -0.4, 5.5
    z = (o - b) * math.sqrt(n - 1) / math.sqrt(1 - o * s + o * o * (k - 1) / 4)
    assert t.probabilistic_sharpe_ratio(o, b, n, s, k) == pytest.approx(sps.norm.cdf(z), rel=1e-13)
    g = 0.5772156649015329  # the trials' variance, 0.08, sets the expected maximum
    sr0 = math.sqrt(0.08) * ((1 - g) * sps.norm.ppf(0.5) + g * sps.norm.ppf(1 - 1 / (2 * math.e)))
    z = math.sqrt(249) * (1.2 - sr0) / math.sqrt(1 + 1.44 * 2 / 4)
    assert t.deflated_sharpe_ratio([0.8, 1.2], 250, 0.0, 3.0) == pytest.approx(sps.norm.cdf(z),
                                                                              rel=1e-9)
    assert t.deflated_sharpe_ratio([0.3, 0.3, 0.3], 100, 0.1, 4.0) == \
        t.probabilistic_sharpe_ratio(0.3, 0.0, 100, 0.1, 4.0)


@pytest.mark.parametrize("f,args,message", [
    *[(f, ([1, 2, 3],), "too few observations: got 3, need at least 4")
      for f in (t.moments, t.sharpe_ratio)],
    (t.moments, ([0.1] * 6,), ZERO_VARIANCE),  # the mean of six 0.1 is not 0.1 after rounding
    (t.sharpe_ratio, ([1, 2, NAN, 4],), "return must be finite"),
    (t.probabilistic_sharpe_ratio, (0.1, 0.0, 1, 0.0, 3.0),
     "too few observations: got 1, need at least 2"),
    (t.probabilistic_sharpe_ratio, (NAN, 0.0, 10, 0.0, 3.0), "sharpe must be finite"),
    (t.probabilistic_sharpe_ratio, (0.1, INF, 10, 0.0, 3.0), "benchmark must be finite"),
    (t.probabilistic_sharpe_ratio, (0.1, 0.0, 10, NAN, 3.0), "skewness must be finite"),
    (t.probabilistic_sharpe_ratio, (0.1, 0.0, 10, 0.0, -INF), "kurtosis must be finite"),
    (t.probabilistic_sharpe_ratio, (1.0, 0.0, 10, 0.0, -3.0), ZERO_VARIANCE),
    (t.deflated_sharpe_ratio, ([1.2], 250, 0.0, 3.0), ONE_CANDIDATE),
    (t.deflated_sharpe_ratio, ([], 250, 0.0, 3.0), ONE_CANDIDATE),
    # NaN never wins the maximum but spoils the variance, which sets the benchmark.
    (t.deflated_sharpe_ratio, ([NAN, 0.5], 250, 0.0, 3.0), "benchmark must be finite"),
    (t.deflated_sharpe_ratio, ([INF, 0.5], 250, 0.0, 3.0), "sharpe must be finite"),
    (t.deflated_sharpe_ratio, ([1.0, 0.5], 0, 0.0, 3.0),
     "too few observations: got 0, need at least 2"),
    (t.minimum_track_record_length, (0.1, 0.1, 0.0, 3.0), ZERO_VARIANCE),
    *[(t.minimum_track_record_length, (0.1, 0.0, 0.0, 3.0, p),
       "confidence must lie strictly between 0 and 1") for p in (0.0, 1.0, 1.5, -0.2)],
    *[(f, args, "the variance factor 1 - sharpe * skewness + sharpe^2 * (kurtosis - 1) / 4 is "
       "beyond the range of a double for these inputs")
      for f, args in [(t.probabilistic_sharpe_ratio, (1e300, 0, 100, 1e300, 3)),
                      (t.minimum_track_record_length, (1e300, 0, 1e300, 3))]],
    (t.minimum_track_record_length, (1e-200, 0.0, 0.0, 3.0),
     "the minimum track record length is beyond the range of a double for these inputs"),
    (t.moments, ([1.7e308, -1.7e308] * 2,),
     "the standard deviation of the returns is beyond the range of a double for these inputs"),
    (t.minimum_track_record_length, (0.1, 0.0, 0.0, 3.0, NAN), "confidence must be finite"),
    (t.minimum_track_record_length, (0.1, -INF, 0.0, 3.0, NAN), "benchmark must be finite"),
    (t.probability_of_backtest_overfitting, ([[0.1, 0.2]],), ONE_CONFIG),
    (t.probability_of_backtest_overfitting, ([],), ONE_CONFIG),
    (t.probability_of_backtest_overfitting, ([[1, 2, 3], [1, 2], [1]],),
     "column 1 has 2 returns and column 0 has 3; equalise them deliberately rather than having "
     "this truncate for you"),
    (t.probability_of_backtest_overfitting, ([[], []],),
     "malformed performance matrix: dimensions must be non-zero"),
    (t.probability_of_backtest_overfitting, ([GOOD, GOOD[:-1] + [NAN]],),
     "performance matrix entry must be finite"),
    *[(t.probability_of_backtest_overfitting, ([GOOD, GOOD], n),
       f"split count must be even, at least 4 and at most 24, got {n}") for n in (2, 3, 5, 26)],
    (t.probability_of_backtest_overfitting, ([GOOD[:31], GOOD[:31]],),
     "too few observations: got 31, need at least 32"),
    (t.probability_of_backtest_overfitting, ([[0.1] * 32, [0.2] * 32],), ZERO_VARIANCE),
])
def test_refusals(f, args, message):
    assert message_of(ValueError, f, *args) == message
