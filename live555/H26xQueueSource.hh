// The live H.264/H.265 video source: a reader thread pulls the host's access
// units through its video queue record, cuts them into NAL units, captures the
// parameter sets, and keeps unit descriptors in a bounded queue; the event
// loop hands one unit per request to its consumer.
//
// Lifetime: created by the live assembly and fed into a StreamReplicator,
// which closes it (Medium::close).  The destructor joins the reader thread
// before it releases anything; every record the source popped is released
// exactly once, at the latest there.
#ifndef YVK_H26X_QUEUE_SOURCE_HH
#define YVK_H26X_QUEUE_SOURCE_HH

#include "yvkstreamer_core.h"
#include "yvk_queue.h"

#include <FramedSource.hh>

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

// Base64 (RFC 4648 alphabet, '=' padding) of length bytes into output, which
// must hold base64EncodedSize(length) bytes.  Returns output, or null when
// input is null.
char* base64EncodePrivate(const unsigned char* input, unsigned length, char* output);
// Characters of the Base64 text of length bytes, with the terminating NUL.
constexpr unsigned base64EncodedSize(unsigned length) { return 4 * ((length + 2) / 3) + 1; }

class YVK_API H26xQueueSource : public FramedSource {
public:
    // Null (with a trace) when frameRate is not positive.  With startThread
    // the reader thread starts at once.
    static H26xQueueSource* createNew(UsageEnvironment& env, const std::string& format, int frameRate,
                                      int width, int height, YVKStreamerQIO qio, bool startThread);

    // A consumer's request; the reader thread's own getNextFrame() below
    // would hide it otherwise.
    using FramedSource::getNextFrame;

    // The SDP format parameters ("profile-level-id=...;sprop-parameter-sets=..."
    // or "sprop-vps=...;sprop-sps=...;sprop-pps=...").  Waits, 10 ms at a
    // time and without limit, until the reader has captured the parameter sets.
    std::string getAuxLine();
    // Whether the parameter text exists (never waits).
    bool hasAuxLine() const { return fAuxLineReady.load(std::memory_order_acquire); }

    int width() const { return fWidth; }
    int height() const { return fHeight; }
    int codec() const { return fCodec; }

    // Stops and joins the reader thread.
    void threadstop();
    // Discards every queued unit, releasing the records they end.
    void clearFramesAll();
    void incomingPacketHandler() {}

    // Presentation time of a unit stamped unitTime, when the previous timed
    // unit was presented at last and stamped lastHost: last + (unitTime -
    // lastHost), with one borrow and one carry of microseconds.
    static timeval advancePresentationTime(const timeval& last, const timeval& lastHost, const timeval& unitTime);

    // Modes for live HTTP streaming; all false for RTSP.  Set before Run.
    bool fUseWallClock;  // stamp units with the wall clock of their delivery
    bool fQueueAllUnits; // queue every NAL unit of an access unit
    bool fKeepStartCode; // units keep their four-byte start code
    bool fWholeFrame;    // queue each host record whole, as one unit

    // Set false by every constructor, true before each unit is copied out
    // (event-loop thread); the encoding audio source waits for it.
    static bool gDeliverStarted;

    // One descriptor in the unit queue, copied in by value.
    struct QueuedUnit {
        YVKStreamerStream* record;
        uint8_t* data;
        uint32_t size;
        uint8_t key;
        uint8_t releaseRecord; // last unit of its record: release it when this leaves the queue
        int32_t timestampSec;
        int32_t timestampUsec;
    };
    struct Unit {
        uint8_t* data;
        int size;
    };
    static constexpr int kMaxUnits = 6;
    static constexpr int kBase64Size = 128;

protected:
    H26xQueueSource(UsageEnvironment& env, const std::string& format, int frameRate, int width, int height,
                    YVKStreamerQIO qio, bool startThread);
    ~H26xQueueSource() override;

    void doGetNextFrame() override;
    void doStopGettingFrames() override;

    // NAL splitting and parameter-set capture (reader thread).  splitFrames
    // fills fUnits/fUnitCount and decides from the unit count whether the
    // access unit is a key frame.
    virtual Unit* splitFrames(uint8_t* data, int size, bool& key);
    virtual uint8_t* extractFrameH264(uint8_t* data, int size, int& length);
    virtual uint8_t* extractFrameH265(uint8_t* data, int size, int& length);

    // Reader thread.
    void thread();
    void getNextFrame();
    void processFrame(YVKStreamerStream* record);
    void queueFrame(YVKStreamerStream* record, uint8_t* data, uint32_t size, bool key,
                    const YVKStreamerTime& timestamp, bool releaseRecord);
    // Event-loop thread.
    void deliverFrame();

    void announceStreaming(bool on);
    void releaseRecord(YVKStreamerStream* record);
    void captureParameterSet(const uint8_t* unit, int size);
    void buildAuxLine();
    timeval presentationTimeFor(const QueuedUnit& unit);

    static void deliverFrameStub(void* clientData);
    static void threadStub(void* source);

    // Allocated by this.
    EventTriggerId fEventTriggerId;
    std::thread fThread;
    int fCodec; // 264 or 265
    int fFrameRate;
    int fWidth;
    int fHeight;
    std::string fAuxLine; // written once by the reader, then published by fAuxLineReady
    std::atomic<bool> fAuxLineReady;
    uint8_t* fVPS;
    uint8_t* fSPS;
    uint8_t* fPPS;
    unsigned fVPSSize;
    unsigned fSPSSize;
    unsigned fPPSSize;
    char fVPSBase64[kBase64Size];
    char fSPSBase64[kBase64Size];
    char fPPSBase64[kBase64Size];
    bool fOversizeReported;
    int fQueueDepth;    // 2 s of frames
    int fDropThreshold; // 1.8 s of frames
    std::atomic<bool> fRunning;
    std::atomic<bool> fStreaming;
    std::atomic<bool> fWaitKeyFrame;
    YVKStreamerQIO fQIO; // the host's video record, copied
    yvk_queue* fQueue;
    Unit fUnits[kMaxUnits];
    int fUnitCount;
    timeval fLastPresentationTime;
    timeval fLastHostTimestamp;
};

#endif // YVK_H26X_QUEUE_SOURCE_HH
