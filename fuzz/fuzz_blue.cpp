// The capture reader on a file of arbitrary bytes named like a BLUE capture:
// header control block, keyword area, extended header and payload all come
// from the input. A detached payload file sits beside it, so a header that
// says "detached" is followed there.
#include "fuzz_support.h"
#include "reader_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool detached_payload = [] {
        uint8_t det[301];
        for (size_t i = 0; i < sizeof det; ++i) det[i] = static_cast<uint8_t>(i * 97 + 5);
        fuzz::write_file("cap.det", det, sizeof det);
        return true;
    }();
    (void)detached_payload;
    const std::string path = fuzz::write_file("cap.blue", data, size);
    iqreader *r = iqreader_create(path.c_str(), 0, 0);
    if (r == nullptr) return 0;
    fuzz::check_reader(r, 61);
    iqreader_destroy(r);
    return 0;
}
