// The demux service over the generated media: counts, codecs, sizes,
// durations, key frames, start codes, seeking, text and failures.
#include "MediaTestUtil.hh"
#include "TraceCapture.hh"

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

using yvk::test::Demux;
using yvk::test::mediaPath;
using yvk::test::scanStartCodes;
using yvk::test::VideoSample;
using yvk::test::TraceCapture;

namespace {

// The four clips: 320x240 at 25 fps with a key frame every second.  AAC is
// handed out decoded to 16-bit PCM, MP3 as it is.
struct Clip {
    const char* name;
    int codec;
    std::vector<uint8_t> keyHeaders;  // parameter sets in front of key frames
    int seconds, textTracks, audioCodec, channels, rate;
};
const Clip kClips[] = {
    {"clip.mp4", 264, {0x67, 0x68}, 4, 0, YVK_DEMUX_AUDIO_PCM, 2, 44100},
    {"clip.mkv", 265, {0x40, 0x42, 0x44}, 3, 1, YVK_DEMUX_AUDIO_PCM, 1, 48000},
    {"clip.avi", 264, {0x67, 0x68}, 3, 0, YVK_DEMUX_AUDIO_MP3, 1, 32000},
    {"clip.ts", 264, {0x67, 0x68}, 3, 0, YVK_DEMUX_AUDIO_PCM, 1, 48000},  // counts from the stream's start
};

TEST(DemuxService, ReadsEveryContainer) {
    for (const Clip& c : kClips) {
        SCOPED_TRACE(c.name);
        Demux f(c.name);
        ASSERT_NE(f.h, nullptr);
        EXPECT_EQ(std::make_tuple(YVK_StreamerDemuxGetVidTracks(f.h), YVK_StreamerDemuxGetAudTracks(f.h),
                                  YVK_StreamerDemuxGetTxtTracks(f.h)),
                  std::make_tuple(1, 1, c.textTracks));
        DemuxVidInfo vi{};
        DemuxAudInfo ai{};
        ASSERT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, &vi), 1);
        ASSERT_EQ(YVK_StreamerDemuxGetAudInfo(f.h, &ai), 1);
        EXPECT_EQ(std::tie(vi.codec, vi.width, vi.height, vi.fps), std::make_tuple(c.codec, 320, 240, 25));
        EXPECT_EQ(std::tie(ai.codec, ai.channels, ai.sampleRate), std::make_tuple(c.audioCodec, c.channels, c.rate));
        EXPECT_EQ(YVK_StreamerDemuxGetVidFps(f.h, 0), 25);
        EXPECT_GT(YVK_StreamerDemuxGetVidBitrate(f.h), 0);
        EXPECT_EQ(YVK_StreamerDemuxGetPreBufNum(f.h, 0), 0);
        EXPECT_NEAR(YVK_StreamerDemuxGetVidDur(f.h), c.seconds * 1000, 100);
        EXPECT_NEAR(YVK_StreamerDemuxGetAudDur(f.h), c.seconds * 1000, 100);

        // Every unit Annex-B with four-byte codes; key frames once a second,
        // starting with the parameter sets.
        auto samples = f.all(0);
        ASSERT_EQ(samples.size(), static_cast<size_t>(c.seconds * 25));
        EXPECT_LT(samples[0].ts, 100u);
        for (size_t i = 0; i < samples.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(samples[i].key, i % 25 == 0 ? 1 : 0);
            auto codes = scanStartCodes(samples[i].data.data(), samples[i].data.size());
            ASSERT_TRUE(codes.allFourByte);
            if (samples[i].key == 0) continue;
            ASSERT_GT(codes.headers.size(), c.keyHeaders.size());  // the picture after the sets
            codes.headers.resize(c.keyHeaders.size());
            EXPECT_EQ(codes.headers, c.keyHeaders);
        }
        EXPECT_NEAR(static_cast<double>(samples[25].ts), samples[0].ts + 1000.0, 40);  // the AVI skips a frame time

        // The audio to its end, counted in samples per channel; every MP3
        // read is one whole frame.
        long audioSamples = 0;
        for (int i = 0, n; i < 100000 && (n = f.readAudio()) > 0; ++i) {
            if (c.audioCodec == YVK_DEMUX_AUDIO_PCM) {
                audioSamples += n / (2 * c.channels);
                continue;
            }
            ASSERT_GE(n, 4);
            ASSERT_EQ(f.buffer[0], 0xff);
            ASSERT_EQ(f.buffer[1] & 0xe0, 0xe0);
            audioSamples += 1152;
        }
        EXPECT_NEAR(audioSamples, c.seconds * c.rate, 0.04 * c.seconds * c.rate);

        // Seeking lands on the key frame at or before the target.
        VideoSample s;
        ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 2500), 1);
        ASSERT_TRUE(f.next(0, s));
        EXPECT_EQ(s.key, 1);
        EXPECT_NEAR(static_cast<double>(s.ts), static_cast<double>(samples[50].ts), 1);
        ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 0), 1);
        ASSERT_TRUE(f.next(0, s));
        EXPECT_EQ(s.ts, samples[0].ts);
        EXPECT_EQ(s.data, samples[0].data);
    }
}

TEST(DemuxService, SeekBeforeTheFirstAudioReadAppliesToIt) {
    Demux f("clip.mp4");
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 3000), 1);
    long bytes = 0;
    for (int i = 0, n; i < 100000 && (n = f.readAudio()) > 0; ++i) bytes += n;
    EXPECT_NEAR(bytes, 1.0 * 44100 * 4, 0.1 * 44100 * 4);
}

// SRT, mov_text (with empty samples for the gaps) and ASS, as plain text.
TEST(DemuxService, SubtitlesAsPlainText) {
    for (const char* name : {"clip.mkv", "subs.srt", "text.mp4", "text-ass.mkv"}) {
        SCOPED_TRACE(name);
        Demux f(name);
        ASSERT_NE(f.h, nullptr);
        ASSERT_EQ(YVK_StreamerDemuxGetTxtTracks(f.h), 1);
        std::vector<std::string> texts;
        std::vector<uint64_t> times;
        char text[128];
        int size = 0;  // 0: the standard 128 bytes
        uint64_t ts = 0;
        while (texts.size() < 10 && YVK_StreamerDemuxReadText(f.h, text, &size, &ts) > 0) {
            EXPECT_EQ(std::strlen(text), static_cast<size_t>(size));
            texts.emplace_back(text);
            times.push_back(ts);
            size = 0;
        }
        EXPECT_EQ(size, 0);
        EXPECT_EQ(texts, (std::vector<std::string>{"first line", "second line", "third line"}));
        EXPECT_EQ(times, (std::vector<uint64_t>{500, 1500, 2200}));
    }
}

TEST(DemuxService, VideoTracksReadApartAndOtherCodecsLeftOut) {
    Demux other("other-codec.avi");  // MPEG-4 Visual only
    ASSERT_NE(other.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxGetVidTracks(other.h), 0);
    Demux f("two-video.mp4");
    ASSERT_EQ(YVK_StreamerDemuxGetVidTracks(f.h), 2);
    DemuxVidInfo b{};
    ASSERT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 1, &b), 1);
    EXPECT_EQ(b.width, 160);
    EXPECT_EQ(b.height, 120);
    VideoSample s;
    ASSERT_TRUE(f.next(0, s));  // interleaved reads do not disturb each other
    EXPECT_EQ(f.all(1).size(), 200u);
    EXPECT_EQ(f.all(0).size(), 199u);
    TraceCapture traces;
    EXPECT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 2, &b), 0);
    EXPECT_FALSE(f.next(2, s));
    EXPECT_TRUE(traces.contains("no video track 2"));
    EXPECT_FALSE(other.next(0, s));
    EXPECT_EQ(f.readAudio(), 0);  // no audio track
}

TEST(DemuxService, PreBufferFramesFromMetadataAndVideoPosition) {
    Demux f("prebuffer.mkv");
    EXPECT_EQ(YVK_StreamerDemuxGetPreBufNum(f.h, 0), 10);
    ASSERT_EQ(YVK_StreamerDemuxSetVidPos(f.h, 0, 10), 1);
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 400), 1);  // the frame position holds
    VideoSample s;
    ASSERT_TRUE(f.next(0, s));
    EXPECT_EQ(s.ts, 400u);  // frame 10 at 25 fps
    ASSERT_EQ(YVK_StreamerDemuxSeek(f.h, 400), 1);  // a later seek moves it again
    ASSERT_TRUE(f.next(0, s));
    EXPECT_EQ(s.ts, 0u);
    EXPECT_EQ(s.key, 1);
    EXPECT_EQ(YVK_StreamerDemuxSetVidPos(f.h, 0, 60), 0);  // only 50 frames
}

TEST(DemuxService, RefusesBadFilesHandlesAndArguments) {
    TraceCapture traces;
    for (const char* name : {"missing.mp4", "not-media.mp4", "truncated.mp4"}) {
        EXPECT_EQ(YVK_StreamerDemuxOpen(mediaPath(name).c_str()), nullptr) << name;
        EXPECT_TRUE(traces.contains(name)) << name;
    }
    EXPECT_EQ(YVK_StreamerDemuxOpen(nullptr), nullptr);
    EXPECT_EQ(YVK_StreamerDemuxOpen(""), nullptr);
    // A null handle or argument gives nothing and writes nothing.
    uint8_t buffer[16];
    int size = sizeof buffer, key = 7;
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(nullptr, 0, buffer, &size, &key, nullptr), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(YVK_StreamerDemuxSeek(nullptr, 0), 0);
    YVK_StreamerDemuxClose(nullptr);
    Demux f("clip.mp4");
    ASSERT_NE(f.h, nullptr);
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, nullptr, &size, nullptr, nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, buffer, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxGetVidInfo(f.h, 0, nullptr), 0);
    EXPECT_EQ(YVK_StreamerDemuxSeek(f.h, -1), 0);
}

// A sample larger than the buffer is skipped, told apart from the end: the
// next read goes on behind it.
TEST(DemuxService, SmallBuffersAreNeverOverrunAndAnOversizeSampleIsSkippedNotAnEnd) {
    Demux f("clip.mp4");
    TraceCapture traces;
    std::vector<uint8_t> buffer(64, 0xab);
    int size = 16, key = 7;
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, buffer.data(), &size, &key, nullptr), YVK_DEMUX_SAMPLE_SKIPPED);
    EXPECT_EQ(size, 0);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0xab);
    EXPECT_TRUE(traces.contains("does not fit"));
    std::vector<uint8_t> large(YVK_DEMUX_SAMPLE_CAPACITY);
    size = 0;
    uint64_t ts = 99;
    EXPECT_EQ(YVK_StreamerDemuxReadVideo(f.h, 0, large.data(), &size, &key, &ts), 1);
    EXPECT_GT(size, 0);
    EXPECT_EQ(key, 0) << "the key frame was skipped; the next frame follows";
    EXPECT_EQ(ts, 40u);
    // PCM comes in whole sample frames (4 bytes, stereo): 3 bytes hold none.
    size = 3;
    EXPECT_EQ(YVK_StreamerDemuxReadAudio(f.h, buffer.data(), &size), 0);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0xab);
    size = 10;
    EXPECT_EQ(YVK_StreamerDemuxReadAudio(f.h, buffer.data(), &size), 8);
    for (size_t i = 8; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xab);

    Demux mkv("clip.mkv");
    char text[8];
    std::memset(text, 'x', sizeof text);
    size = 5;
    ts = 0;
    EXPECT_EQ(YVK_StreamerDemuxReadText(mkv.h, text, &size, &ts), 4);
    EXPECT_STREQ(text, "firs");
    EXPECT_EQ(text[5], 'x');
}

} // namespace
