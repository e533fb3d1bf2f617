// Mirrored buffers: one shared-memory object mapped twice at consecutive
// addresses, so a run that starts anywhere in the first copy and wraps past its
// end is still contiguous (the telemetry ring's records, the correlation
// detectors' sample rings). Internal C++ (not part of the C ABI).
#pragma once
#include <cstddef>

namespace sx {

// System page size; 4096 when it cannot be read.
size_t page_size();

// Maps `bytes` (a non-zero multiple of the page size) twice back to back and
// returns the start of the 2*bytes window, or null when the object or the
// mapping cannot be had.
void *mirror_map(size_t bytes);

// Releases a window returned by mirror_map(bytes); null is harmless.
void mirror_unmap(void *base, size_t bytes);

}  // namespace sx
