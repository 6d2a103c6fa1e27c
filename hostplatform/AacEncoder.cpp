// The device's AAC encoder on a Linux host: libavcodec's native AAC-LC
// encoder, fed with interleaved PCM converted to planar float.
#include "yvk_audio_codec.h"
#include "yvk_system.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <cstring>
#include <new>

#define YVK_TRACE_MODULE "aac-enc"

static_assert(sizeof(YVK_AudioFormat) == 16, "format record is 16 bytes");
static_assert(sizeof(YVK_AudioEncSettings) == 84, "settings record is 84 bytes");

namespace {

constexpr int kAdtsHeaderSize = 7;
// libavcodec's encoder may exceed the 768 bytes per channel of the AAC
// buffer model for a frame or two (bit reservoir); its own packets are
// sized for 8192 bytes per channel.
constexpr int kMaxAacFrameBytesPerChannel = 8192;
constexpr int kDefaultBitRate = 96000;
constexpr int kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

int sampleRateIndex(int rate) {
    for (int i = 0; i < static_cast<int>(sizeof kSampleRates / sizeof kSampleRates[0]); ++i) {
        if (kSampleRates[i] == rate) return i;
    }
    return -1;
}

struct AacEncoder {
    AVCodecContext* fContext = nullptr;
    AVFrame* fFrame = nullptr;
    AVPacket* fPacket = nullptr;
    int fChannels = 0;
    int fBytesPerSample = 0;
    int fRateIndex = 0;
    bool fAdts = false;
    int64_t fNextPts = 0;

    ~AacEncoder() {
        av_packet_free(&fPacket);
        av_frame_free(&fFrame);
        avcodec_free_context(&fContext);
    }

    int frameInputBytes() const { return fContext->frame_size * fChannels * fBytesPerSample; }
    int maxOutputSize() const { return kMaxAacFrameBytesPerChannel * fChannels + (fAdts ? kAdtsHeaderSize : 0); }

    bool open(const YVK_AudioFormat& format, const YVK_AudioEncSettings& settings);
    void fillFrame(const uint8_t* pcm, int bytes);
    int encode(const uint8_t* pcm, int bytes, uint8_t* out, int capacity);
    void writeAdtsHeader(uint8_t* out, int frameLength) const;
};

bool AacEncoder::open(const YVK_AudioFormat& format, const YVK_AudioEncSettings& settings) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    fContext = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    fFrame = av_frame_alloc();
    fPacket = av_packet_alloc();
    if (fContext == nullptr || fFrame == nullptr || fPacket == nullptr) return false;
    fChannels = format.channels;
    fBytesPerSample = format.bitsPerSample / 8;
    fAdts = settings.adts != 0;
    fRateIndex = sampleRateIndex(format.sampleRate);
    fContext->sample_fmt = AV_SAMPLE_FMT_FLTP;
    fContext->sample_rate = format.sampleRate;
    fContext->bit_rate = settings.bitRate > 0 ? settings.bitRate : kDefaultBitRate;
    fContext->profile = AV_PROFILE_AAC_LOW;
    av_channel_layout_default(&fContext->ch_layout, fChannels);
    if (avcodec_open2(fContext, codec, nullptr) < 0) return false;
    fFrame->format = AV_SAMPLE_FMT_FLTP;
    fFrame->nb_samples = fContext->frame_size;
    fFrame->sample_rate = format.sampleRate;
    if (av_channel_layout_copy(&fFrame->ch_layout, &fContext->ch_layout) < 0) return false;
    return av_frame_get_buffer(fFrame, 0) >= 0;
}

// Interleaved PCM of the configured width to planar float; what the block
// lacks of a whole frame is silence.
void AacEncoder::fillFrame(const uint8_t* pcm, int bytes) {
    int frames = bytes / (fChannels * fBytesPerSample);
    for (int channel = 0; channel < fChannels; ++channel) {
        auto* plane = reinterpret_cast<float*>(fFrame->extended_data[channel]);
        for (int i = 0; i < fFrame->nb_samples; ++i) {
            float value = 0.0f;
            if (i < frames) {
                const uint8_t* s = pcm + (i * fChannels + channel) * fBytesPerSample;
                switch (fBytesPerSample) {
                case 1: value = (static_cast<int>(s[0]) - 128) / 128.0f; break;
                case 2: value = static_cast<int16_t>(s[0] | s[1] << 8) / 32768.0f; break;
                default: {
                    int32_t v = static_cast<int32_t>(static_cast<uint32_t>(s[0]) << 8 | static_cast<uint32_t>(s[1]) << 16 |
                                                     static_cast<uint32_t>(s[2]) << 24) >> 8;
                    value = v / 8388608.0f;
                }
                }
            }
            plane[i] = value;
        }
    }
}

void AacEncoder::writeAdtsHeader(uint8_t* out, int frameLength) const {
    const int objectTypeMinusOne = 1; // AAC-LC
    out[0] = 0xFF;
    out[1] = 0xF1; // MPEG-4, no CRC
    out[2] = static_cast<uint8_t>(objectTypeMinusOne << 6 | fRateIndex << 2 | (fChannels >> 2 & 1));
    out[3] = static_cast<uint8_t>((fChannels & 3) << 6 | (frameLength >> 11 & 3));
    out[4] = static_cast<uint8_t>(frameLength >> 3 & 0xFF);
    out[5] = static_cast<uint8_t>((frameLength & 7) << 5 | 0x1F);
    out[6] = 0xFC;
}

int AacEncoder::encode(const uint8_t* pcm, int bytes, uint8_t* out, int capacity) {
    if (av_frame_make_writable(fFrame) < 0) return 0;
    fillFrame(pcm, bytes);
    fFrame->pts = fNextPts;
    fNextPts += fFrame->nb_samples;
    if (avcodec_send_frame(fContext, fFrame) < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "the encoder refused a frame\n");
        return 0;
    }
    // The encoder's look-ahead holds back the first frames: no packet yet.
    if (avcodec_receive_packet(fContext, fPacket) < 0) return 0;
    int header = fAdts ? kAdtsHeaderSize : 0;
    int length = fPacket->size + header;
    int written = 0;
    if (length > capacity) {
        YVK_TRACE(YVK_TRACE_ERROR, "AAC frame of %d bytes does not fit into %d bytes\n", length, capacity);
    } else {
        if (fAdts) writeAdtsHeader(out, length);
        std::memcpy(out + header, fPacket->data, static_cast<size_t>(fPacket->size));
        written = length;
    }
    av_packet_unref(fPacket);
    return written;
}

bool formatIsUsable(const YVK_AudioFormat& format) {
    bool widthOk = format.bitsPerSample == 8 || format.bitsPerSample == 16 || format.bitsPerSample == 24;
    if (format.channels < 1 || format.channels > 2 || !widthOk || sampleRateIndex(format.sampleRate) < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "unsupported PCM input: %d channels, %d Hz, %d bits\n", format.channels,
                  format.sampleRate, format.bitsPerSample);
        return false;
    }
    return true;
}

} // namespace

extern "C" void* YVK_AAC_EncNew(YVK_AudioFormat* format, YVK_AudioEncSettings* settings) {
    if (format == nullptr || settings == nullptr || !formatIsUsable(*format)) return nullptr;
    auto* encoder = new (std::nothrow) AacEncoder;
    if (encoder == nullptr || !encoder->open(*format, *settings)) {
        YVK_TRACE(YVK_TRACE_ERROR, "cannot open libavcodec's AAC encoder\n");
        delete encoder;
        return nullptr;
    }
    format->frameSamples = encoder->frameInputBytes() / 2;
    settings->maxOutputSize = encoder->maxOutputSize();
    return encoder;
}

extern "C" int YVK_AAC_Encode(void* handle, const YVK_AudioPcm* input, const YVK_AudioCoded* output, int /*flags*/) {
    auto* encoder = static_cast<AacEncoder*>(handle);
    if (encoder == nullptr || input == nullptr || output == nullptr || output->data == nullptr) return 0;
    if (output->size <= 0) return 0;
    if (input->size < 0 || (input->size > 0 && input->data == nullptr)) return 0;
    if (input->size > encoder->frameInputBytes()) {
        YVK_TRACE(YVK_TRACE_ERROR, "PCM block of %d bytes is longer than one frame (%d bytes)\n", input->size,
                  encoder->frameInputBytes());
        return 0;
    }
    return encoder->encode(input->data, input->size, output->data, output->size);
}

extern "C" void YVK_AAC_EncFree(void* handle) {
    delete static_cast<AacEncoder*>(handle);
}

extern "C" void YVK_MP3_EncFree(void* handle) {
    // This library makes no MP3 encoder; a handle from elsewhere is not ours.
    if (handle != nullptr) YVK_TRACE(YVK_TRACE_ERROR, "no MP3 encoder exists in this library\n");
}
