// Sits in front of each client's copy of a live stream.
//
// It defers the client's first request to the next scheduler turn: the live
// sources wait for data inside a request, and a request made while the
// server handles PLAY would send the first packets ahead of the PLAY
// response, where clients on an interleaved TCP connection throw them away.
//
// For video (codec 264 or 265) it also holds the stream back until its first
// key picture, so that a client joining a running stream starts decoding at
// an IDR (H.264) or IRAP (H.265) unit instead of at pictures whose
// references it never saw.  Video units are NAL units without start code.
#ifndef YVK_REPLICA_GATE_HH
#define YVK_REPLICA_GATE_HH

#include <FramedFilter.hh>

class ReplicaGate : public FramedFilter {
public:
    // codec: 264, 265, or 0 for a stream that passes whole.  The gate owns
    // its input (closed with it).
    static ReplicaGate* createNew(UsageEnvironment& env, FramedSource* input, int codec);

    // Whether a NAL unit whose first byte is header starts a key picture.
    static bool isKeyUnit(int codec, unsigned char header);

protected:
    ReplicaGate(UsageEnvironment& env, FramedSource* input, int codec);
    ~ReplicaGate() override;

private:
    void doGetNextFrame() override;
    void doStopGettingFrames() override;
    void requestInput();
    static void requestInput(void* gate);
    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  timeval presentationTime, unsigned durationInMicroseconds);
    void afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes, timeval presentationTime,
                           unsigned durationInMicroseconds);

    int fCodec;
    bool fStarted; // the first request has been made
    bool fOpen;    // a key unit has passed (always open without a codec)
};

#endif // YVK_REPLICA_GATE_HH
