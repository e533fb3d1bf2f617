"""The run-time instruction-set choice: KOLVANE_SIMD=generic forces the portable
kernels, and they give exactly the bits of the AVX2 kernels. A child process
with the variable set runs the same kernels on the same data; every output is
compared byte for byte with this process's. (On a machine without AVX2 both
sides run the portable forms; `make test-fast` also reruns the kernel test
files with the variable set.)"""

import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

from kolvane import ddc, resample, spectral, wfm

MODULES = {"ddc": ddc, "resample": resample, "spectral": spectral, "wfm": wfm}


def level(module):
    f = ctypes.CDLL(module.__file__).sx_simd_level
    f.restype = ctypes.c_int
    return f()


def kernel_outputs():
    """Outputs of every kernel with two forms (FIR, resampler, PSD loops and
    trace folds, oscillator and held-symbol and input mixing), over shapes that reach
    their vector bodies, tails and odd lengths."""
    rng = np.random.default_rng(99)
    x = (rng.standard_normal(5003) + 1j * rng.standard_normal(5003)).astype(np.complex64)
    res = {}
    for nt in (1, 3, 19, 64, 131):
        for kind in ("real", "complex"):
            h = rng.standard_normal(nt).astype(np.float32)
            if kind == "complex":
                h = (h + 1j * rng.standard_normal(nt)).astype(np.complex64)
            f = resample.FIR(h)
            res[f"fir-{kind}-{nt}"] = np.concatenate([f.execute(x[:77]), f.execute(x[77:])])
    for rate, T in ((1.5, None), (147 / 160, None), (3.0, 1), (0.7, 2), (2.2, 5), (0.45, 33), (1.3, 40)):
        bank = None if T is None else rng.standard_normal((16, T)).astype(np.float32)
        r = resample.Resampler(rate=rate, bank=bank)
        res[f"resamp-{rate}-{T}"] = np.array(r.execute(x[:4000]))
        res[f"resamp-ctrl-{rate}-{T}"] = np.array(r.execute_ctrl(x[:999], np.full(999, 0.01)))
    for mode in ("mean", "exp", "maxhold", "minhold"):
        p = spectral.PSD(n=200, pad=2, mode=mode)
        p.accumulate(x)
        p.accumulate_real(x.real.copy())
        res[f"psd-{mode}"] = p.power_twosided()
    for snr in (100.0, 20.0):
        e = wfm._SynthEngine(type="tone", fs=1e6, freq=-4321.0, snr=snr, seed=5)
        e.set_cur_re(0.3)
        e.set_cur_im(-0.7)
        res[f"synth-tone-{snr}"] = e.steps(3003)
    e = wfm._SynthEngine(type="qpsk", sps=8, snr=12.0, freq=1234.0, seed=5)
    e.set_rrc(wfm.rrc_taps(0.35, 8, 6))
    res["synth-poly"] = e.steps(3000)
    e = wfm._SynthEngine(type="bpsk", sps=6, snr=12.0, freq=-777.0, seed=5)
    e.set_rrc(wfm.rrc_taps(0.35, 6, 6))
    res["synth-fir"] = e.steps(3000)
    # The down-converters' mixer (input times oscillator) with and without a
    # frequency deviation, block and one-sample forms.
    d = ddc.DDC(norm_freq=0.0123, rate=0.8)
    res["ddc"] = np.concatenate([d.execute(x[:4001]), d.execute_ctrl(x[4001:], 0.0, -0.031),
                                 *[d.execute_ctrl_push(v, 0.0, 0.2) for v in x[:40]]])
    r = ddc.Ddcr(norm_freq=-0.2, rate=0.2)
    res["ddcr"] = r.execute(x.real.copy())
    # The Viterbi decoder's add-compare-select on pure noise: many near ties.
    res["viterbi"] = wfm.viterbi_decode(np.clip(np.round(x.view(np.float32) * 50), -128, 127).astype(np.int8),
                                        start_state=-1)
    return res


def child_main(path):
    np.savez(path, level=level(resample), **kernel_outputs())


@pytest.mark.parametrize("name", sorted(MODULES))
def test_generic_is_forced_by_the_environment(name, tmp_path):
    here = level(MODULES[name])
    assert here in (0, 1)
    env = dict(os.environ, KOLVANE_SIMD="generic")
    code = f"from kolvane import {name}; import test_simd as t; print(t.level({name}))"
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=os.path.dirname(__file__),
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0"


def test_generic_and_fast_kernels_give_the_same_bits(tmp_path):
    path = tmp_path / "generic.npz"
    env = dict(os.environ, KOLVANE_SIMD="generic")
    subprocess.run([sys.executable, "-c", f"import test_simd as t; t.child_main({str(path)!r})"], env=env,
                   cwd=os.path.dirname(__file__), check=True)
    theirs = np.load(path)
    assert int(theirs["level"]) == 0
    ours = kernel_outputs()
    assert set(ours) == set(theirs.files) - {"level"}
    for key, a in ours.items():
        b = theirs[key]
        assert a.dtype == b.dtype and a.shape == b.shape, key
        assert a.tobytes() == b.tobytes(), key
