// Holds back a client's copy of a live video stream until its first key
// picture, so that a client joining a running stream starts decoding at an
// IDR (H.264) or IRAP (H.265) unit instead of at pictures whose references
// it never saw.  Units are NAL units without start code, one per delivery.
#ifndef YVK_KEY_FRAME_GATE_HH
#define YVK_KEY_FRAME_GATE_HH

#include <FramedFilter.hh>

class KeyFrameGate : public FramedFilter {
public:
    // codec: 264 or 265.  The gate owns its input (closed with it).
    static KeyFrameGate* createNew(UsageEnvironment& env, FramedSource* input, int codec);

    // Whether a NAL unit whose first byte is header starts a key picture.
    static bool isKeyUnit(int codec, unsigned char header);

protected:
    KeyFrameGate(UsageEnvironment& env, FramedSource* input, int codec);

private:
    void doGetNextFrame() override;
    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  timeval presentationTime, unsigned durationInMicroseconds);
    void afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes, timeval presentationTime,
                           unsigned durationInMicroseconds);

    int fCodec;
    bool fOpen; // a key unit has passed
};

#endif // YVK_KEY_FRAME_GATE_HH
