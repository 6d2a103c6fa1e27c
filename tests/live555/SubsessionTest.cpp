// The per-format tables of the live subsessions: framer, RTP sink, payload
// type and bitrate estimate, and the SDP lines of a video source.
#include "BaseServerMediaSubsession.hh"
#include "H26xProbe.hh"
#include "ReplicaGate.hh"
#include "LiveRTSPServer.hh"
#include "LiveTestSupport.hh"
#include "PCMQueueSource.hh"
#include "UnicastServerMediaSubsession.hh"

#include <liveMedia.hh>

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <memory>

using yvk::test::annexB;

namespace {

class Tables : public yvk::test::LiveEnvironment {
protected:
    void SetUp() override {
        LiveEnvironment::SetUp();
        sockaddr_storage address{};
        address.ss_family = AF_INET;
        reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fGroupsock = std::make_unique<Groupsock>(env(), address, Port(0), 1);
        fInput = PCMQueueSource::createNew(env(), 16000, 16, 1, YVKStreamerQIO{});
    }
    void TearDown() override {
        Medium::close(fInput);
        fGroupsock.reset();
        LiveEnvironment::TearDown();
    }
    struct Sink {
        bool exists = false;
        int payloadType = -1;
        std::string name;
        unsigned clock = 0;
        unsigned channels = 0;
    };
    Sink sink(const char* format, int bits, int rate, int channels) {
        RTPSink* s = BaseServerMediaSubsession::createSink(env(), fGroupsock.get(), 98, format, bits, rate, channels);
        Sink result;
        if (s == nullptr) return result;
        result = Sink{true, s->rtpPayloadType(), s->rtpPayloadFormatName(), s->rtpTimestampFrequency(),
                      s->numChannels()};
        Medium::close(s);
        return result;
    }
    std::unique_ptr<Groupsock> fGroupsock;
    FramedSource* fInput = nullptr;
};

TEST_F(Tables, L16PayloadTypesFollowRateAndChannels) {
    Sink mono16k = sink("audio/L16", 16, 16000, 1);
    EXPECT_EQ(mono16k.payloadType, 96);
    EXPECT_EQ(mono16k.name, "L16");
    EXPECT_EQ(mono16k.clock, 16000u);
    Sink stereo = sink("audio/L16", 16, 44100, 2);
    EXPECT_EQ(stereo.payloadType, 10);
    EXPECT_EQ(stereo.channels, 2u);
    EXPECT_EQ(stereo.clock, 44100u);
    EXPECT_EQ(sink("audio/L16", 16, 44100, 1).payloadType, 11);
    EXPECT_EQ(sink("audio/L16", 16, 48000, 2).payloadType, 96);
    Sink l8 = sink("audio/L16", 8, 8000, 1);
    EXPECT_EQ(l8.name, "L8");
    EXPECT_EQ(l8.payloadType, 98);
    EXPECT_EQ(sink("audio/L16", 24, 48000, 2).name, "L24");
    EXPECT_EQ(sink("audio/L16", 20, 48000, 2).name, "L20");
}

TEST_F(Tables, VideoAndTransportStreamSinksAndTheFormatsWithout) {
    EXPECT_EQ(sink("video/H264", 16, 16000, 1).name, "H264");
    EXPECT_EQ(sink("video/H264", 16, 16000, 1).payloadType, 98);
    EXPECT_EQ(sink("video/H265", 16, 16000, 1).name, "H265");
    Sink ts = sink("video/MP2T", 16, 16000, 1);
    EXPECT_EQ(ts.name, "MP2T");
    EXPECT_EQ(ts.clock, 90000u);
    for (const char* none : {"video/VP8", "video/VP9", "video/JPEG", "audio/AAC", ""}) {
        EXPECT_FALSE(sink(none, 16, 16000, 1).exists) << none;
    }
}

TEST_F(Tables, SourcesAndBitrateEstimates) {
    unsigned kbps = 1;
    FramedSource* h264 = BaseServerMediaSubsession::createSource(env(), fInput, "video/H264", 16, 16000, 1, kbps);
    ASSERT_NE(h264, nullptr);
    EXPECT_TRUE(h264->isH264VideoStreamFramer());
    EXPECT_EQ(kbps, 14000u);
    static_cast<FramedFilter*>(h264)->detachInputSource();
    Medium::close(h264);
    kbps = 1;
    FramedSource* h265 = BaseServerMediaSubsession::createSource(env(), fInput, "video/H265", 16, 16000, 1, kbps);
    EXPECT_TRUE(h265->isH265VideoStreamFramer());
    static_cast<FramedFilter*>(h265)->detachInputSource();
    Medium::close(h265);
    kbps = 1;
    EXPECT_EQ(BaseServerMediaSubsession::createSource(env(), fInput, "audio/L16", 16, 16000, 1, kbps), fInput);
    EXPECT_EQ(kbps, 256u);
    kbps = 1;
    EXPECT_EQ(BaseServerMediaSubsession::createSource(env(), fInput, "video/JPEG", 16, 16000, 1, kbps), nullptr);
    EXPECT_EQ(BaseServerMediaSubsession::createSource(env(), fInput, "audio/other", 16, 16000, 1, kbps), fInput);
    EXPECT_EQ(kbps, 1u); // left as the caller set it
}

TEST_F(Tables, AuxLineCarriesTheParameterTextAndTheDimensions) {
    yvk::test::FakeHostQueue host;
    auto* video = H26xProbe::create(env(), "video/H264", 25, host.io(), 1280, 720);
    auto au = annexB({{0x67, 0x42, 0xe0, 0x1f}, {0x68, 0xce}, {0x65, 0x88}});
    bool key = false;
    video->splitFrames(au.data(), static_cast<int>(au.size()), key);
    char* line = BaseServerMediaSubsession::getAuxLine(video, 96);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line), "a=fmtp:96 " + video->getAuxLine() + "\r\na=x-dimensions:1280,720\r\n");
    delete[] line;
    auto* noSize = H26xProbe::create(env(), "video/H264", 25, host.io(), 0, 720);
    noSize->splitFrames(au.data(), static_cast<int>(au.size()), key);
    line = BaseServerMediaSubsession::getAuxLine(noSize, 97);
    EXPECT_EQ(std::string(line), "a=fmtp:97 " + noSize->getAuxLine() + "\r\n");
    delete[] line;
    EXPECT_EQ(BaseServerMediaSubsession::getAuxLine(nullptr, 96), nullptr);
    Medium::close(video);
    Medium::close(noSize);
}

TEST(KeyUnits, IdrAndIrapHeaders) {
    EXPECT_TRUE(ReplicaGate::isKeyUnit(264, 0x65));
    EXPECT_TRUE(ReplicaGate::isKeyUnit(264, 0x25));
    EXPECT_FALSE(ReplicaGate::isKeyUnit(264, 0x41));
    EXPECT_FALSE(ReplicaGate::isKeyUnit(264, 0x67));
    EXPECT_TRUE(ReplicaGate::isKeyUnit(265, 0x26)); // IDR_W_RADL
    EXPECT_TRUE(ReplicaGate::isKeyUnit(265, 0x2a)); // CRA
    EXPECT_FALSE(ReplicaGate::isKeyUnit(265, 0x02));
    EXPECT_FALSE(ReplicaGate::isKeyUnit(265, 0x42));
}

TEST(RtspTransport, UdpSpellingIsServedAsPlainRtp) {
    EXPECT_EQ(LiveRTSPServer::normaliseTransport("SETUP x RTSP/1.0\r\nTransport: RTP/AVP/UDP;unicast;client_port=5-6\r\n"),
              "SETUP x RTSP/1.0\r\nTransport: RTP/AVP;unicast;client_port=5-6\r\n");
    EXPECT_EQ(LiveRTSPServer::normaliseTransport("Transport: RTP/AVP/TCP;interleaved=0-1"),
              "Transport: RTP/AVP/TCP;interleaved=0-1");
    EXPECT_EQ(LiveRTSPServer::normaliseTransport(nullptr), "");
}

} // namespace
