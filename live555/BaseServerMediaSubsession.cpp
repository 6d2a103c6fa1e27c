#include "BaseServerMediaSubsession.hh"

#include "H26xQueueSource.hh"

#include <liveMedia.hh>

#include <cstring>

namespace {

constexpr unsigned kH26xEstimateKbps = 14000;
constexpr unsigned kTransportStreamClock = 90000;

// Static payload types of RFC 3551 for 16-bit linear PCM at 44.1 kHz.
unsigned char l16PayloadType(int samplingFrequency, int numChannels) {
    if (samplingFrequency == 44100 && (numChannels & 0xff) == 2) return 10;
    if (samplingFrequency == 44100 && (numChannels & 0xff) == 1) return 11;
    return 96;
}

RTPSink* createPcmSink(UsageEnvironment& env, Groupsock* groupsock, unsigned char payloadType,
                       int bitsPerSample, int samplingFrequency, int numChannels) {
    const char* name = "L8";
    switch (bitsPerSample & 0xff) {
    case 16:
        name = "L16";
        payloadType = l16PayloadType(samplingFrequency, numChannels);
        break;
    case 20: name = "L20"; break;
    case 24: name = "L24"; break;
    default: break;
    }
    return SimpleRTPSink::createNew(env, groupsock, payloadType, static_cast<unsigned>(samplingFrequency), "audio",
                                    name, static_cast<unsigned>(numChannels & 0xff), True, True);
}

} // namespace

BaseServerMediaSubsession::BaseServerMediaSubsession(StreamReplicator* replicator, const std::string& format,
                                                     int bitsPerSample, int samplingFrequency, int numChannels)
    : fReplicator(replicator), fFormat(format), fBitsPerSample(bitsPerSample),
      fSamplingFrequency(samplingFrequency), fNumChannels(numChannels) {}

FramedSource* BaseServerMediaSubsession::createSource(UsageEnvironment& env, FramedSource* source,
                                                      const std::string& format, int bitsPerSample,
                                                      int samplingFrequency, int numChannels,
                                                      unsigned& estBitrate) {
    if (format == "video/H264") {
        estBitrate = kH26xEstimateKbps;
        return H264VideoStreamDiscreteFramer::createNew(env, source);
    }
    if (format == "video/H265") {
        estBitrate = kH26xEstimateKbps;
        return H265VideoStreamDiscreteFramer::createNew(env, source);
    }
    if (format == "video/MP2T") return MPEG2TransportStreamFramer::createNew(env, source);
    if (format == "video/JPEG") return nullptr;
    if (format == "audio/L16") {
        estBitrate = static_cast<unsigned>(bitsPerSample * samplingFrequency * numChannels / 1000);
    }
    return source;
}

namespace {
constexpr unsigned char kTransportStreamPayloadType = 33;
}

RTPSink* BaseServerMediaSubsession::createSink(UsageEnvironment& env, Groupsock* groupsock,
                                               unsigned char payloadType, const std::string& format,
                                               int bitsPerSample, int samplingFrequency, int numChannels) {
    if (format == "video/H264") return H264VideoRTPSink::createNew(env, groupsock, payloadType);
    if (format == "video/H265") return H265VideoRTPSink::createNew(env, groupsock, payloadType);
    if (format == "video/MP2T") {
        // MP2T has the static payload type 33 (RFC 3551); FFmpeg's RTSP
        // client recognises a Transport Stream only by it.
        (void)payloadType;
        return SimpleRTPSink::createNew(env, groupsock, kTransportStreamPayloadType, kTransportStreamClock, "video",
                                        "MP2T", 1, True, False);
    }
    if (format == "audio/L16") {
        return createPcmSink(env, groupsock, payloadType, bitsPerSample, samplingFrequency, numChannels);
    }
    return nullptr; // VP8, VP9, JPEG and anything unknown
}

char* BaseServerMediaSubsession::getAuxLine(H26xQueueSource* source, unsigned char payloadType) {
    if (source == nullptr) return nullptr;
    std::string parameters = source->getAuxLine(); // empty when the host sent none in time
    std::string line;
    if (!parameters.empty()) line = "a=fmtp:" + std::to_string(payloadType) + " " + parameters + "\r\n";
    if (source->width() > 0 && source->height() >= 1) {
        line += "a=x-dimensions:" + std::to_string(source->width()) + "," + std::to_string(source->height()) +
                "\r\n";
    }
    char* text = new char[line.size() + 1];
    std::memcpy(text, line.c_str(), line.size() + 1);
    return text;
}
