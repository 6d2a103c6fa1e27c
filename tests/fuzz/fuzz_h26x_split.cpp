// Live video records as any host may lend them: the video source cuts each
// into NAL units (three- and four-byte start codes), captures the parameter
// sets and builds the SDP's parameter text.  The first input byte chooses
// the codec (bit 0) and whether units keep their start code (bit 1, the
// HTTP streaming mode); the rest is one record.  Every unit must lie inside
// the record, follow the one before, and the text must hold only the SDP's
// characters.
#include "FuzzSupport.hh"
#include "H26xQueueSource.hh"

#include <BasicUsageEnvironment.hh>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class SplittingProbe : public H26xQueueSource {
public:
    SplittingProbe(UsageEnvironment& env, const char* format)
        : H26xQueueSource(env, format, 25, 1280, 720, YVKStreamerQIO{}, false) {}
    using H26xQueueSource::fKeepStartCode;
    using H26xQueueSource::fUnitCount;
    using H26xQueueSource::splitFrames;
};

bool sdpText(const std::string& text) {
    for (unsigned char c : text) {
        if (!std::isalnum(c) && std::strchr("+/=;,-", c) == nullptr) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool h265 = (data[0] & 1) != 0;
    auto* source = new SplittingProbe(yvk::fuzz::environment(), h265 ? "video/H265" : "video/H264");
    source->fKeepStartCode = (data[0] & 2) != 0;
    // Exactly the record's bytes, so a read past them is caught.
    std::vector<uint8_t> record(data + 1, data + size);
    bool key = false;
    H26xQueueSource::Unit* units = source->splitFrames(record.data(), static_cast<int>(record.size()), key);
    const uint8_t* begin = record.data();
    const uint8_t* end = begin + record.size();
    const uint8_t* previous = begin;
    for (int i = 0; i < source->fUnitCount; ++i) {
        const H26xQueueSource::Unit& unit = units[i];
        if (unit.size <= 0 || unit.data < previous || unit.data + unit.size > end) std::abort();
        if (unit.header < 0 || unit.header >= unit.size) std::abort();
        previous = unit.data + unit.size;
    }
    if (source->hasAuxLine() && !sdpText(source->getAuxLine())) std::abort();
    Medium::close(source);
    return 0;
}
