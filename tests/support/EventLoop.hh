// Drives a live555 event loop from a test until a condition holds.
#ifndef YVK_TEST_EVENT_LOOP_HH
#define YVK_TEST_EVENT_LOOP_HH

#include <UsageEnvironment.hh>

#include <functional>
#include <thread>

namespace yvk::test {

// Runs env's loop until done() is true (checked every 5 ms) or timeoutMs
// passed; returns done().
bool runLoopUntil(UsageEnvironment& env, const std::function<bool()>& done, int timeoutMs);

// Runs env's loop for about the given time.
void runLoopFor(UsageEnvironment& env, int milliseconds);

// Runs env's loop on a thread of its own from construction to stop() or
// destruction, while the test talks to it from outside.  Only the loop
// thread touches the live555 objects meanwhile.
class LoopThread {
public:
    explicit LoopThread(UsageEnvironment& env);
    ~LoopThread();
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;
    void stop();

private:
    EventLoopWatchVariable fStop{0};
    std::thread fThread;
};

} // namespace yvk::test

#endif
