#include "FakeDemux.hh"

#include "yvk_audio_codec.h"
#include "yvk_demux.h"

#include <algorithm>
#include <map>

namespace yvk::test {
namespace {

struct FakeHandle {
    std::string name;
    FakeMedia media;
    int videoPos = 0;
    int audioPos = 0;
    bool pinned = false;  // SetVidPos holds until the next video read
};

struct State {
    std::map<std::string, FakeMedia> files;
    std::vector<std::string> calls;
    int open = 0;
} gState;

FakeHandle* handleOf(void* h) { return static_cast<FakeHandle*>(h); }
void record(const std::string& call) { gState.calls.push_back(call); }

} // namespace

void FakeDemux::reset() { gState = State{}; }
void FakeDemux::add(const std::string& name, const FakeMedia& media) { gState.files[name] = media; }
std::vector<std::string> FakeDemux::calls() { return gState.calls; }
void FakeDemux::clearCalls() { gState.calls.clear(); }
int FakeDemux::openHandles() { return gState.open; }

} // namespace yvk::test

using yvk::test::gState;
using yvk::test::handleOf;
using yvk::test::record;

extern "C" {

void* YVK_StreamerDemuxOpen(const char* fileName) {
    std::string name = fileName != nullptr ? fileName : "";
    record("open " + name);
    auto it = gState.files.find(name);
    if (it == gState.files.end() || !it->second.openable) return nullptr;
    ++gState.open;
    return new yvk::test::FakeHandle{name, it->second};
}

void YVK_StreamerDemuxClose(void* h) {
    if (h == nullptr) return;
    record("close " + handleOf(h)->name);
    --gState.open;
    delete handleOf(h);
}

int YVK_StreamerDemuxGetVidTracks(void* h) { return h != nullptr && handleOf(h)->media.videoFrames > 0 ? 1 : 0; }
int YVK_StreamerDemuxGetAudTracks(void* h) { return h != nullptr && handleOf(h)->media.audioBlocks > 0 ? 1 : 0; }
int YVK_StreamerDemuxGetVidFps(void* h, int) { return h != nullptr ? handleOf(h)->media.fps : 0; }
int YVK_StreamerDemuxGetVidDur(void* h) { return h != nullptr ? handleOf(h)->media.videoDurMs : 0; }
int YVK_StreamerDemuxGetAudDur(void* h) { return h != nullptr ? handleOf(h)->media.audioDurMs : 0; }
int YVK_StreamerDemuxGetPreBufNum(void* h, int) { return h != nullptr ? handleOf(h)->media.preBufFrames : 0; }

int YVK_StreamerDemuxGetAudInfo(void* h, DemuxAudInfo* info) {
    *info = DemuxAudInfo{};
    if (h == nullptr) return 0;
    const yvk::test::FakeMedia& m = handleOf(h)->media;
    *info = DemuxAudInfo{m.mp3 ? YVK_DEMUX_AUDIO_MP3 : YVK_DEMUX_AUDIO_PCM, m.channels, m.sampleRate, 16};
    return 1;
}

int YVK_StreamerDemuxReadVideo(void* h, int, unsigned char* buffer, int* size, int* keyFrame, uint64_t*) {
    int capacity = *size > 0 ? *size : YVK_DEMUX_SAMPLE_CAPACITY;
    *size = 0;
    if (h == nullptr) return 0;
    yvk::test::FakeHandle& f = *handleOf(h);
    f.pinned = false;
    if (f.videoPos >= f.media.videoFrames) return 0;
    int index = f.videoPos++;
    if (capacity < yvk::test::kFakeUnitSize || index == f.media.oversizeFrame) return YVK_DEMUX_SAMPLE_SKIPPED;
    bool key = index % f.media.keyInterval == f.media.firstKey;
    const unsigned char unit[yvk::test::kFakeUnitSize] = {
        0, 0, 0, 1, static_cast<unsigned char>(key ? 0x65 : 0x41), f.media.tag,
        static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index)};
    std::copy(unit, unit + yvk::test::kFakeUnitSize, buffer);
    *size = yvk::test::kFakeUnitSize;
    if (keyFrame != nullptr) *keyFrame = key ? 1 : 0;
    return 1;
}

int YVK_StreamerDemuxReadAudio(void* h, unsigned char* buffer, int* size) {
    int capacity = *size > 0 ? *size : YVK_DEMUX_SAMPLE_CAPACITY;
    *size = 0;
    if (h == nullptr) return 0;
    yvk::test::FakeHandle& f = *handleOf(h);
    if (f.audioPos >= f.media.audioBlocks || capacity < f.media.audioBlockSize) return 0;
    ++f.audioPos;
    std::fill(buffer, buffer + f.media.audioBlockSize, f.media.tag);
    if (f.media.mp3) {
        buffer[0] = static_cast<unsigned char>(f.media.channels);
        buffer[1] = static_cast<unsigned char>(f.media.sampleRate / 100 >> 8);
        buffer[2] = static_cast<unsigned char>(f.media.sampleRate / 100);
    }
    return *size = f.media.audioBlockSize;
}

int YVK_StreamerDemuxSeek(void* h, int32_t positionMs) {
    if (h == nullptr) return 0;
    yvk::test::FakeHandle& f = *handleOf(h);
    record("seek " + f.name + " " + std::to_string(positionMs));
    int frame = f.media.fps * positionMs / 1000;
    if (!f.pinned) f.videoPos = frame - frame % f.media.keyInterval;
    f.audioPos = f.media.audioDurMs > 0 ? static_cast<int>(int64_t{f.media.audioBlocks} * positionMs / f.media.audioDurMs) : 0;
    return 1;
}

int YVK_StreamerDemuxSetVidPos(void* h, int track, int frameIndex) {
    if (h == nullptr) return 0;
    record("setvidpos " + handleOf(h)->name + " " + std::to_string(track) + " " + std::to_string(frameIndex));
    handleOf(h)->videoPos = frameIndex;
    handleOf(h)->pinned = true;
    return 1;
}

// The fake "MP3" decoder: see FakeMedia::mp3.  Output that does not fit is
// kept for the next call, as the real decoder does.
struct FakeMp3 {
    std::vector<int16_t> pending;
    YVK_AudioFormat format{};
};

void* YVK_MP3_DecNew(const YVK_AudioFormat*, const void*) { return new FakeMp3(); }

int YVK_MP3_Decode(void* decoder, const YVK_AudioCoded* input, const YVK_AudioPcm* output, YVK_AudioFormat* format) {
    FakeMp3& d = *static_cast<FakeMp3*>(decoder);
    if (input->size >= 3) {
        d.format = YVK_AudioFormat{input->data[0], (input->data[1] << 8 | input->data[2]) * 100, 16, 1};
        for (int i = 3; i < input->size; ++i)
            d.pending.insert(d.pending.end(), static_cast<size_t>(d.format.channels),
                             static_cast<int16_t>(input->data[i] * 100));
    }
    if (format != nullptr) *format = d.format;
    size_t take = std::min(d.pending.size(), static_cast<size_t>(output->size / 2));
    take -= take % static_cast<size_t>(std::max(d.format.channels, 1));
    std::copy(d.pending.begin(), d.pending.begin() + static_cast<std::ptrdiff_t>(take),
              reinterpret_cast<int16_t*>(output->data));
    d.pending.erase(d.pending.begin(), d.pending.begin() + static_cast<std::ptrdiff_t>(take));
    return static_cast<int>(take);
}

void YVK_MP3_DecFree(void* decoder) { delete static_cast<FakeMp3*>(decoder); }

} // extern "C"
