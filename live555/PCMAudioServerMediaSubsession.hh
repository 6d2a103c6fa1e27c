// A self-contained RTSP subsession for a PCM queue source: the source comes
// from a creator function, 16-bit samples are sent as u-law ("PCMU"), 20- and
// 24-bit samples in network byte order ("L20", "L24"), 4- and 8-bit as "L8".
// Not used by the live assembly; offered to hosts.
#ifndef YVK_PCM_AUDIO_SERVER_MEDIA_SUBSESSION_HH
#define YVK_PCM_AUDIO_SERVER_MEDIA_SUBSESSION_HH

#include "PCMQueueSource.hh"

#include <OnDemandServerMediaSubsession.hh>

#include <cstdint>

// Parameters handed to the creator unread; their meaning is the creator's.
struct PCMAudioServerParam {
    int32_t word[10];
};

using PCMQueueSourceCreator = PCMQueueSource* (*)(UsageEnvironment& env, PCMAudioServerParam& param);

class YVK_API PCMAudioServerMediaSubsession : public OnDemandServerMediaSubsession {
public:
    static PCMAudioServerMediaSubsession* createNew(UsageEnvironment& env, PCMQueueSourceCreator createSource,
                                                    PCMAudioServerParam& param);

protected:
    PCMAudioServerMediaSubsession(UsageEnvironment& env, PCMQueueSourceCreator createSource,
                                  PCMAudioServerParam& param);
    ~PCMAudioServerMediaSubsession() override;

    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;

    PCMQueueSourceCreator fCreateSource;
    PCMAudioServerParam fParam;
    bool fConvertToULaw;
    unsigned char fAudioFormat;
    unsigned char fBitsPerSample;
    unsigned fSamplingFrequency;
    unsigned fNumChannels;
};

#endif // YVK_PCM_AUDIO_SERVER_MEDIA_SUBSESSION_HH
