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

TEST(TransportStreamProbe, H264WithAac) {
    auto stream = makeStream({"-c:v", "libx264", "-profile:v", "high", "-level", "3.1", "-pix_fmt", "yuv420p"}, true);
    TransportStreamInfo info = probeTransportStream(stream.data(), stream.size());
    EXPECT_EQ(info.videoCodec, "avc1.64001f");
    EXPECT_EQ(info.audioCodec, "mp4a.40.2");
    EXPECT_EQ(info.codecs(), "avc1.64001f,mp4a.40.2");
    EXPECT_EQ(info.width, 640u);
    EXPECT_EQ(info.height, 360u); // 368 coded rows, cropped
}

TEST(TransportStreamProbe, H265VideoAlone) {
    auto stream = makeStream({"-c:v", "libx265", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p"}, false);
    TransportStreamInfo info = probeTransportStream(stream.data(), stream.size());
    EXPECT_EQ(info.videoCodec.rfind("hvc1.1.6.L", 0), 0u) << info.videoCodec;
    EXPECT_TRUE(info.audioCodec.empty());
    EXPECT_EQ(info.codecs(), info.videoCodec);
    EXPECT_EQ(info.width, 640u);
    EXPECT_EQ(info.height, 360u);
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
