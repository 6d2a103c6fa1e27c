// A live555 task scheduler that waits with epoll instead of select().
//
// BasicTaskScheduler hands select() every registered socket on every turn of
// the loop and then walks its whole handler list, so a turn costs in
// proportion to the number of clients, and it ignores descriptors of
// FD_SETSIZE (1024) and above, whose clients are accepted but never served.
// Here the kernel keeps the interest set: a turn costs what the ready
// descriptors cost, and any descriptor number is served.
//
// One turn (SingleStep) follows BasicTaskScheduler's: it waits at most until
// the next delayed task (and at most maxDelayTime and the granularity), runs
// the handler of ONE ready socket, then ONE triggered event, then the delayed
// tasks that have come due.  The epoll wait takes one event at a time, and
// the kernel then hands the ready descriptors out in turn, so a busy socket
// cannot starve the others.  triggerEvent also wakes the wait (an eventfd),
// so a triggered event runs at once instead of at the next tick.
//
// Descriptors epoll cannot watch (regular files, which live555's file
// sources register) count as always ready, as select() reports them; their
// handlers take every other turn while there are any.
//
// Owned by whoever creates it; delete it after the environment's reclaim().
#ifndef YVK_EPOLL_TASK_SCHEDULER_HH
#define YVK_EPOLL_TASK_SCHEDULER_HH

#include <BasicUsageEnvironment0.hh>

#include <atomic>
#include <cstdint>
#include <vector>

struct epoll_event;

class EpollTaskScheduler : public BasicTaskScheduler0 {
public:
    // maxSchedulerGranularity: the longest wait in microseconds (0: no
    // limit), so that a watch variable set by another thread is seen in
    // time.  Null, with errno set, when the epoll instance or its eventfd
    // cannot be made.
    static EpollTaskScheduler* createNew(unsigned maxSchedulerGranularity = 10000);
    ~EpollTaskScheduler() override;

    void doEventLoop(EventLoopWatchVariable* watchVariable = nullptr) override;
    void SingleStep(unsigned maxDelayTime = 0) override;

    void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                               void* clientData) override;
    void moveSocketHandling(int oldSocketNum, int newSocketNum) override;

    void deleteEventTrigger(EventTriggerId eventTriggerId) override;
    // The base walks its whole timer queue for a null token; callers that
    // stop a task which is not scheduled (every frame, for some) then pay
    // for every client's timers.
    void unscheduleDelayedTask(TaskToken& prevTask) override;
    // Callable from any thread, like the base's.
    void triggerEvent(EventTriggerId eventTriggerId, void* clientData = nullptr) override;

protected:
    EpollTaskScheduler(int epollFd, int wakeFd, unsigned maxSchedulerGranularity); // called only by createNew

private:
    struct Handler {
        int conditionSet = 0; // 0: none registered
        bool alwaysReady = false;
        BackgroundHandlerProc* proc = nullptr;
        void* clientData = nullptr;
    };

    Handler* slotFor(int socketNum);
    bool watch(int socketNum, int conditionSet, bool known);
    void forget(int socketNum);
    int64_t waitMicroseconds(unsigned maxDelayTime);
    int wait(epoll_event& ready, int64_t microseconds);
    void handleReadySocket(const epoll_event& ready);
    void handleAlwaysReady();
    void handleOneTrigger();
    void drainWakeFd();

    const int fEpollFd;
    const int fWakeFd; // eventfd written by triggerEvent, read by the loop
    const unsigned fMaxSchedulerGranularity;
    std::vector<Handler> fByDescriptor;  // indexed by descriptor
    std::vector<int> fAlwaysReady;       // descriptors epoll refused
    size_t fNextAlwaysReady = 0;
    bool fAlwaysReadyTurn = false;
    bool fPreciseWait = true;            // epoll_pwait2 is there
    bool fWaitFailureTraced = false;
    // Triggered events not yet handled, bits as in EventTriggerId; set from
    // any thread, cleared by the loop.
    std::atomic<EventTriggerId> fPendingTriggers{0};
};

#endif // YVK_EPOLL_TASK_SCHEDULER_HH
