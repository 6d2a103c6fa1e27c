// The device's queue library on a Linux host: a ring of fixed-size slots
// guarded by a mutex, with a condition variable for the waiting pop.
#include "yvk_queue.h"
#include "yvk_system.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#define YVK_TRACE_MODULE "queue"

struct yvk_queue {
    yvk_queue(int capacity, int elementSize, const char* name)
        : fCapacity(capacity), fElementSize(elementSize), fName(name != nullptr ? name : ""),
          fSlots(static_cast<size_t>(capacity) * static_cast<size_t>(elementSize)) {}

    int push(const void* element, int elementSize) {
        if (element == nullptr || elementSize != fElementSize) return -1;
        {
            std::lock_guard<std::mutex> lock(fMutex);
            if (fCount == fCapacity) return -1;
            int tail = (fHead + fCount) % fCapacity;
            std::memcpy(slot(tail), element, static_cast<size_t>(fElementSize));
            ++fCount;
        }
        fNotEmpty.notify_one();
        return 0;
    }

    void* pop(int* sizeOut, int timeoutMs) {
        std::unique_lock<std::mutex> lock(fMutex);
        auto hasElement = [this] { return fCount > 0; };
        if (timeoutMs < 0) {
            fNotEmpty.wait(lock, hasElement);
        } else if (!fNotEmpty.wait_for(lock, std::chrono::milliseconds(timeoutMs), hasElement)) {
            return nullptr;
        }
        // The caller reads its copy after the lock is gone, so each thread
        // gets a slot of its own that only its next pop overwrites.
        std::vector<unsigned char>& copy = fPopped[std::this_thread::get_id()];
        copy.resize(static_cast<size_t>(fElementSize));
        std::memcpy(copy.data(), slot(fHead), copy.size());
        fHead = (fHead + 1) % fCapacity;
        --fCount;
        if (sizeOut != nullptr) *sizeOut = fElementSize;
        return copy.data();
    }

    int count() {
        std::lock_guard<std::mutex> lock(fMutex);
        return fCount;
    }

private:
    unsigned char* slot(int index) {
        return fSlots.data() + static_cast<size_t>(index) * static_cast<size_t>(fElementSize);
    }

    const int fCapacity;
    const int fElementSize;
    const std::string fName;
    std::mutex fMutex;
    std::condition_variable fNotEmpty;
    std::vector<unsigned char> fSlots;
    int fHead = 0;
    int fCount = 0;
    std::unordered_map<std::thread::id, std::vector<unsigned char>> fPopped;
};

extern "C" yvk_queue* queue_new(int capacity, int elementSize, const char* name) {
    if (capacity <= 0 || elementSize <= 0) {
        YVK_TRACE(YVK_TRACE_ERROR, "queue '%s': capacity %d and element size %d must be positive\n",
                  name != nullptr ? name : "", capacity, elementSize);
        return nullptr;
    }
    try {
        return new yvk_queue(capacity, elementSize, name);
    } catch (const std::bad_alloc&) {
        YVK_TRACE(YVK_TRACE_ERROR, "queue '%s': out of memory\n", name != nullptr ? name : "");
        return nullptr;
    }
}

extern "C" int queue_push(yvk_queue* queue, const void* element, int elementSize) {
    return queue != nullptr ? queue->push(element, elementSize) : -1;
}

extern "C" void* queue_pop(yvk_queue* queue, int* sizeOut, int timeoutMs) {
    return queue != nullptr ? queue->pop(sizeOut, timeoutMs) : nullptr;
}

extern "C" int queue_get_currnum(yvk_queue* queue) {
    return queue != nullptr ? queue->count() : 0;
}

extern "C" void queue_free(yvk_queue* queue) {
    delete queue;
}
