#include "AudioEncSource.hh"

#include "yvk_audio_codec.h"
#include "yvk_system.h"

#include <GroupsockHelper.hh> // gettimeofday

#include <cstring>
#include <vector>

// Trace lines of this class carry fixed source positions that firmware
// teams grep their logs for.
#define AUD_TRACE(level, line, function, ...) \
    YVK_Trace("AudEncStrm", (level), "live555/AudioEncSource", (line), (function), __VA_ARGS__)

namespace {
constexpr int kAac = 1;
constexpr int kMp3 = 2;
// An empty host queue is looked at again after this long rather than at
// once, so the event loop never spins on it.
constexpr int64_t kEmptyQueueRetryUs = 10000;
} // namespace

AudioEncSource* AudioEncSource::createNew(UsageEnvironment& env, AudioEncInfo* info, YVKStreamerQIO qio,
                                          bool waitForVideo, bool* videoStarted) {
    if (info == nullptr || videoStarted == nullptr) {
        env.setResultMsg("AudioEncSource needs encoder parameters and the video delivery flag");
        return nullptr;
    }
    return new AudioEncSource(env, *info, qio, waitForVideo, videoStarted);
}

AudioEncSource::AudioEncSource(UsageEnvironment& env, const AudioEncInfo& info, const YVKStreamerQIO& qio,
                               bool waitForVideo, bool* videoStarted)
    : AudioInputDevice(env, static_cast<unsigned char>(info.bitsPerSample),
                       static_cast<unsigned char>(info.numChannels), static_cast<unsigned>(info.sampleRate), 0),
      fInfo(info), fWaitForVideo(waitForVideo), fVideoStarted(videoStarted), fQIO(qio) {
    createEncoder();
}

void AudioEncSource::createEncoder() {
    if (fInfo.encoderType == kAac) {
        YVK_AudioFormat format{};
        format.channels = fInfo.numChannels;
        format.sampleRate = fInfo.sampleRate;
        format.bitsPerSample = fInfo.bitsPerSample;
        YVK_AudioEncSettings settings{};
        settings.encoderParam = fInfo.encoderParam;
        settings.bitRate = fInfo.bitRate;
        settings.adts = 1;
        fEncoder = YVK_AAC_EncNew(&format, &settings);
        if (fEncoder == nullptr) {
            AUD_TRACE(YVK_TRACE_ERROR, 66, "AudioEncSource", "Encoder creation failed!\n");
            return;
        }
        fInputSize = 2 * static_cast<unsigned>(format.frameSamples);
        fOutputSize = static_cast<unsigned>(settings.maxOutputSize);
        AUD_TRACE(YVK_TRACE_INFO, 71, "AudioEncSource", "AAC Encoder is created! (inputSize: %d, outputSize: %d)\n",
                  static_cast<int>(fInputSize), static_cast<int>(fOutputSize));
    } else if (fInfo.encoderType == kMp3) {
        AUD_TRACE(YVK_TRACE_INFO, 76, "AudioEncSource", "MP3 Encoder is created!\n");
    } else {
        AUD_TRACE(YVK_TRACE_ERROR, 80, "AudioEncSource", "Encoder %d is not supported!\n", fInfo.encoderType);
    }
}

AudioEncSource::~AudioEncSource() {
    envir().taskScheduler().unscheduleDelayedTask(fDeliveryTask);
    if (fEncoder != nullptr) {
        if (fInfo.encoderType == kAac) YVK_AAC_EncFree(fEncoder);
        else YVK_MP3_EncFree(fEncoder);
        AUD_TRACE(YVK_TRACE_INFO, 98, "~AudioEncSource", "Encoder is destroyed!\n");
    }
}

int AudioEncSource::doEncodeAudio(YVKStreamerStream* record, unsigned char* output) {
    if (fEncoder == nullptr) {
        AUD_TRACE(YVK_TRACE_ERROR, 130, "doEncodeAudio", "No encoder exists!\n");
        return 0;
    }
    if (fInfo.encoderType != kAac || record == nullptr || output == nullptr) return 0;
    YVK_AudioPcm input{record->data, 0, static_cast<int32_t>(record->size)};
    // The consumer's buffer may be smaller than the encoder's largest frame.
    unsigned capacity = output == fTo && fMaxSize < fOutputSize ? fMaxSize : fOutputSize;
    YVK_AudioCoded out{output, static_cast<int32_t>(capacity)};
    return YVK_AAC_Encode(fEncoder, &input, &out, 0);
}

void AudioEncSource::doGetNextFrame() {
    if (!isCurrentlyAwaitingData()) return;
    fDurationInMicroseconds = 0;
    fFrameSize = 0;
    if (!doReadFromQueue()) return; // the host stopped: the request stays open
    // Silence stands in for real time: one frame per frame duration.
    int64_t delayUs = fStreaming ? 0 : silentFrameUs();
    if (fFrameSize == 0 && fEncoder != nullptr) {
        // Nothing encoded (empty host queue, or the encoder's look-ahead):
        // the request stays open and is tried again shortly.  An empty frame
        // would leave the Transport Stream multiplexer without audio until
        // video next wakes it.
        fDeliveryTask = envir().taskScheduler().scheduleDelayedTask(fStreaming ? kEmptyQueueRetryUs : 0, retry, this);
        return;
    }
    // Delivery goes through the event loop: a consumer that asks again from
    // its completion handler must not recurse into us.  Without an encoder
    // every frame is empty, and comes no faster than an empty queue is polled.
    if (fFrameSize == 0) delayUs = kEmptyQueueRetryUs;
    fDeliveryTask = envir().taskScheduler().scheduleDelayedTask(delayUs, deliver, this);
}

void AudioEncSource::retry(void* clientData) {
    auto* source = static_cast<AudioEncSource*>(clientData);
    source->fDeliveryTask = nullptr;
    source->doGetNextFrame();
}

void AudioEncSource::deliver(void* clientData) {
    auto* source = static_cast<AudioEncSource*>(clientData);
    source->fDeliveryTask = nullptr;
    FramedSource::afterGetting(source);
}

bool AudioEncSource::doReadFromQueue() {
    if (!fWaitForVideo || *fVideoStarted) {
        if (!fStreaming) {
            if (fQIO.setStreaming != nullptr) fQIO.setStreaming(fQIO.handle, 1);
            fStreaming = true;
        }
        if (fQIO.isActive == nullptr || fQIO.isActive(fQIO.handle) == 0) {
            AUD_TRACE(YVK_TRACE_INFO, 190, "doReadFromQueue", "Stopped...\n");
            return false;
        }
        YVKStreamerStream* record = fQIO.popStream != nullptr ? fQIO.popStream(fQIO.handle, 0) : nullptr;
        if (record != nullptr && record->size != 0 && record->data == nullptr) {
            AUD_TRACE(YVK_TRACE_ERROR, __LINE__, "doReadFromQueue", "a PCM block of %u bytes without data\n",
                      record->size);
            if (fQIO.releaseStream != nullptr) fQIO.releaseStream(fQIO.handle, record, 0);
            record = nullptr;
        }
        if (record != nullptr && record->size != 0) {
            fFrameSize += static_cast<unsigned>(doEncodeAudio(record, fTo));
            if (fQIO.releaseStream != nullptr) fQIO.releaseStream(fQIO.handle, record, 0);
        } else if (!fQueueWasEmpty) { // once per empty spell: it is polled every 10 ms
            AUD_TRACE(YVK_TRACE_INFO, 196, "doReadFromQueue", "Input queue is empty!\n");
        }
        fQueueWasEmpty = record == nullptr || record->size == 0;
    } else {
        fFrameSize = encodeSilence();
    }
    gettimeofday(&fPresentationTime, nullptr);
    if (fFrameSize > 0 || fEncoder == nullptr)
        AUD_TRACE(YVK_TRACE_INFO, 229, "doReadFromQueue", "AAC : %u.%u,  %u bytes\n",
              static_cast<unsigned>(fPresentationTime.tv_sec), static_cast<unsigned>(fPresentationTime.tv_usec / 1000),
              fFrameSize);
    fNumTruncatedBytes = 0;
    return true;
}

int64_t AudioEncSource::silentFrameUs() const {
    int64_t bitsPerFrame = static_cast<int64_t>(fInfo.bitsPerSample) * fInfo.numChannels;
    if (fInputSize == 0 || bitsPerFrame <= 0 || fInfo.sampleRate <= 0) return kEmptyQueueRetryUs;
    int64_t samples = static_cast<int64_t>(fInputSize) * 8 / bitsPerFrame;
    return samples * 1000000 / fInfo.sampleRate;
}

unsigned AudioEncSource::encodeSilence() {
    // One frame of silence, made once: the encoder only reads it.
    if (fSilence.size() != fInputSize) fSilence.assign(fInputSize, fInfo.bitsPerSample == 8 ? 0x80 : 0); // 8-bit is unsigned
    YVKStreamerStream record;
    std::memset(&record, 0, sizeof record);
    record.data = fSilence.data();
    record.size = fInputSize;
    return static_cast<unsigned>(doEncodeAudio(&record, fTo));
}

void AudioEncSource::doStopGettingFrames() {
    envir().taskScheduler().unscheduleDelayedTask(fDeliveryTask);
    FramedSource::doStopGettingFrames();
    if (fQIO.setStreaming != nullptr) fQIO.setStreaming(fQIO.handle, 0);
    fStreaming = false;
    handleClosure();
}

Boolean AudioEncSource::setInputPort(int) {
    return True;
}

double AudioEncSource::getAverageLevel() const {
    return 0.0;
}
