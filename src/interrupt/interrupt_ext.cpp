// kolvane.interrupt.interrupt: the one owner of the process-wide interrupt state.
// Every module that waits adopts the state exported here as a capsule, so an
// interrupt requested anywhere ends every wait in every module.
#include <climits>
#include <csignal>

#include "core/sx_interrupt_guard_core.h"
#include "core/sx_pyframe.h"

namespace py = sx::py;

namespace {

using GuardObj = py::Object<sx_interrupt_guard, sx_interrupt_guard_destroy>;

int Guard_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"signals", "latency_ms", nullptr};
    PyObject *signals = nullptr;
    uint32_t latency_ms = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|OO&", const_cast<char **>(kwlist), &signals, py::to_u32,
                                     &latency_ms))
        return -1;
    static constexpr const char *kRefused =
        "interrupt guard could not be installed: at most 8 signals, each one that sigaction accepts";
    // A fixed array: the guard takes at most 8 signals, so a longer list is refused
    // before anything is allocated or installed.
    int sigs[SX_INTERRUPT_MAX_SIGNALS] = {SIGINT};
    size_t count = 1;
    if (signals != nullptr) {
        // A tuple copy: __index__ of an element may run code that empties a list in place.
        PyObject *seq = PySequence_Tuple(signals);
        if (seq == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "signals must be a sequence of signal numbers");
            }
            return -1;
        }
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        if (n > SX_INTERRUPT_MAX_SIGNALS) {
            Py_DECREF(seq);
            PyErr_SetString(PyExc_ValueError, kRefused);
            return -1;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            const long v = PyLong_AsLong(PyTuple_GET_ITEM(seq, i));
            if (v == -1 && PyErr_Occurred()) {
                Py_DECREF(seq);
                return -1;
            }
            if (v < INT_MIN || v > INT_MAX) {  // would alias another signal once narrowed
                Py_DECREF(seq);
                PyErr_Format(PyExc_OverflowError, "signal number %ld is out of range", v);
                return -1;
            }
            sigs[i] = static_cast<int>(v);
        }
        count = static_cast<size_t>(n);
        Py_DECREF(seq);
    }
    // An earlier guard of this object goes first: a new one made while it still holds
    // the signals would install nothing, and releasing the old one would then end
    // the forwarding.
    auto *o = py::as<GuardObj>(self);
    if (o->busy) {
        PyErr_SetString(PyExc_RuntimeError, py::kBusyMsg);
        return -1;
    }
    py::release(o);
    auto *g = sx_interrupt_guard_create(sigs, count, latency_ms);
    if (g == nullptr) {
        PyErr_SetString(PyExc_ValueError, kRefused);
        return -1;
    }
    o->h = g;
    return 0;
}

PyObject *Guard_interrupted(PyObject *self, void *) {
    py::Call<GuardObj> c(self);
    return c.pin() == nullptr ? nullptr : PyBool_FromLong(sx_interrupted());
}

PyMethodDef Guard_methods[] = {
    py::m_destroy<GuardObj>(),
    py::m_enter<GuardObj>(),
    py::m_exit<GuardObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Guard_getset[] = {
    {"interrupted", Guard_interrupted, nullptr, "True once an interrupt has been requested.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject GuardType = py::make_type<GuardObj>(
    "interrupt.Guard",
    "Guard(signals=(SIGINT,), latency_ms=0)\n--\n\n"
    "Turns the given signals into the process-wide interrupt flag for the lifetime of the\n"
    "object (use it as a context manager), then chains to the handlers installed before.\n"
    "Creating it clears the flag; latency_ms, when non-zero, sets the polling latency\n"
    "of waiting loops until the guard is released.",
    Guard_methods, Guard_getset, Guard_init);

PyObject *m_interrupt(PyObject *, PyObject *) {
    sx_interrupt();
    Py_RETURN_NONE;
}
PyObject *m_resume(PyObject *, PyObject *) {
    sx_resume();
    Py_RETURN_NONE;
}
PyObject *m_interrupted(PyObject *, PyObject *) { return PyBool_FromLong(sx_interrupted()); }
PyObject *m_latency_ms(PyObject *, PyObject *) { return PyLong_FromUnsignedLong(sx_interrupt_latency_ms()); }
PyObject *m_set_latency_ms(PyObject *, PyObject *arg) {
    uint32_t ms;
    if (!py::to_u32(arg, &ms)) return nullptr;
    sx_set_interrupt_latency_ms(ms);
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    py::method_noargs("request", m_interrupt, "request()\n--\n\nRequest an interrupt: every waiting loop in every module ends."),
    py::method_noargs("clear", m_resume, "clear()\n--\n\nClear the interrupt flag."),
    py::method_noargs("interrupted", m_interrupted, "interrupted()\n--\n\nTrue while an interrupt is requested."),
    py::method_noargs("latency_ms", m_latency_ms, "latency_ms()\n--\n\nLongest sleep of a waiting loop between two looks at the flag [ms]."),
    py::method_o("set_latency_ms", m_set_latency_ms, "set_latency_ms(ms, /)\n--\n\nSet the polling latency [ms]; 0 restores the default 100."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "interrupt",
    "Process-wide interrupt state: request, clear and query an interrupt, set the polling latency,\n"
    "and Guard, which turns signals such as SIGINT into the interrupt flag.",
    -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_interrupt(void) {
    PyObject *m = py::make_module(&module_def, {{"Guard", &GuardType}});
    if (m == nullptr) return nullptr;
    PyObject *cap = PyCapsule_New(sx_interrupt_guard_state_ptr(), SX_INTERRUPT_CAPSULE, nullptr);
    const int rc = cap ? PyModule_AddObjectRef(m, "_qz_pg_sx_interrupt_guard", cap) : -1;
    Py_XDECREF(cap);
    if (rc < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
