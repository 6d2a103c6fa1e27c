// A live audio source that encodes the host's PCM blocks into AAC frames for
// the Transport Stream of live HTTP streaming.  Until the live video source
// has delivered its first unit it produces encoded silence instead of
// reading the host.
#ifndef YVK_AUDIO_ENC_SOURCE_HH
#define YVK_AUDIO_ENC_SOURCE_HH

#include "yvkstreamer_core.h"

#include <AudioInputDevice.hh>

#include <cstdint>
#include <vector>

// Encoder parameters (24 bytes).
struct AudioEncInfo {
    int32_t sampleRate;     // input rate in Hz
    int32_t bitsPerSample;  // input sample width
    int32_t numChannels;
    int32_t encoderParam;   // first word of the encoder's settings
    int32_t bitRate;        // output bits per second
    int32_t encoderType;    // 1 AAC, 2 MP3
};
static_assert(sizeof(AudioEncInfo) == 24, "AudioEncInfo is six 32-bit words");

class YVK_API AudioEncSource : public AudioInputDevice {
public:
    // Returned even when no encoder could be made (it then delivers empty
    // frames); null only when videoStarted is null.  videoStarted points at
    // the flag the live video source raises at its first delivery and must
    // outlive the source.  Close with Medium::close.
    static AudioEncSource* createNew(UsageEnvironment& env, AudioEncInfo* info, YVKStreamerQIO qio, bool waitForVideo,
                                     bool* videoStarted);

    // Encodes one host record into output (room for outputSize() bytes);
    // the bytes written, 0 when nothing was encoded.
    int doEncodeAudio(YVKStreamerStream* record, unsigned char* output);

    unsigned inputSize() const { return fInputSize; }    // PCM bytes per frame
    unsigned outputSize() const { return fOutputSize; }  // largest frame

protected:
    AudioEncSource(UsageEnvironment& env, const AudioEncInfo& info, const YVKStreamerQIO& qio, bool waitForVideo,
                   bool* videoStarted);
    ~AudioEncSource() override;

private:
    void doGetNextFrame() override;
    void doStopGettingFrames() override;
    Boolean setInputPort(int portIndex) override;
    double getAverageLevel() const override;

    void createEncoder();
    bool doReadFromQueue();
    unsigned encodeSilence();
    int64_t silentFrameUs() const;
    static void deliver(void* clientData);
    static void retry(void* clientData);

    AudioEncInfo fInfo;
    void* fEncoder = nullptr;
    unsigned fInputSize = 0;
    unsigned fOutputSize = 0;
    bool fWaitForVideo;
    bool* fVideoStarted;
    YVKStreamerQIO fQIO;
    bool fStreaming = false;
    bool fQueueWasEmpty = false;
    TaskToken fDeliveryTask = nullptr;
    std::vector<unsigned char> fSilence; // one frame of zero PCM
};

#endif // YVK_AUDIO_ENC_SOURCE_HH
