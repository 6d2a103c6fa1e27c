// The RTSP server, its sessions and its optional digest-authentication
// database.
#include "yvkstreamer_core_live555.hh"

#include "HTTPServer.hh"

#include "yvk_system.h"

#include <GroupsockHelper.hh>
#include <liveMedia.hh>

#include <arpa/inet.h>

#include <cstdio>
#include <new>

#define YVK_TRACE_MODULE "yvkstreamer_core"

// Declared in the public header.
YVK_API const char* RTSP_USERS = nullptr;
YVK_API const char* RTSP_REALM = nullptr;
YVK_API const char* RTSP_TLS_CERT = nullptr;
YVK_API const char* RTSP_TLS_KEY = nullptr;

namespace {

bool readable(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// The TLS set-up of the exported settings; false when it was asked for and
// cannot be had.
bool applyTransportSecurity(HTTPServer& server, unsigned short rtspPort) {
    bool haveCert = RTSP_TLS_CERT != nullptr && RTSP_TLS_CERT[0] != '\0';
    bool haveKey = RTSP_TLS_KEY != nullptr && RTSP_TLS_KEY[0] != '\0';
    if (!haveCert && !haveKey) return true;
    if (!haveCert || !haveKey || !readable(RTSP_TLS_CERT) || !readable(RTSP_TLS_KEY)) {
        YVK_TRACE(YVK_TRACE_ERROR, "RTSP server on port %u: TLS needs a readable certificate and key (RTSP_TLS_CERT '%s', RTSP_TLS_KEY '%s')\n",
                  rtspPort, haveCert ? RTSP_TLS_CERT : "", haveKey ? RTSP_TLS_KEY : "");
        return false;
    }
    server.useTLS(RTSP_TLS_CERT, RTSP_TLS_KEY);
    YVK_TRACE(YVK_TRACE_INFO, "RTSP server on port %u speaks TLS only (rtsps)\n", rtspPort);
    return true;
}

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

// The server is always an HTTPServer, so every instance also answers the
// version, stream-list and file requests and lists its streams in RTSP 404
// replies.  A non-empty user list makes it require digest authentication.
YVK_API RTSPServer* createRTSPServer(UsageEnvironment& env, unsigned short rtspPort,
                                     unsigned short httpTunnelPort, int reclamationSeconds,
                                     unsigned segmentDuration, const UserList& users, const char* realm) {
    UserAuthenticationDatabase* database = createUserAuthenticationDatabase(users, realm);
    HTTPServer* server = HTTPServer::createNew(env, Port(rtspPort), database,
                                               reclamationSeconds > 0 ? reclamationSeconds : 0, segmentDuration);
    if (server == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "RTSP server on port %u: %s\n", rtspPort, env.getResultMsg());
        return nullptr;
    }
    if (!applyTransportSecurity(*server, rtspPort)) {
        Medium::close(server);
        return nullptr;
    }
    if (httpTunnelPort != 0) server->setUpTunnelingOverHTTP(httpTunnelPort);
    return server;
}

UserList configuredUsers() {
    UserList users;
    if (RTSP_USERS == nullptr) return users;
    std::string list(RTSP_USERS);
    unsigned line = 0;
    for (size_t start = 0; start < list.size(); ++line) {
        size_t end = list.find('\n', start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        start = end + 1;
        if (!entry.empty() && entry.back() == '\r') entry.pop_back();
        if (entry.empty()) continue;
        if (entry.find(':') == std::string::npos || entry[0] == ':') {
            YVK_TRACE(YVK_TRACE_ERROR, "RTSP_USERS line %u is not 'user:password', left out\n", line + 1);
            continue;
        }
        users.push_back(entry);
    }
    return users;
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
