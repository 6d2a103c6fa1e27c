#include "AnnexB.hh"

namespace {

struct Nal {
    const uint8_t* data;
    size_t size;
};

// NAL units between 3- or 4-byte start codes.
std::vector<Nal> splitNals(const uint8_t* data, size_t size) {
    std::vector<Nal> nals;
    size_t i = 0;
    size_t start = SIZE_MAX;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && data[end - 1] == 0) --end; // trailing zero of a 4-byte code
                nals.push_back({data + start, end - start});
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < size) nals.push_back({data + start, size - start});
    return nals;
}

} // namespace

void AccessUnitFilter::append(std::vector<uint8_t>& out, const uint8_t* nal, size_t size) {
    static const uint8_t kStartCode[] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), nal, nal + size);
}

bool AccessUnitFilter::rewrite(const uint8_t* data, size_t size, std::vector<uint8_t>& out, bool& key) {
    out.clear();
    key = false;
    std::vector<Nal> slices;
    for (const Nal& nal : splitNals(data, size)) {
        if (nal.size == 0) continue;
        unsigned type = fH265 ? (nal.data[0] >> 1) & 0x3f : nal.data[0] & 0x1f;
        std::vector<uint8_t>* parameterSet = nullptr;
        if (fH265) {
            if (type == 32) parameterSet = &fVps;
            if (type == 33) parameterSet = &fSps;
            if (type == 34) parameterSet = &fPps;
            if (type <= 21) slices.push_back(nal);
            if (type >= 16 && type <= 21) key = true;
        } else {
            if (type == 7) parameterSet = &fSps;
            if (type == 8) parameterSet = &fPps;
            if (type >= 1 && type <= 5) slices.push_back(nal);
            if (type == 5) key = true;
        }
        if (parameterSet != nullptr) parameterSet->assign(nal.data, nal.data + nal.size);
    }
    if (slices.empty()) return false;
    if (key) {
        if (fH265 && !fVps.empty()) append(out, fVps.data(), fVps.size());
        if (!fSps.empty()) append(out, fSps.data(), fSps.size());
        if (!fPps.empty()) append(out, fPps.data(), fPps.size());
    }
    for (const Nal& slice : slices) append(out, slice.data, slice.size);
    return true;
}
