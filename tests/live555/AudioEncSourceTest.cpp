// The encoding audio source against a scripted host queue: silence until
// video delivers, then the host's blocks, an empty queue, a stopped host.
#include "AudioEncSource.hh"
#include "EventLoop.hh"
#include "TraceCapture.hh"

#include <BasicUsageEnvironment.hh>
#include <GroupsockHelper.hh>

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

using yvk::test::TraceCapture;

// The host side of an audio queue record.
struct FakeAudioHost {
    std::deque<YVKStreamerStream*> queue;
    std::vector<YVKStreamerStream> records = std::vector<YVKStreamerStream>(8);
    std::vector<unsigned char> pcm;
    int active = 1;
    int pops = 0;
    int releases = 0;
    std::vector<int> streamingCalls;

    YVKStreamerQIO qio() {
        YVKStreamerQIO io{};
        io.handle = this;
        io.setStreaming = [](void* h, int on) { static_cast<FakeAudioHost*>(h)->streamingCalls.push_back(on); return 0; };
        io.isActive = [](void* h) { return static_cast<FakeAudioHost*>(h)->active; };
        io.popStream = [](void* h, int timeoutMs) -> YVKStreamerStream* {
            auto* host = static_cast<FakeAudioHost*>(h);
            EXPECT_EQ(timeoutMs, 0);
            ++host->pops;
            if (host->queue.empty()) return nullptr;
            YVKStreamerStream* record = host->queue.front();
            host->queue.pop_front();
            return record;
        };
        io.releaseStream = [](void* h, YVKStreamerStream*, int) { ++static_cast<FakeAudioHost*>(h)->releases; return 0; };
        return io;
    }

    void queueBlocks(int count, unsigned bytes) {
        pcm.assign(bytes, 0x10);
        for (int i = 0; i < count; ++i) {
            records[i] = YVKStreamerStream{};
            records[i].data = pcm.data();
            records[i].size = bytes;
            queue.push_back(&records[i]);
        }
    }
};

class AudioEncSourceTest : public testing::Test {
protected:
    void SetUp() override {
        fScheduler = BasicTaskScheduler::createNew();
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    }
    void TearDown() override {
        if (fSource != nullptr) Medium::close(fSource);
        fEnv->reclaim();
        delete fScheduler;
    }

    AudioEncSource* create(int encoderType = 1, bool waitForVideo = true) {
        AudioEncInfo info{16000, 16, 1, 0, 96000, encoderType};
        fSource = AudioEncSource::createNew(*fEnv, &info, fHost.qio(), waitForVideo, &fVideoStarted);
        return fSource;
    }

    // Asks for one frame and runs the loop until it arrives or timeoutMs passed.
    bool requestFrame(int timeoutMs = 1000) {
        fDelivered = false;
        fBuffer.assign(8199, 0);
        fSource->getNextFrame(fBuffer.data(), static_cast<unsigned>(fBuffer.size()), afterGetting, this,
                              FramedSource::handleClosure, fSource);
        return yvk::test::runLoopUntil(*fEnv, [this] { return fDelivered; }, timeoutMs);
    }

    static void afterGetting(void* data, unsigned frameSize, unsigned truncated, timeval presentationTime, unsigned) {
        auto* self = static_cast<AudioEncSourceTest*>(data);
        self->fDelivered = true;
        self->fFrameSize = frameSize;
        self->fTruncated = truncated;
        self->fPresentationTime = presentationTime;
    }

    static double seconds(timeval t) { return t.tv_sec + t.tv_usec / 1e6; }
    static double now() {
        timeval t;
        gettimeofday(&t, nullptr);
        return seconds(t);
    }

    TaskScheduler* fScheduler = nullptr;
    UsageEnvironment* fEnv = nullptr;
    AudioEncSource* fSource = nullptr;
    FakeAudioHost fHost;
    bool fVideoStarted = false;
    std::vector<unsigned char> fBuffer;
    bool fDelivered = false;
    unsigned fFrameSize = 0;
    unsigned fTruncated = 0;
    timeval fPresentationTime{};
};

TEST_F(AudioEncSourceTest, AacEncoderSizesComeFromTheCodec) {
    TraceCapture trace;
    ASSERT_NE(create(), nullptr);
    EXPECT_EQ(fSource->inputSize(), 2048u); // 1024 mono 16-bit samples
    EXPECT_EQ(fSource->outputSize(), 8199u);
    EXPECT_EQ(fSource->samplingFrequency(), 16000u);
    EXPECT_TRUE(trace.contains("AAC Encoder is created! (inputSize: 2048, outputSize: 8199)"));
}

TEST_F(AudioEncSourceTest, SilenceBeforeVideoLeavesTheHostAlone) {
    ASSERT_NE(create(), nullptr);
    int nonEmpty = 0;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(requestFrame());
        if (fFrameSize > 0) ++nonEmpty;
        EXPECT_EQ(fTruncated, 0u);
    }
    EXPECT_GT(nonEmpty, 0); // encoded silence once the encoder's look-ahead is filled
    EXPECT_EQ(fHost.pops, 0);
    EXPECT_TRUE(fHost.streamingCalls.empty());
}

TEST_F(AudioEncSourceTest, SilentFramesComeAtRealTimePace) {
    ASSERT_NE(create(), nullptr);
    ASSERT_TRUE(requestFrame());
    double first = now();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(requestFrame());
    double elapsed = now() - first;
    EXPECT_GT(elapsed, 10 * 0.064 * 0.8); // 1024 samples at 16 kHz is 64 ms
}

TEST_F(AudioEncSourceTest, AfterVideoStartsTheHostsBlocksAreEncodedAndReleased) {
    ASSERT_NE(create(), nullptr);
    fVideoStarted = true;
    fHost.queueBlocks(8, 2048);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(requestFrame()) << i;
        EXPECT_GT(fFrameSize, 0u); // the encoder's look-ahead takes blocks, never frames
        EXPECT_NEAR(seconds(fPresentationTime), now(), 0.5);
    }
    EXPECT_GE(fHost.pops, 5);
    EXPECT_EQ(fHost.releases, fHost.pops);
    EXPECT_EQ(fHost.streamingCalls, std::vector<int>{1});
}

// An empty frame would starve the multiplexer's audio input: the request
// waits for the host's next block instead.
TEST_F(AudioEncSourceTest, EmptyQueueKeepsTheRequestOpenUntilBlocksArrive) {
    TraceCapture trace;
    ASSERT_NE(create(), nullptr);
    fVideoStarted = true;
    EXPECT_FALSE(requestFrame(200));
    int pollsWhileEmpty = fHost.pops;
    EXPECT_GT(pollsWhileEmpty, 3);
    EXPECT_EQ(fHost.releases, 0);
    int emptyLines = 0;
    for (const auto& line : trace.lines()) emptyLines += line.message == "Input queue is empty!" ? 1 : 0;
    EXPECT_EQ(emptyLines, 1) << "traced once per empty spell";
    fHost.queueBlocks(4, 2048);
    EXPECT_TRUE(yvk::test::runLoopUntil(*fEnv, [this] { return fDelivered; }, 2000));
    EXPECT_GT(fFrameSize, 0u);
    EXPECT_NEAR(seconds(fPresentationTime), now(), 0.5);
}

TEST_F(AudioEncSourceTest, ZeroSizedRecordIsNeitherEncodedNorReleased) {
    ASSERT_NE(create(), nullptr);
    fVideoStarted = true;
    fHost.queueBlocks(1, 0);
    EXPECT_FALSE(requestFrame(200));
    EXPECT_GE(fHost.pops, 1);
    EXPECT_EQ(fHost.releases, 0);
}

TEST_F(AudioEncSourceTest, StoppedHostLeavesTheRequestUnanswered) {
    TraceCapture trace;
    ASSERT_NE(create(), nullptr);
    fVideoStarted = true;
    fHost.active = 0;
    fHost.queueBlocks(1, 2048);
    EXPECT_FALSE(requestFrame(200));
    EXPECT_EQ(fHost.pops, 0);
    EXPECT_TRUE(trace.contains("Stopped..."));
}

TEST_F(AudioEncSourceTest, StopTellsTheHostAndTheNextReadAnnouncesAgain) {
    ASSERT_NE(create(), nullptr);
    fVideoStarted = true;
    fHost.queueBlocks(8, 2048);
    ASSERT_TRUE(requestFrame());
    fSource->stopGettingFrames();
    ASSERT_TRUE(requestFrame());
    EXPECT_EQ(fHost.streamingCalls, (std::vector<int>{1, 0, 1}));
}

TEST_F(AudioEncSourceTest, Mp3TypeMakesNoEncoderAndDeliversEmptyFrames) {
    TraceCapture trace;
    ASSERT_NE(create(2), nullptr);
    EXPECT_EQ(fSource->inputSize(), 0u);
    EXPECT_TRUE(trace.contains("MP3 Encoder is created!"));
    ASSERT_TRUE(requestFrame());
    EXPECT_EQ(fFrameSize, 0u);
    EXPECT_TRUE(trace.contains("No encoder exists!"));
    Medium::close(fSource);
    fSource = nullptr;
    EXPECT_FALSE(trace.contains("Encoder is destroyed!"));
}

TEST_F(AudioEncSourceTest, UnknownTypeIsReported) {
    TraceCapture trace;
    ASSERT_NE(create(7), nullptr);
    EXPECT_TRUE(trace.contains("Encoder 7 is not supported!"));
}

TEST_F(AudioEncSourceTest, NullVideoFlagIsRefused) {
    AudioEncInfo info{16000, 16, 1, 0, 96000, 1};
    EXPECT_EQ(AudioEncSource::createNew(*fEnv, &info, fHost.qio(), true, nullptr), nullptr);
}

} // namespace
