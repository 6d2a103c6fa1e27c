#include "EpollTaskScheduler.hh"

#include "yvk_system.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#define YVK_TRACE_MODULE "EpollTaskScheduler"

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr int64_t kLongestWaitSeconds = 1000000; // an empty queue reports an eternity
constexpr int kAllConditions = SOCKET_READABLE | SOCKET_WRITABLE | SOCKET_EXCEPTION;

uint32_t epollEventsFor(int conditionSet) {
    uint32_t events = 0;
    if ((conditionSet & SOCKET_READABLE) != 0) events |= EPOLLIN;
    if ((conditionSet & SOCKET_WRITABLE) != 0) events |= EPOLLOUT;
    if ((conditionSet & SOCKET_EXCEPTION) != 0) events |= EPOLLPRI;
    return events; // EPOLLERR and EPOLLHUP are always reported
}

// What a handler registered for conditionSet is told.  select() counts an
// error or hang-up as readable (and an error as writable); here either wakes
// the handler with every condition it asked for, so that a descriptor which
// only reports a hang-up cannot keep the wait returning without a handler
// that could deal with it.
int conditionsOf(uint32_t events, int conditionSet) {
    int result = 0;
    if ((events & EPOLLIN) != 0) result |= SOCKET_READABLE;
    if ((events & EPOLLOUT) != 0) result |= SOCKET_WRITABLE;
    if ((events & EPOLLPRI) != 0) result |= SOCKET_EXCEPTION;
    if ((events & (EPOLLERR | EPOLLHUP)) != 0) result |= conditionSet;
    return result & conditionSet;
}

// The trigger's bit for index i, as BasicTaskScheduler0 numbers them.
EventTriggerId triggerMask(unsigned i) { return static_cast<EventTriggerId>(EVENT_TRIGGER_ID_HIGH_BIT) >> i; }

} // namespace

EpollTaskScheduler* EpollTaskScheduler::createNew(unsigned maxSchedulerGranularity) {
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) return nullptr;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wakeFd;
    if (wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
        int reason = errno;
        if (wakeFd >= 0) close(wakeFd);
        close(epollFd);
        errno = reason;
        return nullptr;
    }
    auto* scheduler = new (std::nothrow) EpollTaskScheduler(epollFd, wakeFd, maxSchedulerGranularity);
    if (scheduler == nullptr) {
        close(wakeFd);
        close(epollFd);
        errno = ENOMEM;
    }
    return scheduler;
}

EpollTaskScheduler::EpollTaskScheduler(int epollFd, int wakeFd, unsigned maxSchedulerGranularity)
    : fEpollFd(epollFd), fWakeFd(wakeFd), fMaxSchedulerGranularity(maxSchedulerGranularity) {}

EpollTaskScheduler::~EpollTaskScheduler() {
    close(fWakeFd);
    close(fEpollFd);
}

// The base's is built with another watch-variable type than its header
// declares, and cannot be linked to.
void EpollTaskScheduler::doEventLoop(EventLoopWatchVariable* watchVariable) {
    while (watchVariable == nullptr || *watchVariable == 0) SingleStep();
}

void EpollTaskScheduler::SingleStep(unsigned maxDelayTime) {
    if (!fAlwaysReady.empty()) fAlwaysReadyTurn = !fAlwaysReadyTurn;
    if (!fAlwaysReady.empty() && fAlwaysReadyTurn) {
        handleAlwaysReady();
    } else {
        epoll_event ready{};
        int count = wait(ready, waitMicroseconds(maxDelayTime));
        if (count == 1 && ready.data.fd == fWakeFd) {
            drainWakeFd(); // before the triggers are looked at, so none is missed
        } else if (count == 1) {
            handleReadySocket(ready);
        } else if (!fAlwaysReady.empty()) {
            handleAlwaysReady(); // no socket was ready: no turn is wasted
        }
    }
    // After the socket handler, which may change what the triggered handler
    // finds (live555 keeps this order).
    handleOneTrigger();
    fDelayQueue.handleAlarm();
}

// Up to the next delayed task, within maxDelayTime and the granularity;
// nothing while work is waiting.
int64_t EpollTaskScheduler::waitMicroseconds(unsigned maxDelayTime) {
    if (fPendingTriggers.load(std::memory_order_acquire) != 0 || !fAlwaysReady.empty()) return 0;
    DelayInterval const& toAlarm = fDelayQueue.timeToNextAlarm();
    int64_t seconds = std::min<int64_t>(toAlarm.seconds(), kLongestWaitSeconds);
    int64_t microseconds = seconds * kMicrosecondsPerSecond + toAlarm.useconds();
    if (maxDelayTime > 0) microseconds = std::min<int64_t>(microseconds, maxDelayTime);
    if (fMaxSchedulerGranularity > 0) microseconds = std::min<int64_t>(microseconds, fMaxSchedulerGranularity);
    return std::max<int64_t>(microseconds, 0);
}

// Waits for one event; returns epoll's count.  Kernels before 5.11 lack
// epoll_pwait2 and take whole milliseconds, rounded up so that a delayed task
// is never woken for too early (which would spin until it is due).
int EpollTaskScheduler::wait(epoll_event& ready, int64_t microseconds) {
    int count = -1;
    if (fPreciseWait) {
        timespec timeout{static_cast<time_t>(microseconds / kMicrosecondsPerSecond),
                         static_cast<long>(microseconds % kMicrosecondsPerSecond) * 1000};
        count = epoll_pwait2(fEpollFd, &ready, 1, &timeout, nullptr);
        if (count < 0 && errno == ENOSYS) fPreciseWait = false;
    }
    if (!fPreciseWait) count = epoll_wait(fEpollFd, &ready, 1, static_cast<int>((microseconds + 999) / 1000));
    if (count < 0 && errno != EINTR && !fWaitFailureTraced) {
        // Cannot happen while the instance is ours; the loop goes on with
        // its tasks and triggers.
        fWaitFailureTraced = true;
        YVK_TRACE(YVK_TRACE_ERROR, "epoll wait failed: %s\n", std::strerror(errno));
    }
    return count;
}

void EpollTaskScheduler::handleReadySocket(const epoll_event& ready) {
    int socketNum = ready.data.fd;
    Handler* handler = socketNum < static_cast<int>(fByDescriptor.size()) ? &fByDescriptor[socketNum] : nullptr;
    if (handler == nullptr || handler->conditionSet == 0) {
        // Left from a descriptor closed without its handling turned off.
        epoll_ctl(fEpollFd, EPOLL_CTL_DEL, socketNum, nullptr);
        return;
    }
    int conditions = conditionsOf(ready.events, handler->conditionSet);
    if (conditions == 0) return;
    fLastHandledSocketNum = socketNum;
    // By value: the handler may change its own slot or grow the table.
    BackgroundHandlerProc* proc = handler->proc;
    void* clientData = handler->clientData;
    proc(clientData, conditions);
}

// The next always-ready descriptor in turn; select() reports a regular file
// readable and writable.
void EpollTaskScheduler::handleAlwaysReady() {
    if (fNextAlwaysReady >= fAlwaysReady.size()) fNextAlwaysReady = 0;
    int socketNum = fAlwaysReady[fNextAlwaysReady++];
    const Handler& handler = fByDescriptor[socketNum];
    int conditions = handler.conditionSet & (SOCKET_READABLE | SOCKET_WRITABLE);
    if (conditions == 0) return;
    fLastHandledSocketNum = socketNum;
    BackgroundHandlerProc* proc = handler.proc;
    void* clientData = handler.clientData;
    proc(clientData, conditions);
}

// One pending trigger, in turn from the last one handled.  Its bit is
// cleared before its handler runs, so a trigger fired meanwhile is kept.
void EpollTaskScheduler::handleOneTrigger() {
    EventTriggerId pending = fPendingTriggers.load(std::memory_order_acquire);
    if (pending == 0) return;
    unsigned i = fLastUsedTriggerNum;
    do {
        i = (i + 1) % MAX_NUM_EVENT_TRIGGERS;
        EventTriggerId mask = triggerMask(i);
        if ((pending & mask) == 0) continue;
        fPendingTriggers.fetch_and(~mask, std::memory_order_acq_rel);
        fLastUsedTriggerNum = i;
        fLastUsedTriggerMask = mask;
        if (fTriggeredEventHandlers[i] != nullptr) fTriggeredEventHandlers[i](fTriggeredEventClientDatas[i]);
        return;
    } while (i != fLastUsedTriggerNum);
}

void EpollTaskScheduler::drainWakeFd() {
    uint64_t count = 0;
    while (read(fWakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
}

void EpollTaskScheduler::triggerEvent(EventTriggerId eventTriggerId, void* clientData) {
    BasicTaskScheduler0::triggerEvent(eventTriggerId, clientData); // the client data
    // Only the first pending trigger wakes the loop: while any is pending
    // the loop does not wait.
    if (fPendingTriggers.fetch_or(eventTriggerId, std::memory_order_acq_rel) != 0) return;
    uint64_t one = 1;
    ssize_t written = write(fWakeFd, &one, sizeof one);
    (void)written; // only fails when the counter is full, and then it is readable
}

void EpollTaskScheduler::deleteEventTrigger(EventTriggerId eventTriggerId) {
    fPendingTriggers.fetch_and(~eventTriggerId, std::memory_order_acq_rel);
    BasicTaskScheduler0::deleteEventTrigger(eventTriggerId);
}

void EpollTaskScheduler::unscheduleDelayedTask(TaskToken& prevTask) {
    if (prevTask != nullptr) BasicTaskScheduler0::unscheduleDelayedTask(prevTask);
}

void EpollTaskScheduler::setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                                               void* clientData) {
    if (socketNum < 0) return;
    conditionSet &= kAllConditions;
    if (conditionSet == 0 || handlerProc == nullptr) {
        forget(socketNum);
        return;
    }
    Handler* slot = slotFor(socketNum);
    if (slot == nullptr) return;
    if (!slot->alwaysReady && !watch(socketNum, conditionSet, slot->conditionSet != 0)) {
        if (errno != EPERM) {
            YVK_TRACE(YVK_TRACE_ERROR, "descriptor %d not watched: %s\n", socketNum, std::strerror(errno));
            forget(socketNum);
            return;
        }
        slot->alwaysReady = true; // a regular file: select() always reports it
        fAlwaysReady.push_back(socketNum);
    }
    slot->conditionSet = conditionSet;
    slot->proc = handlerProc;
    slot->clientData = clientData;
}

void EpollTaskScheduler::moveSocketHandling(int oldSocketNum, int newSocketNum) {
    if (oldSocketNum < 0 || newSocketNum < 0 || oldSocketNum == newSocketNum) return;
    if (oldSocketNum >= static_cast<int>(fByDescriptor.size())) return;
    Handler moved = fByDescriptor[oldSocketNum];
    forget(oldSocketNum);
    if (moved.conditionSet != 0) setBackgroundHandling(newSocketNum, moved.conditionSet, moved.proc, moved.clientData);
}

// The descriptor's slot, the table grown to hold it; null when memory ran out.
EpollTaskScheduler::Handler* EpollTaskScheduler::slotFor(int socketNum) {
    size_t index = static_cast<size_t>(socketNum);
    if (index >= fByDescriptor.size()) {
        try {
            fByDescriptor.resize(std::max(index + 1, fByDescriptor.size() * 2));
        } catch (const std::bad_alloc&) {
            YVK_TRACE(YVK_TRACE_ERROR, "no memory for the handler of descriptor %d\n", socketNum);
            return nullptr;
        }
    }
    return &fByDescriptor[index];
}

// Adds the descriptor to the epoll instance or changes its events.  A
// descriptor closed and opened again without its handling turned off has
// left the instance (known but absent), or a new one is already in it.
bool EpollTaskScheduler::watch(int socketNum, int conditionSet, bool known) {
    epoll_event event{};
    event.events = epollEventsFor(conditionSet);
    event.data.fd = socketNum;
    if (epoll_ctl(fEpollFd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socketNum, &event) == 0) return true;
    if (errno == ENOENT) return epoll_ctl(fEpollFd, EPOLL_CTL_ADD, socketNum, &event) == 0;
    if (errno == EEXIST) return epoll_ctl(fEpollFd, EPOLL_CTL_MOD, socketNum, &event) == 0;
    return false;
}

void EpollTaskScheduler::forget(int socketNum) {
    if (socketNum >= static_cast<int>(fByDescriptor.size())) return;
    Handler& slot = fByDescriptor[socketNum];
    if (slot.alwaysReady) {
        fAlwaysReady.erase(std::find(fAlwaysReady.begin(), fAlwaysReady.end(), socketNum));
    } else if (slot.conditionSet != 0) {
        epoll_ctl(fEpollFd, EPOLL_CTL_DEL, socketNum, nullptr); // already gone if it was closed
    }
    slot = Handler{};
}
