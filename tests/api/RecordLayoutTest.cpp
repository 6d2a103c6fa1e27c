// The records of the public header as a C host on the device writes them.
//
// On the device (4-byte pointers) every offset the host relies on is checked
// at compile time below; New is then given raw host bytes and must read its
// fields there and leave every other byte alone.
#include "AudioEncSource.hh"
#include "CoreInstance.hh"
#include "yvk_audio_codec.h"
#include "yvkstreamer_core.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

#if UINTPTR_MAX == 0xffffffffu
#define YVK_AT(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " is not at byte " #offset)
YVK_AT(YVKStreamerQIO, handle, 0);
YVK_AT(YVKStreamerQIO, setStreaming, 4);
YVK_AT(YVKStreamerQIO, isActive, 8);
YVK_AT(YVKStreamerQIO, popStream, 12);
YVK_AT(YVKStreamerQIO, releaseStream, 16);
YVK_AT(YVKStreamerQIO, dumpData, 20);
YVK_AT(YVKStreamerQIO, dumpEnabled, 24);
static_assert(sizeof(YVKStreamerQIO) == 28, "YVKStreamerQIO is 28 bytes");

YVK_AT(YVKStreamerStream, data, 8);
YVK_AT(YVKStreamerStream, size, 12);
YVK_AT(YVKStreamerStream, keyFrame, 24);
YVK_AT(YVKStreamerStream, resync, 28);
YVK_AT(YVKStreamerStream, timestamp, 48);
YVK_AT(YVKStreamerStream, timestamp.usec, 52);
static_assert(sizeof(YVKStreamerStream) == 96, "YVKStreamerStream is 96 bytes");

YVK_AT(YVKStreamerAudio, enable, 0);
YVK_AT(YVKStreamerAudio, format, 4);
YVK_AT(YVKStreamerAudio, samplingFrequency, 8);
YVK_AT(YVKStreamerAudio, bitsPerSample, 12);
YVK_AT(YVKStreamerAudio, numChannels, 16);
static_assert(sizeof(YVKStreamerAudio) == 20, "YVKStreamerAudio is 20 bytes");

YVK_AT(YVKStreamerLiveCfg, reserved0, 0);
YVK_AT(YVKStreamerLiveCfg, rtspPort, 4);
YVK_AT(YVKStreamerLiveCfg, reserved8, 8);
YVK_AT(YVKStreamerLiveCfg, sessionName, 12);
YVK_AT(YVKStreamerLiveCfg, ifName, 16);
YVK_AT(YVKStreamerLiveCfg, streamType, 20);
YVK_AT(YVKStreamerLiveCfg, videoEnable, 24);
YVK_AT(YVKStreamerLiveCfg, videoFormat, 28);
YVK_AT(YVKStreamerLiveCfg, videoFrameRate, 32);
YVK_AT(YVKStreamerLiveCfg, videoWidth, 36);
YVK_AT(YVKStreamerLiveCfg, videoHeight, 40);
YVK_AT(YVKStreamerLiveCfg, maxFrameSize, 44);
YVK_AT(YVKStreamerLiveCfg, audio, 48);
static_assert(sizeof(YVKStreamerLiveCfg) == 68, "YVKStreamerLiveCfg is 68 bytes");

YVK_AT(YVKStreamerFileCfg, reserved0, 0);
YVK_AT(YVKStreamerFileCfg, rtspPort, 4);
YVK_AT(YVKStreamerFileCfg, reserved8, 8);
YVK_AT(YVKStreamerFileCfg, sessionName, 12);
YVK_AT(YVKStreamerFileCfg, ifName, 16);
YVK_AT(YVKStreamerFileCfg, streamType, 20);
YVK_AT(YVKStreamerFileCfg, fileName, 24);
YVK_AT(YVKStreamerFileCfg, getFileName, 28);
YVK_AT(YVKStreamerFileCfg, videoTrack, 32);
YVK_AT(YVKStreamerFileCfg, maxFrameSize, 36);
YVK_AT(YVKStreamerFileCfg, parserOption, 40);
YVK_AT(YVKStreamerFileCfg, reserved44, 44);
YVK_AT(YVKStreamerFileCfg, skipPreBuffer, 60);
YVK_AT(YVKStreamerFileCfg, videoMaster, 64);
YVK_AT(YVKStreamerFileCfg, textEnable, 68);
YVK_AT(YVKStreamerFileCfg, textCallback, 72);
static_assert(sizeof(YVKStreamerFileCfg) == 76, "YVKStreamerFileCfg is 76 bytes");

YVK_AT(YVKStreamerCtrlCmd, command, 0);
YVK_AT(YVKStreamerCtrlCmd, value, 4);
static_assert(sizeof(YVKStreamerCtrlCmd) == 8, "YVKStreamerCtrlCmd is 8 bytes");

// The audio codec library's records: all 32-bit words, the same everywhere
// except the descriptors, which hold a pointer.
YVK_AT(YVK_AudioPcm, size, 8);
static_assert(sizeof(YVK_AudioPcm) == 12, "the encoder input descriptor is three words");
static_assert(sizeof(YVK_AudioCoded) == 8, "the encoder output descriptor is two words");
#undef YVK_AT
#endif

static_assert(sizeof(AudioEncInfo) == 24, "AudioEncInfo is six 32-bit words");
static_assert(offsetof(AudioEncInfo, encoderType) == 20, "AudioEncInfo.encoderType is at byte 20");
static_assert(sizeof(YVK_AudioFormat) == 16, "the encoder's format record is 16 bytes");
static_assert(offsetof(YVK_AudioFormat, frameSamples) == 12, "the filled word is the fourth");
static_assert(sizeof(YVK_AudioEncSettings) == 84, "the encoder's settings record is 84 bytes");
static_assert(offsetof(YVK_AudioEncSettings, bitRate) == 4 && offsetof(YVK_AudioEncSettings, adts) == 8 &&
                  offsetof(YVK_AudioEncSettings, maxOutputSize) == 12,
              "settings: word 1 bit rate, byte 8 ADTS, word 3 largest frame");

// A host record as bytes: every byte starts as a filler the library must
// leave alone.
using RawRecord = std::vector<uint8_t>;
constexpr uint8_t kFiller = 0xA5;

uint32_t get32(const RawRecord& raw, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(raw.at(offset + i)) << (8 * i);
    return value;
}
void put32(RawRecord& raw, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) raw.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

// New reads the interface name and the stream type at the device's offsets of
// whatever record it is given (where pointers are 8 bytes the compiler's
// offsets stand in for them), writes the 1 back there, and touches no other
// byte of the host's record.
TEST(RecordLayout, NewReadsARawRecordAtTheDevicesOffsets) {
    NET_SETUP_COMMANDS = 0;  // no interface commands of a real New here
    using L = YVKStreamerLiveCfg;
    using F = YVKStreamerFileCfg;
    struct Case { const char* what; size_t size, ifNameAt, typeAt; };
    for (Case c : {Case{"live", sizeof(L), offsetof(L, ifName), offsetof(L, streamType)},
                   Case{"file", sizeof(F), offsetof(F, ifName), offsetof(F, streamType)}}) {
        SCOPED_TRACE(c.what);
        RawRecord raw(c.size, kFiller);
        const char* longName = "wlan0123456789abcdef"; // 20 characters, 15 are used
        std::memcpy(&raw[c.ifNameAt], &longName, sizeof longName);
        put32(raw, c.typeAt, 0);
        const RawRecord before = raw;

        YVKStreamerCore* core = YVK_StreamerCoreNew(3, raw.data(), nullptr, nullptr);
        ASSERT_NE(core, nullptr);
        EXPECT_EQ(get32(raw, c.typeAt), 1u);
        EXPECT_STREQ(core->ifNameBuf, "wlan0123456789a");
        EXPECT_EQ(core->hlsSegDur, 0);
        for (size_t i = 0; i < raw.size(); ++i) {
            if (i >= c.typeAt && i < c.typeAt + 4) continue;
            EXPECT_EQ(raw[i], before[i]) << "byte " << i << " of the host's record changed";
        }
        YVK_StreamerCoreFree(core);

        put32(raw, c.typeAt, 4); // live HTTP streaming: kept as it is, arms the HLS wait
        core = YVK_StreamerCoreNew(3, raw.data(), nullptr, nullptr);
        ASSERT_NE(core, nullptr);
        EXPECT_EQ(get32(raw, c.typeAt), 4u);
        EXPECT_EQ(core->hlsSegDur, 1);
        YVK_StreamerCoreFree(core);
    }
}

} // namespace
