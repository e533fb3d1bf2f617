// The ddc extension module: complex- and real-input down-converters, plain and
// matched. The four types share one set of methods, written once over the
// core's functions (Traits below); execute and execute_ctrl run without the
// interpreter lock for large blocks.
#include <algorithm>
#include <cmath>

#include "core/sx_pyframe.h"
#include "core/sx_tlm_hookup.h"
#include "ddc/ddc_core.h"
#include "ddc/ddcr_core.h"

namespace py = sx::py;

namespace {

constexpr const char *kNarrowPulseWarning =
    "pulse=\"iandd\" with pulse_sps < 4: the rectangle is one symbol wide, so its matched filter is a 2-3 tap sum "
    "here and barely opens the eye (measured on the timing loop this feeds: lock statistic -0.34 at 2 "
    "samples/symbol against +0.95 at 4). Use pulse_sps >= 4, or pulse=\"rrc\".";

// One down-converter core, as the binding sees it.
struct ComplexIn {
    using Core = ddc;
    using Sample = cf32_t;
    static constexpr int kInType = NPY_COMPLEX64;
    static constexpr const char *kInvalid =
        "DDC: invalid parameter (need rate > 0, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a power "
        "of two >= 2)";
    static constexpr auto create = ddc_create;
    static constexpr auto create_matched = ddc_create_matched;
    static constexpr auto destroy = ddc_destroy;
    static constexpr auto reset = ddc_reset;
    static constexpr auto state_bytes = ddc_state_bytes;
    static constexpr auto get_state = ddc_get_state;
    static constexpr auto set_state = ddc_set_state;
    static constexpr auto get_norm_freq = ddc_get_norm_freq;
    static constexpr auto set_norm_freq = ddc_set_norm_freq;
    static constexpr auto get_rate = ddc_get_rate;
    static constexpr auto terminal_rate = ddc_terminal_rate;
    static constexpr auto get_clipped = ddc_get_clipped;
    static constexpr auto get_narrow_pulse = ddc_get_narrow_pulse;
    static constexpr auto execute = ddc_execute;
    static constexpr auto execute_ctrl = ddc_execute_ctrl;
    static constexpr auto push = ddc_execute_ctrl_push;
    static constexpr auto push_max_out = ddc_execute_ctrl_push_max_out;
    static constexpr auto push_outputs_max = ddc_execute_ctrl_push_outputs_max;
    static constexpr auto ctrl_outputs_max = ddc_execute_ctrl_outputs_max;
    static constexpr auto enable_agc = ddc_enable_agc;
    static constexpr auto agc_gain_db = ddc_agc_gain_db;
    static constexpr auto set_telemetry = ddc_set_telemetry;
    static constexpr bool kHasClose = false;
    static PyMethodDef max_out_method();
    static size_t execute_need(ddc *h, size_t n) { return std::max(n, ddc_execute_max_out(h, n)); }
    static bool sample(PyObject *v, cf32_t &x) {
        const Py_complex c = PyComplex_AsCComplex(v);
        if (c.real == -1.0 && PyErr_Occurred()) return false;
        x = cf32_t(static_cast<float>(c.real), static_cast<float>(c.imag));
        return true;
    }
};

struct RealIn {
    using Core = ddcr;
    using Sample = float;
    static constexpr int kInType = NPY_FLOAT32;
    static constexpr const char *kInvalid =
        "Ddcr: invalid parameter (need 0 < rate < 0.5, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a "
        "power of two >= 2)";
    static constexpr auto create = ddcr_create;
    static constexpr auto create_matched = ddcr_create_matched;
    static constexpr auto destroy = ddcr_destroy;
    static constexpr auto reset = ddcr_reset;
    static constexpr auto state_bytes = ddcr_state_bytes;
    static constexpr auto get_state = ddcr_get_state;
    static constexpr auto set_state = ddcr_set_state;
    static constexpr auto get_norm_freq = ddcr_get_norm_freq;
    static constexpr auto set_norm_freq = ddcr_set_norm_freq;
    static constexpr auto get_rate = ddcr_get_rate;
    static constexpr auto terminal_rate = ddcr_terminal_rate;
    static constexpr auto get_clipped = ddcr_get_clipped;
    static constexpr auto get_narrow_pulse = ddcr_get_narrow_pulse;
    static constexpr auto execute = ddcr_execute;
    static constexpr auto execute_ctrl = ddcr_execute_ctrl;
    static constexpr auto push = ddcr_execute_ctrl_push;
    static constexpr auto push_max_out = ddcr_execute_ctrl_push_max_out;
    static constexpr auto push_outputs_max = ddcr_execute_ctrl_push_outputs_max;
    static constexpr auto ctrl_outputs_max = ddcr_execute_ctrl_outputs_max;
    static constexpr auto enable_agc = ddcr_enable_agc;
    static constexpr auto agc_gain_db = ddcr_agc_gain_db;
    static constexpr auto set_telemetry = ddcr_set_telemetry;
    // Never more outputs than inputs: the bound is the input length.
    static size_t execute_need(ddcr *, size_t n) { return n; }
    static constexpr bool kHasClose = true;
    static PyMethodDef max_out_method();
    static bool sample(PyObject *v, float &x) {
        const double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) return false;
        x = static_cast<float>(d);
        return true;
    }
};

using py::TlmHookup;
using py::telemetry_alive;

template <class T> using Obj = py::Object<typename T::Core, T::destroy, TlmHookup>;

// Room for `need` outputs of an `n`-sample block. Beyond the input length
// (an interpolating converter, a positive rate deviation) it is held to the
// per-call ceiling: a bound of SIZE_MAX (no bound) is refused the same way.
bool room_ok(size_t need, size_t n) {
    if (need == SIZE_MAX) {  // the core's way of saying the deviation leaves the count without bound
        PyErr_SetString(PyExc_ValueError, "rate_ctrl leaves this block's output count without bound; pass a "
                                          "smaller rate_ctrl or shorter blocks");
        return false;
    }
    return need <= n || py::count_ok(need, "output count");
}

bool finite_ctrl(double rate_ctrl, double freq_ctrl) {
    if (std::isfinite(rate_ctrl) && std::isfinite(freq_ctrl)) return true;
    PyErr_SetString(PyExc_ValueError, "rate_ctrl and freq_ctrl must be finite");
    return false;
}

// ----------------------------------------------------------------------------
// Construction

template <class T> int install(PyObject *self, typename T::Core *h, bool warn) {
    if (h == nullptr) {
        PyErr_SetString(PyExc_ValueError, T::kInvalid);
        return -1;
    }
    if (warn && T::get_narrow_pulse(h) && PyErr_WarnEx(PyExc_UserWarning, kNarrowPulseWarning, 1) < 0) {
        T::destroy(h);
        return -1;
    }
    return py::install<Obj<T>>(self, h);
}

template <class T> int init_plain(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"norm_freq", "rate", nullptr};
    double norm_freq = 0.0, rate = 0.25;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|dd", const_cast<char **>(kwlist), &norm_freq, &rate)) return -1;
    return install<T>(self, T::create(norm_freq, rate), false);
}

template <class T> int init_matched(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"norm_freq", "rate", "pulse", "beta", "span", "pulse_sps", "num_phases", nullptr};
    double norm_freq = 0.0, rate = 0.25, beta = 0.35, pulse_sps = 2.0;
    const char *pulse = "rrc";
    long long span = 8, num_phases = 1024;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|ddsdLdL", const_cast<char **>(kwlist), &norm_freq, &rate, &pulse,
                                     &beta, &span, &pulse_sps, &num_phases))
        return -1;
    const int p = py::option_index("pulse", pulse, {"iandd", "rrc"});
    if (p < 0) return -1;
    typename T::Core *h = nullptr;
    if (span >= 0 && num_phases >= 0)
        h = T::create_matched(p, static_cast<size_t>(span), static_cast<size_t>(num_phases), norm_freq, rate, beta,
                              pulse_sps);
    return install<T>(self, h, true);
}

// ----------------------------------------------------------------------------
// Processing

// execute(x, out=None)
template <class T> PyObject *execute(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "out", nullptr};
    py::Input in;
    PyObject *out = nullptr;
    py::Call<Obj<T>> c(self);
    auto *h = c.args(args, kw, "O&|O", kwlist, py::convert_input<T::kInType>, &in, &out);
    if (h == nullptr || !telemetry_alive(c.object())) return nullptr;
    const size_t n = in.size();
    const size_t need = T::execute_need(h, n);
    py::Output res;
    if (!room_ok(need, n) || !res.prepare(out, NPY_COMPLEX64, need) || !py::keep_apart(in, res, sizeof(cf32_t)))
        return nullptr;
    const auto *x = in.data<typename T::Sample>();
    auto *y = res.data<cf32_t>();
    const size_t cap = res.capacity();
    return res.finish(c.run(n, [&] { return T::execute(h, x, n, y, cap); }));
}

// execute_ctrl(x, rate_ctrl, freq_ctrl): a new array with room for every
// output, a positive rate deviation included.
template <class T> PyObject *execute_ctrl(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "rate_ctrl", "freq_ctrl", nullptr};
    py::Input in;
    double rate_ctrl = 0.0, freq_ctrl = 0.0;
    py::Call<Obj<T>> c(self);
    auto *h = c.args(args, kw, "O&dd", kwlist, py::convert_input<T::kInType>, &in, &rate_ctrl, &freq_ctrl);
    if (h == nullptr || !finite_ctrl(rate_ctrl, freq_ctrl) || !telemetry_alive(c.object())) return nullptr;
    const size_t n = in.size();
    const size_t need = T::ctrl_outputs_max(h, n, rate_ctrl);
    py::Output res;
    if (!room_ok(need, n) || !res.prepare(nullptr, NPY_COMPLEX64, need)) return nullptr;
    const auto *x = in.data<typename T::Sample>();
    auto *y = res.data<cf32_t>();
    const size_t cap = res.capacity();
    return res.finish(c.run(n, [&] { return T::execute_ctrl(h, x, n, y, cap, rate_ctrl, freq_ctrl); }));
}

// execute_ctrl_push(x, rate_ctrl, freq_ctrl, out=None): out= needs the push
// bound; a new array also has room for what a positive deviation adds (with a
// smaller out= those outputs come with the next push, none is lost).
template <class T> PyObject *execute_ctrl_push(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "rate_ctrl", "freq_ctrl", "out", nullptr};
    PyObject *xo = nullptr, *out = nullptr;
    typename T::Sample x{};
    double rate_ctrl = 0.0, freq_ctrl = 0.0;
    py::Call<Obj<T>> c(self);
    auto *h = c.convert([&] {
        return PyArg_ParseTupleAndKeywords(args, kw, "Odd|O", const_cast<char **>(kwlist), &xo, &rate_ctrl,
                                           &freq_ctrl, &out) &&
               T::sample(xo, x) && finite_ctrl(rate_ctrl, freq_ctrl);
    });
    if (h == nullptr || !telemetry_alive(c.object())) return nullptr;
    size_t need = T::push_max_out(h);
    if (out == nullptr || out == Py_None) need = std::max(need, T::push_outputs_max(h, rate_ctrl));
    py::Output res;
    if (!room_ok(need, 1) || !res.prepare(out, NPY_COMPLEX64, need)) return nullptr;
    return res.finish(T::push(h, res.data<cf32_t>(), res.capacity(), x, rate_ctrl, freq_ctrl));
}

// execute_max_out(x_len) for the complex types, execute_max_out() (always 0)
// for the real ones.
PyObject *ddc_max_out_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x_len", nullptr};
    size_t n = 0;
    py::Call<Obj<ComplexIn>> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::to_size, &n);
    return h == nullptr ? nullptr : PyLong_FromSize_t(ddc_execute_max_out(h, n));
}

PyObject *ddcr_max_out_py(PyObject *self, PyObject *) {
    return py::value_of<Obj<RealIn>, ddcr_execute_max_out, py::U64>(self);
}

PyMethodDef ComplexIn::max_out_method() {
    return py::method_kw("execute_max_out", ddc_max_out_py,
                         "execute_max_out(x_len)\n--\n\nRoom execute needs for x_len input samples.");
}
PyMethodDef RealIn::max_out_method() {
    return py::method_noargs("execute_max_out", ddcr_max_out_py,
                             "execute_max_out()\n--\n\n0: size the output from the input block.");
}

// ----------------------------------------------------------------------------
// AGC and its telemetry (matched types)

// enable_agc(rate, alpha=1.0)
template <class T> PyObject *enable_agc(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"rate", "alpha", nullptr};
    double rate = 0.0, alpha = 1.0;
    py::Call<Obj<T>> c(self);
    auto *h = c.args(args, kw, "d|d", kwlist, &rate, &alpha);
    if (h == nullptr) return nullptr;
    const int rc = T::enable_agc(h, rate, alpha);
    if (rc != 0)
        return py::raise_status(PyExc_ValueError,
                                "enable_agc: need rate > 0 (finite) and 0 < alpha <= 1 on a matched converter", rc);
    return py::none();
}

constexpr char kAgcPrefix[] = "agc";
constexpr char kSetTelemetryRefused[] = "set_telemetry: prefix too long, or the probe table is full";
template <class T>
constexpr auto set_telemetry = py::set_telemetry<Obj<T>, T::set_telemetry, kAgcPrefix, kSetTelemetryRefused>;

template <class T> PyObject *get_agc_gain_db(PyObject *self, void *) {
    return py::value_of<Obj<T>, T::agc_gain_db, py::F64>(self);
}

// ----------------------------------------------------------------------------
// Properties

template <class T> PyObject *get_norm_freq(PyObject *self, void *) {
    return py::value_of<Obj<T>, T::get_norm_freq, py::F64>(self);
}

template <class T> int set_norm_freq(PyObject *self, PyObject *value, void *) {
    double f = 0.0;
    py::Call<Obj<T>> c(self);
    auto *h = c.convert([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "norm_freq cannot be deleted");
            return false;
        }
        f = PyFloat_AsDouble(value);
        return !(f == -1.0 && PyErr_Occurred());
    });
    if (h == nullptr) return -1;
    const int rc = T::set_norm_freq(h, f);
    if (rc != 0) {
        py::raise_status(PyExc_ValueError, "norm_freq must be finite", rc);
        return -1;
    }
    return 0;
}

// ----------------------------------------------------------------------------
// Types

constexpr const char *kExecuteDoc =
    "execute(x, out=None)\n--\n\nMix x to baseband and convert its rate; returns the outputs of this block.";
constexpr const char *kExecuteCtrlDoc =
    "execute_ctrl(x, rate_ctrl, freq_ctrl)\n--\n\nAs execute, with rate_ctrl added to the terminal resampler's "
    "rate and freq_ctrl [cycles/sample at the mixer] to the oscillator, for this block only.";
constexpr const char *kPushDoc =
    "execute_ctrl_push(x, rate_ctrl, freq_ctrl, out=None)\n--\n\nOne input sample with its deviations; returns "
    "the outputs it completes (0, 1 or several).";
constexpr const char *kPushMaxDoc = "execute_ctrl_push_max_out()\n--\n\nRoom out= needs for one push.";

constexpr const char *kEnableAgcDoc =
    "enable_agc(rate, alpha=1.0)\n--\n\nPut an AGC in front of the matched filter: loop rate `rate` per symbol, "
    "power smoothing `alpha` in (0, 1]. It levels the filter's output to the pulse's own energy.";
constexpr const char *kSetTelemetryDoc =
    "set_telemetry(tlm, prefix=\"agc\", decim=1)\n--\n\nReport the AGC's gain and level to the telemetry.Telemetry "
    "`tlm` as the probes \"<prefix>.gain_db\" and \"<prefix>.level_db\" (every decim-th block of 8 samples); "
    "None detaches. The converter keeps tlm alive and refuses to run once it has been destroyed.";

constexpr PyMethodDef kNoMethod{nullptr, nullptr, 0, nullptr};

template <class T, bool Matched> struct Methods {
    using O = Obj<T>;
    using State = py::StateMethods<O, T::state_bytes, T::get_state, T::set_state>;

    static PyMethodDef *table() {
        static PyMethodDef m[] = {
            py::method_kw("execute", execute<T>, kExecuteDoc),
            T::max_out_method(),
            py::method_kw("execute_ctrl", execute_ctrl<T>, kExecuteCtrlDoc),
            py::method_kw("execute_ctrl_push", execute_ctrl_push<T>, kPushDoc),
            py::m_size<O, T::push_max_out>("execute_ctrl_push_max_out", kPushMaxDoc),
            py::m_reset<O, T::reset>(),
            State::state_bytes(),
            State::get_state(),
            State::set_state(),
            py::m_destroy<O>(),
            py::m_enter<O>(),
            py::m_exit<O>(),
            T::kHasClose ? py::method_noargs("close", py::do_destroy<O>, "close()\n--\n\nSame as destroy().") : kNoMethod,
            Matched ? py::method_kw("enable_agc", enable_agc<T>, kEnableAgcDoc) : kNoMethod,
            Matched ? py::method_kw("set_telemetry", set_telemetry<T>, kSetTelemetryDoc) : kNoMethod,
            kNoMethod,
        };
        // The entries a type lacks are moved behind the sentinel.
        std::stable_partition(std::begin(m), std::end(m), [](const PyMethodDef &d) { return d.ml_name != nullptr; });
        return m;
    }

    static PyGetSetDef *props() {
        static PyGetSetDef g[] = {
            py::prop("norm_freq", get_norm_freq<T>,
                     "Oscillator frequency [cycles/sample at the mixer]; setting it keeps the phase.",
                     set_norm_freq<T>),
            py::prop<O, T::get_rate, py::F64>("rate", "End-to-end output-to-input ratio."),
            py::prop<O, T::terminal_rate, py::F64>(
                "terminal_rate", "Ratio of the terminal resampler, the stage rate_ctrl is added to (0 when the "
                                 "plan ends in another stage)."),
            py::prop<O, T::get_clipped, py::Bool>("clipped", "True once a CIC stage has clipped its input."),
            py::prop<O, T::get_narrow_pulse, py::Bool>("narrow_pulse",
                                                       "True for a matched rectangle with pulse_sps < 4."),
            Matched ? py::prop("agc_gain_db", get_agc_gain_db<T>, "The AGC's applied gain [dB]; 0 without an AGC.")
                    : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        return g;
    }
};

constexpr const char *kDdcDoc =
    "DDC(norm_freq=0.0, rate=0.25)\n--\n\nComplex-input down-converter: the oscillator at norm_freq [cycles/sample] "
    "mixes, then a rate converter changes the rate by `rate`.";
constexpr const char *kDdcrDoc =
    "Ddcr(norm_freq=0.0, rate=0.25)\n--\n\nReal-input down-converter: a real-to-complex halfband halves the rate, "
    "the oscillator at norm_freq [cycles per intermediate sample] mixes, then a rate converter finishes "
    "(0 < rate < 0.5 end to end).";
constexpr const char *kMatchedDdcDoc =
    "MatchedDDC(norm_freq=0.0, rate=0.25, pulse=\"rrc\", beta=0.35, span=8, pulse_sps=2.0, num_phases=1024)\n--\n\n"
    "DDC whose converter ends in a filter matched to the symbol pulse (\"rrc\" or \"iandd\").";
constexpr const char *kMatchedDdcrDoc =
    "MatchedDdcr(norm_freq=0.0, rate=0.25, pulse=\"rrc\", beta=0.35, span=8, pulse_sps=2.0, num_phases=1024)\n--\n\n"
    "Ddcr whose converter ends in a filter matched to the symbol pulse (\"rrc\" or \"iandd\").";

PyTypeObject DDCType = py::make_type<Obj<ComplexIn>>("ddc.DDC", kDdcDoc, Methods<ComplexIn, false>::table(),
                                                     Methods<ComplexIn, false>::props(), init_plain<ComplexIn>);
PyTypeObject DdcrType = py::make_type<Obj<RealIn>>("ddc.Ddcr", kDdcrDoc, Methods<RealIn, false>::table(),
                                                   Methods<RealIn, false>::props(), init_plain<RealIn>);
PyTypeObject MatchedDDCType =
    py::make_type<Obj<ComplexIn>>("ddc.MatchedDDC", kMatchedDdcDoc, Methods<ComplexIn, true>::table(),
                                  Methods<ComplexIn, true>::props(), init_matched<ComplexIn>);
PyTypeObject MatchedDdcrType =
    py::make_type<Obj<RealIn>>("ddc.MatchedDdcr", kMatchedDdcrDoc, Methods<RealIn, true>::table(),
                               Methods<RealIn, true>::props(), init_matched<RealIn>);

PyModuleDef ddc_module = {
    PyModuleDef_HEAD_INIT,
    "ddc",
    "Digital down-conversion: complex- and real-input down-converters (DDC, Ddcr) that mix to baseband, filter, "
    "and decimate in one pass, with matched-filter flavors.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ddc(void) {
    return py::make_module(&ddc_module, {{"DDC", &DDCType},
                                         {"Ddcr", &DdcrType},
                                         {"MatchedDDC", &MatchedDDCType},
                                         {"MatchedDdcr", &MatchedDdcrType}});
}
