// H26xQueueSource: reader thread, unit queue and delivery.  NAL splitting
// and the parameter text are in H26xParameterSets.cpp.
#include "H26xQueueSource.hh"

#include "yvk_system.h"

#include <UsageEnvironment.hh>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#define YVK_TRACE_MODULE "H26x-QSrc"

bool H26xQueueSource::gDeliverStarted = false;

namespace {

constexpr int kPopTimeoutMs = 1000;
constexpr int kDeliverPopTimeoutMs = 1500;
constexpr int kClearPopTimeoutMs = 10;
constexpr unsigned kIdleSleepMs = 10;
constexpr long long kWarningIntervalMs = 3000;
constexpr int kWarningQueueLevel = 19;

// Shared by every instance: the console lines are rate-limited per process.
std::atomic<long long> gLastQueueWarningMs{0};
std::atomic<uint32_t> gLastDeliveryMs{0};

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

timeval wallClock() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

bool isParameterSetHeader(int codec, uint8_t header) {
    return codec == 265 ? (header == 0x42 || header == 0x44) : header == 0x68;
}

} // namespace

H26xQueueSource* H26xQueueSource::createNew(UsageEnvironment& env, const std::string& format, int frameRate,
                                            int width, int height, YVKStreamerQIO qio, bool startThread) {
    if (frameRate <= 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "frame rate %d refused: it must be positive\n", frameRate);
        return nullptr;
    }
    auto* source = new H26xQueueSource(env, format, frameRate, width, height, qio, startThread);
    if (source->fQueue == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "no unit queue for frame rate %d\n", frameRate);
        Medium::close(source);
        return nullptr;
    }
    if (startThread && !source->fThread.joinable()) {
        Medium::close(source);
        return nullptr;
    }
    return source;
}

H26xQueueSource::H26xQueueSource(UsageEnvironment& env, const std::string& format, int frameRate, int width,
                                 int height, YVKStreamerQIO qio, bool startThread)
    : FramedSource(env), fUseWallClock(false), fQueueAllUnits(false), fKeepStartCode(false), fWholeFrame(false),
      fCodec(format == "video/H265" ? 265 : 264), fFrameRate(frameRate), fWidth(width), fHeight(height),
      fAuxLineReady(false), fVPS(nullptr), fSPS(nullptr), fPPS(nullptr), fVPSSize(0), fSPSSize(0), fPPSSize(0),
      fVPSBase64{}, fSPSBase64{}, fPPSBase64{}, fOversizeReported(false), fQueueDepth(2 * frameRate),
      fDropThreshold(18 * frameRate / 10), fRunning(true), fStreaming(true), fWaitKeyFrame(true), fQIO(qio),
      fQueue(nullptr), fUnits{}, fUnitCount(0), fLastPresentationTime{}, fLastHostTimestamp{} {
    fEventTriggerId = envir().taskScheduler().createEventTrigger(deliverFrameStub);
    fQueue = queue_new(fQueueDepth, sizeof(QueuedUnit), "strm-h26x-live");
    gDeliverStarted = false;
    if (startThread && fQueue != nullptr) {
        try {
            fThread = std::thread(threadStub, this);
        } catch (const std::system_error& error) {
            YVK_TRACE(YVK_TRACE_ERROR, "cannot start the reader thread: %s\n", error.what());
        }
    }
}

H26xQueueSource::~H26xQueueSource() {
    threadstop();
    fStreaming = false;
    announceStreaming(false);
    clearFramesAll();
    handleClosure();
    envir().taskScheduler().deleteEventTrigger(fEventTriggerId);
    delete[] fVPS;
    delete[] fSPS;
    delete[] fPPS;
    fVPS = fSPS = fPPS = nullptr;
    fVPSSize = fSPSSize = fPPSSize = 0;
    fAuxLine.clear();
    if (fQueue != nullptr) queue_free(fQueue);
}

std::string H26xQueueSource::getAuxLine() {
    while (!fAuxLineReady.load(std::memory_order_acquire)) YVK_ThreadSleep(kIdleSleepMs);
    return fAuxLine;
}

void H26xQueueSource::threadstop() {
    fRunning = false;
    if (fThread.joinable()) fThread.join();
}

void H26xQueueSource::announceStreaming(bool on) {
    if (fQIO.setStreaming != nullptr) fQIO.setStreaming(fQIO.handle, on ? 1 : 0);
}

void H26xQueueSource::releaseRecord(YVKStreamerStream* record) {
    if (record != nullptr && fQIO.releaseStream != nullptr) fQIO.releaseStream(fQIO.handle, record, 1);
}

void H26xQueueSource::clearFramesAll() {
    if (fQueue == nullptr) return;
    while (queue_get_currnum(fQueue) > 0) {
        auto* unit = static_cast<QueuedUnit*>(queue_pop(fQueue, nullptr, kClearPopTimeoutMs));
        if (unit != nullptr && unit->releaseRecord) releaseRecord(unit->record);
    }
    std::printf("H26xQueueSource: ClearQ\n");
}

void H26xQueueSource::threadStub(void* source) {
    static_cast<H26xQueueSource*>(source)->thread();
}

void H26xQueueSource::deliverFrameStub(void* clientData) {
    static_cast<H26xQueueSource*>(clientData)->deliverFrame();
}

// ---- reader thread ----

void H26xQueueSource::thread() {
    fStreaming = true;
    announceStreaming(true);
    // Start-up: pull records until the parameter sets are known, throwing the
    // units away again so that the queue does not fill while nobody reads.
    while (!hasAuxLine() && fRunning) {
        getNextFrame();
        if (!hasAuxLine() && queue_get_currnum(fQueue) > 0) {
            auto* unit = static_cast<QueuedUnit*>(queue_pop(fQueue, nullptr, kPopTimeoutMs));
            if (unit != nullptr && unit->releaseRecord) releaseRecord(unit->record);
        }
    }
    if (fRunning) {
        fStreaming = false;
        announceStreaming(false);
        clearFramesAll();
        fWaitKeyFrame = true;
    }
    while (fRunning) getNextFrame();
    clearFramesAll();
}

void H26xQueueSource::getNextFrame() {
    if (!fStreaming || fQIO.popStream == nullptr) {
        YVK_ThreadSleep(kIdleSleepMs);
        return;
    }
    YVKStreamerStream* record = fQIO.popStream(fQIO.handle, kPopTimeoutMs);
    if (record == nullptr) return;
    if (!record->resync && !fWaitKeyFrame) {
        processFrame(record);
    } else if (record->keyFrame == 0) {
        fWaitKeyFrame = true;
        if (record->size != 0) releaseRecord(record);
    } else {
        fWaitKeyFrame = false;
        processFrame(record);
    }
}

void H26xQueueSource::processFrame(YVKStreamerStream* record) {
    bool key = false;
    Unit* units = splitFrames(record->data, static_cast<int>(record->size), key);
    if (fWholeFrame) {
        queueFrame(record, record->data, record->size, key, record->timestamp, true);
    } else if (fUnitCount == 0) {
        if (record->size != 0) releaseRecord(record);
    } else if (fQueueAllUnits) {
        for (int i = 0; i < fUnitCount; ++i) {
            queueFrame(record, units[i].data, static_cast<uint32_t>(units[i].size), key, record->timestamp,
                       i == fUnitCount - 1);
        }
    } else {
        // A key access unit is parameter sets then the picture: deliver the
        // picture, the parameter sets reach the client through the SDP.
        const Unit& unit = key ? units[fUnitCount - 1] : units[0];
        queueFrame(record, unit.data, static_cast<uint32_t>(unit.size), key, record->timestamp, true);
    }
}

void H26xQueueSource::queueFrame(YVKStreamerStream* record, uint8_t* data, uint32_t size, bool key,
                                 const YVKStreamerTime& timestamp, bool releaseRecordToo) {
    int held = queue_get_currnum(fQueue);
    bool dropped = false;
    if (held > fDropThreshold && !key) {
        // The consumer is behind by almost two seconds: start over at the
        // next key unit rather than deliver stale pictures.
        clearFramesAll();
        if (releaseRecordToo) releaseRecord(record);
        dropped = true;
    } else {
        QueuedUnit unit{record, data, size, static_cast<uint8_t>(key ? 1 : 0),
                        static_cast<uint8_t>(releaseRecordToo ? 1 : 0), timestamp.sec, timestamp.usec};
        queue_push(fQueue, &unit, sizeof unit);
        envir().taskScheduler().triggerEvent(fEventTriggerId, this);
    }
    long long now = monotonicMs();
    if (now - gLastQueueWarningMs.load(std::memory_order_relaxed) > kWarningIntervalMs) {
        if (held > kWarningQueueLevel) {
            if (dropped) {
                std::printf("\033[33mH26xQueueSource: num %d\033[0m\n", held);
            } else {
                std::printf("H26xQueueSource: num %d\n", held);
            }
        }
        gLastQueueWarningMs.store(now, std::memory_order_relaxed);
    }
}

// ---- event-loop thread ----

void H26xQueueSource::doGetNextFrame() {
    deliverFrame();
}

void H26xQueueSource::doStopGettingFrames() {
    FramedSource::doStopGettingFrames();
    fStreaming = false;
    announceStreaming(false);
    clearFramesAll();
}

timeval H26xQueueSource::advancePresentationTime(const timeval& last, const timeval& lastHost,
                                                 const timeval& unitTime) {
    long deltaSec = unitTime.tv_sec - lastHost.tv_sec;
    long deltaUsec = unitTime.tv_usec - lastHost.tv_usec;
    if (deltaUsec < 0) {
        deltaUsec += 1000000;
        deltaSec -= 1;
    }
    timeval next{};
    next.tv_sec = last.tv_sec + deltaSec;
    next.tv_usec = last.tv_usec + deltaUsec;
    if (next.tv_usec > 999999) {
        next.tv_usec -= 1000000;
        next.tv_sec += 1;
    }
    return next;
}

timeval H26xQueueSource::presentationTimeFor(const QueuedUnit& unit) {
    timeval unitTime{};
    unitTime.tv_sec = unit.timestampSec;
    unitTime.tv_usec = unit.timestampUsec;
    unsigned header = fKeepStartCode ? 4 : 0;
    if (fQueueAllUnits && unit.key && unit.size > header && isParameterSetHeader(fCodec, unit.data[header])) {
        return fLastPresentationTime; // parameter sets share the picture's time
    }
    if (fUseWallClock) {
        fLastHostTimestamp = unitTime;
        return wallClock();
    }
    if (fLastPresentationTime.tv_sec == 0) {
        fLastPresentationTime = wallClock();
    } else {
        fLastPresentationTime = advancePresentationTime(fLastPresentationTime, fLastHostTimestamp, unitTime);
    }
    fLastHostTimestamp = unitTime;
    return fLastPresentationTime;
}

void H26xQueueSource::deliverFrame() {
    if (!isCurrentlyAwaitingData()) return;
    fFrameSize = 0;
    fDurationInMicroseconds = 0;
    if (!fStreaming) {
        fStreaming = true;
        announceStreaming(true);
    }
    auto* unit = static_cast<QueuedUnit*>(queue_pop(fQueue, nullptr, kDeliverPopTimeoutMs));
    if (unit == nullptr || unit->size == 0) return; // the next push fires the trigger again
    if (fWaitKeyFrame) fLastPresentationTime.tv_sec = 0;

    fFrameSize = std::min<unsigned>(unit->size, fMaxSize);
    fNumTruncatedBytes = unit->size > fMaxSize ? unit->size - fMaxSize : 0;
    fPresentationTime = presentationTimeFor(*unit);

    gDeliverStarted = true;
    std::memcpy(fTo, unit->data, fFrameSize);
    if (fQIO.dumpEnabled && fQIO.dumpData != nullptr) fQIO.dumpData(unit->data, unit->size);
    if (unit->releaseRecord) releaseRecord(unit->record);
    unsigned frameSize = fFrameSize;
    afterGetting(this);

    if (fQIO.dumpEnabled) {
        timeval now = wallClock();
        uint32_t nowMs = static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_usec / 1000);
        uint32_t lastMs = gLastDeliveryMs.exchange(nowMs);
        if (lastMs != 0) {
            std::printf("%07d bytes sent, %04d ms (%d frames in queue)\n", static_cast<int>(frameSize),
                        static_cast<int>(nowMs - lastMs), queue_get_currnum(fQueue));
        }
    }
}
