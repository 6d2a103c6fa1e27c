// The records of the public header as a C host on the device writes them:
// raw bytes at fixed offsets, read back through the library's own types.
//
// On the device (4-byte pointers) the offsets are the fixed ones the host
// relies on, and every one of them is also checked at compile time below.
// Where pointers are 8 bytes the host's compiler lays the records out as the
// library's does, so the same tests check the compiler's offsets instead.
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

constexpr bool kDeviceLayout = sizeof(void*) == 4;

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

// Where the host puts a field: the device's fixed offset, or the compiler's
// where pointers are 8 bytes.
#define YVK_PLACE(type, field, deviceOffset) (kDeviceLayout ? size_t{deviceOffset} : offsetof(type, field))
#define YVK_RECORD_SIZE(type, deviceSize) (kDeviceLayout ? size_t{deviceSize} : sizeof(type))

// A host record as bytes: every byte starts as a filler the library must
// leave alone; fields are stored little-endian (the device's order) or as
// the pointer's own bytes.
class RawRecord {
public:
    RawRecord(size_t size, size_t storage) : fSize(size), fBytes(storage, kFiller) {}

    void put8(size_t offset, uint8_t value) { fBytes.at(offset) = value; }
    void put16(size_t offset, uint16_t value) { putLittleEndian(offset, value, 2); }
    void put32(size_t offset, uint32_t value) { putLittleEndian(offset, value, 4); }
    void putPointer(size_t offset, const void* pointer) {
        ASSERT_LE(offset + sizeof pointer, fSize);
        std::memcpy(&fBytes[offset], &pointer, sizeof pointer);
    }
    template <typename Function> void putFunction(size_t offset, Function function) {
        ASSERT_LE(offset + sizeof function, fSize);
        std::memcpy(&fBytes[offset], &function, sizeof function);
    }
    uint32_t get32(size_t offset) const {
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(fBytes.at(offset + i)) << (8 * i);
        return value;
    }
    uint8_t at(size_t offset) const { return fBytes.at(offset); }

    // The bytes copied into a record of the library's type, as the library
    // sees a host record through its pointer.
    template <typename Record> Record as() const {
        EXPECT_EQ(sizeof(Record), fSize);
        Record record;
        std::memcpy(static_cast<void*>(&record), fBytes.data(), sizeof record);
        return record;
    }
    // The storage itself, handed to the library as the host's record.
    void* data() { return fBytes.data(); }
    size_t size() const { return fSize; }

    static constexpr uint8_t kFiller = 0xA5;

private:
    void putLittleEndian(size_t offset, uint32_t value, size_t bytes) {
        ASSERT_LE(offset + bytes, fSize);
        for (size_t i = 0; i < bytes; ++i) fBytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }

    size_t fSize;
    std::vector<uint8_t> fBytes;
};

// A record of the library's type with room for the raw bytes, aligned as the
// host's compiler would align it.
template <typename Record> RawRecord rawRecordOf(size_t deviceSize) {
    return RawRecord(YVK_RECORD_SIZE(Record, deviceSize), sizeof(Record));
}

int fakeSetStreaming(void*, int) { return 0; }
int fakeIsActive(void*) { return 1; }
YVKStreamerStream* fakePop(void*, int) { return nullptr; }
int fakeRelease(void*, YVKStreamerStream*, int) { return 0; }
void fakeDump(const void*, unsigned int) {}
const char* fakeFileName(int) { return nullptr; }
void fakeText(uint64_t, char*, int) {}

// Restores NET_SETUP_COMMANDS: the instances below must not run the network
// commands of a real New.
class NetSetupOff {
public:
    NetSetupOff() : fSaved(NET_SETUP_COMMANDS) { NET_SETUP_COMMANDS = 0; }
    ~NetSetupOff() { NET_SETUP_COMMANDS = fSaved; }

private:
    int fSaved;
};

TEST(RecordLayout, SizesAreTheDevicesWherePointersAreFourBytes) {
    if (!kDeviceLayout) GTEST_SKIP() << "pointers are " << sizeof(void*) << " bytes here";
    EXPECT_EQ(sizeof(YVKStreamerQIO), 28u);
    EXPECT_EQ(sizeof(YVKStreamerStream), 96u);
    EXPECT_EQ(sizeof(YVKStreamerAudio), 20u);
    EXPECT_EQ(sizeof(YVKStreamerLiveCfg), 68u);
    EXPECT_EQ(sizeof(YVKStreamerFileCfg), 76u);
    EXPECT_EQ(sizeof(YVKStreamerCtrlCmd), 8u);
}

TEST(RecordLayout, StreamRecordFieldsReadFromTheHostsBytes) {
    using S = YVKStreamerStream;
    static uint8_t payload[4] = {0, 0, 0, 1};
    RawRecord raw = rawRecordOf<S>(96);
    raw.putPointer(YVK_PLACE(S, data, 8), payload);
    raw.put32(YVK_PLACE(S, size, 12), 0x00012345u);
    raw.put32(YVK_PLACE(S, keyFrame, 24), 1u);
    raw.put8(YVK_PLACE(S, resync, 28), 7);
    raw.put32(YVK_PLACE(S, timestamp, 48), static_cast<uint32_t>(-2)); // seconds may be negative
    raw.put32(YVK_PLACE(S, timestamp, 48) + 4, 999999u);

    S record = raw.as<S>();
    EXPECT_EQ(record.data, payload);
    EXPECT_EQ(record.size, 0x00012345u);
    EXPECT_EQ(record.keyFrame, 1u);
    EXPECT_EQ(record.resync, 7);
    EXPECT_EQ(record.timestamp.sec, -2);
    EXPECT_EQ(record.timestamp.usec, 999999);
    // The host's own bytes sit where the header reserves them.
    if (kDeviceLayout) {
        EXPECT_EQ(record.hostReserved0[0], RawRecord::kFiller);
        EXPECT_EQ(record.hostReserved16[7], RawRecord::kFiller);
        EXPECT_EQ(record.hostReserved29[18], RawRecord::kFiller);
        EXPECT_EQ(record.hostReserved56[39], RawRecord::kFiller);
    }
}

TEST(RecordLayout, QueueRecordFieldsReadFromTheHostsBytes) {
    using Q = YVKStreamerQIO;
    int handle = 0;
    RawRecord raw = rawRecordOf<Q>(28);
    raw.putPointer(YVK_PLACE(Q, handle, 0), &handle);
    raw.putFunction(YVK_PLACE(Q, setStreaming, 4), &fakeSetStreaming);
    raw.putFunction(YVK_PLACE(Q, isActive, 8), &fakeIsActive);
    raw.putFunction(YVK_PLACE(Q, popStream, 12), &fakePop);
    raw.putFunction(YVK_PLACE(Q, releaseStream, 16), &fakeRelease);
    raw.putFunction(YVK_PLACE(Q, dumpData, 20), &fakeDump);
    raw.put8(YVK_PLACE(Q, dumpEnabled, 24), 1);

    Q record = raw.as<Q>();
    EXPECT_EQ(record.handle, &handle);
    EXPECT_EQ(record.setStreaming, &fakeSetStreaming);
    EXPECT_EQ(record.isActive, &fakeIsActive);
    EXPECT_EQ(record.popStream, &fakePop);
    EXPECT_EQ(record.releaseStream, &fakeRelease);
    EXPECT_EQ(record.dumpData, &fakeDump);
    EXPECT_EQ(record.dumpEnabled, 1);
}

TEST(RecordLayout, LiveRecordFieldsReadFromTheHostsBytes) {
    using L = YVKStreamerLiveCfg;
    const char* session = "cam";
    const char* ifName = "eth0";
    const char* video = "video/H265";
    const char* audio = "audio/L16";
    RawRecord raw = rawRecordOf<L>(68);
    raw.put16(YVK_PLACE(L, rtspPort, 4), 8555);
    raw.putPointer(YVK_PLACE(L, sessionName, 12), session);
    raw.putPointer(YVK_PLACE(L, ifName, 16), ifName);
    raw.put32(YVK_PLACE(L, streamType, 20), 4);
    raw.put8(YVK_PLACE(L, videoEnable, 24), 1);
    raw.putPointer(YVK_PLACE(L, videoFormat, 28), video);
    raw.put32(YVK_PLACE(L, videoFrameRate, 32), 25);
    raw.put32(YVK_PLACE(L, videoWidth, 36), 1920);
    raw.put32(YVK_PLACE(L, videoHeight, 40), 1080);
    raw.put32(YVK_PLACE(L, maxFrameSize, 44), 0x80000001u);
    const size_t base = YVK_PLACE(L, audio, 48);
    raw.put8(base + YVK_PLACE(YVKStreamerAudio, enable, 0), 1);
    raw.putPointer(base + YVK_PLACE(YVKStreamerAudio, format, 4), audio);
    raw.put32(base + YVK_PLACE(YVKStreamerAudio, samplingFrequency, 8), 48000);
    raw.put32(base + YVK_PLACE(YVKStreamerAudio, bitsPerSample, 12), 24);
    raw.put32(base + YVK_PLACE(YVKStreamerAudio, numChannels, 16), 2);

    L record = raw.as<L>();
    EXPECT_EQ(record.rtspPort, 8555);
    EXPECT_EQ(record.sessionName, session);
    EXPECT_EQ(record.ifName, ifName);
    EXPECT_EQ(record.streamType, 4);
    EXPECT_EQ(record.videoEnable, 1);
    EXPECT_EQ(record.videoFormat, video);
    EXPECT_EQ(record.videoFrameRate, 25);
    EXPECT_EQ(record.videoWidth, 1920);
    EXPECT_EQ(record.videoHeight, 1080);
    EXPECT_EQ(record.maxFrameSize, 0x80000001u);
    EXPECT_EQ(record.audio.enable, 1);
    EXPECT_EQ(record.audio.format, audio);
    EXPECT_EQ(record.audio.samplingFrequency, 48000);
    EXPECT_EQ(record.audio.bitsPerSample, 24);
    EXPECT_EQ(record.audio.numChannels, 2);
}

TEST(RecordLayout, FileRecordFieldsReadFromTheHostsBytes) {
    using F = YVKStreamerFileCfg;
    const char* file = "/mnt/mmc/a.avi";
    RawRecord raw = rawRecordOf<F>(76);
    raw.put32(YVK_PLACE(F, streamType, 20), 1);
    raw.putPointer(YVK_PLACE(F, fileName, 24), file);
    raw.putFunction(YVK_PLACE(F, getFileName, 28), &fakeFileName);
    raw.put32(YVK_PLACE(F, videoTrack, 32), 2);
    raw.put32(YVK_PLACE(F, maxFrameSize, 36), 300000);
    raw.put8(YVK_PLACE(F, parserOption, 40), 0x5a);
    raw.put32(YVK_PLACE(F, skipPreBuffer, 60), 1);
    raw.put32(YVK_PLACE(F, videoMaster, 64), static_cast<uint32_t>(-1));
    raw.put32(YVK_PLACE(F, textEnable, 68), 1);
    raw.putFunction(YVK_PLACE(F, textCallback, 72), &fakeText);

    F record = raw.as<F>();
    EXPECT_EQ(record.streamType, 1);
    EXPECT_EQ(record.fileName, file);
    EXPECT_EQ(record.getFileName, &fakeFileName);
    EXPECT_EQ(record.videoTrack, 2);
    EXPECT_EQ(record.maxFrameSize, 300000u);
    EXPECT_EQ(record.parserOption, 0x5a);
    EXPECT_EQ(record.reserved44[0], 0xA5A5A5A5u);
    EXPECT_EQ(record.skipPreBuffer, 1);
    EXPECT_EQ(record.videoMaster, -1);
    EXPECT_EQ(record.textEnable, 1);
    EXPECT_EQ(record.textCallback, &fakeText);
}

TEST(RecordLayout, CtrlRecordFieldsReadFromTheHostsBytes) {
    using C = YVKStreamerCtrlCmd;
    RawRecord raw = rawRecordOf<C>(8);
    raw.put32(YVK_PLACE(C, command, 0), 1);
    raw.put32(YVK_PLACE(C, value, 4), static_cast<uint32_t>(-3));
    C record = raw.as<C>();
    EXPECT_EQ(record.command, 1);
    EXPECT_EQ(record.value, -3);
}

// New reads the interface name at byte 16 and the stream type at byte 20 of
// whatever record it is given, writes the 1 back there, and touches no other
// byte of the host's record.
void expectNewReadsTheCommonHead(RawRecord& raw, size_t ifNameAt, size_t typeAt) {
    NetSetupOff netSetupOff;
    const char* longName = "wlan0123456789abcdef"; // 20 characters, 15 are used
    raw.putPointer(ifNameAt, longName);
    raw.put32(typeAt, 0);
    const std::vector<uint8_t> before(static_cast<const uint8_t*>(raw.data()),
                                      static_cast<const uint8_t*>(raw.data()) + raw.size());

    YVKStreamerCore* core = YVK_StreamerCoreNew(3, raw.data(), nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(raw.get32(typeAt), 1u);
    EXPECT_STREQ(core->ifNameBuf, "wlan0123456789a");
    EXPECT_EQ(core->hlsSegDur, 0);
    for (size_t i = 0; i < raw.size(); ++i) {
        if (i >= typeAt && i < typeAt + 4) continue;
        EXPECT_EQ(raw.at(i), before[i]) << "byte " << i << " of the host's record changed";
    }
    YVK_StreamerCoreFree(core);

    raw.put32(typeAt, 4); // live HTTP streaming: kept as it is, arms the HLS wait
    core = YVK_StreamerCoreNew(3, raw.data(), nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(raw.get32(typeAt), 4u);
    EXPECT_EQ(core->hlsSegDur, 1);
    YVK_StreamerCoreFree(core);
}

TEST(RecordLayout, NewReadsARawLiveRecordAtTheDevicesOffsets) {
    using L = YVKStreamerLiveCfg;
    RawRecord raw = rawRecordOf<L>(68);
    expectNewReadsTheCommonHead(raw, YVK_PLACE(L, ifName, 16), YVK_PLACE(L, streamType, 20));
}

TEST(RecordLayout, NewReadsARawFileRecordAtTheDevicesOffsets) {
    using F = YVKStreamerFileCfg;
    RawRecord raw = rawRecordOf<F>(76);
    expectNewReadsTheCommonHead(raw, YVK_PLACE(F, ifName, 16), YVK_PLACE(F, streamType, 20));
}

} // namespace
