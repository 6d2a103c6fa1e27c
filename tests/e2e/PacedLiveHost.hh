// A host application for end-to-end tests: H.264 access units from a file
// that ffmpeg encodes at start, lent in real time through a video queue
// record, and a sine tone in PCM blocks through an audio queue record.  It
// keeps the host contract (every popped record is released exactly once)
// and counts what the library does with it.
#ifndef YVK_TEST_PACED_LIVE_HOST_HH
#define YVK_TEST_PACED_LIVE_HOST_HH

#include "yvkstreamer_core.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace yvk::test {

class PacedLiveHost {
public:
    // width x height H.264 at fps, one key frame per second; PCM blocks of
    // pcmBlockBytes (16-bit mono at pcmRate).
    PacedLiveHost(int width, int height, int fps, int pcmRate, unsigned pcmBlockBytes);
    ~PacedLiveHost();
    PacedLiveHost(const PacedLiveHost&) = delete;
    PacedLiveHost& operator=(const PacedLiveHost&) = delete;

    bool ready() const { return !fUnits.empty(); }
    void start();   // begins producing in real time
    void stop();

    YVKStreamerQIO videoIO();
    YVKStreamerQIO audioIO();

    // Every popped record with a payload was released exactly once.
    bool balanced();
    int videoPopped();

private:
    struct Unit {
        std::vector<uint8_t> bytes;
        bool key;
    };
    struct Lent {
        YVKStreamerStream record;
        std::vector<uint8_t> payload;
    };

    void produce();
    static YVKStreamerStream* popVideo(void* handle, int timeoutMs);
    static YVKStreamerStream* popAudio(void* handle, int timeoutMs);
    static int release(void* handle, YVKStreamerStream* record, int flag);
    YVKStreamerStream* lend(std::vector<uint8_t> payload, bool key, int64_t captureUs);

    int fFps;
    int fPcmRate;
    unsigned fPcmBlockBytes;
    std::vector<Unit> fUnits;

    std::mutex fMutex;
    std::condition_variable fAvailable;
    std::deque<YVKStreamerStream*> fVideoReady;
    std::map<YVKStreamerStream*, Lent*> fLent;
    std::map<YVKStreamerStream*, int> fReleases;
    int fPopped = 0;
    int fBadReleases = 0;
    int64_t fAudioSamples = 0;
    int64_t fStartUs = 0;
    std::atomic<bool> fRunning{false};
    std::thread fProducer;
};

} // namespace yvk::test

#endif
