// The countdown switches of the faulty platform: "fail the Nth call of
// service S".  The test executable that links FaultyPlatform.cpp has every
// call of the library into these services routed through them at link time
// (see CMakeLists.txt); the shipping platform library is not touched.
#ifndef YVK_TEST_FAULT_SWITCH_HH
#define YVK_TEST_FAULT_SWITCH_HH

#include <cstddef>

namespace yvk::test {

enum class Service {
    Allocation,    // YVK_Malloc
    QueueCreation, // queue_new
    ThreadStart,   // std::thread started by the library
    DemuxOpen,     // YVK_StreamerDemuxOpen
    DemuxRead,     // YVK_StreamerDemuxRead{Video,Audio,Text}, YVK_StreamerTransGetStream
    EncoderOpen,   // YVK_AAC_EncNew, YVK_MP3_DecNew, YVK_StreamerTransOpen
};
constexpr int kServiceCount = 6;
const char* serviceName(Service service);

// Counting starts afresh: the nth call of service (from 1) fails, and with
// sticky every later call too; every other service works.  nth 0 fails
// nothing and only counts.
void armFault(Service service, int nth, bool sticky = false);
// Nothing fails any more (the counts stay readable).
void disarmFaults();
// Calls of the service since the last armFault.
int serviceCalls(Service service);
// Calls that were made to fail since the last armFault, and those of them
// whose failure needs no trace: a subtitle poll that finds no text is what
// the reader sees between subtitles, and it polls again.
int failedCalls(Service service);
int quietFailures(Service service);

// YVK_Malloc blocks not yet given back to YVK_Free, and YVK_Free calls with a
// pointer that was not outstanding (a double or foreign release).
size_t outstandingAllocations();
int foreignFrees();

} // namespace yvk::test

#endif
