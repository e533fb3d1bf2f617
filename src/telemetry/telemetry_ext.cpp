// The telemetry module: a telemetry context (Telemetry) and its lossless
// captures to memory (MemoryCapture) and to a file (Capture).
#include <string>
#include <unordered_map>
#include <vector>

#include "core/sx_count_ceiling.h"
#include "core/sx_interrupt_adopt.h"
#include "core/sx_pyframe.h"
#include "core/sx_tlm_capture_core.h"
#include "core/sx_tlm_core.h"
#include "core/timing_core.h"

namespace py = sx::py;

namespace {

PyArray_Descr *g_record_dtype = nullptr;  // built once at import, reused
PyTypeObject *g_stats_type = nullptr;     // built on first use

// Every live context made by Telemetry, with the captures opened on it. A
// context may be destroyed while captures still point at it (Telemetry.destroy,
// or garbage collection when a capture was given only the raw capsule): the
// context first closes and lets go of each of them, so no capture ever touches
// freed memory. Everything here runs under the interpreter lock.
//
// A freed context's address is soon handed out again, so each context also
// gets a serial number that its capsules carry as their context value: a
// capsule that outlived its context is recognised even when a newer context
// now sits at the same address.
struct LiveContext {
    uint64_t serial = 0;
    std::vector<sx_tlm_capture *> captures;
};
std::unordered_map<sx_tlm *, LiveContext> g_live;
uint64_t g_next_serial = 1;

void telemetry_release(sx_tlm *ctx) {
    auto it = g_live.find(ctx);
    if (it != g_live.end()) {
        for (sx_tlm_capture *c : it->second.captures) sx_tlm_capture_detach(c);
        g_live.erase(it);
    }
    sx_tlm_destroy(ctx);
}

void capture_release(sx_tlm_capture *c) {
    auto it = g_live.find(sx_tlm_capture_context(c));
    if (it != g_live.end()) std::erase(it->second.captures, c);
    sx_tlm_capture_destroy(c);
}

constexpr const char *kHoleMsg =
    "the capture has a hole: records were dropped, which the block bound makes impossible unless a step ran "
    "longer than block_samples or no boundary was reached at all \xe2\x80\x94 see Capture.dropped";
constexpr const char *kOpenMsg =
    "capture could not be opened: attach every probe BEFORE opening (the ring is sized from the probe table, so "
    "no probes means no bound), pass a non-zero block_samples, use a context with no capture already open, and "
    "\xe2\x80\x94 for the file flavour \xe2\x80\x94 a writable path";

// The close verdict as an exception. A hole (-4) gets the hole message; a
// failed write or exhausted memory gets a text that names the real cause.
PyObject *raise_verdict(int v) {
    const char *text = v == SX_ERR_SEND    ? "capture close failed: the data file or its sidecar could not be written"
                       : v == SX_ERR_NOMEM ? "capture close failed: out of memory"
                                           : kHoleMsg;
    return py::raise_status(PyExc_ValueError, text, v);
}

// The ring has one consumer. While a capture is attached that consumer is the
// capture: a read here would take records out of it unseen, and the capture
// would still report itself complete.
bool refuse_if_captured(const sx_tlm *ctx, const char *what) {
    if (ctx->capture == nullptr) return false;
    PyErr_Format(PyExc_RuntimeError,
                 "%s: a capture is open on this context and drains its ring; read the capture instead", what);
    return true;
}

// out= for record arrays: the record dtype exactly, C-contiguous, writeable.
bool check_record_out(PyObject *out) {
    if (out == nullptr || out == Py_None) return true;
    auto *a = reinterpret_cast<PyArrayObject *>(out);
    if (PyArray_Check(out) && PyArray_EquivTypes(PyArray_DESCR(a), g_record_dtype) && PyArray_IS_C_CONTIGUOUS(a) &&
        PyArray_ISWRITEABLE(a) && PyArray_ISALIGNED(a))
        return true;
    PyObject *got = PyArray_Check(out) ? reinterpret_cast<PyObject *>(PyArray_DESCR(a)) : reinterpret_cast<PyObject *>(Py_TYPE(out));
    PyErr_Format(PyExc_TypeError, "out must be a writable, C-contiguous ndarray of dtype %R, not %R",
                 reinterpret_cast<PyObject *>(g_record_dtype), got);
    return false;
}

// {name: values} (or {name: (n, values)} with index) for every registered
// probe, in registration order, from `count` records. Every read of the
// context comes first: creating the containers below may run a garbage
// collection whose finalisers destroy the context (the capture holding
// `records` is pinned by its caller). A capture's record store may still grow
// (and move) meanwhile, when its context closes it; `records()` gives its
// current address, and the first `count` records never change.
template <class Records>
PyObject *group_by_probe(const sx_tlm *ctx, Records records, size_t count, bool index) {
    const size_t np = sx_tlm_probe_count(ctx);
    std::vector<size_t> counts;
    std::vector<PyObject *> keys;
    try {
        counts.resize(np);
        keys.reserve(np);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    auto drop_keys = [&keys]() {
        for (PyObject *k : keys) Py_DECREF(k);
        return nullptr;
    };
    for (size_t i = 0; i < np; ++i) {
        const char *name = sx_tlm_probe_name(ctx, static_cast<int>(i));
        if (name == nullptr) {
            drop_keys();
            return PyErr_Format(PyExc_RuntimeError, "read_dict: sx_tlm_probe_name returned NULL at %zu", i);
        }
        PyObject *key = PyUnicode_FromString(name);
        if (key == nullptr) return drop_keys();
        keys.push_back(key);  // reserved above: cannot throw
    }
    sx_tlm_demux_counts(records(), count, counts.data(), np);
    PyObject *d = PyDict_New();
    if (d == nullptr) return drop_keys();
    std::vector<float *> values(np, nullptr);
    std::vector<uint64_t *> indices(np, nullptr);
    for (size_t i = 0; i < np; ++i) {
        PyObject *key = keys[i];
        const int dup = PyDict_Contains(d, key);
        if (dup != 0) {
            if (dup > 0)
                PyErr_Format(PyExc_RuntimeError, "read_dict: two probes are both named '%U'", key);
            Py_DECREF(d);
            return drop_keys();
        }
        PyObject *vals = py::new_array(NPY_FLOAT32, counts[i]);
        PyObject *idx = index && vals != nullptr ? py::new_array(NPY_UINT64, counts[i]) : nullptr;
        PyObject *item = nullptr;
        if (vals != nullptr && (!index || idx != nullptr)) {
            values[i] = py::array_data<float>(vals);
            if (index) indices[i] = py::array_data<uint64_t>(idx);
            item = index ? PyTuple_Pack(2, idx, vals) : Py_NewRef(vals);
        }
        Py_XDECREF(vals);
        Py_XDECREF(idx);
        if (item == nullptr || PyDict_SetItem(d, key, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(d);
            return drop_keys();
        }
        Py_DECREF(item);
    }
    drop_keys();
    sx_tlm_demux(records(), count, values.data(), index ? indices.data() : nullptr, counts.data(), np);
    return d;
}

// ----------------------------------------------------------------------------
// Telemetry

using TlmObj = py::Object<sx_tlm, telemetry_release>;

int Telemetry_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"ring_records", nullptr};
    size_t ring_records = 16384;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O&", const_cast<char **>(kwlist), py::to_size, &ring_records))
        return -1;
    if (!py::count_ok(ring_records, "ring_records")) return -1;
    sx_tlm *h = sx_tlm_create(ring_records);
    if (h == nullptr) {
        PyErr_SetString(PyExc_ValueError,
                        "ring_records must be a power of two (and at least the page minimum); read the granted size "
                        "back from Telemetry.capacity");
        return -1;
    }
    try {
        g_live.emplace(h, LiveContext{g_next_serial++, {}});
    } catch (const std::bad_alloc &) {
        sx_tlm_destroy(h);
        PyErr_NoMemory();
        return -1;
    }
    return py::install<TlmObj>(self, h);
}

PyObject *Telemetry_probe(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"name", "decim", nullptr};
    const char *name = nullptr;
    uint32_t decim = 1;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "s|O&", kwlist, &name, py::to_u32, &decim);
    if (h == nullptr) return nullptr;
    const int id = sx_tlm_probe(h, name, decim);
    if (id < 0)
        return py::raise_status(PyExc_ValueError,
                                "probe: name is NULL or too long, decim is 0, or the table is full", id);
    return PyLong_FromLong(id);
}

PyObject *Telemetry_probe_id(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"name", nullptr};
    const char *name = nullptr;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "s", kwlist, &name);
    if (h == nullptr) return nullptr;
    const int id = sx_tlm_probe_id(h, name);
    if (id < 0) return py::raise_status(PyExc_KeyError, "no probe by that name", id);
    return PyLong_FromLong(id);
}

PyObject *Telemetry_set_decim(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"name", "decim", nullptr};
    const char *name = nullptr;
    uint32_t decim = 0;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "sO&", kwlist, &name, py::to_u32, &decim);
    if (h == nullptr) return nullptr;
    const int rc = sx_tlm_set_decim(h, name, decim);
    if (rc != 0) return py::raise_status(PyExc_ValueError, "set_decim failed", rc);
    Py_RETURN_NONE;
}

PyObject *Telemetry_emit(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"id", "v", nullptr};
    int id = 0;
    double v = 0;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "id", kwlist, &id, &v);
    if (h == nullptr) return nullptr;
    const int rc = sx_tlm_emit_checked(h, id, v);
    if (rc != 0) return py::raise_status(PyExc_ValueError, "emit failed", rc);
    Py_RETURN_NONE;
}

PyObject *Telemetry_set_now(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", nullptr};
    uint64_t n = 0;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::to_u64, &n);
    if (h == nullptr) return nullptr;
    sx_tlm_set_now(h, n);
    Py_RETURN_NONE;
}

PyObject *Telemetry_emitted(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"id", nullptr};
    int id = 0;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "i", kwlist, &id);
    if (h == nullptr) return nullptr;
    return PyLong_FromUnsignedLongLong(sx_tlm_emitted(h, id));
}

PyObject *Telemetry_read(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", "out", nullptr};
    size_t n = 0;
    PyObject *out = nullptr;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "|O&O", kwlist, py::to_size, &n, &out);
    if (h == nullptr || refuse_if_captured(h, "read") || !check_record_out(out)) return nullptr;
    py::Output o;
    if (!o.prepare(out, g_record_dtype, sx_tlm_read_max_out(h))) return nullptr;
    return o.finish(sx_tlm_read(h, n, o.data<sx_tlm_record>(), o.capacity()));
}

PyObject *Telemetry_read_dict(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", "index", nullptr};
    size_t n = 0;
    int index = 0;
    py::Call<TlmObj> c(self);
    auto *h = c.args(args, kw, "|O&p", kwlist, py::to_size, &n, &index);
    if (h == nullptr || refuse_if_captured(h, "read_dict")) return nullptr;
    std::vector<sx_tlm_record> recs;
    try {
        recs.resize(sx_tlm_avail(h));
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    const size_t got = sx_tlm_read(h, n, recs.data(), recs.size());
    return group_by_probe(h, [&recs] { return static_cast<const sx_tlm_record *>(recs.data()); }, got, index != 0);
}

// The TelemetryStats record type, made on first use: by stats() or by a lookup
// of kolvane.telemetry.TelemetryStats (the module's __getattr__).
PyTypeObject *stats_type() {
    if (g_stats_type == nullptr) {
        static PyStructSequence_Field fields[] = {
            {"dropped", "records lost because the ring was full"},
            {"emitted", "records written, summed over all probes"},
            {"capacity", "ring capacity in records"},
            {"probes", "registered probes"},
            {nullptr, nullptr},
        };
        static PyStructSequence_Desc desc = {"kolvane.telemetry.TelemetryStats",
                                             "Counters of a telemetry context.", fields, 4};
        g_stats_type = PyStructSequence_NewType(&desc);
    }
    return g_stats_type;
}

PyObject *Telemetry_stats(PyObject *self, PyObject *) {
    py::Call<TlmObj> c(self);
    auto *h = c.pin();
    if (h == nullptr || stats_type() == nullptr) return nullptr;
    sx_tlm_stats_t s;
    sx_tlm_stats(h, &s);
    PyObject *r = PyStructSequence_New(g_stats_type);
    if (r == nullptr) return nullptr;
    const uint64_t v[4] = {s.dropped, s.emitted, s.capacity, s.probes};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject *x = PyLong_FromUnsignedLongLong(v[i]);
        if (x == nullptr) {
            Py_DECREF(r);
            return nullptr;
        }
        PyStructSequence_SetItem(r, i, x);
    }
    return r;
}

PyObject *Telemetry_probe_names(PyObject *self, void *) {
    py::Call<TlmObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    PyObject *d = PyDict_New();
    if (d == nullptr) return nullptr;
    const size_t np = sx_tlm_probe_count(h);
    for (size_t i = 0; i < np; ++i) {
        const char *name = sx_tlm_probe_name(h, static_cast<int>(i));
        if (name == nullptr) {
            Py_DECREF(d);
            return PyErr_Format(PyExc_RuntimeError, "probe_names: sx_tlm_probe_name returned NULL at index %zu", i);
        }
        PyObject *id = PyLong_FromSize_t(i);
        const int rc = id == nullptr ? -1 : PyDict_SetItemString(d, name, id);
        Py_XDECREF(id);
        if (rc < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    return d;
}

PyObject *Telemetry_capsule(PyObject *self, void *) {
    py::Call<TlmObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    PyObject *cap = PyCapsule_New(h, SX_TLM_CAPSULE, nullptr);
    auto it = g_live.find(h);
    if (cap != nullptr && it != g_live.end() &&
        PyCapsule_SetContext(cap, reinterpret_cast<void *>(static_cast<uintptr_t>(it->second.serial))) != 0)
        Py_CLEAR(cap);
    return cap;
}

PyMethodDef Telemetry_methods[] = {
    py::method_kw("probe", Telemetry_probe,
                  "probe(name, decim=1)\n--\n\nRegister (or retune) a probe and return its id; the next event emits."),
    py::method_kw("probe_id", Telemetry_probe_id, "probe_id(name)\n--\n\nId of a registered probe; KeyError if unknown."),
    py::method_kw("set_decim", Telemetry_set_decim,
                  "set_decim(name, decim)\n--\n\nEmit every decim-th event of a registered probe from the next one on."),
    py::method_kw("emit", Telemetry_emit, "emit(id, v)\n--\n\nRecord v for a registered probe (decimated)."),
    py::method_kw("set_now", Telemetry_set_now,
                  "set_now(n)\n--\n\nBlock boundary: run the open capture's drain, then stamp later records with n."),
    py::method_kw("emitted", Telemetry_emitted, "emitted(id)\n--\n\nRecords written for a probe (0 if unknown)."),
    py::method_kw("read", Telemetry_read,
                  "read(n=0, out=None)\n--\n\nDrain up to n records (0 = all available) as a record array."),
    py::m_size<TlmObj, sx_tlm_read_max_out>("read_max_out",
                                            "read_max_out()\n--\n\nRecords available now: the size out= needs."),
    py::method_kw("read_dict", Telemetry_read_dict,
                  "read_dict(n=0, index=False)\n--\n\nDrain like read() and group by probe name: float32 values, or "
                  "(uint64 n, float32 values) with index=True."),
    py::method_noargs("stats", Telemetry_stats, "stats()\n--\n\nTelemetryStats(dropped, emitted, capacity, probes)."),
    py::m_destroy<TlmObj>(),
    py::m_enter<TlmObj>(),
    py::m_exit<TlmObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Telemetry_getset[] = {
    {"probe_names", Telemetry_probe_names, nullptr, "dict name -> id in registration order.", nullptr},
    py::prop<TlmObj, sx_tlm_capacity, py::U64>("capacity", "Ring capacity in records."),
    py::prop<TlmObj, sx_tlm_dropped, py::U64>("dropped", "Records lost because the ring was full."),
    py::prop<TlmObj, sx_tlm_probe_count, py::U64>("probe_count", "Registered probes."),
    py::prop<TlmObj, sx_tlm_avail, py::U64>("avail", "Records ready to read."),
    {"_capsule", Telemetry_capsule, nullptr, "The context as a \"kolvane.telemetry.sx_tlm\" capsule (borrowed).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject TelemetryType = py::make_type<TlmObj>(
    "telemetry.Telemetry",
    "Telemetry(ring_records=16384)\n--\n\n"
    "A telemetry context: named probes emit scalar records into a lock-free ring that\n"
    "read() drains. ring_records is a power of two, raised to the page minimum, at most 2**28.",
    Telemetry_methods, Telemetry_getset, Telemetry_init);

// ----------------------------------------------------------------------------
// MemoryCapture and Capture

// The lenders stay referenced as long as the capture object lives. `clock_cap`
// is the clock's capsule itself: it keeps the SampleClock alive even when
// `clock` is only an object that handed the capsule out through ._capsule.
struct CaptureRefs {
    PyObject *tlm = nullptr;
    PyObject *clock = nullptr;
    PyObject *clock_cap = nullptr;
    ~CaptureRefs() {
        Py_XDECREF(tlm);
        Py_XDECREF(clock);
        Py_XDECREF(clock_cap);
    }
};

using CapObj = py::Object<sx_tlm_capture, capture_release, CaptureRefs>;

// `obj` itself when it is a capsule, else its ._capsule (new reference); null
// without an exception set when there is no such attribute.
PyObject *capsule_of(PyObject *obj) {
    if (PyCapsule_CheckExact(obj)) return Py_NewRef(obj);
    PyObject *cap = PyObject_GetAttrString(obj, "_capsule");
    if (cap == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return cap;
}

// Resolves tlm and clock, opens the capture (path null: memory mode). Looking a
// lender up can run Python code (a ._capsule property) that destroys the other
// lender, so the context is checked against the live table only once both are
// resolved, and the clock's capsule is kept.
int capture_open(PyObject *self, PyObject *tlm, uint64_t block_samples, const char *path, PyObject *clock) {
    if (tlm == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "tlm is required and cannot be None; pass the kolvane.telemetry.sx_tlm capsule or an object "
                        "exposing it as ._capsule");
        return -1;
    }
    // The capsule itself (tlm, or its _capsule), to read the serial it carries;
    // anything else goes to capsule_pointer, which raises the TypeError.
    PyObject *capsule = capsule_of(tlm);
    if (capsule == nullptr && PyErr_Occurred()) return -1;
    PyObject *probe_obj = capsule != nullptr && PyCapsule_CheckExact(capsule) ? capsule : tlm;
    auto *ctx = static_cast<sx_tlm *>(py::capsule_pointer(probe_obj, SX_TLM_CAPSULE, "tlm"));
    const auto serial = ctx == nullptr || !PyCapsule_CheckExact(probe_obj)
                            ? 0
                            : reinterpret_cast<uintptr_t>(PyCapsule_GetContext(probe_obj));
    Py_XDECREF(capsule);
    if (ctx == nullptr) return -1;
    const sx_sample_clock *clk = nullptr;
    PyObject *clock_cap = nullptr;
    if (clock != Py_None) {
        clock_cap = capsule_of(clock);
        if (clock_cap == nullptr && PyErr_Occurred()) return -1;
        if (clock_cap == nullptr || !PyCapsule_CheckExact(clock_cap)) {
            Py_XDECREF(clock_cap);
            PyErr_Format(PyExc_TypeError,
                         "%s must be the %s capsule or an object exposing it as ._capsule, not %s", "clock",
                         SX_SAMPLE_CLOCK_CAPSULE, Py_TYPE(clock)->tp_name);
            return -1;
        }
        clk = static_cast<const sx_sample_clock *>(py::capsule_pointer(clock_cap, SX_SAMPLE_CLOCK_CAPSULE, "clock"));
        if (clk == nullptr) {
            Py_XDECREF(clock_cap);
            return -1;
        }
    }
    // No Python code runs from here on.
    auto *o = py::as<CapObj>(self);
    auto live = g_live.find(ctx);
    const char *refusal = o->busy ? py::kBusyMsg : nullptr;
    if (refusal == nullptr && (live == g_live.end() || (serial != 0 && serial != live->second.serial)))
        refusal = "tlm: the telemetry context was destroyed";
    if (refusal != nullptr) {
        Py_XDECREF(clock_cap);
        PyErr_SetString(PyExc_RuntimeError, refusal);
        return -1;
    }
    try {
        live->second.captures.reserve(live->second.captures.size() + 1);
    } catch (const std::bad_alloc &) {
        Py_XDECREF(clock_cap);
        PyErr_NoMemory();
        return -1;
    }
    sx_tlm_capture *c = sx_tlm_capture_open(ctx, block_samples, path, clk);
    if (c == nullptr) {
        Py_XDECREF(clock_cap);
        PyErr_SetString(PyExc_ValueError, kOpenMsg);
        return -1;
    }
    live->second.captures.push_back(c);
    py::release(o);
    o->h = c;
    Py_XSETREF(o->x.tlm, Py_NewRef(tlm));
    Py_XSETREF(o->x.clock, Py_NewRef(clock));
    Py_XSETREF(o->x.clock_cap, clock_cap);
    return 0;
}

int MemoryCapture_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"tlm", "block_samples", "clock", nullptr};
    PyObject *tlm = nullptr, *clock = nullptr;
    uint64_t block_samples = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "OO&O", const_cast<char **>(kwlist), &tlm, py::to_u64,
                                     &block_samples, &clock))
        return -1;
    return capture_open(self, tlm, block_samples, nullptr, clock);
}

int Capture_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"tlm", "block_samples", "path", "clock", nullptr};
    PyObject *tlm = nullptr, *clock = nullptr, *path = nullptr;
    uint64_t block_samples = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "OO&O&O", const_cast<char **>(kwlist), &tlm, py::to_u64,
                                     &block_samples, PyUnicode_FSConverter, &path, &clock))
        return -1;
    const int rc = capture_open(self, tlm, block_samples, PyBytes_AS_STRING(path), clock);
    Py_DECREF(path);
    return rc;
}

// The capture's context, or null with RuntimeError "<what>: no context" once
// the Telemetry that owned it has been destroyed (which closed the capture).
sx_tlm *capture_ctx(sx_tlm_capture *c, const char *what) {
    sx_tlm *ctx = sx_tlm_capture_context(c);
    if (ctx == nullptr) PyErr_Format(PyExc_RuntimeError, "%s: no context", what);
    return ctx;
}

PyObject *Capture_block(PyObject *self, PyObject *) {
    py::Call<CapObj> c(self);
    auto *h = c.pin();
    if (h == nullptr || capture_ctx(h, "block") == nullptr) return nullptr;
    const int rc = sx_tlm_capture_block(h);
    if (rc != 0) return py::raise_status(PyExc_ValueError, "block failed", rc);
    Py_RETURN_NONE;
}

PyObject *Capture_close(PyObject *self, PyObject *) {
    py::Call<CapObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    const int v = sx_tlm_capture_close(h);
    if (v != 0) return raise_verdict(v);
    Py_RETURN_NONE;
}

// Like destroy(), leaving a `with` block is harmless once the capture has been
// released (for instance by destroy() inside the block).
PyObject *Capture_exit(PyObject *self, PyObject *) {
    if (py::as<CapObj>(self)->h == nullptr) Py_RETURN_NONE;
    return Capture_close(self, nullptr);
}

PyObject *Capture_destroy(PyObject *self, PyObject *) {
    auto *o = py::as<CapObj>(self);
    if (o->h == nullptr) Py_RETURN_NONE;
    if (o->busy) {
        PyErr_SetString(PyExc_RuntimeError, py::kBusyDestroyMsg);
        return nullptr;
    }
    const int v = sx_tlm_capture_close(o->h);
    py::release(o);
    if (v != 0) return raise_verdict(v);
    Py_RETURN_NONE;
}

PyObject *MemoryCapture_records(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", "out", nullptr};
    size_t n = 0;
    PyObject *out = nullptr;
    py::Call<CapObj> c(self);
    auto *h = c.args(args, kw, "|O&O", kwlist, py::to_size, &n, &out);
    if (h == nullptr || !check_record_out(out)) return nullptr;
    py::Output o;
    if (!o.prepare(out, g_record_dtype, sx_tlm_capture_read_max_out(h))) return nullptr;
    return o.finish(sx_tlm_capture_read(h, n, o.data<sx_tlm_record>(), o.capacity()));
}

PyObject *MemoryCapture_read_dict(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", "index", nullptr};
    size_t n = 0;
    int index = 0;
    py::Call<CapObj> c(self);
    auto *h = c.args(args, kw, "|O&p", kwlist, py::to_size, &n, &index);  // pinned while the result is built
    if (h == nullptr) return nullptr;
    sx_tlm *ctx = capture_ctx(h, "read_dict");
    if (ctx == nullptr) return nullptr;
    size_t count = sx_tlm_capture_read_max_out(h);
    if (n != 0 && n < count) count = n;
    return group_by_probe(ctx, [h] { return sx_tlm_capture_records(h); }, count, index != 0);
}

constexpr const char *kBlockDoc =
    "block()\n--\n\nOne block boundary (normally reached through Telemetry.set_now): drain the ring.";
constexpr const char *kCloseDoc =
    "close()\n--\n\nFinal drain and flush; idempotent. ValueError when the capture has a hole or failed.";
constexpr const char *kDestroyDoc =
    "destroy()\n--\n\nClose if still open and release; ValueError when the verdict is not clean.";
constexpr const char *kExitDoc = "__exit__(exc_type, exc, tb)\n--\n\nclose(): the object stays readable afterwards.";

PyMethodDef MemoryCapture_methods[] = {
    py::method_noargs("block", Capture_block, kBlockDoc),
    py::method_noargs("close", Capture_close, kCloseDoc),
    py::method_kw("records", MemoryCapture_records,
                  "records(n=0, out=None)\n--\n\nCopy of the first n accumulated records (0 = all); non-consuming."),
    py::m_size<CapObj, sx_tlm_capture_read_max_out>("records_max_out",
                                                    "records_max_out()\n--\n\nRecords accumulated so far."),
    py::method_kw("read_dict", MemoryCapture_read_dict,
                  "read_dict(n=0, index=False)\n--\n\nThe accumulated records grouped by probe name; non-consuming."),
    py::method_noargs("destroy", Capture_destroy, kDestroyDoc),
    py::m_enter<CapObj>(),
    py::method_varargs("__exit__", Capture_exit, kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef Capture_methods[] = {
    py::method_noargs("block", Capture_block, kBlockDoc),
    py::method_noargs("close", Capture_close, kCloseDoc),
    py::method_noargs("destroy", Capture_destroy, kDestroyDoc),
    py::m_enter<CapObj>(),
    py::method_varargs("__exit__", Capture_exit, kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Capture_getset[] = {
    py::prop<CapObj, sx_tlm_capture_count, py::U64>("count", "Records drained from the ring so far."),
    py::prop<CapObj, sx_tlm_capture_dropped, py::U64>("dropped",
                                                      "Records the ring dropped during the capture (set at close)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject MemoryCaptureType = py::make_type<CapObj>(
    "telemetry.MemoryCapture",
    "MemoryCapture(tlm, block_samples, clock)\n--\n\n"
    "Lossless capture of a Telemetry context into memory. Register every probe first;\n"
    "block_samples is the most samples processed between two set_now() calls; clock is\n"
    "a SampleClock (or its capsule) or None.",
    MemoryCapture_methods, Capture_getset, MemoryCapture_init);

PyTypeObject CaptureType = py::make_type<CapObj>(
    "telemetry.Capture",
    "Capture(tlm, block_samples, path, clock)\n--\n\n"
    "Lossless capture of a Telemetry context into a file of 16-byte records written by a\n"
    "background thread, with a JSON sidecar at path + \"-meta\" written at close.",
    Capture_methods, Capture_getset, Capture_init);

// Module attributes made on first use: TelemetryStats.
PyObject *m_getattr(PyObject *module, PyObject *name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "TelemetryStats") == 0) {
        PyTypeObject *t = stats_type();
        return t == nullptr ? nullptr : Py_NewRef(reinterpret_cast<PyObject *>(t));
    }
    PyObject *mod_name = PyModule_GetNameObject(module);
    if (mod_name == nullptr) return nullptr;
    PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%S'", mod_name, name);
    Py_DECREF(mod_name);
    return nullptr;
}

PyMethodDef module_methods[] = {
    py::method_o("__getattr__", m_getattr, "__getattr__(name)\n--\n\nTelemetryStats, made on first use."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "telemetry",
    "Telemetry: lightweight in-band probes (Telemetry) that record loop internals -- error, control, lock -- to a "
    "sink for offline analysis.",
    -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyArray_Descr *make_record_dtype() {
    PyObject *fields = Py_BuildValue("[(ss)(ss)(ss)(ss)]", "n", "<u8", "value", "<f4", "probe", "<u2", "flags", "<u2");
    if (fields == nullptr) return nullptr;
    PyArray_Descr *d = nullptr;
    const int ok = PyArray_DescrConverter(fields, &d);
    Py_DECREF(fields);
    if (!ok) return nullptr;
    if (PyDataType_ELSIZE(d) != static_cast<npy_intp>(sizeof(sx_tlm_record))) {
        Py_DECREF(d);
        PyErr_SetString(PyExc_ImportError, "telemetry record dtype does not match the 16-byte record");
        return nullptr;
    }
    return d;
}

}  // namespace

PyMODINIT_FUNC PyInit_telemetry(void) {
    PyObject *m = py::make_interrupt_aware_module(&module_def, {
                                                   {"Telemetry", &TelemetryType},
                                                   {"MemoryCapture", &MemoryCaptureType},
                                                   {"Capture", &CaptureType},
                                               });
    if (m == nullptr) return nullptr;
    if (g_record_dtype == nullptr) g_record_dtype = make_record_dtype();
    if (g_record_dtype == nullptr) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
