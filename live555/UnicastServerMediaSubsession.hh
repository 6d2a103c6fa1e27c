// One medium of a live RTSP session: every client gets its own copy of the
// stream from a StreamReplicator, behind the framer and RTP sink of the
// format (BaseServerMediaSubsession).
//
// Ownership: the subsession owns its replicator and closes it on destruction,
// which also closes the replicator's input source; the session that the
// subsession is added to owns the subsession.
#ifndef YVK_UNICAST_SERVER_MEDIA_SUBSESSION_HH
#define YVK_UNICAST_SERVER_MEDIA_SUBSESSION_HH

#include "BaseServerMediaSubsession.hh"

#include <OnDemandServerMediaSubsession.hh>

class YVK_API UnicastServerMediaSubsession : public OnDemandServerMediaSubsession,
                                             public BaseServerMediaSubsession {
public:
    // The integers matter only for "audio/L16".
    static UnicastServerMediaSubsession* createNew(UsageEnvironment& env, StreamReplicator* replicator,
                                                   const std::string& format, int bitsPerSample,
                                                   int samplingFrequency, int numChannels);

protected:
    UnicastServerMediaSubsession(UsageEnvironment& env, StreamReplicator* replicator, const std::string& format,
                                 int bitsPerSample, int samplingFrequency, int numChannels);
    ~UnicastServerMediaSubsession() override;

    // The video source's parameter text.  When the host has sent no
    // parameter sets within the source's bound the lines go out without an
    // "a=fmtp" line (a decoder then takes the sets in-band) and are not kept,
    // so the next DESCRIBE asks again.
    char const* sdpLines(int addressFamily) override;
    char const* getAuxSDPLine(RTPSink* rtpSink, FramedSource* inputSource) override;
    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;

private:
    char* fAuxSDPLine; // the last text handed out by getAuxSDPLine; owned
    bool fSDPLinesLackParameters = false;
};

#endif // YVK_UNICAST_SERVER_MEDIA_SUBSESSION_HH
