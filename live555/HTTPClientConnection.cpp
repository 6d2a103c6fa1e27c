// A connection of the instance's port: HTTP requests answered in order over
// keep-alive connections, replies written as the socket takes them, and the
// time limits that keep careless or hostile clients from holding it.
#include "HLSServerMediaSubsession.hh"
#include "HTTPServer.hh"

#include <RTSPCommon.hh>
#include <liveMedia_version.hh>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char const* kAllowedMethods = "Allow: GET, HEAD, OPTIONS\r\n";

// Whether the request asks to close the connection after its reply:
// "Connection: close", or HTTP/1.0 without "Connection: keep-alive".
bool wantsClose(std::string const& request) {
    std::string lower = request.substr(0, request.find("\r\n\r\n"));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("\nconnection: close") != std::string::npos) return true;
    size_t lineEnd = lower.find("\r\n");
    bool http10 = lower.substr(0, lineEnd).find("http/1.0") != std::string::npos;
    return http10 && lower.find("\nconnection: keep-alive") == std::string::npos;
}


} // namespace

HTTPServer::HTTPClientConnection::HTTPClientConnection(HTTPServer& ourServer, int clientSocket,
                                                       struct sockaddr_storage const& clientAddr)
    : RTSPClientConnection(ourServer, clientSocket, clientAddr, ourServer.usesTLS() ? True : False),
      fRequestStarted(Clock::now()), fLastActivity(fRequestStarted) {
    scheduleTimeout();
}

HTTPServer::HTTPClientConnection::~HTTPClientConnection() {
    envir().taskScheduler().unscheduleDelayedTask(fTimeoutTask);
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

// ---- requests coming in --------------------------------------------------------

// The base class may delete this connection before it returns: nothing of
// ours is touched after the call.
void HTTPServer::HTTPClientConnection::handleRequestBytes(int newBytesRead) {
    Clock::time_point now = Clock::now();
    fLastActivity = now;
    if (fRequestBytesAlreadySeen == 0 && newBytesRead > 0) {
        // The request's own limit starts now (checked then; a request that
        // completes before leaves the check nothing to do).
        fRequestStarted = now;
        envir().taskScheduler().rescheduleDelayedTask(fTimeoutTask, int64_t(kRequestSeconds) * 1000000, checkTimeout,
                                                      this);
    }
    if (!fInterleaved && newBytesRead > 0) {
        // Only the new bytes are scanned, with a pattern's length of the
        // old ones before them for a pattern split between two reads.
        static constexpr char kRtspVersion[] = " RTSP/1.";
        static constexpr char kInterleaved[] = "RTP/AVP/TCP";
        constexpr size_t kOverlap = sizeof kInterleaved - 2;
        auto* buffer = reinterpret_cast<char const*>(fRequestBuffer);
        size_t seen = std::min<size_t>(fRequestBytesAlreadySeen, sizeof fRequestBuffer);
        char const* begin = buffer + (seen > kOverlap ? seen - kOverlap : 0);
        char const* end = buffer + std::min<size_t>(seen + static_cast<unsigned>(newBytesRead), sizeof fRequestBuffer);
        fSpokeRtsp = fSpokeRtsp || std::search(begin, end, kRtspVersion, kRtspVersion + sizeof kRtspVersion - 1) != end;
        fInterleaved = fSpokeRtsp && std::search(begin, end, kInterleaved, kInterleaved + sizeof kInterleaved - 1) != end;
    }
    RTSPClientConnection::handleRequestBytes(newBytesRead);
}

Boolean HTTPServer::HTTPClientConnection::parseHTTPRequestString(char* resultCmdName, unsigned resultCmdNameMaxSize,
                                                                 char* urlSuffix, unsigned urlSuffixMaxSize,
                                                                 char* sessionCookie, unsigned sessionCookieMaxSize,
                                                                 char* acceptStr, unsigned acceptStrMaxSize) {
    Boolean parsed = RTSPClientConnection::parseHTTPRequestString(resultCmdName, resultCmdNameMaxSize, urlSuffix,
                                                                  urlSuffixMaxSize, sessionCookie,
                                                                  sessionCookieMaxSize, acceptStr, acceptStrMaxSize);
    fMethod = parsed ? resultCmdName : "";
    return parsed;
}

void HTTPServer::HTTPClientConnection::handleHTTPCmd_TunnelingGET(char const* sessionCookie) {
    fSpokeRtsp = true; // the tunnel's GET connection carries the RTSP replies (and RTP) from now on
    fInterleaved = true;
    RTSPClientConnection::handleHTTPCmd_TunnelingGET(sessionCookie);
}

// Every request that is not a tunnel comes here, whatever its method; the
// reply before it, if any, is finished first.
void HTTPServer::HTTPClientConnection::handleHTTPCmd_StreamingGET(char const* urlSuffix, char const* fullRequestStr) {
    // live555 sends whatever the response buffer holds once we return; our
    // replies go out on their own.  The buffer of a new connection is not
    // initialised and may hold a former connection's reply, which would
    // follow (or cut into) ours.
    fResponseBuffer[0] = '\0';
    Request request{fMethod, urlSuffix != nullptr ? urlSuffix : "", fullRequestStr != nullptr ? fullRequestStr : ""};
    if (fReply == nullptr && fWaiting.empty()) {
        serve(request);
    } else if (fWaiting.size() < kMaxWaitingRequests) {
        fWaiting.push_back(std::move(request));
    } else {
        fCloseAfterReply = true; // a client that pipelines without reading
    }
}

void HTTPServer::HTTPClientConnection::serve(Request const& request) {
    fHeadOnly = request.method == "HEAD";
    fCloseAfterReply = fCloseAfterReply || wantsClose(request.full);
    if (request.method != "GET" && request.method != "HEAD") {
        sendStatus("405 Method Not Allowed", kAllowedMethods);
    } else if (authorised(request)) {
        route(request);
    }
}

void HTTPServer::HTTPClientConnection::route(Request const& request) {
    std::string const& suffix = request.urlSuffix;
    size_t query = suffix.rfind('?');
    if (suffix == "getVersion") {
        sendText("text/plain", VERSION != nullptr ? VERSION : "");
    } else if (suffix == "getStats") {
        sendStats();
    } else if (suffix.compare(0, 13, "getStreamList") == 0) {
        sendStreamList(suffix);
    } else if (query != std::string::npos) {
        if (suffix.compare(query, 9, "?segment=") == 0) sendSegment(suffix.substr(query));
        else sendStatus("400 Bad Request");
    } else {
        sendPlayListOrFile(suffix, request.full.c_str());
    }
}

// Every HTTP route asks for the same credentials as RTSP.  The challenge's
// nonce belongs to this connection, which stays open for the second try.
bool HTTPServer::HTTPClientConnection::authorised(Request const& request) {
    if (authenticationOK(request.method.c_str(), request.urlSuffix.c_str(), request.full.c_str())) return true;
    fResponseBuffer[0] = '\0'; // live555's RTSP form of the reply is not sent
    std::string challenge = std::string("WWW-Authenticate: Digest realm=\"") + fCurrentAuthenticator.realm() +
                            "\", nonce=\"" + fCurrentAuthenticator.nonce() + "\"\r\n";
    sendStatus("401 Unauthorized", challenge.c_str());
    return false;
}

// ---- routes ----------------------------------------------------------------------

void HTTPServer::HTTPClientConnection::sendStats() {
    sendText("application/json", server().statsJson());
}

void HTTPServer::HTTPClientConnection::sendStreamList(std::string const& urlSuffix) {
    std::string body;
    size_t query = urlSuffix.rfind('?');
    if (query != std::string::npos) {
        // The reply is run as a script by pages: the name must be nothing else.
        std::string name = urlSuffix.substr(query + 1);
        if (!isScriptIdentifier(name)) {
            sendStatus("400 Bad Request");
            return;
        }
        body = "var " + name + "=";
    }
    body += "[\n";
    bool first = true;
    for (std::string const& name : server().streamNames()) {
        body += first ? " \"" : ",\"";
        body += name + "\"\n";
        first = false;
    }
    body += "]\n";
    sendText("text/plain", std::move(body));
}

// Segments always come from the session named "live": the number is a start
// offset in seconds, which the segment store turns into its slice.  Only a
// complete slice is served; the reply shares its bytes with the store.
void HTTPServer::HTTPClientConnection::sendSegment(std::string const& query) {
    uint32_t startOffset = 0;
    auto* hls = dynamic_cast<HLSServerMediaSubsession*>(getSubsesion("live"));
    std::shared_ptr<const std::string> segment;
    if (hls != nullptr && parseSegmentOffset(query, startOffset)) segment = hls->completedSegment(startOffset);
    if (segment == nullptr) {
        sendStatus("404 Not Found");
        return;
    }
    std::string head = replyHead("200 OK", "video/MP2T", segment->size(), "");
    startReply(std::make_unique<HTTPReply>(std::move(head), fHeadOnly ? nullptr : segment), true);
}

void HTTPServer::HTTPClientConnection::sendPlayListOrFile(std::string const& urlSuffix, char const* fullRequestStr) {
    size_t dot = urlSuffix.rfind('.');
    std::string name = dot == std::string::npos ? urlSuffix : urlSuffix.substr(0, dot);
    std::string extension = dot == std::string::npos ? "" : urlSuffix.substr(dot + 1);
    bool answered = extension == "mpd" ? sendMpdPlayList(name.c_str()) : sendM3u8PlayList(name.c_str());
    if (!answered) sendStaticFile(fullRequestStr);
}

// The file is read in chunks as the client takes them, never whole.
void HTTPServer::HTTPClientConnection::sendStaticFile(char const* fullRequestStr) {
    std::string path = staticFilePath(fullRequestStr);
    if (path.empty()) path = "index.html";
    std::string resolved = servableFile(path, server().documentRoot());
    int fd = resolved.empty() ? -1 : open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        sendStatus("404 Not Found");
        return;
    }
    uint64_t size = static_cast<uint64_t>(info.st_size);
    std::string head = replyHead("200 OK", contentTypeOf(resolved), size, "");
    if (fHeadOnly) {
        ::close(fd);
        startReply(std::make_unique<HTTPReply>(std::move(head), nullptr));
    } else {
        startReply(std::make_unique<HTTPReply>(std::move(head), fd, size));
    }
}

// ---- replies ---------------------------------------------------------------------

std::string HTTPServer::HTTPClientConnection::replyHead(char const* status, char const* contentType,
                                                         uint64_t contentLength, char const* extraHeaders) const {
    char head[1024];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %s\r\n%sServer: LIVE555 Streaming Media v%s\r\nAccess-Control-Allow-Origin: *\r\n"
                  "Content-Type: %s\r\nContent-Length: %" PRIu64 "\r\n%s%s\r\n",
                  status, dateHeader(), LIVEMEDIA_LIBRARY_VERSION_STRING, contentType, contentLength,
                  fCloseAfterReply ? "Connection: close\r\n" : "", extraHeaders);
    return head;
}

void HTTPServer::HTTPClientConnection::sendText(char const* contentType, std::string body) {
    std::string head = replyHead("200 OK", contentType, body.size(), "");
    auto shared = fHeadOnly ? nullptr : std::make_shared<const std::string>(std::move(body));
    startReply(std::make_unique<HTTPReply>(std::move(head), std::move(shared)));
}

void HTTPServer::HTTPClientConnection::sendStatus(char const* status, char const* extraHeaders) {
    auto body = std::make_shared<const std::string>(std::string(status) + "\n");
    std::string head = replyHead(status, "text/plain; charset=utf-8", body->size(), extraHeaders);
    startReply(std::make_unique<HTTPReply>(std::move(head), fHeadOnly ? nullptr : body));
}

void HTTPServer::HTTPClientConnection::startReply(std::unique_ptr<HTTPReply> reply, bool isSegment) {
    if (!fNoDelay) {
        // An HTTP reply is written whole as soon as it is ready; Nagle's
        // algorithm would hold the end of one (a TLS record, the tail of a
        // segment) until the client acknowledged the part before, which a
        // keep-alive client delays by up to 40 ms.  RTSP keeps the default.
        int on = 1;
        setsockopt(fClientOutputSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fNoDelay = true;
    }
    fReply = std::move(reply);
    fReplyIsSegment = isSegment;
    writeReply();
}

// Writes until the socket is full (then waits for it to take more, reading
// no requests meanwhile) or the reply is out.
void HTTPServer::HTTPClientConnection::writeReply() {
    HTTPReply::Progress progress = fReply->writeTo(fClientOutputSocket, fOutputTLS);
    if (progress == HTTPReply::Progress::kBlocked) {
        envir().taskScheduler().setBackgroundHandling(fClientOutputSocket, SOCKET_WRITABLE, socketWritable, this);
        return;
    }
    if (progress == HTTPReply::Progress::kFailed) {
        closeConnection(); // the client went, or the promised body cannot be sent
        return;
    }
    finishReply();
}

void HTTPServer::HTTPClientConnection::socketWritable(void* clientData, int /*mask*/) {
    auto* connection = static_cast<HTTPClientConnection*>(clientData);
    connection->fLastActivity = Clock::now();
    connection->writeReply();
}

void HTTPServer::HTTPClientConnection::finishReply() {
    fReply.reset();
    fReplyIsSegment = false;
    fLastActivity = Clock::now();
    if (fCloseAfterReply) {
        closeConnection();
        return;
    }
    readRequests(true);
    if (!fWaiting.empty()) {
        Request next = std::move(fWaiting.front());
        fWaiting.pop_front();
        serve(next);
        return;
    }
    scheduleTimeout();
}

void HTTPServer::HTTPClientConnection::readRequests(bool on) {
    envir().taskScheduler().setBackgroundHandling(fClientInputSocket, on ? SOCKET_READABLE | SOCKET_EXCEPTION : 0,
                                                  incomingRequestHandler, this);
}

// Inside the base class's request handling the base deletes us when it
// returns; from the event loop we go at once.
void HTTPServer::HTTPClientConnection::closeConnection() {
    fReply.reset();
    fWaiting.clear();
    if (fRecursionCount > 0) {
        readRequests(false);
        fIsActive = False;
    } else {
        delete this;
    }
}

// ---- time limits -----------------------------------------------------------------

// When the next limit of the connection's state runs out.
std::chrono::steady_clock::time_point HTTPServer::HTTPClientConnection::deadline() const {
    // An RTSP connection has no idle limit: it may rightly sit quiet while
    // its session plays.  Once it carries interleaved RTP its request buffer
    // also sees the client's RTCP, so it has no request limit either; before,
    // a request must complete in time like an HTTP one, or half-sent
    // requests would hold connections (and descriptors) for ever.
    if (fInterleaved) return Clock::time_point::max();
    if (fRequestBytesAlreadySeen > 0) return fRequestStarted + std::chrono::seconds(kRequestSeconds);
    if (fSpokeRtsp) return Clock::time_point::max();
    if (fReply != nullptr) return fLastActivity + std::chrono::seconds(kStalledSeconds);
    return fLastActivity + std::chrono::seconds(kIdleSeconds);
}

void HTTPServer::HTTPClientConnection::scheduleTimeout() {
    envir().taskScheduler().unscheduleDelayedTask(fTimeoutTask);
    fTimeoutTask = nullptr;
    Clock::time_point due = deadline();
    if (due == Clock::time_point::max()) return;
    auto wait = std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()).count();
    fTimeoutTask = envir().taskScheduler().scheduleDelayedTask(std::max<int64_t>(wait, 10000), checkTimeout, this);
}

// A request still incomplete, a reply the client stopped taking, or (for a
// connection that spoke only HTTP) no request for too long.
void HTTPServer::HTTPClientConnection::checkTimeout(void* clientData) {
    auto* connection = static_cast<HTTPClientConnection*>(clientData);
    connection->fTimeoutTask = nullptr;
    if (Clock::now() < connection->deadline()) {
        connection->scheduleTimeout(); // there was activity since
        return;
    }
    char const* reason = connection->fRequestBytesAlreadySeen > 0 ? "request incomplete"
                         : connection->fReply != nullptr          ? "reply not taken"
                                                                  : "idle";
    connection->envir() << "HTTP connection " << connection->id() << " closed: " << reason << "\n";
    connection->closeConnection();
}
