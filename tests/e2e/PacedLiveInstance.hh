// A live instance on a paced host, in the test's own process: RTSP on a
// free port, or HTTP streaming (with the host's tone as AAC) on 8554.  Free
// must return within two seconds whatever the host and the clients do, and
// afterwards the host's account of its records must close.
#ifndef YVK_TEST_PACED_LIVE_INSTANCE_HH
#define YVK_TEST_PACED_LIVE_INSTANCE_HH

#include "CoreTestSupport.hh"
#include "PacedLiveHost.hh"
#include "Process.hh"
#include "RawHttp.hh"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace yvk::test {

class PacedLiveInstance {
public:
    static constexpr auto kTeardownBound = std::chrono::seconds(2);

    // adjust may change the record before New (streams on or off, formats).
    PacedLiveInstance(std::unique_ptr<PacedLiveHost> host, bool http, int width, int height,
                      const std::function<void(YVKStreamerLiveCfg&)>& adjust = {})
        : fHost(std::move(host)), fPort(http ? 8554 : freeTcpPort()) {
        guardNetworkSetup();
        EXPECT_TRUE(fHost->ready()) << "the host's clip could not be made";
        YVKStreamerLiveCfg cfg = liveConfig(fPort, "live");
        cfg.streamType = http ? YVK_STREAM_TYPE_HLS : YVK_STREAM_TYPE_RTSP;
        fHost->describeStreams(cfg, width, height, 512 * 1024);
        cfg.audio.enable = http ? 1 : 0; // AAC in the Transport Stream
        if (adjust) adjust(cfg);
        YVKStreamerQIO videoIO = fHost->videoIO();
        YVKStreamerQIO audioIO = fHost->audioIO();
        fHost->start();
        if (fHost->ready()) fCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
    }
    ~PacedLiveInstance() {
        free();
        fHost->stop();
        EXPECT_TRUE(fHost->accountClosed()) << "a popped record was not released exactly once";
    }
    PacedLiveInstance(const PacedLiveInstance&) = delete;
    PacedLiveInstance& operator=(const PacedLiveInstance&) = delete;

    bool run() { return fCore != nullptr && YVK_StreamerCoreRun(fCore) == 1; }
    // Free, which must come back within the bound.
    void free() {
        if (fCore == nullptr) return;
        auto start = std::chrono::steady_clock::now();
        YVK_StreamerCoreFree(fCore);
        fCore = nullptr;
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, kTeardownBound)
            << "Free took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/live"; }
    std::string describe(int timeoutMs) const { return rawDescribe(fPort, url(), timeoutMs); }
    YVKStreamerCore* core() const { return fCore; }
    PacedLiveHost& host() { return *fHost; }

private:
    std::unique_ptr<PacedLiveHost> fHost;
    unsigned short fPort;
    YVKStreamerCore* fCore = nullptr;
};

} // namespace yvk::test

#endif
