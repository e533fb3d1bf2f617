// The capture reader on a file of arbitrary bytes named like a BLUE capture:
// header control block, keyword area, extended header and payload all come
// from the input.
#include "fuzz_support.h"
#include "reader_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = fuzz::write_file("cap.blue", data, size);
    iqreader *r = iqreader_create(path.c_str(), 0, 0);
    if (r == nullptr) return 0;
    fuzz::check_reader(r, 61);
    iqreader_destroy(r);
    return 0;
}
