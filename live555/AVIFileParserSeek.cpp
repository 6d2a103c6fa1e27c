// Seeking a served file by time, its end, and its duration.
#include "AVIFileParser.hh"
#include "AVIFileParserShared.hh"

#include "yvk_demux.h"

#include <algorithm>

void AviFileParser::seekToTime(double& seekNPT) {
    AVI_TRACE(YVK_TRACE_INFO, "seekToTime(%f)\n", seekNPT);
    if (seekNPT <= 0) {
        AVI_TRACE(YVK_TRACE_INFO, "\t=> start of file\n");
        seekNPT = 0;
        resetStateAfterSeeking();
        seekToFilePosition(0);
        return;
    }
    double fileDuration = fOurFile.fileDuration();
    if (seekNPT >= fileDuration) {
        AVI_TRACE(YVK_TRACE_INFO, "\t=> end of file\n");
        seekNPT = fileDuration;
        seekToEndOfFile();
        return;
    }
    // Whole seconds: the services resume at a key frame anyway.
    seekToFilePosition(static_cast<unsigned long long>(seekNPT) * 1000ULL);
}

void AviFileParser::seekToFilePosition(unsigned long long positionMs) {
    AviParserShared& shared = gAviParserShared;
    AviTrack* current = fOurFile.lookup(fTrackNumber);
    AVI_TRACE(YVK_TRACE_INFO, "fTrackNumber (%d) offset (%llu)\n", static_cast<int>(fTrackNumber), positionMs);
    if (fInputSource == nullptr) return;
    resetStateAfterSeeking();
    fAtEnd = false;
    auto low32 = static_cast<int32_t>(positionMs & 0xffffffffULL);
    if (fVodFileIO != nullptr) {
        fVodFileIO->seek(demuxHandle, current != nullptr ? current->isVideo : 0,
                         current != nullptr ? static_cast<int>(current->trackNumber) : 0,
                         static_cast<int64_t>(positionMs));
    } else {
        AviTrackTableIterator iter(fOurFile.trackTable());
        while (AviTrack* track = iter.next()) {
            AVI_TRACE(YVK_TRACE_INFO, "track (%d) avi handle (%x) seeek to (%llu)\n", static_cast<int>(track->trackNumber),
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(track->demuxHandle)), positionMs);
            if (track->isVideo && shared.transcoder != nullptr) {
                YVK_StreamerTransSeek(shared.transcoder, static_cast<int64_t>(positionMs));
            } else {
                YVK_StreamerDemuxSeek(track->demuxHandle, low32);
                if (!track->isVideo && audioConvIsActive()) audioConvReset();
            }
        }
    }
    // The subtitle reader has a handle of its own and follows from there.
    shared.pendingTextSeek.store(low32 >= 0 ? low32 : 0, std::memory_order_release);
}

// A video track switch while this client streams: every track moves to the
// playback position, so the new video track starts at its key frame at or
// before it.  The units left of the sample being sent still go out first.
void AviFileParser::followVideoTrackSwitch() {
    if (fOurDemux == nullptr || fVodFileIO != nullptr || gAviParserShared.transcoder != nullptr) return;
    AVI_TRACE(YVK_TRACE_INFO, "video track switch at %llu ms\n", static_cast<unsigned long long>(fLastVideoTimestampMs));
    std::list<NalUnit> pending = std::move(fPendingUnits);
    seekToFilePosition(fLastVideoTimestampMs);
    fPendingUnits = std::move(pending);
    fWaitKeyFrame = 1;
}

void AviFileParser::seekToEndOfFile() {
    if (fInputSource == nullptr) return;
    auto* byteStream = dynamic_cast<ByteStreamFileSource*>(fInputSource);
    if (byteStream != nullptr) byteStream->seekToEnd();
    fAtEnd = true;
    resetStateAfterSeeking();
    // Last: closing the tracks may end this parser's demux.
    if (fOnEndFunc != nullptr) (*fOnEndFunc)(fOnEndClientData);
}

void AviFileParser::resetStateAfterSeeking() {
    fPendingUnits.clear();
    fConvertedFrames = 0;
}

float AviFileParser::duration() {
    if (fVodFileIO != nullptr) return static_cast<float>(fInfo.durationMs) / 1000.0f;
    int videoMs = YVK_StreamerDemuxGetVidDur(demuxHandle);
    int audioMs = YVK_StreamerDemuxGetAudDur(demuxHandle);
    return static_cast<float>(std::max(videoMs, audioMs)) / 1000.0f;
}
