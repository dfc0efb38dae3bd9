"""Files and inputs chosen to hurt: FIFOs that never deliver, special files as save targets,
links, paths that are not str or not UTF-8, sub-interpreters, and sequences slow to index."""

import collections
import os
import select
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tallowmarsh as t
from conftest import Script
from test_interrupt import LATENCY, SENDERS, interrupted

TICKS = [t.Tick(i, 100 + i) for i in range(1, 10)]
ROOT = os.geteuid() == 0


def test_a_fifo_that_never_delivers_blocks_no_other_thread_and_yields_to_ctrl_c(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    beats = []
    for call in (lambda: t.load_ticks(str(fifo)), lambda: t.save_ticks(str(fifo), TICKS)):
        ticker = threading.Thread(target=lambda: [beats.append(time.sleep(0.005)) for _ in range(40)])
        beats.clear()
        ticker.start()
        start, ended, sent = interrupted(call, SENDERS["SIGINT"], after=0.4)
        ticker.join()
        assert ended - sent < LATENCY and len(beats) == 40


def test_a_stalled_tick_stream_ends_at_ctrl_c(tmp_path):
    path = tmp_path / "a.tmtk"
    t.save_ticks(str(path), TICKS * 1000)
    head = path.read_bytes()[:32 + 64 * 100]  # the header and 100 of 9,000 ticks, then silence
    ticks = t.load_ticks(str(path))
    path.unlink()
    os.mkfifo(path)  # the run opens the path afresh and meets the FIFO
    opened, closed = threading.Event(), threading.Event()

    def write():  # the one opening the run makes gets the head, then nothing until it closes
        fd = os.open(path, os.O_WRONLY)  # returns once the run has opened the FIFO
        opened.set()
        try:
            os.write(fd, head)
            poller = select.poll()
            poller.register(fd, select.POLLERR)
            if poller.poll(60_000):  # POLLERR: the reader closed its end
                closed.set()
        finally:
            os.close(fd)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    try:
        start, ended, sent = interrupted(lambda: t.run_backtest(Script(), ticks, 1000),
                                         SENDERS["interrupt_main"], after=0.3)
    finally:
        if not opened.is_set():  # release a writer still waiting for a reader
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        writer.join(5)
    assert opened.is_set() and closed.is_set() and ended - sent < LATENCY


@pytest.mark.parametrize("send", SENDERS)
def test_ctrl_c_stops_the_overfitting_estimate(send):
    columns = [[0.01 * ((i * c) % 7 - 3) for i in range(96)] for c in range(1, 401)]
    start, ended, sent = interrupted(
        lambda: t.probability_of_backtest_overfitting(columns, 24), SENDERS[send], after=0.2)
    assert ended - sent < LATENCY


def test_non_list_sequences_convert_in_linear_time():
    def seconds(n):
        returns = collections.deque(0.001 * (i % 17) for i in range(n))
        ticks = collections.deque([t.Tick(1, 100)] * n)
        begin = time.perf_counter()
        t.sharpe_ratio(returns)
        t.save_ticks(os.devnull, ticks)
        return time.perf_counter() - begin

    seconds(1000)
    # The fastest of three, so that a burst of other work on the machine does not decide.
    small, large = (min(seconds(n) for _ in range(3)) for n in (40_000, 400_000))
    assert large < 40 * small + 0.05  # indexing a deque made this ~100x


def test_save_writes_in_place_what_is_not_a_single_regular_file(tmp_path):
    assert t.save_ticks("/dev/null", TICKS) == 9 and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
    reader.start()
    t.save_ticks(str(fifo), TICKS)
    reader.join()
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and len(got[0]) == 32 + 64 * 9
    first, second = tmp_path / "first.tmtk", tmp_path / "second.tmtk"
    t.save_ticks(str(first), TICKS[:3])
    os.link(first, second)
    t.save_ticks(str(second), TICKS)  # a hard link stays one file with two names
    assert os.path.samefile(first, second) and len(t.load_ticks(str(first))) == 9


def test_save_follows_links_and_keeps_the_replaced_files_owner_and_mode(tmp_path):
    dangling, target = tmp_path / "dangling", tmp_path / "sub" / "target.tmtk"
    target.parent.mkdir()
    dangling.symlink_to(target)
    t.save_ticks(str(dangling), TICKS)  # the link stays a link, and its target is created
    assert dangling.is_symlink() and len(t.load_ticks(str(target))) == 9
    loop = tmp_path / "loop"
    loop.symlink_to(loop)
    with pytest.raises(ValueError, match="Too many levels of symbolic links"):
        t.save_ticks(str(loop), TICKS)
    os.chmod(target, 0o640)
    if ROOT:
        os.chown(target, 12345, 23456)
    t.save_ticks(str(target), TICKS[:2])
    info = os.stat(target)
    assert stat.S_IMODE(info.st_mode) == 0o640 and len(t.load_ticks(str(target))) == 2
    assert (info.st_uid, info.st_gid) == ((12345, 23456) if ROOT else (os.getuid(), os.getgid()))


def test_paths_are_taken_as_open_takes_them(tmp_path):
    odd = os.fsencode(tmp_path) + b"/caf\xe9.tmtk"  # not valid UTF-8
    for path in (tmp_path / "a.tmtk", odd, os.fsdecode(odd)):
        assert t.save_ticks(path, TICKS) == 9 and len(t.load_ticks(path)) == 9
    assert t.load_ticks(odd).path == os.fsdecode(odd)
    with pytest.raises(TypeError, match="os.PathLike"):
        t.load_ticks(3)


def test_a_relative_source_keeps_naming_the_file_it_named(tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    t.save_ticks(str(tmp_path / "a" / "x.tmtk"), TICKS)
    t.save_ticks(str(tmp_path / "b" / "x.tmtk"), TICKS[:2])
    monkeypatch.chdir(tmp_path / "a")
    source = t.load_ticks("x.tmtk")
    monkeypatch.chdir(tmp_path / "b")
    assert source.path == "x.tmtk" and repr(source) == "TickSource(x.tmtk, 9 ticks, instrument 1)"
    assert t.run_backtest(Script(), source, 1000).ticks == 9


def test_a_sub_interpreter_refuses_the_import_instead_of_hanging(tmp_path):
    code = textwrap.dedent(f"""
        import sys
        import _testcapi
        sys.path[:0] = {sys.path!r}
        script = "try:\\n import tallowmarsh\\nexcept ImportError as e:\\n open({str(tmp_path / 'out')!r}, 'w').write(str(e))"
        _testcapi.run_in_subinterp(script)
    """)
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter has no _testcapi to start a sub-interpreter with")
    subprocess.run([sys.executable, "-c", code], timeout=60, check=True)
    assert "main interpreter" in (tmp_path / "out").read_text()
