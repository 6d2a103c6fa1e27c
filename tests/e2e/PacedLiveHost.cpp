#include "PacedLiveHost.hh"

#include "Process.hh"

#include <chrono>
#include <cmath>
#include <string>

namespace yvk::test {

namespace {

constexpr int kFps = 25;
constexpr int kPcmRate = 16000;

int64_t nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

PacedLiveHost::PacedLiveHost(int width, int height, unsigned pcmBlockBytes) : fPcmBlockBytes(pcmBlockBytes) {
    std::string gop = std::to_string(kFps);
    auto result = runProcess({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                              "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                                  ":rate=" + gop + ":duration=4",
                              "-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf", "0", "-x264-params",
                              "keyint=" + gop + ":min-keyint=" + gop + ":scenecut=0:repeat-headers=1:aud=1", "-f",
                              "h264", "-"},
                             60000);
    if (result.exitCode != 0) return;
    const std::string& s = result.out;
    // Access units end at the delimiters, which (with SEI) stay out of the
    // records as on the device; every NAL unit gets a four-byte start code.
    auto nextStart = [&s](size_t from) {
        size_t at = s.find(std::string("\0\0\1", 3), from);
        return at == std::string::npos ? s.size() : at;
    };
    Unit unit;
    for (size_t at = nextStart(0); at < s.size();) {
        size_t header = at + 3;
        size_t next = nextStart(header);
        size_t end = next < s.size() && s[next - 1] == 0 ? next - 1 : next;
        unsigned type = static_cast<unsigned char>(s[header]) & 0x1F;
        if (type == 9 && !unit.bytes.empty()) {
            fUnits.push_back(std::move(unit));
            unit = Unit{};
        }
        if (type != 9 && type != 6) {
            unit.key = unit.key || type == 5;
            unit.bytes.insert(unit.bytes.end(), {0, 0, 0, 1});
            unit.bytes.insert(unit.bytes.end(), s.begin() + static_cast<long>(header), s.begin() + static_cast<long>(end));
        }
        at = next;
    }
    if (!unit.bytes.empty()) fUnits.push_back(std::move(unit));
}

void PacedLiveHost::start() {
    // Slices are cut at whole seconds of the clock that stamps the frames on
    // delivery.  A key frame right at a second's end would fall on either
    // side as the machine's load delays its delivery, leaving some slice
    // without one: key frames go out half a second into the second.
    using namespace std::chrono;
    int64_t intoSecondUs = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() % 1000000;
    fStartUs = nowUs() + (1500000 - intoSecondUs) % 1000000;
    fRunning = true;
    fProducer = std::thread([this] { produce(); });
}

void PacedLiveHost::stop() {
    fRunning = false;
    fAvailable.notify_all();
    if (fProducer.joinable()) fProducer.join();
}

void PacedLiveHost::produce() {
    constexpr int64_t kFrameUs = 1000000 / kFps;
    for (int64_t index = 0; fRunning && !fUnits.empty(); ++index) {
        int64_t wait = fStartUs + index * kFrameUs - nowUs();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(wait));
        const Unit& unit = fUnits[static_cast<size_t>(index) % fUnits.size()];
        YVKStreamerStream* record = lend(unit.bytes, unit.key, index * kFrameUs);
        std::lock_guard<std::mutex> lock(fMutex);
        if (!fVideoWanted) continue; // as a camera does while told to stop
        fVideoReady.push_back(record);
        while (fVideoReady.size() > 50) fVideoReady.pop_front(); // nobody reads: keep the newest
        fAvailable.notify_all();
    }
}

// Records stay alive until the host goes, so a late or second release is
// caught rather than touching freed memory.
YVKStreamerStream* PacedLiveHost::lend(std::vector<uint8_t> payload, bool key, int64_t captureUs) {
    auto lent = std::make_unique<Lent>();
    lent->payload = std::move(payload);
    lent->record.data = lent->payload.data();
    lent->record.size = static_cast<uint32_t>(lent->payload.size());
    lent->record.keyFrame = key ? 1 : 0;
    lent->record.timestamp.sec = static_cast<int32_t>(captureUs / 1000000);
    lent->record.timestamp.usec = static_cast<int32_t>(captureUs % 1000000);
    YVKStreamerStream* record = &lent->record;
    std::lock_guard<std::mutex> lock(fMutex);
    fLent[record] = std::move(lent);
    return record;
}

YVKStreamerStream* PacedLiveHost::popVideo(void* handle, int timeoutMs) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    std::unique_lock<std::mutex> lock(host->fMutex);
    host->fAvailable.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [host] { return !host->fVideoReady.empty() || !host->fRunning; });
    if (host->fVideoReady.empty()) return nullptr;
    YVKStreamerStream* record = host->fVideoReady.front();
    host->fVideoReady.pop_front();
    return record;
}

// A block of tone whenever real time has moved past the blocks handed out.
YVKStreamerStream* PacedLiveHost::popAudio(void* handle, int) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    int64_t samples = host->fPcmBlockBytes / 2;
    if (!host->fRunning || host->fAudioSamples + samples > (nowUs() - host->fStartUs) * kPcmRate / 1000000) {
        return nullptr;
    }
    std::vector<uint8_t> pcm(host->fPcmBlockBytes);
    for (int64_t i = 0; i < samples; ++i) {
        auto value = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * (host->fAudioSamples + i) / kPcmRate));
        pcm[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(value & 0xFF);
        pcm[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(value >> 8 & 0xFF);
    }
    host->fAudioSamples += samples;
    return host->lend(std::move(pcm), false, 0);
}

int PacedLiveHost::release(void* handle, YVKStreamerStream* record, int) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    std::lock_guard<std::mutex> lock(host->fMutex);
    auto found = host->fLent.find(record);
    if (found == host->fLent.end() || found->second->releases++ > 0) ++host->fBadReleases;
    return 0;
}

// Told to stop, the host drops what waits and lends nothing until told to
// start again, so a restart begins with fresh frames, not a stale backlog.
int PacedLiveHost::setVideoStreaming(void* handle, int on) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    std::lock_guard<std::mutex> lock(host->fMutex);
    host->fVideoWanted = on != 0;
    if (on == 0) host->fVideoReady.clear();
    return 0;
}

YVKStreamerQIO PacedLiveHost::io(YVKStreamerStream* (*pop)(void*, int)) {
    YVKStreamerQIO io{};
    io.handle = this;
    if (pop == popVideo) io.setStreaming = setVideoStreaming;
    io.isActive = [](void*) { return 1; };
    io.popStream = pop;
    io.releaseStream = release;
    return io;
}

bool PacedLiveHost::balanced() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fBadReleases == 0;
}

} // namespace yvk::test
