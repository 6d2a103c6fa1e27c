#include "RawHttp.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <strings.h>
#include <thread>

namespace yvk::test {

namespace {

// The length of the whole reply text begins with at offset from (its head
// and as many body bytes as its Content-Length names), or 0 when it is not
// all in yet.
size_t wholeReplyAt(const std::string& text, size_t from) {
    size_t end = text.find("\r\n\r\n", from);
    if (end == std::string::npos) return 0;
    size_t length = 0;
    for (size_t line = text.find("\r\n", from); line < end; line = text.find("\r\n", line + 2)) {
        static const char kName[] = "Content-Length:";
        if (strncasecmp(text.c_str() + line + 2, kName, sizeof kName - 1) == 0)
            length = std::strtoul(text.c_str() + line + 2 + sizeof kName - 1, nullptr, 10);
    }
    return text.size() - end - 4 >= length ? end + 4 + length - from : 0;
}

} // namespace

std::vector<std::string> splitReplies(const std::string& text) {
    std::vector<std::string> replies;
    for (size_t at = 0, length; at < text.size() && (length = wholeReplyAt(text, at)) > 0; at += length) {
        replies.push_back(text.substr(at, length));
    }
    return replies;
}

int connectTo(unsigned short port, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

Connection::~Connection() {
    if (fFd >= 0) close(fFd);
}

bool Connection::send(const std::string& bytes) const {
    return fFd >= 0 && ::send(fFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool Connection::sendBytewise(const std::string& bytes) const {
    int on = 1;
    setsockopt(fFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (char byte : bytes) {
        if (!send(std::string(1, byte))) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Connection::read(size_t count, int timeoutMs, bool& closed) const {
    return readReplies(fFd, count, timeoutMs, &closed);
}

std::string readReplies(int fd, size_t count, int timeoutMs, bool* closed) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    std::string reply;
    char buffer[65536];
    if (closed != nullptr) *closed = false;
    for (long left; (left = duration_cast<milliseconds>(deadline - steady_clock::now()).count()) > 0;) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left)) <= 0) break;
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
        reply.append(buffer, static_cast<size_t>(got));
        if (count != SIZE_MAX && splitReplies(reply).size() >= count) break;
    }
    return reply;
}

bool closedByServer(int fd) {
    char buffer[4096];
    for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) return true;
        if (got < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

std::string rawExchange(unsigned short port, const std::string& request, int timeoutMs, bool oneReply) {
    int fd = connectTo(port);
    if (fd < 0) return "";
    std::string reply;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        reply = readReplies(fd, oneReply ? 1 : SIZE_MAX, timeoutMs);
    }
    close(fd);
    return reply;
}

std::string replyBody(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::string rawDescribe(unsigned short port, const std::string& url, int timeoutMs) {
    return rawExchange(port, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n", timeoutMs,
                       true);
}

std::string rawSetupAndPlay(unsigned short port, const std::string& trackUrl, const std::string& sessionUrl,
                            unsigned clientPort, std::string* setupReply, std::string* playReply) {
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
    if (playReply != nullptr) *playReply = play;
    return play.rfind("RTSP/1.0 200 OK", 0) == 0 ? session : "";
}

} // namespace yvk::test
