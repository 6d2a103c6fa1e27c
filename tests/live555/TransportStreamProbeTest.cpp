// The Transport Stream probe against streams that ffmpeg muxes: codec
// strings and picture sizes for H.264 and H.265, with and without AAC, and
// bytes that are no Transport Stream at all.
#include "Process.hh"
#include "TransportStreamProbe.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

// Bits MSB first, with Exp-Golomb codes, for hand-made parameter sets.
class BitWriter {
public:
    void bits(uint64_t value, unsigned count) {
        while (count-- > 0) bit(static_cast<unsigned>(value >> count & 1));
    }
    void bit(unsigned value) {
        if (fUsed % 8 == 0) fBytes.push_back(0);
        fBytes.back() |= static_cast<unsigned char>(value << (7 - fUsed % 8));
        ++fUsed;
    }
    void ue(uint64_t value) { // 2^n - 1 + k as n zeros, a one and n bits of k
        unsigned zeros = 0;
        while ((value + 1) >> (zeros + 1) != 0) ++zeros;
        bits(0, zeros);
        bits(value + 1, zeros + 1);
    }
    // As a NAL unit's payload: an emulation-prevention byte after two zeros.
    std::vector<unsigned char> escaped() const {
        std::vector<unsigned char> out;
        for (unsigned char byte : fBytes) {
            if (out.size() >= 2 && out[out.size() - 1] == 0 && out[out.size() - 2] == 0 && byte <= 3) out.push_back(3);
            out.push_back(byte);
        }
        return out;
    }

private:
    std::vector<unsigned char> fBytes;
    unsigned fUsed = 0;
};

// A Transport Stream of one program: PAT, PMT with one stream of the given
// type on PID 0x100, and the elementary stream in one PES (CRCs left zero:
// the probe does not check them).
std::vector<unsigned char> singleStream(unsigned char streamType, const std::vector<unsigned char>& elementary) {
    std::vector<unsigned char> stream;
    auto packet = [&stream](unsigned pid, bool start, const std::vector<unsigned char>& payload) {
        size_t at = stream.size();
        stream.resize(at + 188, 0xFF);
        unsigned char header[] = {0x47, static_cast<unsigned char>((start ? 0x40 : 0) | pid >> 8),
                                  static_cast<unsigned char>(pid), 0x10};
        std::copy(header, header + 4, stream.begin() + static_cast<long>(at));
        std::copy(payload.begin(), payload.begin() + static_cast<long>(std::min<size_t>(payload.size(), 184)),
                  stream.begin() + static_cast<long>(at) + 4);
    };
    packet(0, true, {0, 0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xE0, 0x20, 0, 0, 0, 0});
    packet(0x20, true, {0, 0x02, 0xB0, 18, 0, 1, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0, streamType, 0xE1, 0x00, 0xF0, 0,
                        0, 0, 0, 0});
    std::vector<unsigned char> pes = {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0};
    pes.insert(pes.end(), elementary.begin(), elementary.end());
    for (size_t at = 0; at < pes.size(); at += 184)
        packet(0x100, at == 0, std::vector<unsigned char>(pes.begin() + static_cast<long>(at),
                                                          pes.begin() + static_cast<long>(std::min(pes.size(), at + 184))));
    return stream;
}

// A High-profile SPS whose scaling list carries a delta far outside the
// -128..127 the format allows: the probe keeps the codec, gives no size and
// does no arithmetic that overflows (the sanitizer build stops on that).
TEST(TransportStreamProbe, ScalingListDeltaOutOfRangeGivesNoSize) {
    BitWriter sps;
    sps.bits(0x6764001F, 32); // NAL header, High profile, level 3.1
    sps.ue(0);                // seq_parameter_set_id
    sps.ue(1);                // 4:2:0
    sps.ue(0);                // bit depths
    sps.ue(0);
    sps.bit(0);
    sps.bit(1); // seq_scaling_matrix_present_flag
    sps.bit(1); // the first list is present...
    sps.ue(0xFFFFFFFDull); // ...and its first delta_scale is 2^31 - 1
    for (int i = 0; i < 8; ++i) sps.ue(5);
    std::vector<unsigned char> elementary = {0, 0, 0, 1};
    std::vector<unsigned char> payload = sps.escaped();
    elementary.insert(elementary.end(), payload.begin(), payload.end());
    std::vector<unsigned char> stream = singleStream(0x1B, elementary);
    TransportStreamInfo info = probeTransportStream(stream.data(), stream.size());
    EXPECT_EQ(info.videoCodec, "avc1.64001f");
    EXPECT_EQ(info.width, 0u);
    EXPECT_EQ(info.height, 0u);
}

} // namespace
