#include "LiveRTSPServer.hh"

#include <GroupsockHelper.hh>
#include <OnDemandServerMediaSubsession.hh>
#include <RTPSink.hh>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int64_t kLivenessWatchUs = 1000000;

bool ipv4Exists() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0) return errno != EAFNOSUPPORT;
    close(probe);
    return true;
}

} // namespace

bool LiveRTSPServer::openListeningSockets(UsageEnvironment& env, Port ourPort, int& socketIPv4, int& socketIPv6) {
    socketIPv4 = setUpOurSocket(env, ourPort, AF_INET);
    std::string ipv4Failure = socketIPv4 < 0 ? env.getResultMsg() : "";
    if (socketIPv4 < 0 && ipv4Exists()) {
        // An IPv6-only server would leave IPv4 clients to whoever holds the port.
        std::string message = "port " + std::to_string(ntohs(ourPort.num())) + " cannot be bound on IPv4: ";
        env.setResultMsg(message.c_str(), ipv4Failure.c_str());
        return false;
    }
    socketIPv6 = setUpOurSocket(env, ourPort, AF_INET6);
    if (socketIPv4 < 0 && socketIPv6 < 0) return false;
    return true;
}

LiveRTSPServer* LiveRTSPServer::createNew(UsageEnvironment& env, Port ourPort,
                                          UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds) {
    int socketIPv4 = -1;
    int socketIPv6 = -1;
    if (!openListeningSockets(env, ourPort, socketIPv4, socketIPv6)) return nullptr;
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

namespace {

// The value of the request's Transport header, empty without one.
std::string transportHeader(std::string const& request) {
    size_t header = request.find("\nTransport:");
    if (header == std::string::npos) header = request.find("\ntransport:");
    if (header == std::string::npos) return "";
    size_t end = request.find('\r', header + 1);
    return request.substr(header, end == std::string::npos ? std::string::npos : end - header);
}

} // namespace

// The Transport header names RTP/AVP/TCP, the transport of an RTSPS
// client.
bool LiveRTSPServer::asksForInterleavedTcp(std::string const& request) {
    return transportHeader(request).find("RTP/AVP/TCP") != std::string::npos;
}

bool LiveRTSPServer::asksForRawUdp(std::string const& request) {
    std::string transport = transportHeader(request);
    return transport.find("RAW/RAW/UDP") != std::string::npos || transport.find("MP2T/H2221/UDP") != std::string::npos;
}

void LiveRTSPServer::LiveClientSession::handleCmd_SETUP(RTSPClientConnection* connection, char const* urlPreSuffix,
                                                        char const* urlSuffix, char const* fullRequestStr) {
    fRequest = normaliseTransport(fullRequestStr);
    // Every stream here is RTP: raw UDP is refused before live555 parses it
    // (its parsing of such headers loses memory when they repeat fields).
    if ((static_cast<LiveRTSPServer&>(fOurRTSPServer).usesTLS() && !asksForInterleavedTcp(fRequest)) ||
        asksForRawUdp(fRequest)) {
        setRTSPResponse(connection, "461 Unsupported Transport");
        return;
    }
    RTSPClientSession::handleCmd_SETUP(connection, urlPreSuffix, urlSuffix, fRequest.c_str());
}

LiveRTSPServer::LiveClientSession::LiveClientSession(LiveRTSPServer& server, u_int32_t sessionId)
    : RTSPClientSession(server, sessionId), fLastSignOfLife(std::chrono::steady_clock::now()),
      fSeenLivenessTask(fLivenessCheckTask) {
    fWatchTask = envir().taskScheduler().scheduleDelayedTask(kLivenessWatchUs, watchLiveness, this);
}

LiveRTSPServer::LiveClientSession::~LiveClientSession() {
    envir().taskScheduler().unscheduleDelayedTask(fWatchTask);
}

void LiveRTSPServer::LiveClientSession::watchLiveness(void* clientData) {
    auto* session = static_cast<LiveClientSession*>(clientData);
    if (session->fLivenessCheckTask != session->fSeenLivenessTask) {
        session->fSeenLivenessTask = session->fLivenessCheckTask;
        session->fLastSignOfLife = std::chrono::steady_clock::now();
    }
    session->fWatchTask =
        session->envir().taskScheduler().scheduleDelayedTask(kLivenessWatchUs, watchLiveness, session);
}

double LiveRTSPServer::LiveClientSession::silentSeconds() const {
    // A sign of life since the last watch counts as now.
    if (fLivenessCheckTask != fSeenLivenessTask) return 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - fLastSignOfLife).count();
}

bool LiveRTSPServer::LiveClientSession::holdsStreamOf(ServerMediaSession const* session) const {
    if (session == nullptr || fOurServerMediaSession != session) return false;
    for (unsigned i = 0; fStreamStates != nullptr && i < fNumStreamStates; ++i) {
        if (fStreamStates[i].streamToken != nullptr) return true;
    }
    return false;
}

// A stream refused because another session holds it: that session is
// reclaimed when its client has gone quiet, as if its timeout had run out.
bool LiveRTSPServer::LiveClientSession::reclaimSilentHolder(ServerMediaSession const* session) {
    LiveClientSession* silent = nullptr;
    HashTable::Iterator* iterator = HashTable::Iterator::create(*static_cast<LiveRTSPServer&>(fOurServer).fClientSessions);
    char const* key = nullptr;
    while (auto* other = static_cast<LiveClientSession*>(iterator->next(key))) {
        if (other != this && other->holdsStreamOf(session) && other->silentSeconds() >= kSilentHolderSeconds) {
            silent = other;
            break;
        }
    }
    delete iterator;
    if (silent == nullptr) return false;
    envir() << "session " << fOurSessionId << " takes the stream of silent session " << silent->fOurSessionId
            << "\n";
    // live555's timeout task deletes the session it is given but leaves its
    // own scheduled run alone (it expects to be that run): unscheduled first,
    // it cannot fire later on the deleted session.
    envir().taskScheduler().unscheduleDelayedTask(silent->fLivenessCheckTask);
    livenessTimeoutTask(silent);
    return true;
}

void LiveRTSPServer::LiveClientSession::handleCmd_SETUP_afterLookup2(RTSPClientConnection* connection,
                                                                    ServerMediaSession* sms) {
    RTSPClientSession::handleCmd_SETUP_afterLookup2(connection, sms);
    streamState* state = requestedStreamState();
    if (state != nullptr && state->streamToken == nullptr && reclaimSilentHolder(sms)) {
        RTSPClientSession::handleCmd_SETUP_afterLookup2(connection, sms);
        state = requestedStreamState();
    }
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

// ---- statistics ---------------------------------------------------------------

namespace {

// What live555 keeps protected about a client's stream: its destination
// and its RTP sink.  Member pointers formed in a derived class reach them on
// any such object.
struct StreamInternals : OnDemandServerMediaSubsession {
    static Destinations* destination(OnDemandServerMediaSubsession& subsession, u_int32_t sessionId) {
        HashTable* OnDemandServerMediaSubsession::*table = &StreamInternals::fDestinationsHashTable;
        HashTable* destinations = subsession.*table;
        if (destinations == nullptr) return nullptr;
        return static_cast<Destinations*>(destinations->Lookup(reinterpret_cast<char const*>(uintptr_t(sessionId))));
    }
    static RTPSink* sink(OnDemandServerMediaSubsession& subsession, void* streamToken) {
        void (OnDemandServerMediaSubsession::*get)(void*, RTPSink*&, RTCPInstance*&) =
            &StreamInternals::getRTPSinkandRTCP;
        RTPSink* rtpSink = nullptr;
        RTCPInstance* rtcp = nullptr;
        (subsession.*get)(streamToken, rtpSink, rtcp);
        return rtpSink;
    }
};

struct SinkInternals : RTPSink {
    static uint64_t bytesSent(RTPSink& sink) {
        unsigned (RTPSink::*octets)() const = &SinkInternals::octetCount;
        return (sink.*octets)();
    }
};

std::string addressText(struct sockaddr_storage const& address, unsigned port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in const&>(address).sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(port);
    }
    if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 const&>(address).sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    return "";
}

std::string peerOf(int socketNum) {
    struct sockaddr_storage peer {};
    socklen_t length = sizeof peer;
    if (socketNum < 0 || getpeername(socketNum, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "";
    unsigned port = peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(peer).sin6_port)
                                               : ntohs(reinterpret_cast<sockaddr_in&>(peer).sin_port);
    return addressText(peer, port);
}

} // namespace

std::vector<LiveRTSPServer::SessionReport> LiveRTSPServer::sessionReports() {
    std::vector<SessionReport> reports;
    HashTable::Iterator* iterator = HashTable::Iterator::create(*fClientSessions);
    char const* key = nullptr;
    while (auto* session = static_cast<LiveClientSession*>(iterator->next(key))) reports.push_back(session->report());
    delete iterator;
    return reports;
}

LiveRTSPServer::SessionReport LiveRTSPServer::LiveClientSession::report() const {
    SessionReport report;
    report.id = fOurSessionId;
    if (fOurServerMediaSession != nullptr) report.stream = fOurServerMediaSession->streamName();
    for (unsigned i = 0; fStreamStates != nullptr && i < fNumStreamStates; ++i) {
        streamState const& state = fStreamStates[i];
        auto* subsession = dynamic_cast<OnDemandServerMediaSubsession*>(state.subsession);
        if (state.streamToken == nullptr || subsession == nullptr) continue;
        ++report.tracks;
        report.tcp = state.streamUsingTCP != False;
        if (RTPSink* sink = StreamInternals::sink(*subsession, state.streamToken)) {
            report.bytesSent += SinkInternals::bytesSent(*sink);
        }
        if (!report.client.empty()) continue;
        if (report.tcp) {
            report.client = peerOf(state.tcpSocketNum);
        } else if (Destinations* destination = StreamInternals::destination(*subsession, fOurSessionId)) {
            report.client = addressText(destination->addr, ntohs(destination->rtpPort.num()));
        }
    }
    return report;
}
