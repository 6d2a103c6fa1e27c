#include "PCMAudioServerMediaSubsession.hh"

#include <liveMedia.hh>

namespace {

constexpr portNumBits kInitialPort = 6970;

bool supportedWidth(unsigned bits) {
    return bits % 4 == 0 && bits >= 4 && bits != 12 && bits <= 24;
}

} // namespace

PCMAudioServerMediaSubsession* PCMAudioServerMediaSubsession::createNew(UsageEnvironment& env,
                                                                        PCMQueueSourceCreator createSource,
                                                                        PCMAudioServerParam& param) {
    return new PCMAudioServerMediaSubsession(env, createSource, param);
}

PCMAudioServerMediaSubsession::PCMAudioServerMediaSubsession(UsageEnvironment& env,
                                                             PCMQueueSourceCreator createSource,
                                                             PCMAudioServerParam& param)
    : OnDemandServerMediaSubsession(env, False, kInitialPort, False), fCreateSource(createSource), fParam(param),
      fConvertToULaw(true), fAudioFormat(0), fBitsPerSample(0), fSamplingFrequency(0), fNumChannels(0) {}

PCMAudioServerMediaSubsession::~PCMAudioServerMediaSubsession() = default;

FramedSource* PCMAudioServerMediaSubsession::createNewStreamSource(unsigned /*clientSessionId*/,
                                                                   unsigned& estBitrate) {
    if (fCreateSource == nullptr) return nullptr;
    PCMQueueSource* pcm = fCreateSource(envir(), fParam);
    if (pcm == nullptr) return nullptr;
    fAudioFormat = static_cast<unsigned char>(pcm->audioFormat());
    fBitsPerSample = pcm->bitsPerSample();
    if (!supportedWidth(fBitsPerSample)) {
        envir() << "The input file contains " << static_cast<int>(fBitsPerSample)
                << " bit-per-sample audio, which we don't handle\n";
        Medium::close(pcm);
        return nullptr;
    }
    fSamplingFrequency = pcm->samplingFrequency();
    fNumChannels = pcm->numChannels();
    unsigned bitsPerSecond = fSamplingFrequency * fBitsPerSample * fNumChannels;
    FramedSource* source = pcm;
    if (fAudioFormat == 1) {
        if (fBitsPerSample == 16) {
            if (fConvertToULaw) {
                bitsPerSecond /= 2;
                source = uLawFromPCMAudioSource::createNew(envir(), pcm, 1);
            }
        } else if (fBitsPerSample == 20 || fBitsPerSample == 24) {
            source = EndianSwap24::createNew(envir(), pcm);
        }
    }
    estBitrate = (bitsPerSecond + 500) / 1000;
    return source;
}

RTPSink* PCMAudioServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                                         unsigned char rtpPayloadTypeIfDynamic,
                                                         FramedSource* /*inputSource*/) {
    if (fAudioFormat != 1) return nullptr;
    unsigned char payloadType = rtpPayloadTypeIfDynamic;
    const char* name = "L8";
    if (fBitsPerSample == 16) {
        name = "PCMU";
        if (fSamplingFrequency == 8000 && fNumChannels == 1) payloadType = 0;
    } else if (fBitsPerSample == 20) {
        name = "L20";
    } else if (fBitsPerSample == 24) {
        name = "L24";
    }
    return SimpleRTPSink::createNew(envir(), rtpGroupsock, payloadType, fSamplingFrequency, "audio", name,
                                    fNumChannels, True, True);
}
