// Live input as real encoders and real hosts produce it, end to end in the
// test's own process (so the sanitizer stages see the library at work):
// - what libx264 and libx265 write at their default settings, with slices,
//   SEI and delimiters, lent as it came, served over RTSP (UDP and TCP) and
//   HTTP and decoded by FFmpeg;
// - a hostile host: a popStream that ignores its timeout, empty, garbage and
//   oversized records, resync storms, no parameter sets at all, audio that
//   stops; the host's account of its records must close after each;
// - teardown while HTTP readers stall mid-segment and RTSP clients play.
#include "CoreInstance.hh"
#include "CoreTestSupport.hh"
#include "PacedLiveHost.hh"
#include "Process.hh"
#include "RawHttp.hh"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using yvk::test::ChildProcess;
using yvk::test::HostMisbehaviour;
using yvk::test::PacedLiveHost;
using yvk::test::ProcessResult;
using yvk::test::runProcess;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 352;
constexpr int kHeight = 288;
constexpr unsigned kAacBlockBytes = 2048; // 1024 16-bit mono samples: one AAC frame
constexpr unsigned kMaxFrameSize = 512 * 1024;
constexpr int kClientTimeoutMs = 30000;
// Stop and Free return within this, whatever the host and the clients do.
constexpr auto kTeardownBound = std::chrono::seconds(2);

std::string corpusFile(const std::string& name) {
    return std::string(YVK_MEDIA_DIR) + "/encoder-" + name;
}

long msSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// One live instance on a paced host; the destructor frees it within the
// bound and checks the host's account.
class LiveInstance {
public:
    LiveInstance(const std::string& clip, bool h265, bool http, const HostMisbehaviour& how = {})
        : fHost(std::make_unique<PacedLiveHost>(clip, h265, kAacBlockBytes)),
          fPort(http ? 8554 : yvk::test::freeTcpPort()) {
        yvk::test::guardNetworkSetup();
        fHost->misbehave(how);
        YVKStreamerLiveCfg cfg = yvk::test::liveConfig(fPort, "live");
        cfg.streamType = http ? YVK_STREAM_TYPE_HLS : YVK_STREAM_TYPE_RTSP;
        fHost->describeStreams(cfg, kWidth, kHeight, kMaxFrameSize);
        cfg.audio.enable = http ? 1 : 0; // AAC in the Transport Stream
        YVKStreamerQIO videoIO = fHost->videoIO();
        YVKStreamerQIO audioIO = fHost->audioIO();
        fHost->start();
        fCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
    }
    ~LiveInstance() {
        free();
        fHost->stop();
        fHost->waitForStallEnd(); // a reader left in popStream releases its record then
        EXPECT_TRUE(fHost->accountClosed()) << "a popped record was not released exactly once";
    }
    bool run() { return fCore != nullptr && YVK_StreamerCoreRun(fCore) == 1; }
    // Free, which must come back within the bound.
    void free() {
        if (fCore == nullptr) return;
        auto start = Clock::now();
        YVK_StreamerCoreFree(fCore);
        fCore = nullptr;
        EXPECT_LT(Clock::now() - start, kTeardownBound) << "Free took " << msSince(start) << " ms";
    }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/live"; }
    std::string describe(int timeoutMs) const {
        return yvk::test::rawExchange(fPort, "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n",
                                      timeoutMs, true);
    }
    YVKStreamerCore* core() const { return fCore; }
    PacedLiveHost& host() { return *fHost; }

private:
    std::unique_ptr<PacedLiveHost> fHost;
    unsigned short fPort;
    YVKStreamerCore* fCore = nullptr;
};

// Decoded video frames of an FFmpeg client, "frame|width=..|height=..".
// The read is cut by time: one cut after a number of packets (NAL units) can
// fall between a key picture's parameter sets and its slice, which FFmpeg
// reports as an access unit without a picture.
ProcessResult probeVideo(const std::string& url, const char* transport, int seconds = 3) {
    return runProcess({"ffprobe", "-v", "error", "-analyzeduration", "1000000", "-rtsp_transport", transport,
                       "-select_streams", "v", "-show_entries", "frame=width,height", "-read_intervals",
                       "%+" + std::to_string(seconds), "-of", "compact", url},
                      kClientTimeoutMs);
}

void expectDecodedVideo(const ProcessResult& result, size_t atLeast) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "") << "decode errors";
    auto frames = yvk::test::linesStartingWith(result.out, "frame|");
    EXPECT_GE(frames.size(), atLeast) << result.out;
    const std::string size = "width=" + std::to_string(kWidth) + "|height=" + std::to_string(kHeight);
    for (const std::string& frame : frames) EXPECT_NE(frame.find(size), std::string::npos) << frame;
}

// The segment URLs of the HLS playlist once it lists count of them (10 s at most).
std::vector<std::string> waitForSegments(size_t count) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        std::string list = runProcess({"curl", "-sS", "-m", "5", "http://127.0.0.1:8554/live.m3u8"}, 10000).out;
        std::vector<std::string> urls;
        for (const std::string& line : yvk::test::linesStartingWith(list, "live?segment="))
            urls.push_back(line.substr(0, line.find('\r')));
        if (urls.size() >= count) return urls;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return {};
}

// ---- the encoder corpus ------------------------------------------------------

struct EncoderOutput {
    const char* file;
    bool h265;
};

void PrintTo(const EncoderOutput& e, std::ostream* out) { *out << e.file; }

class EncoderCorpus : public ::testing::TestWithParam<EncoderOutput> {};

TEST_P(EncoderCorpus, ServedOverRtspUdpAndTcpEveryFrameDecodes) {
    LiveInstance instance(corpusFile(GetParam().file), GetParam().h265, false);
    ASSERT_TRUE(instance.run());
    std::string sdp = instance.describe(15000);
    EXPECT_NE(sdp.find(GetParam().h265 ? "a=fmtp:96 sprop-vps=" : "a=fmtp:96 profile-level-id="), std::string::npos)
        << sdp;
    for (const char* transport : {"udp", "tcp"}) {
        SCOPED_TRACE(transport);
        expectDecodedVideo(probeVideo(instance.url(), transport, 4), 50);
    }
}

TEST_P(EncoderCorpus, ServedOverHttpASegmentHoldsTheVideoAndAac) {
    LiveInstance instance(corpusFile(GetParam().file), GetParam().h265, true);
    ASSERT_TRUE(instance.run());
    std::vector<std::string> urls = waitForSegments(3);
    ASSERT_GE(urls.size(), 3u);
    std::string file = "/tmp/yvk-corpus-segment-" + std::to_string(::getpid()) + ".ts";
    ProcessResult fetched = runProcess({"curl", "-sS", "-m", "5", "-o", file, "http://127.0.0.1:8554/" + urls[1]}, 10000);
    ProcessResult probe = runProcess({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height",
                                      "-of", "csv=p=0", file},
                                     kClientTimeoutMs);
    std::remove(file.c_str());
    std::string codecs = fetched.err + probe.out + probe.err;
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
                         [](const auto& info) {
                             std::string name = info.param.file;
                             for (char& c : name)
                                 if (c == '-' || c == '.') c = '_';
                             return name;
                         });

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
        LiveInstance instance(corpusFile("x264-default.h264"), false, false, c.how);
        ASSERT_TRUE(instance.run());
        ProcessResult probe = probeVideo(instance.url(), "tcp", 3);
        EXPECT_EQ(probe.exitCode, 0) << probe.err;
        EXPECT_GE(yvk::test::linesStartingWith(probe.out, "frame|").size(), 40u) << probe.err;
    }
}

// No parameter sets ever: DESCRIBE is answered within the bound, without the
// "a=fmtp" line; Stop with a DESCRIBE pending, and Free, return at once.
TEST(HostileHost, WithoutParameterSetsDescribeIsAnsweredAndStopDoesNotWait) {
    HostMisbehaviour how;
    how.noParameterSets = true;
    LiveInstance instance(corpusFile("x264-default.h264"), false, false, how);
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
    EXPECT_LT(Clock::now() - start, kTeardownBound) << "Stop took " << msSince(start) << " ms";
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
    LiveInstance instance(corpusFile("x264-default.h264"), false, false, how);
    ASSERT_TRUE(instance.run());
    ChildProcess player({"ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", instance.url(), "-f", "null", "-"});
    for (int i = 0; i < 2000 && !instance.host().stalling(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(instance.host().stalling());
    instance.free();
    player.stop(SIGTERM, 5000);
}

// ---- teardown with clients ---------------------------------------------------

// A TCP connection that sends a request and then reads nothing, with a tiny
// receive buffer: the server's send stalls mid-body.
class StalledReader {
public:
    StalledReader(unsigned short port, const std::string& request) {
        fSocket = socket(AF_INET, SOCK_STREAM, 0);
        int tiny = 1024;
        setsockopt(fSocket, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fConnected = connect(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     send(fSocket, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }
    ~StalledReader() { close(fSocket); }
    bool connected() const { return fConnected; }

private:
    int fSocket = -1;
    bool fConnected = false;
};

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
    LiveInstance instance(corpusFile("x264-default.h264"), false, true, how);
    ASSERT_TRUE(instance.run());
    std::vector<std::string> urls = waitForSegments(3);
    ASSERT_GE(urls.size(), 3u);
    ChildProcess player({"ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", "rtsp://127.0.0.1:8554/live", "-f",
                         "null", "-"});
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the player plays
    int udpBefore = udpSockets();
    std::vector<std::unique_ptr<StalledReader>> readers;
    for (const std::string& url : urls) {
        readers.push_back(std::make_unique<StalledReader>(8554, "GET /" + url + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_TRUE(readers.back()->connected());
    }
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the readers stall
    EXPECT_EQ(udpSockets(), udpBefore) << "segment requests opened UDP sockets";
    instance.free();
    player.stop(SIGTERM, 5000);
}

// RTSP: clients over UDP and TCP are playing when the instance is freed.
TEST(Teardown, FreeWithPlayingRtspClients) {
    LiveInstance instance(corpusFile("x264-slices4.h264"), false, false);
    ASSERT_TRUE(instance.run());
    std::vector<std::unique_ptr<ChildProcess>> players;
    for (const char* transport : {"udp", "tcp", "tcp"}) {
        players.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{
            "ffmpeg", "-v", "error", "-rtsp_transport", transport, "-i", instance.url(), "-f", "null", "-"}));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    instance.free();
    for (auto& player : players) player->stop(SIGTERM, 5000);
}

} // namespace
