"""Pacing waits end promptly when an interrupt is requested from another
thread or by a signal, in every module that shares the interrupt state."""
import ctypes
import os
import signal
import threading
import time

import pytest

from kolvane import clock, interrupt, telemetry


pytestmark = pytest.mark.usefixtures("clean_interrupt")


@pytest.mark.parametrize("module", [telemetry, clock])
def test_modules_share_the_process_wide_flag(module):
    lib = ctypes.CDLL(module.__file__)
    assert lib.sx_interrupted() == 0
    interrupt.request()
    assert lib.sx_interrupted() == 1
    interrupt.set_latency_ms(37)
    assert lib.sx_interrupt_latency_ms() == 37
    interrupt.clear()
    assert lib.sx_interrupted() == 0


def paced_in_thread(c, count):
    result = {}

    def run():
        t0 = time.monotonic()
        result["slack"] = c.pace(count)
        result["took"] = time.monotonic() - t0

    th = threading.Thread(target=run)
    th.start()
    return th, result


def test_interrupt_from_another_thread_ends_a_long_pace():
    interrupt.set_latency_ms(20)
    c = clock.SampleClock(1.0)
    th, result = paced_in_thread(c, 1000)  # due in 1000 s
    time.sleep(0.1)
    assert th.is_alive()
    t_req = time.monotonic()
    interrupt.request()
    th.join(5)
    assert not th.is_alive()
    assert time.monotonic() - t_req < 0.02 + 0.5
    assert 999 < result["slack"] <= 1000
    assert c.n == 1000


def test_a_signal_through_the_guard_ends_a_long_pace():
    c = clock.SampleClock(1.0)
    with interrupt.Guard([signal.SIGUSR1], latency_ms=20):
        timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1))
        timer.start()
        t0 = time.monotonic()
        slack = c.pace(600)
        took = time.monotonic() - t0
        timer.join()
        assert interrupt.interrupted()
    assert 0.05 < took < 2.0
    assert slack > 599


def test_pace_returns_at_once_when_already_interrupted():
    c = clock.SampleClock(1.0)
    interrupt.request()
    t0 = time.monotonic()
    assert c.pace(100) > 99
    assert time.monotonic() - t0 < 0.5


def test_clock_is_busy_while_pacing():
    interrupt.set_latency_ms(10)
    c = clock.SampleClock(1.0)
    th, _ = paced_in_thread(c, 100)
    time.sleep(0.05)
    with pytest.raises(RuntimeError, match="busy"):
        c.destroy()
    interrupt.request()
    th.join(5)
    c.destroy()
