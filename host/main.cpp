// yvkstreamer: the reference host program of libyvkstreamer_core.
//
// Live mode: encodes a test pattern (or reads a media file) and a sine tone
// in real time, lends them to the library through its queue callbacks, and
// serves them over RTSP until SIGINT or SIGTERM; then it stops and frees the
// instance, checks that every lent record came back exactly once, and exits
// with status 0.
#include "FileMode.hh"
#include "HostOptions.hh"
#include "HostSupport.hh"
#include "LatencyMarks.hh"
#include "Producers.hh"
#include "RecordPool.hh"

#include "yvkstreamer_core.h"

extern "C" {
#include <libavutil/log.h>
}

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

constexpr int kStatusIntervalSeconds = 5;
constexpr size_t kAudioRecords = 64;

void printStatus(const VideoProducer& video, const RecordPool& videoPool, const RecordPool& audioPool) {
    PoolStats v = videoPool.stats();
    PoolStats a = audioPool.stats();
    std::printf("frames produced %llu, frames released %llu, records in flight %d (audio blocks released %llu)\n",
                static_cast<unsigned long long>(video.produced()), static_cast<unsigned long long>(v.released),
                v.inFlight + a.inFlight, static_cast<unsigned long long>(a.released));
    std::fflush(stdout);
}

// The final account: every popped record released exactly once.
bool printAccount(const char* medium, const RecordPool& pool) {
    PoolStats s = pool.stats();
    std::printf("%s records: popped %llu, released %llu, in flight %d, bad releases %llu\n", medium,
                static_cast<unsigned long long>(s.popped), static_cast<unsigned long long>(s.released), s.inFlight,
                static_cast<unsigned long long>(s.badReleases));
    return s.inFlight == 0 && s.badReleases == 0 && s.popped == s.released;
}

YVKStreamerLiveCfg liveConfig(const HostOptions& options, const VideoProducer& video) {
    YVKStreamerLiveCfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.rtspPort = options.port;
    cfg.sessionName = options.name.c_str();
    cfg.ifName = options.ifName.c_str();
    cfg.streamType = options.hls ? YVK_STREAM_TYPE_HLS : YVK_STREAM_TYPE_RTSP;
    cfg.videoEnable = 1;
    cfg.videoFormat = video.h265() ? "video/H265" : "video/H264";
    cfg.videoFrameRate = video.fps();
    cfg.videoWidth = video.width();
    cfg.videoHeight = video.height();
    cfg.maxFrameSize = static_cast<uint32_t>(std::max(512 * 1024, video.width() * video.height()));
    cfg.audio.enable = options.audio == "pcm" ? 1 : 0;
    cfg.audio.format = "audio/L16";
    cfg.audio.samplingFrequency = options.audioRate;
    cfg.audio.bitsPerSample = options.audioBits;
    cfg.audio.numChannels = options.audioChannels;
    return cfg;
}

int runLive(const HostOptions& options) {
    sigset_t stopSignals = blockStopSignals();
    RecordPool audioPool(kAudioRecords, kAudioRecords / 2);
    VideoProducer* video = nullptr;
    std::string error;
    // The pool holds what the library may keep (two seconds of frames) and
    // what is on its way.
    RecordPool videoPool(static_cast<size_t>(4 * std::max(options.fps, 25) + 16),
                         static_cast<size_t>(std::max(options.fps, 25)));
    video = new VideoProducer(videoPool);
    if (!video->open(options, error)) {
        std::fprintf(stderr, "yvkstreamer: %s\n", error.c_str());
        delete video;
        return 1;
    }
    // An hour of frames at most; allocated only when asked for.
    std::unique_ptr<PopLog> popLog;
    if (!options.latencyLog.empty()) {
        popLog = std::make_unique<PopLog>(static_cast<size_t>(3600 * std::max(video->fps(), 1)));
        videoPool.setPopLog(popLog.get());
        video->markFrames(true);
    }
    ToneProducer tone(audioPool);
    video->start();
    // For HTTP streaming the library encodes AAC: a block per AAC frame.
    unsigned block = options.hls ? ToneProducer::aacBlockBytes(options.audioBits, options.audioChannels) : 0;
    if (options.audio == "pcm") tone.start(options.audioRate, options.audioBits, options.audioChannels, block);

    YVKStreamerLiveCfg cfg = liveConfig(options, *video);
    YVKStreamerQIO videoIO = videoPool.queueIO();
    YVKStreamerQIO audioIO = audioPool.queueIO();
    applySecurityOptions(options.security);
    HTTP_DOC_ROOT = options.webRoot.c_str(); // read by New
    // What the instance adds to the process is measured from here
    // (bench/hls_memory.sh).
    std::printf("resident before the instance: %ld kB\n", residentKilobytes());
    std::fflush(stdout);
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
    if (core == nullptr || !YVK_StreamerCoreRun(core)) {
        std::fprintf(stderr, "yvkstreamer: the streaming instance could not be %s\n",
                     core == nullptr ? "created" : "started");
        YVK_StreamerCoreFree(core);
        tone.stop();
        delete video;
        return 1;
    }
    std::string address = interfaceAddress(options.ifName);
    if (options.hls) {
        // HTTP streaming always listens on 8554.
        std::printf("Web page: http://%s:8554/\n", address.c_str());
        std::printf("HLS playlist: http://%s:8554/%s.m3u8\n", address.c_str(), options.name.c_str());
        std::printf("MPEG-DASH manifest: http://%s:8554/%s.mpd\n", address.c_str(), options.name.c_str());
        std::printf("RTSP server: %s://%s:8554/%s\n", rtspScheme(options.security), address.c_str(),
                    options.name.c_str());
    } else {
        std::printf("RTSP server: %s://%s:%u/%s\n", rtspScheme(options.security), address.c_str(), options.port,
                    options.name.c_str());
    }
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    int signal = 0;
    const timespec interval{kStatusIntervalSeconds, 0};
    while ((signal = sigtimedwait(&stopSignals, nullptr, &interval)) < 0) printStatus(*video, videoPool, audioPool);
    std::printf("Stopping (%s).\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    YVK_StreamerCoreStop(core);
    YVK_StreamerCoreFree(core);
    tone.stop();
    video->stop();
    printStatus(*video, videoPool, audioPool);
    delete video;
    bool balanced = printAccount("video", videoPool);
    balanced = printAccount("audio", audioPool) && balanced;
    if (popLog != nullptr) {
        if (popLog->write(options.latencyLog))
            std::printf("latency log: %zu frames popped (%llu not logged) in %s\n", popLog->size(),
                        static_cast<unsigned long long>(popLog->lost()), options.latencyLog.c_str());
        else
            std::fprintf(stderr, "yvkstreamer: cannot write %s\n", options.latencyLog.c_str());
    }
    std::fflush(stdout);
    return balanced ? 0 : 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("yvkstreamer: libyvkstreamer_core %s on live555 %s\n", VERSION, LIVE555_VERSION);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "file") == 0) {
        setenv("YVK_TRACE_LEVEL", "1", 0);
        av_log_set_level(AV_LOG_ERROR);
        NET_SETUP_COMMANDS = 0;
        return runFileMode(argc, argv);
    }
    HostOptions options;
    std::string error;
    if (!parseHostOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "yvkstreamer: %s\n\n%s", error.c_str(), hostUsage(argv[0]).c_str());
        return 2;
    }
    if (options.help) {
        std::printf("%s", hostUsage(argv[0]).c_str());
        return 0;
    }
    // The library's per-block information lines would drown the status
    // lines; errors only, unless the user asked otherwise.
    setenv("YVK_TRACE_LEVEL", "1", 0);
    av_log_set_level(AV_LOG_ERROR);
    NET_SETUP_COMMANDS = options.netSetup ? 1 : 0;
    return runLive(options);
}
