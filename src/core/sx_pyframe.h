// The binding frame shared by every extension module: a Python type that owns one
// core handle, its lifecycle methods (destroy / __enter__ / __exit__), the call
// protocol every method follows (Call: "destroyed" and busy checks, arguments
// converted before the handle is fetched again and pinned, the interpreter lock
// released around heavy core work), typed property getters, array input, the
// out= rules with the execute/generate adapters, state methods, status-to-
// exception formatting and the NumPy import sequence.
//
// Header-only on purpose: each module includes it from its single *_ext.cpp, so
// the NumPy C API table stays private to that translation unit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
// Oldest NumPy whose C API we accept at import (C-API version 13, NumPy 1.16).
#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_16_API_VERSION
#endif
#include <numpy/arrayobject.h>

#include "core/sx_count_ceiling.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace sx::py {

// ---------------------------------------------------------------------------
// Errors

// "%s (rc=%lld)": the fixed text of a call followed by its status.
inline PyObject *raise_status(PyObject *exc, const char *text, long long rc) {
    PyErr_Format(exc, "%s (rc=%lld)", text, rc);
    return nullptr;
}

inline PyObject *raise_destroyed() {
    PyErr_SetString(PyExc_RuntimeError, "destroyed");
    return nullptr;
}

inline PyObject *none() { Py_RETURN_NONE; }

// ---------------------------------------------------------------------------
// Objects

struct NoExtra {};

// One Python object owning one core handle. `Extra` holds binding-side fields
// (a reusable buffer, a borrowed object); it is constructed on allocation and
// destroyed on deallocation. `busy` is set while a call runs without the
// interpreter lock, so destroy() from another thread is refused meanwhile.
template <class CoreT, void (*DestroyFn)(CoreT *), class ExtraT = NoExtra>
struct Object {
    PyObject_HEAD
    CoreT *h;
    bool busy;
    ExtraT x;

    using Core = CoreT;
    static void release_core(CoreT *c) { DestroyFn(c); }
};

template <class O> O *as(PyObject *self) { return reinterpret_cast<O *>(self); }

inline constexpr const char *kBusyMsg = "object is busy in another thread; use it after the call returns";
inline constexpr const char *kBusyDestroyMsg = "object is busy in another thread; destroy it after the call returns";

// Processing calls on at least this many elements (input samples, requested
// outputs) run with the interpreter lock released; below it the switch costs
// more than the work it would let other threads do.
inline constexpr size_t kUnlockElements = 4096;

template <class O> PyObject *tp_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    O *o = as<O>(self);
    o->h = nullptr;
    o->busy = false;
    new (&o->x) decltype(o->x)();
    return self;
}

template <class O> void release(O *o) {
    if (o->h != nullptr) {
        auto *h = o->h;
        o->h = nullptr;
        O::release_core(h);
    }
}

// Stores a freshly created handle in place of the object's current one. A
// second __init__ while a call still uses the old handle is refused as busy
// (and the new handle released).
template <class O> int install(PyObject *self, typename O::Core *h) {
    O *o = as<O>(self);
    if (o->busy) {
        O::release_core(h);
        PyErr_SetString(PyExc_RuntimeError, kBusyMsg);
        return -1;
    }
    release(o);
    o->h = h;
    return 0;
}

// The tail of every initialisation step: store the freshly created handle, or
// raise MemoryError("<create function> returned NULL") when the create failed.
template <class O> int adopt(PyObject *self, typename O::Core *h, const char *create_name) {
    if (h == nullptr) {
        PyErr_Format(PyExc_MemoryError, "%s returned NULL", create_name);
        return -1;
    }
    return install<O>(self, h);
}

template <class O> void tp_dealloc(PyObject *self) {
    O *o = as<O>(self);
    release(o);
    using Extra = decltype(o->x);
    o->x.~Extra();
    Py_TYPE(self)->tp_free(self);
}

// The call protocol every method and property follows:
//
//     py::Call<O> c(self);                       // refuses a released or busy object
//     auto *h = c.args(args, kw, "O&|O", kwlist, py::convert_input<NPY_COMPLEX64>, &in, &out);
//     if (h == nullptr) return nullptr;          // parsed, converted, handle fetched again and pinned
//     size_t n = c.run(in.size(), [&] { return core_call(h, ...); });  // lock released for big blocks
//
// 1. A released object raises RuntimeError("destroyed"); an object another
//    thread is using (inside a call that released the interpreter lock, or one
//    that runs Python code) raises the busy RuntimeError, for every method, not
//    only destroy.
// 2. Arguments are converted before the handle is used: conversion hooks
//    (__index__, __float__, __array__, __fspath__) may destroy or re-initialise
//    the object, so the handle is fetched (and checked) again afterwards.
// 3. From then on the handle is pinned until the call returns: destroy(), a
//    second __init__ and every other method are refused as busy, whether they
//    come from another thread or from Python code the call itself runs (a
//    finaliser during an allocation).
template <class O> class Call {
public:
    using Core = typename O::Core;

    explicit Call(PyObject *self) : o_(as<O>(self)), ok_(usable()) {}
    ~Call() {
        if (pinned_) o_->busy = false;
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    // Parses positional-or-keyword arguments ("O&" converters run here), then pins.
    template <class... T>
    Core *args(PyObject *a, PyObject *kw, const char *fmt, const char *const *kwlist, T... targets) {
        if (!ok_ || !PyArg_ParseTupleAndKeywords(a, kw, fmt, const_cast<char **>(kwlist), targets...)) return nullptr;
        return pin();
    }
    // Positional-only arguments (METH_VARARGS), then pins.
    template <class... T> Core *positional(PyObject *a, const char *fmt, T... targets) {
        if (!ok_ || !PyArg_ParseTuple(a, fmt, targets...)) return nullptr;
        return pin();
    }
    // Any other conversion: `f()` returns false with an exception set.
    template <class F> Core *convert(F &&f) {
        if (!ok_ || !f()) return nullptr;
        return pin();
    }
    // The handle, checked again and pinned for the rest of the call.
    Core *pin() {
        if (pinned_) return o_->h;
        if (!ok_ || !(ok_ = usable())) return nullptr;
        o_->busy = pinned_ = true;
        return o_->h;
    }

    // Runs `f` (pure core work: no Python API) with the interpreter lock
    // released when `work` elements reach the threshold. Only after pin().
    template <class F> auto run(size_t work, F &&f) -> decltype(f()) {
        if (work < kUnlockElements) return f();
        return unlocked(static_cast<F &&>(f));
    }
    // Runs `f` with the interpreter lock released whatever its size (waits).
    template <class F> auto unlocked(F &&f) -> decltype(f()) {
        PyThreadState *ts = PyEval_SaveThread();
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            PyEval_RestoreThread(ts);
        } else {
            auto r = f();
            PyEval_RestoreThread(ts);
            return r;
        }
    }

    O *object() const { return o_; }

private:
    bool usable() const {
        if (o_->h == nullptr) {
            raise_destroyed();
            return false;
        }
        if (o_->busy) {
            PyErr_SetString(PyExc_RuntimeError, kBusyMsg);
            return false;
        }
        return true;
    }

    O *o_;
    bool ok_;
    bool pinned_ = false;
};

// ---------------------------------------------------------------------------
// Method table entries

template <class F> PyCFunction cfunc(F *f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

inline PyMethodDef method_noargs(const char *name, PyObject *(*f)(PyObject *, PyObject *),
                                 const char *doc) {
    return {name, cfunc(f), METH_NOARGS, doc};
}
inline PyMethodDef method_o(const char *name, PyObject *(*f)(PyObject *, PyObject *),
                            const char *doc) {
    return {name, cfunc(f), METH_O, doc};
}
inline PyMethodDef method_varargs(const char *name, PyObject *(*f)(PyObject *, PyObject *),
                                  const char *doc) {
    return {name, cfunc(f), METH_VARARGS, doc};
}
inline PyMethodDef method_kw(const char *name,
                             PyObject *(*f)(PyObject *, PyObject *, PyObject *),
                             const char *doc) {
    return {name, cfunc(f), METH_VARARGS | METH_KEYWORDS, doc};
}

template <class O> PyObject *do_destroy(PyObject *self, PyObject *) {
    O *o = as<O>(self);
    if (o->busy) {
        PyErr_SetString(PyExc_RuntimeError, kBusyDestroyMsg);
        return nullptr;
    }
    release(o);
    Py_RETURN_NONE;
}
template <class O> PyObject *do_enter(PyObject *self, PyObject *) { return Py_NewRef(self); }
template <class O> PyObject *do_exit(PyObject *self, PyObject *) { return do_destroy<O>(self, nullptr); }

// destroy(), __enter__(), __exit__(*args).
template <class O> PyMethodDef m_destroy() {
    return method_noargs("destroy", do_destroy<O>,
                         "destroy()\n--\n\nRelease the core block; harmless when already released.");
}
template <class O> PyMethodDef m_enter() {
    return method_noargs("__enter__", do_enter<O>, "__enter__()\n--\n\nReturn self.");
}
template <class O> PyMethodDef m_exit() {
    return method_varargs("__exit__", do_exit<O>,
                          "__exit__(exc_type, exc, tb)\n--\n\nSame as destroy(); never suppresses an exception.");
}

// An argument-less method running a core function that returns nothing.
template <class O, auto Fn> PyObject *do_void(PyObject *self, PyObject *) {
    Call<O> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    Fn(h);
    Py_RETURN_NONE;
}
template <class O, auto Fn> PyMethodDef m_void(const char *name, const char *doc) {
    return method_noargs(name, do_void<O, Fn>, doc);
}
template <class O, auto ResetFn>
PyMethodDef m_reset(const char *doc = "reset()\n--\n\nReturn to the state right after construction.") {
    return m_void<O, ResetFn>("reset", doc);
}

// An argument-less method returning an unsigned size or count from the core.
template <class O, auto Fn> PyObject *do_size(PyObject *self, PyObject *) {
    Call<O> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    return PyLong_FromSize_t(static_cast<size_t>(Fn(h)));
}
template <class O, auto Fn> PyMethodDef m_size(const char *name, const char *doc) {
    return method_noargs(name, do_size<O, Fn>, doc);
}

template <class O, auto StateBytes, auto GetState> PyObject *do_get_state(PyObject *self, PyObject *) {
    Call<O> c(self);
    auto *h = c.pin();  // allocating the bytes may run finalisers
    if (h == nullptr) return nullptr;
    const size_t n = StateBytes(h);
    PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (b == nullptr) return nullptr;
    GetState(h, PyBytes_AS_STRING(b));
    return b;
}

template <class O, auto StateBytes, auto SetState> PyObject *do_set_state(PyObject *self, PyObject *blob) {
    Call<O> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    if (!PyBytes_Check(blob)) {
        PyErr_SetString(PyExc_TypeError, "set_state expects bytes");
        return nullptr;
    }
    if (static_cast<size_t>(PyBytes_GET_SIZE(blob)) != static_cast<size_t>(StateBytes(h))) {
        PyErr_SetString(PyExc_ValueError, "state blob size mismatch");
        return nullptr;
    }
    if (SetState(h, PyBytes_AS_STRING(blob)) != 0) {
        PyErr_SetString(PyExc_ValueError, "set_state rejected the blob");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// state_bytes(), get_state(), set_state(blob) over the core's three state functions.
template <class O, auto StateBytes, auto GetState, auto SetState> struct StateMethods {
    static PyMethodDef state_bytes() {
        return method_noargs("state_bytes", do_size<O, StateBytes>,
                             "state_bytes()\n--\n\nSize in bytes of the state blob.");
    }
    static PyMethodDef get_state() {
        return method_noargs("get_state", do_get_state<O, StateBytes, GetState>,
                             "get_state()\n--\n\nSnapshot of the mutable state as bytes.");
    }
    static PyMethodDef set_state() {
        return method_o("set_state", do_set_state<O, StateBytes, SetState>,
                        "set_state($self, blob, /)\n--\n\nRestore a snapshot taken from an object built alike.");
    }
};

// ---------------------------------------------------------------------------
// Values read from the handle: property getters and argument-less methods

// How a core value becomes a Python object.
struct F64 {
    static PyObject *from(double v) { return PyFloat_FromDouble(v); }
};
struct I64 {
    static PyObject *from(long long v) { return PyLong_FromLongLong(v); }
};
struct U64 {
    static PyObject *from(unsigned long long v) { return PyLong_FromUnsignedLongLong(v); }
};
struct Bool {
    static PyObject *from(long v) { return PyBool_FromLong(v != 0); }
};

template <class O, auto Fn, class As> PyObject *value_of(PyObject *self) {
    Call<O> c(self);
    auto *h = c.pin();
    return h == nullptr ? nullptr : As::from(Fn(h));
}
template <class O, auto Fn, class As> PyObject *do_get(PyObject *self, void *) { return value_of<O, Fn, As>(self); }
template <class O, auto Fn, class As> PyObject *do_value(PyObject *self, PyObject *) {
    return value_of<O, Fn, As>(self);
}

// A read-only property: `py::prop<PSDObj, psd_fs, py::F64>("fs", "Sample rate, Hz.")`.
template <class O, auto Fn, class As> PyGetSetDef prop(const char *name, const char *doc) {
    return {name, do_get<O, Fn, As>, nullptr, doc, nullptr};
}
// A property with a hand-written getter (and optionally setter).
inline PyGetSetDef prop(const char *name, getter g, const char *doc, setter s = nullptr) {
    return {name, g, s, doc, nullptr};
}
// An argument-less method returning one value of the core.
template <class O, auto Fn, class As> PyMethodDef m_value(const char *name, const char *doc) {
    return method_noargs(name, do_value<O, Fn, As>, doc);
}

// ---------------------------------------------------------------------------
// Types and modules

// A static type with the default flags only: not subclassable, no cyclic GC.
template <class O>
PyTypeObject make_type(const char *name, const char *doc, PyMethodDef *methods, PyGetSetDef *getset,
                       initproc init) {
    static const PyVarObject head[1] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject t{};
    t.ob_base = head[0];
    t.tp_name = name;
    t.tp_basicsize = sizeof(O);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = doc;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = init;
    t.tp_new = tp_new<O>;
    t.tp_dealloc = tp_dealloc<O>;
    return t;
}

// NumPy's documented import sequence; any failure becomes
// ImportError("numpy._core.multiarray failed to import").
inline int import_numpy() {
    import_array1(-1);
    return 0;
}

struct TypeEntry {
    const char *name;
    PyTypeObject *type;
};

// Module initialisation: NumPy, ready every type, create the module, add the
// types in the given order. Returns a new module or null with an exception set.
inline PyObject *make_module(PyModuleDef *def, std::initializer_list<TypeEntry> types) {
    if (import_numpy() < 0) return nullptr;
    for (const auto &t : types)
        if (PyType_Ready(t.type) < 0) return nullptr;
    PyObject *m = PyModule_Create(def);
    if (m == nullptr) return nullptr;
    for (const auto &t : types) {
        if (PyModule_AddObjectRef(m, t.name, reinterpret_cast<PyObject *>(t.type)) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
    }
    return m;
}

// ---------------------------------------------------------------------------
// Argument converters (for "O&")

// Counts, lengths, seeds: unsigned 64-bit. A negative value is refused instead of
// wrapping into an enormous count.
inline int to_u64(PyObject *obj, void *out) {
    PyObject *idx = PyNumber_Index(obj);
    if (idx == nullptr) return 0;
    PyObject *zero = PyLong_FromLong(0);
    int negative = zero ? PyObject_RichCompareBool(idx, zero, Py_LT) : -1;
    Py_XDECREF(zero);
    if (negative < 0) {
        Py_DECREF(idx);
        return 0;
    }
    if (negative) {
        PyErr_Format(PyExc_ValueError, "expected a non-negative integer, got %S", idx);
        Py_DECREF(idx);
        return 0;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
    *static_cast<uint64_t *>(out) = v;
    return 1;
}

inline int to_u32(PyObject *obj, void *out) {
    uint64_t v;
    if (!to_u64(obj, &v)) return 0;
    if (v > std::numeric_limits<uint32_t>::max()) {
        PyErr_Format(PyExc_OverflowError, "value %llu does not fit an unsigned 32-bit integer",
                     static_cast<unsigned long long>(v));
        return 0;
    }
    *static_cast<uint32_t *>(out) = static_cast<uint32_t>(v);
    return 1;
}

inline int to_size(PyObject *obj, void *out) {
    uint64_t v;
    if (!to_u64(obj, &v)) return 0;
    *static_cast<size_t *>(out) = static_cast<size_t>(v);
    return 1;
}

// Maps an option string to its index in `names`; otherwise ValueError
// "<what> must be one of \"a\", \"b\", got '<value>'". Returns -1 on refusal.
inline int option_index(const char *what, const char *value, std::initializer_list<const char *> names) {
    int i = 0;
    for (const char *n : names) {
        if (std::strcmp(n, value) == 0) return i;
        ++i;
    }
    PyObject *allowed = PyUnicode_FromString("");
    bool first = true;
    for (const char *n : names) {
        PyObject *next = PyUnicode_FromFormat("%U%s\"%s\"", allowed, first ? "" : ", ", n);
        Py_DECREF(allowed);
        if (next == nullptr) return -1;
        allowed = next;
        first = false;
    }
    PyErr_Format(PyExc_ValueError, "%s must be one of %U, got '%s'", what, allowed, value);
    Py_DECREF(allowed);
    return -1;
}

// ---------------------------------------------------------------------------
// Arrays

// A C-contiguous, aligned array of one dtype converted from any object; copies
// only when the object is not already such an array. The reference is held for
// the lifetime of this object, so the data outlives the core call that reads it.
class Input {
public:
    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() { Py_XDECREF(arr_); }

    bool convert(PyObject *obj, int typenum) {
        Py_CLEAR(arr_);
        arr_ = reinterpret_cast<PyArrayObject *>(
            PyArray_FromAny(obj, PyArray_DescrFromType(typenum), 0, 0, NPY_ARRAY_IN_ARRAY, nullptr));
        return arr_ != nullptr;
    }
    template <class T> const T *data() const { return static_cast<const T *>(PyArray_DATA(arr_)); }
    size_t size() const { return static_cast<size_t>(PyArray_SIZE(arr_)); }
    int ndim() const { return PyArray_NDIM(arr_); }
    npy_intp dim(int i) const { return PyArray_DIM(arr_, i); }
    PyArrayObject *array() const { return arr_; }

private:
    PyArrayObject *arr_ = nullptr;
};

// "O&" converter target for an array input: `Input in; "O&", convert_cf32, &in`.
template <int Typenum> int convert_input(PyObject *obj, void *in) {
    return static_cast<Input *>(in)->convert(obj, Typenum) ? 1 : 0;
}

inline constexpr const char *kOutTypeMsg = "out must be a writable, C-contiguous ndarray of the output dtype";

// Output length without out=: the call's bound, or the input length when the
// bound is 0 or smaller than the input.
inline size_t out_len(size_t max_out, size_t n_in) { return (max_out == 0 || max_out < n_in) ? n_in : max_out; }

// The result of a processing call: either a fresh 1-D array sized by out_len, or
// the caller's out= buffer (checked here), returned as a view of exactly the
// produced length.
class Output {
public:
    Output() = default;
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output() {
        Py_XDECREF(arr_);
        Py_XDECREF(descr_);
    }

    // `need` = max(max_out, input elements); `descr` is borrowed.
    bool prepare(PyObject *out, PyArray_Descr *descr, size_t need, const char *type_msg = kOutTypeMsg) {
        Py_XSETREF(descr_, Py_NewRef(reinterpret_cast<PyObject *>(descr)));
        if (out == nullptr || out == Py_None) {
            npy_intp n = static_cast<npy_intp>(need);
            if (need > static_cast<size_t>(std::numeric_limits<npy_intp>::max())) {
                PyErr_SetString(PyExc_OverflowError, "output length too large");
                return false;
            }
            Py_INCREF(descr);
            arr_ = reinterpret_cast<PyArrayObject *>(
                PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, nullptr, 0, nullptr));
            owned_ = true;
            cap_ = need;
            return arr_ != nullptr;
        }
        if (!PyArray_Check(out) || !PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(out)), descr) ||
            !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(out)) ||
            !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject *>(out)) ||
            !PyArray_ISALIGNED(reinterpret_cast<PyArrayObject *>(out))) {
            PyErr_SetString(PyExc_TypeError, type_msg);
            return false;
        }
        arr_ = reinterpret_cast<PyArrayObject *>(Py_NewRef(out));
        owned_ = false;
        cap_ = static_cast<size_t>(PyArray_SIZE(arr_));
        if (cap_ < need) {
            PyErr_Format(PyExc_ValueError, "out has %zu elements, need >= %zu", cap_, need);
            return false;
        }
        return true;
    }
    // The same for a built-in dtype; the descriptor reference taken here is
    // given back, so a call leaves the dtype's reference count as it was.
    bool prepare(PyObject *out, int typenum, size_t need, const char *type_msg = kOutTypeMsg) {
        PyArray_Descr *descr = PyArray_DescrFromType(typenum);  // new reference
        if (descr == nullptr) return false;
        const bool ok = prepare(out, descr, need, type_msg);
        Py_DECREF(descr);
        return ok;
    }

    template <class T> T *data() { return static_cast<T *>(PyArray_DATA(arr_)); }
    size_t capacity() const { return cap_; }

    // New reference to the result holding exactly `count` elements.
    PyObject *finish(size_t count) {
        npy_intp n = static_cast<npy_intp>(count);
        if (owned_) {
            if (count != cap_) {
                PyArray_Dims dims = {&n, 1};
                PyObject *r = PyArray_Resize(arr_, &dims, 0, NPY_CORDER);
                if (r == nullptr) return nullptr;
                Py_DECREF(r);
            }
            return Py_NewRef(reinterpret_cast<PyObject *>(arr_));
        }
        Py_INCREF(descr_);
        PyObject *view = PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr *>(descr_), 1, &n,
                                              nullptr, PyArray_DATA(arr_), NPY_ARRAY_CARRAY, nullptr);
        if (view == nullptr) return nullptr;
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(view), Py_NewRef(reinterpret_cast<PyObject *>(arr_))) < 0) {
            Py_DECREF(view);
            return nullptr;
        }
        return view;
    }

private:
    PyArrayObject *arr_ = nullptr;
    PyObject *descr_ = nullptr;
    size_t cap_ = 0;
    bool owned_ = false;
};

// For cores that may write an output before they read a later input (or a
// stream beside it): an input sharing memory with the output (out= given the
// input's own array, a previous result fed back in) is first copied aside.
// out_elem is the size of one output element.
inline bool keep_apart(Input &in, Output &res, size_t out_elem) {
    const auto *a = reinterpret_cast<const char *>(PyArray_DATA(in.array()));
    const auto *b = res.data<char>();
    const size_t a_len = static_cast<size_t>(PyArray_NBYTES(in.array())), b_len = res.capacity() * out_elem;
    if (a_len == 0 || b_len == 0 || !(a < b + b_len && b < a + a_len)) return true;
    PyObject *copy = PyArray_NewCopy(in.array(), NPY_CORDER);
    if (copy == nullptr) return false;
    const bool ok = in.convert(copy, PyArray_TYPE(in.array()));
    Py_DECREF(copy);
    return ok;
}

// ---------------------------------------------------------------------------
// Processing calls: <verb>(x, out=None) and <verb>(count=1, out=None)

// Output-count rules: room for how many results a call needs, given the handle
// and the input length (or the requested count of a generator). A rule is any
// type with `static size_t need(Core *h, size_t n)`; it may refuse the call by
// setting an exception and returning kRefused.
inline constexpr size_t kRefused = SIZE_MAX;
template <auto MaxOut> struct ByMaxOut {  // the call's bound, or n when larger or unbounded
    template <class H> static size_t need(H *h, size_t n) { return out_len(static_cast<size_t>(MaxOut(h)), n); }
};
// A generator rule whose count must also stay under the one per-call ceiling.
template <class Rule> struct Capped : Rule {
    static bool admit(size_t n) { return count_ok(n, "count"); }
};
struct ByInput {  // exactly the input length
    template <class H> static size_t need(H *, size_t n) { return n; }
};

// The element types a core call reads and writes, from its signature
// `count (*)(H *, const In *, n, Out *, cap)` or `count (*)(H *, n, Out *, cap)`.
template <class F> struct CoreCall;
template <class R, class H, class In, class N, class Out, class C>
struct CoreCall<R (*)(H *, const In *, N, Out *, C)> {
    using Input = In;
    using Output = Out;
};
template <class R, class H, class N, class Out, class C> struct CoreCall<R (*)(H *, N, Out *, C)> {
    using Output = Out;
};

inline constexpr char kArgX[] = "x";

// Where results go: the caller's out= (checked by the frame's rules) or, without
// it, a fresh array. A type that reuses a buffer of its own passes a policy of the
// same shape; it sees the converted input too, to keep it apart from the buffer.
struct FreshOutput {
    template <class O> static bool prepare(O *, Output &res, PyObject *out, int typenum, size_t need, Input &) {
        return res.prepare(out, typenum, need);
    }
};

// <verb>(x, out=None): x converted to InType (any shape, flattened), the result
// sized by Rule, placed by Place and written with Exec(h, x, n, out, cap); the
// interpreter lock is released around Exec for large blocks.
template <class O, int InType, int OutType, auto Exec, class Rule, const char *Arg = kArgX,
          class Place = FreshOutput>
PyObject *execute(PyObject *self, PyObject *args, PyObject *kw) {
    using Sig = CoreCall<decltype(Exec)>;
    static const char *kwlist[] = {Arg, "out", nullptr};
    Input in;
    PyObject *out = nullptr;
    Call<O> c(self);
    auto *h = c.args(args, kw, "O&|O", kwlist, convert_input<InType>, &in, &out);
    if (h == nullptr) return nullptr;
    const size_t n = in.size();
    const size_t need = Rule::need(h, n);
    Output o;
    if (need == kRefused || !Place::prepare(c.object(), o, out, OutType, need, in)) return nullptr;
    const auto *x = in.data<typename Sig::Input>();
    auto *y = o.data<typename Sig::Output>();
    const size_t cap = o.capacity();
    return o.finish(static_cast<size_t>(c.run(n > need ? n : need, [&] { return Exec(h, x, n, y, cap); })));
}

// <verb>(count=1, out=None): a generator asked for `count` results, written with
// Gen(h, count, out, cap) into room sized by Rule.
template <class O, int OutType, auto Gen, class Rule> PyObject *generate(PyObject *self, PyObject *args, PyObject *kw) {
    using Sig = CoreCall<decltype(Gen)>;
    static const char *kwlist[] = {"count", "out", nullptr};
    size_t count = 1;
    PyObject *out = nullptr;
    Call<O> c(self);
    auto *h = c.args(args, kw, "|O&O", kwlist, to_size, &count, &out);
    if (h == nullptr) return nullptr;
    if constexpr (requires { Rule::admit(count); })
        if (!Rule::admit(count)) return nullptr;
    const size_t need = Rule::need(h, count);
    Output o;
    if (need == kRefused || !o.prepare(out, OutType, need)) return nullptr;
    auto *y = o.data<typename Sig::Output>();
    const size_t cap = o.capacity();
    return o.finish(static_cast<size_t>(c.run(need, [&] { return Gen(h, count, y, cap); })));
}

// A fresh 1-D array of `n` elements of `typenum` (new reference or null).
inline PyObject *new_array(int typenum, size_t n) {
    npy_intp d = static_cast<npy_intp>(n);
    return PyArray_SimpleNew(1, &d, typenum);
}

template <class T> T *array_data(PyObject *arr) {
    return static_cast<T *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr)));
}

// ---------------------------------------------------------------------------
// Capsules crossing modules

// The pointer of capsule `name`, taken from `obj` itself or from its `_capsule`
// attribute. `what` names the argument in the error texts.
inline void *capsule_pointer(PyObject *obj, const char *name, const char *what) {
    if (PyCapsule_CheckExact(obj)) return PyCapsule_GetPointer(obj, name);
    PyObject *cap = PyObject_GetAttrString(obj, "_capsule");
    if (cap == nullptr || !PyCapsule_CheckExact(cap)) {
        if (cap == nullptr && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        Py_XDECREF(cap);
        PyErr_Format(PyExc_TypeError,
                     "%s must be the %s capsule or an object exposing it as ._capsule, not %s", what, name,
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    void *p = PyCapsule_GetPointer(cap, name);
    Py_DECREF(cap);
    return p;
}

}  // namespace sx::py
