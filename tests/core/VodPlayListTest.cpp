// The file-input callbacks over a real three-file play list of 4-second MP4s
// through the host's demux service.
#include "CoreInstance.hh"
#include "VodFileInput.hh"

#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using yvk::test::TraceCapture;

namespace {

std::vector<std::string> gList;

const char* listEntry(int index) {
    return index >= 0 && index < static_cast<int>(gList.size()) ? gList[static_cast<size_t>(index)].c_str() : nullptr;
}

class VodPlayList : public ::testing::Test {
protected:
    void SetUp() override {
        gList.clear();
        for (int i = 1; i <= 3; ++i) gList.push_back(std::string(YVK_MEDIA_DIR) + "/list-" + std::to_string(i) + ".mp4");
        fCore = std::make_unique<YVKStreamerCore>();
        fCore->getFileName = listEntry;
        fBuffer.resize(0x300000);
    }
    void TearDown() override { vod_close(fFile); }

    int readAll(int type, int limit) {
        int count = 0;
        while (count < limit) {
            int size = 0, key = 0;
            if (vod_read(fFile, type, 0, fBuffer.data(), &size, &key) == 0) break;
            ++count;
        }
        return count;
    }

    std::unique_ptr<YVKStreamerCore> fCore;
    void* fFile = nullptr;
    std::vector<char> fBuffer;
};

TEST_F(VodPlayList, ThreeFilesReadAsOneLongFile) {
    fFile = vod_open(fCore.get());
    ASSERT_NE(fFile, nullptr);
    auto* f = static_cast<VodFile*>(fFile);
    EXPECT_EQ(f->fileCount, 3);
    EXPECT_NEAR(static_cast<double>(f->totalDurationMs), 12000, 150);

    AviFileInfo info{};
    info.keyFrame = fBuffer.data();
    ASSERT_EQ(vod_info(fFile, &info), 0);
    EXPECT_EQ(info.videoTracks, 1);
    EXPECT_EQ(info.audioTracks, 1);
    EXPECT_EQ(info.fps, 25.0);
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.bitsPerSample, 16);
    ASSERT_GT(info.keyFrameSize, 5);
    EXPECT_EQ(std::string(fBuffer.data(), 5), std::string("\0\0\0\1\x67", 5));  // SPS first

    TraceCapture traces;
    EXPECT_EQ(readAll(YVK_VOD_READ_VIDEO, 1000), 300);
    EXPECT_TRUE(traces.contains("next file (" + gList[1] + ")"));
    EXPECT_TRUE(traces.contains("next file (" + gList[2] + ")"));
    EXPECT_TRUE(traces.contains("End of file list. (cur:3 >= max:3)"));
}

TEST_F(VodPlayList, SeekLandsInTheRightFileOnAKeyFrame) {
    fFile = vod_open(fCore.get());
    ASSERT_NE(fFile, nullptr);
    ASSERT_EQ(vod_seek(fFile, 0, 0, 6500), 0);  // list-2 at 2500: its key frame at 2000
    int size = 0, key = 0;
    ASSERT_GT(vod_read(fFile, YVK_VOD_READ_VIDEO, 0, fBuffer.data(), &size, &key), 0);
    EXPECT_EQ(key, 1);
    EXPECT_EQ(readAll(YVK_VOD_READ_VIDEO, 1000), 49 + 100);
    EXPECT_EQ(vod_seek(fFile, 0, 0, 12500), -1);
}

TEST_F(VodPlayList, VideoMasterAudioRunsOnWithTheVideo) {
    fCore->videoMaster = 1;
    fFile = vod_open(fCore.get());
    ASSERT_NE(fFile, nullptr);
    // The whole list's audio, then silence blocks for as long as asked.
    long bytes = 0;
    for (int i = 0; i < 400; ++i) {
        int size = 0, key = 0;
        int n = vod_read(fFile, YVK_VOD_READ_AUDIO, 0, fBuffer.data(), &size, &key);
        ASSERT_GT(n, 0);
        bytes += n;
    }
    EXPECT_GT(bytes, 4.0 * 48000 * 2 * 0.9);  // at least the first file's audio
    EXPECT_EQ(static_cast<VodFile*>(fFile)->nextIndex, 1);  // audio alone never moves on
}

} // namespace
