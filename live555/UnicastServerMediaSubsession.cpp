#include "UnicastServerMediaSubsession.hh"

#include "FanoutGroupsock.hh"
#include "H26xQueueSource.hh"
#include "ReplicaGate.hh"

#include <GroupsockHelper.hh>
#include <liveMedia.hh>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr portNumBits kInitialPort = 6970;
constexpr portNumBits kLastPort = 65534;
constexpr unsigned char kFirstDynamicPayloadType = 96;
constexpr unsigned kMinSendBufferBytes = 50 * 1024;

int videoCodec(const std::string& format) {
    if (format == "video/H264") return 264;
    if (format == "video/H265") return 265;
    return 0;
}

} // namespace

UnicastServerMediaSubsession* UnicastServerMediaSubsession::createNew(UsageEnvironment& env,
                                                                      StreamReplicator* replicator,
                                                                      const std::string& format,
                                                                      int bitsPerSample, int samplingFrequency,
                                                                      int numChannels) {
    if (replicator == nullptr) return nullptr;
    return new UnicastServerMediaSubsession(env, replicator, format, bitsPerSample, samplingFrequency,
                                            numChannels);
}

UnicastServerMediaSubsession::UnicastServerMediaSubsession(UsageEnvironment& env, StreamReplicator* replicator,
                                                           const std::string& format, int bitsPerSample,
                                                           int samplingFrequency, int numChannels)
    : OnDemandServerMediaSubsession(env, False, kInitialPort, False),
      BaseServerMediaSubsession(replicator, format, bitsPerSample, samplingFrequency, numChannels),
      fAuxSDPLine(nullptr) {}

UnicastServerMediaSubsession::~UnicastServerMediaSubsession() {
    // The server's client sessions, each of which gives its streams back,
    // go before the media sessions; a shared stream left now has no client.
    delete fSharedStream;
    Medium::close(fReplicator);
    delete[] fAuxSDPLine;
}

FramedSource* UnicastServerMediaSubsession::createNewStreamSource(unsigned /*clientSessionId*/,
                                                                  unsigned& estBitrate) {
    estBitrate = kDefaultEstimatedBitrateKbps;
    FramedSource* replica = fReplicator->createStreamReplica();
    if (replica == nullptr) return nullptr;
    // Starts after the PLAY response and, for video, at a key picture.
    FramedSource* input = ReplicaGate::createNew(envir(), replica, videoCodec(fFormat));
    FramedSource* source = createSource(envir(), input, fFormat, fBitsPerSample, fSamplingFrequency, fNumChannels,
                                        estBitrate);
    if (source == nullptr) Medium::close(input);
    return source;
}

RTPSink* UnicastServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                        unsigned char rtpPayloadTypeIfDynamic,
                                                        FramedSource* /*inputSource*/) {
    return createSink(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, fFormat, fBitsPerSample,
                      fSamplingFrequency, fNumChannels);
}

char const* UnicastServerMediaSubsession::sdpLines(int addressFamily) {
    if (fSDPLinesLackParameters) {
        delete[] fSDPLines;
        fSDPLines = nullptr;
        fSDPLinesLackParameters = false;
    }
    return OnDemandServerMediaSubsession::sdpLines(addressFamily);
}

char const* UnicastServerMediaSubsession::getAuxSDPLine(RTPSink* rtpSink, FramedSource* /*inputSource*/) {
    auto* video = dynamic_cast<H26xQueueSource*>(fReplicator->inputSource());
    if (video == nullptr || rtpSink == nullptr) return nullptr;
    delete[] fAuxSDPLine;
    fAuxSDPLine = getAuxLine(video, rtpSink->rtpPayloadType());
    fSDPLinesLackParameters = !video->hasAuxLine();
    return fAuxSDPLine;
}

bool UnicastServerMediaSubsession::sharesStream(struct sockaddr_storage const& clientAddress,
                                                Port const& clientRTCPPort, Boolean streamUsingTCP) const {
    if (streamUsingTCP || clientRTCPPort.num() == 0) return false;
    if (fParentSession == nullptr || fParentSession->streamingUsesSRTP) return false;
    return fSharedStream == nullptr || clientAddress.ss_family == fSharedFamily;
}

// The shared stream's chain as the dependency builds a client's: an even
// RTP port from kInitialPort on with RTCP on the next one, the sink with
// the session's dynamic payload type, and a send buffer of 0.1 s of the
// stream or 50 kB.
StreamState* UnicastServerMediaSubsession::createSharedStream(int family) {
    unsigned estBitrate = kDefaultEstimatedBitrateKbps;
    FramedSource* source = createNewStreamSource(0, estBitrate);
    if (source == nullptr) return nullptr;
    struct sockaddr_storage wildcard;
    std::memset(&wildcard, 0, sizeof wildcard);
    wildcard.ss_family = static_cast<sa_family_t>(family);
    NoReuse exclusivePorts(envir());
    FanoutGroupsock* rtp = nullptr;
    Groupsock* rtcp = nullptr;
    portNumBits port = kInitialPort;
    for (; port < kLastPort; port += 2) {
        rtp = FanoutGroupsock::createNew(envir(), wildcard, Port(port), videoCodec(fFormat));
        if (rtp == nullptr) continue;
        rtcp = new Groupsock(envir(), wildcard, Port(port + 1), 255);
        if (rtcp->socketNum() >= 0) break;
        delete rtcp;
        delete rtp;
        rtp = nullptr;
        rtcp = nullptr;
    }
    RTPSink* sink = rtp == nullptr ? nullptr
                                   : createNewRTPSink(rtp, kFirstDynamicPayloadType + trackNumber() - 1, source);
    if (sink == nullptr) {
        delete rtp;
        delete rtcp;
        closeStreamSource(source);
        return nullptr;
    }
    rtcp->removeAllDestinations();
    if (sink->estimatedBitrate() > 0) estBitrate = sink->estimatedBitrate();
    increaseSendBufferTo(envir(), rtp->socketNum(), std::max(estBitrate * 25 / 2, kMinSendBufferBytes));
    return new StreamState(*this, Port(port), Port(port + 1), sink, nullptr, estBitrate, source, rtp, rtcp);
}

void UnicastServerMediaSubsession::getStreamParameters(
    unsigned clientSessionId, struct sockaddr_storage const& clientAddress, Port const& clientRTPPort,
    Port const& clientRTCPPort, Boolean streamUsingTCP, unsigned char rtpChannelId, unsigned char rtcpChannelId,
    TLSState* tlsState, struct sockaddr_storage& destinationAddress, u_int8_t& destinationTTL,
    Boolean& isMulticast, Port& serverRTPPort, Port& serverRTCPPort, void*& streamToken) {
    bool shared = sharesStream(clientAddress, clientRTCPPort, streamUsingTCP);
    if (shared && fSharedStream == nullptr) {
        fSharedStream = createSharedStream(clientAddress.ss_family);
        fSharedFamily = clientAddress.ss_family;
        shared = fSharedStream != nullptr;
    } else if (shared) {
        ++fSharedStream->referenceCount();
    }
    if (!shared) {
        OnDemandServerMediaSubsession::getStreamParameters(
            clientSessionId, clientAddress, clientRTPPort, clientRTCPPort, streamUsingTCP, rtpChannelId,
            rtcpChannelId, tlsState, destinationAddress, destinationTTL, isMulticast, serverRTPPort,
            serverRTCPPort, streamToken);
        return;
    }
    if (addressIsNull(destinationAddress)) destinationAddress = clientAddress;
    isMulticast = False;
    serverRTPPort = fSharedStream->serverRTPPort();
    serverRTCPPort = fSharedStream->serverRTCPPort();
    streamToken = fSharedStream;
    auto* destinations = new Destinations(destinationAddress, clientRTPPort, clientRTCPPort);
    char const* key = reinterpret_cast<char const*>(static_cast<uintptr_t>(clientSessionId));
    delete static_cast<Destinations*>(fDestinationsHashTable->Add(key, destinations));
}

void UnicastServerMediaSubsession::pauseStream(unsigned clientSessionId, void* streamToken) {
    if (streamToken == nullptr || streamToken != fSharedStream) {
        OnDemandServerMediaSubsession::pauseStream(clientSessionId, streamToken);
        return;
    }
    // The others play on; this client is sent nothing until it plays again.
    char const* key = reinterpret_cast<char const*>(static_cast<uintptr_t>(clientSessionId));
    auto* destinations = static_cast<Destinations*>(fDestinationsHashTable->Lookup(key));
    if (destinations != nullptr) fSharedStream->endPlaying(destinations, clientSessionId);
}

void UnicastServerMediaSubsession::seekStream(unsigned clientSessionId, void* streamToken, double& seekNPT,
                                              double streamDuration, u_int64_t& numBytes) {
    numBytes = 0;
    if (streamToken == nullptr || streamToken != fSharedStream) {
        OnDemandServerMediaSubsession::seekStream(clientSessionId, streamToken, seekNPT, streamDuration, numBytes);
    }
}

void UnicastServerMediaSubsession::seekStream(unsigned clientSessionId, void* streamToken, char*& absStart,
                                              char*& absEnd) {
    if (streamToken == nullptr || streamToken != fSharedStream) {
        OnDemandServerMediaSubsession::seekStream(clientSessionId, streamToken, absStart, absEnd);
        return;
    }
    // No times given back: the PLAY response then names none.
    delete[] absStart;
    absStart = nullptr;
    delete[] absEnd;
    absEnd = nullptr;
}

void UnicastServerMediaSubsession::setStreamScale(unsigned clientSessionId, void* streamToken, float scale) {
    if (streamToken == nullptr || streamToken != fSharedStream) {
        OnDemandServerMediaSubsession::setStreamScale(clientSessionId, streamToken, scale);
    }
}

Boolean UnicastServerMediaSubsession::deleteStream(unsigned clientSessionId, void*& streamToken) {
    bool shared = streamToken != nullptr && streamToken == fSharedStream;
    Boolean done = OnDemandServerMediaSubsession::deleteStream(clientSessionId, streamToken);
    if (shared && streamToken == nullptr) fSharedStream = nullptr; // it went with its last client
    return done;
}
