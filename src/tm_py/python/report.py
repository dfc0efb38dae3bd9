"""An HTML report of one or several run results: one self-contained file
with no script and nothing fetched, and the compact form Jupyter shows.

Money is shown in whole currency units, formatted exactly from the integer
cash values; charts are inline SVG with exchange time on the x-axis.
"""

import datetime
import html

__all__ = ["report", "_result_html"]

_COLOURS = ("#1f5fa8", "#c2571a", "#2e8b3a", "#8a3ab9", "#b8860b", "#444444")
_MAX_POINTS = 2000  # points per chart line; a longer curve is thinned evenly
_EDGE_FILLS = 10    # fills shown from each end of the fill list
_WIDTH, _LEFT, _RIGHT = 860, 90, 20


def _money(cash):
    """Cash in whole currency units, exact: 2 to 8 decimals, thousands separated."""
    scale = _tm.CASH_SCALE
    sign = "-" if cash < 0 else ""
    whole, fraction = divmod(abs(cash), scale)
    digits = f"{fraction:0{len(str(scale)) - 1}d}".rstrip("0").ljust(2, "0")
    return f"{sign}{whole:,}.{digits}"


def _time(ns):
    moment = datetime.datetime.fromtimestamp(ns // 10**9, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S") + f".{ns % 10**9 // 10**6:03d}"


def _sharpe(result):
    """(per-sample Sharpe ratio, probabilistic Sharpe ratio against 0), each a
    float or None when the returns do not allow it."""
    returns = result.returns()
    try:
        sharpe, skewness, kurtosis = _tm.moments(returns)
    except ValueError:
        return None, None
    try:
        psr = _tm.probabilistic_sharpe_ratio(sharpe, 0.0, len(returns), skewness, kurtosis)
    except ValueError:
        psr = None
    return sharpe, psr


def _summary_rows(result):
    sharpe, psr = _sharpe(result)
    watch = result.margin_watch
    rows = [
        ("Strategy", html.escape(result.strategy)),
        ("Ticks", f"{result.ticks:,}"),
        ("Final equity", _money(result.final_equity)),
        ("Lowest equity", _money(result.min_equity)),
        ("Realised", _money(result.realised)),
        ("Fees paid", _money(result.fees_paid)),
        ("Funding paid", _money(result.funding_paid)),
        ("Max drawdown", _money(result.max_drawdown)),
        ("Max adverse excursion", f"{result.max_adverse_excursion:,} ticks"),
        ("Fills", f"{result.fills:,}"),
        ("Liquidations", f"{result.liquidations:,}"),
        ("Sharpe ratio per sample", "n/a" if sharpe is None else f"{sharpe:.4f}"),
        ("Probabilistic Sharpe ratio", "n/a" if psr is None else f"{psr:.4f}"),
        ("Equity samples", f"{len(result.equity_curve.equity):,}"),
    ]
    if watch is not None:
        rows.append(("Peak maintenance margin", _money(watch.peak_maintenance)))
        rows.append(("Lowest margin headroom",
                     "n/a" if watch.min_headroom is None else _money(watch.min_headroom)))
    if result.skipped_ticks or result.depth_gaps:
        rows.append(("Skipped ticks / depth gaps",
                     f"{result.skipped_ticks:,} / {result.depth_gaps:,}"))
    return rows


def _summary_table(results):
    columns = [_summary_rows(r) for r in results]
    out = ["<table class='summary'>"]
    for i, (label, _) in enumerate(columns[0]):
        if any(len(c) <= i or c[i][0] != label for c in columns):
            continue
        cells = "".join(f"<td>{c[i][1]}</td>" for c in columns)
        out.append(f"<tr><th>{label}</th>{cells}</tr>")
    return "\n".join(out + ["</table>"])


def _thin(n):
    """Indices of at most _MAX_POINTS samples out of n, first and last kept."""
    if n <= _MAX_POINTS:
        return range(n)
    step = (n - 1) / (_MAX_POINTS - 1)
    return [round(i * step) for i in range(_MAX_POINTS)]


def _drawdowns(equity):
    peak, out = None, []
    for e in equity:
        peak = e if peak is None else max(peak, e)
        out.append(e - peak)
    return out


class _Panel:
    """One chart: a y range over the shared time range, drawn at height h."""

    def __init__(self, title, t0, t1, series, h):
        values = [v for s in series for v in s] or [0]
        self.title, self.t0, self.t1, self.h = title, t0, t1, h
        self.lo, self.hi = min(values), max(values)
        if self.lo == self.hi:
            self.lo, self.hi = self.lo - 1, self.hi + 1

    def x(self, ts):
        span = max(1, self.t1 - self.t0)
        return _LEFT + (ts - self.t0) * (_WIDTH - _LEFT - _RIGHT) / span

    def y(self, v):
        return 20 + (self.hi - v) * (self.h - 40) / (self.hi - self.lo)

    def line(self, name, times, values, colour):
        points = " ".join(f"{self.x(times[i]):.1f},{self.y(values[i]):.1f}"
                          for i in _thin(len(values)))
        return (f"<polyline class='{name}' fill='none' stroke='{colour}' stroke-width='1.5' "
                f"points='{points}'/>")

    def frame(self, label, body):
        return "\n".join([
            f"<svg class='chart' xmlns='http://www.w3.org/2000/svg' width='{_WIDTH}' "
            f"height='{self.h}' viewBox='0 0 {_WIDTH} {self.h}'>",
            f"<text x='{_LEFT}' y='13' font-size='12'>{html.escape(self.title)}</text>",
            f"<rect x='{_LEFT}' y='20' width='{_WIDTH - _LEFT - _RIGHT}' "
            f"height='{self.h - 40}' fill='none' stroke='#bbb'/>",
            f"<text x='{_LEFT - 4}' y='24' font-size='10' text-anchor='end'>"
            f"{label(self.hi)}</text>",
            f"<text x='{_LEFT - 4}' y='{self.h - 20}' font-size='10' text-anchor='end'>"
            f"{label(self.lo)}</text>",
            f"<text x='{_LEFT}' y='{self.h - 6}' font-size='10'>{_time(self.t0)}</text>",
            f"<text x='{_WIDTH - _RIGHT}' y='{self.h - 6}' font-size='10' text-anchor='end'>"
            f"{_time(self.t1)}</text>",
            body, "</svg>"])


def _charts(results):
    curves = [r.equity_curve for r in results]
    times = [c.exch_ts.tolist() for c in curves]
    equity = [c.equity.tolist() for c in curves]
    position = [c.position.tolist() for c in curves]
    every = [t for ts in times for t in ts]
    if not every:
        return "<p>No equity samples: run with equity_every above 0 to draw the curve.</p>"
    t0, t1 = min(every), max(every)
    drawdown = [_drawdowns(e) for e in equity]
    liquidations = [r.liquidation_records for r in results]
    panels = []
    eq = _Panel("Equity", t0, t1, equity + [l.balance.tolist() for l in liquidations], 260)
    body = [eq.line("equity", times[i], equity[i], _COLOURS[i % 6]) for i in range(len(results))]
    for i, l in enumerate(liquidations):
        for ts, balance in zip(l.exch_ts.tolist(), l.balance.tolist()):
            body.append(f"<circle class='liquidation' cx='{eq.x(ts):.1f}' cy='{eq.y(balance):.1f}'"
                        f" r='5' fill='none' stroke='#d00' stroke-width='2'>"
                        f"<title>liquidation at {_time(ts)}</title></circle>")
    panels.append(eq.frame(_money, "\n".join(body)))
    for title, name, series, label in (("Drawdown from the sampled peak", "drawdown", drawdown,
                                        _money),
                                       ("Position (lots)", "position", position, str)):
        panel = _Panel(title, t0, t1, series, 140)
        panels.append(panel.frame(label, "\n".join(
            panel.line(name, times[i], series[i], _COLOURS[i % 6]) for i in range(len(results)))))
    return "\n".join(panels)


def _fills_table(result):
    f = result.fill_records
    n = len(f.price)
    if n == 0:
        return "<p>No fills.</p>"
    rows = list(range(n)) if n <= 2 * _EDGE_FILLS else (
        list(range(_EDGE_FILLS)) + [None] + list(range(n - _EDGE_FILLS, n)))
    out = ["<table class='fills'><tr><th>#</th><th>time</th><th>order</th><th>side</th>"
           "<th>offset</th><th>price</th><th>qty</th><th>fee</th><th>liquidity</th>"
           "<th>realised</th></tr>"]
    for i in rows:
        if i is None:
            out.append(f"<tr><td colspan='10'>&hellip; {n - 2 * _EDGE_FILLS:,} more "
                       f"&hellip;</td></tr>")
            continue
        out.append(
            f"<tr><td>{i + 1}</td><td>{_time(f.exch_ts[i])}</td><td>{f.order[i]}</td>"
            f"<td>{'buy' if f.side[i] > 0 else 'sell'}</td>"
            f"<td>{'open' if f.offset[i] == 0 else 'close'}</td><td>{f.price[i]:,}</td>"
            f"<td>{f.qty[i]:,}</td><td>{_money(f.fee[i])}</td>"
            f"<td>{'taker' if f.taker[i] else 'maker'}</td><td>{_money(f.realised[i])}</td></tr>")
    return "\n".join(out + ["</table>"])


_STYLE = """body{font-family:sans-serif;margin:24px;color:#222}
table{border-collapse:collapse;margin:8px 0 20px}
td,th{border:1px solid #ccc;padding:3px 8px;text-align:right;font-size:13px}
th{background:#f2f2f2;text-align:left}
.legend span{display:inline-block;margin-right:16px}"""


def report(results, path):
    """Write an HTML report of one RunResult, or several side by side, to `path`.

    One self-contained file: no script, nothing fetched. It holds the summary
    table, the equity, drawdown and position charts (liquidations circled),
    and each result's first and last fills. Returns `path`."""
    results = [results] if isinstance(results, _tm.RunResult) else list(results)
    if not results or not all(isinstance(r, _tm.RunResult) for r in results):
        raise TypeError("report() takes a RunResult or a sequence of RunResult")
    legend = "".join(f"<span style='color:{_COLOURS[i % 6]}'>&#9632; "
                     f"{i + 1}. {html.escape(r.strategy)}</span>" for i, r in enumerate(results))
    parts = ["<!DOCTYPE html>", "<html><head><meta charset='utf-8'>",
             "<title>tallowmarsh report</title>", f"<style>{_STYLE}</style></head><body>",
             "<h1>Backtest report</h1>", "<p>Money in whole currency units.</p>",
             _summary_table(results), f"<p class='legend'>{legend}</p>", _charts(results)]
    for i, r in enumerate(results):
        parts += [f"<h2>Fills of {i + 1}. {html.escape(r.strategy)}</h2>", _fills_table(r)]
    parts.append("</body></html>")
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(parts) + "\n")
    return path


def _result_html(result):
    equity = result.equity_curve.equity.tolist()
    spark = ""
    if len(equity) > 1:
        lo, hi = min(equity), max(equity)
        span = (hi - lo) or 1
        step = 160 / (len(equity) - 1)
        points = " ".join(f"{i * step:.1f},{30 - (equity[i] - lo) * 28 / span:.1f}"
                          for i in _thin(len(equity)))
        spark = (f"<svg width='160' height='32' xmlns='http://www.w3.org/2000/svg'><polyline "
                 f"fill='none' stroke='#1f5fa8' points='{points}'/></svg>")
    cells = [("strategy", html.escape(result.strategy)), ("ticks", f"{result.ticks:,}"),
             ("fills", f"{result.fills:,}"), ("final equity", _money(result.final_equity)),
             ("lowest equity", _money(result.min_equity)),
             ("max drawdown", _money(result.max_drawdown)),
             ("liquidations", f"{result.liquidations:,}")]
    head = "".join(f"<th>{k}</th>" for k, _ in cells)
    body = "".join(f"<td>{v}</td>" for _, v in cells)
    return (f"<table><tr>{head}<th>equity</th></tr><tr>{body}<td>{spark}</td></tr></table>")
