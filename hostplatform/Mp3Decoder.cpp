// The MP3 decoder of the audio codec library on libavcodec: any chunking of
// an MP3 stream goes through the MP3 parser, decoded frames are converted to
// interleaved 16-bit PCM, and what does not fit the caller's buffer waits for
// the next call.
#include "yvk_audio_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
}

#include "MediaInput.hh"
#include "yvk_system.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#define YVK_TRACE_MODULE "mp3dec"

namespace yvk::host {
namespace {

class Mp3Decoder {
public:
    static Mp3Decoder* create() {
        auto* d = new (std::nothrow) Mp3Decoder();
        if (d == nullptr) return nullptr;
        if (!d->init()) {
            delete d;
            return nullptr;
        }
        return d;
    }

    ~Mp3Decoder() {
        av_parser_close(fParser);
        avcodec_free_context(&fCodec);
        swr_free(&fResampler);
        av_frame_free(&fFrame);
        av_packet_free(&fPacket);
    }

    int decode(const YVK_AudioCoded* input, const YVK_AudioPcm* output, YVK_AudioFormat* formatOut) {
        if (output == nullptr || output->data == nullptr || output->size < 0) {
            YVK_TRACE(YVK_TRACE_ERROR, "no output buffer\n");
            return -1;
        }
        if (input != nullptr && input->data != nullptr && input->size > 0) {
            if (!consume(input->data, input->size)) return -1;
        }
        if (formatOut != nullptr && fChannels > 0) {
            formatOut->channels = fChannels;
            formatOut->sampleRate = fSampleRate;
            formatOut->bitsPerSample = 16;
            formatOut->frameSamples = fFrameSamples;
        }
        return drain(output);
    }

private:
    Mp3Decoder() = default;

    bool init() {
        quietFfmpeg();
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
        fParser = av_parser_init(AV_CODEC_ID_MP3);
        fCodec = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        fFrame = av_frame_alloc();
        fPacket = av_packet_alloc();
        if (fParser == nullptr || fCodec == nullptr || fFrame == nullptr || fPacket == nullptr ||
            avcodec_open2(fCodec, codec, nullptr) < 0) {
            YVK_TRACE(YVK_TRACE_ERROR, "no MP3 decoder in libavcodec\n");
            return false;
        }
        return true;
    }

    // libavcodec's parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past
    // the data it is given, so it parses a padded copy of the caller's chunk.
    bool consume(const uint8_t* input, int size) {
        fInput.assign(input, input + size);
        fInput.resize(fInput.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        const uint8_t* data = fInput.data();
        while (size > 0) {
            uint8_t* frame = nullptr;
            int frameSize = 0;
            int used = av_parser_parse2(fParser, fCodec, &frame, &frameSize, data, size, AV_NOPTS_VALUE,
                                        AV_NOPTS_VALUE, 0);
            if (used < 0) {
                YVK_TRACE(YVK_TRACE_ERROR, "MP3 parser failed\n");
                return false;
            }
            data += used;
            size -= used;
            if (frameSize > 0 && !decodeFrame(frame, frameSize)) return false;
            if (used == 0 && frameSize == 0) break;
        }
        return true;
    }

    bool decodeFrame(uint8_t* data, int size) {
        fPacket->data = data;
        fPacket->size = size;
        int err = avcodec_send_packet(fCodec, fPacket);
        if (err < 0) {
            // One damaged frame is skipped, as a player would.
            YVK_TRACE(YVK_TRACE_INFO, "MP3 frame of %d bytes not decodable\n", size);
            return true;
        }
        while (avcodec_receive_frame(fCodec, fFrame) == 0) {
            bool ok = convert();
            av_frame_unref(fFrame);
            if (!ok) return false;
        }
        return true;
    }

    bool convert() {
        if (fResampler == nullptr) {
            if (swr_alloc_set_opts2(&fResampler, &fFrame->ch_layout, AV_SAMPLE_FMT_S16, fFrame->sample_rate,
                                    &fFrame->ch_layout, static_cast<AVSampleFormat>(fFrame->format),
                                    fFrame->sample_rate, 0, nullptr) < 0 ||
                swr_init(fResampler) < 0) {
                YVK_TRACE(YVK_TRACE_ERROR, "cannot convert MP3 output to 16-bit PCM\n");
                return false;
            }
            fChannels = fFrame->ch_layout.nb_channels;
            fSampleRate = fFrame->sample_rate;
        }
        if (fFrame->ch_layout.nb_channels != fChannels || fFrame->sample_rate != fSampleRate) {
            YVK_TRACE(YVK_TRACE_ERROR, "MP3 stream changed format mid-stream, frame dropped\n");
            return true;
        }
        fFrameSamples = fFrame->nb_samples;
        int maxOut = swr_get_out_samples(fResampler, fFrame->nb_samples);
        if (maxOut <= 0) return true;
        size_t old = fPending.size();
        size_t frameBytes = 2 * static_cast<size_t>(fChannels);
        fPending.resize(old + static_cast<size_t>(maxOut) * frameBytes);
        uint8_t* out = fPending.data() + old;
        int done = swr_convert(fResampler, &out, maxOut, const_cast<const uint8_t**>(fFrame->extended_data),
                               fFrame->nb_samples);
        fPending.resize(old + static_cast<size_t>(std::max(done, 0)) * frameBytes);
        return true;
    }

    // Whole sample frames that fit the output; the count of 16-bit samples.
    int drain(const YVK_AudioPcm* output) {
        size_t frameBytes = 2 * static_cast<size_t>(std::max(fChannels, 1));
        size_t take = std::min(fPending.size(), static_cast<size_t>(output->size) / frameBytes * frameBytes);
        if (take == 0) return 0;
        std::memcpy(output->data, fPending.data(), take);
        fPending.erase(fPending.begin(), fPending.begin() + static_cast<std::ptrdiff_t>(take));
        return static_cast<int>(take / 2);
    }

    AVCodecParserContext* fParser = nullptr;
    AVCodecContext* fCodec = nullptr;
    SwrContext* fResampler = nullptr;
    AVFrame* fFrame = nullptr;
    AVPacket* fPacket = nullptr;
    std::vector<uint8_t> fInput;    // the chunk being parsed, padded
    std::vector<uint8_t> fPending;
    int fChannels = 0;
    int fSampleRate = 0;
    int fFrameSamples = 0;
};

} // namespace
} // namespace yvk::host

extern "C" {

void* YVK_MP3_DecNew(const YVK_AudioFormat* /*format*/, const void* /*settings*/) {
    return yvk::host::Mp3Decoder::create();
}

int YVK_MP3_Decode(void* decoder, const YVK_AudioCoded* input, const YVK_AudioPcm* output,
                   YVK_AudioFormat* formatOut) {
    if (decoder == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no decoder\n");
        return -1;
    }
    return static_cast<yvk::host::Mp3Decoder*>(decoder)->decode(input, output, formatOut);
}

void YVK_MP3_DecFree(void* decoder) { delete static_cast<yvk::host::Mp3Decoder*>(decoder); }

} // extern "C"
