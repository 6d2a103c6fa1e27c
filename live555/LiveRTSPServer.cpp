#include "LiveRTSPServer.hh"

#include <GroupsockHelper.hh>

#include <unistd.h>

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

void LiveRTSPServer::LiveClientSession::handleCmd_SETUP(RTSPClientConnection* connection, char const* urlPreSuffix,
                                                        char const* urlSuffix, char const* fullRequestStr) {
    fRequest = normaliseTransport(fullRequestStr);
    RTSPClientSession::handleCmd_SETUP(connection, urlPreSuffix, urlSuffix, fRequest.c_str());
}
