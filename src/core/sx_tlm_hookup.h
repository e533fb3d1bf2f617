// Binding side of a block that reports to a telemetry.Telemetry: the object
// holds the Telemetry it was given, so the context cannot be collected while
// the block may still emit, and asks it again before every processing call, so
// that a context destroyed explicitly in the meantime is refused instead of
// written to. One copy for every module whose blocks carry probes.
#pragma once
#include <cstdint>

#include "core/sx_pyframe.h"
#include "core/sx_tlm_core.h"
#include "core/sx_tlm_layout.h"

namespace sx::py {

struct TlmHookup {
    PyObject *tlm = nullptr;  // the telemetry object (owned reference), or null
    sx_tlm *ctx = nullptr;    // its context when attached
    TlmHookup() = default;
    TlmHookup(const TlmHookup &) = delete;
    TlmHookup &operator=(const TlmHookup &) = delete;
    ~TlmHookup() { Py_XDECREF(tlm); }
};

inline constexpr const char *kTlmGone =
    "the telemetry context given to set_telemetry has been destroyed; attach a live one or detach with "
    "set_telemetry(None)";

// True when no telemetry is attached or the attached context is still the one
// its object holds; otherwise a RuntimeError is set. The object's Extra is a
// TlmHookup or derives from one.
template <class O> bool telemetry_alive(O *o) {
    const TlmHookup &hook = o->x;
    if (hook.tlm == nullptr) return true;
    PyObject *cap = PyObject_GetAttrString(hook.tlm, "_capsule");
    void *p = nullptr;
    if (cap != nullptr) {
        p = PyCapsule_CheckExact(cap) ? PyCapsule_GetPointer(cap, SX_TLM_CAPSULE) : nullptr;
        Py_DECREF(cap);
    }
    if (p == hook.ctx && p != nullptr) return true;
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, kTlmGone);
    return false;
}

// set_telemetry(tlm, prefix=<default>, decim=1): tlm is a telemetry.Telemetry
// (or any object exposing its context as ._capsule), or None to detach. A bare
// capsule is refused: it cannot say whether its context is still alive.
// SetFn(core, ctx, prefix, decim) attaches (ctx null detaches) and returns 0 or
// a negative status, reported with `refused`.
template <class O, auto SetFn, const char *DefaultPrefix, const char *Refused>
PyObject *set_telemetry(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"tlm", "prefix", "decim", nullptr};
    PyObject *tlm = nullptr;
    const char *prefix = DefaultPrefix;
    Py_ssize_t decim = 1;
    Call<O> c(self);
    auto *h = c.args(args, kw, "O|sn", kwlist, &tlm, &prefix, &decim);
    if (h == nullptr) return nullptr;
    TlmHookup &hook = c.object()->x;
    sx_tlm *ctx = nullptr;
    if (tlm != Py_None) {
        if (PyCapsule_CheckExact(tlm)) {
            PyErr_SetString(PyExc_TypeError,
                            "tlm must be an object exposing the kolvane.telemetry.sx_tlm capsule as ._capsule "
                            "(a telemetry.Telemetry), or None");
            return nullptr;
        }
        ctx = static_cast<sx_tlm *>(capsule_pointer(tlm, SX_TLM_CAPSULE, "tlm"));
        if (ctx == nullptr) return nullptr;
    }
    if (decim < 1 || static_cast<uint64_t>(decim) > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "decim must be in 1 .. 2**32 - 1");
        return nullptr;
    }
    const int rc = SetFn(h, ctx, prefix, static_cast<uint32_t>(decim));
    if (rc != 0) return raise_status(PyExc_ValueError, Refused, rc);
    PyObject *old = hook.tlm;
    hook.tlm = ctx == nullptr ? nullptr : Py_NewRef(tlm);
    hook.ctx = ctx;
    Py_XDECREF(old);
    return none();
}

}  // namespace sx::py
