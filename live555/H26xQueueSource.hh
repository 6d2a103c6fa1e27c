// The live H.264/H.265 video source: a reader thread pulls the host's access
// units through its video queue record, cuts them into NAL units, captures the
// parameter sets, and keeps unit descriptors in a bounded queue; the event
// loop hands one NAL unit (RTSP) or one whole access unit (HTTP) per request
// to its consumer, never waiting for the reader.
//
// Lifetime: created by the live assembly and fed into a StreamReplicator,
// which closes it (Medium::close).  The destructor joins the reader thread
// before it releases anything; every record the source popped is released
// exactly once, at the latest there.
#ifndef YVK_H26X_QUEUE_SOURCE_HH
#define YVK_H26X_QUEUE_SOURCE_HH

#include "StreamCounters.hh"
#include "yvkstreamer_core.h"
#include "yvk_queue.h"

#include <FramedSource.hh>
#include <UsageEnvironment.hh>

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Base64 (RFC 4648 alphabet, '=' padding) of length bytes into output, which
// must hold base64EncodedSize(length) bytes.  Returns output, or null when
// input is null.
char* base64EncodePrivate(const unsigned char* input, unsigned length, char* output);
// Characters of the Base64 text of length bytes, with the terminating NUL.
constexpr unsigned base64EncodedSize(unsigned length) { return 4 * ((length + 2) / 3) + 1; }

// How one NAL unit of an access unit is recognised (type bits of its header).
struct H26xNalKind {
    // The NAL unit type: H.264 the low five bits of the header byte, H.265
    // bits 1 to 6 of the first header byte.
    static unsigned type(int codec, uint8_t header);
    static bool isVideoParameterSet(int codec, unsigned type) { return codec == 265 && type == 32; }
    static bool isSequenceParameterSet(int codec, unsigned type) { return type == (codec == 265 ? 33u : 7u); }
    static bool isPictureParameterSet(int codec, unsigned type) { return type == (codec == 265 ? 34u : 8u); }
    static bool isParameterSet(int codec, unsigned type) {
        return isVideoParameterSet(codec, type) || isSequenceParameterSet(codec, type) ||
               isPictureParameterSet(codec, type);
    }
    static bool isDelimiter(int codec, unsigned type) { return type == (codec == 265 ? 35u : 9u); }
    // An IDR slice (H.264) or an IRAP slice (H.265: BLA, IDR, CRA, reserved IRAP).
    static bool isKeySlice(int codec, unsigned type) { return codec == 265 ? type >= 16 && type <= 23 : type == 5; }
};

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
    // time, until the reader has captured the parameter sets, at most
    // kAuxLineWaitMs and no longer than the abort flag stays clear; then
    // empty.  Runs on the event-loop thread (DESCRIBE), so the wait is bounded.
    std::string getAuxLine();
    // Whether the parameter text exists (never waits).
    bool hasAuxLine() const { return fAuxLineReady.load(std::memory_order_acquire); }
    // A flag that, once non-zero, ends getAuxLine's wait at once: the
    // instance's stop flag, so that Stop is never held up by a DESCRIBE.
    // Not owned; it must outlive the source.
    void abortWaitsOn(const EventLoopWatchVariable* flag) { fAbortFlag = flag; }
    static constexpr unsigned kAuxLineWaitMs = 10000;

    // Records taken from the host, dropped unsent, and not yet given back;
    // shared with whoever reports them (the server's statistics).
    std::shared_ptr<StreamCounters> counters() const { return fCounters; }

    int width() const { return fWidth; }
    int height() const { return fHeight; }
    int codec() const { return fCodec; }

    // Stops the reader thread: joins it, or, when the host's popStream keeps
    // it longer than kReaderStopMs, leaves it to end by itself; the record
    // that pop then returns is released at once and nothing of this source
    // is touched any more.
    void threadstop();
    static constexpr unsigned kReaderStopMs = 1500;
    // Discards every queued access unit, releasing their records (either
    // thread).
    void clearFramesAll();
    void incomingPacketHandler() {}

    // Presentation time of a unit stamped unitTime, when the previous timed
    // unit was presented at last and stamped lastHost: last + (unitTime -
    // lastHost), with one borrow and one carry of microseconds.
    static timeval advancePresentationTime(const timeval& last, const timeval& lastHost, const timeval& unitTime);

    // Modes for live HTTP streaming; all false for RTSP.  Set before Run.
    // Set by the live assembly after creation, while the reader thread may
    // already run: atomics.
    std::atomic<bool> fUseWallClock;  // stamp units with the wall clock of their delivery
    std::atomic<bool> fQueueAllUnits; // deliver every NAL unit, parameter sets included (always so now)
    std::atomic<bool> fKeepStartCode; // units keep their start code
    std::atomic<bool> fWholeFrame;    // deliver each host record whole, as one unit

    // Set false by every constructor, true before each unit is copied out
    // (event-loop thread); the encoding audio source waits for it.
    static bool gDeliverStarted;

    // One access unit in the queue, copied in by value: the reader pushes
    // one per host record; the event loop takes it apart.
    struct QueuedUnit {
        YVKStreamerStream* record;
        uint8_t* data;
        uint32_t size;
        uint8_t key;           // holds an IDR / IRAP slice
        uint8_t releaseRecord; // release the record once the unit is delivered or discarded
        uint8_t hasParameterSets;
        int32_t timestampSec;
        int32_t timestampUsec;
    };
    // One NAL unit inside a record: data and size as delivered (with or
    // without start code), header the offset of its header byte in data.
    struct Unit {
        uint8_t* data;
        int size;
        int header;
        unsigned type;
    };

protected:
    H26xQueueSource(UsageEnvironment& env, const std::string& format, int frameRate, int width, int height,
                    YVKStreamerQIO qio, bool startThread);
    ~H26xQueueSource() override;

    void doGetNextFrame() override;
    void doStopGettingFrames() override;

    // NAL splitting and parameter-set capture (reader thread).  splitFrames
    // fills fUnits with every NAL unit of the record (three- and four-byte
    // start codes) and decides from their types whether the access unit is
    // a key picture.
    virtual Unit* splitFrames(uint8_t* data, int size, bool& key);
    virtual uint8_t* extractFrameH264(uint8_t* data, int size, int& length);
    virtual uint8_t* extractFrameH265(uint8_t* data, int size, int& length);
    // The next NAL unit of the size bytes at data, as delivered; null when
    // there is none.
    bool nextUnit(uint8_t* data, int size, Unit& unit) const;

    // Reader thread.
    void thread();
    // One record from the host; false when this source was destroyed while
    // the host's popStream held the thread.
    bool getNextFrame();
    void takeRecord(YVKStreamerStream* record);
    void processFrame(YVKStreamerStream* record, bool key, bool hasParameterSets);
    void queueFrame(YVKStreamerStream* record, uint8_t* data, uint32_t size, bool key,
                    const YVKStreamerTime& timestamp, bool releaseRecord, bool hasParameterSets = true);
    // Event-loop thread.
    void deliverFrame();
    bool takeAccessUnit();
    bool nextPiece(const uint8_t*& data, unsigned& size);
    void dropCurrentAccessUnit();
    // Whole-access-unit mode (HTTP streaming): the segmenter cuts at whole
    // seconds of the presentation time, not at key pictures, and players
    // (Shaka's transmuxer) refuse a segment that holds no parameter sets.
    // So the first access unit of each second, and a key picture that came
    // without them, carries the latest sets delivered, after a leading
    // delimiter.  Fills fTo, fFrameSize and fNumTruncatedBytes.
    void copyWholeAccessUnit(uint8_t* data, unsigned size);
    void keepParameterSets(uint8_t* data, unsigned size);
    void storedParameterSets();

    void announceStreaming(bool on);
    void releaseRecord(YVKStreamerStream* record);
    void releaseUnsent(YVKStreamerStream* record); // a record dropped without being delivered
    void captureParameterSet(const Unit& unit);
    void buildAuxLine();
    timeval presentationTimeFor(const QueuedUnit& unit);

    static void deliverFrameStub(void* clientData);

    // Shared with the reader thread, so that a reader left inside the host's
    // popStream at teardown finds it still there.
    struct ReaderLink {
        enum State { kRunning, kInPop, kAbandoned, kFinished };
        std::atomic<int> state{kRunning};
        YVKStreamerQIO qio;
    };

    // Allocated by this.
    EventTriggerId fEventTriggerId;
    std::thread fThread;
    std::shared_ptr<ReaderLink> fReaderLink;
    std::shared_ptr<StreamCounters> fCounters = std::make_shared<StreamCounters>();
    int fCodec; // 264 or 265
    int fFrameRate;
    int fWidth;
    int fHeight;
    std::string fAuxLine; // written once by the reader, then published by fAuxLineReady
    std::atomic<bool> fAuxLineReady;
    const EventLoopWatchVariable* fAbortFlag; // not owned
    std::vector<uint8_t> fVPS, fSPS, fPPS;    // first parameter sets seen, as cut
    int fQueueDepth;    // 2 s of access units
    int fDropThreshold; // 1.8 s of access units
    std::atomic<bool> fRunning;
    bool fStartingUp = false; // reader thread: looking for the parameter sets only
    std::atomic<bool> fStartUpEnded{false}; // set by the reader, taken by the loop thread
    std::atomic<bool> fStreaming;
    std::atomic<bool> fWaitKeyFrame;
    YVKStreamerQIO fQIO; // the host's video record, copied
    yvk_queue* fQueue;
    std::vector<Unit> fUnits; // result of the last split (reader thread)
    int fUnitCount;
    // The access unit being delivered (event-loop thread).
    QueuedUnit fCurrent;
    bool fHaveCurrent;
    uint8_t* fCursor;           // next byte of fCurrent to look at
    int fInjectNext;            // next stored parameter set to send in front of a key picture, -1: none
    bool fHaveNext = false;     // the next piece of fCurrent, found by the last delivery's look-ahead
    const uint8_t* fNextData = nullptr;
    unsigned fNextSize = 0;
    timeval fCurrentTime;
    std::vector<uint8_t> fRepeatSets; // latest VPS/SPS/PPS delivered, each behind a 4-byte start code
    time_t fLastWholeSecond = 0;      // presentation second of the last whole access unit
    timeval fLastPresentationTime;
    timeval fLastHostTimestamp;
};

#endif // YVK_H26X_QUEUE_SOURCE_HH
