"""CCSDS telemetry channel coding: randomiser, sync marker, Reed-Solomon (generic
and the dual-basis (255,223) code with interleaving), the convolutional inner
code, the CADU coder and the stage kernels frame descriptions run."""

import ctypes as C

import numpy as np
import pytest

import ccsds_ctypes as T
from ccsds_ctypes import ptr

FEC = T.load_libfec()
needs_fec = pytest.mark.skipif(FEC is None, reason="libfec (Debian libfec-dev) is not installed")


def ref_rand(d, n):
    mask = (1 << d.stages) - 1
    s, out = d.initial & mask, []
    for _ in range(n):
        out.append((s >> (d.stages - 1)) & 1)
        s = ((s << 1) | (bin(s & d.taps).count("1") & 1)) & mask
    return np.array(out, np.uint8)


def flip_symbols(rng, cw, count, positions=None):
    """cw with `count` distinct symbols changed (each by a non-zero pattern)."""
    out = cw.copy()
    pos = rng.choice(len(cw) if positions is None else positions, count, replace=False)
    out[pos] ^= rng.integers(1, 256, count, dtype=np.uint8)
    return out


# ---- randomiser and marker ----

@pytest.mark.parametrize("desc,head,period", [(T.RAND_LEGACY, "FF480EC09A0D70BC", 255),
                                              (T.RAND, "1C71B91BA9BA8457", 131071),
                                              (T.RandDesc(0x9, 0x5, 4, 15), None, 15)])
def test_randomiser_sequence(desc, head, period, rng):
    n = max(period, 999) + 64
    seq = np.zeros(n, np.uint8)
    assert T.rand_seq_with(C.byref(desc), ptr(seq), n) == 0
    np.testing.assert_array_equal(seq[:300], ref_rand(desc, 300))
    np.testing.assert_array_equal(seq[period:], seq[: n - period])
    if head is not None:
        assert T.octets_of(seq[:64]).tobytes().hex().upper() == head
    data = rng.integers(0, 2, 999, dtype=np.uint8)
    work = data.copy()
    assert T.randomise_with(C.byref(desc), ptr(work), work.size) == 0
    np.testing.assert_array_equal(work, data ^ seq[:999])
    assert T.randomise_with(C.byref(desc), ptr(work), work.size) == 0
    np.testing.assert_array_equal(work, data)
    assert T.rand_seq_with(C.byref(T.RandDesc(1, 1, 33, 0)), ptr(seq), 8) == -4
    st = T.RandState()
    assert T.rand_init(C.byref(st), C.byref(desc)) == 0
    assert [T.rand_step(C.byref(st)) for _ in range(40)] == seq[:40].tolist()
    # without a descriptor: the 17-stage sequence
    assert T.rand_init(C.byref(st), None) == 0 and T.rand_seq(ptr(seq), 40) == 0
    assert [T.rand_step(C.byref(st)) for _ in range(40)] == seq[:40].tolist() == ref_rand(T.RAND, 40).tolist()


@pytest.mark.parametrize("errors,inverted,max_errors,found", [
    (0, 0, 0, True), (3, 0, 3, True), (3, 0, 2, False), (0, 1, 0, True), (1, 1, 1, True), (4, 1, 3, False)])
def test_asm_find(errors, inverted, max_errors, found, rng):
    marker = np.zeros(32, np.uint8)
    T.asm_bits(ptr(marker))
    assert int("".join(map(str, marker)), 2) == 0x1ACFFC1D
    at = int(rng.integers(0, 200))
    bits = np.concatenate([np.zeros(at, np.uint8), marker ^ inverted, np.zeros(40, np.uint8)])
    bits[at + rng.choice(32, errors, replace=False)] ^= 1
    res = T.AsmResult()
    # the zero run ahead of the marker lies 13+ bits from it (both polarities), so no earlier hit
    assert T.asm_find(ptr(bits), bits.size, max_errors, C.byref(res)) == found
    if found:
        assert (res.position, res.errors, res.inverted) == (at, errors, inverted)
    assert T.asm_find(ptr(marker), 31, 32, C.byref(res)) == 0


# ---- Reed-Solomon ----

def test_dual_basis_round_trip_and_linear():
    x = np.arange(256)
    dual = np.array([T.to_dual(int(v)) for v in x])
    assert sorted(dual) == list(x)
    assert all(T.to_conv(int(dual[v])) == v for v in x)
    assert all(dual[a ^ b] == dual[a] ^ dual[b] for a in range(0, 256, 7) for b in range(0, 256, 11))


class GF:
    """GF(2^m) by log tables, an independent model for the generic codec."""

    def __init__(self, m, poly):
        self.nn = (1 << m) - 1
        self.exp, self.log, v = [], {}, 1
        for i in range(self.nn):
            self.exp.append(v)
            self.log[v] = i
            v <<= 1
            if v > self.nn:
                v = (v ^ poly) & self.nn

    def mul(self, a, b):
        return 0 if a == 0 or b == 0 else self.exp[(self.log[a] + self.log[b]) % self.nn]

    def eval(self, coeffs, x):
        acc = 0
        for c in coeffs:
            acc = self.mul(acc, x) ^ int(c)
        return acc


GENERIC = [T.RsDesc(8, 0x87, 32, 112, 11), T.RsDesc(8, 0x1D, 16, 0, 1), T.RsDesc(4, 0x3, 4, 1, 2),
           T.RsDesc(6, 0x3, 10, 5, 5), T.RsDesc(3, 0x3, 2, 0, 3)]


@pytest.mark.parametrize("desc", GENERIC, ids=lambda d: f"m{d.m}r{d.nroots}")
def test_generic_rs_matches_field_model(desc, rng):
    code = T.RsCode(desc)
    assert code.rc == 0 and T.g_code_valid(C.byref(desc)) == 1
    gf, t = GF(desc.m, desc.poly), desc.nroots // 2
    roots = [gf.exp[(desc.prim * (desc.first_root + i)) % gf.nn] for i in range(desc.nroots)]
    g = T.g_generator(code.h)[: desc.nroots + 1]
    if desc.first_root == 112:  # the shared CCSDS code object is this code
        assert T.rs_generator_ccsds()[:33] == g
    assert g[-1] == 1 and all(gf.eval(g[::-1], r) == 0 for r in roots)
    for trial in range(20):
        data = rng.integers(0, gf.nn + 1, code.k, dtype=np.uint8)
        cw = np.concatenate([data, np.zeros(desc.nroots, np.uint8)])
        assert T.g_encode(code.h, ptr(data), ptr(cw[code.k:])) == 0
        assert T.g_codeword_ok(code.h, ptr(cw)) == 1
        bad = cw.copy()
        bad[rng.choice(gf.nn, trial % t + 1, replace=False)] ^= rng.integers(1, gf.nn + 1, trial % t + 1,
                                                                             dtype=np.uint8)
        synd = np.zeros(desc.nroots, np.uint8)
        assert T.g_syndromes(code.h, ptr(bad), ptr(synd)) == np.count_nonzero(synd) > 0
        assert synd.tolist() == [gf.eval(bad, r) for r in roots]
        assert T.g_decode(code.h, ptr(bad)) == trial % t + 1
        np.testing.assert_array_equal(bad, cw)


@pytest.mark.parametrize("desc,valid,init", [
    (T.RsDesc(8, 0x87, 32, 112, 11), 1, 0), (T.RsDesc(8, 0x1B, 32, 0, 1), 1, -4),  # 0x11B: irreducible, not primitive
    (T.RsDesc(8, 0x86, 32, 0, 1), 0, -4), (T.RsDesc(9, 0x11, 32, 0, 1), 0, -4), (T.RsDesc(8, 0x87, 31, 0, 1), 0, -4),
    (T.RsDesc(8, 0x87, 66, 0, 1), 0, -4), (T.RsDesc(8, 0x87, 32, 0, 5), 0, -4), (T.RsDesc(2, 0x3, 2, 0, 1), 1, 0),
    (T.RsDesc(2, 0x3, 4, 0, 1), 0, -4), (T.RsDesc(8, 0x187, 32, 0, 1), 0, -4)])
def test_generic_rs_refuses_bad_descriptors(desc, valid, init):
    assert T.g_code_valid(C.byref(desc)) == valid
    code = T.RsCode(desc)
    assert code.rc == init
    if init:
        assert not T.g_generator(code.h) and T.g_encode(code.h, ptr(np.zeros(255, np.uint8)), None) == -4


@needs_fec
@pytest.mark.parametrize("errors", [0, 1, 2, 8, 15, 16, 17, 18, 24])
def test_ccsds_rs_against_libfec(errors, rng):
    for _ in range(10):
        data = rng.integers(0, 256, 223, dtype=np.uint8)
        ours, theirs = np.zeros(32, np.uint8), np.zeros(32, np.uint8)
        assert T.rs_encode(ptr(data), ptr(ours)) == 0
        FEC.encode_rs_ccsds(ptr(data), ptr(theirs), 0)
        np.testing.assert_array_equal(ours, theirs)
        cw = np.concatenate([data, ours])
        assert T.rs_codeword_ok(ptr(cw)) == 1
        bad = flip_symbols(rng, cw, errors)
        a, b = bad.copy(), bad.copy()
        got, ref = T.rs_decode(ptr(a)), FEC.decode_rs_ccsds(ptr(b), None, 0, 0)
        assert (got >= 0) == (ref >= 0)
        if errors <= 16:
            assert got == errors and np.array_equal(a, cw)
            assert T.rs_codeword_ok(ptr(bad)) == (errors == 0)
        else:
            assert got < 0 and np.array_equal(a, bad)


@pytest.mark.parametrize("depth", [1, 2, 3, 4, 5, 8])
def test_interleaved_block(depth, rng):
    data = rng.integers(0, 256, 223 * depth, dtype=np.uint8)
    block = np.zeros(255 * depth, np.uint8)
    assert T.rs_encode_block(ptr(data), depth, ptr(block)) == 255 * depth
    cws = []
    for k in range(depth):
        cw = np.concatenate([block[k:223 * depth:depth], block[223 * depth + k::depth]])
        parity = np.zeros(32, np.uint8)
        T.rs_encode(ptr(cw[:223].copy()), ptr(parity))
        np.testing.assert_array_equal(cw, np.concatenate([data[k::depth], parity]))
        cws.append(cw)
    inplace = np.concatenate([data, np.zeros(32 * depth, np.uint8)])
    assert T.rs_encode_block(ptr(inplace), depth, ptr(inplace)) == 255 * depth
    np.testing.assert_array_equal(inplace, block)
    # codeword k gets k+15 errors, up to 16 repaired; the rest fail and stay as received
    bad = block.copy()
    for k in range(depth):
        bad[k::depth] = flip_symbols(rng, bad[k::depth], min(k + 15, 20))
    work, stats = bad.copy(), T.RsStats()
    assert T.rs_decode_block(ptr(work), depth, C.byref(stats)) == 223 * depth
    fixed = [k for k in range(depth) if k + 15 <= 16]
    assert (stats.depth, stats.corrected, stats.failed) == (depth, len(fixed), depth - len(fixed))
    assert stats.symbols == sum(k + 15 for k in fixed)
    for k in range(depth):
        np.testing.assert_array_equal(work[k::depth], (block if k in fixed else bad)[k::depth])


@pytest.mark.parametrize("depth", [0, 6, 7, 9, 2**32 - 1])
def test_block_depth_refused(depth):
    buf = np.zeros(255 * 9, np.uint8)
    stats = T.RsStats(1, 1, 1, 1)
    assert T.rs_encode_block(ptr(buf), depth, ptr(buf)) == 0
    assert T.rs_decode_block(ptr(buf), depth, C.byref(stats)) == 0 and stats.depth == stats.symbols == 0


# ---- convolutional code ----

def ref_conv(desc, bits, reg=0):
    out = []
    for b in bits:
        a = reg | (int(b & 1) << (desc.k - 1))
        out += [(bin(desc.gen[j] & a).count("1") & 1) ^ ((desc.invert >> j) & 1) for j in range(desc.n)]
        reg = a >> 1
    return np.array(out, np.uint8), reg


@pytest.mark.parametrize("desc", [T.CONV, T.ConvDesc(3, 3, (7, 5, 3, 0, 0, 0), 5), T.ConvDesc(9, 1, (0x1F1,), 0)],
                         ids=["ccsds", "k3n3", "k9n1"])
def test_conv_encoder_matches_generators(desc, rng):
    one = np.array([1], np.uint8)
    out = np.zeros(desc.n, np.uint8)
    reg = T.U32(0)
    assert T.conv_encode(C.byref(reg), C.byref(desc), ptr(one), 1, ptr(out), desc.n) == desc.n
    np.testing.assert_array_equal(out, ref_conv(desc, one)[0])
    bits = rng.integers(0, 2, 777, dtype=np.uint8)
    want, end = ref_conv(desc, bits)
    # two calls sharing the register equal one call
    reg, head, rest = T.U32(0), np.zeros(300 * desc.n, np.uint8), np.zeros(477 * desc.n, np.uint8)
    assert T.conv_encode(C.byref(reg), C.byref(desc), ptr(bits), 300, ptr(head), head.size) == head.size
    assert T.conv_encode(C.byref(reg), C.byref(desc), ptr(bits[300:]), 477, ptr(rest), rest.size) == rest.size
    np.testing.assert_array_equal(np.concatenate([head, rest]), want)
    # the input staged at the end of the output buffer is encoded in place
    buf = np.zeros(777 * desc.n, np.uint8)
    buf[-777:] = bits
    assert T.conv_encode(C.byref(T.U32(0)), C.byref(desc), ptr(buf[-777:]), 777, ptr(buf), buf.size) == buf.size
    np.testing.assert_array_equal(buf, want)
    assert reg.value == end
    assert T.conv_outputs(C.byref(desc), 0, 1) == sum(int(v) << j for j, v in enumerate(ref_conv(desc, one)[0]))
    assert T.conv_encode(C.byref(reg), C.byref(desc), ptr(bits), 10, ptr(buf), 10 * desc.n - 1) == 0


def test_ccsds_conv_first_pair():
    out = np.zeros(2, np.uint8)
    assert T.conv_encode(C.byref(T.U32(0)), C.byref(T.CONV), ptr(np.ones(1, np.uint8)), 1, ptr(out), 2) == 2
    assert out.tolist() == [1, 0]


@pytest.mark.parametrize("desc", [T.ConvDesc(1, 2, (1, 1), 0), T.ConvDesc(10, 2, (1, 1), 0), T.ConvDesc(7, 0, (), 0),
                                  T.ConvDesc(7, 7, (1,) * 6, 0), T.ConvDesc(7, 2, (0x79, 0), 0),
                                  T.ConvDesc(7, 2, (0x79, 0x80), 0), T.ConvDesc(7, 2, (0x79, 0x5B), 4)])
def test_conv_refuses_bad_descriptors(desc):
    out = np.full(8, 9, np.uint8)
    assert T.conv_code_valid(C.byref(desc)) == 0
    assert T.conv_encode(C.byref(T.U32(0)), C.byref(desc), ptr(np.ones(2, np.uint8)), 2, ptr(out), 8) == 0
    assert (out == 9).all()


# ---- CADU ----

CFGS = [(1, 1, 1, 1), (1, 0, 0, 0), (5, 1, 1, 0), (8, 0, 1, 1), (0, 1, 1, 1), (0, 0, 0, 0), (2, 1, 0, 1)]


def cadu_octets(depth, rng):
    return rng.integers(0, 256, 223 * depth if depth else 100, dtype=np.uint8)


@pytest.mark.parametrize("cfg", CFGS, ids=str)
def test_cadu_layout_and_encode(cfg, rng):
    depth, rand, asm, conv = cfg
    c = T.FrameCfg(*cfg)
    octets = cadu_octets(depth, rng)
    lay = T.FrameLayout()
    channel = T.frame_layout(C.byref(c), octets.size, C.byref(lay))
    coded = depth * 2040 if depth else 8 * octets.size
    assert (lay.tf_bits, lay.cadu_bits, lay.channel_bits) == (8 * octets.size, coded + 32 * asm,
                                                              (coded + 32 * asm) * (1 + conv))
    assert channel == lay.channel_bits and (lay.rs_bits, lay.rand_bits) == (coded if depth else 0, coded * rand)
    assert lay.asm_bits == lay.rs_off == lay.rand_off == 32 * asm and lay.conv_bits == lay.cadu_bits * conv
    if cfg == (1, 1, 1, 1):
        assert (lay.rs_bits, lay.cadu_bits, lay.channel_bits) == (2040, 2072, 4144)
    # the independent composition: block code, randomiser, marker, inner code
    block = np.zeros(255 * depth, np.uint8)
    if depth:
        T.rs_encode_block(ptr(octets), depth, ptr(block))
    body = T.bits_of(block if depth else octets)
    if rand:
        T.randomise(ptr(body), body.size)
    marker = np.zeros(32 * asm, np.uint8)
    if asm:
        T.asm_bits(ptr(marker))
    want = np.concatenate([marker, body])
    reg = T.U32(0)
    if conv:
        want, end = ref_conv(T.CONV, want)
    out = np.full(channel + 5, 7, np.uint8)
    assert T.frame_encode(C.byref(c), C.byref(reg), ptr(octets), octets.size, ptr(out), channel - 1) == 0
    assert (out == 7).all()
    assert T.frame_encode(C.byref(c), C.byref(reg), ptr(octets), octets.size, ptr(out), out.size) == channel
    np.testing.assert_array_equal(out[:channel], want)
    assert (out[channel:] == 7).all() and (not conv or reg.value == end)
    if not conv:
        # round trip with up to 16 symbol errors in every codeword
        rx = out[:channel].copy()
        for k in range(depth):
            bad = T.octets_of(rx[32 * asm:]).copy()
            bad[k::depth] = flip_symbols(rng, bad[k::depth], 16 - k)
            rx[32 * asm:] = T.bits_of(bad)
        got, stats = np.full(octets.size + 3, 7, np.uint8), T.FrameStats()
        assert T.frame_decode(C.byref(c), ptr(rx), rx.size, ptr(got), octets.size - 1, C.byref(stats)) == 0
        assert (got == 7).all() and stats.octets == 0
        assert T.frame_decode(C.byref(c), ptr(rx), rx.size, ptr(got), got.size, C.byref(stats)) == octets.size
        np.testing.assert_array_equal(got[:octets.size], octets)
        assert (stats.octets, stats.codewords, stats.good, stats.corrected) == (octets.size, depth, depth, depth)
        assert stats.symbols == sum(16 - k for k in range(depth)) and (got[octets.size:] == 7).all()


@pytest.mark.parametrize("cfg,F", [((6, 0, 0, 0), 6 * 223), ((1, 0, 0, 0), 224), ((0, 0, 0, 0), 0),
                                   ((9, 0, 0, 0), 9 * 223), ((0, 0, 1, 1), 2**62)])
def test_cadu_layout_refused(cfg, F):
    lay = T.FrameLayout(*([9] * 11))
    assert T.frame_layout(C.byref(T.FrameCfg(*cfg)), F, C.byref(lay)) == 0 and lay.channel_bits == 0
    out = np.full(64, 7, np.uint8)
    assert T.frame_encode(C.byref(T.FrameCfg(*cfg)), None, ptr(out), F, ptr(out), out.size) == 0


@pytest.mark.parametrize("cfg,n", [((1, 0, 1, 0), 2040), ((1, 0, 1, 0), 2073), ((1, 0, 0, 0), 2048),
                                   ((0, 0, 1, 0), 31), ((0, 0, 0, 0), 13), ((0, 0, 0, 0), 0), ((7, 0, 0, 0), 7 * 2040)])
def test_cadu_decode_refuses_bad_lengths(cfg, n):
    rx, out, stats = np.zeros(n + 8, np.uint8), np.full(4000, 7, np.uint8), T.FrameStats()
    assert T.frame_decode(C.byref(T.FrameCfg(*cfg)), ptr(rx), n, ptr(out), out.size, C.byref(stats)) == 0
    assert (out == 7).all() and stats.octets == 0


def test_cadu_conv_register_carries_between_frames(rng):
    c = T.FrameCfg(0, 0, 1, 1)
    a, b = rng.integers(0, 256, 7, dtype=np.uint8), rng.integers(0, 256, 9, dtype=np.uint8)
    reg, out_a, out_b = T.U32(0), np.zeros(2 * 88, np.uint8), np.zeros(2 * 104, np.uint8)
    T.frame_encode(C.byref(c), C.byref(reg), ptr(a), 7, ptr(out_a), out_a.size)
    T.frame_encode(C.byref(c), C.byref(reg), ptr(b), 9, ptr(out_b), out_b.size)
    marker = np.zeros(32, np.uint8)
    T.asm_bits(ptr(marker))
    want, _ = ref_conv(T.CONV, np.concatenate([marker, T.bits_of(a), marker, T.bits_of(b)]))
    np.testing.assert_array_equal(np.concatenate([out_a, out_b]), want)
    assert T.frame_encode(C.byref(c), C.byref(T.U32(64)), ptr(a), 7, ptr(out_a), out_a.size) == 0


# ---- stage kernels and descriptions ----

def ops_table():
    ops = T.FrameOps()
    assert T.frame_ops(C.byref(ops), None) == 0 and ops.n_entries == 3
    return {e.kind: e for e in ops.entries[:3]}


@pytest.mark.parametrize("depth", [1, 2, 5, 8])
def test_outer_code_stage(depth, rng):
    op = ops_table()[1]
    assert not op.emit and (op.emit_num, op.emit_den) == (0, 0)
    data = rng.integers(0, 256, 223 * depth, dtype=np.uint8)
    block = np.zeros(255 * depth, np.uint8)
    T.rs_encode_block(ptr(data), depth, ptr(block))
    span = np.concatenate([T.bits_of(data), np.zeros(256 * depth, np.uint8)])
    st = T.Stage(1, 0, 1, depth)
    assert op.inplace(None, C.byref(st), ptr(span), span.size) == 0
    np.testing.assert_array_equal(span, T.bits_of(block))
    bad = T.bits_of(flip_symbols(rng, block, 3, positions=np.arange(0, 255 * depth, depth)))
    rep = T.Report()
    assert op.undo(None, C.byref(st), ptr(bad), bad.size, C.byref(rep)) == 0
    np.testing.assert_array_equal(bad, span)
    assert (rep.units, rep.ok, rep.corrected, rep.symbols) == (depth, depth, 1, 3)
    for d, n in [(depth, span.size - 8), (6, 6 * 2040), (0, 0), (9, 9 * 2040)]:
        buf = np.zeros(max(n, 1), np.uint8)
        assert op.inplace(None, C.byref(T.Stage(1, 0, 1, d)), ptr(buf), n) < 0
        assert op.undo(None, C.byref(T.Stage(1, 0, 1, d)), ptr(buf), n, C.byref(rep)) < 0 and rep.units == 0


@pytest.mark.parametrize("depth,desc", [(0, T.RAND), (1, T.RAND), (2, T.RAND_LEGACY), (3, T.RAND)])
def test_randomiser_stage(depth, desc, rng):
    op = ops_table()[2]
    bits = rng.integers(0, 2, 3001, dtype=np.uint8)
    work, rep = bits.copy(), T.Report()
    assert op.inplace(None, C.byref(T.Stage(2, 0, 1, depth)), ptr(work), work.size) == 0
    np.testing.assert_array_equal(work, bits ^ ref_rand(desc, bits.size))
    assert op.undo(None, C.byref(T.Stage(2, 0, 1, depth)), ptr(work), work.size, C.byref(rep)) == 0
    np.testing.assert_array_equal(work, bits)
    assert (rep.units, rep.ok, rep.corrected, rep.symbols) == (1, 1, 0, 0)


def test_inner_code_stage_emits_staged_input(rng):
    op = ops_table()[3]
    assert not op.inplace and not op.undo and (op.emit_num, op.emit_den) == (2, 1)
    bits = rng.integers(0, 2, 500, dtype=np.uint8)
    buf = np.zeros(1000, np.uint8)
    buf[500:] = bits
    for _ in range(2):  # a fresh register on every call
        work = buf.copy()
        assert op.emit(None, None, ptr(work[500:]), 500, ptr(work), 1000) == 1000
        np.testing.assert_array_equal(work, ref_conv(T.CONV, bits)[0])
    assert op.emit(None, None, ptr(bits), 500, ptr(buf), 999) == 0
    # input not staged far enough behind the output start would be overwritten unread
    work = buf.copy()
    assert op.emit(None, None, ptr(work[1:]), 500, ptr(work), 1000) == 0
    np.testing.assert_array_equal(work, buf)


@needs_fec
def test_conv_decodes_with_libfec_viterbi(rng):
    # libfec numbers generator taps oldest-bit-first (0x79 -> 0x4F, 0x5B -> 0x6D) and
    # inverts no output, so the second output is inverted back before its decoder
    bits = np.concatenate([rng.integers(0, 2, 800, dtype=np.uint8), np.zeros(6, np.uint8)])
    out = np.zeros(2 * bits.size, np.uint8)
    T.conv_encode(C.byref(T.U32(0)), C.byref(T.CONV), ptr(bits), bits.size, ptr(out), out.size)
    out[1::2] ^= 1
    soft = out * np.uint8(255)
    FEC.set_viterbi27_polynomial(C.byref((C.c_int * 2)(0x4F, 0x6D)))
    try:
        v = FEC.create_viterbi27(800)
        FEC.init_viterbi27(v, 0)
        FEC.update_viterbi27_blk(v, ptr(soft), bits.size)
        dec = np.zeros(100, np.uint8)
        FEC.chainback_viterbi27(v, ptr(dec), 800, 0)
        FEC.delete_viterbi27(v)
    finally:
        FEC.set_viterbi27_polynomial(C.byref((C.c_int * 2)(0x6D, 0x4F)))  # libfec's default order
    np.testing.assert_array_equal(T.bits_of(dec), bits[:800])


def fields_of(desc):
    return [(f.len, f.derived_by, f.derived_bits) for f in desc.fields[:desc.n_fields]]


def stages_of(desc):
    return [(s.kind, s.first_field, s.n_fields, s.depth, s.emit_num, s.emit_den) for s in desc.stages[:desc.n_stages]]


@pytest.mark.parametrize("cfg", CFGS, ids=str)
def test_describe_matches_cadu_layout(cfg, rng):
    depth, rand, asm, conv = cfg
    octets = cadu_octets(depth, rng)
    bits, desc = T.bits_of(octets), T.FrameDescC()
    assert T.frame_describe(C.byref(T.FrameCfg(*cfg)), octets.size, ptr(bits), C.byref(desc)) == 0
    assert fields_of(desc) == [(32 * asm, 0, 0), (bits.size, 0, 0), (0, 1, 256 * depth)]
    assert stages_of(desc) == [(1, 1, 2 * (depth > 0), depth, 0, 0), (2, 1, rand * (1 + (depth > 0)), 0, 0, 0),
                               (3, 0, 3 * conv, 0, 2, 1)]
    assert desc.fields[1].lit == bits.ctypes.data
    assert T.frame_describe(C.byref(T.FrameCfg(6, *cfg[1:])), octets.size, ptr(bits), C.byref(desc)) == -1
    assert desc.n_fields == 0


@pytest.mark.parametrize("plan", [dict(asm=1, crc=1, rs_depth=1, randomise=2, conv=1, interleave_depth=4),
                                  dict(preamble=5, preamble_reps=3, sync=13, payload=64, crc=1),
                                  dict(payload=1784 * 2, rs_depth=2, randomise=1), dict(payload=40, conv=1)], ids=str)
def test_desc_of(plan, rng):
    pre, sync = np.ones(plan.get("preamble", 0), np.uint8), np.ones(plan.get("sync", 0), np.uint8)
    payload_len = plan.get("payload", 1784 * plan.get("rs_depth", 1) - 16 * plan.get("crc", 0))
    payload = rng.integers(0, 2, payload_len, dtype=np.uint8)
    s = T.FramePlan(plan.get("asm", 0), ptr(pre), pre.size, plan.get("preamble_reps", 0), ptr(sync), sync.size,
                    ptr(payload), payload.size, plan.get("crc", 0), plan.get("rs_depth", 0), plan.get("randomise", 0),
                    plan.get("conv", 0), plan.get("interleave_depth", 0), 8)
    desc = T.FrameDescC()
    assert T.frame_desc_of(C.byref(s), C.byref(desc)) == 0
    crc, depth = plan.get("crc", 0), plan.get("rs_depth", 0)
    want = [(32, 0, 0)] * s.asm + [(pre.size, 0, 0)] * (pre.size > 0) + [(sync.size, 0, 0)] * (sync.size > 0)
    p = len(want)
    want += [(payload.size, 0, 0)] + [(0, 1, 16)] * crc + [(0, crc + 1, 256 * depth)] * (depth > 0)
    assert fields_of(desc) == want
    if pre.size:
        assert desc.fields[0].reps == 3
    n, end = len(want), len(want) - p
    stages = ([(0, p, 2, 0, 0, 0)] * crc + [(1, p, end, depth, 0, 0)] * (depth > 0)
              + [(2, p, end, s.randomise, 0, 0)] * (s.randomise > 0)
              + [(4, p, end, s.interleave_depth, 0, 0)] * (s.interleave_depth > 0) + [(3, 0, n, 0, 2, 1)] * s.conv)
    assert stages_of(desc) == stages
    s.payload_len += 1
    assert T.frame_desc_of(C.byref(s), C.byref(desc)) == (-1 if depth else 0)
    s.payload = None
    assert T.frame_desc_of(C.byref(s), C.byref(desc)) == -1 and desc.n_fields == 0
