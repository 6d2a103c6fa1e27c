#include "HTTPServer.hh"

#include "SocketStreamSink.hh"

#include "yvk_system.h"

#include <ByteStreamMemoryBufferSource.hh>
#include <RTSPCommon.hh>
#include <liveMedia_version.hh>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#define YVK_TRACE_MODULE "HTTPServer"

YVK_API char const* VERSION = "1.0"; // declared in the public header
YVK_API char const* HTTP_DOC_ROOT = nullptr;

u_int32_t HTTPServer::HTTPClientConnection::fClientSessionId = 0;

// ---- the server --------------------------------------------------------------

HTTPServer* HTTPServer::createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                                  unsigned reclamationSeconds, unsigned segmentDuration) {
    int socketIPv4 = setUpOurSocket(env, ourPort, AF_INET);
    int socketIPv6 = setUpOurSocket(env, ourPort, AF_INET6);
    if (socketIPv4 < 0 && socketIPv6 < 0) {
        delete authDatabase;
        return nullptr;
    }
    return new HTTPServer(env, socketIPv4, socketIPv6, ourPort, authDatabase, reclamationSeconds, segmentDuration);
}

HTTPServer::HTTPServer(UsageEnvironment& env, int ourSocketIPv4, int ourSocketIPv6, Port ourPort,
                       UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds,
                       unsigned segmentDuration)
    : LiveRTSPServer(env, ourSocketIPv4, ourSocketIPv6, ourPort, authDatabase, reclamationSeconds),
      fSegmentDuration(segmentDuration), fOwnedAuthDatabase(authDatabase),
      fDocumentRoot(resolveDocumentRoot(HTTP_DOC_ROOT)) {
    if (fDocumentRoot.empty()) {
        YVK_TRACE(YVK_TRACE_ERROR, "web root '%s' is '/' or no folder: static files are off\n",
                  HTTP_DOC_ROOT != nullptr ? HTTP_DOC_ROOT : "(working directory)");
    }
}

// The RTSPServer part closes the connections; their destructors need no
// more of the server than its environment.
HTTPServer::~HTTPServer() {
    delete fOwnedAuthDatabase;
}

GenericMediaServer::ClientConnection* HTTPServer::createNewClientConnection(int clientSocket,
                                                                            struct sockaddr_storage const& clientAddr) {
    return new HTTPClientConnection(*this, clientSocket, clientAddr);
}

ServerMediaSession* HTTPServer::findSession(char const* streamName) {
    return getServerMediaSession(streamName);
}

std::vector<std::string> HTTPServer::streamNames() {
    std::vector<std::string> names;
    ServerMediaSessionIterator iterator(*this);
    while (ServerMediaSession* session = iterator.next()) names.emplace_back(session->streamName());
    return names;
}

// ---- static files ------------------------------------------------------------

std::string staticFilePath(char const* fullRequestStr) {
    std::string path(fullRequestStr != nullptr ? fullRequestStr : "");
    size_t space = path.find(' ');
    if (space != std::string::npos) path.erase(0, space + 1); // the method
    size_t end = path.find_first_of(" \r\n");
    if (end != std::string::npos) path.erase(end);             // version and headers
    size_t slash = path.find('/');
    if (slash != std::string::npos) path.erase(0, 1);          // the leading "/"
    // Every "../" goes, including one that a removal forms.
    size_t at = slash != std::string::npos ? slash : 0;
    while ((at = path.find("../", at)) != std::string::npos) path.erase(at, 3);
    return path;
}

std::string resolveDocumentRoot(char const* folder) {
    char directory[PATH_MAX];
    if (folder == nullptr) {
        if (getcwd(directory, sizeof directory) == nullptr) return std::string();
        folder = directory;
    }
    char resolved[PATH_MAX];
    struct stat info;
    if (realpath(folder, resolved) == nullptr || stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return std::string();
    }
    return std::strcmp(resolved, "/") == 0 ? std::string() : std::string(resolved);
}

std::string servableFile(std::string const& path, std::string const& root) {
    if (root.empty() || path.empty() || path[0] == '/') return std::string();
    // No hidden names (".htpasswd", ".git/..."), and so no "." or "..".
    for (size_t at = 0; at != std::string::npos; at = path.find('/', at), at = at == std::string::npos ? at : at + 1) {
        if (at < path.size() && path[at] == '.') return std::string();
    }
    std::string full = root + "/" + path;
    char resolved[PATH_MAX];
    if (realpath(full.c_str(), resolved) == nullptr) return std::string();
    std::string inside = root + "/";
    if (std::strncmp(resolved, inside.c_str(), inside.size()) != 0) return std::string();
    struct stat info;
    if (stat(resolved, &info) != 0 || !S_ISREG(info.st_mode)) return std::string();
    return resolved;
}

// ---- a connection --------------------------------------------------------------

HTTPServer::HTTPClientConnection::HTTPClientConnection(HTTPServer& ourServer, int clientSocket,
                                                       struct sockaddr_storage const& clientAddr)
    : RTSPClientConnection(ourServer, clientSocket, clientAddr) {}

HTTPServer::HTTPClientConnection::~HTTPClientConnection() {
    streamSource(static_cast<FramedSource*>(nullptr));
    if (fSubsession != nullptr) fSubsession->deleteStream(fSegmentSessionId, fStreamToken);
}

HTTPServer& HTTPServer::HTTPClientConnection::server() {
    return static_cast<HTTPServer&>(fOurRTSPServer);
}

ServerMediaSubsession* HTTPServer::HTTPClientConnection::getSubsesion(char const* streamName) {
    ServerMediaSession* session = server().findSession(streamName);
    if (session == nullptr) return nullptr;
    ServerMediaSubsessionIterator iterator(*session);
    return iterator.next();
}

void HTTPServer::HTTPClientConnection::handleCmd_notFound() {
    std::string body;
    for (std::string const& name : server().streamNames()) body += name + "\n";
    setRTSPResponse("404 Stream Not Found", body.c_str());
}

void HTTPServer::HTTPClientConnection::handleHTTPCmd_StreamingGET(char const* urlSuffix, char const* fullRequestStr) {
    std::printf("\n '%s'\n\n", urlSuffix);
    std::string suffix(urlSuffix != nullptr ? urlSuffix : "");
    size_t query = suffix.rfind('?');
    unsigned startOffset = 0;
    if (suffix == "getVersion") {
        sendVersion();
    } else if (suffix.compare(0, 13, "getStreamList") == 0) {
        sendStreamList(suffix);
    } else if (query != std::string::npos) {
        if (std::sscanf(suffix.c_str() + query, "?segment=%u", &startOffset) == 1) sendSegment(startOffset);
        else handleHTTPCmd_notSupported();
    } else {
        sendPlayListOrFile(suffix, fullRequestStr);
    }
}

void HTTPServer::HTTPClientConnection::sendVersion() {
    std::string body(VERSION != nullptr ? VERSION : "");
    sendHeader("text/plain", static_cast<unsigned>(body.size()));
    streamSource(body);
}

void HTTPServer::HTTPClientConnection::sendStreamList(std::string const& urlSuffix) {
    std::string body;
    size_t query = urlSuffix.rfind('?');
    if (query != std::string::npos) body = "var " + urlSuffix.substr(query + 1) + "=";
    body += "[\n";
    bool first = true;
    for (std::string const& name : server().streamNames()) {
        body += first ? " \"" : ",\"";
        body += name + "\"\n";
        first = false;
    }
    body += "]\n";
    sendHeader("text/plain", static_cast<unsigned>(body.size()));
    streamSource(body);
}

// Segments always come from the session named "live": the number is a start
// offset in seconds, which the segment store turns into its slice.
void HTTPServer::HTTPClientConnection::sendSegment(unsigned startOffset) {
    ServerMediaSubsession* subsession = getSubsesion("live");
    if (subsession == nullptr) {
        refuse();
        return;
    }
    if (fSubsession != nullptr) fSubsession->deleteStream(fSegmentSessionId, fStreamToken);
    fSegmentSessionId = ++fClientSessionId;
    struct sockaddr_storage clientAddress;
    struct sockaddr_storage destination;
    std::memset(&clientAddress, 0, sizeof clientAddress);
    std::memset(&destination, 0, sizeof destination);
    u_int8_t ttl = 0;
    Boolean isMulticast = False;
    Port serverRTPPort(0);
    Port serverRTCPPort(0);
    // No client ports and not over TCP: the subsession makes a stream state
    // without destinations, so no RTP or RTCP socket is opened for a segment
    // (opening them per request would bind ever more ports, and on a kernel
    // without IPv6 the dependency's bind loop never ends).
    subsession->getStreamParameters(fSegmentSessionId, clientAddress, Port(0), Port(0), False, 0, 0, nullptr,
                                    destination, ttl, isMulticast, serverRTPPort, serverRTCPPort, fStreamToken);
    fSubsession = subsession; // the stream state is released with the connection
    double seekNPT = startOffset;
    u_int64_t numBytes = 0;
    subsession->seekStream(fSegmentSessionId, fStreamToken, seekNPT, 0.0, numBytes);
    if (numBytes == 0) {
        refuse();
        return;
    }
    sendHeader("video/MP2T", static_cast<unsigned>(numBytes));
    streamSource(subsession->getStreamSource(fStreamToken));
}

void HTTPServer::HTTPClientConnection::sendPlayListOrFile(std::string const& urlSuffix, char const* fullRequestStr) {
    size_t dot = urlSuffix.rfind('.');
    std::string name = dot == std::string::npos ? urlSuffix : urlSuffix.substr(0, dot);
    std::string extension = dot == std::string::npos ? "" : urlSuffix.substr(dot + 1);
    bool answered = extension == "mpd" ? sendMpdPlayList(name.c_str()) : sendM3u8PlayList(name.c_str());
    if (!answered) sendStaticFile(extension, fullRequestStr);
}

// The content type comes from the URL's extension: "text/" and the extension.
void HTTPServer::HTTPClientConnection::sendStaticFile(std::string extension, char const* fullRequestStr) {
    std::string path = staticFilePath(fullRequestStr);
    if (path.empty()) {
        path = "index.html";
        extension = "html";
    }
    if (extension == "js") extension = "javascript";
    std::ifstream file;
    std::string resolved = servableFile(path, server().documentRoot());
    if (!resolved.empty()) file.open(resolved, std::ios::binary);
    if (!file.is_open()) {
        refuse();
        return;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    std::string body = contents.str();
    envir() << "send file:" << path.c_str() << "\n";
    sendHeader(("text/" + extension).c_str(), static_cast<unsigned>(body.size()));
    streamSource(body);
}

void HTTPServer::HTTPClientConnection::refuse() {
    handleHTTPCmd_notSupported();
    fIsActive = False;
}

void HTTPServer::HTTPClientConnection::sendHeader(char const* contentType, unsigned contentLength) {
    auto* header = reinterpret_cast<char*>(fResponseBuffer);
    int length = std::snprintf(header, sizeof fResponseBuffer,
                               "HTTP/1.1 200 OK\r\n%sServer: LIVE555 Streaming Media v%s\r\n"
                               "Access-Control-Allow-Origin: *\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n",
                               dateHeader(), LIVEMEDIA_LIBRARY_VERSION_STRING, contentType,
                               static_cast<int>(contentLength));
    if (length < 0) length = 0;
    if (length >= static_cast<int>(sizeof fResponseBuffer)) length = static_cast<int>(sizeof fResponseBuffer) - 1;
    // A client that has gone must not take the process down with SIGPIPE.
    ssize_t sent = send(fClientOutputSocket, header, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0) {
        std::printf("\n[HLS] send() failed! (errno %d : %s)\n\n", errno, std::strerror(errno));
    } else if (sent < length) {
        std::printf("\n[HLS] send() not enoughly sent!\n");
    }
    fResponseBuffer[0] = '\0';
}

void HTTPServer::HTTPClientConnection::streamSource(FramedSource* source) {
    if (fTCPSink != nullptr) fTCPSink->stopPlaying();
    if (fStreamSource != nullptr) {
        Medium::close(fStreamSource);
        fStreamSource = nullptr;
    }
    if (source == nullptr) {
        Medium::close(fTCPSink);
        fTCPSink = nullptr;
        return;
    }
    if (fTCPSink == nullptr) fTCPSink = SocketStreamSink::createNew(envir(), fClientOutputSocket);
    fStreamSource = source;
    fTCPSink->startPlaying(*source, afterStreaming, this);
}

void HTTPServer::HTTPClientConnection::streamSource(std::string const& body) {
    auto* copy = new u_int8_t[body.size() > 0 ? body.size() : 1];
    std::memcpy(copy, body.data(), body.size());
    streamSource(ByteStreamMemoryBufferSource::createNew(envir(), copy, body.size(), True, 0, 0));
}

// Every reply with a body closes its connection once the body is out.
void HTTPServer::HTTPClientConnection::afterStreaming(void* clientData) {
    auto* connection = static_cast<HTTPClientConnection*>(clientData);
    if (connection->fRecursionCount > 0) connection->fIsActive = False;
    else delete connection;
}
