"""The tick and depth records' field names, for building arrays and structured dtypes."""

__all__ = ["TICK_FIELDS", "DEPTH_FIELDS"]

# The eight int64 fields of a tick record, in record order (64 bytes a record).
TICK_FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")

# The eight int64 fields of a depth row, in record order (64 bytes a row): kind
# 0 is an update and 1 a snapshot, side 0 a bid and 1 an ask; see save_depth.
DEPTH_FIELDS = ("exch_ts", "kind", "side", "price", "size", "first_id", "final_id", "prev_id")
