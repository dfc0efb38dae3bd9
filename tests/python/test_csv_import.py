"""import_csv: exact decimals, the built-in layouts, the as-of merge against a slow exact
model, and every refusal naming file:line:column with nothing left at the destination."""

import gzip
import random
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tallowmarsh as t

TRADES_HEADER = "id,price,qty,quote_qty,time,is_buyer_maker\n"


def records(path):
    return np.fromfile(path, dtype=np.int64, offset=32).reshape(-1, 8).tolist()


def one_trade(tmp_path, price="1.5", qty="2", time="1700000000000", **options):
    """The single tick of a one-line headerless trades file, or the ValueError's text."""
    src = tmp_path / "one.csv"
    src.write_text(f"1,{price},{qty},0,{time},true\n")
    options = {"tick_size": "0.1", "lot_size": "1", "layout": "trades", **options}
    try:
        return records(t.import_csv(src, tmp_path / "one.tmtk", **options).source.path)[0]
    except ValueError as e:
        return str(e).replace(str(src), "F")


# (price text, tick size, rounding, ticks or message).
DECIMALS = [
    ("1.5", "0.1", None, 15), ("1.50000000000000000000000", "0.1", None, 15),
    ("+1.5", "0.1", None, 15), ("001.5", "0.1", None, 15), ("3.", "0.5", None, 6),
    (".5", "0.5", None, 1), ("12345", "25", None, "F:1:3: price '12345' is not a multiple of the tick size 25"),
    ("1.25", "0.1", None, "F:1:3: price '1.25' is not a multiple of the tick size 0.1"),
    ("1.25", "0.1", "half_even", 12), ("1.35", "0.1", "half_even", 14),
    ("1.25", "0.1", "floor", 12), ("1.21", "0.1", "ceil", 13),
    ("1.0000000000000000000000000001", "0.1", "ceil", 11),
    ("1.0000000000000000000000000001", "0.1", "half_even", 10),
    ("922337203685477580.7", "0.1", None, 2**63 - 1),
    ("922337203685477580.8", "0.1", None, "F:1:3: price '922337203685477580.8': too large"),
    ("99999999999999999999", "1", None, "F:1:3: price '99999999999999999999': too large"),
    ("-1.5", "0.1", None, "F:1:3: price '-1.5' is negative"),
    ("0", "0.1", None, "F:1:3: price must be above zero"),
    ("1e3", "0.1", None, "F:1:3: price '1e3': scientific notation is not accepted"),
    ("", "0.1", None, "F:1:3: price '': empty field"),
    ("1.2.3", "0.1", None, "F:1:3: price '1.2.3': not a decimal number"),
    ("abc", "0.1", None, "F:1:3: price 'abc': not a decimal number"),
    ("-", "0.1", None, "F:1:3: price '-': not a decimal number"),
]


@pytest.mark.parametrize("text,tick,rounding,expected", DECIMALS)
def test_decimal_text_becomes_ticks_exactly(tmp_path, text, tick, rounding, expected):
    got = one_trade(tmp_path, price=text, tick_size=tick, rounding=rounding)
    assert (got[2] if isinstance(got, list) else got) == expected


# (line fields or time, options, message): refusals of a trades file whose line 3 is bad.
REFUSALS = [
    ("3,1.5,2,0,1700000000000,true,extra", {}, "F:3:30: expected 6 fields, found 7"),
    ("3,1.5,2,0,1700000000000", {}, "F:3:24: expected 6 fields, found 5"),
    ("3,1.5,2,0,1699999999999,true", {},
     "F:3:11: time goes backwards: previous 1700000000000000000 ns, found 1699999999999000000 ns"),
    ("3,1.5,0.5,0,1700000000000,true", {}, "F:3:7: quantity '0.5' is not a multiple of the lot size 1"),
    ("3,1.5,2,0,1700000000000.0000001,true", {},
     "F:3:11: time '1700000000000.0000001' is not a whole number of nanoseconds"),
    ("3,1.5,2,0,1700000000000,true", {"time_unit": "s"},
     "F:1:11: time '1700000000000': too large"),
    ("3,1.5,2,0,1700000000000,true", {"layout": "best_bid_ask", "emit": "quotes"},
     "F:1:29: expected 7 fields, found 6"),
    ("3,1.5,2,0,1700000000000,true", {"columns": {"time": "t", "price": 1, "qty": 2}, "header": False},
     "F:1: column 't' is named but the file has no header"),
    ("3,1.5,9223372036854775807,0,1700000000000,true", {},
     "F:3: the cumulative volume passes 2^63 - 1 lots"),
]


@pytest.mark.parametrize("line,options,message", REFUSALS)
def test_refusals_name_file_line_and_column_and_leave_nothing(tmp_path, line, options, message):
    src, dest = tmp_path / "bad.csv", tmp_path / "out.tmtk"
    src.write_text("1,1.5,2,0,1700000000000,true\n2,1.6,2,0,1700000000000,true\n" + line + "\n")
    dest.write_bytes(b"kept")
    options = {"layout": "trades", **options}
    with pytest.raises(ValueError) as e:
        t.import_csv(src, dest, tick_size="0.1", lot_size="1", **options)
    assert str(e.value).replace(str(src), "F") == message
    assert dest.read_bytes() == b"kept" and sorted(p.name for p in tmp_path.iterdir()) == [
        "bad.csv", "out.tmtk"]


def test_argument_refusals(tmp_path):
    src = tmp_path / "a.csv"
    src.write_text(TRADES_HEADER + "1,1.5,2,0,1700000000000,true\n")
    go = lambda **kw: t.import_csv(src, tmp_path / "o.tmtk", **{"tick_size": "0.1", "lot_size": "1", **kw})
    with pytest.raises(TypeError, match="tick_size must be exact decimal text"):
        go(tick_size=0.1)
    with pytest.raises(ValueError, match="lot_size '0' is not a positive decimal"):
        go(lot_size="0")
    with pytest.raises(ValueError, match=r"x CASH_SCALE is 1/10000000, not a whole contract_size"):
        go(tick_size="0.0000001", lot_size="0.00000001")
    with pytest.raises(ValueError, match="emitting a tick per quote needs a quotes file"):
        go(emit="quotes")
    with pytest.raises(ValueError, match="unknown layout 'nope'"):
        go(layout="nope")
    with pytest.raises(ValueError, match=r"columns of trades need \['qty'\]"):
        go(columns={"time": "time", "price": "price"})
    with pytest.raises(ValueError, match="no column named 'when' in the header"):
        go(columns={"time": "when", "price": "price", "qty": "qty"})
    with pytest.raises(ValueError, match="matches no built-in layout"):
        (tmp_path / "b.csv").write_text("a,b\n")
        t.import_csv(tmp_path / "b.csv", tmp_path / "o.tmtk", tick_size="1", lot_size="1")
    with pytest.raises(ValueError, match=r"missing.csv: No such file or directory"):
        t.import_csv(tmp_path / "missing.csv", tmp_path / "o.tmtk", tick_size="1", lot_size="1")
    assert go(tick_size=Decimal("0.10"), lot_size=1).contract_size == 10_000_000


# Each built-in layout: a sample and the ticks it gives with emit="both".
LAYOUTS = [
    ("trades", TRADES_HEADER + "7,101.5,0.25,25.375,1700000000123,true\n",
     [[1700000000123000000, 1700000000123000000, 1015, 1015, 1015, 0, 0, 250]]),
    ("trades", "7,101.5,0.25,25.375,1700000000123456,true\n",
     [[1700000000123456000, 1700000000123456000, 1015, 1015, 1015, 0, 0, 250]]),
    ("best_bid_ask",
     "update_id,best_bid_price,best_bid_qty,best_ask_price,best_ask_qty,transaction_time,event_time\n"
     "9,101.4,3,101.7,4,1700000000120,1700000000125\n",
     [[1700000000120000000, 1700000000125000000, 1015, 0, 0, 1014, 1017, 0]]),
    ("normalised_trades",
     "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n"
     "x,BTC,1700000000000001,1700000000000009,a1,buy,101.5,0.002\n",
     [[1700000000000001000, 1700000000000009000, 1015, 1015, 1015, 0, 0, 2]]),
    ("normalised_quotes",
     "exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount\n"
     "x,BTC,1700000000000001,1700000000000002,1.5,101.6,101.5,2.5\n",
     [[1700000000000001000, 1700000000000002000, 1015, 0, 0, 1015, 1016, 0]]),
]


@pytest.mark.parametrize("layout,text,expected", LAYOUTS)
def test_builtin_layouts_are_read_and_detected(tmp_path, layout, text, expected):
    (tmp_path / "in.csv").write_text(text)
    for given in (layout, "auto"):
        r = t.import_csv(tmp_path / "in.csv", tmp_path / "o.tmtk", tick_size="0.1",
                         lot_size="0.001", emit="both", layout=given)
        assert records(r.source.path) == expected and r.files[0].layout == layout
        assert r.files[0].unit_detected == (not layout.startswith("normalised"))


def test_trades_and_quotes_merge_as_of(tmp_path):
    (tmp_path / "t.csv").write_text(TRADES_HEADER + "1,100.5,0.010,0,1700000000000,true\n"
                                    "2,100.6,0.002,0,1700000000000,false\n"
                                    "3,100.4,0.5,0,1700000000100,false\n")
    (tmp_path / "q.csv").write_text(
        "1,100.4,1,100.6,1,1699999999999,1700000000001\n"
        "2,100.4,1,100.6,1,1700000000020,1700000000021\n"
        "3,100.3,1,100.5,1,1700000000050,1700000000051\n")
    gz = tmp_path / "q.csv.gz"
    gz.write_bytes(gzip.compress((tmp_path / "q.csv").read_bytes()))
    ms = 1_000_000
    first = [1699999999999 * ms, 1700000000001 * ms, 1005, 0, 0, 1004, 1006, 0]
    trade1 = [1700000000000 * ms, 1700000000000 * ms, 1006, 1006, 1005, 1004, 1006, 12]
    quote2 = [1700000000050 * ms, 1700000000051 * ms, 1006, 0, 0, 1003, 1005, 12]
    trade2 = [1700000000100 * ms, 1700000000100 * ms, 1004, 1004, 1004, 1003, 1005, 512]
    done = []
    for emit, expected in [("trades", [trade1, trade2]), ("quotes", [first, quote2]),
                           ("both", [first, trade1, quote2, trade2])]:
        r = t.import_csv([tmp_path / "t.csv", gz], tmp_path / "o.tmtk", tick_size="0.1",
                         lot_size="0.001", emit=emit, progress=lambda d, n: done.append((d, n)))
        assert records(r.source.path) == expected and r.contract_size == 10_000
        assert (r.ticks, [f.rows for f in r.files]) == (len(expected), [3, 3])
    assert done[-1][0] == done[-1][1]


def model(files, tick, lot, emit):
    """The ticks the as-of rule gives, from the CSV rows by exact fractions."""
    events = []
    for index, (kind, rows) in enumerate(files):
        for line, row in enumerate(rows):
            time = int(row[0]) * 1_000_000
            values = [Fraction(v) / Fraction(tick if kind == "q" or i == 0 else lot)
                      for i, v in enumerate(row[1:])]
            events.append((time, index, line, kind, [int(v) for v in values]))
    events.sort(key=lambda e: e[:3])
    out, last, bid, ask, volume = [], 0, 0, 0, 0
    for time in sorted({e[0] for e in events}):
        now = [e for e in events if e[0] == time]
        trades = [e[4] for e in now if e[3] == "t"]
        before = (bid, ask)
        for e in now:
            if e[3] == "q":
                bid, ask = e[4]
        volume += sum(q for _, q in trades)
        last = trades[-1][0] if trades else last
        changed = (bid, ask) != before
        if not {"trades": trades, "quotes": changed, "both": trades or changed}[emit]:
            continue
        price = last or ((bid + ask) // 2 if bid and ask else max(bid, ask))
        if price:
            hi, lo = (max(p for p, _ in trades), min(p for p, _ in trades)) if trades else (0, 0)
            out.append([time, time, price, hi, lo, bid, ask, volume])
    return out


def decimal(rng, units, step):
    """`units` steps written as decimal text, with noise: extra zeros, a leading '+'."""
    text = format(Decimal(units) * Decimal(step), "f")
    if "." in text and rng.random() < 0.3:
        text += "0" * rng.randint(1, 3)
    return ("+" if rng.random() < 0.1 else "") + text


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(seed=st.integers(0, 2**32 - 1), emit=st.sampled_from(["trades", "quotes", "both"]),
       steps=st.sampled_from([("0.01", "0.001"), ("0.5", "1"), ("25", "0.1")]))
def test_import_agrees_with_the_exact_model(tmp_path_factory, seed, emit, steps):
    rng, tick, lot = random.Random(seed), *steps
    tmp = tmp_path_factory.mktemp("p")
    files, paths = [], []
    for index in range(rng.randint(1, 3)):
        kind = "t" if index == 0 else rng.choice("tq")
        time, rows = 1_700_000_000_000, []
        for _ in range(rng.randint(0, 40)):
            time += rng.choice([0, 0, 1, 3])
            if kind == "t":
                rows.append([str(time), decimal(rng, rng.randint(1, 10**6), tick),
                             decimal(rng, rng.randint(0, 10**4), lot)])
            else:
                rows.append([str(time), decimal(rng, rng.randint(0, 10**6), tick),
                             decimal(rng, rng.randint(0, 10**6), tick)])
        files.append((kind, [[r[0], *r[1:]] for r in rows]))
        path = tmp / f"{index}.csv"
        if kind == "t":
            path.write_text("".join(f"{i},{p},{q},0,{s},true\n" for i, (s, p, q) in enumerate(rows)))
        else:
            path.write_text("".join(f"{i},{b},1,{a},1,{s},{s}\n" for i, (s, b, a) in enumerate(rows)))
        paths.append(path)
    if emit == "quotes" and all(k == "t" for k, _ in files):
        emit = "both"
    if not all(rows for _, rows in files):
        return  # an empty file is refused, as the refusal table shows for its kind
    layouts = ["trades" if k == "t" else "best_bid_ask" for k, _ in files]
    r = t.import_csv(paths, tmp / "o.tmtk", tick_size=tick, lot_size=lot, layout=layouts,
                     emit=emit, time_unit="ms")
    assert records(r.source.path) == model(files, tick, lot, emit)


def test_large_plain_files_read_in_blocks_agree_with_gzip_read_line_by_line(tmp_path):
    """A plain file of several megabytes is parsed in blocks on worker threads, a gzip
    file line by line: the same text gives the same ticks, and the same first fault the
    same message, wherever it falls: at a block's first line (the seam), deep inside
    a block, or on a last line without a line end."""
    rng = random.Random(5)
    lines, time = [], 1_700_000_000_000
    for i in range(160_000):
        time += rng.choice([0, 1, 1, 2])
        lines.append(f"{i},{rng.randint(1, 99999) / 100},{rng.randint(1, 9999) / 1000},0,{time},true")
    starts = np.cumsum([0] + [len(x) + 1 for x in lines])
    # The first line owned by the second block: the first starting a MiB past line 2.
    seam = int(np.searchsorted(starts, starts[1] + 2**20))

    def both(text):
        got = []
        for name, opener in (("f.csv", open), ("f.csv.gz", gzip.open)):
            with opener(tmp_path / name, "wt", newline="") as f:
                f.write(text)
            try:
                r = t.import_csv(tmp_path / name, tmp_path / "o.tmtk", tick_size="0.01",
                                 lot_size="0.001", layout="trades", time_unit="ms")
                got.append((records(r.source.path), r.files[0].rows))
            except ValueError as e:
                got.append(str(e).replace(str(tmp_path / name), "F"))
        assert got[0] == got[1]
        return got[0]

    assert len(both("\n".join(lines) + "\n")[0]) > 100_000
    assert len(both("\r\n".join(lines))[0]) > 100_000
    for at, fault in ((seam, "time"), (seam + 1, "time"), (seam, "price"), (120_000, "price"),
                      (len(lines) - 1, "price")):
        broken = list(lines)
        fields = broken[at].split(",")
        if fault == "time":
            fields[4] = str(int(fields[4]) - 5)
        else:
            fields[1] = "1.2.3"
        broken[at] = ",".join(fields)
        assert both("\n".join(broken)).startswith(f"F:{at + 1}:")
