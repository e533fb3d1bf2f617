// The capture reader on text rows (and on whatever is not text): the first
// input byte picks the sample-type hint and whether the file is named ".csv",
// the rest is the file.
#include "fuzz_support.h"
#include "reader_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int hint = data[0] % 10;
    const char *name = (data[0] & 0x80) ? "cap.dat" : "cap.csv";
    const std::string path = fuzz::write_file(name, data + 1, size - 1);
    iqreader *r = iqreader_create(path.c_str(), hint, (data[0] >> 4) & 1);
    if (r == nullptr) return 0;
    fuzz::check_reader(r, 5);
    iqreader_destroy(r);
    return 0;
}
