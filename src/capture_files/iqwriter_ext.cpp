// The iqwriter extension module: the capture Writer and write_blue_header.
#include "core/sx_pyframe.h"

#include <cmath>
#include <vector>

#include "capture_files/iqwriter_core.h"
#include "capture_files/write_blue_header.h"

namespace py = sx::py;

namespace {

// Deallocation cannot raise, so a failed close there is only the core's business.
void release_writer(iqwriter *w) { iqwriter_close(w); }

using WriterObj = py::Object<iqwriter, release_writer>;

constexpr const char *kOpenMsg =
    "cannot open the capture for writing: check the path, the directory, and permissions -- and note that "
    "file_type=\"sigmf\" requires a path ending in .sigmf-data, since a SigMF capture is a <base>.sigmf-data + "
    "<base>.sigmf-meta pair found by name";
constexpr const char *kCloseMsg =
    "failed to finalise the capture: the trailing header patch or extended header was not written";

const std::initializer_list<const char *> kSampleTypes = {"cf32", "cf64", "ci32", "ci16", "ci8",
                                                          "f32",  "f64",  "i32",  "i16",  "i8"};

int Writer_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"path",  "fs",    "file_type", "sample_type", "endian",
                                   "fc",    "total", "headroom",  "t0",          "sidecar", nullptr};
    PyObject *path = nullptr;
    double fs = 0, fc = 0, headroom = 0, t0 = 0;
    const char *file_type = "raw", *sample_type = "cf32", *endian = "le";
    uint64_t total = 0;
    int sidecar = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&d|sssdO&ddp", const_cast<char **>(kwlist), PyUnicode_FSConverter,
                                     &path, &fs, &file_type, &sample_type, &endian, &fc, py::to_u64, &total, &headroom,
                                     &t0, &sidecar))
        return -1;
    const int ft = py::option_index("file_type", file_type, {"raw", "csv", "blue", "sigmf"});
    const int st = ft < 0 ? -1 : py::option_index("sample_type", sample_type, kSampleTypes);
    const int be = st < 0 ? -1 : py::option_index("endian", endian, {"le", "be"});
    if (be < 0) {
        Py_DECREF(path);
        return -1;
    }
    iqwriter *w = iqwriter_create(PyBytes_AS_STRING(path), ft, st, be, total, sidecar, fs, fc, headroom, t0);
    Py_DECREF(path);
    if (w == nullptr) {
        PyErr_SetString(PyExc_OSError, kOpenMsg);
        return -1;
    }
    return py::install<WriterObj>(self, w);
}

PyObject *Writer_write(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"x", nullptr};
    py::Input in;
    py::Call<WriterObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::convert_input<NPY_COMPLEX64>, &in);
    if (h == nullptr) return nullptr;
    const float *x = in.data<float>();
    return PyLong_FromSize_t(c.run(in.size(), [&] { return iqwriter_write(h, x, in.size()); }));
}

// Appends one element of `code` converted from `item` to `out` (host order).
bool append_element(char code, PyObject *item, std::vector<uint8_t> &out) {
    uint8_t b[8];
    size_t n;
    if (code == 'F' || code == 'D') {
        const double d = PyFloat_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) return false;
        if (code == 'F') {
            const float f = static_cast<float>(d);
            std::memcpy(b, &f, n = 4);
        } else {
            std::memcpy(b, &d, n = 8);
        }
    } else {
        const long long v = PyLong_AsLongLong(item);
        if (v == -1 && PyErr_Occurred()) return false;
        // Narrowing keeps the low bytes, as documented.
        switch (code) {
        case 'B': { const int8_t x = static_cast<int8_t>(v); std::memcpy(b, &x, n = 1); break; }
        case 'I': { const int16_t x = static_cast<int16_t>(v); std::memcpy(b, &x, n = 2); break; }
        case 'X': { std::memcpy(b, &v, n = 8); break; }
        default: { const int32_t x = static_cast<int32_t>(v); std::memcpy(b, &x, n = 4); break; }
        }
    }
    try {
        out.insert(out.end(), b, b + n);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// The elements of a keyword value in host order (`bytes`), or the text of an
// 'A' keyword; `data` and `count` say where they are and how many.
bool keyword_value(int code, PyObject *value, std::vector<uint8_t> &bytes, const void *&data, size_t &count) {
    if (code == 'A') {
        if (!PyUnicode_Check(value)) {
            PyErr_SetString(PyExc_TypeError, "value must be a str");
            return false;
        }
        Py_ssize_t len = 0;
        const char *s = PyUnicode_AsUTF8AndSize(value, &len);
        if (s == nullptr) return false;
        data = s;
        count = static_cast<size_t>(len);
    } else {
        if (code > 0x7f || std::strchr("BILTXFD", code) == nullptr || code == 0) {
            PyErr_Format(PyExc_ValueError, "unsupported code '%c'", code);
            return false;
        }
        if (!PySequence_Check(value) || PyUnicode_Check(value)) {
            if (!append_element(static_cast<char>(code), value, bytes)) return false;
            count = 1;
        } else {
            // A tuple copy: converting an element may run code that empties a list in place.
            PyObject *seq = PySequence_Tuple(value);
            if (seq == nullptr) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                    PyErr_Clear();
                    PyErr_SetString(PyExc_TypeError, "value must be a number or a sequence");
                }
                return false;
            }
            const Py_ssize_t n = PyTuple_GET_SIZE(seq);
            if (n == 0) {
                Py_DECREF(seq);
                PyErr_SetString(PyExc_ValueError, "value sequence is empty");
                return false;
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (!append_element(static_cast<char>(code), PyTuple_GET_ITEM(seq, i), bytes)) {
                    Py_DECREF(seq);
                    return false;
                }
            }
            Py_DECREF(seq);
            count = static_cast<size_t>(n);
        }
        data = bytes.data();
    }
    return true;
}

PyObject *Writer_add_keyword(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"tag", "type", "value", nullptr};
    const char *tag = nullptr;
    int code = 0;
    PyObject *value = nullptr;
    std::vector<uint8_t> bytes;
    const void *data = nullptr;
    size_t count = 0;
    // Every element is converted before the handle is fetched: __float__,
    // __index__ or a sequence protocol may run code that closes this writer.
    py::Call<WriterObj> c(self);
    auto *h = c.convert([&] {
        return PyArg_ParseTupleAndKeywords(args, kw, "sCO", const_cast<char **>(kwlist), &tag, &code, &value) &&
               keyword_value(code, value, bytes, data, count);
    });
    if (h == nullptr) return nullptr;
    const int rc = iqwriter_add_keyword(h, tag, static_cast<char>(code), data, count);
    if (rc != 0) {
        PyErr_SetString(PyExc_ValueError, "add_keyword failed");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *Writer_flush(PyObject *self, PyObject *) {
    py::Call<WriterObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    const int rc = iqwriter_flush(h);
    if (rc != 0) return py::raise_status(PyExc_OSError, "flush failed", rc);
    Py_RETURN_NONE;
}

PyObject *Writer_track_clipping(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"on", nullptr};
    int on = 1;
    py::Call<WriterObj> c(self);
    auto *h = c.args(args, kw, "|i", kwlist, &on);
    if (h == nullptr) return nullptr;
    iqwriter_track_clipping(h, on);
    Py_RETURN_NONE;
}

// close(), destroy() and __exit__: finish the file, release the writer whatever
// happens, and raise when finishing failed.
PyObject *Writer_close(PyObject *self, PyObject *) {
    auto *o = py::as<WriterObj>(self);
    if (o->h == nullptr) Py_RETURN_NONE;
    if (o->busy) {
        PyErr_SetString(PyExc_RuntimeError, py::kBusyDestroyMsg);
        return nullptr;
    }
    iqwriter *w = o->h;
    o->h = nullptr;
    if (iqwriter_close(w) != 0) {
        PyErr_SetString(PyExc_OSError, kCloseMsg);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef Writer_methods[] = {
    py::method_kw("write", Writer_write,
                  "write(x)\n--\n\nWrite complex samples (anything convertible to complex64); returns the number "
                  "written, fewer on a short write."),
    py::method_kw("add_keyword", Writer_add_keyword,
                  "add_keyword(tag, type, value)\n--\n\nQueue a BLUE keyword for close. type is one of "
                  "A (str), B, I, L, T, X (integers), F, D (floats); value a scalar or a sequence."),
    py::method_noargs("flush", Writer_flush, "flush()\n--\n\nFlush the capture so readers see what was written."),
    py::method_kw("track_clipping", Writer_track_clipping,
                  "track_clipping(on=1)\n--\n\nCount components beyond full scale for integer wire types."),
    py::method_noargs("close", Writer_close,
                      "close()\n--\n\nFinish the capture and release the writer; harmless when already closed."),
    py::method_noargs("destroy", Writer_close, "destroy()\n--\n\nSame as close()."),
    py::m_enter<WriterObj>(),
    py::method_varargs("__exit__", Writer_close,
                       "__exit__(exc_type, exc, tb)\n--\n\nSame as close(); never suppresses an exception."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Writer_getset[] = {
    py::prop<WriterObj, iqwriter_clip_fraction, py::F64>("clip_fraction",
                                                         "Clipped components / (2 × samples written); 0 before any write."),
    py::prop<WriterObj, iqwriter_get_peak_dbfs, py::F64>("peak_dbfs",
                                                         "Peak component magnitude in dBFS (-inf before any write)."),
    py::prop<WriterObj, iqwriter_get_clipped, py::Bool>("clipped",
                                                        "True when the peak exceeded full scale on an integer wire type."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject WriterType = py::make_type<WriterObj>(
    "iqwriter.Writer",
    "Writer(path, fs, file_type=\"raw\", sample_type=\"cf32\", endian=\"le\", fc=0.0, total=0, headroom=0.0, "
    "t0=0.0, sidecar=True)\n--\n\n"
    "Write unit-scale complex samples to a capture: file_type \"raw\", \"csv\", \"blue\" or \"sigmf\"; "
    "sample_type one of cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8; fs and fc in Hz; headroom in dB "
    "lowers the gain before quantisation; t0 in seconds since 1970 UTC.",
    Writer_methods, Writer_getset, Writer_init);

PyObject *py_write_blue_header(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"path", "fs",    "sample_type", "endian", "fc", "data_start",
                                   "total", "detached", "t0",     nullptr};
    PyObject *path = nullptr;
    double fs = 0, fc = 0, data_start = 0, t0 = 0;
    const char *sample_type = "cf32", *endian = "le";
    uint64_t total = 0;
    int detached = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&d|ssddO&id", const_cast<char **>(kwlist), PyUnicode_FSConverter,
                                     &path, &fs, &sample_type, &endian, &fc, &data_start, py::to_u64, &total,
                                     &detached, &t0))
        return nullptr;
    int st = -1, i = 0;
    for (const char *n : kSampleTypes) {
        if (std::strcmp(n, sample_type) == 0) st = i;
        ++i;
    }
    int be = std::strcmp(endian, "le") == 0 ? 0 : (std::strcmp(endian, "be") == 0 ? 1 : -1);
    if (st < 0) {
        PyErr_Format(PyExc_ValueError,
                     "invalid sample_type '%s' (choices: cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8)",
                     sample_type);
    } else if (be < 0) {
        PyErr_Format(PyExc_ValueError, "invalid endian '%s' (choices: le, be)", endian);
    }
    if (st < 0 || be < 0) {
        Py_DECREF(path);
        return nullptr;
    }
    const int rc = write_blue_header(PyBytes_AS_STRING(path), st, be, total, detached, fs, fc, data_start, t0);
    Py_DECREF(path);
    if (rc != 0) {
        PyErr_Format(PyExc_RuntimeError, "write_blue_header failed (rc=%d)", rc);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    py::method_kw("write_blue_header", py_write_blue_header,
                  "write_blue_header(path, fs, sample_type=\"cf32\", endian=\"le\", fc=0.0, data_start=0.0, "
                  "total=0, detached=1, t0=0.0)\n--\n\n"
                  "Write a stand-alone 512-byte BLUE header, e.g. the .hdr of a detached capture."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "iqwriter",
    "Capture writer: BLUE, SigMF, raw and CSV captures in ten wire sample types.", -1, module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_iqwriter(void) { return py::make_module(&module_def, {{"Writer", &WriterType}}); }
