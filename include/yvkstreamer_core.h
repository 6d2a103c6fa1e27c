/*
 * libyvkstreamer_core: the streaming-server core of the device.
 *
 * A host application builds one streaming instance with YVK_StreamerCoreNew,
 * starts its event loop with YVK_StreamerCoreRun, may send commands with
 * YVK_StreamerCoreCtrl, ends the loop with YVK_StreamerCoreStop and tears the
 * instance down with YVK_StreamerCoreFree.
 *
 * The records below cross the boundary to the host byte for byte: on the
 * 32-bit device every offset and size is fixed (checked at compile time when
 * pointers are 4 bytes).  Valid C99 and C++.
 */
#ifndef YVKSTREAMER_CORE_H
#define YVKSTREAMER_CORE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define YVK_API __declspec(dllexport)
#else
#define YVK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Modes: the first argument of YVK_StreamerCoreNew.  0 is refused; any other
 * value gives an instance with a scheduler and nothing else. */
#define YVK_STREAMER_MODE_LIVE 1
#define YVK_STREAMER_MODE_FILE 2

/* Stream types (streamType of both configuration records).  0 is replaced by
 * 1 in the caller's record; every value other than 4 means RTSP. */
#define YVK_STREAM_TYPE_RTSP 1
#define YVK_STREAM_TYPE_HLS 4

/* YVK_StreamerCoreCtrl command: switch the video track of a file instance to
 * the 0-based index in value. */
#define YVK_STREAMER_CMD_VIDEO_TRACK 1

/* Capture time of a host record; only differences between records matter. */
typedef struct YVKStreamerTime {
    int32_t sec;
    int32_t usec;
} YVKStreamerTime;

/* One encoded video access unit (Annex-B, starting with 00 00 00 01) or one
 * block of little-endian interleaved PCM, owned by the host.  The library
 * reads data, size, keyFrame, resync and timestamp and never writes the
 * record; the reserved bytes are the host's.  96 bytes on the device. */
typedef struct YVKStreamerStream {
    uint8_t hostReserved0[8];
    uint8_t *data;            /* payload */
    uint32_t size;            /* payload length in bytes; 0 = nothing */
    uint8_t hostReserved16[8];
    uint32_t keyFrame;        /* non-zero: the record begins an IDR frame */
    uint8_t resync;           /* non-zero: drop until the next key frame */
    uint8_t hostReserved29[19];
    YVKStreamerTime timestamp; /* capture time */
    uint8_t hostReserved56[40];
} YVKStreamerStream;

/* The host's queue callbacks for one medium.  Any function may be null; a
 * source then skips the call (the encoding audio source needs isActive).
 * Every popped record with a non-zero size is released exactly once; the
 * third argument of releaseStream is 1 for video and meaningless for audio.
 * Video callbacks come from the library's reader thread and its event-loop
 * thread; audio callbacks from the event-loop thread only. */
typedef struct YVKStreamerQIO {
    void *handle;                                   /* first argument below */
    int (*setStreaming)(void *handle, int on);      /* result ignored */
    int (*isActive)(void *handle);                  /* 0: host stopped */
    YVKStreamerStream *(*popStream)(void *handle, int timeoutMs);
    int (*releaseStream)(void *handle, YVKStreamerStream *stream, int flag);
    void (*dumpData)(const void *data, unsigned int size); /* debug hook */
    uint8_t dumpEnabled;     /* non-zero: call dumpData for every video unit */
    uint8_t reserved25[3];
} YVKStreamerQIO;

/* Live audio description (20 bytes on the device). */
typedef struct YVKStreamerAudio {
    uint8_t enable;           /* non-zero: serve audio */
    uint8_t reserved1[3];
    const char *format;       /* e.g. "audio/L16" */
    int32_t samplingFrequency;
    int32_t bitsPerSample;    /* 4, 8, 16, 20 or 24 */
    int32_t numChannels;
} YVKStreamerAudio;

/* Live configuration (mode 1), 68 bytes on the device, copied whole. */
typedef struct YVKStreamerLiveCfg {
    uint32_t reserved0;
    uint16_t rtspPort;        /* forced to 8554 for stream type 4 */
    uint16_t reserved6;
    uint32_t reserved8;
    const char *sessionName;  /* stream name in URLs, at most 127 characters */
    const char *ifName;       /* network interface; first 15 characters used */
    int32_t streamType;       /* YVK_STREAM_TYPE_*; 0 becomes 1 (written back) */
    uint8_t videoEnable;      /* non-zero: serve video */
    uint8_t reserved25[3];
    const char *videoFormat;  /* "video/H264" or "video/H265" */
    int32_t videoFrameRate;   /* frames per second; sizes the video queue */
    int32_t videoWidth;
    int32_t videoHeight;
    uint32_t maxFrameSize;    /* largest frame in bytes */
    YVKStreamerAudio audio;
} YVKStreamerLiveCfg;

/* Play list: the name of the file at a 0-based index, null past the last. */
typedef const char *(*YVKStreamerGetFileName)(int index);
/* Subtitle text: timestamp in milliseconds, text and its size. */
typedef void (*YVKStreamerTextCallback)(uint64_t timestampMs, char *text, int size);

/* File configuration (mode 2), 76 bytes on the device, copied whole. */
typedef struct YVKStreamerFileCfg {
    uint32_t reserved0;
    uint16_t rtspPort;
    uint16_t reserved6;
    uint32_t reserved8;
    const char *sessionName;  /* at most 127 characters */
    const char *ifName;       /* first 15 characters used */
    int32_t streamType;       /* as in YVKStreamerLiveCfg */
    const char *fileName;     /* media file to serve */
    YVKStreamerGetFileName getFileName; /* null: single file, no play list */
    int32_t videoTrack;       /* 1-based video track to serve */
    uint32_t maxFrameSize;
    uint8_t parserOption;     /* option byte for the file parsers */
    uint8_t reserved41[3];
    uint32_t reserved44[4];
    int32_t skipPreBuffer;    /* non-zero: later files skip their pre-buffer */
    int32_t videoMaster;      /* non-zero: video durations, audio gaps filled */
    int32_t textEnable;       /* non-zero: subtitle text to textCallback */
    YVKStreamerTextCallback textCallback;
} YVKStreamerFileCfg;

/* YVK_StreamerCoreCtrl command record (8 bytes). */
typedef struct YVKStreamerCtrlCmd {
    int32_t command;          /* YVK_STREAMER_CMD_* */
    int32_t value;
} YVKStreamerCtrlCmd;

/* The instance, opaque to the host. */
typedef struct YVKStreamerCore YVKStreamerCore;

/* Builds an instance.  cfg points at a YVKStreamerLiveCfg (mode 1) or a
 * YVKStreamerFileCfg (mode 2); its streamType may be rewritten (0 -> 1).  The
 * two queue records are copied (live mode only).  Null on failure. */
YVK_API YVKStreamerCore *YVK_StreamerCoreNew(int mode, void *cfg,
                                             const YVKStreamerQIO *videoIO,
                                             const YVKStreamerQIO *audioIO);
/* Starts the event loop on a thread of its own.  With stream type 4 it then
 * waits up to about 10 s for the first HTTP segments.  1 on success. */
YVK_API int YVK_StreamerCoreRun(YVKStreamerCore *core);
/* Sends a command; 1 when done or ignored. */
YVK_API int YVK_StreamerCoreCtrl(YVKStreamerCore *core, const YVKStreamerCtrlCmd *cmd);
/* Ends the event loop and joins its thread.  Always 1. */
YVK_API int YVK_StreamerCoreStop(YVKStreamerCore *core);
/* Stops if needed and releases everything. */
YVK_API void YVK_StreamerCoreFree(YVKStreamerCore *core);

/* Non-zero (the default, as on the device): every successful New routes the
 * multicast range through the configured interface and raises its transmit
 * queue length with the shell.  0: the commands are only traced, for hosts
 * that must not touch the machine's network set-up. */
extern YVK_API int NET_SETUP_COMMANDS;

/* Texts of the HTTP replies; the host may point them at other strings before
 * requests arrive (never at null).  VERSION is the body of /getVersion
 * ("1.0"); HLS_VERSION and HLS_CACHE go into the HLS playlist's
 * EXT-X-VERSION ("3.0") and EXT-X-ALLOW-CACHE ("NO") tags. */
extern YVK_API const char *VERSION;
extern YVK_API const char *HLS_VERSION;
extern YVK_API const char *HLS_CACHE;

/* The folder static files are served from (web pages and scripts of the HTTP
 * port), read by each New.  Null (the default): the process's working
 * directory.  A folder that resolves to "/" (or does not exist) switches
 * static files off, with one trace line at New.  Only regular files inside
 * the folder, after symbolic links are resolved, are served; names that
 * begin with "." are refused. */
extern YVK_API const char *HTTP_DOC_ROOT;

/* 0 (the default): the MPEG-DASH manifest is the six-line form firmware
 * tools expect.  Non-zero: the manifest also carries what DASH players need
 * (Representation id and bandwidth, the actual codecs, an ISO-8601
 * minBufferTime, a fixed availabilityStartTime with a consistent
 * startNumber, mime type video/mp2t), so that Shaka Player, GStreamer and
 * FFmpeg follow the live stream. */
extern YVK_API int MPD_CONFORMANT;

#ifdef __cplusplus
}
#endif

/* The layout the device's host relies on, checked where pointers are 4 bytes
 * (C99 has no static assertion: a negative array size stops the build). */
#if UINTPTR_MAX == 0xffffffffu
#define YVK_LAYOUT_CHECK(name, cond) typedef char yvk_layout_##name[(cond) ? 1 : -1]
YVK_LAYOUT_CHECK(qio_size, sizeof(YVKStreamerQIO) == 28);
YVK_LAYOUT_CHECK(qio_dump_enabled, offsetof(YVKStreamerQIO, dumpEnabled) == 24);
YVK_LAYOUT_CHECK(stream_size, sizeof(YVKStreamerStream) == 96);
YVK_LAYOUT_CHECK(stream_data, offsetof(YVKStreamerStream, data) == 8);
YVK_LAYOUT_CHECK(stream_size_field, offsetof(YVKStreamerStream, size) == 12);
YVK_LAYOUT_CHECK(stream_key, offsetof(YVKStreamerStream, keyFrame) == 24);
YVK_LAYOUT_CHECK(stream_resync, offsetof(YVKStreamerStream, resync) == 28);
YVK_LAYOUT_CHECK(stream_timestamp, offsetof(YVKStreamerStream, timestamp) == 48);
YVK_LAYOUT_CHECK(audio_size, sizeof(YVKStreamerAudio) == 20);
YVK_LAYOUT_CHECK(live_size, sizeof(YVKStreamerLiveCfg) == 68);
YVK_LAYOUT_CHECK(live_if, offsetof(YVKStreamerLiveCfg, ifName) == 16);
YVK_LAYOUT_CHECK(live_type, offsetof(YVKStreamerLiveCfg, streamType) == 20);
YVK_LAYOUT_CHECK(live_max, offsetof(YVKStreamerLiveCfg, maxFrameSize) == 44);
YVK_LAYOUT_CHECK(live_audio, offsetof(YVKStreamerLiveCfg, audio) == 48);
YVK_LAYOUT_CHECK(file_size, sizeof(YVKStreamerFileCfg) == 76);
YVK_LAYOUT_CHECK(file_name, offsetof(YVKStreamerFileCfg, fileName) == 24);
YVK_LAYOUT_CHECK(file_option, offsetof(YVKStreamerFileCfg, parserOption) == 40);
YVK_LAYOUT_CHECK(file_skip, offsetof(YVKStreamerFileCfg, skipPreBuffer) == 60);
YVK_LAYOUT_CHECK(file_text, offsetof(YVKStreamerFileCfg, textCallback) == 72);
YVK_LAYOUT_CHECK(ctrl_size, sizeof(YVKStreamerCtrlCmd) == 8);
#undef YVK_LAYOUT_CHECK
#endif

#endif /* YVKSTREAMER_CORE_H */
