// The segment store of live HTTP streaming.  The subsession takes one replica
// of the multiplexed Transport Stream, puts it behind a TS framer and feeds
// it, from construction on and whether or not anybody watches, into its
// HLSSink, which cuts it into numbered slices of D seconds and keeps the
// newest ten in memory.  The HTTP connection drives it through the
// subsession interface: seekStream selects a slice, getStreamSource returns
// a copy of it, getCurrentNPT and duration describe the window.
//
// Ownership: created with new and handed to a ServerMediaSession, which
// owns it; it owns its sink and, through the unicast base, its replicator.
// The readiness flag belongs to the caller and must outlive the subsession.
#ifndef YVK_HLS_SERVER_MEDIA_SUBSESSION_HH
#define YVK_HLS_SERVER_MEDIA_SUBSESSION_HH

#include "UnicastServerMediaSubsession.hh"

#include <MediaSink.hh>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class YVK_API HLSServerMediaSubsession : public UnicastServerMediaSubsession {
public:
    // Slice n holds presentation seconds F + n*D up to F + (n+1)*D, F being
    // the first frame's second.  The map keeps the ten newest slices: nine
    // complete ones and the one being filled.
    //
    // A slice is complete once a later one exists.  Live HTTP streaming
    // stamps every frame with the wall clock of its delivery, so nothing
    // stamped inside a slice can come after the wall clock has passed its
    // end: a timer then opens the next slice (empty), and the slice is
    // listed at once instead of when the next frame arrives.  Bytes stamped
    // for a slice that is already complete (the clock went back, or a
    // frame's last packets came after the timer) join the open slice, so a
    // listed segment never changes and the segments stay in stream order.
    // An open slice that got nothing is dropped when a later one begins.
    class YVK_API HLSSink : public MediaSink {
    public:
        // Does not write ready; raises it on the first chunk of slice 1.
        HLSSink(UsageEnvironment& env, unsigned bufferSize, unsigned segmentDuration, std::atomic<bool>& ready);
        ~HLSSink() override;

        // The slice's bytes, or null / 0 when it is not held.
        const unsigned char* getHLSBuffer(uint32_t slice) const;
        unsigned getHLSBufferSize(uint32_t slice) const;
        // The slice when it is held and complete (a later one has begun),
        // else null.  Its bytes never change, and they stay with the caller
        // after the store has dropped the slice.
        std::shared_ptr<const std::string> completedSlice(uint32_t slice) const;
        // Start offset in seconds of the oldest slice; 0 when empty.
        unsigned firstTime() const;
        // Seconds from the oldest slice to the one being filled; 0 when empty.
        unsigned duration() const;
        // Wall-clock second at which slice 0 began (F); 0 before any data.
        uint32_t firstSecond() const { return fFirstSecond; }
        unsigned bufferSize() const { return fBufferSize; }
        size_t slicesHeld() const { return fSlices.size(); }

        static constexpr size_t kMaxSlices = 10;
        // How long after a slice's end its timer fires: room for the last
        // frame's packets to pass through the multiplexer.
        static constexpr unsigned kCloseMarginUs = 2000;

    private:
        Boolean continuePlaying() override;
        static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                      struct timeval presentationTime, unsigned durationInMicroseconds);
        void afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime);
        void growBuffer(unsigned numTruncatedBytes);
        void keepNewestSlices();
        // Arms the timer for the end of slice, when the presentation times
        // follow the wall clock (else the next slice's first bytes close it).
        void scheduleClose(uint32_t slice, const timeval& presentationTime);
        static void closeSliceStub(void* clientData);
        void closeSlice();

        unsigned char* fBuffer;                       // owned; each delivery lands here
        unsigned fBufferSize;                         // only grows
        std::map<uint32_t, std::shared_ptr<std::string>> fSlices; // slice number -> Transport Stream bytes
        uint32_t fFirstSecond = 0;                    // F; 0 until the first frame
        uint32_t fSegmentDuration;                    // D, at least 1
        std::atomic<bool>& fReady;                    // the caller's; polled by another thread
        TaskToken fCloseTask = nullptr;               // ends fClosing
        uint32_t fClosing = 0;                        // the open slice the timer will close
    };

    HLSServerMediaSubsession(UsageEnvironment& env, StreamReplicator* replicator, const std::string& format,
                             unsigned segmentDuration, std::atomic<bool>& ready);
    ~HLSServerMediaSubsession() override;

    HLSSink* sink() const { return fHLSSink; }
    // The complete slice that holds start offset startOffset (seconds), as
    // a seek to it finds it; null when there is none.
    std::shared_ptr<const std::string> completedSegment(unsigned startOffset) const;

protected:
    void seekStream(unsigned clientSessionId, void* streamToken, double& seekNPT, double streamDuration,
                    u_int64_t& numBytes) override;
    using OnDemandServerMediaSubsession::seekStream;
    float getCurrentNPT(void* streamToken) override;
    FramedSource* getStreamSource(void* streamToken) override;
    float duration() const override;

private:
    uint32_t fSlice = 0;          // chosen by the last seekStream, read by getStreamSource
    HLSSink* fHLSSink = nullptr;  // owned
    FramedSource* fFramer = nullptr; // owned: the TS framer over our replica
    unsigned fSegmentDuration;
};

#endif // YVK_HLS_SERVER_MEDIA_SUBSESSION_HH
