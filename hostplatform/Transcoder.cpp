// The transcode service: H.265 (or H.264) file video decoded, scaled and
// encoded to H.264 with libx264.  A worker thread fills a bounded queue of
// access units; the caller takes them one by one.  A seek is handed to the
// worker, which repositions the input, starts a fresh encoder (so the next
// unit is a key frame) and drops the frames before the target.
#include "yvk_demux.h"

#include "AnnexB.hh"
#include "MediaInput.hh"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "yvk_system.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#define YVK_TRACE_MODULE "transcoder"

namespace yvk::host {
namespace {

constexpr size_t kQueueUnits = 16;
constexpr auto kStreamWait = std::chrono::seconds(10);  // a stalled worker is a failure
constexpr const char* kPreset = "veryfast";

struct EncodedUnit {
    std::vector<uint8_t> data;
    bool key = false;
    uint64_t timestampMs = 0;
};

class Transcoder {
public:
    static Transcoder* open(const TransOpenParam& param);
    ~Transcoder();

    int parameterSets(unsigned char* buffer, int capacity);
    bool run();
    int next(unsigned char* buffer, int capacity, int* keyFrame, uint64_t* timestampMs);
    void seek(int64_t positionMs);

private:
    Transcoder() = default;
    bool openDecoder();
    bool openEncoder();
    void closeEncoder();

    void work();
    void takeSeek(std::unique_lock<std::mutex>& lock);
    bool decodePacket(const AVPacket* packet);  // false: stop or seek pending
    bool encodeFrame(AVFrame* frame);           // null frame drains
    bool push(EncodedUnit&& unit);
    bool interrupted();

    std::string fName;
    int fWidth = 1280, fHeight = 720;
    MediaInput fInput;
    AVCodecContext* fDecoder = nullptr;
    AVCodecContext* fEncoder = nullptr;
    SwsContext* fScaler = nullptr;
    AVFrame* fDecoded = nullptr;
    AVFrame* fScaled = nullptr;
    AVPacket* fPacket = nullptr;
    AVPacket* fOutPacket = nullptr;
    AccessUnitNormalizer fNormalizer{264};
    int64_t fDropBeforeMs = 0;

    std::mutex fMutex;
    std::condition_variable fChanged;
    std::deque<EncodedUnit> fQueue;
    std::thread fWorker;
    bool fStop = false;
    bool fEnded = false;
    bool fSeekPending = false;
    int64_t fSeekMs = 0;
};

Transcoder* Transcoder::open(const TransOpenParam& param) {
    if (param.fileName == nullptr || param.codec != YVK_DEMUX_CODEC_H264) {
        YVK_TRACE(YVK_TRACE_ERROR, "needs a file name and output codec 264 (got %d)\n", param.codec);
        return nullptr;
    }
    auto* t = new (std::nothrow) Transcoder();
    if (t == nullptr) return nullptr;
    t->fName = param.fileName;
    if (param.width > 0 && param.height > 0) {
        t->fWidth = param.width & ~1;
        t->fHeight = param.height & ~1;
    }
    if (!t->fInput.open(t->fName, YVK_TRACE_MODULE)) {
        delete t;
        return nullptr;
    }
    std::vector<int> videos = t->fInput.videoStreams();
    if (param.videoTrack < 0 || param.videoTrack >= static_cast<int>(videos.size())) {
        YVK_TRACE(YVK_TRACE_ERROR, "no video track %d in (%s)\n", param.videoTrack, param.fileName);
        delete t;
        return nullptr;
    }
    t->fInput.select(videos[static_cast<size_t>(param.videoTrack)]);
    t->fDecoded = av_frame_alloc();
    t->fScaled = av_frame_alloc();
    t->fPacket = av_packet_alloc();
    t->fOutPacket = av_packet_alloc();
    if (t->fDecoded == nullptr || t->fScaled == nullptr || t->fPacket == nullptr || t->fOutPacket == nullptr ||
        !t->openDecoder() || !t->openEncoder()) {
        delete t;
        return nullptr;
    }
    return t;
}

Transcoder::~Transcoder() {
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fStop = true;
    }
    fChanged.notify_all();
    if (fWorker.joinable()) fWorker.join();
    closeEncoder();
    avcodec_free_context(&fDecoder);
    sws_freeContext(fScaler);
    av_frame_free(&fDecoded);
    av_frame_free(&fScaled);
    av_packet_free(&fPacket);
    av_packet_free(&fOutPacket);
}

bool Transcoder::openDecoder() {
    const AVCodecParameters* par = fInput.stream()->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    fDecoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (fDecoder == nullptr || avcodec_parameters_to_context(fDecoder, par) < 0) return false;
    fDecoder->thread_count = 0;  // as many as the machine has
    fDecoder->pkt_timebase = fInput.stream()->time_base;
    if (avcodec_open2(fDecoder, codec, nullptr) < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "cannot decode %s\n", avcodec_get_name(par->codec_id));
        return false;
    }
    return true;
}

bool Transcoder::openEncoder() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "libavcodec has no libx264 encoder\n");
        return false;
    }
    fEncoder = avcodec_alloc_context3(codec);
    if (fEncoder == nullptr) return false;
    AVRational rate = fInput.stream()->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
    fEncoder->width = fWidth;
    fEncoder->height = fHeight;
    fEncoder->pix_fmt = AV_PIX_FMT_YUV420P;
    fEncoder->time_base = AVRational{1, 1000};
    fEncoder->framerate = rate;
    fEncoder->gop_size = static_cast<int>(2 * rate.num / rate.den);  // a key frame every 2 s
    fEncoder->max_b_frames = 0;
    fEncoder->thread_count = 0;
    // Parameter sets both in extradata (asked for before the first frame)
    // and in front of every key frame.
    fEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(fEncoder->priv_data, "preset", kPreset, 0);
    av_opt_set(fEncoder->priv_data, "tune", "zerolatency", 0);
    av_opt_set(fEncoder->priv_data, "x264-params", "repeat-headers=1", 0);
    if (avcodec_open2(fEncoder, codec, nullptr) < 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "cannot open libx264 for %dx%d\n", fWidth, fHeight);
        avcodec_free_context(&fEncoder);
        return false;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    fNormalizer.learn(fEncoder->extradata, static_cast<size_t>(fEncoder->extradata_size));
    return true;
}

void Transcoder::closeEncoder() { avcodec_free_context(&fEncoder); }

int Transcoder::parameterSets(unsigned char* buffer, int capacity) {
    std::vector<uint8_t> sets;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        sets = fNormalizer.parameterSets();
    }
    if (sets.empty() || buffer == nullptr || sets.size() > static_cast<size_t>(capacity)) {
        YVK_TRACE(YVK_TRACE_ERROR, "parameter sets of %zu bytes do not fit %d\n", sets.size(), capacity);
        return 0;
    }
    std::memcpy(buffer, sets.data(), sets.size());
    return static_cast<int>(sets.size());
}

bool Transcoder::run() {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fWorker.joinable()) return true;
    try {
        fWorker = std::thread(&Transcoder::work, this);
    } catch (...) {
        YVK_TRACE(YVK_TRACE_ERROR, "cannot start the worker thread\n");
        return false;
    }
    return true;
}

int Transcoder::next(unsigned char* buffer, int capacity, int* keyFrame, uint64_t* timestampMs) {
    std::unique_lock<std::mutex> lock(fMutex);
    if (!fWorker.joinable()) {
        YVK_TRACE(YVK_TRACE_ERROR, "not running\n");
        return 0;
    }
    bool ready = fChanged.wait_for(lock, kStreamWait, [this] { return !fQueue.empty() || (fEnded && !fSeekPending); });
    if (!ready) {
        YVK_TRACE(YVK_TRACE_ERROR, "no unit within %d s\n", static_cast<int>(kStreamWait.count()));
        return 0;
    }
    if (fQueue.empty()) return 0;  // end of the file
    EncodedUnit unit = std::move(fQueue.front());
    fQueue.pop_front();
    fChanged.notify_all();
    if (buffer == nullptr || unit.data.size() > static_cast<size_t>(capacity)) {
        YVK_TRACE(YVK_TRACE_ERROR, "unit of %zu bytes does not fit %d, dropped\n", unit.data.size(), capacity);
        return YVK_DEMUX_SAMPLE_SKIPPED;
    }
    std::memcpy(buffer, unit.data.data(), unit.data.size());
    if (keyFrame != nullptr) *keyFrame = unit.key ? 1 : 0;
    if (timestampMs != nullptr) *timestampMs = unit.timestampMs;
    return static_cast<int>(unit.data.size());
}

void Transcoder::seek(int64_t positionMs) {
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fSeekPending = true;
        fSeekMs = positionMs > 0 ? positionMs : 0;
        fQueue.clear();
        fEnded = false;
    }
    fChanged.notify_all();
}

bool Transcoder::interrupted() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fStop || fSeekPending;
}

void Transcoder::takeSeek(std::unique_lock<std::mutex>& lock) {
    int64_t target = fSeekMs;
    fSeekPending = false;
    lock.unlock();
    if (!fInput.seekMs(target)) YVK_TRACE(YVK_TRACE_ERROR, "seek to %lld ms failed\n", static_cast<long long>(target));
    avcodec_flush_buffers(fDecoder);
    closeEncoder();
    bool encoderOk = openEncoder();
    fDropBeforeMs = target;
    lock.lock();
    if (!encoderOk) fEnded = true;
}

void Transcoder::work() {
    std::unique_lock<std::mutex> lock(fMutex);
    while (!fStop) {
        if (fSeekPending) takeSeek(lock);
        if (fEnded) {
            fChanged.wait(lock, [this] { return fStop || fSeekPending; });
            continue;
        }
        lock.unlock();
        bool more = fInput.readPacket(fPacket);
        bool goOn = more ? decodePacket(fPacket) : decodePacket(nullptr) && encodeFrame(nullptr);
        if (more) av_packet_unref(fPacket);
        lock.lock();
        if (!more && goOn && !fSeekPending) {
            fEnded = true;
            fChanged.notify_all();
        }
    }
}

bool Transcoder::decodePacket(const AVPacket* packet) {
    if (avcodec_send_packet(fDecoder, packet) < 0 && packet != nullptr) return !interrupted();  // corrupt: skip
    while (avcodec_receive_frame(fDecoder, fDecoded) == 0) {
        int64_t ts = fDecoded->best_effort_timestamp;
        auto ms = static_cast<int64_t>(fInput.toMs(ts));
        bool keep = ms >= fDropBeforeMs;
        bool ok = true;
        if (keep) {
            fScaler = sws_getCachedContext(fScaler, fDecoded->width, fDecoded->height,
                                           static_cast<AVPixelFormat>(fDecoded->format), fWidth, fHeight,
                                           AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
            av_frame_unref(fScaled);
            fScaled->width = fWidth;
            fScaled->height = fHeight;
            fScaled->format = AV_PIX_FMT_YUV420P;
            if (fScaler == nullptr || av_frame_get_buffer(fScaled, 0) < 0 ||
                sws_scale(fScaler, fDecoded->data, fDecoded->linesize, 0, fDecoded->height, fScaled->data,
                          fScaled->linesize) <= 0) {
                YVK_TRACE(YVK_TRACE_ERROR, "cannot scale a %dx%d frame\n", fDecoded->width, fDecoded->height);
                ok = false;
            } else {
                fScaled->pts = ms;
                ok = encodeFrame(fScaled);
            }
        }
        av_frame_unref(fDecoded);
        if (!ok || interrupted()) return false;
    }
    return !interrupted();
}

bool Transcoder::encodeFrame(AVFrame* frame) {
    if (fEncoder == nullptr || avcodec_send_frame(fEncoder, frame) < 0) return frame == nullptr;
    while (avcodec_receive_packet(fEncoder, fOutPacket) == 0) {
        EncodedUnit unit;
        unit.key = (fOutPacket->flags & AV_PKT_FLAG_KEY) != 0;
        unit.timestampMs = fOutPacket->pts > 0 ? static_cast<uint64_t>(fOutPacket->pts) : 0;
        {
            std::lock_guard<std::mutex> lock(fMutex);
            fNormalizer.normalize(fOutPacket->data, static_cast<size_t>(fOutPacket->size), unit.key, unit.data);
        }
        av_packet_unref(fOutPacket);
        if (!push(std::move(unit))) return false;
    }
    return true;
}

bool Transcoder::push(EncodedUnit&& unit) {
    std::unique_lock<std::mutex> lock(fMutex);
    fChanged.wait(lock, [this] { return fStop || fSeekPending || fQueue.size() < kQueueUnits; });
    if (fStop || fSeekPending) return false;  // the unit belongs to the old position
    fQueue.push_back(std::move(unit));
    fChanged.notify_all();
    return true;
}

Transcoder* transcoderOf(void* handle) { return static_cast<Transcoder*>(handle); }

} // namespace
} // namespace yvk::host

using yvk::host::transcoderOf;

extern "C" {

void* YVK_StreamerTransOpen(const TransOpenParam* param) {
    if (param == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no parameters\n");
        return nullptr;
    }
    return yvk::host::Transcoder::open(*param);
}

int YVK_StreamerTransGetNALData(void* handle, unsigned char* buffer, int capacity) {
    return handle != nullptr ? transcoderOf(handle)->parameterSets(buffer, capacity) : 0;
}

int YVK_StreamerTransRun(void* handle) { return handle != nullptr && transcoderOf(handle)->run() ? 1 : 0; }

int YVK_StreamerTransGetStream(void* handle, unsigned char* buffer, int capacity, int* keyFrame,
                               uint64_t* timestampMs) {
    if (keyFrame != nullptr) *keyFrame = 0;
    return handle != nullptr ? transcoderOf(handle)->next(buffer, capacity, keyFrame, timestampMs) : 0;
}

int YVK_StreamerTransSeek(void* handle, int64_t positionMs) {
    if (handle == nullptr) return 0;
    transcoderOf(handle)->seek(positionMs);
    return 1;
}

void YVK_StreamerTransClose(void* handle) { delete transcoderOf(handle); }

} // extern "C"
