// The faulty platform: wrappers around the library's calls into the device
// services.  The linker's --wrap routes every reference of the library to
// SYMBOL to __wrap_SYMBOL, which fails the call when the switch says so and
// otherwise hands it to the host platform (__real_SYMBOL).
#include "FaultSwitch.hh"

#include "yvk_audio_codec.h"
#include "yvk_demux.h"
#include "yvk_queue.h"
#include "yvk_system.h"

#include <atomic>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace yvk::test {

namespace {

struct Switch {
    std::atomic<int> calls{0};
    std::atomic<int> failed{0};
    std::atomic<int> quiet{0};
    std::atomic<int> failAt{0};
    std::atomic<bool> sticky{false};
};

Switch gSwitches[kServiceCount];

std::mutex gAllocationsMutex;
std::set<void*> gAllocations;
int gForeignFrees = 0;

// Counts the call; true when it is to fail.
bool shouldFail(Service service, bool quiet = false) {
    Switch& s = gSwitches[static_cast<int>(service)];
    int call = s.calls.fetch_add(1) + 1;
    int at = s.failAt.load();
    bool fail = at > 0 && (call == at || (s.sticky.load() && call > at));
    if (fail) s.failed.fetch_add(1);
    if (fail && quiet) s.quiet.fetch_add(1);
    return fail;
}

} // namespace

const char* serviceName(Service service) {
    static const char* const names[kServiceCount] = {"allocation",  "queue creation", "thread start",
                                                      "demux open", "demux read",     "encoder open"};
    return names[static_cast<int>(service)];
}

void armFault(Service service, int nth, bool sticky) {
    for (Switch& s : gSwitches) {
        s.failAt = 0;
        s.calls = 0;
        s.failed = 0;
        s.quiet = 0;
        s.sticky = false;
    }
    Switch& s = gSwitches[static_cast<int>(service)];
    s.sticky = sticky;
    s.failAt = nth;
}

void disarmFaults() {
    for (Switch& s : gSwitches) s.failAt = 0;
}

int serviceCalls(Service service) { return gSwitches[static_cast<int>(service)].calls.load(); }
int failedCalls(Service service) { return gSwitches[static_cast<int>(service)].failed.load(); }
int quietFailures(Service service) { return gSwitches[static_cast<int>(service)].quiet.load(); }

size_t outstandingAllocations() {
    std::lock_guard<std::mutex> lock(gAllocationsMutex);
    return gAllocations.size();
}

int foreignFrees() {
    std::lock_guard<std::mutex> lock(gAllocationsMutex);
    return gForeignFrees;
}

} // namespace yvk::test

using yvk::test::Service;
using yvk::test::shouldFail;

extern "C" {

void* __real_YVK_Malloc(size_t size, int align, int flags, const char* source, int line, const char* function);
void __real_YVK_Free(void* memory);
yvk_queue* __real_queue_new(int capacity, int elementSize, const char* name);
void* __real_YVK_StreamerDemuxOpen(const char* fileName);
int __real_YVK_StreamerDemuxReadVideo(void* handle, int videoTrack, unsigned char* buffer, int* size, int* keyFrame,
                                      uint64_t* timestampMs);
int __real_YVK_StreamerDemuxReadAudio(void* handle, unsigned char* buffer, int* size);
int __real_YVK_StreamerDemuxReadText(void* handle, char* buffer, int* size, uint64_t* timestampMs);
int __real_YVK_StreamerTransGetStream(void* handle, unsigned char* buffer, int capacity, int* keyFrame,
                                      uint64_t* timestampMs);
void* __real_YVK_StreamerTransOpen(const TransOpenParam* param);
void* __real_YVK_AAC_EncNew(YVK_AudioFormat* format, YVK_AudioEncSettings* settings);
void* __real_YVK_MP3_DecNew(const YVK_AudioFormat* format, const void* settings);

void* __wrap_YVK_Malloc(size_t size, int align, int flags, const char* source, int line, const char* function) {
    if (shouldFail(Service::Allocation)) return nullptr;
    void* memory = __real_YVK_Malloc(size, align, flags, source, line, function);
    if (memory != nullptr) {
        std::lock_guard<std::mutex> lock(yvk::test::gAllocationsMutex);
        yvk::test::gAllocations.insert(memory);
    }
    return memory;
}

void __wrap_YVK_Free(void* memory) {
    if (memory != nullptr) {
        std::lock_guard<std::mutex> lock(yvk::test::gAllocationsMutex);
        if (yvk::test::gAllocations.erase(memory) == 0) ++yvk::test::gForeignFrees;
    }
    __real_YVK_Free(memory);
}

yvk_queue* __wrap_queue_new(int capacity, int elementSize, const char* name) {
    return shouldFail(Service::QueueCreation) ? nullptr : __real_queue_new(capacity, elementSize, name);
}

void* __wrap_YVK_StreamerDemuxOpen(const char* fileName) {
    return shouldFail(Service::DemuxOpen) ? nullptr : __real_YVK_StreamerDemuxOpen(fileName);
}

// A failed read is what the service reports for a read error: 0 and size 0.
int __wrap_YVK_StreamerDemuxReadVideo(void* handle, int videoTrack, unsigned char* buffer, int* size, int* keyFrame,
                                      uint64_t* timestampMs) {
    if (shouldFail(Service::DemuxRead)) {
        if (size != nullptr) *size = 0;
        return 0;
    }
    return __real_YVK_StreamerDemuxReadVideo(handle, videoTrack, buffer, size, keyFrame, timestampMs);
}

int __wrap_YVK_StreamerDemuxReadAudio(void* handle, unsigned char* buffer, int* size) {
    if (shouldFail(Service::DemuxRead)) {
        if (size != nullptr) *size = 0;
        return 0;
    }
    return __real_YVK_StreamerDemuxReadAudio(handle, buffer, size);
}

int __wrap_YVK_StreamerDemuxReadText(void* handle, char* buffer, int* size, uint64_t* timestampMs) {
    if (shouldFail(Service::DemuxRead, true)) {
        if (size != nullptr) *size = 0;
        return 0;
    }
    return __real_YVK_StreamerDemuxReadText(handle, buffer, size, timestampMs);
}

int __wrap_YVK_StreamerTransGetStream(void* handle, unsigned char* buffer, int capacity, int* keyFrame,
                                      uint64_t* timestampMs) {
    return shouldFail(Service::DemuxRead) ? 0
                                          : __real_YVK_StreamerTransGetStream(handle, buffer, capacity, keyFrame,
                                                                              timestampMs);
}

void* __wrap_YVK_StreamerTransOpen(const TransOpenParam* param) {
    return shouldFail(Service::EncoderOpen) ? nullptr : __real_YVK_StreamerTransOpen(param);
}

void* __wrap_YVK_AAC_EncNew(YVK_AudioFormat* format, YVK_AudioEncSettings* settings) {
    return shouldFail(Service::EncoderOpen) ? nullptr : __real_YVK_AAC_EncNew(format, settings);
}

void* __wrap_YVK_MP3_DecNew(const YVK_AudioFormat* format, const void* settings) {
    return shouldFail(Service::EncoderOpen) ? nullptr : __real_YVK_MP3_DecNew(format, settings);
}

// std::thread's constructor hands the new thread's state to this member of
// the C++ library; when pthread_create fails it throws std::system_error
// with EAGAIN, as this does.  The state is a std::unique_ptr passed by value,
// which the ABI passes as the address of the caller's object and the caller
// destroys: the wrapper passes that address on, or leaves the state to the
// caller when it throws.
#define YVK_START_THREAD _ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE
#define YVK_CONCAT2(a, b) a##b
#define YVK_CONCAT(a, b) YVK_CONCAT2(a, b)
void YVK_CONCAT(__real_, YVK_START_THREAD)(std::thread* self, void* state, void (*depend)());
void YVK_CONCAT(__wrap_, YVK_START_THREAD)(std::thread* self, void* state, void (*depend)()) {
    if (shouldFail(Service::ThreadStart))
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "injected thread start failure");
    YVK_CONCAT(__real_, YVK_START_THREAD)(self, state, depend);
}

} // extern "C"
