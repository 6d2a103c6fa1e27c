// Normalising Annex-B access units.
#include "AnnexB.hh"
#include "AnnexBUnits.hh"

#include <gtest/gtest.h>

#include <vector>

using yvk::host::AccessUnitNormalizer;
using yvk::test::annexB;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes normalize(AccessUnitNormalizer& n, const Bytes& in, bool key) {
    Bytes out;
    n.normalize(in.data(), in.size(), key, out);
    return out;
}

TEST(AnnexB, KeyFramesGetTheLatestParameterSetsInFront) {
    AccessUnitNormalizer n(264);
    Bytes extra = annexB({{0x67, 0xaa}, {0x68, 0xbb}});
    n.learn(extra.data(), extra.size());
    // Delimiter dropped, three-byte codes widened, sets in front.
    EXPECT_EQ(normalize(n, {0, 0, 1, 0x09, 0xf0, 0, 0, 1, 0x65, 0x11}, true),
              annexB({{0x67, 0xaa}, {0x68, 0xbb}, {0x65, 0x11}}));
    EXPECT_EQ(normalize(n, {0, 0, 1, 0x41, 0x22}, false), annexB({{0x41, 0x22}}));
    EXPECT_TRUE(normalize(n, {1, 2, 3, 0, 0}, false).empty());  // no start code, no unit
    // New sets inside a key frame replace the learnt ones and move to the front.
    Bytes fresh = annexB({{0x06, 0x01}, {0x67, 0xcc}, {0x68, 0xdd}, {0x65, 0x33}});
    EXPECT_EQ(normalize(n, fresh, true), annexB({{0x67, 0xcc}, {0x68, 0xdd}, {0x06, 0x01}, {0x65, 0x33}}));
    EXPECT_EQ(n.parameterSets(), annexB({{0x67, 0xcc}, {0x68, 0xdd}}));
}

TEST(AnnexB, H265SetsInVpsSpsPpsOrder) {
    AccessUnitNormalizer n(265);
    Bytes key = annexB({{0x44, 0x01}, {0x42, 0x01}, {0x40, 0x01}, {0x26, 0x01}});
    EXPECT_EQ(normalize(n, key, true), annexB({{0x40, 0x01}, {0x42, 0x01}, {0x44, 0x01}, {0x26, 0x01}}));
}

} // namespace
