// H26xQueueSource: cutting an access unit into NAL units, capturing the
// parameter sets and building the SDP format parameters from them.
#include "H26xQueueSource.hh"

#include "yvk_system.h"

#include <cstdio>
#include <cstring>

#define YVK_TRACE_MODULE "H26x-QSrc"

namespace {

constexpr uint8_t kH264Sps = 0x67, kH264Pps = 0x68, kH264Slice = 0x41, kH264Idr = 0x65;
constexpr uint8_t kH265Vps = 0x40, kH265Sps = 0x42, kH265Pps = 0x44, kH265TrailR = 0x02, kH265IdrWRadl = 0x26;
constexpr int kStartCodeSize = 4;

// Offset of the first 00 00 00 01 in the size bytes at data, or -1.
int findStartCode(const uint8_t* data, int size) {
    for (int i = 0; i + kStartCodeSize <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) return i;
    }
    return -1;
}

// The next unit of the buffer.  A slice runs to the end of the record (its
// payload may contain anything); other units end at the next start code.
uint8_t* extractUnit(uint8_t* data, int size, int& length, bool keepStartCode, uint8_t slice1, uint8_t slice2) {
    if (data == nullptr || size <= 0) return nullptr;
    length = 0;
    int start = findStartCode(data, size);
    if (start < 0) return nullptr;
    int header = start + kStartCodeSize;
    if (header >= size) return nullptr; // a start code with nothing after it
    int end = size;
    if (data[header] != slice1 && data[header] != slice2) {
        int next = findStartCode(data + header, size - header);
        if (next >= 0) end = header + next;
    }
    int from = keepStartCode ? start : header;
    length = end - from;
    return data + from;
}

void keepCopy(uint8_t*& buffer, unsigned& size, const uint8_t* unit, int length) {
    buffer = new uint8_t[length];
    std::memcpy(buffer, unit, static_cast<size_t>(length));
    size = static_cast<unsigned>(length);
}

} // namespace

char* base64EncodePrivate(const unsigned char* input, unsigned length, char* output) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (input == nullptr) return nullptr;
    char* out = output;
    unsigned i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned bits = (input[i] << 16) | (input[i + 1] << 8) | input[i + 2];
        *out++ = kAlphabet[(bits >> 18) & 0x3f];
        *out++ = kAlphabet[(bits >> 12) & 0x3f];
        *out++ = kAlphabet[(bits >> 6) & 0x3f];
        *out++ = kAlphabet[bits & 0x3f];
    }
    unsigned rest = length - i;
    if (rest > 0) {
        unsigned bits = input[i] << 16;
        if (rest == 2) bits |= input[i + 1] << 8;
        *out++ = kAlphabet[(bits >> 18) & 0x3f];
        *out++ = kAlphabet[(bits >> 12) & 0x3f];
        *out++ = rest == 2 ? kAlphabet[(bits >> 6) & 0x3f] : '=';
        *out++ = '=';
    }
    *out = '\0';
    return output;
}

uint8_t* H26xQueueSource::extractFrameH264(uint8_t* data, int size, int& length) {
    return extractUnit(data, size, length, fKeepStartCode, kH264Slice, kH264Idr);
}

uint8_t* H26xQueueSource::extractFrameH265(uint8_t* data, int size, int& length) {
    return extractUnit(data, size, length, fKeepStartCode, kH265TrailR, kH265IdrWRadl);
}

H26xQueueSource::Unit* H26xQueueSource::splitFrames(uint8_t* data, int size, bool& key) {
    key = false;
    fUnitCount = 0;
    const bool h265 = fCodec == 265;
    const int maxUnits = h265 ? 6 : 5;
    uint8_t* end = data != nullptr && size > 0 ? data + size : data;
    int length = 0;
    uint8_t* unit = h265 ? extractFrameH265(data, size, length) : extractFrameH264(data, size, length);
    while (unit != nullptr) {
        captureParameterSet(unit, length);
        fUnits[fUnitCount].data = unit;
        fUnits[fUnitCount].size = length;
        ++fUnitCount;
        uint8_t* rest = unit + length;
        int remaining = static_cast<int>(end - rest);
        int nextLength = 0;
        uint8_t* next = h265 ? extractFrameH265(rest, remaining, nextLength) : extractFrameH264(rest, remaining, nextLength);
        if (next == nullptr) {
            key = fUnitCount >= (h265 ? 4 : 3);
            break;
        }
        if (fUnitCount >= maxUnits) {
            key = true; // the rest of an oversized access unit is not entered
            break;
        }
        unit = next;
        length = nextLength;
    }
    return fUnits;
}

void H26xQueueSource::captureParameterSet(const uint8_t* unit, int size) {
    const int header = fKeepStartCode ? kStartCodeSize : 0;
    if (size <= header) return;
    const uint8_t type = unit[header];
    uint8_t** buffer = nullptr;
    unsigned* bufferSize = nullptr;
    if (fCodec == 265) {
        if (type == kH265Vps) buffer = &fVPS, bufferSize = &fVPSSize;
        if (type == kH265Sps) buffer = &fSPS, bufferSize = &fSPSSize;
        if (type == kH265Pps) buffer = &fPPS, bufferSize = &fPPSSize;
    } else {
        if (type == kH264Sps) buffer = &fSPS, bufferSize = &fSPSSize;
        if (type == kH264Pps) buffer = &fPPS, bufferSize = &fPPSSize;
    }
    if (buffer == nullptr || *buffer != nullptr) return;
    if (base64EncodedSize(static_cast<unsigned>(size)) > static_cast<unsigned>(kBase64Size)) {
        if (!fOversizeReported) {
            YVK_TRACE(YVK_TRACE_ERROR, "parameter set of %d bytes (type 0x%02x) is too long for the SDP, refused\n",
                      size, type);
            fOversizeReported = true;
        }
        return;
    }
    keepCopy(*buffer, *bufferSize, unit, size);
    bool complete = fSPS != nullptr && fPPS != nullptr && (fCodec != 265 || fVPS != nullptr);
    if (complete && !hasAuxLine()) buildAuxLine();
}

void H26xQueueSource::buildAuxLine() {
    const unsigned header = fKeepStartCode ? kStartCodeSize : 0;
    base64EncodePrivate(fSPS, fSPSSize, fSPSBase64);
    base64EncodePrivate(fPPS, fPPSSize, fPPSBase64);
    char text[3 * kBase64Size + 64];
    if (fCodec == 265) {
        base64EncodePrivate(fVPS, fVPSSize, fVPSBase64);
        std::snprintf(text, sizeof text, "sprop-vps=%s;sprop-sps=%s;sprop-pps=%s", fVPSBase64, fSPSBase64,
                      fPPSBase64);
    } else {
        unsigned profileLevelId = 0;
        if (fSPSSize >= header + 4) {
            profileLevelId = (fSPS[header + 1] << 16) | (fSPS[header + 2] << 8) | fSPS[header + 3];
        }
        std::snprintf(text, sizeof text, "profile-level-id=%06x;sprop-parameter-sets=%s,%s", profileLevelId,
                      fSPSBase64, fPPSBase64);
    }
    fAuxLine = text;
    fAuxLineReady.store(true, std::memory_order_release);
}
