#include "Producers.hh"

#include "LatencyMarks.hh"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {
using Clock = std::chrono::steady_clock;
constexpr double kToneHz = 440.0;
constexpr double kToneLevel = 0.3;
} // namespace

bool VideoProducer::open(const HostOptions& options, std::string& error) {
    if (options.source != "testpattern") {
        fFile = std::make_unique<FileVideo>();
        if (!fFile->open(options.source, error)) return false;
        fH265 = fFile->h265();
        fWidth = fFile->width();
        fHeight = fFile->height();
        fFps = fFile->fps();
        return true;
    }
    fH265 = options.codec == "h265";
    fWidth = options.width;
    fHeight = options.height;
    fFps = options.fps;
    fEncoder = std::make_unique<TestPatternEncoder>();
    return fEncoder->open(fH265, fWidth, fHeight, fFps, options.bitrate, error);
}

void VideoProducer::start() {
    fRunning = true;
    fThread = std::thread(&VideoProducer::run, this);
}

void VideoProducer::stop() {
    fRunning = false;
    if (fThread.joinable()) fThread.join();
}

void VideoProducer::lend(const std::vector<uint8_t>& accessUnit, bool key, int64_t presentUs) {
    const uint64_t frame = fProduced++;
    if (!fPool.streaming()) {
        fResync = true; // what follows the pause starts at a key picture
        return;
    }
    YVKStreamerStream* record = fPool.acquire();
    if (record == nullptr) {
        fResync = true;
        return;
    }
    if (fMarkFrames) {
        fMarked = latency_marks::seiFor(frame, fH265);
        fMarked.insert(fMarked.end(), accessUnit.begin(), accessUnit.end());
        fPool.fill(record, fMarked.data(), fMarked.size());
        fPool.setMark(record, frame);
    } else {
        fPool.fill(record, accessUnit.data(), accessUnit.size());
    }
    record->keyFrame = key ? 1 : 0;
    record->resync = (fPool.takeDropped() || fResync) ? 1 : 0;
    record->timestamp.sec = static_cast<int32_t>(presentUs / 1000000);
    record->timestamp.usec = static_cast<int32_t>(presentUs % 1000000);
    fResync = false;
    fPool.publish(record);
}

void VideoProducer::run() {
    const auto start = Clock::now();
    std::vector<uint8_t> accessUnit;
    int64_t firstDecodeUs = -1;
    for (int64_t index = 0; fRunning; ++index) {
        bool key = false;
        int64_t decodeUs = index * 1000000 / fFps;
        int64_t presentUs = decodeUs;
        bool got = fFile ? fFile->next(accessUnit, key, decodeUs, presentUs) : fEncoder->encode(index, accessUnit, key);
        if (fFile && !got) {
            std::fprintf(stderr, "yvkstreamer: the video file cannot be read any more\n");
            break;
        }
        if (firstDecodeUs < 0) firstDecodeUs = decodeUs;
        std::this_thread::sleep_until(start + std::chrono::microseconds(decodeUs - firstDecodeUs));
        if (got) lend(accessUnit, key, presentUs);
    }
}

unsigned ToneProducer::blockBytes(int rate, int bits, int channels) {
    unsigned bitsPerFrame = static_cast<unsigned>(bits * channels);
    unsigned samples = std::min(11200 / bitsPerFrame, static_cast<unsigned>(0.02 * rate));
    return bitsPerFrame * samples / 8;
}

unsigned ToneProducer::aacBlockBytes(int bits, int channels) {
    return static_cast<unsigned>(1024 * channels * bits / 8);
}

void ToneProducer::start(int rate, int bits, int channels, unsigned block) {
    fRate = rate;
    fBits = bits;
    fChannels = channels;
    fBlock = block != 0 ? block : blockBytes(rate, bits, channels);
    fRunning = true;
    fThread = std::thread(&ToneProducer::run, this);
}

void ToneProducer::stop() {
    fRunning = false;
    if (fThread.joinable()) fThread.join();
}

void ToneProducer::run() {
    const unsigned bytesPerSample = static_cast<unsigned>(fBits / 8);
    const unsigned block = fBlock;
    const unsigned samples = block / (bytesPerSample * static_cast<unsigned>(fChannels));
    std::vector<uint8_t> pcm(block);
    const auto start = Clock::now();
    uint64_t sampleIndex = 0;
    while (fRunning) {
        for (unsigned n = 0; n < samples; ++n) {
            double value = kToneLevel * std::sin(2 * M_PI * kToneHz * static_cast<double>(sampleIndex + n) / fRate);
            for (int c = 0; c < fChannels; ++c) {
                uint8_t* out = &pcm[(n * static_cast<unsigned>(fChannels) + static_cast<unsigned>(c)) * bytesPerSample];
                if (fBits == 8) {
                    out[0] = static_cast<uint8_t>(128 + std::lround(value * 127)); // offset binary
                } else {
                    long full = std::lround(value * ((1L << (fBits - 1)) - 1));
                    for (unsigned b = 0; b < bytesPerSample; ++b) out[b] = static_cast<uint8_t>(full >> (8 * b));
                }
            }
        }
        sampleIndex += samples;
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(sampleIndex * 1000000 / fRate)));
        if (!fPool.streaming()) continue;
        YVKStreamerStream* record = fPool.acquire();
        if (record == nullptr) continue;
        fPool.fill(record, pcm.data(), pcm.size());
        fPool.publish(record);
    }
}
