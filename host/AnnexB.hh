// Rewrites an encoder's or demuxer's Annex-B access unit into the form the
// library expects: four-byte start codes, only parameter sets and slices
// (no delimiters, no SEI), and the parameter sets in front of every key
// picture.
#ifndef YVK_HOST_ANNEXB_HH
#define YVK_HOST_ANNEXB_HH

#include <cstddef>
#include <cstdint>
#include <vector>

class AccessUnitFilter {
public:
    explicit AccessUnitFilter(bool h265) : fH265(h265) {}
    // Writes the rewritten unit to out; key tells whether it holds a key
    // picture.  False when nothing of the unit is left.
    bool rewrite(const uint8_t* data, size_t size, std::vector<uint8_t>& out, bool& key);

private:
    void append(std::vector<uint8_t>& out, const uint8_t* nal, size_t size);

    bool fH265;
    std::vector<uint8_t> fVps, fSps, fPps; // latest parameter sets seen
};

#endif
