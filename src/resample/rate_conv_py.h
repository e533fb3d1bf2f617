// Python types of the rate-conversion stages and the RateConverter, for the
// resample module: RateConverter, MatchedRateConverter, CIC, Farrow, the four
// halfband decimators, and the ciccompmf design function. Included once, by
// resample_ext.cpp (the NumPy C API table is private to that translation unit).
#pragma once
#include <cmath>
#include <cstring>

#include "core/sx_pyframe.h"
#include "resample/RateConverter_core.h"
#include "resample/cic_core.h"
#include "resample/farrow_core.h"
#include "resample/hbdecim_core.h"
#include "resample/hbdecim_q15_core.h"
#include "resample/hbdecim_r2c_core.h"

namespace rate_py {

namespace py = sx::py;

// Most outputs one call may produce (a bound on what one call allocates).
constexpr size_t kRateOutputLimit = size_t{1} << 28;
constexpr const char *kRcInvalid =
    "RateConverter: invalid parameter (need rate > 0, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a power "
    "of two >= 2)";
constexpr const char *kNarrowPulse =
    "pulse=\"iandd\" with pulse_sps < 4: the rectangle is one symbol wide, so its matched filter is a 2-3 tap sum "
    "here and barely opens the eye (measured on the timing loop this feeds: lock statistic -0.34 at 2 "
    "samples/symbol against +0.95 at 4). Use pulse_sps >= 4, or pulse=\"rrc\".";
constexpr const char *kViewOutMsg = "out must be a writable ndarray of the output dtype";

// Room for a call's outputs: its exact count plus one. A stage that finds its
// output full stops taking input, so a capacity of exactly the count would
// leave the inputs after the last output (and a lone pending sample) unread.
inline size_t room(size_t outputs) { return outputs + 1; }

inline bool too_many(size_t need) {
    if (need == SIZE_MAX || need > kRateOutputLimit) {
        PyErr_Format(PyExc_ValueError, "this call would produce more than %zu outputs; pass shorter blocks",
                     kRateOutputLimit);
        return true;
    }
    return false;
}

// A reusable result buffer: a NumPy array the object holds and every view it
// returns keeps alive, so a result stays valid after destroy(); the next call
// writes over it (results that must last are copied). Replaced by a larger
// array when a call needs more.
struct ViewBuffer {
    PyObject *buf = nullptr;
    ~ViewBuffer() { Py_XDECREF(buf); }
    bool prepare(PyObject *out, size_t need, py::Output &res) {
        if (out != nullptr && out != Py_None) return res.prepare(out, NPY_COMPLEX64, need, kViewOutMsg);
        if (buf == nullptr || static_cast<size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject *>(buf))) < need) {
            PyObject *fresh = py::new_array(NPY_COMPLEX64, need);
            if (fresh == nullptr) return false;
            Py_XSETREF(buf, fresh);
        }
        return res.prepare(buf, NPY_COMPLEX64, need, kViewOutMsg);
    }
};

// ----------------------------------------------------------------------------
// RateConverter and MatchedRateConverter: one object type, two constructors.

using RcObj = py::Object<RateConverter_t, RateConverter_destroy>;
using RcState = py::StateMethods<RcObj, RateConverter_state_bytes, RateConverter_get_state, RateConverter_set_state>;

inline int rc_adopt(PyObject *self, RateConverter_t *h) {
    if (h == nullptr) {
        PyErr_SetString(PyExc_ValueError, kRcInvalid);
        return -1;
    }
    if (RateConverter_get_narrow_pulse(h) && PyErr_WarnEx(PyExc_UserWarning, kNarrowPulse, 1) < 0) {
        RateConverter_destroy(h);
        return -1;
    }
    return py::install<RcObj>(self, h);
}

inline int RateConverter_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"rate", "compensate", nullptr};
    double rate = 1.0;
    int compensate = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|di", const_cast<char **>(kwlist), &rate, &compensate)) return -1;
    return rc_adopt(self, RateConverter_create(compensate, rate));
}

inline int MatchedRateConverter_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"rate", "compensate", "pulse", "beta", "span", "pulse_sps", "num_phases", nullptr};
    double rate = 1.0, beta = 0.35, pulse_sps = 2.0;
    int compensate = 1;
    const char *pulse = "rrc";
    size_t span = 8, num_phases = 1024;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|disdO&dO&", const_cast<char **>(kwlist), &rate, &compensate, &pulse,
                                     &beta, py::to_size, &span, &pulse_sps, py::to_size, &num_phases))
        return -1;
    const int p = py::option_index("pulse", pulse, {"iandd", "rrc"});
    if (p < 0) return -1;
    return rc_adopt(self, RateConverter_create_matched(compensate, p, span, num_phases, rate, beta, pulse_sps));
}

// execute(x, out=None): room for every output of the block (sized from the
// input length and the rate), so an interpolating converter loses nothing.
inline PyObject *RateConverter_execute_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "out", nullptr};
    py::Input x;
    PyObject *out = nullptr;
    py::Call<RcObj> c(self);
    auto *h = c.args(args, kw, "O&|O", kwlist, py::convert_input<NPY_COMPLEX64>, &x, &out);
    if (h == nullptr) return nullptr;
    const size_t n = x.size();
    const size_t outputs = RateConverter_execute_outputs(h, n, kRateOutputLimit);
    if (too_many(outputs)) return nullptr;
    py::Output res;
    if (!res.prepare(out, NPY_COMPLEX64, room(outputs)) || !py::keep_apart(x, res, sizeof(cf32_t))) return nullptr;
    const cf32_t *xs = x.data<cf32_t>();
    cf32_t *y = res.data<cf32_t>();
    const size_t cap = res.capacity();
    return res.finish(c.run(n, [&] { return RateConverter_execute(h, xs, n, y, cap); }));
}

// execute_ctrl(x, ctrl): a new array of every output the block gives at the
// deviated rate.
inline PyObject *RateConverter_execute_ctrl_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "ctrl", nullptr};
    py::Input x;
    double ctrl = 0.0;
    py::Call<RcObj> c(self);
    auto *h = c.args(args, kw, "O&d", kwlist, py::convert_input<NPY_COMPLEX64>, &x, &ctrl);
    if (h == nullptr) return nullptr;
    if (!std::isfinite(ctrl)) {
        PyErr_SetString(PyExc_ValueError, "ctrl must be finite");
        return nullptr;
    }
    const size_t n = x.size();
    const size_t outputs = RateConverter_execute_ctrl_outputs(h, n, ctrl, kRateOutputLimit);
    if (too_many(outputs)) return nullptr;
    const size_t need = room(outputs);
    py::Output res;
    if (!res.prepare(nullptr, NPY_COMPLEX64, need)) return nullptr;
    const cf32_t *xs = x.data<cf32_t>();
    cf32_t *y = res.data<cf32_t>();
    return res.finish(c.run(n, [&] { return RateConverter_execute_ctrl(h, xs, n, y, need, ctrl); }));
}

inline PyObject *RateConverter_execute_ctrl_push_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "ctrl", "out", nullptr};
    Py_complex x{0.0, 0.0};
    double ctrl = 0.0;
    PyObject *out = nullptr;
    py::Call<RcObj> c(self);
    auto *h = c.args(args, kw, "Dd|O", kwlist, &x, &ctrl, &out);
    if (h == nullptr) return nullptr;
    py::Output res;
    if (!res.prepare(out, NPY_COMPLEX64, RateConverter_execute_ctrl_push_max_out(h))) return nullptr;
    const cf32_t s(static_cast<float>(x.real), static_cast<float>(x.imag));
    return res.finish(RateConverter_execute_ctrl_push(h, res.data<cf32_t>(), res.capacity(), s, ctrl));
}

inline int RateConverter_set_rate_py(PyObject *self, PyObject *value, void *) {
    double rate = 0.0;
    py::Call<RcObj> c(self);
    auto *h = c.convert([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "rate cannot be deleted");
            return false;
        }
        rate = PyFloat_AsDouble(value);
        return !(rate == -1.0 && PyErr_Occurred());
    });
    if (h == nullptr) return -1;
    RateConverter_set_rate(h, rate);  // a rate outside [2**-43, 2**32] (or NaN) is ignored
    return 0;
}

inline PyObject *RateConverter_stages_py(PyObject *self, void *) {
    py::Call<RcObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    const int n = RateConverter_num_stages(h);
    PyObject *list = PyList_New(n);
    if (list == nullptr) return nullptr;
    for (int i = 0; i < n; ++i) {
        char label[64];
        if (!RateConverter_stage_label(h, i, label, sizeof label)) {
            Py_DECREF(list);
            PyErr_Format(PyExc_RuntimeError, "stages: RateConverter_stages_value returned NULL at index %zu",
                         static_cast<size_t>(i));
            return nullptr;
        }
        PyObject *s = PyUnicode_FromString(label);
        if (s == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, s);
    }
    return list;
}

inline PyObject *RateConverter_bank_shape_py(PyObject *self, void *) {
    py::Call<RcObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    const int n = RateConverter_num_bank_shape(h);
    PyObject *list = PyList_New(n);
    for (int i = 0; list != nullptr && i < n; ++i) {
        PyObject *v = PyLong_FromSize_t(RateConverter_bank_shape_value(h, i));
        if (v == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, i, v);
    }
    return list;
}

inline PyMethodDef RateConverter_methods[] = {
    py::method_kw("execute", RateConverter_execute_py,
                  "execute(x, out=None)\n--\n\n"
                  "Convert a block of complex64 samples; the state carries across calls. The result\n"
                  "holds every output of the block; out=, when given, must have room for them all\n"
                  "plus one."),
    py::m_size<RcObj, RateConverter_execute_max_out>(
        "execute_max_out", "execute_max_out()\n--\n\nOutputs of a 65536-sample block: 65536*rate + 2, at least 65538."),
    py::method_kw("execute_ctrl", RateConverter_execute_ctrl_py,
                  "execute_ctrl(x, ctrl)\n--\n\n"
                  "Convert with the terminal resampler's rate deviated by ctrl (a timing loop's\n"
                  "steering); a cascade ending in a halfband or CIC ignores ctrl."),
    py::method_kw("execute_ctrl_push", RateConverter_execute_ctrl_push_py,
                  "execute_ctrl_push(x, ctrl, out=None)\n--\n\n"
                  "Push one complex sample with its rate deviation; returns the outputs it completes\n"
                  "(outputs beyond out's room come at the next push)."),
    py::m_size<RcObj, RateConverter_execute_ctrl_push_max_out>(
        "execute_ctrl_push_max_out", "execute_ctrl_push_max_out()\n--\n\nOutputs of one push: rate + 2, at least 3."),
    py::m_reset<RcObj, RateConverter_reset>(),
    RcState::state_bytes(),
    RcState::get_state(),
    RcState::set_state(),
    py::m_destroy<RcObj>(),
    py::m_enter<RcObj>(),
    py::m_exit<RcObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef RateConverter_getset[] = {
    py::prop("rate", py::do_get<RcObj, RateConverter_get_rate, py::F64>,
             "Output-to-input ratio; setting it re-plans the cascade (a rate outside [2**-43, 2**32] is ignored).",
             RateConverter_set_rate_py),
    py::prop<RcObj, RateConverter_get_clipped, py::Bool>("clipped", "A CIC stage saw input outside [-2, 2)."),
    py::prop<RcObj, RateConverter_terminal_rate, py::F64>(
        "terminal_rate", "Ratio of the terminal resampler, the stage a ctrl deviation is added to (0 when the plan "
                         "ends in another stage)."),
    py::prop<RcObj, RateConverter_get_narrow_pulse, py::Bool>("narrow_pulse",
                                                              "Rectangular pulse with pulse_sps < 4."),
    py::prop("stages", RateConverter_stages_py, "Labels of the planned stages, in order."),
    py::prop("bank_shape", RateConverter_bank_shape_py,
             "[num_phases, num_taps] of the terminal resampler, [] when the last stage is not one."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject RateConverterType = py::make_type<RcObj>(
    "resample.RateConverter",
    "RateConverter(rate=1.0, compensate=0)\n--\n\n"
    "Multi-stage sample-rate converter for complex64 samples: halfband decimators for 2\n"
    "and 4, a CIC decimator (with its droop compensator when compensate is set) for 8 to\n"
    "2048, a polyphase resampler for the fractional rest.",
    RateConverter_methods, RateConverter_getset, RateConverter_init_py);

inline PyTypeObject MatchedRateConverterType = py::make_type<RcObj>(
    "resample.MatchedRateConverter",
    "MatchedRateConverter(rate=1.0, compensate=1, pulse=\"rrc\", beta=0.35, span=8, pulse_sps=2.0,\n"
    "                     num_phases=1024)\n--\n\n"
    "RateConverter ending in a resampler whose bank is the matched filter of the pulse\n"
    "(\"rrc\": root-raised-cosine of roll-off beta over 2*span symbols; \"iandd\": a\n"
    "one-symbol rectangle), designed at the terminal stage's rate for pulse_sps output\n"
    "samples per symbol.",
    RateConverter_methods, RateConverter_getset, MatchedRateConverter_init_py);

// ----------------------------------------------------------------------------
// CIC

using CicObj = py::Object<cic_t, cic_destroy>;
using CicState = py::StateMethods<CicObj, cic_state_bytes, cic_get_state, cic_set_state>;

inline int CIC_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"R", nullptr};
    uint32_t R = 16;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&", const_cast<char **>(kwlist), py::to_u32, &R)) return -1;
    return py::adopt<CicObj>(self, cic_create(R), "cic_create");
}

inline PyObject *CIC_reconfigure_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"R", nullptr};
    uint32_t R = 0;
    py::Call<CicObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::to_u32, &R);
    if (h == nullptr) return nullptr;
    const int rc = cic_reconfigure(h, R);
    if (rc != 0) return py::raise_status(PyExc_ValueError, "reconfigure: R must be a power of two from 2 to 2048", rc);
    Py_RETURN_NONE;
}

inline constexpr char kArgX[] = "x";

inline PyMethodDef CIC_methods[] = {
    py::method_kw("decimate",
                  py::execute<CicObj, NPY_COMPLEX64, NPY_COMPLEX64, cic_decimate, py::ByMaxOut<cic_decimate_max_out>>,
                  "decimate(x, out=None)\n--\n\n"
                  "Decimate complex64 samples by R; one output per R inputs across calls. Components\n"
                  "outside [-2, 2) are clipped and set the sticky clipped flag."),
    py::m_size<CicObj, cic_decimate_max_out>("decimate_max_out",
                                             "decimate_max_out()\n--\n\n0: out is sized from the input."),
    py::method_kw("reconfigure", CIC_reconfigure_py,
                  "reconfigure(R)\n--\n\nNew ratio (a power of two from 2 to 2048), then a reset."),
    py::m_reset<CicObj, cic_reset>(),
    CicState::state_bytes(),
    CicState::get_state(),
    CicState::set_state(),
    py::m_destroy<CicObj>(),
    py::m_enter<CicObj>(),
    py::m_exit<CicObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef CIC_getset[] = {
    py::prop<CicObj, cic_get_R, py::U64>("R", "Decimation ratio."),
    py::prop<CicObj, cic_get_shift, py::U64>("shift", "Normalisation shift, 4*log2(R)."),
    py::prop<CicObj, cic_get_clipped, py::Bool>("clipped", "An input component was out of range since reset."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject CICType = py::make_type<CicObj>(
    "resample.CIC",
    "CIC(R=16)\n--\n\n"
    "Four-stage CIC decimator for complex64 samples, R a power of two from 2 to 2048,\n"
    "exact in 16-bit offset binary with unit DC gain.",
    CIC_methods, CIC_getset, CIC_init_py);

// ----------------------------------------------------------------------------
// Farrow

using FarrowObj = py::Object<farrow_t, farrow_destroy, ViewBuffer>;
using FarrowState = py::StateMethods<FarrowObj, farrow_state_bytes, farrow_get_state, farrow_set_state>;

inline int Farrow_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"order", nullptr};
    const char *order = "cubic";
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|s", const_cast<char **>(kwlist), &order)) return -1;
    const int o = py::option_index("order", order, {"linear", "parabolic", "cubic"});
    if (o < 0) return -1;
    return py::adopt<FarrowObj>(self, farrow_create(o), "farrow_create");
}

// delay(x, mu, out=None): the interpreter lock is released while the block runs.
inline PyObject *Farrow_delay_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "mu", "out", nullptr};
    py::Input x;
    double mu = 0.0;
    PyObject *out = nullptr;
    py::Call<FarrowObj> c(self);
    auto *h = c.args(args, kw, "O&d|O", kwlist, py::convert_input<NPY_COMPLEX64>, &x, &mu, &out);
    if (h == nullptr) return nullptr;
    const size_t n = x.size();
    py::Output res;
    if (!c.object()->x.prepare(out, n, res) || !py::keep_apart(x, res, sizeof(cf32_t))) return nullptr;
    const cf32_t *xs = x.data<cf32_t>();
    cf32_t *y = res.data<cf32_t>();
    const size_t cap = res.capacity();
    return res.finish(c.unlocked([&] { return farrow_delay(h, xs, n, y, cap, mu); }));
}

inline PyMethodDef Farrow_methods[] = {
    py::method_kw("delay", Farrow_delay_py,
                  "delay(x, mu, out=None)\n--\n\n"
                  "Delay complex64 samples by 2 + mu samples (mu, normally in [0, 1], may change from\n"
                  "call to call). Without out the result is a view into a buffer the next call\n"
                  "reuses (it stays valid after destroy(); copy it to keep it past the next call)."),
    py::m_size<FarrowObj, farrow_delay_max_out>("delay_max_out",
                                                "delay_max_out()\n--\n\n0: one output per input."),
    py::m_reset<FarrowObj, farrow_reset>(),
    FarrowState::state_bytes(),
    FarrowState::get_state(),
    FarrowState::set_state(),
    py::m_destroy<FarrowObj>(),
    py::m_enter<FarrowObj>(),
    py::m_exit<FarrowObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef Farrow_getset[] = {
    py::prop<FarrowObj, farrow_get_group_delay, py::I64>("group_delay", "Delay of the structure in samples (2)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject FarrowType = py::make_type<FarrowObj>(
    "resample.Farrow",
    "Farrow(order=\"cubic\")\n--\n\n"
    "Fractional delay of complex64 samples by a \"linear\", \"parabolic\" or \"cubic\"\n"
    "polynomial over a four-sample delay line.",
    Farrow_methods, Farrow_getset, Farrow_init_py);

// ----------------------------------------------------------------------------
// Halfband decimators

// h as a 1-D float32 array (its length is the branch length).
inline bool branch_taps(PyObject *h, py::Input &taps) {
    if (!taps.convert(h, NPY_FLOAT32)) return false;
    if (taps.ndim() != 1) {
        PyErr_SetString(PyExc_ValueError, "h must be a 1-D float32 array");
        return false;
    }
    return true;
}

template <class O, class Core, Core *(*Create)(size_t, const float *)>
int hb_init(PyObject *self, PyObject *args, PyObject *kw, const char *create_name) {
    static const char *kwlist[] = {"h", nullptr};
    PyObject *h = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O", const_cast<char **>(kwlist), &h)) return -1;
    py::Input taps;
    if (!branch_taps(h, taps)) return -1;
    return py::adopt<O>(self, Create(taps.size(), taps.data<float>()), create_name);
}

inline hbdecim_t *hb_layer_create(size_t n, const float *taps) { return HalfbandDecimator_create(taps, n); }

using HbObj = py::Object<hbdecim_t, HalfbandDecimator_destroy>;
using HbState =
    py::StateMethods<HbObj, HalfbandDecimator_state_bytes, HalfbandDecimator_get_state, HalfbandDecimator_set_state>;
using HbDpObj = py::Object<hbdecim_t, hbdecim_destroy>;
using HbR2cObj = py::Object<hbdecim_r2c_t, hbdecim_r2c_destroy>;
using HbQ15Obj = py::Object<hbdecim_q15_t, hbdecim_q15_destroy>;

inline int HalfbandDecimator_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    return hb_init<HbObj, hbdecim_t, hb_layer_create>(self, args, kw, "HalfbandDecimator_create");
}
inline int HalfbandDecimatorDp_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    return hb_init<HbDpObj, hbdecim_t, hbdecim_create>(self, args, kw, "hbdecim_create");
}
inline int HalfbandDecimatorR2C_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    return hb_init<HbR2cObj, hbdecim_r2c_t, hbdecim_r2c_create>(self, args, kw, "hbdecim_r2c_create");
}
inline int HalfbandDecimatorQ15_init_py(PyObject *self, PyObject *args, PyObject *kw) {
    return hb_init<HbQ15Obj, hbdecim_q15_t, hbdecim_q15_create>(self, args, kw, "hbdecim_q15_create");
}

// execute(x) of the float decimators: a new array with every output of the
// input (a pending odd sample waits for the next call).
template <class O, int InType, class In, size_t (*Outputs)(const typename O::Core *, size_t),
          size_t (*Exec)(typename O::Core *, const In *, size_t, cf32_t *, size_t)>
PyObject *hb_execute(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", nullptr};
    py::Input x;
    py::Call<O> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::convert_input<InType>, &x);
    if (h == nullptr) return nullptr;
    const size_t n = x.size(), need = room(Outputs(h, n));
    py::Output res;
    if (!res.prepare(nullptr, NPY_COMPLEX64, need)) return nullptr;
    const In *xs = x.data<In>();
    cf32_t *y = res.data<cf32_t>();
    return res.finish(c.run(n, [&] { return Exec(h, xs, n, y, need); }));
}

// HalfbandDecimator.execute takes x positionally only.
inline PyObject *HalfbandDecimator_execute_py(PyObject *self, PyObject *args) {
    return hb_execute<HbObj, NPY_COMPLEX64, cf32_t, hbdecim_execute_outputs, HalfbandDecimator_execute>(self, args,
                                                                                                        nullptr);
}
inline PyObject *HalfbandDecimatorDp_execute_py(PyObject *self, PyObject *args, PyObject *kw) {
    return hb_execute<HbDpObj, NPY_COMPLEX64, cf32_t, hbdecim_execute_outputs, hbdecim_execute>(self, args, kw);
}
inline PyObject *HalfbandDecimatorR2C_execute_py(PyObject *self, PyObject *args, PyObject *kw) {
    return hb_execute<HbR2cObj, NPY_FLOAT32, float, hbdecim_r2c_execute_outputs, hbdecim_r2c_execute>(self, args,
                                                                                                       kw);
}

// Q15: int16 I/Q pairs in (a trailing odd value is ignored), int16 pairs out.
inline PyObject *HalfbandDecimatorQ15_execute_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", nullptr};
    py::Input x;
    py::Call<HbQ15Obj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::convert_input<NPY_INT16>, &x);
    if (h == nullptr) return nullptr;
    const size_t pairs = x.size() / 2;
    const size_t need = pairs / 2 + 1;
    py::Output res;
    if (!res.prepare(nullptr, NPY_INT16, 2 * need)) return nullptr;
    const int16_t *xs = x.data<int16_t>();
    int16_t *y = res.data<int16_t>();
    return res.finish(2 * c.run(pairs, [&] { return hbdecim_q15_execute(h, xs, pairs, y, need); }));
}

template <class O> PyObject *hb_rate(PyObject *self, void *) {
    py::Call<O> c(self);
    return c.pin() == nullptr ? nullptr : PyFloat_FromDouble(0.5);
}

#define RATE_PY_HB_TAIL(Obj)                                                                                          \
    py::m_destroy<Obj>(), py::m_enter<Obj>(), py::m_exit<Obj>(), { nullptr, nullptr, 0, nullptr }

inline PyMethodDef HalfbandDecimator_methods[] = {
    py::method_varargs("execute", HalfbandDecimator_execute_py,
                       "execute(x, /)\n--\n\nDecimate complex64 samples by 2; every output of the input is returned."),
    py::m_size<HbObj, HalfbandDecimator_execute_max_out>("execute_max_out", "execute_max_out()\n--\n\n32768."),
    py::m_reset<HbObj, HalfbandDecimator_reset>(),
    HbState::state_bytes(),
    HbState::get_state(),
    HbState::set_state(),
    RATE_PY_HB_TAIL(HbObj),
};
inline PyMethodDef HalfbandDecimatorDp_methods[] = {
    py::method_kw("execute", HalfbandDecimatorDp_execute_py,
                  "execute(x)\n--\n\nDecimate complex64 samples by 2; every output of the input is returned."),
    py::m_reset<HbDpObj, hbdecim_reset>(),
    RATE_PY_HB_TAIL(HbDpObj),
};
inline PyMethodDef HalfbandDecimatorR2C_methods[] = {
    py::method_kw("execute", HalfbandDecimatorR2C_execute_py,
                  "execute(x)\n--\n\nReal float32 samples to complex64 at half the rate, the band [0, fs/2]\n"
                  "of the input centred on zero."),
    py::m_reset<HbR2cObj, hbdecim_r2c_reset>(),
    RATE_PY_HB_TAIL(HbR2cObj),
};
inline PyMethodDef HalfbandDecimatorQ15_methods[] = {
    py::method_kw("execute", HalfbandDecimatorQ15_execute_py,
                  "execute(x)\n--\n\nDecimate interleaved int16 I/Q by 2 in fixed point; int16 I/Q out."),
    py::m_size<HbQ15Obj, hbdecim_q15_execute_max_out>("execute_max_out",
                                                      "execute_max_out()\n--\n\n0: sized from the input."),
    py::m_reset<HbQ15Obj, hbdecim_q15_reset>(),
    RATE_PY_HB_TAIL(HbQ15Obj),
};
#undef RATE_PY_HB_TAIL

template <class O, size_t (*NumTaps)(const typename O::Core *)> struct HbProps {
    static inline PyGetSetDef table[] = {
        py::prop("rate", hb_rate<O>, "Always 0.5."),
        py::prop<O, NumTaps, py::U64>("num_taps", "Branch length."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
};

inline PyTypeObject HalfbandDecimatorType = py::make_type<HbObj>(
    "resample.HalfbandDecimator",
    "HalfbandDecimator(h)\n--\n\n"
    "2:1 halfband decimator for complex64 samples. h is the non-trivial branch (taps at odd\n"
    "offsets from the centre, taken as symmetric); the centre tap is 0.5.",
    HalfbandDecimator_methods, HbProps<HbObj, HalfbandDecimator_get_num_taps>::table, HalfbandDecimator_init_py);
inline PyTypeObject HalfbandDecimatorDpType = py::make_type<HbDpObj>(
    "resample.HalfbandDecimatorDp", "HalfbandDecimatorDp(h)\n--\n\nThe complex halfband decimator, minimal form.",
    HalfbandDecimatorDp_methods, HbProps<HbDpObj, hbdecim_get_num_taps>::table, HalfbandDecimatorDp_init_py);
inline PyTypeObject HalfbandDecimatorR2CType = py::make_type<HbR2cObj>(
    "resample.HalfbandDecimatorR2C",
    "HalfbandDecimatorR2C(h)\n--\n\nReal-to-complex halfband decimator (a quarter-rate shift folded in).",
    HalfbandDecimatorR2C_methods, HbProps<HbR2cObj, hbdecim_r2c_get_num_taps>::table, HalfbandDecimatorR2C_init_py);
inline PyTypeObject HalfbandDecimatorQ15Type = py::make_type<HbQ15Obj>(
    "resample.HalfbandDecimatorQ15",
    "HalfbandDecimatorQ15(h)\n--\n\nFixed-point halfband decimator: int16 I/Q, taps in Q2.14.",
    HalfbandDecimatorQ15_methods, HbProps<HbQ15Obj, hbdecim_q15_get_num_taps>::table, HalfbandDecimatorQ15_init_py);

// ----------------------------------------------------------------------------
// Module function

inline PyObject *m_ciccompmf(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"N", "R", "M", nullptr};
    uint32_t N = 0, R = 0, M = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&O&O&", const_cast<char **>(kwlist), py::to_u32, &N, py::to_u32, &R,
                                     py::to_u32, &M))
        return nullptr;
    PyObject *out = py::new_array(NPY_FLOAT64, M);
    if (out != nullptr) ciccompmf(py::array_data<double>(out), N, R, M);
    return out;
}

inline PyMethodDef kCiccompmfMethod = py::method_kw(
    "ciccompmf", m_ciccompmf,
    "ciccompmf(N, R, M)\n--\n\n"
    "M taps of the maximally flat droop compensator of an N-stage CIC decimating by R\n"
    "(odd M up to 19, even M up to 18; other lengths give zeros).");

}  // namespace rate_py
