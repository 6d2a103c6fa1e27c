// The file objects and parser on the generated media: NAL cutting, track
// numbering on both paths, delivery, seeking, the skip frame, MP3 to AAC.
#include "AVIFileParser.hh"
#include "AviFile.hh"
#include "CoreInstance.hh"
#include "LiveTestSupport.hh"
#include "Process.hh"

#include "yvk_demux.h"

#include <tuple>

namespace {

using Bytes = std::vector<unsigned char>;

std::string media(const char* name) { return std::string(YVK_MEDIA_DIR) + "/" + name; }

TEST(FileNalCutting, UnitsStartAfterTheirCodesAndThreeByteCodesCountOnlyWhereNoFourByteOneFollows) {
    struct Cutting {
        Bytes data;
        std::vector<unsigned> sizes;
        Bytes firstBytes;
    } cases[] = {
        {{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5, 6}, {3, 2, 4}, {0x67, 0x68, 0x65}},
        {{0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 2, 3}, {2, 3}, {0x67, 0x68}},
        {{0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 2}, {2, 2}, {0x67, 0x68}},
        {{0, 0, 0, 1, 0x67, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65}, {5, 1}, {0x67, 0x65}},
        {{0x65, 1, 2, 3, 0, 0, 2}, {}, {}},
        {{}, {}, {}},
    };
    for (auto c : cases) {
        std::vector<unsigned> sizes;
        Bytes firstBytes;
        for (const auto& unit : AviFileParser::splitFrames(c.data.data(), static_cast<int>(c.data.size()))) {
            sizes.push_back(unit.size);
            firstBytes.push_back(unit.data[0]);
        }
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(firstBytes, c.firstBytes);
    }
}

TEST(FileParameterSets, SpsAndPpsAreKeptWithoutStartCodesOthersIgnoredAndTooLongOnesSkipped) {
    AviTrack track;
    ASSERT_TRUE(track.allocateParameterSets());
    Bytes data{0, 0, 0, 1, 0x27, 9, 9,       // SPS with another nal_ref_idc: not taken
               0, 0, 0, 1, 0x67, 0x42, 0x1e,  // SPS
               0, 0, 0, 1, 0x68, 0xce,        // PPS
               0, 0, 0, 1, 0x65, 0x88};       // slice
    EXPECT_EQ(AviFileParser::set_nal_data_from_IDR(&track, data.data(), static_cast<int>(data.size())), 0);
    EXPECT_EQ(Bytes(track.spsData, track.spsData + track.spsSize), (Bytes{0x67, 0x42, 0x1e}));
    EXPECT_EQ(Bytes(track.ppsData, track.ppsData + track.ppsSize), (Bytes{0x68, 0xce}));
    Bytes longSps{0, 0, 0, 1, 0x67};
    longSps.resize(4 + 129, 0x55);
    yvk::test::TraceCapture traces;
    AviFileParser::set_nal_data_from_IDR(&track, longSps.data(), static_cast<int>(longSps.size()));
    EXPECT_EQ(track.spsSize, 3u) << "the earlier SPS stays";
    EXPECT_TRUE(traces.contains("SPS of 129 bytes skipped"));
}

// One request, answered (or closed) synchronously by the parser.
using Frame = yvk::test::Delivery;
Frame pull(FramedSource* source, Bytes& buffer) {
    return yvk::test::request(*source, buffer.data(), static_cast<unsigned>(buffer.size()));
}

class FileFixture : public yvk::test::LiveEnvironment {
protected:
    void SetUp() override { AviFileParser::changevtrack(0); }
    void TearDown() override { Medium::close(fFile); }
    AviFile* open(const std::string& name, VodFileIO* vodFileIO = nullptr) {
        return fFile = AviFile::createNew(env(), name.c_str(), 0, vodFileIO, nullptr, nullptr, 0, nullptr);
    }
    char const* mimeOf(unsigned trackNumber) const {
        AviTrack* track = fFile->lookup(trackNumber);
        return track != nullptr ? track->mimeType : "(no track)";
    }
    // A track source of a new client's demux.
    AviDemuxedTrack* newClientTrack(unsigned trackNumber) {
        AviDemux* demux = fFile->newDemux(trackNumber);
        return demux != nullptr ? static_cast<AviDemuxedTrack*>(demux->newDemuxedTrackByTrackNumber(trackNumber))
                                : nullptr;
    }

    AviFile* fFile = nullptr;
};

const char* twoEntryList(int index) {
    static const std::string names[] = {media("list-1.mp4"), media("list-2.mp4")};
    return index >= 0 && index < 2 ? names[index].c_str() : nullptr;
}

TEST_F(FileFixture, PlayListPathNumbersAudioFirstAndVideoAfterAndSumsDurations) {
    YVKStreamerCore core{};
    core.getFileName = twoEntryList;
    VodFileIO io{};
    vodFillFileIO(&io, &core);
    AviFile* file = open(twoEntryList(0), &io);
    EXPECT_STREQ(mimeOf(1), "audio/L16");
    ASSERT_STREQ(mimeOf(2), "video/H264");
    EXPECT_GT(file->lookup(2)->spsSize, 0u);
    EXPECT_NEAR(file->fileDuration(), 8.0, 0.1);
    Medium::close(fFile);  // before the callbacks' record goes
    fFile = nullptr;
}

// The direct path numbers video first; a file lasts as long as its longer
// track.  A consumer may hold a track after its demux went (the file closed
// under it): the track ends instead of reaching the demux again.
TEST_F(FileFixture, DirectPathTracksAndOneDemuxAtATimeGoingWithItsLastTrackOrItsFile) {
    AviFile* file = open(media("clip.mp4"));
    ASSERT_EQ(file->numTracks(), 2u);
    EXPECT_STREQ(mimeOf(1), "video/H264");
    EXPECT_TRUE(file->lookup(1)->spsSize > 0 && file->lookup(1)->ppsSize > 0);
    EXPECT_STREQ(mimeOf(2), "audio/L16");
    EXPECT_EQ(file->lookup(2)->samplingFrequency, 44100u);
    void* handle = YVK_StreamerDemuxOpen(media("clip.mp4").c_str());
    int longer = std::max(YVK_StreamerDemuxGetVidDur(handle), YVK_StreamerDemuxGetAudDur(handle));
    YVK_StreamerDemuxClose(handle);
    EXPECT_FLOAT_EQ(file->fileDuration(), static_cast<float>(longer) / 1000.0f);
    AviDemux* demux = file->newDemux(1);
    ASSERT_NE(demux, nullptr);
    EXPECT_EQ(file->newDemux(1), nullptr) << "a second client gets no demux";
    FramedSource* video = demux->newDemuxedTrackByTrackNumber(1);
    FramedSource* audio = demux->newDemuxedTrackByTrackNumber(2);
    EXPECT_EQ(demux->newDemuxedTrackByTrackNumber(0), nullptr);
    EXPECT_STREQ(video->MIMEtype(), "video/H264");
    Medium::close(video);
    EXPECT_TRUE(file->hasDemux(demux));
    Medium::close(audio);
    EXPECT_FALSE(file->hasAnyDemux());
    video = newClientTrack(1);
    ASSERT_NE(video, nullptr) << "the next client gets a demux";
    Medium::close(fFile);
    fFile = nullptr;
    Bytes buffer(64);
    Frame frame = pull(video, buffer);
    EXPECT_FALSE(frame.done);
    EXPECT_TRUE(frame.closed);
    EXPECT_STREQ(video->MIMEtype(), "(unknown)");
    Medium::close(video);
}

TEST_F(FileFixture, SeekingClampsAndRoundsDownToWholeSeconds) {
    AviFile* file = open(media("clip.mp4"));
    AviDemuxedTrack* video = newClientTrack(1);
    yvk::test::TraceCapture traces;
    for (auto [asked, taken, offset] : {std::tuple{-2.5, 0.0, "offset (0)"}, {3.999, 3.999, "offset (3000)"}}) {
        double npt = asked;
        video->seekToTime(npt);
        EXPECT_DOUBLE_EQ(npt, taken);
        EXPECT_TRUE(traces.contains(offset)) << offset;
    }
    Bytes buffer(AviFileParser::kSampleCapacity);
    EXPECT_TRUE(pull(video, buffer).done);
    double npt = 60;
    video->seekToTime(npt);
    EXPECT_FLOAT_EQ(static_cast<float>(npt), file->fileDuration());
    Frame afterEnd = pull(video, buffer);
    EXPECT_FALSE(afterEnd.done);
    EXPECT_TRUE(afterEnd.closed) << "the track ends at once";
    Medium::close(video);
}

// Delivery: one unit per request (no start code) within the client's
// buffer; the request that meets the end of the file completes with a frame
// of the previous frame's size and no duration (silence for PCM audio, the
// video's buffer untouched), and the client's next request ends the track
// (a consumer still sending that frame keeps it whole).
TEST_F(FileFixture, DeliveryFitsTheClientsBufferAndEndsWithALastFrame) {
    open(media("clip.mp4"));
    for (auto [trackNumber, bufferSize] : {std::pair{1u, 64u}, {2u, 4096u}}) {
        SCOPED_TRACE(trackNumber);
        FramedSource* source = newClientTrack(trackNumber);
        ASSERT_NE(source, nullptr);
        Bytes buffer(bufferSize);
        Frame beforeLast, last, next;
        bool lastZeroed = false;
        unsigned truncated = 0, totalUs = 0;
        for (int i = 0; i < 2000 && !next.closed; ++i) {
            if (next.done) beforeLast = last, last = next;
            std::fill(buffer.begin(), buffer.end(), 0xAA);
            next = pull(source, buffer);
            ASSERT_TRUE(next.done || next.closed);
            EXPECT_LE(next.size, bufferSize);
            if (next.done) lastZeroed = std::count(buffer.begin(), buffer.end(), 0) == static_cast<long>(bufferSize);
            // The first sample (a key frame: SPS, PPS, ..., slice) spends
            // its 40 ms on its last unit only.
            if (trackNumber == 1 && i == 0) { EXPECT_EQ(next.duration, 0u); }
            if (trackNumber == 1 && next.done) { EXPECT_NE(buffer[0], 0) << "no start code in front of a unit"; }
            truncated += next.truncated;
            totalUs += next.duration;
        }
        ASSERT_TRUE(next.closed);
        EXPECT_FALSE(next.done);
        EXPECT_EQ(last.size, beforeLast.size);
        EXPECT_EQ(last.duration, 0u);
        EXPECT_EQ(lastZeroed, trackNumber == 2);
        if (trackNumber == 1) {
            EXPECT_GT(truncated, 0u);
            EXPECT_EQ(totalUs % 40000u, 0u);
        }
        Medium::close(source);
    }
}

TEST_F(FileFixture, AllKeyFrameVideoAlternatesWithTheFourByteFrameAtHalfDuration) {
    std::string path = std::string(YVK_BINARY_DIR) + "/tests/live555/all-key.mp4";
    auto made = yvk::test::runProcess({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                       "testsrc2=size=160x120:rate=25:duration=1", "-c:v", "libx264", "-preset",
                                       "ultrafast", "-x264-params", "keyint=1", path},
                                      30000);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    // Probed with the start of the file, not by each client's first frame.
    open(media("clip.mp4"));
    EXPECT_FALSE(AviFileParser::allKeyFrames(0));
    Medium::close(fFile);
    open(path);
    EXPECT_TRUE(AviFileParser::allKeyFrames(0)) << "known before any client";
    FramedSource* video = newClientTrack(1);
    Bytes buffer(AviFileParser::kSampleCapacity);
    // A sample's units carry 0 until its last one, which carries 20 ms; then
    // the four-byte frame follows with 20 ms.
    Frame previous;
    int skipFrames = 0;
    for (int i = 0; i < 14; ++i) {
        Frame frame = pull(video, buffer);
        ASSERT_TRUE(frame.done);
        if (frame.size == 4 && Bytes(buffer.begin(), buffer.begin() + 4) == Bytes{0x41, 0x9A, 0x20, 0x41}) {
            ++skipFrames;
            EXPECT_EQ(frame.duration, 20000u);
            EXPECT_EQ(previous.duration, 20000u) << "the real frame before it is halved too";
        }
        previous = frame;
    }
    EXPECT_GE(skipFrames, 2);
    Medium::close(video);
}

// The converted track keeps the MP3's rate and channels (the SDP announces
// them), and frames are stamped by their 1024 samples at that rate without
// drifting.  A seek restarts the converter; at the end of the audio the
// track ends instead of stalling.
TEST_F(FileFixture, Mp3IsConvertedAtItsOwnRateAndChannelCount) {
    for (auto [name, rate, channels] : {std::tuple{"clip.avi", 32000u, 1u}, {"mp3-44k-stereo.avi", 44100u, 2u},
                                        {"mp3-48k-stereo.mkv", 48000u, 2u}}) {
        SCOPED_TRACE(name);
        AviFile* file = open(media(name));
        ASSERT_STREQ(mimeOf(2), "audio/aac");
        EXPECT_EQ(file->lookup(2)->samplingFrequency, rate);
        EXPECT_EQ(file->lookup(2)->numChannels, channels);
        AviDemuxedTrack* audio = newClientTrack(2);
        Bytes buffer(8192);
        uint64_t totalUs = 0;
        const int frames = 60;  // clip.avi holds 94
        for (int i = 0; i < frames; ++i) {
            Frame frame = pull(audio, buffer);
            ASSERT_TRUE(frame.done) << i;
            EXPECT_GT(frame.size, 0u);
            totalUs += frame.duration;
        }
        EXPECT_NEAR(static_cast<double>(totalUs), frames * 1024 * 1e6 / rate, 1.0);
        double npt = 1.0;
        audio->seekToTime(npt);
        EXPECT_TRUE(pull(audio, buffer).done);
        bool closed = false;
        for (int i = 0; i < 300 && !closed; ++i) closed = pull(audio, buffer).closed;  // 4 s are 188 frames
        EXPECT_TRUE(closed);
        Medium::close(audio);
        Medium::close(fFile);
        fFile = nullptr;
    }
}

// A key frame larger than the 3 MB sample buffer is skipped with a trace;
// the stream goes on from the next key frame to the end of the file.
TEST_F(FileFixture, AKeyFrameLargerThanTheBufferIsSkippedAndPlaybackGoesOn) {
    yvk::test::TraceCapture traces;
    AviFile* file = open(media("big-key-frame.mkv"));
    ASSERT_STREQ(mimeOf(1), "video/H264");
    EXPECT_GT(file->lookup(1)->spsSize, 0u) << "parameter sets from the next key frame";
    FramedSource* video = newClientTrack(1);
    Bytes buffer(AviFileParser::kSampleCapacity);
    int slices = 0;
    bool closed = false;
    for (int i = 0; i < 2000 && !closed; ++i) {
        Frame frame = pull(video, buffer);
        closed = frame.closed;
        if (frame.done && frame.duration > 0) ++slices;
    }
    EXPECT_TRUE(closed);
    EXPECT_TRUE(traces.contains("skipped"));
    // Frames 25 to 50 (from the key frame at 1 s on) and the last frame's repeat.
    EXPECT_GE(slices, 25);
    Medium::close(video);
}

} // namespace
