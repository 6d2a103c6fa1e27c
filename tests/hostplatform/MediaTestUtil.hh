// Shared helpers of the media tests: file paths and Annex-B checks.
#ifndef YVK_TEST_MEDIA_UTIL_HH
#define YVK_TEST_MEDIA_UTIL_HH

#include <cstdint>
#include <string>
#include <vector>

namespace yvk::test {

inline std::string mediaPath(const std::string& name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

// The first bytes of every unit behind a start code, and whether every start
// code of the data is the four-byte form with one at offset 0.
struct StartCodes {
    bool allFourByte = true;
    std::vector<uint8_t> headers;
};

inline StartCodes scanStartCodes(const uint8_t* data, size_t size) {
    StartCodes out;
    if (size < 5 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1) out.allFourByte = false;
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (i == 0 || data[i - 1] != 0) out.allFourByte = false;
            out.headers.push_back(data[i + 3]);
            i += 2;
        }
    }
    return out;
}

} // namespace yvk::test

#endif
