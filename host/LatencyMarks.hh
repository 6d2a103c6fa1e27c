// Frame marks for the delivery benchmarks: the host puts a numbered SEI
// (user data unregistered, the UUID spelling "yvk-latency-mark") in front of
// each access unit it lends, and notes the instant its popStream hands each
// numbered record to the library.  A client that finds the number in what
// it receives (the first RTP packet of a picture, or a Transport Stream
// segment) can then tell how long after the hand-over it arrived, without
// any clock mapping: both sides read CLOCK_REALTIME on one machine.
#ifndef YVK_HOST_LATENCY_MARKS_HH
#define YVK_HOST_LATENCY_MARKS_HH

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace latency_marks {

// The SEI's 16-byte UUID, followed in the payload by the frame number as
// ten decimal digits: no zero byte, so no emulation prevention is needed.
constexpr char kTag[] = "yvk-latency-mark";
constexpr size_t kTagSize = sizeof kTag - 1;
constexpr size_t kDigits = 10;

// The SEI NAL unit for frame (modulo 10^10), with a four-byte start code.
std::vector<uint8_t> seiFor(uint64_t frame, bool h265);
// The first mark in size bytes (a NAL unit, or any stretch of a stream
// whose mark is not cut apart); false when there is none.
bool find(const uint8_t* data, size_t size, uint64_t& frame);
// CLOCK_REALTIME in nanoseconds.
int64_t realtimeNs();

} // namespace latency_marks

// The instants at which numbered records were handed out.  Bounded: notes
// beyond the capacity are counted, not kept.  note() runs on the library's
// reader thread, write() after the instance is gone.
class PopLog {
public:
    explicit PopLog(size_t capacity) : fEntries(new Entry[capacity]), fCapacity(capacity) {}
    void note(uint64_t frame);
    // One line "frame realtime_ns" per note; false when the file cannot be written.
    bool write(const std::string& path) const;
    size_t size() const;
    uint64_t lost() const { return fLost.load(); }

private:
    struct Entry {
        uint64_t frame;
        int64_t ns;
    };
    std::unique_ptr<Entry[]> fEntries;
    const size_t fCapacity;
    std::atomic<size_t> fCount{0};
    std::atomic<uint64_t> fLost{0};
};

#endif // YVK_HOST_LATENCY_MARKS_HH
