#include "capture_files/sigmf_meta.h"

extern "C" {

char *wfm_sigmf_meta_json(int, int, const wfm_segment *, size_t, double, double, double) { return nullptr; }
void wfm_sigmf_meta_free(char *) {}
int wfm_sigmf_datatype(int, int, char *, size_t) { return -1; }
int wfm_sigmf_meta_path(const char *, char *, size_t) { return -1; }
int wfm_sigmf_meta_parse(const char *, size_t, wfm_sigmf_info *) { return -1; }
int wfm_sigmf_meta_read(const char *, wfm_sigmf_info *) { return -1; }

}  // extern "C"
