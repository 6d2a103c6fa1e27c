// A host application for end-to-end tests: H.264 access units from a clip
// that ffmpeg encodes at start, lent in real time (25 fps, one key frame a
// second, half a second into each second of the clock) through a video queue
// record, and a 440 Hz tone in 16-bit mono PCM
// blocks at 16 kHz through an audio queue record.  It keeps the host
// contract, every popped record released exactly once, and checks it.
#ifndef YVK_TEST_PACED_LIVE_HOST_HH
#define YVK_TEST_PACED_LIVE_HOST_HH

#include "yvkstreamer_core.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace yvk::test {

class PacedLiveHost {
public:
    PacedLiveHost(int width, int height, unsigned pcmBlockBytes);
    ~PacedLiveHost() { stop(); }
    PacedLiveHost(const PacedLiveHost&) = delete;
    PacedLiveHost& operator=(const PacedLiveHost&) = delete;

    bool ready() const { return !fUnits.empty(); }
    void start(); // begins producing in real time
    void stop();
    YVKStreamerQIO videoIO() { return io(popVideo); }
    YVKStreamerQIO audioIO() { return io(popAudio); }
    bool balanced(); // no record released twice or never lent

private:
    struct Unit {
        std::vector<uint8_t> bytes;
        bool key = false;
    };
    struct Lent {
        YVKStreamerStream record{};
        std::vector<uint8_t> payload;
        int releases = 0;
    };

    void produce();
    YVKStreamerQIO io(YVKStreamerStream* (*pop)(void*, int));
    YVKStreamerStream* lend(std::vector<uint8_t> payload, bool key, int64_t captureUs);
    static YVKStreamerStream* popVideo(void* handle, int timeoutMs);
    static YVKStreamerStream* popAudio(void* handle, int timeoutMs);
    static int release(void* handle, YVKStreamerStream* record, int flag);
    static int setVideoStreaming(void* handle, int on);

    unsigned fPcmBlockBytes;
    std::vector<Unit> fUnits;
    std::mutex fMutex;
    std::condition_variable fAvailable;
    std::deque<YVKStreamerStream*> fVideoReady;
    std::map<YVKStreamerStream*, std::unique_ptr<Lent>> fLent;
    int fBadReleases = 0;
    int64_t fAudioSamples = 0;
    int64_t fStartUs = 0;
    std::atomic<bool> fRunning{false};
    std::atomic<bool> fVideoWanted{false}; // the library's last word on video: start or stop
    std::thread fProducer;
};

} // namespace yvk::test

#endif
