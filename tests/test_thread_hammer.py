"""Objects shared by threads that do not wait for one another: calls that run
without the interpreter lock hammered from several threads while another thread
resets, reconfigures and finally destroys the object; and the telemetry ring
with its producer and its consumer on two threads that both run without the
interpreter lock. Also the workload of the ThreadSanitizer pass (make test-tsan)."""

import ctypes
import importlib.util
import threading
import time

import numpy as np
import pytest

from kolvane import ddc, resample, spectral, wfm

BUSY = "object is busy in another thread"
BLOCK = 1 << 15  # large enough for the calls to run without the lock


def _x(n=BLOCK):
    r = np.random.default_rng(n)
    return (r.standard_normal(n) + 1j * r.standard_normal(n)).astype(np.complex64)


# factory, the lock-free call, the calls the meddling thread makes before destroying
CASES = {
    "resampler": (lambda: resample.Resampler(0.77), lambda o, x: o.execute(x),
                  [lambda o: o.reset(), lambda o: setattr(o, "rate", 0.5), lambda o: o.set_state(o.get_state())]),
    "ddc": (lambda: ddc.DDC(norm_freq=0.1, rate=0.3), lambda o, x: o.execute(x),
            [lambda o: o.reset(), lambda o: setattr(o, "norm_freq", -0.2), lambda o: o.set_state(o.get_state())]),
    "psd": (lambda: spectral.PSD(1024), lambda o, x: o.accumulate(x),
            [lambda o: o.reset(), lambda o: o.psd_db(), lambda o: o.set_state(o.get_state())]),
    "synth": (lambda: wfm._SynthEngine(type="qpsk", snr=10.0, seed=3), lambda o, x: o.steps(len(x)),
              [lambda o: o.reset(), lambda o: o.set_nsps(4), lambda o: o.set_state(o.get_state())]),
}


def _outcome(call, *args):
    try:
        call(*args)
        return "ok"
    except RuntimeError as e:
        msg = str(e)
        if msg.startswith(BUSY):
            return "busy"
        if msg == "destroyed":
            return "destroyed"
        raise


@pytest.mark.parametrize("name", CASES)
def test_lock_free_calls_against_reset_setters_and_destroy(name):
    make, work, meddle = CASES[name]
    obj, x = make(), _x()
    seen = [[] for _ in range(3)]
    meddle_seen = []

    def worker(i):
        for _ in range(30):
            seen[i].append(_outcome(work, obj, x))
            if seen[i][-1] == "destroyed":
                return

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(3)]
    for t in workers:
        t.start()
    # Meddle while the workers run; destroy is refused while a call is inside,
    # and the first destroy that gets through ends the workers' loops.
    rounds = 0
    while True:
        for m in meddle:
            meddle_seen.append(_outcome(m, obj))
        rounds += 1
        served = sum(s.count("ok") for s in seen)
        if rounds >= 20 and served >= 3 and _outcome(obj.destroy) == "ok":
            break
        time.sleep(0)
    for t in workers:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in workers)
    outcomes = [o for s in seen for o in s] + meddle_seen
    assert set(outcomes) <= {"ok", "busy", "destroyed"}
    assert "ok" in outcomes
    # Once destroyed, every call says so, and destroy stays harmless.
    assert _outcome(work, obj, x) == "destroyed"
    obj.destroy()


def _lib(module):
    lib = ctypes.CDLL(importlib.util.find_spec(module).origin)
    P, U64, SZ = ctypes.c_void_p, ctypes.c_uint64, ctypes.c_size_t
    for name, res, args in [
        ("sx_tlm_create", P, [SZ]), ("sx_tlm_destroy", None, [P]), ("sx_tlm_set_now", None, [P, U64]),
        ("sx_tlm_read", SZ, [P, SZ, P, SZ]), ("sx_tlm_stats", None, [P, P]),
        ("agc_create", P, [ctypes.c_double] * 3), ("agc_destroy", None, [P]),
        ("agc_set_telemetry", ctypes.c_int, [P, P, ctypes.c_char_p, ctypes.c_uint32]),
        ("agc_steps", SZ, [P, P, P, SZ]),
    ]:
        f = getattr(lib, name)
        f.restype, f.argtypes = res, args
    return lib


RECORD = np.dtype({"names": ["n", "value", "probe", "flags"], "formats": [np.uint64, np.float32, np.uint16, np.uint16],
                   "offsets": [0, 8, 12, 14], "itemsize": 16})


@pytest.mark.parametrize("ring", [256, 4096])
def test_ring_producer_and_consumer_on_two_threads(ring):
    # The AGC emits two records per 8-sample block from one thread while
    # another drains the ring, neither holding the interpreter lock (ctypes
    # releases it): every record emitted is either read, whole and in order,
    # or counted as dropped.
    lib = _lib("kolvane.resample")
    tlm = lib.sx_tlm_create(ring)
    agc = lib.agc_create(-10.0, 0.01, 0.5)
    assert tlm and agc and lib.agc_set_telemetry(agc, tlm, b"agc", 1) == 0
    x, y = _x(1 << 14), np.empty(1 << 14, np.complex64)
    blocks, done = 60, threading.Event()
    got = []

    def produce():
        for k in range(blocks):
            lib.sx_tlm_set_now(tlm, k)
            lib.agc_steps(agc, x.ctypes.data, y.ctypes.data, x.size)
        done.set()

    def consume():
        buf = np.empty(1024, RECORD)
        while True:
            finished = done.is_set()
            n = lib.sx_tlm_read(tlm, 0, buf.ctypes.data, buf.size)
            got.append(buf[:n].copy())
            if finished and n == 0:
                return

    threads = [threading.Thread(target=produce), threading.Thread(target=consume)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    stats = np.zeros(4, np.uint64)  # dropped, emitted, capacity, probes
    lib.sx_tlm_stats(tlm, stats.ctypes.data)
    lib.agc_destroy(agc)
    lib.sx_tlm_destroy(tlm)
    rec = np.concatenate(got)
    assert stats[3] == 2 and rec.size > 0
    assert rec.size + int(stats[0]) == blocks * (x.size // 8) * 2
    assert int(stats[1]) == rec.size  # the emitted counters count what reached the ring
    assert np.all(np.diff(rec["n"].astype(np.int64)) >= 0) and rec["n"].max() < blocks
    assert set(np.unique(rec["probe"])) <= {0, 1} and not rec["flags"].any()
    assert np.all(np.isfinite(rec["value"]))
