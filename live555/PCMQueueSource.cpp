#include "PCMQueueSource.hh"

#include "yvk_system.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#define YVK_TRACE_MODULE "PCM-QSrc"

namespace {
constexpr unsigned kMaxBlockBits = 11200; // 1400 bytes
constexpr unsigned kGranularityMs = 20;
// An empty host queue is asked again from the event loop every half block
// (the host's blocks come once per block duration), but at least this often
// before the first block; a request still without a block after a second
// gets an empty delivery.
constexpr int64_t kMinPollIntervalUs = 5000;
constexpr std::chrono::seconds kEmptyDeliveryAfter{1};
} // namespace

unsigned PCMQueueSource::preferredFrameSize(int samplingFrequency, int bitsPerSample, int numChannels) {
    unsigned bitsPerFrame = static_cast<unsigned>(bitsPerSample * numChannels);
    if (bitsPerFrame == 0) return 0;
    unsigned samples = std::min(kMaxBlockBits / bitsPerFrame, static_cast<unsigned>(0.02 * samplingFrequency));
    return bitsPerFrame * samples / 8;
}

PCMQueueSource* PCMQueueSource::createNew(UsageEnvironment& env, int samplingFrequency, int bitsPerSample,
                                          int numChannels, YVKStreamerQIO qio) {
    if (bitsPerSample * numChannels <= 0 || samplingFrequency <= 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "unusable PCM format: %d Hz, %d bits, %d channels\n", samplingFrequency,
                  bitsPerSample, numChannels);
        return nullptr;
    }
    return new PCMQueueSource(env, samplingFrequency, bitsPerSample, numChannels, qio);
}

PCMQueueSource::PCMQueueSource(UsageEnvironment& env, int samplingFrequency, int bitsPerSample, int numChannels,
                               YVKStreamerQIO qio)
    : AudioInputDevice(env, static_cast<unsigned char>(bitsPerSample), static_cast<unsigned char>(numChannels),
                       static_cast<unsigned>(samplingFrequency), kGranularityMs),
      fPreferredFrameSize(preferredFrameSize(samplingFrequency, bitsPerSample, numChannels)),
      fMicrosecondsPerSample(1000000.0 / samplingFrequency), fLastDurationUs(0), fAudioFormat(1), fQIO(qio),
      fStreaming(false) {}

PCMQueueSource::~PCMQueueSource() {
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
}

// A block the host has ready goes out within the request.  Otherwise the
// queue is polled from the event loop: the loop never waits on the host, and
// a consumer that asks again right after an empty delivery (the RTP sink
// does) cannot recurse without end.
void PCMQueueSource::doGetNextFrame() {
    if (!isCurrentlyAwaitingData()) return;
    fDurationInMicroseconds = 0;
    fFrameSize = 0;
    if (!fStreaming) {
        fStreaming = true;
        if (fQIO.setStreaming != nullptr) fQIO.setStreaming(fQIO.handle, 1);
    }
    fRequestStart = std::chrono::steady_clock::now();
    if (doReadFromQueue()) {
        afterGetting(this);
        return;
    }
    nextTask() = envir().taskScheduler().scheduleDelayedTask(pollIntervalUs(), pollQueue, this);
}

int64_t PCMQueueSource::pollIntervalUs() const {
    return std::max<int64_t>(kMinPollIntervalUs, fLastDurationUs / 2);
}

void PCMQueueSource::pollQueue(void* source) {
    auto* self = static_cast<PCMQueueSource*>(source);
    self->nextTask() = nullptr;
    if (self->doReadFromQueue() || std::chrono::steady_clock::now() - self->fRequestStart >= kEmptyDeliveryAfter) {
        afterGetting(self);
        return;
    }
    self->nextTask() = self->envir().taskScheduler().scheduleDelayedTask(self->pollIntervalUs(), pollQueue, self);
}

void PCMQueueSource::doStopGettingFrames() {
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    FramedSource::doStopGettingFrames();
    fStreaming = false;
    if (fQIO.setStreaming != nullptr) fQIO.setStreaming(fQIO.handle, 0);
    handleClosure();
}

bool PCMQueueSource::doReadFromQueue() {
    if (fPreferredFrameSize < fMaxSize) fMaxSize = fPreferredFrameSize;
    unsigned bytesPerFrame = static_cast<unsigned>(fBitsPerSample) * fNumChannels / 8;
    if (bytesPerFrame == 0) bytesPerFrame = 1;

    YVKStreamerStream* record = fQIO.popStream != nullptr ? fQIO.popStream(fQIO.handle, 0) : nullptr;
    if (record == nullptr || record->size == 0) return false;
    if (record->data == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "the host lent a PCM block of %u bytes without data\n", record->size);
        if (fQIO.releaseStream != nullptr) fQIO.releaseStream(fQIO.handle, record, 1);
        return false;
    }
    // A block larger than the consumer's buffer is cut, the rest counted.
    fFrameSize = std::min(record->size, fMaxSize);
    fNumTruncatedBytes = record->size - fFrameSize;
    std::memcpy(fTo, record->data, fFrameSize);
    if (fQIO.releaseStream != nullptr) fQIO.releaseStream(fQIO.handle, record, 1);

    if (fPresentationTime.tv_sec != 0 || fPresentationTime.tv_usec != 0) {
        unsigned usec = static_cast<unsigned>(fPresentationTime.tv_usec) + fLastDurationUs;
        fPresentationTime.tv_sec += usec / 1000000;
        fPresentationTime.tv_usec = usec % 1000000;
    } else {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        fPresentationTime.tv_sec = now.tv_sec;
        fPresentationTime.tv_usec = now.tv_nsec / 1000;
    }
    fLastDurationUs = static_cast<unsigned>(fFrameSize * fMicrosecondsPerSample / bytesPerFrame);
    fDurationInMicroseconds = fLastDurationUs;
    YVK_Trace(YVK_TRACE_MODULE, YVK_TRACE_INFO, "live555/PCMQueueSource", 139, "doReadFromQueue", "PCM : %u.%u\n",
              static_cast<unsigned>(fPresentationTime.tv_sec),
              static_cast<unsigned>(fPresentationTime.tv_usec / 1000));
    return true;
}
