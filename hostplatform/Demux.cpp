// The demux service on libavformat.  A handle holds the file's stream
// information and, opened on first use, one reading position per video track,
// one for the first audio track and one for the first text track.  Every call
// on a handle is serialised by its mutex (the subtitle reader thread reads
// text and seeks while the event loop reads video and audio).
#include "yvk_demux.h"

#include "AnnexB.hh"
#include "MediaInput.hh"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libswresample/swresample.h>
}

#include "yvk_system.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#define YVK_TRACE_MODULE "demux"

namespace yvk::host {
namespace {

constexpr int kTextPollsPerSecond = 10;
constexpr const char* kPreBufferKey = "prebuffer_frames";
constexpr int kMaxPositionSkip = 100000;  // frames SetVidPos walks at most
constexpr int64_t kSeekBackoffMs = 1000;
constexpr int64_t kSeekBackoffLimitMs = 64000;
constexpr int kSeekScanUnits = 10000;      // units a seek reads at most

int capacityOf(const int* size, int standard) {
    return (size == nullptr || *size <= 0) ? standard : *size;
}

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// One video track: packets through the Annex-B bitstream filter and the
// normaliser.
class VideoReader {
public:
    bool open(const MediaInput& probed, const std::string& name, int stream, const AVCodecParameters* par) {
        if (!fInput.openLike(probed, name, YVK_TRACE_MODULE) || !fInput.select(stream)) return false;
        fCodec = par->codec_id == AV_CODEC_ID_HEVC ? 265 : 264;
        fNormalizer = AccessUnitNormalizer(fCodec);
        const AVBitStreamFilter* filter = av_bsf_get_by_name(fCodec == 265 ? "hevc_mp4toannexb" : "h264_mp4toannexb");
        if (filter == nullptr || av_bsf_alloc(filter, &fFilter) < 0) return false;
        avcodec_parameters_copy(fFilter->par_in, par);
        fFilter->time_base_in = fInput.stream()->time_base;
        if (av_bsf_init(fFilter) < 0) {
            YVK_TRACE(YVK_TRACE_ERROR, "cannot convert the video of (%s) to Annex-B\n", name.c_str());
            return false;
        }
        learnExtradata(fFilter->par_out);
        fPacket.reset(av_packet_alloc());
        return fPacket != nullptr;
    }
    ~VideoReader() { av_bsf_free(&fFilter); }

    // 1 with a unit, 0 at the end, YVK_DEMUX_SAMPLE_SKIPPED when it does
    // not fit (the next read goes on behind it).
    int read(unsigned char* buffer, int capacity, int* size, int* keyFrame, uint64_t* timestampMs) {
        fPinned = false;
        if (fPeeked) {
            fPeeked = false;
        } else if (!nextUnit()) {
            return 0;
        }
        if (fUnit.size() > static_cast<size_t>(capacity)) {
            YVK_TRACE(YVK_TRACE_ERROR, "video sample of %zu bytes does not fit a buffer of %d, skipped\n",
                      fUnit.size(), capacity);
            return YVK_DEMUX_SAMPLE_SKIPPED;
        }
        std::memcpy(buffer, fUnit.data(), fUnit.size());
        *size = static_cast<int>(fUnit.size());
        if (keyFrame != nullptr) *keyFrame = fKey ? 1 : 0;
        if (timestampMs != nullptr) *timestampMs = fTimestampMs;
        return 1;
    }

    // Leaves the key frame at or before the position as the next unit.
    // Indexed containers land there at once; MPEG-TS lands near it, so the
    // reader backs off until it finds a key frame before the target, walks
    // to the last one before it and goes back there.
    bool seekMs(int64_t positionMs) {
        auto target = static_cast<uint64_t>(positionMs);
        bool landed = restartAt(positionMs);
        if (landed && (!fPeeked || (fKey && fTimestampMs <= target))) return true;
        for (int64_t backoff = kSeekBackoffMs; ; backoff *= 2) {
            int64_t from = std::max<int64_t>(positionMs - backoff, 0);
            if (!restartAt(from) || !skipToKey(0)) return false;
            if (fTimestampMs <= target || from == 0) break;
            if (backoff > kSeekBackoffLimitMs) return false;
        }
        uint64_t lastKey = fTimestampMs;
        for (int i = 0; i < kSeekScanUnits && nextUnit() && fTimestampMs <= target; ++i) {
            if (fKey) lastKey = fTimestampMs;
        }
        return restartAt(static_cast<int64_t>(lastKey)) && skipToKey(lastKey);
    }

    // Leaves frame frameIndex (0-based, in file order) as the next unit.
    bool moveToFrame(int frameIndex) {
        if (!restartAt(0) || frameIndex >= kMaxPositionSkip) return false;
        for (int i = 0; i < frameIndex; ++i) {
            if (!fPeeked) return false;
            fPeeked = nextUnit();
        }
        fPinned = fPeeked;
        return fPeeked;
    }

    // A position set by frame holds against seeks until the next read.
    bool pinned() const { return fPinned; }

private:
    void learnExtradata(const AVCodecParameters* par) {
        if (par->extradata_size > 3 && par->extradata[0] == 0 && par->extradata[1] == 0)
            fNormalizer.learn(par->extradata, static_cast<size_t>(par->extradata_size));
    }

    // Repositions the input and peeks at the first unit there.
    bool restartAt(int64_t positionMs) {
        av_bsf_flush(fFilter);
        fEnded = false;
        fPeeked = false;
        if (!fInput.seekMs(positionMs)) return false;
        fPeeked = nextUnit();
        return true;
    }

    // Reads on until the peeked unit is a key frame at or after minMs.
    bool skipToKey(uint64_t minMs) {
        for (int i = 0; i < kSeekScanUnits && fPeeked; ++i) {
            if (fKey && fTimestampMs >= minMs) return true;
            fPeeked = nextUnit();
        }
        return false;
    }

    // The next filtered packet normalised into fUnit.
    bool nextUnit() {
        while (true) {
            int err = av_bsf_receive_packet(fFilter, fPacket.get());
            if (err == 0) {
                fKey = (fPacket->flags & AV_PKT_FLAG_KEY) != 0;
                fTimestampMs = fInput.toMs(fPacket->pts != AV_NOPTS_VALUE ? fPacket->pts : fPacket->dts);
                fNormalizer.normalize(fPacket->data, static_cast<size_t>(fPacket->size), fKey, fUnit);
                av_packet_unref(fPacket.get());
                if (!fUnit.empty()) return true;
                continue;
            }
            if (err != AVERROR(EAGAIN) || fEnded) return false;
            if (fInput.readPacket(fPacket.get())) {
                if (av_bsf_send_packet(fFilter, fPacket.get()) < 0) av_packet_unref(fPacket.get());
            } else {
                fEnded = true;
                av_bsf_send_packet(fFilter, nullptr);
            }
        }
    }

    MediaInput fInput;
    AVBSFContext* fFilter = nullptr;
    PacketPtr fPacket;
    AccessUnitNormalizer fNormalizer{264};
    int fCodec = 264;
    std::vector<uint8_t> fUnit;
    bool fKey = false;
    bool fEnded = false;
    uint64_t fTimestampMs = 0;
    bool fPeeked = false;  // fUnit holds the next unit already
    bool fPinned = false;
};

// The first audio track: MP3 packets as they are, anything else decoded to
// interleaved S16 at its own rate and channel count.
class AudioReader {
public:
    ~AudioReader() {
        avcodec_free_context(&fDecoder);
        swr_free(&fResampler);
        av_frame_free(&fFrame);
    }

    bool open(const MediaInput& probed, const std::string& name, int stream) {
        if (!fInput.openLike(probed, name, YVK_TRACE_MODULE) || !fInput.select(stream)) return false;
        fPacket.reset(av_packet_alloc());
        if (fPacket == nullptr) return false;
        const AVCodecParameters* par = fInput.parameters();
        fPassThrough = par->codec_id == AV_CODEC_ID_MP3;
        return fPassThrough || openDecoder(par);
    }

    int read(unsigned char* buffer, int capacity) {
        return fPassThrough ? readCoded(buffer, capacity) : readPcm(buffer, capacity);
    }

    bool seekMs(int64_t positionMs) {
        fPending.clear();
        fEnded = false;
        if (fDecoder != nullptr) avcodec_flush_buffers(fDecoder);
        if (fResampler != nullptr) {
            swr_close(fResampler);
            swr_init(fResampler);
        }
        return fInput.seekMs(positionMs);
    }

private:
    bool openDecoder(const AVCodecParameters* par) {
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        fDecoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (fDecoder == nullptr || avcodec_parameters_to_context(fDecoder, par) < 0 ||
            avcodec_open2(fDecoder, codec, nullptr) < 0) {
            YVK_TRACE(YVK_TRACE_ERROR, "no decoder for audio codec %s\n", avcodec_get_name(par->codec_id));
            return false;
        }
        fFrame = av_frame_alloc();
        return fFrame != nullptr;
    }

    int readCoded(unsigned char* buffer, int capacity) {
        while (fInput.readPacket(fPacket.get())) {
            int size = fPacket->size;
            if (size > capacity) {
                YVK_TRACE(YVK_TRACE_ERROR, "audio sample of %d bytes does not fit a buffer of %d, skipped\n", size,
                          capacity);
                av_packet_unref(fPacket.get());
                return YVK_DEMUX_SAMPLE_SKIPPED;
            }
            if (size > 0) std::memcpy(buffer, fPacket->data, static_cast<size_t>(size));
            av_packet_unref(fPacket.get());
            if (size > 0) return size;
        }
        return 0;
    }

    int readPcm(unsigned char* buffer, int capacity) {
        while (fPending.empty() && decodeMore()) {
        }
        int frameBytes = 2 * std::max(1, fDecoder->ch_layout.nb_channels);
        size_t take = std::min(fPending.size(), static_cast<size_t>(capacity / frameBytes * frameBytes));
        if (take == 0) {  // at the end, or a buffer too small
            if (!fPending.empty()) YVK_TRACE(YVK_TRACE_ERROR, "audio buffer of %d bytes holds no sample\n", capacity);
            return 0;
        }
        std::memcpy(buffer, fPending.data(), take);
        fPending.erase(fPending.begin(), fPending.begin() + static_cast<std::ptrdiff_t>(take));
        return static_cast<int>(take);
    }

    // Decodes until some PCM is pending; false at the end.
    bool decodeMore() {
        while (true) {
            int err = avcodec_receive_frame(fDecoder, fFrame);
            if (err == 0) {
                convert(fFrame);
                av_frame_unref(fFrame);
                if (!fPending.empty()) return true;
                continue;
            }
            if (err != AVERROR(EAGAIN)) return false;  // drained or broken
            if (fEnded) return false;
            if (fInput.readPacket(fPacket.get())) {
                // A corrupt packet is dropped; decoding goes on with the next.
                avcodec_send_packet(fDecoder, fPacket.get());
                av_packet_unref(fPacket.get());
            } else {
                fEnded = true;
                avcodec_send_packet(fDecoder, nullptr);
            }
        }
    }

    void convert(const AVFrame* frame) {
        if (fResampler == nullptr) {
            if (swr_alloc_set_opts2(&fResampler, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                    &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                    frame->sample_rate, 0, nullptr) < 0 ||
                swr_init(fResampler) < 0) {
                YVK_TRACE(YVK_TRACE_ERROR, "cannot convert audio to 16-bit PCM\n");
                swr_free(&fResampler);
                return;
            }
        }
        int channels = frame->ch_layout.nb_channels;
        int maxOut = swr_get_out_samples(fResampler, frame->nb_samples);
        if (maxOut <= 0 || channels <= 0) return;
        size_t old = fPending.size();
        fPending.resize(old + static_cast<size_t>(maxOut) * 2 * static_cast<size_t>(channels));
        uint8_t* out = fPending.data() + old;
        int done = swr_convert(fResampler, &out, maxOut, const_cast<const uint8_t**>(frame->extended_data),
                               frame->nb_samples);
        fPending.resize(old + static_cast<size_t>(std::max(done, 0)) * 2 * static_cast<size_t>(channels));
    }

    MediaInput fInput;
    PacketPtr fPacket;
    bool fPassThrough = false;
    bool fEnded = false;
    AVCodecContext* fDecoder = nullptr;
    SwrContext* fResampler = nullptr;
    AVFrame* fFrame = nullptr;
    std::vector<uint8_t> fPending;
};

// ASS event text without its leading fields and override blocks.
std::string plainAss(const std::string& event) {
    size_t pos = 0;
    for (int field = 0; field < 8 && pos != std::string::npos; ++field) {
        pos = event.find(',', pos);
        if (pos != std::string::npos) ++pos;
    }
    std::string text = pos == std::string::npos ? event : event.substr(pos);
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '{') {
            size_t close = text.find('}', i);
            if (close != std::string::npos) {
                i = close;
                continue;
            }
        }
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'N' || text[i + 1] == 'n')) {
            out += '\n';
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

// The first text track, as plain text.
class TextReader {
public:
    bool open(const MediaInput& probed, const std::string& name, int stream) {
        if (!fInput.openLike(probed, name, YVK_TRACE_MODULE) || !fInput.select(stream)) return false;
        fPacket.reset(av_packet_alloc());
        return fPacket != nullptr;
    }

    int read(char* buffer, int capacity, uint64_t* timestampMs) {
        while (fInput.readPacket(fPacket.get())) {
            std::string text = plainText();
            uint64_t ts = fInput.toMs(fPacket->pts != AV_NOPTS_VALUE ? fPacket->pts : fPacket->dts);
            av_packet_unref(fPacket.get());
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0'))
                text.pop_back();
            if (text.empty()) continue;
            size_t size = std::min(text.size(), static_cast<size_t>(capacity - 1));
            std::memcpy(buffer, text.data(), size);
            buffer[size] = '\0';
            if (timestampMs != nullptr) *timestampMs = ts;
            return static_cast<int>(size);
        }
        return 0;
    }

    bool seekMs(int64_t positionMs) { return fInput.seekMs(positionMs); }

private:
    std::string plainText() const {
        const char* data = reinterpret_cast<const char*>(fPacket->data);
        size_t size = static_cast<size_t>(fPacket->size);
        switch (fInput.stream()->codecpar->codec_id) {
        case AV_CODEC_ID_MOV_TEXT: {
            if (size < 2) return {};
            size_t length = (static_cast<size_t>(fPacket->data[0]) << 8) | fPacket->data[1];
            return std::string(data + 2, std::min(length, size - 2));
        }
        case AV_CODEC_ID_ASS:
        case AV_CODEC_ID_SSA:
            return plainAss(std::string(data, size));
        default:
            return std::string(data, size);
        }
    }

    MediaInput fInput;
    PacketPtr fPacket;
};

class DemuxFile {
public:
    static DemuxFile* open(const char* fileName) {
        if (fileName == nullptr || fileName[0] == '\0') {
            YVK_TRACE(YVK_TRACE_ERROR, "no file name\n");
            return nullptr;
        }
        auto* file = new (std::nothrow) DemuxFile(fileName);
        if (file == nullptr) return nullptr;
        if (!file->fInfo.open(fileName, YVK_TRACE_MODULE)) {
            delete file;
            return nullptr;
        }
        file->fVideo = file->fInfo.videoStreams();
        file->fAudio = file->fInfo.audioStreams();
        file->fText = file->fInfo.textStreams();
        file->fVideoReaders.resize(file->fVideo.size());
        return file;
    }

    std::mutex fMutex;

    int videoTracks() const { return static_cast<int>(fVideo.size()); }
    int audioTracks() const { return static_cast<int>(fAudio.size()); }
    int textTracks() const { return static_cast<int>(fText.size()); }

    const AVStream* videoStream(int track) const {
        if (track < 0 || track >= videoTracks()) return nullptr;
        return fInfo.context()->streams[fVideo[static_cast<size_t>(track)]];
    }
    const AVStream* audioStream() const {
        return fAudio.empty() ? nullptr : fInfo.context()->streams[fAudio[0]];
    }

    int fps(int track) const {
        const AVStream* st = videoStream(track);
        if (st == nullptr) return 0;
        AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) return 0;
        return static_cast<int>((static_cast<int64_t>(rate.num) + rate.den / 2) / rate.den);
    }

    int bitrate() const {
        const AVStream* st = videoStream(0);
        if (st == nullptr) return 0;
        if (st->codecpar->bit_rate > 0) return static_cast<int>(std::min<int64_t>(st->codecpar->bit_rate, INT32_MAX));
        int64_t dur = fInfo.durationMs(st->index);
        int64_t bytes = avio_size(fInfo.context()->pb);
        if (dur > 0 && bytes > 0) return static_cast<int>(std::min<int64_t>(bytes * 8 * 1000 / dur, INT32_MAX));
        return 0;
    }

    int videoDurationMs() const { return fVideo.empty() ? 0 : clampMs(fInfo.durationMs(fVideo[0])); }
    int audioDurationMs() const { return fAudio.empty() ? 0 : clampMs(fInfo.durationMs(fAudio[0])); }

    int preBufferFrames(int track) const {
        const AVStream* st = videoStream(track);
        if (st == nullptr) return 0;
        const AVDictionaryEntry* tag = av_dict_get(st->metadata, kPreBufferKey, nullptr, 0);
        if (tag == nullptr) tag = av_dict_get(fInfo.context()->metadata, kPreBufferKey, nullptr, 0);
        if (tag == nullptr) return 0;
        long value = std::strtol(tag->value, nullptr, 10);
        return value > 0 && value < INT32_MAX ? static_cast<int>(value) : 0;
    }

    VideoReader* videoReader(int track) {
        const AVStream* st = videoStream(track);
        if (st == nullptr) {
            YVK_TRACE(YVK_TRACE_ERROR, "no video track %d in (%s)\n", track, fName.c_str());
            return nullptr;
        }
        auto& reader = fVideoReaders[static_cast<size_t>(track)];
        if (reader == nullptr && !startReader(reader, st->index, st->codecpar)) return nullptr;
        return reader.get();
    }

    AudioReader* audioReader() {
        if (fAudio.empty()) {
            YVK_TRACE(YVK_TRACE_ERROR, "no audio track in (%s)\n", fName.c_str());
            return nullptr;
        }
        if (fAudioReader == nullptr && !startReader(fAudioReader, fAudio[0])) return nullptr;
        return fAudioReader.get();
    }

    TextReader* textReader() {
        if (fText.empty()) {
            YVK_TRACE(YVK_TRACE_ERROR, "no text track in (%s)\n", fName.c_str());
            return nullptr;
        }
        if (fTextReader == nullptr && !startReader(fTextReader, fText[0])) return nullptr;
        return fTextReader.get();
    }

    bool seekMs(int64_t positionMs) {
        fSeekMs = positionMs;
        bool ok = true;
        for (auto& reader : fVideoReaders) {
            if (reader != nullptr && !reader->pinned()) ok = reader->seekMs(positionMs) && ok;
        }
        if (fAudioReader != nullptr) ok = fAudioReader->seekMs(positionMs) && ok;
        if (fTextReader != nullptr) ok = fTextReader->seekMs(positionMs) && ok;
        return ok;
    }

private:
    explicit DemuxFile(const char* name) : fName(name) {}

    static int clampMs(int64_t ms) { return static_cast<int>(std::min<int64_t>(std::max<int64_t>(ms, 0), INT32_MAX)); }

    // Opens a reader lazily, on the stream information the handle read; a
    // reader opened after a seek starts there too.
    template <typename Reader, typename... Args>
    bool startReader(std::unique_ptr<Reader>& reader, int stream, Args... args) {
        auto fresh = std::unique_ptr<Reader>(new (std::nothrow) Reader());
        if (fresh == nullptr || !fresh->open(fInfo, fName, stream, args...)) {
            YVK_TRACE(YVK_TRACE_ERROR, "cannot read stream %d of (%s)\n", stream, fName.c_str());
            return false;
        }
        if (fSeekMs > 0) fresh->seekMs(fSeekMs);
        reader = std::move(fresh);
        return true;
    }

    std::string fName;
    MediaInput fInfo;
    std::vector<int> fVideo, fAudio, fText;
    std::vector<std::unique_ptr<VideoReader>> fVideoReaders;
    std::unique_ptr<AudioReader> fAudioReader;
    std::unique_ptr<TextReader> fTextReader;
    int64_t fSeekMs = 0;
};

DemuxFile* fileOf(void* handle) { return static_cast<DemuxFile*>(handle); }

} // namespace
} // namespace yvk::host

using yvk::host::DemuxFile;
using yvk::host::fileOf;

#define WITH_FILE(handle, failure)                   \
    DemuxFile* file = fileOf(handle);                \
    if (file == nullptr) return failure;             \
    std::lock_guard<std::mutex> lock(file->fMutex)

extern "C" {

void* YVK_StreamerDemuxOpen(const char* fileName) { return DemuxFile::open(fileName); }

void YVK_StreamerDemuxClose(void* handle) { delete fileOf(handle); }

int YVK_StreamerDemuxGetVidTracks(void* handle) {
    WITH_FILE(handle, 0);
    return file->videoTracks();
}

int YVK_StreamerDemuxGetAudTracks(void* handle) {
    WITH_FILE(handle, 0);
    return file->audioTracks();
}

int YVK_StreamerDemuxGetTxtTracks(void* handle) {
    WITH_FILE(handle, 0);
    return file->textTracks();
}

int YVK_StreamerDemuxGetVidInfo(void* handle, int videoTrack, DemuxVidInfo* info) {
    if (info == nullptr) return 0;
    *info = DemuxVidInfo{};
    WITH_FILE(handle, 0);
    const AVStream* st = file->videoStream(videoTrack);
    if (st == nullptr) return 0;
    info->codec = st->codecpar->codec_id == AV_CODEC_ID_HEVC ? YVK_DEMUX_CODEC_H265 : YVK_DEMUX_CODEC_H264;
    info->width = st->codecpar->width;
    info->height = st->codecpar->height;
    info->fps = file->fps(videoTrack);
    return 1;
}

int YVK_StreamerDemuxGetAudInfo(void* handle, DemuxAudInfo* info) {
    if (info == nullptr) return 0;
    *info = DemuxAudInfo{};
    WITH_FILE(handle, 0);
    const AVStream* st = file->audioStream();
    if (st == nullptr) return 0;
    info->codec = st->codecpar->codec_id == AV_CODEC_ID_MP3 ? YVK_DEMUX_AUDIO_MP3 : YVK_DEMUX_AUDIO_PCM;
    info->channels = st->codecpar->ch_layout.nb_channels;
    info->sampleRate = st->codecpar->sample_rate;
    info->bitsPerSample = 16;
    return 1;
}

int YVK_StreamerDemuxGetVidBitrate(void* handle) {
    WITH_FILE(handle, 0);
    return file->bitrate();
}

int YVK_StreamerDemuxGetVidFps(void* handle, int videoTrack) {
    WITH_FILE(handle, 0);
    return file->fps(videoTrack);
}

int YVK_StreamerDemuxGetTxtFps(void* handle) {
    WITH_FILE(handle, 0);
    return yvk::host::kTextPollsPerSecond;
}

int YVK_StreamerDemuxGetVidDur(void* handle) {
    WITH_FILE(handle, 0);
    return file->videoDurationMs();
}

int YVK_StreamerDemuxGetAudDur(void* handle) {
    WITH_FILE(handle, 0);
    return file->audioDurationMs();
}

int YVK_StreamerDemuxReadVideo(void* handle, int videoTrack, unsigned char* buffer, int* size, int* keyFrame,
                               uint64_t* timestampMs) {
    int capacity = yvk::host::capacityOf(size, YVK_DEMUX_SAMPLE_CAPACITY);
    if (size != nullptr) *size = 0;
    if (keyFrame != nullptr) *keyFrame = 0;
    if (buffer == nullptr || size == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no buffer or size word\n");
        return 0;
    }
    WITH_FILE(handle, 0);
    yvk::host::VideoReader* reader = file->videoReader(videoTrack);
    return reader != nullptr ? reader->read(buffer, capacity, size, keyFrame, timestampMs) : 0;
}

int YVK_StreamerDemuxReadAudio(void* handle, unsigned char* buffer, int* size) {
    int capacity = yvk::host::capacityOf(size, YVK_DEMUX_SAMPLE_CAPACITY);
    if (size != nullptr) *size = 0;
    if (buffer == nullptr || size == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no buffer or size word\n");
        return 0;
    }
    WITH_FILE(handle, 0);
    yvk::host::AudioReader* reader = file->audioReader();
    int result = reader != nullptr ? reader->read(buffer, capacity) : 0;
    *size = result > 0 ? result : 0;
    return result;
}

int YVK_StreamerDemuxReadText(void* handle, char* buffer, int* size, uint64_t* timestampMs) {
    int capacity = yvk::host::capacityOf(size, YVK_DEMUX_TEXT_CAPACITY);
    if (size != nullptr) *size = 0;
    if (buffer == nullptr || size == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no buffer or size word\n");
        return 0;
    }
    buffer[0] = '\0';
    WITH_FILE(handle, 0);
    yvk::host::TextReader* reader = file->textReader();
    *size = reader != nullptr ? reader->read(buffer, capacity, timestampMs) : 0;
    return *size;
}

int YVK_StreamerDemuxSeek(void* handle, int32_t positionMs) {
    if (positionMs < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "negative position %d\n", positionMs);
        return 0;
    }
    WITH_FILE(handle, 0);
    if (file->seekMs(positionMs)) return 1;
    YVK_TRACE(YVK_TRACE_ERROR, "seek to %d ms failed\n", positionMs);
    return 0;
}

int YVK_StreamerDemuxGetPreBufNum(void* handle, int videoTrack) {
    WITH_FILE(handle, 0);
    return file->preBufferFrames(videoTrack);
}

int YVK_StreamerDemuxSetVidPos(void* handle, int videoTrack, int frameIndex) {
    if (frameIndex < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "negative frame index %d\n", frameIndex);
        return 0;
    }
    WITH_FILE(handle, 0);
    yvk::host::VideoReader* reader = file->videoReader(videoTrack);
    if (reader != nullptr && reader->moveToFrame(frameIndex)) return 1;
    YVK_TRACE(YVK_TRACE_ERROR, "cannot move video track %d to frame %d\n", videoTrack, frameIndex);
    return 0;
}

} // extern "C"
