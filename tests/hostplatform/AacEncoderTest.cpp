// The host's AAC encoder: sizes it reports, input it refuses, and output that
// a real decoder reads as AAC at the configured rate and channels.
#include "Process.hh"

#include "yvk_audio_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Encoder {
    Encoder(int channels, int rate, int bits, bool adts) {
        format = {channels, rate, bits, 0};
        settings = YVK_AudioEncSettings{};
        settings.bitRate = 96000;
        settings.adts = adts ? 1 : 0;
        handle = YVK_AAC_EncNew(&format, &settings);
    }
    ~Encoder() { YVK_AAC_EncFree(handle); }

    int encode(std::vector<unsigned char> pcm, std::vector<unsigned char>& out) {
        YVK_AudioPcm input{pcm.data(), 0, static_cast<int32_t>(pcm.size())};
        YVK_AudioCoded output{out.data(), static_cast<int32_t>(out.size())};
        return YVK_AAC_Encode(handle, &input, &output, 0);
    }

    YVK_AudioFormat format;
    YVK_AudioEncSettings settings;
    void* handle;
};

// One frame's block of a 440 Hz tone, 16-bit little-endian, interleaved.
std::vector<unsigned char> toneBlock(const Encoder& encoder, int frameIndex) {
    int channels = encoder.format.channels;
    int samples = encoder.format.frameSamples * 2 / (2 * channels);
    std::vector<unsigned char> block(static_cast<size_t>(encoder.format.frameSamples) * 2);
    for (int i = 0; i < samples; ++i) {
        double t = static_cast<double>(frameIndex * samples + i) / encoder.format.sampleRate;
        auto value = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t));
        for (int c = 0; c < channels; ++c) {
            block[(i * channels + c) * 2] = static_cast<unsigned char>(value & 0xFF);
            block[(i * channels + c) * 2 + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
        }
    }
    return block;
}

TEST(AacEncoder, ReportsInputWordsAndLargestFrame) {
    struct Case { int channels, rate, bits, words; };
    for (Case c : {Case{1, 16000, 16, 1024}, Case{2, 44100, 16, 2048}, Case{1, 48000, 8, 512},
                   Case{2, 32000, 24, 3072}}) {
        Encoder encoder(c.channels, c.rate, c.bits, true);
        ASSERT_NE(encoder.handle, nullptr) << c.channels << "ch " << c.rate << " Hz " << c.bits << " bits";
        EXPECT_EQ(encoder.format.frameSamples, c.words);
        EXPECT_EQ(encoder.settings.maxOutputSize, 8192 * c.channels + 7);
    }
    Encoder raw(1, 16000, 16, false);
    ASSERT_NE(raw.handle, nullptr);
    EXPECT_EQ(raw.settings.maxOutputSize, 8192);
}

TEST(AacEncoder, UnsupportedFormatsGiveNoEncoder) {
    for (YVK_AudioFormat format : {YVK_AudioFormat{3, 16000, 16, 0}, YVK_AudioFormat{1, 16000, 12, 0},
                                  YVK_AudioFormat{1, 12345, 16, 0}, YVK_AudioFormat{0, 16000, 16, 0}}) {
        YVK_AudioEncSettings settings{};
        EXPECT_EQ(YVK_AAC_EncNew(&format, &settings), nullptr);
    }
    YVK_AudioEncSettings settings{};
    EXPECT_EQ(YVK_AAC_EncNew(nullptr, &settings), nullptr);
}

TEST(AacEncoder, RefusesABlockLongerThanOneFrameAndPadsAShortOne) {
    Encoder encoder(1, 16000, 16, true);
    ASSERT_NE(encoder.handle, nullptr);
    std::vector<unsigned char> out(static_cast<size_t>(encoder.settings.maxOutputSize));
    std::vector<unsigned char> tooLong(static_cast<size_t>(encoder.format.frameSamples) * 2 + 2);
    EXPECT_EQ(encoder.encode(tooLong, out), 0);
    std::vector<unsigned char> shortBlock(100);
    int produced = 0;
    for (int i = 0; i < 8; ++i) produced += encoder.encode(shortBlock, out);
    EXPECT_GT(produced, 0); // padded frames come out once the look-ahead is filled
}

TEST(AacEncoder, NeverWritesPastTheOfferedCapacity) {
    Encoder encoder(2, 48000, 16, true);
    ASSERT_NE(encoder.handle, nullptr);
    std::vector<unsigned char> out(64 + 16, 0xAB);
    for (int i = 0; i < 10; ++i) {
        auto block = toneBlock(encoder, i);
        YVK_AudioPcm input{block.data(), 0, static_cast<int32_t>(block.size())};
        YVK_AudioCoded output{out.data(), 64};
        int written = YVK_AAC_Encode(encoder.handle, &input, &output, 0);
        EXPECT_LE(written, 64);
    }
    for (size_t i = 64; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << "guard byte " << i;
}

// Every frame with ADTS on carries a header whose length field is the
// frame's size; the frames joined are a stream that ffprobe reads.
class AacEncoderOutput : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(AacEncoderOutput, AdtsFramesDecodeAtTheConfiguredRateAndChannels) {
    auto [channels, rate] = GetParam();
    Encoder encoder(channels, rate, 16, true);
    ASSERT_NE(encoder.handle, nullptr);
    std::vector<unsigned char> stream;
    std::vector<unsigned char> out(static_cast<size_t>(encoder.settings.maxOutputSize));
    int frames = 0;
    int blocks = rate * 2 / 1024; // two seconds
    for (int i = 0; i < blocks; ++i) {
        int written = encoder.encode(toneBlock(encoder, i), out);
        if (written == 0) continue;
        ASSERT_GE(written, 7);
        ASSERT_EQ(out[0], 0xFF);
        ASSERT_EQ(out[1] & 0xF6, 0xF0);
        int length = (out[3] & 3) << 11 | out[4] << 3 | out[5] >> 5;
        ASSERT_EQ(length, written);
        stream.insert(stream.end(), out.begin(), out.begin() + written);
        ++frames;
    }
    EXPECT_GE(frames, blocks - 3); // the encoder holds back at most a few frames

    std::string path = "/tmp/yvk-aac-" + std::to_string(channels) + "-" + std::to_string(rate) + ".aac";
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(stream.data(), 1, stream.size(), file);
    std::fclose(file);
    auto probe = yvk::test::runProcess({"ffprobe", "-v", "error", "-select_streams", "a:0", "-count_frames",
                                        "-show_entries", "stream=codec_name,sample_rate,channels,nb_read_frames",
                                        "-of", "default=noprint_wrappers=1", path},
                                       20000);
    std::remove(path.c_str());
    EXPECT_EQ(probe.exitCode, 0) << probe.err;
    EXPECT_NE(probe.out.find("codec_name=aac"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("sample_rate=" + std::to_string(rate)), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("channels=" + std::to_string(channels)), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("nb_read_frames=" + std::to_string(frames)), std::string::npos) << probe.out;
    EXPECT_TRUE(probe.err.empty()) << probe.err;
}

INSTANTIATE_TEST_SUITE_P(Formats, AacEncoderOutput,
                         testing::Values(std::make_tuple(1, 16000), std::make_tuple(2, 44100),
                                         std::make_tuple(1, 48000)));

TEST(AacEncoder, RawFramesHaveNoAdtsHeader) {
    Encoder encoder(1, 16000, 16, false);
    ASSERT_NE(encoder.handle, nullptr);
    std::vector<unsigned char> out(static_cast<size_t>(encoder.settings.maxOutputSize));
    int seen = 0;
    for (int i = 0; i < 10; ++i) {
        int written = encoder.encode(toneBlock(encoder, i), out);
        if (written == 0) continue;
        ++seen;
        EXPECT_FALSE(out[0] == 0xFF && (out[1] & 0xF0) == 0xF0);
    }
    EXPECT_GT(seen, 0);
}

} // namespace
