// The one ceiling on counts that size what a single Python call produces or what
// one object holds: samples of _SynthEngine.steps, chips of PN/Gold generate,
// records of a Telemetry ring. Above it a call is refused with ValueError before
// anything is allocated; larger amounts are produced in blocks, as the blocks
// are meant to be used. 2^28 elements is 2 GiB of complex64 samples.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace sx::py {

inline constexpr uint64_t kMaxCount = uint64_t{1} << 28;

// True when `n` is within the ceiling; otherwise ValueError naming `what`.
inline bool count_ok(uint64_t n, const char *what) {
    if (n <= kMaxCount) return true;
    PyErr_Format(PyExc_ValueError, "%s %llu is above the ceiling of %llu (2**28) per call; produce it in blocks",
                 what, static_cast<unsigned long long>(n), static_cast<unsigned long long>(kMaxCount));
    return false;
}

}  // namespace sx::py
