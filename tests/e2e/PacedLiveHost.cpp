#include "PacedLiveHost.hh"

#include "Process.hh"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace yvk::test {

namespace {

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Start-code positions of an Annex-B stream with the NAL type behind each.
struct Nal {
    size_t start; // the start code
    size_t header;
};

std::vector<Nal> findNals(const std::string& s) {
    std::vector<Nal> nals;
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            size_t start = i > 0 && s[i - 1] == 0 ? i - 1 : i;
            nals.push_back({start, i + 3});
            i += 2;
        }
    }
    return nals;
}

} // namespace

PacedLiveHost::PacedLiveHost(int width, int height, int fps, int pcmRate, unsigned pcmBlockBytes)
    : fFps(fps), fPcmRate(pcmRate), fPcmBlockBytes(pcmBlockBytes) {
    std::string path = "/tmp/yvk-paced-" + std::to_string(::getpid()) + ".h264";
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    auto result = runProcess({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                              "testsrc2=size=" + size + ":rate=" + std::to_string(fps) + ":duration=4", "-c:v",
                              "libx264", "-pix_fmt", "yuv420p", "-bf", "0", "-x264-params",
                              "keyint=" + std::to_string(fps) + ":min-keyint=" + std::to_string(fps) +
                                  ":scenecut=0:repeat-headers=1:aud=1",
                              "-f", "h264", path},
                             60000);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::remove(path.c_str());
    if (result.exitCode != 0) return;
    // Access units are cut at the delimiters, which (with SEI) stay out of
    // the records as on the device.
    std::string stream = bytes.str();
    std::vector<Nal> nals = findNals(stream);
    Unit unit{{}, false};
    for (size_t n = 0; n < nals.size(); ++n) {
        size_t end = n + 1 < nals.size() ? nals[n + 1].start : stream.size();
        unsigned type = static_cast<unsigned char>(stream[nals[n].header]) & 0x1F;
        if (type == 9) {
            if (!unit.bytes.empty()) fUnits.push_back(unit);
            unit = Unit{{}, false};
            continue;
        }
        if (type == 6) continue;
        if (type == 5) unit.key = true;
        static const uint8_t kStartCode[4] = {0, 0, 0, 1};
        unit.bytes.insert(unit.bytes.end(), kStartCode, kStartCode + 4);
        unit.bytes.insert(unit.bytes.end(), stream.begin() + static_cast<long>(nals[n].header),
                          stream.begin() + static_cast<long>(end));
    }
    if (!unit.bytes.empty()) fUnits.push_back(unit);
}

PacedLiveHost::~PacedLiveHost() {
    stop();
    for (auto& [record, lent] : fLent) delete lent;
}

void PacedLiveHost::start() {
    fStartUs = nowUs();
    fRunning = true;
    fProducer = std::thread([this] { produce(); });
}

void PacedLiveHost::stop() {
    fRunning = false;
    fAvailable.notify_all();
    if (fProducer.joinable()) fProducer.join();
}

void PacedLiveHost::produce() {
    int64_t frameUs = 1000000 / fFps;
    for (int64_t index = 0; fRunning && !fUnits.empty(); ++index) {
        int64_t due = fStartUs + index * frameUs;
        int64_t wait = due - nowUs();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::microseconds(wait));
        const Unit& unit = fUnits[static_cast<size_t>(index) % fUnits.size()];
        YVKStreamerStream* record = lend(unit.bytes, unit.key, index * frameUs);
        std::lock_guard<std::mutex> lock(fMutex);
        fVideoReady.push_back(record);
        while (fVideoReady.size() > 50) fVideoReady.pop_front(); // nobody reads: keep the newest
        fAvailable.notify_all();
    }
}

YVKStreamerStream* PacedLiveHost::lend(std::vector<uint8_t> payload, bool key, int64_t captureUs) {
    auto* lent = new Lent;
    lent->payload = std::move(payload);
    lent->record = YVKStreamerStream{};
    lent->record.data = lent->payload.data();
    lent->record.size = static_cast<uint32_t>(lent->payload.size());
    lent->record.keyFrame = key ? 1 : 0;
    lent->record.timestamp.sec = static_cast<int32_t>(captureUs / 1000000);
    lent->record.timestamp.usec = static_cast<int32_t>(captureUs % 1000000);
    std::lock_guard<std::mutex> lock(fMutex);
    fLent[&lent->record] = lent;
    return &lent->record;
}

YVKStreamerStream* PacedLiveHost::popVideo(void* handle, int timeoutMs) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    std::unique_lock<std::mutex> lock(host->fMutex);
    host->fAvailable.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [host] { return !host->fVideoReady.empty() || !host->fRunning; });
    if (host->fVideoReady.empty()) return nullptr;
    YVKStreamerStream* record = host->fVideoReady.front();
    host->fVideoReady.pop_front();
    ++host->fPopped;
    return record;
}

// A block of tone whenever real time has moved past the blocks handed out.
YVKStreamerStream* PacedLiveHost::popAudio(void* handle, int) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    int64_t samplesPerBlock = host->fPcmBlockBytes / 2;
    int64_t dueSamples = (nowUs() - host->fStartUs) * host->fPcmRate / 1000000;
    if (!host->fRunning || host->fAudioSamples + samplesPerBlock > dueSamples) return nullptr;
    std::vector<uint8_t> pcm(host->fPcmBlockBytes);
    for (int64_t i = 0; i < samplesPerBlock; ++i) {
        auto value = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * (host->fAudioSamples + i) / host->fPcmRate));
        pcm[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(value & 0xFF);
        pcm[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(value >> 8 & 0xFF);
    }
    host->fAudioSamples += samplesPerBlock;
    YVKStreamerStream* record = host->lend(std::move(pcm), false, 0);
    std::lock_guard<std::mutex> lock(host->fMutex);
    ++host->fPopped;
    return record;
}

int PacedLiveHost::release(void* handle, YVKStreamerStream* record, int) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    std::lock_guard<std::mutex> lock(host->fMutex);
    auto found = host->fLent.find(record);
    if (found == host->fLent.end() || host->fReleases[record]++ > 0) ++host->fBadReleases;
    return 0;
}

YVKStreamerQIO PacedLiveHost::videoIO() {
    YVKStreamerQIO io{};
    io.handle = this;
    io.popStream = popVideo;
    io.releaseStream = release;
    return io;
}

YVKStreamerQIO PacedLiveHost::audioIO() {
    YVKStreamerQIO io{};
    io.handle = this;
    io.isActive = [](void*) { return 1; };
    io.popStream = popAudio;
    io.releaseStream = release;
    return io;
}

bool PacedLiveHost::balanced() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fBadReleases == 0;
}

int PacedLiveHost::videoPopped() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fPopped;
}

} // namespace yvk::test
