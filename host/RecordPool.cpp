#include "RecordPool.hh"

#include "LatencyMarks.hh"

#include <chrono>
#include <cstring>

RecordPool::RecordPool(size_t records, size_t maxReady) : fSlots(records), fMaxReady(maxReady) {}

RecordPool::Slot* RecordPool::slotOf(YVKStreamerStream* record) {
    for (Slot& slot : fSlots) {
        if (&slot.record == record) return &slot;
    }
    return nullptr;
}

void RecordPool::dropOldestLocked() {
    Slot* oldest = fReady.front();
    fReady.pop_front();
    oldest->state = State::Free;
    ++fStats.dropped;
    fDroppedSinceCheck = true;
}

YVKStreamerStream* RecordPool::acquire() {
    std::lock_guard<std::mutex> lock(fMutex);
    Slot* chosen = nullptr;
    for (Slot& slot : fSlots) {
        if (slot.state == State::Free) {
            chosen = &slot;
            break;
        }
    }
    if (chosen == nullptr && !fReady.empty()) {
        chosen = fReady.front();
        dropOldestLocked();
    }
    if (chosen == nullptr) return nullptr;
    chosen->state = State::Producing;
    chosen->mark = 0;
    chosen->record = YVKStreamerStream{};
    return &chosen->record;
}

void RecordPool::fill(YVKStreamerStream* record, const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(fMutex);
    Slot* slot = slotOf(record);
    if (slot == nullptr || slot->state != State::Producing) return;
    slot->payload.assign(data, data + size);
    record->data = slot->payload.data();
    record->size = static_cast<uint32_t>(size);
}

void RecordPool::publish(YVKStreamerStream* record) {
    {
        std::lock_guard<std::mutex> lock(fMutex);
        Slot* slot = slotOf(record);
        if (slot == nullptr || slot->state != State::Producing) return;
        if (fReady.size() >= fMaxReady) dropOldestLocked();
        slot->state = State::Ready;
        fReady.push_back(slot);
        ++fStats.produced;
    }
    fReadyChanged.notify_one();
}

void RecordPool::discard(YVKStreamerStream* record) {
    std::lock_guard<std::mutex> lock(fMutex);
    Slot* slot = slotOf(record);
    if (slot != nullptr && slot->state == State::Producing) slot->state = State::Free;
}

void RecordPool::setMark(YVKStreamerStream* record, uint64_t frame) {
    std::lock_guard<std::mutex> lock(fMutex);
    Slot* slot = slotOf(record);
    if (slot != nullptr && slot->state == State::Producing) slot->mark = frame + 1;
}

bool RecordPool::streaming() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fStreaming;
}

bool RecordPool::takeDropped() {
    std::lock_guard<std::mutex> lock(fMutex);
    bool dropped = fDroppedSinceCheck;
    fDroppedSinceCheck = false;
    return dropped;
}

PoolStats RecordPool::stats() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fStats;
}

YVKStreamerQIO RecordPool::queueIO() {
    YVKStreamerQIO io{};
    io.handle = this;
    io.setStreaming = setStreamingCallback;
    io.isActive = isActiveCallback;
    io.popStream = popCallback;
    io.releaseStream = releaseCallback;
    return io;
}

int RecordPool::setStreamingCallback(void* handle, int on) {
    auto* pool = static_cast<RecordPool*>(handle);
    std::lock_guard<std::mutex> lock(pool->fMutex);
    pool->fStreaming = on != 0;
    if (!pool->fStreaming) {
        // Nobody reads: what is waiting would be stale when reading resumes.
        while (!pool->fReady.empty()) pool->dropOldestLocked();
    }
    return 0;
}

int RecordPool::isActiveCallback(void* /*handle*/) {
    return 1;
}

YVKStreamerStream* RecordPool::popCallback(void* handle, int timeoutMs) {
    auto* pool = static_cast<RecordPool*>(handle);
    std::unique_lock<std::mutex> lock(pool->fMutex);
    auto ready = [pool] { return !pool->fReady.empty(); };
    if (!pool->fReadyChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0), ready)) {
        return nullptr;
    }
    Slot* slot = pool->fReady.front();
    pool->fReady.pop_front();
    slot->state = State::Lent;
    ++pool->fStats.popped;
    ++pool->fStats.inFlight;
    uint64_t mark = slot->mark;
    lock.unlock();
    // As late as can be: the record is the library's from here.
    if (mark != 0 && pool->fPopLog != nullptr) pool->fPopLog->note(mark - 1);
    return &slot->record;
}

int RecordPool::releaseCallback(void* handle, YVKStreamerStream* record, int /*flag*/) {
    auto* pool = static_cast<RecordPool*>(handle);
    std::lock_guard<std::mutex> lock(pool->fMutex);
    Slot* slot = pool->slotOf(record);
    if (slot == nullptr || slot->state != State::Lent) {
        ++pool->fStats.badReleases;
        return -1;
    }
    slot->state = State::Free;
    ++pool->fStats.released;
    --pool->fStats.inFlight;
    return 0;
}
