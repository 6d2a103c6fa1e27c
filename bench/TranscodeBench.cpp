// Speed of the file services on this machine: the transcoder turning an
// H.265 file into 1280x720 H.264 (must beat real time for 1080p25), and the
// demux service reading the same file's video.
//   yvk_transcode_bench FILE
#include "yvk_demux.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    std::vector<unsigned char> buffer(0x300000);

    void* demux = YVK_StreamerDemuxOpen(argv[1]);
    if (demux == nullptr) return 1;
    DemuxVidInfo info{};
    YVK_StreamerDemuxGetVidInfo(demux, 0, &info);
    double durationS = YVK_StreamerDemuxGetVidDur(demux) / 1000.0;
    auto start = Clock::now();
    int units = 0;
    for (;;) {
        int size = 0;
        if (YVK_StreamerDemuxReadVideo(demux, 0, buffer.data(), &size, nullptr, nullptr) == 0) break;
        ++units;
    }
    double demuxS = seconds(start);
    YVK_StreamerDemuxClose(demux);
    std::printf("input: H.%d %dx%d %d fps, %.1f s, %d units\n", info.codec, info.width, info.height, info.fps,
                durationS, units);
    std::printf("demux read: %.3f s (%.0f units/s)\n", demuxS, units / demuxS);

    TransOpenParam param{argv[1], 0, 264, 1280, 720};
    start = Clock::now();
    void* trans = YVK_StreamerTransOpen(&param);
    if (trans == nullptr || YVK_StreamerTransRun(trans) == 0) return 1;
    int frames = 0;
    while (YVK_StreamerTransGetStream(trans, buffer.data(), static_cast<int>(buffer.size()), nullptr, nullptr) > 0)
        ++frames;
    double transS = seconds(start);
    YVK_StreamerTransClose(trans);
    double speed = durationS / transS;
    std::printf("transcode to 1280x720 H.264: %d frames in %.2f s = %.1f fps, %.2fx real time\n", frames, transS,
                frames / transS, speed);
    return speed > 1.0 ? 0 : 3;
}
