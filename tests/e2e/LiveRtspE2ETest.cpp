// The reference host program in live mode against real RTSP clients on
// loopback: FFmpeg over UDP and TCP, several clients at once, a client that
// joins late, openRTSP and GStreamer.  Every run ends with the host's own
// account that each record it lent came back exactly once.
#include "Process.hh"
#include "RawHttp.hh"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using yvk::test::ChildProcess;
using yvk::test::ProcessResult;
using yvk::test::runProcess;

namespace {

constexpr int kClientTimeoutMs = 20000;
const char* const kSize = "352x288";

std::vector<std::string> lines(const std::string& text, const std::string& prefix) {
    return yvk::test::linesStartingWith(text, prefix);
}

// The reference host, started with extra arguments; stopping it checks its
// exit status and its account of the lent records.
class Host {
public:
    explicit Host(std::vector<std::string> args) : fPort(yvk::test::freeTcpPort()) {
        std::vector<std::string> argv = {YVK_BINARY_DIR "/host/yvkstreamer", "live", "--port", std::to_string(fPort),
                                         "--size", kSize, "--fps", "50"};
        argv.insert(argv.end(), args.begin(), args.end());
        fProcess = std::make_unique<ChildProcess>(argv);
        fReady = fProcess->waitForOutput("RTSP server: ", 10000);
    }
    bool ready() const { return fReady; }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/live"; }
    unsigned short port() const { return fPort; }

    void stopAndCheckAccount() {
        EXPECT_EQ(fProcess->stop(SIGINT, 10000), 0) << fProcess->errors();
        std::string out = fProcess->output();
        std::regex balanced("(video|audio) records: popped ([0-9]+), released \\2, in flight 0, bad releases 0");
        auto accounts = lines(out, "video records:");
        auto audio = lines(out, "audio records:");
        accounts.insert(accounts.end(), audio.begin(), audio.end());
        ASSERT_EQ(accounts.size(), 2u) << out;
        for (const std::string& account : accounts) EXPECT_TRUE(std::regex_search(account, balanced)) << account;
    }

private:
    unsigned short fPort;
    std::unique_ptr<ChildProcess> fProcess;
    bool fReady = false;
};

// The reply to a DESCRIBE, with its SDP.
std::string describe(unsigned short port) {
    return yvk::test::rawExchange(port,
                                  "DESCRIBE rtsp://127.0.0.1:" + std::to_string(port) +
                                      "/live RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n",
                                  5000, true);
}

// Decoded video frames of an FFmpeg client: "frame|key_frame=..|width=..|height=..".
ProcessResult probeVideo(const std::string& url, const char* transport, int packets = 70) {
    return runProcess({"ffprobe", "-v", "error", "-analyzeduration", "1000000", "-rtsp_transport", transport,
                       "-select_streams", "v",
                       "-show_entries", "frame=key_frame,width,height", "-read_intervals",
                       "%+#" + std::to_string(packets), "-of", "compact", url},
                      kClientTimeoutMs);
}

void expectDecodedVideo(const ProcessResult& result, size_t atLeast = 50) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "") << "decode errors";
    auto frames = lines(result.out, "frame|");
    EXPECT_GE(frames.size(), atLeast) << result.out;
    for (const std::string& frame : frames) {
        EXPECT_NE(frame.find("width=352|height=288"), std::string::npos) << frame;
    }
    if (!frames.empty()) {
        EXPECT_NE(frames.front().find("key_frame=1"), std::string::npos) << frames.front();
    }
}

class LiveRtsp : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(LiveRtsp, FfprobeDecodesFiftyFramesWithoutErrors) {
    auto [codec, transport] = GetParam();
    Host host({"--codec", codec, "--audio", "none"});
    ASSERT_TRUE(host.ready());
    expectDecodedVideo(probeVideo(host.url(), transport));
    host.stopAndCheckAccount();
}

INSTANTIATE_TEST_SUITE_P(CodecAndTransport, LiveRtsp,
                         ::testing::Values(std::make_pair("h264", "udp"), std::make_pair("h264", "tcp"),
                                           std::make_pair("h265", "udp"), std::make_pair("h265", "tcp")),
                         [](const auto& info) { return std::string(info.param.first) + "_" + info.param.second; });

TEST(LiveRtspSdp, H264AndH265CarryTheirParameterSetsAndDimensions) {
    Host h264({"--codec", "h264"});
    ASSERT_TRUE(h264.ready());
    std::string sdp = describe(h264.port());
    EXPECT_TRUE(std::regex_search(
        sdp, std::regex("a=fmtp:96 profile-level-id=[0-9a-f]{6};sprop-parameter-sets=[A-Za-z0-9+/=]+,[A-Za-z0-9+/=]+\r\n")))
        << sdp;
    EXPECT_NE(sdp.find("a=x-dimensions:352,288\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("m=audio 0 RTP/AVP 96\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=rtpmap:96 L16/16000\r\n"), std::string::npos) << sdp;
    EXPECT_EQ(sdp.find("packetization-mode"), std::string::npos);
    h264.stopAndCheckAccount();

    Host h265({"--codec", "h265", "--audio-rate", "44100", "--audio-channels", "2"});
    ASSERT_TRUE(h265.ready());
    sdp = describe(h265.port());
    EXPECT_TRUE(std::regex_search(sdp, std::regex("a=fmtp:96 sprop-vps=[A-Za-z0-9+/=]+;sprop-sps=[A-Za-z0-9+/=]+;"
                                                  "sprop-pps=[A-Za-z0-9+/=]+\r\n")))
        << sdp;
    EXPECT_NE(sdp.find("a=x-dimensions:352,288\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("m=audio 0 RTP/AVP 10\r\n"), std::string::npos) << sdp;
    h265.stopAndCheckAccount();
}

// A minimal RTSP client over TCP interleaving that records the RTP header
// of every packet of one track, to see the payload type, the sequence
// numbers and the timestamps exactly as they were sent.
struct RtpHeader {
    int payloadType;
    unsigned sequence;
    uint32_t timestamp;
    size_t payloadSize;
};

class InterleavedClient {
public:
    explicit InterleavedClient(unsigned short port) {
        fFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fConnected = connect(fFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        fBase = "rtsp://127.0.0.1:" + std::to_string(port) + "/live";
    }
    ~InterleavedClient() { close(fFd); }

    // DESCRIBE, SETUP of the track on channels 0-1, PLAY; then packets of
    // channel 0 until count are in or the time is up.
    std::vector<RtpHeader> play(const std::string& track, size_t count, int timeoutMs) {
        std::vector<RtpHeader> packets;
        if (!fConnected) return packets;
        request("DESCRIBE " + fBase + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
        std::string setup = request("SETUP " + fBase + "/" + track +
                                    " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
        std::smatch session;
        if (!std::regex_search(setup, session, std::regex("Session: ([^;\r]+)"))) return packets;
        request("PLAY " + fBase + "/ RTSP/1.0\r\nCSeq: 3\r\nSession: " + session[1].str() + "\r\n\r\n");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (packets.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (!fill(4, deadline)) break;
            if (fBuffer[0] != '$') { // an RTSP response between the packets
                size_t end = fBuffer.find("\r\n\r\n");
                if (end == std::string::npos && !fill(fBuffer.size() + 1, deadline)) break;
                if (end != std::string::npos) fBuffer.erase(0, end + 4);
                continue;
            }
            auto channel = static_cast<unsigned char>(fBuffer[1]);
            size_t length = (static_cast<unsigned char>(fBuffer[2]) << 8) | static_cast<unsigned char>(fBuffer[3]);
            if (!fill(4 + length, deadline)) break;
            const auto* rtp = reinterpret_cast<const unsigned char*>(fBuffer.data() + 4);
            if (channel == 0 && length >= 12) {
                packets.push_back({rtp[1] & 0x7f, static_cast<unsigned>((rtp[2] << 8) | rtp[3]),
                                   (uint32_t(rtp[4]) << 24) | (rtp[5] << 16) | (rtp[6] << 8) | rtp[7], length - 12});
            }
            fBuffer.erase(0, 4 + length);
        }
        return packets;
    }

private:
    std::string request(const std::string& text) {
        (void)!write(fFd, text.data(), text.size());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            size_t end = fBuffer.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::smatch length;
                size_t total = end + 4;
                std::string head = fBuffer.substr(0, end);
                if (std::regex_search(head, length, std::regex("Content-Length: ([0-9]+)"))) {
                    total += std::stoul(length[1]);
                }
                if (fBuffer.size() >= total) {
                    std::string response = fBuffer.substr(0, total);
                    fBuffer.erase(0, total);
                    return response;
                }
            }
            if (!fill(fBuffer.size() + 1, deadline)) break;
        }
        return "";
    }
    bool fill(size_t size, std::chrono::steady_clock::time_point deadline) {
        while (fBuffer.size() < size) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pollfd waiting{fFd, POLLIN, 0};
            if (poll(&waiting, 1, 100) <= 0) continue;
            char chunk[4096];
            ssize_t got = read(fFd, chunk, sizeof chunk);
            if (got <= 0) return false;
            fBuffer.append(chunk, static_cast<size_t>(got));
        }
        return true;
    }

    int fFd = -1;
    bool fConnected = false;
    std::string fBase;
    std::string fBuffer;
};

// The L16 track: FFmpeg decodes it with the configured rate and channels,
// and on the wire the payload type is as expected and the RTP timestamps
// advance by the samples each packet carries.
void checkPcmTrack(const std::vector<std::string>& args, const char* rate, const char* channels, int payloadType,
                   unsigned bytesPerSampleFrame) {
    Host host(args);
    ASSERT_TRUE(host.ready());
    ProcessResult r = runProcess({"ffprobe", "-v", "error", "-analyzeduration", "500000", "-rtsp_transport", "tcp",
                                  "-select_streams", "a", "-show_entries", "stream=codec_name,sample_rate,channels",
                                  "-of", "compact", host.url()},
                                 kClientTimeoutMs);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto streams = lines(r.out, "stream|");
    ASSERT_EQ(streams.size(), 1u) << r.out;
    EXPECT_NE(streams[0].find("codec_name=pcm_s16be"), std::string::npos) << streams[0];
    EXPECT_NE(streams[0].find(std::string("sample_rate=") + rate), std::string::npos) << streams[0];
    EXPECT_NE(streams[0].find(std::string("channels=") + channels), std::string::npos) << streams[0];

    InterleavedClient client(host.port());
    std::vector<RtpHeader> packets = client.play("track2", 40, 8000);
    ASSERT_GE(packets.size(), 40u);
    int jumps = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].payloadType, payloadType);
        if (i == 0) continue;
        EXPECT_EQ(packets[i].sequence, (packets[i - 1].sequence + 1) & 0xffff);
        uint32_t samples = static_cast<uint32_t>(packets[i - 1].payloadSize / bytesPerSampleFrame);
        // Block durations are whole microseconds, so at rates that do not
        // divide a second evenly a timestamp may land one sample off.
        auto step = static_cast<int64_t>(packets[i].timestamp - packets[i - 1].timestamp);
        jumps += std::llabs(step - static_cast<int64_t>(samples)) > 1 ? 1 : 0;
    }
    EXPECT_EQ(jumps, 0) << "RTP timestamps do not follow the samples sent";
    host.stopAndCheckAccount();
}

TEST(LiveRtspAudio, Mono16kHzRunsContinuously) {
    checkPcmTrack({"--codec", "h264"}, "16000", "1", 96, 2);
}

TEST(LiveRtspAudio, Stereo44kHzRunsContinuously) {
    checkPcmTrack({"--codec", "h264", "--audio-rate", "44100", "--audio-channels", "2"}, "44100", "2", 10, 4);
}

TEST(LiveRtspClients, FourClientsAtOnceEachDecode) {
    Host host({"--codec", "h264"});
    ASSERT_TRUE(host.ready());
    std::vector<ProcessResult> results(4);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&, i] { results[i] = probeVideo(host.url(), i % 2 == 0 ? "udp" : "tcp"); });
    }
    for (std::thread& client : clients) client.join();
    for (const ProcessResult& result : results) expectDecodedVideo(result);
    host.stopAndCheckAccount();
}

TEST(LiveRtspClients, LateJoinerStartsAtAKeyFrame) {
    Host host({"--codec", "h264", "--audio", "none"});
    ASSERT_TRUE(host.ready());
    ProcessResult first;
    std::thread early([&] { first = probeVideo(host.url(), "udp", 160); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1700)); // inside a one-second GOP
    ProcessResult late = probeVideo(host.url(), "tcp", 80);
    early.join();
    expectDecodedVideo(first);
    expectDecodedVideo(late, 40);
    host.stopAndCheckAccount();
}

TEST(LiveRtspClients, OpenRtspReceivesDecodableVideo) {
    Host host({"--codec", "h264"});
    ASSERT_TRUE(host.ready());
    ProcessResult r = runProcess({"openRTSP", "-v", "-d", "2", host.url()}, kClientTimeoutMs);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("a=fmtp:96 profile-level-id="), std::string::npos);
    std::string path = std::string(YVK_BINARY_DIR) + "/openrtsp-" + std::to_string(host.port()) + ".h264";
    std::ofstream(path, std::ios::binary) << r.out;
    ProcessResult probe = runProcess({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v",
                                      "-show_entries", "stream=nb_read_frames,width,height", "-of", "compact", path},
                                     kClientTimeoutMs);
    std::remove(path.c_str());
    EXPECT_EQ(probe.err, "");
    std::smatch count;
    ASSERT_TRUE(std::regex_search(probe.out, count, std::regex("nb_read_frames=([0-9]+)"))) << probe.out;
    EXPECT_GE(std::stoi(count[1]), 50);
    EXPECT_NE(probe.out.find("width=352|height=288"), std::string::npos);
    host.stopAndCheckAccount();
}

TEST(LiveRtspClients, GStreamerDecodesH264AndH265) {
    for (const char* codec : {"h264", "h265"}) {
        Host host({"--codec", codec});
        ASSERT_TRUE(host.ready());
        std::string depay = std::string("rtp") + codec + "depay";
        ProcessResult r = runProcess({"gst-launch-1.0", "-q", "rtspsrc", "location=" + host.url(), "protocols=tcp",
                                      "!", depay, "!", std::string(codec) + "parse", "!",
                                      std::string("avdec_") + codec, "!", "identity", "eos-after=50", "!",
                                      "fakesink"},
                                     kClientTimeoutMs);
        EXPECT_EQ(r.exitCode, 0) << codec << ": " << r.err << r.out;
        host.stopAndCheckAccount();
    }
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
        Host host({"--source", clip, "--audio", "none"});
        ASSERT_TRUE(host.ready());
        ProcessResult r = probeVideo(host.url(), "tcp");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "") << encoder;
        auto frames = lines(r.out, "frame|");
        EXPECT_GE(frames.size(), 50u) << encoder;
        for (const std::string& frame : frames) EXPECT_NE(frame.find("width=320|height=240"), std::string::npos);
        host.stopAndCheckAccount();
        std::remove(clip.c_str());
    }
}

} // namespace
