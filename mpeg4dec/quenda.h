/* Quenda: MPEG-4 Part 2 (I and P pictures) decoder library, C interface.
 * One loaded copy of the library is one decoder; every export drives that
 * single static instance. Arguments and results are 32-bit values or
 * pointers. */
#ifndef QUENDA_H
#define QUENDA_H

#include <stdint.h>

#if defined(QUENDA_BUILDING)
#define QUENDA_EXPORT __attribute__((visibility("default")))
#else
#define QUENDA_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Initialise for 320 x 240, 32-bit output, no post-processing; empties the
 * bit reader window. 0 on success, non-zero when the stores cannot be made. */
QUENDA_EXPORT int32_t Decoder_Init(void);
QUENDA_EXPORT int32_t Decoder_Init_old(void* output);
/* mode: (post-processing mask << 16) + output bits per pixel (0, 16, 24, 32).
 * Returns the bytes consumed from buffer. */
QUENDA_EXPORT int32_t DecoderFrame(const uint8_t* buffer, int32_t mode, void* output);
QUENDA_EXPORT int32_t DecoderFrame_old(const uint8_t* buffer);
QUENDA_EXPORT int32_t DecoderFrame2(const uint8_t* buffer, int32_t mode, void* output, uint8_t* referenceStore,
                                    uint8_t* currentStore);
/* Decodes into the caller's current store without colour output; writes the
 * picture's vop_coding_type (0 I, 1 P, 2 B, 3 S) through codingType. */
QUENDA_EXPORT int32_t DecoderOnly(const uint8_t* buffer, uint8_t* referenceStore, uint8_t* currentStore,
                                  int32_t* codingType);
QUENDA_EXPORT int32_t YUV2RGB(void* output, int32_t mode, uint8_t* store);
QUENDA_EXPORT int32_t ReDisplay(void* output, int32_t format);
QUENDA_EXPORT void DecoderClose(void);
/* Bounds the next decode call's input to n bytes: past them the reader sees
 * 1 bits and never touches memory. */
QUENDA_EXPORT void DecoderSetInputSize(uint32_t n);

#ifdef __cplusplus
}
#endif

#endif
