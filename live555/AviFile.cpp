// A media file served in file mode, its per-client demultiplexer and the
// track sources live555 pulls frames from.
#include "AviFile.hh"
#include "AVIFileParser.hh"

#include <strings.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#define AVI_LOG(fmt, ...) std::printf("[%s:%d] " fmt, __func__, __LINE__, ##__VA_ARGS__)

namespace {

constexpr unsigned kRtpBufferBytes = 0x300000;
constexpr unsigned char kFixedAudioPayloadType = 96;
constexpr unsigned kVideoStreamKbps = 14000;
constexpr unsigned kAacStreamKbps = 96;

// The AudioSpecificConfig of AAC-LC at a rate and channel count, as the
// hex text of the SDP's "config" (32 kHz mono: "1288").
std::string aacConfigText(unsigned rate, unsigned channels) {
    static const unsigned kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};
    constexpr unsigned kAacLc = 2;
    unsigned index = 15;  // explicit rate
    for (unsigned i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (kRates[i] == rate) index = i;
    }
    uint64_t bits = 0;
    unsigned count = 0;
    auto put = [&](uint64_t value, unsigned width) {
        bits = (bits << width) | (value & ((1ULL << width) - 1));
        count += width;
    };
    put(kAacLc, 5);
    put(index, 4);
    if (index == 15) put(rate, 24);
    put(channels, 4);
    put(0, 3);  // 1024-sample frames, no core coder, no extension
    put(0, (8 - count % 8) % 8);
    std::string text;
    char hex[3];
    for (unsigned shift = count; shift >= 8; shift -= 8) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>((bits >> (shift - 8)) & 0xff));
        text += hex;
    }
    return text;
}

char const* keyOf(void const* pointer) { return static_cast<char const*>(pointer); }
char const* keyOf(unsigned number) { return reinterpret_cast<char const*>(static_cast<uintptr_t>(number)); }

} // namespace

// ---- AviFile ----------------------------------------------------------------

AviFile* AviFile::createNew(UsageEnvironment& env, char const* fileName, unsigned trackNumber, VodFileIO* vodFileIO,
                            onCreationFunc* onCreation, void* onCreationClientData, unsigned char parserOption,
                            FileUserDataArg* userData) {
    AVI_LOG("Enter. %s\n", fileName != nullptr ? fileName : "(null)");
    return new AviFile(env, fileName, trackNumber, vodFileIO, onCreation, onCreationClientData, parserOption,
                       userData);
}

AviFile::AviFile(UsageEnvironment& env, char const* fileName, unsigned trackNumber, VodFileIO* vodFileIO,
                 onCreationFunc* onCreation, void* onCreationClientData, unsigned char parserOption,
                 FileUserDataArg* userData)
    : Medium(env), fFileName(strDup(fileName != nullptr ? fileName : "")), fOnCreation(onCreation),
      fOnCreationClientData(onCreationClientData), fVodFileIO(vodFileIO), fParserOption(parserOption),
      fUserData(userData != nullptr ? *userData : FileUserDataArg{0, nullptr}), fTrackTable(new AviTrackTable()),
      fDemuxTable(HashTable::create(ONE_WORD_HASH_KEYS)), fParserForInitialization(nullptr),
      fParameterSetsTrack(trackNumber == AviFileParser::kAllTracks ? 0 : static_cast<int>(trackNumber)) {
    AVI_LOG("Enter. %s parser(%p)\n", fFileName, static_cast<void*>(fParserForInitialization));
    FramedSource* inputSource = ByteStreamFileSource::createNew(env, fFileName, 0, 0);
    if (inputSource == nullptr) {
        AVI_LOG("inputSource is NULL\n");
        handleEndOfBosPageParsing();
        return;
    }
    AVI_LOG("inputSource created. will be make AviFileParser.\n");
    fParserForInitialization =
        new AviFileParser(*this, inputSource, fFileName, fVodFileIO, trackNumber, handleEndOfBosPageParsing, this,
                          fParserOption, &fUserData, nullptr);
}

AviFile::~AviFile() {
    AVI_LOG("DELETE AviFile\n");
    delete fParserForInitialization;
    AviDemux* demux;
    while ((demux = static_cast<AviDemux*>(fDemuxTable->RemoveNext())) != nullptr) Medium::close(demux);
    delete fDemuxTable;
    delete fTrackTable;
    delete[] fFileName;
    envir().taskScheduler().unscheduleDelayedTask(fReleaseTask);
}

void AviFile::handleEndOfBosPageParsing(void* clientData) {
    static_cast<AviFile*>(clientData)->handleEndOfBosPageParsing();
}

void AviFile::handleEndOfBosPageParsing() {
    AVI_LOG("Paring End. parser(%p) callback(%p)\n", static_cast<void*>(fParserForInitialization),
            reinterpret_cast<void*>(fOnCreation));
    if (fParserForInitialization != nullptr) {
        AVI_LOG("parser(%p)\n", static_cast<void*>(fParserForInitialization));
        delete fParserForInitialization;
        fParserForInitialization = nullptr;
    } else {
        AVI_LOG("parser is null\n");
    }
    if (fOnCreation != nullptr) (*fOnCreation)(this, fOnCreationClientData);
}

void AviFile::addTrack(AviTrack* track) { fTrackTable->add(track); }

AviTrack* AviFile::lookup(unsigned trackNumber) const { return fTrackTable->lookup(trackNumber); }

unsigned AviFile::numTracks() const {
    AVI_LOG("Enter. Tracks(%d)\n", static_cast<int>(fTrackTable->numTracks()));
    return fTrackTable->numTracks();
}

AviDemux* AviFile::newDemux(unsigned trackNumber) {
    if (fDemuxTable->numEntries() != 0) return nullptr;
    auto* demux = new AviDemux(*this, trackNumber, fVodFileIO);
    fDemuxTable->Add(keyOf(demux), demux);
    AVI_LOG("Added track(%d)\n", static_cast<int>(trackNumber));
    return demux;
}

void AviFile::removeDemux(AviDemux* demux) {
    fDemuxTable->Remove(keyOf(demux));
    if (fOnDemuxRemoval != nullptr) (*fOnDemuxRemoval)(demux, fOnDemuxRemovalClientData);
    // Once the rest of the client's teardown has run too.
    envir().taskScheduler().rescheduleDelayedTask(fReleaseTask, 0, releaseFreedMemory, this);
}

// A client's stream frees megabytes: its two sample buffers, the demux
// service's and the codecs' state.  glibc keeps freed memory inside its
// heaps (the buffers come from there once their first free has raised its
// mmap threshold), where fragments of it stayed resident client after
// client; here its free pages go back to the system, in every thread's heap.
void AviFile::releaseFreedMemory(void* clientData) {
    static_cast<AviFile*>(clientData)->fReleaseTask = nullptr;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

bool AviFile::hasDemux(AviDemux* demux) const { return fDemuxTable->Lookup(keyOf(demux)) != nullptr; }

bool AviFile::hasAnyDemux() const { return fDemuxTable->numEntries() != 0; }

void AviFile::setDemuxRemovalHandler(onDemuxRemovalFunc* handler, void* clientData) {
    fOnDemuxRemoval = handler;
    fOnDemuxRemovalClientData = clientData;
}

float AviFile::fileDuration() {
    float seconds = fParserForInitialization != nullptr ? fParserForInitialization->duration() : 0.0f;
    AVI_LOG("Enter. (%f)\n", seconds);
    return seconds;
}

void AviFile::changevtrack(int index) {
    int previous = AviFileParser::currentVideoTrack();
    AviFileParser::changevtrack(index);
    // A client streaming now goes on with the new track where it is.
    if (index != previous) {
        HashTable::Iterator* iter = HashTable::Iterator::create(*fDemuxTable);
        char const* key;
        while (auto* demux = static_cast<AviDemux*>(iter->next(key))) {
            if (demux->parser() != nullptr) demux->parser()->followVideoTrackSwitch();
        }
        delete iter;
    }
    int readTrack = index < 0 ? 0 : index;
    if (readTrack == fParameterSetsTrack || fParserForInitialization == nullptr) return;
    AviTrackTableIterator iter(*fTrackTable);
    while (AviTrack* track = iter.next()) {
        if (track->isVideo && fParserForInitialization->refreshParameterSets(track, readTrack)) {
            fParameterSetsTrack = readTrack;
        }
    }
}

FramedSource* AviFile::createSourceForStreaming(FramedSource* baseSource, unsigned trackNumber, unsigned& estBitrate,
                                                unsigned& numFiltersInFrontOfTrack) {
    AVI_LOG("Enter. trackNumber(%d)\n", static_cast<int>(trackNumber));
    if (baseSource == nullptr) AVI_LOG("basesource is NULL\n");
    numFiltersInFrontOfTrack = 0;
    AviTrack* track = lookup(trackNumber);
    if (track == nullptr || track->mimeType == nullptr) return baseSource;
    AVI_LOG("track is valid. estBitrate(%d)\n", static_cast<int>(track->estBitrate));
    if (std::strcmp(track->mimeType, "audio/L16") == 0) {
        estBitrate = track->estBitrate * 8 / 1000;
        return EndianSwap16::createNew(envir(), baseSource);
    }
    if (strcasecmp(track->mimeType, "audio/aac") == 0) {
        estBitrate = kAacStreamKbps;
        return baseSource;
    }
    if (std::strcmp(track->mimeType, "video/H264") == 0) {
        estBitrate = kVideoStreamKbps;
        if (OutPacketBuffer::maxSize < kRtpBufferBytes) OutPacketBuffer::maxSize = kRtpBufferBytes;
        numFiltersInFrontOfTrack = 1;
        return H264VideoStreamDiscreteFramer::createNew(envir(), baseSource);
    }
    return baseSource;
}

RTPSink* AviFile::createRTPSinkForTrackNumber(unsigned trackNumber, Groupsock* rtpGroupsock,
                                              unsigned char rtpPayloadTypeIfDynamic) {
    AviTrack* track = lookup(trackNumber);
    if (track == nullptr || track->mimeType == nullptr) return nullptr;
    RTPSink* sink = nullptr;
    if (std::strcmp(track->mimeType, "audio/L16") == 0) {
        AVI_LOG("PCM Frequency(%d) channels(%d)\n", static_cast<int>(track->samplingFrequency),
                static_cast<int>(track->numChannels));
        sink = SimpleRTPSink::createNew(envir(), rtpGroupsock, kFixedAudioPayloadType, track->samplingFrequency,
                                        "audio", "L16", track->numChannels, True, False);
    } else if (strcasecmp(track->mimeType, "audio/aac") == 0) {
        // Rate and channels as the encoder runs them; a fixed description
        // would play every other file at the wrong speed.
        std::string config = aacConfigText(track->samplingFrequency, track->numChannels);
        AVI_LOG("AAC Frequency(%d) channels(%d) config(%s)\n", static_cast<int>(track->samplingFrequency),
                static_cast<int>(track->numChannels), config.c_str());
        sink = MPEG4GenericRTPSink::createNew(envir(), rtpGroupsock, kFixedAudioPayloadType, track->samplingFrequency,
                                              "audio", "AAC-hbr", config.c_str(), track->numChannels);
    } else if (std::strcmp(track->mimeType, "video/H264") == 0) {
        AVI_LOG("H.264 sps(%p) spssize(%d) pps(%p) ppssize(%d)\n", static_cast<void*>(track->spsData),
                static_cast<int>(track->spsSize), static_cast<void*>(track->ppsData), static_cast<int>(track->ppsSize));
        sink = H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, track->spsData,
                                           track->spsSize, track->ppsData, track->ppsSize);
    }
    if (sink != nullptr) AVI_LOG("rtpsink created.\n");
    return sink;
}

// ---- AviDemux ---------------------------------------------------------------

AviDemux::AviDemux(AviFile& ourFile, unsigned trackNumber, VodFileIO* vodFileIO)
    : Medium(ourFile.envir()), fOurFile(ourFile), fOurParser(nullptr),
      fDemuxedTracksTable(HashTable::create(ONE_WORD_HASH_KEYS)),
      fIter(new AviTrackTableIterator(ourFile.trackTable())) {
    FramedSource* inputSource = ByteStreamFileSource::createNew(envir(), ourFile.fileName(), 0, 0);
    fOurParser = new AviFileParser(ourFile, inputSource, ourFile.fileName(), vodFileIO, trackNumber, handleEndOfFile,
                                   this, ourFile.parserOption(), ourFile.userData(), this);
    // Tracks read through handles the file shares: every client starts at
    // the beginning, wherever the previous one stopped.
    if (vodFileIO == nullptr) fOurParser->seekToFilePosition(0);
}

AviDemux::~AviDemux() {
    AVI_LOG("Deleted AviDemux\n");
    endTracks(true);
    // Tracks still held by their consumers outlive this demux only as ended
    // sources: they forget it, so none of them reaches it again.
    forEachTrack([](AviDemuxedTrack* track) { track->detachFromDemux(); });
    delete fDemuxedTracksTable;
    fDemuxedTracksTable = nullptr;
    delete fIter;
    delete fOurParser;
    fOurFile.removeDemux(this);
}

FramedSource* AviDemux::newDemuxedTrackByTrackNumber(unsigned trackNumber) {
    if (trackNumber == 0) {
        AVI_LOG("trackNumber(%d) return NULL\n", static_cast<int>(trackNumber));
        return nullptr;
    }
    auto* track = new AviDemuxedTrack(envir(), trackNumber, *this);
    fDemuxedTracksTable->Add(keyOf(trackNumber), track);
    return track;
}

FramedSource* AviDemux::newDemuxedTrack(unsigned& resultTrackNumber) {
    AVI_LOG("newDemuxedTrack trackNumber(%d)\n", static_cast<int>(resultTrackNumber));
    AviTrack* nextTrack;
    do {
        nextTrack = fIter->next();
    } while (nextTrack != nullptr && nextTrack->mimeType == nullptr);
    if (nextTrack == nullptr) {
        resultTrackNumber = 0;
        return nullptr;
    }
    AVI_LOG("newDemuxedTrack nextTrack->trackNumber(%d)\n", static_cast<int>(nextTrack->trackNumber));
    resultTrackNumber = nextTrack->trackNumber;
    AVI_LOG("newDemuxedTrack resultTrackNumber(%d)\n", static_cast<int>(resultTrackNumber));
    return newDemuxedTrackByTrackNumber(resultTrackNumber);
}

FramedSource* AviDemux::newDemuxedTrack() {
    unsigned trackNumber = 0;
    return newDemuxedTrack(trackNumber);
}

AviDemuxedTrack* AviDemux::lookupDemuxedTrack(unsigned trackNumber) const {
    return static_cast<AviDemuxedTrack*>(fDemuxedTracksTable->Lookup(keyOf(trackNumber)));
}

void AviDemux::continueReading(unsigned trackNumber) {
    if (fOurParser != nullptr) fOurParser->continueParsing(trackNumber);
}

void AviDemux::seekToTime(double& seekNPT) {
    if (fOurParser != nullptr) fOurParser->seekToTime(seekNPT);
}

void AviDemux::removeTrack(unsigned trackNumber) {
    AVI_LOG("trackNumber(%d) Removed\n", static_cast<int>(trackNumber));
    if (fDemuxedTracksTable == nullptr) return;  // being deleted
    fDemuxedTracksTable->Remove(keyOf(trackNumber));
    // Through close, so that the environment forgets this medium too.
    if (fDemuxedTracksTable->numEntries() == 0) Medium::close(this);
}

void AviDemux::handleEndOfFile(void* clientData) { static_cast<AviDemux*>(clientData)->handleEndOfFile(); }

void AviDemux::handleEndOfFile() { endTracks(false); }

void AviDemux::endTracks(bool evenBusyOnes) {
    if (fDemuxedTracksTable == nullptr) return;
    AVI_LOG("EndOfFile numTracks(%d)\n", static_cast<int>(fDemuxedTracksTable->numEntries()));
    forEachTrack([evenBusyOnes](AviDemuxedTrack* track) { track->handleEndOfFile(evenBusyOnes); });
}

// Closing a track may delete it (and this demux with its last one), so the
// walk goes over a copy.
template <typename Action>
void AviDemux::forEachTrack(Action action) {
    if (fDemuxedTracksTable == nullptr) return;
    std::vector<AviDemuxedTrack*> tracks;
    HashTable::Iterator* iter = HashTable::Iterator::create(*fDemuxedTracksTable);
    char const* key;
    while (auto* track = static_cast<AviDemuxedTrack*>(iter->next(key))) tracks.push_back(track);
    delete iter;
    for (AviDemuxedTrack* track : tracks) action(track);
}

// ---- AviDemuxedTrack --------------------------------------------------------

AviDemuxedTrack::AviDemuxedTrack(UsageEnvironment& env, unsigned trackNumber, AviDemux& sourceDemux)
    : FramedSource(env), fTrackNumber(trackNumber), fOurSourceDemux(&sourceDemux), fNextPresentationTime{0, 0} {
    AVI_LOG("new DemuxedTrack created track(%d)\n", static_cast<int>(trackNumber));
}

AviDemuxedTrack::~AviDemuxedTrack() {
    AVI_LOG("DELETE DemuxedTrack track(%d)\n", static_cast<int>(fTrackNumber));
    if (fOurSourceDemux != nullptr) fOurSourceDemux->removeTrack(fTrackNumber);
}

void AviDemuxedTrack::doGetNextFrame() {
    if (fOurSourceDemux == nullptr) {
        handleClosure();  // the demux has gone: nothing more to read
        return;
    }
    fOurSourceDemux->continueReading(fTrackNumber);
}

void AviDemuxedTrack::detachFromDemux() { fOurSourceDemux = nullptr; }

char const* AviDemuxedTrack::MIMEtype() const {
    AVI_LOG("Enter. track(%d)\n", static_cast<int>(fTrackNumber));
    AviTrack* track = fOurSourceDemux != nullptr ? fOurSourceDemux->file().lookup(fTrackNumber) : nullptr;
    if (track == nullptr || track->mimeType == nullptr) {
        AVI_LOG("track is null MIMEtype is unknown\n");
        return "(unknown)";
    }
    AVI_LOG("track MIMEtype is (%s)\n", track->mimeType);
    return track->mimeType;
}

void AviDemuxedTrack::seekToTime(double& seekNPT) {
    AVI_LOG("seekNPT (%f)\n", seekNPT);
    if (fOurSourceDemux != nullptr) fOurSourceDemux->seekToTime(seekNPT);
    fNextPresentationTime = timeval{0, 0};
}

void AviDemuxedTrack::handleEndOfFile(bool evenWhileBusy) {
    // A consumer still taking the last frame (a large video frame leaves in
    // several packets, the later ones on timers) would lose the rest of it if
    // the track closed now: the track ends at its consumer's next request.
    if (!evenWhileBusy && !isCurrentlyAwaitingData()) return;
    if (fEndOfFileHandler != nullptr) fEndOfFileHandler(fEndOfFileClientData);
    handleClosure();
}

void AviDemuxedTrack::doStopGettingFrames() {
    AVI_LOG("Enter. track(%d)\n", static_cast<int>(fTrackNumber));
    FramedSource::doStopGettingFrames();
    fNextPresentationTime = timeval{0, 0};
    handleClosure();
}
