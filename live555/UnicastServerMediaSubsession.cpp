#include "UnicastServerMediaSubsession.hh"

#include "H26xQueueSource.hh"
#include "ReplicaGate.hh"

#include <liveMedia.hh>

namespace {

constexpr portNumBits kInitialPort = 6970;

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
