/*
 * The device's demux and transcode services.  The demux service opens a media
 * file and hands out its video, audio and text samples; the transcode service
 * turns H.265 file video into H.264.  A handle is an opaque non-null pointer;
 * null means failure.  Every call accepts a null handle and then reports
 * nothing (counts 0, reads at their end).
 */
#ifndef YVK_DEMUX_H
#define YVK_DEMUX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Video codecs of DemuxVidInfo and TransOpenParam. */
#define YVK_DEMUX_CODEC_H264 264
#define YVK_DEMUX_CODEC_H265 265
/* Audio codecs of DemuxAudInfo: MP3 frames are passed through, everything
 * else is delivered as interleaved 16-bit little-endian PCM. */
#define YVK_DEMUX_AUDIO_PCM 0
#define YVK_DEMUX_AUDIO_MP3 1

/* The capacity a video or audio read assumes when its size word is preset to
 * 0 or less: the 3 MB buffer every caller offers. */
#define YVK_DEMUX_SAMPLE_CAPACITY 0x300000
/* Result of a video or audio read (and of TransGetStream) whose sample was
 * larger than the buffer: the sample was skipped (nothing written, *size 0)
 * and the next read goes on behind it.  Not the end of the file. */
#define YVK_DEMUX_SAMPLE_SKIPPED (-1)

/* The capacity a text read assumes when its size word is preset to 0 or less. */
#define YVK_DEMUX_TEXT_CAPACITY 128

typedef struct DemuxVidInfo {
    int32_t codec;       /* YVK_DEMUX_CODEC_H264 or YVK_DEMUX_CODEC_H265 */
    int32_t width;
    int32_t height;
    int32_t fps;         /* whole frames per second */
} DemuxVidInfo;

typedef struct DemuxAudInfo {
    int32_t codec;       /* YVK_DEMUX_AUDIO_MP3 or YVK_DEMUX_AUDIO_PCM */
    int32_t channels;
    int32_t sampleRate;
    int32_t bitsPerSample;  /* 16 */
} DemuxAudInfo;

/* ---- Demux service ---------------------------------------------------- */

/* Opens a media file (any container the service reads).  Null on failure. */
void *YVK_StreamerDemuxOpen(const char *fileName);
void YVK_StreamerDemuxClose(void *handle);

/* Track counts.  Only H.264 and H.265 video tracks count; text tracks are the
 * subtitle tracks that carry text. */
int YVK_StreamerDemuxGetVidTracks(void *handle);
int YVK_StreamerDemuxGetAudTracks(void *handle);
int YVK_StreamerDemuxGetTxtTracks(void *handle);

/* Fill the record; 1 on success, 0 (record zeroed) for a missing track. */
int YVK_StreamerDemuxGetVidInfo(void *handle, int videoTrack, DemuxVidInfo *info);
int YVK_StreamerDemuxGetAudInfo(void *handle, DemuxAudInfo *info);

/* Video bit rate of the first video track in bits per second (0 unknown). */
int YVK_StreamerDemuxGetVidBitrate(void *handle);
/* Whole frames per second of a video track (0 unknown or no such track). */
int YVK_StreamerDemuxGetVidFps(void *handle, int videoTrack);
/* How many times per second a text reader should poll ReadText. */
int YVK_StreamerDemuxGetTxtFps(void *handle);
/* Durations in milliseconds of the first video and the first audio track. */
int YVK_StreamerDemuxGetVidDur(void *handle);
int YVK_StreamerDemuxGetAudDur(void *handle);

/* Reads the next access unit of a video track into buffer: Annex-B with
 * four-byte start codes, the parameter sets in front of every key frame.
 * *size is preset to the buffer's capacity (0 or less: the standard
 * capacity) and receives the unit's size.  keyFrame and timestampMs may be
 * null.  1 while a unit was read; 0 at the end or on failure, with *size 0.
 * A unit larger than the capacity is skipped with a trace (nothing is
 * written, *size 0) and the read returns YVK_DEMUX_SAMPLE_SKIPPED. */
int YVK_StreamerDemuxReadVideo(void *handle, int videoTrack, unsigned char *buffer, int *size,
                               int *keyFrame, uint64_t *timestampMs);
/* Reads the next block of the first audio track (one MP3 frame, or PCM).
 * *size as for video; returns the size, 0 at the end or on failure.  PCM that
 * does not fit is kept for the next read; an MP3 frame that does not fit is
 * skipped (YVK_DEMUX_SAMPLE_SKIPPED, *size 0). */
int YVK_StreamerDemuxReadAudio(void *handle, unsigned char *buffer, int *size);
/* Reads the next subtitle of the first text track as plain text, cut to the
 * capacity less one and terminated by a zero byte.  *size is preset to the
 * capacity (0 or less: 128).  Returns the text's size, 0 at the end. */
int YVK_StreamerDemuxReadText(void *handle, char *buffer, int *size, uint64_t *timestampMs);

/* Moves every track's next read to the key frame at or before positionMs
 * (audio and text: the sample at or before it).  1 on success, 0 on failure. */
int YVK_StreamerDemuxSeek(void *handle, int32_t positionMs);

/* Frames a player should skip at the start of a play-list entry: the file's
 * "prebuffer_frames" metadata tag, 0 when it has none. */
int YVK_StreamerDemuxGetPreBufNum(void *handle, int videoTrack);
/* Moves the next read of a video track to the 0-based frame index (in file
 * order, not necessarily a key frame).  The position holds against seeks
 * until that read, so a play list can skip a pre-buffer by frames for video
 * and by time (a following Seek) for the other tracks.  1 on success, 0 when
 * the file has fewer frames or on failure. */
int YVK_StreamerDemuxSetVidPos(void *handle, int videoTrack, int frameIndex);

/* ---- Transcode service (one per process) ------------------------------ */

typedef struct TransOpenParam {
    const char *fileName;
    int32_t videoTrack;  /* 0-based usable video track */
    int32_t codec;       /* output codec: YVK_DEMUX_CODEC_H264 */
    int32_t width;       /* output size */
    int32_t height;
} TransOpenParam;

/* Opens the file's video track for transcoding.  Null on failure. */
void *YVK_StreamerTransOpen(const TransOpenParam *param);
/* Copies the output's parameter sets (SPS, PPS), each behind a four-byte
 * start code.  Returns the byte count, 0 when they do not fit or on failure. */
int YVK_StreamerTransGetNALData(void *handle, unsigned char *buffer, int capacity);
/* Starts the worker thread.  1 on success (also when already running). */
int YVK_StreamerTransRun(void *handle);
/* Takes the next H.264 access unit (Annex-B, parameter sets in front of key
 * frames), waiting for the worker when needed.  Returns its size; 0 at the
 * end or on failure; YVK_DEMUX_SAMPLE_SKIPPED when it does not fit (the unit
 * is dropped and the next call goes on behind it). */
int YVK_StreamerTransGetStream(void *handle, unsigned char *buffer, int capacity, int *keyFrame,
                               uint64_t *timestampMs);
/* Repositions the input; the next unit is a key frame at the position. */
int YVK_StreamerTransSeek(void *handle, int64_t positionMs);
/* Stops and joins the worker and releases everything. */
void YVK_StreamerTransClose(void *handle);

#ifdef __cplusplus
}
#endif

#endif /* YVK_DEMUX_H */
