// What the end-to-end tests ask of real clients: FFmpeg's decoded frames
// and codecs, curl's replies, the segments of the HTTP stream on port 8554,
// players that do not stop by themselves.
#ifndef YVK_TEST_E2E_CLIENTS_HH
#define YVK_TEST_E2E_CLIENTS_HH

#include "Process.hh"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace yvk::test {

constexpr int kClientTimeoutMs = 30000;
const std::string kHttpServer = "http://127.0.0.1:8554";

// Decoded video frames, "frame|key_frame=..|width=..|height=..", over the
// RTSP transport given ("" for other protocols).  The read is cut by time: a
// cut after a number of packets can fall between a key picture's parameter
// sets and its slice, which FFmpeg reports as an access unit without a
// picture.
inline ProcessResult probeVideo(const std::string& url, const std::string& transport, int seconds = 3,
                                const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"ffprobe", "-v", "error", "-analyzeduration", "1000000"};
    if (!transport.empty()) argv.insert(argv.end(), {"-rtsp_transport", transport});
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"-select_streams", "v", "-show_entries", "frame=key_frame,width,height", "-read_intervals",
                             "%+" + std::to_string(seconds), "-of", "compact", url});
    return runProcess(argv, kClientTimeoutMs);
}

// At least atLeast frames of the given size decoded without an error, the
// first a key frame unless fromKeyFrame is false.
inline void expectDecodedVideo(const ProcessResult& result, size_t atLeast, const std::string& size = "width=352|height=288",
                               bool fromKeyFrame = true) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "") << "decode errors";
    auto frames = linesStartingWith(result.out, "frame|");
    EXPECT_GE(frames.size(), atLeast) << result.out;
    for (const std::string& frame : frames) EXPECT_NE(frame.find(size), std::string::npos) << frame;
    if (fromKeyFrame && !frames.empty()) { EXPECT_NE(frames[0].find("key_frame=1"), std::string::npos) << frames[0]; }
}

// A client that ended well and decoded at least atLeast video frames.
inline void expectFrames(const ProcessResult& result, size_t atLeast) {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_GE(linesStartingWith(result.out, "frame|").size(), atLeast) << result.err;
}

// The number right after label in text, -1 without label.
inline double numberAfter(const std::string& text, const char* label) {
    size_t at = text.find(label);
    return at == std::string::npos ? -1.0 : std::atof(text.c_str() + at + std::char_traits<char>::length(label));
}

// A file name as a test name: "clip.mp4" gives "clip_mp4".
inline std::string testName(std::string name) {
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

// curl's result for a request of at most 5 s.
inline ProcessResult curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-sS", "-m", "5"});
    return runProcess(args, 10000);
}

// The body of a GET on the HTTP stream's server.
inline std::string http(const std::string& path) { return curl({kHttpServer + path}).out; }

inline std::vector<std::string> segmentUrls(const std::string& playList) {
    std::vector<std::string> urls;
    for (const std::string& line : linesStartingWith(playList, "live?segment="))
        urls.push_back(line.substr(0, line.find('\r')));
    return urls;
}

// The segment URLs of the HTTP stream's playlist once it lists count of them
// (10 s at most), else none.
inline std::vector<std::string> waitForSegments(size_t count) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        std::vector<std::string> urls = segmentUrls(http("/live.m3u8"));
        if (urls.size() >= count) return urls;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return {};
}

// Codec names and sizes ffprobe finds in a file or URL, "h264,640,360" a line.
inline std::string probeCodecs(const std::string& input, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"ffprobe", "-v", "error"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0", input});
    ProcessResult result = runProcess(argv, kClientTimeoutMs);
    return result.out + result.err;
}

// The codecs of one segment of the HTTP stream, fetched whole first.
inline std::string segmentCodecs(const std::string& url) {
    std::string file = "/tmp/yvk-segment-" + std::to_string(::getpid()) + ".ts";
    ProcessResult fetched = curl({"-o", file, kHttpServer + "/" + url});
    std::string codecs = fetched.err + probeCodecs(file);
    std::remove(file.c_str());
    return codecs;
}

// The command of an FFmpeg client that plays url until it is stopped.
inline std::vector<std::string> ffmpegPlaying(const std::string& url, const std::string& transport) {
    return {"ffmpeg", "-v", "error", "-rtsp_transport", transport, "-i", url, "-f", "null", "-"};
}

// A player that may not stop by itself: TERM after seconds, KILL 3 s later.
inline ProcessResult play(std::vector<std::string> command, int seconds) {
    command.insert(command.begin(), {"timeout", "-k", "3", std::to_string(seconds)});
    return runProcess(command, (seconds + 5) * 1000);
}

} // namespace yvk::test

#endif
