#include "HostOptions.hh"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace {

bool parseLong(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

template <typename T> bool parseInt(const char* text, long low, long high, T& value) {
    long parsed = 0;
    if (!parseLong(text, low, high, parsed)) return false;
    value = static_cast<T>(parsed);
    return true;
}

// "2M", "800k" or a plain number of bits per second.
bool parseBitrate(const char* text, long& value) {
    char* end = nullptr;
    double number = std::strtod(text, &end);
    if (end == text || number <= 0) return false;
    double scale = 1;
    if (*end == 'k' || *end == 'K') scale = 1e3, ++end;
    else if (*end == 'm' || *end == 'M') scale = 1e6, ++end;
    if (*end != '\0' || number * scale < 10000 || number * scale > 100e6) return false;
    value = static_cast<long>(number * scale);
    return true;
}

bool parseSize(const char* text, int& width, int& height) {
    char* end = nullptr;
    long w = std::strtol(text, &end, 10);
    if (end == text || (*end != 'x' && *end != 'X')) return false;
    const char* rest = end + 1;
    long h = std::strtol(rest, &end, 10);
    if (end == rest || *end != '\0' || w < 16 || h < 16 || w > 7680 || h > 4320 || w % 2 || h % 2) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

using ValueParser = std::function<bool(const char*, HostOptions&)>;

const std::map<std::string, ValueParser>& valueOptions() {
    static const std::map<std::string, ValueParser> parsers = {
        {"--port", [](const char* v, HostOptions& o) { return parseInt(v, 1, 65535, o.port); }},
        {"--name", [](const char* v, HostOptions& o) { o.name = v; return *v != '\0' && std::strlen(v) < 128; }},
        {"--if", [](const char* v, HostOptions& o) { o.ifName = v; return *v != '\0'; }},
        {"--codec", [](const char* v, HostOptions& o) { o.codec = v; return o.codec == "h264" || o.codec == "h265"; }},
        {"--size", [](const char* v, HostOptions& o) { return parseSize(v, o.width, o.height); }},
        {"--fps", [](const char* v, HostOptions& o) { return parseInt(v, 1, 120, o.fps); }},
        {"--bitrate", [](const char* v, HostOptions& o) { return parseBitrate(v, o.bitrate); }},
        {"--source", [](const char* v, HostOptions& o) { o.source = v; return *v != '\0'; }},
        {"--audio", [](const char* v, HostOptions& o) { o.audio = v; return o.audio == "none" || o.audio == "pcm"; }},
        {"--audio-rate", [](const char* v, HostOptions& o) { return parseInt(v, 8000, 192000, o.audioRate); }},
        {"--audio-bits", [](const char* v, HostOptions& o) {
             return parseInt(v, 8, 24, o.audioBits) && (o.audioBits == 8 || o.audioBits == 16 || o.audioBits == 24);
         }},
        {"--audio-channels", [](const char* v, HostOptions& o) { return parseInt(v, 1, 8, o.audioChannels); }},
        {"--web-root", [](const char* v, HostOptions& o) { o.webRoot = v; return *v != '\0'; }},
        {"--latency-log", [](const char* v, HostOptions& o) { o.latencyLog = v; return *v != '\0'; }},
    };
    return parsers;
}

} // namespace

std::string hostUsage(const char* program) {
    return std::string("usage: ") + program + " live [options]\n"
           "\n"
           "Runs a live streaming instance of libyvkstreamer_core until Ctrl-C.\n"
           "\n"
           "  --port P            RTSP port (default 8554)\n"
           "  --name N            session name, the stream's path in URLs (default live)\n"
           "  --if IF             network interface whose address the URLs carry (default lo)\n"
           "  --codec C           h264 or h265 (default h264)\n"
           "  --size WxH          test pattern size (default 1280x720)\n"
           "  --fps N             frames per second (default 25)\n"
           "  --bitrate B         test pattern bitrate, e.g. 800k or 2M (default 2M)\n"
           "  --source S          testpattern, or a media file with H.264/H.265 video,\n"
           "                      played in real time and looped (default testpattern)\n"
           "  --audio A           none or pcm, a sine tone (default pcm)\n"
           "  --audio-rate R      sample rate in Hz (default 16000)\n"
           "  --audio-bits B      8, 16 or 24 (default 16)\n"
           "  --audio-channels N  channels (default 1)\n"
           "  --hls               live HTTP streaming: video and AAC audio in a Transport\n"
           "                      Stream cut into one-second segments, served with HLS\n"
           "                      and MPEG-DASH playlists on port 8554 (key frame each second)\n"
           "  --web-root DIR      folder of the web page the HTTP port serves (default\n"
           "                      the project's web/ folder)\n"
           "  --latency-log FILE  benchmarks: put a numbered SEI in front of every access\n"
           "                      unit and write to FILE, at the end, one line per frame\n"
           "                      popped by the library: frame number, CLOCK_REALTIME ns\n"
           "  --net-setup         run the device's interface commands (multicast route,\n"
           "                      transmit queue length) for real; by default they are\n"
           "                      only traced, so this machine's network stays as it is\n"
           + kSecurityUsage +
           "  --help              this text\n"
           "\n"
           "       " + program + " --version   prints the library's and live555's versions\n";
}

bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error) {
    int index = 1;
    if (index < argc && argv[index][0] != '-') options.mode = argv[index++];
    for (; index < argc; ++index) {
        const char* arg = argv[index];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
            continue;
        }
        if (std::strcmp(arg, "--net-setup") == 0) {
            options.netSetup = true;
            continue;
        }
        if (std::strcmp(arg, "--hls") == 0) {
            options.hls = true;
            continue;
        }
        int security = takeSecurityOption(argc, argv, index, options.security, error);
        if (security < 0) return false;
        if (security > 0) continue;
        auto parser = valueOptions().find(arg);
        if (parser == valueOptions().end()) {
            error = std::string("unknown option '") + arg + "'";
            return false;
        }
        if (index + 1 >= argc) {
            error = std::string(arg) + " needs a value";
            return false;
        }
        const char* value = argv[++index];
        if (!parser->second(value, options)) {
            error = std::string("bad ") + (arg + 2) + " '" + value + "'"; // e.g. "bad port '99999'"
            return false;
        }
    }
    if (options.help) return true;
    if (options.mode != "live") {
        error = options.mode.empty() ? "no mode given" : "unknown mode '" + options.mode + "'";
        return false;
    }
    return true;
}
