// Cutting access units into NAL units, key-frame decisions by unit count,
// parameter-set capture, the SDP parameter text and Base64.
#include "H26xProbe.hh"
#include "LiveTestSupport.hh"
#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using yvk::test::annexB;

namespace {

// H.264: SPS (header 0x67, profile 42 E0 1F), PPS (0x68), IDR slice (0x65).
const std::vector<uint8_t> kSps264 = {0x67, 0x42, 0xe0, 0x1f, 0xda, 0x02, 0x80};
const std::vector<uint8_t> kPps264 = {0x68, 0xce, 0x3c, 0x80};
const std::vector<uint8_t> kIdr264 = {0x65, 0x88, 0x84, 0x00, 0x33};
const std::vector<uint8_t> kP264 = {0x41, 0x9a, 0x02, 0x00, 0x00, 0x01, 0x77}; // a 3-byte code inside the slice
// H.265: VPS (0x40 01), SPS (0x42 01), PPS (0x44 01), IDR_W_RADL (0x26 01).
const std::vector<uint8_t> kVps265 = {0x40, 0x01, 0x0c, 0x01};
const std::vector<uint8_t> kSps265 = {0x42, 0x01, 0x01, 0x01, 0x60};
const std::vector<uint8_t> kPps265 = {0x44, 0x01, 0xc1, 0x72};
const std::vector<uint8_t> kIdr265 = {0x26, 0x01, 0xaf, 0x08, 0x40};

std::string b64(const std::vector<uint8_t>& bytes) {
    char out[256];
    return base64EncodePrivate(bytes.data(), static_cast<unsigned>(bytes.size()), out);
}

class H26xSplit : public yvk::test::LiveEnvironment {
protected:
    H26xProbe* make(const char* format) {
        fSource = H26xProbe::create(env(), format, 25, fHost.io());
        return fSource;
    }
    void TearDown() override {
        Medium::close(fSource);
        LiveEnvironment::TearDown();
    }
    yvk::test::FakeHostQueue fHost;
    H26xProbe* fSource = nullptr;
};

TEST(Base64, PaddingAndAlphabet) {
    char out[16];
    const unsigned char bytes[] = {0xfb, 0xff, 0xbf, 'M', 'a'};
    EXPECT_STREQ(base64EncodePrivate(bytes, 1, out), "+w==");
    EXPECT_STREQ(base64EncodePrivate(bytes, 2, out), "+/8=");
    EXPECT_STREQ(base64EncodePrivate(bytes, 3, out), "+/+/");
    EXPECT_STREQ(base64EncodePrivate(bytes + 3, 2, out), "TWE=");
    EXPECT_STREQ(base64EncodePrivate(bytes, 0, out), "");
    EXPECT_EQ(base64EncodePrivate(nullptr, 3, out), nullptr);
    EXPECT_EQ(base64EncodedSize(93), 125u);
    EXPECT_EQ(base64EncodedSize(94), 129u); // one too many for a 128-byte text
}

TEST_F(H26xSplit, H264KeyAccessUnitGivesThreeUnitsAndTheParameterText) {
    auto* s = make("video/H264");
    auto au = annexB({kSps264, kPps264, kIdr264});
    bool key = false;
    auto* units = s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    ASSERT_EQ(s->fUnitCount, 3);
    EXPECT_TRUE(key);
    EXPECT_EQ(units[0].data, au.data() + 4);
    EXPECT_EQ(units[0].size, static_cast<int>(kSps264.size()));
    EXPECT_EQ(units[1].size, static_cast<int>(kPps264.size()));
    EXPECT_EQ(units[2].size, static_cast<int>(kIdr264.size()));
    ASSERT_TRUE(s->hasAuxLine());
    EXPECT_EQ(s->getAuxLine(),
              "profile-level-id=42e01f;sprop-parameter-sets=" + b64(kSps264) + "," + b64(kPps264));
}

TEST_F(H26xSplit, H264SliceRunsToTheEndOfTheRecordAndIsNotKey) {
    auto* s = make("video/H264");
    auto au = annexB({kP264});
    bool key = true;
    auto* units = s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    ASSERT_EQ(s->fUnitCount, 1);
    EXPECT_FALSE(key);
    EXPECT_EQ(units[0].size, static_cast<int>(au.size()) - 4);
    EXPECT_FALSE(s->hasAuxLine());
}

TEST_F(H26xSplit, H264SpsAloneBuildsNothingUntilThePpsArrives) {
    auto* s = make("video/H264");
    auto first = annexB({kSps264, kP264});
    bool key = false;
    s->splitFrames(first.data(), static_cast<int>(first.size()), key);
    EXPECT_EQ(s->fUnitCount, 2);
    EXPECT_FALSE(key);
    EXPECT_FALSE(s->hasAuxLine());
    auto second = annexB({kPps264, kP264});
    s->splitFrames(second.data(), static_cast<int>(second.size()), key);
    EXPECT_TRUE(s->hasAuxLine());
}

TEST_F(H26xSplit, H264ParameterSetsWithOtherRefIdcAreNotCaptured) {
    auto* s = make("video/H264");
    auto au = annexB({{0x27, 0x42, 0xe0, 0x1f}, {0x28, 0xce}, kIdr264});
    bool key = false;
    s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    EXPECT_TRUE(key);
    EXPECT_FALSE(s->hasAuxLine());
}

TEST_F(H26xSplit, H264OversizedAccessUnitIsCutAfterFiveUnitsAndCountsAsKey) {
    auto* s = make("video/H264");
    std::vector<uint8_t> sei = {0x06, 0x05, 0x01};
    auto au = annexB({sei, sei, sei, sei, sei, sei, sei});
    bool key = false;
    s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    EXPECT_EQ(s->fUnitCount, 5);
    EXPECT_TRUE(key);
}

TEST_F(H26xSplit, RecordsWithoutStartCodeOrEmptyGiveNoUnits) {
    auto* s = make("video/H264");
    std::vector<uint8_t> raw = {0x00, 0x00, 0x01, 0x65, 0x11};
    bool key = true;
    s->splitFrames(raw.data(), static_cast<int>(raw.size()), key);
    EXPECT_EQ(s->fUnitCount, 0);
    EXPECT_FALSE(key);
    s->splitFrames(nullptr, 0, key);
    EXPECT_EQ(s->fUnitCount, 0);
    std::vector<uint8_t> onlyCode = {0, 0, 0, 1};
    int length = -1;
    EXPECT_EQ(s->extractFrameH264(onlyCode.data(), 4, length), nullptr);
}

TEST_F(H26xSplit, H265KeyAccessUnitGivesFourUnitsAndTheParameterText) {
    auto* s = make("video/H265");
    auto au = annexB({kVps265, kSps265, kPps265, kIdr265});
    bool key = false;
    s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    ASSERT_EQ(s->fUnitCount, 4);
    EXPECT_TRUE(key);
    ASSERT_TRUE(s->hasAuxLine());
    EXPECT_EQ(s->getAuxLine(),
              "sprop-vps=" + b64(kVps265) + ";sprop-sps=" + b64(kSps265) + ";sprop-pps=" + b64(kPps265));
}

TEST_F(H26xSplit, H265ThreeUnitsAreNotKeyAndSixIsTheLimit) {
    auto* s = make("video/H265");
    auto three = annexB({kSps265, kPps265, kIdr265});
    bool key = true;
    s->splitFrames(three.data(), static_cast<int>(three.size()), key);
    EXPECT_EQ(s->fUnitCount, 3);
    EXPECT_FALSE(key);
    EXPECT_FALSE(s->hasAuxLine()); // no VPS yet
    std::vector<uint8_t> sei = {0x4e, 0x01, 0x05};
    auto many = annexB({sei, sei, sei, sei, sei, sei, sei, sei});
    s->splitFrames(many.data(), static_cast<int>(many.size()), key);
    EXPECT_EQ(s->fUnitCount, 6);
    EXPECT_TRUE(key);
}

TEST_F(H26xSplit, KeptStartCodesArePartOfUnitsAndOfTheCapturedSets) {
    auto* s = make("video/H264");
    s->fKeepStartCode = true;
    auto au = annexB({kSps264, kPps264, kIdr264});
    bool key = false;
    auto* units = s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    ASSERT_EQ(s->fUnitCount, 3);
    EXPECT_EQ(units[0].data, au.data());
    EXPECT_EQ(units[0].size, static_cast<int>(kSps264.size()) + 4);
    EXPECT_EQ(units[2].size, static_cast<int>(kIdr264.size()) + 4);
    std::vector<uint8_t> spsWithCode = {0, 0, 0, 1};
    spsWithCode.insert(spsWithCode.end(), kSps264.begin(), kSps264.end());
    EXPECT_NE(s->getAuxLine().find("profile-level-id=42e01f;sprop-parameter-sets=" + b64(spsWithCode) + ","),
              std::string::npos);
}

TEST_F(H26xSplit, FormatOtherThanH265SelectsH264) {
    EXPECT_EQ(make("video/whatever")->codec(), 264);
}

TEST_F(H26xSplit, ParameterSetTooLongForTheTextIsRefusedWithATrace) {
    yvk::test::TraceCapture trace;
    auto* s = make("video/H264");
    std::vector<uint8_t> longSps(94, 0x11);
    longSps[0] = 0x67;
    auto au = annexB({longSps, kPps264, kIdr264});
    bool key = false;
    s->splitFrames(au.data(), static_cast<int>(au.size()), key);
    EXPECT_FALSE(s->hasAuxLine());
    EXPECT_TRUE(trace.contains("parameter set of 94 bytes"));
    // A set that fits is still taken afterwards.
    auto good = annexB({kSps264, kPps264, kIdr264});
    s->splitFrames(good.data(), static_cast<int>(good.size()), key);
    EXPECT_TRUE(s->hasAuxLine());
    std::vector<uint8_t> longest(93, 0x22);
    longest[0] = 0x67;
    auto* t = H26xProbe::create(env(), "video/H264", 25, fHost.io());
    auto edge = annexB({longest, kPps264, kIdr264});
    t->splitFrames(edge.data(), static_cast<int>(edge.size()), key);
    EXPECT_TRUE(t->hasAuxLine());
    Medium::close(t);
}

} // namespace
