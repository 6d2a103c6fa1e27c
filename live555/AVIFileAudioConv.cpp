// The process-wide MP3 to AAC converter of file audio: MP3 read from the
// demux service is decoded into a PCM store, which is encoded one AAC
// frame per request.
#include "AVIFileParser.hh"
#include "AVIFileParserShared.hh"

#include "yvk_audio_codec.h"
#include "yvk_demux.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCodecMp3 = 1;
constexpr int kCodecAac = 2;
constexpr size_t kChunkBytes = 8192;
constexpr size_t kPcmStoreBytes = 0xA00000;
// Decoded PCM is moved back to the start of the store once the write
// position comes this close to its end.
constexpr size_t kCompactMargin = 0x100000;
constexpr int kMaxDecodeCalls = 10;
constexpr int32_t kEncoderBitRate = 48000;
constexpr int kDefaultFrameBytes = 2048;

struct AudioConverter {
    int inCodec = kCodecMp3;
    int outCodec = kCodecAac;
    bool active = false;
    int channels = 0;
    int sampleRate = 0;
    void* decoder = nullptr;
    void* encoder = nullptr;
    unsigned char* input = nullptr;
    unsigned char* output = nullptr;
    unsigned char* pcm = nullptr;
    size_t readPos = 0;
    size_t writePos = 0;
    int frameBytes = kDefaultFrameBytes;
    bool decoding = false;
    bool restart = false;
};

AudioConverter gConv;

bool createMissing() {
    if (gConv.input == nullptr) gConv.input = static_cast<unsigned char*>(std::calloc(1, kChunkBytes));
    if (gConv.output == nullptr) gConv.output = static_cast<unsigned char*>(std::calloc(1, kChunkBytes));
    if (gConv.decoder == nullptr && gConv.inCodec == kCodecMp3) gConv.decoder = YVK_MP3_DecNew(nullptr, nullptr);
    if (gConv.pcm == nullptr) {
        gConv.pcm = static_cast<unsigned char*>(std::malloc(kPcmStoreBytes));
        gConv.readPos = gConv.writePos = 0;
        gConv.decoding = true;
    }
    if (gConv.encoder == nullptr && gConv.outCodec == kCodecAac) {
        YVK_AudioFormat format{gConv.channels, gConv.sampleRate, 16, 0};
        YVK_AudioEncSettings settings{};
        settings.bitRate = kEncoderBitRate;
        gConv.encoder = YVK_AAC_EncNew(&format, &settings);
        gConv.frameBytes = format.frameSamples > 0 ? format.frameSamples * 2 : kDefaultFrameBytes;
    }
    bool ready = gConv.input != nullptr && gConv.output != nullptr && gConv.pcm != nullptr && gConv.decoder != nullptr &&
                 gConv.encoder != nullptr;
    if (!ready) AVI_TRACE(YVK_TRACE_ERROR, "audio converter not available\n");
    return ready;
}

void compactStore() {
    if (gConv.writePos + kCompactMargin < kPcmStoreBytes) return;
    size_t pending = gConv.writePos - gConv.readPos;
    std::memmove(gConv.pcm, gConv.pcm + gConv.readPos, pending);
    gConv.readPos = 0;
    gConv.writePos = pending;
}

// Decodes MP3 until some PCM comes out (the decoder keeps partial frames
// and takes all input it is given, so every call gets a fresh chunk).
void decodeSome(void* handle) {
    compactStore();
    for (int call = 0; call < kMaxDecodeCalls; ++call) {
        int size = static_cast<int>(kChunkBytes);
        YVK_StreamerDemuxReadAudio(handle, gConv.input, &size);
        if (size <= 0) {
            gConv.decoding = false;  // end of the file's audio
            return;
        }
        YVK_AudioCoded in{gConv.input, size};
        YVK_AudioPcm out{gConv.pcm + gConv.writePos, 0, static_cast<int32_t>(kPcmStoreBytes - gConv.writePos)};
        int samples = YVK_MP3_Decode(gConv.decoder, &in, &out, nullptr);
        if (samples > 0) {
            gConv.writePos += static_cast<size_t>(samples) * 2;
            return;
        }
        if (samples < 0) {
            AVI_TRACE(YVK_TRACE_ERROR, "MP3 decoding failed (%d)\n", samples);
            gConv.decoding = false;
            return;
        }
    }
    gConv.decoding = false;
}

} // namespace

int AviFileParser::audioConvInit(int channels, int sampleRate, int, int inCodec, int outCodec) {
    gConv.inCodec = inCodec;
    gConv.outCodec = outCodec;
    gConv.channels = channels;
    gConv.sampleRate = sampleRate;
    gConv.active = true;
    return 0;
}

int AviFileParser::audioConvConvert(void* handle, unsigned char* out, int* outSize) {
    if (outSize != nullptr) *outSize = 0;
    if (!gConv.active || out == nullptr || !createMissing()) return 0;
    if (gConv.restart) {
        gConv.decoding = true;
        gConv.readPos = gConv.writePos = 0;
        gConv.restart = false;
    }
    if (gConv.decoding) decodeSome(handle);
    if (gConv.outCodec != kCodecAac) return 0;
    auto frameBytes = static_cast<size_t>(gConv.frameBytes);
    // A frame is taken only from PCM that is all decoded already.
    if (gConv.writePos <= gConv.readPos + frameBytes) return 0;
    YVK_AudioPcm in{gConv.pcm + gConv.readPos, 0, static_cast<int32_t>(frameBytes)};
    YVK_AudioCoded coded{gConv.output, static_cast<int32_t>(kChunkBytes)};
    int size = YVK_AAC_Encode(gConv.encoder, &in, &coded, 0);
    gConv.readPos += frameBytes;
    if (size <= 0) return 0;
    std::memcpy(out, gConv.output, static_cast<size_t>(size));
    if (outSize != nullptr) *outSize = size;
    return size;
}

int AviFileParser::audioConvReset() {
    if (gConv.active) gConv.restart = true;
    return 0;
}

int AviFileParser::audioConvIsActive() { return gConv.active ? 1 : 0; }

int AviFileParser::audioConvGetOutCodec() { return gConv.outCodec; }

void AviFileParser::audioConvDeinit() {
    std::free(gConv.output);
    std::free(gConv.pcm);
    std::free(gConv.input);
    gConv.output = gConv.pcm = gConv.input = nullptr;
    if (gConv.decoder != nullptr) YVK_MP3_DecFree(gConv.decoder);
    if (gConv.encoder != nullptr) YVK_AAC_EncFree(gConv.encoder);
    gConv.decoder = gConv.encoder = nullptr;
    gConv.readPos = gConv.writePos = 0;
}
