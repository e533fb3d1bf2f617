import numpy as np
import pytest

from kolvane import wfm

from blockprops import check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip

MLS = {
    2: 0x3, 3: 0x5, 4: 0x9, 5: 0x12, 6: 0x21, 7: 0x41, 8: 0x8E, 9: 0x108, 10: 0x204, 11: 0x402, 12: 0x829,
    13: 0x100D, 14: 0x2015, 15: 0x4001, 16: 0x8016, 17: 0x10004, 18: 0x20013, 19: 0x40013, 20: 0x80004,
    24: 0x80000D, 32: 0x80000057, 40: 0x800000001C, 48: 0x80000000005B, 56: 0x8000000000004A,
    63: 0x4000000000000001, 64: 0x800000000000000D,
}


def ref_galois(poly, seed, length, n):
    mask = (1 << length) - 1
    reg = seed & mask
    poly &= mask
    out = []
    for _ in range(n):
        bit = reg & 1
        out.append(bit)
        reg = mask & ((reg >> 1) ^ (poly if bit else 0))
    return np.array(out, np.uint8)


def ref_fibonacci(poly, seed, length, n):
    mask = (1 << length) - 1
    reg = seed & mask
    taps = (((poly & mask) << 1) | 1) & mask
    out = []
    for _ in range(n):
        out.append(reg & 1)
        fb = bin(taps & reg).count("1") & 1
        reg = (reg >> 1) | (fb << (length - 1))
    return np.array(out, np.uint8)


def period(chips, p):
    """True when the sequence repeats with period exactly p (and not with any divisor of p)."""
    def repeats(d):
        return np.array_equal(chips[:-d], chips[d:])

    return repeats(p) and not any(repeats(d) for d in range(1, p) if p % d == 0)


def test_mls_poly_table():
    for n, mask in MLS.items():
        assert wfm.mls_poly(n) == mask
        assert mask >> (n - 1) == 1
    assert wfm.mls_poly(1) == 0 and wfm.mls_poly(65) == 0 and wfm.mls_poly(0) == 0 and wfm.mls_poly(-3) == 0
    # any integer outside 2..64 gives 0, however large (no wrap-around into the table either)
    assert wfm.mls_poly(2**32 + 7) == 0 and wfm.mls_poly(2**64 + 7) == 0 and wfm.mls_poly(-(2**70)) == 0


@pytest.mark.parametrize("lfsr,head", [("galois", [1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 1, 0]),
                                       ("fibonacci", [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0])])
def test_pn_known_heads_and_period(lfsr, head):
    p = wfm.PN(seed=1, length=10, lfsr=lfsr)
    chips = p.generate(3000)
    assert chips.dtype == np.uint8 and chips.shape == (3000,)
    assert chips[:12].tolist() == head
    assert period(chips, 1023)
    assert chips[:1023].sum() == 512  # an m-sequence has 2^(L-1) ones per period


@pytest.mark.parametrize("length", [3, 7, 13, 33, 64])
@pytest.mark.parametrize("lfsr", ["galois", "fibonacci"])
def test_pn_matches_reference(length, lfsr):
    seed = 0x5DEECE66D & ((1 << length) - 1) or 1
    ref = ref_galois if lfsr == "galois" else ref_fibonacci
    got = wfm.PN(seed=seed, length=length, lfsr=lfsr).generate(500)
    np.testing.assert_array_equal(got, ref(MLS.get(length, wfm.mls_poly(length)), seed, length, 500))


def test_pn_full_width_registers_are_unmasked():
    seed = 0xFEDCBA9876543210
    poly = 0xFFFFFFFFFFFFFFFF
    got = wfm.PN(poly=poly, seed=seed, length=64).generate(300)
    np.testing.assert_array_equal(got, ref_galois(poly, seed, 64, 300))


def test_pn_length_one_keeps_poly_zero():
    # poly 0 is only replaced for length > 1; a 1-stage register with no taps emits its seed then zeros
    assert wfm.PN(seed=1, length=1).generate(4).tolist() == [1, 0, 0, 0]


def test_pn_seed_outside_width_gives_zero_register():
    assert not wfm.PN(seed=1 << 20, length=8).generate(64).any()


@pytest.mark.parametrize("kw", [dict(), dict(seed=0, length=5), dict(seed=1, length=0), dict(seed=1, length=65)])
def test_pn_refused(kw):
    with pytest.raises(MemoryError, match="^pn_create returned NULL$"):
        wfm.PN(**kw)


def test_pn_bad_lfsr():
    with pytest.raises(ValueError, match="^lfsr must be one of \"galois\", \"fibonacci\", got 'gal'$"):
        wfm.PN(seed=1, length=4, lfsr="gal")


@pytest.mark.parametrize("kw", [dict(seed=-1, length=5), dict(seed=1, length=-10), dict(poly=-2, seed=1, length=5)])
def test_negative_unsigned_arguments_are_refused(kw):
    with pytest.raises(ValueError, match="non-negative"):
        wfm.PN(**kw)


def test_negative_count_is_refused_not_allocated():
    with pytest.raises(ValueError, match="non-negative"):
        wfm.Gold().generate(-1)
    with pytest.raises(OverflowError):
        wfm.Gold().generate(1 << 70)


def test_gold_365():
    g = wfm.Gold()
    chips = g.generate(2046 + 10)
    assert chips[:15].tolist() == [0, 1, 0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1]
    assert period(chips, 1023)


def test_gold_is_xor_of_two_msequences():
    # Each register alone, read at its top stage, is an m-sequence; the code is their XOR.
    def fib_left(taps, seed, n, length=10):
        mask = (1 << length) - 1
        reg, out = seed, []
        for _ in range(n):
            out.append((reg >> (length - 1)) & 1)
            reg = mask & ((reg << 1) | (bin(taps & reg).count("1") & 1))
        return np.array(out, np.uint8)

    a = fib_left(934, 350, 1023)
    b = fib_left(567, 73, 1023)
    np.testing.assert_array_equal(wfm.Gold().generate(1023), a ^ b)


@pytest.mark.parametrize("kw", [dict(seed_a=0), dict(seed_b=0), dict(length=0), dict(length=65)])
def test_gold_refused(kw):
    with pytest.raises(MemoryError, match="^gold_create returned NULL$"):
        wfm.Gold(**kw)


GENERATORS = {
    "pn-galois": lambda: wfm.PN(seed=0x1F, length=9),
    "pn-fibonacci": lambda: wfm.PN(seed=0x1F, length=9, lfsr="fibonacci"),
    "pn-64": lambda: wfm.PN(seed=3, length=64),
    "gold": lambda: wfm.Gold(),
}


@pytest.mark.parametrize("name", GENERATORS)
def test_generator_block_properties(name):
    make = GENERATORS[name]
    sizes = [1, 7, 0, 300, 1023, 5]
    check_chunked_equals_whole(make, lambda o: o.generate(sum(sizes)), lambda o: [o.generate(k) for k in sizes])
    check_state_roundtrip(make, lambda o: o.generate(37))
    foreign = wfm.Gold().get_state() if name.startswith("pn") else None
    check_blob_refusals(make, lambda o: o.generate(11), foreign)
    o = make()
    assert o.generate_max_out() == 0
    assert o.state_bytes() == (24 if name.startswith("pn") else 32)
    check_destroyed(o, [lambda o: o.generate(), lambda o: o.generate(-1), lambda o: o.reset(), lambda o: o.get_state(),
                        lambda o: o.set_state(b""), lambda o: o.state_bytes(), lambda o: o.generate_max_out()])


def test_state_blob_layout():
    p = wfm.PN(seed=5, length=12)
    p.generate(3)
    blob = p.get_state()
    assert blob[:4] == b"PN__" and blob[4:6] == b"\x01\x00" and blob[6] == 1 and blob[7] == 0
    assert int.from_bytes(blob[8:16], "little") == 24
    # the payload is the live register: three Galois steps from seed 5
    reg = 5
    for _ in range(3):
        reg = (reg >> 1) ^ (wfm.mls_poly(12) if reg & 1 else 0)
    assert int.from_bytes(blob[16:24], "little") == reg
    g = wfm.Gold()
    blob = g.get_state()
    assert blob[:4] == b"GOLD" and int.from_bytes(blob[8:16], "little") == 32
    assert int.from_bytes(blob[16:24], "little") == 350 and int.from_bytes(blob[24:32], "little") == 73
    # pad is not checked; the high half of total_bytes is not compared
    loose = bytearray(blob)
    loose[7] = 9
    loose[12] = 1
    wfm.Gold().set_state(bytes(loose))
    # a PN blob offered to Gold is refused by size before the core sees it
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        g.set_state(wfm.PN(seed=1, length=3).get_state())


@pytest.mark.parametrize("make,off", [(lambda: wfm.PN(seed=5, length=10, lfsr="fibonacci"), 16),
                                      (lambda: wfm.PN(seed=5, length=10), 16),
                                      (lambda: wfm.Gold(), 16), (lambda: wfm.Gold(), 24)])
def test_register_outside_the_width_is_refused(make, off):
    # No object built alike can hold such a register; accepting it would emit chips
    # from outside the sequence (the Fibonacci shift carries the high bits down).
    a = make()
    a.generate(7)
    good = a.get_state()
    blob = bytearray(good)
    blob[off + 2] |= 0x80  # bit 23: outside a 10-stage register
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        a.set_state(bytes(blob))
    assert a.get_state() == good
