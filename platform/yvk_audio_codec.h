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

/* Format record (four words, 16 bytes): channels, sample rate, bits per
 * sample, and a word the codec fills in about its frames (see each codec). */
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

/* Encoder settings (84 bytes). */
typedef struct YVK_AudioEncSettings {
    int32_t encoderParam;       /* reserved, 0 */
    int32_t bitRate;            /* bits per second; 0 = 96000 */
    uint8_t adts;               /* non-zero: each frame carries an ADTS header
                                   (Transport Streams); 0: raw frames (RTP) */
    uint8_t reserved9[3];
    int32_t maxOutputSize;      /* filled by the encoder: largest frame in bytes */
    uint8_t reserved16[68];
} YVK_AudioEncSettings;

/* ---- AAC encoder ------------------------------------------------------- */

/* An AAC-LC encoder for interleaved PCM of the format: 1 or 2 channels,
 * 8-bit (unsigned), 16-bit or 24-bit (signed little-endian) samples, a rate
 * AAC knows.  It fills format->frameSamples with the PCM input of one frame
 * in 16-bit units (the byte count halved: 1024 per channel for 16-bit PCM)
 * and settings->maxOutputSize.  Null when the format is not supported. */
void *YVK_AAC_EncNew(YVK_AudioFormat *format, YVK_AudioEncSettings *settings);
/* Encodes one block of at most one frame's PCM (a shorter block is padded
 * with silence, a longer one refused with 0).  Returns the bytes written to
 * the output, never more than its capacity; 0 while the encoder's look-ahead
 * fills, or on failure. */
int YVK_AAC_Encode(void *encoder, const YVK_AudioPcm *input, const YVK_AudioCoded *output, int flags);
void YVK_AAC_EncFree(void *encoder);
/* Frees an MP3 encoder (null is accepted). */
void YVK_MP3_EncFree(void *encoder);

/* ---- MP3 decoder ------------------------------------------------------- */

/* A decoder; it learns the format from the stream, so both arguments may be
 * null (and are not used).  The format it reports carries the samples per
 * channel of one MP3 frame in frameSamples. */
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
