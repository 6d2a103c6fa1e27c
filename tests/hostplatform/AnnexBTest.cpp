// Cutting and normalising Annex-B access units.
#include "AnnexB.hh"

#include <gtest/gtest.h>

#include <vector>

using yvk::host::AccessUnitNormalizer;
using yvk::host::splitAnnexB;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(AnnexB, SplitsAtThreeAndFourByteCodes) {
    Bytes data = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5};
    auto units = splitAnnexB(data.data(), data.size());
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].data[0], 0x67);
    EXPECT_EQ(units[0].size, 3u);
    EXPECT_EQ(units[1].size, 2u);
    EXPECT_EQ(units[2].size, 3u);
    Bytes none = {1, 2, 3, 0, 0};
    EXPECT_TRUE(splitAnnexB(none.data(), none.size()).empty());
    EXPECT_TRUE(splitAnnexB(nullptr, 0).empty());
}

TEST(AnnexB, KeyFramesGetTheLearntParameterSetsInFront) {
    AccessUnitNormalizer n(264);
    Bytes extra = {0, 0, 0, 1, 0x67, 0xaa, 0, 0, 0, 1, 0x68, 0xbb};
    n.learn(extra.data(), extra.size());
    // Delimiter dropped, three-byte code widened, sets in front.
    Bytes key = {0, 0, 1, 0x09, 0xf0, 0, 0, 1, 0x65, 0x11};
    Bytes out;
    n.normalize(key.data(), key.size(), true, out);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x67, 0xaa, 0, 0, 0, 1, 0x68, 0xbb, 0, 0, 0, 1, 0x65, 0x11}));
    Bytes other = {0, 0, 1, 0x41, 0x22};
    n.normalize(other.data(), other.size(), false, out);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x41, 0x22}));
    // New sets inside a key frame replace the learnt ones and move to the front.
    Bytes fresh = {0, 0, 0, 1, 0x06, 0x01, 0, 0, 0, 1, 0x67, 0xcc, 0, 0, 0, 1, 0x68, 0xdd, 0, 0, 0, 1, 0x65, 0x33};
    n.normalize(fresh.data(), fresh.size(), true, out);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x67, 0xcc, 0, 0, 0, 1, 0x68, 0xdd, 0, 0, 0, 1, 0x06, 0x01, 0, 0, 0, 1, 0x65,
                          0x33}));
    EXPECT_EQ(n.parameterSets(), (Bytes{0, 0, 0, 1, 0x67, 0xcc, 0, 0, 0, 1, 0x68, 0xdd}));
}

TEST(AnnexB, H265SetsInVpsSpsPpsOrder) {
    AccessUnitNormalizer n(265);
    Bytes key = {0, 0, 0, 1, 0x44, 0x01, 0, 0, 0, 1, 0x42, 0x01, 0, 0, 0, 1, 0x40, 0x01, 0, 0, 0, 1, 0x26, 0x01};
    Bytes out;
    n.normalize(key.data(), key.size(), true, out);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x40, 0x01, 0, 0, 0, 1, 0x42, 0x01, 0, 0, 0, 1, 0x44, 0x01, 0, 0, 0, 1, 0x26,
                          0x01}));
}

} // namespace
