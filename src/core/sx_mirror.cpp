#include "core/sx_mirror.h"

#include <sys/mman.h>
#include <cstdint>
#include <unistd.h>

namespace sx {

size_t page_size() {
    const long p = sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<size_t>(p) : 4096;
}

void *mirror_map(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX / 2) return nullptr;
    const int fd = memfd_create("sx_shm", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        return nullptr;
    }
    // Reserve the whole window first so the second mapping cannot land on
    // anything else, then place the object over both halves.
    void *res = mmap(nullptr, 2 * bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (res == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    auto *b = static_cast<char *>(res);
    const int prot = PROT_READ | PROT_WRITE;
    if (mmap(b, bytes, prot, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED ||
        mmap(b + bytes, bytes, prot, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        munmap(res, 2 * bytes);
        close(fd);
        return nullptr;
    }
    close(fd);
    return b;
}

void mirror_unmap(void *base, size_t bytes) {
    if (base != nullptr) munmap(base, 2 * bytes);
}

}  // namespace sx
