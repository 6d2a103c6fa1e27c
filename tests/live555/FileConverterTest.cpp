// The MP3 to AAC converter of file audio and the transcoder refusal against
// scripted services: this executable defines the audio reads of the demux
// service, the MP3 decoder, the AAC encoder and the transcoder's open, so
// 30 minutes of MP3 go through in seconds and every byte is accounted for.
#include "AVIFileParser.hh"
#include "AviFile.hh"
#include "LiveTestSupport.hh"

#include "yvk_audio_codec.h"
#include "yvk_demux.h"

#include <cstring>

namespace {

constexpr int kMp3FrameBytes = 417;     // 128 kbit/s at 44.1 kHz
constexpr int kMp3FrameSamples = 1152;  // per channel
constexpr int kChannels = 2;
constexpr int kRate = 44100;

// The scripted file: MP3 frames whose first byte is the tag of the stretch
// they belong to (a seek starts a new stretch).
struct ScriptedAudio {
    long framesLeft = 0;
    unsigned char tag = 1;
    long framesRead = 0;
};

// What the fakes saw, over all decoders and encoders.
struct Ledger {
    uint64_t samplesDecoded = 0;  // 16-bit samples handed to the converter
    uint64_t samplesEncoded = 0;  // taken by the encoder
    size_t peakBacklog = 0;       // samples a decoder kept after a call
    int maxEncoderInputBytes = 0;
} gLedger;

bool gTranscoderAsked = false;

struct FakeDecoder {
    std::deque<std::pair<int16_t, size_t>> pending;  // (tag, samples)
    size_t pendingSamples = 0;
};

struct FakeEncoder {
    int frameBytes = 0;
    int16_t delayedTag = 0;  // one frame of look-ahead, as real encoders have
    bool primed = false;
};

} // namespace

extern "C" {

int YVK_StreamerDemuxReadAudio(void* handle, unsigned char* buffer, int* size) {
    auto* script = static_cast<ScriptedAudio*>(handle);
    int capacity = *size > 0 ? *size : YVK_DEMUX_SAMPLE_CAPACITY;
    *size = 0;
    if (script == nullptr || script->framesLeft <= 0) return 0;
    if (capacity < kMp3FrameBytes) return YVK_DEMUX_SAMPLE_SKIPPED;
    --script->framesLeft;
    ++script->framesRead;
    std::memset(buffer, 0, kMp3FrameBytes);
    buffer[0] = script->tag;
    return *size = kMp3FrameBytes;
}

void* YVK_MP3_DecNew(const YVK_AudioFormat*, const void*) { return new FakeDecoder(); }

int YVK_MP3_Decode(void* decoder, const YVK_AudioCoded* input, const YVK_AudioPcm* output,
                   YVK_AudioFormat* formatOut) {
    auto* d = static_cast<FakeDecoder*>(decoder);
    if (input != nullptr && input->data != nullptr && input->size > 0) {
        d->pending.emplace_back(static_cast<int16_t>(input->data[0]), size_t{kMp3FrameSamples * kChannels});
        d->pendingSamples += kMp3FrameSamples * kChannels;
    }
    if (formatOut != nullptr) *formatOut = YVK_AudioFormat{kChannels, kRate, 16, kMp3FrameSamples};
    auto* out = reinterpret_cast<int16_t*>(output->data);
    size_t room = static_cast<size_t>(output->size) / 2 / kChannels * kChannels;
    size_t written = 0;
    while (written < room && !d->pending.empty()) {
        auto& run = d->pending.front();
        size_t take = std::min(run.second, room - written);
        std::fill(out + written, out + written + take, run.first);
        written += take;
        run.second -= take;
        if (run.second == 0) d->pending.pop_front();
    }
    d->pendingSamples -= written;
    gLedger.samplesDecoded += written;
    gLedger.peakBacklog = std::max(gLedger.peakBacklog, d->pendingSamples);
    return static_cast<int>(written);
}

void YVK_MP3_DecFree(void* decoder) { delete static_cast<FakeDecoder*>(decoder); }

void* YVK_AAC_EncNew(YVK_AudioFormat* format, YVK_AudioEncSettings*) {
    if (format->channels < 1 || format->channels > 2) return nullptr;
    format->frameSamples = 1024 * format->channels;
    auto* e = new FakeEncoder();
    e->frameBytes = format->frameSamples * 2;
    return e;
}

// A frame is one byte: the tag of the PCM it was made of, one frame late.
int YVK_AAC_Encode(void* encoder, const YVK_AudioPcm* input, const YVK_AudioCoded* output, int) {
    auto* e = static_cast<FakeEncoder*>(encoder);
    if (input->size > e->frameBytes) return 0;
    gLedger.samplesEncoded += static_cast<uint64_t>(input->size) / 2;
    gLedger.maxEncoderInputBytes = std::max(gLedger.maxEncoderInputBytes, input->size);
    int16_t tag = *reinterpret_cast<const int16_t*>(input->data);
    bool hadFrame = e->primed;
    int16_t previous = e->delayedTag;
    e->delayedTag = tag;
    e->primed = true;
    if (!hadFrame) return 0;
    output->data[0] = static_cast<uint8_t>(previous);
    return 1;
}

void YVK_AAC_EncFree(void* encoder) { delete static_cast<FakeEncoder*>(encoder); }

void* YVK_StreamerTransOpen(const TransOpenParam*) {
    gTranscoderAsked = true;
    return nullptr;
}

} // extern "C"

namespace {

class FileConverter : public ::testing::Test {
protected:
    void SetUp() override {
        gLedger = Ledger{};
        ASSERT_EQ(AviFileParser::audioConvInit(kChannels, kRate, 16, 1, 2), 0);
    }
    void TearDown() override { AviFileParser::audioConvDeinit(); }

    // One AAC frame (its tag), 0 at the end.
    int convert(ScriptedAudio& script) {
        unsigned char out[8192];
        int size = 0;
        int result = AviFileParser::audioConvConvert(&script, out, &size);
        EXPECT_EQ(result, size);
        return result > 0 ? out[0] : 0;
    }
};

// Every AAC frame takes 1024 samples per channel, every MP3 frame gives
// 1152: unbounded decoding would pile up 512 bytes per frame (22 kB/s).  The
// time per frame, which such a pile would raise, is yvk_file_convert_bench's.
TEST_F(FileConverter, ThirtyMinutesOfMp3KeepTheStoreAndTheDecodersBacklogBounded) {
    ScriptedAudio script;
    script.framesLeft = 30L * 60 * kRate / kMp3FrameSamples;  // 68 906 frames
    const uint64_t frameSamples = 1024 * kChannels;
    // Less than one AAC frame plus one MP3 frame's PCM in the store; nothing
    // left in the decoder.
    const uint64_t storeBound = frameSamples + kMp3FrameSamples * kChannels;
    const long expectedFrames = script.framesLeft * kMp3FrameSamples / 1024;
    long frames = 0;
    for (; convert(script) != 0; ++frames) {
        ASSERT_LT(gLedger.samplesDecoded - gLedger.samplesEncoded, storeBound) << "frame " << frames;
        ASSERT_EQ(gLedger.peakBacklog, 0u) << "frame " << frames;
        ASSERT_LE(script.framesRead * kMp3FrameSamples, (frames + 5) * 1024L)
            << "MP3 is read ahead of what was encoded, frame " << frames;
    }
    EXPECT_NEAR(frames, expectedFrames, 3);
    EXPECT_EQ(gLedger.maxEncoderInputBytes, static_cast<int>(frameSamples * 2));
}

// A restart (seek, track switch) starts a fresh decoder and encoder: the
// first frame after it is made of audio from the new position only.  The
// end of the audio ends the conversion.
TEST_F(FileConverter, ARestartLetsNoAudioFromBeforeItThroughTheEndEndsIt) {
    ScriptedAudio script;
    script.framesLeft = 1000;
    for (int i = 0; i < 20; ++i) ASSERT_EQ(convert(script), 1);
    script.tag = 2;  // the demux now reads from the seek's position
    script.framesLeft = 10;  // 11 520 samples per channel: 11 frames, the last one held by the look-ahead
    AviFileParser::audioConvReset();
    int frames = 0;
    for (int tag; frames < 100 && (tag = convert(script)) != 0; ++frames) ASSERT_EQ(tag, 2) << "frame " << frames;
    EXPECT_EQ(frames, 10);
    EXPECT_EQ(convert(script), 0);
}

class TranscoderRefusal : public yvk::test::LiveEnvironment {};

// H.265 that cannot be transcoded is not announced as H.264: the file is
// served without video.
TEST_F(TranscoderRefusal, TheVideoTrackIsRefused) {
    yvk::test::TraceCapture traces;
    std::string name = std::string(YVK_MEDIA_DIR) + "/clip.mkv";
    AviFile* file = AviFile::createNew(env(), name.c_str(), 0, nullptr, nullptr, nullptr, 0, nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(gTranscoderAsked);
    EXPECT_EQ(file->lookup(1), nullptr) << "no video track";
    ASSERT_NE(file->lookup(2), nullptr);
    EXPECT_STREQ(file->lookup(2)->mimeType, "audio/L16");
    EXPECT_TRUE(traces.contains("cannot be transcoded"));
    Medium::close(file);
}

} // namespace
