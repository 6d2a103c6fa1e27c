// streamer_new_live and createAudioSource: what New builds for RTSP and HTTP
// streaming, the sample widths it refuses, and a clean teardown of the reader thread.
#include "../live555/LiveTestSupport.hh"
#include "CoreInstance.hh"
#include "CoreTestSupport.hh"
#include "PCMQueueSource.hh"
#include "Process.hh"
#include "TraceCapture.hh"
#include "yvkstreamer_core_live555.hh"

#include <liveMedia.hh>

#include <gtest/gtest.h>

namespace {

using yvk::test::FakeHostQueue;
using yvk::test::TraceCapture;

// Mono 16 kHz audio of that sample width.
YVKStreamerAudio audioOf(int bits) { return YVKStreamerAudio{1, {}, "audio/L16", 16000, bits, 1}; }

YVKStreamerLiveCfg liveCfg(unsigned short port, const char* video, int bits) {
    YVKStreamerLiveCfg cfg = yvk::test::liveConfig(port, "live");
    cfg.videoEnable = video != nullptr ? 1 : 0;
    cfg.videoFormat = video;
    cfg.videoFrameRate = 25;
    cfg.videoWidth = 640;
    cfg.videoHeight = 480;
    cfg.maxFrameSize = 300000;
    cfg.audio = audioOf(bits);
    cfg.audio.enable = bits != 0 ? 1 : 0;
    return cfg;
}

class LiveAssembly : public ::testing::Test {
protected:
    YVKStreamerCore* create(YVKStreamerLiveCfg cfg) {
        YVKStreamerQIO video = fVideo.io();
        YVKStreamerQIO audio = fAudio.io();
        return YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &video, &audio);
    }
    FakeHostQueue fVideo;
    FakeHostQueue fAudio;
};

TEST_F(LiveAssembly, RtspVideoAndAudioAreRegisteredAndTornDownCleanly) {
    TraceCapture trace;
    unsigned short port = yvk::test::freeTcpPort();
    YVKStreamerCore* core = create(liveCfg(port, "video/H264", 16));
    ASSERT_NE(core, nullptr);
    EXPECT_TRUE(trace.contains("Play this stream using the URL rtsp://127.0.0.1:" + std::to_string(port) + "/live"));
    EXPECT_EQ(YVK_StreamerCoreRun(core), 1);
    YVK_StreamerCoreFree(core); // joins the loop, then the video reader thread
    EXPECT_TRUE(fVideo.balanced());
    std::vector<int> calls = fVideo.streamingCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(std::make_pair(calls.front(), calls.back()), std::make_pair(1, 0)); // announced at New, ended at Free
}

TEST_F(LiveAssembly, TwelveBitAudioFailsNewWithBothMessagesInOrder) {
    TraceCapture trace;
    EXPECT_EQ(create(liveCfg(yvk::test::freeTcpPort(), "video/H264", 12)), nullptr);
    int refused = trace.indexOf("12 bits per sample is not supported.");
    int failed = trace.indexOf("createAudioSource() fail!");
    ASSERT_GE(refused, 0);
    EXPECT_GT(failed, refused);
    EXPECT_TRUE(fVideo.balanced()); // the video source built before was closed again
}

TEST_F(LiveAssembly, ZeroFrameRateFailsNewAndClosesTheServerItCreated) {
    TraceCapture trace;
    unsigned short port = yvk::test::freeTcpPort();
    YVKStreamerLiveCfg cfg = liveCfg(port, "video/H265", 0);
    cfg.videoFrameRate = 0;
    EXPECT_EQ(create(cfg), nullptr);
    EXPECT_TRUE(trace.contains("H26xQueueSource::createNew fail!"));
    // The port is free again; a format the RTSP path does not know is left
    // to the subsession.
    YVKStreamerCore* core = create(liveCfg(port, "video/JPEG", 0));
    ASSERT_NE(core, nullptr);
    YVK_StreamerCoreFree(core);
}

TEST_F(LiveAssembly, HttpStreamingRefusesAVideoFormatTheMultiplexerCannotCarry) {
    TraceCapture trace;
    YVKStreamerLiveCfg cfg = liveCfg(0, "video/VP8", 16);
    cfg.streamType = YVK_STREAM_TYPE_HLS;
    EXPECT_EQ(create(cfg), nullptr);
    EXPECT_TRUE(trace.contains("unknown video rtpFormat (video/VP8)"));
}

TEST_F(LiveAssembly, HttpStreamingWithoutVideoRegistersNothing) {
    TraceCapture trace;
    YVKStreamerLiveCfg cfg = liveCfg(0, nullptr, 16);
    cfg.streamType = YVK_STREAM_TYPE_HLS;
    YVKStreamerCore* core = create(cfg);
    ASSERT_NE(core, nullptr);
    ASSERT_NE(core->rtspServer, nullptr);
    EXPECT_EQ(yvk::test::findSession(*core->rtspServer, "live"), nullptr);
    EXPECT_FALSE(trace.contains("Play this stream using the URL"));
    YVK_StreamerCoreFree(core);
}

class AudioSource : public yvk::test::LiveEnvironment {
protected:
    FramedSource* make(int bits, int encode = 0) {
        YVKStreamerAudio audio = audioOf(bits);
        return createAudioSource(env(), &audio, YVKStreamerQIO{}, encode, nullptr);
    }

    // Whether the source made for bits is of type Source.
    template <typename Source> bool makes(int bits) {
        FramedSource* source = make(bits);
        bool matches = dynamic_cast<Source*>(source) != nullptr;
        Medium::close(source);
        return matches;
    }
};

TEST_F(AudioSource, WidthsChooseTheByteOrderFilterOrAreRefusedWithTheirReason) {
    EXPECT_TRUE(makes<PCMQueueSource>(4));
    EXPECT_TRUE(makes<PCMQueueSource>(8));
    EXPECT_TRUE(makes<EndianSwap16>(16));
    EXPECT_TRUE(makes<EndianSwap24>(20));
    EXPECT_TRUE(makes<EndianSwap24>(24));

    TraceCapture trace;
    EXPECT_EQ(make(32), nullptr);
    EXPECT_EQ(make(6), nullptr);
    EXPECT_TRUE(trace.contains("32 bits per sample is not supported."));
    EXPECT_EQ(make(16, 1), nullptr);
    EXPECT_TRUE(trace.contains("AudioEncSource::createNew() returns NULL"));
}

} // namespace
