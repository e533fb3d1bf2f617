"""Process-wide interrupt flag, latency, signal forwarding and the guard."""
import ctypes
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from kolvane import interrupt
import kolvane.interrupt.interrupt  # noqa: E402  (the native module, not the package)

native = sys.modules["kolvane.interrupt.interrupt"]

lib = ctypes.CDLL(native.__file__)
lib.sx_interrupt_guard_create.restype = ctypes.c_void_p
lib.sx_interrupt_guard_destroy.argtypes = [ctypes.c_void_p]


pytestmark = pytest.mark.usefixtures("clean_interrupt")


def test_flag_and_latency():
    assert not interrupt.interrupted()
    interrupt.request()
    assert interrupt.interrupted()
    interrupt.request()  # sticky, idempotent
    assert interrupt.interrupted()
    interrupt.clear()
    assert not interrupt.interrupted()
    assert interrupt.latency_ms() == 100
    interrupt.set_latency_ms(7)
    assert interrupt.latency_ms() == 7
    interrupt.set_latency_ms(0)
    assert interrupt.latency_ms() == 100
    with pytest.raises(ValueError):
        interrupt.set_latency_ms(-1)


def test_capsule_is_the_state_in_use():
    cap = native._qz_pg_sx_interrupt_guard
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    ptr = get(cap, b"kolvane.sx_interrupt_guard._qz_procglobal")
    lib.sx_interrupt_guard_state_ptr.restype = ctypes.c_void_p
    assert ptr == lib.sx_interrupt_guard_state_ptr()
    state = (ctypes.c_uint32 * 2).from_address(ptr)
    interrupt.request()
    interrupt.set_latency_ms(25)
    assert list(state) == [1, 25]
    state[0] = 0
    assert not interrupt.interrupted()


def test_guard_with_python_handler_chains():
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda s, f: seen.append(s))
    try:
        with interrupt.Guard([signal.SIGUSR1], latency_ms=20) as g:
            assert interrupt.latency_ms() == 20 and not g.interrupted
            os.kill(os.getpid(), signal.SIGUSR1)
            signal.getsignal(signal.SIGUSR1)  # let the Python-level handler run
            assert interrupt.interrupted() and g.interrupted
            assert seen == [signal.SIGUSR1]
        assert interrupt.latency_ms() == 100
        interrupt.clear()
        os.kill(os.getpid(), signal.SIGUSR1)  # after the guard: only the Python handler
        signal.getsignal(signal.SIGUSR1)
        assert seen == [signal.SIGUSR1] * 2 and not interrupt.interrupted()
        with pytest.raises(RuntimeError, match="^destroyed$"):
            g.interrupted
    finally:
        signal.signal(signal.SIGUSR1, old)


def test_guard_creation_clears_flag_and_refuses_bad_sets():
    interrupt.request()
    with interrupt.Guard([]):
        assert not interrupt.interrupted()
    with pytest.raises(ValueError, match="interrupt guard could not be installed"):
        interrupt.Guard(list(range(1, 10)))
    interrupt.set_latency_ms(42)
    seen = []
    old = signal.signal(signal.SIGUSR2, lambda s, f: seen.append(s))
    try:
        # SIGKILL cannot be caught: the whole guard is refused and SIGUSR2 is put back as it was
        with pytest.raises(ValueError):
            interrupt.Guard([signal.SIGUSR2, signal.SIGKILL], latency_ms=5)
        assert interrupt.latency_ms() == 42
        # the C-level disposition, not only Python's record of it: no forwarding is left behind
        interrupt.clear()
        os.kill(os.getpid(), signal.SIGUSR2)
        signal.getsignal(signal.SIGUSR2)
        assert seen == [signal.SIGUSR2] and not interrupt.interrupted()
    finally:
        signal.signal(signal.SIGUSR2, old)


def test_slots_via_c_api():
    sigs = [signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP, signal.SIGALRM, signal.SIGTERM, signal.SIGCHLD,
            signal.SIGWINCH, signal.SIGURG]
    installed = []
    try:
        for s in sigs:
            assert lib.sx_interrupt_on_signal(int(s)) == 0
            installed.append(s)
        assert lib.sx_interrupt_on_signal(int(signal.SIGUSR1)) == 0  # same signal again: no new slot
        assert lib.sx_interrupt_on_signal(int(signal.SIGPIPE)) == -4  # ninth distinct signal
    finally:
        for s in installed:
            assert lib.sx_restore_signal(int(s)) == 0
    assert lib.sx_restore_signal(int(signal.SIGUSR1)) == -4
    assert lib.sx_interrupt_guard_create(None, 1, 0) is None
    assert lib.sx_interrupt_guard_create(None, 9, 0) is None
    lib.sx_interrupt_guard_destroy(None)


def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)


def test_sigint_becomes_the_flag_without_killing():
    r = run_child("""
        import os, signal
        from kolvane import interrupt
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        with interrupt.Guard():
            os.kill(os.getpid(), signal.SIGINT)
            print("alive", interrupt.interrupted())
        assert signal.getsignal(signal.SIGINT) == signal.SIG_DFL
        os.kill(os.getpid(), signal.SIGINT)
        print("not reached")
    """)
    assert r.stdout.strip() == "alive True"
    assert r.returncode == -signal.SIGINT  # the default action is back after the guard


def test_sigint_chains_to_pythons_keyboard_interrupt():
    r = run_child("""
        import os
        from kolvane import interrupt
        try:
            with interrupt.Guard():
                os.kill(os.getpid(), 2)
                for _ in range(1000):
                    pass
        except KeyboardInterrupt:
            print("keyboard interrupt", interrupt.interrupted())
    """)
    assert r.stdout.strip() == "keyboard interrupt True", r.stderr


def test_guard_leaves_signals_it_did_not_install():
    # An inner guard (or a refused one) must not undo the forwarding of an outer guard
    # for the same signal: only the guard that installed a signal restores it.
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda s, f: seen.append(s))

    def fire():
        interrupt.clear()
        os.kill(os.getpid(), signal.SIGUSR1)
        signal.getsignal(signal.SIGUSR1)  # let the Python-level handler run
        return interrupt.interrupted()

    try:
        with interrupt.Guard([signal.SIGUSR1]):
            with interrupt.Guard([signal.SIGUSR1, signal.SIGUSR1]):
                assert fire()
            assert fire()
            with pytest.raises(ValueError):
                interrupt.Guard([signal.SIGUSR1, signal.SIGKILL])
            assert fire()
        assert not fire()
        assert len(seen) == 4
    finally:
        signal.signal(signal.SIGUSR1, old)


@pytest.mark.parametrize("bad", [2**32 + int(signal.SIGUSR1), -(2**32) + int(signal.SIGUSR1), 2**70])
def test_guard_refuses_signal_numbers_that_do_not_fit(bad):
    with pytest.raises((OverflowError, ValueError)):
        interrupt.Guard([bad])
    assert lib.sx_restore_signal(int(signal.SIGUSR1)) == -4  # nothing was installed


@pytest.mark.parametrize("kind", ["intact", "no attribute", "not a capsule", "capsule of another name"])
def test_waiting_module_refuses_to_import_without_the_shared_state(kind):
    # A module that waits must not run on a private flag nobody else can set.
    r = run_child(f"""
        import ctypes, sys, types
        import kolvane.interrupt
        fake = types.ModuleType("kolvane.interrupt.interrupt")
        if "{kind}" == "not a capsule":
            fake._qz_pg_sx_interrupt_guard = object()
        elif "{kind}" == "capsule of another name":
            new = ctypes.pythonapi.PyCapsule_New
            new.restype = ctypes.py_object
            new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
            state = ctypes.c_uint64(0)
            fake._qz_pg_sx_interrupt_guard = new(ctypes.addressof(state), b"some.other.capsule", None)
        if "{kind}" != "intact":
            sys.modules["kolvane.interrupt.interrupt"] = fake
        try:
            import kolvane.telemetry
        except Exception as e:
            print("refused", type(e).__name__)
        else:
            print("imported")
    """)
    assert r.stdout.split()[0] == ("imported" if kind == "intact" else "refused"), (r.stdout, r.stderr)


def test_guard_initialised_again_keeps_forwarding():
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda s, f: seen.append(s))
    try:
        g = interrupt.Guard([signal.SIGUSR1])
        g.__init__([signal.SIGUSR1])  # the earlier guard goes first, then the new one installs
        interrupt.clear()
        os.kill(os.getpid(), signal.SIGUSR1)
        signal.getsignal(signal.SIGUSR1)
        assert interrupt.interrupted() and seen == [signal.SIGUSR1]
        g.destroy()
        assert lib.sx_restore_signal(int(signal.SIGUSR1)) == -4
    finally:
        signal.signal(signal.SIGUSR1, old)


def test_forwarders_of_two_modules_released_out_of_order():
    # Two module copies forward the same signal and release it out of order (a guard
    # in one thread, a wait in another): the copy released first puts back the
    # handler it saved, the other then puts back the first copy's forwarder, whose
    # slot is gone. That forwarder must still reach the handler it saved, and a
    # later install over it must not chain the forwarder to itself.
    r = run_child("""
        import ctypes, os, signal
        from kolvane import interrupt, telemetry
        import kolvane.interrupt.interrupt as native
        a, b = ctypes.CDLL(native.__file__), ctypes.CDLL(telemetry.__file__)
        seen = []
        signal.signal(signal.SIGUSR1, lambda s, f: seen.append(s))

        def fire():
            interrupt.clear()
            os.kill(os.getpid(), signal.SIGUSR1)
            signal.getsignal(signal.SIGUSR1)
            return (len(seen), interrupt.interrupted())

        sig = int(signal.SIGUSR1)
        assert a.sx_interrupt_on_signal(sig) == 0 and b.sx_interrupt_on_signal(sig) == 0
        assert fire() == (1, True)
        assert a.sx_restore_signal(sig) == 0 and b.sx_restore_signal(sig) == 0
        print("left behind", *fire())
        assert a.sx_interrupt_on_signal(sig) == 0
        print("installed over it", *fire())
        assert a.sx_restore_signal(sig) == 0
        print("restored", *fire())
    """)
    assert r.stdout.splitlines() == ["left behind 2 True", "installed over it 3 True", "restored 4 False"], \
        (r.stdout, r.stderr, r.returncode)
