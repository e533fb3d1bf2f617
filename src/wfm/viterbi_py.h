// Binding of the Viterbi decoder: the module function viterbi_decode. Included
// once, from wfm_ext.cpp, after the binding frame.
#pragma once
#include "wfm/viterbi_core.h"

namespace viterbi_py {

namespace py = sx::py;

constexpr const char *kDoc =
    "viterbi_decode(soft, start_state=0, terminated=False, out=None)\n--\n\n"
    "Decode the CCSDS rate-1/2, K=7 convolutional code (generators 171 and 133 octal, the\n"
    "second symbol inverted) with a maximum-likelihood decoder; returns one uint8 bit (0/1)\n"
    "per symbol pair, len(soft) // 2 of them.\n\n"
    "soft: the channel symbols in wire order (two per bit, the first pair for the first\n"
    "bit), any shape, read flattened. The dtype decides how they are read:\n"
    "  int8     soft symbols, positive = 0, magnitude = confidence (+127 a sure 0,\n"
    "           -127 a sure 1, 0 an erasure; -128 reads as -127);\n"
    "  float32  positive = 0, a clean symbol nominally +-1.0; scaled by 32 and saturated\n"
    "           at +-127 (about +-3.97), NaN an erasure;\n"
    "  uint8    hard bits (bit 0 of each byte).\n"
    "start_state: the encoder register before the first bit (0..63, 0 for a fresh\n"
    "encoder), or -1 when unknown (joined mid-stream).\n"
    "terminated: True when the encoder ended in state 0 (its last six input bits were\n"
    "zeros; they are decoded too); otherwise the trace starts from the best end state.\n"
    "Decisions are final after 96 bits (traceback every 1024 bits), so the result does\n"
    "not depend on how a stream is cut for the core's streaming form.\n\n"
    "TypeError for another dtype; ValueError for an odd symbol count or a start_state\n"
    "outside -1..63. Releases the interpreter lock on large inputs.";

inline PyObject *decode(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"soft", "start_state", "terminated", "out", nullptr};
    PyObject *soft = nullptr, *out = nullptr;
    int start_state = 0, terminated = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O|ipO", const_cast<char **>(kwlist), &soft, &start_state,
                                     &terminated, &out))
        return nullptr;
    if (start_state < VITERBI27_UNKNOWN_STATE || start_state >= VITERBI27_STATES) {
        PyErr_Format(PyExc_ValueError, "start_state must be -1 (unknown) or 0..63, got %d", start_state);
        return nullptr;
    }
    // The dtype picks the reading; the array is then taken C-contiguous, aligned
    // and in native byte order.
    PyObject *probe = PyArray_FromAny(soft, nullptr, 0, 0, 0, nullptr);
    if (probe == nullptr) return nullptr;
    const int typenum = PyArray_TYPE(reinterpret_cast<PyArrayObject *>(probe));
    if (typenum != NPY_INT8 && typenum != NPY_FLOAT32 && typenum != NPY_UINT8) {
        PyErr_Format(PyExc_TypeError, "soft must be an int8, float32 or uint8 array, got dtype %S",
                     reinterpret_cast<PyObject *>(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(probe))));
        Py_DECREF(probe);
        return nullptr;
    }
    py::Input in;
    const bool converted = in.convert(probe, typenum);
    Py_DECREF(probe);
    if (!converted) return nullptr;
    const size_t n = in.size();
    if (n % 2 != 0) {
        PyErr_Format(PyExc_ValueError, "soft must hold an even number of symbols (two per bit), got %zu", n);
        return nullptr;
    }
    py::Output res;
    if (!res.prepare(out, NPY_UINT8, n / 2) || !py::keep_apart(in, res, 1)) return nullptr;
    uint8_t *y = res.data<uint8_t>();
    const size_t cap = res.capacity();
    auto run = [&]() -> int64_t {
        switch (typenum) {
        case NPY_INT8: return viterbi27_decode_block(in.data<int8_t>(), n, start_state, terminated, y, cap);
        case NPY_FLOAT32: return viterbi27_decode_block_f32(in.data<float>(), n, start_state, terminated, y, cap);
        default: return viterbi27_decode_block_hard(in.data<uint8_t>(), n, start_state, terminated, y, cap);
        }
    };
    int64_t rc;
    if (n < py::kUnlockElements) {
        rc = run();
    } else {
        PyThreadState *ts = PyEval_SaveThread();
        rc = run();
        PyEval_RestoreThread(ts);
    }
    if (rc == SX_ERR_NOMEM) return PyErr_NoMemory();
    if (rc < 0) return py::raise_status(PyExc_ValueError, "viterbi_decode failed", rc);
    return res.finish(static_cast<size_t>(rc));
}

inline PyMethodDef method() { return py::method_kw("viterbi_decode", decode, kDoc); }

}  // namespace viterbi_py
