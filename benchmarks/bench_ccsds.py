"""Reed-Solomon (255,223) in dual-basis symbols, our coder against libfec's
encode_rs_ccsds/decode_rs_ccsds on the same codewords in the same process, both
called once per codeword through ctypes (the per-call cost, measured on an
empty call, is printed and also taken off both), and against pure-Python
reedsolo (RS(255,223) with its own field) as a sanity ratio. Decoding is timed
on clean codewords and with 16 symbol errors in every codeword."""

import ctypes as C
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import ccsds_ctypes as T  # noqa: E402
from timing import best, best_pair  # noqa: E402

NCW = 2000


def per_codeword(fn, arrays):
    def run():
        for a in arrays:
            fn(a)
    return run


def main():
    rng = np.random.default_rng(7)
    data = rng.integers(0, 256, (NCW, 255), dtype=np.uint8)
    for row in data:
        T.rs_encode(row.ctypes.data, row[223:].ctypes.data)
    addr = [row.ctypes.data for row in data]
    fec = T.load_libfec()
    print(f"RS(255,223) CCSDS, {NCW} codewords per run, one ctypes call per codeword")
    # what one ctypes call costs on its own: the cheapest exported function
    noop = T.lib.ccsds_tm_rs_dual_to_conv
    t_call = best(lambda: [noop(0) for _ in range(NCW)]) / NCW
    print(f"  ctypes call overhead            {t_call * 1e9:8.0f} ns per call (taken off both sides in 'net')")

    def report(name, ours, peer, peer_name):
        o, p = ours / NCW, peer / NCW
        net = (p - t_call) / max(o - t_call, 1e-12)
        print(f"  {name:<30} ours {1 / o:11.0f} cw/s   {peer_name} {1 / p:11.0f} cw/s   "
              f"x{p / o:5.2f} raw, x{net:5.2f} net")

    out = np.zeros(32, np.uint8)
    oaddr = out.ctypes.data
    enc = T.rs_encode
    t_ours_enc = best(per_codeword(lambda a: enc(a, oaddr), addr))
    if fec is not None:
        fenc = fec.encode_rs_ccsds
        o, p = best_pair(per_codeword(lambda a: enc(a, oaddr), addr),
                         per_codeword(lambda a: fenc(a, oaddr, 0), addr))
        report("encode", o, p, "libfec")
        # decoding works in place: each run starts from fresh copies
        clean = data.copy()
        caddr = [row.ctypes.data for row in clean]
        dec, fdec = T.rs_decode, fec.decode_rs_ccsds
        o, p = best_pair(per_codeword(dec, caddr), per_codeword(lambda a: fdec(a, None, 0, 0), caddr))
        report("decode, clean", o, p, "libfec")
        bad = data.copy()
        for row in bad:
            pos = rng.choice(255, 16, replace=False)
            row[pos] ^= rng.integers(1, 256, 16, dtype=np.uint8)
        w1, w2 = bad.copy(), bad.copy()
        a1, a2 = [r.ctypes.data for r in w1], [r.ctypes.data for r in w2]

        def ours_err():
            np.copyto(w1, bad)
            for a in a1:
                dec(a)

        def fec_err():
            np.copyto(w2, bad)
            for a in a2:
                fdec(a, None, 0, 0)

        o, p = best_pair(ours_err, fec_err)
        np.testing.assert_array_equal(w1, data)  # the quality figure: every codeword repaired
        report("decode, 16 errors/codeword", o, p, "libfec")
    else:
        print("  libfec not installed (Debian libfec-dev): encode "
              f"{NCW / t_ours_enc:.0f} cw/s ours only")
    try:
        import reedsolo
    except ImportError:
        print("  reedsolo not installed (pip install reedsolo): no pure-Python ratio")
        return
    rsc = reedsolo.RSCodec(32)
    msgs = [bytes(row[:223]) for row in data[:100]]
    t_rs = best(lambda: [rsc.encode(m) for m in msgs], repeat=3) / len(msgs)
    print(f"  encode vs reedsolo (pure Python) ours {NCW / t_ours_enc:11.0f} cw/s   reedsolo {1 / t_rs:11.0f} cw/s"
          f"   x{t_rs / (t_ours_enc / NCW):7.0f}")


if __name__ == "__main__":
    main()
