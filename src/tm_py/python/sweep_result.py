"""The outcome of a parameter sweep and its judgement: which configuration
did best, and how far its result can be trusted given how many were tried."""

import math

__all__ = ["SweepResult"]


def _judge(returns):
    """(sharpes, best, pbo, deflated, min_track) of the rows of `returns`;
    None where the rows do not allow a figure."""
    sharpes = []
    for row in returns:
        try:
            sharpes.append(_tm.sharpe_ratio(row) if row else math.nan)
        except ValueError:
            sharpes.append(math.nan)
    judged = [i for i, s in enumerate(sharpes) if not math.isnan(s)]
    if not judged:
        return tuple(sharpes), None, None, None, None
    best = max(judged, key=lambda i: sharpes[i])
    row = returns[best]
    ratio, skew, kurt = _tm.moments(row)
    n = len(row)
    deflated = _tm.deflated_sharpe_ratio([sharpes[i] for i in judged], n, skew, kurt) \
        if len(judged) > 1 else None
    min_track = _tm.minimum_track_record_length(ratio, 0.0, skew, kurt) if ratio > 0 else None
    pbo = None
    blocks = min(16, n // 2 // 2 * 2)  # every block needs two periods
    if len(judged) > 1 and blocks >= 4:
        pbo = _tm.probability_of_backtest_overfitting([returns[i] for i in judged], blocks)
    return tuple(sharpes), best, pbo, deflated, min_track


class SweepResult:
    """The outcome of `sweep`: one entry per configuration, in the order of
    `params`, and the judgement of the best one.

    - `params`: the configurations (dicts); `results`: their RunResult, None
      for a failed one; `failures`: (params, failure text) of each failed one.
    - `returns`: the return matrix, one row per configuration (empty for a
      failed one): the simple returns between the equity after the first
      tick and after every `equity_every`-th tick (a last sample off that
      grid is dropped), so every row of a sweep covers the same periods.
    - `sharpes`: each row's per-period Sharpe ratio (nan where undefined);
      `best`: the index of the highest, or None.
    - `pbo`: probability_of_backtest_overfitting of the judged rows (up to 16
      blocks, None with fewer than 8 periods or one judged row);
      `deflated_sharpe`: the deflated Sharpe ratio of the best given the number
      of judged trials; `min_track_record`: its minimum track record length in
      periods at 95 %, None when its Sharpe ratio is not positive.
    """

    __slots__ = ("params", "results", "failures", "returns", "equity_every", "sharpes", "best",
                 "pbo", "deflated_sharpe", "min_track_record", "_texts")

    def __init__(self, params, results, returns, failure_texts, equity_every):
        put = object.__setattr__
        put(self, "params", tuple(dict(p) for p in params))
        put(self, "results", tuple(results))
        put(self, "returns", tuple(tuple(row) for row in returns))
        put(self, "_texts", tuple(failure_texts))
        put(self, "equity_every", equity_every)
        put(self, "failures", tuple((dict(p), text) for p, text in zip(params, failure_texts)
                                    if text is not None))
        sharpes, best, pbo, deflated, min_track = _judge(self.returns)
        for name, value in (("sharpes", sharpes), ("best", best), ("pbo", pbo),
                            ("deflated_sharpe", deflated), ("min_track_record", min_track)):
            put(self, name, value)

    def __setattr__(self, name, value):
        raise AttributeError("SweepResult is immutable")

    def __delattr__(self, name):
        raise AttributeError("SweepResult is immutable")

    def __reduce__(self):
        return (SweepResult, (self.params, self.results, self.returns, self._texts,
                              self.equity_every))

    def __len__(self):
        return len(self.params)

    @property
    def best_params(self):
        return None if self.best is None else dict(self.params[self.best])

    @property
    def best_result(self):
        return None if self.best is None else self.results[self.best]

    def __repr__(self):
        text = f"SweepResult({len(self.params)} configurations, {len(self.failures)} failed"
        if self.best is not None:
            text += f", best {self.params[self.best]!r} Sharpe {self.sharpes[self.best]:+.4f}"
        if self.pbo is not None:
            text += f", PBO {self.pbo:.3f}"
        return text + ")"

    def judgement(self):
        """The verdict on the best configuration, as lines of text."""
        if self.best is None:
            return "no configuration has a defined Sharpe ratio"
        periods = len(self.returns[self.best])
        lines = [f"best: {self.params[self.best]!r}, per-period Sharpe "
                 f"{self.sharpes[self.best]:+.4f} over {periods} periods of "
                 f"{self.equity_every:,} ticks"]
        judged = sum(1 for s in self.sharpes if not math.isnan(s))
        lines.append("deflated Sharpe ratio: " + (
            f"{self.deflated_sharpe:.4f} ({judged} trials)" if self.deflated_sharpe is not None
            else "undefined (one trial)"))
        lines.append("minimum track record at 95 %: " + (
            f"{self.min_track_record:,.1f} periods" if self.min_track_record is not None
            else "undefined (the best Sharpe ratio is not positive)"))
        lines.append("probability of backtest overfitting: " + (
            f"{self.pbo:.3f}" if self.pbo is not None
            else "undefined (too few periods or configurations)"))
        return "\n".join(lines)

    def table(self):
        """One line per configuration: parameters, Sharpe ratio, final equity,
        fills and liquidations, or the failure text; the best marked with *."""
        labels = [", ".join(f"{k}={v!r}" for k, v in p.items()) for p in self.params]
        width = max(len("params"), *(len(label) for label in labels))
        lines = [f"  {'params':<{width}}  {'Sharpe':>8}  {'final equity':>16}  {'fills':>7}  "
                 f"{'liq':>4}"]
        for i, label in enumerate(labels):
            mark = "*" if i == self.best else " "
            result = self.results[i]
            if result is None:
                lines.append(f"{mark} {label:<{width}}  failed: {self._texts[i]}")
                continue
            equity = f"{result.final_equity / _tm.CASH_SCALE:,.2f}"
            lines.append(f"{mark} {label:<{width}}  {self.sharpes[i]:>+8.4f}  {equity:>16}  "
                         f"{result.fills:>7,}  {result.liquidations:>4}")
        return "\n".join(lines)

    def report(self, path):
        """Writes the module's HTML report of the successful runs to `path`."""
        report = getattr(_tm, "report", None)
        if report is None:
            raise NotImplementedError("this build of tallowmarsh has no report()")
        return report([r for r in self.results if r is not None], path)
