/*
 * The device's audio codec library.  Handles are opaque pointers; null
 * means failure.
 */
#ifndef YVK_AUDIO_CODEC_H
#define YVK_AUDIO_CODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Format record (four words): channels, sample rate, bits per sample, and
 * the samples per channel of one codec frame. */
typedef struct YVK_AudioFormat {
    int32_t channels;
    int32_t sampleRate;
    int32_t bitsPerSample;
    int32_t frameSamples;
} YVK_AudioFormat;

/* Coded data: buffer and its size (input) or capacity (output), in bytes. */
typedef struct YVK_AudioCoded {
    uint8_t *data;
    int32_t size;
} YVK_AudioCoded;

/* PCM data: interleaved 16-bit samples, a reserved word (0), and the byte
 * count (input) or capacity (output). */
typedef struct YVK_AudioPcm {
    uint8_t *data;
    int32_t reserved;
    int32_t size;
} YVK_AudioPcm;

/* ---- MP3 decoder ------------------------------------------------------- */

/* A decoder; it learns the format from the stream, so both arguments may be
 * null (and are not used). */
void *YVK_MP3_DecNew(const YVK_AudioFormat *format, const void *settings);
/* Takes all of the input (any chunking of an MP3 stream) and writes decoded
 * interleaved 16-bit PCM at the stream's own rate and channel count to the
 * output, never past its capacity; samples that do not fit are kept and come
 * first at the next call.  Returns the number of 16-bit samples written (all
 * channels), 0 when it needs more input, negative on error.  formatOut, when
 * not null, receives the stream's format once known. */
int YVK_MP3_Decode(void *decoder, const YVK_AudioCoded *input, const YVK_AudioPcm *output,
                   YVK_AudioFormat *formatOut);
void YVK_MP3_DecFree(void *decoder);

#ifdef __cplusplus
}
#endif

#endif /* YVK_AUDIO_CODEC_H */
