// Binding of the Viterbi decoder: the module function viterbi_decode and the
// streaming type Viterbi. Included
// once, from wfm_ext.cpp, after the binding frame.
#pragma once
#include "wfm/viterbi_core.h"

namespace viterbi_py {

namespace py = sx::py;

constexpr const char *kDoc =
    "viterbi_decode(soft, start_state=0, terminated=False, out=None)\n--\n\n"
    "Decode the CCSDS rate-1/2, K=7 convolutional code (generators 171 and 133 octal, the\n"
    "second symbol inverted) with a maximum-likelihood decoder; returns one uint8 bit (0/1)\n"
    "per symbol pair, soft.size // 2 of them.\n\n"
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
    "Same bits as Viterbi(start_state).decode(soft) followed by flush(0 if terminated else -1).\n\n"
    "TypeError for another dtype; ValueError for an odd symbol count or a start_state\n"
    "outside -1..63. Releases the interpreter lock on large inputs.";

// The dtype of `soft` picks the reading (int8 soft, float32 soft, uint8 hard);
// the array is then taken C-contiguous, aligned and in native byte order.
// Refuses other dtypes (TypeError) and odd counts (ValueError).
inline bool convert_soft(PyObject *soft, py::Input &in, int &typenum) {
    PyObject *probe = PyArray_FromAny(soft, nullptr, 0, 0, 0, nullptr);
    if (probe == nullptr) return false;
    typenum = PyArray_TYPE(reinterpret_cast<PyArrayObject *>(probe));
    if (typenum != NPY_INT8 && typenum != NPY_FLOAT32 && typenum != NPY_UINT8) {
        PyErr_Format(PyExc_TypeError, "soft must be an int8, float32 or uint8 array, got dtype %S",
                     reinterpret_cast<PyObject *>(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(probe))));
        Py_DECREF(probe);
        return false;
    }
    const bool converted = in.convert(probe, typenum);
    Py_DECREF(probe);
    if (!converted) return false;
    if (in.size() % 2 != 0) {
        PyErr_Format(PyExc_ValueError, "soft must hold an even number of symbols (two per bit), got %zu", in.size());
        return false;
    }
    return true;
}

// start_state: -1 means unknown; end_state: -1 means the best state.
inline bool check_state_arg(const char *what, const char *minus_one, int s) {
    if (s >= -1 && s < VITERBI27_STATES) return true;
    PyErr_Format(PyExc_ValueError, "%s must be -1 (%s) or 0..63, got %d", what, minus_one, s);
    return false;
}

inline PyObject *decode(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"soft", "start_state", "terminated", "out", nullptr};
    PyObject *soft = nullptr, *out = nullptr;
    int start_state = 0, terminated = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O|ipO", const_cast<char **>(kwlist), &soft, &start_state,
                                     &terminated, &out))
        return nullptr;
    if (!check_state_arg("start_state", "unknown", start_state)) return nullptr;
    py::Input in;
    int typenum = 0;
    if (!convert_soft(soft, in, typenum)) return nullptr;
    const size_t n = in.size();
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

// ---------------------------------------------------------------------------
// Viterbi: the streaming decoder

using VObj = py::Object<viterbi27, viterbi27_destroy>;
using VState = py::StateMethods<VObj, viterbi27_state_bytes, viterbi27_get_state, viterbi27_set_state>;

inline int Viterbi_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"start_state", nullptr};
    int start_state = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|i", const_cast<char **>(kwlist), &start_state)) return -1;
    if (!check_state_arg("start_state", "unknown", start_state)) return -1;
    return py::adopt<VObj>(self, viterbi27_create(start_state), "viterbi27_create");
}

inline PyObject *Viterbi_decode(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"soft", "out", nullptr};
    PyObject *soft = nullptr, *out = nullptr;
    py::Input in;
    int typenum = 0;
    py::Call<VObj> c(self);
    auto *h = c.convert([&] {
        return PyArg_ParseTupleAndKeywords(args, kw, "O|O", const_cast<char **>(kwlist), &soft, &out) &&
               convert_soft(soft, in, typenum);
    });
    if (h == nullptr) return nullptr;
    const size_t n = in.size();
    py::Output res;
    if (!res.prepare(out, NPY_UINT8, viterbi27_decode_max_out(h, n)) || !py::keep_apart(in, res, 1)) return nullptr;
    uint8_t *y = res.data<uint8_t>();
    const size_t cap = res.capacity();
    const int64_t rc = c.run(n, [&]() -> int64_t {
        switch (typenum) {
        case NPY_INT8: return viterbi27_decode(h, in.data<int8_t>(), n, y, cap);
        case NPY_FLOAT32: return viterbi27_decode_f32(h, in.data<float>(), n, y, cap);
        default: return viterbi27_decode_hard(h, in.data<uint8_t>(), n, y, cap);
        }
    });
    if (rc < 0) return py::raise_status(PyExc_ValueError, "decode refused", rc);
    return res.finish(static_cast<size_t>(rc));
}

inline PyObject *Viterbi_flush(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"end_state", "out", nullptr};
    int end_state = -1;
    PyObject *out = nullptr;
    py::Call<VObj> c(self);
    auto *h = c.args(args, kw, "|iO", kwlist, &end_state, &out);
    if (h == nullptr || !check_state_arg("end_state", "the best state", end_state)) return nullptr;
    py::Output res;
    if (!res.prepare(out, NPY_UINT8, viterbi27_flush_max_out(h))) return nullptr;
    const int64_t rc = end_state < 0 ? viterbi27_flush(h, res.data<uint8_t>(), res.capacity())
                                     : viterbi27_flush_to(h, end_state, res.data<uint8_t>(), res.capacity());
    if (rc < 0) return py::raise_status(PyExc_ValueError, "flush refused", rc);
    return res.finish(static_cast<size_t>(rc));
}

inline PyObject *Viterbi_decode_max_out(PyObject *self, PyObject *args) {
    size_t n = 0;
    py::Call<VObj> c(self);
    auto *h = c.positional(args, "O&", py::to_size, &n);
    return h == nullptr ? nullptr : PyLong_FromSize_t(viterbi27_decode_max_out(h, n));
}

inline PyMethodDef Viterbi_methods[] = {
    py::method_kw("decode", Viterbi_decode,
                  "decode(soft, out=None)\n--\n\n"
                  "Feed channel symbols (int8, float32 or uint8 hard bits, read as viterbi_decode reads them;\n"
                  "an even count) and return the bits this call completes: bits are emitted each time the\n"
                  "total reaches a multiple of 1024, all but the newest 96, so the output never depends on\n"
                  "how the stream is cut. The first call emits nothing until 1024 bits are in."),
    py::method_varargs("decode_max_out", Viterbi_decode_max_out,
                       "decode_max_out(n)\n--\n\nMost bits decode() can return for n symbols now (pending + n // 2)."),
    py::method_kw("flush", Viterbi_flush,
                  "flush(end_state=-1, out=None)\n--\n\n"
                  "End the stream: trace back from end_state (0..63; 0 for an encoder flushed with six zeros)\n"
                  "or from the best state (-1), return every pending bit, then reset."),
    py::m_reset<VObj, viterbi27_reset>("reset()\n--\n\nForget the stream: metrics from start_state, nothing pending."),
    VState::state_bytes(),
    VState::get_state(),
    VState::set_state(),
    py::m_destroy<VObj>(),
    py::m_enter<VObj>(),
    py::m_exit<VObj>(),
    {nullptr, nullptr, 0, nullptr},
};

inline PyTypeObject Type = py::make_type<VObj>(
    "wfm.Viterbi",
    "Viterbi(start_state=0)\n--\n\n"
    "Streaming maximum-likelihood decoder of the CCSDS rate-1/2, K=7 convolutional code (the\n"
    "streaming form of viterbi_decode, which gives the same bits as decode() then flush()).\n"
    "start_state is the encoder register before the first bit (0..63), or -1 when unknown.",
    Viterbi_methods, nullptr, Viterbi_init);

inline PyMethodDef method() { return py::method_kw("viterbi_decode", decode, kDoc); }

}  // namespace viterbi_py
