// kolvane.iqsink: StreamSink, the stream sink for Python. Frames and the
// transport have no Python types; their functions are exported from this
// module's shared object for ctypes callers.
#include <cmath>
#include <cstring>

#include "core/sx_interrupt_adopt.h"
#include "core/sx_pyframe.h"
#include "stream/iqsink.h"

namespace py = sx::py;

namespace {

struct SinkExtra {
    int wire = 0;  // capture index of the opened wire type (0..4)
};
using SinkObj = py::Object<wfm_stream_sink, wfm_stream_sink_close, SinkExtra>;

constexpr const char *kWireNames[] = {"cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"};
constexpr const char *kClosedMsg = "StreamSink is closed";

// The sink names its released state itself: every use after close() raises
// "StreamSink is closed", also when argument conversion closed it meanwhile.
PyObject *raise_closed() {
    PyErr_SetString(PyExc_RuntimeError, kClosedMsg);
    return nullptr;
}
bool is_closed(PyObject *self) { return py::as<SinkObj>(self)->h == nullptr; }
PyObject *failed(PyObject *self) {
    if (is_closed(self) && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
        PyErr_Clear();
        return raise_closed();
    }
    return nullptr;
}

int sink_init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"endpoint", "sample_type", nullptr};
    const char *endpoint = nullptr;
    const char *type = "cf32";
    if (!PyArg_ParseTupleAndKeywords(args, kw, "s|s", const_cast<char **>(kwlist), &endpoint, &type)) return -1;
    int wire = -1;
    for (int i = 0; i < 10 && wire < 0; ++i)
        if (std::strcmp(type, kWireNames[i]) == 0) wire = i;
    if (wire < 0) {
        PyErr_Format(PyExc_ValueError,
                     "invalid sample_type '%s' (choices: cf32, cf64, ci32, ci16, ci8, f32, f64, i32, i16, i8)", type);
        return -1;
    }
    SinkObj *o = py::as<SinkObj>(self);
    if (o->busy) {
        PyErr_SetString(PyExc_RuntimeError, py::kBusyMsg);
        return -1;
    }
    py::release(o);  // a sink still open is closed before the new one opens
    wfm_stream_sink *s = wfm_stream_sink_open(endpoint, wire);
    if (s == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "wfm_stream_sink_open failed");
        return -1;
    }
    o->h = s;
    o->x.wire = wire;
    return 0;
}

PyObject *sink_send(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"iq", "fs", "fc", nullptr};
    if (is_closed(self)) return raise_closed();
    py::Input in;
    double fs = 0.0, fc = 0.0;
    py::Call<SinkObj> c(self);
    auto *h = c.args(args, kw, "O&dd", kwlist, py::convert_input<NPY_COMPLEX64>, &in, &fs, &fc);
    if (h == nullptr) return failed(self);
    const auto *iq = in.data<float>();
    const size_t n = in.size();
    return PyLong_FromLong(c.unlocked([&] { return wfm_stream_sink_send(h, iq, n, fs, fc); }));
}

PyObject *sink_send_eos(PyObject *self, PyObject *) {
    if (is_closed(self)) return raise_closed();
    py::Call<SinkObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return failed(self);
    const int rc = wfm_stream_sink_send_eos(h);
    if (rc != 0) return py::raise_status(PyExc_OSError, "wfm_stream_sink_send_eos failed", rc);
    Py_RETURN_NONE;
}

PyObject *sink_drain(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"timeout_ms", nullptr};
    if (is_closed(self)) return raise_closed();
    long long timeout = 0;
    py::Call<SinkObj> c(self);
    auto *h = c.args(args, kw, "|L", kwlist, &timeout);
    if (h == nullptr) return failed(self);
    const int rc = wfm_stream_sink_drain(h, static_cast<int64_t>(timeout));
    if (rc != 0) return py::raise_status(PyExc_OSError, "wfm_stream_sink_drain failed", rc);
    Py_RETURN_NONE;
}

PyObject *sink_track_clipping(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"on", nullptr};
    if (is_closed(self)) return raise_closed();
    int on = 1;
    py::Call<SinkObj> c(self);
    auto *h = c.args(args, kw, "|i", kwlist, &on);
    if (h == nullptr) return failed(self);
    wfm_stream_sink_track_clipping(h, on);
    Py_RETURN_NONE;
}

PyObject *sink_close(PyObject *self, PyObject *) {
    if (is_closed(self)) Py_RETURN_NONE;
    return py::do_destroy<SinkObj>(self, nullptr);
}

PyObject *sink_exit(PyObject *self, PyObject *) { return sink_close(self, nullptr); }

// The statistics are read through the call accessor too: a send in another
// thread is still writing them.
template <class F> PyObject *read_stats(PyObject *self, F &&f) {
    if (is_closed(self)) return raise_closed();
    py::Call<SinkObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return failed(self);
    return f(h, py::as<SinkObj>(self)->x.wire);
}

PyObject *get_clip_fraction(PyObject *self, void *) {
    return read_stats(self, [](wfm_stream_sink *h, int) { return PyFloat_FromDouble(wfm_stream_sink_clip_fraction(h)); });
}

PyObject *get_peak_dbfs(PyObject *self, void *) {
    return read_stats(self, [](wfm_stream_sink *h, int) {
        const double peak = wfm_stream_sink_peak(h);
        return PyFloat_FromDouble(peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL);
    });
}

PyObject *get_clipped(PyObject *self, void *) {
    return read_stats(self, [](wfm_stream_sink *h, int wire) {
        return PyBool_FromLong(wfm_stream_sink_peak(h) > 1.0 && wire >= 2);
    });
}

PyMethodDef sink_methods[] = {
    py::method_kw("send", sink_send,
                  "send(iq, fs, fc)\n--\n\n"
                  "Publish one block of unit-scale complex64 samples as a data frame (fs, fc in Hz go into its\n"
                  "header), converted to the sink's wire type. Returns the status: 0, or a negative transport\n"
                  "status (-9 once drained). Runs without the interpreter lock."),
    py::method_noargs("send_eos", sink_send_eos,
                      "send_eos()\n--\n\nPublish the end-of-stream frame; send it before drain()."),
    py::method_kw("drain", sink_drain,
                  "drain(timeout_ms=0)\n--\n\n"
                  "Flush what is pending and close the connection, waiting up to timeout_ms (<= 0: 5000)."),
    py::method_kw("track_clipping", sink_track_clipping,
                  "track_clipping(on=1)\n--\n\nCount components beyond full scale (integer wire types)."),
    py::method_noargs("close", sink_close, "close()\n--\n\nClose the sink; later calls do nothing."),
    py::method_noargs("__enter__", py::do_enter<SinkObj>, "__enter__()\n--\n\nReturn self."),
    py::method_varargs("__exit__", sink_exit, "__exit__(exc_type, exc, tb)\n--\n\nSame as close()."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sink_getset[] = {
    py::prop("clip_fraction", get_clip_fraction, "Clipped components / components sent (integer wire types)."),
    py::prop("peak_dbfs", get_peak_dbfs, "20*log10(peak |I| or |Q| sent), -inf before any integer block."),
    py::prop("clipped", get_clipped, "True when the peak passed full scale on an integer wire type."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject SinkType = py::make_type<SinkObj>(
    "kolvane.wfm.StreamSink",
    "StreamSink(endpoint, sample_type=\"cf32\")\n--\n\n"
    "Publishes unit-scale complex64 blocks as stream frames on \"iq.<stream>.<type>\" of a NATS server.\n"
    "endpoint: \"nats://host[:port][/stream]\" (stream \"default\" when absent); sample_type: the wire type,\n"
    "one of cf32, cf64, ci32, ci16, ci8 (integer types are quantised from unit scale).",
    sink_methods, sink_getset, sink_init);

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "iqsink",
    "Stream sink: sample blocks, end of stream and drain over NATS in self-describing frames.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_iqsink(void) {
    return py::make_interrupt_aware_module(&module_def, {{"StreamSink", &SinkType}});
}
