// The encoding audio source against a scripted host queue: silence until
// video delivers, then the host's blocks, an empty queue, a stopped host.
#include "AudioEncSource.hh"
#include "EventLoop.hh"
#include "LiveTestSupport.hh"

#include <iterator>

namespace {

using yvk::test::TraceCapture;

class AudioEncSourceTest : public yvk::test::LiveEnvironment {
protected:
    void TearDown() override {
        if (fSource != nullptr) Medium::close(fSource);
        EXPECT_TRUE(fHost.balanced());
        EXPECT_EQ(fHost.longestWait(), 0); // the event loop never waits for the host
    }
    AudioEncSource* create(int encoderType = 1, bool videoStarted = false) {
        AudioEncInfo info{16000, 16, 1, 0, 96000, encoderType};
        fVideoStarted = videoStarted;
        fSource = AudioEncSource::createNew(env(), &info, fHost.io(), true, &fVideoStarted);
        return fSource;
    }
    void queueBlocks(int count, unsigned bytes) {
        for (int i = 0; i < count; ++i) fHost.add(std::vector<uint8_t>(bytes, 0x10));
    }
    // Asks for one frame into the first maxSize bytes of the buffer and runs
    // the loop until it arrives (whole, stamped now) or timeoutMs passed.
    bool requestFrame(int timeoutMs = 1000, unsigned maxSize = sizeof fBuffer) {
        fGot = {};
        fSource->getNextFrame(fBuffer, maxSize, yvk::test::delivered, &fGot, FramedSource::handleClosure, fSource);
        return waitFrame(timeoutMs);
    }
    bool waitFrame(int timeoutMs) {
        if (!yvk::test::runLoopUntil(env(), [this] { return fGot.done; }, timeoutMs)) return false;
        EXPECT_EQ(fGot.truncated, 0u);
        EXPECT_NEAR(yvk::test::microseconds(fGot.time) / 1e6, now(), 0.5);
        return true;
    }
    static double now() {
        timeval t;
        gettimeofday(&t, nullptr);
        return yvk::test::microseconds(t) / 1e6;
    }

    AudioEncSource* fSource = nullptr;
    yvk::test::FakeHostQueue fHost;
    bool fVideoStarted = false;
    unsigned char fBuffer[8199];
    yvk::test::Delivery fGot;
};

// A consumer whose buffer is smaller than the encoder's largest frame: the
// encoder is given the consumer's size, never writes past it, and a frame
// that does not fit is not delivered.
TEST_F(AudioEncSourceTest, EncoderNeverWritesPastTheConsumersBuffer) {
    ASSERT_NE(create(1, true), nullptr);
    queueBlocks(8, 2048);
    const unsigned small = 64;
    std::fill(std::begin(fBuffer), std::end(fBuffer), 0xa5);
    EXPECT_FALSE(requestFrame(500, small)); // every block is tried in turn; none fits
    for (unsigned at = small; at < sizeof fBuffer; ++at) ASSERT_EQ(fBuffer[at], 0xa5) << "written at " << at;
}

// 1024 samples at 16 kHz are 64 ms of silence per frame.
TEST_F(AudioEncSourceTest, SilenceBeforeVideoComesAtRealTimePaceAndLeavesTheHostAlone) {
    ASSERT_NE(create(), nullptr);
    ASSERT_TRUE(requestFrame());
    double first = now();
    int nonEmpty = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(requestFrame());
        nonEmpty += fGot.size > 0 ? 1 : 0;
    }
    EXPECT_GT(now() - first, 10 * 0.064 * 0.8);
    EXPECT_GT(nonEmpty, 0); // encoded silence once the encoder's look-ahead is filled
    EXPECT_EQ(fHost.polls(), 0);
    EXPECT_TRUE(fHost.streamingCalls().empty());
}

TEST_F(AudioEncSourceTest, AfterVideoStartsTheHostsBlocksAreEncodedAndReleasedAcrossAStop) {
    TraceCapture trace;
    ASSERT_NE(create(1, true), nullptr);
    EXPECT_TRUE(trace.contains("AAC Encoder is created! (inputSize: 2048, outputSize: 8199)")); // 1024 16-bit samples
    queueBlocks(8, 2048);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(requestFrame()) << i;
        EXPECT_GT(fGot.size, 0u); // the encoder's look-ahead takes blocks, never frames
    }
    EXPECT_GE(fHost.polls(), 5);
    fSource->stopGettingFrames(); // tells the host; the next read announces again
    ASSERT_TRUE(requestFrame());
    EXPECT_EQ(fHost.streamingCalls(), (std::vector<int>{1, 0, 1}));
}

// An empty frame would starve the multiplexer's audio input: the request
// waits for the host's next block instead.  An empty record counts as none;
// one without data is handed back unread.
TEST_F(AudioEncSourceTest, EmptyQueueKeepsTheRequestOpenUntilBlocksArrive) {
    TraceCapture trace;
    ASSERT_NE(create(1, true), nullptr);
    YVKStreamerStream* empty = fHost.add({});
    YVKStreamerStream* hollow = fHost.add(std::vector<uint8_t>(2048, 0));
    hollow->data = nullptr;
    EXPECT_FALSE(requestFrame(200));
    EXPECT_GT(fHost.polls(), 3);
    EXPECT_EQ(fHost.released(empty), 0);
    EXPECT_EQ(fHost.released(hollow), 1);
    int emptyLines = 0;
    for (const auto& line : trace.lines()) emptyLines += line.message == "Input queue is empty!" ? 1 : 0;
    EXPECT_EQ(emptyLines, 1) << "traced once per empty spell";
    queueBlocks(4, 2048);
    EXPECT_TRUE(waitFrame(2000));
    EXPECT_GT(fGot.size, 0u);
}

TEST_F(AudioEncSourceTest, StoppedHostLeavesTheRequestUnanswered) {
    TraceCapture trace;
    ASSERT_NE(create(1, true), nullptr);
    fHost.fActive = 0;
    queueBlocks(1, 2048);
    EXPECT_FALSE(requestFrame(200));
    EXPECT_EQ(fHost.polls(), 0);
    EXPECT_TRUE(trace.contains("Stopped..."));
}

// MP3 and unknown types make no encoder: every frame is empty.  Without the
// video flag there is no source.
TEST_F(AudioEncSourceTest, WithoutAnEncoderFramesAreEmptyWithoutTheVideoFlagNoSource) {
    AudioEncInfo info{16000, 16, 1, 0, 96000, 1};
    EXPECT_EQ(AudioEncSource::createNew(env(), &info, fHost.io(), true, nullptr), nullptr);
    for (auto [type, created] : {std::pair{2, "MP3 Encoder is created!"}, {7, "Encoder 7 is not supported!"}}) {
        SCOPED_TRACE(type);
        TraceCapture trace;
        ASSERT_NE(create(type), nullptr);
        EXPECT_TRUE(trace.contains(created));
        ASSERT_TRUE(requestFrame());
        EXPECT_EQ(fGot.size, 0u);
        EXPECT_TRUE(trace.contains("No encoder exists!"));
        Medium::close(fSource);
        fSource = nullptr;
        EXPECT_FALSE(trace.contains("Encoder is destroyed!"));
    }
}

} // namespace
