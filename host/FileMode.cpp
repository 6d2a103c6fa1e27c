// File mode of the reference host program.
#include "FileMode.hh"
#include "HostSupport.hh"

#include "yvkstreamer_core.h"

#include <signal.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kStatusIntervalSeconds = 5;
constexpr uint32_t kMaxFrameSize = 0x300000;

struct FileOptions {
    unsigned short port = 8554;
    std::string name = "vod";
    std::string ifName = "lo";
    int videoTrack = 1;
    bool text = false;
    std::vector<std::string> files;
    SecurityOptions security;
};

// The play list the library walks through its play-list function.
std::vector<std::string> gPlayList;

const char* playListEntry(int index) {
    return index >= 0 && static_cast<size_t>(index) < gPlayList.size() ? gPlayList[static_cast<size_t>(index)].c_str()
                                                                        : nullptr;
}

void printText(uint64_t timestampMs, char* text, int size) {
    std::printf("text %" PRIu64 " ms: %.*s\n", timestampMs, size, text);
    std::fflush(stdout);
}

bool parseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

bool parseFileOptions(int argc, char** argv, FileOptions& options, std::string& error) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        long value = 0;
        int security = takeSecurityOption(argc, argv, i, options.security, error);
        if (security < 0) return false;
        if (security > 0) continue;
        if (arg == "--port" && hasValue) {
            if (!parseNumber(argv[++i], 1, 65535, value)) return error = "bad port", false;
            options.port = static_cast<unsigned short>(value);
        } else if (arg == "--name" && hasValue) {
            options.name = argv[++i];
            if (options.name.empty() || options.name.size() > 127) return error = "bad session name", false;
        } else if (arg == "--if" && hasValue) {
            options.ifName = argv[++i];
        } else if (arg == "--video-track" && hasValue) {
            if (!parseNumber(argv[++i], 0, 5, value)) return error = "bad video track (0 to 5)", false;
            options.videoTrack = static_cast<int>(value);
        } else if (arg == "--text") {
            options.text = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return error = "unknown option '" + arg + "'", false;
        } else {
            options.files.push_back(arg);
        }
    }
    if (options.files.empty()) return error = "no media file given", false;
    return true;
}

} // namespace

std::string fileModeUsage(const char* program) {
    return std::string("usage: ") + program +
           " file [--port P] [--name N] [--if IFNAME] [--video-track K] [--text] [--user NAME:PASSWORD]\n"
           "       [--tls-cert FILE --tls-key FILE] FILE [FILE...]\n"
           "  Serves FILE over RTSP as rtsp://ADDRESS:P/N (default port 8554, name vod);\n"
           "  several files play one after the other as one play list.\n"
           "  --video-track K  1-based video track to serve (default 1)\n"
           "  --text           print the subtitle lines with their timestamps\n";
}

int runFileMode(int argc, char** argv) {
    FileOptions options;
    std::string error;
    if (!parseFileOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "yvkstreamer: %s\n\n%s", error.c_str(), fileModeUsage(argv[0]).c_str());
        return 2;
    }
    sigset_t stopSignals = blockStopSignals();
    gPlayList = options.files;
    YVKStreamerFileCfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.rtspPort = options.port;
    cfg.sessionName = options.name.c_str();
    cfg.ifName = options.ifName.c_str();
    cfg.streamType = YVK_STREAM_TYPE_RTSP;
    cfg.fileName = gPlayList.front().c_str();
    cfg.getFileName = gPlayList.size() > 1 ? playListEntry : nullptr;
    cfg.videoTrack = options.videoTrack;
    cfg.maxFrameSize = kMaxFrameSize;
    cfg.textEnable = options.text ? 1 : 0;
    cfg.textCallback = options.text ? printText : nullptr;

    applySecurityOptions(options.security);
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
    if (core == nullptr || !YVK_StreamerCoreRun(core)) {
        std::fprintf(stderr, "yvkstreamer: the streaming instance could not be %s\n",
                     core == nullptr ? "created" : "started");
        YVK_StreamerCoreFree(core);
        return 1;
    }
    std::printf("RTSP server: %s://%s:%u/%s (%zu file%s)\n", rtspScheme(options.security), interfaceAddress(options.ifName).c_str(),
                options.port, options.name.c_str(),
                gPlayList.size(), gPlayList.size() == 1 ? "" : "s");
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    int signal = 0;
    const timespec interval{kStatusIntervalSeconds, 0};
    while ((signal = sigtimedwait(&stopSignals, nullptr, &interval)) < 0) {
        std::printf("serving %s\n", gPlayList.front().c_str());
        std::fflush(stdout);
    }
    std::printf("Stopping (%s).\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    YVK_StreamerCoreStop(core);
    YVK_StreamerCoreFree(core);
    std::printf("Stopped.\n");
    std::fflush(stdout);
    return 0;
}
