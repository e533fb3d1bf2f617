"""wfm.viterbi_decode against libfec's viterbi27 (through ctypes) on the same
channel symbols: a terminated block of random data, CCSDS-encoded, BPSK over
AWGN at a few Eb/N0, quantised to 8-bit soft symbols for both decoders (ours as
int8, libfec's as offset binary in its own pair order). Decoded bits per second
of CPU time (best of several rounds, the two alternating), the ratio, and each
decoder's bit-error rate beside it.

    PYTHONPATH=src python3 benchmarks/bench_viterbi.py
"""

import time

import numpy as np

from kolvane import wfm

from peers import Fec

NBITS = 1 << 18
ROUNDS = 7
GOAL = 5.0


def encode(data):
    """The CCSDS encoder from a zero register: first symbol parity(0x79 & a),
    second parity(0x5B & a) inverted, where a holds the newest bit in bit 6."""
    taps = [[(g >> (6 - k)) & 1 for k in range(7)] for g in (0x79, 0x5B)]
    c0 = np.convolve(data, taps[0])[: data.size] & 1
    c1 = (np.convolve(data, taps[1])[: data.size] & 1) ^ 1
    return np.stack([c0, c1], 1).ravel().astype(np.uint8)


def fec_symbols(soft):
    """Our int8 symbols (positive = 0, second one inverted) in libfec's form:
    0 a sure 0 and 255 a sure 1, pairs ordered (133 octal, 171 octal) with
    neither inverted. So libfec's first symbol is our second one with its
    inversion undone, and its second is our first."""
    s = soft.astype(np.int16).reshape(-1, 2)
    return np.ascontiguousarray(np.stack([127 + s[:, 1], 127 - s[:, 0]], 1).ravel().astype(np.uint8))


def best_pair(ours, peer):
    ours()
    peer()
    t_a = t_b = float("inf")
    for _ in range(ROUNDS):
        t0 = time.process_time()
        ours()
        t_a = min(t_a, time.process_time() - t0)
        t0 = time.process_time()
        peer()
        t_b = min(t_b, time.process_time() - t0)
    return t_a, t_b


def main():
    fec = Fec()
    if not fec.ok:
        print("libfec not found: install libfec-dev (make bench does)")
        return
    rng = np.random.default_rng(7)
    data = np.concatenate([rng.integers(0, 2, NBITS), np.zeros(6, np.int64)]).astype(np.uint8)
    tx = 1.0 - 2.0 * encode(data).astype(np.float64)
    run_fec, free_fec = fec.decoder(NBITS)
    packed = np.empty(NBITS // 8, np.uint8)
    out = np.empty(NBITS + 6, np.uint8)
    print(f"{'Eb/N0':>6}  {'ours Mbit/s':>11}  {'libfec Mbit/s':>13}  {'ratio':>7}  {'BER ours':>9}  {'BER libfec':>10}")
    ratios = []
    for ebno_db in (2.0, 3.0, 4.0, 6.0):
        sigma = np.sqrt(1.0 / (2 * 0.5 * 10 ** (ebno_db / 10)))  # rate 1/2: Es = Eb / 2
        rx = tx + sigma * rng.standard_normal(tx.size)
        soft = np.clip(np.round(rx * 32), -127, 127).astype(np.int8)
        sym = fec_symbols(soft)
        t_ours, t_fec = best_pair(lambda: wfm.viterbi_decode(soft, terminated=True, out=out),
                                  lambda: run_fec(sym, packed))
        ber_ours = np.mean(out[:NBITS] != data[:NBITS])
        ber_fec = np.mean(np.unpackbits(packed) != data[:NBITS])
        ratio = t_fec / t_ours
        ratios.append(ratio)
        print(f"{ebno_db:5.1f}   {NBITS / t_ours / 1e6:11.1f}  {NBITS / t_fec / 1e6:13.1f}  x{ratio:6.2f}"
              f"  {ber_ours:9.2e}  {ber_fec:10.2e}")
    free_fec()
    worst = min(ratios)
    print(f"viterbi_decode vs libfec viterbi27: worst x{worst:.2f}, goal >= {GOAL:g} "
          f"{'met' if worst >= GOAL else 'NOT MET'}")


if __name__ == "__main__":
    main()
