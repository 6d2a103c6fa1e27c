#include "HostOptions.hh"

#include <cstdlib>
#include <cstring>

namespace {

bool parsePort(const char* text, unsigned short& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 65535) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

} // namespace

std::string hostUsage(const char* program) {
    return std::string("usage: ") + program + " live [options]\n"
           "\n"
           "Runs a live streaming instance of libyvkstreamer_core until Ctrl-C.\n"
           "\n"
           "  --port P      RTSP port (default 8554)\n"
           "  --name N      session name, the stream's path in URLs (default live)\n"
           "  --if IF       network interface whose address the URLs carry (default lo)\n"
           "  --net-setup   run the device's interface commands (multicast route,\n"
           "                transmit queue length) for real; by default they are\n"
           "                only traced, so this machine's network stays as it is\n"
           "  --help        this text\n";
}

bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error) {
    int index = 1;
    if (index < argc && argv[index][0] != '-') options.mode = argv[index++];
    for (; index < argc; ++index) {
        const char* arg = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
        } else if (std::strcmp(arg, "--net-setup") == 0) {
            options.netSetup = true;
        } else if (value == nullptr && (std::strcmp(arg, "--port") == 0 || std::strcmp(arg, "--name") == 0 ||
                                        std::strcmp(arg, "--if") == 0)) {
            error = std::string(arg) + " needs a value";
            return false;
        } else if (std::strcmp(arg, "--port") == 0) {
            if (!parsePort(value, options.port)) {
                error = std::string("bad port '") + value + "'";
                return false;
            }
            ++index;
        } else if (std::strcmp(arg, "--name") == 0) {
            options.name = value;
            ++index;
        } else if (std::strcmp(arg, "--if") == 0) {
            options.ifName = value;
            ++index;
        } else {
            error = std::string("unknown option '") + arg + "'";
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
