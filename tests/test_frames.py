"""Frames and frame descriptions: layout, assembly, CRC, interleaver, check and deframe."""
import numpy as np
import pytest

from kolvane import wfm

import wfm_ctypes as C

CRC, INTERLEAVE = 0, 4
KINDS = '"literal", "pn", "gold", "dotted"'


def crc_bits(bits):
    """CRC-16-CCITT (0x1021, init 0xFFFF) of unpacked bits, as 16 bits MSB first (independent model)."""
    c = 0xFFFF
    for b in bits:
        fb = ((c >> 15) ^ int(b)) & 1
        c = ((c << 1) & 0xFFFF) ^ (0x1021 if fb else 0)
    return np.array([(c >> (15 - i)) & 1 for i in range(16)], np.uint8)


def ref_frame(pre, reps, sync, pay, crc):
    parts = [np.tile(pre, reps), sync, pay, crc_bits(pay) if crc and len(pay) else []]
    return np.concatenate([np.asarray(p, np.uint8) for p in parts]), [len(p) for p in parts]


GEOMETRIES = [(0, 0, 13, 16, True), (7, 3, 13, 16, True), (5, 0, 0, 1, True), (0, 0, 8, 0, True),
              (3, 2, 0, 40, False), (1, 1, 1, 1, False), (0, 0, 32, 1784, True), (11, 5, 4, 257, True)]


@pytest.mark.parametrize("geom", GEOMETRIES)
def test_frame_matches_model(geom):
    pre_len, reps, sync_len, pay_len, crc = geom
    rng = np.random.default_rng(sum(geom))
    pre, sync, pay = (rng.integers(0, 2, n, dtype=np.uint8) for n in (pre_len, sync_len, pay_len))
    want, lens = ref_frame(pre, reps, sync, pay, crc)
    f = wfm.Frame(pre + 2, sync, pay, preamble_reps=reps, crc="crc16" if crc else "none")  # bit 0 only
    np.testing.assert_array_equal(f.bits(), want)
    assert f.nbits == len(want) and f.n_fields() == 4 and f.n_stages() == 1
    offs = np.concatenate([[0], np.cumsum(lens)[:-1]])
    assert [(f.field_off(i), f.field_bits(i)) for i in range(4)] == list(zip(offs, lens))
    assert tuple(f.layout()) == tuple(x for pair in zip(offs, lens) for x in pair) + (len(want),)
    has_crc = crc and pay_len > 0
    assert (f.stage_first(0), f.stage_bits(0)) == ((offs[2], pay_len + 16) if has_crc else (0, 0))
    np.testing.assert_array_equal(f.bits(3), np.tile(want, 3))
    assert f.bits_max_out(3) == 3 * len(want)
    assert f.deframe_max_out(0) == len(want)
    assert f.crc_ok(want) == (1 if has_crc else -1) and f.crc_ok(want[:-1]) == -1
    chk = f.check(want)
    assert tuple(chk) == ((1, 1, 1, 1, 1, 0, 0) if has_crc else (0, 1, 0, 0, 0, 0, 0))  # nothing checked
    for i in range(offs[2], len(want)):  # any flipped payload or CRC bit is caught
        bad = want.copy()
        bad[i] ^= 1
        if has_crc:
            assert f.crc_ok(bad) == 0 and f.check(bad).passed == 0
            np.testing.assert_array_equal(f.deframe(bad), bad)
            assert (f.rx_checked, f.rx_units, f.rx_ok) == (1, 1, 0)
    assert tuple(f.check(want[:-1])) == (0,) * 7


def test_documented_frame():
    sync = np.array([1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 1], np.uint8)
    f = wfm.Frame([], sync, np.ones(16, np.uint8), crc="crc16")
    assert f.nbits == 45
    assert [f.field_off(i) for i in range(4)] == [0, 0, 13, 29] and [f.field_bits(i) for i in range(4)] == [0, 13, 16, 16]
    assert (f.stage_first(0), f.stage_bits(0)) == (13, 32)
    assert f.field_off(-1) == f.field_off(4) == f.stage_bits(2**70) == 0


@pytest.mark.parametrize("kind, make", [
    ("pn", lambda n: wfm.PN(length=10, seed=1).generate(n)),
    ("gold", lambda n: wfm.Gold(taps_a=9, seed_a=3, taps_b=15, seed_b=1, length=4).generate(n)),
    ("dotted", lambda n: (np.arange(n) + 1) % 2),
])
def test_generated_payload(kind, make):
    kw = dict(payload_kind=kind, payload_nbits=1024, payload_reg_bits=10 if kind == "pn" else 4,
              payload_taps_a=9, payload_seed_a=3, payload_taps_b=15, payload_seed_b=0, crc="crc16")
    sync = np.ones(13, np.uint8)
    f, g = wfm.Frame([], sync, [], **kw), wfm.FrameDesc([], sync, [], **kw)
    g.build()
    assert f.nbits == g.nbits == 1053
    np.testing.assert_array_equal(f.bits(), g.bits())
    np.testing.assert_array_equal(f.bits()[13:1037], make(1024))
    assert f.crc_ok(g.bits()) == 1


@pytest.mark.parametrize("depth, unit, rows", [(1, 1, 5), (2, 1, 16), (3, 8, 4), (5, 3, 7), (4, 2, 1), (8, 1, 9)])
def test_interleaver_round_trip(depth, unit, rows):
    n = depth * unit * rows
    x = np.random.default_rng(n).integers(0, 2, n, dtype=np.uint8)
    want = x.reshape(depth, rows, unit).transpose(1, 0, 2).ravel()  # rows written, columns read
    d = wfm.FrameDesc([], [], [])
    assert d.add_field(x) == 0 and d.add_stage(INTERLEAVE, 0, 1, depth, 0, 0, unit) == 0
    d.build()
    np.testing.assert_array_equal(d.bits(), want)
    np.testing.assert_array_equal(d.deframe(d.bits()), x)
    assert (d.rx_checked, d.rx_units, d.rx_ok) == (1, 1, 1)
    y = want.copy()
    assert C.deinterleave_raw(C.ptr(y), n, depth, unit) == 0
    np.testing.assert_array_equal(y, x)
    assert C.interleave_raw(C.ptr(y), n + 1, depth, unit) == (0 if depth * unit == 1 else -1)
    np.testing.assert_array_equal(y, x)


def test_description_limits():
    d = wfm.FrameDesc([], [], [])
    assert [d.add_field([1, 0]) for _ in range(9)] == list(range(8)) + [-1]
    assert [d.add_stage(CRC, 0, 0) for _ in range(7)] == list(range(6)) + [-1]
    d.build()
    assert d.add_field([1]) == -1 and d.add_stage() == -1
    with pytest.raises(ValueError, match=r"^build failed \(rc=-1\)$"):
        d.build()
    f = wfm.Frame([], [1], [1])
    assert f.add_field([1]) == -1 and f.add_stage() == -1
    with pytest.raises(ValueError, match=r"^build failed \(rc=-1\)$"):
        f.build()


def test_cadu_description_layout():
    d = wfm.FrameDesc([], [], [])
    assert d.add_field(wfm.ccsds_asm_bits()) == 0
    assert d.add_field(np.zeros(1784, np.uint8)) == 1
    assert d.add_field([], derived_by=1, derived_bits=256) == 2
    assert d.add_stage(1, 1, 2, 1) == 0 and d.add_stage(2, 1, 2) == 1
    assert (d.stage_first(0), d.stage_bits(0), d.stage_first(1), d.stage_bits(1)) == (32, 2040, 32, 2040)
    assert d.nbits == 2072 and tuple(d.layout()) == (0,) * 9


def cadu(depth, data, emit=None, randomise=1, extra_stage=None):
    d = wfm.FrameDesc([], [], [])
    d.add_field(wfm.ccsds_asm_bits())
    d.add_field(data)
    d.add_field([], derived_by=1, derived_bits=256 * depth)
    assert d.add_stage(1, 1, 2, depth) == 0 and d.add_stage(2 if randomise else 0, 1, 2 if randomise else 0) == 1
    if emit is not None:
        assert d.add_stage(3, 0, 3, 0, *emit) == 2
    return d


@pytest.mark.parametrize("depth, emit, randomise", [(1, None, 1), (2, (2, 1), 1), (1, (0, 0), 0), (3, (3, 1), 1),
                                                    (8, None, 0), (5, (2, 1), 0)])
def test_cadu_matches_channel_coder(depth, emit, randomise):
    import ccsds_ctypes as CC

    octets = np.random.default_rng(depth).integers(0, 256, 223 * depth, dtype=np.uint8)
    d = cadu(depth, CC.bits_of(octets), emit, randomise)
    d.build()  # the wire follows the inner code's real 2/1, whatever the description declares
    cfg = CC.FrameCfg(depth, randomise, 1, emit is not None)
    want = np.zeros(2 * 2072 * depth, np.uint8)
    n = CC.frame_encode(cfg, None, C.ptr(octets), len(octets), C.ptr(want), len(want))
    assert d.nbits == n and n == (2 if emit else 1) * (32 + 2040 * depth)
    np.testing.assert_array_equal(d.bits(), want[:n])
    if emit is None:  # hard bits after the inner code: up to 16 octets of each codeword repaired
        rx = d.bits()
        hit = np.arange(16) * depth * 8 * 13 + 40
        rx[hit] ^= 1
        assert d.check(rx).passed == 1 and d.check(rx).symbols == 16
        out = d.deframe(rx)
        np.testing.assert_array_equal(CC.octets_of(out[32:32 + 1784 * depth]), octets)
        assert (d.rx_checked, d.rx_units, d.rx_ok, d.rx_symbols) == (1 + randomise, depth + randomise,
                                                                     depth + randomise, 16)


@pytest.mark.parametrize("first, count", [(0, 3), (1, 1), (1, 2), (0, 1), (2, 1)])
def test_inner_code_over_part_of_the_frame(first, count):
    import ctypes

    import ccsds_ctypes as CC

    fields = [np.random.default_rng(n).integers(0, 2, n, dtype=np.uint8) for n in (24, 40, 16)]
    d = wfm.FrameDesc([], [], [])
    for f in fields:
        d.add_field(f)
    d.add_stage(3, first, count, 0, 2, 1)
    d.build()
    span = np.concatenate(fields[first:first + count])
    coded = np.zeros(2 * len(span), np.uint8)
    assert CC.conv_encode(ctypes.byref(CC.U32(0)), ctypes.byref(CC.CONV), C.ptr(span), len(span), C.ptr(coded),
                          len(coded)) == len(coded)
    want = np.concatenate(fields[:first] + [coded] + fields[first + count:])
    assert d.nbits == len(want)
    np.testing.assert_array_equal(d.bits(), want)


@pytest.mark.parametrize("depth", [0, 6, 7, 9])
def test_outer_code_depths_the_encoder_lacks_are_refused(depth):
    d = wfm.FrameDesc([], [], [])
    d.add_field(np.zeros(1784 * max(depth, 1), np.uint8))
    d.add_field([], derived_by=1, derived_bits=256 * max(depth, 1))
    d.add_stage(1, 0, 2, depth)
    with pytest.raises(ValueError, match=r"^build failed \(rc=-1\)$"):
        d.build()


def build_refused(fields, stages):
    d = wfm.FrameDesc([], [], [])
    for kw in fields:
        assert d.add_field(**kw) >= 0
    for st in stages:
        assert d.add_stage(*st) >= 0
    with pytest.raises(ValueError, match=r"^build failed \(rc=-1\)$"):
        d.build()
    return d


LIT = dict(lit=np.ones(24, np.uint8))
BAD_BUILDS = {
    "derived field not last of its stage": ([dict(lit=[], derived_by=1, derived_bits=16), LIT], [(CRC, 0, 2)]),
    "crc field of 8 bits": ([LIT, dict(lit=[], derived_by=1, derived_bits=8)], [(CRC, 0, 2)]),
    "interleaver span not a multiple": ([LIT], [(INTERLEAVE, 0, 1, 5, 0, 0, 1)]),
    "stage past the fields": ([LIT], [(CRC, 0, 2)]),
    "derived by a missing stage": ([LIT, dict(lit=[], derived_by=3, derived_bits=16)], [(CRC, 0, 2)]),
    "stage after an emitting one has nothing to run on": ([LIT], [(3, 0, 1, 0, 2, 1), (INTERLEAVE, 0, 1)]),
    "empty": ([], []),
    "generator without a register": ([dict(lit=[], kind=1, gen_len=8)], []),
}


@pytest.mark.parametrize("name", BAD_BUILDS)
def test_bad_descriptions_do_not_build(name):
    d = build_refused(*BAD_BUILDS[name])
    assert d.bits().size == 0


def test_derived_field_of_idle_stage_is_empty_and_crc_field_initialised():
    d = wfm.FrameDesc([], [], [])
    d.add_field([1, 0, 1])
    d.add_field([], derived_by=1, derived_bits=16)
    d.add_stage(CRC, 0, 0)
    d.build()
    assert d.nbits == 3 and d.field_bits(1) == 0
    d = wfm.FrameDesc([], [], [])
    d.add_field([1, 1])
    d.add_field([], derived_by=1, derived_bits=24)
    d.add_stage(INTERLEAVE, 0, 2, 2)  # the interleaver writes nothing into the field it derives
    d.build()
    np.testing.assert_array_equal(d.deframe(d.bits())[2:], np.zeros(24, np.uint8))


BAD_FIELDS = {
    "negative kind": dict(kind=-1), "kind 4": dict(kind=4), "lfsr 2": dict(lfsr=2), "derived_by 7": dict(derived_by=7),
    "negative reps": dict(reps=-1), "reps past 64 bits": dict(reps=2**64), "length times reps": dict(reps=2**62),
    "generated length": dict(kind=1, gen_len=2**40), "derived length": dict(derived_by=1, derived_bits=2**40),
    "reg_bits past 32 bits": dict(reg_bits=2**32),
}
BAD_STAGES = {
    "kind 5": (5,), "zero divisor": (3, 0, 1, 0, 2, 0), "zero numerator": (3, 0, 1, 0, 0, 2),
    "span past 8 fields": (0, 7, 2), "negative": (0, -1), "past 32 bits": (0, 0, 2**32),
}


@pytest.mark.parametrize("name", list(BAD_FIELDS) + list(BAD_STAGES))
def test_refused_arguments_return_minus_one(name):
    d = wfm.FrameDesc([], [], [])
    if name in BAD_FIELDS:
        assert d.add_field([1, 0, 1, 1], **BAD_FIELDS[name]) == -1
        assert d.n_fields() == 0
    else:
        assert d.add_stage(*BAD_STAGES[name]) == -1
        assert d.n_stages() == 0


GEOMETRY = r"^frame geometry is empty or a field is unbuildable \(a literal with no array, or a generated field with no register width\)$"
BAD_CONSTRUCTORS = [
    (dict(), ValueError, GEOMETRY),
    (dict(payload_kind="pn", payload_nbits=8), ValueError, GEOMETRY),
    (dict(preamble=[1] * 4, preamble_reps=2**62), ValueError, GEOMETRY),
    (dict(preamble_reps=-1), ValueError, "non-negative"),
    (dict(sync_kind="lit"), ValueError, rf"^sync_kind must be one of {KINDS}, got 'lit'$"),
    (dict(payload_kind="x"), ValueError, rf"^payload_kind must be one of {KINDS}, got 'x'$"),
    (dict(preamble_lfsr="gal"), ValueError, r"^preamble_lfsr must be one of \"galois\", \"fibonacci\", got 'gal'$"),
    (dict(crc="crc32"), ValueError, r"^crc must be one of \"none\", \"crc16\", got 'crc32'$"),
    (dict(payload_reg_bits=2**32), OverflowError, "unsigned 32-bit"),
]


@pytest.mark.parametrize("cls", [wfm.Frame, wfm.FrameDesc])
@pytest.mark.parametrize("case", range(len(BAD_CONSTRUCTORS)))
def test_bad_constructors(cls, case):
    kw, exc, msg = BAD_CONSTRUCTORS[case]
    kw = dict(kw)
    args = [kw.pop("preamble", []), [], []]
    if cls is wfm.FrameDesc and msg == GEOMETRY and "preamble_reps" not in kw:
        d = cls(*args, **kw)  # only building it can fail
        with pytest.raises(ValueError, match=r"^build failed \(rc=-1\)$"):
            d.build()
        return
    with pytest.raises(exc, match=msg):
        cls(*args, **kw)


def test_destroyed_and_ceiling():
    f = wfm.Frame([], [1, 0], [1])
    with pytest.raises(ValueError, match=r"above the ceiling"):
        f.bits(2**27)
    with pytest.raises(OverflowError):
        f.bits_max_out(2**63)
    f.destroy()
    f.destroy()
    for call in (lambda: f.bits(), lambda: f.nbits, lambda: f.check([1]), lambda: f.layout(), lambda: f.rx_ok,
                 lambda: f.add_field([1]), lambda: f.field_off(0)):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
