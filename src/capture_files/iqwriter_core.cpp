#include "capture_files/iqwriter_core.h"

extern "C" {

iqwriter *iqwriter_create(const char *, int, int, int, uint64_t, int, double, double, double, double) { return nullptr; }
iqwriter *iqwriter_open(FILE *, int, int, int, uint64_t, double, double, double) { return nullptr; }
size_t iqwriter_write(iqwriter *, const float *, size_t) { return 0; }
int iqwriter_add_keyword(iqwriter *, const char *, char, const void *, size_t) { return -1; }
int iqwriter_flush(iqwriter *) { return -1; }
void iqwriter_set_gain(iqwriter *, float) {}
void iqwriter_track_clipping(iqwriter *, int) {}
double iqwriter_peak(const iqwriter *) { return 0; }
double iqwriter_get_peak_dbfs(const iqwriter *) { return 0; }
int iqwriter_get_clipped(const iqwriter *) { return 0; }
double iqwriter_clip_fraction(const iqwriter *) { return 0; }
double iqwriter_get_clip_fraction(const iqwriter *) { return 0; }
uint64_t iqwriter_samples_written(const iqwriter *) { return 0; }
uint64_t iqwriter_clip_count(const iqwriter *) { return 0; }
int iqwriter_close(iqwriter *) { return 0; }
int iqwriter_destroy(iqwriter *) { return 0; }
int write_sigmf_sidecar(iqwriter *) { return -1; }

}  // extern "C"
