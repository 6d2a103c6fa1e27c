// The instance record behind the opaque YVKStreamerCore pointer.
#ifndef YVK_CORE_INSTANCE_HH
#define YVK_CORE_INSTANCE_HH

#include "yvkstreamer_core.h"
#include "VodFileInput.hh"

#include <UsageEnvironment.hh>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

class RTSPServer;

// The six fields both configuration records begin with; New reads the
// interface name and the stream type through it whatever the mode.
struct YVKStreamerCfgHead {
    uint32_t reserved0;
    uint16_t rtspPort;
    uint16_t reserved6;
    uint32_t reserved8;
    const char* sessionName;
    const char* ifName;
    int32_t streamType;
};

#define YVK_SAME_HEAD_FIELD(cfg, field) \
    static_assert(offsetof(cfg, field) == offsetof(YVKStreamerCfgHead, field), #cfg " head differs")
YVK_SAME_HEAD_FIELD(YVKStreamerLiveCfg, rtspPort);
YVK_SAME_HEAD_FIELD(YVKStreamerLiveCfg, sessionName);
YVK_SAME_HEAD_FIELD(YVKStreamerLiveCfg, ifName);
YVK_SAME_HEAD_FIELD(YVKStreamerLiveCfg, streamType);
YVK_SAME_HEAD_FIELD(YVKStreamerFileCfg, rtspPort);
YVK_SAME_HEAD_FIELD(YVKStreamerFileCfg, sessionName);
YVK_SAME_HEAD_FIELD(YVKStreamerFileCfg, ifName);
YVK_SAME_HEAD_FIELD(YVKStreamerFileCfg, streamType);
#undef YVK_SAME_HEAD_FIELD

// Allocated zero-filled with YVK_Malloc and constructed in place by New;
// destroyed in place and released with YVK_Free by Free.  The live555 objects
// are built and destroyed on the host's thread and driven only by the loop
// thread while it runs.
struct YVKStreamerCore {
    // Allocated by New, owned.
    TaskScheduler* scheduler;
    UsageEnvironment* env;
    RTSPServer* rtspServer;       // null until created
    std::thread loopThread;       // not joinable when no loop runs

    int32_t mode;
    YVKStreamerLiveCfg liveCfg;   // live mode only
    YVKStreamerFileCfg fileCfg;   // file mode only

    // The event loop's watch variable: written by Stop on the host's thread,
    // read by the loop between steps (an atomic char in current live555).
    EventLoopWatchVariable stopFlag;

    YVKStreamerGetFileName getFileName;  // file mode with play list
    int32_t skipPreBuffer;
    int32_t videoMaster;
    VodFileIO vodFileIO;          // file-input callbacks handed to the file chain

    uint8_t debugDump;            // STRM_DEBUG asked for the stream dump
    char sessionNameBuf[128];     // the session name as registered
    char ifNameBuf[16];           // at most 15 characters and the terminator
    int32_t hlsSegDur;            // 1 for stream type 4, else 0
    // Raised on the loop thread by the HLS segment store, polled by Run.
    std::atomic<bool> hlsReady;
};

static_assert(sizeof(EventLoopWatchVariable) == 1, "the watch variable must be a single byte");

#endif // YVK_CORE_INSTANCE_HH
