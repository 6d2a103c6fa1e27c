// Shared helpers of the media tests: file paths, demux reads and Annex-B
// checks.
#ifndef YVK_TEST_MEDIA_UTIL_HH
#define YVK_TEST_MEDIA_UTIL_HH

#include "yvk_demux.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace yvk::test {

inline std::string mediaPath(const std::string& name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

struct VideoSample { std::vector<uint8_t> data; int key = -1; uint64_t ts = 0; };

// An open file and a buffer of the standard capacity.
struct Demux {
    explicit Demux(const char* name) : h(YVK_StreamerDemuxOpen(mediaPath(name).c_str())) {}
    ~Demux() { YVK_StreamerDemuxClose(h); }
    bool next(int track, VideoSample& out) {
        int size = 0;  // 0: the standard capacity
        if (YVK_StreamerDemuxReadVideo(h, track, buffer.data(), &size, &out.key, &out.ts) == 0) return false;
        out.data.assign(buffer.begin(), buffer.begin() + size);
        return true;
    }
    std::vector<VideoSample> all(int track) {
        std::vector<VideoSample> samples;
        VideoSample s;
        while (samples.size() < 1000 && next(track, s)) samples.push_back(s);
        return samples;
    }
    int readAudio() {
        int size = static_cast<int>(buffer.size());
        int n = YVK_StreamerDemuxReadAudio(h, buffer.data(), &size);
        EXPECT_EQ(n, size);
        return n;
    }
    void* h;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(YVK_DEMUX_SAMPLE_CAPACITY);
};

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
