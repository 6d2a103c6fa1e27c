#include "AnnexB.hh"

#include <cstring>

namespace yvk::host {

namespace {

const uint8_t kStartCode[4] = {0, 0, 0, 1};

// Position of the next 00 00 01 at or after from, or size.
size_t findStartCode(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

void append(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), data, data + size);
}

} // namespace

std::vector<NalUnit> splitAnnexB(const uint8_t* data, size_t size) {
    std::vector<NalUnit> units;
    size_t code = findStartCode(data, size, 0);
    while (code < size) {
        size_t begin = code + 3;
        size_t next = findStartCode(data, size, begin);
        size_t end = next;
        // Zero bytes before the next start code belong to it (four-byte form
        // or trailing zeros), not to this unit.
        while (end > begin && data[end - 1] == 0 && next < size) --end;
        if (end > begin) units.push_back({data + begin, end - begin});
        code = next;
    }
    return units;
}

AccessUnitNormalizer::AccessUnitNormalizer(int codec) : fCodec(codec) {}

int AccessUnitNormalizer::kindOf(const NalUnit& nal) const {
    if (fCodec == 265) {
        switch ((nal.data[0] >> 1) & 0x3f) {
        case 32: return kVps;
        case 33: return kSps;
        case 34: return kPps;
        default: return -1;
        }
    }
    switch (nal.data[0] & 0x1f) {
    case 7: return kSps;
    case 8: return kPps;
    default: return -1;
    }
}

bool AccessUnitNormalizer::isDelimiter(const NalUnit& nal) const {
    return fCodec == 265 ? ((nal.data[0] >> 1) & 0x3f) == 35 : (nal.data[0] & 0x1f) == 9;
}

void AccessUnitNormalizer::learn(const uint8_t* data, size_t size) {
    for (const NalUnit& nal : splitAnnexB(data, size)) {
        int kind = kindOf(nal);
        if (kind >= 0) fSets[kind].assign(nal.data, nal.data + nal.size);
    }
}

void AccessUnitNormalizer::normalize(const uint8_t* data, size_t size, bool keyFrame,
                                     std::vector<uint8_t>& out) {
    out.clear();
    std::vector<NalUnit> units = splitAnnexB(data, size);
    for (const NalUnit& nal : units) {
        int kind = kindOf(nal);
        if (kind >= 0) fSets[kind].assign(nal.data, nal.data + nal.size);
    }
    if (keyFrame) {
        for (const auto& set : fSets) {
            if (!set.empty()) append(out, set.data(), set.size());
        }
    }
    for (const NalUnit& nal : units) {
        if (isDelimiter(nal)) continue;
        if (keyFrame && kindOf(nal) >= 0) continue;  // already in front
        append(out, nal.data, nal.size);
    }
}

std::vector<uint8_t> AccessUnitNormalizer::parameterSets() const {
    std::vector<uint8_t> out;
    for (const auto& set : fSets) {
        if (!set.empty()) append(out, set.data(), set.size());
    }
    return out;
}

} // namespace yvk::host
