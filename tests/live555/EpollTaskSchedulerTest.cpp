// The epoll task scheduler turn by turn: what each socket condition wakes,
// handlers that change the handling of sockets (their own or others') in
// their turn, moved handling, fairness, regular files, descriptors above
// select()'s 1024, delayed tasks and waits, and events triggered from other
// threads.
#include "DescriptorLimit.hh"
#include "EpollTaskScheduler.hh"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReadable = SOCKET_READABLE;
constexpr int kWritable = SOCKET_WRITABLE;
constexpr int kException = SOCKET_EXCEPTION;
constexpr int64_t kWatchdogUs = 5000000; // ends a wait that nothing else ended

// A connected pair of non-blocking stream sockets: ours and the peer's.
struct SocketPair {
    int ours = -1, peer = -1;
    explicit SocketPair(bool tcp = false) { tcp ? connectTcp() : connectUnix(); }
    ~SocketPair() {
        closeOurs();
        closePeer();
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void send(const char* text = "x", int flags = 0) const { ASSERT_GT(::send(peer, text, 1, flags), 0); }
    void closeOurs() { closeFd(ours); }
    void closePeer() { closeFd(peer); }

private:
    static void closeFd(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void connectUnix() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0) ours = fds[0], peer = fds[1];
    }
    // Loopback TCP, for urgent data.
    void connectTcp() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* any = reinterpret_cast<sockaddr*>(&address);
        if (bind(listener, any, length) == 0 && listen(listener, 1) == 0 && getsockname(listener, any, &length) == 0) {
            peer = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(peer, any, length) == 0) ours = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        }
        ::close(listener);
    }
};

// What one handler was told, turn by turn.
struct Calls {
    std::vector<int> masks;
    std::function<void()> onCall; // what the handler does in its turn
    int count() const { return static_cast<int>(masks.size()); }
};

void recordCall(void* calls, int mask) {
    auto* c = static_cast<Calls*>(calls);
    c->masks.push_back(mask);
    if (c->onCall) c->onCall();
}

class EpollScheduler : public ::testing::Test {
protected:
    void make(unsigned granularity) { fScheduler.reset(EpollTaskScheduler::createNew(granularity)); }
    void watch(int fd, Calls& calls, int conditions = kReadable) {
        fScheduler->setBackgroundHandling(fd, conditions, recordCall, &calls);
    }
    void steps(int count, unsigned maxDelayTime = 0) {
        for (int i = 0; i < count; ++i) fScheduler->SingleStep(maxDelayTime);
    }
    // Milliseconds one turn took.
    double timedStep(unsigned maxDelayTime) {
        auto start = Clock::now();
        fScheduler->SingleStep(maxDelayTime);
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    // A task far out, so that a wait that nothing else ends still ends (and
    // with it the loop watching loopStop).
    void armWatchdog(EventLoopWatchVariable* loopStop = nullptr) {
        fWatchdogFired = false;
        fWatchdogStop = loopStop;
        fScheduler->scheduleDelayedTask(kWatchdogUs, [](void* test) {
            auto* self = static_cast<EpollScheduler*>(test);
            self->fWatchdogFired = true;
            if (self->fWatchdogStop != nullptr) *self->fWatchdogStop = 1;
        }, this);
    }

    std::unique_ptr<EpollTaskScheduler> fScheduler{EpollTaskScheduler::createNew(10000)};
    bool fWatchdogFired = false;
    EventLoopWatchVariable* fWatchdogStop = nullptr;
};

// ---- Socket conditions ------------------------------------------------------

struct ConditionCase {
    const char* name;
    bool tcp;
    int registered;
    void (*make)(SocketPair&);
    int told; // 0: the handler is not called
};

const ConditionCase kConditionCases[] = {
    {"data, read handler", false, kReadable, [](SocketPair& p) { p.send(); }, kReadable},
    {"nothing, read handler", false, kReadable, [](SocketPair&) {}, 0},
    {"room, write handler", false, kWritable, [](SocketPair&) {}, kWritable},
    {"data and room, both", false, kReadable | kWritable, [](SocketPair& p) { p.send(); }, kReadable | kWritable},
    {"data, exception handler only", false, kException, [](SocketPair& p) { p.send(); }, 0},
    // select() reports a hang-up as readable
    {"peer gone, read handler", false, kReadable, [](SocketPair& p) { p.closePeer(); }, kReadable},
    {"peer gone, write handler", false, kWritable, [](SocketPair& p) { p.closePeer(); }, kWritable},
    {"peer gone, exception handler", false, kException, [](SocketPair& p) { p.closePeer(); }, kException},
    {"urgent data, exception handler", true, kException, [](SocketPair& p) { p.send("u", MSG_OOB); }, kException},
};

TEST_F(EpollScheduler, TellsEachHandlerTheConditionsItAskedFor) {
    for (const auto& c : kConditionCases) {
        SCOPED_TRACE(c.name);
        make(10000);
        SocketPair pair(c.tcp);
        ASSERT_GE(pair.ours, 0);
        Calls calls;
        watch(pair.ours, calls, c.registered);
        c.make(pair);
        steps(3);
        if (c.told == 0) {
            EXPECT_EQ(calls.count(), 0);
        } else {
            ASSERT_GE(calls.count(), 1);
            EXPECT_EQ(calls.masks.front(), c.told);
        }
        fScheduler->disableBackgroundHandling(pair.ours);
    }
}

TEST_F(EpollScheduler, ServesReadySocketsInTurn) {
    std::array<SocketPair, 3> pairs;
    std::array<Calls, 3> calls;
    for (size_t i = 0; i < pairs.size(); ++i) {
        watch(pairs[i].ours, calls[i]);
        pairs[i].send(); // never read: ready on every turn
    }
    steps(30);
    for (const auto& c : calls) EXPECT_GE(c.count(), 8) << "one socket took the others' turns";
}

// ---- Handlers that change handling in their turn -----------------------------

struct ChangeCase {
    const char* name;
    // What the handler that runs first does to the other socket.
    void (*act)(EpollTaskScheduler&, SocketPair& other, SocketPair& spare);
};

const ChangeCase kChangeCases[] = {
    {"turns it off", [](EpollTaskScheduler& s, SocketPair& o, SocketPair&) { s.disableBackgroundHandling(o.ours); }},
    {"turns it off and closes it",
     [](EpollTaskScheduler& s, SocketPair& o, SocketPair&) {
         s.disableBackgroundHandling(o.ours);
         o.closeOurs();
     }},
    {"closes it, handling left on", [](EpollTaskScheduler&, SocketPair& o, SocketPair&) { o.closeOurs(); }},
    {"moves it to an idle socket",
     [](EpollTaskScheduler& s, SocketPair& o, SocketPair& spare) { s.moveSocketHandling(o.ours, spare.ours); }},
    {"gives its number to an idle socket",
     [](EpollTaskScheduler&, SocketPair& o, SocketPair& spare) { ASSERT_EQ(dup2(spare.ours, o.ours), o.ours); }},
};

TEST_F(EpollScheduler, NoHandlerRunsAfterAnotherHandlerChangedItsSocket) {
    for (const auto& c : kChangeCases) {
        SCOPED_TRACE(c.name);
        make(10000);
        SocketPair a, b, spare;
        Calls onA, onB;
        bool acted = false;
        auto actOn = [&](SocketPair& other) {
            if (!acted) c.act(*fScheduler, other, spare);
            acted = true;
        };
        onA.onCall = [&] { actOn(b); };
        onB.onCall = [&] { actOn(a); };
        watch(a.ours, onA);
        watch(b.ours, onB);
        a.send();
        b.send();
        steps(6);
        EXPECT_EQ(std::min(onA.count(), onB.count()), 0) << "A ran " << onA.count() << ", B ran " << onB.count();
        EXPECT_GE(std::max(onA.count(), onB.count()), 1);
        for (int fd : {a.ours, b.ours, spare.ours})
            if (fd >= 0) fScheduler->disableBackgroundHandling(fd);
    }
}

// A socket closed with its handling left on, whose number then goes to a new
// socket with a handler of its own: only the new handler runs.
TEST_F(EpollScheduler, ReusedNumberServesItsNewHandlerOnly) {
    SocketPair old, fresh;
    Calls onOld, onFresh;
    watch(old.ours, onOld);
    int number = old.ours;
    old.closeOurs();
    ASSERT_EQ(dup2(fresh.ours, number), number);
    watch(number, onFresh);
    fresh.send();
    steps(3);
    EXPECT_EQ(onOld.count(), 0);
    EXPECT_GE(onFresh.count(), 1);
    fScheduler->disableBackgroundHandling(number);
    close(number);
}

// The handler turns its new socket off in its turn, the data left unread:
// it runs once.
TEST_F(EpollScheduler, MovedHandlingFollowsTheNewSocket) {
    SocketPair from, to;
    Calls calls;
    calls.onCall = [&] { fScheduler->disableBackgroundHandling(to.ours); };
    watch(from.ours, calls);
    fScheduler->moveSocketHandling(from.ours, to.ours);
    from.send();
    steps(3);
    EXPECT_EQ(calls.count(), 0) << "the old socket is still handled";
    to.send();
    steps(3);
    EXPECT_EQ(calls.masks, std::vector<int>{kReadable});
    fScheduler->moveSocketHandling(from.ours, to.ours); // nothing to move
    steps(2);
    EXPECT_EQ(calls.count(), 1);
}

// ---- Descriptors select() cannot take ---------------------------------------

// live555's file sources register their file: select() reports it ready on
// every turn, epoll refuses it.
TEST_F(EpollScheduler, RegularFileIsReadyOnEveryOtherTurnBesideSockets) {
    char name[] = "/tmp/epoll-file-XXXXXX";
    int file = mkstemp(name);
    ASSERT_GE(file, 0);
    unlink(name);
    SocketPair pair;
    Calls onFile, onSocket;
    watch(file, onFile);
    watch(pair.ours, onSocket);
    pair.send();
    steps(6);
    EXPECT_GE(onFile.count(), 2);
    EXPECT_GE(onSocket.count(), 2) << "the file took every turn";
    EXPECT_EQ(onFile.masks.front(), kReadable);
    fScheduler->disableBackgroundHandling(file);
    fScheduler->disableBackgroundHandling(pair.ours);
    close(file);
    EXPECT_GE(timedStep(20000), 9.0) << "a file no longer watched still keeps the wait short";
}

TEST_F(EpollScheduler, ServesDescriptorAboveSelectLimit) {
    constexpr int kHigh = 1500;
    if (!yvk::test::allowOpenFiles(kHigh + 1)) GTEST_SKIP() << "the hard limit of open files is below " << kHigh + 1;
    SocketPair pair;
    ASSERT_EQ(dup2(pair.ours, kHigh), kHigh);
    Calls calls;
    watch(kHigh, calls);
    pair.send();
    steps(3);
    EXPECT_EQ(calls.masks, std::vector<int>(calls.masks.size(), kReadable));
    EXPECT_GE(calls.count(), 1) << "descriptor " << kHigh << " was never served";
    fScheduler->disableBackgroundHandling(kHigh);
    close(kHigh);
}

// ---- Delayed tasks and waits -------------------------------------------------

TEST_F(EpollScheduler, RunsDelayedTasksInTimeOrderWithoutSpinning) {
    std::vector<int> ran;
    std::array<std::pair<int, std::vector<int>*>, 4> tasks{{{30, &ran}, {0, &ran}, {20, &ran}, {10, &ran}}};
    for (auto& task : tasks) {
        fScheduler->scheduleDelayedTask(task.first * 1000, [](void* t) {
            auto* entry = static_cast<std::pair<int, std::vector<int>*>*>(t);
            entry->second->push_back(entry->first);
        }, &task);
    }
    int turns = 0;
    while (ran.size() < tasks.size() && turns < 1000) {
        fScheduler->SingleStep();
        ++turns;
    }
    EXPECT_EQ(ran, (std::vector<int>{0, 10, 20, 30}));
    EXPECT_LT(turns, 50) << "the loop spun while waiting for its tasks";
}

TEST_F(EpollScheduler, ShortDelaysAreNotWokenForEarly) {
    for (int64_t delayUs : {300, 1500, 2500, 7000}) {
        SCOPED_TRACE(delayUs);
        make(0);
        bool ran = false;
        fScheduler->scheduleDelayedTask(delayUs, [](void* r) { *static_cast<bool*>(r) = true; }, &ran);
        int turns = 0;
        while (!ran && turns < 100) {
            fScheduler->SingleStep();
            ++turns;
        }
        EXPECT_TRUE(ran);
        EXPECT_LE(turns, 3);
    }
}

struct WaitCase {
    unsigned granularity, maxDelayTime;
    double shortestMs; // the turn waits at least this long
};

TEST_F(EpollScheduler, WaitIsBoundedByMaxDelayTimeAndGranularity) {
    const WaitCase cases[] = {{0, 20000, 19}, {10000, 0, 9}, {10000, 30000, 9}, {50000, 20000, 19}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "granularity " << c.granularity << ", maxDelayTime " << c.maxDelayTime);
        make(c.granularity);
        armWatchdog();
        EXPECT_GE(timedStep(c.maxDelayTime), c.shortestMs);
        EXPECT_FALSE(fWatchdogFired) << "the wait ran to the next task";
    }
}

// ---- Triggered events --------------------------------------------------------

struct TriggerLog {
    std::atomic<int> handled{0};
    std::vector<void*> clientDatas;
    EventLoopWatchVariable stop{0};
    int stopAfter = 1;
};

TriggerLog* gTriggerLog = nullptr;

void logTrigger(void* clientData) {
    gTriggerLog->clientDatas.push_back(clientData);
    if (++gTriggerLog->handled >= gTriggerLog->stopAfter) gTriggerLog->stop = 1;
}

// Without a granularity the loop waits for the watchdog unless a trigger
// wakes it; the loop is started first so that its wait is under way.
TEST_F(EpollScheduler, TriggersFromAnotherThreadWakeTheWait) {
    for (int count : {1, 3}) {
        SCOPED_TRACE(count);
        make(0);
        TriggerLog log;
        log.stopAfter = count;
        gTriggerLog = &log;
        std::vector<EventTriggerId> ids;
        for (int i = 0; i < count; ++i) ids.push_back(fScheduler->createEventTrigger(logTrigger));
        std::atomic<bool> looping{false};
        fScheduler->scheduleDelayedTask(0, [](void* l) { static_cast<std::atomic<bool>*>(l)->store(true); }, &looping);
        armWatchdog(&log.stop);
        std::thread trigger([&] {
            while (!looping.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            for (size_t i = 0; i < ids.size(); ++i) fScheduler->triggerEvent(ids[i], &ids[i]);
        });
        fScheduler->doEventLoop(&log.stop);
        trigger.join();
        EXPECT_FALSE(fWatchdogFired) << "the triggers did not wake the wait";
        ASSERT_EQ(log.handled.load(), count);
        std::vector<void*> expected;
        for (auto& id : ids) expected.push_back(&id);
        std::sort(log.clientDatas.begin(), log.clientDatas.end());
        EXPECT_EQ(log.clientDatas, expected) << "each trigger with its own client data";
        for (auto id : ids) fScheduler->deleteEventTrigger(id);
    }
}

TEST_F(EpollScheduler, DeletedTriggerIsNotHandledNorKeepsTheLoopAwake) {
    TriggerLog log;
    gTriggerLog = &log;
    EventTriggerId id = fScheduler->createEventTrigger(logTrigger);
    fScheduler->triggerEvent(id, nullptr);
    fScheduler->deleteEventTrigger(id);
    steps(2);
    EXPECT_EQ(log.handled.load(), 0);
    EXPECT_GE(timedStep(20000), 9.0) << "a deleted trigger keeps the wait short";
}

// ---- Life -----------------------------------------------------------------------

TEST(EpollSchedulerLife, GivesBackItsDescriptors) {
    int before = yvk::test::openDescriptors();
    delete EpollTaskScheduler::createNew();
    EXPECT_EQ(yvk::test::openDescriptors(), before);
}

} // namespace
