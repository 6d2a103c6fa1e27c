// What the control unit asks of the device's operating system: the network
// set-up of the configured interface, its IPv4 address, and the debug dump of
// the live video stream.
#include "yvkstreamer_core_live555.hh"

#include "yvk_system.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#define YVK_TRACE_MODULE "yvkstreamer_core"

YVK_API int NET_SETUP_COMMANDS = 1; // declared extern "C" in the public header

namespace {

// Interface names go into shell command lines: anything a shell would
// interpret is refused.
bool isPlainInterfaceName(const char* ifName) {
    if (ifName == nullptr || *ifName == '\0') return false;
    for (const char* c = ifName; *c != '\0'; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && std::strchr("_.-:@", *c) == nullptr) return false;
    }
    return true;
}

void runShellCommand(const char* command) {
    if (NET_SETUP_COMMANDS == 0) {
        YVK_TRACE(YVK_TRACE_INFO, "network set-up not run: %s\n", command);
        return;
    }
    int status = std::system(command);
    (void)status; // the device's tools report their own failures
}

// The device's own tool is found on the search path as a shell would find it.
bool haveIpaddrTool() {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::string dirs(path);
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (access(((dir.empty() ? "." : dir) + "/ipaddr").c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

int interfaceIpFromIpaddrTool(char* address, const char* ifName) {
    char command[256];
    std::snprintf(command, sizeof command, "ipaddr show %s | grep inet | sed 's/\\// /g' | awk '{print $2}'",
                  ifName);
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) return 0;
    char line[24];
    bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    if (!read || std::strchr(line, '.') == nullptr) return 0; // nothing, or IPv6 only
    line[std::strcspn(line, "\n")] = '\0';
    std::memcpy(address, line, std::strlen(line) + 1);
    return 1;
}

int interfaceIpFromKernel(char* address, const char* ifName) {
    if (address == nullptr || ifName == nullptr) return 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int found = 0;
    for (ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (std::strcmp(entry->ifa_name, ifName) != 0) continue;
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        found = inet_ntop(AF_INET, &ipv4->sin_addr, address, INET_ADDRSTRLEN) != nullptr ? 1 : 0;
    }
    freeifaddrs(list);
    return found;
}

} // namespace

void runNetworkSetup(const char* ifName) {
    if (!isPlainInterfaceName(ifName)) {
        YVK_TRACE(YVK_TRACE_ERROR, "no network set-up for interface name '%s'\n", ifName != nullptr ? ifName : "");
        return;
    }
    char command[128];
    std::snprintf(command, sizeof command, "route add -net 224.0.0.0 netmask 240.0.0.0 %s", ifName);
    runShellCommand(command);
    std::snprintf(command, sizeof command, "ifconfig %s txqueuelen 10000", ifName);
    runShellCommand(command);
}

int getInterfaceIp(char* address, const char* ifName) {
    if (address == nullptr || !isPlainInterfaceName(ifName)) return 0;
    // Off the device (an ordinary Linux machine) there is no ipaddr tool.
    if (!haveIpaddrTool()) return interfaceIpFromKernel(address, ifName);
    return interfaceIpFromIpaddrTool(address, ifName);
}

void dumpStreamDataTo(const char* controlPath, const char* dumpPath, const void* data, unsigned int size) {
    FILE* control = std::fopen(controlPath, "rb");
    if (control == nullptr) return;
    int first = std::fgetc(control);
    std::fclose(control);
    if (first != '1') return;
    FILE* dump = std::fopen(dumpPath, "ab");
    if (dump == nullptr) return;
    if (data != nullptr && size > 0) std::fwrite(data, 1, size, dump);
    std::fclose(dump);
}

void dumpStreamData(const void* data, unsigned int size) {
    char dumpPath[64];
    std::snprintf(dumpPath, sizeof dumpPath, "%s.26x", "/mnt/mmc/stream-video");
    dumpStreamDataTo("/strm_dump", dumpPath, data, size);
}
