#include "RawHttp.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <strings.h>

namespace yvk::test {

namespace {

// Whether text begins with one whole reply: its head and as many body bytes
// as its Content-Length names.
bool holdsWholeReply(const std::string& text) {
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t length = 0;
    for (size_t line = text.find("\r\n"); line < end; line = text.find("\r\n", line + 2)) {
        static const char kName[] = "Content-Length:";
        if (strncasecmp(text.c_str() + line + 2, kName, sizeof kName - 1) == 0)
            length = std::strtoul(text.c_str() + line + 2 + sizeof kName - 1, nullptr, 10);
    }
    return text.size() >= end + 4 + length;
}

} // namespace

std::string rawExchange(unsigned short port, const std::string& request, int timeoutMs, bool oneReply) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        using namespace std::chrono;
        auto deadline = steady_clock::now() + milliseconds(timeoutMs);
        char buffer[65536];
        for (long left; (left = duration_cast<milliseconds>(deadline - steady_clock::now()).count()) > 0;) {
            pollfd waiting{fd, POLLIN, 0};
            ssize_t got = poll(&waiting, 1, static_cast<int>(left)) > 0 ? recv(fd, buffer, sizeof buffer, 0) : 0;
            if (got <= 0) break;
            reply.append(buffer, static_cast<size_t>(got));
            if (oneReply && holdsWholeReply(reply)) break;
        }
    }
    close(fd);
    return reply;
}

std::string replyBody(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::string rawSetupAndPlay(unsigned short port, const std::string& trackUrl, const std::string& sessionUrl,
                            unsigned clientPort, std::string* setupReply) {
    std::string setup = rawExchange(port,
                                    "SETUP " + trackUrl + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" +
                                        std::to_string(clientPort) + "-" + std::to_string(clientPort + 1) + "\r\n\r\n",
                                    5000, true);
    if (setupReply != nullptr) *setupReply = setup;
    size_t at = setup.find("Session: ");
    if (setup.rfind("RTSP/1.0 200 OK", 0) != 0 || at == std::string::npos) return "";
    std::string session = setup.substr(at + 9, setup.find_first_of(";\r", at) - at - 9);
    std::string play = rawExchange(port, "PLAY " + sessionUrl + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session + "\r\n\r\n",
                                   5000, true);
    return play.rfind("RTSP/1.0 200 OK", 0) == 0 ? session : "";
}

} // namespace yvk::test
