#include "MediaInput.hh"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "yvk_system.h"

#include <cstdlib>

namespace yvk::host {

void quietFfmpeg() {
    // FFmpeg's own chatter (libx264 statistics and the like) only when the
    // trace level asks for debug lines.
    static const bool done = [] {
        const char* level = std::getenv("YVK_TRACE_LEVEL");
        av_log_set_level(level != nullptr && std::atoi(level) >= YVK_TRACE_DEBUG ? AV_LOG_INFO : AV_LOG_ERROR);
        return true;
    }();
    (void)done;
}

std::string avError(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

MediaInput::~MediaInput() {
    if (fContext != nullptr) avformat_close_input(&fContext);
}

// Opens the container without reading its stream information.
bool MediaInput::openContainer(const std::string& fileName, const char* module) {
    quietFfmpeg();
    int err = avformat_open_input(&fContext, fileName.c_str(), nullptr, nullptr);
    if (err < 0) {
        YVK_Trace(module, YVK_TRACE_ERROR, __FILE__, __LINE__, __func__, "cannot open (%s): %s\n",
                  fileName.c_str(), avError(err).c_str());
        fContext = nullptr;
        return false;
    }
    return true;
}

bool MediaInput::open(const std::string& fileName, const char* module) {
    if (!openContainer(fileName, module)) return false;
    int err = avformat_find_stream_info(fContext, nullptr);
    if (err < 0) {
        YVK_Trace(module, YVK_TRACE_ERROR, __FILE__, __LINE__, __func__, "no stream information in (%s): %s\n",
                  fileName.c_str(), avError(err).c_str());
        avformat_close_input(&fContext);
        return false;
    }
    return true;
}

bool MediaInput::openLike(const MediaInput& probed, const std::string& fileName, const char* module) {
    if (probed.fContext == nullptr) return open(fileName, module);
    if (!openContainer(fileName, module)) return false;
    if (sameStreamsAs(probed)) {
        fProbed = &probed;
        return true;
    }
    // A container that finds its streams as it reads (MPEG-TS): probed
    // afresh, as the first open was.
    avformat_close_input(&fContext);
    return open(fileName, module);
}

bool MediaInput::sameStreamsAs(const MediaInput& probed) const {
    if ((fContext->ctx_flags & AVFMTCTX_NOHEADER) != 0 || fContext->nb_streams != probed.fContext->nb_streams)
        return false;
    for (unsigned i = 0; i < fContext->nb_streams; ++i) {
        const AVStream* ours = fContext->streams[i];
        const AVStream* theirs = probed.fContext->streams[i];
        if (ours->codecpar->codec_type != theirs->codecpar->codec_type ||
            ours->codecpar->codec_id != theirs->codecpar->codec_id ||
            av_cmp_q(ours->time_base, theirs->time_base) != 0)
            return false;
    }
    return true;
}

const AVCodecParameters* MediaInput::parameters() const {
    return fProbed != nullptr ? fProbed->fContext->streams[fStream]->codecpar : stream()->codecpar;
}

bool MediaInput::select(int streamIndex) {
    if (fContext == nullptr || streamIndex < 0 || streamIndex >= static_cast<int>(fContext->nb_streams)) return false;
    fStream = streamIndex;
    for (unsigned i = 0; i < fContext->nb_streams; ++i) {
        fContext->streams[i]->discard = static_cast<int>(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    return true;
}

bool MediaInput::readPacket(AVPacket* pkt) {
    // Other streams are discarded, but some demuxers still return them.
    while (av_read_frame(fContext, pkt) >= 0) {
        if (pkt->stream_index == fStream) return true;
        av_packet_unref(pkt);
    }
    return false;
}

bool MediaInput::seekMs(int64_t positionMs) {
    AVStream* st = stream();
    int64_t targetMs = positionMs + originMs();
    int64_t target = av_rescale_q(targetMs, AVRational{1, 1000}, st->time_base);
    if (av_seek_frame(fContext, fStream, target, AVSEEK_FLAG_BACKWARD) >= 0) return true;
    // Some containers index only one stream: seek the file by time instead.
    int64_t global = av_rescale(targetMs, AV_TIME_BASE, 1000);
    return avformat_seek_file(fContext, -1, INT64_MIN, global, global, 0) >= 0;
}

int64_t MediaInput::originMs() const {
    if (fProbed != nullptr) return fProbed->originMs();
    // Timestamps count from the file's start when that is late (MPEG-TS),
    // else from 0, so that tracks starting with an encoder delay keep their
    // place beside the others.
    int64_t start = fContext->start_time;
    return start != AV_NOPTS_VALUE && start > 0 ? av_rescale(start, 1000, AV_TIME_BASE) : 0;
}

uint64_t MediaInput::toMs(int64_t timestamp) const {
    if (timestamp == AV_NOPTS_VALUE) return 0;
    int64_t ms = av_rescale_q(timestamp, stream()->time_base, AVRational{1, 1000}) - originMs();
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}

std::vector<int> MediaInput::videoStreams() const {
    std::vector<int> out;
    for (unsigned i = 0; i < fContext->nb_streams; ++i) {
        const AVStream* st = fContext->streams[i];
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
        AVCodecID id = st->codecpar->codec_id;
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && (id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC))
            out.push_back(static_cast<int>(i));
    }
    return out;
}

std::vector<int> MediaInput::audioStreams() const {
    std::vector<int> out;
    for (unsigned i = 0; i < fContext->nb_streams; ++i) {
        const AVCodecParameters* par = fContext->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && avcodec_find_decoder(par->codec_id) != nullptr)
            out.push_back(static_cast<int>(i));
    }
    return out;
}

std::vector<int> MediaInput::textStreams() const {
    std::vector<int> out;
    for (unsigned i = 0; i < fContext->nb_streams; ++i) {
        const AVCodecParameters* par = fContext->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
        const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
        if (desc != nullptr && (desc->props & AV_CODEC_PROP_TEXT_SUB)) out.push_back(static_cast<int>(i));
    }
    return out;
}

int64_t MediaInput::durationMs(int streamIndex) const {
    const AVStream* st = fContext->streams[streamIndex];
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        return av_rescale_q(st->duration, st->time_base, AVRational{1, 1000});
    if (fContext->duration != AV_NOPTS_VALUE && fContext->duration > 0)
        return av_rescale(fContext->duration, 1000, AV_TIME_BASE);
    return 0;
}

} // namespace yvk::host
