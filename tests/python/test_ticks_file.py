"""Tick files from Python: the bytes save_ticks writes, what load_ticks accepts,
and every way a file stops a run."""

import os
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

import tallowmarsh as t
from conftest import Quiet, make_ticks

HEADER = struct.Struct("<4sHHQQII")


def read_header(path):
    with open(path, "rb") as f:
        return HEADER.unpack(f.read(32))


def rewrite(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ 0x01]))


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "ticks.tmtk")


class TestSavedLayout:
    def test_header_records_and_crc(self, path):
        ticks = [t.Tick(1, 100, 2, 101, 99, 98, 102, 7), t.Tick(3, -5, volume=-1)]
        assert t.save_ticks(path, ticks, instrument=42) == 2
        data = open(path, "rb").read()
        assert len(data) == 32 + 64 * 2
        magic, version, reserved, count, instrument, crc, reserved2 = HEADER.unpack(data[:32])
        assert (magic, version, reserved, count, instrument, reserved2) == (
            b"TMTK", 2, 0, 2, 42, 0)
        assert crc == zlib.crc32(data[32:])
        assert struct.unpack("<8q", data[32:96]) == (1, 2, 100, 101, 99, 98, 102, 7)
        assert struct.unpack("<8q", data[96:160]) == (3, 3, -5, -5, -5, 0, 0, -1)

    def test_empty_file_is_a_header(self, path):
        assert t.save_ticks(path, []) == 0
        assert os.path.getsize(path) == 32
        assert read_header(path) == (b"TMTK", 2, 0, 0, 1, 0, 0)
        source = t.load_ticks(path)
        assert len(source) == 0 and source.instrument == 1 and source.count == 0

    def test_order_is_not_checked_when_writing(self, path):
        assert t.save_ticks(path, [t.Tick(5, 1), t.Tick(4, 1)]) == 2

    def test_tuple_and_custom_sequence_are_accepted(self, path):
        class Seq:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError
                return t.Tick(i, 10)

        assert t.save_ticks(path, (t.Tick(1, 1),)) == 1
        assert t.save_ticks(path, Seq()) == 2
        assert read_header(path)[3] == 2


class TestSaveRefusals:
    @pytest.mark.parametrize("bad", ["ticks", iter([]), [t.Tick(1, 1), 3], 5])
    def test_not_a_sequence_of_tick(self, path, bad):
        with pytest.raises(TypeError) as info:
            t.save_ticks(path, bad)
        assert str(info.value).startswith("ticks must be a sequence of Tick, or a TickSource;")
        assert "load_ticks()" in str(info.value)
        assert not os.path.exists(path)

    def test_a_tick_source_is_refused(self, path, tmp_path):
        t.save_ticks(path, make_ticks(3))
        with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
            t.save_ticks(str(tmp_path / "other.tmtk"), t.load_ticks(path))

    def test_missing_directory(self, tmp_path):
        target = str(tmp_path / "nowhere" / "t.tmtk")
        with pytest.raises(ValueError) as info:
            t.save_ticks(target, make_ticks(2))
        assert str(info.value).startswith(target + ": ")

    def test_failed_save_leaves_existing_file_intact(self, path, tmp_path):
        # A file-size limit makes the write fail part way, whatever the user's rights.
        t.save_ticks(path, make_ticks(5))
        before = open(path, "rb").read()
        code = textwrap.dedent(f"""
            import resource, signal, sys
            sys.path[:0] = {sys.path!r}
            import tallowmarsh as t
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            try:
                t.save_ticks({path!r}, [t.Tick(i, 1) for i in range(500)])
            except ValueError as e:
                print(e)
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout
        assert out.startswith(path + ": ")
        assert open(path, "rb").read() == before
        assert os.listdir(tmp_path) == ["ticks.tmtk"]

    def test_negative_instrument(self, path):
        with pytest.raises(OverflowError) as info:
            t.save_ticks(path, [], instrument=-1)
        assert info.value.__notes__ == ["while processing 'instrument'"]

    def test_embedded_nul_touches_no_file(self, tmp_path):
        target = str(tmp_path / "a")
        with pytest.raises(ValueError, match="embedded null byte"):
            t.save_ticks(target + "\0b", [])
        assert not os.path.exists(target)
        with pytest.raises(ValueError, match="embedded null byte"):
            t.load_ticks(target + "\0b")


class TestLoad:
    def test_source_attributes_and_text(self, path):
        t.save_ticks(path, make_ticks(7), instrument=9)
        source = t.load_ticks(path)
        assert (source.path, source.count, source.instrument, len(source)) == (path, 7, 9, 7)
        assert repr(source) == f"TickSource({path}, 7 ticks, instrument 9)"
        with pytest.raises(AttributeError):
            source.count = 1
        with pytest.raises(TypeError):
            type(source)()

    def test_len_beyond_the_signed_range(self, path):
        t.save_ticks(path, [])
        rewrite(path, 8, struct.pack("<Q", 2**63 + 5))
        source = t.load_ticks(path)
        assert source.count == 2**63 + 5
        with pytest.raises(OverflowError):
            len(source)

    def test_signatures(self):
        assert t.load_ticks.__text_signature__ == "(path)"
        assert t.save_ticks.__text_signature__ == "(path, ticks, instrument=1)"
        assert t.load_ticks.__doc__.startswith("Open a tick file for a run, without reading it.")
        assert t.save_ticks.__doc__.startswith("Write ticks to a file `load_ticks` can read.")
        assert "Errors\n------" in t.save_ticks.__doc__

    @pytest.mark.parametrize("spoil,message", [
        (os.remove, "truncated: needed 32 bytes, 0 available"),
        (lambda p: open(p, "wb").write(b"x" * 10), "truncated: needed 32 bytes, 0 available"),
        (lambda p: rewrite(p, 0, b"ABCD"), "not a tick file: magic 0x44434241"),
        (lambda p: rewrite(p, 4, struct.pack("<H", 1)), "unknown tick file version 1"),
        (lambda p: rewrite(p, 4, struct.pack("<H", 3)), "unknown tick file version 3"),
    ])
    def test_refused_at_open_with_the_path(self, path, spoil, message):
        t.save_ticks(path, make_ticks(2))
        spoil(path)
        with pytest.raises(ValueError) as info:
            t.load_ticks(path)
        assert str(info.value) == f"{path}: {message}"

    def test_path_must_be_str(self):
        with pytest.raises(TypeError) as info:
            t.load_ticks(b"ticks.tmtk")
        assert info.value.__notes__ == ["while processing 'path'"]


class TestFileStopsRun:
    @pytest.mark.parametrize("ticks,spoil,stopped,message", [
        (make_ticks(9000), lambda p: rewrite(p, 8, struct.pack("<Q", 10000)), 8192,
         "truncated: needed 640032 bytes, 524320 available"),
        (make_ticks(20000), lambda p: flip_byte(p, os.path.getsize(p) - 3), 16384,
         lambda p: "checksum mismatch: expected 0x%08x, computed 0x%08x" % (
             read_header(p)[5], zlib.crc32(open(p, "rb").read()[32:]))),
        ([t.Tick(5, 100), t.Tick(5, 100), t.Tick(4, 100)], lambda p: None, 2,
         "tick 2 goes backwards: previous exchange time 5, found 4"),
    ])
    def test_a_spoilt_file_stops_the_run(self, path, ticks, spoil, stopped, message):
        t.save_ticks(path, ticks)
        spoil(path)
        strategy = Quiet()
        with pytest.raises(ValueError) as info:
            t.run_backtest(strategy, t.load_ticks(path), 1000)
        expected = message(path) if callable(message) else message
        assert str(info.value) == f"the tick file stopped the run after {stopped} ticks: {expected}"
        assert strategy.calls == stopped

    def test_file_removed_after_loading(self, path):
        t.save_ticks(path, make_ticks(3))
        source = t.load_ticks(path)
        os.remove(path)
        with pytest.raises(ValueError) as info:
            t.run_backtest(Quiet(), source, 1000)
        assert str(info.value) == path + ": truncated: needed 32 bytes, 0 available"

    def test_strategy_failure_takes_precedence(self, path):
        t.save_ticks(path, make_ticks(20000))
        flip_byte(path, os.path.getsize(path) - 3)

        class Boom:
            def on_tick(self, ctx):
                raise RuntimeError("first tick")

        with pytest.raises(ValueError) as info:
            t.run_backtest(Boom(), t.load_ticks(path), 1000)
        assert str(info.value) == "the strategy failed during the run: RuntimeError: first tick"

    def test_source_runs_twice_with_equal_results(self, path, ticks):
        t.save_ticks(path, ticks)
        source = t.load_ticks(path)
        first = t.run_backtest(Quiet(), source, 1000)
        second = t.run_backtest(Quiet(), source, 1000)
        assert first.ticks == second.ticks == len(ticks)
