// The MP3 decoder over the MP3 track of the generated AVI (32 kHz mono, 3 s).
#include "MediaTestUtil.hh"
#include "yvk_audio_codec.h"

#include <algorithm>
#include <tuple>
#include <vector>

namespace {

TEST(Mp3Decoder, DecodesAnyChunkingAtTheFilesRateAndLength) {
    // The whole MP3 stream of the AVI, as the demux service hands it out.
    yvk::test::Demux f("clip.avi");
    std::vector<uint8_t> stream;
    for (int i = 0, n; i < 1000 && (n = f.readAudio()) > 0; ++i)
        stream.insert(stream.end(), f.buffer.begin(), f.buffer.begin() + n);
    ASSERT_GT(stream.size(), 10000u);

    void* dec = YVK_MP3_DecNew(nullptr, nullptr);
    ASSERT_NE(dec, nullptr);
    // Odd chunks, each in a buffer of its own size (the decoder must not
    // read past it), and an output smaller than one decoded frame (1152
    // samples), with a guard area behind the offered capacity.
    constexpr int kCapacity = 1000;
    std::vector<uint8_t> out(kCapacity + 64, 0xcd);
    YVK_AudioFormat format{};
    long samples = 0;
    int zeroResults = 0;
    for (size_t pos = 0, calls = 0; calls < 100000; ++calls) {
        size_t chunk = std::min<size_t>(333, stream.size() - pos);
        std::vector<uint8_t> bytes(stream.begin() + static_cast<long>(pos),
                                   stream.begin() + static_cast<long>(pos + chunk));
        YVK_AudioCoded in{bytes.data(), static_cast<int32_t>(chunk)};
        pos += chunk;
        YVK_AudioPcm pcm{out.data(), 0, kCapacity};
        int n = YVK_MP3_Decode(dec, &in, &pcm, &format);
        ASSERT_GE(n, 0);
        ASSERT_LE(n * 2, kCapacity);
        for (size_t i = kCapacity; i < out.size(); ++i) ASSERT_EQ(out[i], 0xcd);
        samples += n;
        zeroResults += n == 0;
        if (pos == stream.size() && n == 0) break;
    }
    EXPECT_GT(zeroResults, 0);  // some chunks held no whole frame
    EXPECT_EQ(std::tie(format.sampleRate, format.channels, format.bitsPerSample, format.frameSamples),
              std::make_tuple(32000, 1, 16, 1152));
    EXPECT_NEAR(static_cast<double>(samples), 3.0 * 32000, 2 * 1152);
    YVK_MP3_DecFree(dec);
}

TEST(Mp3Decoder, RefusesBadCallsAndSurvivesGarbage) {
    std::vector<uint8_t> garbage(4000), out(4096);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    YVK_AudioCoded in{garbage.data(), static_cast<int32_t>(garbage.size())};
    YVK_AudioPcm pcm{out.data(), 0, static_cast<int32_t>(out.size())};
    EXPECT_LT(YVK_MP3_Decode(nullptr, &in, &pcm, nullptr), 0);
    void* dec = YVK_MP3_DecNew(nullptr, nullptr);
    ASSERT_NE(dec, nullptr);
    EXPECT_LT(YVK_MP3_Decode(dec, &in, nullptr, nullptr), 0);
    for (int i = 0; i < 5; ++i) EXPECT_GE(YVK_MP3_Decode(dec, &in, &pcm, nullptr), 0);
    EXPECT_EQ(YVK_MP3_Decode(dec, nullptr, &pcm, nullptr), 0);
    YVK_MP3_DecFree(dec);
    YVK_MP3_DecFree(nullptr);
}

} // namespace
