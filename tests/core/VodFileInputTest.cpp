// The file-input callbacks over a scripted demux service: durations, seek
// mapping, continuation into the next file, silence and the end of the list.
#include "CoreInstance.hh"
#include "FakeDemux.hh"
#include "VodFileInput.hh"
#include "yvk_demux.h"

#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace FakeDemux = yvk::test::FakeDemux;
using yvk::test::FakeMedia;
using Media = FakeMedia;  // duration of video and audio, tag, frames, blocks, pre-buffer
using yvk::test::kFakeUnitSize;
using yvk::test::TraceCapture;
using Calls = std::vector<std::string>;

namespace {

std::vector<std::string> gList;

const char* listEntry(int index) {
    return index >= 0 && index < static_cast<int>(gList.size()) ? gList[static_cast<size_t>(index)].c_str() : nullptr;
}

FakeMedia broken() {
    FakeMedia m;
    m.openable = false;
    return m;
}

class VodFileInput : public ::testing::Test {
protected:
    void SetUp() override {
        FakeDemux::reset();
        gList.clear();
        fCore = std::make_unique<YVKStreamerCore>();
        fCore->getFileName = listEntry;
    }
    void TearDown() override {
        if (fFile != nullptr) vod_close(fFile);
        EXPECT_EQ(FakeDemux::openHandles(), 0);
    }

    // The play list "a", "b", ... of these media.
    void entries(const std::vector<FakeMedia>& list) {
        gList.clear();
        for (size_t i = 0; i < list.size(); ++i) {
            gList.emplace_back(1, static_cast<char>('a' + i));
            FakeDemux::add(gList.back(), list[i]);
        }
    }
    // Entries of 10 000, 20 000 and 5 000 ms.
    void threeEntries() { entries({Media{10000, 10000, 1}, Media{20000, 20000, 2}, Media{5000, 5000, 3}}); }

    VodFile* open() {
        fFile = static_cast<VodFile*>(vod_open(fCore.get()));
        FakeDemux::clearCalls();
        return fFile;
    }

    int read(int type, std::vector<char>& buffer, int capacity = 0) {
        return vod_read(fFile, type, 0, buffer.data(), &capacity, nullptr);
    }

    std::unique_ptr<YVKStreamerCore> fCore;
    VodFile* fFile = nullptr;
};

TEST_F(VodFileInput, EntryDurations) {
    struct Case {
        const char* what;
        int videoMaster, skipPreBuffer;
        std::vector<FakeMedia> list;
        std::vector<int32_t> durations;
    };
    const Case cases[] = {
        {"the longer track", 0, 0, {Media{10000, 9000, 1}, Media{20000, 20500, 2}, Media{5000, 5000, 3}},
         {10000, 20500, 5000}},
        {"the video track", 1, 0, {Media{10000, 9000, 1}, Media{20000, 20500, 2}, Media{5000, 5000, 3}},
         {10000, 20000, 5000}},
        // 25 frames at 25 fps off every entry but the first; a shorter audio keeps its length.
        {"pre-buffer skipped", 0, 1,
         {Media{10000, 9000, 1, 0, 0, 25}, Media{20000, 20500, 2, 0, 0, 25}, Media{5000, 500, 3, 0, 0, 20}},
         {10000, 19500, 4200}},
        {"unopenable entry", 0, 0, {Media{10000, 10000, 1}, broken(), Media{5000, 5000, 3}}, {10000, 0, 5000}},
        // A crafted count whose time does not fit 32 bits is no shorter than the file.
        {"huge pre-buffer", 0, 1, {Media{10000, 10000, 1}, Media{20000, 20500, 2, 0, 0, 100000000}, Media{5000, 5000, 3}},
         {10000, 20500, 5000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        entries(c.list);
        fCore->videoMaster = c.videoMaster;
        fCore->skipPreBuffer = c.skipPreBuffer;
        ASSERT_NE(open(), nullptr);
        EXPECT_EQ(fFile->fileCount, 3);
        EXPECT_EQ(std::vector<int32_t>(fFile->durations, fFile->durations + 3), c.durations);
        EXPECT_EQ(fFile->totalDurationMs, c.durations[0] + c.durations[1] + c.durations[2]);
        vod_close(fFile);
        fFile = nullptr;
    }
}

TEST_F(VodFileInput, OpenFailsWithoutAFirstEntryAndNullHandlesAreRefused) {
    EXPECT_EQ(vod_open(fCore.get()), nullptr);  // empty list
    entries({broken()});
    EXPECT_EQ(vod_open(fCore.get()), nullptr);
    TraceCapture traces;
    EXPECT_EQ(vod_open(nullptr), nullptr);
    EXPECT_TRUE(traces.contains("no instance"));
    vod_close(nullptr);
    int audio = 0, video = 0, size = 8, offset = 0;
    EXPECT_EQ(vod_get_tracks(nullptr, &audio, &video), 0);
    EXPECT_EQ(std::make_pair(audio, video), std::make_pair(1, 1));
    EXPECT_EQ(vod_info(nullptr, nullptr), -1);
    char buffer[8];
    EXPECT_EQ(vod_read(nullptr, 1, 0, buffer, &size, nullptr), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(vod_seek(nullptr, 0, 0, 0), -1);
    EXPECT_EQ(vod_seek_file_find(nullptr, 0, &offset), -1);
}

TEST_F(VodFileInput, SeekMapsToAnEntryAndAnOffsetAndRefusesPositionsOutsideOrUnopenable) {
    threeEntries();
    ASSERT_NE(open(), nullptr);
    struct Case { int32_t position; int entry; int32_t offset; };
    for (Case c : {Case{25000, 1, 15000}, Case{9999, 0, 9999}, Case{10000, 1, 0}, Case{34999, 2, 4999},
                   Case{35000, -1, -1}, Case{-1, -1, -1}}) {
        int32_t offset = -1;
        EXPECT_EQ(vod_seek_file_find(fFile, c.position, &offset), c.entry) << c.position;
        EXPECT_TRUE(c.entry < 0 || offset == c.offset) << c.position;
    }
    EXPECT_EQ(vod_seek(fFile, 0, 0, 25000), 0);
    EXPECT_EQ(FakeDemux::calls(), (Calls{"close a", "open b", "seek b 15000"}));
    EXPECT_EQ(fFile->nextIndex, 2);
    FakeDemux::clearCalls();  // the current entry is opened again too
    EXPECT_EQ(vod_seek(fFile, 0, 0, 11000), 0);
    EXPECT_EQ(FakeDemux::calls(), (Calls{"close b", "open b", "seek b 1000"}));

    TraceCapture traces;
    FakeDemux::clearCalls();
    for (int64_t outside : {int64_t{35000}, int64_t{1} << 31, (int64_t{1} << 32) + 5, int64_t{-5}})
        EXPECT_EQ(vod_seek(fFile, 0, 0, outside), -1) << outside;  // 2^32 + 5 is not taken as 5
    EXPECT_TRUE(FakeDemux::calls().empty());  // current file unchanged
    EXPECT_TRUE(traces.contains("vod_seek_file_find (2147483648) failed"));
    EXPECT_EQ(fFile->nextIndex, 2);
    // An entry that can no longer be opened leaves no file.
    FakeDemux::add("c", broken());
    EXPECT_EQ(vod_seek(fFile, 0, 0, 31000), -1);
    EXPECT_TRUE(traces.contains("YVK_StreamerDemuxOpen (c) failed."));
    EXPECT_EQ(fFile->demuxHandle, nullptr);
}

// An oversize sample is skipped, not taken for the end of its file.
TEST_F(VodFileInput, ReadsRunOnIntoTheNextFileUntilTheListEnds) {
    FakeMedia first = Media{120, 120, 1, 3};
    first.oversizeFrame = 1;
    entries({first, Media{120, 120, 2, 3}, Media{120, 120, 3, 3}});
    ASSERT_NE(open(), nullptr);
    TraceCapture traces;
    std::vector<char> buffer(64);
    std::vector<int> frames;  // tag * 10 + index
    for (int i = 0; i < 20 && read(YVK_VOD_READ_VIDEO, buffer) == kFakeUnitSize; ++i)
        frames.push_back(buffer[5] * 10 + buffer[7]);
    EXPECT_EQ(frames, (std::vector<int>{10, 12, 20, 21, 22, 30, 31, 32}));
    EXPECT_TRUE(traces.contains("skipped"));
    EXPECT_TRUE(traces.contains("next file (c)"));
    int end = traces.indexOf("End of file list. (cur:3 >= max:3)");
    ASSERT_GE(end, 0);
    EXPECT_EQ(traces.lines()[static_cast<size_t>(end)].level, 2);
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), 0);
}

TEST_F(VodFileInput, WithoutVideoMasterTheFirstTrackToRunDryMovesOn) {
    entries({Media{200, 40, 1, 5, 1}, Media{200, 200, 2, 5, 5}});
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(256);
    for (int tag : {1, 2}) {  // a's audio is over: b
        EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
        EXPECT_EQ(buffer[0], tag);
    }
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(buffer[5], 2);  // video follows to b
}

TEST_F(VodFileInput, WithVideoMasterAudioGapsAreSilence) {
    entries({Media{200, 80, 1, 3, 2}, Media{200, 200, 2, 3, 3}});
    fCore->videoMaster = 1;
    ASSERT_NE(open(), nullptr);
    TraceCapture traces;
    std::vector<char> buffer(256, 'x');
    for (int i = 0; i < 5; ++i) {
        if (i == 2) std::fill(buffer.begin(), buffer.end(), 'x');
        ASSERT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
    }
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 101), std::string(100, '\0') + "x");
    std::fill(buffer.begin(), buffer.end(), 'x');
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer, 40), 40);  // never past the capacity
    EXPECT_EQ(buffer[40], 'x');
    EXPECT_FALSE(traces.contains("next file"));
    // Only the end of the video moves on.
    for (int i = 0; i < 4; ++i) ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(buffer[5], 2);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
    EXPECT_EQ(buffer[0], 2);
    // Other read types get no silence.
    vod_seek(fFile, 0, 0, 390);  // b, before its last audio block
    EXPECT_EQ(read(2, buffer), 100);
    EXPECT_EQ(read(2, buffer), 0);
}

TEST_F(VodFileInput, NoSilenceBeforeAnyAudioWasRead) {
    entries({Media{200, 0, 1, 3}});
    fCore->videoMaster = 1;
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(64);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 0);
    EXPECT_EQ(fFile->nextIndex, 1);
}

TEST_F(VodFileInput, AFileReachedByReadingSkipsItsPreBuffer) {
    entries({Media{120, 120, 1, 1}, Media{400, 400, 2, 10, 0, 5}});
    fCore->skipPreBuffer = 1;
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(64);
    ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(buffer[5], 2);
    EXPECT_EQ(buffer[7], 5);  // frame 5 of b
    EXPECT_EQ(FakeDemux::calls(), (Calls{"close a", "open b", "setvidpos b 0 5", "seek b 200"}));
    // Reached by seeking, the pre-buffer stays.
    FakeDemux::clearCalls();
    ASSERT_EQ(vod_seek(fFile, 0, 0, 120), 0);
    EXPECT_EQ(FakeDemux::calls(), (Calls{"close b", "open b", "seek b 0"}));
}

TEST_F(VodFileInput, ListThatShrinksOrBreaksEndsTheReads) {
    threeEntries();
    FakeDemux::add("a", Media{40, 40, 1, 1});
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(64);
    ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    gList = {"a"};  // the host's list became shorter
    TraceCapture traces;
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), 0);
    EXPECT_TRUE(traces.contains("End of file list. idx(1)"));

    gList = {"a", "b", "c"};
    FakeDemux::add("b", broken());
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), 0);
    EXPECT_TRUE(traces.contains("YVK_StreamerDemuxOpen (b) failed"));
    EXPECT_EQ(fFile->demuxHandle, nullptr);
}

// The values of the audio the list delivers in blocks of at most capacity
// bytes, until it ends, as runs of equal samples: {value, count}.
std::vector<std::pair<int, int>> audioRuns(VodFile* file, int capacity) {
    std::vector<std::pair<int, int>> runs;
    std::vector<char> buffer(static_cast<size_t>(capacity) + 1, 'x');
    for (int reads = 0; reads < 1000; ++reads) {
        int size = capacity;
        int got = vod_read(file, YVK_VOD_READ_AUDIO, 0, buffer.data(), &size, nullptr);
        EXPECT_EQ(buffer[static_cast<size_t>(capacity)], 'x');
        if (got <= 0) break;
        for (int at = 0; at + 1 < got; at += 2) {
            int16_t value = 0;
            std::memcpy(&value, buffer.data() + at, 2);
            if (runs.empty() || runs.back().first != value) runs.emplace_back(value, 0);
            ++runs.back().second;
        }
    }
    return runs;
}

// Audio goes out as 16-bit PCM in the first entry's format however the next
// entries are coded: an MP3 entry decoded, one at another rate and channel
// count converted, so a join changes neither the speed nor the pitch.
TEST_F(VodFileInput, EveryEntrysAudioComesInTheFirstEntrysFormat) {
    FakeMedia a = Media{100, 100, 1, 0, 2};  // PCM 48 kHz stereo: 2 blocks of 25 frames
    a.channels = 2;
    FakeMedia b = Media{100, 100, 2, 0, 3};  // MP3 48 kHz stereo: 3 blocks of 97 frames
    b.channels = 2;
    b.mp3 = true;
    FakeMedia c = Media{100, 100, 3, 0, 4};  // PCM 24 kHz mono: 4 blocks of 50 frames
    c.sampleRate = 24000;
    entries({a, b, c});
    ASSERT_NE(open(), nullptr);
    auto runs = audioRuns(fFile, 1400);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], std::make_pair(0x0101, 100));
    EXPECT_EQ(runs[1].first, 200);  // tag * 100 from the decoder
    EXPECT_NEAR(runs[1].second, 2 * 3 * 97, 2);
    EXPECT_EQ(runs[2].first, 0x0303);
    EXPECT_NEAR(runs[2].second, 2 * 2 * 200, 4);  // twice the frames, each twice

    AviFileInfo info{};
    ASSERT_EQ(vod_info(fFile, &info), 0);  // c is current
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.bitsPerSample, 16);
}

// The first entry's own format is the list's: a first MP3 entry is decoded
// at its rate, and a seek back into it starts the decoder afresh.
TEST_F(VodFileInput, AFirstMp3EntrySetsTheFormatAndSurvivesSeeks) {
    FakeMedia a = Media{1000, 1000, 4, 0, 10};
    a.mp3 = true;
    a.sampleRate = 44100;
    FakeMedia b = Media{1000, 1000, 5, 0, 2};  // PCM 44.1 kHz mono passes through
    b.sampleRate = 44100;
    entries({a, b});
    ASSERT_NE(open(), nullptr);
    auto runs = audioRuns(fFile, 333);  // odd: whole frames only
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, 400);
    EXPECT_NEAR(runs[0].second, 10 * 97, 1);
    EXPECT_EQ(runs[1], std::make_pair(0x0505, 100));
    ASSERT_EQ(vod_seek(fFile, 0, 0, 500), 0);
    std::vector<char> whole(YVK_DEMUX_SAMPLE_CAPACITY);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, whole), 2 * 96);  // no capacity given: one block, not the entry
    ASSERT_EQ(vod_seek(fFile, 0, 0, 500), 0);
    runs = audioRuns(fFile, 1400);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs[0].first, 400);
    EXPECT_NEAR(runs[0].second, 5 * 97, 1);
}

TEST_F(VodFileInput, InfoReportsTheCurrentFileAndItsFirstKeyFrame) {
    FakeMedia a = Media{1000, 1000, 1, 25, 3};
    a.firstKey = 2;
    a.sampleRate = 32000;
    a.channels = 2;
    entries({a, Media{2000, 2000, 2}});
    ASSERT_NE(open(), nullptr);
    std::vector<char> keyFrame(64, 'x');
    AviFileInfo info{};
    info.keyFrame = keyFrame.data();
    ASSERT_EQ(vod_info(fFile, &info), 0);
    EXPECT_EQ(info.durationMs, 3000);
    EXPECT_EQ(info.fps, 25.0);
    EXPECT_EQ(info.sampleRate, 32000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.keyFrameSize, kFakeUnitSize);
    EXPECT_EQ(keyFrame[4], 0x65);
    EXPECT_EQ(keyFrame[7], 2);
    EXPECT_EQ(FakeDemux::calls().back(), "seek a 0");
    // A capacity below the key frame: nothing written, size 0.
    std::vector<char> small(16, 'x');
    AviFileInfo tight{};
    tight.keyFrame = small.data();
    tight.keyFrameSize = 4;
    ASSERT_EQ(vod_info(fFile, &tight), 0);
    EXPECT_EQ(tight.keyFrameSize, 0);
    EXPECT_EQ(small, std::vector<char>(16, 'x'));
}

} // namespace
