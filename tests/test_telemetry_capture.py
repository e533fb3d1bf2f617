"""Lossless telemetry capture to memory and to a file, its sidecar, and the
lifetime rules between a capture, its context and its clock."""
import gc
import json

import numpy as np
import pytest

from conftest import UNDER_SANITIZER
from kolvane import clock, telemetry

HOLE = ("the capture has a hole: records were dropped, which the block bound makes impossible unless a step ran "
        "longer than block_samples or no boundary was reached at all \u2014 see Capture.dropped")
OPEN_FAIL = ("capture could not be opened: attach every probe BEFORE opening (the ring is sized from the probe "
             "table, so no probes means no bound), pass a non-zero block_samples, use a context with no capture "
             "already open, and \u2014 for the file flavour \u2014 a writable path")
DTYPE_LINE = '  "dtype": [["n", "<u8"], ["value", "<f4"], ["probe", "<u2"], ["flags", "<u2"]],\n'
REC = np.dtype([("n", "<u8"), ("value", "<f4"), ("probe", "<u2"), ("flags", "<u2")])


def sidecar(records, dropped, capacity, block, probes, fs=None, epoch=None):
    s = "{\n"
    s += f'  "records": {records},\n  "dropped": {dropped},\n  "capacity": {capacity},\n'
    s += f'  "block_samples": {block},\n'
    if fs is not None:
        s += f'  "fs": {fs},\n'
    if epoch is not None:
        s += f'  "epoch_real_ns": {epoch},\n'
    s += DTYPE_LINE
    s += '  "probes": {' + ",".join(f"\n    {k}: {v}" for k, v in probes) + "\n  }\n}\n"
    return s


def test_memory_capture_four_blocks():
    t = telemetry.Telemetry()
    pid = t.probe("blk")
    cap = telemetry.MemoryCapture(t, 256, None)
    for blk in range(4):
        t.set_now(blk * 256)
        t.emit(pid, blk)
    assert cap.close() is None
    r = cap.records()
    assert r["value"].tolist() == [0, 1, 2, 3]
    assert r["n"].tolist() == [0, 256, 512, 768]
    assert cap.count == 4 and cap.dropped == 0 and cap.records_max_out() == 4
    assert cap.close() is None  # idempotent
    assert t.avail == 0


def test_memory_capture_with_block_stays_readable():
    t = telemetry.Telemetry()
    e = t.probe("sync.e")
    t.probe("sync.lock")
    with telemetry.MemoryCapture(t, 64, None) as cap:
        for k in range(3):
            t.set_now(k * 64)
            t.emit(e, k + 0.5)
    n, v = cap.read_dict(index=True)["sync.e"]
    assert n.tolist() == [0, 64, 128] and v.tolist() == [0.5, 1.5, 2.5]
    d = cap.read_dict()
    assert list(d) == ["sync.e", "sync.lock"] and len(d["sync.lock"]) == 0
    assert cap.read_dict(2)["sync.e"].tolist() == [0.5, 1.5]  # non-consuming, first n
    assert cap.records(2)["value"].tolist() == [0.5, 1.5]
    out = np.zeros(5, REC)
    view = cap.records(out=out)
    assert view.base is out and view["value"].tolist() == [0.5, 1.5, 2.5]
    with pytest.raises(ValueError, match=r"^out has 2 elements, need >= 3$"):
        cap.records(out=np.zeros(2, REC))
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of dtype"):
        cap.records(out=np.zeros(5, np.uint8))
    cap.destroy()


def test_hole_when_no_boundary_is_reached():
    t = telemetry.Telemetry(4096)
    pid = t.probe("x")
    cap = telemetry.MemoryCapture(t, 1, None)
    for k in range(20000):
        t.emit(pid, k)
    for _ in range(2):  # the verdict is kept
        with pytest.raises(ValueError) as e:
            cap.close()
        assert str(e.value) == HOLE + " (rc=-4)"
    assert cap.dropped == 20000 - 4096 and cap.count == 4096
    assert cap.records()["value"][-1] == 4095
    with pytest.raises(ValueError, match=r"^block failed \(rc=-4\)$"):
        cap.block()
    with pytest.raises(ValueError, match=r"\(rc=-4\)$"):
        cap.destroy()
    cap.destroy()  # released: harmless
    with pytest.raises(RuntimeError, match="^destroyed$"):
        cap.count


def test_hole_raises_out_of_with_block():
    t = telemetry.Telemetry(256)
    t.probe("x")
    with pytest.raises(ValueError, match="has a hole"):
        with telemetry.MemoryCapture(t, 1, None):
            for k in range(300):
                t.emit(0, k)


@pytest.mark.parametrize("case", ["no probes", "zero block", "already open"])
def test_open_refusals(case):
    t = telemetry.Telemetry()
    if case != "no probes":
        t.probe("p")
    first = telemetry.MemoryCapture(t, 8, None) if case == "already open" else None
    with pytest.raises(ValueError) as e:
        telemetry.MemoryCapture(t, 0 if case == "zero block" else 8, None)
    assert str(e.value) == OPEN_FAIL
    if first is not None:
        first.close()
        second = telemetry.MemoryCapture(t, 8, None)  # possible again once closed
        t.emit(0, 1.0)
        second.close()
        assert second.count == 1


def test_overflowing_bound_is_refused():
    t = telemetry.Telemetry()
    t.probe("a")
    t.probe("b")
    with pytest.raises(ValueError, match="^capture could not be opened"):
        telemetry.MemoryCapture(t, 1 << 63, None)  # bound saturates
    with pytest.raises(ValueError, match="^capture could not be opened"):
        telemetry.MemoryCapture(t, 1 << 62, None)  # staging bytes overflow
    assert t.capacity == 16384
    cap = telemetry.MemoryCapture(t, 4, None)  # the context is untouched and usable
    cap.close()


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer allocator aborts instead of failing a huge allocation")
def test_unallocatable_staging_is_refused():
    t = telemetry.Telemetry()
    t.probe("a")
    with pytest.raises(ValueError, match="^capture could not be opened"):
        telemetry.MemoryCapture(t, 1 << 44, None)


def test_argument_errors():
    t = telemetry.Telemetry()
    t.probe("p")
    with pytest.raises(TypeError) as e:
        telemetry.MemoryCapture(None, 8, None)
    assert str(e.value) == ("tlm is required and cannot be None; pass the kolvane.telemetry.sx_tlm capsule or an "
                            "object exposing it as ._capsule")
    with pytest.raises(TypeError) as e:
        telemetry.MemoryCapture(5, 8, None)
    assert str(e.value) == ("tlm must be the kolvane.telemetry.sx_tlm capsule or an object exposing it as "
                            "._capsule, not int")
    with pytest.raises(TypeError) as e:
        telemetry.Capture(t, 8, "/tmp/x", "clock")
    assert str(e.value) == ("clock must be the kolvane.wfm.sx_sample_clock capsule or an object exposing it as "
                            "._capsule, not str")
    clk = clock.SampleClock(1e3)
    with pytest.raises(ValueError, match="incorrect name"):
        telemetry.MemoryCapture(clk._capsule, 8, None)
    with pytest.raises(ValueError, match="incorrect name"):
        telemetry.MemoryCapture(t, 8, t._capsule)
    with pytest.raises(TypeError):
        telemetry.MemoryCapture(t, 8)  # every argument is required
    with pytest.raises(ValueError, match="non-negative"):
        telemetry.MemoryCapture(t, -1, None)
    telemetry.MemoryCapture(t._capsule, 8, clk).close()  # raw capsules are fine


def test_records_before_open_are_kept():
    t = telemetry.Telemetry(256)
    pid = t.probe("p")
    for k in range(10):
        t.emit(pid, k)
    cap = telemetry.MemoryCapture(t, 1000, None)  # needs a bigger ring: resized at open
    assert t.capacity == 1024
    t.set_now(1)
    t.emit(pid, 99)
    cap.close()
    assert cap.records()["value"].tolist() == list(range(10)) + [99]
    assert cap.dropped == 0


def test_probes_added_later_grow_the_ring_at_a_boundary():
    t = telemetry.Telemetry(256)
    ids = [t.probe("a")]
    cap = telemetry.MemoryCapture(t, 200, None)
    assert t.capacity == 256
    ids += [t.probe("b"), t.probe("c")]
    expect = []
    for blk in range(20):
        t.set_now(blk * 200)
        for s in range(200):
            for i in ids:
                t.emit(i, blk * 1000 + s)
                expect.append(blk * 1000 + s)
        assert t.capacity >= 600
    cap.close()
    assert cap.dropped == 0
    assert cap.records()["value"].tolist() == expect


def test_file_capture_and_sidecar(tmp_path):
    path = tmp_path / "tlm.bin"
    t = telemetry.Telemetry(256)
    a = t.probe("a")
    b = t.probe("b")
    with telemetry.Capture(t, 16, path, None) as cap:
        for blk in range(50):
            t.set_now(blk * 16)
            t.emit(a, blk)
            t.emit(b, -blk)
    assert cap.count == 100 and cap.dropped == 0
    data = np.fromfile(path, REC)
    assert path.stat().st_size == 16 * 100
    assert data["value"][::2].tolist() == list(range(50)) and data["value"][1::2].tolist() == [-k for k in range(50)]
    assert data["n"][::2].tolist() == [16 * k for k in range(50)]
    assert data["probe"][:4].tolist() == [0, 1, 0, 1] and not data["flags"].any()
    text = (tmp_path / "tlm.bin-meta").read_text()
    assert text == sidecar(100, 0, 256, 16, [('"a"', 0), ('"b"', 1)])
    assert list(json.loads(text)) == ["records", "dropped", "capacity", "block_samples", "dtype", "probes"]


def test_sidecar_with_clock_and_escaped_names(tmp_path):
    path = str(tmp_path / "c.bin")
    t = telemetry.Telemetry(256)
    t.probe('q"uo\\te')
    t.probe("ctl\x01\x1f")
    clk = clock.SampleClock(2.5e6)
    clk.track(1_700_000_000_123_456_789, 0)
    cap = telemetry.Capture(t, 4, path, clk)
    cap.close()
    text = open(path + "-meta", encoding="utf-8").read()
    assert text == sidecar(0, 0, 256, 4, [(r'"q\"uo\\te"', 0), (r'"ctl\u0001\u001f"', 1)], fs="2500000",
                           epoch=1_700_000_000_123_456_789)
    meta = json.loads(text)
    assert meta["probes"] == {'q"uo\\te': 0, "ctl\x01\x1f": 1}
    assert meta["fs"] == 2.5e6


@pytest.mark.parametrize("fs", [0.0, float("nan"), float("inf"), float("-inf")])
def test_sidecar_leaves_out_unusable_rates(tmp_path, fs):
    path = str(tmp_path / "f.bin")
    t = telemetry.Telemetry(256)
    t.probe("p")
    cap = telemetry.Capture(t, 4, path, clock.SampleClock(fs))
    cap.close()
    text = open(path + "-meta").read()
    meta = json.loads(text)  # strict JSON: NaN/Infinity would not parse as standard
    assert "fs" not in meta and "epoch_real_ns" not in meta
    assert text == sidecar(0, 0, 256, 4, [('"p"', 0)])


def test_sidecar_fs_uses_17_digits(tmp_path):
    path = str(tmp_path / "g.bin")
    t = telemetry.Telemetry(256)
    t.probe("p")
    telemetry.Capture(t, 4, path, clock.SampleClock(0.1)).close()
    assert '  "fs": 0.10000000000000001,\n' in open(path + "-meta").read()


def test_sidecar_single_probe_has_no_trailing_comma(tmp_path):
    path = str(tmp_path / "h.bin")
    t = telemetry.Telemetry(256)
    t.probe("only")
    telemetry.Capture(t, 4, path, None).close()
    assert open(path + "-meta").read().endswith('  "probes": {\n    "only": 0\n  }\n}\n')


def test_file_capture_unwritable_path(tmp_path):
    t = telemetry.Telemetry()
    t.probe("p")
    with pytest.raises(ValueError, match="^capture could not be opened"):
        telemetry.Capture(t, 8, tmp_path / "missing-dir" / "x.bin", None)
    t.set_now(1)  # no capture was attached
    assert t.avail == 0


def test_file_capture_steady_stream_is_lossless(tmp_path):
    """Many small blocks, so stages are handed to the writer over and over
    (back-pressure at the boundaries) while the ring stays small."""
    path = tmp_path / "s.bin"
    t = telemetry.Telemetry(256)
    p = t.probe("p")
    q = t.probe("q", 3)
    block = 32
    cap = telemetry.Capture(t, block, str(path), None)
    expect = []
    for blk in range(1500):
        t.set_now(blk * block)
        for s in range(block):
            v = blk * block + s
            t.emit(p, v)
            expect.append((p, v))
            if s % 8 == 0:
                t.emit(q, -v)
    cap.close()
    data = np.fromfile(path, REC)
    pv = data[data["probe"] == p]["value"]
    assert pv.tolist() == [float(v) for _, v in expect]
    assert cap.dropped == 0 and cap.count == len(data) == t.emitted(p) + t.emitted(q)
    qv = data[data["probe"] == q]["value"]
    assert qv.tolist() == [float(-v) for v in range(0, 1500 * block, 8)][::3]


def test_destroying_the_context_closes_its_capture():
    t = telemetry.Telemetry()
    pid = t.probe("p")
    cap = telemetry.MemoryCapture(t, 8, None)
    t.set_now(0)
    t.emit(pid, 1.0)
    t.emit(pid, 2.0)
    t.destroy()
    assert cap.count == 2
    assert cap.records()["value"].tolist() == [1.0, 2.0]  # the final drain happened
    with pytest.raises(RuntimeError, match="^read_dict: no context$"):
        cap.read_dict()
    with pytest.raises(RuntimeError, match="^block: no context$"):
        cap.block()
    assert cap.close() is None
    cap.destroy()


def test_capture_on_raw_capsule_survives_context_collection(tmp_path):
    t = telemetry.Telemetry()
    pid = t.probe("p")
    path = str(tmp_path / "r.bin")
    cap = telemetry.Capture(t._capsule, 8, path, None)
    t.emit(pid, 3.0)
    del t
    gc.collect()
    with pytest.raises(RuntimeError, match="^block: no context$"):
        cap.block()
    assert cap.count == 1
    assert np.fromfile(path, REC)["value"].tolist() == [3.0]
    assert json.loads(open(path + "-meta").read())["records"] == 1
    cap.destroy()


def test_closed_capture_outliving_its_context():
    t = telemetry.Telemetry()
    t.probe("p")
    cap = telemetry.MemoryCapture(t._capsule, 8, None)
    t.emit(0, 4.0)
    cap.close()
    t.destroy()
    with pytest.raises(RuntimeError, match="^read_dict: no context$"):
        cap.read_dict()
    assert cap.records()["value"].tolist() == [4.0]


def test_capsule_of_destroyed_context_is_refused():
    t = telemetry.Telemetry()
    t.probe("p")
    capsule = t._capsule
    t.destroy()
    with pytest.raises(RuntimeError, match="^tlm: the telemetry context was destroyed$"):
        telemetry.MemoryCapture(capsule, 8, None)


def test_stale_capsule_does_not_bind_to_a_later_context():
    """A new context may be allocated where a destroyed one was: a capsule of
    the old one must still be refused, not attach to the newcomer."""
    t = telemetry.Telemetry()
    t.probe("old")
    capsule = t._capsule
    t.destroy()
    newer = []
    for _ in range(8):  # the allocator hands the freed block out again
        newer.append(telemetry.Telemetry())
        newer[-1].probe("new")
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^tlm: the telemetry context was destroyed$"):
            telemetry.MemoryCapture(capsule, 8, None)
    for t2 in newer:  # their own capsules still work
        telemetry.MemoryCapture(t2._capsule, 8, None).close()


def test_capture_keeps_a_destroyed_clock_readable(tmp_path):
    path = str(tmp_path / "k.bin")
    t = telemetry.Telemetry(256)
    t.probe("p")
    clk = clock.SampleClock(48000.0)
    cap = telemetry.Capture(t, 4, path, clk._capsule)
    clk.destroy()
    del clk
    gc.collect()
    cap.close()
    assert json.loads(open(path + "-meta").read())["fs"] == 48000.0


def test_capture_destroyed_calls():
    t = telemetry.Telemetry()
    t.probe("p")
    cap = telemetry.MemoryCapture(t, 4, None)
    cap.destroy()
    cap.destroy()
    for call in (cap.block, cap.close, cap.records, cap.read_dict, cap.records_max_out,
                 lambda: cap.count, lambda: cap.dropped):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    assert cap.__enter__() is cap
    assert cap.__exit__(None, None, None) is None  # harmless after release, like destroy()
    t.set_now(5)  # destroying the open capture detached it
    t.emit(0, 1.0)
    assert t.avail == 1


@pytest.mark.parametrize("kind", ["memory", "file"])
def test_destroy_inside_with_block_leaves_exit_harmless(tmp_path, kind):
    t = telemetry.Telemetry()
    t.probe("p")
    args = (t, 8, None) if kind == "memory" else (t, 8, tmp_path / "w.bin", None)
    with (telemetry.MemoryCapture if kind == "memory" else telemetry.Capture)(*args) as cap:
        t.emit(0, 1.0)
        cap.destroy()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        cap.close()


def test_write_failure_is_reported_and_the_sidecar_still_written(tmp_path):
    path = tmp_path / "full.bin"
    path.symlink_to("/dev/full")  # every flush fails with ENOSPC
    t = telemetry.Telemetry(256)
    pid = t.probe("p")
    cap = telemetry.Capture(t, 64, str(path), None)
    for blk in range(400):
        t.set_now(blk * 64)
        for k in range(64):
            t.emit(pid, k)
    with pytest.raises(ValueError) as e:
        cap.close()
    assert str(e.value) == "capture close failed: the data file or its sidecar could not be written (rc=-2)"
    meta = json.loads((tmp_path / "full.bin-meta").read_text())
    assert meta["records"] == cap.count and meta["dropped"] == cap.dropped
    with pytest.raises(ValueError, match=r"\(rc=-2\)$"):
        cap.close()  # the first verdict is kept


def test_reading_the_ring_under_a_capture_is_refused():
    t = telemetry.Telemetry()
    pid = t.probe("p")
    cap = telemetry.MemoryCapture(t, 8, None)
    t.emit(pid, 1.0)
    for call, name in ((t.read, "read"), (t.read_dict, "read_dict")):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == (f"{name}: a capture is open on this context and drains its ring; "
                                "read the capture instead")
    cap.close()
    assert cap.records()["value"].tolist() == [1.0]
    t.emit(pid, 2.0)
    assert t.read()["value"].tolist() == [2.0]  # detached again after close


def test_capture_core_through_ctypes():
    import ctypes

    lib = ctypes.CDLL(telemetry.__file__)
    P, S, U64 = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint64
    lib.sx_tlm_create.restype = P
    lib.sx_tlm_create.argtypes = [S]
    lib.sx_tlm_destroy.argtypes = [P]
    lib.sx_tlm_probe.argtypes = [P, ctypes.c_char_p, ctypes.c_uint32]
    lib.sx_tlm_emit.argtypes = [P, ctypes.c_int, ctypes.c_double]
    lib.sx_tlm_set_now.argtypes = [P, U64]
    lib.sx_tlm_capture_open_memory.restype = P
    lib.sx_tlm_capture_open_memory.argtypes = [P, U64, P]
    for name, res in (("records", P), ("read_max_out", S), ("context", P), ("count", U64), ("dropped", U64)):
        f = getattr(lib, "sx_tlm_capture_" + name)
        f.restype, f.argtypes = res, [P]
    lib.sx_tlm_capture_read.restype = S
    lib.sx_tlm_capture_read.argtypes = [P, S, P, S]
    for name in ("block", "close", "destroy"):
        getattr(lib, "sx_tlm_capture_" + name).argtypes = [P]

    assert lib.sx_tlm_capture_open_memory(None, 8, None) is None
    assert lib.sx_tlm_capture_block(None) == -4
    ctx = lib.sx_tlm_create(256)
    try:
        lib.sx_tlm_probe(ctx, b"a", 1)
        lib.sx_tlm_probe(ctx, b"b", 2)
        cap = lib.sx_tlm_capture_open_memory(ctx, 8, None)
        assert cap and lib.sx_tlm_capture_context(cap) == ctx
        assert lib.sx_tlm_capture_open_memory(ctx, 8, None) is None  # one capture per context
        assert lib.sx_tlm_capture_records(cap) is None  # nothing handed over yet
        for blk in range(3):
            lib.sx_tlm_set_now(ctx, blk)
            for k in range(4):
                lib.sx_tlm_emit(ctx, 0, blk * 10 + k)
                lib.sx_tlm_emit(ctx, 1, -k)
        assert lib.sx_tlm_capture_block(cap) == 0
        assert lib.sx_tlm_capture_close(cap) == 0
        assert lib.sx_tlm_capture_block(cap) == -4
        total = 3 * (4 + 2)
        assert lib.sx_tlm_capture_count(cap) == total == lib.sx_tlm_capture_read_max_out(cap)
        out = np.zeros(total, REC)
        assert lib.sx_tlm_capture_read(cap, 5, out.ctypes.data, total) == 5
        assert lib.sx_tlm_capture_read(cap, 0, out.ctypes.data, 3) == 3
        assert lib.sx_tlm_capture_read(cap, 0, out.ctypes.data, total) == total
        assert out["value"][out["probe"] == 0].tolist() == [b * 10 + k for b in range(3) for k in range(4)]
        assert out["value"][out["probe"] == 1].tolist() == [0, -2] * 3
        assert out["n"][out["probe"] == 1].tolist() == [0, 0, 1, 1, 2, 2]
        assert lib.sx_tlm_capture_destroy(cap) == 0
    finally:
        lib.sx_tlm_destroy(ctx)
