#include "LiveRTSPServer.hh"
#include "TLSSendQueue.hh"

#include <GroupsockHelper.hh>
#include <OnDemandServerMediaSubsession.hh>
#include <RTPSink.hh>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr int64_t kLivenessWatchUs = 1000000;
// live555 listens with a backlog of 20: a burst of clients beyond that (a
// page's requests, many players at once) has its connection attempts dropped
// and retried by the client a second later, and again.  The kernel's limit
// takes them all while the loop accepts them.
constexpr int kListenBacklog = SOMAXCONN;
constexpr unsigned kListenSendBuffer = 50 * 1024;

bool ipv4Exists() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0) return errno != EAFNOSUPPORT;
    close(probe);
    return true;
}

// The server's listening socket on the receiving interface, as live555 sets
// it up but with SO_REUSEADDR: live555 leaves it off, so after Free every
// connection the server closed lingers in TIME_WAIT and a new instance on the
// same port (a host restarting its stream, or switching from live to file)
// cannot bind for a minute.  SO_REUSEADDR without SO_REUSEPORT still refuses
// the port while another socket listens on it.
int openListeningSocket(UsageEnvironment& env, Port& port, int domain) {
    int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        env.setResultErrMsg("unable to create stream socket: ");
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length;
    if (domain == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = port.num();
        v4->sin_addr.s_addr = ReceivingInterfaceAddr;
        length = sizeof *v4;
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on); // the IPv4 side has a socket of its own
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = port.num();
        v6->sin6_addr = ReceivingInterfaceAddr6;
        length = sizeof *v6;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        char message[64];
        std::snprintf(message, sizeof message, "IPv%c bind() error (port number: %u): ", domain == AF_INET ? '4' : '6',
                      static_cast<unsigned>(ntohs(port.num())));
        env.setResultErrMsg(message);
        close(fd);
        return -1;
    }
    if (!makeSocketNonBlocking(fd) || increaseSendBufferTo(env, fd, kListenSendBuffer) == 0 ||
        listen(fd, kListenBacklog) != 0 || (port.num() == 0 && !getSourcePort(env, fd, domain, port))) {
        env.setResultErrMsg("cannot listen on the stream socket: ");
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool LiveRTSPServer::openListeningSockets(UsageEnvironment& env, Port ourPort, int& socketIPv4, int& socketIPv6) {
    socketIPv4 = openListeningSocket(env, ourPort, AF_INET);
    std::string ipv4Failure = socketIPv4 < 0 ? env.getResultMsg() : "";
    if (socketIPv4 < 0 && ipv4Exists()) {
        // An IPv6-only server would leave IPv4 clients to whoever holds the port.
        std::string message = "port " + std::to_string(ntohs(ourPort.num())) + " cannot be bound on IPv4: ";
        env.setResultMsg(message.c_str(), ipv4Failure.c_str());
        return false;
    }
    socketIPv6 = openListeningSocket(env, ourPort, AF_INET6);
    return socketIPv4 >= 0 || socketIPv6 >= 0;
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

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Where the Transport header's value starts and ends, found the way live555
// finds it: the first "Transport:" in any case, anywhere before the blank
// line that ends the headers.  {npos, npos} without one.
std::pair<size_t, size_t> transportValue(std::string const& request) {
    static const std::string kName = "transport:";
    auto sameLetter = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    };
    size_t headersEnd = std::min(request.find("\r\n\r"), request.size());
    auto found = std::search(request.begin(), request.begin() + headersEnd, kName.begin(), kName.end(), sameLetter);
    if (found == request.begin() + headersEnd) return {std::string::npos, std::string::npos};
    size_t at = static_cast<size_t>(found - request.begin()) + kName.size();
    size_t end = request.find_first_of("\r\n", at);
    return {at, end == std::string::npos ? request.size() : end};
}

std::string transportHeader(std::string const& request) {
    auto [begin, end] = transportValue(request);
    return begin == std::string::npos ? "" : request.substr(begin, end - begin);
}

// The value without its "destination=" fields.
std::string withoutDestination(std::string const& value) {
    std::string kept;
    bool first = true;
    for (size_t from = 0; from <= value.size();) {
        size_t semicolon = std::min(value.find(';', from), value.size());
        std::string field = value.substr(from, semicolon - from);
        size_t start = std::min(field.find_first_not_of(' '), field.size());
        if (lowerCase(field.substr(start, 12)) != "destination=") {
            kept += (first ? "" : ";") + field;
            first = false;
        }
        from = semicolon + 1;
    }
    return kept;
}

} // namespace

std::string LiveRTSPServer::normaliseTransport(const char* request) {
    static const std::string kSpelling = "RTP/AVP/UDP";
    std::string text = request != nullptr ? request : "";
    for (size_t at = text.find(kSpelling); at != std::string::npos; at = text.find(kSpelling, at)) {
        text.erase(at + 7, 4); // drop "/UDP"
    }
    // A client's "destination=" is not acted on (it would let a client aim
    // the stream at a third party), and live555 loses its copy of one on
    // some of its SETUP error paths: the field goes before live555 parses.
    auto [begin, end] = transportValue(text);
    if (begin != std::string::npos) text.replace(begin, end - begin, withoutDestination(text.substr(begin, end - begin)));
    return text;
}

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
    if (static_cast<LiveRTSPServer&>(fOurRTSPServer).usesTLS()) queueTLSOutput(*connection);
}

// The connection now carries RTP in TLS: what its socket cannot take at once
// waits in a queue instead of breaking the TLS stream (see TLSSendQueue).
void LiveRTSPServer::LiveClientSession::queueTLSOutput(RTSPClientConnection& connection) {
    // The connection's output TLS is protected in live555's base class; a
    // derived class may name it.
    struct OutputOf : RTSPClientConnection {
        static ServerTLSState* of(RTSPClientConnection& connection) { return connection.*(&OutputOf::fOutputTLS); }
    };
    ServerTLSState* output = OutputOf::of(connection);
    if (output != nullptr && output->isNeeded && !TLSSendQueue::installOn(envir(), *output))
        envir() << "RTSPS: no send queue on this connection; a client that stops reading may lose it\n";
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
    if (state != nullptr && state->streamToken == nullptr &&
        static_cast<LiveRTSPServer&>(fOurServer).fStreamsServeOneClient && reclaimSilentHolder(sms)) {
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
