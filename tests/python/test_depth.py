"""Depth for L2: rows from arrays and files, merged with the ticks by exchange time."""

from array import array as Array

import pytest

import tallowmarsh as t
from conftest import Script, make_ticks, summary

L2 = t.Venue(execution=t.L2())
BID, ASK = 0, 1


def snapshot(ts, id_, levels):
    return [(ts, 1, side, price, size, id_, id_, id_ - 1) for side, price, size in levels]


def update(ts, first, final, prev, levels):
    return [(ts, 0, side, price, size, first, final, prev) for side, price, size in levels]


def array(rows):
    return t.Int64Array(Array("q", [v for row in rows for v in row]), (len(rows), 8))


# A stale update right after the snapshot, one that bridges it, a gap at 4 ns
# that leaves the book unusable, and a snapshot at 7 ns that restores it.
STREAM = (snapshot(0, 10, [(BID, 99, 5), (ASK, 101, 5)]) + update(1, 5, 9, 4, [(ASK, 101, 1)])
          + update(2, 11, 11, 10, [(ASK, 102, 3), (BID, 98, 2)]) + update(4, 14, 14, 13, [(ASK, 103, 1)])
          + snapshot(7, 20, [(ASK, 101, 5)]))


def test_fields_and_file_round_trip_in_chunks(tmp_path):
    assert t.DEPTH_FIELDS == ("exch_ts", "kind", "side", "price", "size", "first_id", "final_id",
                              "prev_id")
    whole, chunked = tmp_path / "whole.tmdp", tmp_path / "chunked.tmdp"
    assert t.save_depth(whole, array(STREAM)) == len(STREAM)
    assert t.save_depth(chunked, (array(STREAM[:3]), array(STREAM[3:]))) == len(STREAM)
    assert whole.read_bytes() == chunked.read_bytes()
    assert [tuple(row) for row in t.read_depth(whole).tolist()] == STREAM


def test_gaps_and_stale_updates_reach_the_result_alike_from_array_and_file(tmp_path):
    path = tmp_path / "d.tmdp"
    t.save_depth(path, array(STREAM))
    results = [t.run_backtest(Script(), make_ticks(10), 1000, venue=L2, depth=depth)
               for depth in (array(STREAM), path, str(path))]
    assert [(r.depth_gaps, r.skipped_ticks) for r in results] == [(1, 3)] * 3
    assert summary(results[1]) == summary(results[2]) == summary(results[0])


def test_depth_at_a_ticks_time_reaches_the_engine_before_that_tick():
    # A market buy of 2 placed on the first tick fills on the second (1 ns); the
    # depth prices it at ceil((104 + 105) / 2) = 105 only if it came first.
    def fill_price(snapshot_ts):
        rows = snapshot(snapshot_ts, 1, [(ASK, 104, 1), (ASK, 105, 5)])
        result = t.run_backtest(Script({1: [t.Order("buy", 2)]}), make_ticks(4), 1000, venue=L2,
                                depth=array(rows))
        return result.fill_prices

    without = t.run_backtest(Script({1: [t.Order("buy", 2)]}), make_ticks(4), 1000).fill_prices
    assert fill_price(1) == [105] and fill_price(2) == without != [105]


def test_corrupt_files_are_reported(tmp_path):
    good = tmp_path / "d.tmdp"
    t.save_depth(good, array(STREAM))
    data = good.read_bytes()
    flipped, cut, ticks = tmp_path / "flipped", tmp_path / "cut", tmp_path / "ticks"
    flipped.write_bytes(data[:40] + bytes([data[40] ^ 1]) + data[41:])
    cut.write_bytes(data[:-10])
    t.save_ticks(ticks, make_ticks(2))
    for path, text in ((flipped, "checksum mismatch"), (cut, "truncated"), (ticks, "not a depth file")):
        with pytest.raises(ValueError, match=text):
            t.read_depth(path)
    with pytest.raises(ValueError, match="the depth file failed during the run: .*checksum mismatch"):
        t.run_backtest(Script(), make_ticks(10), 1000, venue=L2, depth=flipped)


def test_a_refused_chunk_leaves_no_file(tmp_path):
    path = tmp_path / "d.tmdp"
    with pytest.raises(ValueError, match="depth row 1: goes backwards: previous exchange time 5"):
        t.save_depth(path, (array(snapshot(5, 1, [(BID, 99, 1)])), array(snapshot(4, 2, [(BID, 99, 1)]))))
    assert not path.exists()


@pytest.mark.parametrize("venue, depth, error, text", [
    (None, array(STREAM), ValueError, "depth: a depth stream needs L2 execution "
                                      r"\(venue=Venue\(execution=L2\(...\)\)\); this run's execution is L0"),
    (t.Venue(execution=t.L1()), array(STREAM), ValueError, "this run's execution is L1"),
    (L2, array([(0, 1, 2, 99, 1, 1, 1, 0)]), ValueError, r"depth: depth row 0: side must be 0 \(bid\)"),
    (L2, array(STREAM[2:] + STREAM[:2]), ValueError, "depth: depth row 5: goes backwards"),
    (L2, t.Int64Array(Array("q", [0] * 7), (1, 7)), ValueError, r"depth: expected an int64 array of shape \(n, 8\)"),
    (L2, [list(row) for row in STREAM], TypeError, r"depth: expected an \(n, 8\) int64 array"),
])
def test_refusals_name_the_argument(venue, depth, error, text):
    with pytest.raises(error, match=text):
        t.run_backtest(Script(), make_ticks(3), 1000, venue=venue, depth=depth)


def test_csv_import_reads_exact_decimals_and_numbers_events(tmp_path):
    source, path = tmp_path / "book.csv", tmp_path / "book.tmdp"
    source.write_text("exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount\n"
                      "x,BTC,1000,1001,true,bid,99.9,0.5\n"
                      "x,BTC,1000,1001,true,ask,100.1,1.25\n"
                      "x,BTC,1002,1003,false,ask,100.1,0\n"
                      "x,BTC,1005,1006,false,bid,99.8,0.001\n")
    assert t.import_depth_csv(source, path, "0.1", "0.001") == 4
    assert [tuple(row) for row in t.read_depth(path).tolist()] == (
        snapshot(1_000_000, 1, [(BID, 999, 500), (ASK, 1001, 1250)])
        + update(1_002_000, 2, 2, 1, [(ASK, 1001, 0)]) + update(1_005_000, 3, 3, 2, [(BID, 998, 1)]))
    source.write_text("x,BTC,1000,1001,true,bid,99.95,1\n")
    with pytest.raises(ValueError, match=r"book.csv: line 1: price: .*99.95"):
        t.import_depth_csv(source, path, "0.1", "0.001")
