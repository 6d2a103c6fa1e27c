// Fast-forwards a file's MP3 audio through file mode's MP3 to AAC converter
// (as a client's audio track pulls it, without the real-time pacing) and
// reports the converter's PCM store, the process's resident memory and the
// time per AAC frame after the first minute of audio and at the end.
//   yvk_file_convert_bench MEDIA_FILE
#include "AVIFileParser.hh"
#include "AviFile.hh"

#include <BasicUsageEnvironment.hh>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

long residentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

struct Pull {
    bool delivered = false;
    bool closed = false;
    unsigned durationUs = 0;
};

bool gClosed = false;

Pull pull(FramedSource* source, std::vector<unsigned char>& buffer) {
    Pull result;
    gClosed = false;
    source->getNextFrame(
        buffer.data(), static_cast<unsigned>(buffer.size()),
        [](void* data, unsigned, unsigned, timeval, unsigned durationUs) {
            *static_cast<Pull*>(data) = Pull{true, false, durationUs};
        },
        &result, [](void*) { gClosed = true; }, nullptr);
    result.closed = gClosed;
    return result;
}

void report(const char* when, double audioSeconds, unsigned long frames, double usPerFrame) {
    AviFileParser::AudioConvStats stats = AviFileParser::audioConvStats();
    std::printf("%-9s audio %7.1f s, frames %7lu: store %zu of %zu bytes (one frame %zu), rss %ld kB, %.1f us/frame\n",
                when, audioSeconds, frames, stats.storedBytes, stats.storeCapacity, stats.frameBytes, residentKb(),
                usPerFrame);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MEDIA_FILE\n", argv[0]);
        return 2;
    }
    TaskScheduler* scheduler = BasicTaskScheduler::createNew();
    UsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
    AviFile* file = AviFile::createNew(*env, argv[1], 0, nullptr, nullptr, nullptr, 0, nullptr);
    unsigned audioTrack = 0;
    AviTrackTableIterator iter(file->trackTable());
    while (AviTrack* track = iter.next()) {
        if (track->audioConverted != 0) audioTrack = track->trackNumber;
    }
    if (audioTrack == 0) {
        std::fprintf(stderr, "%s has no MP3 audio\n", argv[1]);
        return 1;
    }
    AviDemux* demux = file->newDemux(audioTrack);
    FramedSource* audio = demux->newDemuxedTrackByTrackNumber(audioTrack);
    std::vector<unsigned char> buffer(8192);
    using Clock = std::chrono::steady_clock;
    auto windowStart = Clock::now();
    unsigned long frames = 0, windowFrames = 0;
    double audioUs = 0;
    bool startReported = false;
    double lastMinuteUs = 0;
    for (;;) {
        Pull frame = pull(audio, buffer);
        if (!frame.delivered || frame.closed) break;
        ++frames;
        ++windowFrames;
        audioUs += frame.durationUs;
        // Per-frame time over the first minute of audio, then over each
        // following one (the last is reported at the end).
        if (!startReported && audioUs >= 60e6) {
            double us = std::chrono::duration<double, std::micro>(Clock::now() - windowStart).count() / windowFrames;
            report("start", audioUs / 1e6, frames, us);
            startReported = true;
        }
        if (startReported && static_cast<long>(audioUs / 60e6) != static_cast<long>((audioUs - frame.durationUs) / 60e6)) {
            lastMinuteUs = std::chrono::duration<double, std::micro>(Clock::now() - windowStart).count() / windowFrames;
            windowStart = Clock::now();
            windowFrames = 0;
        }
    }
    report("end", audioUs / 1e6, frames, lastMinuteUs);  // time: the last whole minute
    Medium::close(audio);
    Medium::close(file);
    env->reclaim();
    delete scheduler;
    return 0;
}
