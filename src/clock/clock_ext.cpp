// kolvane.clock: the sample clock for Python (SampleClock). Its `_capsule`
// ("kolvane.wfm.sx_sample_clock") hands the clock to telemetry captures, which
// read its rate and epoch at close.
#include "core/sx_interrupt_adopt.h"
#include "core/sx_pyframe.h"
#include "core/timing_core.h"

namespace py = sx::py;

namespace {

// A capture may hold only the capsule, not the SampleClock, and read the clock
// when it closes; so destroy() merely retires the Python handle and the clock
// itself lives until the object is freed. Each capsule keeps the object alive.
struct ClockStore {
    sx_sample_clock *owned = nullptr;
    ~ClockStore() { sx_sample_clock_destroy(owned); }
};

void retire(sx_sample_clock *) {}

using ClockObj = py::Object<sx_sample_clock, retire, ClockStore>;

int SampleClock_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"fs", "drop_backlog", nullptr};
    double fs = 0;
    int drop_backlog = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "d|p", const_cast<char **>(kwlist), &fs, &drop_backlog)) return -1;
    auto *o = py::as<ClockObj>(self);
    if (o->x.owned != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "SampleClock is already initialised");
        return -1;
    }
    sx_sample_clock *c = sx_sample_clock_create(fs, drop_backlog ? 1u : 0u);
    if (c == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "sx_sample_clock_create returned NULL");
        return -1;
    }
    o->x.owned = c;
    o->h = c;
    return 0;
}

PyObject *SampleClock_pace(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"count", nullptr};
    uint64_t count = 0;
    py::Call<ClockObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::to_u64, &count);
    if (h == nullptr) return nullptr;
    // Waiting with the interpreter lock released lets another thread request an
    // interrupt, which ends the wait within one latency period.
    return PyFloat_FromDouble(c.unlocked([&] { return sx_sample_clock_pace(h, count); }));
}

PyObject *SampleClock_stamp_at(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"n", nullptr};
    uint64_t n = 0;
    py::Call<ClockObj> c(self);
    auto *h = c.args(args, kw, "O&", kwlist, py::to_u64, &n);
    return h == nullptr ? nullptr : PyLong_FromUnsignedLongLong(sx_sample_clock_stamp_at(h, n));
}

PyObject *SampleClock_track(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"real_ns", "n", "tolerance_ns", nullptr};
    uint64_t real_ns = 0, n = 0, tol = 0;
    py::Call<ClockObj> c(self);
    auto *h = c.args(args, kw, "O&O&|O&", kwlist, py::to_u64, &real_ns, py::to_u64, &n, py::to_u64, &tol);
    return h == nullptr ? nullptr : PyBool_FromLong(sx_sample_clock_track(h, real_ns, n, tol));
}

PyObject *SampleClock_stats(PyObject *self, PyObject *) {
    py::Call<ClockObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    sx_sample_clock s;
    sx_sample_clock_stats(h, &s);
    return Py_BuildValue("{s:d,s:K,s:K,s:K,s:K,s:K,s:O,s:O}", "fs", s.fs, "t0_mono_ns",
                         static_cast<unsigned long long>(s.t0_mono_ns), "epoch_real_ns",
                         static_cast<unsigned long long>(s.epoch_real_ns), "n", static_cast<unsigned long long>(s.n),
                         "late_count", static_cast<unsigned long long>(s.late_count), "max_late_ns",
                         static_cast<unsigned long long>(s.max_late_ns), "drop_backlog",
                         s.drop_backlog ? Py_True : Py_False, "anchored", s.anchored ? Py_True : Py_False);
}

// A field of the clock, read through the call protocol like any core getter.
template <auto Field> auto field(const sx_sample_clock *c) { return c->*Field; }

void release_capsule(PyObject *cap) { Py_XDECREF(static_cast<PyObject *>(PyCapsule_GetContext(cap))); }

PyObject *SampleClock_capsule(PyObject *self, void *) {
    py::Call<ClockObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    PyObject *cap = PyCapsule_New(h, SX_SAMPLE_CLOCK_CAPSULE, release_capsule);
    if (cap == nullptr) return nullptr;
    if (PyCapsule_SetContext(cap, Py_NewRef(self)) != 0) {
        Py_DECREF(self);
        Py_DECREF(cap);
        return nullptr;
    }
    return cap;
}

PyMethodDef SampleClock_methods[] = {
    py::method_kw("pace", SampleClock_pace,
                  "pace(count)\n--\n\nAdvance by count samples and sleep until they are due in real time; returns\n"
                  "the slack in seconds (positive early, negative late). An interrupt ends the wait early."),
    py::m_value<ClockObj, sx_sample_clock_stamp, py::U64>("stamp", "stamp()\n--\n\nUNIX time [ns] of the current sample."),
    py::method_kw("stamp_at", SampleClock_stamp_at, "stamp_at(n)\n--\n\nUNIX time [ns] of sample n."),
    py::method_kw("track", SampleClock_track,
                  "track(real_ns, n, tolerance_ns=0)\n--\n\nAnchor to an external time of sample n; True when the "
                  "epoch was (re)set."),
    py::m_void<ClockObj, sx_sample_clock_resync>("resync", "resync()\n--\n\nForgive any current lateness at once."),
    py::m_reset<ClockObj, sx_sample_clock_reset>("reset()\n--\n\nRestart the timeline from now."),
    py::method_noargs("stats", SampleClock_stats, "stats()\n--\n\nSnapshot of every field as a dict."),
    py::m_destroy<ClockObj>(),
    py::m_enter<ClockObj>(),
    py::m_exit<ClockObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef SampleClock_getset[] = {
    py::prop<ClockObj, field<&sx_sample_clock::fs>, py::F64>("fs", "Sample rate [Hz]."),
    py::prop<ClockObj, field<&sx_sample_clock::n>, py::U64>("n", "Current sample index."),
    py::prop<ClockObj, field<&sx_sample_clock::late_count>, py::U64>("late_count",
                                                                      "pace() calls that found the clock late."),
    py::prop<ClockObj, field<&sx_sample_clock::max_late_ns>, py::U64>("max_late_ns", "Largest lateness seen [ns]."),
    py::prop<ClockObj, field<&sx_sample_clock::epoch_real_ns>, py::U64>("epoch_real_ns", "UNIX time of sample 0 [ns]."),
    py::prop<ClockObj, field<&sx_sample_clock::t0_mono_ns>, py::U64>("t0_mono_ns",
                                                                     "Monotonic time sample 0 is due [ns]."),
    py::prop<ClockObj, field<&sx_sample_clock::anchored>, py::Bool>("anchored", "True once track() anchored the epoch."),
    {"_capsule", SampleClock_capsule, nullptr,
     "The clock as a \"kolvane.wfm.sx_sample_clock\" capsule; it keeps this object alive.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject SampleClockType = py::make_type<ClockObj>(
    "clock.SampleClock",
    "SampleClock(fs, drop_backlog=False)\n--\n\n"
    "Ties a sample count to time: pace() a producer to real time, stamp sample indices\n"
    "(epoch + n / fs), anchor to external timestamps with track(). With drop_backlog,\n"
    "lateness is forgiven instead of caught up.",
    SampleClock_methods, SampleClock_getset, SampleClock_init);

PyObject *m_mono_ns(PyObject *, PyObject *) { return PyLong_FromUnsignedLongLong(sx_mono_ns()); }
PyObject *m_real_ns(PyObject *, PyObject *) { return PyLong_FromUnsignedLongLong(sx_real_ns()); }

PyMethodDef module_methods[] = {
    py::method_noargs("mono_ns", m_mono_ns, "mono_ns()\n--\n\nCLOCK_MONOTONIC in nanoseconds."),
    py::method_noargs("real_ns", m_real_ns, "real_ns()\n--\n\nCLOCK_REALTIME (UNIX time) in nanoseconds."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "clock",
    "Sample clock: pace a pipeline to real time and timestamp samples (SampleClock).",
    -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_clock(void) {
    return py::make_interrupt_aware_module(&module_def, {{"SampleClock", &SampleClockType}});
}
