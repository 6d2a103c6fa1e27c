/*
 * The device's audio codec library: the AAC encoder that live HTTP streaming
 * feeds with PCM.
 */
#ifndef YVK_AUDIO_CODEC_H
#define YVK_AUDIO_CODEC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Input format given to an encoder (16 bytes). */
typedef struct YVKAudioFormat {
    int32_t channels;
    int32_t sampleRate;
    int32_t bitsPerSample;      /* 8 (unsigned), 16 or 24 (signed little-endian) */
    int32_t frameInputWords;    /* filled by the encoder: PCM per frame, in 16-bit words */
} YVKAudioFormat;

/* Encoder settings (84 bytes). */
typedef struct YVKAudioEncSettings {
    int32_t encoderParam;       /* reserved, 0 */
    int32_t bitRate;            /* bits per second; 0 = 96000 */
    uint8_t adts;               /* non-zero: each frame carries an ADTS header */
    uint8_t reserved9[3];
    int32_t maxOutputSize;      /* filled by the encoder: largest frame in bytes */
    uint8_t reserved16[68];
} YVKAudioEncSettings;

/* One block of interleaved PCM in (three words) and room for one frame out. */
typedef struct YVKAudioEncInput {
    const void *data;
    int32_t reserved;
    int32_t size;               /* bytes; at most one frame's input */
} YVKAudioEncInput;

typedef struct YVKAudioEncOutput {
    void *data;
    int32_t capacity;           /* bytes */
} YVKAudioEncOutput;

/* An AAC-LC encoder for the format, or null.  Fills format->frameInputWords
 * and settings->maxOutputSize. */
void *YVK_AAC_EncNew(YVKAudioFormat *format, YVKAudioEncSettings *settings);

/* Encodes one block (a short block is padded with silence, a longer one is
 * refused).  Returns the bytes written to output, 0 when the encoder had no
 * frame to give yet or on failure; never more than output->capacity. */
int YVK_AAC_Encode(void *encoder, const YVKAudioEncInput *input, YVKAudioEncOutput *output, int flags);

void YVK_AAC_EncFree(void *encoder);
/* Frees an MP3 encoder handle (null is accepted). */
void YVK_MP3_EncFree(void *encoder);

#ifdef __cplusplus
}
#endif

#endif /* YVK_AUDIO_CODEC_H */
