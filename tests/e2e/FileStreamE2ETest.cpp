// File mode end to end: the generated media served by a file instance and
// read by real clients (FFmpeg's ffprobe and ffmpeg, raw RTSP requests).
#include "CoreTestSupport.hh"
#include "Process.hh"
#include "RawHttp.hh"
#include "yvkstreamer_core.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using yvk::test::ProcessResult;
using yvk::test::runProcess;

constexpr int kClientTimeoutMs = 30000;
const std::string kHost = YVK_BINARY_DIR "/host/yvkstreamer";

std::string media(const char* name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

size_t countLines(const std::string& text, const std::string& prefix) {
    return yvk::test::linesStartingWith(text, prefix).size();
}

// One file instance on a free port, running until the test ends.
class FileInstance {
public:
    explicit FileInstance(const std::string& fileName, YVKStreamerGetFileName playList = nullptr)
        : fFileName(fileName), fPort(yvk::test::freeTcpPort()) {
        yvk::test::guardNetworkSetup();
        YVKStreamerFileCfg cfg{};
        cfg.rtspPort = fPort;
        cfg.sessionName = "vod";
        cfg.ifName = "lo";
        cfg.fileName = fFileName.c_str();
        cfg.getFileName = playList;
        cfg.videoTrack = 1;
        fCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
        if (fCore != nullptr) YVK_StreamerCoreRun(fCore);
    }
    ~FileInstance() { YVK_StreamerCoreFree(fCore); }
    FileInstance(const FileInstance&) = delete;
    FileInstance& operator=(const FileInstance&) = delete;

    YVKStreamerCore* core() const { return fCore; }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/vod"; }
    // The DESCRIBE reply with its SDP.
    std::string describe() const {
        return yvk::test::rawExchange(fPort, "DESCRIBE " + url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", 5000, true);
    }

private:
    std::string fFileName;
    unsigned short fPort;
    YVKStreamerCore* fCore = nullptr;
};

// The streams and the decoded frames of the first seconds (all without
// seconds), as lines "stream|codec_name=..|width=..",
// "frame|media_type=..|pts_time=..|width=..".
ProcessResult probe(const std::string& url, const std::string& seconds, int timeoutMs = kClientTimeoutMs) {
    std::vector<std::string> argv = {
        "ffprobe", "-v", "error", "-rtsp_transport", "udp", "-show_entries",
        "stream=codec_name,width,height,sample_rate,channels:frame=media_type,pts_time,width,height", "-of", "compact",
        url};
    if (!seconds.empty()) argv.insert(argv.begin() + 1, {"-read_intervals", "%+" + seconds});
    return runProcess(argv, timeoutMs);
}

struct ServedFile {
    const char* name;
    const char* seconds;                    // read by the client; "" to the end
    std::vector<const char*> sdp, streams;  // texts the SDP and ffprobe's stream lines hold
    size_t videoFrames, audioFrames;        // decoded, at least
};

// Test names show the file, not the record's bytes.
void PrintTo(const ServedFile& file, std::ostream* out) { *out << file.name; }

class FileStreamFormats : public ::testing::TestWithParam<ServedFile> {};

TEST_P(FileStreamFormats, ServeAsH264AndL16OrAac) {
    const ServedFile& file = GetParam();
    FileInstance instance(media(file.name));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = instance.describe();
    for (const char* text : file.sdp) EXPECT_NE(sdp.find(text), std::string::npos) << text << "\n" << sdp;
    // A client that reads to the end is told the file is over (RTCP BYE on
    // every track) and stops by itself, long before its own wait for a
    // silent server would end it.
    ProcessResult run = probe(instance.url(), file.seconds, *file.seconds != 0 ? kClientTimeoutMs : 15000);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    if (*file.seconds != 0) { EXPECT_EQ(run.err, "") << "decode errors"; }
    for (const char* text : file.streams) EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    EXPECT_GE(countLines(run.out, "frame|media_type=video"), file.videoFrames) << run.out;
    EXPECT_GE(countLines(run.out, "frame|media_type=audio"), file.audioFrames) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    FileStreamE2E, FileStreamFormats,
    ::testing::Values(
        ServedFile{"clip.mp4", "", // 4 s at 25 fps
                   {"a=range:npt=0-4", "H264/90000", "L16/44100/2", "sprop-parameter-sets="},
                   {"codec_name=h264|width=320|height=240", "codec_name=pcm_s16be|sample_rate=44100|channels=2"},
                   95, 10},
        // H.265 is transcoded to H.264 at 1280x720.
        ServedFile{"clip.mkv", "2", {}, {"codec_name=h264|width=1280|height=720", "codec_name=pcm_s16be|sample_rate=48000|channels=1"}, 1, 1},
        // MP3 is converted to AAC.
        ServedFile{"clip.avi", "2", {"MPEG4-GENERIC/32000", "mode=AAC-hbr", "config=1288"}, {"codec_name=aac"}, 30, 20}),
    [](const auto& info) { return std::string(info.param.name).substr(5); });  // "clip.mp4": "mp4"

// The three 4-second entries of the generated play list.
const char* threeFileList(int index) {
    static const std::string names[] = {media("list-1.mp4"), media("list-2.mp4"), media("list-3.mp4")};
    return index >= 0 && index < 3 ? names[index].c_str() : nullptr;
}

double numberAfter(const std::string& text, const char* label) {
    size_t at = text.find(label);
    return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + std::strlen(label));
}

TEST(FileStreamE2E, PlayListPlaysThroughItsJoinsAndSeeks) {
    FileInstance instance(media("list-1.mp4"), threeFileList);
    ASSERT_NE(instance.core(), nullptr);
    EXPECT_NE(instance.describe().find("a=range:npt=0-12"), std::string::npos);
    ProcessResult frames = probe(instance.url(), "11.6");
    EXPECT_EQ(frames.exitCode, 0) << frames.err;
    auto video = yvk::test::linesStartingWith(frames.out, "frame|media_type=video");
    ASSERT_GE(video.size(), 280u) << frames.out;
    double largestGap = 0;
    auto pts = [&](size_t i) { return numberAfter(video[i], "pts_time="); };
    for (size_t i = 1; i < video.size(); ++i) largestGap = std::max(largestGap, pts(i) - pts(i - 1));
    EXPECT_LE(largestGap, 0.045) << frames.out;
    EXPECT_GE(pts(video.size() - 1) - pts(0), 11.0);

    // ffmpeg -ss before the input asks for the position in PLAY's Range.
    ProcessResult seek = runProcess({"ffmpeg", "-v", "info", "-nostdin", "-rtsp_transport", "udp", "-ss", "5",
                                     "-copyts", "-i", instance.url(), "-t", "1", "-an", "-vf", "showinfo", "-f",
                                     "null", "-"},
                                    kClientTimeoutMs);
    EXPECT_EQ(seek.exitCode, 0) << seek.err;
    EXPECT_NEAR(numberAfter(seek.err, "pts_time:"), 5.0, 1.0) << seek.err;
}

// One file instance per process, files without tracks refused; one client
// of the file at a time, and Free ends a stream under its client.
TEST(FileStreamE2E, OneInstanceAndOneClientAtATime) {
    for (const char* bad : {"no-such-file.mp4", "not-media.mp4"}) EXPECT_EQ(FileInstance(media(bad)).core(), nullptr);
    auto instance = std::make_unique<FileInstance>(media("clip.mp4"));
    ASSERT_NE(instance->core(), nullptr);
    EXPECT_EQ(FileInstance(media("clip.avi")).core(), nullptr) << "one file instance per process";
    std::string url = instance->url();
    ProcessResult first;
    std::thread firstClient([&] { first = probe(url, "3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The second client's setup is refused, and it gives up at once.
    auto start = std::chrono::steady_clock::now();
    ProcessResult second = probe(url, "1");
    auto secondMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    firstClient.join();
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(second.err.find("SETUP failed: 503"), std::string::npos) << second.err;
    EXPECT_LT(secondMs.count(), 1500);
    EXPECT_EQ(countLines(second.out, "frame|"), 0u) << second.out;
    // After the first one's teardown the file serves again, until Free
    // tears everything down under the client.
    ProcessResult third;
    std::thread thirdClient([&] { third = probe(url, "3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    instance.reset();
    thirdClient.join();
    EXPECT_GE(countLines(third.out, "frame|media_type=video"), 10u) << third.out << third.err;
    FileInstance next(media("clip.mp4"));
    EXPECT_NE(next.core(), nullptr);
}

// The video's parameter sets as the SDP of a DESCRIBE announces them.
std::string spropOf(const FileInstance& instance) {
    std::string sdp = instance.describe();
    size_t at = sdp.find("sprop-parameter-sets=");
    return at == std::string::npos ? "" : sdp.substr(at, sdp.find_first_of(";\r\n", at) - at);
}

TEST(FileStreamE2E, CtrlSwitchesTheVideoTrackForTheNextClient) {
    FileInstance instance(media("two-video.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    std::string spropBefore = spropOf(instance);
    ASSERT_FALSE(spropBefore.empty());
    YVKStreamerCtrlCmd cmd{YVK_STREAMER_CMD_VIDEO_TRACK, 1};
    EXPECT_EQ(YVK_StreamerCoreCtrl(instance.core(), &cmd), 1);
    std::string spropAfter = spropBefore;  // the switch reaches the loop thread through an event
    for (int i = 0; i < 20 && spropAfter == spropBefore; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        spropAfter = spropOf(instance);
    }
    EXPECT_NE(spropAfter, spropBefore);
    ProcessResult after = probe(instance.url(), "0.5");
    auto frames = yvk::test::linesStartingWith(after.out, "frame|media_type=video");
    ASSERT_FALSE(frames.empty()) << after.out << after.err;
    EXPECT_NE(frames.front().find("width=160|height=120"), std::string::npos) << after.out;
}

// Subtitles reach the host's callback in order: the reference host prints them.
TEST(FileStreamE2E, ReferenceHostServesAFileAndPrintsItsSubtitles) {
    unsigned short port = yvk::test::freeTcpPort();
    yvk::test::ChildProcess host(
        {kHost, "file", "--port", std::to_string(port), "--name", "movie", "--text", media("clip.mkv")});
    std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/movie";
    ASSERT_TRUE(host.waitForOutput(url, 10000)) << host.output() << host.errors();
    // Before any client the text runs freely.
    EXPECT_TRUE(host.waitForOutput("third line", 10000)) << host.output();
    std::string out = host.output();
    EXPECT_LT(out.find("ms: first line"), out.find("ms: second line"));
    EXPECT_LT(out.find("ms: second line"), out.find("ms: third line"));
    ProcessResult streams = probe(url, "0.5");
    EXPECT_NE(streams.out.find("codec_name=h264|width=1280|height=720"), std::string::npos) << streams.out;
    EXPECT_EQ(host.stop(SIGINT, 10000), 0) << host.errors();
    EXPECT_NE(host.output().find("Stopped."), std::string::npos);
}

// The session id of an RTSP reply, or "".
std::string sessionOf(const std::string& reply) {
    size_t at = reply.find("Session: ");
    return at == std::string::npos ? "" : reply.substr(at + 9, reply.find_first_of(";\r", at + 9) - at - 9);
}

// After a client vanished, the file's only stream is taken over by a later
// client within seconds of the last sign of life (not after the session
// timeout); the time from the vanishing to the first frames served.
long secondsUntilServedAgain(const FileInstance& instance, std::chrono::steady_clock::time_point vanished) {
    ProcessResult served;
    for (int attempt = 0; attempt < 20 && countLines(served.out, "frame|media_type=video") == 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        served = probe(instance.url(), "1");
    }
    EXPECT_GE(countLines(served.out, "frame|media_type=video"), 10u) << served.err;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - vanished).count();
}

// Clients that hold the file and vanish: one that set up and played over
// UDP by hand and never sent an RTCP report, and FFmpeg tunnelling RTSP
// over HTTP, killed mid-play (its tunnel connections and session are
// reclaimed; LeakSanitizer checks nothing of them is left at exit).
TEST(FileStreamE2E, AClientThatVanishedFreesTheFileWithinSeconds) {
    FileInstance instance(media("clip.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = instance.describe();
    size_t control = sdp.find("a=control:track");
    ASSERT_NE(control, std::string::npos) << sdp;
    std::string track = sdp.substr(control + 10, sdp.find('\r', control) - control - 10);
    unsigned short port = static_cast<unsigned short>(std::stoi(instance.url().substr(17)));
    std::string setup = yvk::test::rawExchange(port,
                                               "SETUP " + instance.url() + "/" + track + " RTSP/1.0\r\nCSeq: 1\r\n"
                                               "Transport: RTP/AVP;unicast;client_port=45000-45001\r\n\r\n",
                                               5000, true);
    std::string session = sessionOf(setup);
    ASSERT_FALSE(session.empty()) << setup;
    EXPECT_NE(setup.find(";timeout=60"), std::string::npos) << setup; // what the client must keep alive within
    std::string play = yvk::test::rawExchange(
        port, "PLAY " + instance.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session + "\r\n\r\n", 5000, true);
    ASSERT_EQ(play.rfind("RTSP/1.0 200 OK", 0), 0u) << play;
    auto vanished = std::chrono::steady_clock::now();
    ProcessResult refused = probe(instance.url(), "1");
    EXPECT_NE(refused.err.find("SETUP failed: 503"), std::string::npos) << refused.err;
    EXPECT_LE(secondsUntilServedAgain(instance, vanished), 15);

    // The file's stream is free again (the last probe tore down): FFmpeg
    // takes it through an HTTP tunnel and is killed while it plays; its
    // session streamed over the tunnel, so it goes with the connections.
    yvk::test::ChildProcess tunnelled({"ffmpeg", "-v", "error", "-rtsp_transport", "http", "-i", instance.url(), "-f",
                                       "null", "-"});
    std::this_thread::sleep_for(std::chrono::seconds(2));
    tunnelled.stop(SIGKILL, 5000);
    EXPECT_LE(secondsUntilServedAgain(instance, std::chrono::steady_clock::now()), 15);
}

TEST(FileStreamE2E, ReferenceHostRefusesBadCommandLinesWithUsage) {
    for (const auto& [argv, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{kHost, "live", "--port", "99999"}, "bad port"},
             {{kHost, "file", "--port", "8554"}, "no media file given"},
             {{kHost, "file", "--video-track", "9", "x.mp4"}, "bad video track"}}) {
        ProcessResult run = runProcess(argv, 10000);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << run.err;
    }
}

} // namespace
