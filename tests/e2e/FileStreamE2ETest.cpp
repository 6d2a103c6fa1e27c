// File mode end to end: the generated media served by a file instance and
// read by real clients (FFmpeg's ffprobe and ffmpeg, raw RTSP requests).
#include "CoreTestSupport.hh"
#include "E2eClients.hh"
#include "RawHttp.hh"
#include "yvkstreamer_core.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using yvk::test::kClientTimeoutMs;
using yvk::test::numberAfter;
using yvk::test::ProcessResult;
using yvk::test::runProcess;
const std::string kHost = YVK_BINARY_DIR "/host/yvkstreamer";

std::string media(const char* name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

size_t countLines(const std::string& text, const std::string& prefix) {
    return yvk::test::linesStartingWith(text, prefix).size();
}

// One file instance on a free port, running until the test ends.
class FileInstance {
public:
    explicit FileInstance(const std::string& fileName, YVKStreamerGetFileName playList = nullptr,
                          YVKStreamerTextCallback text = nullptr)
        : fFileName(fileName), fPort(yvk::test::freeTcpPort()) {
        yvk::test::guardNetworkSetup();
        YVKStreamerFileCfg cfg = yvk::test::fileConfig(fPort, "vod", fFileName.c_str());
        cfg.getFileName = playList;
        cfg.textEnable = text != nullptr ? 1 : 0;
        cfg.textCallback = text;
        fCore = YVK_StreamerCoreNew(YVK_STREAMER_MODE_FILE, &cfg, nullptr, nullptr);
        if (fCore != nullptr) YVK_StreamerCoreRun(fCore);
    }
    ~FileInstance() { YVK_StreamerCoreFree(fCore); }
    FileInstance(const FileInstance&) = delete;
    FileInstance& operator=(const FileInstance&) = delete;

    YVKStreamerCore* core() const { return fCore; }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(fPort) + "/vod"; }
    // The DESCRIBE reply with its SDP.
    std::string describe() const { return yvk::test::rawDescribe(fPort, url()); }

private:
    std::string fFileName;
    unsigned short fPort;
    YVKStreamerCore* fCore = nullptr;
};

// The streams and the decoded frames of the first seconds (all without
// seconds), as lines "stream|codec_name=..|width=..",
// "frame|media_type=..|pts_time=..|width=..".
ProcessResult probe(const std::string& url, const std::string& seconds, int timeoutMs = kClientTimeoutMs) {
    std::vector<std::string> argv = {
        "ffprobe", "-v", "error", "-rtsp_transport", "udp", "-show_entries",
        "stream=codec_name,width,height,sample_rate,channels:frame=media_type,pts_time,width,height", "-of", "compact",
        url};
    if (!seconds.empty()) argv.insert(argv.begin() + 1, {"-read_intervals", "%+" + seconds});
    return runProcess(argv, timeoutMs);
}

struct ServedFile {
    const char* name;
    const char* seconds;                    // read by the client; "" to the end
    std::vector<const char*> sdp, streams;  // texts the SDP and ffprobe's stream lines hold
    size_t videoFrames, audioFrames;        // decoded, at least
};

// Test names show the file, not the record's bytes.
void PrintTo(const ServedFile& file, std::ostream* out) { *out << file.name; }

class FileStreamFormats : public ::testing::TestWithParam<ServedFile> {};

TEST_P(FileStreamFormats, ServeAsH264AndL16OrAac) {
    const ServedFile& file = GetParam();
    FileInstance instance(media(file.name));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = instance.describe();
    for (const char* text : file.sdp) EXPECT_NE(sdp.find(text), std::string::npos) << text << "\n" << sdp;
    // A client that reads to the end is told the file is over (RTCP BYE on
    // every track) and stops by itself, long before its own wait for a
    // silent server would end it.
    ProcessResult run = probe(instance.url(), file.seconds, *file.seconds != 0 ? kClientTimeoutMs : 15000);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    if (*file.seconds != 0) { EXPECT_EQ(run.err, "") << "decode errors"; }
    for (const char* text : file.streams) EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    EXPECT_GE(countLines(run.out, "frame|media_type=video"), file.videoFrames) << run.out;
    EXPECT_GE(countLines(run.out, "frame|media_type=audio"), file.audioFrames) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    FileStreamE2E, FileStreamFormats,
    ::testing::Values(
        ServedFile{"clip.mp4", "", // 4 s at 25 fps
                   {"a=range:npt=0-4", "H264/90000", "L16/44100/2", "sprop-parameter-sets="},
                   {"codec_name=h264|width=320|height=240", "codec_name=pcm_s16be|sample_rate=44100|channels=2"},
                   95, 10},
        // H.265 is transcoded to H.264 at 1280x720.
        ServedFile{"clip.mkv", "2", {}, {"codec_name=h264|width=1280|height=720", "codec_name=pcm_s16be|sample_rate=48000|channels=1"}, 1, 1},
        // MP3 is converted to AAC.  A second of the two read is enough
        // video: over UDP a loaded machine may lose a few frames.
        ServedFile{"clip.avi", "2", {"MPEG4-GENERIC/32000", "mode=AAC-hbr", "config=1288"}, {"codec_name=aac"}, 25, 20},
        // ... at the MP3's own rate and channels.
        ServedFile{"mp3-44k-stereo.avi", "1", {"MPEG4-GENERIC/44100/2", "config=1210"},
                   {"codec_name=aac|sample_rate=44100|channels=2"}, 10, 10}),
    [](const auto& info) { return yvk::test::testName(info.param.name); });

// 16-bit PCM of a WAV file written by ffmpeg.
struct Wav {
    int rate = 0, channels = 0;
    std::vector<int16_t> samples;  // interleaved
    double seconds() const { return rate > 0 && channels > 0 ? double(samples.size()) / channels / rate : 0; }
};

Wav readWav(const std::string& path) {
    Wav wav;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    for (size_t at = 12; at + 8 <= bytes.size();) {
        std::string id = bytes.substr(at, 4);
        size_t size = std::min<size_t>(u32(at + 4), bytes.size() - at - 8);
        if (id == "fmt " && size >= 16) {
            uint16_t channels = 0;
            std::memcpy(&channels, bytes.data() + at + 10, 2);
            wav.channels = channels;
            wav.rate = static_cast<int>(u32(at + 12));
        } else if (id == "data") {
            wav.samples.resize(size / 2);
            std::memcpy(wav.samples.data(), bytes.data() + at + 8, wav.samples.size() * 2);
        }
        at += 8 + size + (size & 1);
    }
    return wav;
}

// The part of the audio from one second to another.
Wav section(const Wav& wav, double from, double to) {
    Wav part = wav;
    auto at = [&](double seconds) {
        size_t sample = static_cast<size_t>(seconds * wav.rate) * static_cast<size_t>(wav.channels);
        return wav.samples.begin() + static_cast<std::ptrdiff_t>(std::min(sample, wav.samples.size()));
    };
    part.samples.assign(at(from), at(to));
    return part;
}

// The tone's frequency on the first channel from its rising zero crossings,
// half a second in from either end (the encoders' start-up and the end).
double toneFrequency(const Wav& wav) {
    size_t frames = wav.samples.size() / static_cast<size_t>(std::max(wav.channels, 1));
    size_t from = static_cast<size_t>(wav.rate / 2), to = frames > from ? frames - from : 0;
    int crossings = 0;
    size_t firstCrossing = 0, lastCrossing = 0;
    for (size_t i = from + 1; i < to; ++i) {
        int16_t before = wav.samples[(i - 1) * static_cast<size_t>(wav.channels)];
        int16_t now = wav.samples[i * static_cast<size_t>(wav.channels)];
        if (before < 0 && now >= 0) {
            if (crossings++ == 0) firstCrossing = i;
            lastCrossing = i;
        }
    }
    return crossings > 1 ? (crossings - 1) * double(wav.rate) / double(lastCrossing - firstCrossing) : 0;
}

struct ServedAudio {
    const char* name;
    const char* rtpmap;  // in the SDP
    int rate, channels;
};

void PrintTo(const ServedAudio& file, std::ostream* out) { *out << file.name; }

class FileStreamAudio : public ::testing::TestWithParam<ServedAudio> {};

// The whole audio of an instance as ffmpeg decodes it over RTSP, and the
// count of video frames beside it.
Wav playAudio(const FileInstance& instance, const std::string& name, size_t& videoFrames) {
    std::string wavPath = std::string(YVK_BINARY_DIR) + "/tests/e2e/audio-" + name + ".wav";
    ProcessResult run = runProcess({"ffmpeg", "-v", "error", "-nostdin", "-y", "-rtsp_transport", "tcp", "-i",
                                    instance.url(), "-map", "0:a", "-c:a", "pcm_s16le", "-f", "wav", wavPath, "-map",
                                    "0:v", "-f", "framecrc", "-"},
                                   kClientTimeoutMs);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    videoFrames = 0;
    for (const auto& line : yvk::test::linesStartingWith(run.out, "0,")) videoFrames += line.empty() ? 0 : 1;
    Wav wav = readWav(wavPath);
    std::remove(wavPath.c_str());
    return wav;
}

// A client decodes the audio at the file's own rate and channel count: the
// 440 Hz tone keeps its pitch and the audio lasts as long as the video.
TEST_P(FileStreamAudio, DecodesAtTheFilesRateAndChannelsWithItsPitchAndLength) {
    const ServedAudio& file = GetParam();
    FileInstance instance(media(file.name));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = instance.describe();
    EXPECT_NE(sdp.find(file.rtpmap), std::string::npos) << sdp;
    size_t videoFrames = 0;
    Wav wav = playAudio(instance, file.name, videoFrames);
    EXPECT_EQ(wav.rate, file.rate);
    EXPECT_EQ(wav.channels, file.channels);
    EXPECT_NEAR(wav.seconds(), videoFrames / 25.0, 0.1) << videoFrames << " video frames";
    EXPECT_NEAR(toneFrequency(wav), 440.0, 440.0 * 0.02);
}

INSTANTIATE_TEST_SUITE_P(
    FileStreamE2E, FileStreamAudio,
    ::testing::Values(ServedAudio{"mp3-44k-stereo.avi", "MPEG4-GENERIC/44100/2", 44100, 2},
                      ServedAudio{"mp3-48k-stereo.mkv", "MPEG4-GENERIC/48000/2", 48000, 2},
                      ServedAudio{"aac-48k-stereo.mp4", "L16/48000/2", 48000, 2}),
    [](const auto& info) { return yvk::test::testName(info.param.name); });

// The three 4-second entries of the generated play list.
const char* threeFileList(int index) {
    static const std::string names[] = {media("list-1.mp4"), media("list-2.mp4"), media("list-3.mp4")};
    return index >= 0 && index < 3 ? names[index].c_str() : nullptr;
}


// A play list of AAC, MP3 48 kHz and MP3 44.1 kHz entries (each a 440 Hz
// tone beside 4 s of video): its audio goes out as the first entry's L16
// throughout, and the tone keeps its pitch after each join.
const char* mixedAudioList(int index) {
    static const std::string names[] = {media("aac-48k-stereo.mp4"), media("mp3-48k-stereo.mkv"),
                                        media("mp3-44k-stereo.avi")};
    return index >= 0 && index < 3 ? names[index].c_str() : nullptr;
}

TEST(FileStreamE2E, PlayListOfMp3EntriesPlaysTheirAudioInTheListsFormat) {
    FileInstance instance(media("aac-48k-stereo.mp4"), mixedAudioList);
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = instance.describe();
    EXPECT_NE(sdp.find("L16/48000/2"), std::string::npos) << sdp;
    size_t videoFrames = 0;
    Wav wav = playAudio(instance, "mixed-list", videoFrames);
    EXPECT_EQ(wav.rate, 48000);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_NEAR(wav.seconds(), videoFrames / 25.0, 0.2) << videoFrames << " video frames";
    for (int entry = 0; entry < 3; ++entry)
        EXPECT_NEAR(toneFrequency(section(wav, 4.0 * entry, 4.0 * entry + 4)), 440.0, 440.0 * 0.02) << "entry " << entry;
}

TEST(FileStreamE2E, PlayListPlaysThroughItsJoinsAndSeeks) {
    FileInstance instance(media("list-1.mp4"), threeFileList);
    ASSERT_NE(instance.core(), nullptr);
    EXPECT_NE(instance.describe().find("a=range:npt=0-12"), std::string::npos);
    ProcessResult frames = probe(instance.url(), "11.6");
    EXPECT_EQ(frames.exitCode, 0) << frames.err;
    auto video = yvk::test::linesStartingWith(frames.out, "frame|media_type=video");
    ASSERT_GE(video.size(), 280u) << frames.out;
    double largestGap = 0;
    auto pts = [&](size_t i) { return numberAfter(video[i], "pts_time="); };
    for (size_t i = 1; i < video.size(); ++i) largestGap = std::max(largestGap, pts(i) - pts(i - 1));
    EXPECT_LE(largestGap, 0.045) << frames.out;
    EXPECT_GE(pts(video.size() - 1) - pts(0), 11.0);

    // ffmpeg -ss before the input asks for the position in PLAY's Range.
    ProcessResult seek = runProcess({"ffmpeg", "-v", "info", "-nostdin", "-rtsp_transport", "udp", "-ss", "5",
                                     "-copyts", "-i", instance.url(), "-t", "1", "-an", "-vf", "showinfo", "-f",
                                     "null", "-"},
                                    kClientTimeoutMs);
    EXPECT_EQ(seek.exitCode, 0) << seek.err;
    EXPECT_NEAR(numberAfter(seek.err, "pts_time:"), 5.0, 1.0) << seek.err;
}

// What a client's stream used (sample buffers, the demux service's and the
// codecs' state, some megabytes) is given back to the system after its
// teardown, not kept resident by the allocator: client after client, a trim
// of the heaps finds next to nothing left to give back.
TEST(FileStreamE2E, MemoryOfAClientIsGivenBackAfterItsTeardown) {
#ifndef __GLIBC__
    GTEST_SKIP() << "glibc's malloc_trim measures what the allocator keeps";
#else
    FileInstance instance(media("list-1.mp4"), threeFileList);
    ASSERT_NE(instance.core(), nullptr);
    std::vector<long> keptKb;  // per client: what a trim gave back
    for (int client = 0; client < 4; ++client) {
        ProcessResult run = probe(instance.url(), "2");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::this_thread::sleep_for(std::chrono::seconds(1));  // its TEARDOWN handled
        long before = yvk::test::statusKb(getpid(), "RssAnon");
        malloc_trim(0);
        keptKb.push_back(before - yvk::test::statusKb(getpid(), "RssAnon"));
    }
    EXPECT_LT(*std::max_element(keptKb.begin(), keptKb.end()), 1024) << ::testing::PrintToString(keptKb);
#endif
}

// A decoded picture as ffmpeg's showinfo filter describes it.
struct Picture {
    std::string checksum, size;
    double pts = -1;
    bool key = false;
};

std::string tokenAfter(const std::string& line, const char* label) {
    size_t at = line.find(label);
    if (at == std::string::npos) return "";
    at += std::strlen(label);
    while (at < line.size() && line[at] == ' ') ++at;
    return line.substr(at, line.find(' ', at) - at);
}

std::vector<Picture> pictures(const std::string& showinfoLog) {
    std::vector<Picture> result;
    std::istringstream lines(showinfoLog);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Parsed_showinfo") == std::string::npos || line.find(" n:") == std::string::npos) continue;
        result.push_back(Picture{tokenAfter(line, " checksum:"), tokenAfter(line, " s:"),
                                 std::atof(tokenAfter(line, " pts_time:").c_str()), tokenAfter(line, " iskey:") == "1"});
    }
    return result;
}

std::vector<std::string> showinfoArgs(std::vector<std::string> input) {
    std::vector<std::string> argv{"ffmpeg", "-v", "info", "-nostdin"};
    argv.insert(argv.end(), input.begin(), input.end());
    argv.insert(argv.end(), {"-an", "-vf", "showinfo", "-f", "null", "-"});
    return argv;
}

// The pictures of a video track of a file, by their checksum (the served
// stream carries the file's own H.264, so a client decodes the same ones).
std::map<std::string, Picture> picturesOfFile(const std::string& path, int videoTrack) {
    ProcessResult run =
        runProcess(showinfoArgs({"-i", path, "-map", "0:v:" + std::to_string(videoTrack)}), kClientTimeoutMs);
    std::map<std::string, Picture> byChecksum;
    for (const Picture& picture : pictures(run.err)) byChecksum[picture.checksum] = picture;
    return byChecksum;
}

// Where a picture a client decoded sits in the file: its time there, -1
// when the file has no such picture.
double timeInFile(const std::map<std::string, Picture>& file, const Picture& picture) {
    auto it = file.find(picture.checksum);
    return it == file.end() ? -1.0 : it->second.pts;
}

// With subtitles on, a seek lands once: the subtitle reader, which seeks
// the text after the client's PLAY, moves no other track.
TEST(FileStreamE2E, SeekWithSubtitlesOnLandsOnceAndStaysPut) {
    std::string path = media("sparse-text.mkv");
    auto file = picturesOfFile(path, 0);
    ASSERT_GE(file.size(), 250u);
    FileInstance instance(path, nullptr, [](uint64_t, char*, int) {});
    ASSERT_NE(instance.core(), nullptr);
    // openRTSP keeps every picture it receives (PLAY Range: npt=5-); ffmpeg
    // decodes them all.
    std::string dir = std::string(YVK_BINARY_DIR) + "/tests/e2e/seek-with-text";
    runProcess({"rm", "-rf", dir}, 5000);
    runProcess({"mkdir", "-p", dir}, 5000);
    ProcessResult seek = runProcess({"sh", "-c", "cd " + dir + " && exec openRTSP -t -s 5 -d 2 " + instance.url()},
                                    kClientTimeoutMs);
    EXPECT_EQ(seek.exitCode, 0) << seek.err;
    ProcessResult decoded = runProcess(showinfoArgs({"-f", "h264", "-i", dir + "/video-H264-1"}), kClientTimeoutMs);
    std::vector<Picture> shown = pictures(decoded.err);
    ASSERT_GE(shown.size(), 25u) << decoded.err;
    double first = timeInFile(file, shown[0]);
    EXPECT_GE(first, 4.0) << "within one GOP (1 s) of 5 s";
    EXPECT_LE(first, 5.0);
    for (size_t i = 1; i < shown.size(); ++i) {
        double at = timeInFile(file, shown[i]);
        ASSERT_GE(at, 0) << "picture " << i << " is not the file's";
        ASSERT_GT(at, timeInFile(file, shown[i - 1])) << "picture " << i << " goes back in the file";
    }
}

// Ctrl's track switch while a client plays: its video goes on with the new
// track at the key frame at or before where it was, not at the start.
TEST(FileStreamE2E, TrackSwitchDuringPlaybackGoesOnAtThePlaybackPositionOnAKeyFrame) {
    std::string path = media("two-video.mp4");
    auto large = picturesOfFile(path, 0), small = picturesOfFile(path, 1);
    FileInstance instance(path);
    ASSERT_NE(instance.core(), nullptr);
    ProcessResult run;
    std::thread client([&] {
        run = runProcess(showinfoArgs({"-rtsp_transport", "tcp", "-i", instance.url(), "-t", "6"}), kClientTimeoutMs);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    YVKStreamerCtrlCmd cmd{YVK_STREAMER_CMD_VIDEO_TRACK, 1};
    EXPECT_EQ(YVK_StreamerCoreCtrl(instance.core(), &cmd), 1);
    client.join();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<Picture> shown = pictures(run.err);
    auto switched = std::find_if(shown.begin(), shown.end(), [](const Picture& p) { return p.size == "160x120"; });
    ASSERT_NE(switched, shown.end()) << run.err;
    ASSERT_NE(switched, shown.begin());
    double before = timeInFile(large, *(switched - 1));
    ASSERT_GT(before, 1.0) << "the switch came during playback";
    auto it = small.find(switched->checksum);
    ASSERT_NE(it, small.end()) << "the first picture after the switch is the file's";
    EXPECT_TRUE(it->second.key);
    EXPECT_LE(it->second.pts, before + 0.05);
    EXPECT_GE(it->second.pts, before - 1.05) << "within one GOP before the playback position " << before;
    for (auto next = switched + 1; next != shown.end(); ++next) {
        ASSERT_GT(timeInFile(small, *next), timeInFile(small, *(next - 1)));
    }
}

// One file instance per process, files without tracks refused; one client
// of the file at a time, and Free ends a stream under its client.
TEST(FileStreamE2E, OneInstanceAndOneClientAtATime) {
    for (const char* bad : {"no-such-file.mp4", "not-media.mp4"}) EXPECT_EQ(FileInstance(media(bad)).core(), nullptr);
    auto instance = std::make_unique<FileInstance>(media("clip.mp4"));
    ASSERT_NE(instance->core(), nullptr);
    EXPECT_EQ(FileInstance(media("clip.avi")).core(), nullptr) << "one file instance per process";
    std::string url = instance->url();
    ProcessResult first;
    std::thread firstClient([&] { first = probe(url, "3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The second client's setup is refused, and it gives up at once.
    auto start = std::chrono::steady_clock::now();
    ProcessResult second = probe(url, "1");
    auto secondMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    firstClient.join();
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(second.err.find("SETUP failed: 503"), std::string::npos) << second.err;
    EXPECT_LT(secondMs.count(), 1500);
    EXPECT_EQ(countLines(second.out, "frame|"), 0u) << second.out;
    // After the first one's teardown the file serves again, until Free
    // tears everything down under the client.
    ProcessResult third;
    std::thread thirdClient([&] { third = probe(url, "3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    instance.reset();
    thirdClient.join();
    EXPECT_GE(countLines(third.out, "frame|media_type=video"), 10u) << third.out << third.err;
    FileInstance next(media("clip.mp4"));
    EXPECT_NE(next.core(), nullptr);
}

// The video's parameter sets as the SDP of a DESCRIBE announces them.
std::string spropOf(const FileInstance& instance) {
    std::string sdp = instance.describe();
    size_t at = sdp.find("sprop-parameter-sets=");
    return at == std::string::npos ? "" : sdp.substr(at, sdp.find_first_of(";\r\n", at) - at);
}

TEST(FileStreamE2E, CtrlSwitchesTheVideoTrackForTheNextClient) {
    FileInstance instance(media("two-video.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    std::string spropBefore = spropOf(instance);
    ASSERT_FALSE(spropBefore.empty());
    YVKStreamerCtrlCmd cmd{YVK_STREAMER_CMD_VIDEO_TRACK, 1};
    EXPECT_EQ(YVK_StreamerCoreCtrl(instance.core(), &cmd), 1);
    std::string spropAfter = spropBefore;  // the switch reaches the loop thread through an event
    for (int i = 0; i < 20 && spropAfter == spropBefore; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        spropAfter = spropOf(instance);
    }
    EXPECT_NE(spropAfter, spropBefore);
    ProcessResult after = probe(instance.url(), "0.5");
    auto frames = yvk::test::linesStartingWith(after.out, "frame|media_type=video");
    ASSERT_FALSE(frames.empty()) << after.out << after.err;
    EXPECT_NE(frames.front().find("width=160|height=120"), std::string::npos) << after.out;
}

// Subtitles reach the host's callback in order: the reference host prints them.
TEST(FileStreamE2E, ReferenceHostServesAFileAndPrintsItsSubtitles) {
    unsigned short port = yvk::test::freeTcpPort();
    yvk::test::ChildProcess host(
        {kHost, "file", "--port", std::to_string(port), "--name", "movie", "--text", media("clip.mkv")});
    std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/movie";
    ASSERT_TRUE(host.waitForOutput(url, 10000)) << host.output() << host.errors();
    // Before any client the text runs freely.
    EXPECT_TRUE(host.waitForOutput("third line", 10000)) << host.output();
    std::string out = host.output();
    EXPECT_LT(out.find("ms: first line"), out.find("ms: second line"));
    EXPECT_LT(out.find("ms: second line"), out.find("ms: third line"));
    ProcessResult streams = probe(url, "0.5");
    EXPECT_NE(streams.out.find("codec_name=h264|width=1280|height=720"), std::string::npos) << streams.out;
    EXPECT_EQ(host.stop(SIGINT, 10000), 0) << host.errors();
    EXPECT_NE(host.output().find("Stopped."), std::string::npos);
}

// After a client vanished, the file's only stream is taken over by a later
// client within seconds of the last sign of life (not after the session
// timeout); the time from the vanishing to the first frames served.
long secondsUntilServedAgain(const FileInstance& instance, std::chrono::steady_clock::time_point vanished) {
    ProcessResult served;
    for (int attempt = 0; attempt < 20 && countLines(served.out, "frame|media_type=video") == 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        served = probe(instance.url(), "1");
    }
    EXPECT_GE(countLines(served.out, "frame|media_type=video"), 10u) << served.err;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - vanished).count();
}

// Clients that hold the file and vanish: one that set up and played over
// UDP by hand and never sent an RTCP report, and FFmpeg tunnelling RTSP
// over HTTP, killed mid-play (its tunnel connections and session are
// reclaimed; LeakSanitizer checks nothing of them is left at exit).  The
// instance lives on past the 60 s timeout the first session had: taken
// over early, that session must not time out a second time once gone.
TEST(FileStreamE2E, AClientThatVanishedFreesTheFileWithinSeconds) {
    FileInstance instance(media("clip.mp4"));
    ASSERT_NE(instance.core(), nullptr);
    std::string sdp = instance.describe();
    size_t control = sdp.find("a=control:track");
    ASSERT_NE(control, std::string::npos) << sdp;
    std::string track = sdp.substr(control + 10, sdp.find('\r', control) - control - 10);
    unsigned short port = static_cast<unsigned short>(std::stoi(instance.url().substr(17)));
    std::string setup;
    ASSERT_NE(yvk::test::rawSetupAndPlay(port, instance.url() + "/" + track, instance.url(), 45000, &setup), "") << setup;
    EXPECT_NE(setup.find(";timeout=60"), std::string::npos) << setup; // what the client must keep alive within
    auto vanished = std::chrono::steady_clock::now();
    ProcessResult refused = probe(instance.url(), "1");
    EXPECT_NE(refused.err.find("SETUP failed: 503"), std::string::npos) << refused.err;
    EXPECT_LE(secondsUntilServedAgain(instance, vanished), 15);

    // The file's stream is free again (the last probe tore down): FFmpeg
    // takes it through an HTTP tunnel and is killed while it plays; its
    // session streamed over the tunnel, so it goes with the connections.
    yvk::test::ChildProcess tunnelled(yvk::test::ffmpegPlaying(instance.url(), "http"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    tunnelled.stop(SIGKILL, 5000);
    EXPECT_LE(secondsUntilServedAgain(instance, std::chrono::steady_clock::now()), 15);

    std::this_thread::sleep_until(vanished + std::chrono::seconds(63));
    EXPECT_LE(secondsUntilServedAgain(instance, std::chrono::steady_clock::now()), 15);
}

TEST(FileStreamE2E, ReferenceHostRefusesBadCommandLinesWithUsage) {
    for (const auto& [argv, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{kHost, "live", "--port", "99999"}, "bad port"},
             {{kHost, "file", "--port", "8554"}, "no media file given"},
             {{kHost, "file", "--video-track", "9", "x.mp4"}, "bad video track"}}) {
        ProcessResult run = runProcess(argv, 10000);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << run.err;
    }
}

} // namespace
