// The Transport Stream probe against streams that ffmpeg muxes: codec
// strings and picture sizes for H.264 and H.265, with and without AAC, and
// bytes that are no Transport Stream at all.
#include "Process.hh"
#include "TransportStreamProbe.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One second of ffmpeg's Transport Stream, read from its standard output.
std::vector<unsigned char> makeStream(const std::vector<std::string>& encoding, bool audio) {
    std::vector<std::string> command = {"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                        "testsrc2=size=640x360:rate=25:duration=1"};
    if (audio) command.insert(command.end(), {"-f", "lavfi", "-i", "sine=frequency=440:duration=1"});
    command.insert(command.end(), encoding.begin(), encoding.end());
    if (audio) command.insert(command.end(), {"-c:a", "aac", "-ac", "1"});
    command.insert(command.end(), {"-f", "mpegts", "pipe:1"});
    auto result = yvk::test::runProcess(command, 60000);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return std::vector<unsigned char>(result.out.begin(), result.out.end());
}

// The codecs in the playlist's notation and the displayed size (the H.264
// picture codes 368 rows and crops them).
TEST(TransportStreamProbe, H264WithAacAndH265Alone) {
    struct Case {
        std::vector<std::string> encoding;
        bool audio;
        std::string videoCodec;
        bool whole; // false: the codec's name begins so (H.265's, up to the level)
    } cases[] = {
        {{"-c:v", "libx264", "-profile:v", "high", "-level", "3.1", "-pix_fmt", "yuv420p"}, true, "avc1.64001f", true},
        {{"-c:v", "libx265", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p"}, false, "hvc1.1.6.L", false},
    };
    for (const Case& c : cases) {
        auto stream = makeStream(c.encoding, c.audio);
        TransportStreamInfo info = probeTransportStream(stream.data(), stream.size());
        EXPECT_EQ(c.whole ? info.videoCodec : info.videoCodec.substr(0, c.videoCodec.size()), c.videoCodec);
        EXPECT_EQ(info.audioCodec, c.audio ? "mp4a.40.2" : "");
        EXPECT_EQ(info.codecs(), info.videoCodec + (c.audio ? ",mp4a.40.2" : ""));
        EXPECT_EQ(info.width, 640u) << c.videoCodec;
        EXPECT_EQ(info.height, 360u) << c.videoCodec;
    }
}

TEST(TransportStreamProbe, BytesThatAreNoTransportStreamGiveNothing) {
    std::vector<unsigned char> noise(188 * 20);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<unsigned char>(i * 7 + 3);
    TransportStreamInfo info = probeTransportStream(noise.data(), noise.size());
    EXPECT_TRUE(info.codecs().empty());
    EXPECT_TRUE(probeTransportStream(nullptr, 0).codecs().empty());
    // Sync bytes with garbage behind them must not read past the buffer.
    for (size_t i = 0; i < noise.size(); i += 188) noise[i] = 0x47;
    probeTransportStream(noise.data(), noise.size());
    probeTransportStream(noise.data(), 100);
}

} // namespace
