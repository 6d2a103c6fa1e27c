// Block sizes, the sample clock, truncation and the host calls of the PCM
// source; the choices of the u-law subsession.
#include "LiveTestSupport.hh"
#include "PCMAudioServerMediaSubsession.hh"
#include "PCMQueueSource.hh"
#include "yvk_system.h"

#include <liveMedia.hh>

#include <gtest/gtest.h>

#include <netinet/in.h>

namespace {

struct Delivery {
    bool done = false;
    unsigned size = 0;
    unsigned truncated = 0;
    unsigned duration = 0;
    timeval time{};
};

void afterGetting(void* data, unsigned size, unsigned truncated, timeval time, unsigned duration) {
    auto* d = static_cast<Delivery*>(data);
    *d = Delivery{true, size, truncated, duration, time};
}

long long us(const timeval& t) { return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec; }

class PCMSource : public yvk::test::LiveEnvironment {
protected:
    void TearDown() override {
        if (fSource != nullptr) Medium::close(fSource);
        EXPECT_TRUE(fHost.balanced());
        LiveEnvironment::TearDown();
    }
    Delivery request(unsigned maxSize = sizeof fBuffer) {
        Delivery d;
        fSource->getNextFrame(fBuffer, maxSize, afterGetting, &d, nullptr, nullptr);
        return d;
    }
    yvk::test::FakeHostQueue fHost;
    PCMQueueSource* fSource = nullptr;
    unsigned char fBuffer[4096];
};

TEST(PCMBlockSize, AtMost1400BytesAndAtMost20Milliseconds) {
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(16000, 16, 1), 640u);
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(44100, 16, 2), 1400u);
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(8000, 8, 1), 160u);
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(48000, 24, 2), 1398u); // 233 samples of 6 bytes
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(16000, 4, 1), 160u);
}

TEST_F(PCMSource, SecondBlockContinuesTheSampleClockWhateverTheWallClock) {
    fSource = PCMQueueSource::createNew(env(), 16000, 16, 1, fHost.io());
    ASSERT_NE(fSource, nullptr);
    auto* a = fHost.add(std::vector<uint8_t>(640, 1));
    Delivery first = request();
    ASSERT_TRUE(first.done);
    EXPECT_EQ(first.size, 640u);
    EXPECT_EQ(first.duration, 20000u);
    EXPECT_EQ(fHost.released(a), 1); // within the same call
    YVK_ThreadSleep(20); // a gap in host delivery does not move the clock
    fHost.add(std::vector<uint8_t>(640, 2));
    Delivery second = request();
    EXPECT_EQ(us(second.time) - us(first.time), 20000);
    fHost.add(std::vector<uint8_t>(320, 3));
    Delivery third = request();
    EXPECT_EQ(us(third.time) - us(second.time), 20000);
    EXPECT_EQ(third.duration, 10000u);
    EXPECT_EQ(fHost.streamingCalls(), std::vector<int>{1});
}

TEST_F(PCMSource, NoRecordGivesAnEmptyDeliveryAndLeavesTheClock) {
    fSource = PCMQueueSource::createNew(env(), 16000, 16, 1, YVKStreamerQIO{});
    Delivery d = request();
    EXPECT_TRUE(d.done);
    EXPECT_EQ(d.size, 0u);
    EXPECT_EQ(d.time.tv_sec, 0);
}

TEST_F(PCMSource, BlockLargerThanTheConsumerBufferIsCutAndCounted) {
    fSource = PCMQueueSource::createNew(env(), 16000, 16, 1, fHost.io());
    auto* big = fHost.add(std::vector<uint8_t>(1000, 7));
    Delivery d = request(); // the buffer is lowered to the 640-byte block
    EXPECT_EQ(d.size, 640u);
    EXPECT_EQ(d.truncated, 360u);
    EXPECT_EQ(fHost.released(big), 1);
    fHost.add(std::vector<uint8_t>(600, 7));
    Delivery small = request(100);
    EXPECT_EQ(small.size, 100u);
    EXPECT_EQ(small.truncated, 500u);
}

TEST_F(PCMSource, NarrowSamplesCountOneBytePerSampleFrame) {
    fSource = PCMQueueSource::createNew(env(), 8000, 4, 1, fHost.io());
    fHost.add(std::vector<uint8_t>(80, 0));
    Delivery d = request();
    EXPECT_EQ(d.duration, 10000u); // 80 "frames" of 125 us
}

TEST_F(PCMSource, StopTellsTheHostAndTheNextRequestStartsAgain) {
    fSource = PCMQueueSource::createNew(env(), 16000, 16, 1, fHost.io());
    fHost.add(std::vector<uint8_t>(640, 1));
    request();
    fSource->stopGettingFrames();
    fHost.add(std::vector<uint8_t>(640, 1));
    request();
    EXPECT_EQ(fHost.streamingCalls(), (std::vector<int>{1, 0, 1}));
}

TEST_F(PCMSource, UnusableFormatIsRefused) {
    EXPECT_EQ(PCMQueueSource::createNew(env(), 16000, 0, 1, fHost.io()), nullptr);
    EXPECT_EQ(PCMQueueSource::createNew(env(), 0, 16, 1, fHost.io()), nullptr);
}

// The u-law subsession with its protected steps opened up.
class ULawProbe : public PCMAudioServerMediaSubsession {
public:
    ULawProbe(UsageEnvironment& env, PCMQueueSourceCreator creator, PCMAudioServerParam& param)
        : PCMAudioServerMediaSubsession(env, creator, param) {}
    using PCMAudioServerMediaSubsession::createNewRTPSink;
    using PCMAudioServerMediaSubsession::createNewStreamSource;
};

PCMQueueSource* creatorFromParam(UsageEnvironment& env, PCMAudioServerParam& param) {
    return PCMQueueSource::createNew(env, param.word[0], param.word[1], param.word[2], YVKStreamerQIO{});
}

class ULawSubsession : public yvk::test::LiveEnvironment {
protected:
    struct Choice {
        bool source = false;
        unsigned kbps = 0;
        int payloadType = -1;
        std::string name;
    };
    Choice choose(int rate, int bits, int channels) {
        PCMAudioServerParam param{};
        param.word[0] = rate;
        param.word[1] = bits;
        param.word[2] = channels;
        auto* subsession = new ULawProbe(env(), creatorFromParam, param);
        Choice choice;
        FramedSource* source = subsession->createNewStreamSource(1, choice.kbps);
        choice.source = source != nullptr;
        if (source != nullptr) {
            sockaddr_storage address{};
            address.ss_family = AF_INET;
            reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            Groupsock groupsock(env(), address, Port(0), 1);
            RTPSink* sink = subsession->createNewRTPSink(&groupsock, 97, source);
            if (sink != nullptr) {
                choice.payloadType = sink->rtpPayloadType();
                choice.name = sink->rtpPayloadFormatName();
                Medium::close(sink);
            }
            Medium::close(source);
        }
        Medium::close(subsession);
        return choice;
    }
};

TEST_F(ULawSubsession, SixteenBitMonoAt8kHzIsPcmuPayloadTypeZero) {
    Choice c = choose(8000, 16, 1);
    EXPECT_TRUE(c.source);
    EXPECT_EQ(c.kbps, 64u);
    EXPECT_EQ(c.payloadType, 0);
    EXPECT_EQ(c.name, "PCMU");
}

TEST_F(ULawSubsession, OtherRatesAndWidthsTakeTheDynamicType) {
    Choice pcmu = choose(16000, 16, 1);
    EXPECT_EQ(pcmu.payloadType, 97);
    EXPECT_EQ(pcmu.name, "PCMU");
    EXPECT_EQ(pcmu.kbps, 128u);
    Choice l24 = choose(48000, 24, 2);
    EXPECT_EQ(l24.name, "L24");
    EXPECT_EQ(l24.kbps, 2304u);
    EXPECT_EQ(choose(16000, 20, 1).name, "L20");
    EXPECT_EQ(choose(8000, 8, 1).name, "L8");
    EXPECT_EQ(choose(8000, 4, 1).name, "L8");
}

TEST_F(ULawSubsession, TwelveAndThirtyTwoBitSourcesAreRefused) {
    EXPECT_FALSE(choose(16000, 12, 1).source);
    EXPECT_FALSE(choose(16000, 32, 1).source);
    EXPECT_FALSE(choose(16000, 6, 1).source);
}

} // namespace
