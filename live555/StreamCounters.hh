// What the server's statistics know of a stream: its description, given by
// the assembly that made it, and the counters its video source keeps.
#ifndef YVK_STREAM_COUNTERS_HH
#define YVK_STREAM_COUNTERS_HH

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Written by the video source's reader thread and loop thread, read by the
// statistics on the loop thread: relaxed atomics, never a lock.
struct StreamCounters {
    std::atomic<uint64_t> framesIn{0};       // host records taken
    std::atomic<uint64_t> framesDropped{0};  // records dropped unsent (overload, resync, bad data)
    std::atomic<int64_t> recordsInFlight{0}; // taken and not yet given back
};

struct StreamDescription {
    std::string name;
    std::string mode;      // "live" or "file"
    std::string delivery;  // "rtsp" or "hls"
    std::string codec;     // "H264", "H265"
    int width = 0;
    int height = 0;
    int frameRate = 0;
    std::shared_ptr<StreamCounters> counters; // shared with the source; null when none are kept
};

#endif // YVK_STREAM_COUNTERS_HH
