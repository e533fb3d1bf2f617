#include "core/sx_status.h"

namespace {

struct SampleInfo {
    sx_sample_type_t code;
    size_t bytes;
    const char *text;
};

constexpr SampleInfo kSampleTypes[] = {
    {SX_SAMPLE_CI8, 2, "CI8"},     {SX_SAMPLE_CI16, 4, "CI16"},   {SX_SAMPLE_CI32, 8, "CI32"},
    {SX_SAMPLE_CF32, 8, "CF32"},   {SX_SAMPLE_CF64, 16, "CF64"},  {SX_SAMPLE_I8, 1, "UNKNOWN"},
    {SX_SAMPLE_I16, 2, "UNKNOWN"}, {SX_SAMPLE_I32, 4, "UNKNOWN"}, {SX_SAMPLE_F32, 4, "UNKNOWN"},
    {SX_SAMPLE_F64, 8, "UNKNOWN"},
};

const SampleInfo *find_sample(sx_sample_type_t t) {
    for (const auto &s : kSampleTypes)
        if (s.code == t) return &s;
    return nullptr;
}

}  // namespace

extern "C" {

const char *sx_strerror(int code) {
    static constexpr const char *texts[] = {
        "Success",
        "Initialization error",
        "Send error",
        "Receive error",
        "Invalid argument",
        "Timeout",
        "Memory allocation error",
        "Frame exceeds transport max_payload",
        "Interrupted by sx_stream_interrupt",
        "Context is draining or closed",
        "End of stream: the sender has finished",
    };
    if (code > 0 || code < -10) return "Unknown error";
    return texts[-code];
}

size_t sx_sample_size(sx_sample_type_t t) {
    const SampleInfo *s = find_sample(t);
    return s ? s->bytes : 0;
}

int sx_sample_type_is_valid(sx_sample_type_t t) { return find_sample(t) != nullptr; }

const char *sx_sample_type_str(sx_sample_type_t t) {
    const SampleInfo *s = find_sample(t);
    return s ? s->text : "UNKNOWN";
}

}  // extern "C"
