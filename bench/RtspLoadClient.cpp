// yvk_rtsp_load: many RTSP sessions against one server from one process and
// one live555 event loop (on epoll), light enough that a hundred sessions or
// more fit on a small machine beside the server under test.
//
//   yvk_rtsp_load URL [options]        (--help lists them)
//
// Each session DESCRIBEs, SETs UP the video track (or every track), PLAYs
// and counts what arrives without decoding: access units of the video track
// (a new RTP presentation time starts one), bytes, lost RTP packets and the
// longest wait for an access unit.  After a warm-up the counters start a
// measuring window; at its end every session is torn down and one line of
// key=value pairs reports the window:
//
//   requested=64 playing=64 window_s=10.00 expected_frames=250 frames_min=249
//   frames_median=250 frames_max=251 at_rate=64 max_gap_ms=61 packets_lost=0
//   truncated=0 kbit_s_per_session=4012 client_cpu=3.10 [server_cpu=12.40]
//
// A session is playing when its PLAY succeeded and frames still come at the
// window's end; it is at rate when it received at least 95 % of the window's
// expected frames (seconds x --fps).  With --pid, the CPU of that process
// over the window is reported too (percent of one core), so the server's
// cost is sampled over exactly the frames counted.  It is the scheduler's
// running time of each of its threads (nanoseconds; /proc/PID/stat counts
// hundredths of a second, too coarse for a server that spends a few tenths
// of a second in a window), or /proc/PID/stat when threads came or went.
//
// With --marks FILE, every frame mark (the numbered SEI the reference host
// puts in front of each access unit with --latency-log) that arrives within
// the window is written to FILE as "session frame kernel_ns user_ns": the
// kernel's receive time of the packet that carried it (on loopback, the
// instant the server sent it) and the time this client saw it, both
// CLOCK_REALTIME.  The mark is the first NAL unit of its picture, so its
// packet is the picture's first RTP packet.
#include "BasicUsageEnvironment.hh"
#include "GroupsockHelper.hh"
#include "liveMedia.hh"

#include "EpollTaskScheduler.hh"
#include "LatencyMarks.hh"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct LoadOptions {
    std::string url;
    unsigned sessions = 1;
    double seconds = 10;     // measuring window
    double warmup = 5;       // from the start of the first session to the window
    double fps = 25;         // the stream's frame rate
    bool tcp = false;        // RTP interleaved on the RTSP connection
    bool allTracks = false;  // also set up audio and the rest
    bool select = false;     // wait in select() instead of epoll
    unsigned rampMs = 10;    // between two session starts
    unsigned receiveBuffer = 1 << 20; // UDP socket buffer asked for, bytes
    long serverPid = 0;      // process whose CPU the window samples
    std::string marksFile;   // where the frame marks' arrivals go
    bool verbose = false;    // live555's trace of every RTSP request and response
    bool help = false;
};

const char* const kUsage =
    "usage: yvk_rtsp_load URL [options]\n"
    "\n"
    "Opens N RTSP sessions to URL in one event loop, counts each session's video\n"
    "frames over a measuring window and prints one line of key=value results.\n"
    "\n"
    "  -n, --sessions N   sessions to open (default 1)\n"
    "  --seconds S        measuring window in seconds (default 10)\n"
    "  --warmup S         seconds from the first session's start to the window (default 5)\n"
    "  --fps F            the stream's frame rate: a session is at rate with at least\n"
    "                     95 % of S x F frames in the window (default 25)\n"
    "  --tcp              RTP over the RTSP connection instead of UDP\n"
    "  --all-tracks       set up every track, not just the video\n"
    "  --ramp MS          milliseconds between two session starts (default 10)\n"
    "  --rcvbuf BYTES     UDP receive buffer per RTP socket (default 1048576)\n"
    "  --select           wait in select(), as live555's players, VLC and ffmpeg wait,\n"
    "                     instead of epoll (heavier: each packet's turn scans every socket)\n"
    "  --pid PID          also report this process's CPU over the window\n"
    "  --marks FILE       write the arrival of every frame mark in the window to FILE\n"
    "  -v, --verbose      trace the RTSP requests and responses\n"
    "  --help             this text\n";

bool parseNumber(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(parsed >= low && parsed <= high)) return false;
    value = parsed;
    return true;
}

bool parseOptions(int argc, char** argv, LoadOptions& options, std::string& error) {
    // Each numeric option: its range and where it goes.
    struct Numeric {
        const char* name;
        double low, high;
        std::function<void(double)> set;
    };
    const Numeric numerics[] = {
        {"-n", 1, 1000, [&](double v) { options.sessions = unsigned(v); }},
        {"--sessions", 1, 1000, [&](double v) { options.sessions = unsigned(v); }},
        {"--seconds", 0.5, 86400, [&](double v) { options.seconds = v; }},
        {"--warmup", 0, 3600, [&](double v) { options.warmup = v; }},
        {"--fps", 0.1, 1000, [&](double v) { options.fps = v; }},
        {"--ramp", 0, 10000, [&](double v) { options.rampMs = unsigned(v); }},
        {"--rcvbuf", 0, 1 << 28, [&](double v) { options.receiveBuffer = unsigned(v); }},
        {"--pid", 1, 1 << 30, [&](double v) { options.serverPid = long(v); }},
    };
    for (int index = 1; index < argc; ++index) {
        std::string arg = argv[index];
        if (arg == "--help" || arg == "-h") { options.help = true; continue; }
        if (arg == "--tcp") { options.tcp = true; continue; }
        if (arg == "--all-tracks") { options.allTracks = true; continue; }
        if (arg == "--select") { options.select = true; continue; }
        if (arg == "-v" || arg == "--verbose") { options.verbose = true; continue; }
        if (arg == "--marks") {
            if (index + 1 >= argc) {
                error = "--marks needs a file";
                return false;
            }
            options.marksFile = argv[++index];
            continue;
        }
        if (arg[0] != '-') {
            if (arg.rfind("rtsp://", 0) != 0 || !options.url.empty()) {
                error = "'" + arg + "' is not an rtsp:// URL or a second one";
                return false;
            }
            options.url = arg;
            continue;
        }
        const Numeric* option = std::find_if(std::begin(numerics), std::end(numerics),
                                             [&arg](const Numeric& n) { return arg == n.name; });
        if (option == std::end(numerics)) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (index + 1 >= argc) {
            error = arg + " needs a value";
            return false;
        }
        const char* value = argv[++index];
        double number = 0;
        if (!parseNumber(value, option->low, option->high, number)) {
            error = "bad " + arg + " '" + value + "'";
            return false;
        }
        option->set(number);
    }
    if (!options.help && options.url.empty()) error = "no rtsp:// URL given";
    return options.help || !options.url.empty();
}

// user+system CPU seconds of a process, from /proc; negative when unknown.
double processCpuSeconds(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return -1;
    size_t close = text.rfind(')'); // the command name may hold spaces
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (number == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// A process's CPU at one instant: its total from /proc/PID/stat, and the
// running time of each thread from /proc/PID/task/TID/schedstat.
struct ProcessCpu {
    double total = -1;
    std::vector<std::pair<long, unsigned long long>> threadNs; // by thread id, ascending

    static ProcessCpu of(long pid) {
        ProcessCpu cpu;
        cpu.total = processCpuSeconds(pid);
        std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        DIR* directory = opendir(tasks.c_str());
        if (directory == nullptr) return cpu;
        while (dirent* entry = readdir(directory)) {
            long tid = std::strtol(entry->d_name, nullptr, 10);
            if (tid <= 0) continue;
            std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (schedstat >> ns) cpu.threadNs.emplace_back(tid, ns);
        }
        closedir(directory);
        std::sort(cpu.threadNs.begin(), cpu.threadNs.end());
        return cpu;
    }

    // Seconds from start to this; negative when unknown.
    double since(const ProcessCpu& start) const {
        if (total < 0 || start.total < 0) return -1;
        bool sameThreads = !threadNs.empty() && threadNs.size() == start.threadNs.size() &&
                           std::equal(threadNs.begin(), threadNs.end(), start.threadNs.begin(),
                                      [](const auto& a, const auto& b) { return a.first == b.first; });
        if (!sameThreads) return total - start.total;
        unsigned long long ns = 0;
        for (size_t i = 0; i < threadNs.size(); ++i) ns += threadNs[i].second - start.threadNs[i].second;
        return double(ns) / 1e9;
    }
};

double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The frame marks seen while the window is open.
struct MarkArrivals {
    struct Arrival {
        unsigned session;
        uint64_t frame;
        int64_t kernelNs; // -1: unknown (RTP over TCP)
        int64_t userNs;
    };
    bool recording = false;
    std::vector<Arrival> arrivals;

    bool write(const std::string& path) const {
        std::FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) return false;
        for (const Arrival& a : arrivals)
            std::fprintf(file, "%u %llu %lld %lld\n", a.session, static_cast<unsigned long long>(a.frame),
                         static_cast<long long>(a.kernelNs), static_cast<long long>(a.userNs));
        return std::fclose(file) == 0;
    }
};

// Drains one subsession without decoding.  On the video track it counts
// access units: live555's H.264/H.265 sources hand over one NAL unit at a
// time, all units of one picture sharing a presentation time.
class CountingSink : public MediaSink {
public:
    static CountingSink* createNew(UsageEnvironment& env, bool countFrames) {
        return new CountingSink(env, countFrames);
    }

    unsigned long frames() const { return fFrames; }
    unsigned long long bytes() const { return fBytes; }
    unsigned long truncated() const { return fTruncated; }
    bool ended() const { return fEnded; }
    // True when an access unit came within the last `within`.
    bool fresh(Clock::duration within) const { return fFrames > 0 && Clock::now() - fLastArrival <= within; }
    void noteEnded() { fEnded = true; }
    // Frame marks go to marks, with the receive time of the last packet read
    // from socketNum (-1: none).
    void watchMarks(MarkArrivals* marks, unsigned session, int socketNum) {
        fMarks = marks;
        fSession = session;
        fSocketNum = socketNum;
    }
    // Longest wait for an access unit since the last call, counting the
    // present one.
    double takeMaxGapMs() {
        double gap = fMaxGapMs;
        if (fFrames > 0)
            gap = std::max(gap, std::chrono::duration<double, std::milli>(Clock::now() - fLastArrival).count());
        fMaxGapMs = 0;
        return gap;
    }

protected:
    CountingSink(UsageEnvironment& env, bool countFrames)
        : MediaSink(env), fCountFrames(countFrames), fBuffer(new unsigned char[kBufferSize]) {}

private:
    static constexpr unsigned kBufferSize = 512 * 1024; // a 1080p key frame's slice fits

    Boolean continuePlaying() override {
        if (fSource == nullptr) return False;
        fSource->getNextFrame(fBuffer.get(), kBufferSize, afterGettingFrame, this, onSourceClosure, this);
        return True;
    }

    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  timeval presentationTime, unsigned /*durationInMicroseconds*/) {
        static_cast<CountingSink*>(clientData)->afterGettingFrame(frameSize, numTruncatedBytes, presentationTime);
    }

    // live555 hands over a single-packet NAL unit as soon as that packet has
    // been read, so the socket's last receive time is the mark's.
    void noteMark(unsigned frameSize) {
        const unsigned char* nal = fBuffer.get();
        bool sei = frameSize > 2 && ((nal[0] & 0x1f) == 6 || ((nal[0] >> 1) & 0x3f) == 39);
        uint64_t frame = 0;
        if (!sei || !latency_marks::find(nal, frameSize, frame)) return;
        int64_t userNs = latency_marks::realtimeNs();
        int64_t kernelNs = -1;
        timespec received{};
        if (fSocketNum >= 0 && ioctl(fSocketNum, SIOCGSTAMPNS, &received) == 0)
            kernelNs = int64_t(received.tv_sec) * 1000000000 + received.tv_nsec;
        fMarks->arrivals.push_back({fSession, frame, kernelNs, userNs});
    }

    void afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes, timeval presentationTime) {
        if (fMarks != nullptr && fMarks->recording) noteMark(frameSize);
        fBytes += frameSize;
        if (numTruncatedBytes > 0) ++fTruncated;
        if (fCountFrames && (fFrames == 0 || presentationTime.tv_sec != fLastTime.tv_sec ||
                             presentationTime.tv_usec != fLastTime.tv_usec)) {
            Clock::time_point now = Clock::now();
            if (fFrames > 0)
                fMaxGapMs = std::max(fMaxGapMs, std::chrono::duration<double, std::milli>(now - fLastArrival).count());
            fLastArrival = now;
            fLastTime = presentationTime;
            ++fFrames;
        }
        continuePlaying();
    }

    const bool fCountFrames;
    std::unique_ptr<unsigned char[]> fBuffer;
    unsigned long fFrames = 0;
    unsigned long long fBytes = 0;
    unsigned long fTruncated = 0;
    timeval fLastTime{};
    Clock::time_point fLastArrival;
    double fMaxGapMs = 0;
    bool fEnded = false;
    MarkArrivals* fMarks = nullptr; // not owned
    unsigned fSession = 0;
    int fSocketNum = -1;
};

// One RTSP session: DESCRIBE, SETUP of each chosen track in turn, PLAY, and
// at the end TEARDOWN.  Failures are kept as text; the run reports them.
class LoadSession : public RTSPClient {
public:
    static LoadSession* createNew(UsageEnvironment& env, const LoadOptions& options, unsigned number,
                                  MarkArrivals* marks) {
        return new LoadSession(env, options, number, marks);
    }

    void start() { sendDescribeCommand(afterDescribe); }
    // Played and still receiving: a server that died without a word (UDP)
    // leaves the session silent, not ended.
    bool playing() const {
        auto silence = std::chrono::duration<double>(std::max(1.0, 3 / fOptions.fps));
        return fPlaying && fVideo != nullptr && !fVideo->ended() &&
               fVideo->fresh(std::chrono::duration_cast<Clock::duration>(silence));
    }
    const std::string& failure() const { return fFailure; }
    CountingSink* video() const { return fVideo; }

    // Packets missing from the sequence so far; those that come late
    // later count again (the window's figure may then be negative).
    long packetsLost() const {
        long lost = 0;
        forEachSubsession([&lost](MediaSubsession& subsession) {
            if (subsession.rtpSource() == nullptr) return;
            RTPReceptionStatsDB::Iterator stats(subsession.rtpSource()->receptionStatsDB());
            while (RTPReceptionStats* source = stats.next(True))
                lost += long(source->totNumPacketsExpected()) - long(source->totNumPacketsReceived());
        });
        return lost;
    }

    // Stops the sinks and, for a playing session, asks the server to end it:
    // true when it did, and done() will tell when the answer has come.
    bool tearDown(void (*done)(void*), void* clientData) {
        stopSinks();
        if (fSession == nullptr || !fPlaying) return false;
        fTeardownDone = done;
        fTeardownData = clientData;
        sendTeardownCommand(*fSession, afterTeardown);
        return true;
    }

protected:
    LoadSession(UsageEnvironment& env, const LoadOptions& options, unsigned number, MarkArrivals* marks)
        : RTSPClient(env, options.url.c_str(), options.verbose ? 1 : 0, "yvk_rtsp_load", 0, -1),
          fOptions(options), fNumber(number), fMarks(marks) {}

    ~LoadSession() override {
        stopSinks();
        forEachSubsession([](MediaSubsession& subsession) {
            Medium::close(subsession.sink);
            subsession.sink = nullptr;
        });
        delete fSetupIterator;
        Medium::close(fSession);
    }

private:
    template <typename F> void forEachSubsession(F visit) const {
        if (fSession == nullptr) return;
        MediaSubsessionIterator iterator(*fSession);
        while (MediaSubsession* subsession = iterator.next()) visit(*subsession);
    }

    void stopSinks() {
        forEachSubsession([](MediaSubsession& subsession) {
            if (subsession.rtcpInstance() != nullptr) subsession.rtcpInstance()->setByeHandler(nullptr, nullptr);
            if (subsession.sink != nullptr) subsession.sink->stopPlaying();
        });
    }

    void fail(const std::string& step, int resultCode, const char* resultString) {
        if (fFailure.empty())
            fFailure = "session " + std::to_string(fNumber) + ": " + step + " failed (" +
                       (resultString != nullptr && *resultString != '\0' ? std::string(resultString)
                                                                          : "code " + std::to_string(resultCode)) +
                       ")";
    }

    static void afterDescribe(RTSPClient* client, int resultCode, char* resultString) {
        static_cast<LoadSession*>(client)->afterDescribe(resultCode, resultString);
    }
    void afterDescribe(int resultCode, char* resultString) {
        std::unique_ptr<char[]> sdp(resultString);
        if (resultCode != 0) return fail("DESCRIBE", resultCode, resultString);
        fSession = MediaSession::createNew(envir(), resultString);
        if (fSession == nullptr || !fSession->hasSubsessions())
            return fail("reading the SDP", 0, envir().getResultMsg());
        fSetupIterator = new MediaSubsessionIterator(*fSession);
        setupNext();
    }

    void setupNext() {
        while ((fSetting = fSetupIterator->next()) != nullptr) {
            bool video = std::strcmp(fSetting->mediumName(), "video") == 0;
            if (!video && !fOptions.allTracks) continue;
            if (!fSetting->initiate()) {
                fail(std::string("starting the ") + fSetting->mediumName() + " track", 0, envir().getResultMsg());
                continue;
            }
            sendSetupCommand(*fSetting, afterSetup, False, fOptions.tcp ? True : False);
            return;
        }
        if (fVideo == nullptr) return fail("SETUP of a video track", 0, nullptr);
        sendPlayCommand(*fSession, afterPlay);
    }

    static void afterSetup(RTSPClient* client, int resultCode, char* resultString) {
        static_cast<LoadSession*>(client)->afterSetup(resultCode, resultString);
    }
    void afterSetup(int resultCode, char* resultString) {
        std::unique_ptr<char[]> text(resultString);
        if (resultCode != 0) {
            fail(std::string("SETUP of ") + fSetting->mediumName(), resultCode, resultString);
        } else {
            startSink(*fSetting);
        }
        setupNext();
    }

    void startSink(MediaSubsession& subsession) {
        bool video = std::strcmp(subsession.mediumName(), "video") == 0 && fVideo == nullptr;
        if (!fOptions.tcp && subsession.rtpSource() != nullptr && fOptions.receiveBuffer > 0)
            enlargeReceiveBuffer(subsession.rtpSource()->RTPgs()->socketNum());
        CountingSink* sink = CountingSink::createNew(envir(), video);
        subsession.sink = sink;
        if (video) fVideo = sink;
        if (video && fMarks != nullptr) {
            int socketNum = -1;
            if (!fOptions.tcp && subsession.rtpSource() != nullptr) {
                socketNum = subsession.rtpSource()->RTPgs()->socketNum();
                // The first asking turns the socket's receive stamps on.
                // (SO_TIMESTAMPNS would not do: its stamps go to control
                // messages, which live555 does not read, and not here.)
                timespec unused{};
                ioctl(socketNum, SIOCGSTAMPNS, &unused);
            }
            sink->watchMarks(fMarks, fNumber, socketNum);
        }
        sink->startPlaying(*subsession.readSource(), afterPlaying, sink);
        if (subsession.rtcpInstance() != nullptr) subsession.rtcpInstance()->setByeHandler(afterPlaying, sink);
    }

    // As root the buffer may exceed net.core.rmem_max; a burst of key-frame
    // packets then waits in the socket instead of being dropped.
    void enlargeReceiveBuffer(int socketNum) {
        int size = int(fOptions.receiveBuffer);
        if (setsockopt(socketNum, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            increaseReceiveBufferTo(envir(), socketNum, fOptions.receiveBuffer);
    }

    static void afterPlaying(void* clientData) { static_cast<CountingSink*>(clientData)->noteEnded(); }

    static void afterPlay(RTSPClient* client, int resultCode, char* resultString) {
        static_cast<LoadSession*>(client)->afterPlay(resultCode, resultString);
    }
    void afterPlay(int resultCode, char* resultString) {
        std::unique_ptr<char[]> text(resultString);
        if (resultCode != 0) return fail("PLAY", resultCode, resultString);
        fPlaying = true;
    }

    static void afterTeardown(RTSPClient* client, int /*resultCode*/, char* resultString) {
        delete[] resultString;
        auto* self = static_cast<LoadSession*>(client);
        if (self->fTeardownDone != nullptr) self->fTeardownDone(self->fTeardownData);
        self->fTeardownDone = nullptr;
    }

    // Passed by argument.
    const LoadOptions& fOptions;
    const unsigned fNumber;
    MarkArrivals* const fMarks; // null: not watched
    // Allocated by this.
    MediaSession* fSession = nullptr;
    MediaSubsessionIterator* fSetupIterator = nullptr;
    // Within fSession.
    MediaSubsession* fSetting = nullptr;
    CountingSink* fVideo = nullptr;
    bool fPlaying = false;
    std::string fFailure;
    void (*fTeardownDone)(void*) = nullptr;
    void* fTeardownData = nullptr;
};

// Counter values at the start of the window.
struct WindowStart {
    unsigned long frames = 0;
    unsigned long long bytes = 0;
    unsigned long truncated = 0;
    long lost = 0;
};

// The whole run: starts the sessions one ramp step apart, opens and closes
// the measuring window, tears everything down and prints the result line.
class LoadRun {
public:
    LoadRun(UsageEnvironment& env, const LoadOptions& options) : fEnv(env), fOptions(options) {}
    ~LoadRun() {
        for (LoadSession* session : fSessions) Medium::close(session);
    }

    int run() {
        TaskScheduler& scheduler = fEnv.taskScheduler();
        scheduler.scheduleDelayedTask(0, startNext, this);
        scheduler.scheduleDelayedTask(microseconds(fOptions.warmup), openWindow, this);
        scheduler.doEventLoop(&fStop);
        return report();
    }

private:
    static int64_t microseconds(double seconds) { return int64_t(std::llround(seconds * 1e6)); }

    static void startNext(void* clientData) { static_cast<LoadRun*>(clientData)->startNext(); }
    void startNext() {
        LoadSession* session = LoadSession::createNew(fEnv, fOptions, unsigned(fSessions.size()),
                                                      fOptions.marksFile.empty() ? nullptr : &fMarks);
        fSessions.push_back(session);
        session->start();
        if (fSessions.size() < fOptions.sessions)
            fEnv.taskScheduler().scheduleDelayedTask(int64_t(fOptions.rampMs) * 1000, startNext, this);
    }

    static void openWindow(void* clientData) { static_cast<LoadRun*>(clientData)->openWindow(); }
    void openWindow() {
        fStarts.assign(fSessions.size(), WindowStart{});
        for (size_t index = 0; index < fSessions.size(); ++index) {
            if (CountingSink* video = fSessions[index]->video()) {
                fStarts[index] = {video->frames(), video->bytes(), video->truncated(), fSessions[index]->packetsLost()};
                video->takeMaxGapMs();
            }
        }
        fWindowStart = Clock::now();
        fMarks.recording = true;
        fClientCpuStart = ownCpuSeconds();
        if (fOptions.serverPid > 0) fServerCpuStart = ProcessCpu::of(fOptions.serverPid);
        fEnv.taskScheduler().scheduleDelayedTask(microseconds(fOptions.seconds), closeWindow, this);
    }

    static void closeWindow(void* clientData) { static_cast<LoadRun*>(clientData)->closeWindow(); }
    void closeWindow() {
        fWindow = std::chrono::duration<double>(Clock::now() - fWindowStart).count();
        fMarks.recording = false;
        fClientCpu = ownCpuSeconds() - fClientCpuStart;
        if (fOptions.serverPid > 0) fServerCpu = ProcessCpu::of(fOptions.serverPid).since(fServerCpuStart);
        fStarts.resize(fSessions.size()); // sessions started after the window opened count from zero
        for (size_t index = 0; index < fSessions.size(); ++index) collect(*fSessions[index], fStarts[index]);
        for (LoadSession* session : fSessions)
            if (session->tearDown(afterTeardown, this)) ++fTeardownsPending;
        if (fTeardownsPending == 0) fStop = 1;
        else fEnv.taskScheduler().scheduleDelayedTask(3000000, stopWaiting, this); // a bound for silent servers
    }

    void collect(LoadSession& session, const WindowStart& start) {
        CountingSink* video = session.video();
        if (video == nullptr) return;
        if (session.playing()) ++fPlaying;
        fFrames.push_back(video->frames() - start.frames);
        fBytes += video->bytes() - start.bytes;
        fTruncated += video->truncated() - start.truncated;
        fLost += session.packetsLost() - start.lost;
        fMaxGapMs = std::max(fMaxGapMs, video->takeMaxGapMs());
    }

    static void afterTeardown(void* clientData) {
        auto* self = static_cast<LoadRun*>(clientData);
        if (--self->fTeardownsPending == 0) self->fStop = 1;
    }
    static void stopWaiting(void* clientData) { static_cast<LoadRun*>(clientData)->fStop = 1; }

    int report() {
        unsigned failed = 0;
        for (LoadSession* session : fSessions) {
            if (session->failure().empty()) continue;
            if (failed++ < 3) std::fprintf(stderr, "yvk_rtsp_load: %s\n", session->failure().c_str());
        }
        if (failed > 3) std::fprintf(stderr, "yvk_rtsp_load: %u sessions failed in all\n", failed);

        std::vector<unsigned long> frames = fFrames;
        frames.resize(fOptions.sessions, 0); // sessions without video count as empty
        std::sort(frames.begin(), frames.end());
        double expected = fOptions.seconds * fOptions.fps;
        auto atRate = std::count_if(frames.begin(), frames.end(),
                                    [expected](unsigned long n) { return double(n) >= 0.95 * expected; });
        double window = fWindow > 0 ? fWindow : fOptions.seconds;
        std::printf("requested=%u playing=%u window_s=%.2f expected_frames=%.0f frames_min=%lu frames_median=%lu "
                    "frames_max=%lu at_rate=%ld max_gap_ms=%.0f packets_lost=%ld truncated=%lu "
                    "kbit_s_per_session=%.0f client_cpu=%.2f",
                    fOptions.sessions, fPlaying, window, expected, frames.front(), frames[frames.size() / 2],
                    frames.back(), long(atRate), fMaxGapMs, fLost, fTruncated,
                    fFrames.empty() ? 0.0 : double(fBytes) * 8 / 1000 / window / double(fFrames.size()),
                    100 * fClientCpu / window);
        if (fOptions.serverPid > 0) {
            if (fServerCpu >= 0) std::printf(" server_cpu=%.3f", 100 * fServerCpu / window);
            else std::printf(" server_cpu=unknown");
        }
        if (!fOptions.marksFile.empty()) {
            if (fMarks.write(fOptions.marksFile)) std::printf(" marks=%zu", fMarks.arrivals.size());
            else std::fprintf(stderr, "yvk_rtsp_load: cannot write %s\n", fOptions.marksFile.c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
        return fPlaying > 0 ? 0 : 1;
    }

    UsageEnvironment& fEnv;
    const LoadOptions& fOptions;
    std::vector<LoadSession*> fSessions;
    std::vector<WindowStart> fStarts;
    EventLoopWatchVariable fStop{0};
    unsigned fTeardownsPending = 0;
    // The window's results.
    Clock::time_point fWindowStart;
    double fWindow = 0, fClientCpuStart = 0, fClientCpu = 0, fServerCpu = -1;
    ProcessCpu fServerCpuStart;
    std::vector<unsigned long> fFrames;
    unsigned fPlaying = 0;
    long fLost = 0;
    unsigned long long fBytes = 0;
    unsigned long fTruncated = 0;
    double fMaxGapMs = 0;
    MarkArrivals fMarks;
};

// Raises this process's descriptor limit as far as it may go; refuses a run
// that would still need more.
bool descriptorsSuffice(const LoadOptions& options, std::string& error) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return true;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    unsigned tracks = options.allTracks ? 2 : 1;
    unsigned perSession = 1 + 2 * tracks; // RTSP connection, RTP and RTCP sockets (made even for TCP)
    rlim_t needed = rlim_t(options.sessions) * perSession + 16;
    if (options.select && needed > FD_SETSIZE) {
        error = std::to_string(options.sessions) + " sessions need more descriptors than select() watches (" +
                std::to_string(FD_SETSIZE) + ")";
        return false;
    }
    if (files.rlim_cur == RLIM_INFINITY || needed <= files.rlim_cur) return true;
    error = std::to_string(options.sessions) + " sessions need " + std::to_string(needed) +
            " descriptors; this process may open " + std::to_string(files.rlim_cur);
    return false;
}

} // namespace

int main(int argc, char** argv) {
    LoadOptions options;
    std::string error;
    if (!parseOptions(argc, argv, options, error) || (!options.help && !descriptorsSuffice(options, error))) {
        std::fprintf(stderr, "yvk_rtsp_load: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // The library's epoll scheduler by default: with select(), every
    // packet's turn scans all of the sessions' sockets, and a client of 64
    // sessions needs most of a core.
    TaskScheduler* scheduler = options.select ? static_cast<TaskScheduler*>(BasicTaskScheduler::createNew())
                                              : EpollTaskScheduler::createNew();
    if (scheduler == nullptr) {
        std::perror("yvk_rtsp_load: scheduler");
        return 1;
    }
    UsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
    int status = 0;
    {
        LoadRun run(*env, options);
        status = run.run();
    }
    env->reclaim();
    delete scheduler;
    return status;
}
