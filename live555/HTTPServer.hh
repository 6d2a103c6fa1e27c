// The instance's RTSP server, whose connections also answer plain HTTP: the
// version, the statistics, the list of streams, HLS and MPEG-DASH
// playlists, Transport Stream segments from the segment store, and static
// files from the web root (HTTP_DOC_ROOT, or the working directory).  RTSP
// requests and RTSP-over-HTTP tunnelling are served on the same connections
// as by LiveRTSPServer.
#ifndef YVK_HTTP_SERVER_HH
#define YVK_HTTP_SERVER_HH

#include "yvkstreamer_core.h"

#include "HTTPReply.hh"
#include "LiveRTSPServer.hh"
#include "StreamCounters.hh"

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class YVK_API HTTPServer : public LiveRTSPServer {
public:
    // segmentDuration: seconds per HLS slice (0 when the server carries no
    // HTTP streaming).  The server owns authDatabase (null: no access
    // control) and deletes it when it goes.  Null when the port cannot be
    // opened.
    static HTTPServer* createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                                 unsigned reclamationSeconds, unsigned segmentDuration);

    unsigned segmentDuration() const { return fSegmentDuration; }
    // The resolved web root; empty when static files are off.
    std::string const& documentRoot() const { return fDocumentRoot; }
    // The registered session of that name, or null.
    ServerMediaSession* findSession(char const* streamName);
    // The stream names of all sessions, in the server's order.
    std::vector<std::string> streamNames();

    // Statistics: the streams the assemblies described, the RTSP sessions,
    // the HTTP segment downloads and the segments held, as the JSON object
    // that /getStats returns.
    void describeStream(StreamDescription description);
    std::string statsJson();

    // A connection of the port: RTSP requests go to the RTSP server as
    // usual; HTTP requests are answered here, in order (pipelined requests
    // wait for the reply before them), over keep-alive connections.  A reply
    // is written as the socket takes it: while it waits for a full socket,
    // the connection reads nothing more and costs nothing.  A connection
    // that has spoken only HTTP must complete a request within
    // kRequestSeconds of its first byte, and goes after kIdleSeconds without
    // a request or kStalledSeconds without taking any byte of a reply; one
    // that has spoken RTSP is left to the RTSP session timeout.
    class YVK_API HTTPClientConnection : public RTSPServer::RTSPClientConnection {
    public:
        HTTPClientConnection(HTTPServer& ourServer, int clientSocket, struct sockaddr_storage const& clientAddr);
        ~HTTPClientConnection() override;

        // The first subsession of the named session, or null.
        ServerMediaSubsession* getSubsesion(char const* streamName);
        // Whether a segment's body is being sent.
        bool sendingSegment() const { return fReply != nullptr && fReplyIsSegment; }

        static constexpr unsigned kRequestSeconds = 10;
        static constexpr unsigned kIdleSeconds = 30;
        static constexpr unsigned kStalledSeconds = 60;
        static constexpr size_t kMaxWaitingRequests = 16;

    protected:
        void handleRequestBytes(int newBytesRead) override;
        Boolean parseHTTPRequestString(char* resultCmdName, unsigned resultCmdNameMaxSize, char* urlSuffix,
                                       unsigned urlSuffixMaxSize, char* sessionCookie, unsigned sessionCookieMaxSize,
                                       char* acceptStr, unsigned acceptStrMaxSize) override;
        void handleHTTPCmd_TunnelingGET(char const* sessionCookie) override;
        void handleCmd_notFound() override;
        void handleHTTPCmd_StreamingGET(char const* urlSuffix, char const* fullRequestStr) override;

        // The replies: "200 OK" with a body of that type, or an error
        // status with a short text body.
        void sendText(char const* contentType, std::string body);
        void sendStatus(char const* status, char const* extraHeaders = "");

        // Playlists of the stream's segment store; false when the request
        // must be answered otherwise (no such stream, no complete segment).
        bool sendM3u8PlayList(char const* streamName);
        bool sendMpdPlayList(char const* streamName);

    private:
        struct Request {
            std::string method;
            std::string urlSuffix;
            std::string full;
        };

        void serve(Request const& request);
        void route(Request const& request);
        void sendStats();
        void sendStreamList(std::string const& urlSuffix);
        void sendSegment(std::string const& query);
        void sendPlayListOrFile(std::string const& urlSuffix, char const* fullRequestStr);
        void sendStaticFile(char const* fullRequestStr);
        // The digest check of the server's users; false after sending a 401
        // with a challenge.
        bool authorised(Request const& request);
        std::string replyHead(char const* status, char const* contentType, uint64_t contentLength,
                              char const* extraHeaders) const;

        void startReply(std::unique_ptr<HTTPReply> reply, bool isSegment = false);
        void writeReply();
        void finishReply();
        void closeConnection();
        void readRequests(bool on);
        static void socketWritable(void* clientData, int mask);
        std::chrono::steady_clock::time_point deadline() const;
        void scheduleTimeout();
        static void checkTimeout(void* clientData);
        HTTPServer& server();

        std::string fMethod;                      // of the request being parsed
        bool fHeadOnly = false;                   // HEAD: the reply's head alone
        bool fCloseAfterReply = false;
        std::unique_ptr<HTTPReply> fReply;        // the reply being sent
        bool fReplyIsSegment = false;
        bool fNoDelay = false;                    // Nagle's algorithm is off (since the first reply)
        std::deque<Request> fWaiting;             // pipelined behind fReply
        bool fSpokeRtsp = false;                  // RTSP or a tunnel: no idle limit
        bool fInterleaved = false;                // RTP over it (or a tunnel): no request limit either
        std::chrono::steady_clock::time_point fRequestStarted;
        std::chrono::steady_clock::time_point fLastActivity;
        TaskToken fTimeoutTask = nullptr;
    };

protected:
    HTTPServer(UsageEnvironment& env, int ourSocketIPv4, int ourSocketIPv6, Port ourPort,
               UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds, unsigned segmentDuration);
    ~HTTPServer() override;

    ClientConnection* createNewClientConnection(int clientSocket, struct sockaddr_storage const& clientAddr) override;

private:
    unsigned segmentDownloads(); // connections sending a segment now

    unsigned fSegmentDuration;
    std::vector<StreamDescription> fStreams;
    std::chrono::steady_clock::time_point fStartTime = std::chrono::steady_clock::now();
    UserAuthenticationDatabase* fOwnedAuthDatabase; // owned
    std::string fDocumentRoot;
};

// Static files: the path a request names, relative to the web root, after
// the method and headers are cut and every "../" is removed; empty when the
// request names nothing (the start page).
std::string staticFilePath(char const* fullRequestStr);
// The web root that folder (null: the working directory) resolves to, or
// empty when it resolves to "/" or not at all: no static files then.
std::string resolveDocumentRoot(char const* folder);
// The content type of a static file, from its name's extension.
char const* contentTypeOf(std::string const& path);
// The start offset of "?segment=N": N as decimal digits below 2^32, else false.
bool parseSegmentOffset(std::string const& query, uint32_t& offset);
// Whether name may follow "var " in a script: a JavaScript identifier.
bool isScriptIdentifier(std::string const& name);
// The resolved file a path names when it may be served: a regular file
// inside root (a resolved root) after symbolic links are resolved, no part
// of the path beginning with "."; otherwise empty.
std::string servableFile(std::string const& path, std::string const& root);

#endif // YVK_HTTP_SERVER_HH
