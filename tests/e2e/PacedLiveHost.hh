// A host application for end-to-end tests: H.264 access units from a clip
// that ffmpeg encodes at start, lent in real time (25 fps, by default one
// key frame a second, half a second into each second of the clock) through
// a video queue record, and a 440 Hz tone in 16-bit mono PCM
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
#include <string>
#include <mutex>
#include <thread>
#include <vector>

namespace yvk::test {

// What a hostile host does besides lending the clip.
struct HostMisbehaviour {
    int stallPopMs = 0;          // one popStream call keeps the reader this long, whatever its timeout,
    int stallAtPop = 0;          // the one of this number (counted from 1)
    bool emptyRecords = false;   // a record of size 0 after every 5th frame
    bool garbage = false;        // a record without any start code after every 7th frame
    unsigned hugeBytes = 0;      // a filler-data record of this size after every 9th frame
    bool resyncStorm = false;    // every record of the second second of each four asks for a resync
    bool noParameterSets = false; // the parameter sets never reach the library
    int inactiveAfterAudioPops = 0; // isActive answers 0 after that many audio pops (0: never)
};

class PacedLiveHost {
public:
    // keyInterval: frames from one key frame to the next (cameras often use
    // two seconds, longer than an HTTP segment).
    PacedLiveHost(int width, int height, unsigned pcmBlockBytes, int keyInterval = 25);
    // An encoder's Annex-B stream as it wrote it: cut into access units, not
    // a byte changed (start codes of three bytes, SEI and delimiters stay).
    PacedLiveHost(const std::string& annexBFile, bool h265, unsigned pcmBlockBytes);
    ~PacedLiveHost() { stop(); }
    PacedLiveHost(const PacedLiveHost&) = delete;
    PacedLiveHost& operator=(const PacedLiveHost&) = delete;

    bool ready() const { return !fUnits.empty(); }
    void start(); // begins producing in real time
    void stop();
    YVKStreamerQIO videoIO() { return io(popVideo); }
    YVKStreamerQIO audioIO() { return io(popAudio); }
    // Fills in cfg's video and audio as this host lends them (both enabled);
    // the clip's size is the caller's.
    void describeStreams(YVKStreamerLiveCfg& cfg, int width, int height, unsigned maxFrameSize) const;
    // Every record popped was released exactly once (size 0: never), none
    // twice, none that was not popped.  It first waits (5 s at most) until
    // no callback runs: a reader the library left inside a stalled popStream
    // releases its record when that call returns.
    bool accountClosed();
    void misbehave(const HostMisbehaviour& how) { fMisbehaviour = how; }
    bool stalling() const { return fStalling.load(); }

private:
    struct Unit {
        std::vector<uint8_t> bytes;
        bool key = false;
    };
    struct Lent {
        YVKStreamerStream record{};
        std::vector<uint8_t> payload;
        int releases = 0;
        bool popped = false;
    };

    void produce();
    void lendExtras(int64_t index, int64_t captureUs);
    void publishVideo(YVKStreamerStream* record);
    std::vector<uint8_t> withoutParameterSets(const std::vector<uint8_t>& unit) const;
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
    HostMisbehaviour fMisbehaviour;
    bool fH265 = false;
    std::atomic<int> fVideoPops{0};
    std::atomic<int> fAudioPops{0};
    std::atomic<bool> fStalling{false};
    std::atomic<int> fCallbacksRunning{0};
    struct CallbackScope {
        explicit CallbackScope(PacedLiveHost& host) : fHost(host) { ++fHost.fCallbacksRunning; }
        ~CallbackScope() { --fHost.fCallbacksRunning; }
        PacedLiveHost& fHost;
    };
    bool allPoppedReleased();
};

} // namespace yvk::test

#endif
