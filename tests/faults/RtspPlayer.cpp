#include "RtspPlayer.hh"

#include "RawHttp.hh"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace yvk::test {

namespace {

using Clock = std::chrono::steady_clock;

long msLeft(Clock::time_point deadline) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

// The control URLs of the SDP's media sections, made absolute.
std::vector<std::string> trackUrls(const std::string& sdp, const std::string& base) {
    std::vector<std::string> urls;
    std::istringstream lines(sdp);
    bool inMedia = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("m=", 0) == 0) inMedia = true;
        if (!inMedia || line.rfind("a=control:", 0) != 0) continue;
        std::string control = line.substr(10);
        urls.push_back(control.rfind("rtsp://", 0) == 0 ? control : base + "/" + control);
    }
    return urls;
}

std::string headerValue(const std::string& reply, const std::string& name) {
    size_t at = reply.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return reply.substr(at, reply.find("\r\n", at) - at);
}

} // namespace

RtspPlayer::RtspPlayer(unsigned short port, std::string session, int replyTimeoutMs)
    : fSocket(connectTo(port)), fUrl("rtsp://127.0.0.1:" + std::to_string(port) + "/" + session),
      fReplyTimeoutMs(replyTimeoutMs) {}

RtspPlayer::~RtspPlayer() {
    if (fSocket >= 0) close(fSocket);
}

PlayOutcome RtspPlayer::play(int playMs) {
    PlayOutcome outcome = setUp();
    if (outcome.setUp > 0) playFor(outcome, playMs);
    return outcome;
}

PlayOutcome RtspPlayer::setUp() {
    PlayOutcome outcome;
    std::string reply = request("DESCRIBE", fUrl, "Accept: application/sdp\r\n");
    outcome.log += reply.substr(0, reply.find("\r\n")) + "\n";
    if (reply.rfind("RTSP/1.0 200", 0) != 0) return outcome;
    outcome.described = true;
    std::string base = headerValue(reply, "Content-Base");
    if (!base.empty() && base.back() == '/') base.pop_back();
    std::vector<std::string> tracks = trackUrls(reply.substr(reply.find("\r\n\r\n") + 4), base.empty() ? fUrl : base);
    outcome.tracks = static_cast<int>(tracks.size());
    for (size_t i = 0; i < tracks.size(); ++i) {
        std::string channels = std::to_string(2 * i) + "-" + std::to_string(2 * i + 1);
        reply = request("SETUP", tracks[i], "Transport: RTP/AVP/TCP;unicast;interleaved=" + channels + "\r\n");
        outcome.log += reply.substr(0, reply.find("\r\n")) + "\n";
        if (reply.rfind("RTSP/1.0 200", 0) != 0) continue;
        ++outcome.setUp;
        if (fSessionId.empty()) {
            std::string session = headerValue(reply, "Session");
            fSessionId = session.substr(0, session.find(';'));
        }
    }
    return outcome;
}

void RtspPlayer::playFor(PlayOutcome& outcome, int playMs, const std::string& range) {
    std::string reply = request("PLAY", fUrl, "Range: " + range + "\r\n");
    outcome.log += reply.substr(0, reply.find("\r\n")) + "\n";
    outcome.playing = reply.rfind("RTSP/1.0 200", 0) == 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(playMs);
    std::string ignored;
    while (outcome.playing && msLeft(deadline) > 0 && fill(static_cast<int>(msLeft(deadline)))) readReply(ignored);
    readReply(ignored);
    outcome.packets = fPackets;
}

std::string RtspPlayer::request(const std::string& method, const std::string& url, const std::string& headers) {
    if (fSocket < 0) return "";
    std::string text = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++fCSeq) + "\r\n" + headers;
    if (!fSessionId.empty()) text += "Session: " + fSessionId + "\r\n";
    text += "\r\n";
    if (send(fSocket, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) return "";
    auto deadline = Clock::now() + std::chrono::milliseconds(fReplyTimeoutMs);
    std::string reply;
    while (!readReply(reply)) {
        long left = msLeft(deadline);
        if (left <= 0 || !fill(static_cast<int>(left))) return "";
    }
    return reply;
}

// Takes the interleaved packets at the front of the pending bytes, then one
// whole reply if there is one.
bool RtspPlayer::readReply(std::string& reply) {
    while (fPending.size() >= 4 && fPending[0] == '$') {
        size_t length = (static_cast<unsigned char>(fPending[2]) << 8) | static_cast<unsigned char>(fPending[3]);
        if (fPending.size() < 4 + length) return false;
        fPending.erase(0, 4 + length);
        ++fPackets;
    }
    size_t head = fPending.find("\r\n\r\n");
    if (fPending.empty() || fPending[0] == '$' || head == std::string::npos) return false;
    std::string length = headerValue(fPending.substr(0, head + 2), "Content-Length");
    size_t total = head + 4 + (length.empty() ? 0 : std::strtoul(length.c_str(), nullptr, 10));
    if (fPending.size() < total) return false;
    reply = fPending.substr(0, total);
    fPending.erase(0, total);
    return true;
}

// Waits up to waitMs for bytes; false when the connection ended or nothing came.
bool RtspPlayer::fill(int waitMs) {
    pollfd waiting{fSocket, POLLIN, 0};
    if (poll(&waiting, 1, waitMs) <= 0) return false;
    char buffer[65536];
    ssize_t got = recv(fSocket, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    fPending.append(buffer, static_cast<size_t>(got));
    return true;
}

} // namespace yvk::test
