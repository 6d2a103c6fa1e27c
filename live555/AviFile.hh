// A media file served in file mode, its per-client demultiplexer and the
// track sources live555 pulls frames from.
//
// Ownership: an AviFile owns its track table (and the tracks), the parser
// that read the start of the file, and every AviDemux it created.  An
// AviDemux owns its parser and deletes itself when the last of its demuxed
// tracks goes.  A demuxed track belongs to the live555 chain that reads it
// (Medium::close) and unregisters itself from its demux when deleted.
// Everything runs on the event-loop thread.
#ifndef YVK_AVI_FILE_HH
#define YVK_AVI_FILE_HH

#include "AviTrack.hh"

#include <liveMedia.hh>

struct VodFileIO;
class AviDemux;
class AviFileParser;
class Groupsock;

class AviFile : public Medium {
public:
    typedef void(onCreationFunc)(AviFile* newFile, void* clientData);

    // trackNumber: 0-based index of the video track to serve (all ones: none
    // configured).  vodFileIO: the play-list callbacks, or null.  The start
    // of the file is parsed and onCreation called before createNew returns;
    // a file that cannot be opened yields a file without tracks.
    static AviFile* createNew(UsageEnvironment& env, char const* fileName, unsigned trackNumber,
                              VodFileIO* vodFileIO, onCreationFunc* onCreation, void* onCreationClientData,
                              unsigned char parserOption, FileUserDataArg* userData);

    void addTrack(AviTrack* track);
    AviTrack* lookup(unsigned trackNumber) const;
    unsigned numTracks() const;
    AviTrackTable& trackTable() { return *fTrackTable; }
    char const* fileName() const { return fFileName; }

    // A demultiplexer for one client; null while another one exists.
    AviDemux* newDemux(unsigned trackNumber);
    void removeDemux(AviDemux* demux);
    bool hasDemux(AviDemux* demux) const;
    bool hasAnyDemux() const;
    // Called whenever a demux of this file goes.
    typedef void(onDemuxRemovalFunc)(AviDemux* demux, void* clientData);
    void setDemuxRemovalHandler(onDemuxRemovalFunc* handler, void* clientData);

    float fileDuration();
    // Makes index the video track that delivery reads (and restarts the
    // audio converter); the video track takes that track's SPS and PPS.
    void changevtrack(int index);

    // The source to stream for a track (a framer or byte swapper over the
    // base where the format needs one) and the RTP sink for it.
    FramedSource* createSourceForStreaming(FramedSource* baseSource, unsigned trackNumber, unsigned& estBitrate,
                                           unsigned& numFiltersInFrontOfTrack);
    RTPSink* createRTPSinkForTrackNumber(unsigned trackNumber, Groupsock* rtpGroupsock,
                                         unsigned char rtpPayloadTypeIfDynamic);

    static void handleEndOfBosPageParsing(void* clientData);
    void handleEndOfBosPageParsing();

    // The parser option and user data handed to the parsers of demuxes.
    unsigned char parserOption() const { return fParserOption; }
    FileUserDataArg* userData() { return &fUserData; }
    VodFileIO* vodFileIO() const { return fVodFileIO; }

protected:
    AviFile(UsageEnvironment& env, char const* fileName, unsigned trackNumber, VodFileIO* vodFileIO,
            onCreationFunc* onCreation, void* onCreationClientData, unsigned char parserOption,
            FileUserDataArg* userData);  // called only by createNew
    virtual ~AviFile();

private:
    char* fFileName;
    onCreationFunc* fOnCreation;
    void* fOnCreationClientData;
    VodFileIO* fVodFileIO;
    unsigned char fParserOption;
    FileUserDataArg fUserData;
    // Allocated by this.
    AviTrackTable* fTrackTable;
    HashTable* fDemuxTable;
    AviFileParser* fParserForInitialization;
    int fParameterSetsTrack;  // video track index the video track's SPS and PPS come from
    onDemuxRemovalFunc* fOnDemuxRemoval = nullptr;
    void* fOnDemuxRemovalClientData = nullptr;
    TaskToken fReleaseTask = nullptr;  // gives freed memory back after a demux went
    static void releaseFreedMemory(void* clientData);
};

class AviDemux : public Medium {
public:
    // A demuxed track for the number (null for 0).
    FramedSource* newDemuxedTrackByTrackNumber(unsigned trackNumber);
    // The next track of the file that has a MIME type; resultTrackNumber 0
    // and null when none is left.
    FramedSource* newDemuxedTrack(unsigned& resultTrackNumber);
    FramedSource* newDemuxedTrack();

    class AviDemuxedTrack* lookupDemuxedTrack(unsigned trackNumber) const;
    void continueReading(unsigned trackNumber);
    void seekToTime(double& seekNPT);
    // Unregisters a track; deletes this demux with its last track.
    void removeTrack(unsigned trackNumber);

    // The parser's end of file: every track ends, a busy one at its next request.
    static void handleEndOfFile(void* clientData);
    void handleEndOfFile();

    AviFile& file() { return fOurFile; }
    AviFileParser* parser() { return fOurParser; }

protected:
    friend class AviFile;
    AviDemux(AviFile& ourFile, unsigned trackNumber, VodFileIO* vodFileIO);  // called only by AviFile
    virtual ~AviDemux();

private:
    void endTracks(bool evenBusyOnes);
    template <typename Action>
    void forEachTrack(Action action);

    AviFile& fOurFile;
    // Allocated by this.
    AviFileParser* fOurParser;
    HashTable* fDemuxedTracksTable;
    AviTrackTableIterator* fIter;
};

// One track of one client's demux; each request becomes one read of the
// client's parser.
class AviDemuxedTrack : public FramedSource {
public:
    void seekToTime(double& seekNPT);
    unsigned trackNumber() const { return fTrackNumber; }

    // The request the parser completes.
    unsigned char* to() const { return fTo; }
    unsigned maxSize() const { return fMaxSize; }
    unsigned& frameSize() { return fFrameSize; }
    unsigned& numTruncatedBytes() { return fNumTruncatedBytes; }
    struct timeval& presentationTime() { return fPresentationTime; }
    unsigned& durationInMicroseconds() { return fDurationInMicroseconds; }
    struct timeval& nextPresentationTime() { return fNextPresentationTime; }

    // Called once when the file ends under this track (not when the client
    // stops it), before the track closes.
    void setEndOfFileHandler(TaskFunc* handler, void* clientData) {
        fEndOfFileHandler = handler;
        fEndOfFileClientData = clientData;
    }
    // Closes the track; one whose consumer is busy (not awaiting a frame)
    // stays open until its next request unless evenWhileBusy.
    void handleEndOfFile(bool evenWhileBusy);
    // Called by a demux going before this track: later requests end at once.
    void detachFromDemux();

protected:
    friend class AviDemux;
    AviDemuxedTrack(UsageEnvironment& env, unsigned trackNumber, AviDemux& sourceDemux);
    virtual ~AviDemuxedTrack();

private:
    char const* MIMEtype() const override;
    void doGetNextFrame() override;
    void doStopGettingFrames() override;

    unsigned fTrackNumber;
    AviDemux* fOurSourceDemux;  // null once the demux has gone
    struct timeval fNextPresentationTime;
    TaskFunc* fEndOfFileHandler = nullptr;
    void* fEndOfFileClientData = nullptr;
};

#endif // YVK_AVI_FILE_HH
