// Live input as real encoders and real hosts produce it, end to end in the
// test's own process (so the sanitizer stages see the library at work):
// - what libx264 and libx265 write at their default settings, with slices,
//   SEI and delimiters, lent as it came, served over RTSP (UDP and TCP) and
//   HTTP and decoded by FFmpeg;
// - a hostile host: a popStream that ignores its timeout, empty, garbage and
//   oversized records, resync storms, no parameter sets at all, audio that
//   stops; the host's account of its records must close after each;
// - teardown while HTTP readers stall mid-segment and RTSP clients play.
#include "E2eClients.hh"
#include "PacedLiveInstance.hh"
#include "RawHttp.hh"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace yvk::test;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 352;
constexpr int kHeight = 288;
constexpr unsigned kAacBlockBytes = 2048; // 1024 16-bit mono samples: one AAC frame
constexpr unsigned kMaxFrameSize = 512 * 1024;

// An instance on a host that lends an encoder's output from the corpus.
struct LiveInstance : PacedLiveInstance {
    LiveInstance(const std::string& name, bool h265, bool http, const HostMisbehaviour& how = {})
        : PacedLiveInstance(hostOf(name, h265, how), http, kWidth, kHeight) {}
    static std::unique_ptr<PacedLiveHost> hostOf(const std::string& name, bool h265, const HostMisbehaviour& how) {
        auto host = std::make_unique<PacedLiveHost>(std::string(YVK_MEDIA_DIR) + "/encoder-" + name, h265, kAacBlockBytes);
        host->misbehave(how);
        return host;
    }
};

const std::string kSize = "width=" + std::to_string(kWidth) + "|height=" + std::to_string(kHeight);

// ---- the encoder corpus ------------------------------------------------------

struct EncoderOutput {
    const char* file;
    bool h265;
};

void PrintTo(const EncoderOutput& e, std::ostream* out) { *out << e.file; }

class EncoderCorpus : public ::testing::TestWithParam<EncoderOutput> {};

TEST_P(EncoderCorpus, ServedOverRtspUdpAndTcpEveryFrameDecodes) {
    LiveInstance instance(GetParam().file, GetParam().h265, false);
    ASSERT_TRUE(instance.run());
    std::string sdp = instance.describe(15000);
    EXPECT_NE(sdp.find(GetParam().h265 ? "a=fmtp:96 sprop-vps=" : "a=fmtp:96 profile-level-id="), std::string::npos)
        << sdp;
    for (const char* transport : {"udp", "tcp"}) {
        SCOPED_TRACE(transport);
        expectDecodedVideo(probeVideo(instance.url(), transport, 4), 50, kSize);
    }
}

TEST_P(EncoderCorpus, ServedOverHttpASegmentHoldsTheVideoAndAac) {
    LiveInstance instance(GetParam().file, GetParam().h265, true);
    ASSERT_TRUE(instance.run());
    std::vector<std::string> urls = waitForSegments(3);
    ASSERT_GE(urls.size(), 3u);
    std::string codecs = segmentCodecs(urls[1]);
    std::string video = std::string(GetParam().h265 ? "hevc" : "h264") + "," + std::to_string(kWidth) + "," +
                        std::to_string(kHeight);
    EXPECT_NE(codecs.find(video), std::string::npos) << codecs;
    EXPECT_NE(codecs.find("aac"), std::string::npos) << codecs;
}

INSTANTIATE_TEST_SUITE_P(Encoders, EncoderCorpus,
                         ::testing::Values(EncoderOutput{"x264-default.h264", false},
                                           EncoderOutput{"x264-slices4.h264", false},
                                           EncoderOutput{"x264-aud-sei.h264", false},
                                           EncoderOutput{"x265-default.hevc", true},
                                           EncoderOutput{"x265-slices2.hevc", true}),
                         [](const auto& info) { return testName(info.param.file); });

// ---- a hostile host --------------------------------------------------------

// Bad records between the good ones: clients still decode from key picture
// to key picture, and every record goes back once.
TEST(HostileHost, BadRecordsBetweenGoodOnesDecodeAndBalance) {
    struct Case {
        const char* name;
        HostMisbehaviour how;
    } cases[] = {
        {"records of size 0", [] { HostMisbehaviour h; h.emptyRecords = true; return h; }()},
        {"garbage without start codes", [] { HostMisbehaviour h; h.garbage = true; return h; }()},
        {"larger than maxFrameSize", [] { HostMisbehaviour h; h.hugeBytes = kMaxFrameSize + 200000; return h; }()},
        {"resync storms", [] { HostMisbehaviour h; h.resyncStorm = true; return h; }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LiveInstance instance("x264-default.h264", false, false, c.how);
        ASSERT_TRUE(instance.run());
        expectFrames(probeVideo(instance.url(), "tcp", 3), 40);
    }
}

// No parameter sets ever: DESCRIBE is answered within the bound, without the
// "a=fmtp" line; Stop with a DESCRIBE pending, and Free, return at once.
TEST(HostileHost, WithoutParameterSetsDescribeIsAnsweredAndStopDoesNotWait) {
    HostMisbehaviour how;
    how.noParameterSets = true;
    LiveInstance instance("x264-default.h264", false, false, how);
    ASSERT_TRUE(instance.run());
    std::string sdp = instance.describe(30000); // answered after the source's 10 s bound
    EXPECT_NE(sdp.find("RTSP/1.0 200 OK"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("m=video"), std::string::npos) << sdp;
    EXPECT_EQ(sdp.find("a=fmtp"), std::string::npos) << sdp;

    std::string pending;
    std::thread client([&] { pending = instance.describe(30000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the DESCRIBE waits for the sets
    auto start = Clock::now();
    EXPECT_EQ(YVK_StreamerCoreStop(instance.core()), 1);
    EXPECT_LT(Clock::now() - start, PacedLiveInstance::kTeardownBound) << "Stop took too long";
    client.join();
    instance.free();
}

// A popStream that keeps the reader for 4 s, whatever its 1 s timeout, while
// the instance streams: Free does not wait for it, and the record the late
// pop returns still goes back.
TEST(HostileHost, PopStreamIgnoringItsTimeoutDoesNotHoldFree) {
    HostMisbehaviour how;
    how.stallPopMs = 4000;
    how.stallAtPop = 30;
    LiveInstance instance("x264-default.h264", false, false, how);
    ASSERT_TRUE(instance.run());
    ChildProcess player(ffmpegPlaying(instance.url(), "tcp"));
    for (int i = 0; i < 2000 && !instance.host().stalling(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(instance.host().stalling());
    instance.free();
    player.stop(SIGTERM, 5000);
}

// ---- teardown with clients ---------------------------------------------------

// UDP sockets open in this network namespace (only this process uses it).
int udpSockets() {
    int count = 0;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        for (std::getline(in, line); std::getline(in, line);) ++count; // the first line is the header
    }
    return count;
}

// HTTP streaming: segment downloads that stall, and RTSP clients playing the
// Transport Stream, when the host stops its audio and the instance is freed.
// A segment download opens no RTP or RTCP socket.
TEST(Teardown, FreeWithStalledSegmentReadersAndPlayingRtspClients) {
    HostMisbehaviour how;
    how.inactiveAfterAudioPops = 60; // about 4 s of AAC frames: the host stops its audio mid-test
    LiveInstance instance("x264-default.h264", false, true, how);
    ASSERT_TRUE(instance.run());
    std::vector<std::string> urls = waitForSegments(3);
    ASSERT_GE(urls.size(), 3u);
    ChildProcess player(ffmpegPlaying("rtsp://127.0.0.1:8554/live", "tcp"));
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the player plays
    int udpBefore = udpSockets();
    // Readers that send their request and then read nothing, with a tiny
    // receive buffer: the server's send stalls mid-body.
    std::vector<Connection> readers;
    for (const std::string& url : urls) {
        readers.emplace_back(8554, 1024);
        EXPECT_TRUE(readers.back().send("GET /" + url + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the readers stall
    EXPECT_EQ(udpSockets(), udpBefore) << "segment requests opened UDP sockets";
    instance.free();
    player.stop(SIGTERM, 5000);
}

// RTSP: clients over UDP and TCP are playing when the instance is freed.
TEST(Teardown, FreeWithPlayingRtspClients) {
    LiveInstance instance("x264-slices4.h264", false, false);
    ASSERT_TRUE(instance.run());
    std::vector<std::unique_ptr<ChildProcess>> players;
    for (const char* transport : {"udp", "tcp", "tcp"}) {
        players.push_back(std::make_unique<ChildProcess>(ffmpegPlaying(instance.url(), transport)));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    instance.free();
    for (auto& player : players) player->stop(SIGTERM, 5000);
}

} // namespace
