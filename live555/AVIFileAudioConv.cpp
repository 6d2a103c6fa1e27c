// The process-wide MP3 to AAC converter of file audio: MP3 read from the
// demux service is decoded into a small PCM store, which is encoded one AAC
// frame per request.
//
// Bounds, for a file of any length: MP3 is read and decoded only while the
// store holds less than one AAC frame, and the decoder is drained before
// more MP3 is read.  So the store holds less than one AAC frame plus one
// decode's output (never more than kPcmStoreBytes, 64 KiB), the decoder
// keeps at most the PCM of one MP3 read that did not fit the store, and the
// MP3 read position stays within a frame or two of what has been encoded.
// A restart (seek, video track switch) empties the store and starts a fresh
// decoder and encoder, so no audio from before it reaches the client.
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
constexpr size_t kPcmStoreBytes = 0x10000;
constexpr int kMaxReadsPerFrame = 10;  // MP3 reads that may yield no PCM in a row
constexpr int kMaxEncodeTries = 4;     // the encoder's look-ahead swallows the first frame or two
constexpr int32_t kEncoderBitRatePerChannel = 48000;
constexpr int kAacFrameSamples = 1024;

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
    size_t frameBytes = 0;  // PCM of one AAC frame
    bool decoding = false;
    bool restart = false;
    bool formatTraced = false;
    uint64_t movedBytes = 0;
    uint64_t frames = 0;

    size_t stored() const { return writePos - readPos; }
};

AudioConverter gConv;

void* newEncoder(size_t* frameBytes) {
    YVK_AudioFormat format{gConv.channels, gConv.sampleRate, 16, 0};
    YVK_AudioEncSettings settings{};
    settings.bitRate = kEncoderBitRatePerChannel * (gConv.channels > 1 ? gConv.channels : 1);
    void* encoder = YVK_AAC_EncNew(&format, &settings);
    int samples = format.frameSamples > 0 ? format.frameSamples : kAacFrameSamples * gConv.channels;
    if (frameBytes != nullptr) *frameBytes = static_cast<size_t>(samples) * 2;
    return encoder;
}

void freeCodecs() {
    if (gConv.decoder != nullptr) YVK_MP3_DecFree(gConv.decoder);
    if (gConv.encoder != nullptr) YVK_AAC_EncFree(gConv.encoder);
    gConv.decoder = gConv.encoder = nullptr;
}

bool createMissing() {
    if (gConv.input == nullptr) gConv.input = static_cast<unsigned char*>(std::calloc(1, kChunkBytes));
    if (gConv.output == nullptr) gConv.output = static_cast<unsigned char*>(std::calloc(1, kChunkBytes));
    if (gConv.decoder == nullptr && gConv.inCodec == kCodecMp3) gConv.decoder = YVK_MP3_DecNew(nullptr, nullptr);
    if (gConv.pcm == nullptr) {
        gConv.pcm = static_cast<unsigned char*>(std::malloc(kPcmStoreBytes));
        gConv.readPos = gConv.writePos = 0;
        gConv.decoding = true;
    }
    if (gConv.encoder == nullptr && gConv.outCodec == kCodecAac) gConv.encoder = newEncoder(&gConv.frameBytes);
    bool ready = gConv.input != nullptr && gConv.output != nullptr && gConv.pcm != nullptr && gConv.decoder != nullptr &&
                 gConv.encoder != nullptr && gConv.frameBytes > 0 && gConv.frameBytes <= kPcmStoreBytes / 2;
    if (!ready) {
        const char* missing = gConv.decoder == nullptr   ? "no MP3 decoder"
                              : gConv.encoder == nullptr ? "no AAC encoder"
                                                         : "no buffers";
        AVI_TRACE(YVK_TRACE_ERROR, "audio converter not available: %s\n", missing);
    }
    return ready;
}

void restartNow() {
    freeCodecs();
    gConv.readPos = gConv.writePos = 0;
    gConv.decoding = true;
    gConv.restart = false;
}

// What is left of the store (less than one frame) moves to its start.
void compactStore() {
    if (gConv.readPos == 0) return;
    size_t pending = gConv.stored();
    std::memmove(gConv.pcm, gConv.pcm + gConv.readPos, pending);
    gConv.movedBytes += pending;
    gConv.readPos = 0;
    gConv.writePos = pending;
}

// Decodes into the free part of the store; false on a decoder error.
bool decodeChunk(const unsigned char* data, int size) {
    YVK_AudioCoded in{const_cast<unsigned char*>(data), size};
    YVK_AudioPcm out{gConv.pcm + gConv.writePos, 0, static_cast<int32_t>(kPcmStoreBytes - gConv.writePos)};
    YVK_AudioFormat format{};
    int samples = YVK_MP3_Decode(gConv.decoder, &in, &out, &format);
    if (samples < 0) {
        AVI_TRACE(YVK_TRACE_ERROR, "MP3 decoding failed (%d)\n", samples);
        return false;
    }
    if (format.channels > 0 && (format.channels != gConv.channels || format.sampleRate != gConv.sampleRate) &&
        !gConv.formatTraced) {
        AVI_TRACE(YVK_TRACE_ERROR, "MP3 stream is %d Hz %d ch, the file said %d Hz %d ch\n", format.sampleRate,
                  format.channels, gConv.sampleRate, gConv.channels);
        gConv.formatTraced = true;
    }
    gConv.writePos += static_cast<size_t>(samples) * 2;
    return true;
}

// Fills the store up to one AAC frame: first from what the decoder holds,
// then by reading MP3.  False when the file's audio (or the decoder) ended.
bool fillOneFrame(void* handle) {
    compactStore();
    if (!decodeChunk(nullptr, 0)) gConv.decoding = false;
    for (int read = 0; read < kMaxReadsPerFrame && gConv.decoding && gConv.stored() < gConv.frameBytes; ++read) {
        int size = static_cast<int>(kChunkBytes);
        int result = YVK_StreamerDemuxReadAudio(handle, gConv.input, &size);
        if (result < 0) {
            AVI_TRACE(YVK_TRACE_ERROR, "MP3 block larger than %d bytes skipped\n", static_cast<int>(kChunkBytes));
            continue;
        }
        if (size <= 0) {
            gConv.decoding = false;  // end of the file's audio
            break;
        }
        if (!decodeChunk(gConv.input, size)) gConv.decoding = false;
    }
    return gConv.stored() >= gConv.frameBytes;
}

} // namespace

int AviFileParser::audioConvInit(int channels, int sampleRate, int, int inCodec, int outCodec) {
    gConv.inCodec = inCodec;
    gConv.outCodec = outCodec;
    gConv.channels = channels;
    gConv.sampleRate = sampleRate;
    gConv.formatTraced = false;
    // The SDP announces this rate and channel count: the encoder must take them.
    if (outCodec == kCodecAac) {
        void* probe = newEncoder(nullptr);
        if (probe == nullptr) {
            AVI_TRACE(YVK_TRACE_ERROR, "AAC encoder refuses %d Hz %d ch\n", sampleRate, channels);
            gConv.active = false;
            return -1;
        }
        YVK_AAC_EncFree(probe);
    }
    gConv.active = true;
    return 0;
}

int AviFileParser::audioConvConvert(void* handle, unsigned char* out, int* outSize) {
    if (outSize != nullptr) *outSize = 0;
    if (!gConv.active || out == nullptr) return 0;
    if (gConv.restart) restartNow();
    if (!createMissing() || gConv.outCodec != kCodecAac) return 0;
    for (int attempt = 0; attempt < kMaxEncodeTries; ++attempt) {
        if (gConv.stored() < gConv.frameBytes && !fillOneFrame(handle)) return 0;
        YVK_AudioPcm in{gConv.pcm + gConv.readPos, 0, static_cast<int32_t>(gConv.frameBytes)};
        YVK_AudioCoded coded{gConv.output, static_cast<int32_t>(kChunkBytes)};
        int size = YVK_AAC_Encode(gConv.encoder, &in, &coded, 0);
        gConv.readPos += gConv.frameBytes;
        if (size > 0) {
            std::memcpy(out, gConv.output, static_cast<size_t>(size));
            if (outSize != nullptr) *outSize = size;
            ++gConv.frames;
            return size;
        }
    }
    return 0;
}

int AviFileParser::audioConvReset() {
    if (gConv.active) gConv.restart = true;
    return 0;
}

int AviFileParser::audioConvIsActive() { return gConv.active ? 1 : 0; }

int AviFileParser::audioConvGetOutCodec() { return gConv.outCodec; }

int AviFileParser::audioConvSampleRate() { return gConv.sampleRate; }

int AviFileParser::audioConvChannels() { return gConv.channels; }

AviFileParser::AudioConvStats AviFileParser::audioConvStats() {
    return AudioConvStats{gConv.pcm != nullptr ? gConv.stored() : 0, kPcmStoreBytes, gConv.frameBytes,
                          gConv.movedBytes, gConv.frames};
}

void AviFileParser::audioConvDeinit() {
    std::free(gConv.output);
    std::free(gConv.pcm);
    std::free(gConv.input);
    gConv.output = gConv.pcm = gConv.input = nullptr;
    freeCodecs();
    gConv.readPos = gConv.writePos = 0;
    gConv.restart = false;
}
