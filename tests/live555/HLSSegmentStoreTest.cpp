// The segment store: slicing by whole presentation seconds from the first
// frame, readiness on the first chunk of the second slice, retention of ten,
// gaps, oversize chunks, slices closed when the wall clock passes their end,
// and the subsession's seek arithmetic.
#include "HLSServerMediaSubsession.hh"
#include "LiveTestSupport.hh"

#include <StreamReplicator.hh>

#include <sys/time.h>

#include <cstring>

namespace {

// Hands the sink each chunk a test gives, with its presentation second; a
// chunk larger than the sink's room is cut and the rest reported as truncated.
class ChunkSource : public FramedSource {
public:
    explicit ChunkSource(UsageEnvironment& env) : FramedSource(env) {}
    void deliver(const std::string& bytes, long second) { deliverAt(bytes, {second, 500000}); }
    void deliverAt(const std::string& bytes, timeval presentationTime) {
        ASSERT_TRUE(isCurrentlyAwaitingData());
        fFrameSize = static_cast<unsigned>(std::min<size_t>(bytes.size(), fMaxSize));
        fNumTruncatedBytes = static_cast<unsigned>(bytes.size() - fFrameSize);
        std::memcpy(fTo, bytes.data(), fFrameSize);
        fPresentationTime = presentationTime;
        FramedSource::afterGetting(this);
    }

private:
    void doGetNextFrame() override {}
};

using Sink = HLSServerMediaSubsession::HLSSink;

class SegmentStore : public yvk::test::LiveEnvironment {
protected:
    void TearDown() override {
        if (fSink != nullptr) Medium::close(fSink);
        if (fSource != nullptr) Medium::close(fSource);
    }
    void start(unsigned segmentDuration, unsigned bufferSize = 1000) {
        fSource = new ChunkSource(env());
        fSink = new Sink(env(), bufferSize, segmentDuration, fReady);
        fSink->startPlaying(*fSource, nullptr, nullptr);
    }
    void chunk(const std::string& bytes, long second) { fSource->deliver(bytes, second); }
    void chunkAt(const std::string& bytes, timeval time) { fSource->deliverAt(bytes, time); }
    // Runs the event loop (the store's timers) until the wall clock reaches until.
    void runUntil(const timeval& until) {
        timeval now{};
        gettimeofday(&now, nullptr);
        int64_t wait = (until.tv_sec - now.tv_sec) * 1000000 + (until.tv_usec - now.tv_usec);
        EventLoopWatchVariable stop = 0;
        env().taskScheduler().scheduleDelayedTask(std::max<int64_t>(wait, 0), [](void* flag) {
            *static_cast<EventLoopWatchVariable*>(flag) = 1;
        }, &stop);
        env().taskScheduler().doEventLoop(&stop);
    }
    std::string slice(uint32_t number) {
        const unsigned char* data = fSink->getHLSBuffer(number);
        return data == nullptr ? std::string("<none>")
                               : std::string(reinterpret_cast<const char*>(data), fSink->getHLSBufferSize(number));
    }

    static constexpr long F = 1000;
    ChunkSource* fSource = nullptr;
    Sink* fSink = nullptr;
    std::atomic<bool> fReady{false};
};

// Slices a gap skips have no entry; the duration spans them.
TEST_F(SegmentStore, FirstSliceAloneIsNotReadyTheSecondOneRaisesReadinessGapsLeaveNoEntries) {
    start(2);
    EXPECT_EQ(slice(0), "<none>");
    EXPECT_EQ(fSink->getHLSBufferSize(0), 0u);
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
    chunk("dd", F + 7); // slice 3
    EXPECT_EQ(slice(2), "<none>");
    EXPECT_EQ(slice(3), "dd");
    EXPECT_EQ(fSink->duration(), 6u);
    EXPECT_EQ(fSink->firstTime(), 0u);
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
    // The clock went back, even before the first frame: the open slice
    // takes the bytes, the complete ones stay as they were listed.
    chunk("-back", F + 5);
    chunk("-before", F - 3);
    EXPECT_EQ(slice(5), "x5");
    EXPECT_EQ(slice(11), "x11-back-before");
    EXPECT_EQ(fSink->duration(), 9u);
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

// Live HTTP streaming stamps chunks with the wall clock: a slice is complete
// as soon as the clock has passed its end, not when the next chunk comes.
// The timer opens the next slice empty, and no further empty one after it;
// an empty open slice goes when a later one begins; bytes stamped for a
// complete slice join the open one, so a listed slice never changes.
TEST_F(SegmentStore, WallClockSlicesAreCompleteWhenTheClockPassesTheirEnd) {
    start(1);
    timeval now{};
    gettimeofday(&now, nullptr);
    const timeval first = now;
    chunkAt("a0", first);
    EXPECT_EQ(fSink->completedSlice(0), nullptr);
    runUntil({first.tv_sec + 1, 100000}); // 100 ms into slice 1
    ASSERT_NE(fSink->completedSlice(0), nullptr);
    EXPECT_EQ(*fSink->completedSlice(0), "a0");
    EXPECT_TRUE(fReady);
    EXPECT_EQ(fSink->duration(), 1u);
    EXPECT_EQ(slice(1), "");
    EXPECT_EQ(fSink->completedSlice(1), nullptr);

    runUntil({first.tv_sec + 2, 100000}); // nothing came during slice 1
    EXPECT_EQ(fSink->slicesHeld(), 2u);
    EXPECT_EQ(slice(2), "<none>");
    EXPECT_EQ(fSink->duration(), 1u);

    chunkAt("c2", {first.tv_sec + 2, 200000});
    EXPECT_EQ(slice(1), "<none>");
    EXPECT_EQ(slice(2), "c2");
    EXPECT_EQ(fSink->duration(), 2u);
    chunkAt("late", first);
    EXPECT_EQ(*fSink->completedSlice(0), "a0");
    EXPECT_EQ(slice(2), "c2late");
}

// The subsession over a replica of a source that never delivers: seeking
// is pure arithmetic on the segment duration.
TEST_F(SegmentStore, SeekSelectsTheSliceAndRewritesThePosition) {
    auto* source = new ChunkSource(env());
    StreamReplicator* replicator = StreamReplicator::createNew(env(), source, False);
    std::atomic<bool> ready{false};
    ServerMediaSubsession* subsession = new HLSServerMediaSubsession(env(), replicator, "video/MP2T", 10, ready);
    double position = 25.0;
    u_int64_t bytes = 99;
    testing::internal::CaptureStdout();
    subsession->seekStream(1, nullptr, position, 0.0, bytes);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(position, 20.0);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(printed, "seek seekNPT:20 slice:2 numBytes:0\n");
    Medium::close(subsession);
}

} // namespace
