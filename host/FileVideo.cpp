#include "FileVideo.hh"

#include <algorithm>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

FileVideo::~FileVideo() {
    av_bsf_free(&fBsf);
    av_packet_free(&fPacket);
    avformat_close_input(&fFormat);
}

bool FileVideo::open(const std::string& path, std::string& error) {
    if (avformat_open_input(&fFormat, path.c_str(), nullptr, nullptr) < 0) {
        error = "cannot open " + path;
        return false;
    }
    if (avformat_find_stream_info(fFormat, nullptr) < 0) {
        error = "cannot read the streams of " + path;
        return false;
    }
    fStream = av_find_best_stream(fFormat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (fStream < 0) {
        error = path + " has no video";
        return false;
    }
    AVStream* stream = fFormat->streams[fStream];
    AVCodecID id = stream->codecpar->codec_id;
    if (id != AV_CODEC_ID_H264 && id != AV_CODEC_ID_HEVC) {
        error = path + ": the video is neither H.264 nor H.265";
        return false;
    }
    fH265 = id == AV_CODEC_ID_HEVC;
    fWidth = stream->codecpar->width;
    fHeight = stream->codecpar->height;
    AVRational rate = av_guess_frame_rate(fFormat, stream, nullptr);
    if (rate.num > 0 && rate.den > 0) fFps = std::max(1, static_cast<int>(av_q2d(rate) + 0.5));
    fFrameUs = 1000000 / fFps;
    const AVBitStreamFilter* filter = av_bsf_get_by_name(fH265 ? "hevc_mp4toannexb" : "h264_mp4toannexb");
    if (filter == nullptr || av_bsf_alloc(filter, &fBsf) < 0 ||
        avcodec_parameters_copy(fBsf->par_in, stream->codecpar) < 0) {
        error = "no Annex-B converter";
        return false;
    }
    fBsf->time_base_in = stream->time_base;
    if (av_bsf_init(fBsf) < 0) {
        error = "cannot start the Annex-B converter";
        return false;
    }
    fPacket = av_packet_alloc();
    fFilter = std::make_unique<AccessUnitFilter>(fH265);
    return true;
}

bool FileVideo::rewind() {
    if (fEmptyLoop) return false; // a file without a single usable unit
    fEmptyLoop = true;
    fLoopOffsetUs = fLastUs + fFrameUs;
    fUnstampedUs = 0;
    av_bsf_flush(fBsf);
    // A raw stream has no times to seek by, only bytes.
    return av_seek_frame(fFormat, fStream, 0, AVSEEK_FLAG_BACKWARD) >= 0 ||
           avformat_seek_file(fFormat, -1, INT64_MIN, 0, INT64_MAX, 0) >= 0 ||
           av_seek_frame(fFormat, fStream, 0, AVSEEK_FLAG_BYTE) >= 0;
}

bool FileVideo::next(std::vector<uint8_t>& accessUnit, bool& key, int64_t& decodeUs, int64_t& presentUs) {
    const AVRational microseconds{1, 1000000};
    const AVRational timeBase = fFormat->streams[fStream]->time_base;
    for (int attempts = 0; attempts < 100000; ++attempts) {
        if (av_bsf_receive_packet(fBsf, fPacket) == 0) {
            int64_t dts = fPacket->dts != AV_NOPTS_VALUE ? fPacket->dts : fPacket->pts;
            int64_t pts = fPacket->pts != AV_NOPTS_VALUE ? fPacket->pts : dts;
            // A raw Annex-B stream comes without times: its units follow
            // one another at their duration (the stream's frame rate).
            bool stamped = dts != AV_NOPTS_VALUE;
            int64_t stepUs = fPacket->duration > 0 ? av_rescale_q(fPacket->duration, timeBase, microseconds) : fFrameUs;
            decodeUs = fLoopOffsetUs + (stamped ? av_rescale_q(dts, timeBase, microseconds) : fUnstampedUs);
            presentUs = fLoopOffsetUs + (stamped ? av_rescale_q(pts, timeBase, microseconds) : fUnstampedUs);
            bool usable = fFilter->rewrite(fPacket->data, static_cast<size_t>(fPacket->size), accessUnit, key);
            av_packet_unref(fPacket);
            if (!usable) continue;
            if (!stamped) fUnstampedUs += stepUs;
            fLastUs = std::max({fLastUs, decodeUs, presentUs});
            fEmptyLoop = false;
            return true;
        }
        int status = av_read_frame(fFormat, fPacket);
        if (status == AVERROR_EOF) {
            if (!rewind()) return false;
            continue;
        }
        if (status < 0) return false;
        if (fPacket->stream_index == fStream) {
            av_bsf_send_packet(fBsf, fPacket); // takes the packet's reference
        }
        av_packet_unref(fPacket);
    }
    return false;
}
