"""ctypes access to the channel-coding cores of the wfm module (they have no
Python type of their own) and to libfec, the independent codec they are
checked against."""

import ctypes as C
import ctypes.util

import numpy as np

from kolvane import wfm

from ctypes_lib import P, SZ, declarer, ptr

lib = C.CDLL(wfm.__file__)
_sig = declarer(lib)
U8, U32, U64, I32 = C.c_uint8, C.c_uint32, C.c_uint64, C.c_int32


class RandDesc(C.Structure):
    _fields_ = [("taps", U32), ("initial", U32), ("stages", U32), ("period", U64)]


class ConvDesc(C.Structure):
    _fields_ = [("k", I32), ("n", I32), ("gen", U32 * 6), ("invert", U32)]


class RsDesc(C.Structure):
    _fields_ = [("m", I32), ("poly", C.c_uint16), ("nroots", U32), ("first_root", I32), ("prim", I32)]


class AsmResult(C.Structure):
    _fields_ = [("position", U64), ("errors", U32), ("inverted", U32)]


class RsStats(C.Structure):
    _fields_ = [("depth", U32), ("corrected", U32), ("failed", U32), ("symbols", U32)]


class FrameCfg(C.Structure):
    _fields_ = [("rs_depth", U32), ("randomise", U32), ("asm", U32), ("conv", U32)]


class FrameLayout(C.Structure):
    _fields_ = [(n, U64) for n in ("tf_bits", "cadu_bits", "channel_bits", "asm_off", "asm_bits", "rs_off",
                                   "rs_bits", "rand_off", "rand_bits", "conv_off", "conv_bits")]


class FrameStats(C.Structure):
    _fields_ = [("octets", U64), ("codewords", U32), ("good", U32), ("corrected", U32), ("symbols", U32)]


class Seq(C.Structure):
    _fields_ = [("kind", I32), ("len", U64), ("lit", P), ("poly", U64), ("seed", U64), ("reg_bits", U32),
                ("lfsr", U32), ("taps_a", U64), ("seed_a", U64), ("taps_b", U64), ("seed_b", U64), ("reps", U64),
                ("derived_bits", U64), ("derived_by", I32)]


class Stage(C.Structure):
    _fields_ = [(n, U32) for n in ("kind", "first_field", "n_fields", "depth", "unit_bits", "emit_num", "emit_den")]


class FrameDescC(C.Structure):
    _fields_ = [("fields", Seq * 8), ("n_fields", U32), ("stages", Stage * 6), ("n_stages", U32)]


class Report(C.Structure):
    _fields_ = [("units", U64), ("ok", U64), ("corrected", U64), ("symbols", U64)]


INPLACE = C.CFUNCTYPE(C.c_int, P, C.POINTER(Stage), P, U64)
UNDO = C.CFUNCTYPE(C.c_int, P, C.POINTER(Stage), P, U64, C.POINTER(Report))
EMIT = C.CFUNCTYPE(U64, P, C.POINTER(Stage), P, U64, P, U64)


class StageOp(C.Structure):
    _fields_ = [("kind", U32), ("inplace", INPLACE), ("emit", EMIT), ("undo", UNDO), ("emit_num", U32),
                ("emit_den", U32)]


class FrameOps(C.Structure):
    _fields_ = [("entries", StageOp * 8), ("n_entries", U32), ("ctx", P)]


class FramePlan(C.Structure):
    _fields_ = [("asm", U32), ("preamble", P), ("preamble_len", U64), ("preamble_reps", U64), ("sync", P),
                ("sync_len", U64), ("payload", P), ("payload_len", U64), ("crc", U32), ("rs_depth", U32),
                ("randomise", U32), ("conv", U32), ("interleave_depth", U32), ("interleave_unit_bits", U32)]


RAND = RandDesc.in_dll(lib, "CCSDS_TM_RAND")
RAND_LEGACY = RandDesc.in_dll(lib, "CCSDS_TM_RAND_LEGACY")
CONV = ConvDesc.in_dll(lib, "CCSDS_TM_CONV")
RS = RsDesc.in_dll(lib, "CCSDS_TM_RS")

class RandState(C.Structure):
    _fields_ = [("state", U32), ("taps", U32), ("mask", U32), ("top", U32)]


rand_init = _sig("ccsds_tm_rand_init", C.c_int, C.POINTER(RandState), C.POINTER(RandDesc))
rand_step = _sig("ccsds_tm_rand_step", U8, C.POINTER(RandState))
rand_seq = _sig("ccsds_tm_rand_seq", C.c_int, P, SZ)
rand_seq_with = _sig("ccsds_tm_rand_seq_with", C.c_int, C.POINTER(RandDesc), P, SZ)
randomise_with = _sig("ccsds_tm_randomise_with", C.c_int, C.POINTER(RandDesc), P, SZ)
randomise = _sig("ccsds_tm_randomise", C.c_int, P, SZ)
asm_bits = _sig("ccsds_tm_asm_bits", None, P)
asm_find = _sig("ccsds_tm_asm_find", C.c_int, P, SZ, U32, C.POINTER(AsmResult))
to_dual = _sig("ccsds_tm_rs_conv_to_dual", U8, U8)
to_conv = _sig("ccsds_tm_rs_dual_to_conv", U8, U8)
rs_generator_ccsds = _sig("ccsds_tm_rs_generator", C.POINTER(U8))
rs_encode = _sig("ccsds_tm_rs_encode", C.c_int, P, P)
rs_codeword_ok = _sig("ccsds_tm_rs_codeword_ok", C.c_int, P)
rs_decode = _sig("ccsds_tm_rs_decode", C.c_int, P)
rs_encode_block = _sig("ccsds_tm_rs_encode_block", SZ, P, U32, P)
rs_decode_block = _sig("ccsds_tm_rs_decode_block", SZ, P, U32, C.POINTER(RsStats))

g_code_valid = _sig("rs_code_valid", C.c_int, C.POINTER(RsDesc))
g_code_bytes = _sig("rs_code_bytes", SZ)
g_init = _sig("rs_init", C.c_int, P, C.POINTER(RsDesc))
g_generator = _sig("rs_generator", C.POINTER(U8), P)
g_encode = _sig("rs_encode", C.c_int, P, P, P)
g_syndromes = _sig("rs_syndromes", C.c_int, P, P, P)
g_codeword_ok = _sig("rs_codeword_ok", C.c_int, P, P)
g_decode = _sig("rs_decode", C.c_int, P, P)

conv_code_valid = _sig("conv_code_valid", C.c_int, C.POINTER(ConvDesc))
conv_outputs = _sig("conv_outputs", U32, C.POINTER(ConvDesc), U32, U8)
conv_encode = _sig("conv_encode", SZ, C.POINTER(U32), C.POINTER(ConvDesc), P, SZ, P, SZ)

frame_layout = _sig("ccsds_tm_frame_layout", U64, C.POINTER(FrameCfg), U64, C.POINTER(FrameLayout))
frame_encode = _sig("ccsds_tm_frame_encode", U64, C.POINTER(FrameCfg), C.POINTER(U32), P, U64, P, U64)
frame_decode = _sig("ccsds_tm_frame_decode", U64, C.POINTER(FrameCfg), P, U64, P, U64, C.POINTER(FrameStats))
frame_ops = _sig("ccsds_tm_frame_ops", C.c_int, C.POINTER(FrameOps), P)
frame_describe = _sig("ccsds_tm_frame_describe", C.c_int, C.POINTER(FrameCfg), U64, P, C.POINTER(FrameDescC))
frame_desc_of = _sig("ccsds_tm_frame_desc_of", C.c_int, C.POINTER(FramePlan), C.POINTER(FrameDescC))


class RsCode:
    """A generic code built into caller-owned memory."""

    def __init__(self, desc):
        self.mem = np.zeros(g_code_bytes() + 64, np.uint8)
        off = (-self.mem.ctypes.data) % 64
        self.h = self.mem[off:].ctypes.data_as(P)
        self.rc = g_init(self.h, C.byref(desc))
        self.nn = (1 << desc.m) - 1
        self.k = self.nn - desc.nroots


def bits_of(octets):
    return np.unpackbits(np.asarray(octets, np.uint8))


def octets_of(bits):
    return np.packbits(np.asarray(bits, np.uint8) & 1)


def load_libfec():
    """libfec through ctypes, or None when the library is not installed."""
    path = ctypes.util.find_library("fec")
    if path is None:
        return None
    fec = C.CDLL(path)
    fec.encode_rs_ccsds.argtypes = [P, P, C.c_int]
    fec.encode_rs_ccsds.restype = None
    fec.decode_rs_ccsds.argtypes = [P, P, C.c_int, C.c_int]
    fec.decode_rs_ccsds.restype = C.c_int
    fec.set_viterbi27_polynomial.argtypes = [P]
    fec.set_viterbi27_polynomial.restype = None
    fec.create_viterbi27.argtypes = [C.c_int]
    fec.create_viterbi27.restype = P
    fec.init_viterbi27.argtypes = [P, C.c_int]
    fec.update_viterbi27_blk.argtypes = [P, P, C.c_int]
    fec.chainback_viterbi27.argtypes = [P, P, C.c_uint, C.c_uint]
    fec.delete_viterbi27.argtypes = [P]
    fec.delete_viterbi27.restype = None
    return fec


__all__ = ["ptr", "SZ"]
