#include "FuzzSupport.hh"

#include "NetNamespace.hh"
#include "PacedLiveHost.hh"

#include <BasicUsageEnvironment.hh>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <thread>
#include <utility>

namespace yvk::fuzz {

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr unsigned kPcmBlockBytes = 2048;  // 1024 16-bit mono samples: one AAC frame
constexpr unsigned short kRtspPort = 8554;  // also the port live HTTP streaming forces
constexpr int kStreamingMs = 100;           // how long a reply may go on before the client leaves

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

// libFuzzer's timer signal may interrupt a connect, which then goes on
// without us: wait for it to finish.
bool connectionCompletes(int fd) {
    pollfd writable{fd, POLLOUT, 0};
    int ready;
    do ready = poll(&writable, 1, 5000);
    while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
}

int connectTo(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) fail("no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        (errno != EINTR || !connectionCompletes(fd))) {
        std::fprintf(stderr, "fuzz: connect: %s\n", std::strerror(errno));
        fail("the instance refused a connection");
    }
    return fd;
}

// The running instance and its host; both go at exit, the instance first,
// before any static object its threads might still touch.
YVKStreamerCore* gCore = nullptr;
yvk::test::PacedLiveHost* gHost = nullptr;

void stopLiveInstance() {
    if (gCore != nullptr) YVK_StreamerCoreFree(gCore);
    gCore = nullptr;
    delete gHost;
    gHost = nullptr;
}

} // namespace

UsageEnvironment& environment() {
    static TaskScheduler* scheduler = BasicTaskScheduler::createNew();
    static UsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
    return *env;
}

void isolateNetwork() {
    NET_SETUP_COMMANDS = 0;
    if (!yvk::test::enterPrivateNetNamespace()) {
        std::fprintf(stderr, "fuzz: no private network namespace (needs CAP_SYS_ADMIN); using the machine's loopback\n");
        return;
    }
    // Thousands of connections a second, each closed by the client, leave
    // their ports in TIME_WAIT for a minute: within minutes no port is left
    // to connect from.  The namespace's own settings let them be reused.
    for (auto [path, value] : {std::pair{"/proc/sys/net/ipv4/tcp_tw_reuse", "1"},
                               std::pair{"/proc/sys/net/ipv4/ip_local_port_range", "10000 65000"}}) {
        if (FILE* setting = std::fopen(path, "w")) {
            std::fputs(value, setting);
            std::fclose(setting);
        }
    }
}

LiveInstance startLiveInstance(int streamType) {
    gHost = new yvk::test::PacedLiveHost(kWidth, kHeight, kPcmBlockBytes);
    yvk::test::PacedLiveHost& host = *gHost;
    if (!host.ready()) fail("the host's clip could not be made (ffmpeg)");
    host.start();
    YVKStreamerLiveCfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.rtspPort = kRtspPort;
    cfg.sessionName = "live";
    cfg.ifName = "lo";
    cfg.streamType = streamType;
    host.describeStreams(cfg, kWidth, kHeight, 256 * 1024);
    YVKStreamerQIO videoIO = host.videoIO();
    YVKStreamerQIO audioIO = host.audioIO();
    gCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, &videoIO, &audioIO);
    std::atexit(stopLiveInstance);
    if (gCore == nullptr || YVK_StreamerCoreRun(gCore) != 1) fail("the instance did not start");
    return LiveInstance{kRtspPort};
}

std::string exchange(unsigned short port, const uint8_t* data, size_t size, int timeoutMs) {
    int fd = connectTo(port);
    // The server reads while we write, so even a long input goes out whole.
    for (size_t sent = 0; sent < size;) {
        ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the server closed on an earlier request
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string reply;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            // A PLAY over the connection streams until the server notices the
            // end of the requests, which takes it a while: once it answered,
            // the client goes away instead, as players do.
            if (!reply.empty()) break;
            fail("the server neither answered nor closed the connection in time");
        }
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (reply.empty()) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStreamingMs);
        reply.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

void tearDownSessions(unsigned short port, const std::string& replies) {
    static const std::regex sessionHeader("\nSession: *([0-9A-Fa-f]+)");
    std::set<std::string> sessions;
    for (std::sregex_iterator it(replies.begin(), replies.end(), sessionHeader), end; it != end; ++it) {
        sessions.insert((*it)[1]);
    }
    for (const std::string& session : sessions) {
        std::string teardown = "TEARDOWN rtsp://127.0.0.1:" + std::to_string(port) +
                               "/live RTSP/1.0\r\nCSeq: 1\r\nSession: " + session + "\r\n\r\n";
        exchange(port, reinterpret_cast<const uint8_t*>(teardown.data()), teardown.size());
    }
}

} // namespace yvk::fuzz
