// H26xQueueSource: cutting an access unit into NAL units, capturing the
// parameter sets and building the SDP format parameters from them.
//
// Encoders write three- and four-byte start codes (libx264 and libx265 use
// the short form inside an access unit), several slices per picture, SEI and
// access unit delimiters: every NAL unit is found by its start code and
// recognised by its type bits, never by position or count.
#include "H26xQueueSource.hh"

#include "yvk_system.h"

#include <cstdio>
#include <cstring>

#define YVK_TRACE_MODULE "H26x-QSrc"

namespace {

// Offset of the next 00 00 01 at or after from, or -1; codeStart receives
// where its start code begins (one byte earlier for 00 00 00 01).
int findStartCode(const uint8_t* data, int size, int from, int& codeStart) {
    for (int i = from; i + 3 <= size; ++i) {
        if (data[i + 2] > 1) {
            i += 2; // no start code can begin at i, i + 1 or i + 2
            continue;
        }
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            codeStart = i > from && data[i - 1] == 0 ? i - 1 : i;
            return i;
        }
    }
    return -1;
}

// Bytes of the start code at the front of a unit cut with its start code.
int startCodeLength(const uint8_t* unit, int size) {
    int i = 0;
    while (i < size && unit[i] == 0) ++i;
    return i < size && unit[i] == 1 ? i + 1 : 0;
}

} // namespace

unsigned H26xNalKind::type(int codec, uint8_t header) {
    return codec == 265 ? (header >> 1) & 0x3f : header & 0x1f;
}

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

// The unit runs from its header to the next start code; trailing zero bytes
// before that belong to the stream, not to the unit (a NAL unit never ends in
// a zero byte).
bool H26xQueueSource::nextUnit(uint8_t* data, int size, Unit& unit) const {
    if (data == nullptr || size <= 0) return false;
    int codeStart = 0;
    int at = findStartCode(data, size, 0, codeStart);
    while (at >= 0) {
        int header = at + 3;
        if (header >= size) return false; // a start code with nothing after it
        int nextStart = size;
        int next = findStartCode(data, size, header, nextStart);
        int end = next >= 0 ? nextStart : size;
        while (end > header && data[end - 1] == 0) --end;
        if (end > header) {
            int from = fKeepStartCode ? codeStart : header;
            unit.data = data + from;
            unit.size = end - from;
            unit.header = header - from;
            unit.type = H26xNalKind::type(fCodec, data[header]);
            return true;
        }
        if (next < 0) return false;
        at = next; // an empty unit: look on
        codeStart = nextStart;
    }
    return false;
}

uint8_t* H26xQueueSource::extractFrameH264(uint8_t* data, int size, int& length) {
    Unit unit{};
    length = 0;
    if (!nextUnit(data, size, unit)) return nullptr;
    length = unit.size;
    return unit.data;
}

uint8_t* H26xQueueSource::extractFrameH265(uint8_t* data, int size, int& length) {
    return extractFrameH264(data, size, length); // the cut is the same; the types differ
}

H26xQueueSource::Unit* H26xQueueSource::splitFrames(uint8_t* data, int size, bool& key) {
    key = false;
    fUnits.clear();
    uint8_t* end = data != nullptr && size > 0 ? data + size : data;
    uint8_t* at = data;
    Unit unit{};
    while (at != nullptr && at < end && nextUnit(at, static_cast<int>(end - at), unit)) {
        captureParameterSet(unit);
        if (H26xNalKind::isKeySlice(fCodec, unit.type)) key = true;
        fUnits.push_back(unit);
        at = unit.data + unit.size;
    }
    fUnitCount = static_cast<int>(fUnits.size());
    return fUnits.data();
}

void H26xQueueSource::captureParameterSet(const Unit& unit) {
    std::vector<uint8_t>* buffer = nullptr;
    if (H26xNalKind::isVideoParameterSet(fCodec, unit.type)) buffer = &fVPS;
    if (H26xNalKind::isSequenceParameterSet(fCodec, unit.type)) buffer = &fSPS;
    if (H26xNalKind::isPictureParameterSet(fCodec, unit.type)) buffer = &fPPS;
    if (buffer == nullptr || !buffer->empty() || hasAuxLine()) return;
    buffer->assign(unit.data, unit.data + unit.size);
    bool complete = !fSPS.empty() && !fPPS.empty() && (fCodec != 265 || !fVPS.empty());
    if (complete) buildAuxLine();
}

void H26xQueueSource::keepParameterSets(uint8_t* data, unsigned size) {
    std::vector<uint8_t> sets;
    uint8_t* end = data + size;
    Unit unit{};
    for (uint8_t* at = data; at < end && nextUnit(at, static_cast<int>(end - at), unit); at = unit.data + unit.size) {
        if (!H26xNalKind::isParameterSet(fCodec, unit.type)) continue;
        sets.insert(sets.end(), {0, 0, 0, 1});
        sets.insert(sets.end(), unit.data + unit.header, unit.data + unit.size);
    }
    if (!sets.empty()) fRepeatSets.swap(sets);
}

// The sets captured for the parameter text, for a host that sends them in
// records of their own; published by hasAuxLine().
void H26xQueueSource::storedParameterSets() {
    if (!hasAuxLine()) return;
    for (const std::vector<uint8_t>* set : {&fVPS, &fSPS, &fPPS}) {
        const int header = startCodeLength(set->data(), static_cast<int>(set->size()));
        if (static_cast<size_t>(header) == set->size()) continue;
        fRepeatSets.insert(fRepeatSets.end(), {0, 0, 0, 1});
        fRepeatSets.insert(fRepeatSets.end(), set->begin() + header, set->end());
    }
}

namespace {
std::string base64(const std::vector<uint8_t>& bytes) {
    std::string text(base64EncodedSize(static_cast<unsigned>(bytes.size())), '\0');
    base64EncodePrivate(bytes.data(), static_cast<unsigned>(bytes.size()), &text[0]);
    text.pop_back(); // the terminating NUL
    return text;
}
} // namespace

void H26xQueueSource::buildAuxLine() {
    if (fCodec == 265) {
        fAuxLine = "sprop-vps=" + base64(fVPS) + ";sprop-sps=" + base64(fSPS) + ";sprop-pps=" + base64(fPPS);
    } else {
        const int header = fKeepStartCode ? startCodeLength(fSPS.data(), static_cast<int>(fSPS.size())) : 0;
        unsigned profileLevelId = 0;
        if (fSPS.size() >= static_cast<size_t>(header) + 4) {
            profileLevelId = (fSPS[header + 1] << 16) | (fSPS[header + 2] << 8) | fSPS[header + 3];
        }
        char profile[16];
        std::snprintf(profile, sizeof profile, "%06x", profileLevelId);
        fAuxLine = std::string("profile-level-id=") + profile + ";sprop-parameter-sets=" + base64(fSPS) + "," +
                   base64(fPPS);
    }
    fAuxLineReady.store(true, std::memory_order_release);
}
