// The reference host program in live mode against real RTSP clients on
// loopback: per setting one host that FFmpeg (over UDP, and over TCP
// joining late), GStreamer and openRTSP read, at once or one after another,
// and a looped media file.
// Every run ends with the host's own account that each record it lent came
// back exactly once.
#include "Process.hh"
#include "RawHttp.hh"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using yvk::test::ChildProcess;
using yvk::test::ProcessResult;
using yvk::test::runProcess;

namespace {

constexpr int kClientTimeoutMs = 20000;

std::vector<std::string> lines(const std::string& text, const std::string& prefix) {
    return yvk::test::linesStartingWith(text, prefix);
}

long numberAfter(const std::string& text, const char* label) {
    size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + std::char_traits<char>::length(label));
}

// The reference host, started with extra arguments; stopping it checks its
// exit status and its account of the lent records.
class Host {
public:
    explicit Host(std::vector<std::string> args) : fPort(yvk::test::freeTcpPort()) {
        std::vector<std::string> argv = {YVK_BINARY_DIR "/host/yvkstreamer", "live", "--port", std::to_string(fPort),
                                         "--size", "352x288", "--fps", "50"};
        argv.insert(argv.end(), args.begin(), args.end());
        for (size_t i = 0; i + 1 < args.size(); ++i) fName = args[i] == "--name" ? args[i + 1] : fName;
        fProcess = std::make_unique<ChildProcess>(argv);
        fReady = fProcess->waitForOutput("RTSP server: ", 10000);
    }
    bool ready() const { return fReady; }
    unsigned short port() const { return fPort; }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/" + fName; }
    std::string describe() const {
        return yvk::test::rawExchange(fPort, "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n",
                                      5000, true);
    }

    // Its standard error.
    std::string stopAndCheckAccount() {
        EXPECT_EQ(fProcess->stop(SIGINT, 10000), 0) << fProcess->errors();
        std::regex balanced("(video|audio) records: popped ([0-9]+), released \\2, in flight 0, bad releases 0");
        std::string out = fProcess->output();
        size_t accounts = 0;
        for (const std::string& line : lines(out, "")) accounts += std::regex_match(line, balanced) ? 1 : 0;
        EXPECT_EQ(accounts, 2u) << out;
        return fProcess->errors();
    }

private:
    unsigned short fPort;
    std::string fName = "live";
    std::unique_ptr<ChildProcess> fProcess;
    bool fReady = false;
};

// Decoded video frames of an FFmpeg client: "frame|key_frame=..|width=..|height=..".
// The read is cut by time: one cut after a number of packets (NAL units) can
// fall between a key picture's parameter sets and its slice, which FFmpeg
// reports as an access unit without a picture.
ProcessResult probeVideo(const std::string& url, const char* transport, int seconds = 3) {
    return runProcess({"ffprobe", "-v", "error", "-analyzeduration", "1000000", "-rtsp_transport", transport,
                       "-select_streams", "v", "-show_entries", "frame=key_frame,width,height", "-read_intervals",
                       "%+" + std::to_string(seconds), "-of", "compact", url},
                      kClientTimeoutMs);
}

void expectDecodedVideo(const ProcessResult& result, size_t atLeast, const char* size = "width=352|height=288",
                        bool fromKeyFrame = true) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "") << "decode errors";
    auto frames = lines(result.out, "frame|");
    EXPECT_GE(frames.size(), atLeast) << result.out;
    for (const std::string& frame : frames) EXPECT_NE(frame.find(size), std::string::npos) << frame;
    if (fromKeyFrame && !frames.empty()) { EXPECT_NE(frames[0].find("key_frame=1"), std::string::npos) << frames[0]; }
}

// A recording cut by time may end with the in-band parameter sets of a
// picture that never came: it is read up to the end of its last slice.
std::string upToLastPicture(const std::string& annexB, bool h265) {
    const std::string code("\0\0\1", 3);
    size_t end = annexB.size();
    for (size_t at = annexB.rfind(code); at != std::string::npos && at + 3 < annexB.size();
         at = at == 0 ? std::string::npos : annexB.rfind(code, at - 1)) {
        auto header = static_cast<unsigned char>(annexB[at + 3]);
        bool slice = h265 ? ((header >> 1) & 0x3f) < 32 : (header & 0x1f) >= 1 && (header & 0x1f) <= 5;
        if (slice) return annexB.substr(0, end);
        end = at > 0 && annexB[at - 1] == 0 ? at - 1 : at;
    }
    return annexB;
}

// The host's setting per codec, and what the SDP and FFmpeg show of it.
struct LiveCase {
    const char* codec;
    std::vector<std::string> audioArgs;
    const char* fmtp;                 // the video's parameter sets in the SDP (a regular expression)
    std::vector<const char*> sdp;     // texts the SDP holds
    const char* audioStream;          // ffprobe's line of the L16 track
    unsigned bytesPerSampleFrame;     // 0: no audio
    bool together;                    // the clients at once, or one after another
};

void PrintTo(const LiveCase& c, std::ostream* out) { *out << c.codec; }

// The L16 track alone, over TCP: its stream parameters, and per packet the
// RTP timestamp (as pts, in samples) and the payload size.
void expectContinuousPcm(const ProcessResult& result, const LiveCase& c) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(lines(result.out, "stream|"), std::vector<std::string>{c.audioStream}) << result.out;
    auto packets = lines(result.out, "packet|");
    ASSERT_GE(packets.size(), 40u) << result.out;
    int jumps = 0;
    for (size_t i = 1; i < packets.size(); ++i) {
        long samples = numberAfter(packets[i - 1], "size=") / static_cast<long>(c.bytesPerSampleFrame);
        long step = numberAfter(packets[i], "pts=") - numberAfter(packets[i - 1], "pts=");
        // Block durations are whole microseconds, so at rates that do not
        // divide a second evenly a timestamp may land one sample off.
        jumps += std::labs(step - samples) > 1 ? 1 : 0;
    }
    EXPECT_EQ(jumps, 0) << "RTP timestamps do not follow the samples sent\n" << result.out;
}

class LiveRtsp : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveRtsp, ClientsAtOnceDecodeVideoAndAudio) {
    const LiveCase& c = GetParam();
    const std::string codec = c.codec;
    std::vector<std::string> args = {"--codec", codec};
    args.insert(args.end(), c.audioArgs.begin(), c.audioArgs.end());
    setenv("YVK_TRACE_LEVEL", "2", 1); // the host keeps the library to errors unless told otherwise
    Host host(args);
    unsetenv("YVK_TRACE_LEVEL");
    ASSERT_TRUE(host.ready());
    std::string sdp = host.describe();
    EXPECT_TRUE(std::regex_search(sdp, std::regex(c.fmtp))) << sdp;
    for (const char* text : c.sdp) EXPECT_NE(sdp.find(text), std::string::npos) << text << "\n" << sdp;

    ProcessResult early, audio, gstreamer, openRtsp;
    std::vector<std::thread> clients;
    auto start = [&](std::function<void()> client) {
        clients.emplace_back(std::move(client));
        if (!c.together) clients.back().join(), clients.pop_back();
    };
    start([&] { early = probeVideo(host.url(), "udp", 3); });
    if (c.bytesPerSampleFrame != 0) start([&] {
        audio = runProcess({"ffprobe", "-v", "error", "-analyzeduration", "500000", "-rtsp_transport", "tcp",
                            "-allowed_media_types", "audio", "-show_entries",
                            "stream=codec_name,sample_rate,channels:packet=pts,size", "-read_intervals", "%+#40", "-of",
                            "compact", host.url()},
                           kClientTimeoutMs);
    });
    start([&] {
        gstreamer = runProcess({"gst-launch-1.0", "-q", "rtspsrc", "location=" + host.url(), "protocols=tcp", "!",
                                "rtp" + codec + "depay", "!", codec + "parse", "!", "avdec_" + codec, "!", "identity",
                                "eos-after=50", "!", "fakesink"},
                               kClientTimeoutMs);
    });
    start([&] { openRtsp = runProcess({"openRTSP", "-v", "-d", "2", host.url()}, kClientTimeoutMs); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1700)); // inside a one-second GOP
    ProcessResult late = probeVideo(host.url(), "tcp", 2);
    for (std::thread& client : clients) client.join();

    expectDecodedVideo(early, 50);
    expectDecodedVideo(late, 40);
    if (c.bytesPerSampleFrame != 0) expectContinuousPcm(audio, c);
    EXPECT_EQ(gstreamer.exitCode, 0) << gstreamer.err << gstreamer.out;
    EXPECT_EQ(openRtsp.exitCode, 0) << openRtsp.err;
    EXPECT_NE(openRtsp.err.find("a=fmtp:96 "), std::string::npos) << openRtsp.err;
    std::string path = std::string(YVK_BINARY_DIR) + "/openrtsp-" + std::to_string(::getpid()) + "." + codec;
    std::ofstream(path, std::ios::binary) << upToLastPicture(openRtsp.out, codec == "h265");
    ProcessResult written = runProcess({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v",
                                        "-show_entries", "stream=nb_read_frames,width,height", "-of", "compact", path},
                                       kClientTimeoutMs);
    std::remove(path.c_str());
    EXPECT_EQ(written.err, "");
    EXPECT_NE(written.out.find("width=352|height=288"), std::string::npos) << written.out;
    EXPECT_GE(numberAfter(written.out, "nb_read_frames="), 50) << written.out;

    // Without --net-setup the interface commands are only traced.
    std::string errors = host.stopAndCheckAccount();
    EXPECT_NE(errors.find("network set-up not run"), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(
    Codec, LiveRtsp,
    ::testing::Values(
        LiveCase{"h264", {},
                 "a=fmtp:96 profile-level-id=[0-9a-f]{6};sprop-parameter-sets=[A-Za-z0-9+/=]+,[A-Za-z0-9+/=]+\r\n",
                 {"a=x-dimensions:352,288\r\n", "m=audio 0 RTP/AVP 96\r\n", "a=rtpmap:96 L16/16000\r\n"},
                 "stream|codec_name=pcm_s16be|sample_rate=16000|channels=1", 2, true},
        LiveCase{"h265", {"--audio", "none"},
                 "a=fmtp:96 sprop-vps=[A-Za-z0-9+/=]+;sprop-sps=[A-Za-z0-9+/=]+;sprop-pps=[A-Za-z0-9+/=]+\r\n",
                 {"a=x-dimensions:352,288\r\n"}, "", 0, false},
        LiveCase{"h264", {"--audio-rate", "44100", "--audio-channels", "2"}, "a=fmtp:96 profile-level-id=",
                 {"m=audio 0 RTP/AVP 10\r\n"}, "stream|codec_name=pcm_s16be|sample_rate=44100|channels=2", 4, false}),
    [](const auto& info) { return std::string(info.param.codec) + "_" + std::to_string(info.index); });

// The reference host serves its web/ folder on the RTSP port, wherever it
// runs from (here: the test's working directory), and nothing outside it.
TEST(LiveRtspHost, ServesItsWebPageWhereverItRuns) {
    Host host({"--audio", "none"});
    ASSERT_TRUE(host.ready());
    std::ifstream page(YVK_SOURCE_DIR "/web/index.html", std::ios::binary);
    std::string expected((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(expected.empty());
    std::string reply = yvk::test::rawExchange(host.port(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 5000);
    EXPECT_EQ(yvk::test::replyBody(reply), expected) << reply.substr(0, 200);
    for (const char* path : {"/../CMakeLists.txt", "/.gitignore", "/package-lock.json/../../README.md"}) {
        reply = yvk::test::rawExchange(host.port(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n", 5000);
        EXPECT_EQ(reply.find(" 200 OK"), std::string::npos) << path << "\n" << reply.substr(0, 200);
    }
    host.stopAndCheckAccount();
}

// A media file with B pictures (H.264) or open GOPs (H.265), played by the
// host in real time and looped: a 1.2 s clip gives more than 50 frames.
TEST(LiveRtspFile, LoopedFileDecodes) {
    for (const char* encoder : {"libx264", "libx265"}) {
        std::string clip = std::string(YVK_BINARY_DIR) + "/e2e-clip-" + encoder + ".mkv";
        ProcessResult made = runProcess({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                         "testsrc=size=320x240:rate=25", "-t", "1.2", "-c:v", encoder, "-g", "12",
                                         "-x265-params", "log-level=error", clip},
                                        kClientTimeoutMs);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        Host host({"--source", clip, "--audio", "none", "--name", "cam"});
        ASSERT_TRUE(host.ready());
        SCOPED_TRACE(encoder);
        expectDecodedVideo(probeVideo(host.url(), "tcp"), 50, "width=320|height=240", false);
        host.stopAndCheckAccount();
        std::remove(clip.c_str());
    }
}

} // namespace
