// Annex-B byte streams made of NAL units, for the tests of the code that
// cuts or rewrites them.
#ifndef YVK_TEST_ANNEX_B_UNITS_HH
#define YVK_TEST_ANNEX_B_UNITS_HH

#include <cstdint>
#include <vector>

namespace yvk::test {

// The units (each given without start code) behind four-byte start codes.
inline std::vector<uint8_t> annexB(const std::vector<std::vector<uint8_t>>& nals) {
    std::vector<uint8_t> out;
    for (const auto& nal : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

} // namespace yvk::test

#endif
