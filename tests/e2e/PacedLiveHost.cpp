#include "PacedLiveHost.hh"

#include "Process.hh"

#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
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

PacedLiveHost::PacedLiveHost(int width, int height, unsigned pcmBlockBytes, int keyInterval)
    : fPcmBlockBytes(pcmBlockBytes) {
    std::string gop = std::to_string(keyInterval);
    auto result = runProcess({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                              "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                                  ":rate=" + std::to_string(kFps) + ":duration=4",
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

namespace {

// Type of the NAL unit whose header begins at p, and whether it is a slice
// that starts a picture.
struct NalInfo {
    unsigned type;
    bool vcl, firstSlice, key, parameterSet, opensUnit;
};

NalInfo nalInfo(const uint8_t* p, size_t left, bool h265) {
    NalInfo n{};
    if (h265) {
        n.type = (p[0] >> 1) & 0x3f;
        n.vcl = n.type < 32;
        n.firstSlice = n.vcl && left > 2 && (p[2] & 0x80) != 0;
        n.key = n.type >= 16 && n.type <= 23;
        n.parameterSet = n.type >= 32 && n.type <= 34;
        n.opensUnit = n.parameterSet || n.type == 35 || n.type == 39;
    } else {
        n.type = p[0] & 0x1f;
        n.vcl = n.type >= 1 && n.type <= 5;
        n.firstSlice = n.vcl && left > 1 && (p[1] & 0x80) != 0; // first_mb_in_slice 0
        n.key = n.type == 5;
        n.parameterSet = n.type == 7 || n.type == 8;
        n.opensUnit = n.parameterSet || n.type == 9 || n.type == 6;
    }
    return n;
}

} // namespace

void PacedLiveHost::describeStreams(YVKStreamerLiveCfg& cfg, int width, int height, unsigned maxFrameSize) const {
    cfg.videoEnable = 1;
    cfg.videoFormat = fH265 ? "video/H265" : "video/H264";
    cfg.videoFrameRate = 25;
    cfg.videoWidth = width;
    cfg.videoHeight = height;
    cfg.maxFrameSize = maxFrameSize;
    cfg.audio.enable = 1;
    cfg.audio.format = "audio/L16";
    cfg.audio.samplingFrequency = kPcmRate;
    cfg.audio.bitsPerSample = 16;
    cfg.audio.numChannels = 1;
}

PacedLiveHost::PacedLiveHost(const std::string& annexBFile, bool h265, unsigned pcmBlockBytes)
    : fPcmBlockBytes(pcmBlockBytes), fH265(h265) {
    std::ifstream in(annexBFile, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto bytes = reinterpret_cast<const uint8_t*>(s.data());
    // Where each start code begins (a four-byte one at its first zero).
    std::vector<size_t> codes;
    for (size_t i = 0; i + 3 <= s.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            codes.push_back(i > 0 && bytes[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    Unit unit;
    bool hasPicture = false;
    for (size_t n = 0; n < codes.size(); ++n) {
        size_t begin = codes[n];
        size_t end = n + 1 < codes.size() ? codes[n + 1] : s.size();
        size_t header = begin + (bytes[begin + 2] == 1 ? 3 : 4);
        if (header >= end) continue;
        NalInfo info = nalInfo(bytes + header, end - header, h265);
        if (hasPicture && (info.opensUnit || info.firstSlice)) {
            fUnits.push_back(std::move(unit));
            unit = Unit{};
            hasPicture = false;
        }
        hasPicture = hasPicture || info.vcl;
        unit.key = unit.key || info.key;
        unit.bytes.insert(unit.bytes.end(), bytes + begin, bytes + end);
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
        std::vector<uint8_t> bytes = unit.bytes;
        if (fMisbehaviour.noParameterSets) bytes = withoutParameterSets(bytes);
        YVKStreamerStream* record = lend(std::move(bytes), unit.key, index * kFrameUs);
        if (fMisbehaviour.resyncStorm && index % 100 >= 25 && index % 100 < 50) record->resync = 1;
        publishVideo(record);
        lendExtras(index, index * kFrameUs);
    }
}

// Records a lent copy leaves behind: they stay in the account either way.
void PacedLiveHost::publishVideo(YVKStreamerStream* record) {
    std::lock_guard<std::mutex> lock(fMutex);
    if (!fVideoWanted) return; // as a camera does while told to stop
    fVideoReady.push_back(record);
    while (fVideoReady.size() > 50) fVideoReady.pop_front(); // nobody reads: keep the newest
    fAvailable.notify_all();
}

void PacedLiveHost::lendExtras(int64_t index, int64_t captureUs) {
    const HostMisbehaviour& how = fMisbehaviour;
    if (how.emptyRecords && index % 5 == 4) publishVideo(lend({}, false, captureUs));
    if (how.garbage && index % 7 == 6) publishVideo(lend(std::vector<uint8_t>(3000, 0x55), true, captureUs));
    if (how.hugeBytes > 0 && index % 9 == 8) {
        // Filler data (H.264 type 12, H.265 type 38): decoders skip it.
        std::vector<uint8_t> filler(how.hugeBytes, 0xff);
        filler[0] = filler[1] = filler[2] = 0;
        filler[3] = 1;
        filler[4] = fH265 ? 38 << 1 : 12;
        if (fH265) filler[5] = 1;
        filler.back() = 0x80;
        publishVideo(lend(std::move(filler), false, captureUs));
    }
}

std::vector<uint8_t> PacedLiveHost::withoutParameterSets(const std::vector<uint8_t>& unit) const {
    std::vector<uint8_t> out;
    size_t at = 0;
    auto next = [&unit](size_t from) {
        for (size_t i = from; i + 3 <= unit.size(); ++i)
            if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) return i;
        return unit.size();
    };
    for (at = next(0); at < unit.size();) {
        size_t end = next(at + 3);
        NalInfo info = nalInfo(unit.data() + at + 3, end - at - 3, fH265);
        if (!info.parameterSet) out.insert(out.end(), unit.begin() + static_cast<long>(at), unit.begin() + static_cast<long>(end));
        at = end;
    }
    return out;
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
    CallbackScope running(*host);
    int pop = ++host->fVideoPops;
    if (host->fMisbehaviour.stallPopMs > 0 && pop == host->fMisbehaviour.stallAtPop) {
        host->fStalling = true; // a host that ignores the timeout for a while
        std::this_thread::sleep_for(std::chrono::milliseconds(host->fMisbehaviour.stallPopMs));
        host->fStalling = false;
    }
    std::unique_lock<std::mutex> lock(host->fMutex);
    host->fAvailable.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [host] { return !host->fVideoReady.empty() || !host->fRunning; });
    if (host->fVideoReady.empty()) return nullptr;
    YVKStreamerStream* record = host->fVideoReady.front();
    host->fVideoReady.pop_front();
    host->fLent[record]->popped = true;
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
    ++host->fAudioPops;
    YVKStreamerStream* record = host->lend(std::move(pcm), false, 0);
    std::lock_guard<std::mutex> lock(host->fMutex);
    host->fLent[record]->popped = true;
    return record;
}

int PacedLiveHost::release(void* handle, YVKStreamerStream* record, int) {
    auto* host = static_cast<PacedLiveHost*>(handle);
    CallbackScope running(*host);
    std::lock_guard<std::mutex> lock(host->fMutex);
    auto found = host->fLent.find(record);
    if (found == host->fLent.end() || !found->second->popped || found->second->record.size == 0 ||
        found->second->releases++ > 0)
        ++host->fBadReleases;
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
    if (pop == popVideo) {
        io.setStreaming = setVideoStreaming;
        io.isActive = [](void*) { return 1; };
    } else {
        io.isActive = [](void* handle) {
            auto* host = static_cast<PacedLiveHost*>(handle);
            int after = host->fMisbehaviour.inactiveAfterAudioPops;
            return after > 0 && host->fAudioPops >= after ? 0 : 1;
        };
    }
    io.popStream = pop;
    io.releaseStream = release;
    return io;
}

bool PacedLiveHost::allPoppedReleased() {
    std::lock_guard<std::mutex> lock(fMutex);
    for (auto& [record, lent] : fLent) {
        int expected = lent->popped && lent->record.size != 0 ? 1 : 0;
        if (lent->releases != expected) return false;
    }
    return true;
}

bool PacedLiveHost::accountClosed() {
    for (int i = 0; i < 500 && (fCallbacksRunning > 0 || !allPoppedReleased()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool released = allPoppedReleased();
    std::lock_guard<std::mutex> lock(fMutex);
    return released && fBadReleases == 0;
}

} // namespace yvk::test
