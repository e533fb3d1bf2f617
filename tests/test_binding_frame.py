"""The binding frame shared by every module, exercised on the wfm generators."""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

from kolvane import wfm

OUT_TYPE = "^out must be a writable, C-contiguous ndarray of the output dtype$"


def test_types_are_static_and_final():
    assert wfm.PN.__name__ == "PN" and wfm.Gold.__name__ == "Gold"
    assert repr(wfm.PN).endswith("'wfm.PN'>") and repr(wfm.Gold).endswith("'wfm.Gold'>")
    with pytest.raises(TypeError):
        type("Sub", (wfm.Gold,), {})
    assert wfm.__doc__.startswith("Waveform generation: PN and CCSDS Gold code generators")
    for name in ("generate", "reset", "get_state", "set_state", "state_bytes", "destroy"):
        assert getattr(wfm.Gold, name).__doc__


def test_out_rules():
    g = wfm.Gold()
    ref = wfm.Gold().generate(40)
    buf = np.full((5, 8), 7, np.uint8)  # any shape; C-contiguous
    r = g.generate(10, out=buf)
    assert r.shape == (10,) and r.dtype == np.uint8
    assert np.shares_memory(r, buf) and r.base is buf and buf.shape == (5, 8)
    np.testing.assert_array_equal(r, ref[:10])
    assert (buf.ravel()[10:] == 7).all()
    with pytest.raises(TypeError, match=OUT_TYPE):
        g.generate(4, out=np.zeros(4, np.float64))
    with pytest.raises(TypeError, match=OUT_TYPE):
        g.generate(4, out=np.zeros(16, np.uint8)[::2])
    ro = np.zeros(8, np.uint8)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match=OUT_TYPE):
        g.generate(4, out=ro)
    with pytest.raises(TypeError, match=OUT_TYPE):
        g.generate(4, out=bytearray(8))
    with pytest.raises(ValueError, match=r"^out has 9 elements, need >= 10$"):
        g.generate(10, out=np.zeros(9, np.uint8))
    # a failed call leaves the object usable and the sequence where it was
    np.testing.assert_array_equal(g.generate(30), ref[10:40])


def test_fresh_output_is_exact_and_new():
    g = wfm.Gold()
    a = g.generate(0)
    assert a.shape == (0,) and a.dtype == np.uint8
    b = g.generate(3)
    c = g.generate(3)
    assert b.shape == (3,) and not np.shares_memory(b, c) and b.flags.c_contiguous and b.flags.owndata


def test_context_manager_and_destroy():
    with wfm.PN(seed=3, length=5) as p:
        assert isinstance(p, wfm.PN)
        p.generate(4)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        p.generate(1)
    p.destroy()
    with pytest.raises(KeyError):
        with wfm.Gold() as g:
            raise KeyError("propagates")
    with pytest.raises(RuntimeError, match="^destroyed$"):
        g.get_state()
    assert g.__exit__(None, None, None) is None


def test_set_state_accepts_bytes_subclass():
    class B(bytes):
        pass

    g = wfm.Gold()
    g.generate(5)
    h = wfm.Gold()
    h.set_state(B(g.get_state()))
    np.testing.assert_array_equal(g.generate(9), h.generate(9))
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        h.set_state(memoryview(g.get_state()))
    with pytest.raises(TypeError):
        h.set_state()


def _lib(module):
    return ctypes.CDLL(module.__file__)


def test_core_functions_are_exported():
    lib = _lib(wfm)
    lib.sx_strerror.restype = ctypes.c_char_p
    texts = {0: b"Success", -1: b"Initialization error", -2: b"Send error", -3: b"Receive error",
             -4: b"Invalid argument", -5: b"Timeout", -6: b"Memory allocation error",
             -7: b"Frame exceeds transport max_payload", -8: b"Interrupted by sx_stream_interrupt",
             -9: b"Context is draining or closed", -10: b"End of stream: the sender has finished"}
    for code, text in texts.items():
        assert lib.sx_strerror(code) == text
    for code in (1, -11, 2**31 - 1, -(2**31)):
        assert lib.sx_strerror(code) == b"Unknown error"
    lib.mls_poly.restype = ctypes.c_uint64
    assert lib.mls_poly(7) == 0x41
    # the C API creates, generates and destroys without the binding
    lib.pn_create.restype = ctypes.c_void_p
    lib.pn_create.argtypes = [ctypes.c_uint64, ctypes.c_uint64, ctypes.c_uint32, ctypes.c_int]
    lib.pn_generate.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
    lib.pn_generate.restype = ctypes.c_size_t
    lib.pn_destroy.argtypes = [ctypes.c_void_p]
    h = lib.pn_create(0, 1, 10, 1)
    buf = np.zeros(12, np.uint8)
    assert lib.pn_generate(h, 100, buf.ctypes.data, 12) == 12  # capped at the capacity
    assert buf.tolist() == [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0]
    lib.pn_destroy(h)
    lib.pn_destroy(None)
    assert lib.pn_create(0, 0, 10, 0) is None


SAMPLE_TYPES = [  # name, letters, size, text
    ("ci8", b"CB", 2, b"CI8"), ("ci16", b"CI", 4, b"CI16"), ("ci32", b"CL", 8, b"CI32"),
    ("cf32", b"CF", 8, b"CF32"), ("cf64", b"CD", 16, b"CF64"), ("i8", b"SB", 1, b"UNKNOWN"),
    ("i16", b"SI", 2, b"UNKNOWN"), ("i32", b"SL", 4, b"UNKNOWN"), ("f32", b"SF", 4, b"UNKNOWN"),
    ("f64", b"SD", 8, b"UNKNOWN"),
]


def test_sample_types():
    lib = _lib(wfm)
    lib.sx_sample_type_str.restype = ctypes.c_char_p
    lib.sx_sample_type_str.argtypes = [ctypes.c_uint16]
    lib.sx_sample_size.restype = ctypes.c_size_t
    lib.sx_sample_size.argtypes = [ctypes.c_uint16]
    lib.sx_sample_type_is_valid.argtypes = [ctypes.c_uint16]
    for _, letters, size, text in SAMPLE_TYPES:
        code = int.from_bytes(letters, "little")
        assert lib.sx_sample_size(code) == size
        assert lib.sx_sample_type_str(code) == text
        assert lib.sx_sample_type_is_valid(code) == 1
    assert int.from_bytes(b"CI", "little") == 0x4943
    for bad in (0, 0x4643 + 1, int.from_bytes(b"CX", "little"), 0xFFFF):
        assert lib.sx_sample_type_is_valid(bad) == 0
        assert lib.sx_sample_size(bad) == 0
        assert lib.sx_sample_type_str(bad) == b"UNKNOWN"


def test_import_without_numpys_c_api_fails_with_the_fixed_text(tmp_path):
    # A numpy without its C-API module: the extension refuses to load instead of
    # running with an empty API table.
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("")
    src = os.path.dirname(os.path.dirname(wfm.__file__))
    code = ("try:\n    import kolvane.wfm\nexcept ImportError as e:\n    print('ImportError:', e)\n"
            "else:\n    print('imported')\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), src])))
    assert r.stdout.strip() == "ImportError: numpy._core.multiarray failed to import", (r.stdout, r.stderr)


def test_processing_calls_take_no_lasting_references():
    # A reference kept per call (on the dtype, the out buffer or the result) grows without bound
    # over a long pipeline.
    g = wfm.Gold()
    dt = np.dtype(np.uint8)
    out = np.zeros(10, np.uint8)
    g.generate(3)
    g.generate(3, out=out)
    before = sys.getrefcount(dt), sys.getrefcount(out)
    for _ in range(200):
        g.generate(3)
        g.generate(3, out=out)
        with pytest.raises(ValueError):
            g.generate(11, out=out)
    assert (sys.getrefcount(dt), sys.getrefcount(out)) == before


# One ceiling (2**28 elements) on counts that size what a call produces or an
# object holds; above it a clear ValueError comes before any allocation.
def _telemetry(n):
    from kolvane import telemetry

    return telemetry.Telemetry(n)


COUNT_CEILING = {
    "PN.generate": lambda n: wfm.PN(length=7, seed=1).generate(n),
    "Gold.generate": lambda n: wfm.Gold().generate(n, out=np.zeros(256, np.uint8)),
    "_SynthEngine.steps": lambda n: wfm._SynthEngine().steps(n),
    "Telemetry": _telemetry,
    "rrc_taps": lambda n: wfm.rrc_taps(0.35, min(n // 2, 2**31 - 1), 1),
    "Frame.bits": lambda n: wfm.Frame([], [1, 0], [1]).bits(n),
}


@pytest.mark.parametrize("name", list(COUNT_CEILING))
@pytest.mark.parametrize("n", [2**28 + 1, 2**31, 2**40, 2**64 - 1])
def test_counts_above_the_ceiling_are_refused(name, n):
    with pytest.raises(ValueError, match=r"above the ceiling of 268435456 \(2\*\*28\)"):
        COUNT_CEILING[name](n)
    assert COUNT_CEILING[name](256) is not None


def _blue_reader(tmp_path):
    from kolvane import iqreader, iqwriter

    path = str(tmp_path / "r.blue")
    with iqwriter.Writer(path, 1e3, file_type="blue") as w:
        w.write(np.ones(64, np.complex64))
    return iqreader.Reader(path)


def _memory_capture(_):
    from kolvane import telemetry

    t = telemetry.Telemetry()
    t.probe("a")
    return telemetry.MemoryCapture(t, 64, None)


def _out_cases():
    from kolvane import resample, spectral, telemetry

    c64, c128, f32 = (np.dtype(t) for t in (np.complex64, np.complex128, np.float32))
    x64, x128 = np.ones(16, c64), np.ones(16, c128)
    cases = {}
    for cls, n in ((spectral.FFT, (16,)), (spectral.FFT2D, (4, 4))):
        for verb, dt, x in (("execute_cf32", c64, x64), ("execute_cf64", c128, x128),
                            ("execute_inplace_cf32", c64, x64), ("execute_inplace_cf64", c128, x128)):
            cases[f"{cls.__name__}.{verb}"] = (lambda _, c=cls, n=n: c(*n), dt, 16,
                                              lambda o, out, v=verb, x=x: getattr(o, v)(x, out=out))
    for verb in ("psd_db", "psd_dbhz", "power_twosided", "power_onesided"):
        def make_psd(_):
            p = spectral.PSD(16)
            p.accumulate(x64)
            return p
        cases[f"PSD.{verb}"] = (make_psd, f32, 16, lambda o, out, v=verb: getattr(o, v)(1, out=out))
    cases["Corr.execute"] = (lambda _: spectral.Corr(x64), c64, 16, lambda o, out: o.execute(x64, out=out))
    cases["Corr2D.execute"] = (lambda _: spectral.Corr2D(x64.reshape(4, 4), nx_out=8), c64, 32,
                               lambda o, out: o.execute(x64, out=out))
    cases["PSD.band_power"] = (lambda _: spectral.PSD(16), f32, 4, lambda o, out: o.band_power([-0.1, 0.1], out=out))
    cases["Resampler.execute"] = (lambda _: resample.Resampler(1.0), c64, 65536, lambda o, out: o.execute(x64, out=out))
    cases["Resampler.execute_ctrl"] = (lambda _: resample.Resampler(1.0), c64, 65536,
                                       lambda o, out: o.execute_ctrl(x64, np.zeros(16), out=out))
    cases["FIR.execute"] = (lambda _: resample.FIR(np.ones(4, np.float32)), c64, 16, lambda o, out: o.execute(x64, out=out))
    cases["_SynthEngine.steps"] = (lambda _: wfm._SynthEngine(), c64, 16, lambda o, out: o.steps(16, out=out))
    cases["PN.generate"] = (lambda _: wfm.PN(length=7, seed=1), np.dtype(np.uint8), 8, lambda o, out: o.generate(8, out=out))
    cases["Gold.generate"] = (lambda _: wfm.Gold(), np.dtype(np.uint8), 8, lambda o, out: o.generate(8, out=out))
    cases["Frame.bits"] = (lambda _: wfm.Frame([], [1, 0, 1], [1]), np.dtype(np.uint8), 8,
                           lambda o, out: o.bits(2, out=out))
    cases["FrameDesc.deframe"] = (lambda _: wfm.FrameDesc([], [1, 0, 1], [1], crc="crc16"), np.dtype(np.uint8), 24,
                                  lambda o, out: o.deframe(np.ones(20, np.uint8), out=out))
    cases["Reader.read"] = (_blue_reader, c64, 4, lambda o, out: o.read(4, out=out))
    cases["Telemetry.read"] = (lambda _: telemetry.Telemetry(), None, 4, lambda o, out: o.read(0, out=out))
    cases["MemoryCapture.records"] = (_memory_capture, None, 4, lambda o, out: o.records(0, out=out))
    for fill in ("hann_window", "blackman_harris_window", "kaiser_window"):
        args = (2.0,) if fill == "kaiser_window" else ()
        cases[f"spectral.{fill}"] = (lambda _: None, f32, 16,
                                     lambda o, out, f=getattr(spectral, fill), a=args: f(np.zeros(16, np.float32)
                                                                                         if out is None else out, *a))
    return cases


OUT_CASES = _out_cases()


@pytest.mark.parametrize("name", OUT_CASES)
def test_out_calls_keep_reference_counts(name, tmp_path):
    # One reference kept per call (on the dtype, the out buffer or the object) grows without
    # bound over a long pipeline.
    make, dt, size, call = OUT_CASES[name]
    obj = make(tmp_path)
    dt = dt if dt is not None else (obj.read(0) if hasattr(obj, "read") else obj.records(0)).dtype
    out = np.zeros(size, dt)
    call(obj, None)
    call(obj, out)
    counts = lambda: (sys.getrefcount(dt), sys.getrefcount(out), sys.getrefcount(obj))  # noqa: E731
    before = counts()
    for _ in range(300):
        call(obj, None)
        call(obj, out)
    assert counts() == before


def _module_files():
    import glob

    import kolvane

    root = os.path.dirname(kolvane.__file__)
    return sorted(glob.glob(os.path.join(root, "*.so")) + glob.glob(os.path.join(root, "*", "*.so")))


@pytest.mark.parametrize("path", _module_files(), ids=os.path.basename)
def test_modules_bind_their_own_functions_and_drop_assertions(path):
    # Release builds define NDEBUG (no assertion calls left from the headers), and a
    # module's references to its own exported functions are bound inside it
    # (DF_SYMBOLIC), so intra-module calls skip the PLT; the exports remain.
    dyn = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True, check=True).stdout
    assert "SYMBOLIC" in dyn
    undefined = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True, text=True,
                               check=True).stdout
    assert "__assert_fail" not in undefined
    exported = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                              check=True).stdout
    assert " T sx_strerror" in exported or " T sx_interrupt" in exported
