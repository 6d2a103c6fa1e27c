// The RTSP server of the library: live555's RTSPServer, except that
// - a SETUP asking for "RTP/AVP/UDP" (the spelling FFmpeg and others use for
//   plain RTP over UDP, RFC 2326 section 12.39) is served like "RTP/AVP"
//   instead of being refused with 461 by the installed live555;
// - a SETUP for which the subsession made no stream (its source is busy,
//   as a served file is while another client streams it, or could not be
//   made) is answered "503 Service Unavailable" instead of a "200 OK"
//   without server ports;
// - on a TLS server, a SETUP for anything but RTP over the RTSP connection
//   is refused with 461: media over UDP would leave the connection in clear;
// - where each stream serves one client (a served file), a SETUP that finds
//   its stream held by another client session that has shown no sign of
//   life (no request, no RTCP report) for kSilentHolderSeconds reclaims that
//   session and takes the stream;
// - it is not created when its IPv4 port cannot be bound (another program
//   holds it), unless the machine has no IPv4 at all.
#ifndef YVK_LIVE_RTSP_SERVER_HH
#define YVK_LIVE_RTSP_SERVER_HH

#include "yvkstreamer_core.h"

#include <RTSPServer.hh>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class YVK_API LiveRTSPServer : public RTSPServer {
public:
    // What the statistics tell of one RTSP client session.
    struct SessionReport {
        u_int32_t id = 0;
        std::string stream;     // the session's stream name
        std::string client;     // "address:port" of the media's destination or the TCP peer
        bool tcp = false;       // RTP over the RTSP connection
        uint64_t bytesSent = 0; // RTP bytes of all its tracks
        unsigned tracks = 0;
    };
    std::vector<SessionReport> sessionReports();

    static LiveRTSPServer* createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                                     unsigned reclamationSeconds);

    // The request with every "RTP/AVP/UDP" written as "RTP/AVP" and the
    // "destination=" fields of its Transport header dropped.  The Transport
    // header is the one live555 reads: the first "Transport:" in any case.
    static std::string normaliseTransport(const char* request);
    // Whether the request's Transport header asks for RTP/AVP/TCP.
    static bool asksForInterleavedTcp(std::string const& request);
    // Whether it names a raw UDP transport (RAW/RAW/UDP, MP2T/H2221/UDP).
    static bool asksForRawUdp(std::string const& request);

    static constexpr const char* kNoStreamResponse = "503 Service Unavailable";
    static constexpr unsigned kSilentHolderSeconds = 10;

    // The listening sockets of a server on ourPort; false (nothing left
    // open, the reason in the environment's result message) when IPv4
    // exists here and its port cannot be bound, or neither family can.
    static bool openListeningSockets(UsageEnvironment& env, Port ourPort, int& socketIPv4, int& socketIPv6);

    // Accept only TLS connections from now on, with the certificate and key
    // of these PEM files (copied).
    void useTLS(char const* certFileName, char const* privateKeyFileName);
    bool usesTLS() const { return !fTLSCertFileName.empty(); }

    // Whether each stream serves one client at a time (a served file), so
    // that a SETUP refused for want of a stream may reclaim a silent holder.
    // Off by default: a live stream is shared, and a refused SETUP there says
    // nothing about the other sessions.
    void setStreamsServeOneClient(bool on) { fStreamsServeOneClient = on; }

protected:
    LiveRTSPServer(UsageEnvironment& env, int ourSocketIPv4, int ourSocketIPv6, Port ourPort,
                   UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds);
    ~LiveRTSPServer() override;

    ClientSession* createNewClientSession(u_int32_t sessionId) override;

    class LiveClientSession : public RTSPClientSession {
    public:
        LiveClientSession(LiveRTSPServer& server, u_int32_t sessionId);
        ~LiveClientSession() override;
        SessionReport report() const;
        // Seconds since the last request or RTCP report of this session.
        double silentSeconds() const;
        bool holdsStreamOf(ServerMediaSession const* session) const;

    protected:
        void handleCmd_SETUP(RTSPClientConnection* connection, char const* urlPreSuffix, char const* urlSuffix,
                             char const* fullRequestStr) override;
        void handleCmd_SETUP_afterLookup2(RTSPClientConnection* connection, ServerMediaSession* sms) override;

    private:
        // The stream state the SETUP in progress is for; null when the
        // request named no track of the session.
        streamState* requestedStreamState() const;
        bool hasAnyStream() const;
        void queueTLSOutput(RTSPClientConnection& connection);
        static void reclaimNow(void* clientData);  // live555's reclamation, without its wait
        // live555 notes every sign of life by rescheduling the session's
        // liveness task; a new task token means the client spoke.
        static void watchLiveness(void* clientData);
        bool reclaimSilentHolder(ServerMediaSession const* session);

        std::string fRequest; // the rewritten SETUP; the base keeps a pointer to it
        std::chrono::steady_clock::time_point fLastSignOfLife;
        TaskToken fSeenLivenessTask = nullptr;
        TaskToken fWatchTask = nullptr;
    };

private:
    std::string fTLSCertFileName; // the base keeps pointers to these
    std::string fTLSKeyFileName;
    bool fStreamsServeOneClient = false;
};

#endif // YVK_LIVE_RTSP_SERVER_HH
