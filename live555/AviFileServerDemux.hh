// The server side of a served file: one subsession per track, and one
// demultiplexer per streaming client (one client at a time).
//
// Ownership: the server demux owns its AviFile; the subsessions belong to
// the server media session and must not outlive the server demux.
#ifndef YVK_AVI_FILE_SERVER_DEMUX_HH
#define YVK_AVI_FILE_SERVER_DEMUX_HH

#include "AviFile.hh"

#include <liveMedia.hh>

class AviFileServerDemux : public Medium {
public:
    typedef void(onCreationFunc)(AviFileServerDemux* newDemux, void* clientData);

    // fileName is kept by reference and must outlive the demux.  The file is
    // parsed and onCreation called before createNew returns.
    static AviFileServerDemux* createNew(UsageEnvironment& env, char const* fileName, unsigned trackNumber,
                                         VodFileIO* vodFileIO, onCreationFunc* onCreation, void* onCreationClientData,
                                         unsigned char parserOption, FileUserDataArg* userData);

    // The subsession of the next track; null after the last one.
    ServerMediaSubsession* newServerMediaSubsession();
    ServerMediaSubsession* newServerMediaSubsessionByTrackNumber(unsigned trackNumber);

    // A track source of the client's demux (the same demux for every track a
    // client sets up); null while another client streams.
    FramedSource* newDemuxedTrack(unsigned clientSessionId, unsigned trackNumber);

    // Whether a client's setup can get a source: false while another
    // client's demux exists.
    bool canServe(unsigned clientSessionId) const;

    void changevtrack(int index);

    AviFile* ourAviFile() const { return fOurAviFile; }
    char const* fileName() const { return fFileName; }

protected:
    AviFileServerDemux(UsageEnvironment& env, char const* fileName, unsigned trackNumber, VodFileIO* vodFileIO,
                       onCreationFunc* onCreation, void* onCreationClientData, unsigned char parserOption,
                       FileUserDataArg* userData);  // called only by createNew
    virtual ~AviFileServerDemux();

private:
    static void onAviFileCreation(AviFile* newFile, void* clientData);
    void onAviFileCreation(AviFile* newFile);
    static void onDemuxRemoval(AviDemux* demux, void* clientData);

    char const* fFileName;
    onCreationFunc* fOnCreation;
    void* fOnCreationClientData;
    // Allocated by this.
    AviFile* fOurAviFile;
    AviTrackTableIterator* fIter;
    unsigned fLastClientSessionId;
    AviDemux* fLastCreatedDemux;  // cleared when that demux goes
};

class AviFileServerMediaSubsession : public FileServerMediaSubsession {
public:
    static AviFileServerMediaSubsession* createNew(AviFileServerDemux& demux, AviTrack* track);

protected:
    AviFileServerMediaSubsession(AviFileServerDemux& demux, AviTrack* track);  // called only by createNew
    virtual ~AviFileServerMediaSubsession();

private:
    // The SDP lines are made again once the track's parameter sets changed
    // (a video track switch) and the file is free to make a probe source.
    char const* sdpLines(int addressFamily) override;
    void getStreamParameters(unsigned clientSessionId, struct sockaddr_storage const& clientAddress,
                             Port const& clientRTPPort, Port const& clientRTCPPort, Boolean streamUsingTCP,
                             unsigned char rtpChannelId, unsigned char rtcpChannelId, TLSState* tlsState,
                             struct sockaddr_storage& destinationAddress, u_int8_t& destinationTTL,
                             Boolean& isMulticast, Port& serverRTPPort, Port& serverRTCPPort,
                             void*& streamToken) override;
    float duration() const override;
    void seekStreamSource(FramedSource* inputSource, double& seekNPT, double streamDuration,
                          u_int64_t& numBytes) override;
    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    Boolean deleteStream(unsigned clientSessionId, void*& streamToken) override;
    // At the end of the file the client's stream stays for a later PLAY
    // (the duration is known), so an RTCP BYE tells the client it is over.
    static void sayByeAtEndOfFile(void* clientData);
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;

    AviFileServerDemux& fOurDemux;
    AviTrack* fTrack;
    unsigned fNumFiltersInFrontOfTrack;
    unsigned fSdpParameterSetsVersion;  // of the track when fSDPLines were made
    void* fStreamToken = nullptr;        // the streaming client's (one at a time)
};

#endif // YVK_AVI_FILE_SERVER_DEMUX_HH
