// yvkstreamer: the reference host program of libyvkstreamer_core.
//
// It builds an instance from its command line, runs it until SIGINT or
// SIGTERM, then stops and frees it and exits with status 0.
#include "HostOptions.hh"

#include "yvkstreamer_core.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The interface's IPv4 address, or 127.0.0.1 when it has none.
std::string interfaceAddress(const std::string& ifName) {
    std::string address = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return address;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (ifName != entry->ifa_name) continue;
        char text[INET_ADDRSTRLEN];
        auto* in = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) address = text;
        break;
    }
    freeifaddrs(list);
    return address;
}

// Blocks SIGINT and SIGTERM in every thread (the library's threads inherit
// the mask) so that the main thread alone receives them with sigwait.
sigset_t blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

int runLive(const HostOptions& options) {
    YVKStreamerLiveCfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.rtspPort = options.port;
    cfg.sessionName = options.name.c_str();
    cfg.ifName = options.ifName.c_str();
    cfg.streamType = YVK_STREAM_TYPE_RTSP;

    YVKStreamerQIO videoIO;
    YVKStreamerQIO audioIO;
    std::memset(&videoIO, 0, sizeof videoIO);
    std::memset(&audioIO, 0, sizeof audioIO);

    sigset_t stopSignals = blockStopSignals();
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
    if (core == nullptr) {
        std::fprintf(stderr, "yvkstreamer: the streaming instance could not be created\n");
        return 1;
    }
    if (!YVK_StreamerCoreRun(core)) {
        std::fprintf(stderr, "yvkstreamer: the streaming instance did not start\n");
        YVK_StreamerCoreFree(core);
        return 1;
    }
    std::printf("RTSP server: rtsp://%s:%u/%s\n", interfaceAddress(options.ifName).c_str(), options.port,
                options.name.c_str());
    std::printf("Press Ctrl-C to stop.\n");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::printf("Stopping (%s).\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    YVK_StreamerCoreStop(core);
    YVK_StreamerCoreFree(core);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
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
    NET_SETUP_COMMANDS = options.netSetup ? 1 : 0;
    return runLive(options);
}
