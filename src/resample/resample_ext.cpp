// The resample extension module: sample-rate conversion blocks and their design
// functions. Types join the module in a fixed order (see PyInit_resample).
#include <algorithm>
#include <cmath>

#include "core/sx_pyframe.h"
#include "resample/fir_core.h"
#include "resample/rate_conv_py.h"
#include "resample/resamp_core.h"

namespace py = sx::py;

namespace {

// Most outputs one call may produce: a bound on the memory a single call asks
// for when a ratio or a control sequence implies an enormous output.
constexpr size_t kOutputLimit = size_t{1} << 28;
constexpr const char *kResamplerOutMsg = "out must be a writable ndarray of the output dtype";

bool usable_rate(double rate) {
    if (!std::isfinite(rate)) {
        PyErr_SetString(PyExc_ValueError, "rate must be finite");
        return false;
    }
    if (rate < 0.0) {
        PyErr_SetString(PyExc_ValueError, "rate must not be negative");
        return false;
    }
    if (rate != 0.0 && (rate < RESAMP_MIN_RATE || rate > RESAMP_MAX_RATE)) {
        PyErr_SetString(PyExc_ValueError, "rate must be 0 or within [2**-32, 2**32]");
        return false;
    }
    return true;
}

// ----------------------------------------------------------------------------
// Resampler

// The reusable result buffer: 65536 samples on first use, replaced by a larger
// one when a call needs more (results of earlier calls keep their own buffer).
struct ResamplerExtra {
    PyObject *buf = nullptr;
    ~ResamplerExtra() { Py_XDECREF(buf); }
};

using ResamplerObj = py::Object<resamp_t, Resampler_destroy, ResamplerExtra>;
using ResamplerState = py::StateMethods<ResamplerObj, Resampler_state_bytes, Resampler_get_state, Resampler_set_state>;

int Resampler_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"rate", "bank", nullptr};
    double rate = 0.0;
    PyObject *bank = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|dO", const_cast<char **>(kwlist), &rate, &bank)) return -1;
    if (!usable_rate(rate)) return -1;
    resamp_t *h = nullptr;
    if (bank == Py_None) {
        h = Resampler_create(rate);
    } else {
        py::Input b;
        if (!b.convert(bank, NPY_FLOAT32)) return -1;
        if (b.ndim() != 2) {
            PyErr_SetString(PyExc_ValueError, "bank must be 2-D float32");
            return -1;
        }
        h = Resampler_create_custom(static_cast<size_t>(b.dim(0)), static_cast<size_t>(b.dim(1)), b.data<float>(),
                                    rate);
    }
    return py::adopt<ResamplerObj>(self, h, "Resampler_create");
}

// Room for every output the block gives, so no input is dropped for want of
// room: at least max_out and the input length; a block implying more than
// kOutputLimit outputs is refused.
size_t room(size_t max_out, size_t n, size_t produced) {
    const size_t need = std::max({max_out, n, produced});
    if (need <= kOutputLimit) return need;
    PyErr_Format(PyExc_ValueError, "this call would produce more than %zu outputs; pass shorter blocks",
                 kOutputLimit);
    return py::kRefused;
}

struct ExecuteRoom {
    static size_t need(resamp_t *h, size_t n) {
        return room(Resampler_execute_max_out(h), n, resamp_execute_outputs(h, n));
    }
};

// Results go to the caller's out, or to a view into the reusable buffer
// (replaced by a larger one when a call needs more; earlier results keep theirs).
struct ReusedBuffer {
    static bool prepare(ResamplerObj *o, py::Output &res, PyObject *out, int typenum, size_t need, py::Input &x) {
        if (out == nullptr || out == Py_None) {
            auto *buf = reinterpret_cast<PyArrayObject *>(o->x.buf);
            if (buf == nullptr || static_cast<size_t>(PyArray_SIZE(buf)) < need) {
                PyObject *fresh = py::new_array(typenum, need);
                if (fresh == nullptr) return false;
                Py_XSETREF(o->x.buf, fresh);
            }
            out = o->x.buf;
        }
        return res.prepare(out, typenum, need, kResamplerOutMsg) && py::keep_apart(x, res, sizeof(cf32_t));
    }
};

PyObject *Resampler_execute_ctrl_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "ctrl", "out", nullptr};
    py::Input x, ctrl;
    PyObject *out = nullptr;
    py::Call<ResamplerObj> c(self);
    auto *h = c.args(args, kw, "O&O&|O", kwlist, py::convert_input<NPY_COMPLEX64>, &x, py::convert_input<NPY_FLOAT64>,
                     &ctrl, &out);
    if (h == nullptr) return nullptr;
    const size_t n = x.size();
    if (ctrl.size() < n) {
        PyErr_SetString(PyExc_ValueError, "ctrl must be at least as long as x");
        return nullptr;
    }
    const size_t produced = resamp_execute_ctrl_outputs(h, ctrl.data<double>(), n, kOutputLimit);
    const size_t need = room(Resampler_execute_ctrl_max_out(h), n, produced);
    py::Output res;
    if (need == py::kRefused || !ReusedBuffer::prepare(c.object(), res, out, NPY_COMPLEX64, need, x) ||
        !py::keep_apart(ctrl, res, sizeof(cf32_t)))
        return nullptr;
    const cf32_t *xs = x.data<cf32_t>();
    const double *cs = ctrl.data<double>();
    cf32_t *y = res.data<cf32_t>();
    const size_t cap = res.capacity();
    return res.finish(
        c.run(std::max(n, produced), [&] { return Resampler_execute_ctrl(h, xs, n, cs, ctrl.size(), y, cap); }));
}

int Resampler_set_rate_py(PyObject *self, PyObject *value, void *) {
    double rate = 0.0;
    py::Call<ResamplerObj> c(self);
    auto *h = c.convert([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "rate cannot be deleted");
            return false;
        }
        rate = PyFloat_AsDouble(value);
        return !(rate == -1.0 && PyErr_Occurred()) && usable_rate(rate);
    });
    if (h == nullptr) return -1;
    Resampler_set_rate(h, rate);  // accepts every rate that passed the check above
    return 0;
}

PyMethodDef Resampler_methods[] = {
    py::method_kw("execute",
                  py::execute<ResamplerObj, NPY_COMPLEX64, NPY_COMPLEX64, Resampler_execute, ExecuteRoom, py::kArgX,
                              ReusedBuffer>,
                  "execute(x, out=None)\n--\n\n"
                  "Resample a block of complex64 samples at the current rate; the state carries\n"
                  "across calls. Without out the result is a view into a buffer reused by the\n"
                  "next call; out must hold max(65536, len(x), outputs of this block)."),
    py::m_size<ResamplerObj, Resampler_execute_max_out>("execute_max_out",
                                                        "execute_max_out()\n--\n\nAlways 65536."),
    py::method_kw("execute_ctrl", Resampler_execute_ctrl_py,
                  "execute_ctrl(x, ctrl, out=None)\n--\n\n"
                  "Resample with the ratio rate + ctrl[i] for input i (a timing loop's steering);\n"
                  "ctrl is float64 and at least as long as x."),
    py::m_size<ResamplerObj, Resampler_execute_ctrl_max_out>("execute_ctrl_max_out",
                                                             "execute_ctrl_max_out()\n--\n\nAlways 65536."),
    py::m_reset<ResamplerObj, Resampler_reset>(),
    ResamplerState::state_bytes(),
    ResamplerState::get_state(),
    ResamplerState::set_state(),
    py::m_destroy<ResamplerObj>(),
    py::m_enter<ResamplerObj>(),
    py::m_exit<ResamplerObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Resampler_getset[] = {
    py::prop("rate", py::do_get<ResamplerObj, Resampler_get_rate, py::F64>,
             "Output-to-input ratio (>= 1 interpolates, < 1 decimates); 0 or within [2**-32, 2**32].",
             Resampler_set_rate_py),
    py::prop<ResamplerObj, Resampler_get_num_phases, py::U64>("num_phases", "Branches of the bank."),
    py::prop<ResamplerObj, Resampler_get_num_taps, py::U64>("num_taps", "Taps per branch."),
    py::prop<ResamplerObj, Resampler_get_ctrl_acc, py::F64>("ctrl_acc",
                                                            "Control-form fractional accumulator, in [0, 1)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject ResamplerType = py::make_type<ResamplerObj>(
    "resample.Resampler",
    "Resampler(rate=0.0, bank=None)\n--\n\n"
    "Arbitrary-ratio polyphase resampler for complex64 samples. Without bank it uses the\n"
    "built-in 4096 x 19 Kaiser-windowed sinc bank; bank is a 2-D float32 array of\n"
    "num_phases rows of num_taps coefficients (coefficient 0 meets the newest sample).",
    Resampler_methods, Resampler_getset, Resampler_init);

// ----------------------------------------------------------------------------
// FIR: direct-form filtering of a stream, state carried across calls

using FirObj = py::Object<fir_t, fir_destroy>;
using FirState = py::StateMethods<FirObj, fir_state_bytes, fir_get_state, fir_set_state>;

int FIR_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"taps", nullptr};
    PyObject *obj;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O", const_cast<char **>(kwlist), &obj)) return -1;
    // Complex taps (an array or sequence of complex kind) make a complex filter.
    PyObject *probe = PyArray_FROM_O(obj);
    if (probe == nullptr) return -1;
    const bool complex_taps = PyArray_ISCOMPLEX(reinterpret_cast<PyArrayObject *>(probe));
    Py_DECREF(probe);
    py::Input taps;
    if (!taps.convert(obj, complex_taps ? NPY_COMPLEX64 : NPY_FLOAT32)) return -1;
    if (complex_taps) return py::adopt<FirObj>(self, fir_create(taps.data<cf32_t>(), taps.size()), "fir_create");
    return py::adopt<FirObj>(self, fir_create_real(taps.data<float>(), taps.size()), "fir_create_real");
}

PyObject *FIR_execute_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "out", nullptr};
    py::Input x;
    PyObject *out = nullptr;
    py::Call<FirObj> c(self);
    auto *h = c.args(args, kw, "O&|O", kwlist, py::convert_input<NPY_COMPLEX64>, &x, &out);
    if (h == nullptr) return nullptr;
    const size_t n = x.size();
    py::Output res;
    if (!res.prepare(out, NPY_COMPLEX64, py::out_len(fir_execute_max_out(h), n))) return nullptr;
    // The core filters in place too, so out may share memory with x.
    const auto *xin = x.data<cf32_t>();
    auto *y = res.data<cf32_t>();
    if (n > 0 && c.run(n, [&] { return fir_execute(h, xin, n, y); }) != n) {
        PyErr_SetString(PyExc_MemoryError, "fir_execute could not grow its work buffer");
        return nullptr;
    }
    return res.finish(n);
}

PyMethodDef FIR_methods[] = {
    py::method_kw("execute", FIR_execute_py,
                  "execute(x, out=None)\n--\n\n"
                  "Filter a block of complex64 samples: y[i] = sum_j taps[j] * x[i - j], the history\n"
                  "carried across calls (as scipy.signal.lfilter(taps, 1, x) over the whole stream).\n"
                  "out, if given, must hold len(x) elements and may be x itself."),
    py::m_size<FirObj, fir_execute_max_out>("execute_max_out",
                                            "execute_max_out()\n--\n\n0: one output per input."),
    py::m_reset<FirObj, fir_reset>("reset()\n--\n\nClear the history (the last num_taps - 1 inputs)."),
    FirState::state_bytes(),
    FirState::get_state(),
    FirState::set_state(),
    py::m_destroy<FirObj>(),
    py::m_enter<FirObj>(),
    py::m_exit<FirObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef FIR_getset[] = {
    py::prop<FirObj, fir_get_num_taps, py::U64>("num_taps", "Number of taps."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FIRType = py::make_type<FirObj>(
    "resample.FIR",
    "FIR(taps)\n--\n\n"
    "Direct-form FIR filter for complex64 streams. taps: float32 (real filter) or complex64\n"
    "(complex filter) values, at least one; taps[0] meets the newest sample. Products are\n"
    "rounded to single precision and summed from tap 0 on.",
    FIR_methods, FIR_getset, FIR_init);

// ----------------------------------------------------------------------------
// Module functions

PyObject *m_kaiser_beta(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"atten", nullptr};
    double atten;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "d", const_cast<char **>(kwlist), &atten)) return nullptr;
    return PyFloat_FromDouble(kaiser_beta(atten));
}

PyObject *m_kaiser_num_taps(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"num_phases", "atten", "pb", "sb", nullptr};
    long long num_phases;
    double atten, pb, sb;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "Lddd", const_cast<char **>(kwlist), &num_phases, &atten, &pb, &sb))
        return nullptr;
    return PyLong_FromLongLong(kaiser_num_taps(num_phases, atten, pb, sb));
}

PyMethodDef module_methods[] = {
    py::method_kw("kaiser_beta", m_kaiser_beta,
                  "kaiser_beta(atten)\n--\n\nKaiser window shape parameter for a stop-band attenuation in dB."),
    py::method_kw("kaiser_num_taps", m_kaiser_num_taps,
                  "kaiser_num_taps(num_phases, atten, pb, sb)\n--\n\n"
                  "Taps per branch of a Kaiser-designed bank of num_phases branches; pb and sb are the\n"
                  "pass- and stop-band edges as fractions of the input rate. 0 when num_phases <= 0\n"
                  "or no bank fits the arguments (sb <= pb, non-finite values)."),
    rate_py::kCiccompmfMethod,
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "resample",
    "Sample-rate conversion: polyphase resampling (Resampler, RateConverter), halfband decimation "
    "(HalfbandDecimator), CIC decimation, and Farrow fractional resampling.",
    -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_resample(void) {
    // Types in their published order: RateConverter, MatchedRateConverter,
    // Resampler, CIC, Farrow, HalfbandDecimator, HalfbandDecimatorDp,
    // HalfbandDecimatorR2C, HalfbandDecimatorQ15, then FIR.
    return py::make_module(&module_def, {
                                            {"RateConverter", &rate_py::RateConverterType},
                                            {"MatchedRateConverter", &rate_py::MatchedRateConverterType},
                                            {"Resampler", &ResamplerType},
                                            {"CIC", &rate_py::CICType},
                                            {"Farrow", &rate_py::FarrowType},
                                            {"HalfbandDecimator", &rate_py::HalfbandDecimatorType},
                                            {"HalfbandDecimatorDp", &rate_py::HalfbandDecimatorDpType},
                                            {"HalfbandDecimatorR2C", &rate_py::HalfbandDecimatorR2CType},
                                            {"HalfbandDecimatorQ15", &rate_py::HalfbandDecimatorQ15Type},
                                            {"FIR", &FIRType},
                                        });
}
