#include "TraceCapture.hh"

#include "yvk_host_platform.h"

namespace yvk::test {

TraceCapture::TraceCapture() { YVK_HostSetTraceSink(&TraceCapture::sink, this); }
TraceCapture::~TraceCapture() { YVK_HostSetTraceSink(nullptr, nullptr); }

void TraceCapture::sink(void* context, int level, const char* module, const char* function, const char* message) {
    auto* self = static_cast<TraceCapture*>(context);
    std::lock_guard<std::mutex> lock(self->fMutex);
    self->fLines.push_back({level, module, function, message});
}

std::vector<TraceLine> TraceCapture::lines() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fLines;
}

int TraceCapture::indexOf(const std::string& text) const {
    std::lock_guard<std::mutex> lock(fMutex);
    for (size_t i = 0; i < fLines.size(); ++i) {
        if (fLines[i].message.find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
}

} // namespace yvk::test
