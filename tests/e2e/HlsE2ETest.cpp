// Live HTTP streaming end to end: a paced host lends H.264 and PCM, the
// instance multiplexes video and AAC into a Transport Stream, cuts it into
// one-second slices and serves them; ffprobe, ffmpeg and curl check what
// comes out over HTTP and RTSP.
#include "CoreInstance.hh"
#include "CoreTestSupport.hh"
#include "HLSServerMediaSubsession.hh"
#include "PacedLiveHost.hh"
#include "Process.hh"
#include "TraceCapture.hh"

#include <gtest/gtest.h>
#include <iostream>

#include <chrono>
#include <memory>
#include <sstream>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using yvk::test::runProcess;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr unsigned kAacBlockBytes = 2048; // 1024 16-bit mono samples: one AAC frame

std::string http(const std::string& path) {
    return runProcess({"curl", "-sS", "-m", "5", "http://127.0.0.1:8554" + path}, 10000).out;
}

std::vector<std::string> segmentUrls(const std::string& playList) {
    std::vector<std::string> urls;
    std::istringstream lines(playList);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("live?segment=", 0) == 0) urls.push_back(line);
    }
    return urls;
}

// Codec names ffprobe finds in a file or URL, one per stream.
std::string probeCodecs(const std::string& input, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> command = {"ffprobe", "-v", "error"};
    command.insert(command.end(), extra.begin(), extra.end());
    command.insert(command.end(), {"-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0", input});
    auto result = runProcess(command, 30000);
    return result.out + result.err;
}

class HlsE2E : public testing::Test {
protected:
    void SetUp() override {
        yvk::test::guardNetworkSetup();
        fHost = std::make_unique<yvk::test::PacedLiveHost>(kWidth, kHeight, 25, 16000, kAacBlockBytes);
        ASSERT_TRUE(fHost->ready());
    }
    void TearDown() override {
        if (fCore != nullptr) YVK_StreamerCoreFree(fCore);
        MPD_CONFORMANT = 0; // read by the loop thread, which Free has joined
        fHost->stop();
        EXPECT_TRUE(fHost->balanced());
    }

    YVKStreamerCore* create(bool video, bool audio, int audioBits = 16) {
        YVKStreamerLiveCfg cfg = yvk::test::liveConfig(1234, "live");
        cfg.streamType = YVK_STREAM_TYPE_HLS;
        cfg.videoEnable = video ? 1 : 0;
        cfg.videoFormat = "video/H264";
        cfg.videoFrameRate = 25;
        cfg.videoWidth = kWidth;
        cfg.videoHeight = kHeight;
        cfg.maxFrameSize = 512 * 1024;
        cfg.audio.enable = audio ? 1 : 0;
        cfg.audio.format = "audio/L16";
        cfg.audio.samplingFrequency = 16000;
        cfg.audio.bitsPerSample = audioBits;
        cfg.audio.numChannels = 1;
        YVKStreamerQIO videoIO = fHost->videoIO();
        YVKStreamerQIO audioIO = fHost->audioIO();
        fHost->start();
        fCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
        return fCore;
    }

    // Waits until the playlist lists at least count segments.
    std::vector<std::string> waitForSegments(size_t count) {
        for (int attempt = 0; attempt < 40; ++attempt) {
            std::vector<std::string> urls = segmentUrls(http("/live.m3u8"));
            if (urls.size() >= count) return urls;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return {};
    }

    std::string fetchSegment(const std::string& url, const std::string& file) {
        auto result = runProcess({"curl", "-sS", "-m", "5", "-o", file, "http://127.0.0.1:8554/" + url}, 10000);
        return result.err;
    }

    std::unique_ptr<yvk::test::PacedLiveHost> fHost;
    YVKStreamerCore* fCore = nullptr;
};

TEST_F(HlsE2E, ReadinessWithinSecondsAndEverySegmentHoldsH264AndAac) {
    ASSERT_NE(create(true, true), nullptr);
    EXPECT_EQ(fCore->liveCfg.rtspPort, 8554);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(YVK_StreamerCoreRun(fCore), 1);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_NE(printed.find("\033[33mHLS Started!\033[0m"), std::string::npos);

    std::vector<std::string> urls = waitForSegments(3);
    ASSERT_GE(urls.size(), 3u);
    bool first = true;
    for (const std::string& url : urls) {
        std::string file = "/tmp/yvk-segment-" + std::to_string(::getpid()) + ".ts";
        EXPECT_EQ(fetchSegment(url, file), "");
        std::string codecs = probeCodecs(file);
        EXPECT_NE(codecs.find("h264," + std::to_string(kWidth) + "," + std::to_string(kHeight)), std::string::npos)
            << url << ": " << codecs;
        // Slice 0 runs from the first frame to the end of its second: it may
        // be over before the encoder's look-ahead lets the first AAC frame out.
        if (!first) {
            EXPECT_NE(codecs.find("aac"), std::string::npos) << url << ": " << codecs;
        }
        first = false;
        std::remove(file.c_str());
    }
}

TEST_F(HlsE2E, RtspClientPlaysTheTransportStreamSubsession) {
    ASSERT_NE(create(true, true), nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(fCore), 1);
    auto dbg = runProcess({"sh", "-c", "timeout 12 ffprobe -v debug -rtsp_transport tcp -show_entries stream=codec_name rtsp://127.0.0.1:8554/live 2>&1 | grep -v 'non-existing\\|decode_slice\\|no frame\\|Last message' | head -150"}, 15000); std::cerr << "DBG" << dbg.out << dbg.err << std::endl;
    std::string codecs = probeCodecs("rtsp://127.0.0.1:8554/live", {"-rtsp_transport", "tcp"});
    EXPECT_NE(codecs.find("h264"), std::string::npos) << codecs;
    EXPECT_NE(codecs.find("aac"), std::string::npos) << codecs;
}

TEST_F(HlsE2E, PlaylistMatchesTheStore) {
    ASSERT_NE(create(true, true), nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(fCore), 1);
    ASSERT_GE(waitForSegments(2).size(), 2u);
    std::string playList = http("/live.m3u8");
    std::istringstream lines(playList);
    std::vector<std::string> text;
    for (std::string line; std::getline(lines, line);) text.push_back(line);
    ASSERT_GE(text.size(), 7u) << playList;
    EXPECT_EQ(text[0], "#EXTM3U\r");
    EXPECT_EQ(text[1], "#EXT-X-VERSION:3.0\r");
    EXPECT_EQ(text[2], "#EXT-X-ALLOW-CACHE:NO\r");
    unsigned sequence = std::stoul(text[3].substr(text[3].find(':') + 1));
    EXPECT_EQ(text[4], "#EXT-X-TARGETDURATION:1\r");
    EXPECT_EQ(text[5], "#EXTINF:1,\r");
    EXPECT_EQ(text[6], "live?segment=" + std::to_string(sequence) + "\r");
    // The newest slice, still being filled, is never listed; older ones are
    // served, a future one is refused.
    std::vector<std::string> urls = segmentUrls(playList);
    unsigned last = std::stoul(urls.back().substr(13));
    auto future = runProcess({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-m", "5",
                              "http://127.0.0.1:8554/live?segment=" + std::to_string(last + 100)},
                             10000);
    EXPECT_EQ(future.out, "405");
    EXPECT_NE(http("/live.mpd").find("startNumber='"), std::string::npos);
}

// The manifest that DASH players need: codecs, size, bandwidth, a fixed
// availability start and numbers counted from slice 0.
TEST_F(HlsE2E, ConformantMpdCarriesCodecsSizeAndAvailability) {
    MPD_CONFORMANT = 1;
    ASSERT_NE(create(true, true), nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(fCore), 1);
    ASSERT_GE(waitForSegments(3).size(), 3u);
    std::string mpd = http("/live.mpd");
    EXPECT_NE(mpd.find("codecs='avc1.64"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find(",mp4a.40.2'"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find("mimeType='video/mp2t'"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find("width='640' height='360'"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find("availabilityStartTime='20"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find("minBufferTime='PT2S'"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find("<Representation id='0'"), std::string::npos) << mpd;
    EXPECT_NE(mpd.find("startNumber='0'"), std::string::npos) << mpd;
    EXPECT_EQ(mpd.find("bandwidth='0'"), std::string::npos) << mpd;
}

TEST_F(HlsE2E, AudioThatCannotBeEncodedLeavesVideoAlone) {
    yvk::test::TraceCapture trace;
    ASSERT_NE(create(true, true, 12), nullptr);
    EXPECT_TRUE(trace.contains("AudioEncSource::createNew() returns NULL"));
    ASSERT_EQ(YVK_StreamerCoreRun(fCore), 1);
    std::vector<std::string> urls = waitForSegments(1);
    ASSERT_FALSE(urls.empty());
    std::string file = "/tmp/yvk-segment-video-" + std::to_string(::getpid()) + ".ts";
    EXPECT_EQ(fetchSegment(urls.front(), file), "");
    std::string codecs = probeCodecs(file);
    EXPECT_NE(codecs.find("h264"), std::string::npos) << codecs;
    EXPECT_EQ(codecs.find("aac"), std::string::npos) << codecs;
    std::remove(file.c_str());
}

TEST_F(HlsE2E, WithoutVideoNothingIsRegistered) {
    yvk::test::TraceCapture trace;
    ASSERT_NE(create(false, true), nullptr);
    ASSERT_NE(fCore->rtspServer, nullptr);
    EXPECT_EQ(yvk::test::findSession(*fCore->rtspServer, "live"), nullptr);
    EXPECT_FALSE(trace.contains("Play this stream using the URL"));
}

} // namespace
