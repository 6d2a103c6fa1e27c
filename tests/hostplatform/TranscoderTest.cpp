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

namespace {

constexpr int kCapacity = 0x300000;

struct Transcoder {
    explicit Transcoder(const char* name, int track = 0, int codec = 264) {
        std::string path = mediaPath(name);
        TransOpenParam p{path.c_str(), track, codec, 1280, 720};
        h = YVK_StreamerTransOpen(&p);
    }
    ~Transcoder() { YVK_StreamerTransClose(h); }
    int next(int* key = nullptr, uint64_t* ts = nullptr) {
        return YVK_StreamerTransGetStream(h, buffer.data(), kCapacity, key, ts);
    }
    void* h;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kCapacity);
};

TEST(TranscodeService, H265FileBecomes720pH264) {
    Transcoder t("clip.mkv");
    ASSERT_NE(t.h, nullptr);
    int n = YVK_StreamerTransGetNALData(t.h, t.buffer.data(), kCapacity);
    ASSERT_GT(n, 8);
    auto sets = scanStartCodes(t.buffer.data(), static_cast<size_t>(n));
    EXPECT_TRUE(sets.allFourByte);
    EXPECT_EQ(sets.headers, (std::vector<uint8_t>{0x67, 0x68}));
    std::string outPath = std::string(YVK_BINARY_DIR) + "/transcoded-test.h264";
    std::ofstream out(outPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(t.buffer.data()), n);

    ASSERT_EQ(YVK_StreamerTransRun(t.h), 1);
    int units = 0, keys = 0, key = 0;
    uint64_t ts = 0, lastTs = 0;
    for (int size; units < 200 && (size = t.next(&key, &ts)) > 0; ++units, keys += key, lastTs = ts) {
        auto codes = scanStartCodes(t.buffer.data(), static_cast<size_t>(size));
        ASSERT_TRUE(codes.allFourByte);
        EXPECT_TRUE(units > 0 || key == 1) << "the first unit is a key frame";
        EXPECT_TRUE(units == 0 || ts > lastTs) << "unit " << units << " at " << ts << " after " << lastTs;
        EXPECT_TRUE(key == 0 || codes.headers[0] == 0x67) << "key frames start with the SPS";
        out.write(reinterpret_cast<const char*>(t.buffer.data()), size);
    }
    out.close();
    EXPECT_EQ(units, 75);
    EXPECT_GE(keys, 2);

    auto probe = yvk::test::runProcess({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                        "stream=codec_name,width,height,nb_read_frames", "-of", "compact", outPath},
                                       30000);
    EXPECT_EQ(probe.exitCode, 0) << probe.out;
    EXPECT_NE(probe.out.find("codec_name=h264|width=1280|height=720|nb_read_frames=75"), std::string::npos)
        << probe.out;
}

TEST(TranscodeService, SeekRestartsWithAKeyFrameAtThePosition) {
    Transcoder t("clip.mkv");
    ASSERT_EQ(YVK_StreamerTransRun(t.h), 1);
    int key = 0;
    uint64_t ts = 0;
    ASSERT_GT(t.next(&key, &ts), 0);
    ASSERT_EQ(YVK_StreamerTransSeek(t.h, 2000), 1);
    ASSERT_GT(t.next(&key, &ts), 0);
    EXPECT_EQ(key, 1);
    EXPECT_EQ(ts, 2000u);
    int rest = 0;
    while (rest < 100 && t.next() > 0) ++rest;
    EXPECT_EQ(rest, 24);  // frames 2040 .. 2960 ms
    // A seek after the end starts over.
    ASSERT_EQ(YVK_StreamerTransSeek(t.h, 0), 1);
    ASSERT_GT(t.next(&key, &ts), 0);
    EXPECT_EQ(ts, 0u);
}

TEST(TranscodeService, RefusesWhatItCannotDo) {
    yvk::test::TraceCapture traces;
    EXPECT_EQ(YVK_StreamerTransOpen(nullptr), nullptr);
    EXPECT_EQ(Transcoder("missing.mkv").h, nullptr);
    EXPECT_EQ(Transcoder("clip.mkv", 1).h, nullptr);
    EXPECT_TRUE(traces.contains("no video track 1"));
    EXPECT_EQ(Transcoder("clip.mkv", 0, 265).h, nullptr);
    EXPECT_EQ(YVK_StreamerTransGetStream(nullptr, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(YVK_StreamerTransRun(nullptr), 0);

    Transcoder t("clip.mp4");  // H.264 input works as well
    ASSERT_NE(t.h, nullptr);
    uint8_t small[8] = {};
    EXPECT_EQ(YVK_StreamerTransGetNALData(t.h, small, sizeof small), 0);
    EXPECT_EQ(YVK_StreamerTransGetStream(t.h, small, sizeof small, nullptr, nullptr), 0);  // not running
    ASSERT_EQ(YVK_StreamerTransRun(t.h), 1);
    ASSERT_EQ(YVK_StreamerTransRun(t.h), 1);  // no second worker
    // Too big: dropped, and told apart from the end; the next unit follows.
    EXPECT_EQ(YVK_StreamerTransGetStream(t.h, small, sizeof small, nullptr, nullptr), YVK_DEMUX_SAMPLE_SKIPPED);
    for (uint8_t b : small) EXPECT_EQ(b, 0);
    uint64_t ts = 0;
    EXPECT_GT(YVK_StreamerTransGetStream(t.h, t.buffer.data(), kCapacity, nullptr, &ts), 0);
    EXPECT_EQ(ts, 40u);
}  // closed while the worker waits on a full queue

} // namespace
