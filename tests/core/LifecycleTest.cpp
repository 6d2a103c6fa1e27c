// The exported lifecycle: New's common part, Run's loop thread and readiness
// wait, Ctrl, Stop and Free.
#include "CoreInstance.hh"
#include "CoreTestSupport.hh"
#include "DescriptorLimit.hh"
#include "EpollTaskScheduler.hh"
#include "Process.hh"
#include "TraceCapture.hh"

#include <BasicUsageEnvironment.hh>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using yvk::test::liveConfig;
using yvk::test::TraceCapture;

constexpr int kOtherMode = 3; // accepted: scheduler and environment only

class Lifecycle : public testing::Test {
protected:
    void SetUp() override { yvk::test::guardNetworkSetup(); }
};

TEST_F(Lifecycle, RefusedInputsGiveNullOrZeroWithATrace) {
    TraceCapture trace;
    EXPECT_EQ(YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(YVK_StreamerCoreNew(kOtherMode, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(trace.contains("configuration record is NULL"));

    YVKStreamerCtrlCmd cmd{YVK_STREAMER_CMD_VIDEO_TRACK, 0};
    EXPECT_EQ(YVK_StreamerCoreRun(nullptr), 0);
    EXPECT_EQ(YVK_StreamerCoreCtrl(nullptr, &cmd), 0);
    EXPECT_EQ(YVK_StreamerCoreStop(nullptr), 1);
    YVK_StreamerCoreFree(nullptr);
    EXPECT_TRUE(trace.contains("streamer instance is NULL"));
    EXPECT_TRUE(trace.contains("streamer is already stopped"));
}

TEST_F(Lifecycle, OtherModeGivesUsableHandleWithoutServer) {
    YVKStreamerLiveCfg cfg = liveConfig(0);
    YVKStreamerCore* core = YVK_StreamerCoreNew(kOtherMode, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->rtspServer, nullptr);
    EXPECT_NE(dynamic_cast<EpollTaskScheduler*>(core->scheduler), nullptr);
    EXPECT_EQ(YVK_StreamerCoreStop(core), 1); // before any Run
    for (YVKStreamerCtrlCmd cmd : {YVKStreamerCtrlCmd{2, 5}, YVKStreamerCtrlCmd{YVK_STREAMER_CMD_VIDEO_TRACK, 1}})
        EXPECT_EQ(YVK_StreamerCoreCtrl(core, &cmd), 1); // ignored: other command, track on a non-file instance
    EXPECT_EQ(YVK_StreamerCoreCtrl(core, nullptr), 0);

    EXPECT_EQ(YVK_StreamerCoreRun(core), 1);
    EXPECT_TRUE(core->loopThread.joinable());
    std::thread::id firstLoop = core->loopThread.get_id();
    EXPECT_EQ(YVK_StreamerCoreRun(core), 1); // no second thread
    EXPECT_EQ(core->loopThread.get_id(), firstLoop);

    EXPECT_EQ(YVK_StreamerCoreStop(core), 1);
    EXPECT_FALSE(core->loopThread.joinable());
    EXPECT_EQ(YVK_StreamerCoreStop(core), 1);
    EXPECT_EQ(YVK_StreamerCoreRun(core), 1); // stopped goes back to running
    EXPECT_TRUE(core->loopThread.joinable());
    YVK_StreamerCoreFree(core); // joins the running loop first
}

// Without a descriptor to spare for epoll, New still gives an instance whose
// loop runs (on live555's select() scheduler) and says why.
TEST_F(Lifecycle, WithoutEpollTheLoopRunsOnSelect) {
    YVKStreamerLiveCfg cfg = liveConfig(0);
    cfg.ifName = nullptr; // no network commands, which would need descriptors
    TraceCapture trace;
    yvk::test::NoSpareDescriptors noSpare;
    ASSERT_TRUE(noSpare.lowered());
    YVKStreamerCore* core = YVK_StreamerCoreNew(kOtherMode, &cfg, nullptr, nullptr);
    noSpare.restore();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(dynamic_cast<EpollTaskScheduler*>(core->scheduler), nullptr);
    EXPECT_TRUE(trace.contains("epoll scheduler unavailable (Too many open files), using select()"));
    EXPECT_EQ(YVK_StreamerCoreRun(core), 1);
    EXPECT_EQ(YVK_StreamerCoreStop(core), 1);
    YVK_StreamerCoreFree(core);
}

TEST_F(Lifecycle, LiveInstanceWithoutSourcesListensWithEmptySessionListAndNamesOver127CharactersAreRefused) {
    std::string longest(127, 's'), tooLong(128, 's');
    YVKStreamerLiveCfg cfg = liveConfig(yvk::test::freeTcpPort(), longest.c_str());
    TraceCapture trace;
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    ASSERT_NE(core->rtspServer, nullptr);
    EXPECT_EQ(yvk::test::findSession(*core->rtspServer, longest), nullptr);
    EXPECT_FALSE(trace.contains("Play this stream using the URL"));
    YVK_StreamerCoreFree(core);

    cfg.sessionName = tooLong.c_str();
    EXPECT_EQ(YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, nullptr, nullptr), nullptr);
    EXPECT_TRUE(trace.contains("session name longer than 127 characters"));
}

TEST_F(Lifecycle, HttpStreamingForcesPort8554InTheInstanceCopy) {
    YVKStreamerLiveCfg cfg = liveConfig(1234);
    cfg.streamType = YVK_STREAM_TYPE_HLS;
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->liveCfg.rtspPort, 8554);
    EXPECT_EQ(cfg.rtspPort, 1234); // the caller's record keeps its value
    YVK_StreamerCoreFree(core);
}

// Stream type 4 with nothing that raises readiness: Run gives up after about
// ten seconds and returns 0, and the loop keeps running.  Readiness raised
// before Run lets it return at once.
TEST_F(Lifecycle, SlowHlsReadinessTimeoutKeepsTheLoopRunning) {
    YVKStreamerLiveCfg cfg = liveConfig(0);
    cfg.streamType = YVK_STREAM_TYPE_HLS;
    YVKStreamerCore* core = YVK_StreamerCoreNew(kOtherMode, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    // Triggers are made before the loop runs: only triggerEvent crosses threads.
    static std::atomic<bool> handled{false};
    EventTriggerId trigger = core->scheduler->createEventTrigger([](void*) { handled = true; });
    TraceCapture trace;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(YVK_StreamerCoreRun(core), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(9));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_TRUE(trace.contains("Waiting HLS ready... timeout!"));

    // The loop still handles events: a trigger from this thread is served.
    core->scheduler->triggerEvent(trigger, nullptr);
    for (int i = 0; i < 500 && !handled; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(handled);
    YVK_StreamerCoreStop(core);
    core->scheduler->deleteEventTrigger(trigger);

    core->hlsReady = true;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(YVK_StreamerCoreRun(core), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    YVK_StreamerCoreFree(core);
}

} // namespace
