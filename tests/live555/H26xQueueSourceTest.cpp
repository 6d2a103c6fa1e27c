// The live video source driven step by step without its reader thread (the
// subsession tests run that): NAL cutting, key pictures, parameter-set text,
// the queue, key-frame wait, resync, delivery and presentation times.
#include "H26xQueueSource.hh"
#include "EventLoop.hh"
#include "LiveTestSupport.hh"

using yvk::test::annexB;
using yvk::test::Delivery;
using Bytes = std::vector<uint8_t>;

namespace {

// H.264: SPS (header 0x67, profile 42 E0 1F), PPS (0x68), IDR slice (0x65).
const Bytes kSps = {0x67, 0x42, 0xe0, 0x1f, 0xda, 0x02, 0x80};
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kP = {0x41, 0x9a, 0x02, 0x77};
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
    // HTTP streaming's way: wall-clock times, every unit queued with its
    // start code, whole access units delivered.
    void httpMode() {
        fSource->fUseWallClock = fSource->fQueueAllUnits = fSource->fKeepStartCode = fSource->fWholeFrame = true;
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

// The alphabet's last two letters; the SDP texts below cover the rest and padding.
TEST(Base64, AlphabetEndAndNullInput) {
    const unsigned char bytes[] = {0xfb, 0xff, 0xbf};
    char out[8];
    EXPECT_STREQ(base64EncodePrivate(bytes, 3, out), "+/+/");
    EXPECT_EQ(base64EncodePrivate(nullptr, 3, out), nullptr);
}

// Each row's records go to a fresh source; the unit count and key decision
// are those of the last record, the text is empty where none is built.
// Encoders write three-byte start codes inside an access unit, several
// slices per picture, SEI and delimiters: every unit is kept, the type bits
// decide, and a key picture is one with an IDR (H.264) or IRAP (H.265) slice.
TEST_F(H26x, EveryUnitKeptKeyPicturesByTypeAndParameterText) {
    const Bytes x264Like = {0, 0, 0, 1, 0x67, 0x42, 0xe0, 0x1f, 0xda, 0x02, 0x80, // SPS, four-byte code
                            0, 0, 0, 1, 0x68, 0xce, 0x3c, 0x80,                   // PPS
                            0, 0, 1, 0x06, 0x05, 0x01,                            // SEI, three-byte code
                            0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33};               // IDR
    auto many = std::vector<Bytes>{kSps, kPps, kSei};
    for (int i = 0; i < 5; ++i) many.push_back(kIdr);
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
         true, "profile-level-id=42e01f;sprop-parameter-sets=J0LgHw==,KM4="},
        {"x264: three-byte codes inside", "video/H264", {x264Like}, 4, true, kText264},
        {"eight units, none cut", "video/H264", {annexB(many)}, 8, true, kText264},
        {"P picture of four slices", "video/H264", {annexB({kP, kP, kP, kP})}, 4, false, ""},
        {"three-byte start code only", "video/H264", {{0x00, 0x00, 0x01, 0x65, 0x11}}, 1, true, ""},
        {"trailing zeros belong to no unit", "video/H264", {{0, 0, 0, 1, 0x65, 0x11, 0, 0, 0, 0, 1, 0x65}}, 2, true, ""},
        {"garbage without start code", "video/H264", {{0x65, 0x00, 0x00, 0x02, 0x11}}, 0, false, ""},
        {"start code alone", "video/H264", {{0, 0, 0, 1}}, 0, false, ""},
        {"empty", "video/H264", {{}}, 0, false, ""},
        {"H.265 key", "video/H265", {annexB({kVps265, kSps265, kPps265, kIdr265})}, 4, true,
         "sprop-vps=QAEMAQ==;sprop-sps=QgEBAWA=;sprop-pps=RAHBcg=="},
        {"H.265 without VPS", "video/H265", {annexB({kSps265, kPps265, kIdr265})}, 3, true, ""},
        {"H.265 CRA is key", "video/H265", {annexB({kSei265, {0x2a, 0x01, 0x11}})}, 2, true, ""},
        {"H.265 TRAIL_R slices", "video/H265", {annexB({{0x02, 0x01, 0xd0}, {0x02, 0x01, 0x30}})}, 2, false, ""},
        {"H.265 nine units", "video/H265", {annexB(std::vector<Bytes>(9, kSei265))}, 9, false, ""},
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

TEST_F(H26x, UnitsPointIntoTheRecordWithOrWithoutTheirStartCodesSetsOfAnyLengthTaken) {
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
        EXPECT_EQ(fUnits[2].header, code);
        EXPECT_EQ(fSource->getAuxLine(), keep ? "profile-level-id=42e01f;sprop-parameter-sets=AAAAAWdC4B/aAoA=,AAAAAWjOPIA="
                                              : kText264); // the sets as they were cut
    }
    make("video/H264")->fKeepStartCode = true;
    Bytes shortCode = {0, 0, 1, 0x67, 0x42, 0xe0, 0x1f, 0, 0, 1, 0x68, 0xce};
    split(shortCode);
    ASSERT_EQ(fSource->fUnitCount, 2);
    EXPECT_EQ(fUnits[1].header, 3);
    EXPECT_EQ(fSource->getAuxLine(), "profile-level-id=42e01f;sprop-parameter-sets=AAABZ0LgHw==,AAABaM4=");
    // x265 writes a VPS, an SPS with a long VUI and a PPS well past 93 bytes
    // together; their text is as long as they need.
    make("video/H264");
    Bytes sps(600, 0x11);
    sps[0] = 0x67;
    yvk::test::TraceCapture trace;
    split(annexB({sps, kPps, kIdr}));
    ASSERT_TRUE(fSource->hasAuxLine());
    EXPECT_EQ(fSource->getAuxLine().size(), std::string("profile-level-id=111111;sprop-parameter-sets=").size() + 800 +
                                                 1 + 8);
    EXPECT_EQ(yvk::test::errorLines(trace), 0);
}

// At 25 frames per second the queue holds 50 access units and non-key ones
// are dropped, with everything queued, once more than 45 wait.
TEST_F(H26x, NonKeyUnitAboveTheDropThresholdClearsTheQueueKeyUnitsStay) {
    queue(46, false);
    EXPECT_EQ(fSource->queued(), 46);
    queue(1, false);
    EXPECT_EQ(fSource->queued(), 0);
    EXPECT_TRUE(fSource->fWaitKeyFrame); // delivery resumes at the next key access unit
    queue(46, false);
    queue(4, true);
    EXPECT_EQ(fSource->queued(), 50);
    queue(1, true); // a key unit into a full queue starts it over
    EXPECT_EQ(fSource->queued(), 1);
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
        {{0x65, 0x11, 0x22}, true, false, true, false},  // no start code: back at once, traced
        {annexB({kP}), false, true, true, true},
        {annexB({kSei, kP}), true, false, true, true},   // the host's flag does not make a key picture
        {annexB({kSei, kIdr}), false, false, false, false}, // its content does
    };
    fSource->fWaitKeyFrame = true;
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        auto* record = fHost.add(steps[i].payload, steps[i].key, 0, 0, steps[i].resync);
        fSource->getNextFrame();
        EXPECT_EQ(fHost.released(record), steps[i].releasedAtOnce ? 1 : 0);
        EXPECT_EQ(fSource->fWaitKeyFrame, steps[i].waitingAfter);
    }
    EXPECT_EQ(fSource->queued(), 4); // released on close
}

// Each unit goes to the framer on its own: parameter sets in front of a key
// picture in-band, SEI and every slice, delimiters dropped; a key picture
// that came without parameter sets gets the stored ones in front.  The
// record goes back with its last unit; stopping tells the host and releases
// what is still queued.
TEST_F(H26x, RtspDeliversEveryUnitOfAnAccessUnitOnItsOwnUntilStopped) {
    auto* key = fHost.add(annexB({kSps, kPps, kSei, kIdr}), true);
    auto* slices = fHost.add(annexB({{0x09, 0xf0}, kP, kP}));
    fHost.add(annexB({{0x09, 0xf0}, kIdr}), true);
    auto* left = fHost.add(annexB({kP}));
    for (int i = 0; i < 4; ++i) fSource->getNextFrame();
    std::vector<Bytes> expected = {kSps, kPps, kSei, kIdr, kP, kP, kSps, kPps, kIdr};
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fHost.released(key), i >= 4 ? 1 : 0);
        EXPECT_EQ(fHost.released(slices), i >= 6 ? 1 : 0);
        Delivery d = request();
        ASSERT_TRUE(d.done);
        EXPECT_EQ(Bytes(fBuffer, fBuffer + d.size), expected[i]);
    }
    Delivery cut = request(1); // cut to the consumer's buffer
    EXPECT_EQ(cut.size, 1u);
    EXPECT_EQ(cut.truncated, kP.size() - 1);
    fHost.add(annexB({kP}));
    fSource->getNextFrame();
    fSource->stopGettingFrames();
    EXPECT_FALSE(fSource->fStreaming);
    EXPECT_EQ(fHost.streamingCalls().back(), 0);
    EXPECT_EQ(fHost.released(left), 1);
    EXPECT_EQ(fSource->queued(), 0);
}

// A request with nothing queued returns at once and stays open; the
// reader's next push answers it through the event loop.
TEST_F(H26x, DeliveryNeverWaitsTheNextPushAnswersAnOpenRequest) {
    Delivery d;
    auto before = std::chrono::steady_clock::now();
    fSource->getNextFrame(fBuffer, sizeof fBuffer, yvk::test::delivered, &d, nullptr, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000)); // no wait on the queue
    EXPECT_FALSE(d.done);
    fHost.add(annexB({kP}));
    std::thread reader([this] { fSource->getNextFrame(); });
    reader.join();
    EXPECT_TRUE(yvk::test::runLoopUntil(env(), [&] { return d.done; }, 5000));
    EXPECT_EQ(d.size, kP.size());
}

// The units of an access unit share its time, the first one the wall
// clock's; each next access unit follows the host's clock from the one
// before it (borrow and carry: below).  In wall-clock mode a whole access
// unit is stamped with the clock, whatever unit it begins with.
TEST_F(H26x, PresentationTimesFollowTheHostClockFromAWallClockStart) {
    fHost.add(annexB({kSps, kPps, kIdr}), true, 10, 900000);
    for (int usec : {1100000, 1140000}) fHost.add(annexB({kP}), false, 10 + usec / 1000000, usec % 1000000);
    for (int i = 0; i < 3; ++i) fSource->getNextFrame();
    timeval before{};
    gettimeofday(&before, nullptr);
    Delivery sps = request(), pps = request(), idr = request(), b = request(), c = request();
    ASSERT_TRUE(sps.done && pps.done && idr.done && b.done && c.done);
    EXPECT_NEAR(sps.time.tv_sec, before.tv_sec + 1, 1);
    EXPECT_EQ(yvk::test::microseconds(pps.time), yvk::test::microseconds(sps.time));
    EXPECT_EQ(yvk::test::microseconds(idr.time), yvk::test::microseconds(sps.time));
    EXPECT_EQ(yvk::test::microseconds(b.time) - yvk::test::microseconds(idr.time), 200000);
    EXPECT_EQ(yvk::test::microseconds(c.time) - yvk::test::microseconds(b.time), 40000);
    for (const Bytes& first : {kPps, kSps}) {
        make("video/H264");
        httpMode();
        fSource->fWaitKeyFrame = false;
        auto record = annexB({first, kSei, kIdr});
        fHost.add(record, true, 5, 0);
        fSource->getNextFrame();
        Delivery whole = request();
        ASSERT_TRUE(whole.done);
        EXPECT_EQ(whole.size, record.size());
        EXPECT_NE(whole.time.tv_sec, 0);
    }
}

// HTTP streaming cuts segments at whole seconds of the clock, not at key
// pictures, and a player's transmuxer (Shaka) refuses a segment without
// parameter sets: the first access unit of each second carries the latest
// sets delivered, behind its delimiter, and so does a key picture that came
// without them.  Every other access unit goes out as it came.
TEST_F(H26x, WholeAccessUnitsCarryTheLatestParameterSetsIntoEverySecond) {
    httpMode();
    const Bytes aud = {0x09, 0xf0};
    const Bytes highSps = {0x67, 0x64, 0x00, 0x28, 0xac};
    auto deliver = [this](const Bytes& record, bool key) {
        fHost.add(record, key);
        fSource->getNextFrame();
        Delivery d = request();
        EXPECT_TRUE(d.done);
        return Bytes(fBuffer, fBuffer + d.size);
    };
    auto sleepIntoNextSecond = [] {
        timeval now{};
        gettimeofday(&now, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(1000000 - now.tv_usec + 20000));
    };
    sleepIntoNextSecond(); // the steps below stay well inside one second
    EXPECT_EQ(deliver(annexB({aud, kSps, kPps, kSei, kIdr}), true), annexB({aud, kSps, kPps, kSei, kIdr}));
    EXPECT_EQ(deliver(annexB({aud, kP}), false), annexB({aud, kP}));
    EXPECT_EQ(deliver(annexB({aud, kIdr}), true), annexB({aud, kSps, kPps, kIdr}));
    EXPECT_EQ(deliver(annexB({highSps, kPps, kP}), false), annexB({highSps, kPps, kP}));
    sleepIntoNextSecond();
    EXPECT_EQ(deliver(annexB({aud, kSei, kP}), false), annexB({aud, highSps, kPps, kSei, kP}));
    EXPECT_EQ(deliver(annexB({aud, kP}), false), annexB({aud, kP}));
    sleepIntoNextSecond();
    EXPECT_EQ(deliver(annexB({kP}), false), annexB({highSps, kPps, kP}));

    // A host that lends its sets in a record of their own, which goes back
    // unsent while a key picture is awaited: the key picture carries the
    // sets seen in it.
    make("video/H264")->fWaitKeyFrame = true;
    httpMode();
    auto* sets = fHost.add(annexB({kSps, kPps}), false);
    fSource->getNextFrame();
    EXPECT_EQ(fHost.released(sets), 1);
    EXPECT_EQ(deliver(annexB({aud, kIdr}), true), annexB({aud, kSps, kPps, kIdr}));
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
