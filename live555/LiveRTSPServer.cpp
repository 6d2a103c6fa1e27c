#include "LiveRTSPServer.hh"

#include <GroupsockHelper.hh>

#include <unistd.h>

#include <cstring>

LiveRTSPServer* LiveRTSPServer::createNew(UsageEnvironment& env, Port ourPort,
                                          UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds) {
    int socketIPv4 = setUpOurSocket(env, ourPort, AF_INET);
    int socketIPv6 = setUpOurSocket(env, ourPort, AF_INET6);
    if (socketIPv4 < 0 && socketIPv6 < 0) return nullptr;
    return new LiveRTSPServer(env, socketIPv4, socketIPv6, ourPort, authDatabase, reclamationSeconds);
}

LiveRTSPServer::LiveRTSPServer(UsageEnvironment& env, int ourSocketIPv4, int ourSocketIPv6, Port ourPort,
                               UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds)
    : RTSPServer(env, ourSocketIPv4, ourSocketIPv6, ourPort, authDatabase, reclamationSeconds) {}

// RTSPServer's own destructor runs cleanup(); a second run would crash.
LiveRTSPServer::~LiveRTSPServer() = default;

void LiveRTSPServer::useTLS(char const* certFileName, char const* privateKeyFileName) {
    fTLSCertFileName = certFileName;
    fTLSKeyFileName = privateKeyFileName;
    // SRTP stays off: RTSPS clients (FFmpeg, GStreamer) take the media
    // inside the TLS connection, and UDP is refused on a TLS server.
    setTLSState(fTLSCertFileName.c_str(), fTLSKeyFileName.c_str(), False, False);
}

GenericMediaServer::ClientSession* LiveRTSPServer::createNewClientSession(u_int32_t sessionId) {
    return new LiveClientSession(*this, sessionId);
}

std::string LiveRTSPServer::normaliseTransport(const char* request) {
    static const std::string kSpelling = "RTP/AVP/UDP";
    std::string text = request != nullptr ? request : "";
    for (size_t at = text.find(kSpelling); at != std::string::npos; at = text.find(kSpelling, at)) {
        text.erase(at + 7, 4); // drop "/UDP"
    }
    return text;
}

// The Transport header names RTP/AVP/TCP, the transport of an RTSPS
// client.
bool LiveRTSPServer::asksForInterleavedTcp(std::string const& request) {
    size_t header = request.find("\nTransport:");
    if (header == std::string::npos) header = request.find("\ntransport:");
    if (header == std::string::npos) return false;
    size_t end = request.find('\r', header + 1);
    return request.substr(header, end == std::string::npos ? std::string::npos : end - header).find("RTP/AVP/TCP") !=
           std::string::npos;
}

void LiveRTSPServer::LiveClientSession::handleCmd_SETUP(RTSPClientConnection* connection, char const* urlPreSuffix,
                                                        char const* urlSuffix, char const* fullRequestStr) {
    fRequest = normaliseTransport(fullRequestStr);
    if (static_cast<LiveRTSPServer&>(fOurRTSPServer).usesTLS() && !asksForInterleavedTcp(fRequest)) {
        setRTSPResponse(connection, "461 Unsupported Transport");
        return;
    }
    RTSPClientSession::handleCmd_SETUP(connection, urlPreSuffix, urlSuffix, fRequest.c_str());
}

void LiveRTSPServer::LiveClientSession::handleCmd_SETUP_afterLookup2(RTSPClientConnection* connection,
                                                                    ServerMediaSession* sms) {
    RTSPClientSession::handleCmd_SETUP_afterLookup2(connection, sms);
    streamState* state = requestedStreamState();
    if (state == nullptr || state->streamToken != nullptr) return;
    envir() << "SETUP of session " << fOurSessionId << " track \"" << state->subsession->trackId()
            << "\": no stream, refused\n";
    setRTSPResponse(connection, kNoStreamResponse);
    // A session left without any stream is of no use to the client, which
    // got no session id: reclaim it now rather than after the timeout.
    if (!hasAnyStream()) {
        envir().taskScheduler().rescheduleDelayedTask(fLivenessCheckTask, 0, reclaimNow, this);
    }
}

RTSPServer::RTSPClientSession::streamState* LiveRTSPServer::LiveClientSession::requestedStreamState() const {
    if (fStreamStates == nullptr) return nullptr;
    if (fTrackId != nullptr && fTrackId[0] != '\0') {
        for (unsigned i = 0; i < fNumStreamStates; ++i) {
            ServerMediaSubsession* subsession = fStreamStates[i].subsession;
            if (subsession != nullptr && std::strcmp(fTrackId, subsession->trackId()) == 0) return &fStreamStates[i];
        }
        return nullptr;
    }
    return fNumStreamStates == 1 && fStreamStates[0].subsession != nullptr ? &fStreamStates[0] : nullptr;
}

bool LiveRTSPServer::LiveClientSession::hasAnyStream() const {
    for (unsigned i = 0; i < fNumStreamStates; ++i) {
        if (fStreamStates[i].streamToken != nullptr) return true;
    }
    return false;
}

void LiveRTSPServer::LiveClientSession::reclaimNow(void* clientData) {
    livenessTimeoutTask(static_cast<LiveClientSession*>(clientData));
}
