// Annex-B access units of H.264 and H.265 as the demux and transcode
// services hand them out: four-byte start codes, no access-unit delimiters,
// the parameter sets in front of every key frame.
#ifndef YVK_HOSTPLATFORM_ANNEXB_HH
#define YVK_HOSTPLATFORM_ANNEXB_HH

#include <cstddef>
#include <cstdint>
#include <vector>

namespace yvk::host {

struct NalUnit {
    const uint8_t* data;  // header byte onwards
    size_t size;
};

// The units of Annex-B data, cut at three- and four-byte start codes.
std::vector<NalUnit> splitAnnexB(const uint8_t* data, size_t size);

class AccessUnitNormalizer {
public:
    explicit AccessUnitNormalizer(int codec);  // 264 or 265

    // Remembers the parameter sets found in Annex-B data (e.g. extradata).
    void learn(const uint8_t* data, size_t size);
    // Rewrites one access unit into out (replacing its content).  Key frames
    // get the latest parameter sets in front, taken from the unit itself or
    // from what was learnt before.
    void normalize(const uint8_t* data, size_t size, bool keyFrame, std::vector<uint8_t>& out);
    // The known parameter sets, start-code separated.
    std::vector<uint8_t> parameterSets() const;

private:
    enum Kind { kVps, kSps, kPps, kKinds };
    int kindOf(const NalUnit& nal) const;  // -1: not a parameter set
    bool isDelimiter(const NalUnit& nal) const;

    int fCodec;
    std::vector<uint8_t> fSets[kKinds];
};

} // namespace yvk::host

#endif
