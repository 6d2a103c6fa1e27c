// The file-input callbacks over a scripted demux service: durations, seek
// mapping, continuation into the next file, silence and the end of the list.
#include "CoreInstance.hh"
#include "FakeDemux.hh"
#include "VodFileInput.hh"

#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using yvk::test::FakeDemux;
using yvk::test::FakeMedia;
using yvk::test::kFakeUnitSize;
using yvk::test::TraceCapture;

namespace {

std::vector<std::string> gList;

const char* listEntry(int index) {
    return index >= 0 && index < static_cast<int>(gList.size()) ? gList[static_cast<size_t>(index)].c_str() : nullptr;
}

FakeMedia media(int videoMs, int audioMs, uint8_t tag, int videoFrames = 0, int audioBlocks = 0, int preBufFrames = 0) {
    FakeMedia m;
    m.videoDurMs = videoMs;
    m.audioDurMs = audioMs;
    m.tag = tag;
    m.videoFrames = videoFrames;
    m.audioBlocks = audioBlocks;
    m.preBufFrames = preBufFrames;
    return m;
}

FakeMedia broken(uint8_t tag = 0) {
    FakeMedia m = media(5000, 5000, tag);
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

    VodFile* open() {
        fFile = static_cast<VodFile*>(vod_open(fCore.get()));
        FakeDemux::clearCalls();
        return fFile;
    }

    // One read; the unit's tag and index for video, the first byte for audio.
    int read(int type, std::vector<char>& buffer, int capacity = 0) {
        int size = capacity;
        int key = 0;
        return vod_read(fFile, type, 0, buffer.data(), &size, &key);
    }

    // Three entries of 10 000, 20 000 and 5 000 ms.
    void threeEntries() {
        FakeDemux::add("a", media(10000, 10000, 1));
        FakeDemux::add("b", media(20000, 20000, 2));
        FakeDemux::add("c", media(5000, 5000, 3));
        gList = {"a", "b", "c"};
    }

    std::unique_ptr<YVKStreamerCore> fCore;
    VodFile* fFile = nullptr;
};

TEST_F(VodFileInput, DurationsAddUpPerTheLongerOrTheVideoTrack) {
    FakeDemux::add("a", media(10000, 9000, 1));
    FakeDemux::add("b", media(20000, 20500, 2));
    FakeDemux::add("c", media(5000, 5000, 3));
    gList = {"a", "b", "c"};
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(fFile->fileCount, 3);
    EXPECT_EQ(fFile->nextIndex, 1);
    EXPECT_EQ(fFile->totalDurationMs, 10000 + 20500 + 5000);
    EXPECT_EQ(fFile->durations[1], 20500);
    vod_close(fFile);

    fCore->videoMaster = 1;
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(fFile->totalDurationMs, 10000 + 20000 + 5000);
    EXPECT_EQ(fFile->durations[1], 20000);
}

TEST_F(VodFileInput, SkipPreBufferShortensEveryEntryButTheFirst) {
    FakeDemux::add("a", media(10000, 9000, 1, 0, 0, 25)); // 1000 ms at 25 fps, not counted for the first
    FakeDemux::add("b", media(20000, 20500, 2, 0, 0, 25));
    FakeDemux::add("c", media(5000, 500, 3, 0, 0, 20)); // 800 ms: the shorter audio keeps its length
    gList = {"a", "b", "c"};
    fCore->skipPreBuffer = 1;
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(fFile->durations[0], 10000);
    EXPECT_EQ(fFile->durations[1], 19500);
    EXPECT_EQ(fFile->durations[2], 4200);
    EXPECT_EQ(fFile->totalDurationMs, 10000 + 19500 + 4200);
}

TEST_F(VodFileInput, EntriesThatCannotBeOpenedCountAsZero) {
    threeEntries();
    FakeDemux::add("x", broken());
    gList = {"a", "x", "c"};
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(fFile->fileCount, 3);
    EXPECT_EQ(fFile->durations[1], 0);
    EXPECT_EQ(fFile->totalDurationMs, 15000);
}

TEST_F(VodFileInput, OpenFailsWithoutAFirstEntryAndNullHandlesAreRefused) {
    EXPECT_EQ(vod_open(fCore.get()), nullptr);  // empty list
    FakeDemux::add("x", broken());
    gList = {"x"};
    EXPECT_EQ(vod_open(fCore.get()), nullptr);
    TraceCapture traces;
    EXPECT_EQ(vod_open(nullptr), nullptr);
    EXPECT_TRUE(traces.contains("no instance"));
    vod_close(nullptr);
    int audio = 0, video = 0;
    EXPECT_EQ(vod_get_tracks(nullptr, &audio, &video), 0);
    EXPECT_EQ(audio, 1);
    EXPECT_EQ(video, 1);
    EXPECT_EQ(vod_info(nullptr, nullptr), -1);
    int size = 8;
    char buffer[8];
    EXPECT_EQ(vod_read(nullptr, 1, 0, buffer, &size, nullptr), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(vod_seek(nullptr, 0, 0, 0), -1);
}

TEST_F(VodFileInput, SeekPositionsMapToAnEntryAndAnOffset) {
    threeEntries();
    ASSERT_NE(open(), nullptr);
    int32_t offset = -1;
    EXPECT_EQ(vod_seek_file_find(fFile, 25000, &offset), 1);
    EXPECT_EQ(offset, 15000);
    EXPECT_EQ(vod_seek_file_find(fFile, 9999, &offset), 0);
    EXPECT_EQ(offset, 9999);
    EXPECT_EQ(vod_seek_file_find(fFile, 10000, &offset), 1);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(vod_seek_file_find(fFile, 34999, &offset), 2);
    EXPECT_EQ(offset, 4999);
    EXPECT_EQ(vod_seek_file_find(fFile, 35000, &offset), -1);
    EXPECT_EQ(vod_seek_file_find(fFile, -1, &offset), -1);
    EXPECT_EQ(vod_seek_file_find(nullptr, 0, &offset), -1);
}

TEST_F(VodFileInput, SeekOpensTheEntryAndRefusesPositionsOutsideOrUnopenable) {
    threeEntries();
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(vod_seek(fFile, 0, 0, 25000), 0);
    EXPECT_EQ(FakeDemux::calls(), (std::vector<std::string>{"close a", "open b", "seek b 15000"}));
    EXPECT_EQ(fFile->nextIndex, 2);
    // The current entry is opened again too.
    FakeDemux::clearCalls();
    EXPECT_EQ(vod_seek(fFile, 0, 0, 11000), 0);
    EXPECT_EQ(FakeDemux::calls(), (std::vector<std::string>{"close b", "open b", "seek b 1000"}));

    TraceCapture traces;
    FakeDemux::clearCalls();
    EXPECT_EQ(vod_seek(fFile, 0, 0, 35000), -1);
    EXPECT_EQ(vod_seek(fFile, 0, 0, int64_t{1} << 31), -1);
    EXPECT_EQ(vod_seek(fFile, 0, 0, (int64_t{1} << 32) + 5), -1);  // not taken as 5
    EXPECT_EQ(vod_seek(fFile, 0, 0, -5), -1);
    EXPECT_TRUE(FakeDemux::calls().empty());  // current file unchanged
    EXPECT_TRUE(traces.contains("vod_seek_file_find (35000) failed"));
    EXPECT_TRUE(traces.contains("vod_seek_file_find (2147483648) failed"));
    EXPECT_EQ(fFile->nextIndex, 2);
    // An entry that can no longer be opened leaves no file.
    FakeDemux::add("c", broken(3));
    EXPECT_EQ(vod_seek(fFile, 0, 0, 31000), -1);
    EXPECT_TRUE(traces.contains("YVK_StreamerDemuxOpen (c) failed."));
    EXPECT_EQ(fFile->demuxHandle, nullptr);
}

TEST_F(VodFileInput, ReadsRunOnIntoTheNextFileUntilTheListEnds) {
    for (uint8_t tag = 1; tag <= 3; ++tag)
        FakeDemux::add(std::string(1, static_cast<char>('a' + tag - 1)), media(120, 120, tag, 3));
    gList = {"a", "b", "c"};
    ASSERT_NE(open(), nullptr);
    TraceCapture traces;
    std::vector<char> buffer(64);
    std::vector<int> tags;
    for (int i = 0; i < 20; ++i) {
        int n = read(YVK_VOD_READ_VIDEO, buffer);
        if (n == 0) break;
        ASSERT_EQ(n, kFakeUnitSize);
        tags.push_back(buffer[5]);
    }
    EXPECT_EQ(tags, (std::vector<int>{1, 1, 1, 2, 2, 2, 3, 3, 3}));
    EXPECT_TRUE(traces.contains("next file (b)"));
    EXPECT_TRUE(traces.contains("next file (c)"));
    int end = traces.indexOf("End of file list. (cur:3 >= max:3)");
    ASSERT_GE(end, 0);
    EXPECT_EQ(traces.lines()[static_cast<size_t>(end)].level, 2);
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), 0);
}

TEST_F(VodFileInput, WithoutVideoMasterTheFirstTrackToRunDryMovesOn) {
    FakeDemux::add("a", media(200, 40, 1, 5, 1));
    FakeDemux::add("b", media(200, 200, 2, 5, 5));
    gList = {"a", "b"};
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(256);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);  // a's audio is over: b
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(buffer[5], 2);  // video follows to b
}

TEST_F(VodFileInput, WithVideoMasterAudioGapsAreSilence) {
    FakeDemux::add("a", media(200, 80, 1, 3, 2));
    FakeDemux::add("b", media(200, 200, 2, 3, 3));
    gList = {"a", "b"};
    fCore->videoMaster = 1;
    ASSERT_NE(open(), nullptr);
    TraceCapture traces;
    std::vector<char> buffer(256, 'x');
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
    for (int i = 0; i < 3; ++i) {
        std::fill(buffer.begin(), buffer.end(), 'x');
        ASSERT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(buffer[99], 0);
        EXPECT_EQ(buffer[100], 'x');
    }
    std::fill(buffer.begin(), buffer.end(), 'x');
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer, 40), 40);  // never past the capacity
    EXPECT_EQ(buffer[40], 'x');
    EXPECT_FALSE(traces.contains("next file"));
    // Only the end of the video moves on.
    for (int i = 0; i < 3; ++i) ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(buffer[5], 2);
    EXPECT_TRUE(traces.contains("next file (b)"));
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 100);
    EXPECT_EQ(buffer[0], 2);
    // Other read types get no silence.
    int size = 0;
    vod_seek(fFile, 0, 0, 390);  // b, before its last audio block
    EXPECT_EQ(vod_read(fFile, 2, 0, buffer.data(), &size, nullptr), 100);
    size = 0;
    EXPECT_EQ(vod_read(fFile, 2, 0, buffer.data(), &size, nullptr), 0);
    EXPECT_EQ(size, 0);
}

TEST_F(VodFileInput, NoSilenceBeforeAnyAudioWasRead) {
    FakeDemux::add("a", media(200, 0, 1, 3));
    gList = {"a"};
    fCore->videoMaster = 1;
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(64);
    EXPECT_EQ(read(YVK_VOD_READ_AUDIO, buffer), 0);
    EXPECT_EQ(fFile->nextIndex, 1);
}

TEST_F(VodFileInput, AFileReachedByReadingSkipsItsPreBuffer) {
    FakeDemux::add("a", media(120, 120, 1, 1));
    FakeDemux::add("b", media(400, 400, 2, 10, 0, 5));
    gList = {"a", "b"};
    fCore->skipPreBuffer = 1;
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(64);
    ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    EXPECT_EQ(buffer[5], 2);
    EXPECT_EQ(buffer[7], 5);  // frame 5 of b
    EXPECT_EQ(FakeDemux::calls(),
              (std::vector<std::string>{"close a", "open b", "setvidpos b 0 5", "seek b 200"}));
    // Reached by seeking, the pre-buffer stays.
    FakeDemux::clearCalls();
    ASSERT_EQ(vod_seek(fFile, 0, 0, 120), 0);
    EXPECT_EQ(FakeDemux::calls(), (std::vector<std::string>{"close b", "open b", "seek b 0"}));
}

TEST_F(VodFileInput, ListThatShrinksOrBreaksEndsTheReads) {
    threeEntries();
    FakeDemux::add("a", media(40, 40, 1, 1));
    ASSERT_NE(open(), nullptr);
    std::vector<char> buffer(64);
    ASSERT_EQ(read(YVK_VOD_READ_VIDEO, buffer), kFakeUnitSize);
    gList = {"a"};  // the host's list became shorter
    TraceCapture traces;
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), 0);
    EXPECT_TRUE(traces.contains("End of file list. idx(1)"));

    gList = {"a", "b", "c"};
    FakeDemux::add("b", broken(2));
    EXPECT_EQ(read(YVK_VOD_READ_VIDEO, buffer), 0);
    EXPECT_TRUE(traces.contains("YVK_StreamerDemuxOpen (b) failed"));
    EXPECT_EQ(fFile->demuxHandle, nullptr);
}

TEST_F(VodFileInput, InfoReportsTheCurrentFileAndItsFirstKeyFrame) {
    FakeMedia a = media(1000, 1000, 1, 25, 3);
    a.firstKey = 2;
    a.sampleRate = 32000;
    a.channels = 2;
    FakeDemux::add("a", a);
    FakeDemux::add("b", media(2000, 2000, 2));
    gList = {"a", "b"};
    ASSERT_NE(open(), nullptr);
    std::vector<char> keyFrame(64, 'x');
    AviFileInfo info{};
    info.keyFrame = keyFrame.data();
    ASSERT_EQ(vod_info(fFile, &info), 0);
    EXPECT_EQ(info.durationMs, 3000);
    EXPECT_EQ(info.videoTracks, 1);
    EXPECT_EQ(info.audioTracks, 1);
    EXPECT_EQ(info.fps, 25.0);
    EXPECT_EQ(info.sampleRate, 32000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.bitsPerSample, 16);
    EXPECT_EQ(info.keyFrameSize, kFakeUnitSize);
    EXPECT_EQ(keyFrame[4], 0x65);
    EXPECT_EQ(keyFrame[7], 2);
    EXPECT_EQ(FakeDemux::calls().back(), "seek a 0");
    // A capacity below the key frame: nothing written, size 0.
    vod_seek(fFile, 0, 0, 0);
    std::vector<char> small(16, 'x');
    AviFileInfo tight{};
    tight.keyFrame = small.data();
    tight.keyFrameSize = 4;
    ASSERT_EQ(vod_info(fFile, &tight), 0);
    EXPECT_EQ(tight.keyFrameSize, 0);
    for (char c : small) EXPECT_EQ(c, 'x');
}

} // namespace
