// Drives a live555 event loop from a test until a condition holds.
#ifndef YVK_TEST_EVENT_LOOP_HH
#define YVK_TEST_EVENT_LOOP_HH

#include <functional>

class UsageEnvironment;

namespace yvk::test {

// Runs env's loop until done() is true (checked every 5 ms) or timeoutMs
// passed; returns done().
bool runLoopUntil(UsageEnvironment& env, const std::function<bool()>& done, int timeoutMs);

// Runs env's loop for about the given time.
void runLoopFor(UsageEnvironment& env, int milliseconds);

} // namespace yvk::test

#endif
