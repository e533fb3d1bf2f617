"""Follow mode: reading a capture while another writer (a thread here, a second
process in one test) is still appending to it, and every way a wait ends."""

import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import capture_builders as cb
from kolvane import interrupt, iqreader, iqwriter

# Every follow below carries a safety budget, so a fault fails the test ("timeout"
# instead of the expected ending) rather than hanging it.
SAFETY_MS = 5000


@pytest.fixture(autouse=True)
def clean_flag():
    interrupt.clear()
    yield
    interrupt.clear()


def samples(n, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-1, 1, n) + 1j * rng.uniform(-1, 1, n)).astype(np.complex64)


class LiveBlue:
    """A BLUE capture appended to in steps, closed the way the writer closes one:
    data_size patched first, then padding and the extended header appended."""

    def __init__(self, path, stype="ci16", hint_samples=0, detached=False):
        self.path, self.stype = path, stype
        self.det = path.with_suffix(".det") if detached else None
        self.hdr_path = path.with_suffix(".hdr") if detached else path
        self.written = 0
        size = float(hint_samples * cb.stride(stype))
        with open(self.hdr_path, "wb") as f:
            f.write(cb.hcb(stype, data_size=size, detached=1 if detached else 0, data_start=0.0 if detached else 512.0))
        if detached:
            open(self.det, "wb").close()

    def append(self, raw):
        with open(self.det or self.path, "ab") as f:
            f.write(raw)
        self.written += len(raw)

    def close(self, ext=b""):
        with open(self.hdr_path, "r+b") as f:
            f.seek(40)
            f.write(struct.pack("<d", float(self.written)))
        if ext:
            end = (0 if self.det else 512) + self.written
            pad = (-end) % 512
            self.append(b"\0" * pad + ext)


def follow_all(r, step=64):
    parts = []
    while True:
        y = r.read_follow(step)
        if len(y) == 0:
            return np.concatenate(parts) if parts else np.zeros(0, np.complex64)
        parts.append(y.copy())


def later(delay, fn, *args):
    t = threading.Timer(delay, fn, args)
    t.start()
    return t


JUNK_EXT = cb.kw_entry("JUNK", "B", [0x7F] * 100)  # reads as +1.0 if taken for ci8/ci16 samples


def test_complete_capture_ends_at_data_size(tmp_path):
    p = tmp_path / "c.blue"
    data = cb.blue_file(p, samples(100), "ci8", ext=JUNK_EXT)
    r = iqreader.Reader(p)
    r.follow_timeout_ms = SAFETY_MS
    np.testing.assert_array_equal(follow_all(r, 30), cb.expected(data, "ci8"))
    assert r.ending == "eof"
    r.reset()
    assert len(r.read_follow(1000)) == 100 and len(r.read_follow(1)) == 0 and r.ending == "eof"


def test_writer_closes_while_followed(tmp_path):
    live = LiveBlue(tmp_path / "l.blue")
    raw = cb.payload(samples(400), "ci16")
    r = iqreader.Reader(live.path)
    r.follow_timeout_ms = SAFETY_MS

    def writer():
        for k in range(0, len(raw), 300):  # 300 bytes: chunks end mid-sample
            live.append(raw[k:k + 300])
            time.sleep(0.02)
        live.close(ext=JUNK_EXT)

    t = later(0.05, writer)
    got = follow_all(r, 50)
    t.join()
    np.testing.assert_array_equal(got, cb.expected(raw, "ci16"))
    assert r.ending == "eof"


def test_total_hint_does_not_end_early(tmp_path):
    raw = cb.payload(samples(300), "ci16")
    live = LiveBlue(tmp_path / "h.blue", hint_samples=300)
    live.append(raw[:400])
    r = iqreader.Reader(live.path)
    r.follow_timeout_ms = SAFETY_MS
    assert len(r.read_follow(1000)) == 100

    def writer():
        live.append(raw[400:800])
        time.sleep(0.15)
        live.append(raw[800:])
        time.sleep(0.1)
        live.close(ext=JUNK_EXT)

    t = later(0.15, writer)
    rest = follow_all(r)
    t.join()
    np.testing.assert_array_equal(rest, cb.expected(raw, "ci16")[100:])
    assert r.ending == "eof"


def test_hint_larger_than_written_ends_at_the_close(tmp_path):
    raw = cb.payload(samples(40), "ci16")
    live = LiveBlue(tmp_path / "big.blue", hint_samples=1000)
    r = iqreader.Reader(live.path)  # opened while data_size still holds the hint
    r.follow_timeout_ms = SAFETY_MS
    live.append(raw)
    live.close(ext=JUNK_EXT)  # padding and keywords now lie within the old hint
    got = follow_all(r, 1000)
    np.testing.assert_array_equal(got, cb.expected(raw, "ci16"))
    assert r.ending == "eof"


def test_hint_larger_than_written_closed_during_wait(tmp_path):
    raw = cb.payload(samples(40), "ci16")
    live = LiveBlue(tmp_path / "big.blue", hint_samples=1000)
    live.append(raw)
    r = iqreader.Reader(live.path)
    r.follow_timeout_ms = SAFETY_MS
    assert len(r.read_follow(1000)) == 40
    t = later(0.15, live.close, JUNK_EXT)
    t0 = time.monotonic()
    assert len(r.read_follow(1000)) == 0
    t.join()
    assert r.ending == "eof" and time.monotonic() - t0 < 3


@pytest.mark.parametrize("fc,keyword", [(0.0, False), (2e6, False), (0.0, True)], ids=["bare", "fc", "keyword"])
@pytest.mark.parametrize("opened", ["before close", "after close"])
def test_empty_capture_ends_at_once(tmp_path, fc, keyword, opened):
    p = tmp_path / "e.blue"
    w = iqwriter.Writer(p, 1e3, file_type="blue", sample_type="ci8", fc=fc, total=50)
    if keyword:
        w.add_keyword("JUNK", "B", [0x7F] * 100)
    early = iqreader.Reader(p) if opened == "before close" else None
    w.close()
    for r in (early, iqreader.Reader(p)):
        if r is not None:
            r.follow_timeout_ms = SAFETY_MS
            t0 = time.monotonic()
            assert len(r.read_follow(1000)) == 0 and r.ending == "eof" and time.monotonic() - t0 < 1
            r.reset()
            assert len(r.read(1000)) == 0
    assert r.num_samples == 0


def test_readers_opened_before_the_close_stop_at_the_payload(tmp_path):
    p = tmp_path / "k.blue"
    x = samples(37)
    w = iqwriter.Writer(p, 1e3, file_type="blue", sample_type="ci8", fc=2e6)
    w.write(x)
    w.flush()
    w.add_keyword("JUNK", "B", [0x7F] * 100)
    plain, follower = iqreader.Reader(p), iqreader.Reader(p)
    follower.follow_timeout_ms = SAFETY_MS
    w.close()
    want = cb.expected(cb.payload(x, "ci8"), "ci8")
    np.testing.assert_array_equal(plain.read(1000), want)
    np.testing.assert_array_equal(follow_all(follower, 1000), want)
    assert follower.ending == "eof"


def test_unsized_capture_ends_where_its_extended_header_begins(tmp_path):
    # A stored capture whose writer left data_size 0 but added an extended header:
    # the payload (and the zero padding, which cannot be told apart) stops there.
    p = tmp_path / "z.blue"
    raw = cb.payload(samples(100), "ci8")
    cb.blue_file(p, stype="ci8", raw=raw, ext=JUNK_EXT, data_size=0.0)
    want = np.concatenate([cb.expected(raw, "ci8"), np.zeros(156, np.complex64)])
    r = iqreader.Reader(p)
    r.follow_timeout_ms = SAFETY_MS
    assert r.num_samples == 256
    np.testing.assert_array_equal(r.read(1000), want)
    r.reset()
    np.testing.assert_array_equal(follow_all(r, 1000), want)
    assert r.ending == "eof"


def test_detached_marker_comes_from_the_header(tmp_path):
    live = LiveBlue(tmp_path / "d.blue", stype="cf32", detached=True)
    raw = cb.payload(samples(50), "cf32")
    live.append(raw[:200])
    r = iqreader.Reader(live.det)
    r.follow_timeout_ms = SAFETY_MS
    assert len(r.read_follow(100)) == 25

    def writer():
        live.append(raw[200:])
        live.close()

    t = later(0.1, writer)
    rest = follow_all(r)
    t.join()
    np.testing.assert_array_equal(rest, cb.expected(raw, "cf32")[25:])
    assert r.ending == "eof"


def test_unclosed_capture_reads_whole_samples(tmp_path):
    live = LiveBlue(tmp_path / "u.blue", stype="cf32")
    raw = cb.payload(samples(10), "cf32")
    live.append(raw[:-3])  # the last sample is incomplete
    r = iqreader.Reader(live.path)
    assert r.num_samples == 9 and r.trailing_bytes == 5
    np.testing.assert_array_equal(r.read(100), cb.expected(raw, "cf32")[:9])


def test_partial_sample_waits_for_its_end(tmp_path):
    live = LiveBlue(tmp_path / "p.blue", stype="cf64")
    raw = cb.payload(samples(2), "cf64")
    live.append(raw[:24])  # one and a half samples
    r = iqreader.Reader(live.path)
    r.follow_timeout_ms = 150
    assert len(r.read_follow(10)) == 1
    assert len(r.read_follow(10)) == 0 and r.ending == "timeout"
    live.append(raw[24:])
    np.testing.assert_array_equal(r.read_follow(10), cb.expected(raw, "cf64")[1:])
    assert r.ending == "none"


def test_timeout_on_a_quiet_capture(tmp_path):
    live = LiveBlue(tmp_path / "q.blue")
    r = iqreader.Reader(live.path)
    r.follow_timeout_ms = 250
    t0 = time.monotonic()
    assert len(r.read_follow(10)) == 0
    elapsed = time.monotonic() - t0
    assert r.ending == "timeout" and 0.2 <= elapsed < 3


def test_stop_without_grace_ends_at_once(tmp_path):
    r = iqreader.Reader(LiveBlue(tmp_path / "s.blue").path)  # timeout 0: would wait forever
    interrupt.request()
    t0 = time.monotonic()
    assert len(r.read_follow(10)) == 0
    assert r.ending == "interrupted" and time.monotonic() - t0 < 1


def test_stop_with_grace_keeps_waiting_then_interrupts(tmp_path):
    live = LiveBlue(tmp_path / "g.blue")
    r = iqreader.Reader(live.path)
    r.follow_grace_ms = 400
    interrupt.request()
    # data arriving within the grace period is still returned
    t = later(0.1, live.append, cb.payload(samples(3), "ci16"))
    assert len(r.read_follow(10)) == 3
    t.join()
    t0 = time.monotonic()
    assert len(r.read_follow(10)) == 0
    assert r.ending == "interrupted" and 0.3 <= time.monotonic() - t0 < 3


def test_stop_from_another_thread_ends_an_unbounded_wait(tmp_path):
    r = iqreader.Reader(LiveBlue(tmp_path / "t.blue").path)
    # The request runs on another Python thread: it can only run if the wait
    # released the interpreter lock.
    t = later(0.2, interrupt.request)
    t0 = time.monotonic()
    assert len(r.read_follow(10)) == 0
    t.join()
    assert r.ending == "interrupted" and time.monotonic() - t0 < 3


def test_destroy_refused_while_waiting(tmp_path):
    r = iqreader.Reader(LiveBlue(tmp_path / "b.blue").path)
    r.follow_timeout_ms = 600
    errors = []

    calls = [r.close, r.read, r.read_follow, r.reset, lambda: r.num_samples, lambda: r.ending,
             lambda: r.__init__(tmp_path / "b.blue")]  # re-initialising would free the handle in use

    def try_calls():
        for call in calls:
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))

    t = later(0.1, try_calls)
    assert len(r.read_follow(10)) == 0 and r.ending == "timeout"
    t.join()
    assert len(errors) == len(calls) and all(e.startswith("object is busy in another thread") for e in errors)
    r.close()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        r.read_follow(1)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals need the main thread")
def test_ctrl_c_ends_the_wait(tmp_path):
    r = iqreader.Reader(LiveBlue(tmp_path / "c.blue").path)
    t = later(0.2, os.kill, os.getpid(), signal.SIGINT)
    t0 = time.monotonic()
    interrupted_by_python = False
    try:
        r.read_follow(10)
        time.sleep(1)  # Python's own handler (chained) raises here at the latest
    except KeyboardInterrupt:
        interrupted_by_python = True
    t.join()
    assert r.ending == "interrupted" and interrupted_by_python and time.monotonic() - t0 < 3
    # After the call the forwarding is gone: SIGINT is Python's alone again
    interrupt.clear()
    with pytest.raises(KeyboardInterrupt):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(1)
    assert not interrupt.interrupted()


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals need the main thread")
def test_ignored_sigint_stays_ignored(tmp_path):
    r = iqreader.Reader(LiveBlue(tmp_path / "i.blue").path)
    r.follow_timeout_ms = 400
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        t = later(0.1, os.kill, os.getpid(), signal.SIGINT)
        assert len(r.read_follow(10)) == 0
        t.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert r.ending == "timeout" and not interrupt.interrupted()


def test_raw_follow_ends_by_budget(tmp_path):
    p = tmp_path / "r.raw"
    p.write_bytes(cb.payload(samples(5), "cf32"))
    r = iqreader.Reader(p)
    r.follow_timeout_ms = 120
    t = later(0.05, lambda: p.open("ab").write(cb.payload(samples(3, 1), "cf32")))
    got = follow_all(r, 4)
    t.join()
    assert len(got) == 8 and r.ending == "timeout"


def test_csv_follow_waits_for_whole_rows(tmp_path):
    p = tmp_path / "f.csv"
    p.write_text("0.5,0.25\n0.1")
    r = iqreader.Reader(p)
    r.follow_timeout_ms = 150
    assert r.read_follow(10).tolist() == [0.5 + 0.25j]
    assert len(r.read_follow(10)) == 0 and r.ending == "timeout"
    with p.open("a") as f:
        f.write("25,1\n-1,-1\n")
    assert r.read_follow(10).tolist() == [0.125 + 1j, -1 - 1j]


WRITER_PROCESS = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    from kolvane import iqwriter
    path, total, n_blocks = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = np.random.default_rng(42)
    with iqwriter.Writer(path, 1e6, file_type="blue", sample_type="ci16", total=total, fc=2e6) as w:
        for _ in range(n_blocks):
            w.write((rng.uniform(-1, 1, 100) + 1j * rng.uniform(-1, 1, 100)).astype(np.complex64))
            w.flush()
            time.sleep(0.01)
        w.add_keyword("NOTE", "A", "x" * 300)
    """
)


@pytest.mark.parametrize("total", [0, 2000, 5000], ids=["no hint", "exact hint", "hint too large"])
def test_second_process_followed_to_its_end(tmp_path, total):
    p = tmp_path / "proc.blue"
    n_blocks = 20
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    proc = subprocess.Popen([sys.executable, "-c", WRITER_PROCESS, str(p), str(total), str(n_blocks)], env=env)
    try:
        deadline = time.monotonic() + 30
        while not (p.exists() and p.stat().st_size >= 512):
            assert time.monotonic() < deadline and proc.poll() in (None, 0)
            time.sleep(0.01)
        r = iqreader.Reader(p)
        r.follow_timeout_ms = 20000
        got = follow_all(r, 70)
    finally:
        assert proc.wait(timeout=60) == 0
    rng = np.random.default_rng(42)
    x = np.concatenate(
        [(rng.uniform(-1, 1, 100) + 1j * rng.uniform(-1, 1, 100)).astype(np.complex64) for _ in range(n_blocks)]
    )
    want = np.trunc(np.stack([x.real, x.imag], -1).astype(np.float64) * 32767) * (1 / 32767)
    assert r.ending == "eof"
    np.testing.assert_array_equal(got, want.astype(np.float32).view(np.complex64).reshape(-1))
    assert iqreader.Reader(p).keywords["NOTE"] == "x" * 300


@pytest.mark.parametrize("total", [0, 500, 2000, 5000], ids=["no hint", "hint short", "hint exact", "hint long"])
def test_total_hint_is_no_end_while_the_writer_appends(tmp_path, total):
    p = tmp_path / "t.blue"
    x = samples(2600)
    w = iqwriter.Writer(p, 1e6, file_type="blue", sample_type="ci16", total=total)
    w.write(x[:2000])
    r = iqreader.Reader(p)
    r.follow_timeout_ms = 100
    assert r.header["pipe"] == 1 and r.num_samples == 2000
    assert len(iqreader.Reader(p).read(10**9)) == 2000  # a plain read returns what is there
    assert len(follow_all(r, 700)) == 2000 and r.ending == "timeout"
    w.write(x[2000:])
    w.close()
    r.follow_timeout_ms = SAFETY_MS
    assert len(follow_all(r, 700)) == 600 and r.ending == "eof"
    closed = iqreader.Reader(p)
    assert closed.header["pipe"] == 0 and closed.num_samples == 2600
