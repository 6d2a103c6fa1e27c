// Media files in file mode: the input is a file in memory (a memfd the demux
// service opens by its /proc path), which the file object parses at its
// start; then one client's demux reads a few frames of every track through
// the parser, as live555 would request them.
#include "AVIFileParser.hh"
#include "AviFile.hh"
#include "EventLoop.hh"
#include "FuzzSupport.hh"

#include <BasicUsageEnvironment.hh>

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int kRequestsPerTrack = 12;
constexpr int kRequestTimeoutMs = 2000;

// One request of a track; false when the track ended or never answered.
bool pull(UsageEnvironment& env, FramedSource* source, std::vector<unsigned char>& buffer) {
    bool done = false, closed = false;
    source->getNextFrame(
        buffer.data(), static_cast<unsigned>(buffer.size()),
        [](void* data, unsigned, unsigned, timeval, unsigned) { *static_cast<bool*>(data) = true; }, &done,
        [](void* data) { *static_cast<bool*>(data) = true; }, &closed);
    // The parser answers at once; a transcoded track may wait for its worker.
    if (!done && !closed) yvk::test::runLoopUntil(env, [&] { return done || closed; }, kRequestTimeoutMs);
    if (!done && !closed) source->stopGettingFrames();
    return done;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("fuzz-media", 0);
    if (fd < 0) return 0;
    for (size_t written = 0; written < size;) {
        ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    std::string name = "/proc/self/fd/" + std::to_string(fd);
    UsageEnvironment& env = yvk::fuzz::environment();
    AviFileParser::changevtrack(0);
    AviFile* file = AviFile::createNew(env, name.c_str(), 0, nullptr, nullptr, nullptr, 0, nullptr);
    if (file != nullptr) {
        (void)file->fileDuration();
        AviDemux* demux = file->numTracks() > 0 ? file->newDemux(1) : nullptr;
        std::vector<FramedSource*> tracks;
        for (unsigned number = 1; demux != nullptr && number <= file->numTracks(); ++number) {
            if (FramedSource* track = demux->newDemuxedTrackByTrackNumber(number)) tracks.push_back(track);
        }
        static std::vector<unsigned char> buffer(AviFileParser::kSampleCapacity);
        std::vector<bool> open(tracks.size(), true);
        for (int round = 0; round < kRequestsPerTrack; ++round) {
            for (size_t i = 0; i < tracks.size(); ++i) {
                if (open[i]) open[i] = pull(env, tracks[i], buffer);
            }
        }
        for (FramedSource* track : tracks) Medium::close(track);
        Medium::close(file);
    }
    close(fd);
    return 0;
}
