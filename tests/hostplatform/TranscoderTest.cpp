// The transcode service: H.265 in, 1280x720 H.264 out that ffprobe reads.
#include "yvk_demux.h"

#include "MediaTestUtil.hh"
#include "Process.hh"
#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using yvk::test::mediaPath;
using yvk::test::scanStartCodes;
using yvk::test::TraceCapture;

namespace {

constexpr int kCapacity = 0x300000;

TransOpenParam params(const std::string& name) {
    static std::string path;
    path = mediaPath(name);
    return TransOpenParam{path.c_str(), 0, 264, 1280, 720};
}

TEST(TranscodeService, H265FileBecomes720pH264) {
    TransOpenParam p = params("clip.mkv");
    void* t = YVK_StreamerTransOpen(&p);
    ASSERT_NE(t, nullptr);
    std::vector<uint8_t> buffer(kCapacity);
    int n = YVK_StreamerTransGetNALData(t, buffer.data(), kCapacity);
    ASSERT_GT(n, 8);
    auto sets = scanStartCodes(buffer.data(), static_cast<size_t>(n));
    EXPECT_TRUE(sets.allFourByte);
    EXPECT_EQ(sets.headers, (std::vector<uint8_t>{0x67, 0x68}));
    std::string outPath = std::string(YVK_BINARY_DIR) + "/transcoded-test.h264";
    std::ofstream out(outPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(buffer.data()), n);

    ASSERT_EQ(YVK_StreamerTransRun(t), 1);
    int units = 0, keys = 0;
    uint64_t lastTs = 0;
    for (int i = 0; i < 200; ++i) {
        int key = -1;
        uint64_t ts = 0;
        int size = YVK_StreamerTransGetStream(t, buffer.data(), kCapacity, &key, &ts);
        if (size == 0) break;
        if (units == 0) {
            EXPECT_EQ(key, 1);
        }
        auto codes = scanStartCodes(buffer.data(), static_cast<size_t>(size));
        ASSERT_TRUE(codes.allFourByte);
        if (key) {
            EXPECT_EQ(codes.headers[0], 0x67);
        }
        if (units > 0) {
            EXPECT_GT(ts, lastTs);
        }
        lastTs = ts;
        keys += key;
        ++units;
        out.write(reinterpret_cast<const char*>(buffer.data()), size);
    }
    out.close();
    EXPECT_EQ(units, 75);
    EXPECT_GE(keys, 2);
    EXPECT_EQ(YVK_StreamerTransGetStream(t, buffer.data(), kCapacity, nullptr, nullptr), 0);
    YVK_StreamerTransClose(t);

    auto probe = yvk::test::runProcess({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                        "stream=codec_name,width,height,nb_read_frames", "-of", "compact", outPath},
                                       30000);
    EXPECT_EQ(probe.exitCode, 0) << probe.out;
    EXPECT_NE(probe.out.find("codec_name=h264|width=1280|height=720|nb_read_frames=75"), std::string::npos)
        << probe.out;
}

TEST(TranscodeService, SeekRestartsWithAKeyFrameAtThePosition) {
    TransOpenParam p = params("clip.mkv");
    void* t = YVK_StreamerTransOpen(&p);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(YVK_StreamerTransRun(t), 1);
    std::vector<uint8_t> buffer(kCapacity);
    int key = 0;
    uint64_t ts = 0;
    ASSERT_GT(YVK_StreamerTransGetStream(t, buffer.data(), kCapacity, &key, &ts), 0);
    ASSERT_EQ(YVK_StreamerTransSeek(t, 2000), 1);
    ASSERT_GT(YVK_StreamerTransGetStream(t, buffer.data(), kCapacity, &key, &ts), 0);
    EXPECT_EQ(key, 1);
    EXPECT_EQ(ts, 2000u);
    int rest = 0;
    while (rest < 100 && YVK_StreamerTransGetStream(t, buffer.data(), kCapacity, &key, &ts) > 0) ++rest;
    EXPECT_EQ(rest, 24);  // frames 2040 .. 2960 ms
    // A seek after the end starts over.
    ASSERT_EQ(YVK_StreamerTransSeek(t, 0), 1);
    ASSERT_GT(YVK_StreamerTransGetStream(t, buffer.data(), kCapacity, &key, &ts), 0);
    EXPECT_EQ(ts, 0u);
    YVK_StreamerTransClose(t);
}

TEST(TranscodeService, CloseWhileTheWorkerWaitsOnAFullQueue) {
    TransOpenParam p = params("clip.mp4");  // H.264 input works as well
    void* t = YVK_StreamerTransOpen(&p);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(YVK_StreamerTransRun(t), 1);
    ASSERT_EQ(YVK_StreamerTransRun(t), 1);
    YVK_StreamerTransClose(t);
}

TEST(TranscodeService, RefusesWhatItCannotDo) {
    TraceCapture traces;
    EXPECT_EQ(YVK_StreamerTransOpen(nullptr), nullptr);
    TransOpenParam missing = params("missing.mkv");
    EXPECT_EQ(YVK_StreamerTransOpen(&missing), nullptr);
    TransOpenParam track = params("clip.mkv");
    track.videoTrack = 1;
    EXPECT_EQ(YVK_StreamerTransOpen(&track), nullptr);
    TransOpenParam codec = params("clip.mkv");
    codec.codec = 265;
    EXPECT_EQ(YVK_StreamerTransOpen(&codec), nullptr);
    EXPECT_TRUE(traces.contains("no video track 1"));
    EXPECT_EQ(YVK_StreamerTransGetStream(nullptr, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(YVK_StreamerTransRun(nullptr), 0);
    YVK_StreamerTransClose(nullptr);

    TransOpenParam p = params("clip.mkv");
    void* t = YVK_StreamerTransOpen(&p);
    ASSERT_NE(t, nullptr);
    uint8_t small[8] = {};
    EXPECT_EQ(YVK_StreamerTransGetNALData(t, small, sizeof small), 0);
    EXPECT_EQ(YVK_StreamerTransGetStream(t, small, sizeof small, nullptr, nullptr), 0);  // not running
    ASSERT_EQ(YVK_StreamerTransRun(t), 1);
    EXPECT_EQ(YVK_StreamerTransGetStream(t, small, sizeof small, nullptr, nullptr), 0);  // too big: dropped
    for (uint8_t b : small) EXPECT_EQ(b, 0);
    YVK_StreamerTransClose(t);
}

} // namespace
