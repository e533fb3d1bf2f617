// The spectral extension module: FFT engines, correlators and streaming
// detectors, the PSD estimator and the window and measure helpers.
#include <algorithm>
#include <memory>
#include <new>

#include "core/sx_pyframe.h"
#include "spectral/corr_py.h"
#include "spectral/fft2d_core.h"
#include "spectral/fft_core.h"
#include "spectral/psd_core.h"
#include "spectral/windows.h"

namespace py = sx::py;

namespace {

// ----------------------------------------------------------------------------
// Shared method shapes

// execute_*(x, out=None): x converted to the engine's complex dtype, any shape.
template <class O, int Typenum, auto Exec, auto MaxOut>
constexpr auto execute = py::execute<O, Typenum, Typenum, Exec, py::ByMaxOut<MaxOut>>;

#define EXEC_DOC(name, dtype)                                                                       \
    name "(x, out=None)\n--\n\n"                                                                      \
         "Transform x (converted to " dtype ", any shape, flattened) and return the bins as a flat " \
         dtype " array. Missing input samples count as zero; extra ones are ignored."

// ----------------------------------------------------------------------------
// FFT

using FFTObj = py::Object<fft, fft_destroy>;

int FFT_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", "sign", "nthreads", nullptr};
    uint64_t n = 1024;
    int sign = -1, nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&ii", const_cast<char **>(kwlist), py::to_u64, &n, &sign,
                                     &nthreads))
        return -1;
    fft *h = fft_create(n, sign, nthreads);
    return py::adopt<FFTObj>(self, h, "fft_create");
}

// execute_ci16(iq) / execute_ci8(iq): interleaved integer I/Q in, n complex64 bins out.
template <class I, int Typenum, auto Exec> PyObject *execute_int(PyObject *self, PyObject *x) {
    py::Input in;
    py::Call<FFTObj> c(self);
    auto *h = c.convert([&] { return in.convert(x, Typenum); });
    if (h == nullptr) return nullptr;
    const size_t n = fft_size(h);
    py::Output o;
    if (!o.prepare(nullptr, NPY_COMPLEX64, std::max(n, in.size() / 2))) return nullptr;
    const I *iq = in.data<I>();
    float *y = o.data<float>();
    return o.finish(c.run(std::max(n, in.size()), [&] { return Exec(h, iq, in.size(), y); }));
}

PyMethodDef FFT_methods[] = {
    py::m_reset<FFTObj, fft_reset>("reset()\n--\n\nNo effect: the engine has no mutable state."),
    py::method_kw("execute_cf64",
                  execute<FFTObj, NPY_COMPLEX128, fft_execute_cf64, fft_execute_cf64_max_out>,
                  EXEC_DOC("execute_cf64", "complex128")),
    py::method_kw("execute_cf32", execute<FFTObj, NPY_COMPLEX64, fft_execute_cf32, fft_execute_cf32_max_out>,
                  EXEC_DOC("execute_cf32", "complex64")),
    py::method_kw("execute_inplace_cf64",
                  execute<FFTObj, NPY_COMPLEX128, fft_execute_inplace_cf64, fft_execute_inplace_cf64_max_out>,
                  EXEC_DOC("execute_inplace_cf64", "complex128")),
    py::method_kw("execute_inplace_cf32",
                  execute<FFTObj, NPY_COMPLEX64, fft_execute_inplace_cf32, fft_execute_inplace_cf32_max_out>,
                  EXEC_DOC("execute_inplace_cf32", "complex64")),
    py::method_o("execute_ci16", execute_int<int16_t, NPY_INT16, fft_execute_ci16>,
                 "execute_ci16(iq)\n--\n\nTransform interleaved int16 I/Q (code/32768) into n complex64 bins."),
    py::method_o("execute_ci8", execute_int<int8_t, NPY_INT8, fft_execute_ci8>,
                 "execute_ci8(iq)\n--\n\nTransform interleaved int8 I/Q (code/128) into n complex64 bins."),
    py::m_size<FFTObj, fft_execute_cf64_max_out>("execute_cf64_max_out", "execute_cf64_max_out()\n--\n\nn."),
    py::m_size<FFTObj, fft_execute_cf32_max_out>("execute_cf32_max_out", "execute_cf32_max_out()\n--\n\nn."),
    py::m_size<FFTObj, fft_execute_inplace_cf64_max_out>("execute_inplace_cf64_max_out",
                                                         "execute_inplace_cf64_max_out()\n--\n\nn."),
    py::m_size<FFTObj, fft_execute_inplace_cf32_max_out>("execute_inplace_cf32_max_out",
                                                         "execute_inplace_cf32_max_out()\n--\n\nn."),
    py::m_destroy<FFTObj>(),
    py::m_enter<FFTObj>(),
    py::m_exit<FFTObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef FFT_getset[] = {
    py::prop<FFTObj, fft_size, py::U64>("n", "Transform length (samples)."),
    py::prop<FFTObj, fft_sign, py::I64>("sign", "-1 forward, +1 inverse."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FFTType = py::make_type<FFTObj>(
    "spectral.FFT",
    "FFT(n=1024, sign=-1, nthreads=1)\n--\n\n"
    "Fixed-length complex DFT planned once at construction. sign < 0 is the forward\n"
    "transform, otherwise the inverse; neither scales. nthreads is accepted and ignored.",
    FFT_methods, FFT_getset, FFT_init);

// ----------------------------------------------------------------------------
// FFT2D

using FFT2DObj = py::Object<fft2d, fft2d_destroy>;

int FFT2D_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ny", "nx", "sign", "nthreads", nullptr};
    uint64_t ny = 64, nx = 64;
    int sign = -1, nthreads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&O&ii", const_cast<char **>(kwlist), py::to_u64, &ny, py::to_u64,
                                     &nx, &sign, &nthreads))
        return -1;
    fft2d *h = fft2d_create(ny, nx, sign, nthreads);
    return py::adopt<FFT2DObj>(self, h, "fft2d_create");
}

PyMethodDef FFT2D_methods[] = {
    py::m_reset<FFT2DObj, fft2d_reset>("reset()\n--\n\nNo effect: the engine has no mutable state."),
    py::method_kw("execute_cf64",
                  execute<FFT2DObj, NPY_COMPLEX128, fft2d_execute_cf64, fft2d_execute_cf64_max_out>,
                  EXEC_DOC("execute_cf64", "complex128")),
    py::method_kw("execute_cf32",
                  execute<FFT2DObj, NPY_COMPLEX64, fft2d_execute_cf32, fft2d_execute_cf32_max_out>,
                  EXEC_DOC("execute_cf32", "complex64")),
    py::method_kw(
        "execute_inplace_cf64",
        execute<FFT2DObj, NPY_COMPLEX128, fft2d_execute_inplace_cf64, fft2d_execute_inplace_cf64_max_out>,
        EXEC_DOC("execute_inplace_cf64", "complex128")),
    py::method_kw(
        "execute_inplace_cf32",
        execute<FFT2DObj, NPY_COMPLEX64, fft2d_execute_inplace_cf32, fft2d_execute_inplace_cf32_max_out>,
        EXEC_DOC("execute_inplace_cf32", "complex64")),
    py::m_size<FFT2DObj, fft2d_execute_cf64_max_out>("execute_cf64_max_out", "execute_cf64_max_out()\n--\n\nny*nx."),
    py::m_size<FFT2DObj, fft2d_execute_cf32_max_out>("execute_cf32_max_out", "execute_cf32_max_out()\n--\n\nny*nx."),
    py::m_size<FFT2DObj, fft2d_execute_inplace_cf64_max_out>("execute_inplace_cf64_max_out",
                                                             "execute_inplace_cf64_max_out()\n--\n\nny*nx."),
    py::m_size<FFT2DObj, fft2d_execute_inplace_cf32_max_out>("execute_inplace_cf32_max_out",
                                                             "execute_inplace_cf32_max_out()\n--\n\nny*nx."),
    py::m_destroy<FFT2DObj>(),
    py::m_enter<FFT2DObj>(),
    py::m_exit<FFT2DObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef FFT2D_getset[] = {
    py::prop<FFT2DObj, fft2d_ny, py::U64>("ny", "Row count."),
    py::prop<FFT2DObj, fft2d_nx, py::U64>("nx", "Column count."),
    py::prop<FFT2DObj, fft2d_sign, py::I64>("sign", "-1 forward, +1 inverse."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FFT2DType = py::make_type<FFT2DObj>(
    "spectral.FFT2D",
    "FFT2D(ny=64, nx=64, sign=-1, nthreads=1)\n--\n\n"
    "Fixed-size 2-D complex DFT over a row-major ny x nx grid (input of any shape is\n"
    "flattened; results are flat). No scaling; nthreads is accepted and ignored.",
    FFT2D_methods, FFT2D_getset, FFT2D_init);

// ----------------------------------------------------------------------------
// PSD

using PSDObj = py::Object<psd, psd_destroy>;
using PSDState = py::StateMethods<PSDObj, psd_state_bytes, psd_get_state, psd_set_state>;

int PSD_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", "fs", "window", "beta", "pad", "full_scale", "bits", "mode", "alpha",
                                   nullptr};
    uint64_t n = 1024, pad = 1, bits = 0;
    double fs = 1.0, full_scale = 1.0, alpha = 0.1;
    float beta = 0.0f;
    const char *window = "hann";
    const char *mode = "mean";
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&dsfO&dO&sd", const_cast<char **>(kwlist), py::to_u64, &n, &fs,
                                     &window, &beta, py::to_u64, &pad, &full_scale, py::to_u64, &bits, &mode, &alpha))
        return -1;
    const int w = py::option_index("window", window, {"hann", "kaiser", "blackman-harris"});
    if (w < 0) return -1;
    const int m = py::option_index("mode", mode, {"mean", "exp", "maxhold", "minhold"});
    if (m < 0) return -1;
    psd *h = psd_create(n, static_cast<unsigned>(w), pad, bits, static_cast<unsigned>(m), fs, beta, full_scale,
                        alpha);
    return py::adopt<PSDObj>(self, h, "psd_create");
}

template <int Typenum, auto Fold> PyObject *psd_fold(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", nullptr};
    py::Input in;
    py::Call<PSDObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::convert_input<Typenum>, &in);
    if (h == nullptr) return nullptr;
    const float *x = in.data<float>();
    c.run(in.size(), [&] { Fold(h, x, in.size()); });
    Py_RETURN_NONE;
}

// Spectrum reads: `count` stands where the input length stands in the usual
// sizing rule; nothing accumulated yet gives None (and leaves out= untouched).
template <auto Read, auto MaxOut> PyObject *psd_spectrum(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"count", "out", nullptr};
    Py_ssize_t count = 1;
    PyObject *out = nullptr;
    py::Call<PSDObj> c(self);
    auto *h = c.args(args, kw, "|nO", kwlist, &count, &out);
    if (h == nullptr) return nullptr;
    const size_t want = count > 0 ? static_cast<size_t>(count) : 0;
    py::Output o;
    if (!o.prepare(out, NPY_FLOAT32, std::max(MaxOut(h), want))) return nullptr;
    const size_t n = Read(h, want, o.data<float>(), o.capacity());
    if (n == 0) Py_RETURN_NONE;
    return o.finish(n);
}

constexpr char kBands[] = "bands";

PyObject *PSD_total_band_power(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"bands", nullptr};
    py::Input in;
    py::Call<PSDObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::convert_input<NPY_FLOAT64>, &in);
    return h == nullptr ? nullptr : PyFloat_FromDouble(psd_total_band_power(h, in.data<double>(), in.size()));
}

PyObject *PSD_occupied_bw(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"fraction", nullptr};
    double fraction = 0.0;
    py::Call<PSDObj> c(self);
    auto *h = c.args(args, kw, "d", kwlist, &fraction);
    return h == nullptr ? nullptr : PyFloat_FromDouble(psd_occupied_bw(h, fraction));
}

PyObject *PSD_snr(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"lo_hz", "hi_hz", nullptr};
    double lo = 0.0, hi = 0.0;
    py::Call<PSDObj> c(self);
    auto *h = c.args(args, kw, "dd", kwlist, &lo, &hi);
    return h == nullptr ? nullptr : PyFloat_FromDouble(psd_snr(h, lo, hi));
}

PyObject *PSD_sfdr(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"min_db", nullptr};
    float min_db = 0.0f;
    py::Call<PSDObj> c(self);
    auto *h = c.args(args, kw, "f", kwlist, &min_db);
    return h == nullptr ? nullptr : PyFloat_FromDouble(psd_sfdr(h, min_db));
}

#define SPECTRUM_DOC(name, what)                                                            \
    name "(count=1, out=None)\n--\n\n" what                                                 \
         " as a float32 array in DC-centred bin order, or None before the first frame. " \
         "The result array (or out=) holds at least max(count, " name "_max_out()) elements."

PyMethodDef PSD_methods[] = {
    py::method_kw("accumulate", psd_fold<NPY_COMPLEX64, psd_accumulate>,
                  "accumulate(x)\n--\n\nFold every complete frame of n samples of x (complex64); the rest is dropped."),
    py::method_kw("accumulate_real", psd_fold<NPY_FLOAT32, psd_accumulate_real>,
                  "accumulate_real(x)\n--\n\nFold every complete frame of n real (float32) samples of x."),
    py::m_reset<PSDObj, psd_reset>("reset()\n--\n\nEmpty the trace (count 0)."),
    py::method_kw("psd_db", psd_spectrum<psd_psd_db, psd_psd_db_max_out>, SPECTRUM_DOC("psd_db", "Power in dBFS")),
    py::method_kw("psd_dbhz", psd_spectrum<psd_psd_dbhz, psd_psd_dbhz_max_out>,
                  SPECTRUM_DOC("psd_dbhz", "Power density in dBFS/Hz")),
    py::method_kw("power_twosided", psd_spectrum<psd_power_twosided, psd_power_twosided_max_out>,
                  SPECTRUM_DOC("power_twosided", "Linear power per bin")),
    py::method_kw("power_onesided", psd_spectrum<psd_power_onesided, psd_power_onesided_max_out>,
                  "power_onesided(count=1, out=None)\n--\n\n"
                  "Linear power folded onto 0 .. fs/2 (nfft/2 + 1 values, the last one the -fs/2 bin alone),\n"
                  "or None before the first frame."),
    py::m_size<PSDObj, psd_psd_db_max_out>("psd_db_max_out", "psd_db_max_out()\n--\n\nnfft."),
    py::m_size<PSDObj, psd_psd_dbhz_max_out>("psd_dbhz_max_out", "psd_dbhz_max_out()\n--\n\nnfft."),
    py::m_size<PSDObj, psd_power_twosided_max_out>("power_twosided_max_out", "power_twosided_max_out()\n--\n\nnfft."),
    py::m_size<PSDObj, psd_power_onesided_max_out>("power_onesided_max_out",
                                                   "power_onesided_max_out()\n--\n\nnfft/2 + 1."),
    py::method_kw("band_power",
                  py::execute<PSDObj, NPY_FLOAT64, NPY_FLOAT32, psd_band_power, py::ByMaxOut<psd_band_power_max_out>,
                              kBands>,
                  "band_power(bands, out=None)\n--\n\n"
                  "Power [dBFS] inside each (lo, hi) pair of band edges [Hz]; -200 for an empty band.\n"
                  "Empty array before the first frame; out= must hold len(bands) float32 values."),
    py::m_size<PSDObj, psd_band_power_max_out>("band_power_max_out",
                                               "band_power_max_out()\n--\n\n0: sized by the number of band edges."),
    py::method_kw("total_band_power", PSD_total_band_power,
                  "total_band_power(bands)\n--\n\nSum of the band powers [dBFS]; -200 before the first frame."),
    py::method_kw("occupied_bw", PSD_occupied_bw,
                  "occupied_bw(fraction)\n--\n\nWidth [Hz] of the band holding `fraction` of the total power."),
    py::m_value<PSDObj, psd_noise_floor, py::F64>("noise_floor", "noise_floor()\n--\n\nMedian of the dBFS trace [dB]."),
    py::method_kw("snr", PSD_snr,
                  "snr(lo_hz, hi_hz)\n--\n\nHighest dBFS bin in [lo_hz, hi_hz] minus the noise floor [dB]."),
    py::method_kw("sfdr", PSD_sfdr,
                  "sfdr(min_db)\n--\n\nStrongest minus second strongest peak above min_db [dB]; 0 with fewer than two."),
    PSDState::state_bytes(),
    PSDState::get_state(),
    PSDState::set_state(),
    py::m_destroy<PSDObj>(),
    py::m_enter<PSDObj>(),
    py::m_exit<PSDObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PSD_getset[] = {
    py::prop<PSDObj, psd_n, py::U64>("n", "Window / frame length (samples)."),
    py::prop<PSDObj, psd_nfft, py::U64>("nfft", "Zero-padded transform length."),
    py::prop<PSDObj, psd_bits, py::U64>("bits", "ADC depth that set full_scale, else 0."),
    py::prop<PSDObj, psd_count, py::U64>("count", "Frames folded in so far."),
    py::prop<PSDObj, psd_fs, py::F64>("fs", "Sample rate, Hz."),
    py::prop<PSDObj, psd_full_scale, py::F64>("full_scale", "Amplitude that reads 0 dBFS."),
    py::prop<PSDObj, psd_enbw, py::F64>("enbw", "Equivalent noise bandwidth, bins."),
    py::prop<PSDObj, psd_rbw, py::F64>("rbw", "Rbw."),
    py::prop<PSDObj, psd_mode, py::I64>("mode", "Reduction mode."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject PSDType = py::make_type<PSDObj>(
    "spectral.PSD",
    "PSD(n=1024, fs=1.0, window=\"hann\", beta=0.0, pad=1, full_scale=1.0, bits=0, mode=\"mean\", alpha=0.1)\n--\n\n"
    "Averaged power spectrum over non-overlapping frames of n samples, windowed and zero-padded to\n"
    "nfft (a power of two >= n*pad). window: \"hann\", \"kaiser\" (shape beta) or \"blackman-harris\";\n"
    "mode: \"mean\", \"exp\" (smoothing alpha), \"maxhold\" or \"minhold\". bits > 0 sets\n"
    "full_scale = 2**(bits-1). Bin k stands for (k - nfft/2)*fs/nfft.",
    PSD_methods, PSD_getset, PSD_init);

// ----------------------------------------------------------------------------
// Module functions

constexpr const char *kFillMsg = "w must be a writable, C-contiguous ndarray of the output dtype";

PyObject *m_kaiser_enbw(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"w", nullptr};
    py::Input w;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&", const_cast<char **>(kwlist), py::convert_input<NPY_FLOAT32>, &w))
        return nullptr;
    return PyFloat_FromDouble(kaiser_enbw(w.data<float>(), w.size()));
}

// The window functions fill the caller's float32 array in place.
template <class Fill> PyObject *fill_window(PyObject *w, Fill fill) {
    if (w == Py_None) {
        PyErr_SetString(PyExc_TypeError, kFillMsg);
        return nullptr;
    }
    py::Output o;
    if (!o.prepare(w, NPY_FLOAT32, 0, kFillMsg)) return nullptr;
    fill(o.data<float>(), o.capacity());
    Py_RETURN_NONE;
}

PyObject *m_kaiser_window(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"w", "beta", nullptr};
    PyObject *w = nullptr;
    float beta = 0.0f;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "Of", const_cast<char **>(kwlist), &w, &beta)) return nullptr;
    return fill_window(w, [beta](float *p, size_t n) { kaiser_window(p, n, beta); });
}

PyObject *m_hann_window(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"w", nullptr};
    PyObject *w = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O", const_cast<char **>(kwlist), &w)) return nullptr;
    return fill_window(w, [](float *p, size_t n) { hann_window(p, n); });
}

PyObject *m_blackman_harris_window(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"w", nullptr};
    PyObject *w = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O", const_cast<char **>(kwlist), &w)) return nullptr;
    return fill_window(w, [](float *p, size_t n) { blackman_harris_window(p, n); });
}

PyObject *m_kaiser_beta_for_sidelobe(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"atten_db", nullptr};
    double a = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "d", const_cast<char **>(kwlist), &a)) return nullptr;
    return PyFloat_FromDouble(kaiser_beta_for_sidelobe(a));
}

template <int Typenum, class T, class Floor, auto Fn, const char *Fmt>
PyObject *magnitude_db(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", "lin_floor", "offset_db", nullptr};
    py::Input x;
    Floor lin_floor{};
    float offset = 0.0f;
    if (!PyArg_ParseTupleAndKeywords(args, kw, Fmt, const_cast<char **>(kwlist), py::convert_input<Typenum>, &x,
                                     &lin_floor, &offset))
        return nullptr;
    PyObject *r = py::new_array(NPY_FLOAT32, x.size());
    if (r == nullptr) return nullptr;
    Fn(x.data<T>(), x.size(), py::array_data<float>(r), lin_floor, offset);
    return r;
}
constexpr char kFmtF32[] = "O&ff";
constexpr char kFmtF64[] = "O&df";

PyObject *m_find_peaks_f32(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"db", "n_peaks", "min_db", nullptr};
    py::Input db;
    uint64_t n_peaks = 0;
    float min_db = 0.0f;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&O&f", const_cast<char **>(kwlist), py::convert_input<NPY_FLOAT32>,
                                     &db, py::to_u64, &n_peaks, &min_db))
        return nullptr;
    // No spectrum of N bins has more than N/2 + 1 peaks, whatever was asked for.
    const size_t n = db.size();
    const size_t room = std::min<uint64_t>(n_peaks, n / 2 + 1);
    std::unique_ptr<sx_peak_t[]> buf(new (std::nothrow) sx_peak_t[room == 0 ? 1 : room]);
    if (!buf) return PyErr_NoMemory();
    const uint64_t c = find_peaks_f32(db.data<float>(), n, room, buf.get(), min_db);
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(c));
    if (list == nullptr) return nullptr;
    for (uint64_t i = 0; i < c; ++i) {
        PyObject *t = Py_BuildValue("(dd)", static_cast<double>(buf[i].freq_norm), static_cast<double>(buf[i].level_db));
        if (t == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
    }
    return list;
}

PyObject *m_obw_from_power(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"pwr", "fs", "frac", nullptr};
    py::Input p;
    double fs = 0.0, frac = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&dd", const_cast<char **>(kwlist), py::convert_input<NPY_FLOAT64>, &p,
                                     &fs, &frac))
        return nullptr;
    return PyFloat_FromDouble(obw_from_power(p.data<double>(), p.size(), fs, frac));
}

PyObject *m_noise_floor_db(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"db", nullptr};
    py::Input db;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&", const_cast<char **>(kwlist), py::convert_input<NPY_FLOAT32>, &db))
        return nullptr;
    return PyFloat_FromDouble(noise_floor_db(db.data<float>(), db.size()));
}

PyMethodDef module_methods[] = {
    py::method_kw("kaiser_enbw", m_kaiser_enbw,
                  "kaiser_enbw(w)\n--\n\nEquivalent noise bandwidth N*sum(w^2)/sum(w)^2 of any window, in bins."),
    py::method_kw("kaiser_window", m_kaiser_window,
                  "kaiser_window(w, beta)\n--\n\nFill the float32 array w with a Kaiser window of shape beta."),
    py::method_kw("hann_window", m_hann_window, "hann_window(w)\n--\n\nFill the float32 array w with a Hann window."),
    py::method_kw("blackman_harris_window", m_blackman_harris_window,
                  "blackman_harris_window(w)\n--\n\nFill the float32 array w with a 4-term Blackman-Harris window."),
    py::method_kw("kaiser_beta_for_sidelobe", m_kaiser_beta_for_sidelobe,
                  "kaiser_beta_for_sidelobe(atten_db)\n--\n\nKaiser beta for a window sidelobe level [dB]."),
    py::method_kw("magnitude_db_cf32", magnitude_db<NPY_COMPLEX64, float, float, magnitude_db_cf32, kFmtF32>,
                  "magnitude_db_cf32(x, lin_floor, offset_db)\n--\n\n"
                  "20*log10(max(|x|, lin_floor)) + offset_db as a new float32 array (float32 arithmetic)."),
    py::method_kw("magnitude_db_cf64", magnitude_db<NPY_COMPLEX128, double, double, magnitude_db_cf64, kFmtF64>,
                  "magnitude_db_cf64(x, lin_floor, offset_db)\n--\n\n"
                  "20*log10(max(|x|, lin_floor)) + offset_db as a new float32 array (double arithmetic)."),
    py::method_kw("find_peaks_f32", m_find_peaks_f32,
                  "find_peaks_f32(db, n_peaks, min_db)\n--\n\n"
                  "Up to n_peaks (freq_norm, level_db) tuples of a DC-centred dB spectrum, strongest first."),
    py::method_kw("obw_from_power", m_obw_from_power,
                  "obw_from_power(pwr, fs, frac)\n--\n\nWidth [Hz] holding frac of the linear power pwr."),
    py::method_kw("noise_floor_db", m_noise_floor_db, "noise_floor_db(db)\n--\n\nMedian of db."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "spectral",
    "Spectral transforms: reusable FFT and FFT2D engines (fixed length, pocketfft plans cached at construction) "
    "plus Corr / Corr2D cross-correlators and PSD power-spectrum estimators.",
    -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_spectral(void) {
    namespace cp = sx::spectral_py;
    return py::make_module(&module_def, {
                                            {"FFT", &FFTType},
                                            {"FFT2D", &FFT2DType},
                                            {"Corr", &cp::CorrType},
                                            {"Corr2D", &cp::Corr2DType},
                                            {"CorrDetector", &cp::CorrDetectorType},
                                            {"CorrDetector2D", &cp::CorrDetector2DType},
                                            {"PSD", &PSDType},
                                        });
}
