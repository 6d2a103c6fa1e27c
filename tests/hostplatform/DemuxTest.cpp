// The demux service over the generated media: counts, codecs, sizes,
// durations, key frames, start codes, seeking, text and failures.
#include "yvk_demux.h"

#include "MediaTestUtil.hh"
#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using yvk::test::mediaPath;
using yvk::test::scanStartCodes;
using yvk::test::TraceCapture;

namespace {

struct Handle {
    explicit Handle(const std::string& name) : h(YVK_StreamerDemuxOpen(mediaPath(name).c_str())) {}
    ~Handle() { YVK_StreamerDemuxClose(h); }
    void* h;
};

struct VideoSample {
    std::vector<uint8_t> data;
    int key;
    uint64_t ts;
};

class Reader {
public:
    explicit Reader(void* handle) : fHandle(handle), fBuffer(YVK_DEMUX_SAMPLE_CAPACITY) {}
    bool next(int track, VideoSample& out) {
        int size = 0;  // 0: the standard capacity
        int key = -1;
        uint64_t ts = 0;
        if (YVK_StreamerDemuxReadVideo(fHandle, track, fBuffer.data(), &size, &key, &ts) == 0) return false;
        out.data.assign(fBuffer.begin(), fBuffer.begin() + size);
        out.key = key;
        out.ts = ts;
        return true;
    }
    std::vector<VideoSample> all(int track, int limit = 1000) {
        std::vector<VideoSample> samples;
        VideoSample s;
        while (static_cast<int>(samples.size()) < limit && next(track, s)) samples.push_back(s);
        return samples;
    }
    long audioBytes(int limit = 100000) {
        long total = 0;
        for (int i = 0; i < limit; ++i) {
            int size = static_cast<int>(fBuffer.size());
            int n = YVK_StreamerDemuxReadAudio(fHandle, fBuffer.data(), &size);
            EXPECT_EQ(n, size);
            if (n == 0) break;
            total += n;
        }
        return total;
    }
    std::vector<uint8_t>& buffer() { return fBuffer; }

private:
    void* fHandle;
    std::vector<uint8_t> fBuffer;
};

// Every unit Annex-B with four-byte codes; key frames start with the
// parameter sets (given header bytes), other frames have none.
void expectAnnexB(const std::vector<VideoSample>& samples, const std::vector<uint8_t>& keyHeaders) {
    for (size_t i = 0; i < samples.size(); ++i) {
        auto codes = scanStartCodes(samples[i].data.data(), samples[i].data.size());
        ASSERT_TRUE(codes.allFourByte) << "sample " << i;
        if (samples[i].key) {
            ASSERT_GT(codes.headers.size(), keyHeaders.size()) << "sample " << i;
            for (size_t k = 0; k < keyHeaders.size(); ++k) EXPECT_EQ(codes.headers[k], keyHeaders[k]) << "sample " << i;
        }
    }
}

std::vector<size_t> keyIndexes(const std::vector<VideoSample>& samples) {
    std::vector<size_t> keys;
    for (size_t i = 0; i < samples.size(); ++i)
        if (samples[i].key) keys.push_back(i);
    return keys;
}

TEST(DemuxService, Mp4WithH264AndAac) {
    Handle f("clip.mp4");
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(f.h), 1);
    EXPECT_EQ(YVK_StreamerDemuxGetAudTracks(f.h), 1);
    EXPECT_EQ(YVK_StreamerDemuxGetTxtTracks(f.h), 0);
    DemuxVidInfo vi{};
    ASSERT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, &vi), 1);
    EXPECT_EQ(vi.codec, 264);
    EXPECT_EQ(vi.width, 320);
    EXPECT_EQ(vi.height, 240);
    EXPECT_EQ(vi.fps, 25);
    EXPECT_EQ(YVK_StreamerDemuxGetVidFps(f.h, 0), 25);
    EXPECT_GT(YVK_StreamerDemuxGetVidBitrate(f.h), 0);
    DemuxAudInfo ai{};
    ASSERT_EQ(YVK_StreamerDemuxGetAudInfo(f.h, &ai), 1);
    EXPECT_EQ(ai.codec, YVK_DEMUX_AUDIO_PCM);
    EXPECT_EQ(ai.channels, 2);
    EXPECT_EQ(ai.sampleRate, 44100);
    EXPECT_EQ(ai.bitsPerSample, 16);
    EXPECT_NEAR(YVK_StreamerDemuxGetVidDur(f.h), 4000, 50);
    EXPECT_NEAR(YVK_StreamerDemuxGetAudDur(f.h), 4000, 100);

    Reader r(f.h);
    auto samples = r.all(0);
    ASSERT_EQ(samples.size(), 100u);
    EXPECT_EQ(keyIndexes(samples), (std::vector<size_t>{0, 25, 50, 75}));
    expectAnnexB(samples, {0x67, 0x68});
    EXPECT_EQ(samples[25].ts, 1000u);
    // Decoded AAC comes out as 16-bit stereo PCM at 44.1 kHz: about 4 s.
    long bytes = r.audioBytes();
    EXPECT_NEAR(bytes, 4.0 * 44100 * 4, 0.03 * 44100 * 4 * 4);
}

TEST(DemuxService, MkvWithH265AacAndSubtitles) {
    Handle f("clip.mkv");
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(f.h), 1);
    EXPECT_EQ(YVK_StreamerDemuxGetAudTracks(f.h), 1);
    EXPECT_EQ(YVK_StreamerDemuxGetTxtTracks(f.h), 1);
    DemuxVidInfo vi{};
    ASSERT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, &vi), 1);
    EXPECT_EQ(vi.codec, 265);
    EXPECT_EQ(vi.width, 320);
    DemuxAudInfo ai{};
    ASSERT_EQ(YVK_StreamerDemuxGetAudInfo(f.h, &ai), 1);
    EXPECT_EQ(ai.codec, YVK_DEMUX_AUDIO_PCM);
    EXPECT_EQ(ai.channels, 1);
    EXPECT_EQ(ai.sampleRate, 48000);
    EXPECT_NEAR(YVK_StreamerDemuxGetVidDur(f.h), 3000, 100);

    Reader r(f.h);
    auto samples = r.all(0);
    ASSERT_EQ(samples.size(), 75u);
    EXPECT_EQ(keyIndexes(samples), (std::vector<size_t>{0, 25, 50}));
    expectAnnexB(samples, {0x40, 0x42, 0x44});  // VPS, SPS, PPS
    EXPECT_NEAR(r.audioBytes(), 3.0 * 48000 * 2, 0.03 * 48000 * 2 * 3);

    EXPECT_EQ(YVK_StreamerDemuxGetTxtFps(f.h), 10);
    const char* expected[] = {"first line", "second line", "third line"};
    const uint64_t times[] = {500, 1500, 2200};
    for (int i = 0; i < 3; ++i) {
        char text[128];
        int size = sizeof text;
        uint64_t ts = 0;
        ASSERT_EQ(YVK_StreamerDemuxReadText(f.h, text, &size, &ts), static_cast<int>(std::strlen(expected[i])));
        EXPECT_STREQ(text, expected[i]);
        EXPECT_EQ(ts, times[i]);
    }
    char text[128];
    int size = 0;  // 0: the standard 128 bytes
    uint64_t ts = 0;
    EXPECT_EQ(YVK_StreamerDemuxReadText(f.h, text, &size, &ts), 0);
}

TEST(DemuxService, AviWithAnnexBH264AndMp3PassedThrough) {
    Handle f("clip.avi");
    ASSERT_NE(f.h, nullptr);
    DemuxAudInfo ai{};
    ASSERT_EQ(YVK_StreamerDemuxGetAudInfo(f.h, &ai), 1);
    EXPECT_EQ(ai.codec, YVK_DEMUX_AUDIO_MP3);
    EXPECT_EQ(ai.channels, 1);
    EXPECT_EQ(ai.sampleRate, 32000);
    Reader r(f.h);
    auto samples = r.all(0);
    EXPECT_NEAR(static_cast<double>(samples.size()), 75, 1);
    EXPECT_EQ(keyIndexes(samples).size(), 3u);
    expectAnnexB(samples, {0x67, 0x68});
    // MP3 frames: each read starts with a frame sync.
    int frames = 0;
    for (int i = 0; i < 1000; ++i) {
        int size = static_cast<int>(r.buffer().size());
        if (YVK_StreamerDemuxReadAudio(f.h, r.buffer().data(), &size) == 0) break;
        ASSERT_GE(size, 4);
        EXPECT_EQ(r.buffer()[0], 0xff);
        EXPECT_EQ(r.buffer()[1] & 0xe0, 0xe0);
        ++frames;
    }
    EXPECT_NEAR(frames, 3.0 * 32000 / 1152, 3);
}

TEST(DemuxService, TransportStreamCountsFromItsStart) {
    Handle f("clip.ts");
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(f.h), 1);
    EXPECT_EQ(YVK_StreamerDemuxGetAudTracks(f.h), 1);
    EXPECT_NEAR(YVK_StreamerDemuxGetVidDur(f.h), 3000, 100);
    Reader r(f.h);
    auto samples = r.all(0);
    ASSERT_EQ(samples.size(), 75u);
    EXPECT_LT(samples[0].ts, 100u);
    EXPECT_EQ(keyIndexes(samples), (std::vector<size_t>{0, 25, 50}));
    expectAnnexB(samples, {0x67, 0x68});
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 1500), 1);
    VideoSample s;
    ASSERT_TRUE(r.next(0, s));
    EXPECT_EQ(s.key, 1);
    EXPECT_NEAR(static_cast<double>(s.ts), samples[25].ts, 1);
}

TEST(DemuxService, MovTextAndAssSubtitlesAsPlainText) {
    for (const char* name : {"text.mp4", "text-ass.mkv"}) {
        SCOPED_TRACE(name);
        Handle f(name);
        ASSERT_NE(f.h, nullptr);
        ASSERT_EQ(YVK_StreamerDemuxGetTxtTracks(f.h), 1);
        std::vector<std::string> texts;
        std::vector<uint64_t> times;
        for (int i = 0; i < 10; ++i) {
            char text[128];
            int size = sizeof text;
            uint64_t ts = 0;
            if (YVK_StreamerDemuxReadText(f.h, text, &size, &ts) == 0) break;
            texts.emplace_back(text, static_cast<size_t>(size));
            times.push_back(ts);
        }
        // mov_text may carry empty samples for the gaps; they are skipped.
        EXPECT_EQ(texts, (std::vector<std::string>{"first line", "second line", "third line"}));
        EXPECT_EQ(times, (std::vector<uint64_t>{500, 1500, 2200}));
    }
}

TEST(DemuxService, VideoOfAnotherCodecIsNoUsableTrack) {
    Handle f("other-codec.avi");
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(f.h), 0);
    DemuxVidInfo vi{};
    EXPECT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, &vi), 0);
    EXPECT_EQ(YVK_StreamerDemuxGetVidDur(f.h), 0);
    EXPECT_EQ(YVK_StreamerDemuxGetVidFps(f.h, 0), 0);
}

TEST(DemuxService, TwoVideoTracksReadApart) {
    Handle f("two-video.mp4");
    ASSERT_NE(f.h, nullptr);
    ASSERT_EQ(YVK_StreamerDemuxGetVidTracks(f.h), 2);
    EXPECT_EQ(YVK_StreamerDemuxGetAudTracks(f.h), 0);
    DemuxVidInfo a{}, b{};
    ASSERT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, &a), 1);
    ASSERT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 1, &b), 1);
    EXPECT_EQ(a.width, 320);
    EXPECT_EQ(b.width, 160);
    EXPECT_EQ(b.height, 120);
    Reader r(f.h);
    VideoSample s;
    ASSERT_TRUE(r.next(0, s));  // interleaved reads do not disturb each other
    EXPECT_EQ(r.all(1).size(), 50u);
    EXPECT_EQ(r.all(0).size(), 49u);
    TraceCapture traces;
    DemuxVidInfo none{};
    EXPECT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 2, &none), 0);
    EXPECT_FALSE(r.next(2, s));
    EXPECT_TRUE(traces.contains("no video track 2"));
    int size = 0;
    EXPECT_EQ(YVK_StreamerDemuxReadAudio(f.h, r.buffer().data(), &size), 0);
}

TEST(DemuxService, SeekLandsOnTheKeyFrameBeforeTheTarget) {
    for (const char* name : {"clip.mp4", "clip.mkv", "clip.avi", "clip.ts"}) {
        SCOPED_TRACE(name);
        Handle f(name);
        ASSERT_NE(f.h, nullptr);
        Reader r(f.h);
        VideoSample first, s;
        ASSERT_TRUE(r.next(0, first));
        ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 2500), 1);
        ASSERT_TRUE(r.next(0, s));
        EXPECT_EQ(s.key, 1);
        EXPECT_LE(s.ts, 2500u);
        EXPECT_GT(s.ts + 1000, 2500u);  // within one GOP
        ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 0), 1);
        ASSERT_TRUE(r.next(0, s));
        EXPECT_EQ(s.ts, first.ts);
        EXPECT_EQ(s.key, 1);
    }
}

TEST(DemuxService, SeekBeforeTheFirstAudioReadAppliesToIt) {
    Handle f("clip.mp4");
    ASSERT_NE(f.h, nullptr);
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 3000), 1);
    Reader r(f.h);
    EXPECT_NEAR(r.audioBytes(), 1.0 * 44100 * 4, 0.1 * 44100 * 4);
}

TEST(DemuxService, PreBufferFramesFromMetadataAndVideoPosition) {
    Handle plain("clip.mp4");
    EXPECT_EQ(YVK_StreamerDemuxGetPreBufNum(plain.h, 0), 0);
    Handle f("prebuffer.mkv");
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetPreBufNum(f.h, 0), 10);
    ASSERT_EQ(YVK_StreamerDemuxSetVidPos(f.h, 0, 10), 1);
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 400), 1);  // the frame position holds
    Reader r(f.h);
    VideoSample s;
    ASSERT_TRUE(r.next(0, s));
    EXPECT_EQ(s.ts, 400u);  // frame 10 at 25 fps
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 400), 1);  // a later seek moves it again
    ASSERT_TRUE(r.next(0, s));
    EXPECT_EQ(s.ts, 0u);
    EXPECT_EQ(s.key, 1);
    EXPECT_EQ(YVK_StreamerDemuxSetVidPos(f.h, 0, 60), 0);  // only 50 frames
}

TEST(DemuxService, RefusesFilesItCannotRead) {
    TraceCapture traces;
    EXPECT_EQ(YVK_StreamerDemuxOpen(mediaPath("missing.mp4").c_str()), nullptr);
    EXPECT_EQ(YVK_StreamerDemuxOpen(mediaPath("not-media.mp4").c_str()), nullptr);
    EXPECT_EQ(YVK_StreamerDemuxOpen(mediaPath("truncated.mp4").c_str()), nullptr);
    EXPECT_EQ(YVK_StreamerDemuxOpen(nullptr), nullptr);
    EXPECT_EQ(YVK_StreamerDemuxOpen(""), nullptr);
    EXPECT_TRUE(traces.contains("missing.mp4"));
    EXPECT_TRUE(traces.contains("not-media.mp4"));
    // A subtitle file is a container without video or audio.
    Handle subs("subs.srt");
    ASSERT_NE(subs.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(subs.h), 0);
    EXPECT_EQ(YVK_StreamerDemuxGetTxtTracks(subs.h), 1);
}

TEST(DemuxService, NullHandleAndArgumentsReportNothing) {
    uint8_t buffer[16];
    int size = sizeof buffer;
    int key = 7;
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxGetVidDur(nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(nullptr, 0, buffer, &size, &key, nullptr), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(YVK_StreamerDemuxSeek(nullptr, 0), 0);
    YVK_StreamerDemuxClose(nullptr);
    Handle f("clip.mp4");
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, nullptr, &size, nullptr, nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, buffer, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxSeek(f.h, -1), 0);
}

TEST(DemuxService, SmallBuffersAreNeverOverrun) {
    Handle f("clip.mp4");
    ASSERT_NE(f.h, nullptr);
    TraceCapture traces;
    std::vector<uint8_t> buffer(64, 0xab);
    int size = 16;
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, buffer.data(), &size, nullptr, nullptr), 0);
    EXPECT_EQ(size, 0);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0xab);
    EXPECT_TRUE(traces.contains("does not fit"));
    // PCM comes in whole sample frames (4 bytes, stereo): 3 bytes hold none.
    size = 3;
    EXPECT_EQ(YVK_StreamerDemuxReadAudio(f.h, buffer.data(), &size), 0);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0xab);
    size = 10;
    EXPECT_EQ(YVK_StreamerDemuxReadAudio(f.h, buffer.data(), &size), 8);
    for (size_t i = 8; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xab);

    Handle mkv("clip.mkv");
    char text[8];
    std::memset(text, 'x', sizeof text);
    size = 5;
    uint64_t ts = 0;
    EXPECT_EQ(YVK_StreamerDemuxReadText(mkv.h, text, &size, &ts), 4);
    EXPECT_STREQ(text, "firs");
    EXPECT_EQ(text[5], 'x');
}

} // namespace
