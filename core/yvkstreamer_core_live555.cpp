// The five exported functions: instance creation, event-loop thread,
// control commands, stop and teardown.
#include "CoreInstance.hh"
#include "EpollTaskScheduler.hh"
#include "yvkstreamer_core_live555.hh"

#include "yvk_system.h"

#include <BasicUsageEnvironment.hh>
#include <liveMedia.hh>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include <pthread.h>

#define YVK_TRACE_MODULE "yvkstreamer_core"

namespace {

constexpr unsigned kSchedulerGranularityUs = 10000; // the loop sees stopFlag every 10 ms
constexpr int kHlsReadyPolls = 1000;
constexpr unsigned kHlsReadyPollMs = 10;
constexpr size_t kMaxSessionName = sizeof(YVKStreamerCore::sessionNameBuf) - 1;

void releaseInstance(YVKStreamerCore* core) {
    if (core->rtspServer != nullptr) {
        Medium::close(core->rtspServer);
        core->rtspServer = nullptr;
    }
    if (core->env != nullptr) core->env->reclaim();
    delete core->scheduler;
    core->~YVKStreamerCore();
    YVK_Free(core);
}

// Step 3 and 4 of New: the stream type (0 means RTSP, written back) and the
// interface name, read from the record whatever the mode.
void takeCommonFields(YVKStreamerCore* core, YVKStreamerCfgHead* head) {
    if (head->streamType == 0) head->streamType = YVK_STREAM_TYPE_RTSP;
    if (head->streamType == YVK_STREAM_TYPE_HLS) {
        core->hlsReady.store(false, std::memory_order_relaxed);
        core->hlsSegDur = 1;
    }
    if (head->ifName != nullptr) std::snprintf(core->ifNameBuf, sizeof core->ifNameBuf, "%s", head->ifName);
}

bool sessionNameFits(int mode, const YVKStreamerCfgHead* head) {
    if (mode != YVK_STREAMER_MODE_LIVE && mode != YVK_STREAMER_MODE_FILE) return true;
    if (head->sessionName == nullptr || std::strlen(head->sessionName) <= kMaxSessionName) return true;
    YVK_TRACE(YVK_TRACE_ERROR, "session name longer than %d characters\n", static_cast<int>(kMaxSessionName));
    return false;
}

// The epoll scheduler, or live555's select() scheduler where epoll is
// missing (that one serves descriptors below 1024 only).
TaskScheduler* createScheduler() {
    TaskScheduler* scheduler = EpollTaskScheduler::createNew(kSchedulerGranularityUs);
    if (scheduler != nullptr) return scheduler;
    YVK_TRACE(YVK_TRACE_ERROR, "epoll scheduler unavailable (%s), using select()\n", std::strerror(errno));
    return BasicTaskScheduler::createNew(kSchedulerGranularityUs);
}

bool createEnvironment(YVKStreamerCore* core) {
    core->scheduler = createScheduler();
    if (core->scheduler == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "BasicTaskScheduler::createNew fail\n");
        return false;
    }
    core->env = BasicUsageEnvironment::createNew(*core->scheduler);
    if (core->env == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "BasicUsageEnvironment::createNew fail\n");
        return false;
    }
    return true;
}

void readDebugSwitch(YVKStreamerCore* core) {
    const char* value = std::getenv("STRM_DEBUG");
    if (value != nullptr) core->debugDump = std::strtoul(value, nullptr, 10) != 0 ? 1 : 0;
}

bool assemble(YVKStreamerCore* core, void* cfg, const YVKStreamerQIO* videoIO, const YVKStreamerQIO* audioIO) {
    switch (core->mode) {
    case YVK_STREAMER_MODE_LIVE:
        return streamer_new_live(core, static_cast<const YVKStreamerLiveCfg*>(cfg), videoIO, audioIO);
    case YVK_STREAMER_MODE_FILE:
        return streamer_new_file(core, static_cast<const YVKStreamerFileCfg*>(cfg));
    default:
        return true; // scheduler and environment only
    }
}

void runEventLoop(YVKStreamerCore* core) {
    // A write to a client that has gone (TLS writes cannot ask for
    // MSG_NOSIGNAL) fails with EPIPE on this thread instead of raising a
    // SIGPIPE that would end the host's process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    core->env->taskScheduler().doEventLoop(&core->stopFlag);
}

bool waitForHls(YVKStreamerCore* core) {
    for (int poll = 0; poll < kHlsReadyPolls && !core->hlsReady.load(std::memory_order_acquire); ++poll) {
        YVK_ThreadSleep(kHlsReadyPollMs);
    }
    return core->hlsReady.load(std::memory_order_acquire);
}

} // namespace

extern "C" YVK_API YVKStreamerCore* YVK_StreamerCoreNew(int mode, void* cfg, const YVKStreamerQIO* videoIO,
                                                        const YVKStreamerQIO* audioIO) {
    void* memory = YVK_MALLOC(sizeof(YVKStreamerCore));
    if (memory == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "malloc (%d) failed\n", static_cast<int>(sizeof(YVKStreamerCore)));
        return nullptr;
    }
    if (mode == 0) {
        YVK_Free(memory);
        return nullptr;
    }
    if (cfg == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "configuration record is NULL\n");
        YVK_Free(memory);
        return nullptr;
    }
    auto* core = new (memory) YVKStreamerCore();
    auto* head = static_cast<YVKStreamerCfgHead*>(cfg);
    takeCommonFields(core, head);
    core->mode = mode;
    if (!sessionNameFits(mode, head) || !createEnvironment(core)) {
        releaseInstance(core);
        return nullptr;
    }
    readDebugSwitch(core);
    if (!assemble(core, cfg, videoIO, audioIO)) {
        releaseInstance(core);
        return nullptr;
    }
    runNetworkSetup(core->ifNameBuf);
    return core;
}

extern "C" YVK_API int YVK_StreamerCoreRun(YVKStreamerCore* core) {
    if (core == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "streamer instance is NULL\n");
        return 0;
    }
    if (!core->loopThread.joinable()) {
        core->stopFlag = 0;
        try {
            core->loopThread = std::thread(runEventLoop, core);
        } catch (const std::system_error& error) {
            YVK_TRACE(YVK_TRACE_ERROR, "cannot start the event loop thread: %s\n", error.what());
            return 0;
        }
    }
    if (core->hlsSegDur <= 0) return 1;
    if (!waitForHls(core)) {
        YVK_TRACE(YVK_TRACE_ERROR, "Waiting HLS ready... timeout!\n");
        return 0;
    }
    std::printf("%sHLS Started!%s\n", "\033[33m", "\033[0m");
    return 1;
}

extern "C" YVK_API int YVK_StreamerCoreCtrl(YVKStreamerCore* core, const YVKStreamerCtrlCmd* cmd) {
    if (core == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "streamer instance is NULL\n");
        return 0;
    }
    if (cmd == nullptr) return 0;
    if (cmd->command != YVK_STREAMER_CMD_VIDEO_TRACK || core->mode != YVK_STREAMER_MODE_FILE) return 1;
    if (!requestVideoTrackSwitch(cmd->value)) {
        YVK_TRACE(YVK_TRACE_ERROR, "aviDemux is NULL\n");
        return 0;
    }
    return 1;
}

extern "C" YVK_API int YVK_StreamerCoreStop(YVKStreamerCore* core) {
    if (core == nullptr) {
        YVK_TRACE(YVK_TRACE_INFO, "streamer is already stopped\n");
        return 1;
    }
    if (!core->loopThread.joinable()) return 1;
    core->stopFlag = 1;
    core->loopThread.join();
    return 1;
}

extern "C" YVK_API void YVK_StreamerCoreFree(YVKStreamerCore* core) {
    if (core == nullptr) return;
    YVK_StreamerCoreStop(core);
    if (core->rtspServer != nullptr) {
        // The server and its client sessions go before the file's demux,
        // whose track sources they may still hold.  Closing the server ends
        // its client sessions and connections (an HTTP download still holds
        // a stream of the session) before it deletes the sessions.
        Medium::close(core->rtspServer);
        core->rtspServer = nullptr;
    }
    if (core->mode == YVK_STREAMER_MODE_FILE) releaseFileDemux();
    releaseInstance(core);
}
