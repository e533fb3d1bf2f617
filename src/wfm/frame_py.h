// Binding of frames (Frame, FrameDesc), their FrameLayout and FrameCheck
// records, and the dsss_spread function. Included once, from wfm_ext.cpp,
// after the binding frame.
#pragma once
#include <cstdio>
#include <cstring>

#include "wfm/dsss_core.h"
#include "wfm/frame_core.h"

namespace frame_py {

namespace py = sx::py;

using FrameObj = py::Object<frame, frame_destroy>;

constexpr const char *kGeometryMsg =
    "frame geometry is empty or a field is unbuildable (a literal with no array, or a generated field with no "
    "register width)";

// Records --------------------------------------------------------------------------

PyStructSequence_Field layout_fields[] = {
    {"preamble_off", "preamble offset [bits]"}, {"preamble_bits", "preamble length [bits]"},
    {"sync_off", "sync word offset [bits]"},    {"sync_bits", "sync word length [bits]"},
    {"payload_off", "payload offset [bits]"},   {"payload_bits", "payload length [bits]"},
    {"crc_off", "CRC offset [bits]"},           {"crc_bits", "CRC length [bits]"},
    {"total_bits", "frame length [bits]"},      {nullptr, nullptr},
};
PyStructSequence_Desc layout_desc = {
    "kolvane.wfm.FrameLayout",
    "Offsets and lengths of the four named fields of a frame, in bits (zeros for a description whose fields\n"
    "were added with add_field).",
    layout_fields, 9};

PyStructSequence_Field check_fields[] = {
    {"passed", "1 when every checked stage passed, else 0"},
    {"stages", "stages of the description"},
    {"checked", "stages undone"},
    {"units", "units checked (codewords for the outer code, else 1 per stage)"},
    {"ok", "units that passed"},
    {"corrected", "units repaired"},
    {"symbols", "symbols repaired"},
    {nullptr, nullptr},
};
PyStructSequence_Desc check_desc = {"kolvane.wfm.FrameCheck", "What undoing a frame's stages found.", check_fields,
                                    7};

// The record types are made on first use and kept for the life of the process.
inline PyObject *new_record(PyStructSequence_Desc *desc, PyTypeObject *&type,
                            std::initializer_list<PyObject *> values) {
    for (PyObject *v : values)
        if (v == nullptr) {
            for (PyObject *w : values) Py_XDECREF(w);
            return nullptr;
        }
    if (type == nullptr) type = PyStructSequence_NewType(desc);
    PyObject *r = type == nullptr ? nullptr : PyStructSequence_New(type);
    if (r == nullptr) {
        for (PyObject *w : values) Py_DECREF(w);
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject *v : values) PyStructSequence_SET_ITEM(r, i++, v);
    return r;
}

inline PyTypeObject *layout_type = nullptr;
inline PyTypeObject *check_type = nullptr;

inline PyObject *u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// Construction ---------------------------------------------------------------------

// The keywords of one of the three fields, parsed into a wfm_seq_t.
struct FieldArgs {
    py::Input lit;
    const char *kind = "literal", *lfsr = "galois";
    uint64_t nbits = 0, poly = 0, seed = 0, taps_a = 0, seed_a = 0, taps_b = 0, seed_b = 0;
    uint32_t reg_bits = 0;

    // For a literal the array is the field; a generated field makes nbits bits.
    bool to_seq(const char *prefix, wfm_seq_t &s) {
        char what[32];
        std::snprintf(what, sizeof what, "%s_kind", prefix);
        const int k = py::option_index(what, kind, {"literal", "pn", "gold", "dotted"});
        if (k < 0) return false;
        std::snprintf(what, sizeof what, "%s_lfsr", prefix);
        const int form = py::option_index(what, lfsr, {"galois", "fibonacci"});
        if (form < 0) return false;
        s = wfm_seq_t{};
        s.kind = k;
        s.len = k == WFM_SEQ_LITERAL ? lit.size() : nbits;
        s.lit = k == WFM_SEQ_LITERAL ? lit.data<uint8_t>() : nullptr;
        s.poly = poly;
        s.seed = seed;
        s.reg_bits = reg_bits;
        s.lfsr = static_cast<uint32_t>(form);
        s.taps_a = taps_a;
        s.seed_a = seed_a;
        s.taps_b = taps_b;
        s.seed_b = seed_b;
        return true;
    }
};

template <frame *(*Create)(const wfm_frame_t *)> int init(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {
        "preamble", "sync", "payload",
        "preamble_kind", "preamble_nbits", "preamble_poly", "preamble_seed", "preamble_reg_bits", "preamble_lfsr",
        "preamble_taps_a", "preamble_seed_a", "preamble_taps_b", "preamble_seed_b",
        "sync_kind", "sync_nbits", "sync_poly", "sync_seed", "sync_reg_bits", "sync_lfsr",
        "sync_taps_a", "sync_seed_a", "sync_taps_b", "sync_seed_b",
        "payload_kind", "payload_nbits", "payload_poly", "payload_seed", "payload_reg_bits", "payload_lfsr",
        "payload_taps_a", "payload_seed_a", "payload_taps_b", "payload_seed_b",
        "preamble_reps", "crc", nullptr};
    FieldArgs f[3];
    uint64_t reps = 0;
    const char *crc = "none";
    constexpr auto U64 = py::to_u64;
    constexpr auto U32 = py::to_u32;
#define FIELD_ARGS(a)                                                                                              \
    &a.kind, U64, &a.nbits, U64, &a.poly, U64, &a.seed, U32, &a.reg_bits, &a.lfsr, U64, &a.taps_a, U64, &a.seed_a, \
        U64, &a.taps_b, U64, &a.seed_b
    if (!PyArg_ParseTupleAndKeywords(args, kw,
                                     "O&O&O&|$sO&O&O&O&sO&O&O&O&sO&O&O&O&sO&O&O&O&sO&O&O&O&sO&O&O&O&O&s",
                                     const_cast<char **>(kwlist), py::convert_input<NPY_UINT8>, &f[0].lit,
                                     py::convert_input<NPY_UINT8>, &f[1].lit, py::convert_input<NPY_UINT8>,
                                     &f[2].lit, FIELD_ARGS(f[0]), FIELD_ARGS(f[1]), FIELD_ARGS(f[2]), U64, &reps,
                                     &crc))
        return -1;
#undef FIELD_ARGS
    wfm_frame_t frame4{};
    if (!f[0].to_seq("preamble", frame4.preamble) || !f[1].to_seq("sync", frame4.sync) ||
        !f[2].to_seq("payload", frame4.payload))
        return -1;
    const int c = py::option_index("crc", crc, {"none", "crc16"});
    if (c < 0) return -1;
    frame4.preamble_reps = reps;
    frame4.crc = c;
    frame *h = Create(&frame4);  // copies the literal bits it keeps
    if (h == nullptr) {
        PyErr_SetString(PyExc_ValueError, kGeometryMsg);
        return -1;
    }
    return py::install<FrameObj>(self, h);
}

// Methods --------------------------------------------------------------------------

inline PyObject *bits_max_out(PyObject *self, PyObject *args) {
    uint64_t n;
    py::Call<FrameObj> c(self);
    auto *h = c.positional(args, "O&:bits_max_out", py::to_u64, &n);
    if (h == nullptr) return nullptr;
    unsigned __int128 r = static_cast<unsigned __int128>(n) * frame_nbits(h);
    if (r > UINT64_MAX) {
        PyErr_SetString(PyExc_OverflowError, "bits_max_out: n * nbits does not fit 64 bits");
        return nullptr;
    }
    return u64(static_cast<uint64_t>(r));
}

// bits(count=1, out=None): room for count whole frames, under the per-call ceiling.
struct BitsRule {
    static size_t need(frame *h, size_t n) {
        const uint64_t m = frame_bits_max_out(h, n);
        return py::count_ok(m, "bits: count * nbits =") ? static_cast<size_t>(m) : py::kRefused;
    }
};

inline PyObject *layout(PyObject *self, PyObject *) {
    py::Call<FrameObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    wfm_frame_fields_t L;
    frame_layout(h, &L);
    return new_record(&layout_desc, layout_type,
                      {u64(L.preamble_off), u64(L.preamble_bits), u64(L.sync_off), u64(L.sync_bits),
                       u64(L.payload_off), u64(L.payload_bits), u64(L.crc_off), u64(L.crc_bits),
                       u64(L.total_bits)});
}

inline PyObject *crc_ok(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"rx_bits", nullptr};
    py::Input rx;
    py::Call<FrameObj> c(self);
    auto *h = c.args(args, kw, "O&:crc_ok", kwlist, py::convert_input<NPY_UINT8>, &rx);
    if (h == nullptr) return nullptr;
    const uint8_t *x = rx.data<uint8_t>();
    const size_t n = rx.size();
    return PyLong_FromLong(c.run(n, [&] { return frame_crc_ok(h, x, n); }));
}

inline PyObject *check(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"rx_bits", nullptr};
    py::Input rx;
    py::Call<FrameObj> c(self);
    auto *h = c.args(args, kw, "O&:check", kwlist, py::convert_input<NPY_UINT8>, &rx);
    if (h == nullptr) return nullptr;
    const uint8_t *x = rx.data<uint8_t>();
    const size_t n = rx.size();
    wfm_frame_check_t r;
    c.run(n, [&] { frame_check(h, x, n, &r); });
    return new_record(&check_desc, check_type,
                      {PyLong_FromLongLong(r.passed), u64(r.stages), u64(r.checked), u64(r.units), u64(r.ok),
                       u64(r.corrected), u64(r.symbols)});
}

// An integer argument of add_field / add_stage. Those report a value outside
// the core's range as -1, like any other refusal, rather than raising.
struct Arg {
    uint64_t v = 0, max;
    bool bad = false;
    explicit Arg(uint64_t m, uint64_t dflt = 0) : v(dflt), max(m) {}
};
inline int to_arg(PyObject *obj, void *p) {
    auto *a = static_cast<Arg *>(p);
    PyObject *idx = PyNumber_Index(obj);
    if (idx == nullptr) return 0;
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return 0;
        PyErr_Clear();  // negative, or past 64 bits
        a->bad = true;
        return 1;
    }
    a->bad = a->bad || v > a->max;
    a->v = v;
    return 1;
}

inline PyObject *add_field(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"lit",    "kind",   "gen_len", "reps",   "poly",   "seed",       "reg_bits",
                                   "lfsr",   "taps_a", "seed_a",  "taps_b", "seed_b", "derived_by", "derived_bits",
                                   nullptr};
    py::Input lit;
    Arg kind(INT32_MAX), gen_len(UINT64_MAX), reps(UINT64_MAX), poly(UINT64_MAX), seed(UINT64_MAX),
        reg_bits(UINT32_MAX), lfsr(UINT32_MAX), taps_a(UINT64_MAX), seed_a(UINT64_MAX), taps_b(UINT64_MAX),
        seed_b(UINT64_MAX), derived_by(INT32_MAX), derived_bits(UINT64_MAX);
    py::Call<FrameObj> c(self);
    auto *h = c.args(args, kw, "O&|O&O&O&O&O&O&O&O&O&O&O&O&O&:add_field", kwlist, py::convert_input<NPY_UINT8>, &lit,
                     to_arg, &kind, to_arg, &gen_len, to_arg, &reps, to_arg, &poly, to_arg, &seed, to_arg, &reg_bits,
                     to_arg, &lfsr, to_arg, &taps_a, to_arg, &seed_a, to_arg, &taps_b, to_arg, &seed_b, to_arg,
                     &derived_by, to_arg, &derived_bits);
    if (h == nullptr) return nullptr;
    for (const Arg *a : {&kind, &gen_len, &reps, &poly, &seed, &reg_bits, &lfsr, &taps_a, &seed_a, &taps_b, &seed_b,
                         &derived_by, &derived_bits})
        if (a->bad) return PyLong_FromLong(-1);
    return PyLong_FromLong(frame_add_field(
        h, lit.data<uint8_t>(), lit.size(), static_cast<int32_t>(kind.v), gen_len.v, reps.v, poly.v, seed.v,
        static_cast<uint32_t>(reg_bits.v), static_cast<uint32_t>(lfsr.v), taps_a.v, seed_a.v, taps_b.v, seed_b.v,
        static_cast<int32_t>(derived_by.v), derived_bits.v));
}

inline PyObject *add_stage(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"kind", "first_field", "n_fields", "depth", "emit_num", "emit_den", "unit_bits",
                                   nullptr};
    Arg a[7] = {Arg(UINT32_MAX), Arg(UINT32_MAX), Arg(UINT32_MAX), Arg(UINT32_MAX),
                Arg(UINT32_MAX), Arg(UINT32_MAX), Arg(UINT32_MAX)};
    py::Call<FrameObj> c(self);
    auto *h = c.args(args, kw, "|O&O&O&O&O&O&O&:add_stage", kwlist, to_arg, &a[0], to_arg, &a[1], to_arg, &a[2],
                     to_arg, &a[3], to_arg, &a[4], to_arg, &a[5], to_arg, &a[6]);
    if (h == nullptr) return nullptr;
    uint32_t v[7];
    for (int i = 0; i < 7; ++i) {
        if (a[i].bad) return PyLong_FromLong(-1);
        v[i] = static_cast<uint32_t>(a[i].v);
    }
    return PyLong_FromLong(frame_add_stage(h, v[0], v[1], v[2], v[3], v[4], v[5], v[6]));
}

inline PyObject *build(PyObject *self, PyObject *) {
    py::Call<FrameObj> c(self);
    auto *h = c.pin();
    if (h == nullptr) return nullptr;
    const int rc = c.run(static_cast<size_t>(frame_nbits(h)), [&] { return frame_build(h); });
    return rc != 0 ? py::raise_status(PyExc_ValueError, "build failed", rc) : py::none();
}

inline constexpr char kArgRx[] = "rx_bits";

inline PyObject *deframe_max_out(PyObject *self, PyObject *args) {
    uint64_t n;
    py::Call<FrameObj> c(self);
    auto *h = c.positional(args, "O&:deframe_max_out", py::to_u64, &n);
    return h == nullptr ? nullptr : u64(frame_deframe_max_out(h));
}

// field_off(i) and its kind: 0 for an index out of range, negative ones included.
template <uint64_t (*Fn)(const frame *, uint64_t)> PyObject *by_index(PyObject *self, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"i", nullptr};
    PyObject *i_obj;
    py::Call<FrameObj> c(self);
    long long i = 0;
    int overflow = 0;
    auto *h = c.convert([&] {
        if (!PyArg_ParseTupleAndKeywords(args, kw, "O", const_cast<char **>(kwlist), &i_obj)) return false;
        i = PyLong_AsLongLongAndOverflow(i_obj, &overflow);
        return !(i == -1 && PyErr_Occurred());
    });
    if (h == nullptr) return nullptr;
    return u64(overflow != 0 || i < 0 ? 0 : Fn(h, static_cast<uint64_t>(i)));
}

#define FRAME_PY_KEYWORDS_DOC                                                                                  \
    "(preamble, sync, payload, *, preamble_kind=\"literal\", preamble_nbits=0, preamble_poly=0,\n"              \
    "      preamble_seed=0, preamble_reg_bits=0, preamble_lfsr=\"galois\", preamble_taps_a=0, preamble_seed_a=0,\n" \
    "      preamble_taps_b=0, preamble_seed_b=0, sync_*..., payload_*..., preamble_reps=0, crc=\"none\")\n--\n\n"  \
    "Frame of preamble (repeated preamble_reps times; 0 = none), sync word, payload and, with\n"                  \
    "crc=\"crc16\", a CRC-16 of the payload. A literal field is its uint8 array (bit 0 of each\n"                \
    "element); a generated one (\"pn\", \"gold\", \"dotted\") makes *_nbits bits from its register\n"           \
    "keywords (pass an empty array).\n"

PyMethodDef methods[] = {
    py::method_kw("bits", py::generate<FrameObj, NPY_UINT8, frame_bits, BitsRule>,
                  "bits(count=1, out=None)\n--\n\ncount copies of the frame's wire bits (uint8); empty before build."),
    py::method_varargs("bits_max_out", bits_max_out, "bits_max_out(n, /)\n--\n\nn * nbits."),
    py::method_noargs("layout", layout, "layout()\n--\n\nThe FrameLayout of the four named fields."),
    py::method_kw("crc_ok", crc_ok,
                  "crc_ok(rx_bits)\n--\n\n1 when the CRC of rx_bits matches, 0 when not, -1 without a CRC or\n"
                  "when rx_bits is shorter than one frame."),
    py::method_kw("add_field", add_field,
                  "add_field(lit, kind=0, gen_len=0, reps=0, poly=0, seed=0, reg_bits=0, lfsr=0, taps_a=0,\n"
                  "          seed_a=0, taps_b=0, seed_b=0, derived_by=0, derived_bits=0)\n--\n\n"
                  "Append a field (kind 0 literal, 1 pn, 2 gold, 3 dotted; derived_by = producing stage + 1).\n"
                  "Returns its index, or -1 when refused (after build, a ninth field, a value out of range)."),
    py::method_kw("add_stage", add_stage,
                  "add_stage(kind=0, first_field=0, n_fields=0, depth=0, emit_num=0, emit_den=0, unit_bits=0)\n"
                  "--\n\nAppend a stage over n_fields fields from first_field (kind 0 crc16, 1 rs, 2 randomise,\n"
                  "3 conv, 4 interleave). Returns its index, or -1 when refused (after build, a seventh stage)."),
    py::method_noargs("build", build,
                      "build()\n--\n\nAssemble the frame with the CCSDS stage kernels; ValueError when it fails."),
    py::method_kw("deframe", py::execute<FrameObj, NPY_UINT8, NPY_UINT8, frame_deframe,
                                         py::ByMaxOut<frame_deframe_max_out>, kArgRx>,
                  "deframe(rx_bits, out=None)\n--\n\nThe first frame of rx_bits with every stage undone and repairs\n"
                  "applied (uint8); empty when rx_bits is shorter than a frame. Sets the rx_* read-backs."),
    py::method_varargs("deframe_max_out", deframe_max_out,
                       "deframe_max_out(rx_bits_len, /)\n--\n\nThe frame's own length in bits."),
    py::method_kw("check", check, "check(rx_bits)\n--\n\nFrameCheck of the first frame of rx_bits."),
    py::m_value<FrameObj, frame_n_fields, py::U64>("n_fields", "n_fields()\n--\n\nNumber of fields."),
    py::m_value<FrameObj, frame_n_stages, py::U64>("n_stages", "n_stages()\n--\n\nNumber of stages."),
    py::method_kw("field_off", by_index<frame_field_off>, "field_off(i)\n--\n\nOffset of field i [bits]."),
    py::method_kw("field_bits", by_index<frame_field_bits>, "field_bits(i)\n--\n\nLength of field i [bits]."),
    py::method_kw("stage_first", by_index<frame_stage_first>,
                  "stage_first(i)\n--\n\nFirst bit covered by stage i."),
    py::method_kw("stage_bits", by_index<frame_stage_bits>, "stage_bits(i)\n--\n\nBits covered by stage i."),
    py::m_destroy<FrameObj>(),
    py::m_enter<FrameObj>(),
    py::m_exit<FrameObj>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    py::prop<FrameObj, frame_nbits, py::U64>("nbits", "Wire length of one frame [bits]."),
    py::prop<FrameObj, frame_rx_ok, py::U64>("rx_ok", "Units that passed in the last deframe."),
    py::prop<FrameObj, frame_rx_units, py::U64>("rx_units", "Units checked in the last deframe."),
    py::prop<FrameObj, frame_rx_checked, py::U64>("rx_checked", "Stages undone in the last deframe."),
    py::prop<FrameObj, frame_rx_symbols, py::U64>("rx_symbols", "Symbols repaired in the last deframe."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject FrameType = py::make_type<FrameObj>(
    "wfm.Frame", "Frame" FRAME_PY_KEYWORDS_DOC "Built at construction, with the CRC as its only stage.", methods,
    getset, init<frame_create>);
inline PyTypeObject FrameDescType = py::make_type<FrameObj>(
    "wfm.FrameDesc",
    "FrameDesc" FRAME_PY_KEYWORDS_DOC
    "A description: add_field / add_stage, then build() (with the CCSDS stage kernels).",
    methods, getset, init<frame_create_desc>);
#undef FRAME_PY_KEYWORDS_DOC

// dsss_spread(syms, code, sf) -------------------------------------------------------

inline PyObject *dsss_spread(PyObject *, PyObject *args, PyObject *kw) {
    static const char *kwlist[] = {"syms", "code", "sf", nullptr};
    py::Input syms, code;
    int sf;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O&O&i:dsss_spread", const_cast<char **>(kwlist),
                                     py::convert_input<NPY_COMPLEX64>, &syms, py::convert_input<NPY_UINT8>, &code,
                                     &sf))
        return nullptr;
    const size_t n = syms.size(), f = sf > 0 ? static_cast<size_t>(sf) : 0;
    size_t total;
    if (__builtin_mul_overflow(n, f, &total)) total = SIZE_MAX;
    if (!py::count_ok(total, "dsss_spread: len(syms) * sf =")) return nullptr;
    PyObject *out = py::new_array(NPY_COMPLEX64, total);
    if (out == nullptr) return nullptr;
    const float *s = syms.data<float>();
    const uint8_t *cd = code.data<uint8_t>();
    const size_t clen = code.size();
    float *o = py::array_data<float>(out);
    if (total < py::kUnlockElements) {
        ::dsss_spread(s, n, cd, clen, sf, o);
    } else {
        Py_BEGIN_ALLOW_THREADS
        ::dsss_spread(s, n, cd, clen, sf, o);
        Py_END_ALLOW_THREADS
    }
    return out;
}

}  // namespace frame_py
