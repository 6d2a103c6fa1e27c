// The live video source's queue, key-frame wait, resync, delivery and
// presentation times, driven step by step without its reader thread; and
// once with the thread, as the assembly runs it.
#include "H26xProbe.hh"
#include "LiveTestSupport.hh"
#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "yvk_system.h"
#include <sys/time.h>

using yvk::test::annexB;

namespace {

const std::vector<uint8_t> kSps = {0x67, 0x42, 0xe0, 0x1f, 0xda};
const std::vector<uint8_t> kPps = {0x68, 0xce, 0x3c, 0x80};
const std::vector<uint8_t> kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0x44};
const std::vector<uint8_t> kP = {0x41, 0x9a, 0x02};

struct Delivery {
    bool done = false;
    unsigned size = 0;
    unsigned truncated = 0;
    timeval time{};
};

void afterGetting(void* data, unsigned size, unsigned truncated, timeval time, unsigned) {
    auto* d = static_cast<Delivery*>(data);
    d->done = true;
    d->size = size;
    d->truncated = truncated;
    d->time = time;
}

class H26xQueue : public yvk::test::LiveEnvironment {
protected:
    void TearDown() override {
        if (fSource != nullptr) Medium::close(fSource);
        EXPECT_TRUE(fHost.balanced());
        LiveEnvironment::TearDown();
    }
    H26xProbe* make(int fps = 25) {
        fSource = H26xProbe::create(env(), "video/H264", fps, fHost.io());
        return fSource;
    }
    // One request of a consumer with a buffer of maxSize bytes.
    Delivery request(unsigned maxSize = sizeof fBuffer) {
        Delivery d;
        static_cast<FramedSource*>(fSource)->getNextFrame(fBuffer, maxSize, afterGetting, &d, nullptr, nullptr);
        if (!d.done) fSource->stopGettingFrames();
        return d;
    }
    void queueOne(bool key) {
        YVKStreamerStream* record = fHost.add(annexB({kP}));
        auto* popped = fHost.io().popStream(&fHost, 0);
        YVKStreamerTime ts{0, 0};
        fSource->queueFrame(popped != nullptr ? popped : record, record->data + 4, 3, key, ts, true);
    }

    yvk::test::FakeHostQueue fHost;
    H26xProbe* fSource = nullptr;
    unsigned char fBuffer[256];
};

TEST_F(H26xQueue, TwentyFiveFpsQueueHoldsFiftyAndDropsNonKeyUnitsAboveFortyFive) {
    auto* s = make(25);
    EXPECT_EQ(s->fQueueDepth, 50);
    EXPECT_EQ(s->fDropThreshold, 45);
    for (int i = 0; i < 46; ++i) queueOne(false);
    EXPECT_EQ(s->queued(), 46);
    queueOne(true); // key units are always queued
    EXPECT_EQ(s->queued(), 47);
    queueOne(false); // 47 > 45: everything goes, this one too
    EXPECT_EQ(s->queued(), 0);
    for (int i = 0; i < 46; ++i) queueOne(false);
    EXPECT_EQ(s->queued(), 46);
    queueOne(false);
    EXPECT_EQ(s->queued(), 0);
}

TEST_F(H26xQueue, ZeroOrNegativeFrameRateIsRefused) {
    yvk::test::TraceCapture trace;
    EXPECT_EQ(H26xQueueSource::createNew(env(), "video/H264", 0, 640, 480, fHost.io(), false), nullptr);
    EXPECT_EQ(H26xQueueSource::createNew(env(), "video/H264", -5, 640, 480, fHost.io(), false), nullptr);
    EXPECT_TRUE(trace.contains("frame rate 0 refused"));
    auto* ok = H26xQueueSource::createNew(env(), "video/H264", 1, 640, 480, fHost.io(), false);
    ASSERT_NE(ok, nullptr);
    Medium::close(ok);
}

TEST_F(H26xQueue, RecordsAreDroppedUntilAKeyFrameAndAgainAfterResync) {
    auto* s = make();
    auto* p1 = fHost.add(annexB({kP}), false);
    auto* k1 = fHost.add(annexB({kSps, kPps, kIdr}), true);
    auto* p2 = fHost.add(annexB({kP}), false);
    auto* r = fHost.add(annexB({kP}), false, 0, 0, true);
    auto* p3 = fHost.add(annexB({kP}), false);
    auto* k2 = fHost.add(annexB({kSps, kPps, kIdr}), true, 0, 0, true);
    s->getNextFrame(); // waiting: a non-key record goes back at once
    EXPECT_EQ(fHost.released(p1), 1);
    EXPECT_EQ(s->queued(), 0);
    s->getNextFrame();
    EXPECT_FALSE(s->fWaitKeyFrame);
    EXPECT_EQ(s->queued(), 1);
    EXPECT_EQ(fHost.released(k1), 0); // held until delivered
    s->getNextFrame();
    EXPECT_EQ(s->queued(), 2);
    s->getNextFrame(); // resync without key frame
    EXPECT_TRUE(s->fWaitKeyFrame);
    EXPECT_EQ(fHost.released(r), 1);
    s->getNextFrame();
    EXPECT_EQ(fHost.released(p3), 1);
    s->getNextFrame(); // resync on a key frame is processed
    EXPECT_FALSE(s->fWaitKeyFrame);
    EXPECT_EQ(s->queued(), 3);
    s->clearFramesAll();
    EXPECT_EQ(fHost.released(k1), 1);
    EXPECT_EQ(fHost.released(p2), 1);
    EXPECT_EQ(fHost.released(k2), 1);
}

TEST_F(H26xQueue, RtspDeliversThePictureOfAKeyUnitAndTheFirstUnitOtherwise) {
    auto* s = make();
    s->fWaitKeyFrame = false;
    auto* key = fHost.add(annexB({kSps, kPps, kIdr}), true, 5, 0);
    auto* aud = fHost.add(annexB({{0x09, 0xf0}, kP}), false, 5, 40000);
    s->getNextFrame();
    s->getNextFrame();
    Delivery first = request();
    ASSERT_TRUE(first.done);
    EXPECT_EQ(first.size, kIdr.size());
    EXPECT_EQ(0, std::memcmp(fBuffer, kIdr.data(), kIdr.size()));
    EXPECT_EQ(fHost.released(key), 1);
    Delivery second = request();
    ASSERT_TRUE(second.done);
    EXPECT_EQ(second.size, 2u); // the delimiter, in place of the slice
    EXPECT_EQ(fHost.released(aud), 1);
}

TEST_F(H26xQueue, PresentationTimesFollowTheHostClockFromAWallClockStart) {
    auto* s = make();
    s->fWaitKeyFrame = false;
    fHost.add(annexB({kP}), false, 10, 900000);
    fHost.add(annexB({kP}), false, 11, 100000);
    fHost.add(annexB({kP}), false, 11, 140000);
    for (int i = 0; i < 3; ++i) s->getNextFrame();
    timeval before{};
    gettimeofday(&before, nullptr);
    Delivery a = request();
    Delivery b = request();
    Delivery c = request();
    ASSERT_TRUE(a.done && b.done && c.done);
    EXPECT_GE(a.time.tv_sec, before.tv_sec);
    EXPECT_LE(a.time.tv_sec, before.tv_sec + 2);
    auto us = [](const timeval& t) { return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec; };
    EXPECT_EQ(us(b.time) - us(a.time), 200000);
    EXPECT_EQ(us(c.time) - us(b.time), 40000);
    EXPECT_TRUE(H26xQueueSource::gDeliverStarted);
}

TEST(H26xPresentationTime, BorrowAndCarry) {
    timeval last{100, 950000}, lastHost{5, 700000}, unit{6, 100000};
    timeval next = H26xQueueSource::advancePresentationTime(last, lastHost, unit);
    EXPECT_EQ(next.tv_sec, 101); // 100.95 + 0.4
    EXPECT_EQ(next.tv_usec, 350000);
    timeval exact = H26xQueueSource::advancePresentationTime({7, 0}, {1, 999999}, {2, 0});
    EXPECT_EQ(exact.tv_sec, 7);
    EXPECT_EQ(exact.tv_usec, 1);
    timeval edge = H26xQueueSource::advancePresentationTime({7, 999999}, {0, 0}, {0, 0});
    EXPECT_EQ(edge.tv_sec, 7);
    EXPECT_EQ(edge.tv_usec, 999999);
}

TEST_F(H26xQueue, OversizedUnitIsTruncatedToTheConsumerBuffer) {
    auto* s = make();
    s->fWaitKeyFrame = false;
    std::vector<uint8_t> big(200, 0x55);
    big[0] = 0x41;
    fHost.add(annexB({big}));
    s->getNextFrame();
    Delivery d = request(64);
    ASSERT_TRUE(d.done);
    EXPECT_EQ(d.size, 64u);
    EXPECT_EQ(d.truncated, 136u);
}

TEST_F(H26xQueue, StopAnnouncesTheEndAndReleasesWhatWasQueued) {
    auto* s = make();
    s->fWaitKeyFrame = false;
    auto* a = fHost.add(annexB({kP}));
    auto* b = fHost.add(annexB({kP}));
    s->getNextFrame();
    s->getNextFrame();
    Delivery d = request();
    ASSERT_TRUE(d.done);
    s->stopGettingFrames();
    EXPECT_FALSE(s->fStreaming);
    EXPECT_EQ(fHost.streamingCalls().back(), 0);
    EXPECT_EQ(fHost.released(a), 1);
    EXPECT_EQ(fHost.released(b), 1);
    EXPECT_EQ(s->queued(), 0);
}

TEST_F(H26xQueue, EmptyRecordsAreNeverReleasedOrDelivered) {
    auto* s = make();
    s->fWaitKeyFrame = false;
    auto* empty = fHost.add({});
    s->getNextFrame();
    EXPECT_EQ(s->queued(), 0);
    EXPECT_EQ(fHost.released(empty), 0);
}

// The reader thread as the assembly starts it: the parameter text appears,
// the host is told to stop once it has, and the destructor joins the
// thread and releases every record it took.
TEST_F(H26xQueue, ReaderThreadCapturesTheParameterTextThenIdles) {
    for (int i = 0; i < 3; ++i) fHost.add(annexB({kP}));
    fHost.add(annexB({kSps, kPps, kIdr}), true);
    for (int i = 0; i < 3; ++i) fHost.add(annexB({kP}));
    auto* source = H26xQueueSource::createNew(env(), "video/H264", 25, 640, 480, fHost.io(), true);
    ASSERT_NE(source, nullptr);
    std::string text = source->getAuxLine();
    EXPECT_EQ(text.rfind("profile-level-id=42e01f;sprop-parameter-sets=", 0), 0u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fHost.streamingCalls().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        YVK_ThreadSleep(5);
    }
    std::vector<int> calls = fHost.streamingCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(calls[1], 0);
    Medium::close(source);
    EXPECT_EQ(fHost.streamingCalls().back(), 0);
}

} // namespace
