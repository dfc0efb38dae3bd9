"""The tick record's field names, for building arrays and structured dtypes."""

__all__ = ["TICK_FIELDS"]

# The eight int64 fields of a tick record, in record order (64 bytes a record).
TICK_FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
