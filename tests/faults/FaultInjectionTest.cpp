// Fault injection at the platform seam: for every service the library calls
// into (allocation, queue creation, thread start, demux open, demux read,
// encoder open), each scenario is run once with the Nth call of that service
// failing, for N from 1 up to the calls the scenario makes (read calls are
// sampled), and once more with reads failing for good from the Nth on.  A scenario is New, Run, a client's DESCRIBE/SETUP/PLAY over
// RTSP and Free with that client still connected.  Whatever fails: no crash,
// Free within its bound, a trace line that names the failure, every host
// record and every YVK_Malloc block given back exactly once (and, in the
// sanitizer stage, no leak).  A clean run after the faults must still stream.
#include "CoreTestSupport.hh"
#include "DescriptorLimit.hh"
#include "FaultSwitch.hh"
#include "PacedLiveHost.hh"
#include "Process.hh"
#include "RtspPlayer.hh"
#include "TraceCapture.hh"
#include "yvk_system.h"
#include "yvkstreamer_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using yvk::test::PacedLiveHost;
using yvk::test::PlayOutcome;
using yvk::test::Service;
using Clock = std::chrono::steady_clock;

constexpr int kPlayMs = 300;
constexpr int kReplyTimeoutMs = 3000 * YVK_TIME_FACTOR;
constexpr long kTeardownBoundMs = 3000L * YVK_TIME_FACTOR;
// Calls of one service tried per scenario; beyond, N is sampled.  Reads,
// whose count depends on how far the client got, are always sampled.
constexpr int kMaxNsPerService = 24;
constexpr int kReadNsPerScenario = 6;

std::string media(const char* name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

// Words of which a trace line about the failed service names one.
std::vector<std::string> failureWords(Service service) {
    switch (service) {
    case Service::Allocation: return {"malloc", "alloc", "memory"};
    case Service::QueueCreation: return {"queue"};
    case Service::ThreadStart: return {"thread"};
    case Service::DemuxOpen: return {"open"};
    case Service::DemuxRead: return {"demux read"};
    case Service::EncoderOpen: return {"encoder", "decoder", "transcod"};
    }
    return {};
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool namesFailure(const yvk::test::TraceCapture& traces, Service service) {
    for (const yvk::test::TraceLine& line : traces.lines()) {
        // A read that gives nothing reads as the end of a stream, which is
        // news, not always an error; every other failure is an error.
        int lowest = service == Service::DemuxRead ? YVK_TRACE_INFO : YVK_TRACE_ERROR;
        if (line.level > lowest) continue;
        std::string message = lower(line.message);
        for (const std::string& word : failureWords(service))
            if (message.find(word) != std::string::npos) return true;
    }
    return false;
}

std::string allLines(const yvk::test::TraceCapture& traces) {
    std::string text;
    for (const yvk::test::TraceLine& line : traces.lines())
        text += std::to_string(line.level) + " " + line.module + " " + line.function + ": " + line.message + "\n";
    return text;
}

// What fails: one call of each service, and reads for good from one on.
struct FaultKind {
    Service service;
    bool sticky;
};
const FaultKind kFaultKinds[] = {{Service::Allocation, false}, {Service::QueueCreation, false},
                                 {Service::ThreadStart, false}, {Service::DemuxOpen, false},
                                 {Service::DemuxRead, false},   {Service::DemuxRead, true},
                                 {Service::EncoderOpen, false}};

// ---- scenarios ----------------------------------------------------------------

// One New, Run, client, Free; the host (if any) lives around it.
struct Scenario {
    const char* name;
    int mode;
    std::function<void(YVKStreamerLiveCfg&)> live;  // live mode: adjusts the record the host filled
    std::function<void(YVKStreamerFileCfg&)> file;  // file mode: fills the record
    const char* session;
    bool http = false;                               // stream type 4: fixed port 8554
    unsigned pcmBlockBytes = 640;                    // live: 20 ms of 16 kHz mono, as RTP sends it
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const char* playListEntry(int index) {
    static const std::string names[] = {media("list-1.mp4"), media("list-2.mp4")};
    return index >= 0 && index < 2 ? names[index].c_str() : nullptr;
}

void ignoreText(uint64_t, char*, int) {}

struct RunResult {
    bool created = false;
    bool ran = false;
    PlayOutcome client;
    long freeMs = 0;
    bool hostBalanced = true;
    int descriptorsLeft = 0; // opened by the run and still open after it
};

class FaultInjection : public ::testing::TestWithParam<Scenario> {
protected:
    // Runs the scenario once with whatever fault is armed.
    RunResult runOnce(Service service, int nth, bool sticky = false) {
        const Scenario& scenario = GetParam();
        RunResult result;
        yvk::test::guardNetworkSetup();
        int descriptorsBefore = yvk::test::openDescriptors();
        unsigned short port = scenario.http ? 8554 : yvk::test::freeTcpPort();
        std::unique_ptr<PacedLiveHost> host;
        YVKStreamerCore* core = nullptr;
        if (scenario.mode == YVK_STREAMER_MODE_LIVE) {
            host = std::make_unique<PacedLiveHost>(media("encoder-x264-default.h264"), false,
                                                   scenario.pcmBlockBytes);
            host->start();
            YVKStreamerLiveCfg cfg = yvk::test::liveConfig(port, scenario.session);
            host->describeStreams(cfg, 352, 288, 512 * 1024);
            scenario.live(cfg);
            YVKStreamerQIO videoIO = host->videoIO();
            YVKStreamerQIO audioIO = host->audioIO();
            yvk::test::armFault(service, nth, sticky);
            core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
        } else {
            YVKStreamerFileCfg cfg = yvk::test::fileConfig(port, scenario.session);
            scenario.file(cfg);
            yvk::test::armFault(service, nth, sticky);
            core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
        }
        result.created = core != nullptr;
        if (core != nullptr) {
            // A host whose Run failed frees the instance without waiting
            // for clients.
            result.ran = YVK_StreamerCoreRun(core) == 1;
            yvk::test::RtspPlayer player(port, scenario.session, kReplyTimeoutMs);
            if (result.ran) result.client = player.play(kPlayMs);
            auto start = Clock::now();
            YVK_StreamerCoreFree(core);
            result.freeMs = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        }
        yvk::test::disarmFaults();
        if (host != nullptr) {
            host->stop();
            result.hostBalanced = host->accountClosed();
        }
        result.descriptorsLeft = yvk::test::openDescriptors() - descriptorsBefore;
        return result;
    }

    // Whether the run got over its fault: Free within the bound, host
    // records and YVK_Malloc blocks given back, no descriptor left open, a
    // trace line that names the failure.
    static bool survivedFault(Service service, const RunResult& run, const yvk::test::TraceCapture& traces) {
        bool bounded = run.freeMs < kTeardownBoundMs;
        bool released = yvk::test::outstandingAllocations() == 0 && yvk::test::foreignFrees() == 0 &&
                        run.descriptorsLeft <= 0;
        bool quiet = yvk::test::failedCalls(service) == yvk::test::quietFailures(service);
        bool traced = quiet || namesFailure(traces, service);
        EXPECT_TRUE(bounded) << "Free took " << run.freeMs << " ms";
        EXPECT_TRUE(run.hostBalanced) << "a host record was not released exactly once";
        EXPECT_TRUE(released) << yvk::test::outstandingAllocations() << " YVK_Malloc blocks outstanding, "
                              << yvk::test::foreignFrees() << " YVK_Free calls of blocks not outstanding, "
                              << run.descriptorsLeft << " descriptors left open";
        EXPECT_TRUE(traced) << "no trace line names the failure\n" << run.client.log << allLines(traces);
        return bounded && run.hostBalanced && released && traced;
    }

    // Reads failing for good from the Nth on (the medium went away): the
    // first, one mid-stream and the last the clean run made.
    static std::vector<int> stickyNs(int count) {
        if (count <= 2) return nsToTry(count, count);
        return {1, count / 2, count};
    }

    // Ns to try for a service the clean run called count times: all of them
    // up to most, else the first three and the rest spread to the last.
    static std::vector<int> nsToTry(int count, int most) {
        std::vector<int> ns;
        if (count <= most) {
            for (int n = 1; n <= count; ++n) ns.push_back(n);
            return ns;
        }
        ns = {1, 2, 3};
        for (int i = 1; i <= most - 3; ++i) ns.push_back(3 + (count - 3) * i / (most - 3));
        return ns;
    }
};

TEST_P(FaultInjection, EveryFailedPlatformCallIsSurvived) {
    const Scenario& scenario = GetParam();
    int calls[yvk::test::kServiceCount] = {};
    {
        SCOPED_TRACE("clean run");
        yvk::test::TraceCapture traces;
        RunResult clean = runOnce(Service::Allocation, 0);
        for (int s = 0; s < yvk::test::kServiceCount; ++s) calls[s] = yvk::test::serviceCalls(static_cast<Service>(s));
        ASSERT_TRUE(clean.created) << allLines(traces);
        EXPECT_LE(clean.descriptorsLeft, 0) << "descriptors left open";
        EXPECT_EQ(yvk::test::outstandingAllocations(), 0u);
        EXPECT_TRUE(clean.hostBalanced) << "a host record was not released exactly once";
        ASSERT_GT(clean.client.packets, 0) << clean.client.log << allLines(traces);
    }
    std::string summary;
    for (const FaultKind& kind : kFaultKinds) {
        int count = calls[static_cast<int>(kind.service)];
        int survived = 0, injectedRuns = 0;
        int most = kind.service == Service::DemuxRead ? kReadNsPerScenario : kMaxNsPerService;
        for (int nth : kind.sticky ? stickyNs(count) : nsToTry(count, most)) {
            std::string label = std::string(yvk::test::serviceName(kind.service)) + " call " + std::to_string(nth) +
                                " of " + std::to_string(count) + (kind.sticky ? " and every later one" : "") + " fails";
            SCOPED_TRACE(label);
            yvk::test::TraceCapture traces;
            RunResult run = runOnce(kind.service, nth, kind.sticky);
            if (yvk::test::failedCalls(kind.service) == 0) continue; // this run made fewer calls
            ++injectedRuns;
            if (survivedFault(kind.service, run, traces)) ++survived;
        }
        summary += std::string(" ") + yvk::test::serviceName(kind.service) + (kind.sticky ? " (from then on) " : " ") +
                   std::to_string(survived) + "/" + std::to_string(injectedRuns) + " (of " + std::to_string(count) +
                   " calls);";
    }
    std::printf("faults survived in %s:%s\n", scenario.name, summary.c_str());
    std::fflush(stdout);
    RecordProperty("survived", summary);

    SCOPED_TRACE("clean run after the faults");
    yvk::test::TraceCapture traces;
    RunResult after = runOnce(Service::Allocation, 0);
    EXPECT_TRUE(after.created) << allLines(traces);
    EXPECT_TRUE(after.hostBalanced) << "a host record was not released exactly once";
    EXPECT_GT(after.client.packets, 0) << after.client.log << allLines(traces);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, FaultInjection,
    ::testing::Values(
        // The clip's video with the host's PCM, as the host describes them.
        Scenario{"LiveRtspVideoAndPcm", YVK_STREAMER_MODE_LIVE, [](YVKStreamerLiveCfg&) {}, nullptr, "live"},
        Scenario{"LiveHttpVideoAndAac", YVK_STREAMER_MODE_LIVE,
                 [](YVKStreamerLiveCfg& cfg) { cfg.streamType = YVK_STREAM_TYPE_HLS; },
                 nullptr, "live", true, 2048}, // one AAC frame a block
        // H.265 transcoded to H.264, AAC delivered as PCM, subtitles read.
        Scenario{"FileH265AacText", YVK_STREAMER_MODE_FILE, nullptr,
                 [](YVKStreamerFileCfg& cfg) {
                     static const std::string name = media("clip.mkv");
                     cfg.fileName = name.c_str();
                     cfg.textEnable = 1;
                     cfg.textCallback = ignoreText;
                 },
                 "vod"},
        // MP3 decoded and encoded to AAC.
        Scenario{"FileH264Mp3", YVK_STREAMER_MODE_FILE, nullptr,
                 [](YVKStreamerFileCfg& cfg) {
                     static const std::string name = media("clip.avi");
                     cfg.fileName = name.c_str();
                 },
                 "vod"},
        // A play list: file-input records, silence for ended audio.
        Scenario{"FilePlayList", YVK_STREAMER_MODE_FILE, nullptr,
                 [](YVKStreamerFileCfg& cfg) {
                     cfg.fileName = "";
                     cfg.getFileName = playListEntry;
                     cfg.videoMaster = 1;
                 },
                 "vod"}),
    [](const auto& info) { return std::string(info.param.name); });

// A client's session (DESCRIBE, SETUP, PLAY, a seek while it plays) reads
// through the handles the file instance opened: the demux service opens no
// file for it (an open costs a container parse, tens of milliseconds).
TEST(FileStartCalls, SetUpPlayAndSeekOpenNoFile) {
    yvk::test::guardNetworkSetup();
    unsigned short port = yvk::test::freeTcpPort();
    static const std::string name = media("clip.mp4");
    YVKStreamerFileCfg cfg = yvk::test::fileConfig(port, "vod", name.c_str());
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(core), 1);
    for (int client = 0; client < 2; ++client) {
        SCOPED_TRACE("client " + std::to_string(client + 1));
        yvk::test::RtspPlayer player(port, "vod", kReplyTimeoutMs);
        yvk::test::armFault(Service::DemuxOpen, 0);  // counts only
        PlayOutcome outcome = player.setUp();
        ASSERT_EQ(outcome.setUp, 2) << outcome.log;
        player.playFor(outcome, kPlayMs);
        EXPECT_TRUE(outcome.playing) << outcome.log;
        EXPECT_GT(outcome.packets, 0);
        int packets = outcome.packets;
        player.playFor(outcome, kPlayMs, "npt=2.000-");
        EXPECT_TRUE(outcome.playing) << outcome.log;
        EXPECT_GT(outcome.packets, packets) << "streams on after the seek";
        EXPECT_EQ(yvk::test::serviceCalls(Service::DemuxOpen), 0);
        yvk::test::disarmFaults();
    }
    YVK_StreamerCoreFree(core);
}

// A host may free the instance while a client still plays over its RTSP
// connection, after a seek: closing that connection looks up the client's
// session, which must still be there.
TEST(InstanceFree, WhileAClientStreamsOverItsConnection) {
    yvk::test::guardNetworkSetup();
    unsigned short port = yvk::test::freeTcpPort();
    static const std::string name = media("clip.mp4");
    YVKStreamerFileCfg cfg = yvk::test::fileConfig(port, "vod", name.c_str());
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(core), 1);
    yvk::test::RtspPlayer player(port, "vod", kReplyTimeoutMs);
    PlayOutcome outcome = player.setUp();
    ASSERT_EQ(outcome.setUp, 2) << outcome.log;
    player.playFor(outcome, kPlayMs);
    player.playFor(outcome, kPlayMs, "npt=2.000-"); // a seek, as a player's
    EXPECT_TRUE(outcome.playing) << outcome.log;
    YVK_StreamerCoreFree(core); // the player's connection is still open
}

} // namespace
