"""Telemetry ring: probes, decimation, drop-on-full, mirrored reads, and the
Telemetry type of the telemetry module."""
import ctypes
import threading
import time

import numpy as np
import pytest

from blockprops import check_destroyed
from kolvane import telemetry

lib = ctypes.CDLL(telemetry.__file__)
P, S, U64 = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint64
lib.sx_tlm_create.restype = P
lib.sx_tlm_create.argtypes = [S]
lib.sx_tlm_destroy.argtypes = [P]
lib.sx_tlm_probe.argtypes = [P, ctypes.c_char_p, ctypes.c_uint32]
lib.sx_tlm_capacity.restype = S
lib.sx_tlm_capacity.argtypes = [P]
lib.sx_tlm_emit.argtypes = [P, ctypes.c_int, ctypes.c_double]
lib.sx_tlm_set_now.argtypes = [P, U64]
lib.sx_tlm_read.restype = S
lib.sx_tlm_read.argtypes = [P, S, P, S]
lib.sx_tlm_avail.restype = S
lib.sx_tlm_avail.argtypes = [P]
lib.sx_tlm_dropped.restype = U64
lib.sx_tlm_dropped.argtypes = [P]
lib.sx_tlm_resize.argtypes = [P, S]
lib.sx_tlm_block_bound.restype = U64
lib.sx_tlm_block_bound.argtypes = [P, U64]
lib.sx_tlm_emitted.restype = U64
lib.sx_tlm_emitted.argtypes = [P, ctypes.c_int]

REC = np.dtype({"names": ["n", "value", "probe", "flags"], "formats": ["<u8", "<f4", "<u2", "<u2"],
                "offsets": [0, 8, 12, 14], "itemsize": 16})


@pytest.fixture
def ctx():
    h = lib.sx_tlm_create(256)
    assert h
    yield h
    lib.sx_tlm_destroy(h)


def c_read(h, n=0, cap=None):
    avail = lib.sx_tlm_avail(h)
    out = np.zeros(max(cap if cap is not None else avail, 1), REC)
    got = lib.sx_tlm_read(h, n, out.ctypes.data, cap if cap is not None else avail)
    return out[:got]


@pytest.mark.parametrize("req,cap", [(16, 256), (256, 256), (512, 512), (16384, 16384)])
def test_capacity_rule(req, cap):
    assert telemetry.Telemetry(req).capacity == cap


@pytest.mark.parametrize("req", [0, 3, 1000, 1 << 63 | 1, 1 << 62, 1 << 63])
def test_bad_or_overflowing_capacity_is_refused(req):
    assert lib.sx_tlm_create(req) is None


def test_create_refusal_message():
    with pytest.raises(ValueError, match=r"^ring_records must be a power of two \(and at least the page minimum\); "
                                         r"read the granted size back from Telemetry\.capacity$"):
        telemetry.Telemetry(3)
    with pytest.raises(ValueError, match="non-negative"):
        telemetry.Telemetry(-16)


def test_stats_example():
    t = telemetry.Telemetry(1 << 12)
    assert t.probe("agc.gain_db") == 0
    t.emit(0, -3.5)
    s = t.stats()
    assert s == (0, 1, 4096, 1)
    assert (s.dropped, s.emitted, s.capacity, s.probes) == (0, 1, 4096, 1)
    assert type(s).__name__ == "TelemetryStats"
    assert repr(s) == "kolvane.telemetry.TelemetryStats(dropped=0, emitted=1, capacity=4096, probes=1)"


def test_stats_type_is_importable():
    from kolvane.telemetry import TelemetryStats

    s = telemetry.Telemetry(1 << 12).stats()
    assert type(s) is TelemetryStats and isinstance(s, tuple)
    assert TelemetryStats.n_fields == 4 and TelemetryStats(s) == s == (0, 0, 4096, 0)
    assert TelemetryStats.__module__ == "kolvane.telemetry" and TelemetryStats.__name__ == "TelemetryStats"
    with pytest.raises(AttributeError, match="no attribute 'Nothing'"):
        telemetry.Nothing


def test_probe_names_limits_and_retuning():
    t = telemetry.Telemetry()
    assert t.probe("x" * 31) == 0
    with pytest.raises(ValueError) as e:
        t.probe("y" * 32)
    assert str(e.value) == "probe: name is NULL or too long, decim is 0, or the table is full (rc=-4)"
    with pytest.raises(ValueError, match=r"\(rc=-4\)$"):
        t.probe("z", 0)
    for i in range(1, 64):
        assert t.probe(f"p{i}") == i
    with pytest.raises(ValueError, match=r"table is full \(rc=-4\)$"):
        t.probe("one-too-many")
    assert t.probe_count == 64
    assert t.probe("p5", 3) == 5  # existing name: same id, table unchanged
    assert t.probe_count == 64
    assert list(t.probe_names)[:3] == ["x" * 31, "p1", "p2"]
    assert t.probe_names["p63"] == 63


def test_reregistration_keeps_id_and_counter_and_reprimes():
    t = telemetry.Telemetry()
    assert t.probe("sync.e", 4) == 0
    for _ in range(5):
        t.emit(0, 1.0)  # events 1 and 5 emit
    assert t.emitted(0) == 2
    assert t.probe("sync.e", 1) == 0
    assert t.probe_count == 1
    assert t.emitted(0) == 2
    t.emit(0, 2.0)
    assert t.emitted(0) == 3


@pytest.mark.parametrize("decim,events,expect", [(1, 5, [0, 1, 2, 3, 4]), (2, 4, [0, 2]), (4, 9, [0, 4, 8]),
                                                 (3, 2, [0])])
def test_decimation_counts_events(decim, events, expect):
    t = telemetry.Telemetry()
    pid = t.probe("a", decim)
    for k in range(events):
        t.emit(pid, k)
    assert t.read()["value"].tolist() == expect
    assert t.emitted(pid) == len(expect)


def test_set_decim_reprimes_and_never_registers():
    t = telemetry.Telemetry()
    pid = t.probe("a", 1)
    t.emit(pid, 0)
    t.set_decim("a", 3)
    for k in range(1, 7):
        t.emit(pid, k)
    assert t.read()["value"].tolist() == [0, 1, 4]
    with pytest.raises(ValueError, match=r"^set_decim failed \(rc=-4\)$"):
        t.set_decim("b", 2)
    with pytest.raises(ValueError, match=r"^set_decim failed \(rc=-4\)$"):
        t.set_decim("a", 0)
    assert t.probe_count == 1


def test_stamp_read_partial_and_dtype():
    t = telemetry.Telemetry()
    pid = t.probe("agc.gain_db")
    t.set_now(1000)
    t.emit(pid, -3.5)
    r = t.read()
    assert r.dtype == REC and r.dtype.names == ("n", "value", "probe", "flags")
    assert (r[0]["n"], r[0]["value"], r[0]["probe"], r[0]["flags"]) == (1000, -3.5, 0, 0)
    for k in range(5):
        t.set_now(k)
        t.emit(pid, k * 0.5)
    assert t.avail == 5 and t.read_max_out() == 5
    first = t.read(2)
    rest = t.read()
    assert first["n"].tolist() == [0, 1] and rest["n"].tolist() == [2, 3, 4]
    assert rest["value"].tolist() == [1.0, 1.5, 2.0]
    assert len(t.read()) == 0


def test_value_narrowed_to_single_precision():
    t = telemetry.Telemetry()
    t.probe("v")
    for v in (0.1, 1e39, -np.inf, np.nan):
        t.emit(0, v)
    got = t.read()["value"]
    with np.errstate(over="ignore"):
        expect = np.array([0.1, 1e39, -np.inf, np.nan]).astype(np.float32)
    np.testing.assert_array_equal(got, expect)


def test_emit_checked_refuses_unregistered_ids():
    t = telemetry.Telemetry()
    pid = t.probe("only")
    for bad in (pid + 1, -1, 64, 1000):
        with pytest.raises(ValueError) as e:
            t.emit(bad, 1.0)
        assert str(e.value) == "emit failed (rc=-4)"
    assert t.avail == 0


def test_raw_emit_table_bound_only(ctx):
    assert lib.sx_tlm_probe(ctx, b"p", 1) == 0
    lib.sx_tlm_emit(ctx, 1, 7.0)  # unregistered slot inside the table: written (decim 0 slot)
    for bad in (-1, -4, 64, 1 << 20):
        lib.sx_tlm_emit(ctx, bad, 9.0)  # a failed registration's -4 must write nothing
    r = c_read(ctx)
    assert r["probe"].tolist() == [1] and r["value"].tolist() == [7.0]
    assert lib.sx_tlm_dropped(ctx) == 0


def test_full_ring_drops_then_recovers(ctx):
    lib.sx_tlm_probe(ctx, b"p", 1)
    cap = lib.sx_tlm_capacity(ctx)
    for k in range(cap + 3):
        lib.sx_tlm_emit(ctx, 0, float(k))
    assert lib.sx_tlm_avail(ctx) == cap
    assert lib.sx_tlm_dropped(ctx) == 3
    assert lib.sx_tlm_emitted(ctx, 0) == cap
    assert c_read(ctx, n=1)["value"].tolist() == [0.0]
    lib.sx_tlm_emit(ctx, 0, -1.0)
    r = c_read(ctx)
    assert r["value"].tolist() == list(map(float, range(1, cap))) + [-1.0]


def test_read_across_the_physical_end_is_whole_and_ordered(ctx):
    lib.sx_tlm_probe(ctx, b"p", 1)
    cap = lib.sx_tlm_capacity(ctx)
    seq = 0
    for _ in range(cap - 5):
        lib.sx_tlm_set_now(ctx, seq)
        lib.sx_tlm_emit(ctx, 0, float(seq))
        seq += 1
    c_read(ctx)
    for _ in range(12):  # spans the end of the buffer
        lib.sx_tlm_set_now(ctx, seq)
        lib.sx_tlm_emit(ctx, 0, float(seq))
        seq += 1
    r = c_read(ctx)
    assert r["n"].tolist() == list(range(cap - 5, cap + 7))
    assert r["value"].tolist() == [float(v) for v in range(cap - 5, cap + 7)]


def test_read_honours_out_capacity_and_null(ctx):
    lib.sx_tlm_probe(ctx, b"p", 1)
    for k in range(5):
        lib.sx_tlm_emit(ctx, 0, k)
    assert lib.sx_tlm_read(ctx, 0, None, 10) == 0
    assert c_read(ctx, 0, cap=2)["value"].tolist() == [0, 1]
    assert lib.sx_tlm_avail(ctx) == 3


def test_resize_keeps_unread_records_and_dropped(ctx):
    lib.sx_tlm_probe(ctx, b"p", 1)
    cap = lib.sx_tlm_capacity(ctx)
    for k in range(cap + 2):
        lib.sx_tlm_emit(ctx, 0, float(k))
    c_read(ctx, n=cap - 10)
    assert lib.sx_tlm_resize(ctx, 100) == 0 and lib.sx_tlm_capacity(ctx) == cap  # already large enough
    assert lib.sx_tlm_resize(ctx, cap + 1) == 0
    assert lib.sx_tlm_capacity(ctx) == 2 * cap
    assert lib.sx_tlm_dropped(ctx) == 2
    lib.sx_tlm_emit(ctx, 0, -1.0)
    r = c_read(ctx)
    assert r["value"].tolist() == [float(v) for v in range(cap - 10, cap)] + [-1.0]


@pytest.mark.parametrize("req", [(1 << 63) + 1, (1 << 64) - 1, 1 << 62])
def test_resize_overflow_is_refused_and_keeps_the_ring(ctx, req):
    lib.sx_tlm_probe(ctx, b"p", 1)
    lib.sx_tlm_emit(ctx, 0, 5.0)
    assert lib.sx_tlm_resize(ctx, req) == -4
    assert lib.sx_tlm_capacity(ctx) == 256
    assert c_read(ctx)["value"].tolist() == [5.0]


def test_block_bound(ctx):
    assert lib.sx_tlm_block_bound(ctx, 100) == 0
    for name in (b"a", b"b", b"c"):
        lib.sx_tlm_probe(ctx, name, 1)
    assert lib.sx_tlm_block_bound(ctx, 0) == 0
    assert lib.sx_tlm_block_bound(ctx, 100) == 300
    assert lib.sx_tlm_block_bound(ctx, 1 << 63) == (1 << 64) - 1
    assert lib.sx_tlm_block_bound(None, 100) == 0


def test_read_with_out():
    t = telemetry.Telemetry()
    t.probe("p")
    for k in range(3):
        t.emit(0, k)
    out = np.zeros(4, REC)
    r = t.read(out=out)
    assert np.shares_memory(r, out) and r.base is out and len(r) == 3
    assert out["value"][:3].tolist() == [0, 1, 2]
    t.emit(0, 9)
    t.emit(0, 9)
    with pytest.raises(ValueError, match=r"^out has 1 elements, need >= 2$"):
        t.read(out=np.zeros(1, REC))
    bad = [np.zeros(4, np.float64), np.zeros(8, REC)[::2], np.zeros(4, REC)]
    bad[2].flags.writeable = False
    for o in bad + [[0, 0]]:
        with pytest.raises(TypeError, match=r"^out must be a writable, C-contiguous ndarray of dtype "):
            t.read(out=o)
    assert t.avail == 2  # refusals consumed nothing


def test_read_dict_groups_every_probe_in_order():
    t = telemetry.Telemetry()
    e = t.probe("sync.e")
    lock = t.probe("sync.lock")
    quiet = t.probe("quiet")
    for k in range(6):
        t.set_now(100 + k)
        t.emit(e if k % 3 else lock, k)
    d = t.read_dict()
    assert list(d) == ["sync.e", "sync.lock", "quiet"]
    assert d["sync.e"].dtype == np.float32 and d["sync.e"].tolist() == [1, 2, 4, 5]
    assert d["sync.lock"].tolist() == [0, 3]
    assert len(d["quiet"]) == 0
    d2 = t.read_dict(index=True)
    assert all(len(n) == 0 and len(v) == 0 for n, v in d2.values())
    t.set_now(7)
    t.emit(lock, 1.5)
    t.emit(e, 2.5)
    t.emit(quiet, 3.5)
    d3 = t.read_dict(2, index=True)
    assert d3["sync.lock"][0].dtype == np.uint64 and d3["sync.lock"][0].tolist() == [7]
    assert d3["sync.e"][1].tolist() == [2.5] and len(d3["quiet"][1]) == 0
    assert t.avail == 1


def test_probe_id_and_emitted():
    t = telemetry.Telemetry()
    t.probe("a")
    t.probe("b")
    assert t.probe_id("b") == 1
    with pytest.raises(KeyError) as e:
        t.probe_id("c")
    assert e.value.args[0] == "no probe by that name (rc=-4)"
    assert t.emitted(5) == 0 and t.emitted(-1) == 0


def test_capsule():
    import kolvane.telemetry as mod

    t = mod.Telemetry()
    cap = t._capsule
    assert type(cap).__name__ == "PyCapsule"
    ctypes.pythonapi.PyCapsule_GetPointer.restype = P
    ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    ptr = ctypes.pythonapi.PyCapsule_GetPointer(cap, b"kolvane.telemetry.sx_tlm")
    assert lib.sx_tlm_capacity(ptr) == t.capacity
    assert lib.sx_tlm_probe(ptr, b"via.capsule", 1) == 0
    assert t.probe_names == {"via.capsule": 0}


def test_destroyed():
    t = telemetry.Telemetry()
    t.probe("a")
    calls = [lambda o: o.probe("b"), lambda o: o.probe_id("a"), lambda o: o.emit(0, 1.0), lambda o: o.set_now(1),
             lambda o: o.read(), lambda o: o.read_dict(), lambda o: o.stats(), lambda o: o.read_max_out(),
             lambda o: o.emitted(0), lambda o: o.set_decim("a", 2), lambda o: o.capacity, lambda o: o.dropped,
             lambda o: o.probe_count, lambda o: o.avail, lambda o: o.probe_names, lambda o: o._capsule]
    check_destroyed(t, calls)
    with telemetry.Telemetry() as t2:
        assert t2.capacity == 16384
    with pytest.raises(RuntimeError, match="^destroyed$"):
        t2.stats()


def test_module_surface():
    assert telemetry.__doc__ == ("Telemetry: lightweight in-band probes (Telemetry) that record loop internals -- "
                                 "error, control, lock -- to a sink for offline analysis.")
    assert telemetry.Telemetry.__name__ == "Telemetry"
    assert [n for n in ("Telemetry", "MemoryCapture", "Capture") if hasattr(telemetry, n)] == \
        ["Telemetry", "MemoryCapture", "Capture"]


def test_producer_and_consumer_threads_lose_nothing_uncounted():
    """A producer and a consumer on two real threads for two seconds (ctypes
    releases the interpreter lock for each call): every record is read once,
    in order, or counted as dropped."""
    h = lib.sx_tlm_create(256)
    try:
        lib.sx_tlm_probe(h, b"seq", 1)
        got = []
        produced = []
        done = threading.Event()

        def produce():
            emit, set_now = lib.sx_tlm_emit, lib.sx_tlm_set_now
            k = 0
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline:
                for _ in range(1000):
                    set_now(h, k)
                    emit(h, 0, float(k % (1 << 24)))
                    k += 1
            produced.append(k)
            done.set()

        def consume():
            buf = np.zeros(256, REC)
            addr = buf.ctypes.data
            while True:
                finished = done.is_set()
                n = lib.sx_tlm_read(h, 0, addr, 256)
                if n:
                    got.append(buf[:n].copy())
                elif finished:
                    return

        threads = [threading.Thread(target=produce), threading.Thread(target=consume)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        total = produced[0]
        recs = np.concatenate(got) if got else np.zeros(0, REC)
        dropped = lib.sx_tlm_dropped(h)
        assert len(recs) + dropped == total
        assert len(recs) > 0
        n = recs["n"].astype(np.int64)
        assert np.all(np.diff(n) > 0)  # strictly in order, no duplicates
        np.testing.assert_array_equal(recs["value"], (n % (1 << 24)).astype(np.float32))
        assert lib.sx_tlm_emitted(h, 0) == len(recs)
    finally:
        lib.sx_tlm_destroy(h)
