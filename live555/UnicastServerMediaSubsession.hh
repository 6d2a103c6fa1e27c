// One medium of a live RTSP session, fed by a StreamReplicator through the
// framer and RTP sink of the format (BaseServerMediaSubsession).
//
// The clients that take RTP over UDP share one copy of the stream: one
// framer, one RTP sink and RTCP instance, whose packets a FanoutGroupsock
// sends to all of them at once; a client joining a running video stream
// starts at its next key picture.  A client that pauses leaves the shared
// stream until it plays again; seeking and scaling do nothing to it.  Clients
// with RTP interleaved on their RTSP connection (which includes RTSPS) each
// get a copy of their own, as does a client of another address family than
// the shared stream's.
//
// Ownership: the subsession owns its replicator and closes it on destruction,
// which also closes the replicator's input source; the session that the
// subsession is added to owns the subsession.
#ifndef YVK_UNICAST_SERVER_MEDIA_SUBSESSION_HH
#define YVK_UNICAST_SERVER_MEDIA_SUBSESSION_HH

#include "BaseServerMediaSubsession.hh"

#include <OnDemandServerMediaSubsession.hh>

#include <sys/socket.h>

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
    void getStreamParameters(unsigned clientSessionId, struct sockaddr_storage const& clientAddress,
                             Port const& clientRTPPort, Port const& clientRTCPPort, Boolean streamUsingTCP,
                             unsigned char rtpChannelId, unsigned char rtcpChannelId, TLSState* tlsState,
                             struct sockaddr_storage& destinationAddress, u_int8_t& destinationTTL,
                             Boolean& isMulticast, Port& serverRTPPort, Port& serverRTCPPort,
                             void*& streamToken) override;
    void pauseStream(unsigned clientSessionId, void* streamToken) override;
    void seekStream(unsigned clientSessionId, void* streamToken, double& seekNPT, double streamDuration,
                    u_int64_t& numBytes) override;
    void seekStream(unsigned clientSessionId, void* streamToken, char*& absStart, char*& absEnd) override;
    void setStreamScale(unsigned clientSessionId, void* streamToken, float scale) override;
    Boolean deleteStream(unsigned clientSessionId, void*& streamToken) override;
    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;

private:
    bool sharesStream(struct sockaddr_storage const& clientAddress, Port const& clientRTCPPort,
                      Boolean streamUsingTCP) const;
    StreamState* createSharedStream(int family);

    StreamState* fSharedStream = nullptr; // of the UDP clients, while it has one; deleted with its last
    int fSharedFamily = AF_UNSPEC;
    char* fAuxSDPLine; // the last text handed out by getAuxSDPLine; owned
    bool fSDPLinesLackParameters = false;
};

#endif // YVK_UNICAST_SERVER_MEDIA_SUBSESSION_HH
