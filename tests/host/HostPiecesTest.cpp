// The reference host's own pieces: rewriting encoder output into the
// access units the library expects, the record pool's account of what the
// library popped and released, media files played as a looped stream, and
// the frame marks of the delivery benchmarks.
#include "AnnexB.hh"
#include "FileVideo.hh"
#include "LatencyMarks.hh"
#include "RecordPool.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(AccessUnitFilter, KeepsSlicesAndParameterSetsWithFourByteStartCodes) {
    AccessUnitFilter filter(false);
    // AUD (3-byte code), SPS, PPS, SEI, IDR slice (3-byte code).
    Bytes in = {0, 0, 1, 0x09, 0xf0, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce,
                0, 0, 1, 0x06, 0x05, 0x01, 0, 0, 1, 0x65, 0x88, 0x80};
    Bytes out;
    bool key = false;
    ASSERT_TRUE(filter.rewrite(in.data(), in.size(), out, key));
    EXPECT_TRUE(key);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce, 0, 0, 0, 1, 0x65, 0x88, 0x80}));
}

TEST(AccessUnitFilter, PutsRememberedParameterSetsInFrontOfLaterKeyPictures) {
    AccessUnitFilter filter(true);
    Bytes first = {0, 0, 0, 1, 0x40, 0x01, 0xaa, 0, 0, 0, 1, 0x42, 0x01, 0xbb,
                   0, 0, 0, 1, 0x44, 0x01, 0xcc, 0, 0, 0, 1, 0x26, 0x01, 0xdd};
    Bytes out;
    bool key = false;
    ASSERT_TRUE(filter.rewrite(first.data(), first.size(), out, key));
    Bytes bareIdr = {0, 0, 0, 1, 0x26, 0x01, 0xee};
    ASSERT_TRUE(filter.rewrite(bareIdr.data(), bareIdr.size(), out, key));
    EXPECT_TRUE(key);
    first.back() = 0xee;  // VPS, SPS, PPS and the new picture
    EXPECT_EQ(out, first);
    Bytes trail = {0, 0, 0, 1, 0x02, 0x01, 0x11};
    ASSERT_TRUE(filter.rewrite(trail.data(), trail.size(), out, key));
    EXPECT_FALSE(key);
    EXPECT_EQ(out, trail);
    Bytes onlySei = {0, 0, 0, 1, 0x4e, 0x01, 0x05};
    EXPECT_FALSE(filter.rewrite(onlySei.data(), onlySei.size(), out, key));
}

// Stopping the consumer discards what waits.
TEST(RecordPool, CountsEveryPopAndReleaseAndCatchesDoubleReleases) {
    RecordPool pool(3, 2);
    YVKStreamerQIO io = pool.queueIO();
    io.setStreaming(io.handle, 1);
    const uint8_t bytes[] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        YVKStreamerStream* record = pool.acquire();
        ASSERT_NE(record, nullptr);
        pool.fill(record, bytes, sizeof bytes);
        pool.publish(record);  // the third publish drops the oldest (at most 2 ready)
    }
    EXPECT_EQ(pool.stats().dropped, 1u);
    EXPECT_TRUE(pool.takeDropped());
    YVKStreamerStream* a = io.popStream(io.handle, 0);
    YVKStreamerStream* b = io.popStream(io.handle, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(io.popStream(io.handle, 10), nullptr);
    EXPECT_EQ(a->size, 3u);
    EXPECT_EQ(pool.stats().inFlight, 2);
    io.releaseStream(io.handle, a, 1);
    io.releaseStream(io.handle, a, 1);
    YVKStreamerStream stranger{};
    io.releaseStream(io.handle, &stranger, 1);
    io.releaseStream(io.handle, b, 1);
    PoolStats stats = pool.stats();
    EXPECT_EQ(stats.popped, 2u);
    EXPECT_EQ(stats.released, 2u);
    EXPECT_EQ(stats.badReleases, 2u);
    EXPECT_EQ(stats.inFlight, 0);

    pool.publish(pool.acquire());
    io.setStreaming(io.handle, 0);
    EXPECT_FALSE(pool.streaming());
    EXPECT_EQ(pool.stats().dropped, 2u);
    EXPECT_EQ(io.popStream(io.handle, 0), nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_NE(pool.acquire(), nullptr);
    EXPECT_EQ(pool.acquire(), nullptr);  // all lent to the producer
}

// Four seconds at 25 fps (100 units) read on through two loops: the times
// go on at the frame rate, across the loop too, whether the file carries
// times (a container) or not (a raw Annex-B stream, which libavformat hands
// over without any).
TEST(FileVideo, LoopsAtTheFrameRateWithOrWithoutTimesInTheFile) {
    for (const char* name : {"clip.mp4", "encoder-x264-default.h264", "encoder-x265-default.hevc"}) {
        SCOPED_TRACE(name);
        FileVideo file;
        std::string error;
        ASSERT_TRUE(file.open(std::string(YVK_MEDIA_DIR) + "/" + name, error)) << error;
        EXPECT_EQ(file.fps(), 25);
        std::vector<uint8_t> unit;
        int64_t firstUs = 0;
        for (int index = 0; index < 250; ++index) {
            bool key = false;
            int64_t decodeUs = -1, presentUs = -1;
            ASSERT_TRUE(file.next(unit, key, decodeUs, presentUs)) << "unit " << index;
            if (index == 0) firstUs = decodeUs;
            ASSERT_EQ(decodeUs - firstUs, index * 40000) << "unit " << index;
            if (index % 100 == 0) {
                EXPECT_TRUE(key) << "unit " << index; // each loop starts at the key picture
            }
            EXPECT_FALSE(unit.empty());
        }
    }
}

// The mark must survive as one NAL unit: no start code or emulation
// prevention may be needed inside it, whatever the number.
TEST(LatencyMarks, AnSeiPerCodecThatCarriesTheFrameNumberWithoutZeroBytes) {
    struct Case {
        bool h265;
        uint64_t frame;
        Bytes header;
        uint64_t found;
    };
    const Case cases[] = {
        {false, 0, {0x06, 0x05, 26}, 0},
        {false, 1234567, {0x06, 0x05, 26}, 1234567},
        {true, 9999999999ull, {0x4e, 0x01, 0x05, 26}, 9999999999ull},
        {true, 10000000007ull, {0x4e, 0x01, 0x05, 26}, 7}, // ten digits: the number wraps
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        Bytes sei = latency_marks::seiFor(c.frame, c.h265);
        ASSERT_GT(sei.size(), 4 + c.header.size());
        EXPECT_EQ(Bytes(sei.begin(), sei.begin() + 4), (Bytes{0, 0, 0, 1}));
        EXPECT_EQ(Bytes(sei.begin() + 4, sei.begin() + 4 + c.header.size()), c.header);
        EXPECT_EQ(sei.size(), 4 + c.header.size() + 26 + 1);
        EXPECT_EQ(sei.back(), 0x80);
        EXPECT_EQ(std::count(sei.begin() + 4, sei.end(), 0), 0);
        uint64_t frame = 0;
        ASSERT_TRUE(latency_marks::find(sei.data() + 4, sei.size() - 4, frame));
        EXPECT_EQ(frame, c.found);
    }
}

TEST(LatencyMarks, FindsAMarkInsideAStreamAndNothingInACutOrForeignOne) {
    Bytes stream = {0, 0, 0, 1, 0x65, 0x88};
    Bytes sei = latency_marks::seiFor(42, false);
    stream.insert(stream.end(), sei.begin(), sei.end());
    uint64_t frame = 0;
    ASSERT_TRUE(latency_marks::find(stream.data(), stream.size(), frame));
    EXPECT_EQ(frame, 42u);
    EXPECT_FALSE(latency_marks::find(stream.data(), stream.size() - 6, frame)); // digits cut off
    stream[stream.size() - 3] = 'x';
    EXPECT_FALSE(latency_marks::find(stream.data(), stream.size(), frame)); // not a number
    EXPECT_FALSE(latency_marks::find(nullptr, 0, frame));
}

// The pool notes a numbered record when it is popped, not when it is made,
// and the log keeps no more than its capacity.
TEST(LatencyMarks, ThePoolLogsThePopOfNumberedRecordsUpToTheLogsCapacity) {
    RecordPool pool(4, 4);
    PopLog log(2);
    pool.setPopLog(&log);
    YVKStreamerQIO io = pool.queueIO();
    io.setStreaming(io.handle, 1);
    const uint8_t bytes[] = {0, 0, 0, 1, 0x65};
    for (uint64_t frame : {7u, 8u, 9u}) {
        YVKStreamerStream* record = pool.acquire();
        pool.fill(record, bytes, sizeof bytes);
        pool.setMark(record, frame);
        pool.publish(record);
    }
    YVKStreamerStream* unmarked = pool.acquire();
    pool.fill(unmarked, bytes, sizeof bytes);
    pool.publish(unmarked);
    EXPECT_EQ(log.size(), 0u);
    int64_t before = latency_marks::realtimeNs();
    std::vector<YVKStreamerStream*> popped;
    while (YVKStreamerStream* record = io.popStream(io.handle, 0)) popped.push_back(record);
    EXPECT_EQ(popped.size(), 4u);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(log.lost(), 1u); // frame 9; the unmarked record is not a note
    for (YVKStreamerStream* record : popped) io.releaseStream(io.handle, record, 1);

    std::string path = ::testing::TempDir() + "pops.log";
    ASSERT_TRUE(log.write(path));
    std::FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    unsigned long long frame = 0;
    long long ns = 0;
    std::vector<unsigned long long> frames;
    while (std::fscanf(file, "%llu %lld", &frame, &ns) == 2) {
        frames.push_back(frame);
        EXPECT_GE(ns, before);
    }
    std::fclose(file);
    std::remove(path.c_str());
    EXPECT_EQ(frames, (std::vector<unsigned long long>{7, 8}));
}

} // namespace

