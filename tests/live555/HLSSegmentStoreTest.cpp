// The segment store: slicing by whole presentation seconds from the first
// frame, readiness on the first chunk of the second slice, retention of ten,
// gaps, oversize chunks, and the subsession's seek arithmetic.
#include "EventLoop.hh"
#include "HLSServerMediaSubsession.hh"

#include <BasicUsageEnvironment.hh>
#include <StreamReplicator.hh>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <string>

namespace {

// Delivers the chunks a test queues, each with its presentation second,
// through the event loop; a chunk larger than the reader's room is cut and
// the rest reported as truncated.
class ScriptedChunkSource : public FramedSource {
public:
    static ScriptedChunkSource* createNew(UsageEnvironment& env) { return new ScriptedChunkSource(env); }
    void queue(const std::string& bytes, long second) {
        fChunks.push_back({bytes, second});
        if (isCurrentlyAwaitingData() && fTask == nullptr)
            fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this);
    }
    int requests() const { return fRequests; }

private:
    explicit ScriptedChunkSource(UsageEnvironment& env) : FramedSource(env) {}
    ~ScriptedChunkSource() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }
    void doGetNextFrame() override {
        ++fRequests;
        if (!fChunks.empty() && fTask == nullptr) fTask = envir().taskScheduler().scheduleDelayedTask(0, deliver, this);
    }
    static void deliver(void* data) {
        auto* self = static_cast<ScriptedChunkSource*>(data);
        self->fTask = nullptr;
        if (self->fChunks.empty() || !self->isCurrentlyAwaitingData()) return;
        auto [bytes, second] = self->fChunks.front();
        self->fChunks.pop_front();
        self->fFrameSize = static_cast<unsigned>(std::min<size_t>(bytes.size(), self->fMaxSize));
        self->fNumTruncatedBytes = static_cast<unsigned>(bytes.size() - self->fFrameSize);
        std::memcpy(self->fTo, bytes.data(), self->fFrameSize);
        self->fPresentationTime.tv_sec = second;
        self->fPresentationTime.tv_usec = 500000;
        FramedSource::afterGetting(self);
    }
    std::deque<std::pair<std::string, long>> fChunks;
    TaskToken fTask = nullptr;
    int fRequests = 0;
};

using Sink = HLSServerMediaSubsession::HLSSink;

class SegmentStore : public testing::Test {
protected:
    void SetUp() override {
        fScheduler = BasicTaskScheduler::createNew();
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    }
    void TearDown() override {
        if (fSink != nullptr) Medium::close(fSink);
        if (fSource != nullptr) Medium::close(fSource);
        fEnv->reclaim();
        delete fScheduler;
    }
    void start(unsigned segmentDuration, unsigned bufferSize = 1000) {
        fSource = ScriptedChunkSource::createNew(*fEnv);
        fSink = new Sink(*fEnv, bufferSize, segmentDuration, fReady);
        fSink->startPlaying(*fSource, nullptr, nullptr);
    }
    // Queues one chunk and lets the loop hand it over.
    void chunk(const std::string& bytes, long second) {
        fSource->queue(bytes, second);
        int before = fSource->requests();
        yvk::test::runLoopUntil(*fEnv, [&] { return fSource->requests() > before; }, 2000);
    }
    std::string slice(uint32_t number) {
        const unsigned char* data = fSink->getHLSBuffer(number);
        return data == nullptr ? std::string("<none>")
                               : std::string(reinterpret_cast<const char*>(data), fSink->getHLSBufferSize(number));
    }

    static constexpr long F = 1000;
    TaskScheduler* fScheduler = nullptr;
    UsageEnvironment* fEnv = nullptr;
    ScriptedChunkSource* fSource = nullptr;
    Sink* fSink = nullptr;
    std::atomic<bool> fReady{false};
};

TEST_F(SegmentStore, NothingBeforeData) {
    start(1);
    EXPECT_EQ(fSink->firstTime(), 0u);
    EXPECT_EQ(fSink->duration(), 0u);
    EXPECT_EQ(fSink->getHLSBuffer(0), nullptr);
    EXPECT_EQ(fSink->getHLSBufferSize(0), 0u);
    EXPECT_FALSE(fReady);
}

TEST_F(SegmentStore, FirstSliceAloneIsNotReadyTheSecondOneRaisesReadiness) {
    start(2);
    chunk("aa", F);
    chunk("bb", F + 1); // still slice 0 with D = 2
    EXPECT_FALSE(fReady);
    EXPECT_EQ(fSink->duration(), 0u);
    EXPECT_EQ(slice(0), "aabb");
    chunk("cc", F + 2); // exactly F + 1*D starts slice 1
    EXPECT_TRUE(fReady);
    EXPECT_EQ(fSink->duration(), 2u);
    EXPECT_EQ(fSink->firstSecond(), static_cast<uint32_t>(F));
    EXPECT_EQ(slice(1), "cc");
}

TEST_F(SegmentStore, EleventhSliceEvictsTheOldestAndTheWindowSlides) {
    start(1);
    for (long s = 0; s < 10; ++s) chunk("x" + std::to_string(s), F + s);
    EXPECT_EQ(fSink->firstTime(), 0u);
    EXPECT_EQ(fSink->duration(), 9u);
    chunk("x10", F + 10);
    EXPECT_EQ(slice(0), "<none>");
    EXPECT_EQ(slice(1), "x1");
    EXPECT_EQ(fSink->firstTime(), 1u);
    EXPECT_EQ(fSink->duration(), 9u);
    chunk("x11", F + 11);
    EXPECT_EQ(fSink->firstTime(), 2u);
    EXPECT_EQ(fSink->duration(), 9u);
    EXPECT_EQ(slice(11), "x11");
}

TEST_F(SegmentStore, GapsLeaveNoEntriesAndTheDurationSpansThem) {
    start(1);
    chunk("a", F);
    chunk("b", F + 1);
    chunk("c", F + 5);
    EXPECT_EQ(slice(3), "<none>");
    EXPECT_EQ(fSink->duration(), 5u);
    EXPECT_EQ(fSink->firstTime(), 0u);
}

TEST_F(SegmentStore, OversizeChunkGrowsTheBufferByTheTruncatedBytesAndIsDropped) {
    start(1, 8);
    chunk("12345678", F);
    chunk(std::string(13, 'z'), F); // 5 bytes too many
    EXPECT_EQ(fSink->bufferSize(), 13u);
    EXPECT_EQ(slice(0), "12345678");
    chunk(std::string(13, 'y'), F); // the same size now fits
    EXPECT_EQ(slice(0), "12345678" + std::string(13, 'y'));
}

// The subsession over a replica of a source that never delivers: seeking
// is pure arithmetic on the segment duration.
TEST_F(SegmentStore, SeekSelectsTheSliceAndRewritesThePosition) {
    auto* source = ScriptedChunkSource::createNew(*fEnv);
    StreamReplicator* replicator = StreamReplicator::createNew(*fEnv, source, False);
    std::atomic<bool> ready{false};
    ServerMediaSubsession* subsession = new HLSServerMediaSubsession(*fEnv, replicator, "video/MP2T", 10, ready);
    double position = 25.0;
    u_int64_t bytes = 99;
    testing::internal::CaptureStdout();
    subsession->seekStream(1, nullptr, position, 0.0, bytes);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(position, 20.0);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(printed, "seek seekNPT:20 slice:2 numBytes:0\n");
    EXPECT_EQ(subsession->duration(), 0.0f);
    EXPECT_EQ(subsession->getCurrentNPT(nullptr), 0.0f);
    Medium::close(subsession);
}

} // namespace
