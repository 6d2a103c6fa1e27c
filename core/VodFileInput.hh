// File-input callbacks: a play list of media files read through the demux
// service as if it were one long file.  The file chain calls them through
// the instance's VodFileIO record; hosts may call them directly.
#ifndef YVK_VOD_FILE_INPUT_HH
#define YVK_VOD_FILE_INPUT_HH

#include "yvkstreamer_core.h"

#include <cstdint>

// What vod_info reports to the file parser.
struct AviFileInfo {
    int32_t audioTracks;    // of the current file
    int32_t videoTracks;
    int64_t durationMs;     // of the whole play list
    double fps;             // video track 0
    int32_t sampleRate;
    int32_t bitsPerSample;
    int32_t channels;
    char* keyFrame;         // the caller's buffer: receives the first key frame
    int32_t keyFrameSize;   // in: its capacity (0 or less: 3 MB); out: the frame's size
};

// The file handle of the callbacks (40 bytes on the device).
struct VodFile {
    void* demuxHandle;      // current file; null when none is open
    int64_t totalDurationMs;
    int32_t* durations;     // one per play-list entry, milliseconds
    int32_t fileCount;
    int32_t nextIndex;      // entry the next switch opens (current + 1)
    int32_t skipPreBuffer;
    int32_t videoMaster;
    YVKStreamerGetFileName getFileName;
};

static_assert(sizeof(void*) != 4 || sizeof(VodFile) == 40, "VodFile is 40 bytes on the device");

// The callback record handed to the file chain; arg is the instance.
struct VodFileIO {
    void* (*open)(void* arg);
    int (*info)(void* file, AviFileInfo* info);
    int (*read)(void* file, int type, int track, char* buffer, int* size, int* keyFrame);
    int (*seek)(void* file, int unused1, int unused2, int64_t positionMs);
    void (*close)(void* file);
    void* arg;
};

static_assert(sizeof(VodFileIO) == 6 * sizeof(void*), "VodFileIO is six words");

// Types of vod_read: 1 video, anything else audio.
#define YVK_VOD_READ_AUDIO 0
#define YVK_VOD_READ_VIDEO 1

// Exported with C++ linkage (decorated names): they take the library's own
// types.  Only the five control functions carry plain names.
//
// arg: the YVKStreamerCore whose getFileName, skipPreBuffer and videoMaster
// are used.  The handle, or null.
YVK_API void* vod_open(void* arg);
YVK_API int vod_info(void* file, AviFileInfo* info);
// One sample into buffer (*size: its capacity, 0 or less for 3 MB; out: the
// sample's size).  Returns the size, 0 at the end of the play list.
YVK_API int vod_read(void* file, int type, int track, char* buffer, int* size, int* keyFrame);
YVK_API int vod_seek(void* file, int unused1, int unused2, int64_t positionMs);
YVK_API void vod_close(void* file);
YVK_API int64_t vod_get_duration(VodFile* file);
YVK_API int vod_seek_file_find(VodFile* file, int32_t positionMs, int32_t* offsetMs);
YVK_API int vod_get_tracks(VodFile* file, int* audioTracks, int* videoTracks);

// Fills the record with the five callbacks and the instance as argument.
void vodFillFileIO(VodFileIO* io, YVKStreamerCore* core);

#endif // YVK_VOD_FILE_INPUT_HH
