"""Sample clock: pacing, lateness, stamping, anchoring and the Python wrapper."""
import ctypes
import gc
import time

import pytest

from blockprops import check_destroyed
from kolvane import clock, telemetry

lib = ctypes.CDLL(telemetry.__file__)  # the telemetry module exports the clock's functions
U64 = ctypes.c_uint64


class Clock(ctypes.Structure):
    _fields_ = [("fs", ctypes.c_double), ("t0_mono_ns", U64), ("epoch_real_ns", U64), ("n", U64),
                ("late_count", U64), ("max_late_ns", U64), ("drop_backlog", ctypes.c_uint32),
                ("anchored", ctypes.c_uint32)]


lib.sx_sample_clock_init.argtypes = [ctypes.POINTER(Clock), ctypes.c_double, ctypes.c_uint32]
lib.sx_sample_clock_stamp_at.restype = U64
lib.sx_sample_clock_stamp_at.argtypes = [ctypes.POINTER(Clock), U64]
lib.sx_sample_clock_track.argtypes = [ctypes.POINTER(Clock), U64, U64, U64]
lib.sx_mono_ns.restype = U64
lib.sx_real_ns.restype = U64


def test_layout_matches_the_shared_structure():
    assert ctypes.sizeof(Clock) == 56
    c = Clock()
    before = lib.sx_mono_ns()
    lib.sx_sample_clock_init(ctypes.byref(c), 3.0, 1)
    assert c.fs == 3.0 and c.drop_backlog == 1 and c.n == 0 and c.anchored == 0
    assert before <= c.t0_mono_ns <= lib.sx_mono_ns()
    assert abs(c.epoch_real_ns - lib.sx_real_ns()) < 10**9
    # offset rounding: round(n / fs * 1e9)
    assert lib.sx_sample_clock_stamp_at(ctypes.byref(c), 1) - c.epoch_real_ns == 333333333
    assert lib.sx_sample_clock_stamp_at(ctypes.byref(c), 2) - c.epoch_real_ns == 666666667


def test_pace_sleeps_until_due():
    # Measured from the clock's own epoch, so a stall before pace() only shortens the sleep.
    c = clock.SampleClock(1e6)
    slack = c.pace(100000)
    assert clock.mono_ns() - c.t0_mono_ns >= 100_000_000
    assert 0.0 < slack <= 0.1
    assert c.n == 100000 and c.late_count == 0


def test_late_pace_without_drop_backlog_catches_up():
    c = clock.SampleClock(1e6, drop_backlog=False)
    t0 = c.t0_mono_ns
    time.sleep(0.006)
    slack = c.pace(1)
    assert slack < -0.005
    assert c.late_count == 1 and c.max_late_ns >= 5_000_000
    assert c.t0_mono_ns == t0
    start = time.monotonic()
    assert c.pace(2000) < 0  # still behind: no sleep
    assert time.monotonic() - start < 0.002 + 0.05
    assert c.late_count == 2


def test_late_pace_with_drop_backlog_moves_the_timeline():
    c = clock.SampleClock(1e6, drop_backlog=True)
    t0 = c.t0_mono_ns
    time.sleep(0.006)
    c.pace(1)
    assert c.late_count == 1
    assert c.t0_mono_ns - t0 == c.max_late_ns >= 5_000_000
    assert c.pace(20000) > 0  # forgiven: the next block is early again


def test_resync_forgives_lateness():
    c = clock.SampleClock(1e6)
    time.sleep(0.003)
    t0 = c.t0_mono_ns
    c.resync()
    assert c.t0_mono_ns - t0 >= 3_000_000
    assert c.pace(20000) > 0


@pytest.mark.parametrize("fs", [0.0, -5.0, float("nan")])
def test_no_rate_disables_offsets(fs):
    c = clock.SampleClock(fs)
    start = time.monotonic()
    c.pace(10**9)
    assert time.monotonic() - start < 0.05
    assert c.stamp_at(123456) == c.epoch_real_ns == c.stamp()


def test_track_anchors_then_respects_tolerance():
    c = clock.SampleClock(1000.0)
    real = 1_700_000_000_000_000_000
    assert c.track(real, 0, 1000) is True
    assert c.anchored and c.stamp_at(0) == real
    assert c.stamp_at(1000) == real + 10**9
    assert c.track(real + 10**9 + 500, 1000, 1000) is False  # within tolerance: only n moves
    assert c.n == 1000 and c.stamp_at(0) == real
    assert c.track(real + 2 * 10**9 + 5000, 2000, 1000) is True  # outside: re-anchored
    assert c.stamp_at(2000) == real + 2 * 10**9 + 5000
    assert c.stamp() == c.stamp_at(2000)
    assert c.track(real, 1999, 0) is False  # stale
    assert c.n == 2000


def test_track_below_the_offset_round_trips():
    c = clock.SampleClock(1.0)
    assert c.track(5, 10, 0)  # real time smaller than the offset of n
    assert c.stamp_at(10) == 5


def test_huge_offsets_saturate():
    c = clock.SampleClock(1e-3)
    assert (c.stamp_at(10**12) - c.epoch_real_ns) % 2**64 == 2**64 - 1


def test_reset_and_stats():
    c = clock.SampleClock(2e6, True)
    c.track(10**18, 5, 0)
    s = c.stats()
    assert list(s) == ["fs", "t0_mono_ns", "epoch_real_ns", "n", "late_count", "max_late_ns", "drop_backlog",
                       "anchored"]
    assert s["n"] == 5 and s["anchored"] is True and s["drop_backlog"] is True and s["fs"] == 2e6
    c.reset()
    s = c.stats()
    assert s["n"] == 0 and s["anchored"] is False and s["drop_backlog"] is True and s["fs"] == 2e6


def test_capsule_keeps_the_clock_alive():
    c = clock.SampleClock(44100.0)
    cap = c._capsule
    ctypes.pythonapi.PyCapsule_GetPointer.restype = ctypes.c_void_p
    ctypes.pythonapi.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    ptr = ctypes.pythonapi.PyCapsule_GetPointer(cap, b"kolvane.wfm.sx_sample_clock")
    c.destroy()
    del c
    gc.collect()
    assert Clock.from_address(ptr).fs == 44100.0


def test_arguments_and_destroyed():
    with pytest.raises(TypeError):
        clock.SampleClock()
    c = clock.SampleClock(10.0)
    with pytest.raises(ValueError, match="non-negative"):
        c.pace(-1)
    check_destroyed(c, [lambda o: o.pace(1), lambda o: o.stamp(), lambda o: o.stamp_at(0),
                        lambda o: o.track(0, 0), lambda o: o.resync(), lambda o: o.reset(), lambda o: o.stats(),
                        lambda o: o.fs, lambda o: o.n, lambda o: o._capsule])
