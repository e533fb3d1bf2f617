// Helpers shared by the fuzz harnesses: a failed property aborts with its text
// (libFuzzer then keeps the input as a crash), and inputs that a core only
// takes as a file are written to a private scratch directory.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const char *what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void require(bool ok, const char *what) {
    if (!ok) fail(what);
}

// One scratch directory per process, removed at exit with what it holds.
inline const std::string &scratch_dir() {
    static const std::string dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/kolvane-fuzz-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) fail("mkdtemp");
        static std::string keep = templ;
        std::atexit([] { std::system(("rm -rf '" + keep + "'").c_str()); });
        return templ;
    }();
    return dir;
}

// Writes bytes to <scratch>/<name> (replacing it) and returns the path.
inline std::string write_file(const char *name, const uint8_t *data, size_t size) {
    std::string path = scratch_dir() + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) fail("fopen scratch file");
    if (size && std::fwrite(data, 1, size, f) != size) fail("fwrite scratch file");
    if (std::fclose(f) != 0) fail("fclose scratch file");
    return path;
}

}  // namespace fuzz
