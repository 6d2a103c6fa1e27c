// File mode: the RTSP server, the file's server demux with one subsession
// per track, and the video track switch of the control command.
#include "CoreInstance.hh"
#include "yvkstreamer_core_live555.hh"

#include "AviFile.hh"
#include "AviFileServerDemux.hh"
#include "AviTrack.hh"
#include "HTTPServer.hh"

#include "yvk_system.h"

#include <BasicUsageEnvironment.hh>
#include <liveMedia.hh>

#include <atomic>
#include <cstdio>
#include <cstring>

#define YVK_TRACE_MODULE "yvkstreamer_core"

// The file instance's server demux; one file instance per process.
AviFileServerDemux* aviDemux = nullptr;
EventLoopWatchVariable aviDemuxReady = 0;

namespace {

// A session with no request and no RTCP report for this long is reclaimed
// (RTSP's default timeout, which clients know to keep alive within).
constexpr int kReclamationSeconds = 60;

// The control command's track switch is carried to the loop thread by an
// event trigger; the index crosses threads through an atomic word.
EventTriggerId gTrackSwitchTrigger = 0;
TaskScheduler* gTrackSwitchScheduler = nullptr;
std::atomic<int> gRequestedVideoTrack{0};

void switchVideoTrack(void*) {
    if (aviDemux != nullptr) aviDemux->changevtrack(gRequestedVideoTrack.load(std::memory_order_acquire));
}

// A play list may come without a file name; its first entry then names the
// file whose start is parsed.
const char* nameToParse(const YVKStreamerFileCfg& cfg) {
    if (cfg.fileName != nullptr && cfg.fileName[0] != '\0') return cfg.fileName;
    const char* first = cfg.getFileName != nullptr ? cfg.getFileName(0) : nullptr;
    return first != nullptr ? first : "";
}

} // namespace

void onAviDemuxCreation(AviFileServerDemux* demux, void*) {
    YVK_TRACE(YVK_TRACE_INFO, "Success (%p)\n", static_cast<void*>(demux));
    aviDemux = demux;
    aviDemuxReady = 1;
}

// What the server's statistics tell of the stream: its video as served.
static void describeFileStream(YVKStreamerCore* core) {
    StreamDescription description;
    description.name = core->sessionNameBuf;
    description.mode = "file";
    description.delivery = "rtsp";
    AviFile* file = aviDemux->ourAviFile();
    constexpr unsigned kTracksLookedAt = 16;
    for (unsigned number = 1; file != nullptr && number <= kTracksLookedAt; ++number) {
        AviTrack* track = file->lookup(number);
        if (track != nullptr && track->isVideo && track->mimeType != nullptr) {
            description.codec = std::string(track->mimeType).substr(6); // after "video/"
            break;
        }
    }
    static_cast<HTTPServer*>(core->rtspServer)->describeStream(std::move(description));
}

bool streamer_new_file(YVKStreamerCore* core, const YVKStreamerFileCfg* cfg) {
    std::memcpy(&core->fileCfg, cfg, sizeof core->fileCfg);
    const YVKStreamerFileCfg& fileCfg = core->fileCfg;
    if (fileCfg.fileName == nullptr || (fileCfg.fileName[0] == '\0' && fileCfg.getFileName == nullptr)) return false;
    if (aviDemux != nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "a file instance exists already in this process\n");
        return false;
    }
    VodFileIO* vodFileIO = nullptr;
    if (fileCfg.getFileName != nullptr) {
        vodFillFileIO(&core->vodFileIO, core);
        core->getFileName = fileCfg.getFileName;
        core->skipPreBuffer = fileCfg.skipPreBuffer;
        core->videoMaster = fileCfg.videoMaster;
        vodFileIO = &core->vodFileIO;
    }
    if (core->rtspServer == nullptr) {
        core->rtspServer = createRTSPServer(*core->env, fileCfg.rtspPort, 0, kReclamationSeconds, 0, configuredUsers(),
                                            RTSP_REALM);
        if (core->rtspServer == nullptr) {
            YVK_TRACE(YVK_TRACE_ERROR, "createRTSPServer (vod) fail\n");
            return false;
        }
        static_cast<LiveRTSPServer*>(core->rtspServer)->setStreamsServeOneClient(true);
    }
    if (fileCfg.maxFrameSize > OutPacketBuffer::maxSize) OutPacketBuffer::maxSize = fileCfg.maxFrameSize;

    aviDemuxReady = 0;
    FileUserDataArg userData{fileCfg.textEnable, fileCfg.textEnable != 0 ? fileCfg.textCallback : nullptr};
    auto videoTrackIndex = static_cast<unsigned>(fileCfg.videoTrack - 1);
    AviFileServerDemux::createNew(*core->env, nameToParse(fileCfg), videoTrackIndex, vodFileIO, onAviDemuxCreation,
                                  nullptr, fileCfg.parserOption, &userData);
    core->env->taskScheduler().doEventLoop(&aviDemuxReady);

    SubsessionList subsessions;
    for (;;) {
        ServerMediaSubsession* subsession = aviDemux->newServerMediaSubsession();
        aviDemux->changevtrack(fileCfg.videoTrack - 1);
        if (subsession == nullptr) break;
        subsessions.push_back(subsession);
    }
    if (subsessions.empty()) {
        YVK_TRACE(YVK_TRACE_ERROR, "no track to serve in (%s)\n", nameToParse(fileCfg));
        releaseFileDemux();
        return false;
    }
    gRequestedVideoTrack.store(fileCfg.videoTrack - 1, std::memory_order_relaxed);
    gTrackSwitchScheduler = &core->env->taskScheduler();
    gTrackSwitchTrigger = gTrackSwitchScheduler->createEventTrigger(switchVideoTrack);

    const char* name = fileCfg.sessionName != nullptr ? fileCfg.sessionName : "";
    std::snprintf(core->sessionNameBuf, sizeof core->sessionNameBuf, "%s", name);
    if (addSubSessions(core->rtspServer, core->sessionNameBuf, core->ifNameBuf, subsessions) > 0) {
        describeFileStream(core);
    }
    return true;
}

bool requestVideoTrackSwitch(int index) {
    if (aviDemux == nullptr || gTrackSwitchScheduler == nullptr) return false;
    gRequestedVideoTrack.store(index, std::memory_order_release);
    gTrackSwitchScheduler->triggerEvent(gTrackSwitchTrigger, nullptr);
    return true;
}

void releaseFileDemux() {
    if (gTrackSwitchScheduler != nullptr) gTrackSwitchScheduler->deleteEventTrigger(gTrackSwitchTrigger);
    gTrackSwitchScheduler = nullptr;
    gTrackSwitchTrigger = 0;
    Medium::close(aviDemux);
    aviDemux = nullptr;
    aviDemuxReady = 0;
}
