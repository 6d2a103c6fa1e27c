// The host's side of one YVKStreamerQIO: a fixed pool of records owned by
// the host, a FIFO of records ready to be popped, and the bookkeeping that
// checks that the library releases every popped record exactly once.
#ifndef YVK_HOST_RECORD_POOL_HH
#define YVK_HOST_RECORD_POOL_HH

#include "yvkstreamer_core.h"

class PopLog;

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

struct PoolStats {
    uint64_t produced = 0;    // records published
    uint64_t dropped = 0;     // published, then taken back unpopped
    uint64_t popped = 0;
    uint64_t released = 0;
    uint64_t badReleases = 0; // records released twice or never lent
    int inFlight = 0;         // popped, not yet released
};

class RecordPool {
public:
    // maxReady bounds the FIFO: publishing beyond it drops the oldest record.
    RecordPool(size_t records, size_t maxReady);
    RecordPool(const RecordPool&) = delete;
    RecordPool& operator=(const RecordPool&) = delete;

    // Producer side.  acquire gives a free record (taking back the oldest
    // unpopped one when all are ready, null when all are lent); its payload
    // buffer is filled with fill() and handed out with publish().
    YVKStreamerStream* acquire();
    void fill(YVKStreamerStream* record, const uint8_t* data, size_t size);
    void publish(YVKStreamerStream* record);
    void discard(YVKStreamerStream* record);
    // Numbers a record being produced; when a pop log is set, the instant a
    // numbered record is popped goes into it.  The log must outlive the
    // pool's use.
    void setMark(YVKStreamerStream* record, uint64_t frame);
    void setPopLog(PopLog* log) { fPopLog = log; }
    bool streaming() const;
    // Whether records were dropped since the last call (the next video
    // record then asks the library to resynchronise).
    bool takeDropped();

    // The callbacks; handle is the pool.
    YVKStreamerQIO queueIO();
    PoolStats stats() const;

private:
    enum class State { Free, Producing, Ready, Lent };
    struct Slot {
        YVKStreamerStream record{};
        std::vector<uint8_t> payload;
        State state = State::Free;
        uint64_t mark = 0; // frame number + 1; 0: none
    };
    Slot* slotOf(YVKStreamerStream* record);
    void dropOldestLocked();

    static int setStreamingCallback(void* handle, int on);
    static int isActiveCallback(void* handle);
    static YVKStreamerStream* popCallback(void* handle, int timeoutMs);
    static int releaseCallback(void* handle, YVKStreamerStream* record, int flag);

    mutable std::mutex fMutex;
    std::condition_variable fReadyChanged;
    std::vector<Slot> fSlots;
    std::deque<Slot*> fReady;
    size_t fMaxReady;
    bool fStreaming = false;
    bool fDroppedSinceCheck = false;
    PoolStats fStats;
    PopLog* fPopLog = nullptr; // not owned
};

#endif // YVK_HOST_RECORD_POOL_HH
