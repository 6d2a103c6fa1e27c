#include "EventLoop.hh"

#include <chrono>

namespace yvk::test {

namespace {

struct LoopWatch {
    UsageEnvironment& env;
    const std::function<bool()>& done;
    std::chrono::steady_clock::time_point deadline;
    EventLoopWatchVariable stop{0};

    static void check(void* data) {
        auto* watch = static_cast<LoopWatch*>(data);
        if (watch->done() || std::chrono::steady_clock::now() >= watch->deadline) watch->stop = 1;
        else watch->env.taskScheduler().scheduleDelayedTask(5000, check, watch);
    }
};

} // namespace

bool runLoopUntil(UsageEnvironment& env, const std::function<bool()>& done, int timeoutMs) {
    LoopWatch watch{env, done, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)};
    env.taskScheduler().scheduleDelayedTask(0, LoopWatch::check, &watch);
    env.taskScheduler().doEventLoop(&watch.stop);
    return done();
}

void runLoopFor(UsageEnvironment& env, int milliseconds) {
    runLoopUntil(env, [] { return false; }, milliseconds);
}

LoopThread::LoopThread(UsageEnvironment& env)
    : fThread([this, &env] { env.taskScheduler().doEventLoop(&fStop); }) {}

LoopThread::~LoopThread() { stop(); }

void LoopThread::stop() {
    fStop = 1;
    if (fThread.joinable()) fThread.join();
}

} // namespace yvk::test
