// File mode end to end: the generated media served by a file instance and
// read by real clients (FFmpeg's ffprobe and ffmpeg, curl for raw RTSP).
#include "CoreTestSupport.hh"
#include "Process.hh"
#include "RawHttp.hh"
#include "yvkstreamer_core.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using yvk::test::ProcessResult;
using yvk::test::runProcess;

constexpr int kClientTimeoutMs = 30000;

std::string media(const char* name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

std::vector<std::string> lines(const std::string& text, const std::string& prefix) {
    return yvk::test::linesStartingWith(text, prefix);
}

// One file instance on a free port, running until the test ends.
class FileInstance {
public:
    explicit FileInstance(const std::string& fileName, YVKStreamerGetFileName playList = nullptr,
                          int videoTrack = 1, YVKStreamerTextCallback text = nullptr)
        : fFileName(fileName) {
        yvk::test::guardNetworkSetup();
        fPort = yvk::test::freeTcpPort();
        YVKStreamerFileCfg cfg{};
        cfg.rtspPort = fPort;
        cfg.sessionName = "vod";
        cfg.ifName = "lo";
        cfg.fileName = fFileName.c_str();
        cfg.getFileName = playList;
        cfg.videoTrack = videoTrack;
        cfg.textEnable = text != nullptr ? 1 : 0;
        cfg.textCallback = text;
        fCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
        if (fCore != nullptr) YVK_StreamerCoreRun(fCore);
    }
    ~FileInstance() { YVK_StreamerCoreFree(fCore); }
    FileInstance(const FileInstance&) = delete;
    FileInstance& operator=(const FileInstance&) = delete;

    YVKStreamerCore* core() const { return fCore; }
    unsigned short port() const { return fPort; }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/vod"; }

private:
    std::string fFileName;
    unsigned short fPort = 0;
    YVKStreamerCore* fCore = nullptr;
};

// The DESCRIBE reply with its SDP.
std::string describe(const FileInstance& instance) {
    return yvk::test::rawExchange(instance.port(),
                                  "DESCRIBE " + instance.url() + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n",
                                  1500);
}

ProcessResult probeStreams(const std::string& url) {
    return runProcess({"ffprobe", "-v", "error", "-rtsp_transport", "udp", "-show_entries",
                       "stream=codec_name,width,height,sample_rate,channels", "-of", "compact", url},
                      kClientTimeoutMs);
}

// Decoded frames of the first seconds: "frame|media_type=..|pts_time=..|width=..".
ProcessResult probeFrames(const std::string& url, const std::string& seconds, const char* seek = nullptr) {
    std::vector<std::string> argv{"ffprobe", "-v", "error", "-rtsp_transport", "udp"};
    if (seek != nullptr) {
        argv.push_back("-read_intervals");
        argv.push_back(std::string(seek) + "%+" + seconds);
    } else {
        argv.push_back("-read_intervals");
        argv.push_back("%+" + seconds);
    }
    for (const char* arg : {"-show_entries", "frame=media_type,pts_time,width,height", "-of", "compact"})
        argv.push_back(arg);
    argv.push_back(url);
    return runProcess(argv, kClientTimeoutMs);
}

TEST(FileStreamE2E, Mp4PlaysAsH264AndL16WithItsDuration) {
    FileInstance instance(media("clip.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = describe(instance);
    EXPECT_NE(sdp.find("a=range:npt=0-4"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("H264/90000"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("L16/44100/2"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("sprop-parameter-sets="), std::string::npos) << sdp;

    ProcessResult streams = probeStreams(instance.url());
    EXPECT_EQ(streams.exitCode, 0) << streams.err;
    EXPECT_NE(streams.out.find("codec_name=h264|width=320|height=240"), std::string::npos) << streams.out;
    EXPECT_NE(streams.out.find("codec_name=pcm_s16be|sample_rate=44100|channels=2"), std::string::npos)
        << streams.out;

    ProcessResult frames = probeFrames(instance.url(), "2");
    EXPECT_EQ(frames.exitCode, 0) << frames.err;
    EXPECT_GE(lines(frames.out, "frame|media_type=video").size(), 30u) << frames.out;
    EXPECT_GE(lines(frames.out, "frame|media_type=audio").size(), 10u) << frames.out;
}

TEST(FileStreamE2E, AFileWithoutTracksIsRefusedAndTheNextInstanceWorks) {
    {
        FileInstance missing(media("no-such-file.mp4"));
        EXPECT_EQ(missing.core(), nullptr);
        FileInstance notMedia(media("not-media.mp4"));
        EXPECT_EQ(notMedia.core(), nullptr);
    }
    FileInstance instance(media("clip.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    EXPECT_NE(describe(instance).find("H264/90000"), std::string::npos);
    // One file instance per process.
    FileInstance second(media("clip.avi"));
    EXPECT_EQ(second.core(), nullptr);
}

TEST(FileStreamE2E, MkvH265ArrivesAsH264At1280x720) {
    FileInstance instance(media("clip.mkv"));
    ASSERT_NE(instance.core(), nullptr);
    ProcessResult streams = probeStreams(instance.url());
    EXPECT_EQ(streams.exitCode, 0) << streams.err;
    EXPECT_NE(streams.out.find("codec_name=h264|width=1280|height=720"), std::string::npos) << streams.out;
    EXPECT_NE(streams.out.find("codec_name=pcm_s16be|sample_rate=48000|channels=1"), std::string::npos)
        << streams.out;
}

TEST(FileStreamE2E, AviMp3ArrivesAsAacAndDecodes) {
    FileInstance instance(media("clip.avi"));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = describe(instance);
    EXPECT_NE(sdp.find("MPEG4-GENERIC/32000"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("mode=AAC-hbr"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("config=1288"), std::string::npos) << sdp;
    ProcessResult frames = probeFrames(instance.url(), "2");
    EXPECT_EQ(frames.exitCode, 0) << frames.err;
    EXPECT_EQ(frames.err, "") << "decode errors";
    EXPECT_GE(lines(frames.out, "frame|media_type=audio").size(), 20u) << frames.out;
    EXPECT_GE(lines(frames.out, "frame|media_type=video").size(), 30u) << frames.out;
}

// The three 4-second entries of the generated play list.
const char* threeFileList(int index) {
    static const std::string names[] = {media("list-1.mp4"), media("list-2.mp4"), media("list-3.mp4")};
    return index >= 0 && index < 3 ? names[index].c_str() : nullptr;
}

double ptsOf(const std::string& frame) {
    size_t at = frame.find("pts_time=");
    return at == std::string::npos ? -1.0 : std::atof(frame.c_str() + at + 9);
}

TEST(FileStreamE2E, PlayRangeStartsNearTheAskedTime) {
    FileInstance instance(media("list-1.mp4"), threeFileList);
    ASSERT_NE(instance.core(), nullptr);
    // ffmpeg -ss before the input asks for the position in PLAY's Range.
    ProcessResult run = runProcess({"ffmpeg", "-v", "info", "-nostdin", "-rtsp_transport", "udp", "-ss", "5", "-copyts", "-i",
                                    instance.url(), "-t", "1", "-an", "-vf", "showinfo", "-f", "null", "-"},
                                   kClientTimeoutMs);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    size_t at = run.err.find("pts_time:");
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_NEAR(std::atof(run.err.c_str() + at + 9), 5.0, 1.0) << run.err.substr(at, 200);
}

TEST(FileStreamE2E, PlayListPlaysThroughItsJoinsWithoutGaps) {
    FileInstance instance(media("list-1.mp4"), threeFileList);
    ASSERT_NE(instance.core(), nullptr);
    EXPECT_NE(describe(instance).find("a=range:npt=0-12"), std::string::npos);
    ProcessResult frames = runProcess({"ffprobe", "-v", "error", "-rtsp_transport", "udp", "-read_intervals",
                                       "%+11.6", "-select_streams", "v", "-show_entries", "frame=pts_time", "-of",
                                       "compact", instance.url()},
                                      kClientTimeoutMs);
    EXPECT_EQ(frames.exitCode, 0) << frames.err;
    auto video = lines(frames.out, "frame|");
    ASSERT_GE(video.size(), 280u) << frames.out;
    double largestGap = 0;
    for (size_t i = 1; i < video.size(); ++i) largestGap = std::max(largestGap, ptsOf(video[i]) - ptsOf(video[i - 1]));
    EXPECT_LE(largestGap, 0.045) << frames.out;
    EXPECT_GE(ptsOf(video.back()) - ptsOf(video.front()), 11.0);
}

TEST(FileStreamE2E, SecondClientIsRefusedWhileTheFirstStreams) {
    FileInstance instance(media("clip.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    ProcessResult first;
    std::thread firstClient([&] { first = probeFrames(instance.url(), "3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The second client's setup is refused, and it gives up at once.
    auto start = std::chrono::steady_clock::now();
    ProcessResult second = probeFrames(instance.url(), "1");
    auto secondMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    firstClient.join();
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(second.err.find("SETUP failed: 503"), std::string::npos) << second.err;
    EXPECT_LT(secondMs.count(), 1500);
    EXPECT_TRUE(lines(second.out, "frame|").empty()) << second.out;
    ProcessResult third = probeFrames(instance.url(), "1");
    EXPECT_EQ(third.exitCode, 0) << third.err;
    EXPECT_GE(lines(third.out, "frame|media_type=video").size(), 15u) << third.out;
}

std::mutex gTextMutex;
std::vector<std::string> gTexts;

void collectText(uint64_t, char* text, int size) {
    std::lock_guard<std::mutex> lock(gTextMutex);
    gTexts.emplace_back(text, static_cast<size_t>(size));
}

TEST(FileStreamE2E, SubtitleTextReachesTheCallbackInOrder) {
    {
        std::lock_guard<std::mutex> lock(gTextMutex);
        gTexts.clear();
    }
    FileInstance instance(media("clip.mkv"), nullptr, 1, collectText);
    ASSERT_NE(instance.core(), nullptr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(gTextMutex);
            if (gTexts.size() >= 3) break;
        }
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::lock_guard<std::mutex> lock(gTextMutex);
    ASSERT_EQ(gTexts.size(), 3u);
    EXPECT_NE(gTexts[0].find("first line"), std::string::npos) << gTexts[0];
    EXPECT_NE(gTexts[1].find("second line"), std::string::npos) << gTexts[1];
    EXPECT_NE(gTexts[2].find("third line"), std::string::npos) << gTexts[2];
}

// The video's parameter sets as the SDP of a DESCRIBE announces them.
std::string spropOf(const FileInstance& instance) {
    std::string sdp = describe(instance);
    size_t at = sdp.find("sprop-parameter-sets=");
    return at == std::string::npos ? "" : sdp.substr(at, sdp.find_first_of(";\r\n", at) - at);
}

TEST(FileStreamE2E, CtrlSwitchesTheVideoTrackForTheNextClient) {
    FileInstance instance(media("two-video.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    std::string spropBefore = spropOf(instance);
    ASSERT_FALSE(spropBefore.empty());
    ProcessResult before = probeFrames(instance.url(), "0.5");
    EXPECT_NE(before.out.find("width=320|height=240"), std::string::npos) << before.out << before.err;
    YVKStreamerCtrlCmd cmd{YVK_STREAMER_CMD_VIDEO_TRACK, 1};
    EXPECT_EQ(YVK_StreamerCoreCtrl(instance.core(), &cmd), 1);
    // The SDP changes once the first client's teardown has freed the file.
    std::string spropAfter = spropBefore;
    for (int i = 0; i < 30 && spropAfter == spropBefore; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        spropAfter = spropOf(instance);
    }
    EXPECT_NE(spropAfter, spropBefore);
    ProcessResult after = probeFrames(instance.url(), "0.5");
    auto frames = lines(after.out, "frame|media_type=video");
    ASSERT_FALSE(frames.empty()) << after.out << after.err;
    EXPECT_NE(frames.front().find("width=160|height=120"), std::string::npos) << after.out;
}

TEST(FileStreamE2E, FreeWhileAClientStreamsTearsEverythingDown) {
    auto instance = std::make_unique<FileInstance>(media("clip.avi"));
    ASSERT_NE(instance->core(), nullptr);
    std::string url = instance->url();
    ProcessResult client;
    std::thread streaming([&] { client = probeFrames(url, "3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    instance.reset();
    streaming.join();
    // The client saw the first second and then lost its server.
    EXPECT_GE(lines(client.out, "frame|media_type=video").size(), 10u) << client.out << client.err;
    FileInstance next(media("clip.mp4"));
    EXPECT_NE(next.core(), nullptr);
}

TEST(FileStreamE2E, ReferenceHostServesAFileAndPrintsItsSubtitles) {
    unsigned short port = yvk::test::freeTcpPort();
    yvk::test::ChildProcess host({YVK_BINARY_DIR "/host/yvkstreamer", "file", "--port", std::to_string(port),
                                  "--name", "movie", "--text", media("clip.mkv")});
    ASSERT_TRUE(host.started());
    std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/movie";
    ASSERT_TRUE(host.waitForOutput(url, 10000)) << host.output() << host.errors();
    // Before any client the text runs freely; while one streams it keeps
    // pace with the video.
    EXPECT_TRUE(host.waitForOutput("third line", 10000)) << host.output();
    std::string out = host.output();
    EXPECT_LT(out.find("ms: first line"), out.find("ms: second line"));
    ProcessResult streams = probeStreams(url);
    EXPECT_NE(streams.out.find("codec_name=h264|width=1280|height=720"), std::string::npos) << streams.out;
    EXPECT_EQ(host.stop(SIGINT, 10000), 0) << host.errors();
    EXPECT_NE(host.output().find("Stopped."), std::string::npos);
}

TEST(FileStreamE2E, ReferenceHostRefusesABadFileCommandLine) {
    ProcessResult noFile = runProcess({YVK_BINARY_DIR "/host/yvkstreamer", "file", "--port", "8554"}, 10000);
    EXPECT_EQ(noFile.exitCode, 2);
    EXPECT_NE(noFile.err.find("no media file given"), std::string::npos) << noFile.err;
    ProcessResult badTrack = runProcess({YVK_BINARY_DIR "/host/yvkstreamer", "file", "--video-track", "9", "x.mp4"},
                                        10000);
    EXPECT_EQ(badTrack.exitCode, 2);
    EXPECT_NE(badTrack.err.find("usage:"), std::string::npos) << badTrack.err;
}

} // namespace
