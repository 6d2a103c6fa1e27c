// The live half of YVK_StreamerCoreNew: the RTSP server and one session
// built from the host's configuration and queue records.
#include "CoreInstance.hh"
#include "yvkstreamer_core_live555.hh"

#include "AudioEncSource.hh"
#include "H26xQueueSource.hh"
#include "HLSServerMediaSubsession.hh"
#include "HTTPServer.hh"
#include "PCMQueueSource.hh"
#include "ProgramMapVersioner.hh"
#include "UnicastServerMediaSubsession.hh"

#include "yvk_system.h"

#include <liveMedia.hh>

#include <cstdio>
#include <memory>
#include <string>

#define YVK_TRACE_MODULE "yvkstreamer_core"

namespace {

// A session with no request and no RTCP report for this long is reclaimed
// (RTSP's default timeout, which clients know to keep alive within).
constexpr int kReclamationSeconds = 60;
// The sample description the live assembly gives a video subsession (only
// "audio/L16" subsessions look at it).
constexpr int kVideoBitsPerSample = 16;
constexpr int kVideoSamplingFrequency = 16000;
constexpr int kVideoNumChannels = 1;
// AAC for the Transport Stream.
constexpr int kAacBitRate = 96000;
constexpr int kEncoderAac = 1;
constexpr int kMpegVersionAac = 4;
constexpr int kMpegVersionH264 = 5;
constexpr int kMpegVersionH265 = 6;

bool supportedSampleWidth(int bits) {
    return bits % 4 == 0 && bits >= 4 && bits != 12 && bits <= 24;
}

// One medium of the session: source -> replicator -> unicast subsession.
ServerMediaSubsession* unicastSubsession(UsageEnvironment& env, FramedSource* source, const std::string& format,
                                         int bitsPerSample, int samplingFrequency, int numChannels,
                                         const char* replicatorFailure) {
    StreamReplicator* replicator = StreamReplicator::createNew(env, source, False);
    if (replicator == nullptr) {
        YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_ERROR, __FILE__, __LINE__, "streamer_new_live", "%s",
                  replicatorFailure);
        Medium::close(source);
        return nullptr;
    }
    ServerMediaSubsession* subsession = UnicastServerMediaSubsession::createNew(
        env, replicator, format, bitsPerSample, samplingFrequency, numChannels);
    if (subsession == nullptr) Medium::close(replicator);
    return subsession;
}

bool buildRtspSubsessions(YVKStreamerCore* core, const YVKStreamerQIO& videoIO, const YVKStreamerQIO& audioIO,
                          SubsessionList& subsessions, std::shared_ptr<StreamCounters>& counters) {
    UsageEnvironment& env = *core->env;
    const YVKStreamerLiveCfg& cfg = core->liveCfg;
    if (cfg.videoEnable) {
        std::string mediaFormat = cfg.videoFormat != nullptr ? cfg.videoFormat : "";
        H26xQueueSource* video = H26xQueueSource::createNew(env, mediaFormat, cfg.videoFrameRate, cfg.videoWidth,
                                                            cfg.videoHeight, videoIO, true);
        if (video == nullptr) {
            YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_ERROR, __FILE__, __LINE__, "streamer_new_live",
                      "H26xQueueSource::createNew fail!\n");
            return false;
        }
        video->abortWaitsOn(&core->stopFlag); // Stop never waits for a DESCRIBE
        counters = video->counters();
        ServerMediaSubsession* subsession =
            unicastSubsession(env, video, mediaFormat, kVideoBitsPerSample, kVideoSamplingFrequency,
                              kVideoNumChannels, "Vid StreamReplicator create(live) fail\n");
        if (subsession == nullptr) return false;
        subsessions.push_back(subsession);
    }
    if (cfg.audio.enable) {
        std::string mediaFormat = cfg.audio.format != nullptr ? cfg.audio.format : "";
        FramedSource* audio = createAudioSource(env, &cfg.audio, audioIO, 0, nullptr);
        if (audio == nullptr) {
            YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_ERROR, __FILE__, __LINE__, "streamer_new_live",
                      "createAudioSource() fail!\n");
            return false;
        }
        // The audio subsession is told the real sample format: its RTP clock
        // and payload type follow from it.
        ServerMediaSubsession* subsession =
            unicastSubsession(env, audio, mediaFormat, cfg.audio.bitsPerSample, cfg.audio.samplingFrequency,
                              cfg.audio.numChannels, "Aud StreamReplicator create(live) fail\n");
        if (subsession == nullptr) return false;
        subsessions.push_back(subsession);
    }
    return true;
}

void traceLive(const char* format, const char* argument = "") {
    YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_ERROR, __FILE__, __LINE__, "streamer_new_live", format, argument);
}

// The multiplexer's input buffers hold the largest frame; without a
// configured size the dependency's default stays.
void setMuxFrameLimit(unsigned maxFrameSize) {
    if (maxFrameSize > 0) MPEG2TransportStreamFromESSource::maxInputESFrameSize = maxFrameSize;
}

// Video (whole access units, wall-clock stamps) and AAC audio multiplexed
// into one Transport Stream, whose replica the HLS subsession cuts into
// slices from now on.  An audio source that cannot be made leaves video
// alone; no video leaves nothing to serve.
bool buildHttpSubsessions(YVKStreamerCore* core, const YVKStreamerQIO& videoIO, const YVKStreamerQIO& audioIO,
                          unsigned segDur, SubsessionList& subsessions, std::shared_ptr<StreamCounters>& counters) {
    UsageEnvironment& env = *core->env;
    const YVKStreamerLiveCfg& cfg = core->liveCfg;
    setMuxFrameLimit(cfg.maxFrameSize);
    MPEG2TransportStreamFromESSource* mux = nullptr;
    if (cfg.audio.enable) {
        FramedSource* audio = createAudioSource(env, &cfg.audio, audioIO, static_cast<int>(segDur),
                                                &H26xQueueSource::gDeliverStarted);
        if (audio != nullptr) {
            mux = MPEG2TransportStreamFromESSource::createNew(env);
            mux->addNewAudioSource(audio, kMpegVersionAac);
        }
    }
    if (!cfg.videoEnable) {
        Medium::close(mux);
        return true;
    }
    std::string mediaFormat = cfg.videoFormat != nullptr ? cfg.videoFormat : "";
    H26xQueueSource* video = H26xQueueSource::createNew(env, mediaFormat, cfg.videoFrameRate, cfg.videoWidth,
                                                        cfg.videoHeight, videoIO, true);
    if (video == nullptr) {
        traceLive("H26xQueueSource::createNew fail!\n");
        Medium::close(mux);
        return false;
    }
    video->abortWaitsOn(&core->stopFlag);
    counters = video->counters();
    video->fUseWallClock = true;
    video->fQueueAllUnits = true;
    video->fKeepStartCode = true;
    video->fWholeFrame = true;
    if (mux == nullptr) mux = MPEG2TransportStreamFromESSource::createNew(env);
    if (mediaFormat == "video/H264") {
        mux->addNewVideoSource(video, kMpegVersionH264);
    } else if (mediaFormat == "video/H265") {
        mux->addNewVideoSource(video, kMpegVersionH265);
    } else {
        traceLive("unknown video rtpFormat (%s)\n", mediaFormat.c_str());
        Medium::close(video);
        Medium::close(mux);
        return false;
    }
    setMuxFrameLimit(cfg.maxFrameSize);
    // Audio joins the program map after the first video: the map's version
    // must say so.
    FramedSource* stream = ProgramMapVersioner::createNew(env, mux);
    StreamReplicator* replicator = StreamReplicator::createNew(env, stream, False);
    if (replicator == nullptr) {
        traceLive("StreamReplicator create(live) fail\n");
        Medium::close(stream);
        return false;
    }
    subsessions.push_back(new HLSServerMediaSubsession(env, replicator, "video/MP2T", segDur, core->hlsReady));
    return true;
}

// What the server's statistics tell of the stream.
void describeLiveStream(YVKStreamerCore* core, bool http, std::shared_ptr<StreamCounters> counters) {
    const YVKStreamerLiveCfg& cfg = core->liveCfg;
    StreamDescription description;
    description.name = core->sessionNameBuf;
    description.mode = "live";
    description.delivery = http ? "hls" : "rtsp";
    std::string format = cfg.videoFormat != nullptr ? cfg.videoFormat : "";
    description.codec = format.compare(0, 6, "video/") == 0 ? format.substr(6) : format;
    description.width = cfg.videoWidth;
    description.height = cfg.videoHeight;
    description.frameRate = cfg.videoFrameRate;
    description.counters = std::move(counters);
    static_cast<HTTPServer*>(core->rtspServer)->describeStream(std::move(description));
}

// Closes what was built before a later step failed; the video source's
// reader thread is joined on the way.
void closeSubsessions(SubsessionList& subsessions) {
    for (ServerMediaSubsession* subsession : subsessions) Medium::close(subsession);
    subsessions.clear();
}

} // namespace

// The AAC source for HTTP streaming; one whose encoder could not be made
// would only ever deliver empty frames, so it counts as not created.
static FramedSource* createEncodingSource(UsageEnvironment& env, const YVKStreamerAudio* audio,
                                          const YVKStreamerQIO& qio, bool* deliverStarted) {
    AudioEncInfo info{audio->samplingFrequency, audio->bitsPerSample, audio->numChannels, 0, kAacBitRate,
                      kEncoderAac};
    AudioEncSource* source = AudioEncSource::createNew(env, &info, qio, true, deliverStarted);
    if (source != nullptr && source->inputSize() == 0) {
        Medium::close(source);
        source = nullptr;
    }
    if (source == nullptr) YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_ERROR, __FILE__, __LINE__, "createAudioSource",
                                     "AudioEncSource::createNew() returns NULL\n");
    return source;
}

YVK_API FramedSource* createAudioSource(UsageEnvironment& env, const YVKStreamerAudio* audio, YVKStreamerQIO qio,
                                        int encode, bool* deliverStarted) {
    if (audio == nullptr) return nullptr;
    if (encode != 0) return createEncodingSource(env, audio, qio, deliverStarted);
    PCMQueueSource* pcm =
        PCMQueueSource::createNew(env, audio->samplingFrequency, audio->bitsPerSample, audio->numChannels, qio);
    if (pcm == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "PCMQueueSource::createNew() returns NULL\n");
        return nullptr;
    }
    int bits = pcm->bitsPerSample();
    if (!supportedSampleWidth(bits)) {
        YVK_TRACE(YVK_TRACE_ERROR, "%d bits per sample is not supported.\n", bits);
        Medium::close(pcm);
        return nullptr;
    }
    if (pcm->audioFormat() != 1) return pcm;
    if (bits == 16) return EndianSwap16::createNew(env, pcm);
    if (bits == 20 || bits == 24) return EndianSwap24::createNew(env, pcm);
    return pcm;
}

bool streamer_new_live(YVKStreamerCore* core, const YVKStreamerLiveCfg* cfg, const YVKStreamerQIO* videoIO,
                       const YVKStreamerQIO* audioIO) {
    core->liveCfg = *cfg;
    YVKStreamerQIO video{};
    YVKStreamerQIO audio{};
    if (videoIO != nullptr) video = *videoIO;
    if (audioIO != nullptr) audio = *audioIO;
    unsigned segDur = 0;
    if (core->liveCfg.streamType == YVK_STREAM_TYPE_HLS) {
        segDur = static_cast<unsigned>(core->hlsSegDur);
        core->liveCfg.rtspPort = 8554;
        std::printf("%sLive HLS (segdur:%d)%s\n", "\033[33m", static_cast<int>(segDur), "\033[0m");
    } else {
        std::printf("%sLive RTSP%s\n", "\033[33m", "\033[0m");
    }
    if (core->rtspServer == nullptr) {
        core->rtspServer = createRTSPServer(*core->env, core->liveCfg.rtspPort, 0, kReclamationSeconds, segDur,
                                            configuredUsers(), RTSP_REALM);
        if (core->rtspServer == nullptr) {
            YVK_TRACE(YVK_TRACE_ERROR, "createRTSPServer (live) fail\n");
            return false;
        }
    }
    if (core->debugDump) {
        video.dumpData = dumpStreamData;
        video.dumpEnabled = 1;
    }
    if (core->liveCfg.maxFrameSize > OutPacketBuffer::maxSize) OutPacketBuffer::maxSize = core->liveCfg.maxFrameSize;

    SubsessionList subsessions;
    std::shared_ptr<StreamCounters> counters;
    if (segDur == 0) {
        if (!buildRtspSubsessions(core, video, audio, subsessions, counters)) {
            closeSubsessions(subsessions);
            return false;
        }
    } else if (!buildHttpSubsessions(core, video, audio, segDur, subsessions, counters)) {
        closeSubsessions(subsessions);
        return false;
    }
    const char* name = core->liveCfg.sessionName != nullptr ? core->liveCfg.sessionName : "";
    std::snprintf(core->sessionNameBuf, sizeof core->sessionNameBuf, "%s", name);
    if (addSubSessions(core->rtspServer, core->sessionNameBuf, core->ifNameBuf, subsessions) > 0 &&
        core->liveCfg.videoEnable) {
        describeLiveStream(core, segDur != 0, std::move(counters));
    }
    return true;
}
