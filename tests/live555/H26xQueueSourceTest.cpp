// The live video source: cutting access units into NAL units, key frames
// by unit count, the parameter sets and their SDP text; the queue, key-frame
// wait, resync, delivery and presentation times, driven step by step without
// the reader thread (which the subsession tests run).
#include "H26xQueueSource.hh"
#include "LiveTestSupport.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <sys/time.h>

using yvk::test::annexB;
using yvk::test::Delivery;
using Bytes = std::vector<uint8_t>;

namespace {

// H.264: SPS (header 0x67, profile 42 E0 1F), PPS (0x68), IDR slice (0x65).
const Bytes kSps = {0x67, 0x42, 0xe0, 0x1f, 0xda, 0x02, 0x80};
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kP = {0x41, 0x9a, 0x02, 0x00, 0x00, 0x01, 0x77}; // a 3-byte code inside the slice
const Bytes kSei = {0x06, 0x05, 0x01};
// H.265: VPS (0x40 01), SPS (0x42 01), PPS (0x44 01), IDR_W_RADL (0x26 01).
const Bytes kVps265 = {0x40, 0x01, 0x0c, 0x01};
const Bytes kSps265 = {0x42, 0x01, 0x01, 0x01, 0x60};
const Bytes kPps265 = {0x44, 0x01, 0xc1, 0x72};
const Bytes kIdr265 = {0x26, 0x01, 0xaf, 0x08, 0x40};
const Bytes kSei265 = {0x4e, 0x01, 0x05};

const std::string kText264 = "profile-level-id=42e01f;sprop-parameter-sets=Z0LgH9oCgA==,aM48gA==";

// The source with its reader-thread steps callable (no reader thread runs).
class H26xProbe : public H26xQueueSource {
public:
    H26xProbe(UsageEnvironment& env, const char* format, YVKStreamerQIO qio)
        : H26xQueueSource(env, format, 25, 1280, 720, qio, false) {}
    using H26xQueueSource::fStreaming;
    using H26xQueueSource::fUnitCount;
    using H26xQueueSource::fWaitKeyFrame;
    using H26xQueueSource::getNextFrame;
    using H26xQueueSource::queueFrame;
    using H26xQueueSource::splitFrames;
    int queued() { return queue_get_currnum(fQueue); }
};

class H26x : public yvk::test::LiveEnvironment {
protected:
    void SetUp() override { make("video/H264")->fWaitKeyFrame = false; }
    void TearDown() override {
        Medium::close(fSource);
        EXPECT_TRUE(fHost.balanced());
    }
    H26xProbe* make(const char* format) {
        if (fSource != nullptr) Medium::close(fSource);
        return fSource = new H26xProbe(env(), format, fHost.io());
    }
    // Splits one record; returns whether it counts as a key frame.
    bool split(const Bytes& record) {
        bool key = false;
        fUnits = fSource->splitFrames(const_cast<uint8_t*>(record.data()), static_cast<int>(record.size()), key);
        return key;
    }
    Delivery request(unsigned maxSize = sizeof fBuffer) { return yvk::test::request(*fSource, fBuffer, maxSize); }
    // Takes count host records of one P slice each into the queue.
    void queue(int count, bool key) {
        for (int i = 0; i < count; ++i) {
            YVKStreamerStream* record = fHost.add(annexB({kP}));
            fHost.io().popStream(&fHost, 0);
            fSource->queueFrame(record, record->data + 4, kP.size(), key, YVKStreamerTime{0, 0}, true);
        }
    }

    yvk::test::FakeHostQueue fHost;
    H26xProbe* fSource = nullptr;
    H26xQueueSource::Unit* fUnits = nullptr;
    unsigned char fBuffer[256];
};

// Padding and the alphabet's last two letters; the texts below cover the rest.
TEST(Base64, PaddingAndAlphabet) {
    const unsigned char bytes[] = {0xfb, 0xff, 0xbf};
    char out[8];
    EXPECT_STREQ(base64EncodePrivate(bytes, 3, out), "+/+/");
    EXPECT_STREQ(base64EncodePrivate(bytes, 2, out), "+/8=");
    EXPECT_STREQ(base64EncodePrivate(bytes, 0, out), "");
    EXPECT_EQ(base64EncodePrivate(nullptr, 3, out), nullptr);
}

// Each row's records go to a fresh source; the unit count and key decision
// are those of the last record, the text is empty where none is built.
TEST_F(H26x, UnitCountKeyDecisionAndParameterText) {
    struct Case {
        const char* name;
        const char* format;
        std::vector<Bytes> records;
        int units;
        bool key;
        std::string text;
    } cases[] = {
        {"H.264 key", "video/H264", {annexB({kSps, kPps, kIdr})}, 3, true, kText264},
        {"any other format is H.264", "video/whatever", {annexB({kSps, kPps, kIdr})}, 3, true, kText264},
        {"H.264 slice", "video/H264", {annexB({kP})}, 1, false, ""},
        {"SPS alone waits for the PPS", "video/H264", {annexB({kSps, kP}), annexB({kPps, kP})}, 2, false, kText264},
        {"H.264 sets with other ref_idc", "video/H264", {annexB({{0x27, 0x42, 0xe0, 0x1f}, {0x28, 0xce}, kIdr})}, 3,
         true, ""},
        {"H.264 cut after five", "video/H264", {annexB(std::vector<Bytes>(7, kSei))}, 5, true, ""},
        {"three-byte start code only", "video/H264", {{0x00, 0x00, 0x01, 0x65, 0x11}}, 0, false, ""},
        {"start code alone", "video/H264", {{0, 0, 0, 1}}, 0, false, ""},
        {"empty", "video/H264", {{}}, 0, false, ""},
        {"H.265 key", "video/H265", {annexB({kVps265, kSps265, kPps265, kIdr265})}, 4, true,
         "sprop-vps=QAEMAQ==;sprop-sps=QgEBAWA=;sprop-pps=RAHBcg=="},
        {"H.265 without VPS", "video/H265", {annexB({kSps265, kPps265, kIdr265})}, 3, false, ""},
        {"H.265 cut after six", "video/H265", {annexB(std::vector<Bytes>(8, kSei265))}, 6, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make(c.format);
        bool key = false;
        for (const Bytes& record : c.records) key = split(record);
        EXPECT_EQ(key, c.key);
        EXPECT_EQ(fSource->fUnitCount, c.units);
        EXPECT_EQ(fSource->hasAuxLine() ? fSource->getAuxLine() : "", c.text);
    }
}

TEST_F(H26x, UnitsPointIntoTheRecordWithOrWithoutTheirStartCodes) {
    auto au = annexB({kSps, kPps, kIdr});
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep);
        make("video/H264")->fKeepStartCode = keep;
        split(au);
        ASSERT_EQ(fSource->fUnitCount, 3);
        int code = keep ? 4 : 0;
        EXPECT_EQ(fUnits[0].data, au.data() + 4 - code);
        EXPECT_EQ(fUnits[0].size, static_cast<int>(kSps.size()) + code);
        EXPECT_EQ(fUnits[1].size, static_cast<int>(kPps.size()) + code);
        EXPECT_EQ(fUnits[2].size, static_cast<int>(kIdr.size()) + code);
        EXPECT_EQ(fSource->getAuxLine(), keep ? "profile-level-id=42e01f;sprop-parameter-sets=AAAAAWdC4B/aAoA=,AAAAAWjOPIA="
                                              : kText264); // the sets as they were cut
    }
}

// A parameter set of 93 bytes is the longest whose Base64 text fits.
TEST_F(H26x, ParameterSetTooLongForTheTextIsRefusedWithATrace) {
    for (size_t length : {94, 93}) {
        SCOPED_TRACE(length);
        Bytes sps(length, 0x11);
        sps[0] = 0x67;
        make("video/H264");
        yvk::test::TraceCapture trace;
        split(annexB({sps, kPps, kIdr}));
        EXPECT_EQ(fSource->hasAuxLine(), length == 93);
        EXPECT_EQ(yvk::test::errorLines(trace), length == 94 ? 1 : 0);
        if (length == 94) {
            split(annexB({kSps, kPps, kIdr})); // a set that fits is still taken afterwards
            EXPECT_EQ(fSource->getAuxLine(), kText264);
        }
    }
}

// At 25 frames per second the queue holds 50 units and non-key units are
// dropped, with everything queued, once more than 45 wait.
TEST_F(H26x, NonKeyUnitAboveTheDropThresholdClearsTheQueueKeyUnitsStay) {
    queue(46, false);
    EXPECT_EQ(fSource->queued(), 46);
    queue(1, false);
    EXPECT_EQ(fSource->queued(), 0);
    queue(46, false);
    queue(4, true);
    EXPECT_EQ(fSource->queued(), 50);
}

TEST_F(H26x, ZeroOrNegativeFrameRateIsRefusedWithATrace) {
    yvk::test::TraceCapture trace;
    for (int fps : {0, -5}) EXPECT_EQ(H26xQueueSource::createNew(env(), "video/H264", fps, 640, 480, fHost.io(), false), nullptr);
    EXPECT_EQ(yvk::test::errorLines(trace), 2);
    auto* slowest = H26xQueueSource::createNew(env(), "video/H264", 1, 640, 480, fHost.io(), false);
    EXPECT_NE(slowest, nullptr);
    Medium::close(slowest);
}

// Each record is taken in turn: while a key frame is awaited, and on a resync
// without one, a record goes back at once; a key frame ends the wait.
TEST_F(H26x, RecordsAreDroppedUntilAKeyFrameAndAgainAfterResync) {
    struct Step {
        std::vector<uint8_t> payload;
        bool key, resync, releasedAtOnce, waitingAfter;
    } steps[] = {
        {annexB({kP}), false, false, true, true},
        {annexB({kSps, kPps, kIdr}), true, false, false, false}, // held until delivered
        {annexB({kP}), false, false, false, false},
        {annexB({kP}), false, true, true, true},
        {annexB({kP}), false, false, true, true},
        {annexB({kSps, kPps, kIdr}), true, true, false, false},
        {{}, false, false, false, false}, // an empty record is never released
    };
    fSource->fWaitKeyFrame = true;
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        auto* record = fHost.add(steps[i].payload, steps[i].key, 0, 0, steps[i].resync);
        fSource->getNextFrame();
        EXPECT_EQ(fHost.released(record), steps[i].releasedAtOnce ? 1 : 0);
        EXPECT_EQ(fSource->fWaitKeyFrame, steps[i].waitingAfter);
    }
    EXPECT_EQ(fSource->queued(), 3); // released on close
}

// Stopping tells the host and releases what is still queued.
TEST_F(H26x, RtspDeliversThePictureOfAKeyUnitAndTheFirstUnitOtherwiseUntilStopped) {
    auto* key = fHost.add(annexB({kSps, kPps, kIdr}), true);
    fHost.add(annexB({{0x09, 0xf0}, kP}));
    auto* left = fHost.add(annexB({kP}));
    for (int i = 0; i < 3; ++i) fSource->getNextFrame();
    Delivery first = request();
    ASSERT_TRUE(first.done);
    EXPECT_EQ(first.size, kIdr.size());
    EXPECT_EQ(0, std::memcmp(fBuffer, kIdr.data(), kIdr.size()));
    EXPECT_EQ(fHost.released(key), 1);
    Delivery second = request(1); // the delimiter in place of the slice, cut to the consumer's buffer
    EXPECT_EQ(second.size, 1u);
    EXPECT_EQ(second.truncated, 1u);
    fSource->stopGettingFrames();
    EXPECT_FALSE(fSource->fStreaming);
    EXPECT_EQ(fHost.streamingCalls().back(), 0);
    EXPECT_EQ(fHost.released(left), 1);
    EXPECT_EQ(fSource->queued(), 0);
}

// The first unit starts at the wall clock; each next one follows the host's
// clock from the unit before it (borrow and carry: below).
TEST_F(H26x, PresentationTimesFollowTheHostClockFromAWallClockStart) {
    for (int usec : {900000, 1100000, 1140000}) fHost.add(annexB({kP}), false, 10 + usec / 1000000, usec % 1000000);
    for (int i = 0; i < 3; ++i) fSource->getNextFrame();
    timeval before{};
    gettimeofday(&before, nullptr);
    Delivery a = request(), b = request(), c = request();
    ASSERT_TRUE(a.done && b.done && c.done);
    EXPECT_NEAR(a.time.tv_sec, before.tv_sec + 1, 1);
    EXPECT_EQ(yvk::test::microseconds(b.time) - yvk::test::microseconds(a.time), 200000);
    EXPECT_EQ(yvk::test::microseconds(c.time) - yvk::test::microseconds(b.time), 40000);
}

// Previous presentation time + (unit time - previous host time).
TEST(H26xPresentationTime, BorrowAndCarry) {
    struct Case {
        timeval last, lastHost, unit, expected;
    } cases[] = {{{100, 950000}, {5, 700000}, {6, 100000}, {101, 350000}}, // borrow, then carry
                 {{7, 0}, {1, 999999}, {2, 0}, {7, 1}},
                 {{7, 999999}, {0, 0}, {0, 0}, {7, 999999}}}; // no carry below a million
    for (const Case& c : cases) {
        timeval next = H26xQueueSource::advancePresentationTime(c.last, c.lastHost, c.unit);
        EXPECT_EQ(std::pair(next.tv_sec, next.tv_usec), std::pair(c.expected.tv_sec, c.expected.tv_usec));
    }
}

} // namespace
