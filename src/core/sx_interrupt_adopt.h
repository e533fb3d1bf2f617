// Adopting the process-wide interrupt state at module import.
#pragma once
#include <Python.h>

#include "core/sx_interrupt_guard_core.h"
#include "core/sx_pyframe.h"

namespace sx::py {

// Imports kolvane.interrupt.interrupt and makes this module's copy of the guard
// use its state. Returns -1 with an exception set when the module, its attribute
// or the capsule is missing: the importing module must then fail.
inline int adopt_interrupt_state() {
    PyObject *mod = PyImport_ImportModule("kolvane.interrupt.interrupt");
    if (mod == nullptr) return -1;
    PyObject *cap = PyObject_GetAttrString(mod, "_qz_pg_sx_interrupt_guard");
    Py_DECREF(mod);
    if (cap == nullptr) return -1;
    void *p = PyCapsule_GetPointer(cap, SX_INTERRUPT_CAPSULE);
    Py_DECREF(cap);
    if (p == nullptr) return -1;
    sx_interrupt_guard_state_adopt(static_cast<sx_interrupt_state *>(p));
    return 0;
}

// make_module() for a module whose waits honour the process-wide interrupt
// state: the import fails when that state cannot be adopted.
inline PyObject *make_interrupt_aware_module(PyModuleDef *def, std::initializer_list<TypeEntry> types) {
    PyObject *m = make_module(def, types);
    if (m != nullptr && adopt_interrupt_state() < 0) Py_CLEAR(m);
    return m;
}

}  // namespace sx::py
