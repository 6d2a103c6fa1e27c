// File-input callbacks and the play list.  All calls come from one thread
// at a time (the host's inside New, then the event loop), so the silence
// block is plain process-wide state.
#include "VodFileInput.hh"

#include "CoreInstance.hh"
#include "PlayListAudio.hh"

#include "yvk_demux.h"
#include "yvk_system.h"

#include <cstring>

#define YVK_TRACE_MODULE "yvkstreamer_core"

namespace {

constexpr int kMaxPlayListEntries = 100000;  // guards against a list that never ends
constexpr int64_t kMaxPositionMs = INT32_MAX;
constexpr int kMaxSkippedSamples = 16;  // oversize samples skipped in one read

// The time a pre-buffer of count frames plays, in 64 bits (a crafted tag may
// hold any count), clamped to what a position can hold.
int32_t preBufferMs(int count, int rate) {
    if (count <= 0 || rate <= 0) return 0;
    int64_t ms = static_cast<int64_t>(count) * (1000 / rate);
    return static_cast<int32_t>(ms < kMaxPositionMs ? ms : kMaxPositionMs);
}

// The zero block a video-master play list plays for audio that ended early.
uint8_t* gSilence = nullptr;
int gSilenceSize = 0;
// Audio of the current entry is being replaced by silence (traced once).
bool gPlayingSilence = false;
// The audio of the list in its first entry's format (one list reads at a time).
PlayListAudio gAudio;

VodFile* vodFileOf(void* file) { return static_cast<VodFile*>(file); }

int capacityOf(const int* size) { return *size > 0 ? *size : YVK_DEMUX_SAMPLE_CAPACITY; }

void closeCurrent(VodFile* f) {
    if (f->demuxHandle != nullptr) YVK_StreamerDemuxClose(f->demuxHandle);
    f->demuxHandle = nullptr;
}

int countEntries(YVKStreamerGetFileName getFileName) {
    int count = 0;
    while (count < kMaxPlayListEntries && getFileName(count) != nullptr) ++count;
    if (count == kMaxPlayListEntries) YVK_TRACE(YVK_TRACE_ERROR, "play list cut at %d entries\n", count);
    return count;
}

// Duration of one entry; 0 when it cannot be opened.
int32_t entryDuration(const VodFile* f, int index, const char* name) {
    void* h = YVK_StreamerDemuxOpen(name);
    if (h == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "YVK_StreamerDemuxOpen (%s) failed, counted as 0 ms\n", name);
        return 0;
    }
    int32_t video = YVK_StreamerDemuxGetVidDur(h);
    int32_t audio = YVK_StreamerDemuxGetAudDur(h);
    if (f->skipPreBuffer != 0 && index != 0) {
        int32_t skipMs = preBufferMs(YVK_StreamerDemuxGetPreBufNum(h, 0), YVK_StreamerDemuxGetVidFps(h, 0));
        if (skipMs != 0) {
            if (video > skipMs) video -= skipMs;
            if (audio > skipMs) audio -= skipMs;
        }
    }
    YVK_StreamerDemuxClose(h);
    return (f->videoMaster != 0 || video > audio) ? video : audio;
}

// One read from the current file; *size is set to the sample's size.  A
// sample larger than the buffer is skipped, not taken for the file's end.
void readCurrent(VodFile* f, int type, int track, char* buffer, int capacity, int* size, int* keyFrame) {
    auto* bytes = reinterpret_cast<unsigned char*>(buffer);
    for (int skipped = 0; skipped <= kMaxSkippedSamples; ++skipped) {
        *size = capacity;
        int result = 0;
        if (type == YVK_VOD_READ_VIDEO)
            result = YVK_StreamerDemuxReadVideo(f->demuxHandle, track, bytes, size, keyFrame, nullptr);
        else if (gAudio.passesThrough())
            result = YVK_StreamerDemuxReadAudio(f->demuxHandle, bytes, size);
        else
            result = *size = gAudio.read(f->demuxHandle, bytes, capacity);
        if (result != YVK_DEMUX_SAMPLE_SKIPPED) break;
        YVK_TRACE(YVK_TRACE_ERROR, "sample larger than %d bytes skipped\n", capacity);
        *size = 0;
    }
    if (*size < 0) *size = 0;
    if (type == YVK_VOD_READ_AUDIO && *size > 0) gPlayingSilence = false;
    if (f->videoMaster != 0 && type == YVK_VOD_READ_AUDIO && *size > 0 && gSilence == nullptr) {
        gSilence = static_cast<uint8_t*>(YVK_MALLOC(static_cast<size_t>(*size)));
        gSilenceSize = gSilence != nullptr ? *size : 0;
        if (gSilence == nullptr) YVK_TRACE(YVK_TRACE_ERROR, "malloc (%d) failed: no silence for ended audio\n", *size);
    }
}

// The silence block in place of audio that has ended; 0 before any audio.
int playSilence(const VodFile* f, char* buffer, int capacity, int* size) {
    if (!gPlayingSilence) {
        YVK_TRACE(YVK_TRACE_INFO, "entry %d: the demux read gave no audio sample: silence while the video goes on\n",
                  f->nextIndex - 1);
        gPlayingSilence = true;
    }
    int n = gSilenceSize < capacity ? gSilenceSize : capacity;
    if (gSilence == nullptr || n <= 0) return 0;
    std::memcpy(buffer, gSilence, static_cast<size_t>(n));
    *size = n;
    return n;
}

// Opens the next entry behind the current one; false at the end of the list.
bool switchToNextFile(VodFile* f, int track) {
    if (f->nextIndex >= f->fileCount) {
        YVK_TRACE(YVK_TRACE_INFO, "End of file list. (cur:%d >= max:%d)\n", f->nextIndex, f->fileCount);
        return false;
    }
    const char* name = f->getFileName(f->nextIndex);
    if (name == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "End of file list. idx(%d)\n", f->nextIndex);
        return false;
    }
    YVK_TRACE(YVK_TRACE_INFO, "next file (%s)\n", name);
    closeCurrent(f);
    f->demuxHandle = YVK_StreamerDemuxOpen(name);
    gAudio.enterEntry(f->demuxHandle);
    if (f->demuxHandle == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "YVK_StreamerDemuxOpen (%s) failed\n", name);
        return false;
    }
    f->nextIndex += 1;
    if (f->skipPreBuffer != 0) {
        int count = YVK_StreamerDemuxGetPreBufNum(f->demuxHandle, track);
        if (count > 0) {
            YVK_StreamerDemuxSetVidPos(f->demuxHandle, track, count);
            YVK_StreamerDemuxSeek(f->demuxHandle, preBufferMs(count, YVK_StreamerDemuxGetVidFps(f->demuxHandle, 0)));
        }
    }
    return true;
}

} // namespace

YVK_API void* vod_open(void* arg) {
    auto* core = static_cast<YVKStreamerCore*>(arg);
    if (core == nullptr || core->getFileName == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no instance or play-list function\n");
        return nullptr;
    }
    auto* f = static_cast<VodFile*>(YVK_MALLOC(sizeof(VodFile)));
    if (f == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "malloc (%d) failed\n", static_cast<int>(sizeof(VodFile)));
        return nullptr;
    }
    f->skipPreBuffer = core->skipPreBuffer;
    f->videoMaster = core->videoMaster;
    f->getFileName = core->getFileName;
    f->nextIndex = 0;
    const char* first = f->getFileName(0);
    if (first == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "the play list has no first entry\n");
        YVK_Free(f);
        return nullptr;
    }
    f->totalDurationMs = vod_get_duration(f);
    f->demuxHandle = YVK_StreamerDemuxOpen(first);
    if (f->demuxHandle == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "YVK_StreamerDemuxOpen (%s) failed\n", first);
        YVK_Free(f->durations);
        YVK_Free(f);
        return nullptr;
    }
    f->nextIndex = 1;
    DemuxAudInfo audio{};
    YVK_StreamerDemuxGetAudInfo(f->demuxHandle, &audio);
    gAudio.setTarget(audio.sampleRate, audio.channels);
    gAudio.enterEntry(f->demuxHandle);
    return f;
}

YVK_API int64_t vod_get_duration(VodFile* f) {
    if (f == nullptr || f->getFileName == nullptr) return 0;
    f->fileCount = countEntries(f->getFileName);
    if (f->durations != nullptr) YVK_Free(f->durations);
    f->durations = nullptr;
    if (f->fileCount == 0) return 0;
    size_t bytes = static_cast<size_t>(f->fileCount) * sizeof(int32_t);
    f->durations = static_cast<int32_t*>(YVK_MALLOC(bytes));
    if (f->durations == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "malloc (%d) failed\n", static_cast<int>(bytes));
        return 0;
    }
    int64_t total = 0;
    for (int i = 0; i < f->fileCount; ++i) {
        const char* name = f->getFileName(i);
        if (name == nullptr) break;
        f->durations[i] = entryDuration(f, i, name);
        total += f->durations[i];
    }
    return total;
}

YVK_API int vod_info(void* file, AviFileInfo* info) {
    VodFile* f = vodFileOf(file);
    if (f == nullptr || info == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no file or info record\n");
        return -1;
    }
    info->durationMs = vod_get_duration(f);
    void* h = f->demuxHandle;
    info->audioTracks = YVK_StreamerDemuxGetAudTracks(h);
    info->videoTracks = YVK_StreamerDemuxGetVidTracks(h);
    info->fps = static_cast<double>(YVK_StreamerDemuxGetVidFps(h, 0));
    // Every entry's audio goes out as 16-bit PCM in the first entry's format.
    DemuxAudInfo audio{};
    YVK_StreamerDemuxGetAudInfo(h, &audio);
    bool listFormat = gAudio.targetRate() > 0 && gAudio.targetChannels() > 0;
    info->sampleRate = listFormat ? gAudio.targetRate() : audio.sampleRate;
    info->bitsPerSample = 16;
    info->channels = listFormat ? gAudio.targetChannels() : audio.channels;
    if (info->keyFrame != nullptr) {
        int capacity = capacityOf(&info->keyFrameSize);
        int key = 0;
        int read = 0;
        do {
            info->keyFrameSize = capacity;
            key = 0;
            read = YVK_StreamerDemuxReadVideo(h, 0, reinterpret_cast<unsigned char*>(info->keyFrame),
                                              &info->keyFrameSize, &key, nullptr);
        } while (read != 0 && key == 0);
        if (read == 0) {
            YVK_TRACE(YVK_TRACE_ERROR, "the demux read gave no key frame of the first entry\n");
            info->keyFrameSize = 0;
        }
    }
    YVK_StreamerDemuxSeek(h, 0);
    gAudio.enterEntry(h);
    return 0;
}

YVK_API int vod_read(void* file, int type, int track, char* buffer, int* size, int* keyFrame) {
    VodFile* f = vodFileOf(file);
    if (f == nullptr || buffer == nullptr || size == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no file, buffer or size word\n");
        if (size != nullptr) *size = 0;
        return 0;
    }
    int capacity = capacityOf(size);
    *size = 0;
    // With no file open (a failed switch) the read is empty like any other.
    readCurrent(f, type, track, buffer, capacity, size, keyFrame);
    if (*size > 0) return *size;
    if (f->videoMaster != 0 && type != YVK_VOD_READ_VIDEO)
        return type == YVK_VOD_READ_AUDIO ? playSilence(f, buffer, capacity, size) : 0;
    // The service answers a failed read as it answers the end of the file.
    YVK_TRACE(YVK_TRACE_INFO, "entry %d: the demux read gave no %s sample: end of the entry\n", f->nextIndex - 1,
              type == YVK_VOD_READ_VIDEO ? "video" : "audio");
    if (!switchToNextFile(f, track)) return 0;
    readCurrent(f, type, track, buffer, capacity, size, keyFrame);
    if (*size > 0 || type == YVK_VOD_READ_VIDEO) return *size;
    return (f->videoMaster != 0 && type == YVK_VOD_READ_AUDIO) ? playSilence(f, buffer, capacity, size) : 0;
}

YVK_API int vod_seek_file_find(VodFile* f, int32_t positionMs, int32_t* offsetMs) {
    if (f == nullptr || f->durations == nullptr || f->fileCount <= 0 || positionMs < 0) return -1;
    int64_t sum = 0;
    for (int i = 0; i < f->fileCount; ++i) {
        if (positionMs < sum + f->durations[i]) {
            if (offsetMs != nullptr) *offsetMs = static_cast<int32_t>(positionMs - sum);
            return i;
        }
        sum += f->durations[i];
    }
    return -1;
}

YVK_API int vod_seek(void* file, int /*unused1*/, int /*unused2*/, int64_t positionMs) {
    VodFile* f = vodFileOf(file);
    int32_t offset = 0;
    int index = -1;
    if (f != nullptr && positionMs >= 0 && positionMs <= kMaxPositionMs)
        index = vod_seek_file_find(f, static_cast<int32_t>(positionMs), &offset);
    if (index < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "vod_seek_file_find (%lld) failed\n", static_cast<long long>(positionMs));
        return -1;
    }
    const char* name = f->getFileName(index);
    if (name == nullptr) {
        YVK_StreamerDemuxSeek(f->demuxHandle, offset);
        gAudio.enterEntry(f->demuxHandle);
        return 0;
    }
    closeCurrent(f);
    f->demuxHandle = YVK_StreamerDemuxOpen(name);
    gAudio.enterEntry(f->demuxHandle);
    if (f->demuxHandle == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "YVK_StreamerDemuxOpen (%s) failed.\n", name);
        return -1;
    }
    f->nextIndex = index + 1;
    YVK_StreamerDemuxSeek(f->demuxHandle, offset);
    gAudio.enterEntry(f->demuxHandle);
    return 0;
}

YVK_API void vod_close(void* file) {
    VodFile* f = vodFileOf(file);
    if (f != nullptr) {
        closeCurrent(f);
        if (f->durations != nullptr) YVK_Free(f->durations);
        YVK_Free(f);
    }
    if (gSilence != nullptr) YVK_Free(gSilence);
    gSilence = nullptr;
    gSilenceSize = 0;
    gPlayingSilence = false;
    gAudio.release();
}

YVK_API int vod_get_tracks(VodFile* /*file*/, int* audioTracks, int* videoTracks) {
    if (audioTracks != nullptr) *audioTracks = 1;
    if (videoTracks != nullptr) *videoTracks = 1;
    return 0;
}

void vodFillFileIO(VodFileIO* io, YVKStreamerCore* core) {
    io->open = vod_open;
    io->info = vod_info;
    io->read = vod_read;
    io->seek = vod_seek;
    io->close = vod_close;
    io->arg = core;
}
