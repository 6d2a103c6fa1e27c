// The per-format tables of the live subsessions: framer, RTP sink, payload
// type and bitrate estimate, and the SDP lines of a video source.
#include "BaseServerMediaSubsession.hh"
#include "EventLoop.hh"
#include "H26xQueueSource.hh"
#include "LiveRTSPServer.hh"
#include "LiveTestSupport.hh"
#include "PCMQueueSource.hh"

#include <liveMedia.hh>

using yvk::test::annexB;

namespace {

using Tables = yvk::test::LiveEnvironment;

TEST_F(Tables, SinkPerFormatWithTheL16PayloadTypes) {
    struct Case {
        const char* format;
        int bits, rate, channels;
        int payloadType; // -1: no sink
        const char* name;
        unsigned clock, sinkChannels;
    } cases[] = {
        {"audio/L16", 16, 16000, 1, 96, "L16", 16000, 1},    {"audio/L16", 16, 44100, 2, 10, "L16", 44100, 2},
        {"audio/L16", 16, 44100, 1, 11, "L16", 44100, 1},    {"audio/L16", 16, 48000, 2, 96, "L16", 48000, 2},
        {"audio/L16", 8, 8000, 1, 98, "L8", 8000, 1},        {"audio/L16", 24, 48000, 2, 98, "L24", 48000, 2},
        {"audio/L16", 20, 48000, 2, 98, "L20", 48000, 2},    {"video/H264", 16, 16000, 1, 98, "H264", 90000, 1},
        {"video/H265", 16, 16000, 1, 98, "H265", 90000, 1},  {"video/MP2T", 16, 16000, 2, 33, "MP2T", 90000, 1},
        {"video/VP8", 16, 16000, 1, -1, "", 0, 0},          {"video/VP9", 16, 16000, 1, -1, "", 0, 0},
        {"video/JPEG", 16, 16000, 1, -1, "", 0, 0},         {"audio/AAC", 16, 16000, 1, -1, "", 0, 0},
        {"", 16, 16000, 1, -1, "", 0, 0},
    };
    auto groupsock = yvk::test::loopbackGroupsock(env());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.format << " " << c.bits << " bits " << c.rate << " Hz " << c.channels);
        RTPSink* sink = BaseServerMediaSubsession::createSink(env(), groupsock.get(), 98, c.format, c.bits, c.rate,
                                                              c.channels);
        ASSERT_EQ(sink != nullptr, c.payloadType >= 0);
        if (sink == nullptr) continue;
        EXPECT_EQ(sink->rtpPayloadType(), c.payloadType);
        EXPECT_STREQ(sink->rtpPayloadFormatName(), c.name);
        EXPECT_EQ(sink->rtpTimestampFrequency(), c.clock);
        EXPECT_EQ(sink->numChannels(), c.sinkChannels);
        Medium::close(sink);
    }
}

// kbps 1 stands for an estimate left as the caller set it.
TEST_F(Tables, SourcesAndBitrateEstimates) {
    enum Kind { kInput, kNone, kH264Framer, kH265Framer };
    struct Case {
        const char* format;
        Kind kind;
        unsigned kbps;
    } cases[] = {{"video/H264", kH264Framer, 14000}, {"video/H265", kH265Framer, 14000}, {"audio/L16", kInput, 256},
                 {"video/JPEG", kNone, 1}, {"audio/other", kInput, 1}};
    FramedSource* input = PCMQueueSource::createNew(env(), 16000, 16, 1, YVKStreamerQIO{});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        unsigned kbps = 1;
        FramedSource* source = BaseServerMediaSubsession::createSource(env(), input, c.format, 16, 16000, 1, kbps);
        EXPECT_EQ(kbps, c.kbps);
        if (c.kind == kInput || c.kind == kNone) {
            EXPECT_EQ(source, c.kind == kInput ? input : nullptr);
            continue;
        }
        ASSERT_NE(source, nullptr);
        EXPECT_TRUE(c.kind == kH264Framer ? source->isH264VideoStreamFramer() : source->isH265VideoStreamFramer());
        static_cast<FramedFilter*>(source)->detachInputSource();
        Medium::close(source);
    }
    Medium::close(input);
}

// The reader thread as the assembly starts it: records before the parameter
// sets go back, the host is told to stop once the text exists, and
// closing joins it and releases what it took.  Width 0: no dimensions line.
TEST_F(Tables, ReaderThreadCapturesTheAuxLineWithTheDimensions) {
    yvk::test::FakeHostQueue host;
    for (int width : {1280, 0}) {
        const size_t before = host.streamingCalls().size();
        for (int i = 0; i < 3; ++i) host.add(annexB({{0x41, 0x9a}}));
        host.add(annexB({{0x67, 0x42, 0xe0, 0x1f}, {0x68, 0xce}, {0x65, 0x88}}), true);
        host.add(annexB({{0x41, 0x9a}}));
        auto* video = H26xQueueSource::createNew(env(), "video/H264", 25, width, 720, host.io(), true);
        char* line = BaseServerMediaSubsession::getAuxLine(video, 96); // once the reader has the text
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(std::string(line), "a=fmtp:96 profile-level-id=42e01f;sprop-parameter-sets=Z0LgHw==,aM4=\r\n" +
                                         std::string(width > 0 ? "a=x-dimensions:1280,720\r\n" : ""));
        delete[] line;
        // The event loop, woken by the reader, tells the host to stop while
        // nobody asks.
        yvk::test::runLoopUntil(env(), [&] { return host.streamingCalls().size() >= before + 2; }, 5000);
        std::vector<int> calls = host.streamingCalls();
        EXPECT_EQ(std::vector<int>(calls.begin() + static_cast<long>(before), calls.end()), (std::vector<int>{1, 0}));
        Medium::close(video);
        EXPECT_EQ(host.streamingCalls().back(), 0);
    }
    EXPECT_TRUE(host.balanced());
    EXPECT_EQ(BaseServerMediaSubsession::getAuxLine(nullptr, 96), nullptr);
}

TEST(RtspTransport, UdpSpellingIsServedAsPlainRtpAndDestinationsAreDropped) {
    EXPECT_EQ(LiveRTSPServer::normaliseTransport("SETUP x RTSP/1.0\r\nTransport: RTP/AVP/UDP;unicast;client_port=5-6\r\n"),
              "SETUP x RTSP/1.0\r\nTransport: RTP/AVP;unicast;client_port=5-6\r\n");
    EXPECT_EQ(LiveRTSPServer::normaliseTransport("Transport: RTP/AVP/TCP;interleaved=0-1"),
              "Transport: RTP/AVP/TCP;interleaved=0-1");
    EXPECT_EQ(LiveRTSPServer::normaliseTransport(nullptr), "");
    EXPECT_EQ(LiveRTSPServer::normaliseTransport("S\r\nTransport: destination=x;RTP/AVP;Destination=y;client_port=5\r\n"
                                                 "X: destination=z\r\n\r\n"),
              "S\r\nTransport:RTP/AVP;client_port=5\r\nX: destination=z\r\n\r\n");
    EXPECT_EQ(LiveRTSPServer::normaliseTransport("S\r\nxTRANSPORT: RTP/AVP;unicast;destination=1.2.3.4\r\n"),
              "S\r\nxTRANSPORT: RTP/AVP;unicast\r\n");
}

TEST(RtspTransport, RawUdpAndInterleavedAreFoundInTheTransportHeaderLive555Reads) {
    EXPECT_TRUE(LiveRTSPServer::asksForRawUdp("SETUP x RTSP/1.0\r\nTransport: RTP/AVP;RAW/RAW/UDP;unicast\r\n"));
    EXPECT_TRUE(LiveRTSPServer::asksForRawUdp("SETUP x RTSP/1.0\r\ntransport: MP2T/H2221/UDP\r\n"));
    EXPECT_TRUE(LiveRTSPServer::asksForRawUdp("SETUP x RTSP/1.0\r\nXTRANSPORT: RAW/RAW/UDP\r\n"));
    EXPECT_FALSE(LiveRTSPServer::asksForRawUdp("SETUP x RTSP/1.0\r\n\r\nTransport: RAW/RAW/UDP\r\n"));
    EXPECT_FALSE(LiveRTSPServer::asksForRawUdp("SETUP x/RAW/RAW/UDP RTSP/1.0\r\nTransport: RTP/AVP\r\n"));
    EXPECT_TRUE(LiveRTSPServer::asksForInterleavedTcp("SETUP x RTSP/1.0\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n"));
    EXPECT_FALSE(LiveRTSPServer::asksForInterleavedTcp("SETUP x RTSP/1.0\r\nX: RTP/AVP/TCP\r\nTransport: RTP/AVP\r\n"));
}

} // namespace
