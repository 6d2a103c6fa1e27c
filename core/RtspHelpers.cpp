// The RTSP server, its sessions and its optional digest-authentication
// database.
#include "yvkstreamer_core_live555.hh"

#include "LiveRTSPServer.hh"

#include "yvk_system.h"

#include <GroupsockHelper.hh>
#include <liveMedia.hh>

#include <arpa/inet.h>

#include <new>

#define YVK_TRACE_MODULE "yvkstreamer_core"

namespace {

// Builds and registers the session; null when nothing was registered.
ServerMediaSession* registerSession(RTSPServer* server, const char* sessionName,
                                    const SubsessionList& subsessions, int& added) {
    added = 0;
    if (server == nullptr || subsessions.empty()) return nullptr;
    ServerMediaSession* session =
        ServerMediaSession::createNew(server->envir(), sessionName, nullptr, nullptr, False, nullptr);
    if (session == nullptr) return nullptr;
    for (ServerMediaSubsession* subsession : subsessions) {
        if (subsession != nullptr && session->addSubsession(subsession)) ++added;
    }
    server->addServerMediaSession(session);
    return session;
}

void announceUrl(RTSPServer* server, ServerMediaSession* session, const char* function) {
    char* url = server->rtspURL(session);
    if (url == nullptr) return;
    YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_INFO, __FILE__, __LINE__, function,
              "Play this stream using the URL %s\n", url);
    delete[] url;
}

} // namespace

YVK_API RTSPServer* createRTSPServer(UsageEnvironment& env, unsigned short rtspPort,
                                     unsigned short httpTunnelPort, int reclamationSeconds,
                                     unsigned /*segmentDuration*/, const UserList& /*users*/,
                                     const char* /*realm*/) {
    RTSPServer* server = LiveRTSPServer::createNew(env, Port(rtspPort), nullptr,
                                               reclamationSeconds > 0 ? reclamationSeconds : 0);
    if (server == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "RTSP server on port %u: %s\n", rtspPort, env.getResultMsg());
        return nullptr;
    }
    if (httpTunnelPort != 0) server->setUpTunnelingOverHTTP(httpTunnelPort);
    return server;
}

YVK_API UserAuthenticationDatabase* createUserAuthenticationDatabase(const UserList& users, const char* realm) {
    if (users.empty()) return nullptr;
    try {
        auto* database = new UserAuthenticationDatabase(realm, realm != nullptr);
        for (const std::string& entry : users) {
            size_t colon = entry.find(':');
            std::string user = entry.substr(0, colon);
            std::string password;
            if (colon != std::string::npos) password = entry.substr(colon + 1, entry.find('\n', colon + 1) - colon - 1);
            database->addUserRecord(user.c_str(), password.c_str());
        }
        return database;
    } catch (const std::bad_alloc&) {
        YVK_TRACE(YVK_TRACE_ERROR, "out of memory\n");
        return nullptr;
    }
}

YVK_API int addSession(RTSPServer* server, const char* sessionName, const SubsessionList& subsessions) {
    int added = 0;
    ServerMediaSession* session = registerSession(server, sessionName, subsessions, added);
    if (session != nullptr) announceUrl(server, session, __func__);
    return added;
}

YVK_API int addSubSessions(RTSPServer* server, const char* sessionName, const char* ifName,
                           const SubsessionList& subsessions) {
    int added = 0;
    ServerMediaSession* session = registerSession(server, sessionName, subsessions, added);
    if (session == nullptr) return added;
    char address[24];
    if (getInterfaceIp(address, ifName)) {
        ReceivingInterfaceAddr = inet_addr(address);
    } else {
        YVK_TRACE(YVK_TRACE_ERROR, "Getting my IP from '%s' failed, use INADDR_ANY instead (delay..)\n",
                  ifName != nullptr ? ifName : "");
    }
    announceUrl(server, session, __func__);
    return added;
}
