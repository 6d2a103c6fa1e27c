// Live HTTP streaming end to end: a paced host lends H.264 and PCM, the
// instance multiplexes video and AAC into a Transport Stream, cuts it into
// one-second slices and serves them; curl, ffprobe, ffmpeg, GStreamer and
// headless Chromium (the web page with hls.js, Shaka Player) check what
// comes out over HTTP and RTSP.
#include "CoreInstance.hh"
#include "E2eClients.hh"
#include "PacedLiveInstance.hh"
#include "TraceCapture.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace yvk::test;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr unsigned kAacBlockBytes = 2048; // 1024 16-bit mono samples: one AAC frame

// The largest number after key in text, -1 without one.
long largest(const std::string& text, const std::string& key) {
    long found = -1;
    std::regex pattern(key + "\\s*([0-9]+)");
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
        found = std::max(found, std::stol((*it)[1]));
    }
    return found;
}

// What headless Chromium needs; absent only outside the build root.
bool browserAvailable() {
    return access("/usr/bin/chromium", X_OK) == 0 && runProcess({"node", "--version"}, 5000).exitCode == 0;
}

// The browser players of tests/web/players.js; a profile and HOME of their own.
ProcessResult playInBrowser(const std::vector<std::string>& arguments, int seconds) {
    std::vector<std::string> command = {"env", "HOME=/tmp", "node", YVK_WEB_TESTS_DIR "/players.js"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return play(command, seconds);
}

// GStreamer runs the pipeline for 12 s into the fake sinks "video" and
// "audio", which print every buffer; the seconds of video and audio played
// (from the first buffer's time stamp to the last).
std::pair<double, double> gstreamerPlayed(const std::vector<std::string>& pipeline) {
    std::vector<std::string> command = {"gst-launch-1.0", "-v"};
    command.insert(command.end(), pipeline.begin(), pipeline.end());
    command.insert(command.begin(), {"timeout", "-s", "INT", "-k", "3", "12"});
    std::string out = runProcess(command, 20000).out;
    auto span = [&out](const std::string& sink) {
        std::regex pattern("\\(" + sink + ":sink\\) \\(.*pts: ([0-9]+):([0-9]+):([0-9.]+)");
        double first = -1, last = -1;
        for (std::sregex_iterator it(out.begin(), out.end(), pattern), end; it != end; ++it) {
            double t = std::stod((*it)[1]) * 3600 + std::stod((*it)[2]) * 60 + std::stod((*it)[3]);
            if (first < 0) first = t;
            last = t;
        }
        return first < 0 ? 0.0 : last - first;
    };
    return {span("video"), span("audio")};
}

// VLC plays uri for seconds and re-encodes what it decoded into a Transport
// Stream; ffprobe's count of that file's video frames and audio frames.  VLC
// refuses to run as root, so it runs as nobody in a folder of its own.
std::pair<long, long> vlcDecoded(const std::string& uri, int seconds) {
    char folder[] = "/tmp/yvk-vlc-XXXXXX";
    if (mkdtemp(folder) == nullptr || chmod(folder, 0777) != 0) return {-1, -1};
    const std::string out = std::string(folder) + "/decoded.ts";
    play({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", std::string("HOME=") + folder, "cvlc",
          "--intf", "dummy", "--vout", "dummy", "--aout", "dummy", "--run-time", std::to_string(seconds),
          "--play-and-exit", uri, "--sout",
          "#transcode{vcodec=mp2v,vb=800,acodec=mpga}:std{access=file,mux=ts,dst=" + out + "}"},
         seconds + 20);
    std::string counts = runProcess({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                     "stream=codec_type,nb_read_frames", "-of", "csv=p=0", out},
                                    30000)
                             .out;
    runProcess({"rm", "-rf", folder}, 5000);
    return {largest(counts, "video,"), largest(counts, "audio,")};
}

// playbin on uri, into the fake sinks of gstreamerPlayed.
std::vector<std::string> playbin(const std::string& uri) {
    return {"playbin", "uri=" + uri, "video-sink=fakesink name=video sync=true silent=false",
            "audio-sink=fakesink name=audio sync=true silent=false"};
}

class HlsE2E : public testing::Test {
protected:
    void TearDown() override {
        fInstance.reset();
        MPD_CONFORMANT = 0; // read by the loop thread, which Free has joined
    }

    // A camera's key frame every two seconds: half the segments begin
    // without one, and players must still find parameter sets in each.
    YVKStreamerCore* create(bool video, bool audio, int audioBits = 16) {
        fInstance = std::make_unique<PacedLiveInstance>(
            std::make_unique<PacedLiveHost>(kWidth, kHeight, kAacBlockBytes, 50), true, kWidth, kHeight,
            [&](YVKStreamerLiveCfg& cfg) {
                cfg.videoEnable = video ? 1 : 0;
                cfg.audio.enable = audio ? 1 : 0;
                cfg.audio.bitsPerSample = audioBits;
            });
        fCore = fInstance->core();
        return fCore;
    }

    std::unique_ptr<PacedLiveInstance> fInstance;
    YVKStreamerCore* fCore = nullptr;
};

// Run returns once the second slice began.  Every slice holds H.264 and
// AAC, and a player that starts on the first one finds the audio: the first
// segment's first program map lists only video (audio's first frame comes
// later), and the map that adds AAC must carry a new version, or tsdemux
// keeps the first one and never opens audio.  The RTSP subsession carries
// the same Transport Stream.
TEST_F(HlsE2E, ReadyWithinSecondsAndEverySegmentAndTheRtspSubsessionHoldH264AndAac) {
    ASSERT_NE(create(true, true), nullptr);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(YVK_StreamerCoreRun(fCore), 1);
    std::string printed = testing::internal::GetCapturedStdout();
    // Well before Run's 10 s limit (a slow sanitizer build on a busy machine
    // needs a few seconds).
    EXPECT_TRUE(fCore->hlsReady.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_NE(printed.find("\033[33mHLS Started!\033[0m"), std::string::npos);

    std::vector<std::string> urls = waitForSegments(3);
    ASSERT_GE(urls.size(), 3u);
    ASSERT_EQ(urls.front(), "live?segment=0");
    // Frames are stamped with the clock at delivery, so a key frame delayed
    // past a second's end leaves that slice without parameter sets, and
    // ffprobe cannot tell its picture size: the size is asked of any slice.
    const std::string sized = "h264," + std::to_string(kWidth) + "," + std::to_string(kHeight);
    std::string all;
    for (const std::string& url : urls) {
        std::string codecs = segmentCodecs(url);
        all += codecs;
        EXPECT_NE(codecs.find("h264"), std::string::npos) << url << ": " << codecs;
        // Slice 0 runs from the first frame to the end of its second: it may
        // be over before the encoder's look-ahead lets the first AAC frame out.
        if (url != urls.front()) {
            EXPECT_NE(codecs.find("aac"), std::string::npos) << url << ": " << codecs;
        }
    }
    EXPECT_NE(all.find(sized), std::string::npos) << all;

    // The first three segments, as a player that starts on the first one
    // reads them.
    std::string file = "/tmp/yvk-first-segments-" + std::to_string(::getpid()) + ".ts";
    ProcessResult fetched = runProcess({"sh", "-c",
                                        "curl -sS -m 5 '" + kHttpServer + "/" + urls[0] + "' '" + kHttpServer + "/" +
                                            urls[1] + "' '" + kHttpServer + "/" + urls[2] + "' > " + file},
                                       10000);
    ASSERT_EQ(fetched.exitCode, 0) << fetched.err;
    auto [video, audio] = gstreamerPlayed(playbin("file://" + file));
    std::remove(file.c_str());
    // The first slice starts with the first frame, part way into its second:
    // any half second of both will do.
    EXPECT_GT(video, 0.5);
    EXPECT_GT(audio, 0.5);

    std::string codecs = probeCodecs("rtsp://127.0.0.1:8554/live", {"-rtsp_transport", "tcp"});
    EXPECT_NE(codecs.find("h264"), std::string::npos) << codecs;
    EXPECT_NE(codecs.find("aac"), std::string::npos) << codecs;
}

TEST_F(HlsE2E, PlaylistMatchesTheStore) {
    ASSERT_NE(create(true, true), nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(fCore), 1);
    ASSERT_GE(waitForSegments(2).size(), 2u);
    std::string playList = http("/live.m3u8");
    std::vector<std::string> urls = segmentUrls(playList);
    ASSERT_FALSE(urls.empty()) << playList;
    std::string sequence = urls.front().substr(13);
    EXPECT_EQ(playList.rfind("#EXTM3U\r\n#EXT-X-VERSION:3.0\r\n#EXT-X-ALLOW-CACHE:NO\r\n#EXT-X-MEDIA-SEQUENCE:" +
                                 sequence + "\r\n#EXT-X-TARGETDURATION:1\r\n#EXTINF:1,\r\nlive?segment=" + sequence +
                                 "\r\n",
                             0),
              0u)
        << playList;
    // The newest slice, still being filled, is neither listed nor served;
    // numbers outside the store are not found.  The slice after the last
    // listed one may be completed between the playlist and the request (its
    // end passed meanwhile on a slow machine): it is then in the next
    // playlist, and the one after it is tried.
    auto status = [](const std::string& number) {
        return curl({"-o", "/dev/null", "-w", "%{http_code}", kHttpServer + "/live?segment=" + number}).out;
    };
    unsigned last = std::stoul(urls.back().substr(13));
    bool openRefused = false;
    for (int attempt = 0; attempt < 5 && !openRefused; ++attempt) {
        unsigned open = std::stoul(segmentUrls(http("/live.m3u8")).back().substr(13)) + 1;
        std::string code = status(std::to_string(open));
        openRefused = code == "404";
        if (!openRefused) {
            std::vector<std::string> now = segmentUrls(http("/live.m3u8"));
            EXPECT_NE(std::find(now.begin(), now.end(), "live?segment=" + std::to_string(open)), now.end())
                << "slice " << open << " served (" << code << ") but not listed";
        }
    }
    EXPECT_TRUE(openRefused);
    for (std::string number : {std::to_string(last + 100), std::string("-1"), std::string("4294967296"),
                               std::to_string(4294967296ULL + last), std::string("x")}) {
        EXPECT_EQ(status(number), "404") << number;
    }
    // Two segment requests sent back to back: two whole replies, in order,
    // each with the bytes of its segment.
    std::string first = rawExchange(8554, "GET /" + urls[0] + " HTTP/1.1\r\nConnection: close\r\n\r\n", 5000);
    std::string second = rawExchange(8554, "GET /" + urls[1] + " HTTP/1.1\r\nConnection: close\r\n\r\n", 5000);
    std::string both = rawExchange(8554,
                                              "GET /" + urls[0] + " HTTP/1.1\r\n\r\nGET /" + urls[1] +
                                                  " HTTP/1.1\r\nConnection: close\r\n\r\n",
                                              5000);
    ASSERT_FALSE(replyBody(first).empty());
    size_t split = both.find("HTTP/1.1 200 OK", 1);
    ASSERT_NE(split, std::string::npos) << both.substr(0, 300);
    EXPECT_EQ(replyBody(both.substr(0, split)), replyBody(first));
    EXPECT_EQ(replyBody(both.substr(split)), replyBody(second));
    EXPECT_NE(http("/live.mpd").find("startNumber='"), std::string::npos);
}

// Players on one instance, its web root web/.  HLS: ffmpeg decodes 5 s of
// video and audio from the playlist; GStreamer's hlsdemux and VLC play both.
// Slices are cut by the clock, not at key frames, so a player starting on
// one drops up to a second of video before its first key frame: at least 3 s
// of each is asked for.  DASH: the manifest has what its players need
// (codecs, size, bandwidth, a fixed availability start and numbers counted
// from slice 0), and GStreamer's playbin and Shaka Player in Chromium play
// it.  The web page (hls.js in Chromium): five page loads in a row, each
// plays at least 3 s at the stream's width and shows the version, the
// stream list and the server's statistics.
TEST_F(HlsE2E, HlsAndDashPlayersAndTheWebPagePlayTheLiveStream) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(YVK_WEB_DIR), 0) << YVK_WEB_DIR;
    MPD_CONFORMANT = 1;
    bool ok = create(true, true) != nullptr && YVK_StreamerCoreRun(fCore) == 1 && waitForSegments(5).size() >= 5;
    EXPECT_EQ(chdir(previous), 0);
    ASSERT_TRUE(ok);
    // The segment URLs have no file extension ffmpeg knows.
    ProcessResult ffmpeg = play({"ffmpeg", "-hide_banner", "-nostats", "-nostdin", "-extension_picky", "0", "-i",
                                 kHttpServer + "/live.m3u8", "-t", "5", "-map", "0:v:0", "-map", "0:a:0", "-f", "null", "-"},
                                30);
    EXPECT_EQ(ffmpeg.exitCode, 0) << ffmpeg.err;
    EXPECT_GE(largest(ffmpeg.err, "frame="), 75) << ffmpeg.err; // 3 s at 25 fps
    EXPECT_GE(largest(ffmpeg.err, "audio:"), 94) << ffmpeg.err;  // KiB: 3 s of 16-bit PCM at 16 kHz
    auto [video, audio] = gstreamerPlayed(
        {"souphttpsrc", "location=" + kHttpServer + "/live.m3u8", "!", "hlsdemux", "!", "tsdemux", "name=demux", "demux.",
         "!", "queue", "!", "h264parse", "!", "avdec_h264", "!", "fakesink", "name=video", "sync=true", "silent=false",
         "demux.", "!", "queue", "!", "aacparse", "!", "avdec_aac", "!", "fakesink", "name=audio", "sync=true",
         "silent=false"});
    EXPECT_GE(video, 3.0);
    EXPECT_GE(audio, 3.0);
    std::printf("hlsdemux played %.1f s of video and %.1f s of audio\n", video, audio);
    auto [vlcVideo, vlcAudio] = vlcDecoded(kHttpServer + "/live.m3u8", 8);
    EXPECT_GE(vlcVideo, 75);
    EXPECT_GE(vlcAudio, 2 * 16000 / 1152); // MPEG audio frames of 1152 samples: 2 s or more
    std::printf("VLC decoded %ld video frames and %ld audio frames\n", vlcVideo, vlcAudio);

    std::string mpd = http("/live.mpd");
    for (const char* piece : {"codecs='avc1.64", ",mp4a.40.2'", "mimeType='video/mp2t'", "width='640' height='360'",
                              "availabilityStartTime='20", "minBufferTime='PT2S'", "<Representation id='0'",
                              "startNumber='0'", "bandwidth='"}) {
        EXPECT_NE(mpd.find(piece), std::string::npos) << piece << " in " << mpd;
    }
    EXPECT_EQ(mpd.find("bandwidth='0'"), std::string::npos) << mpd;
    std::tie(video, audio) = gstreamerPlayed(playbin(kHttpServer + "/live.mpd"));
    EXPECT_GE(video, 3.0);
    EXPECT_GE(audio, 3.0);
    std::printf("playbin played %.1f s of video and %.1f s of audio\n", video, audio);

    if (!browserAvailable()) GTEST_SKIP() << "no /usr/bin/chromium or node: the build root has both";
    ProcessResult shaka = playInBrowser({"shaka", kHttpServer, std::to_string(kWidth)}, 60);
    EXPECT_EQ(shaka.exitCode, 0) << shaka.out << shaka.err << http("/live.mpd");
    ProcessResult page = playInBrowser({"page", kHttpServer, std::to_string(kWidth), "5"}, 150);
    EXPECT_EQ(page.exitCode, 0) << page.out << page.err;
    std::vector<std::string> loads = linesStartingWith(page.out, "load ");
    EXPECT_EQ(loads.size(), 5u) << page.out;
    for (const std::string& load : loads) {
        EXPECT_NE(load.find("audio mp4a.40.2; version \"1.0\", streams \"live\""), std::string::npos) << load;
        // The page's server panel, from /getStats.
        EXPECT_NE(load.find("server \"live: live hls, H264 640×360 @ 25 fps"), std::string::npos) << load;
        EXPECT_TRUE(std::regex_search(load, std::regex("segments held ([1-9]|10)$"))) << load;
    }
    std::printf("%s%s", shaka.out.c_str(), page.out.c_str());
}

TEST_F(HlsE2E, AudioThatCannotBeEncodedLeavesVideoAlone) {
    TraceCapture trace;
    ASSERT_NE(create(true, true, 12), nullptr);
    EXPECT_TRUE(trace.contains("AudioEncSource::createNew() returns NULL"));
    ASSERT_EQ(YVK_StreamerCoreRun(fCore), 1);
    std::vector<std::string> urls = waitForSegments(1);
    ASSERT_FALSE(urls.empty());
    std::string codecs = segmentCodecs(urls.front());
    EXPECT_NE(codecs.find("h264"), std::string::npos) << codecs;
    EXPECT_EQ(codecs.find("aac"), std::string::npos) << codecs;
}

} // namespace
