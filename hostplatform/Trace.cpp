// YVK_Trace on a Linux host: one line per call on standard error.
//
// The level filter comes from the environment variable YVK_TRACE_LEVEL,
// read once: 0 silences everything, 1 keeps errors, 2 (the default) adds
// information, 3 adds debug lines.
#include "yvk_host_platform.h"
#include "yvk_system.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

int levelFromEnvironment() {
    const char* text = std::getenv("YVK_TRACE_LEVEL");
    if (text == nullptr || *text == '\0') return YVK_TRACE_INFO;
    char* end = nullptr;
    long level = std::strtol(text, &end, 10);
    if (*end != '\0' || level < 0) return YVK_TRACE_INFO;
    return static_cast<int>(level);
}

const char* baseName(const char* path) {
    if (path == nullptr) return "?";
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

char levelLetter(int level) {
    switch (level) {
    case YVK_TRACE_ERROR: return 'E';
    case YVK_TRACE_INFO: return 'I';
    default: return 'D';
    }
}

std::mutex gSinkMutex;
YVKTraceSink gSink = nullptr;
void* gSinkContext = nullptr;

std::string formatMessage(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return "(unformattable trace message)";
    std::string message;
    if (static_cast<size_t>(length) < sizeof small) {
        message.assign(small, static_cast<size_t>(length));
    } else {
        message.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&message[0], message.size(), format, args);
        message.resize(static_cast<size_t>(length));
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}

} // namespace

extern "C" void YVK_HostSetTraceSink(YVKTraceSink sink, void* context) {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    gSink = sink;
    gSinkContext = context;
}

extern "C" void YVK_Trace(const char* module, int level, const char* source, int line,
                          const char* function, const char* format, ...) {
    static const int gMaxLevel = levelFromEnvironment();
    if (format == nullptr) return;
    bool wanted = level <= gMaxLevel;
    {
        std::lock_guard<std::mutex> lock(gSinkMutex);
        if (!wanted && gSink == nullptr) return;
    }
    va_list args;
    va_start(args, format);
    std::string message = formatMessage(format, args);
    va_end(args);

    const char* moduleName = module != nullptr ? module : "?";
    const char* functionName = function != nullptr ? function : "?";
    {
        std::lock_guard<std::mutex> lock(gSinkMutex);
        if (gSink != nullptr) gSink(gSinkContext, level, moduleName, functionName, message.c_str());
    }
    if (!wanted) return;
    // One write per line, so lines from several threads never interleave.
    std::string out;
    out.reserve(message.size() + 96);
    out += '[';
    out += levelLetter(level);
    out += "] ";
    out += moduleName;
    out += ' ';
    out += baseName(source);
    out += ':';
    out += std::to_string(line);
    out += ' ';
    out += functionName;
    out += ": ";
    out += message;
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
}
