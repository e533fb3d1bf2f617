"""Threads: heavy calls release the interpreter lock, so blocks on different threads run
in parallel and agree with a single-threaded run; an object whose lock-free call is
running refuses every other call, from any thread, as busy."""

import threading
import time

import numpy as np
import pytest

from kolvane import clock, ddc, iqreader, iqwriter, resample, spectral, wfm
from kolvane.interrupt import interrupt

BUSY = "^object is busy in another thread"
BLOCK = 1 << 15  # well above the size from which calls run without the lock


def _noise(seed, n=BLOCK):
    r = np.random.default_rng(seed)
    return (r.standard_normal(n) + 1j * r.standard_normal(n)).astype(np.complex64)


def _synth(o, x):
    return o.steps(len(x))


def _psd(o, x):
    o.accumulate(x)
    return o.psd_db()


# (factory, one step on a block); every step's result is compared between the runs.
WORKLOADS = {
    "resampler": (lambda: resample.Resampler(0.73), lambda o, x: o.execute(x).copy()),
    "resampler_ctrl": (lambda: resample.Resampler(1.31), lambda o, x: o.execute_ctrl(x, np.full(len(x), 1e-3)).copy()),
    "fir": (lambda: resample.FIR(np.hanning(33).astype(np.float32)), lambda o, x: o.execute(x)),
    "fft": (lambda: spectral.FFT(BLOCK), lambda o, x: o.execute_cf32(x)),
    "fft2d": (lambda: spectral.FFT2D(128, 256), lambda o, x: o.execute_cf64(x.astype(np.complex128))),
    "psd": (lambda: spectral.PSD(1024), _psd),
    "detector": (lambda: spectral.CorrDetector(np.exp(1j * np.arange(1024) ** 2 / 7).astype(np.complex64), dwell=2),
                 lambda o, x: np.array(o.push(x))),
    "synth": (lambda: wfm._SynthEngine(type="qpsk", snr=10.0, seed=3, freq=1e4), _synth),
    "pn": (lambda: wfm.PN(length=23, seed=5), lambda o, x: o.generate(len(x))),
    "ddc": (lambda: ddc.DDC(norm_freq=0.1, rate=0.1), lambda o, x: o.execute(x)),
    "ddcr_ctrl": (lambda: ddc.Ddcr(norm_freq=-0.3, rate=0.2),
                  lambda o, x: o.execute_ctrl(x.real.astype(np.float32), 1e-3, 1e-4)),
}


def _run(name, seeds):
    make, step = WORKLOADS[name]
    o = make()
    return [step(o, _noise(s)) for s in seeds]


@pytest.mark.parametrize("name", WORKLOADS)
def test_two_threads_agree_with_one(name):
    seeds = [(1, 2, 3, 4), (5, 6, 7, 8)]
    ref = [_run(name, s) for s in seeds]
    got = [None, None]

    def worker(i):
        got[i] = _run(name, seeds[i])

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r, g in zip(ref, got):
        assert len(r) == len(g)
        for a, b in zip(r, g):
            np.testing.assert_array_equal(a, b)


def _reader(tmp_path):
    path = str(tmp_path / "big.raw")
    with iqwriter.Writer(path, 1e3) as w:
        w.write(np.ones(1 << 22, np.complex64))
    return iqreader.Reader(path)


# (factory, the long call run on a worker thread, calls refused while it runs)
BUSY_CASES = {
    "resampler": (lambda _: resample.Resampler(1.7), (lambda: _noise(0, 1 << 20), lambda o, x: o.execute(x)),
                  [lambda o: o.reset(), lambda o: o.get_state(), lambda o: o.set_state(b""),
                   lambda o: setattr(o, "rate", 1.0), lambda o: o.rate, lambda o: o.execute(_noise(1, 8)),
                   lambda o: o.destroy()]),
    "fft": (lambda _: spectral.FFT(1 << 20), (lambda: np.ones(1 << 20, np.complex128), lambda o, x: o.execute_cf64(x)),
            [lambda o: o.reset(), lambda o: o.n, lambda o: o.execute_cf32(np.ones(4, np.complex64)),
             lambda o: o.destroy()]),
    "psd": (lambda _: spectral.PSD(4096), (lambda: _noise(0, 1 << 21), lambda o, x: o.accumulate(x)),
            [lambda o: o.reset(), lambda o: o.count, lambda o: o.psd_db(), lambda o: o.set_state(b""),
             lambda o: o.destroy()]),
    "detector": (lambda _: spectral.CorrDetector(np.ones(1024, np.complex64), threshold=1e9),
                 (lambda: _noise(0, 1 << 21), lambda o, x: o.push(x)),
                 [lambda o: o.reset(), lambda o: o.count, lambda o: o.last_corr, lambda o: o.get_state(),
                  lambda o: o.push(np.ones(4, np.complex64)), lambda o: o.destroy()]),
    "synth": (lambda _: wfm._SynthEngine(type="bpsk", snr=5.0), (lambda: 1 << 21, lambda o, n: o.steps(n)),
              [lambda o: o.reset(), lambda o: o.set_nsps(4), lambda o: o.get_nsps(), lambda o: o.step(),
               lambda o: o.destroy()]),
    "ddc": (lambda _: ddc.DDC(norm_freq=0.1, rate=0.3), (lambda: _noise(0, 1 << 21), lambda o, x: o.execute(x)),
            [lambda o: o.reset(), lambda o: o.get_state(), lambda o: o.set_state(b""), lambda o: o.rate,
             lambda o: setattr(o, "norm_freq", 0.2), lambda o: o.execute_ctrl_push(1.0, 0.0, 0.0),
             lambda o: o.destroy()]),
    "reader": (_reader, (lambda: 1 << 22, lambda o, n: o.read(n)),
               [lambda o: o.reset(), lambda o: o.fs, lambda o: o.read(1), lambda o: o.close()]),
}


def _calls_during(obj, run, data, others):
    """Runs the long call on a worker thread and tries every other call meanwhile;
    returns the errors and whether the long call was still running afterwards."""
    inside = threading.Event()
    errors = []

    def worker():
        inside.set()  # the main thread gets the lock back only once the call released it
        run(obj, data)

    th = threading.Thread(target=worker)
    th.start()
    inside.wait()
    # The worker may lose the interpreter lock before its call pins the object:
    # look (with a harmless call) until the object says it is busy.
    while th.is_alive():
        try:
            others[0](obj)
        except RuntimeError as e:
            assert str(e).startswith("object is busy in another thread")
            break
        time.sleep(0.0005)
    for call in others:  # far quicker than the long call
        try:
            call(obj)
        except RuntimeError as e:
            errors.append(str(e))
    still_inside = th.is_alive()
    th.join()
    return errors, still_inside


@pytest.mark.parametrize("name", BUSY_CASES)
def test_calls_on_an_object_busy_in_another_thread_are_refused(name, tmp_path):
    make, (prepare, run), others = BUSY_CASES[name]
    data = prepare()
    for _ in range(5):  # a loaded machine may let the long call finish before the checks ran
        obj = make(tmp_path)
        errors, still_inside = _calls_during(obj, run, data, others)
        if still_inside:
            break
    assert still_inside
    assert len(errors) == len(others) and all(e.startswith("object is busy in another thread") for e in errors)
    if hasattr(obj, "get_state"):  # the refused calls changed nothing
        ref = make(tmp_path)
        run(ref, data)
        assert obj.get_state() == ref.get_state()
    others[0](obj)  # usable again once the call returned


@pytest.mark.parametrize("call", [
    lambda c: c.reset(), lambda c: c.resync(), lambda c: c.stamp(), lambda c: c.stamp_at(5),
    lambda c: c.track(10**18, 0), lambda c: c.stats(), lambda c: c.n, lambda c: c.fs, lambda c: c._capsule,
    lambda c: c.destroy(),
])
def test_clock_refuses_every_call_while_pacing(call):
    interrupt.set_latency_ms(10)
    interrupt.clear()
    c = clock.SampleClock(1.0)
    th = threading.Thread(target=c.pace, args=(100,))
    th.start()
    try:
        time.sleep(0.05)
        with pytest.raises(RuntimeError, match=BUSY):
            call(c)
    finally:
        interrupt.request()
        th.join(5)
        interrupt.clear()
        interrupt.set_latency_ms(0)
    assert c.n == 100
    call(c)  # usable again once pace() returned
