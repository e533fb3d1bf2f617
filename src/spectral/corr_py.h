// Python types of the correlators (Corr, Corr2D) and the streaming detectors
// (CorrDetector, CorrDetector2D). Included once, by spectral_ext.cpp, after
// the binding frame.
#pragma once
#include <algorithm>
#include <cstdint>

#include "core/sx_pyframe.h"
#include "core/sx_tlm_hookup.h"
#include "spectral/corr2d_core.h"
#include "spectral/corr_core.h"
#include "spectral/detector_core.h"

namespace sx::spectral_py {

namespace py = sx::py;

// execute(x, out=None): the correlation array on a dump, None on other frames
// (also with out=, which is then left as it was).
template <class O, auto Exec, auto MaxOut> PyObject *corr_execute_py(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "out", nullptr};
    py::Input in;
    PyObject *out = nullptr;
    py::Call<O> c(self);
    auto *h = c.args(args, kw, "O&|O", kwlist, py::convert_input<NPY_COMPLEX64>, &in, &out);
    if (h == nullptr) return nullptr;
    const size_t n = in.size();
    const size_t need = py::out_len(MaxOut(h), n);
    py::Output o;
    if (!o.prepare(out, NPY_COMPLEX64, need)) return nullptr;
    const float *x = in.data<float>();
    float *y = o.data<float>();
    const size_t cap = o.capacity();
    const size_t m = c.run(std::max(n, need), [&] { return Exec(h, x, n, y, cap); });
    if (m == 0) Py_RETURN_NONE;
    return o.finish(m);
}

// A reference argument converted to complex64; the 2-D types also need its shape.
inline bool ref_2d(py::Input &ref, const char *msg) {
    if (ref.ndim() == 2) return true;
    PyErr_SetString(PyExc_ValueError, msg);
    return false;
}

// noise_lo / noise_hi: a bin index, or -1 for "the last bin" (the core clamps
// every bound to n - 1). Other negative values are refused.
inline int to_bin_bound(PyObject *obj, void *out) {
    PyObject *idx = PyNumber_Index(obj);
    if (idx == nullptr) return 0;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
    if (v == -1 && overflow == 0 && !PyErr_Occurred()) {
        Py_DECREF(idx);
        *static_cast<uint64_t *>(out) = UINT64_MAX;
        return 1;
    }
    PyErr_Clear();
    const int ok = py::to_u64(idx, out);
    Py_DECREF(idx);
    return ok;
}

inline int noise_mode_index(const char *s) { return py::option_index("noise_mode", s, {"mean", "median", "min", "max"}); }

// ----------------------------------------------------------------------------
// Corr

using CorrObj = py::Object<corr, corr_destroy>;
using CorrState = py::StateMethods<CorrObj, corr_state_bytes, corr_get_state, corr_set_state>;

inline int Corr_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ref", "dwell", "nthreads", "n_out", nullptr};
    py::Input ref;
    uint64_t dwell = 1, n_out = 0;
    int nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&|O&iO&", const_cast<char **>(kwlist),
                                     py::convert_input<NPY_COMPLEX64>, &ref, py::to_u64, &dwell, &nthreads, py::to_u64,
                                     &n_out))
        return -1;
    return py::adopt<CorrObj>(self, corr_create(ref.data<float>(), ref.size(), dwell, nthreads, n_out), "corr_create");
}

#define CORR_EXEC_DOC                                                                                     \
    "execute(x, out=None)\n--\n\n"                                                                        \
    "Fold one frame (x converted to complex64, flattened; missing samples count as zero). Every dwell-th " \
    "call returns the correlation as a flat complex64 array (lag 0 at index 0); the others return None."

inline PyMethodDef Corr_methods[] = {
    py::m_reset<CorrObj, corr_reset>("reset()\n--\n\nClear the accumulator and the frame counter."),
    py::method_kw("execute", corr_execute_py<CorrObj, corr_execute, corr_execute_max_out>, CORR_EXEC_DOC),
    py::m_size<CorrObj, corr_execute_max_out>("execute_max_out", "execute_max_out()\n--\n\nn_out."),
    CorrState::state_bytes(),
    CorrState::get_state(),
    CorrState::set_state(),
    py::m_destroy<CorrObj>(),
    py::m_enter<CorrObj>(),
    py::m_exit<CorrObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef Corr_getset[] = {
    py::prop<CorrObj, corr_n, py::U64>("n", "FFT / reference length (samples)."),
    py::prop<CorrObj, corr_n_out, py::U64>("n_out", "Output length (== n unless decoupled)."),
    py::prop<CorrObj, corr_dwell, py::U64>("dwell", "Integration depth; dump every dwell calls."),
    py::prop<CorrObj, corr_count, py::U64>("count", "Frames accumulated so far (0 … dwell-1)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject CorrType = py::make_type<CorrObj>(
    "spectral.Corr",
    "Corr(ref, dwell=1, nthreads=1, n_out=0)\n--\n\n"
    "Circular FFT cross-correlator against ref (complex64, flattened; n = len(ref)) with coherent\n"
    "integrate-and-dump over dwell frames. n_out > n interpolates the output by zero-padding the\n"
    "accumulated spectrum (0 means n). nthreads is accepted and ignored.",
    Corr_methods, Corr_getset, Corr_init);

// ----------------------------------------------------------------------------
// Corr2D

using Corr2DObj = py::Object<corr2d, corr2d_destroy>;
using Corr2DState = py::StateMethods<Corr2DObj, corr2d_state_bytes, corr2d_get_state, corr2d_set_state>;

inline int Corr2D_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ref", "dwell", "nthreads", "ny_out", "nx_out", nullptr};
    py::Input ref;
    uint64_t dwell = 1, ny_out = 0, nx_out = 0;
    int nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&|O&iO&O&", const_cast<char **>(kwlist),
                                     py::convert_input<NPY_COMPLEX64>, &ref, py::to_u64, &dwell, &nthreads, py::to_u64,
                                     &ny_out, py::to_u64, &nx_out))
        return -1;
    if (!ref_2d(ref, "ref must be a 2-D (ny, nx) array")) return -1;
    corr2d *h = corr2d_create(ref.data<float>(), static_cast<uint64_t>(ref.dim(0)), static_cast<uint64_t>(ref.dim(1)),
                              dwell, nthreads, ny_out, nx_out);
    return py::adopt<Corr2DObj>(self, h, "corr2d_create");
}

inline PyMethodDef Corr2D_methods[] = {
    py::m_reset<Corr2DObj, corr2d_reset>("reset()\n--\n\nClear the accumulator and the frame counter."),
    py::method_kw("execute", corr_execute_py<Corr2DObj, corr2d_execute, corr2d_execute_max_out>,
                  "execute(x, out=None)\n--\n\n"
                  "Fold one ny x nx frame (x converted to complex64, flattened row-major). Every dwell-th call\n"
                  "returns the ny_out x nx_out correlation as a flat complex64 array; the others return None."),
    py::m_size<Corr2DObj, corr2d_execute_max_out>("execute_max_out", "execute_max_out()\n--\n\nn_out."),
    Corr2DState::state_bytes(),
    Corr2DState::get_state(),
    Corr2DState::set_state(),
    py::m_destroy<Corr2DObj>(),
    py::m_enter<Corr2DObj>(),
    py::m_exit<Corr2DObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef Corr2D_getset[] = {
    py::prop<Corr2DObj, corr2d_ny, py::U64>("ny", "Row count."),
    py::prop<Corr2DObj, corr2d_nx, py::U64>("nx", "Column count."),
    py::prop<Corr2DObj, corr2d_ny_out, py::U64>("ny_out", "Output rows (== ny unless decoupled)."),
    py::prop<Corr2DObj, corr2d_nx_out, py::U64>("nx_out", "Output columns (== nx unless decoupled)."),
    py::prop<Corr2DObj, corr2d_n_out, py::U64>("n_out", "ny_out * nx_out — output element count."),
    py::prop<Corr2DObj, corr2d_dwell, py::U64>("dwell", "Integration depth."),
    py::prop<Corr2DObj, corr2d_count, py::U64>("count", "Frames accumulated (0 … dwell-1)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject Corr2DType = py::make_type<Corr2DObj>(
    "spectral.Corr2D",
    "Corr2D(ref, dwell=1, nthreads=1, ny_out=0, nx_out=0)\n--\n\n"
    "2-D circular FFT cross-correlator against the 2-D array ref (shape (ny, nx)) with coherent\n"
    "integrate-and-dump over dwell frames; ny_out / nx_out above ny / nx interpolate the output\n"
    "(0 means ny / nx). A reference confined to its first row is correlated row by row.",
    Corr2D_methods, Corr2D_getset, Corr2D_init);

// ----------------------------------------------------------------------------
// CorrDetector, CorrDetector2D

// The detector writes every dump into an array the Python object owns, so the
// arrays handed out as last_corr stay valid after the core is destroyed.
// It also holds the telemetry.Telemetry its probes report to, if any.
struct DetExtra : py::TlmHookup {
    PyObject *corr_arr = nullptr;
    DetExtra() = default;
    DetExtra(const DetExtra &) = delete;
    DetExtra &operator=(const DetExtra &) = delete;
    ~DetExtra() { Py_XDECREF(corr_arr); }
};

using DetObj = py::Object<detector, detector_destroy, DetExtra>;
using Det2DObj = py::Object<detector2d, detector2d_destroy, DetExtra>;
using DetState = py::StateMethods<DetObj, detector_state_bytes, detector_get_state, detector_set_state>;
using Det2DState = py::StateMethods<Det2DObj, detector2d_state_bytes, detector2d_get_state, detector2d_set_state>;

// Installs a freshly created detector with its own correlation array.
template <class O, auto SetBuffer>
int det_adopt(PyObject *self, typename O::Core *h, uint64_t n, const char *create_name) {
    if (h == nullptr) return py::adopt<O>(self, h, create_name);
    PyObject *arr = py::new_array(NPY_COMPLEX64, static_cast<size_t>(n));
    if (arr == nullptr) {
        O::release_core(h);
        return -1;
    }
    std::fill_n(py::array_data<float>(arr), 2 * static_cast<size_t>(n), 0.0f);
    SetBuffer(h, py::array_data<float>(arr));
    if (py::install<O>(self, h) < 0) {
        Py_DECREF(arr);
        return -1;
    }
    Py_XSETREF(py::as<O>(self)->x.corr_arr, arr);
    return 0;
}

inline int CorrDetector_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ref", "dwell", "noise_lo", "noise_hi", "noise_mode", "threshold", "nthreads",
                                   nullptr};
    py::Input ref;
    uint64_t dwell = 1, lo = 0, hi = UINT64_MAX;
    const char *mode = "mean";
    float threshold = 0.0f;
    int nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&|O&O&O&sfi", const_cast<char **>(kwlist),
                                     py::convert_input<NPY_COMPLEX64>, &ref, py::to_u64, &dwell, to_bin_bound, &lo,
                                     to_bin_bound, &hi, &mode, &threshold, &nthreads))
        return -1;
    const int m = noise_mode_index(mode);
    if (m < 0) return -1;
    detector *h = detector_create(ref.data<float>(), ref.size(), dwell, lo, hi, m, threshold, nthreads);
    return det_adopt<DetObj, detector_set_corr_buffer>(self, h, ref.size(), "detector_create");
}

inline int CorrDetector2D_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ref", "dwell", "noise_lo", "noise_hi", "noise_mode", "threshold", "nthreads",
                                   nullptr};
    py::Input ref;
    uint64_t dwell = 1, lo = 0, hi = UINT64_MAX;
    const char *mode = "mean";
    float threshold = 0.0f;
    int nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&|O&O&O&sfi", const_cast<char **>(kwlist),
                                     py::convert_input<NPY_COMPLEX64>, &ref, py::to_u64, &dwell, to_bin_bound, &lo,
                                     to_bin_bound, &hi, &mode, &threshold, &nthreads))
        return -1;
    if (!ref_2d(ref, "ref must be a 2-D array")) return -1;
    const int m = noise_mode_index(mode);
    if (m < 0) return -1;
    const auto ny = static_cast<uint64_t>(ref.dim(0)), nx = static_cast<uint64_t>(ref.dim(1));
    detector2d *h = detector2d_create(ref.data<float>(), ny, nx, dwell, lo, hi, threshold, m, nthreads);
    return det_adopt<Det2DObj, detector2d_set_corr_buffer>(self, h, ny * nx, "detector2d_create");
}

// At most this many records per push (the binding's result buffer).
inline constexpr size_t kMaxRecords = 64;

inline PyObject *record_tuple(const det_result_t &r) {
    return Py_BuildValue("(Kddd)", static_cast<unsigned long long>(r.lag), static_cast<double>(r.peak_mag),
                         static_cast<double>(r.noise_est), static_cast<double>(r.test_stat));
}
inline PyObject *record_tuple(const det_result2d_t &r) {
    return Py_BuildValue("(KKddd)", static_cast<unsigned long long>(r.row), static_cast<unsigned long long>(r.col),
                         static_cast<double>(r.peak_mag), static_cast<double>(r.noise_est),
                         static_cast<double>(r.test_stat));
}

// push(x): x converted to complex64 (flattened); list of result tuples.
template <class O, class Rec, auto Push> PyObject *det_push(PyObject *self, PyObject *x) {
    py::Input in;
    py::Call<O> c(self);
    auto *h = c.convert([&] {
        if (!in.convert(x, NPY_COMPLEX64)) return false;
        // Input that shares memory with the correlation array (a last_corr fed
        // back in) would be overwritten by the dumps it causes: copy it aside.
        auto *arr = reinterpret_cast<PyArrayObject *>(py::as<O>(self)->x.corr_arr);
        if (arr == nullptr || in.size() == 0) return true;
        const char *a = static_cast<const char *>(PyArray_DATA(in.array()));
        const char *b = static_cast<const char *>(PyArray_DATA(arr));
        if (a < b + PyArray_NBYTES(arr) && b < a + PyArray_NBYTES(in.array())) {
            PyObject *copy = PyArray_NewCopy(in.array(), NPY_CORDER);
            if (copy == nullptr) return false;
            const bool ok = in.convert(copy, NPY_COMPLEX64);
            Py_DECREF(copy);
            return ok;
        }
        return true;
    });
    if (h == nullptr || !py::telemetry_alive(c.object())) return nullptr;
    Rec recs[kMaxRecords];
    const float *data = in.data<float>();
    const size_t n = in.size();
    const size_t k = c.run(n, [&] { return Push(h, data, n, recs, kMaxRecords); });
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(k));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < k; ++i) {
        PyObject *t = record_tuple(recs[i]);
        if (t == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
    }
    return list;
}

// last_corr: None before the first dump (and after reset), else a view of the
// object's correlation array, overwritten in place by later dumps.
template <class O, auto HasLast> PyObject *det_last_corr(PyObject *self, void *) {
    py::Call<O> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    PyObject *arr = py::as<O>(self)->x.corr_arr;
    if (!HasLast(h) || arr == nullptr) Py_RETURN_NONE;
    return PyArray_View(reinterpret_cast<PyArrayObject *>(arr), nullptr, &PyArray_Type);
}

#define DET_PUSH_DOC(rec)                                                                              \
    "push(x)\n--\n\n"                                                                                  \
    "Feed samples (converted to complex64, flattened) of the stream; frames are cut from the\n"       \
    "concatenated stream whatever the chunking. Returns a list of " rec " tuples, one per dump that\n" \
    "passed the threshold, at most 64 per call (input not yet buffered then is dropped)."

inline constexpr char kDetPrefix[] = "det";
inline constexpr char kDetTelemetryRefused[] =
    "set_telemetry: prefix too long, or the probe table is full";
inline constexpr const char *kDetTelemetryDoc =
    "set_telemetry(tlm, prefix=\"det\", decim=1)\n--\n\nReport every dump's peak magnitude, noise estimate "
    "and test statistic to the telemetry.Telemetry `tlm` as the probes \"<prefix>.peak\", \"<prefix>.noise\" "
    "and \"<prefix>.stat\" (every decim-th dump); None detaches. The detector keeps tlm alive and refuses to "
    "run once it has been destroyed.";

inline PyMethodDef CorrDetector_methods[] = {
    py::m_reset<DetObj, detector_reset>("reset()\n--\n\nEmpty the ring and the accumulator; forget the last dump."),
    py::method_o("push", det_push<DetObj, det_result_t, detector_push>,
                 DET_PUSH_DOC("(lag, peak_mag, noise_est, test_stat)")),
    py::method_kw("set_telemetry", py::set_telemetry<DetObj, detector_set_telemetry, kDetPrefix, kDetTelemetryRefused>,
                  kDetTelemetryDoc),
    DetState::state_bytes(),
    DetState::get_state(),
    DetState::set_state(),
    py::m_destroy<DetObj>(),
    py::m_enter<DetObj>(),
    py::m_exit<DetObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyMethodDef CorrDetector2D_methods[] = {
    py::m_reset<Det2DObj, detector2d_reset>("reset()\n--\n\nEmpty the ring and the accumulator; forget the last dump."),
    py::method_o("push", det_push<Det2DObj, det_result2d_t, detector2d_push>,
                 DET_PUSH_DOC("(row, col, peak_mag, noise_est, test_stat)")),
    py::method_kw("set_telemetry", py::set_telemetry<Det2DObj, detector2d_set_telemetry, kDetPrefix, kDetTelemetryRefused>,
                  kDetTelemetryDoc),
    Det2DState::state_bytes(),
    Det2DState::get_state(),
    Det2DState::set_state(),
    py::m_destroy<Det2DObj>(),
    py::m_enter<Det2DObj>(),
    py::m_exit<Det2DObj>(),
    {nullptr, nullptr, 0, nullptr},
};

#define LAST_CORR_DOC                                                                                   \
    "Correlation of the latest dump (complex64, flat, writeable), or None before the first dump; later " \
    "dumps overwrite it in place."

inline PyGetSetDef CorrDetector_getset[] = {
    py::prop<DetObj, detector_n, py::U64>("n", "Frame / FFT length in complex samples."),
    py::prop<DetObj, detector_dwell, py::U64>("dwell", "Integration depth; dump every dwell calls."),
    py::prop<DetObj, detector_count, py::U64>("count", "Frames accumulated so far (0 … dwell-1)."),
    py::prop<DetObj, detector_ring_cap, py::U64>("ring_cap", "Ring buffer capacity in complex samples."),
    py::prop<DetObj, detector_noise_lo, py::U64>("noise_lo", "Noise bin range lower bound (inclusive)."),
    py::prop<DetObj, detector_noise_hi, py::U64>("noise_hi", "Noise bin range upper bound (inclusive)."),
    py::prop<DetObj, detector_threshold, py::F64>("threshold", "0 = always fire; >0 = gate on test_stat."),
    py::prop("last_corr", det_last_corr<DetObj, detector_has_last>, LAST_CORR_DOC),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyGetSetDef CorrDetector2D_getset[] = {
    py::prop<Det2DObj, detector2d_ny, py::U64>("ny", "Number of rows."),
    py::prop<Det2DObj, detector2d_nx, py::U64>("nx", "Number of columns."),
    py::prop<Det2DObj, detector2d_n, py::U64>("n", "ny * nx — total frame length."),
    py::prop<Det2DObj, detector2d_dwell, py::U64>("dwell", "Integration depth; dump every dwell calls."),
    py::prop<Det2DObj, detector2d_count, py::U64>("count", "Frames accumulated so far (0 … dwell-1)."),
    py::prop<Det2DObj, detector2d_ring_cap, py::U64>("ring_cap", "Ring buffer capacity in complex samples."),
    py::prop<Det2DObj, detector2d_noise_lo, py::U64>("noise_lo", "Noise bin range lower bound (inclusive)."),
    py::prop<Det2DObj, detector2d_noise_hi, py::U64>("noise_hi", "Noise bin range upper bound (inclusive)."),
    py::prop<Det2DObj, detector2d_threshold, py::F64>("threshold", "0 = always fire; >0 = gate on test_stat."),
    py::prop("last_corr", det_last_corr<Det2DObj, detector2d_has_last>, LAST_CORR_DOC),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define DET_DOC_TAIL                                                                                   \
    "dwell frames are summed coherently per dump. After each dump the peak |correlation| is\n"         \
    "measured against the noise over bins noise_lo .. noise_hi (inclusive, clamped to the frame;\n"    \
    "-1 means the last bin), estimated by noise_mode \"mean\", \"median\", \"min\" or \"max\".\n"      \
    "threshold 0 reports every dump, otherwise only those with peak/noise > threshold."

inline PyTypeObject CorrDetectorType = py::make_type<DetObj>(
    "spectral.CorrDetector",
    "CorrDetector(ref, dwell=1, noise_lo=0, noise_hi=-1, noise_mode=\"mean\", threshold=0.0, nthreads=1)\n--\n\n"
    "Streaming correlation detector: pushed samples are cut into frames of n = len(ref) samples and\n"
    "correlated against ref; " DET_DOC_TAIL,
    CorrDetector_methods, CorrDetector_getset, CorrDetector_init);

inline PyTypeObject CorrDetector2DType = py::make_type<Det2DObj>(
    "spectral.CorrDetector2D",
    "CorrDetector2D(ref, dwell=1, noise_lo=0, noise_hi=-1, noise_mode=\"mean\", threshold=0.0, nthreads=1)\n--\n\n"
    "Streaming 2-D correlation detector: pushed samples are cut into row-major frames of the shape\n"
    "of the 2-D array ref and correlated against it; " DET_DOC_TAIL,
    CorrDetector2D_methods, CorrDetector2D_getset, CorrDetector2D_init);

}  // namespace sx::spectral_py
