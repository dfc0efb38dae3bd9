"""The statistics functions: the normal distribution and moments against SciPy,
the overfitting estimate against a from-scratch NumPy evaluation, every
refusal and message, the argument conventions and the released lock."""

import inspect
import itertools
import math
import threading

import numpy as np
import pytest
from scipy import stats as sps

import tallowmarsh as t

ZERO_VARIANCE = "sample has zero variance; Sharpe ratio is undefined"
ONE_CANDIDATE = ("deflation needs more than one configuration: with one candidate there was no "
                 "search to deflate, and the answer is the plain Sharpe ratio")
ONE_CONFIG = ("overfitting is a statement about a choice among alternatives; with one "
              "configuration there was no choice")
NAN = float("nan")
INF = float("inf")
GOOD = [0.01 * ((i * 7) % 5 - 2) for i in range(40)]


def phi(x):
    """The module's normal distribution function: with two observations, no
    skewness and kurtosis 1 the dispersion factor is 1 and z = observed."""
    return t.probabilistic_sharpe_ratio(x, 0.0, 2, 0.0, 1.0)


def abs_quantile(p, scale=1e-6):
    """|inverse normal(p)| from the minimum track record: with skewness 0 and
    kurtosis 1 it is 1 + (z / observed)^2."""
    return scale * math.sqrt(t.minimum_track_record_length(scale, 0.0, 0.0, 1.0, p) - 1)


class TestRegistration:
    NAMES = ["sharpe_ratio", "moments", "probabilistic_sharpe_ratio", "deflated_sharpe_ratio",
             "probability_of_backtest_overfitting", "minimum_track_record_length"]
    SIGNATURES = {
        "sharpe_ratio": "(returns)",
        "moments": "(returns)",
        "probabilistic_sharpe_ratio": "(observed, benchmark, n_observations, skewness, kurtosis)",
        "deflated_sharpe_ratio": "(all_sharpes, n_observations, skewness, kurtosis)",
        "probability_of_backtest_overfitting": "(columns, n_blocks=16)",
        "minimum_track_record_length": "(observed, benchmark, skewness, kurtosis, confidence=0.95)",
    }

    def test_functions_are_added_in_registration_order(self):
        names = [n for n in vars(t) if n in self.NAMES]
        assert names == self.NAMES

    @pytest.mark.parametrize("name", NAMES)
    def test_documentation_is_the_signature_alone(self, name):
        f = getattr(t, name)
        assert f.__text_signature__ == self.SIGNATURES[name]
        assert str(inspect.signature(f)) == self.SIGNATURES[name]
        assert f.__doc__ is None


class TestNormalAgainstSciPy:
    @pytest.mark.parametrize("x", np.linspace(-3, 3, 61))
    def test_central_region(self, x):
        assert phi(x) == pytest.approx(sps.norm.cdf(x), rel=1e-14, abs=1e-16)

    # The rational approximation is accurate to about 1e-15 in absolute terms, a
    # few parts in 1e9 relative near its end at 7.07; a continued fraction beyond.
    @pytest.mark.parametrize("x,rel,abs_", [
        *[(x, 5e-9, None) for x in (-3.5, -4.0, -5.0, -6.0, -6.9, -7.0, -7.07)],
        *[(x, 1e-12, None) for x in (-7.08, -8.0, -10.0, -15.0, -25.0, -36.9)],
        *[(x, None, 2e-16) for x in (3.5, 5.0, 8.0, 20.0)],
    ])
    def test_tails(self, x, rel, abs_):
        assert phi(x) == pytest.approx(sps.norm.cdf(x), rel=rel, abs=abs_)

    def test_saturates_beyond_37(self):
        assert phi(-37.5) == 0.0
        assert phi(37.5) == 1.0
        assert phi(0.0) == 0.5

    # Below the saturated tail (1e-300 and less) the first estimate is kept.
    @pytest.mark.parametrize("p,rel", [
        *[(p, 1e-12) for p in (0.03, 0.1, 0.25, 0.4, 0.6, 0.75, 0.95, 0.975, 0.97)],
        *[(p, 1e-9) for p in (1e-250, 1e-100, 1e-20, 1e-9, 1e-4, 0.02, 0.98, 0.999, 1 - 1e-9,
                              1 - 2 ** -52)],
        *[(p, 5e-9) for p in (1e-300, 1e-310, 5e-324)],
    ])
    def test_inverse(self, p, rel):
        assert abs_quantile(p) == pytest.approx(abs(sps.norm.ppf(p)), rel=rel)

    def test_inverse_at_the_edges(self):
        assert t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.5) == 1.0
        assert t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.0) == INF
        assert math.isnan(t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.5))


class TestMoments:
    @pytest.mark.parametrize("seed", range(6))
    def test_agree_with_scipy(self, seed):
        rng = np.random.default_rng(seed)
        r = rng.standard_t(4 + seed, size=50 + 37 * seed) * 0.01 + 0.0003
        sharpe, skew, kurt = t.moments(r.tolist())
        assert sharpe == pytest.approx(r.mean() / r.std(ddof=1), rel=1e-12)
        assert skew == pytest.approx(sps.skew(r), rel=1e-10)
        assert kurt == pytest.approx(sps.kurtosis(r, fisher=False), rel=1e-10)
        assert t.sharpe_ratio(r.tolist()) == sharpe

    def test_worked_example_and_any_sequence(self):
        assert t.moments([1, 2, 3, 4]) == (pytest.approx(1.936492, abs=1e-6), 0.0, 1.64)
        assert type(t.moments([1, 2, 3, 4])) is tuple
        assert t.moments((1, 2, 3, 4))[0] == t.sharpe_ratio(np.array([1.0, 2.0, 3.0, 4.0]))

    def test_too_few_and_flat_and_non_finite(self):
        for f in (t.moments, t.sharpe_ratio):
            with pytest.raises(ValueError, match="^too few observations: got 3, need at least 4$"):
                f([1, 2, 3])
            with pytest.raises(ValueError, match=f"^{ZERO_VARIANCE}$"):
                f([0.1] * 6)  # the mean of six 0.1 is not 0.1 after rounding
            with pytest.raises(ValueError, match="^return must be finite$"):
                f([1, 2, NAN, 4])

    @pytest.mark.parametrize("f,returns", [(t.moments, "abcd"), (t.sharpe_ratio, [1, 2, "3", 4])])
    def test_non_numbers_are_refused_with_a_note(self, f, returns):
        with pytest.raises(TypeError) as e:
            f(returns)
        if isinstance(returns, str):
            assert str(e.value) == "Can't extract `str` to `Vec`"
        assert e.value.__notes__ == ["while processing 'returns'"]


class TestSharpeJudgements:
    def test_probabilistic_matches_the_formula(self):
        n, o, b, s, k = 120, 0.11, 0.02, -0.4, 5.5
        d = 1 - o * s + o * o * (k - 1) / 4
        expected = sps.norm.cdf((o - b) * math.sqrt(n - 1) / math.sqrt(d))
        assert t.probabilistic_sharpe_ratio(o, b, n, s, k) == pytest.approx(expected, rel=1e-13)

    def test_deflated_uses_the_best_trial_and_their_variance(self):
        n, s, k = 250, 0.0, 3.0
        v = 0.08  # sample variance of 1.2 and 0.8
        g = 0.5772156649015329
        sr0 = math.sqrt(v) * ((1 - g) * sps.norm.ppf(1 - 1 / 2) + g * sps.norm.ppf(1 - 1 / (2 * math.e)))
        d = 1 - 1.2 * s + 1.2 * 1.2 * (k - 1) / 4
        expected = sps.norm.cdf(math.sqrt(n - 1) * (1.2 - sr0) / math.sqrt(d))
        assert t.deflated_sharpe_ratio([1.2, 0.8], n, s, k) == pytest.approx(expected, rel=1e-9)
        assert t.deflated_sharpe_ratio([0.8, 1.2], n, s, k) == t.deflated_sharpe_ratio([1.2, 0.8], n, s, k)

    def test_deflated_without_spread_is_probabilistic_against_zero(self):
        assert t.deflated_sharpe_ratio([0.3, 0.3, 0.3], 100, 0.1, 4.0) == \
            t.probabilistic_sharpe_ratio(0.3, 0.0, 100, 0.1, 4.0)

    def test_minimum_track_record_worked_example_and_default(self):
        n = t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0)
        assert n == pytest.approx(1 + 1.005 * (sps.norm.ppf(0.95) / 0.1) ** 2, rel=1e-12)
        assert round(n, 1) == 272.9
        assert t.minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.95) == n
        assert t.minimum_track_record_length(observed=0.1, benchmark=0.0, skewness=0.0, kurtosis=3.0) == n

    @pytest.mark.parametrize("f,args,message", [
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
        (t.deflated_sharpe_ratio, ([NAN, NAN], 250, 0.0, 3.0), "benchmark must be finite"),
        (t.deflated_sharpe_ratio, ([INF, 0.5], 250, 0.0, 3.0), "sharpe must be finite"),
        (t.deflated_sharpe_ratio, ([1.0, 0.5], 0, 0.0, 3.0),
         "too few observations: got 0, need at least 2"),
        (t.minimum_track_record_length, (0.1, 0.1, 0.0, 3.0), ZERO_VARIANCE),
        (t.minimum_track_record_length, (0.1, 0.0, 0.0, 3.0, NAN), "confidence must be finite"),
        (t.minimum_track_record_length, (0.1, -INF, 0.0, 3.0, NAN), "benchmark must be finite"),
    ])
    def test_refusals(self, f, args, message):
        with pytest.raises(ValueError) as e:
            f(*args)
        assert str(e.value) == message


class TestArgumentConventions:
    @pytest.mark.parametrize("call,exc,param", [
        (lambda: t.probabilistic_sharpe_ratio(0.1, 0.0, -1, 0.0, 3.0), OverflowError,
         "n_observations"),
        (lambda: t.probability_of_backtest_overfitting([[1.0] * 8, [2.0] * 8], 2 ** 64),
         OverflowError, "n_blocks"),
        (lambda: t.deflated_sharpe_ratio([1.0, 0.5], 250.0, 0.0, 3.0), TypeError,
         "n_observations"),
        (lambda: t.probabilistic_sharpe_ratio(0.1, 0.0, 10, "0", 3.0), TypeError, "skewness"),
        (lambda: t.probability_of_backtest_overfitting(5), TypeError, "columns"),
    ])
    def test_conversion_failures_name_the_parameter(self, call, exc, param):
        with pytest.raises(exc) as e:
            call()
        assert e.value.__notes__ == [f"while processing '{param}'"]

    def test_keywords_and_python_wording(self):
        assert t.sharpe_ratio(returns=[1, 2, 3, 4]) == t.sharpe_ratio([1, 2, 3, 4])
        with pytest.raises(TypeError, match=r"^moments\(\) missing 1 required positional argument: 'returns'$"):
            t.moments()
        with pytest.raises(TypeError, match=r"^sharpe_ratio\(\) got an unexpected keyword argument 'r'$"):
            t.sharpe_ratio(r=[1, 2, 3, 4])
        with pytest.raises(TypeError, match=r"got multiple values for argument 'n_blocks'"):
            t.probability_of_backtest_overfitting([[1.0]], 4, n_blocks=4)

    def test_int_and_bool_are_floats(self):
        assert t.probabilistic_sharpe_ratio(1, 0, 10, 0, 3) == t.probabilistic_sharpe_ratio(1.0, 0.0, 10, 0.0, 3.0)
        assert t.probabilistic_sharpe_ratio(True, 0, True + 9, 0, 3) == t.probabilistic_sharpe_ratio(1.0, 0.0, 10, 0.0, 3.0)


def reference_pbo(columns, n_blocks):
    """The overfitting probability from its definition: block sums by a plain
    loop over periods, every combination from itertools, every union summed
    afresh left to right, a configuration without variance ranked last."""
    m = np.array(columns, dtype=float).T  # periods x configs
    n_periods, n_configs = m.shape
    block_of = np.minimum(n_blocks - 1, np.arange(n_periods) * n_blocks // n_periods)
    counts = np.zeros(n_blocks, dtype=np.int64)
    sums = np.zeros((n_blocks, n_configs))
    squares = np.zeros((n_blocks, n_configs))
    low = np.full((n_blocks, n_configs), np.inf)
    high = np.full((n_blocks, n_configs), -np.inf)
    for row, b in zip(m, block_of):
        counts[b] += 1
        sums[b] += row
        squares[b] += row * row
        low[b] = np.minimum(low[b], row)
        high[b] = np.maximum(high[b], row)

    def sharpes(blocks):
        s, q = np.zeros(n_configs), np.zeros(n_configs)
        lo, hi = np.full(n_configs, np.inf), np.full(n_configs, -np.inf)
        for b in blocks:
            s, q = s + sums[b], q + squares[b]
            lo, hi = np.minimum(lo, low[b]), np.maximum(high[b], hi)
        n = float(counts[list(blocks)].sum())
        mean = s / n
        var = (q - mean * (mean * n)) / (n - 1)
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = mean / np.sqrt(var)
        ratio[~((var > 0) & (lo < hi))] = -np.inf
        if not np.isfinite(ratio).any():
            raise ValueError(ZERO_VARIANCE)
        return ratio

    overfit = total = 0
    for chosen in itertools.combinations(range(n_blocks), n_blocks // 2):
        rest = [b for b in range(n_blocks) if b not in chosen]
        is_, oos = sharpes(chosen), sharpes(rest)
        w = int(np.argmax(is_))
        others = np.delete(oos, w)
        below, ties = int((others < oos[w]).sum()), int((others == oos[w]).sum())
        omega = min(max((below + 0.5 * ties + 1) / (n_configs + 1), 2.220446049250313e-16), 0.9999999999999998)
        overfit += math.log(omega / (1 - omega)) <= 0
        total += 1
    return overfit / total


class TestOverfitting:
    @pytest.mark.parametrize("seed,n_blocks,n_configs,n_periods", [
        (1, 4, 2, 8), (2, 6, 5, 40), (3, 8, 7, 61), (4, 10, 4, 100), (5, 12, 6, 73), (6, 16, 9, 64)])
    def test_agrees_with_a_from_scratch_evaluation(self, seed, n_blocks, n_configs, n_periods):
        rng = np.random.default_rng(seed)
        columns = []
        for c in range(n_configs):
            if c % 3 == 1:  # coarse returns: Sharpe ratios tie across configurations
                columns.append((rng.integers(-3, 4, n_periods) * 0.01).tolist())
            else:
                columns.append(rng.normal(0.0005, 0.01, n_periods).tolist())
        if n_configs > 3:
            columns[3] = list(columns[0])  # an exact duplicate
        if n_configs > 5:
            columns[5] = [0.7] * n_periods  # flat
        assert t.probability_of_backtest_overfitting(columns, n_blocks) == reference_pbo(columns, n_blocks)

    def test_default_is_sixteen_blocks(self):
        rng = np.random.default_rng(7)
        columns = rng.normal(0, 0.01, (3, 40)).tolist()
        assert t.probability_of_backtest_overfitting(columns) == \
            t.probability_of_backtest_overfitting(columns, n_blocks=16)

    def test_consistent_winner_and_consistent_loser(self):
        n = 64
        good = [1.0 if i % 2 else 1.2 for i in range(n)]
        poor = [-1.0 if i % 2 else 1.3 for i in range(n)]
        assert t.probability_of_backtest_overfitting([good, poor]) == 0.0

    @pytest.mark.parametrize("args,message", [
        (([[0.1, 0.2]],), ONE_CONFIG),
        (([],), ONE_CONFIG),
        (([[1, 2, 3], [1, 2], [1]],), "column 1 has 2 returns and column 0 has 3; equalise them "
                                      "deliberately rather than having this truncate for you"),
        (([[], []],), "malformed performance matrix: dimensions must be non-zero"),
        (([GOOD, GOOD[:-1] + [NAN]],), "performance matrix entry must be finite"),
        *[(([GOOD, GOOD], n), f"split count must be even, at least 4 and at most 24, got {n}")
          for n in (2, 3, 5, 26)],
        (([GOOD[:31], GOOD[:31]],), "too few observations: got 31, need at least 32"),
        (([[0.1] * 32, [0.2] * 32],), ZERO_VARIANCE),
    ])
    def test_refusals(self, args, message):
        with pytest.raises(ValueError) as e:
            t.probability_of_backtest_overfitting(*args)
        assert str(e.value) == message

    def test_columns_of_str_are_refused(self):
        with pytest.raises(TypeError) as e:
            t.probability_of_backtest_overfitting(["abc", "def"])
        assert str(e.value) == "Can't extract `str` to `Vec`"
        assert e.value.__notes__ == ["while processing 'columns'"]

    def test_other_threads_run_during_the_computation(self):
        rng = np.random.default_rng(11)
        columns = rng.normal(0, 0.01, (12, 480)).tolist()
        done = threading.Event()
        result = []

        def work():
            result.append(t.probability_of_backtest_overfitting(columns, 22))
            done.set()

        worker = threading.Thread(target=work)
        worker.start()
        ticks = 0
        while not done.is_set():
            ticks += 1
            done.wait(0.001)
        worker.join()
        assert 0.0 <= result[0] <= 1.0
        assert ticks > 5
