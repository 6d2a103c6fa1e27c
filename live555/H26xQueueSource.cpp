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
constexpr int kClearPopTimeoutMs = 10;
constexpr unsigned kIdleSleepMs = 10;
constexpr unsigned kStopPollMs = 5;
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
      fReaderLink(std::make_shared<ReaderLink>()), fCodec(format == "video/H265" ? 265 : 264),
      fFrameRate(frameRate), fWidth(width), fHeight(height), fAuxLineReady(false), fAbortFlag(nullptr),
      fQueueDepth(2 * frameRate), fDropThreshold(18 * frameRate / 10), fRunning(true), fStreaming(true),
      fWaitKeyFrame(true), fQIO(qio), fQueue(nullptr), fUnitCount(0), fCurrent{}, fHaveCurrent(false),
      fCursor(nullptr), fInjectNext(-1), fCurrentTime{}, fLastPresentationTime{}, fLastHostTimestamp{} {
    fReaderLink->qio = qio;
    fEventTriggerId = envir().taskScheduler().createEventTrigger(deliverFrameStub);
    fQueue = queue_new(fQueueDepth, sizeof(QueuedUnit), "strm-h26x-live");
    gDeliverStarted = false;
    if (startThread && fQueue != nullptr) {
        try {
            std::shared_ptr<ReaderLink> link = fReaderLink;
            fThread = std::thread([this, link] {
                thread();
                link->state.store(ReaderLink::kFinished, std::memory_order_release);
            });
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
    dropCurrentAccessUnit();
    handleClosure();
    envir().taskScheduler().deleteEventTrigger(fEventTriggerId);
    fAuxLine.clear();
    if (fQueue != nullptr) queue_free(fQueue);
}

std::string H26xQueueSource::getAuxLine() {
    const long long deadline = monotonicMs() + kAuxLineWaitMs;
    while (!hasAuxLine() && monotonicMs() < deadline) {
        if (fAbortFlag != nullptr && *fAbortFlag != 0) break;
        YVK_ThreadSleep(kIdleSleepMs);
    }
    if (!hasAuxLine()) {
        YVK_TRACE(YVK_TRACE_ERROR, "no parameter sets from the host yet: SDP without them\n");
        return std::string();
    }
    return fAuxLine;
}

void H26xQueueSource::threadstop() {
    fRunning = false;
    if (!fThread.joinable()) return;
    ReaderLink& link = *fReaderLink;
    const long long deadline = monotonicMs() + kReaderStopMs;
    while (link.state.load(std::memory_order_acquire) != ReaderLink::kFinished && monotonicMs() < deadline) {
        YVK_ThreadSleep(kStopPollMs);
    }
    int inPop = ReaderLink::kInPop;
    if (link.state.compare_exchange_strong(inPop, ReaderLink::kAbandoned, std::memory_order_acq_rel)) {
        YVK_TRACE(YVK_TRACE_ERROR, "the host's popStream has not returned for %u ms: reader left behind\n",
                  kReaderStopMs);
        fThread.detach();
        return;
    }
    fThread.join();
}

void H26xQueueSource::announceStreaming(bool on) {
    if (fQIO.setStreaming != nullptr) fQIO.setStreaming(fQIO.handle, on ? 1 : 0);
}

void H26xQueueSource::releaseRecord(YVKStreamerStream* record) {
    if (record == nullptr) return;
    fCounters->recordsInFlight.fetch_sub(1, std::memory_order_relaxed);
    if (fQIO.releaseStream != nullptr) fQIO.releaseStream(fQIO.handle, record, 1);
}

void H26xQueueSource::releaseUnsent(YVKStreamerStream* record) {
    if (record != nullptr) fCounters->framesDropped.fetch_add(1, std::memory_order_relaxed);
    releaseRecord(record);
}

void H26xQueueSource::clearFramesAll() {
    if (fQueue == nullptr) return;
    while (queue_get_currnum(fQueue) > 0) {
        auto* unit = static_cast<QueuedUnit*>(queue_pop(fQueue, nullptr, kClearPopTimeoutMs));
        if (unit != nullptr && unit->releaseRecord) releaseUnsent(unit->record);
    }
    std::printf("H26xQueueSource: ClearQ\n");
}

void H26xQueueSource::dropCurrentAccessUnit() {
    if (fHaveCurrent && fCurrent.releaseRecord) releaseRecord(fCurrent.record);
    fHaveCurrent = false;
    fHaveNext = false;
}

void H26xQueueSource::deliverFrameStub(void* clientData) {
    static_cast<H26xQueueSource*>(clientData)->deliverFrame();
}

// ---- reader thread ----

void H26xQueueSource::thread() {
    fStreaming = true;
    announceStreaming(true);
    // Start-up: pull records until the parameter sets are known; each record
    // goes back as soon as it has been looked at.
    // A false getNextFrame means this source is gone: touch nothing more.
    fStartingUp = true;
    while (!hasAuxLine() && fRunning) {
        if (!getNextFrame()) return;
    }
    fStartingUp = false;
    if (!fRunning) return;
    // The host is told to stop until a consumer asks; the loop thread, which
    // also announces the consumers' requests, decides (a consumer may
    // already wait: the HTTP segmenter asks at once).
    fWaitKeyFrame = true;
    fStartUpEnded = true;
    envir().taskScheduler().triggerEvent(fEventTriggerId, this);
    while (fRunning) {
        if (!getNextFrame()) return;
    }
}

// Every record with a payload goes back exactly once: here when it is not
// queued, otherwise when its access unit has been delivered or discarded.
// A record of size 0 is dropped without release.
bool H26xQueueSource::getNextFrame() {
    if (!fStreaming || fQIO.popStream == nullptr) {
        YVK_ThreadSleep(kIdleSleepMs);
        return true;
    }
    ReaderLink& link = *fReaderLink;
    int running = ReaderLink::kRunning;
    if (!fRunning || !link.state.compare_exchange_strong(running, ReaderLink::kInPop)) return true;
    YVKStreamerStream* record = link.qio.popStream(link.qio.handle, kPopTimeoutMs);
    int inPop = ReaderLink::kInPop;
    if (!link.state.compare_exchange_strong(inPop, ReaderLink::kRunning)) {
        // Left behind by the destructor: this source is gone.
        if (record != nullptr && record->size != 0 && link.qio.releaseStream != nullptr)
            link.qio.releaseStream(link.qio.handle, record, 1);
        return false;
    }
    takeRecord(record);
    return true;
}

void H26xQueueSource::takeRecord(YVKStreamerStream* record) {
    if (record == nullptr || record->size == 0) return;
    fCounters->framesIn.fetch_add(1, std::memory_order_relaxed);
    fCounters->recordsInFlight.fetch_add(1, std::memory_order_relaxed);
    if (record->data == nullptr) {
        YVK_TRACE(YVK_TRACE_ERROR, "record of %u bytes without data, released\n", record->size);
        releaseUnsent(record);
        return;
    }
    bool key = false;
    splitFrames(record->data, static_cast<int>(record->size), key);
    if (fUnitCount == 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "record of %u bytes without a start code, released\n", record->size);
        releaseUnsent(record);
        return;
    }
    bool hasParameterSets = false;
    for (int i = 0; i < fUnitCount; ++i)
        if (H26xNalKind::isSequenceParameterSet(fCodec, fUnits[i].type)) hasParameterSets = true;
    if (fStartingUp) { // the record was only looked at
        releaseRecord(record);
        return;
    }
    if (record->resync) fWaitKeyFrame = true;
    if (fWaitKeyFrame && !key) {
        releaseUnsent(record);
        return;
    }
    fWaitKeyFrame = false;
    processFrame(record, key, hasParameterSets);
}

void H26xQueueSource::processFrame(YVKStreamerStream* record, bool key, bool hasParameterSets) {
    queueFrame(record, record->data, record->size, key, record->timestamp, true, hasParameterSets);
}

void H26xQueueSource::queueFrame(YVKStreamerStream* record, uint8_t* data, uint32_t size, bool key,
                                 const YVKStreamerTime& timestamp, bool releaseRecordToo, bool hasParameterSets) {
    int held = queue_get_currnum(fQueue);
    bool dropped = false;
    if (!key && (held > fDropThreshold || held >= fQueueDepth)) {
        // The consumer is behind by almost two seconds: start over at the
        // next key access unit rather than deliver stale pictures or
        // pictures whose references were thrown away.
        clearFramesAll();
        if (releaseRecordToo) releaseUnsent(record);
        fWaitKeyFrame = true;
        dropped = true;
    } else {
        if (held >= fQueueDepth) clearFramesAll(); // a key unit into a full queue: it is the fresh start
        QueuedUnit unit{record,
                        data,
                        size,
                        static_cast<uint8_t>(key ? 1 : 0),
                        static_cast<uint8_t>(releaseRecordToo ? 1 : 0),
                        static_cast<uint8_t>(hasParameterSets ? 1 : 0),
                        timestamp.sec,
                        timestamp.usec};
        if (queue_push(fQueue, &unit, sizeof unit) != 0) {
            if (releaseRecordToo) releaseUnsent(record);
            fWaitKeyFrame = true;
            dropped = true;
        } else {
            envir().taskScheduler().triggerEvent(fEventTriggerId, this);
        }
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
    dropCurrentAccessUnit();
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

// One time per access unit: every NAL unit of it, parameter sets included,
// shares it.
timeval H26xQueueSource::presentationTimeFor(const QueuedUnit& unit) {
    timeval unitTime{};
    unitTime.tv_sec = unit.timestampSec;
    unitTime.tv_usec = unit.timestampUsec;
    if (fUseWallClock || fLastPresentationTime.tv_sec == 0) {
        fLastPresentationTime = wallClock();
    } else {
        fLastPresentationTime = advancePresentationTime(fLastPresentationTime, fLastHostTimestamp, unitTime);
    }
    fLastHostTimestamp = unitTime;
    return fLastPresentationTime;
}

// Never waits: with nothing queued the request stays open and the reader's
// next push fires the trigger.
bool H26xQueueSource::takeAccessUnit() {
    auto* unit = static_cast<QueuedUnit*>(queue_pop(fQueue, nullptr, 0));
    if (unit == nullptr) return false;
    fCurrent = *unit;
    fHaveCurrent = true;
    fCursor = fCurrent.data;
    if (fWaitKeyFrame) fLastPresentationTime.tv_sec = 0;
    fCurrentTime = presentationTimeFor(fCurrent);
    // A key picture whose access unit does not carry the parameter sets gets
    // the stored ones in front, so a decoder can start at it.
    fInjectNext = !fWholeFrame && fCurrent.key && !fCurrent.hasParameterSets && hasAuxLine() ? 0 : -1;
    return true;
}

// The next piece of the current access unit to deliver: a stored parameter
// set, the next NAL unit (access unit delimiters dropped), or the whole unit.
bool H26xQueueSource::nextPiece(const uint8_t*& data, unsigned& size) {
    if (fWholeFrame) {
        if (fCursor != fCurrent.data) return false;
        data = fCurrent.data;
        size = fCurrent.size;
        fCursor = fCurrent.data + fCurrent.size;
        return true;
    }
    const std::vector<uint8_t>* stored[] = {&fVPS, &fSPS, &fPPS};
    while (fInjectNext >= 0 && fInjectNext < 3) {
        const std::vector<uint8_t>* set = stored[fInjectNext++];
        if (!set->empty()) {
            data = set->data();
            size = static_cast<unsigned>(set->size());
            return true;
        }
    }
    uint8_t* end = fCurrent.data + fCurrent.size;
    Unit unit{};
    while (fCursor < end && nextUnit(fCursor, static_cast<int>(end - fCursor), unit)) {
        fCursor = unit.data + unit.size;
        if (H26xNalKind::isDelimiter(fCodec, unit.type)) continue;
        data = unit.data;
        size = static_cast<unsigned>(unit.size);
        return true;
    }
    fCursor = end;
    return false;
}

void H26xQueueSource::copyWholeAccessUnit(uint8_t* data, unsigned size) {
    fFrameSize = 0;
    fNumTruncatedBytes = 0;
    auto put = [this](const uint8_t* bytes, unsigned count) {
        unsigned room = std::min(count, fMaxSize - fFrameSize);
        std::memcpy(fTo + fFrameSize, bytes, room);
        fFrameSize += room;
        fNumTruncatedBytes += count - room;
    };
    if (fCurrent.hasParameterSets) keepParameterSets(data, size);
    const bool newSecond = fCurrentTime.tv_sec != fLastWholeSecond;
    fLastWholeSecond = fCurrentTime.tv_sec;
    if (fRepeatSets.empty()) storedParameterSets();
    if (fCurrent.hasParameterSets || fRepeatSets.empty() || !(newSecond || fCurrent.key)) {
        put(data, size);
        return;
    }
    unsigned head = 0; // an access unit delimiter stays first
    Unit first{};
    if (nextUnit(data, static_cast<int>(size), first) && H26xNalKind::isDelimiter(fCodec, first.type))
        head = static_cast<unsigned>(first.data + first.size - data);
    put(data, head);
    put(fRepeatSets.data(), static_cast<unsigned>(fRepeatSets.size()));
    put(data + head, size - head);
}

void H26xQueueSource::deliverFrame() {
    if (fStartUpEnded.exchange(false) && !isCurrentlyAwaitingData()) {
        fStreaming = false;
        announceStreaming(false);
        return;
    }
    if (!isCurrentlyAwaitingData()) return;
    fFrameSize = 0;
    fDurationInMicroseconds = 0;
    if (!fStreaming) {
        fStreaming = true;
        announceStreaming(true);
    }
    for (;;) {
        if (!fHaveCurrent && !takeAccessUnit()) return; // the next push fires the trigger again
        if (fHaveNext || (fHaveNext = nextPiece(fNextData, fNextSize))) break;
        dropCurrentAccessUnit(); // nothing left in it
    }
    const uint8_t* data = fNextData;
    const unsigned size = fNextSize;
    fHaveNext = false;

    fPresentationTime = fCurrentTime;
    gDeliverStarted = true;
    if (fWholeFrame) {
        copyWholeAccessUnit(fCurrent.data, size);
    } else {
        fFrameSize = std::min(size, fMaxSize);
        fNumTruncatedBytes = size > fMaxSize ? size - fMaxSize : 0;
        std::memcpy(fTo, data, fFrameSize);
    }
    if (fQIO.dumpEnabled && fQIO.dumpData != nullptr) fQIO.dumpData(data, size);
    // Look ahead (the piece found is the next delivery's): the record goes
    // back with its last unit, before the consumer (which may ask again at
    // once) sees it.
    fHaveNext = nextPiece(fNextData, fNextSize);
    if (!fHaveNext) dropCurrentAccessUnit();
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
