// The instance's RTSP server, whose connections also answer plain HTTP: the
// version, the list of streams, HLS and MPEG-DASH playlists, Transport Stream
// segments from the segment store, and static files from the web root
// (HTTP_DOC_ROOT, or the working directory).  RTSP requests and RTSP-over-HTTP tunnelling are served
// on the same connections as by LiveRTSPServer.
#ifndef YVK_HTTP_SERVER_HH
#define YVK_HTTP_SERVER_HH

#include "yvkstreamer_core.h"

#include "LiveRTSPServer.hh"

#include <string>
#include <vector>

class SocketStreamSink;

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

    class YVK_API HTTPClientConnection : public RTSPServer::RTSPClientConnection {
    public:
        HTTPClientConnection(HTTPServer& ourServer, int clientSocket, struct sockaddr_storage const& clientAddr);
        ~HTTPClientConnection() override;

        // The first subsession of the named session, or null.
        ServerMediaSubsession* getSubsesion(char const* streamName);

    protected:
        void handleCmd_notFound() override;
        void handleHTTPCmd_StreamingGET(char const* urlSuffix, char const* fullRequestStr) override;

        void sendHeader(char const* contentType, unsigned contentLength);
        void streamSource(FramedSource* source); // null stops the transfer
        void streamSource(std::string const& body);
        static void afterStreaming(void* clientData);

        // Playlists of the stream's segment store; false when the request
        // must be answered otherwise (no such stream, no complete segment).
        bool sendM3u8PlayList(char const* streamName);
        bool sendMpdPlayList(char const* streamName);

    private:
        void sendVersion();
        void sendStreamList(std::string const& urlSuffix);
        void sendSegment(unsigned startOffset);
        void sendPlayListOrFile(std::string const& urlSuffix, char const* fullRequestStr);
        void sendStaticFile(std::string extension, char const* fullRequestStr);
        void refuse(); // "not supported", and the connection closes after it
        HTTPServer& server();

        SocketStreamSink* fTCPSink = nullptr;     // owned; created on first use
        void* fStreamToken = nullptr;             // from fSubsession, released when we go
        ServerMediaSubsession* fSubsession = nullptr;
        FramedSource* fStreamSource = nullptr;    // owned; the body being sent
        u_int32_t fSegmentSessionId = 0;          // our client session id towards fSubsession
        static u_int32_t fClientSessionId;        // shared by all connections
    };

protected:
    HTTPServer(UsageEnvironment& env, int ourSocketIPv4, int ourSocketIPv6, Port ourPort,
               UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds, unsigned segmentDuration);
    ~HTTPServer() override;

    ClientConnection* createNewClientConnection(int clientSocket, struct sockaddr_storage const& clientAddr) override;

private:
    unsigned fSegmentDuration;
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
// The resolved file a path names when it may be served: a regular file
// inside root (a resolved root) after symbolic links are resolved, no part
// of the path beginning with "."; otherwise empty.
std::string servableFile(std::string const& path, std::string const& root);

#endif // YVK_HTTP_SERVER_HH
