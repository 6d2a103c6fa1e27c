// Command line of the reference host program.
#ifndef YVK_HOST_OPTIONS_HH
#define YVK_HOST_OPTIONS_HH

#include "HostSupport.hh"

#include <string>

#ifndef YVK_HOST_WEB_DIR
#define YVK_HOST_WEB_DIR "web"
#endif

struct HostOptions {
    std::string mode;              // "live"
    unsigned short port = 8554;
    std::string name = "live";
    std::string ifName = "lo";
    bool netSetup = false;         // run the interface commands for real
    bool hls = false;              // live HTTP streaming (HLS/DASH) instead of RTSP
    std::string codec = "h264";    // "h264" or "h265"
    int width = 1280;
    int height = 720;
    int fps = 25;
    long bitrate = 2000000;        // bits per second
    std::string source = "testpattern"; // or a media file
    std::string audio = "pcm";     // "none" or "pcm"
    int audioRate = 16000;
    int audioBits = 16;            // 8, 16 or 24
    int audioChannels = 1;
    SecurityOptions security;
    std::string webRoot = YVK_HOST_WEB_DIR; // static files of the HTTP port (HTTP_DOC_ROOT)
    std::string latencyLog;        // marks the frames and logs when each was popped (benchmarks)
    bool help = false;
};

// Parses argv; on a bad command line returns false with the reason in error.
bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error);

// The text --help prints.
std::string hostUsage(const char* program);

#endif // YVK_HOST_OPTIONS_HH
