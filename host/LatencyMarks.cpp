#include "LatencyMarks.hh"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace latency_marks {

namespace {
constexpr uint64_t kModulo = 10000000000ull; // ten digits
constexpr uint8_t kUserDataUnregistered = 5;
} // namespace

std::vector<uint8_t> seiFor(uint64_t frame, bool h265) {
    std::vector<uint8_t> nal = {0, 0, 0, 1};
    if (h265) {
        nal.push_back(39 << 1); // prefix SEI, layer 0
        nal.push_back(1);       // temporal id 0
    } else {
        nal.push_back(0x06);
    }
    nal.push_back(kUserDataUnregistered);
    nal.push_back(static_cast<uint8_t>(kTagSize + kDigits));
    nal.insert(nal.end(), kTag, kTag + kTagSize);
    char digits[kDigits + 1];
    std::snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(frame % kModulo));
    nal.insert(nal.end(), digits, digits + kDigits);
    nal.push_back(0x80); // rbsp trailing bits
    return nal;
}

bool find(const uint8_t* data, size_t size, uint64_t& frame) {
    if (data == nullptr) return false;
    const uint8_t* end = data + size;
    const uint8_t* at = std::search(data, end, kTag, kTag + kTagSize);
    if (at == end || static_cast<size_t>(end - at) < kTagSize + kDigits) return false;
    uint64_t value = 0;
    for (size_t i = 0; i < kDigits; ++i) {
        uint8_t digit = at[kTagSize + i];
        if (digit < '0' || digit > '9') return false;
        value = value * 10 + (digit - '0');
    }
    frame = value;
    return true;
}

int64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace latency_marks

void PopLog::note(uint64_t frame) {
    int64_t ns = latency_marks::realtimeNs();
    size_t index = fCount.load(std::memory_order_relaxed);
    if (index >= fCapacity) {
        fLost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    fEntries[index] = {frame, ns};
    fCount.store(index + 1, std::memory_order_release); // one writer: the reader thread
}

size_t PopLog::size() const {
    return fCount.load(std::memory_order_acquire);
}

bool PopLog::write(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    size_t count = size();
    for (size_t i = 0; i < count; ++i)
        std::fprintf(file, "%llu %lld\n", static_cast<unsigned long long>(fEntries[i].frame),
                     static_cast<long long>(fEntries[i].ns));
    return std::fclose(file) == 0;
}
