#include "HostSupport.hh"

#include "yvkstreamer_core.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>

#include <cstdio>

sigset_t blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

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

int takeSecurityOption(int argc, char** argv, int& index, SecurityOptions& options, std::string& error) {
    const std::string arg = argv[index];
    if (arg != "--user" && arg != "--tls-cert" && arg != "--tls-key") return 0;
    if (index + 1 >= argc) {
        error = arg + " needs a value";
        return -1;
    }
    const std::string value = argv[++index];
    if (arg == "--user") {
        size_t colon = value.find(':');
        if (colon == std::string::npos || colon == 0 || value.find('\n') != std::string::npos) {
            error = "bad user '" + value + "' (NAME:PASSWORD)";
            return -1;
        }
        options.users += value + "\n";
    } else {
        (arg == "--tls-cert" ? options.tlsCert : options.tlsKey) = value;
    }
    return 1;
}

void applySecurityOptions(const SecurityOptions& options) {
    RTSP_USERS = options.users.empty() ? nullptr : options.users.c_str();
    RTSP_TLS_CERT = options.tlsCert.empty() ? nullptr : options.tlsCert.c_str();
    RTSP_TLS_KEY = options.tlsKey.empty() ? nullptr : options.tlsKey.c_str();
}

const char* rtspScheme(const SecurityOptions& options) {
    return options.tlsCert.empty() ? "rtsp" : "rtsps";
}

const char* const kSecurityUsage =
    "  --user NAME:PASSWORD  require digest authentication for RTSP and HTTP\n"
    "                      (repeat for more users)\n"
    "  --tls-cert FILE     PEM certificate: RTSP over TLS only (rtsps://), with\n"
    "  --tls-key FILE      its PEM private key\n";

long residentKilobytes() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kilobytes = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmRSS: %ld kB", &kilobytes) == 1) break;
    }
    std::fclose(status);
    return kilobytes;
}
