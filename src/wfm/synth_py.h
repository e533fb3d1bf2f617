// Binding of the synthesis engine (_SynthEngine). Included once, from wfm_ext.cpp,
// after the binding frame.
#pragma once
#include <cstring>
#include <limits>
#include <type_traits>

#include "wfm/dsss_core.h"
#include "wfm/wfm_synth_core.h"

namespace synth_py {

namespace py = sx::py;

using SynthObj = py::Object<wfm_synth, wfm_synth_destroy>;
using SynthState = py::StateMethods<SynthObj, wfm_synth_state_bytes, wfm_synth_get_state, wfm_synth_set_state>;

constexpr const char *kSetBitsMsg = "set_bits: empty pattern, modulation not in 0..2, or not a bits synth";
constexpr const char *kSetDsssContMsg =
    "set_dsss_cont: invalid geometry (need a code, chips_per_symbol >= 1, a payload for data='bits', a valid "
    "pn_length for data='prbs'), or not a dsss synth";

inline int SynthEngine_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"type", "snr_mode", "fs", "freq", "snr", "seed", "sps",
                                   "pn_length", "pn_poly", "lfsr", "f_end", nullptr};
    const char *type = "tone", *snr_mode = "auto", *lfsr = "galois";
    double fs = 1000000.0, freq = 0.0, snr = 100.0, f_end = 0.0;
    uint64_t seed = 0, pn_poly = 0;
    int sps = 8, pn_length = 7;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|ssdddO&iiO&sd", const_cast<char **>(kwlist), &type, &snr_mode, &fs,
                                     &freq, &snr, py::to_u64, &seed, &sps, &pn_length, py::to_u64, &pn_poly, &lfsr,
                                     &f_end))
        return -1;
    const int t = py::option_index("type", type,
                                   {"tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss"});
    if (t < 0) return -1;
    const int mode = py::option_index("snr_mode", snr_mode, {"auto", "fs", "ebno", "esno"});
    if (mode < 0) return -1;
    int form;
    if (std::strcmp(lfsr, "galois") == 0) {
        form = 0;
    } else if (std::strcmp(lfsr, "fibonacci") == 0) {
        form = 1;
    } else {
        PyErr_Format(PyExc_ValueError, "lfsr must be \"galois\" or \"fibonacci\", got '%s'", lfsr);
        return -1;
    }
    wfm_synth *h = wfm_synth_create(t, mode, static_cast<uint32_t>(seed), sps, pn_length, pn_poly, fs, freq, snr,
                                    f_end, form);
    return py::adopt<SynthObj>(self, h, "wfm_synth_create");
}

inline PyObject *step(PyObject *self, PyObject *) {
    py::Call<SynthObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    float v[2];
    wfm_synth_step(h, v);
    return PyComplex_FromDoubles(v[0], v[1]);
}

inline PyObject *steps(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"", "out", nullptr};
    size_t n = 1;
    PyObject *out = nullptr;
    py::Call<SynthObj> c(self);
    auto *h = c.args(args, kw, "|O&O:steps", kwlist, py::to_size, &n, &out);
    if (h == nullptr) return nullptr;
    if (!py::count_ok(n, "steps: n")) return nullptr;
    py::Output res;
    if (!res.prepare(out, NPY_COMPLEX64, n)) return nullptr;
    float *y = res.data<float>();
    c.run(n, [&] { wfm_synth_steps(h, y, n); });
    return res.finish(n);
}

// Refuses a configuration setter on an engine of another waveform type: the
// engine would silently ignore it.
inline bool type_is(wfm_synth *h, uint32_t want, const char *msg) {
    if (wfm_synth_get_wtype(h) == want) return true;
    py::raise_status(PyExc_ValueError, msg, -1);
    return false;
}

// set_rrc(taps) / set_symbols(symbols): one array, converted to Typenum.
template <int Typenum, auto Set, const char *Msg, uint32_t Want> PyObject *set_array(PyObject *self, PyObject *arg) {
    py::Input in;
    py::Call<SynthObj> c(self);
    auto *h = c.convert([&] { return in.convert(arg, Typenum); });
    if (h == nullptr || (Want != UINT32_MAX && !type_is(h, Want, Msg))) return nullptr;
    const int rc = Set(h, in.data<float>(), in.size());
    return rc != 0 ? py::raise_status(PyExc_ValueError, Msg, rc) : py::none();
}
inline constexpr char kSetRrc[] = "set_rrc: empty taps or alloc failed";
inline constexpr char kSetSymbols[] = "set_symbols: empty stream or not a symbols synth";

inline PyObject *set_bits(PyObject *self, PyObject *args) {
    py::Input pattern;
    int modulation = 1;
    py::Call<SynthObj> c(self);
    auto *h = c.positional(args, "O&|i:set_bits", py::convert_input<NPY_UINT8>, &pattern, &modulation);
    if (h == nullptr || !type_is(h, WFM_SYNTH_BITS, kSetBitsMsg)) return nullptr;
    const int rc = wfm_synth_set_bits(h, pattern.data<uint8_t>(), pattern.size(), modulation);
    return rc != 0 ? py::raise_status(PyExc_ValueError, kSetBitsMsg, rc) : py::none();
}

inline PyObject *set_dsss_cont(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"code", "chips_per_symbol", "data", "payload", nullptr};
    py::Input code, payload;
    double cps;
    const char *data = "prbs";
    PyObject *payload_obj = Py_None;
    int mode = WFM_DSSS_DATA_PRBS;
    py::Call<SynthObj> c(self);
    auto *h = c.convert([&] {
        if (!PyArg_ParseTupleAndKeywords(args, kw, "O&d|sO", const_cast<char **>(kwlist),
                                         py::convert_input<NPY_UINT8>, &code, &cps, &data, &payload_obj))
            return false;
        if (payload_obj != Py_None) {
            mode = WFM_DSSS_DATA_BITS;
            return payload.convert(payload_obj, NPY_UINT8);
        }
        const int m = std::strcmp(data, "none") == 0   ? WFM_DSSS_DATA_NONE
                      : std::strcmp(data, "prbs") == 0 ? WFM_DSSS_DATA_PRBS
                      : std::strcmp(data, "bits") == 0 ? WFM_DSSS_DATA_BITS
                                                        : -1;
        if (m < 0) PyErr_SetString(PyExc_ValueError, "set_dsss_cont: data must be 'none', 'prbs', or 'bits'");
        mode = m;
        return m >= 0;
    });
    if (h == nullptr || !type_is(h, WFM_SYNTH_DSSS, kSetDsssContMsg)) return nullptr;
    const bool with_payload = payload_obj != Py_None;
    const int rc = wfm_synth_set_dsss_cont(h, code.data<uint8_t>(), code.size(), mode,
                                           with_payload ? payload.data<uint8_t>() : nullptr,
                                           with_payload ? payload.size() : 0, cps);
    return rc != 0 ? py::raise_status(PyExc_ValueError, kSetDsssContMsg, rc) : py::none();
}

constexpr const char *kSetDsssMsg =
    "set_dsss: invalid burst geometry (frame bits need a data code; burst must be non-empty), or not a dsss synth";

// An optional bit array: None is an empty one.
inline bool optional_bits(py::Input &in, PyObject *obj) {
    if (obj != Py_None) return in.convert(obj, NPY_UINT8);
    PyObject *empty = PyTuple_New(0);
    const bool ok = empty != nullptr && in.convert(empty, NPY_UINT8);
    Py_XDECREF(empty);
    return ok;
}

inline PyObject *set_dsss(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"acq_code", "acq_reps", "data_code", "payload", "sync", "crc", nullptr};
    PyObject *acq_obj = Py_None, *data_obj = Py_None, *payload_obj = Py_None, *sync_obj = Py_None;
    long long acq_reps = 1;
    int crc = 1;
    py::Input acq, data, payload, sync;
    py::Call<SynthObj> c(self);
    auto *h = c.convert([&] {
        return PyArg_ParseTupleAndKeywords(args, kw, "|OLOOOi:set_dsss", const_cast<char **>(kwlist), &acq_obj,
                                           &acq_reps, &data_obj, &payload_obj, &sync_obj, &crc) &&
               optional_bits(acq, acq_obj) && optional_bits(data, data_obj) && optional_bits(payload, payload_obj) &&
               optional_bits(sync, sync_obj);
    });
    if (h == nullptr || !type_is(h, WFM_SYNTH_DSSS, kSetDsssMsg)) return nullptr;
    const uint64_t reps = acq_reps < 0 ? 0 : static_cast<uint64_t>(acq_reps);
    const int rc = wfm_synth_set_dsss(h, acq.data<uint8_t>(), acq.size(), reps, data.data<uint8_t>(), data.size(),
                                      sync.data<uint8_t>(), sync.size(), payload.data<uint8_t>(), payload.size(),
                                      crc);
    return rc != 0 ? py::raise_status(PyExc_ValueError, kSetDsssMsg, rc) : py::none();
}

// Accessors ------------------------------------------------------------------------

// An integer setter the core may refuse (-1) for a value it cannot run with.
template <auto Set, const char *Name, const char *Why> PyObject *set_int(PyObject *self, PyObject *arg) {
    long long v = 0;
    py::Call<SynthObj> c(self);
    auto *h = c.convert([&] { return !((v = PyLong_AsLongLong(arg)) == -1 && PyErr_Occurred()); });
    if (h == nullptr) return nullptr;
    int rc = -1;
    using Arg = std::conditional_t<std::is_same_v<decltype(Set), int (*)(wfm_synth *, uint32_t)>, uint32_t, int>;
    if (v >= static_cast<long long>(std::numeric_limits<Arg>::min()) &&
        v <= static_cast<long long>(std::numeric_limits<Arg>::max()))
        rc = Set(h, static_cast<Arg>(v));
    if (rc != 0) {
        PyErr_Format(PyExc_ValueError, "%s: %s (rc=%d)", Name, Why, rc);
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <auto Set> PyObject *set_float(PyObject *self, PyObject *arg) {
    double v = 0.0;
    py::Call<SynthObj> c(self);
    auto *h = c.convert([&] { return !((v = PyFloat_AsDouble(arg)) == -1.0 && PyErr_Occurred()); });
    if (h == nullptr) return nullptr;
    Set(h, static_cast<float>(v));
    Py_RETURN_NONE;
}

inline constexpr char kWtype[] = "set_wtype";
inline constexpr char kWtypeWhy[] = "waveform type not in 0..8, or a PN type without a PN polynomial";
inline constexpr char kNsps[] = "set_nsps";
inline constexpr char kNspsWhy[] = "samples per symbol must be >= 1";
inline constexpr char kSymPos[] = "set_sym_pos";
inline constexpr char kSymPosWhy[] = "position must be in 0..nsps-1";

inline PyMethodDef methods[] = {
    py::m_reset<SynthObj, wfm_synth_reset>(
        "reset()\n--\n\nBack to sample 0: positions, held symbol, filter, oscillator, noise and PN restart."),
    py::method_noargs("step", step, "step()\n--\n\nThe next sample as a complex."),
    py::method_kw("steps", steps,
                  "steps(n=1, /, out=None)\n--\n\nThe next n samples as a complex64 array (equal to n step() calls;\n"
                  "the first block of a chirp fixes its sweep length to n). n above 2**28 raises ValueError.\n"
                  "With out (a writable, C-contiguous complex64 array of at least n elements) the\n"
                  "samples are written there and a view of the n written is returned."),
    py::method_o("set_rrc", set_array<NPY_FLOAT32, wfm_synth_set_rrc, kSetRrc, UINT32_MAX>,
                 "set_rrc(taps, /)\n--\n\nPulse shaping with real taps (scaled by sqrt(sps)): polyphase for a\n"
                 "power-of-two sps, zero-stuffed FIR otherwise. Ignored by tone, noise and chirp."),
    py::method_o("set_symbols", set_array<NPY_COMPLEX64, wfm_synth_set_symbols, kSetSymbols, WFM_SYNTH_SYMBOLS>,
                 "set_symbols(symbols, /)\n--\n\nThe complex64 symbol list a \"symbols\" engine plays cyclically."),
    py::method_varargs("set_bits", set_bits,
                       "set_bits(pattern, modulation=1, /)\n--\n\nThe bit pattern a \"bits\" engine plays cyclically,\n"
                       "modulation bits per symbol (0 on-off, 1 BPSK, 2 QPSK, 3 8-PSK; Gray coded)."),
    py::method_kw("set_dsss", set_dsss,
                  "set_dsss(acq_code=None, acq_reps=1, data_code=None, payload=None, sync=None, crc=1)\n--\n\n"
                  "Burst spreading on a \"dsss\" engine: acq_code repeated acq_reps times unmodulated, then\n"
                  "every bit of the frame [sync | payload | CRC-16 of the payload when crc] spreads data_code\n"
                  "(a 1 bit inverts it). The burst repeats back to back; chip 0 plays +1, chip 1 plays -1.\n"
                  "None is an empty array; a negative acq_reps counts as 0."),
    py::method_kw("set_dsss_cont", set_dsss_cont,
                  "set_dsss_cont(code, chips_per_symbol, data=\"prbs\", payload=None)\n--\n\n"
                  "Continuous spreading on a \"dsss\" engine: each data symbol (chips_per_symbol >= 1 chips,\n"
                  "may be fractional) XORs the code; data \"none\", \"prbs\" (the engine's PN) or \"bits\"\n"
                  "(the payload; a payload given forces \"bits\")."),
    py::m_value<SynthObj, wfm_synth_get_wtype, py::I64>("get_wtype", "get_wtype()\n--\n\nWaveform type, 0..8."),
    py::method_o("set_wtype", set_int<wfm_synth_set_wtype, kWtype, kWtypeWhy>,
                 "set_wtype(wtype, /)\n--\n\nSwitch the waveform type (a PN type builds its register if needed)."),
    py::m_value<SynthObj, wfm_synth_get_nsps, py::I64>("get_nsps", "get_nsps()\n--\n\nSamples per symbol."),
    py::method_o("set_nsps", set_int<wfm_synth_set_nsps, kNsps, kNspsWhy>,
                 "set_nsps(nsps, /)\n--\n\nSamples per symbol, >= 1 (a hold past it restarts at the next symbol)."),
    py::m_value<SynthObj, wfm_synth_get_sym_pos, py::I64>("get_sym_pos",
                      "get_sym_pos()\n--\n\nPosition inside the current symbol hold."),
    py::method_o("set_sym_pos", set_int<wfm_synth_set_sym_pos, kSymPos, kSymPosWhy>,
                 "set_sym_pos(pos, /)\n--\n\nPosition inside the symbol hold, 0..nsps-1."),
    py::m_value<SynthObj, wfm_synth_get_cur_re, py::F64>("get_cur_re", "get_cur_re()\n--\n\nHeld symbol, real part."),
    py::method_o("set_cur_re", set_float<wfm_synth_set_cur_re>,
                 "set_cur_re(v, /)\n--\n\nHeld symbol, real part (single precision)."),
    py::m_value<SynthObj, wfm_synth_get_cur_im, py::F64>("get_cur_im",
                      "get_cur_im()\n--\n\nHeld symbol, imaginary part."),
    py::method_o("set_cur_im", set_float<wfm_synth_set_cur_im>,
                 "set_cur_im(v, /)\n--\n\nHeld symbol, imaginary part (single precision)."),
    SynthState::state_bytes(),
    SynthState::get_state(),
    SynthState::set_state(),
    py::m_destroy<SynthObj>(),
    py::m_enter<SynthObj>(),
    py::m_exit<SynthObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyTypeObject Type = py::make_type<SynthObj>(
    "tessel._SynthEngine",
    "_SynthEngine(type=\"tone\", snr_mode=\"auto\", fs=1000000.0, freq=0.0, snr=100.0, seed=0, sps=8,\n"
    "             pn_length=7, pn_poly=0, lfsr=\"galois\", f_end=0.0)\n--\n\n"
    "Streaming signal source: symbol (held, FIR-shaped or polyphase-interpolated) times carrier\n"
    "(oscillator at freq, or a chirp from freq to f_end) plus noise calibrated to snr [dB].\n"
    "type: tone, noise, pn, bpsk, qpsk, chirp, bits, symbols, dsss. snr_mode: auto, fs, ebno, esno\n"
    "(snr >= 100 means no noise). Only the low 32 bits of seed are used.",
    methods, nullptr, SynthEngine_init);

}  // namespace synth_py
