"""Throughput of symbol spreading, burst building and frame repetition against
NumPy making the same output in the same process (best of several runs)."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
sys.path.insert(0, os.path.dirname(__file__))
import wfm_ctypes as C  # noqa: E402
from timing import best_pair  # noqa: E402

from kolvane import wfm  # noqa: E402


def row(name, n, unit, ours, peer, peer_name):
    print(f"{name:<30} {n / ours / 1e6:9.1f} M{unit}/s   {peer_name:<28} {n / peer / 1e6:9.1f} M{unit}/s"
          f"   x{peer / ours:6.2f}")


def main():
    rng = np.random.default_rng(1)
    copy_src = np.zeros(1 << 22, np.complex64)
    copy_dst = np.empty_like(copy_src)
    t_copy, _ = best_pair(lambda: np.copyto(copy_dst, copy_src), lambda: None, repeat=9)
    print(f"{'memory ceiling (NumPy copy)':<30} {copy_src.size / t_copy / 1e6:9.1f} MS/s")

    for sf in (8, 31, 127):
        syms = (rng.standard_normal((1 << 22) // sf) + 1j * rng.standard_normal((1 << 22) // sf)).astype(np.complex64)
        code = rng.integers(0, 2, sf, dtype=np.uint8)
        sign = (1 - 2 * code.astype(np.float32))
        ours, peer = best_pair(lambda: wfm.dsss_spread(syms, code, sf),
                               lambda: (syms[:, None] * sign[None, :]).ravel(), repeat=9)
        np.testing.assert_array_equal(wfm.dsss_spread(syms, code, sf), (syms[:, None] * sign[None, :]).ravel())
        row(f"dsss_spread sf={sf}", syms.size * sf, "S", ours, peer, "NumPy outer product")

    acq, data = rng.integers(0, 2, 1023, dtype=np.uint8), rng.integers(0, 2, 127, dtype=np.uint8)
    sync, pay = rng.integers(0, 2, 32, dtype=np.uint8), rng.integers(0, 2, 8192, dtype=np.uint8)
    frame = wfm.Frame([], sync, pay, crc="crc16")
    n = C.frame_dsss_nchips(1023, 4, 127, 32, 8192, 1)
    out = np.empty(n, np.uint8)
    args = (C.ptr(acq), 1023, 4, C.ptr(data), 127, C.ptr(sync), 32, C.ptr(pay), 8192, 1, C.ptr(out))

    bits = frame.bits()
    peer_out = np.empty(n, np.uint8)

    def peer_burst():  # into a buffer of its own too; the frame bits are given
        peer_out[:4092] = np.tile(acq, 4)
        np.bitwise_xor(data[None, :], bits[:, None], out=peer_out[4092:].reshape(len(bits), 127))

    ours, peer = best_pair(lambda: C.frame_dsss_chips_raw(*args), peer_burst, repeat=9)
    np.testing.assert_array_equal(out, peer_out)
    row("burst chips (frame 8240 bits)", n, "chip", ours, peer, "NumPy tile + xor into out")

    ours, peer = best_pair(lambda: frame.bits(256), lambda: np.tile(frame.bits(), 256), repeat=9)
    row("Frame.bits(256)", 256 * frame.nbits, "bit", ours, peer, "NumPy tile of one frame")

    d = wfm.FrameDesc([], [], [])
    x = rng.integers(0, 2, 8 * 255 * 64, dtype=np.uint8)
    d.add_field(x)
    d.add_stage(4, 0, 1, 64, 0, 0, 8)
    d.build()
    rx = d.bits()
    ours, peer = best_pair(lambda: d.deframe(rx), lambda: rx.reshape(255, 64, 8).transpose(1, 0, 2).ravel(), repeat=9)
    np.testing.assert_array_equal(d.deframe(rx), x)
    row("deframe, octet interleaver 64", x.size, "bit", ours, peer, "NumPy reshape/transpose")


if __name__ == "__main__":
    main()
