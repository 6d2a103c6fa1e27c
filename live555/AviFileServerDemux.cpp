// The server side of a served file: one subsession per track, and one
// demultiplexer per streaming client.
#include "AviFileServerDemux.hh"

#include <cstdio>

#define AVI_LOG(fmt, ...) std::printf("[%s:%d] " fmt, __func__, __LINE__, ##__VA_ARGS__)

// ---- AviFileServerDemux -----------------------------------------------------

AviFileServerDemux* AviFileServerDemux::createNew(UsageEnvironment& env, char const* fileName, unsigned trackNumber,
                                                  VodFileIO* vodFileIO, onCreationFunc* onCreation,
                                                  void* onCreationClientData, unsigned char parserOption,
                                                  FileUserDataArg* userData) {
    AVI_LOG("AviFileServerDemux filename(%s)\n", fileName != nullptr ? fileName : "(null)");
    return new AviFileServerDemux(env, fileName, trackNumber, vodFileIO, onCreation, onCreationClientData,
                                  parserOption, userData);
}

AviFileServerDemux::AviFileServerDemux(UsageEnvironment& env, char const* fileName, unsigned trackNumber,
                                       VodFileIO* vodFileIO, onCreationFunc* onCreation, void* onCreationClientData,
                                       unsigned char parserOption, FileUserDataArg* userData)
    : Medium(env), fFileName(fileName), fOnCreation(onCreation), fOnCreationClientData(onCreationClientData),
      fOurAviFile(nullptr), fIter(nullptr), fLastClientSessionId(0), fLastCreatedDemux(nullptr) {
    AviFile::createNew(env, fileName, trackNumber, vodFileIO, onAviFileCreation, this, parserOption, userData);
}

AviFileServerDemux::~AviFileServerDemux() {
    Medium::close(fOurAviFile);
    delete fIter;
}

void AviFileServerDemux::onAviFileCreation(AviFile* newFile, void* clientData) {
    static_cast<AviFileServerDemux*>(clientData)->onAviFileCreation(newFile);
}

void AviFileServerDemux::onAviFileCreation(AviFile* newFile) {
    fOurAviFile = newFile;
    fIter = new AviTrackTableIterator(newFile->trackTable());
    newFile->setDemuxRemovalHandler(onDemuxRemoval, this);
    if (fOnCreation != nullptr) (*fOnCreation)(this, fOnCreationClientData);
}

void AviFileServerDemux::onDemuxRemoval(AviDemux* demux, void* clientData) {
    auto* self = static_cast<AviFileServerDemux*>(clientData);
    if (self->fLastCreatedDemux == demux) {
        self->fLastCreatedDemux = nullptr;
        self->fLastClientSessionId = 0;
    }
}

ServerMediaSubsession* AviFileServerDemux::newServerMediaSubsession() {
    AviTrack* track = fIter != nullptr ? fIter->next() : nullptr;
    if (track == nullptr) {
        AVI_LOG("AviFileServerDemux no more nextTrack\n");
        return nullptr;
    }
    AVI_LOG("number(%d) track type(%d)\n", static_cast<int>(track->trackNumber), track->isVideo ? 1 : 0);
    return newServerMediaSubsessionByTrackNumber(track->trackNumber);
}

ServerMediaSubsession* AviFileServerDemux::newServerMediaSubsessionByTrackNumber(unsigned trackNumber) {
    AviTrack* track = fOurAviFile != nullptr ? fOurAviFile->lookup(trackNumber) : nullptr;
    if (track == nullptr) {
        AVI_LOG("Leave. invalid track number(%d)\n", static_cast<int>(trackNumber));
        return nullptr;
    }
    ServerMediaSubsession* subsession = AviFileServerMediaSubsession::createNew(*this, track);
    if (subsession != nullptr) {
        AVI_LOG("Created ServerMediaSubsession object for track #%d: (%s)\n", static_cast<int>(trackNumber),
                track->mimeType != nullptr ? track->mimeType : "(unknown)");
    } else {
        AVI_LOG("AviFileServerMediaSubsession::createNew fail.\n");
    }
    return subsession;
}

FramedSource* AviFileServerDemux::newDemuxedTrack(unsigned clientSessionId, unsigned trackNumber) {
    AVI_LOG("clientSessionId(%d) trackNumber(%d) lastSessionId(%d)\n", static_cast<int>(clientSessionId),
            static_cast<int>(trackNumber), static_cast<int>(fLastClientSessionId));
    if (fOurAviFile == nullptr) return nullptr;
    AviDemux* demuxToUse = nullptr;
    if (clientSessionId != 0 && clientSessionId == fLastClientSessionId) demuxToUse = fLastCreatedDemux;
    if (demuxToUse == nullptr) {
        AVI_LOG("demuxToUse is NULL, newDemux\n");
        demuxToUse = fOurAviFile->newDemux(trackNumber);
        if (demuxToUse == nullptr) return nullptr;
    }
    fLastClientSessionId = clientSessionId;
    fLastCreatedDemux = demuxToUse;
    AVI_LOG("Leave. fLastClientSessionId(%d) track(%d)\n", static_cast<int>(fLastClientSessionId),
            static_cast<int>(trackNumber));
    return demuxToUse->newDemuxedTrackByTrackNumber(trackNumber);
}

bool AviFileServerDemux::canServe(unsigned clientSessionId) const {
    if (fOurAviFile == nullptr) return false;
    if (clientSessionId != 0 && clientSessionId == fLastClientSessionId && fLastCreatedDemux != nullptr) return true;
    return !fOurAviFile->hasAnyDemux();
}

void AviFileServerDemux::changevtrack(int index) {
    if (fOurAviFile != nullptr) fOurAviFile->changevtrack(index);
}

// ---- AviFileServerMediaSubsession -------------------------------------------

AviFileServerMediaSubsession* AviFileServerMediaSubsession::createNew(AviFileServerDemux& demux, AviTrack* track) {
    AVI_LOG("AviFileServerMediaSubsession demux(%p) track(%p)\n", static_cast<void*>(&demux),
            static_cast<void*>(track));
    return new AviFileServerMediaSubsession(demux, track);
}

AviFileServerMediaSubsession::AviFileServerMediaSubsession(AviFileServerDemux& demux, AviTrack* track)
    : FileServerMediaSubsession(demux.envir(), demux.fileName(), False), fOurDemux(demux), fTrack(track),
      fNumFiltersInFrontOfTrack(0), fSdpParameterSetsVersion(track != nullptr ? track->parameterSetsVersion : 0) {}

AviFileServerMediaSubsession::~AviFileServerMediaSubsession() = default;

char const* AviFileServerMediaSubsession::sdpLines(int addressFamily) {
    if (fSDPLines != nullptr && fTrack->parameterSetsVersion != fSdpParameterSetsVersion && fOurDemux.canServe(0)) {
        AVI_LOG("track(%d) parameter sets changed; SDP lines made again\n", static_cast<int>(fTrack->trackNumber));
        delete[] fSDPLines;
        fSDPLines = nullptr;
    }
    if (fSDPLines == nullptr) fSdpParameterSetsVersion = fTrack->parameterSetsVersion;
    return FileServerMediaSubsession::sdpLines(addressFamily);
}

void AviFileServerMediaSubsession::getStreamParameters(
    unsigned clientSessionId, struct sockaddr_storage const& clientAddress, Port const& clientRTPPort,
    Port const& clientRTCPPort, Boolean streamUsingTCP, unsigned char rtpChannelId, unsigned char rtcpChannelId,
    TLSState* tlsState, struct sockaddr_storage& destinationAddress, u_int8_t& destinationTTL, Boolean& isMulticast,
    Port& serverRTPPort, Port& serverRTCPPort, void*& streamToken) {
    // One client at a time: a second one gets no stream (and no ports).
    if (!fOurDemux.canServe(clientSessionId)) {
        AVI_LOG("another client streams the file; setup of session %u refused\n", clientSessionId);
        streamToken = nullptr;
        return;
    }
    FileServerMediaSubsession::getStreamParameters(clientSessionId, clientAddress, clientRTPPort, clientRTCPPort,
                                                   streamUsingTCP, rtpChannelId, rtcpChannelId, tlsState,
                                                   destinationAddress, destinationTTL, isMulticast, serverRTPPort,
                                                   serverRTCPPort, streamToken);
    fStreamToken = streamToken;
}

Boolean AviFileServerMediaSubsession::deleteStream(unsigned clientSessionId, void*& streamToken) {
    if (streamToken == fStreamToken) fStreamToken = nullptr;
    return FileServerMediaSubsession::deleteStream(clientSessionId, streamToken);
}

void AviFileServerMediaSubsession::sayByeAtEndOfFile(void* clientData) {
    auto* self = static_cast<AviFileServerMediaSubsession*>(clientData);
    auto* stream = static_cast<StreamState*>(self->fStreamToken);
    if (stream == nullptr || stream->rtcpInstance() == nullptr) return;
    AVI_LOG("track(%d) end of file: RTCP BYE\n", static_cast<int>(self->fTrack->trackNumber));
    stream->rtcpInstance()->sendBYE();
}

float AviFileServerMediaSubsession::duration() const {
    AviFile* file = fOurDemux.ourAviFile();
    return file != nullptr ? file->fileDuration() : 0.0f;
}

void AviFileServerMediaSubsession::seekStreamSource(FramedSource* inputSource, double& seekNPT, double,
                                                    u_int64_t&) {
    AVI_LOG("fNumFiltersInFrontOfTrack (%d)\n", static_cast<int>(fNumFiltersInFrontOfTrack));
    if (fNumFiltersInFrontOfTrack == 0) return;
    FramedSource* source = inputSource;
    for (unsigned i = 0; i < fNumFiltersInFrontOfTrack && source != nullptr; ++i) {
        source = static_cast<FramedFilter*>(source)->inputSource();
    }
    if (source != nullptr) static_cast<AviDemuxedTrack*>(source)->seekToTime(seekNPT);
}

FramedSource* AviFileServerMediaSubsession::createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) {
    FramedSource* baseSource = fOurDemux.newDemuxedTrack(clientSessionId, fTrack->trackNumber);
    AVI_LOG("clientsessionid(%u) bitrate(%d) track(%d)\n", clientSessionId, static_cast<int>(estBitrate),
            static_cast<int>(fTrack->trackNumber));
    if (baseSource == nullptr) {
        AVI_LOG("basesource is null\n");
        return nullptr;
    }
    static_cast<AviDemuxedTrack*>(baseSource)->setEndOfFileHandler(sayByeAtEndOfFile, this);
    FramedSource* source = fOurDemux.ourAviFile()->createSourceForStreaming(baseSource, fTrack->trackNumber,
                                                                          estBitrate, fNumFiltersInFrontOfTrack);
    AVI_LOG("track(%d)\n", static_cast<int>(fTrack->trackNumber));
    return source;
}

RTPSink* AviFileServerMediaSubsession::createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                                                        FramedSource*) {
    AVI_LOG("payload type(%d) tracknum(%d)\n", static_cast<int>(rtpPayloadTypeIfDynamic),
            static_cast<int>(fTrack->trackNumber));
    AviFile* file = fOurDemux.ourAviFile();
    return file != nullptr ? file->createRTPSinkForTrackNumber(fTrack->trackNumber, rtpGroupsock,
                                                               rtpPayloadTypeIfDynamic)
                           : nullptr;
}
