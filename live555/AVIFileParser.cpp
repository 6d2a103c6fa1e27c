// The file parser: start of file (tracks, MIME types, parameter sets, the
// subtitle reader) and frame delivery, one sample per request.
#include "AVIFileParser.hh"
#include "AVIFileParserShared.hh"

#include "yvk_demux.h"

#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <new>

namespace {

constexpr int kOutputCodecH264 = 264;
constexpr int kTranscodeWidth = 1280;
constexpr int kTranscodeHeight = 720;
constexpr unsigned kVideoEstBitrateKbps = 14000;
constexpr int kMaxKeyFrameReads = 60;
constexpr unsigned kDefaultFps = 25;
// L16 blocks are kept within one RTP packet so that no sample is split.
constexpr unsigned kPcmPacketBytes = 1400;
constexpr int kConvertAttempts = 16;
constexpr int kMaxSkippedSamples = 16;  // oversize samples skipped in a row before giving up
const unsigned char kSkipFrame[4] = {0x41, 0x9A, 0x20, 0x41};

void textReaderLoop(std::string fileName);

// Bytes per second of PCM.  A damaged header may claim any rate and channel
// count, so the product is taken in floating point, and a bit rate estimate
// saturates.
double pcmBytesPerSecond(int rate, int channels, int bits) {
    return static_cast<double>(rate) * channels * (bits / 8);
}

unsigned estimatedBitrate(int rate, int channels, int bits) {
    double bytesPerSecond = pcmBytesPerSecond(rate, channels, bits);
    return static_cast<unsigned>(std::clamp(bytesPerSecond, 0.0, static_cast<double>(UINT_MAX)));
}

} // namespace

AviParserShared gAviParserShared;

AviFileParser::AviFileParser(AviFile& ourFile, FramedSource* inputSource, char const* fileName,
                             VodFileIO* vodFileIO, unsigned trackNumber, FramedSource::onCloseFunc* onEndFunc,
                             void* onEndClientData, unsigned char /*parserOption*/, FileUserDataArg* userData,
                             AviDemux* ourDemux)
    : fOurFile(ourFile), fVodFileIO(vodFileIO), fInputSource(inputSource), fOnEndFunc(onEndFunc),
      fOnEndClientData(onEndClientData), fOurDemux(ourDemux), fCurrentParseState(0),
      fFileName(fileName != nullptr ? fileName : ""), demuxHandle(nullptr), fTrackNumber(0), fInfo(),
      fFrameBuffer(nullptr), fWaitKeyFrame(1), fAtEnd(false),
      fDeliveringLastFrame(false), fPendingDurationUs(0) {
    AviParserShared& shared = gAviParserShared;
    // A client's parser on a file read directly reads and seeks through the
    // handles of the file's tracks: a handle of its own would only cost the
    // client's SETUP a parse of the container.
    if (fVodFileIO != nullptr) demuxHandle = fVodFileIO->open(fVodFileIO->arg);
    else if (fOurDemux == nullptr) demuxHandle = openDemuxTraced(fFileName, "the parser");
    AVI_TRACE(YVK_TRACE_INFO, "NEW AviFileParser(%p) file(%s) ourFile(%p) demux(%p) havilib(%xP\n",
              static_cast<void*>(this), fFileName.c_str(), static_cast<void*>(&fOurFile),
              static_cast<void*>(fOurDemux), static_cast<unsigned>(reinterpret_cast<uintptr_t>(demuxHandle)));
    if (userData != nullptr) {
        shared.textEnable.store(userData->textEnable, std::memory_order_relaxed);
        shared.textCallback.store(userData->textEnable != 0 ? userData->textCallback : nullptr,
                                  std::memory_order_release);
    }
    if (shared.buffer == nullptr) {
        shared.buffer = static_cast<unsigned char*>(std::calloc(1, kSampleCapacity));
        if (shared.buffer == nullptr) {
            AVI_TRACE(YVK_TRACE_ERROR, "%s: %d - malloc (%d) failed\n", "AviFileParser", __LINE__,
                      static_cast<int>(kSampleCapacity));
            std::exit(0);
        }
    }
    fInfo.keyFrame = reinterpret_cast<char*>(shared.buffer);
    fInfo.keyFrameSize = static_cast<int32_t>(kSampleCapacity);
    if (trackNumber != kAllTracks) {
        AVI_TRACE(YVK_TRACE_INFO, "trackNumber is %d\n", static_cast<int>(trackNumber));
        fTrackNumber = trackNumber;
    }
    fFrameBuffer = new (std::nothrow) unsigned char[kSampleCapacity];
    if (fFrameBuffer == nullptr) AVI_TRACE(YVK_TRACE_ERROR, "Critical Error pFrame alloc failed. Out of memory\n");
    ++shared.liveParsers;
    shared.resetSkipToggles();
    if (fOurDemux == nullptr) {
        AVI_TRACE(YVK_TRACE_INFO, "parsing start (%s)\n", fFileName.c_str());
        fCurrentParseState = 0;
        continueParsing();
    } else {
        AVI_TRACE(YVK_TRACE_INFO, "this(%x) ourDemux(%x) is valid. state is DELIVERY\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)),
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(fOurDemux)));
        fCurrentParseState = 1;
        if (fVodFileIO != nullptr && demuxHandle != nullptr) fVodFileIO->info(demuxHandle, &fInfo);
    }
}

AviFileParser::~AviFileParser() {
    AviParserShared& shared = gAviParserShared;
    AVI_TRACE(YVK_TRACE_INFO, "DELETE AviFileParser(%x) file(%s) ourFile(%p) demux(%p)\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), fFileName.c_str(),
              static_cast<void*>(&fOurFile), static_cast<void*>(fOurDemux));
    Medium::close(fInputSource);
    if (shared.textOwner == this) shared.stopTextReader();
    delete[] fFrameBuffer;
    audioConvDeinit();
    if (--shared.liveParsers == 0) {
        if (shared.transcoder != nullptr) YVK_StreamerTransClose(shared.transcoder);
        shared.transcoder = nullptr;
        std::free(shared.buffer);
        shared.buffer = nullptr;
    }
    if (demuxHandle != nullptr) {
        if (fVodFileIO != nullptr) fVodFileIO->close(demuxHandle);
        else YVK_StreamerDemuxClose(demuxHandle);
    }
}

void AviFileParser::continueParsingThunk(void* clientData, unsigned char*, unsigned, struct timeval) {
    static_cast<AviFileParser*>(clientData)->continueParsing();
}

void AviFileParser::continueParsing(unsigned trackNumber) {
    fTrackNumber = trackNumber;
    continueParsing();
}

void AviFileParser::continueParsing() {
    if (fInputSource != nullptr) {
        if (fInputSource->isCurrentlyAwaitingData()) {
            AVI_TRACE(YVK_TRACE_INFO, "Leave. has frame already.\n");
            return;
        }
        if (parse() == 0) return;
    }
    AVI_TRACE(YVK_TRACE_INFO, "Leave. we have nothing more.\n");
    if (fOnEndFunc != nullptr) (*fOnEndFunc)(fOnEndClientData);
}

int AviFileParser::parse() {
    try {
        if (fCurrentParseState == 0) {
            AVI_TRACE(YVK_TRACE_INFO, "state is start of file\n");
            parseStartOfFile();
            return 1;
        }
        parseAndDeliverPages();
        return 0;
    } catch (int) {
        AVI_TRACE(YVK_TRACE_INFO, "AviFileParser::parse() EXCEPTION (This is normal behavior - *not* an error)\n");
        return 0;
    }
}

// ---- Start of file ---------------------------------------------------------

void AviFileParser::parseStartOfFile() {
    AVI_TRACE(YVK_TRACE_INFO, "opened handle (%p)\n", demuxHandle);
    if (fVodFileIO != nullptr && demuxHandle != nullptr) parseStartOfPlayList();
    else parseStartOfDirectFile();
    // Once per file, here: a client's PLAY must not wait for a fresh handle
    // and five samples read through it.
    getStreamType(fFileName.c_str());
    AVI_TRACE(YVK_TRACE_INFO, "Finished parsing start of file\n");
}

void AviFileParser::parseStartOfPlayList() {
    fVodFileIO->info(demuxHandle, &fInfo);
    AVI_TRACE(YVK_TRACE_INFO, "has (%d) audio tracks\n", fInfo.audioTracks);
    for (int i = 0; i < fInfo.audioTracks; ++i) {
        auto* track = new AviTrack();
        track->trackNumber = static_cast<unsigned>(i + 1);
        track->isVideo = 0;
        track->mimeType = "audio/L16";
        track->samplingFrequency = static_cast<unsigned>(fInfo.sampleRate);
        track->numChannels = static_cast<unsigned>(fInfo.channels);
        track->estBitrate = estimatedBitrate(fInfo.sampleRate, fInfo.channels, fInfo.bitsPerSample);
        AVI_TRACE(YVK_TRACE_INFO, "audio (%d) track handle(%p)\n", i, track->demuxHandle);
        fOurFile.addTrack(track);
    }
    AVI_TRACE(YVK_TRACE_INFO, "has (%d) video tracks\n", fInfo.videoTracks);
    auto* video = new AviTrack();
    video->trackNumber = static_cast<unsigned>(fInfo.audioTracks + 1);
    video->isVideo = 1;
    video->mimeType = "video/H264";
    video->estBitrate = kVideoEstBitrateKbps;
    video->allocateParameterSets();
    set_nal_data(demuxHandle, video, static_cast<int>(fTrackNumber));
    AVI_TRACE(YVK_TRACE_INFO, "video (%d) track handle(%p)\n", static_cast<int>(video->trackNumber),
              video->demuxHandle);
    fOurFile.addTrack(video);
}

void AviFileParser::parseStartOfDirectFile() {
    if (fVodFileIO == nullptr && demuxHandle == nullptr) demuxHandle = openDemuxTraced(fFileName, "the parser");
    int videoTracks = YVK_StreamerDemuxGetVidTracks(demuxHandle);
    AVI_TRACE(YVK_TRACE_INFO, "has (%d) video tracks\n", videoTracks);
    if (videoTracks > 0) {
        AviTrack* video = newDirectVideoTrack();
        if (video != nullptr) fOurFile.addTrack(video);
    }
    addDirectAudioTracks(static_cast<unsigned>(std::max(videoTracks, 0)));
    startTextReader();
}

// The video track (number 1), H.265 through the transcoder; null when
// H.265 cannot be transcoded: announcing H.264 while sending H.265 would only
// confuse the client, so the session goes without video.
AviTrack* AviFileParser::newDirectVideoTrack() {
    AviParserShared& shared = gAviParserShared;
    AviTrack* video = newDirectTrack(1, true);
    video->estBitrate = static_cast<unsigned>(YVK_StreamerDemuxGetVidBitrate(video->demuxHandle) / 1000);
    DemuxVidInfo info{};
    YVK_StreamerDemuxGetVidInfo(video->demuxHandle, static_cast<int>(fTrackNumber), &info);
    if (info.codec == YVK_DEMUX_CODEC_H265 && shared.transcoder == nullptr) {
        TransOpenParam param{fFileName.c_str(), static_cast<int32_t>(fTrackNumber), kOutputCodecH264,
                             kTranscodeWidth, kTranscodeHeight};
        shared.transcoder = YVK_StreamerTransOpen(&param);
        if (shared.transcoder == nullptr) {
            AVI_TRACE(YVK_TRACE_ERROR, "H.265 video of (%s) cannot be transcoded; served without video\n",
                      fFileName.c_str());
            delete video;
            return nullptr;
        }
    }
    video->mimeType = "video/H264";
    shared.outputCodec = kOutputCodecH264;
    video->allocateParameterSets();
    if (shared.transcoder == nullptr) {
        set_nal_data(video->demuxHandle, video, static_cast<int>(fTrackNumber));
    } else {
        int size = YVK_StreamerTransGetNALData(shared.transcoder, shared.buffer, static_cast<int>(kSampleCapacity));
        set_nal_data_from_IDR(video, shared.buffer, size);
        YVK_StreamerTransRun(shared.transcoder);
    }
    AVI_TRACE(YVK_TRACE_INFO, "video (%d) %d x %d (%d fps)\n", static_cast<int>(fTrackNumber), info.width,
              info.height, info.fps);
    return video;
}

// A track of a file read directly: through the parser's demux handle, or a
// handle of its own (closed with the track) when the parser has none.
AviTrack* AviFileParser::newDirectTrack(unsigned trackNumber, bool isVideo) {
    auto* track = new AviTrack();
    track->trackNumber = trackNumber;
    track->isVideo = isVideo ? 1 : 0;
    if (demuxHandle != nullptr) {
        track->demuxHandle = demuxHandle;
    } else {
        track->demuxHandle = openDemuxTraced(fFileName, isVideo ? "the video track" : "an audio track");
        track->ownsDemuxHandle = 1;
    }
    return track;
}

void AviFileParser::addDirectAudioTracks(unsigned) {
    int audioTracks = YVK_StreamerDemuxGetAudTracks(demuxHandle);
    for (int i = 1; i <= audioTracks; ++i) {
        AviTrack* track = newDirectTrack(static_cast<unsigned>(i + 1), false);
        DemuxAudInfo info{};
        YVK_StreamerDemuxGetAudInfo(track->demuxHandle, &info);
        track->numChannels = static_cast<unsigned>(info.channels);
        track->samplingFrequency = static_cast<unsigned>(info.sampleRate);
        if (info.codec == YVK_DEMUX_AUDIO_MP3) {
            if (audioConvInit(info.channels, info.sampleRate, info.bitsPerSample, 1, 2) != 0) {
                AVI_TRACE(YVK_TRACE_ERROR, "MP3 audio of (%s) cannot be converted; served without it\n",
                          fFileName.c_str());
                delete track;
                continue;
            }
            track->audioConverted = 1;
            track->mimeType = "audio/aac";
            track->samplingFrequency = static_cast<unsigned>(audioConvSampleRate());
            track->numChannels = static_cast<unsigned>(audioConvChannels());
        } else {
            track->audioConverted = 0;
            track->mimeType = "audio/L16";
        }
        track->estBitrate = estimatedBitrate(info.sampleRate, info.channels, info.bitsPerSample);
        fOurFile.addTrack(track);
    }
}

void AviFileParser::startTextReader() {
    AviParserShared& shared = gAviParserShared;
    if (shared.textEnable.load(std::memory_order_relaxed) == 0) return;
    if (YVK_StreamerDemuxGetTxtTracks(demuxHandle) <= 0) {
        shared.textEnable.store(0, std::memory_order_relaxed);
        shared.textCallback.store(nullptr, std::memory_order_release);
        return;
    }
    shared.latestVideoTimestamp.store(0, std::memory_order_relaxed);
    shared.textRunning.store(true, std::memory_order_release);
    shared.textPollsPerSecond = YVK_StreamerDemuxGetTxtFps(demuxHandle);
    if (shared.textThread.joinable()) return;
    shared.textBuffer = new (std::nothrow) char[YVK_DEMUX_TEXT_CAPACITY]();
    if (shared.textBuffer == nullptr) return;
    shared.textOwner = this;
    shared.pendingTextSeek.store(kNoTextSeek, std::memory_order_relaxed);
    try {
        shared.textThread = std::thread(textReaderLoop, fFileName);
    } catch (const std::system_error& error) {
        AVI_TRACE(YVK_TRACE_ERROR, "cannot start the subtitle reader thread: %s\n", error.what());
        shared.textRunning.store(false, std::memory_order_release);
    }
}

void* openDemuxTraced(const std::string& fileName, const char* purpose) {
    void* handle = YVK_StreamerDemuxOpen(fileName.c_str());
    if (handle == nullptr)
        AVI_TRACE(YVK_TRACE_ERROR, "YVK_StreamerDemuxOpen (%s) failed for %s\n", fileName.c_str(), purpose);
    return handle;
}

// ---- Frame delivery --------------------------------------------------------

void AviFileParser::parseAndDeliverPages() { parseAndDeliverPage(); }

void AviFileParser::parseAndDeliverPage() {
    AviTrack* track = fOurFile.lookup(fTrackNumber);
    AviDemuxedTrack* demuxed = fOurDemux != nullptr ? fOurDemux->lookupDemuxedTrack(fTrackNumber) : nullptr;
    if (track == nullptr || demuxed == nullptr) {
        AVI_TRACE(YVK_TRACE_ERROR, " can not get demuxedTrack\n");
        return;
    }
    if (fAtEnd) {
        // A request made while the last frame is handed over waits for the
        // closing that follows it.
        if (!fDeliveringLastFrame) endOfFile();
        return;
    }
    if (track->isVideo) deliverVideo(track, demuxed);
    else deliverAudio(track, demuxed);
}

void AviFileParser::deliverAudio(AviTrack* track, AviDemuxedTrack* demuxed) {
    unsigned char* staging = gAviParserShared.buffer;
    int bits = fVodFileIO != nullptr ? fInfo.bitsPerSample : 16;
    int channels = fVodFileIO != nullptr ? fInfo.channels : static_cast<int>(track->numChannels);
    int rate = fVodFileIO != nullptr ? fInfo.sampleRate : static_cast<int>(track->samplingFrequency);
    unsigned sampleBytes = static_cast<unsigned>(std::max(1, channels * (bits / 8)));
    unsigned pcmCapacity = std::max(sampleBytes, std::min(demuxed->maxSize(), kPcmPacketBytes) / sampleBytes * sampleBytes);
    bool converted = track->audioConverted != 0 && audioConvIsActive() != 0;
    int size = 0;
    if (fVodFileIO != nullptr) {
        int keyFrame = 0;
        size = static_cast<int>(pcmCapacity);
        fVodFileIO->read(demuxHandle, YVK_VOD_READ_AUDIO, 0, reinterpret_cast<char*>(staging), &size, &keyFrame);
    } else if (converted) {
        for (int attempt = 0; attempt < kConvertAttempts && size == 0; ++attempt) {
            audioConvConvert(track->demuxHandle, staging, &size);
        }
    } else {
        size = static_cast<int>(pcmCapacity);
        YVK_StreamerDemuxReadAudio(track->demuxHandle, staging, &size);
    }
    if (size <= 0) {
        // A converter that yields nothing has no silence to offer.
        if (track->audioConverted == 0) deliverLastFrame(demuxed, true);
        else endOfFile();
        return;
    }
    copyToClient(demuxed, staging, static_cast<unsigned>(size));
    unsigned durationUs;
    if (converted && audioConvGetOutCodec() == 2) {
        durationUs = nextConvertedFrameUs();
    } else {
        auto bytesPerSecond = static_cast<float>(pcmBytesPerSecond(rate, channels, bits));
        durationUs = bytesPerSecond > 0 ? static_cast<unsigned>(1e6f / (bytesPerSecond / static_cast<float>(size))) : 0;
    }
    completeFrame(demuxed, durationUs);
}

void AviFileParser::copyToClient(AviDemuxedTrack* demuxed, const unsigned char* data, unsigned size) {
    unsigned maxSize = demuxed->maxSize();
    if (size > maxSize) {
        AVI_TRACE(YVK_TRACE_ERROR, "YOU Need increase max buffer size. frame(%d) max(%d)\n", static_cast<int>(size),
                  static_cast<int>(maxSize));
        demuxed->numTruncatedBytes() = size - maxSize;
        size = maxSize;
    } else {
        demuxed->numTruncatedBytes() = 0;
    }
    std::memmove(demuxed->to(), data, size);
    demuxed->frameSize() = size;
}

bool AviFileParser::readVideoSample(AviTrack* track, int& size) {
    AviParserShared& shared = gAviParserShared;
    size = 0;
    if (fFrameBuffer == nullptr) return false;
    int keyFrame = 0;
    if (fVodFileIO != nullptr) {
        size = static_cast<int>(kSampleCapacity);
        fVodFileIO->read(demuxHandle, YVK_VOD_READ_VIDEO, 0, reinterpret_cast<char*>(fFrameBuffer), &size, &keyFrame);
    } else {
        int skipped = 0;
        for (int read = 0; read < kMaxKeyFrameReads;) {
            uint64_t timestampMs = 0;
            keyFrame = 0;
            int result;
            if (shared.transcoder != nullptr) {
                result = size = YVK_StreamerTransGetStream(shared.transcoder, fFrameBuffer,
                                                           static_cast<int>(kSampleCapacity), &keyFrame, &timestampMs);
            } else {
                size = static_cast<int>(kSampleCapacity);
                result = YVK_StreamerDemuxReadVideo(track->demuxHandle, shared.readVideoTrack(), fFrameBuffer, &size,
                                                    &keyFrame, &timestampMs);
            }
            if (result == YVK_DEMUX_SAMPLE_SKIPPED) {
                // Not the end: the frames that refer to it are useless, so
                // delivery goes on from the next key frame.
                AVI_TRACE(YVK_TRACE_ERROR, "video sample larger than %u bytes skipped\n", kSampleCapacity);
                size = 0;
                fWaitKeyFrame = 1;
                if (++skipped > kMaxSkippedSamples) break;
                continue;
            }
            ++read;
            shared.latestVideoTimestamp.store(timestampMs, std::memory_order_relaxed);
            fLastVideoTimestampMs = timestampMs;
            if (size <= 0 || fWaitKeyFrame == 0 || keyFrame != 0) break;
        }
    }
    fWaitKeyFrame = 0;
    return size > 0;
}

void AviFileParser::deliverVideo(AviTrack* track, AviDemuxedTrack* demuxed) {
    AviParserShared& shared = gAviParserShared;
    if (!fPendingUnits.empty()) {
        deliverNextUnit(demuxed);
        return;
    }
    int* toggle = shared.skipToggleOfCurrent();
    bool halve = shared.allKeyFramesOfCurrent() && shared.outputCodec == kOutputCodecH264;
    if (toggle != nullptr && *toggle != 0) {
        copyToClient(demuxed, kSkipFrame, sizeof kSkipFrame);
        *toggle = 0;
        completeFrame(demuxed, videoDurationUs() / 2);
        return;
    }
    int size = 0;
    if (!readVideoSample(track, size)) {
        deliverLastFrame(demuxed, false);
        return;
    }
    fPendingUnits = splitFrames(fFrameBuffer, size);
    if (fPendingUnits.empty()) fPendingUnits.push_back(NalUnit{fFrameBuffer, static_cast<unsigned>(size)});
    fPendingDurationUs = halve ? videoDurationUs() / 2 : videoDurationUs();
    if (halve && toggle != nullptr) *toggle = 1;
    deliverNextUnit(demuxed);
}

void AviFileParser::deliverNextUnit(AviDemuxedTrack* demuxed) {
    NalUnit unit = fPendingUnits.front();
    fPendingUnits.pop_front();
    copyToClient(demuxed, unit.data, unit.size);
    // The units of one sample share its presentation time; the last one
    // carries the sample's duration.
    completeFrame(demuxed, fPendingUnits.empty() ? fPendingDurationUs : 0);
}

// Converted frames are stamped by their sample count, so that the
// presentation times do not drift from the audio's own clock.
unsigned AviFileParser::nextConvertedFrameUs() {
    int rate = audioConvSampleRate();
    int channels = std::max(1, audioConvChannels());
    size_t frameBytes = audioConvStats().frameBytes;
    uint64_t samples = frameBytes > 0 ? frameBytes / 2 / static_cast<size_t>(channels) : 1024;
    if (rate <= 0) return 0;
    auto edgeUs = [&](uint64_t frame) { return frame * samples * 1000000ULL / static_cast<uint64_t>(rate); };
    auto us = static_cast<unsigned>(edgeUs(fConvertedFrames + 1) - edgeUs(fConvertedFrames));
    ++fConvertedFrames;
    return us;
}

unsigned AviFileParser::videoDurationUs() const {
    double fps = fVodFileIO != nullptr ? fInfo.fps
                                       : YVK_StreamerDemuxGetVidFps(fOurFile.lookup(1) != nullptr
                                                                        ? fOurFile.lookup(1)->demuxHandle
                                                                        : demuxHandle,
                                                                    gAviParserShared.readVideoTrack());
    if (fps <= 0) {
        if (!gAviParserShared.zeroFpsTraced) {
            AVI_TRACE(YVK_TRACE_ERROR, "video frame rate unknown; %u fps assumed\n", kDefaultFps);
            gAviParserShared.zeroFpsTraced = true;
        }
        fps = kDefaultFps;
    }
    return static_cast<unsigned>(1e6 / fps);
}

void AviFileParser::completeFrame(AviDemuxedTrack* demuxed, unsigned durationUs) {
    struct timeval& next = demuxed->nextPresentationTime();
    if (next.tv_sec == 0 && next.tv_usec == 0) gettimeofday(&next, nullptr);
    demuxed->presentationTime() = next;
    demuxed->durationInMicroseconds() = durationUs;
    next.tv_usec += static_cast<long>(durationUs);
    next.tv_sec += next.tv_usec / 1000000;
    next.tv_usec %= 1000000;
    if (demuxed->frameSize() > 0) FramedSource::afterGetting(demuxed);
}

// The demux service answers a failed read as it answers the end of the
// file; the line says which track stopped.
void AviFileParser::traceEndOfStream() const {
    AVI_TRACE(YVK_TRACE_ERROR, "track (%u): the demux read gave no sample: end of its stream\n", fTrackNumber);
}

void AviFileParser::endOfFile() {
    AVI_TRACE(YVK_TRACE_ERROR, " EOF.\n");
    traceEndOfStream();
    seekToEndOfFile();
}

// The request that meets the end of the file still completes: a frame of the
// previous frame's size (PCM audio: silence) without duration; then every
// track of the client ends.
void AviFileParser::deliverLastFrame(AviDemuxedTrack* demuxed, bool zeroFill) {
    AVI_TRACE(YVK_TRACE_ERROR, " EOF.\n");
    traceEndOfStream();
    fAtEnd = true;
    fDeliveringLastFrame = true;
    if (zeroFill) std::memset(demuxed->to(), 0, demuxed->maxSize());
    demuxed->frameSize() = std::min(demuxed->frameSize(), demuxed->maxSize());
    completeFrame(demuxed, 0);
    fDeliveringLastFrame = false;
    seekToEndOfFile();
}

// ---- Key-frame probe, track switch, subtitles -----------------------------

void AviFileParser::getStreamType(char const* fileName) {
    AviParserShared& shared = gAviParserShared;
    for (int& allKey : shared.allKeyFrames) allKey = 0;
    void* handle = openDemuxTraced(fileName, "the key-frame probe");
    if (handle == nullptr) return;
    auto* buffer = new (std::nothrow) unsigned char[kSampleCapacity];
    if (buffer != nullptr) {
        int tracks = std::min(YVK_StreamerDemuxGetVidTracks(handle), kTrackedVideoTracks);
        for (int i = 0; i < tracks; ++i) {
            int keyFrames = 0;
            for (int sample = 0; sample < 5; ++sample) {
                int size = static_cast<int>(kSampleCapacity);
                int keyFrame = 0;
                if (YVK_StreamerDemuxReadVideo(handle, i, buffer, &size, &keyFrame, nullptr) == 0) {
                    // Taken as not all key frames, which is always safe.
                    AVI_TRACE(YVK_TRACE_INFO, "key-frame probe of video track %d: demux read %d gave no sample\n", i,
                              sample + 1);
                    break;
                }
                if (size > 0 && keyFrame != 0) ++keyFrames;
            }
            shared.allKeyFrames[i] = keyFrames == 5 ? 1 : 0;
        }
    }
    delete[] buffer;
    YVK_StreamerDemuxClose(handle);
}

bool AviFileParser::allKeyFrames(int videoTrack) {
    if (videoTrack < 0 || videoTrack >= kTrackedVideoTracks) return false;
    return gAviParserShared.allKeyFrames[videoTrack] != 0;
}

int AviFileParser::changevtrack(int index) {
    AVI_TRACE(YVK_TRACE_INFO, "%s track number(%d)\n", "changevtrack", index);
    gAviParserShared.videoTrack = index;
    audioConvReset();
    return 0;
}

int AviFileParser::currentVideoTrack() { return gAviParserShared.videoTrack; }

namespace {

// The subtitle reader reads through a handle of its own: its seeks move only
// the text, and its scans to a far subtitle hold no lock the video and audio
// reads wait for.
void textReaderLoop(std::string fileName) {
    AviParserShared& shared = gAviParserShared;
    void* handle = YVK_StreamerDemuxOpen(fileName.c_str());
    if (handle == nullptr) {
        AVI_TRACE(YVK_TRACE_ERROR, "subtitle reader cannot open (%s)\n", fileName.c_str());
        return;
    }
    unsigned periodMs = shared.textPollsPerSecond >= 1 ? 1000u / static_cast<unsigned>(shared.textPollsPerSecond) : 50u;
    uint64_t lastTextMs = 0;
    while (shared.textRunning.load(std::memory_order_acquire)) {
        YVK_ThreadSleep(periodMs);
        YVKStreamerTextCallback callback = shared.textCallback.load(std::memory_order_acquire);
        if (callback == nullptr) continue;
        int32_t seekMs = shared.pendingTextSeek.exchange(kNoTextSeek, std::memory_order_acq_rel);
        if (seekMs != kNoTextSeek) {
            YVK_StreamerDemuxSeek(handle, seekMs);
            lastTextMs = 0;
        }
        uint64_t videoMs = shared.latestVideoTimestamp.load(std::memory_order_relaxed);
        if (lastTextMs != 0 && videoMs != 0 && lastTextMs > videoMs) continue;
        int size = YVK_DEMUX_TEXT_CAPACITY;
        uint64_t textMs = 0;
        YVK_StreamerDemuxReadText(handle, shared.textBuffer, &size, &textMs);
        if (size <= 0) continue;
        lastTextMs = textMs;
        callback(textMs, shared.textBuffer, size);
    }
    YVK_StreamerDemuxClose(handle);
}

} // namespace

void AviParserShared::stopTextReader() {
    textRunning.store(false, std::memory_order_release);
    if (textThread.joinable()) textThread.join();
    delete[] textBuffer;
    textBuffer = nullptr;
    textPollsPerSecond = 0;
    pendingTextSeek.store(kNoTextSeek, std::memory_order_relaxed);
    textOwner = nullptr;
}

void AviParserShared::resetSkipToggles() {
    for (int& toggle : skipToggle) toggle = 0;
}

int AviParserShared::readVideoTrack() const { return videoTrack >= 0 ? videoTrack : 0; }

int* AviParserShared::skipToggleOfCurrent() {
    return videoTrack >= 0 && videoTrack < AviFileParser::kTrackedVideoTracks ? &skipToggle[videoTrack] : nullptr;
}

bool AviParserShared::allKeyFramesOfCurrent() const { return AviFileParser::allKeyFrames(videoTrack); }
