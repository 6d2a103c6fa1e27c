// The threads that make the host's media in real time and lend it to the
// library through record pools: encoded video (test pattern or a file) and a
// sine tone as PCM.
#ifndef YVK_HOST_PRODUCERS_HH
#define YVK_HOST_PRODUCERS_HH

#include "FileVideo.hh"
#include "HostOptions.hh"
#include "RecordPool.hh"
#include "TestPattern.hh"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class VideoProducer {
public:
    explicit VideoProducer(RecordPool& pool) : fPool(pool) {}
    ~VideoProducer() { stop(); }
    // Opens the test pattern encoder or the file; false with the reason.
    bool open(const HostOptions& options, std::string& error);
    void start();
    void stop();
    // Puts a numbered mark (latency_marks) in front of every access unit.
    void markFrames(bool on) { fMarkFrames = on; }

    bool h265() const { return fH265; }
    int width() const { return fWidth; }
    int height() const { return fHeight; }
    int fps() const { return fFps; }
    uint64_t produced() const { return fProduced.load(); }

private:
    void run();
    void lend(const std::vector<uint8_t>& accessUnit, bool key, int64_t presentUs);

    RecordPool& fPool;
    std::unique_ptr<TestPatternEncoder> fEncoder;
    std::unique_ptr<FileVideo> fFile;
    bool fH265 = false;
    int fWidth = 0, fHeight = 0, fFps = 25;
    bool fResync = false;
    bool fMarkFrames = false;
    std::vector<uint8_t> fMarked; // a marked access unit
    std::atomic<bool> fRunning{false};
    std::atomic<uint64_t> fProduced{0};
    std::thread fThread;
};

class ToneProducer {
public:
    explicit ToneProducer(RecordPool& pool) : fPool(pool) {}
    ~ToneProducer() { stop(); }
    // block: bytes per record; 0 means blockBytes() of the format.
    void start(int rate, int bits, int channels, unsigned block = 0);
    void stop();

    // The library's block size for the format: at most 1400 bytes and 20 ms.
    static unsigned blockBytes(int rate, int bits, int channels);
    // What the library's AAC encoder takes per frame: 1024 samples a channel.
    static unsigned aacBlockBytes(int bits, int channels);

private:
    void run();

    RecordPool& fPool;
    int fRate = 16000, fBits = 16, fChannels = 1;
    unsigned fBlock = 0;
    std::atomic<bool> fRunning{false};
    std::thread fThread;
};

#endif
