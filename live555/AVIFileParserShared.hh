// State the file parsers of the process share, and their trace macro.
// Internal to the parser's source files.
#ifndef YVK_AVI_FILE_PARSER_SHARED_HH
#define YVK_AVI_FILE_PARSER_SHARED_HH

#include "AVIFileParser.hh"

#include "yvk_system.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#define AVI_TRACE(level, ...) \
    YVK_Trace("AVIFileParser", (level), "live555/AVIFileParser", __LINE__, __func__, __VA_ARGS__)

// YVK_StreamerDemuxOpen with a trace line when the service refuses the file;
// purpose names the reader the handle is for.
void* openDemuxTraced(const std::string& fileName, const char* purpose);

// The subtitle reader's pending seek when there is none (0 is a position).
constexpr int32_t kNoTextSeek = -1;

// Everything here belongs to the event-loop thread except the members the
// subtitle reader thread reads, which are atomics (and its own buffer,
// allocated before the thread starts and freed after it was joined).
struct AviParserShared {
    unsigned char* buffer = nullptr;  // 3 MB, while any parser lives
    void* transcoder = nullptr;       // closed with the last parser
    int outputCodec = 264;
    int videoTrack = 0;               // as given to changevtrack; negative: none given
    int liveParsers = 0;
    int allKeyFrames[AviFileParser::kTrackedVideoTracks] = {};  // probed with the start of the file
    int skipToggle[AviFileParser::kTrackedVideoTracks] = {};
    bool zeroFpsTraced = false;

    std::atomic<uint64_t> latestVideoTimestamp{0};
    std::atomic<int32_t> textEnable{0};
    std::atomic<YVKStreamerTextCallback> textCallback{nullptr};
    std::atomic<bool> textRunning{false};
    std::atomic<int32_t> pendingTextSeek{kNoTextSeek};
    int textPollsPerSecond = 0;
    char* textBuffer = nullptr;
    std::thread textThread;
    AviFileParser* textOwner = nullptr;  // the parser that started the reader

    void stopTextReader();
    void resetSkipToggles();
    // The video track reads use: the index, or 0 when none was given.
    int readVideoTrack() const;
    // The toggle of the current track, null outside the tracked five.
    int* skipToggleOfCurrent();
    bool allKeyFramesOfCurrent() const;
};

extern AviParserShared gAviParserShared;

#endif // YVK_AVI_FILE_PARSER_SHARED_HH
