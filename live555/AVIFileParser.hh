// Reads one served file through the demux service (or the play-list
// callbacks): created by an AviFile it parses the start of the file and
// builds the tracks; created by an AviDemux it delivers one sample per
// request of a demuxed track.  Event-loop thread only, apart from the
// subtitle reader thread it may start.
//
// Process-wide (one file instance per process): the shared sample buffer,
// the transcoder, the current video track index, the key-frame probe, the
// subtitle reader and the audio converter.
#ifndef YVK_AVI_FILE_PARSER_HH
#define YVK_AVI_FILE_PARSER_HH

#include "AviFile.hh"
#include "VodFileInput.hh"

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

class AviFileParser {
public:
    // One NAL unit inside a buffer: header byte first, no start code.
    struct NalUnit {
        unsigned char* data;
        unsigned size;
    };

    static constexpr unsigned kSampleCapacity = 0x300000;
    static constexpr unsigned kAllTracks = ~0u;  // no video track index given
    static constexpr int kTrackedVideoTracks = 5;

    AviFileParser(AviFile& ourFile, FramedSource* inputSource, char const* fileName, VodFileIO* vodFileIO,
                  unsigned trackNumber, FramedSource::onCloseFunc* onEndFunc, void* onEndClientData,
                  unsigned char parserOption, FileUserDataArg* userData, AviDemux* ourDemux);
    virtual ~AviFileParser();
    AviFileParser(const AviFileParser&) = delete;
    AviFileParser& operator=(const AviFileParser&) = delete;

    void continueParsing(unsigned trackNumber);
    void continueParsing();

    // Seeking and duration.
    void seekToTime(double& seekNPT);
    void seekToFilePosition(unsigned long long positionMs);
    void seekToEndOfFile();
    void resetStateAfterSeeking();
    // The current video track changed while this (client's) parser delivers.
    void followVideoTrackSwitch();
    float duration();

    // Cutting Annex-B data into NAL units.
    static unsigned char* extractFrame(unsigned char* data, unsigned& size, unsigned& frameSize);
    static std::list<NalUnit> splitFrames(unsigned char* data, int size);
    int set_nal_data(void* handle, AviTrack* track, int videoTrack);
    static int set_nal_data_from_IDR(AviTrack* track, void* data, int size);
    // Reads the SPS and PPS of another video track of the file into the
    // track, through a handle of its own (streaming clients keep their
    // place).  False where the parameter sets cannot change: a play list
    // or a transcoded file.
    bool refreshParameterSets(AviTrack* track, int videoTrack);

    // The process-wide MP3 to AAC converter.  Init fails (-1) when the AAC
    // encoder does not take the rate and channel count.
    struct AudioConvStats {
        size_t storedBytes;    // PCM waiting in the store
        size_t storeCapacity;
        size_t frameBytes;     // PCM of one AAC frame
        uint64_t movedBytes;   // PCM moved inside the store so far
        uint64_t frames;       // AAC frames produced so far
    };
    static int audioConvInit(int channels, int sampleRate, int bitsPerSample, int inCodec, int outCodec);
    static int audioConvConvert(void* handle, unsigned char* out, int* outSize);
    static int audioConvReset();
    static int audioConvIsActive();
    static int audioConvGetOutCodec();
    // The encoder's rate and channel count (what the SDP announces).
    static int audioConvSampleRate();
    static int audioConvChannels();
    static AudioConvStats audioConvStats();
    static void audioConvDeinit();

    static int changevtrack(int index);
    static int currentVideoTrack();
    // Probes whether the first five samples of every video track are key
    // frames (they then alternate with a four-byte skip frame).  Run with the
    // start of the file; its answer holds for every client of the file.
    static void getStreamType(char const* fileName);
    static bool allKeyFrames(int videoTrack);

private:
    static void continueParsingThunk(void* clientData, unsigned char* ptr, unsigned size,
                                     struct timeval presentationTime);
    int parse();
    void parseStartOfFile();
    void parseStartOfPlayList();
    void parseStartOfDirectFile();
    AviTrack* newDirectVideoTrack();
    void addDirectAudioTracks(unsigned videoTracks);
    AviTrack* newDirectTrack(unsigned trackNumber, bool isVideo);
    void startTextReader();
    void parseAndDeliverPages();
    void parseAndDeliverPage();
    void deliverAudio(AviTrack* track, AviDemuxedTrack* demuxed);
    void deliverVideo(AviTrack* track, AviDemuxedTrack* demuxed);
    bool readVideoSample(AviTrack* track, int& size);
    void deliverNextUnit(AviDemuxedTrack* demuxed);
    void copyToClient(AviDemuxedTrack* demuxed, const unsigned char* data, unsigned size);
    void endOfFile();
    void traceEndOfStream() const;
    void deliverLastFrame(AviDemuxedTrack* demuxed, bool zeroFill);
    void completeFrame(AviDemuxedTrack* demuxed, unsigned durationUs);
    unsigned videoDurationUs() const;
    unsigned nextConvertedFrameUs();
    static void storeParameterSets(AviTrack* track, std::list<NalUnit>& units);

    AviFile& fOurFile;
    VodFileIO* fVodFileIO;
    FramedSource* fInputSource;
    FramedSource::onCloseFunc* fOnEndFunc;
    void* fOnEndClientData;
    AviDemux* fOurDemux;
    unsigned fCurrentParseState;  // 0 start of file, 1 delivery
    std::string fFileName;
    void* demuxHandle;
    unsigned fTrackNumber;
    AviFileInfo fInfo;
    unsigned char* fFrameBuffer;  // one video sample
    unsigned fWaitKeyFrame;
    bool fAtEnd;  // set by seekToEndOfFile: requests end the tracks at once
    bool fDeliveringLastFrame;
    // Units of the current video sample still to deliver, one per request.
    std::list<NalUnit> fPendingUnits;
    unsigned fPendingDurationUs;
    uint64_t fConvertedFrames = 0;      // since the last seek
    uint64_t fLastVideoTimestampMs = 0; // of the last video sample read
};

#endif // YVK_AVI_FILE_PARSER_HH
