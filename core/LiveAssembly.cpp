// The live half of YVK_StreamerCoreNew: the RTSP server and one session
// built from the host's configuration and queue records.
#include "CoreInstance.hh"
#include "yvkstreamer_core_live555.hh"

#include "yvk_system.h"

#include <liveMedia.hh>

#include <cstdio>

#define YVK_TRACE_MODULE "yvkstreamer_core"

namespace {
constexpr int kReclamationSeconds = 500;
}

bool streamer_new_live(YVKStreamerCore* core, const YVKStreamerLiveCfg* cfg, const YVKStreamerQIO* /*videoIO*/,
                       const YVKStreamerQIO* /*audioIO*/) {
    core->liveCfg = *cfg;
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
                                            UserList(), nullptr);
        if (core->rtspServer == nullptr) {
            YVK_TRACE(YVK_TRACE_ERROR, "createRTSPServer (live) fail\n");
            return false;
        }
    }
    if (core->liveCfg.videoEnable || core->liveCfg.audio.enable) {
        YVK_TRACE(YVK_TRACE_ERROR, "live video and audio sources are not built into this library yet\n");
        return false;
    }
    SubsessionList subsessions;
    const char* name = core->liveCfg.sessionName != nullptr ? core->liveCfg.sessionName : "";
    std::snprintf(core->sessionNameBuf, sizeof core->sessionNameBuf, "%s", name);
    addSubSessions(core->rtspServer, core->sessionNameBuf, core->ifNameBuf, subsessions);
    return true;
}
