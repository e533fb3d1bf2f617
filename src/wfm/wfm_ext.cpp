// The wfm extension module: sequence generators and the synthesis engine.
#include "core/sx_count_ceiling.h"
#include "core/sx_pyframe.h"
#include "wfm/awgn_core.h"
#include "wfm/ccsds_asm_core.h"
#include "wfm/crc16_core.h"
#include "wfm/gold_core.h"
#include "wfm/map_core.h"
#include "wfm/pn_core.h"
#include "wfm/pulse_core.h"
#include "wfm/synth_py.h"
#include "wfm/frame_py.h"
#include "wfm/viterbi_py.h"

namespace py = sx::py;

namespace {

// ----------------------------------------------------------------------------
// Chip generators (PN, Gold): generate(count=1, out=None) -> uint8 chips

template <class O, auto Generate, auto MaxOut>
constexpr auto generate = py::generate<O, NPY_UINT8, Generate, py::Capped<py::ByMaxOut<MaxOut>>>;

constexpr const char *kGenerateDoc =
    "generate(count=1, out=None)\n--\n\n"
    "Next `count` chips as a uint8 array (0 or 1); successive calls continue the sequence.\n"
    "count above 2**28 raises ValueError.";
constexpr const char *kMaxOutDoc = "generate_max_out()\n--\n\nAlways 0: the generator writes as many chips as asked.";

// PN ----------------------------------------------------------------------------

using PNObj = py::Object<pn, pn_destroy>;
using PNState = py::StateMethods<PNObj, pn_state_bytes, pn_get_state, pn_set_state>;

int PN_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"poly", "seed", "length", "lfsr", nullptr};
    uint64_t poly = 0, seed = 0;
    uint32_t length = 0;
    const char *lfsr = "galois";
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&O&O&s", const_cast<char **>(kwlist), py::to_u64, &poly,
                                     py::to_u64, &seed, py::to_u32, &length, &lfsr))
        return -1;
    const int form = py::option_index("lfsr", lfsr, {"galois", "fibonacci"});
    if (form < 0) return -1;
    if (poly == 0 && length > 1) poly = mls_poly(length);
    pn *h = pn_create(poly, seed, length, form);
    return py::adopt<PNObj>(self, h, "pn_create");
}

PyMethodDef PN_methods[] = {
    py::m_reset<PNObj, pn_reset>("reset()\n--\n\nRestart from the seed."),
    py::method_kw("generate", generate<PNObj, pn_generate, pn_generate_max_out>, kGenerateDoc),
    py::m_size<PNObj, pn_generate_max_out>("generate_max_out", kMaxOutDoc),
    PNState::state_bytes(),
    PNState::get_state(),
    PNState::set_state(),
    py::m_destroy<PNObj>(),
    py::m_enter<PNObj>(),
    py::m_exit<PNObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject PNType = py::make_type<PNObj>(
    "wfm.PN",
    "PN(poly=0, seed=0, length=0, lfsr=\"galois\")\n--\n\n"
    "Maximal-length shift-register sequence. poly 0 with length > 1 takes mls_poly(length);\n"
    "seed must be non-zero and length 1..64; lfsr is \"galois\" or \"fibonacci\".",
    PN_methods, nullptr, PN_init);

// Gold --------------------------------------------------------------------------

using GoldObj = py::Object<gold, gold_destroy>;
using GoldState = py::StateMethods<GoldObj, gold_state_bytes, gold_get_state, gold_set_state>;

int Gold_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"taps_a", "seed_a", "taps_b", "seed_b", "length", nullptr};
    uint64_t taps_a = 934, seed_a = 350, taps_b = 567, seed_b = 73;
    uint32_t length = 10;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&O&O&O&O&", const_cast<char **>(kwlist), py::to_u64, &taps_a,
                                     py::to_u64, &seed_a, py::to_u64, &taps_b, py::to_u64, &seed_b, py::to_u32,
                                     &length))
        return -1;
    gold *h = gold_create(taps_a, seed_a, taps_b, seed_b, length);
    return py::adopt<GoldObj>(self, h, "gold_create");
}

PyMethodDef Gold_methods[] = {
    py::m_reset<GoldObj, gold_reset>("reset()\n--\n\nRestart both registers from their seeds."),
    py::method_kw("generate", generate<GoldObj, gold_generate, gold_generate_max_out>, kGenerateDoc),
    py::m_size<GoldObj, gold_generate_max_out>("generate_max_out", kMaxOutDoc),
    GoldState::state_bytes(),
    GoldState::get_state(),
    GoldState::set_state(),
    py::m_destroy<GoldObj>(),
    py::m_enter<GoldObj>(),
    py::m_exit<GoldObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject GoldType = py::make_type<GoldObj>(
    "wfm.Gold",
    "Gold(taps_a=934, seed_a=350, taps_b=567, seed_b=73, length=10)\n--\n\n"
    "Gold code from two Fibonacci registers stepped in lock-step; the defaults give CCSDS\n"
    "Gold code #365 (period 1023).",
    Gold_methods, nullptr, Gold_init);

// Module functions ---------------------------------------------------------------

PyObject *m_mls_poly(PyObject *, PyObject *arg) {
    int overflow = 0;  // an integer beyond long long is outside 2..64 as well
    const long long n = PyLong_AsLongLongAndOverflow(arg, &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (overflow != 0) return PyLong_FromLong(0);
    return PyLong_FromUnsignedLongLong((n < 2 || n > 64) ? 0 : mls_poly(static_cast<uint32_t>(n)));
}

// bits (uint8) -> complex64 symbols, one per input element.
template <void (*Map)(const uint8_t *, size_t, float *)> PyObject *m_map(PyObject *, PyObject *arg) {
    py::Input in;
    if (!in.convert(arg, NPY_UINT8)) return nullptr;
    PyObject *out = py::new_array(NPY_COMPLEX64, in.size());
    if (out == nullptr) return nullptr;
    Map(in.data<uint8_t>(), in.size(), py::array_data<float>(out));
    return out;
}

PyObject *m_awgn_amplitude(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"snr_db", "signal_power", nullptr};
    float snr_db, power;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "ff", const_cast<char **>(kwlist), &snr_db, &power)) return nullptr;
    return PyFloat_FromDouble(wfm_awgn_amplitude(snr_db, power));
}

PyObject *m_ebno_to_snr_db(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ebno_db", "bits_per_symbol", "samples_per_symbol", nullptr};
    float ebno_db, sps;
    int bps;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "fif", const_cast<char **>(kwlist), &ebno_db, &bps, &sps))
        return nullptr;
    return PyFloat_FromDouble(wfm_ebno_to_snr_db(ebno_db, bps, sps));
}

PyObject *m_ccsds_asm_bits(PyObject *, PyObject *) {
    PyObject *out = py::new_array(NPY_UINT8, 32);
    if (out == nullptr) return nullptr;
    ccsds_asm_bits(py::array_data<uint8_t>(out));
    return out;
}

PyObject *m_crc16(PyObject *, PyObject *arg) {
    py::Input in;
    if (!in.convert(arg, NPY_UINT8)) return nullptr;
    return PyLong_FromLong(crc16(in.data<uint8_t>(), in.size()));
}

// t (float64, any shape, flattened), beta -> float64 pulse values.
template <void (*Pulse)(const double *, size_t, double *, double)>
PyObject *m_pulse(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"t", "beta", nullptr};
    py::Input t;
    double beta;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&d", const_cast<char **>(kwlist), py::convert_input<NPY_FLOAT64>,
                                     &t, &beta))
        return nullptr;
    PyObject *out = py::new_array(NPY_FLOAT64, t.size());
    if (out == nullptr) return nullptr;
    Pulse(t.data<double>(), t.size(), py::array_data<double>(out), beta);
    return out;
}

PyObject *m_rrc_taps(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"beta", "sps", "span", nullptr};
    double beta;
    int sps, span;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "dii", const_cast<char **>(kwlist), &beta, &sps, &span))
        return nullptr;
    long long prod;
    if (__builtin_mul_overflow(static_cast<long long>(sps), static_cast<long long>(span), &prod) ||
        prod > (PY_SSIZE_T_MAX / 8 - 1) / 2) {
        PyErr_SetString(PyExc_OverflowError, "rrc_taps: 2*span*sps + 1 taps do not fit in memory");
        return nullptr;
    }
    // Zero or two negative lengths give the documented zeros; a negative count cannot be made.
    if (prod < 0) {
        PyErr_Format(PyExc_ValueError,
                     "rrc_taps: sps=%d and span=%d give 2*span*sps + 1 = %lld taps, a negative count", sps, span,
                     2 * prod + 1);
        return nullptr;
    }
    if (prod > 0 && !py::count_ok(static_cast<uint64_t>(2 * prod + 1), "rrc_taps: 2*span*sps + 1 =")) return nullptr;
    npy_intp n = static_cast<npy_intp>(2 * prod + 1);
    PyObject *out = PyArray_SimpleNew(1, &n, NPY_FLOAT32);
    if (out == nullptr) return nullptr;
    rrc_taps(sps, span, py::array_data<float>(out), beta);
    return out;
}

PyMethodDef module_methods[] = {
    py::method_o("bpsk_map", m_map<bpsk_map>,
                 "bpsk_map(bits)\n--\n\nBPSK symbols (complex64) of unpacked bits: 0 -> +1, 1 -> -1 (bit 0 read)."),
    py::method_o("qpsk_map", m_map<qpsk_map>,
                 "qpsk_map(syms)\n--\n\nGray QPSK symbols (complex64) of indices 0..3: re from bit 0, im from bit 1,\n"
                 "each +-1/sqrt(2)."),
    py::method_kw("wfm_awgn_amplitude", m_awgn_amplitude,
                  "wfm_awgn_amplitude(snr_db, signal_power)\n--\n\n"
                  "Per-component noise sigma giving snr_db over the full sample rate (single precision)."),
    py::method_kw("wfm_ebno_to_snr_db", m_ebno_to_snr_db,
                  "wfm_ebno_to_snr_db(ebno_db, bits_per_symbol, samples_per_symbol)\n--\n\n"
                  "SNR over fs [dB]: ebno_db + 10 log10(bits_per_symbol) - 10 log10(samples_per_symbol)."),
    py::method_o("mls_poly", m_mls_poly,
                 "mls_poly(n)\n--\n\nPrimitive polynomial tap mask for an n-stage register (n = 2..64), else 0."),
    py::method_noargs("ccsds_asm_bits", m_ccsds_asm_bits,
                      "ccsds_asm_bits()\n--\n\nThe CCSDS attached sync marker 0x1ACFFC1D as 32 unpacked bits."),
    py::method_o("crc16", m_crc16,
                 "crc16(bits)\n--\n\nCRC-16-CCITT (0x1021, init 0xFFFF) of unpacked bits, first bit first."),
    py::method_kw("rrc_h", m_pulse<rrc_h>,
                  "rrc_h(t, beta)\n--\n\nRoot-raised-cosine pulse at times t [symbols] (float64, flattened);\n"
                  "zeros for beta outside [0, 1]."),
    py::method_kw("rc_h", m_pulse<rc_h>,
                  "rc_h(t, beta)\n--\n\nRaised-cosine pulse at times t [symbols]; zeros for beta outside [0, 1]."),
    py::method_kw("rrc_taps", m_rrc_taps,
                  "rrc_taps(beta, sps, span)\n--\n\n2*span*sps + 1 unit-energy RRC taps (float32); zeros when sps\n"
                  "or span is not positive. ValueError when 2*span*sps + 1 would be negative (sps and span of\n"
                  "opposite signs)."),
    py::method_kw("dsss_spread", frame_py::dsss_spread,
                  "dsss_spread(syms, code, sf)\n--\n\nEach complex64 symbol spread to sf chips: -s where code[j] is 1,\n"
                  "else s. Empty for sf <= 0; zeros when the code is shorter than sf."),
    viterbi_py::method(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "wfm",
    "Waveform generation: PN and CCSDS Gold code generators (PN, Gold) and a configurable "
    "modulated-symbol synthesizer",
    -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_wfm(void) {
    return py::make_module(&module_def, {
                                            {"PN", &PNType},
                                            {"_SynthEngine", &synth_py::Type},
                                            {"Gold", &GoldType},
                                            {"Frame", &frame_py::FrameType},
                                            {"FrameDesc", &frame_py::FrameDescType},
                                            {"Viterbi", &viterbi_py::Type},
                                        });
}
