// Status codes, sample types and the export macro shared by every core.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define SX_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SX_OK = 0,
    SX_ERR_INIT = -1,
    SX_ERR_SEND = -2,
    SX_ERR_RECV = -3,
    SX_ERR_INVALID = -4,
    SX_ERR_TIMEOUT = -5,
    SX_ERR_NOMEM = -6,
    SX_ERR_TOO_BIG = -7,
    SX_ERR_INTERRUPTED = -8,
    SX_ERR_CLOSED = -9,
    SX_ERR_EOF = -10,
};

/* Two-letter BLUE format code read as a little-endian u16 (first letter low). */
typedef uint16_t sx_sample_type_t;
enum {
    SX_SAMPLE_CI8 = 0x4243,  /* "CB" */
    SX_SAMPLE_CI16 = 0x4943, /* "CI" */
    SX_SAMPLE_CI32 = 0x4C43, /* "CL" */
    SX_SAMPLE_CF32 = 0x4643, /* "CF" */
    SX_SAMPLE_CF64 = 0x4443, /* "CD" */
    SX_SAMPLE_I8 = 0x4253,   /* "SB" */
    SX_SAMPLE_I16 = 0x4953,  /* "SI" */
    SX_SAMPLE_I32 = 0x4C53,  /* "SL" */
    SX_SAMPLE_F32 = 0x4653,  /* "SF" */
    SX_SAMPLE_F64 = 0x4453,  /* "SD" */
};

/* Fixed English text for a status code; "Unknown error" outside the table. Never null. */
SX_API const char *sx_strerror(int code);
/* Bytes of one sample (both components of a complex one); 0 for an unknown code. */
SX_API size_t sx_sample_size(sx_sample_type_t t);
/* 1 for exactly the ten codes above, else 0. */
SX_API int sx_sample_type_is_valid(sx_sample_type_t t);
/* "CI8", "CI16", "CI32", "CF32", "CF64"; "UNKNOWN" for scalar and unknown codes. */
SX_API const char *sx_sample_type_str(sx_sample_type_t t);

#ifdef __cplusplus
}
#endif
