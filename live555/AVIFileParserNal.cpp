// Cutting file video into NAL units, and the SPS and PPS kept for the SDP.
#include "AVIFileParser.hh"
#include "AVIFileParserShared.hh"

#include "yvk_demux.h"

namespace {

// Offset of the first start code of the given length in data[0, size), or -1.
long findStartCode(const unsigned char* data, unsigned size, unsigned codeLength) {
    if (size < codeLength) return -1;
    for (unsigned i = 0; i + codeLength <= size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0) continue;
        if (codeLength == 4 && data[i + 2] == 0 && data[i + 3] == 1) return static_cast<long>(i);
        if (codeLength == 3 && data[i + 2] == 1) return static_cast<long>(i);
    }
    return -1;
}

} // namespace

unsigned char* AviFileParser::extractFrame(unsigned char* data, unsigned& size, unsigned& frameSize) {
    frameSize = 0;
    if (data == nullptr) return nullptr;
    unsigned codeLength = 4;
    long start = findStartCode(data, size, 4);
    if (start < 0) {
        codeLength = 3;
        start = findStartCode(data, size, 3);
    }
    if (start < 0) return nullptr;
    unsigned char* unit = data + start + codeLength;
    unsigned rest = size - static_cast<unsigned>(start) - codeLength;
    long next = findStartCode(unit, rest, 4);
    if (next < 0) next = findStartCode(unit, rest, 3);
    if (next < 0) {
        frameSize = rest;
        size = 0;
    } else {
        frameSize = static_cast<unsigned>(next);
        size = rest - frameSize;
    }
    return unit;
}

std::list<AviFileParser::NalUnit> AviFileParser::splitFrames(unsigned char* data, int size) {
    std::list<NalUnit> units;
    if (data == nullptr || size <= 0) return units;
    unsigned remaining = static_cast<unsigned>(size);
    unsigned char* cursor = data;
    unsigned frameSize = 0;
    while (unsigned char* unit = extractFrame(cursor, remaining, frameSize)) {
        if (frameSize > 0) units.push_back(NalUnit{unit, frameSize});
        cursor = unit + frameSize;
    }
    return units;
}

void AviFileParser::storeParameterSets(AviTrack* track, std::list<NalUnit>& units) {
    while (!units.empty()) {
        NalUnit unit = units.front();
        units.pop_front();
        AVI_TRACE(YVK_TRACE_INFO, "Special data [%x] size(%d)\n", unit.data[0], static_cast<int>(unit.size));
        switch (unit.data[0]) {
        case 0x42:
        case 0x67:
            if (!track->storeSps(unit.data, unit.size))
                AVI_TRACE(YVK_TRACE_ERROR, "SPS of %u bytes skipped\n", unit.size);
            break;
        case 0x44:
        case 0x68:
            if (!track->storePps(unit.data, unit.size))
                AVI_TRACE(YVK_TRACE_ERROR, "PPS of %u bytes skipped\n", unit.size);
            break;
        default:
            break;  // VPS (0x40) and picture data are not kept
        }
    }
}

int AviFileParser::set_nal_data(void* handle, AviTrack* track, int videoTrack) {
    unsigned char* buffer = gAviParserShared.buffer;
    if (fVodFileIO != nullptr) {
        std::list<NalUnit> units = splitFrames(reinterpret_cast<unsigned char*>(fInfo.keyFrame), fInfo.keyFrameSize);
        if (units.empty()) {
            AVI_TRACE(YVK_TRACE_ERROR, "H26x Key frame but not found sps pps.\n");
            return -1;
        }
        storeParameterSets(track, units);
        return 0;
    }
    for (int read = 1;; ++read) {
        int size = static_cast<int>(kSampleCapacity);
        int keyFrame = 0;
        if (YVK_StreamerDemuxReadVideo(handle, videoTrack < 0 ? 0 : videoTrack, buffer, &size, &keyFrame, nullptr) == 0) {
            AVI_TRACE(YVK_TRACE_ERROR, "demux read %d gave no sample before a key frame with sps pps: SDP without them\n",
                      read);
            break;
        }
        if (keyFrame == 0) continue;
        AVI_TRACE(YVK_TRACE_INFO, "key frame read done. size(%d)\n", size);
        std::list<NalUnit> units = splitFrames(buffer, size);
        if (!units.empty()) {
            storeParameterSets(track, units);
            break;
        }
        AVI_TRACE(YVK_TRACE_ERROR, "H26x Key frame but not found sps pps.\n");
    }
    YVK_StreamerDemuxSeek(handle, 0);
    return 0;
}

bool AviFileParser::refreshParameterSets(AviTrack* track, int videoTrack) {
    if (fVodFileIO != nullptr || gAviParserShared.transcoder != nullptr) return false;
    void* handle = openDemuxTraced(fFileName, "the parameter sets");
    if (handle == nullptr) return false;
    set_nal_data(handle, track, videoTrack);
    YVK_StreamerDemuxClose(handle);
    return true;
}

int AviFileParser::set_nal_data_from_IDR(AviTrack* track, void* data, int size) {
    std::list<NalUnit> units = splitFrames(static_cast<unsigned char*>(data), size);
    if (units.empty()) AVI_TRACE(YVK_TRACE_ERROR, "H26x Key frame but not found sps pps.\n");
    else storeParameterSets(track, units);
    return 0;
}
