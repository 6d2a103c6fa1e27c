// Collects the trace lines of the library while it is in scope.
#ifndef YVK_TEST_TRACE_CAPTURE_HH
#define YVK_TEST_TRACE_CAPTURE_HH

#include <mutex>
#include <string>
#include <vector>

namespace yvk::test {

struct TraceLine {
    int level;
    std::string module;
    std::string function;
    std::string message;   // without the trailing newline
};

class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<TraceLine> lines() const;
    // Whether some line's message contains text.
    bool contains(const std::string& text) const { return indexOf(text) >= 0; }
    // Index of the first line whose message contains text, or -1.
    int indexOf(const std::string& text) const;

private:
    static void sink(void* context, int level, const char* module, const char* function, const char* message);

    mutable std::mutex fMutex;
    std::vector<TraceLine> fLines;
};

} // namespace yvk::test

#endif
