// The host's AAC encoder: sizes it reports, input it refuses, and output that
// a real decoder reads as AAC at the configured rate and channels.
#include "Process.hh"

#include "yvk_audio_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Encoder {
    Encoder(int channels, int rate, int bits, bool adts) : format{channels, rate, bits, 0} {
        settings.bitRate = 96000;
        settings.adts = adts ? 1 : 0;
        handle = YVK_AAC_EncNew(&format, &settings);
    }
    ~Encoder() { YVK_AAC_EncFree(handle); }

    int encode(Bytes pcm, Bytes& out, int capacity) {
        YVK_AudioPcm input{pcm.data(), 0, static_cast<int32_t>(pcm.size())};
        YVK_AudioCoded output{out.data(), capacity};
        return YVK_AAC_Encode(handle, &input, &output, 0);
    }

    // One frame's block of a 440 Hz tone, 16-bit little-endian, interleaved.
    Bytes toneBlock(int frameIndex) const {
        int samples = format.frameSamples / format.channels;
        Bytes block;
        for (int i = frameIndex * samples; i < (frameIndex + 1) * samples; ++i) {
            auto value = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / format.sampleRate));
            for (int c = 0; c < format.channels; ++c) block.insert(block.end(), {uint8_t(value), uint8_t(value >> 8)});
        }
        return block;
    }

    // The frames that come out of the given number of tone blocks.
    std::vector<Bytes> encodeTone(int blocks) {
        std::vector<Bytes> frames;
        Bytes out(static_cast<size_t>(settings.maxOutputSize));
        for (int i = 0; i < blocks; ++i) {
            int written = encode(toneBlock(i), out, settings.maxOutputSize);
            if (written > 0) frames.emplace_back(out.begin(), out.begin() + written);
        }
        return frames;
    }

    YVK_AudioFormat format;
    YVK_AudioEncSettings settings{};
    void* handle;
};

// Words 0: the format is refused.
TEST(AacEncoder, ReportsInputWordsAndLargestFrameOrRefusesTheFormat) {
    struct Case { int channels, rate, bits; bool adts; int words, maxFrame; };
    for (Case c : {Case{1, 16000, 16, true, 1024, 8192 + 7}, Case{2, 44100, 16, true, 2048, 16384 + 7},
                   Case{1, 48000, 8, true, 512, 8192 + 7}, Case{2, 32000, 24, true, 3072, 16384 + 7},
                   Case{1, 16000, 16, false, 1024, 8192}, Case{3, 16000, 16, true, 0, 0},
                   Case{1, 16000, 12, true, 0, 0}, Case{1, 12345, 16, true, 0, 0}, Case{0, 16000, 16, true, 0, 0}}) {
        Encoder encoder(c.channels, c.rate, c.bits, c.adts);
        SCOPED_TRACE(testing::Message() << c.channels << "ch " << c.rate << " Hz " << c.bits << " bits");
        EXPECT_EQ(encoder.handle != nullptr, c.words != 0);
        if (encoder.handle == nullptr) continue;
        EXPECT_EQ(encoder.format.frameSamples, c.words);
        EXPECT_EQ(encoder.settings.maxOutputSize, c.maxFrame);
        if (c.adts) continue;
        auto frames = encoder.encodeTone(10);  // raw frames: no ADTS header
        EXPECT_FALSE(frames.empty());
        for (const Bytes& frame : frames) EXPECT_FALSE(frame[0] == 0xFF && (frame[1] & 0xF0) == 0xF0);
    }
    YVK_AudioEncSettings settings{};
    EXPECT_EQ(YVK_AAC_EncNew(nullptr, &settings), nullptr);
}

// A block longer than one frame is refused, a short one padded; the output
// never goes past the offered capacity.
TEST(AacEncoder, BlockAndOutputBounds) {
    Encoder encoder(2, 48000, 16, true);
    ASSERT_NE(encoder.handle, nullptr);
    Bytes out(8192, 0xAB);
    EXPECT_EQ(encoder.encode(Bytes(static_cast<size_t>(encoder.format.frameSamples) * 2 + 2), out, 8192), 0);
    int produced = 0;
    for (int i = 0; i < 8; ++i) produced += encoder.encode(Bytes(100), out, 8192);
    EXPECT_GT(produced, 0);  // padded frames come out once the look-ahead is filled
    std::fill(out.begin(), out.end(), 0xAB);
    for (int i = 0; i < 10; ++i) EXPECT_LE(encoder.encode(encoder.toneBlock(i), out, 64), 64);
    for (size_t i = 64; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << "guard byte " << i;
}

// Every frame with ADTS on carries a header whose length field is the
// frame's size; the frames joined are a stream that ffprobe reads.
class AacEncoderOutput : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(AacEncoderOutput, AdtsFramesDecodeAtTheConfiguredRateAndChannels) {
    auto [channels, rate] = GetParam();
    Encoder encoder(channels, rate, 16, true);
    ASSERT_NE(encoder.handle, nullptr);
    int blocks = rate * 2 / 1024;  // two seconds
    auto frames = encoder.encodeTone(blocks);
    EXPECT_GE(frames.size(), static_cast<size_t>(blocks - 3));  // the encoder holds back at most a few frames
    Bytes stream;
    for (const Bytes& frame : frames) {
        ASSERT_GE(frame.size(), 7u);
        ASSERT_EQ(frame[0], 0xFF);
        ASSERT_EQ(frame[1] & 0xF6, 0xF0);
        ASSERT_EQ(static_cast<size_t>((frame[3] & 3) << 11 | frame[4] << 3 | frame[5] >> 5), frame.size());
        stream.insert(stream.end(), frame.begin(), frame.end());
    }

    std::string path = "/tmp/yvk-aac-" + std::to_string(channels) + "-" + std::to_string(rate) + ".aac";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    auto probe = yvk::test::runProcess({"ffprobe", "-v", "error", "-select_streams", "a:0", "-count_frames",
                                        "-show_entries", "stream=codec_name,sample_rate,channels,nb_read_frames",
                                        "-of", "csv=p=0", path},
                                       20000);
    std::remove(path.c_str());
    EXPECT_EQ(probe.exitCode, 0) << probe.err;
    EXPECT_TRUE(probe.err.empty()) << probe.err;
    EXPECT_EQ(probe.out, "aac," + std::to_string(rate) + "," + std::to_string(channels) + "," +
                             std::to_string(frames.size()) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Formats, AacEncoderOutput,
                         testing::Values(std::make_tuple(1, 16000), std::make_tuple(2, 44100),
                                         std::make_tuple(1, 48000)));

} // namespace
