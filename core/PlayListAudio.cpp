// Play-list audio in the format of the first entry.  The conversion is
// linear interpolation between neighbouring samples: it keeps speed and
// pitch across a join; a file whose own format matches (the usual play list)
// goes through untouched.
#include "PlayListAudio.hh"

#include "yvk_audio_codec.h"
#include "yvk_demux.h"
#include "yvk_system.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#define YVK_TRACE_MODULE "yvkstreamer_core"

namespace {

constexpr int kReadBytes = 16 * 1024;      // one MP3 frame or a block of PCM
constexpr int kDecodedSamples = 8 * 1152;  // decoder output per call, all channels
constexpr int kMaxReadsPerPull = 16;       // skipped or undecodable blocks in a row

int16_t clampSample(double value) {
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

} // namespace

PlayListAudio::~PlayListAudio() { release(); }

void PlayListAudio::setTarget(int sampleRate, int channels) {
    fTargetRate = std::max(sampleRate, 0);
    fTargetChannels = std::max(channels, 0);
}

void PlayListAudio::release() {
    if (fDecoder != nullptr) YVK_MP3_DecFree(fDecoder);
    fDecoder = nullptr;
    std::vector<unsigned char>().swap(fCoded);
    std::vector<int16_t>().swap(fInput);
    fPosition = 0;
}

void PlayListAudio::enterEntry(void* handle) {
    release();
    fEnded = false;
    DemuxAudInfo info{};
    bool hasAudio = handle != nullptr && YVK_StreamerDemuxGetAudInfo(handle, &info) != 0;
    fMp3 = hasAudio && info.codec == YVK_DEMUX_AUDIO_MP3;
    fInRate = info.sampleRate;
    fInChannels = info.channels;
    fPassThrough = !hasAudio || fTargetRate <= 0 || fTargetChannels <= 0 ||
                   (!fMp3 && fInRate == fTargetRate && fInChannels == fTargetChannels);
    if (fPassThrough) return;
    if (fMp3) {
        fDecoder = YVK_MP3_DecNew(nullptr, nullptr);
        if (fDecoder == nullptr) YVK_TRACE(YVK_TRACE_ERROR, "no MP3 decoder: the entry plays without audio\n");
    }
    YVK_TRACE(YVK_TRACE_INFO, "entry audio (%s %d Hz, %d channels) converted to 16-bit PCM at %d Hz, %d channels\n",
              fMp3 ? "MP3" : "PCM", fInRate, fInChannels, fTargetRate, fTargetChannels);
}

int PlayListAudio::read(void* handle, unsigned char* buffer, int capacity) {
    int frameBytes = 2 * fTargetChannels;
    int wanted = frameBytes > 0 ? capacity / frameBytes : 0;
    // One block a read, as the demux service reads PCM: what the input holds,
    // after one more pull when it holds too little for a sample frame.
    int made = resampleInto(buffer, wanted);
    while (made == 0 && wanted > 0 && pullInput(handle)) made = resampleInto(buffer, wanted);
    return made * frameBytes;
}

// More entry-format frames into the input; false at the entry's end.
bool PlayListAudio::pullInput(void* handle) {
    if (fMp3 && fDecoder == nullptr) fEnded = true;
    for (int reads = 0; reads < kMaxReadsPerPull && !fEnded; ++reads) {
        fCoded.resize(kReadBytes);
        int size = kReadBytes;
        int result = YVK_StreamerDemuxReadAudio(handle, fCoded.data(), &size);
        if (result == YVK_DEMUX_SAMPLE_SKIPPED) continue;  // traced by the service
        if (result <= 0 || size <= 0) {
            fEnded = true;
            break;
        }
        if (fMp3) {
            if (decodeMp3(fCoded.data(), size)) return true;
            continue;
        }
        size_t samples = static_cast<size_t>(size) / 2 / static_cast<size_t>(std::max(fInChannels, 1)) *
                         static_cast<size_t>(std::max(fInChannels, 1));
        size_t old = fInput.size();
        fInput.resize(old + samples);
        std::memcpy(fInput.data() + old, fCoded.data(), samples * 2);
        return samples > 0;
    }
    return false;
}

// Decodes one MP3 block; the decoder's own format (not the container's) is
// what its PCM is in.  True when PCM came out.
bool PlayListAudio::decodeMp3(const unsigned char* data, int size) {
    YVK_AudioCoded in{const_cast<uint8_t*>(data), size};
    bool any = false;
    while (true) {
        size_t old = fInput.size();
        fInput.resize(old + kDecodedSamples);
        YVK_AudioPcm out{reinterpret_cast<uint8_t*>(fInput.data() + old), 0, kDecodedSamples * 2};
        YVK_AudioFormat format{};
        int samples = YVK_MP3_Decode(fDecoder, &in, &out, &format);
        fInput.resize(old + static_cast<size_t>(std::max(samples, 0)));
        if (format.sampleRate > 0 && format.channels > 0) {
            fInRate = format.sampleRate;
            fInChannels = format.channels;
        }
        if (samples <= 0) return any;
        any = true;
        in.size = 0;  // the rest the decoder kept comes with empty input
        if (samples < kDecodedSamples) return true;
    }
}

// Target-format frames from the input into out; the count made.
int PlayListAudio::resampleInto(unsigned char* out, int frames) {
    if (fInChannels <= 0 || fInRate <= 0 || frames <= 0) return 0;
    size_t inChannels = static_cast<size_t>(fInChannels);
    size_t available = fInput.size() / inChannels;
    double step = static_cast<double>(fInRate) / fTargetRate;
    auto sampleAt = [&](size_t frame, int channel) -> double {
        const int16_t* at = fInput.data() + frame * inChannels;
        if (fTargetChannels == 1 && fInChannels >= 2) return (at[0] + at[1]) / 2.0;
        return at[std::min(channel, fInChannels - 1)];
    };
    int made = 0;
    while (made < frames) {
        auto frame = static_cast<size_t>(fPosition);
        if (frame + 1 >= available) break;
        double weight = fPosition - static_cast<double>(frame);
        for (int c = 0; c < fTargetChannels; ++c) {
            double value = sampleAt(frame, c) * (1 - weight) + sampleAt(frame + 1, c) * weight;
            int16_t sample = clampSample(value);
            std::memcpy(out + 2 * (made * fTargetChannels + c), &sample, 2);
        }
        fPosition += step;
        ++made;
    }
    size_t used = std::min(static_cast<size_t>(fPosition), available);
    fInput.erase(fInput.begin(), fInput.begin() + static_cast<std::ptrdiff_t>(used * inChannels));
    fPosition -= static_cast<double>(used);
    return made;
}
