// Block sizes, the sample clock, truncation and the host calls of the PCM
// source; the choices of the u-law subsession.
#include "EventLoop.hh"
#include "LiveTestSupport.hh"
#include "PCMAudioServerMediaSubsession.hh"
#include "PCMQueueSource.hh"

#include <liveMedia.hh>

using yvk::test::Delivery;
using yvk::test::microseconds;

namespace {

class PCMSource : public yvk::test::LiveEnvironment {
protected:
    void TearDown() override {
        if (fSource != nullptr) Medium::close(fSource);
        EXPECT_TRUE(fHost.balanced());
    }
    PCMQueueSource* create(int rate = 16000, int bits = 16) {
        return fSource = PCMQueueSource::createNew(env(), rate, bits, 1, fHost.io());
    }
    Delivery request(unsigned maxSize = sizeof fBuffer) { return yvk::test::request(*fSource, fBuffer, maxSize); }
    yvk::test::FakeHostQueue fHost;
    PCMQueueSource* fSource = nullptr;
    unsigned char fBuffer[4096];
};

TEST(PCMBlockSize, AtMost1400BytesAndAtMost20Milliseconds) {
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(16000, 16, 1), 640u);
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(44100, 16, 2), 1400u);
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(48000, 24, 2), 1398u); // 233 samples of 6 bytes
    EXPECT_EQ(PCMQueueSource::preferredFrameSize(16000, 4, 1), 160u);
}

TEST_F(PCMSource, LaterBlocksContinueTheSampleClockWhateverTheWallClockAndAcrossStopsLargeOnesAreCut) {
    ASSERT_NE(create(), nullptr);
    auto* a = fHost.add(std::vector<uint8_t>(640, 1));
    Delivery first = request();
    ASSERT_TRUE(first.done);
    EXPECT_EQ(first.size, 640u);
    EXPECT_EQ(first.duration, 20000u);
    EXPECT_EQ(fHost.released(a), 1); // within the same call
    YVK_ThreadSleep(20); // a gap in host delivery does not move the clock
    fHost.add(std::vector<uint8_t>(640, 2));
    Delivery second = request();
    EXPECT_EQ(microseconds(second.time) - microseconds(first.time), 20000);
    fHost.add(std::vector<uint8_t>(320, 3));
    Delivery third = request();
    EXPECT_EQ(microseconds(third.time) - microseconds(second.time), 20000);
    EXPECT_EQ(third.duration, 10000u);
    fSource->stopGettingFrames(); // tells the host; the next request announces again
    fHost.add(std::vector<uint8_t>(640, 4));
    Delivery fourth = request();
    EXPECT_EQ(microseconds(fourth.time) - microseconds(third.time), 10000); // the clock runs on across stops
    EXPECT_EQ(fHost.streamingCalls(), (std::vector<int>{1, 0, 1}));
    // A block larger than the consumer's buffer, lowered to the 640-byte
    // block, is cut and counted.
    auto* big = fHost.add(std::vector<uint8_t>(1000, 7));
    Delivery cut = request();
    EXPECT_EQ(cut.size, 640u);
    EXPECT_EQ(cut.truncated, 360u);
    EXPECT_EQ(fHost.released(big), 1);
    fHost.add(std::vector<uint8_t>(600, 7));
    cut = request(100);
    EXPECT_EQ(cut.size, 100u);
    EXPECT_EQ(cut.truncated, 500u);
}

TEST_F(PCMSource, RefusedAndNarrowFormatsAndABlockWithoutData) {
    EXPECT_EQ(create(16000, 0), nullptr);
    EXPECT_EQ(create(0, 16), nullptr);
    ASSERT_NE(create(8000, 4), nullptr);
    fHost.add(std::vector<uint8_t>(80, 0));
    EXPECT_EQ(request().duration, 10000u); // 80 "frames" of 125 us
    YVKStreamerStream* hollow = fHost.add(std::vector<uint8_t>(80, 0));
    hollow->data = nullptr;
    EXPECT_FALSE(request().done);
    EXPECT_EQ(fHost.released(hollow), 1);
}

// A host with nothing to give: the source asks again from the event loop and
// never within the request, so a consumer that asks again at once after an
// empty delivery (as the RTP sink does) cannot deepen the stack, and the
// loop never waits on the host.  After about a second the consumer gets an
// empty delivery that leaves the clock; a block that comes goes out at the
// next poll.
TEST_F(PCMSource, AnEmptyQueueIsPolledFromTheLoopAndAnsweredEmptyAfterASecond) {
    ASSERT_NE(create(), nullptr);
    struct Consumer {
        PCMQueueSource* source;
        std::vector<Delivery> got;
        unsigned char buffer[2048];
        void ask() { source->getNextFrame(buffer, sizeof buffer, after, this, nullptr, nullptr); }
        static void after(void* data, unsigned size, unsigned truncated, timeval time, unsigned duration) {
            auto* self = static_cast<Consumer*>(data);
            self->got.push_back(Delivery{true, false, size, truncated, duration, time});
            if (self->got.size() < 3) self->ask();
        }
    } consumer{fSource, {}, {}};
    consumer.ask();
    EXPECT_TRUE(consumer.got.empty());
    yvk::test::runLoopFor(env(), 300);
    EXPECT_TRUE(consumer.got.empty());
    EXPECT_EQ(fHost.longestWait(), 0);
    EXPECT_GE(fHost.polls(), 3);
    EXPECT_LE(fHost.polls(), 100);
    ASSERT_TRUE(yvk::test::runLoopUntil(env(), [&] { return !consumer.got.empty(); }, 2000));
    EXPECT_EQ(consumer.got[0].size, 0u);
    EXPECT_EQ(consumer.got[0].time.tv_sec, 0);
    fHost.add(std::vector<uint8_t>(640, 1));
    // The next poll takes it (the bound leaves room for a loaded machine).
    ASSERT_TRUE(yvk::test::runLoopUntil(env(), [&] { return consumer.got.size() >= 2; }, 1000));
    EXPECT_EQ(consumer.got[1].size, 640u);
    // Closed while the third request polls.
}

// The u-law subsession with its protected steps opened up.
class ULawProbe : public PCMAudioServerMediaSubsession {
public:
    ULawProbe(UsageEnvironment& env, PCMAudioServerParam& param)
        : PCMAudioServerMediaSubsession(env, creator, param) {}
    using PCMAudioServerMediaSubsession::createNewRTPSink;
    using PCMAudioServerMediaSubsession::createNewStreamSource;
    static PCMQueueSource* creator(UsageEnvironment& env, PCMAudioServerParam& param) {
        return PCMQueueSource::createNew(env, param.word[0], param.word[1], param.word[2], YVKStreamerQIO{});
    }
};

using ULawSubsession = yvk::test::LiveEnvironment;

// 16-bit samples become u-law; other usable widths go out as they are.
TEST_F(ULawSubsession, PayloadFormatTypeAndBitrateFollowTheSamples) {
    struct Case {
        int rate, bits, channels;
        bool source;
        unsigned kbps;
        int payloadType;
        std::string name;
    } cases[] = {
        {8000, 16, 1, true, 64, 0, "PCMU"},       {16000, 16, 1, true, 128, 97, "PCMU"},
        {48000, 24, 2, true, 2304, 97, "L24"},    {16000, 20, 1, true, 320, 97, "L20"},
        {8000, 8, 1, true, 64, 97, "L8"},         {8000, 4, 1, true, 32, 97, "L8"},
        {16000, 12, 1, false, 0, -1, ""},         {16000, 32, 1, false, 0, -1, ""},
        {16000, 6, 1, false, 0, -1, ""},
    };
    auto groupsock = yvk::test::loopbackGroupsock(env());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.bits << " bits, " << c.channels << " channels");
        PCMAudioServerParam param{};
        param.word[0] = c.rate;
        param.word[1] = c.bits;
        param.word[2] = c.channels;
        auto* subsession = new ULawProbe(env(), param);
        unsigned kbps = 0;
        FramedSource* source = subsession->createNewStreamSource(1, kbps);
        EXPECT_EQ(source != nullptr, c.source);
        if (source != nullptr) {
            EXPECT_EQ(kbps, c.kbps);
            RTPSink* sink = subsession->createNewRTPSink(groupsock.get(), 97, source);
            ASSERT_NE(sink, nullptr);
            EXPECT_EQ(sink->rtpPayloadType(), c.payloadType);
            EXPECT_EQ(sink->rtpPayloadFormatName(), c.name);
            Medium::close(sink);
            Medium::close(source);
        }
        Medium::close(subsession);
    }
}

} // namespace
