// The live PCM audio source: one block of interleaved little-endian samples
// per request, pulled from the host's audio queue record and stamped on a
// sample clock that starts at the wall-clock time of the first block.
//
// Lifetime: closed with Medium::close by whoever holds it (the byte-order
// filter, the replicator or the subsession in front of it).
#ifndef YVK_PCM_QUEUE_SOURCE_HH
#define YVK_PCM_QUEUE_SOURCE_HH

#include "yvkstreamer_core.h"

#include <AudioInputDevice.hh>

#include <chrono>
#include <cstdint>

class YVK_API PCMQueueSource : public AudioInputDevice {
public:
    // Null (with a trace) when bitsPerSample x numChannels or the rate is 0.
    static PCMQueueSource* createNew(UsageEnvironment& env, int samplingFrequency, int bitsPerSample,
                                     int numChannels, YVKStreamerQIO qio);

    // Bytes per block: at most 1400 bytes and at most 20 ms of samples.
    static unsigned preferredFrameSize(int samplingFrequency, int bitsPerSample, int numChannels);

    unsigned preferredFrameSize() const { return fPreferredFrameSize; }
    int audioFormat() const { return fAudioFormat; }
    unsigned lastDurationUs() const { return fLastDurationUs; }

    Boolean setInputPort(int /*portIndex*/) override { return True; }
    double getAverageLevel() const override { return 0.0; }

protected:
    PCMQueueSource(UsageEnvironment& env, int samplingFrequency, int bitsPerSample, int numChannels,
                   YVKStreamerQIO qio);
    ~PCMQueueSource() override;

    void doGetNextFrame() override;
    void doStopGettingFrames() override;

private:
    // True when a block was delivered into the consumer's buffer.
    bool doReadFromQueue();
    static void pollQueue(void* source);
    int64_t pollIntervalUs() const;

    unsigned fPreferredFrameSize;
    double fMicrosecondsPerSample;
    unsigned fLastDurationUs;
    int fAudioFormat; // 1: linear PCM
    YVKStreamerQIO fQIO;
    bool fStreaming;
    std::chrono::steady_clock::time_point fRequestStart;
};

#endif // YVK_PCM_QUEUE_SOURCE_HH
