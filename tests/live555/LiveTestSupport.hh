// Fixtures for the live555 unit tests: a live555 environment, a fake host
// queue that hands out prepared records and counts their releases, and one
// consumer request.
#ifndef YVK_TEST_LIVE_SUPPORT_HH
#define YVK_TEST_LIVE_SUPPORT_HH

#include "AnnexBUnits.hh"
#include "EpollTaskScheduler.hh"
#include "TraceCapture.hh"
#include "yvk_system.h"
#include "yvkstreamer_core.h"

#include <BasicUsageEnvironment.hh>
#include <FramedSource.hh>
#include <Groupsock.hh>

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace yvk::test {

// The environment outlives the fixture's TearDown, where the tests close
// their media.
class LiveEnvironment : public ::testing::Test {
protected:
    ~LiveEnvironment() override {
        fEnv->reclaim();
        delete fScheduler;
    }
    UsageEnvironment& env() { return *fEnv; }

    TaskScheduler* fScheduler = EpollTaskScheduler::createNew(10000); // the library's own
    UsageEnvironment* fEnv = BasicUsageEnvironment::createNew(*fScheduler);
};

// One host queue.  Records are owned here; the test checks the releases.
class FakeHostQueue {
    template <class F> auto locked(F f) {
        std::lock_guard<std::mutex> lock(fMutex);
        return f();
    }

public:
    std::atomic<int> fActive{1}; // what isActive answers

    YVKStreamerStream* add(std::vector<uint8_t> payload, bool key = false, int32_t sec = 0, int32_t usec = 0,
                           bool resync = false) {
        std::lock_guard<std::mutex> lock(fMutex);
        Record& r = *fRecords.emplace_back(std::make_unique<Record>());
        r.payload = std::move(payload);
        r.stream = YVKStreamerStream{};
        r.stream.data = r.payload.data();
        r.stream.size = static_cast<uint32_t>(r.payload.size());
        r.stream.keyFrame = key ? 1 : 0;
        r.stream.resync = resync ? 1 : 0;
        r.stream.timestamp = {sec, usec};
        fReady.push_back(&r);
        return &r.stream;
    }
    YVKStreamerQIO io() {
        YVKStreamerQIO qio{};
        qio.handle = this;
        qio.setStreaming = [](void* h, int on) {
            auto* q = static_cast<FakeHostQueue*>(h);
            q->locked([&] { q->fStreamingCalls.push_back(on); });
            return 0;
        };
        qio.isActive = [](void* h) { return static_cast<FakeHostQueue*>(h)->fActive.load(); };
        qio.popStream = [](void* h, int timeoutMs) -> YVKStreamerStream* {
            auto* q = static_cast<FakeHostQueue*>(h);
            Record* next = q->locked([&]() -> Record* {
                ++q->fPolls;
                q->fLongestWait = std::max(q->fLongestWait, timeoutMs);
                if (q->fReady.empty()) return nullptr;
                Record* r = q->fReady.front();
                q->fReady.pop_front();
                ++r->popped;
                return r;
            });
            if (next == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a reader must not spin
            return next != nullptr ? &next->stream : nullptr;
        };
        qio.releaseStream = [](void* h, YVKStreamerStream* s, int) {
            auto* q = static_cast<FakeHostQueue*>(h);
            q->locked([&] { ++q->of(s).released; });
            return 0;
        };
        return qio;
    }
    int released(YVKStreamerStream* s) { return locked([&] { return of(s).released; }); }
    // Every popped record with a payload was released exactly once, and
    // nothing else was released.
    bool balanced() {
        return locked([&] {
            return std::all_of(fRecords.begin(), fRecords.end(), [](auto& r) {
                return r->popped <= 1 && r->released <= r->popped && (r->stream.size == 0 || r->released == r->popped);
            });
        });
    }
    // Calls of popStream, with or without a record, and their longest wait.
    int polls() { return locked([&] { return fPolls; }); }
    int longestWait() { return locked([&] { return fLongestWait; }); }
    std::vector<int> streamingCalls() { return locked([&] { return fStreamingCalls; }); }

private:
    struct Record {
        YVKStreamerStream stream;
        std::vector<uint8_t> payload;
        int popped = 0;
        int released = 0;
    };
    Record& of(YVKStreamerStream* s) {
        for (auto& r : fRecords)
            if (&r->stream == s) return *r;
        ADD_FAILURE() << "a record that was never handed out";
        return *fRecords.front();
    }

    std::mutex fMutex;
    std::vector<std::unique_ptr<Record>> fRecords;
    std::deque<Record*> fReady;
    std::vector<int> fStreamingCalls;
    int fPolls = 0;
    int fLongestWait = 0;
};

// What one consumer request got: a frame, the source's end, or neither.
struct Delivery {
    bool done = false, closed = false;
    unsigned size = 0, truncated = 0, duration = 0;
    timeval time{};
};

// The after-getting function that fills the Delivery given as client data.
inline void delivered(void* data, unsigned size, unsigned truncated, timeval time, unsigned duration) {
    *static_cast<Delivery*>(data) = Delivery{true, false, size, truncated, duration, time};
}

// Where closures land: a source keeps its close handler after a request and
// may call it later (at its end, when it goes), past any one request.
inline bool gSourceClosed = false;

// One request of a consumer with a buffer of maxSize bytes, answered or
// closed within the call, or else withdrawn.
inline Delivery request(FramedSource& source, unsigned char* buffer, unsigned maxSize) {
    Delivery d;
    gSourceClosed = false;
    source.getNextFrame(buffer, maxSize, delivered, &d, [](void*) { gSourceClosed = true; }, nullptr);
    d.closed = gSourceClosed;
    if (!d.done && !d.closed) source.stopGettingFrames();
    return d;
}

inline long long microseconds(const timeval& t) { return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec; }

// Error lines traced while the capture was in scope, whatever their words.
inline int errorLines(const TraceCapture& trace) {
    auto lines = trace.lines();
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.level == YVK_TRACE_ERROR; }));
}

inline std::unique_ptr<Groupsock> loopbackGroupsock(UsageEnvironment& env) {
    sockaddr_storage address{};
    address.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in&>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return std::make_unique<Groupsock>(env, address, Port(0), 1);
}

} // namespace yvk::test

#endif
