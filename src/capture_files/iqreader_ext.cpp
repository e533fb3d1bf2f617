// The iqreader extension module: Reader over the capture reader core.
#include <csignal>
#include <cstring>

#include "capture_files/iqreader_core.h"
#include "core/sx_interrupt_adopt.h"
#include "core/sx_interrupt_guard_core.h"
#include "core/sx_pyframe.h"

namespace py = sx::py;

namespace {

constexpr const char *kSampleTypes[] = {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"};

using ReaderObj = py::Object<iqreader, iqreader_destroy>;

int Reader_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"path", "sample_type", "endian", nullptr};
    PyObject *path = nullptr;
    const char *stype = "cf32";
    const char *endian = "le";
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&|ss", const_cast<char **>(kwlist), PyUnicode_FSConverter, &path,
                                     &stype, &endian))
        return -1;
    const int st = py::option_index("sample_type", stype,
                                    {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"});
    const int en = st < 0 ? -1 : py::option_index("endian", endian, {"le", "be"});
    if (st < 0 || en < 0) {
        Py_DECREF(path);
        return -1;
    }
    char why[256];
    iqreader *h = iqreader_create_why(PyBytes_AS_STRING(path), st, en, why, sizeof why);
    Py_DECREF(path);
    if (h == nullptr && why[0] != '\0') {
        PyErr_Format(PyExc_ValueError, "cannot open capture: %s", why);
        return -1;
    }
    if (h == nullptr) {
        PyErr_SetString(PyExc_ValueError,
                        "cannot open capture: no such file, unrecognised file type, or an unsupported BLUE format "
                        "mode (only S and C are supported)");
        return -1;
    }
    iqreader_set_stop_fn(h, sx_interrupted);
    return py::install<ReaderObj>(self, h);  // never replaces the handle a waiting read_follow uses
}

// ---------------------------------------------------------------------------
// Reading

// SIGINT is forwarded to the interrupt flag while at least one follow call waits,
// so Ctrl-C ends the wait; the handler installed before is chained and put back.
// A process that ignores SIGINT (started in the background) keeps ignoring it.
// The count is only touched with the interpreter lock held.
int g_sigint_users = 0;

bool sigint_ignored() {
    struct sigaction cur {};
    return sigaction(SIGINT, nullptr, &cur) == 0 && !(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_IGN;
}

struct SigintForward {
    SigintForward() {
        if (g_sigint_users++ == 0 && !sigint_ignored()) sx_interrupt_on_signal(SIGINT);
    }
    ~SigintForward() {
        if (--g_sigint_users == 0) sx_restore_signal(SIGINT);
    }
};

struct ReadNeed {
    // What the read can return, never the count alone: read(2**40) on a short
    // file must not ask for terabytes.
    static size_t need(iqreader *h, size_t n) { return iqreader_read_max_out(h, n); }
};

PyObject *Reader_read_follow(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"count", "out", nullptr};
    size_t count = 1;
    PyObject *out = nullptr;
    py::Call<ReaderObj> c(self);
    auto *h = c.args(args, kw, "|O&O", kwlist, py::to_size, &count, &out);
    if (h == nullptr) return nullptr;
    py::Output o;
    if (!o.prepare(out, NPY_COMPLEX64, iqreader_read_follow_max_out(h, count))) return nullptr;
    // Sized by what the read can return, never by the count alone.
    float *y = o.data<float>();
    const size_t cap = o.capacity();
    SigintForward forward;
    return o.finish(c.unlocked([&] { return iqreader_read_follow(h, count, y, cap); }));
}

template <auto MaxOut> PyObject *Reader_max_out(PyObject *self, PyObject *arg) {
    size_t n = 0;
    py::Call<ReaderObj> c(self);
    auto *h = c.convert([&] { return py::to_size(arg, &n) != 0; });
    return h == nullptr ? nullptr : PyLong_FromSize_t(MaxOut(h, n));
}

// ---------------------------------------------------------------------------
// Properties

// An enumerated value as its name, or the out-of-range ValueError.
template <auto Get, size_t N>
PyObject *enum_name(PyObject *self, const char *const (&names)[N], const char *prop, const char *field) {
    py::Call<ReaderObj> c(self);
    iqreader *h = c.pin();
    if (h == nullptr) return nullptr;
    const long v = static_cast<long>(Get(h));
    if (v < 0 || static_cast<size_t>(v) >= N) {
        PyErr_Format(PyExc_ValueError, "%s holds out-of-range %s value %ld (valid: 0..%ld)", prop, field, v,
                     static_cast<long>(N - 1));
        return nullptr;
    }
    return PyUnicode_FromString(names[v]);
}

constexpr const char *kFcSources[] = {"none", "FREQ", "RF_FREQ", "CENTER_FREQ", "F_C", "core:frequency"};
constexpr const char *kFsSources[] = {"none", "xdelta", "core:sample_rate"};
constexpr const char *kT0Sources[] = {"none", "timecode"};
constexpr const char *kEndings[] = {"none", "eof", "timeout", "interrupted"};
constexpr const char *kModes[] = {"complex", "scalar"};
constexpr const char *kEndians[] = {"le", "be"};
constexpr const char *kFileTypes[] = {"raw", "csv", "blue", "sigmf"};

PyObject *get_fc_source(PyObject *s, void *) { return enum_name<iqreader_get_fc_source>(s, kFcSources, "fc_source", "fc_source"); }
PyObject *get_fs_source(PyObject *s, void *) { return enum_name<iqreader_get_fs_source>(s, kFsSources, "fs_source", "fs_source"); }
PyObject *get_t0_source(PyObject *s, void *) { return enum_name<iqreader_get_t0_source>(s, kT0Sources, "t0_source", "t0_source"); }
PyObject *get_ending(PyObject *s, void *) { return enum_name<iqreader_get_ending>(s, kEndings, "ending", "follow_end"); }
PyObject *get_mode(PyObject *s, void *) { return enum_name<iqreader_get_mode>(s, kModes, "mode", "sample_mode"); }
PyObject *get_endian(PyObject *s, void *) { return enum_name<iqreader_get_endian>(s, kEndians, "endian", "endian"); }
PyObject *get_file_type(PyObject *s, void *) { return enum_name<iqreader_get_file_type>(s, kFileTypes, "file_type", "ftype"); }
PyObject *get_sample_type(PyObject *s, void *) {
    return enum_name<iqreader_get_sample_type>(s, kSampleTypes, "sample_type", "stype");
}

template <auto Set> int set_u32(PyObject *self, PyObject *value, void *) {
    uint32_t v = 0;
    py::Call<ReaderObj> c(self);
    iqreader *h = c.convert([&] {
        if (value == nullptr) PyErr_SetString(PyExc_TypeError, "cannot delete a follow budget");
        return value != nullptr && py::to_u32(value, &v);
    });
    if (h == nullptr) return -1;
    Set(h, v);
    return 0;
}

// A keyword record as a Python value: str for 'A', int or float for the numeric
// codes, a list when the record holds more than one element.
PyObject *record_value(const wfm_kw_record *r) {
    if (r->code == 'A') {
        size_t n = r->count;
        while (n > 0 && r->value[n - 1] == 0) --n;
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(r->value), static_cast<Py_ssize_t>(n), "replace");
    }
    auto element = [r](size_t i) -> PyObject * {
        const uint8_t *p = r->value + i * r->elem_size;
        switch (r->code) {
        case 'B': return PyLong_FromLong(static_cast<int8_t>(p[0]));
        case 'I': { int16_t v; std::memcpy(&v, p, 2); return PyLong_FromLong(v); }
        case 'L':
        case 'T': { int32_t v; std::memcpy(&v, p, 4); return PyLong_FromLong(v); }
        case 'X': { int64_t v; std::memcpy(&v, p, 8); return PyLong_FromLongLong(v); }
        case 'F': { float v; std::memcpy(&v, p, 4); return PyFloat_FromDouble(v); }
        default: { double v; std::memcpy(&v, p, 8); return PyFloat_FromDouble(v); }
        }
    };
    const char c = r->code;
    const bool known = c == 'B' || c == 'I' || c == 'L' || c == 'T' || c == 'X' || c == 'F' || c == 'D';
    if (!known || wfm_kw_elem_size(c) != r->elem_size) {
        PyErr_Format(PyExc_ValueError, "unknown code '%c'", c);
        return nullptr;
    }
    if (r->count == 1) return element(0);
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(r->count));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < r->count; ++i) {
        PyObject *v = element(i);
        if (v == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v);
    }
    return list;
}

template <auto Num, auto At, auto Tag>
PyObject *records_dict(PyObject *self, const char *what, const char *tag_fn) {
    py::Call<ReaderObj> c(self);
    iqreader *h = c.pin();  // building the dict may run finalisers
    if (h == nullptr) return nullptr;
    PyObject *d = PyDict_New();
    if (d == nullptr) return nullptr;
    const size_t n = Num(h);
    for (size_t i = 0; i < n; ++i) {
        const char *tag = Tag(h, i);
        const wfm_kw_record *r = At(h, i);
        if (tag == nullptr || r == nullptr) {
            PyErr_Format(PyExc_RuntimeError, "%s: %s returned NULL at index %zu", what, tag_fn, i);
            Py_DECREF(d);
            return nullptr;
        }
        // Tags come from the file: bytes that are not UTF-8 are replaced rather than
        // making every other keyword unreachable.
        PyObject *key = PyUnicode_DecodeUTF8(tag, static_cast<Py_ssize_t>(std::strlen(tag)), "replace");
        PyObject *v = key ? record_value(r) : nullptr;
        if (v == nullptr || PyDict_SetItem(d, key, v) < 0) {
            Py_XDECREF(key);
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(key);
        Py_DECREF(v);
    }
    return d;
}

PyObject *get_keywords(PyObject *self, void *) {
    return records_dict<iqreader_num_keywords, iqreader_keyword, iqreader_keyword_tag>(self, "keywords",
                                                                                       "iqreader_keyword_tag");
}
PyObject *get_header(PyObject *self, void *) {
    return records_dict<iqreader_num_header_fields, iqreader_header_field, iqreader_header_tag>(
        self, "header", "iqreader_header_tag");
}

PyGetSetDef Reader_getset[] = {
    {"follow_timeout_ms", py::do_get<ReaderObj, iqreader_get_follow_timeout_ms, py::U64>, set_u32<iqreader_set_follow_timeout_ms>,
     "Follow budget [ms] while nothing arrives; 0 waits until the capture ends or a stop.", nullptr},
    {"follow_grace_ms", py::do_get<ReaderObj, iqreader_get_follow_grace_ms, py::U64>, set_u32<iqreader_set_follow_grace_ms>,
     "How long [ms] a follow call keeps waiting after an interrupt; 0 ends at once.", nullptr},
    {"ending", get_ending, nullptr, "How the last read_follow ended: none, eof, timeout or interrupted.", nullptr},
    {"file_type", get_file_type, nullptr, "raw, csv, blue or sigmf.", nullptr},
    {"sample_type", get_sample_type, nullptr, "Wire sample type, one of the ten names.", nullptr},
    {"mode", get_mode, nullptr, "complex or scalar.", nullptr},
    {"endian", get_endian, nullptr, "le or be.", nullptr},
    py::prop<ReaderObj, iqreader_get_fs, py::F64>("fs", "Sample rate [Hz], 0 when unknown."),
    py::prop<ReaderObj, iqreader_get_fc, py::F64>("fc", "Centre frequency [Hz], 0 when unknown."),
    py::prop<ReaderObj, iqreader_get_t0, py::F64>("t0", "Capture start [s since 1970 UTC], 0 when unknown."),
    {"fs_source", get_fs_source, nullptr, "Where fs came from: none, xdelta, core:sample_rate.", nullptr},
    {"t0_source", get_t0_source, nullptr, "Where t0 came from: none, timecode.", nullptr},
    {"fc_source", get_fc_source, nullptr,
     "Where fc came from: none, FREQ, RF_FREQ, CENTER_FREQ, F_C, core:frequency.", nullptr},
    py::prop<ReaderObj, iqreader_get_num_samples, py::U64>("num_samples",
                                                          "Declared sample count (a CSV counts its rows on first use)."),
    py::prop<ReaderObj, iqreader_get_trailing_bytes, py::U64>("trailing_bytes", "Payload bytes after the last whole sample (non-zero hints at a wrong sample type)."),
    {"keywords", get_keywords, nullptr, "Tag -> value of every keyword, in load order.", nullptr},
    {"header", get_header, nullptr, "BLUE header field -> value; empty for other file types.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Reader_methods[] = {
    py::m_reset<ReaderObj, iqreader_reset>("reset()\n--\n\nBack to the first sample; metadata unchanged."),
    py::method_kw("read", py::generate<ReaderObj, NPY_COMPLEX64, iqreader_read, ReadNeed>,
                  "read(count=1, out=None)\n--\n\n"
                  "Up to `count` samples as complex64 at unit scale; an empty array at the end."),
    py::method_o("read_max_out", Reader_max_out<iqreader_read_max_out>, "read_max_out($self, n, /)\n--\n\nOutput size read(n) needs: n."),
    py::method_kw("read_follow", Reader_read_follow,
                  "read_follow(count=1, out=None)\n--\n\n"
                  "Like read(), but waits for a capture that is still being written; returns an empty\n"
                  "array only when the capture ended (see `ending`). Runs without the interpreter lock."),
    py::method_o("read_follow_max_out", Reader_max_out<iqreader_read_follow_max_out>,
                 "read_follow_max_out($self, n, /)\n--\n\nOutput size read_follow(n) needs: n."),
    py::method_noargs("close", py::do_destroy<ReaderObj>, "close()\n--\n\nRelease the reader; idempotent."),
    py::m_destroy<ReaderObj>(),
    py::m_enter<ReaderObj>(),
    py::m_exit<ReaderObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ReaderType = py::make_type<ReaderObj>(
    "iqreader.Reader",
    "Reader(path, sample_type=\"cf32\", endian=\"le\")\n--\n\n"
    "Reads a raw, CSV, BLUE or SigMF capture as unit-scale complex64 samples. The type is\n"
    "detected from the content (and sibling files for SigMF and detached BLUE); sample_type\n"
    "and endian are hints for headerless files only.",
    Reader_methods, Reader_getset, Reader_init);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "iqreader",
    "Capture reader: BLUE, SigMF, raw and CSV captures as unit-scale complex64 samples, with\n"
    "metadata, keywords and a follow mode for captures still being written.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_iqreader(void) {
    return py::make_interrupt_aware_module(&module_def, {{"Reader", &ReaderType}});
}
