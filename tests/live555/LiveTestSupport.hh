// Fixtures for the live555 unit tests: a live555 environment, and a fake
// host queue that hands out prepared records and counts their releases.
#ifndef YVK_TEST_LIVE_SUPPORT_HH
#define YVK_TEST_LIVE_SUPPORT_HH

#include "yvkstreamer_core.h"

#include <BasicUsageEnvironment.hh>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace yvk::test {

class LiveEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        fScheduler = BasicTaskScheduler::createNew(10000);
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    }
    void TearDown() override {
        fEnv->reclaim();
        delete fScheduler;
    }
    UsageEnvironment& env() { return *fEnv; }

    TaskScheduler* fScheduler = nullptr;
    UsageEnvironment* fEnv = nullptr;
};

// One host queue.  Records are owned here; the test checks the releases.
class FakeHostQueue {
public:
    YVKStreamerStream* add(std::vector<uint8_t> payload, bool key = false, int32_t sec = 0, int32_t usec = 0,
                           bool resync = false) {
        std::lock_guard<std::mutex> lock(fMutex);
        fPayloads.push_back(std::make_unique<std::vector<uint8_t>>(std::move(payload)));
        auto record = std::make_unique<YVKStreamerStream>();
        *record = YVKStreamerStream{};
        record->data = fPayloads.back()->data();
        record->size = static_cast<uint32_t>(fPayloads.back()->size());
        record->keyFrame = key ? 1 : 0;
        record->resync = resync ? 1 : 0;
        record->timestamp.sec = sec;
        record->timestamp.usec = usec;
        fReady.push_back(record.get());
        fRecords.push_back(std::move(record));
        return fRecords.back().get();
    }
    YVKStreamerQIO io() {
        YVKStreamerQIO qio{};
        qio.handle = this;
        qio.setStreaming = [](void* h, int on) {
            auto* q = static_cast<FakeHostQueue*>(h);
            std::lock_guard<std::mutex> lock(q->fMutex);
            q->fStreamingCalls.push_back(on);
            return 0;
        };
        qio.popStream = [](void* h, int) -> YVKStreamerStream* {
            auto* q = static_cast<FakeHostQueue*>(h);
            std::unique_lock<std::mutex> lock(q->fMutex);
            if (q->fReady.empty()) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a reader thread must not spin
                return nullptr;
            }
            YVKStreamerStream* record = q->fReady.front();
            q->fReady.pop_front();
            ++q->fPopped[record];
            return record;
        };
        qio.releaseStream = [](void* h, YVKStreamerStream* record, int) {
            auto* q = static_cast<FakeHostQueue*>(h);
            std::lock_guard<std::mutex> lock(q->fMutex);
            ++q->fReleased[record];
            return 0;
        };
        return qio;
    }
    int released(YVKStreamerStream* record) {
        std::lock_guard<std::mutex> lock(fMutex);
        auto found = fReleased.find(record);
        return found == fReleased.end() ? 0 : found->second;
    }
    int popped(YVKStreamerStream* record) {
        std::lock_guard<std::mutex> lock(fMutex);
        auto found = fPopped.find(record);
        return found == fPopped.end() ? 0 : found->second;
    }
    // Every popped record with a payload was released exactly once, and
    // nothing else was released.
    bool balanced() {
        std::lock_guard<std::mutex> lock(fMutex);
        for (auto& [record, count] : fReleased) {
            auto popped = fPopped.find(record);
            if (count != 1 || popped == fPopped.end() || popped->second != 1) return false;
        }
        for (auto& [record, count] : fPopped) {
            if (record->size != 0 && fReleased.count(record) == 0) return false;
        }
        return true;
    }
    size_t waiting() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fReady.size();
    }
    std::vector<int> streamingCalls() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fStreamingCalls;
    }

private:
    std::mutex fMutex;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> fPayloads;
    std::vector<std::unique_ptr<YVKStreamerStream>> fRecords;
    std::deque<YVKStreamerStream*> fReady;
    std::map<YVKStreamerStream*, int> fPopped;
    std::map<YVKStreamerStream*, int> fReleased;
    std::vector<int> fStreamingCalls;
};

// Annex-B access units made of NAL units (each given without start code).
inline std::vector<uint8_t> annexB(const std::vector<std::vector<uint8_t>>& nals) {
    std::vector<uint8_t> out;
    for (const auto& nal : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

} // namespace yvk::test

#endif
