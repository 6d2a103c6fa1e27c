#include "TransportStreamProbe.hh"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr size_t kPacketSize = 188;
constexpr size_t kMaxVideoBytes = 4 * 1024 * 1024; // enough to meet a key frame's SPS
constexpr uint8_t kStreamTypeAac = 0x0F;
constexpr uint8_t kStreamTypeH264 = 0x1B;
constexpr uint8_t kStreamTypeH265 = 0x24;

// Reads bits MSB first; past the end it gives zeros and remembers that.
class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : fBytes(bytes) {}
    uint32_t bits(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) value = value << 1 | bit();
        return value;
    }
    uint32_t bit() {
        if (fPosition >= fBytes.size() * 8) {
            fOverrun = true;
            return 0;
        }
        uint32_t value = fBytes[fPosition / 8] >> (7 - fPosition % 8) & 1;
        ++fPosition;
        return value;
    }
    uint32_t ue() { // Exp-Golomb
        unsigned zeros = 0;
        while (bit() == 0 && !fOverrun && zeros < 32) ++zeros;
        return zeros >= 32 ? 0 : (1u << zeros) - 1 + bits(zeros);
    }
    int32_t se() {
        uint32_t code = ue();
        return code & 1 ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
    }
    void skip(unsigned count) { fPosition += count; }
    bool overrun() const { return fOverrun || fPosition > fBytes.size() * 8; }

private:
    const std::vector<uint8_t>& fBytes;
    size_t fPosition = 0;
    bool fOverrun = false;
};

// The NAL unit's payload without emulation-prevention bytes.
std::vector<uint8_t> unescape(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        if (i >= 2 && data[i] == 3 && data[i - 1] == 0 && data[i - 2] == 0) continue;
        out.push_back(data[i]);
    }
    return out;
}

// False when a delta lies outside -128..127: the set is damaged, and its
// deltas must not reach the sum (a 31-bit one overflows it).
bool skipScalingList(BitReader& reader, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            int32_t delta = reader.se();
            if (delta < -128 || delta > 127) return false;
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
    return true;
}

void parseH264Sps(const std::vector<uint8_t>& sps, TransportStreamInfo& info) {
    if (sps.size() < 4) return;
    char codec[16];
    std::snprintf(codec, sizeof codec, "avc1.%02x%02x%02x", sps[1], sps[2], sps[3]);
    info.videoCodec = codec;
    BitReader reader(sps);
    reader.skip(32);
    reader.ue(); // seq_parameter_set_id
    unsigned profile = sps[1];
    unsigned chroma = 1;
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
        profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
        profile == 135) {
        chroma = reader.ue();
        if (chroma == 3) reader.bit();
        reader.ue();
        reader.ue();
        reader.bit();
        if (reader.bit()) {
            for (unsigned i = 0; i < (chroma == 3 ? 12u : 8u); ++i) {
                if (reader.bit() && !skipScalingList(reader, i < 6 ? 16 : 64)) return;
            }
        }
    }
    reader.ue(); // log2_max_frame_num_minus4
    unsigned pocType = reader.ue();
    if (pocType == 0) {
        reader.ue();
    } else if (pocType == 1) {
        reader.bit();
        reader.se();
        reader.se();
        unsigned cycle = reader.ue();
        for (unsigned i = 0; i < cycle && !reader.overrun(); ++i) reader.se();
    }
    reader.ue();  // max_num_ref_frames
    reader.bit(); // gaps_in_frame_num_value_allowed_flag
    unsigned widthMbs = reader.ue() + 1;
    unsigned heightMaps = reader.ue() + 1;
    unsigned frameMbsOnly = reader.bit();
    if (!frameMbsOnly) reader.bit();
    reader.bit(); // direct_8x8_inference_flag
    unsigned cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (reader.bit()) {
        cropLeft = reader.ue();
        cropRight = reader.ue();
        cropTop = reader.ue();
        cropBottom = reader.ue();
    }
    if (reader.overrun()) return;
    unsigned cropUnitX = chroma == 1 || chroma == 2 ? 2 : 1;
    unsigned cropUnitY = (chroma == 1 ? 2 : 1) * (2 - frameMbsOnly);
    info.width = widthMbs * 16 - cropUnitX * (cropLeft + cropRight);
    info.height = (2 - frameMbsOnly) * heightMaps * 16 - cropUnitY * (cropTop + cropBottom);
}

void parseH265Sps(const std::vector<uint8_t>& sps, TransportStreamInfo& info) {
    BitReader reader(sps);
    reader.skip(16); // NAL header
    reader.skip(4);  // sps_video_parameter_set_id
    unsigned subLayers = reader.bits(3);
    reader.bit();
    unsigned profileSpace = reader.bits(2);
    unsigned tier = reader.bit();
    unsigned profile = reader.bits(5);
    uint32_t compatibility = reader.bits(32);
    uint8_t constraints[6];
    for (uint8_t& byte : constraints) byte = static_cast<uint8_t>(reader.bits(8));
    unsigned level = reader.bits(8);
    // The compatibility flags are written in reverse bit order.
    uint32_t reversed = 0;
    for (int i = 0; i < 32; ++i) reversed |= (compatibility >> i & 1) << (31 - i);
    char codec[64];
    int length = std::snprintf(codec, sizeof codec, "hvc1.%s%u.%x.%c%u", profileSpace == 0 ? "" : "A", profile, reversed,
                               tier ? 'H' : 'L', level);
    int last = 5;
    while (last >= 0 && constraints[last] == 0) --last;
    for (int i = 0; i <= last && length > 0 && length < static_cast<int>(sizeof codec) - 4; ++i) {
        length += std::snprintf(codec + length, sizeof codec - static_cast<size_t>(length), ".%x", constraints[i]);
    }
    info.videoCodec = codec;
    std::vector<bool> profilePresent(subLayers), levelPresent(subLayers);
    for (unsigned i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.bit();
        levelPresent[i] = reader.bit();
    }
    if (subLayers > 0) reader.skip(2 * (8 - subLayers));
    for (unsigned i = 0; i < subLayers; ++i) reader.skip((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
    reader.ue(); // sps_seq_parameter_set_id
    unsigned chroma = reader.ue();
    if (chroma == 3) reader.bit();
    unsigned width = reader.ue();
    unsigned height = reader.ue();
    if (reader.bit()) {
        unsigned subWidth = chroma == 1 || chroma == 2 ? 2 : 1;
        unsigned subHeight = chroma == 1 ? 2 : 1;
        width -= subWidth * (reader.ue() + reader.ue());
        height -= subHeight * (reader.ue() + reader.ue());
    }
    if (reader.overrun()) return;
    info.width = width;
    info.height = height;
}

// Looks for the SPS among the NAL units of an Annex-B byte stream.
void findSps(const std::vector<uint8_t>& stream, bool h265, TransportStreamInfo& info) {
    for (size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) continue;
        size_t start = i + 3;
        unsigned type = h265 ? (stream[start] >> 1 & 0x3F) : (stream[start] & 0x1F);
        if (type != (h265 ? 33u : 7u)) continue;
        size_t end = start;
        while (end + 2 < stream.size() && !(stream[end] == 0 && stream[end + 1] == 0 && stream[end + 2] <= 1)) ++end;
        if (end + 2 >= stream.size()) end = stream.size();
        std::vector<uint8_t> sps = unescape(stream.data() + start, end - start);
        if (h265) parseH265Sps(sps, info);
        else parseH264Sps(sps, info);
        return;
    }
}

struct Packet {
    unsigned pid;
    bool unitStart;
    const uint8_t* payload;
    size_t payloadSize;
};

bool readPacket(const uint8_t* p, Packet& packet) {
    if (p[0] != 0x47) return false;
    packet.pid = (p[1] & 0x1F) << 8 | p[2];
    packet.unitStart = p[1] & 0x40;
    unsigned control = p[3] >> 4 & 3;
    size_t offset = 4;
    if (control == 2 || control == 3) offset += 1 + p[4];
    if (!(control & 1) || offset >= kPacketSize) {
        packet.payload = nullptr;
        packet.payloadSize = 0;
        return true;
    }
    packet.payload = p + offset;
    packet.payloadSize = kPacketSize - offset;
    return true;
}

// The section a PSI packet starts (after its pointer field), or null.
const uint8_t* sectionOf(const Packet& packet, size_t& size) {
    if (!packet.unitStart || packet.payloadSize < 1) return nullptr;
    size_t pointer = packet.payload[0];
    if (1 + pointer + 3 > packet.payloadSize) return nullptr;
    const uint8_t* section = packet.payload + 1 + pointer;
    size = packet.payloadSize - 1 - pointer;
    size_t declared = ((section[1] & 0x0F) << 8 | section[2]) + 3;
    if (declared < size) size = declared;
    return section;
}

// PES header skipped: the elementary stream bytes of a packet.
void appendPes(const Packet& packet, std::vector<uint8_t>& out) {
    const uint8_t* p = packet.payload;
    size_t size = packet.payloadSize;
    if (packet.unitStart) {
        if (size < 9 || p[0] != 0 || p[1] != 0 || p[2] != 1) return;
        size_t header = 9 + p[8];
        if (header > size) return;
        p += header;
        size -= header;
    }
    out.insert(out.end(), p, p + size);
}

bool isAudioPesStart(const Packet& packet) {
    const uint8_t* p = packet.payload;
    return packet.payloadSize >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[3] & 0xE0) == 0xC0;
}

} // namespace

std::string TransportStreamInfo::codecs() const {
    if (videoCodec.empty()) return audioCodec;
    return audioCodec.empty() ? videoCodec : videoCodec + "," + audioCodec;
}

static void collectPes(const Packet& packet, int pmtPid, int videoPid, int& audioPid, std::vector<uint8_t>& video,
                       std::vector<uint8_t>& audio) {
    int pid = static_cast<int>(packet.pid);
    if (pid == videoPid && video.size() < kMaxVideoBytes) {
        appendPes(packet, video);
    } else if (pid == audioPid && audio.size() < 64) {
        appendPes(packet, audio);
    } else if (audioPid < 0 && packet.unitStart && pid != 0 && pid != pmtPid && pid != videoPid &&
               isAudioPesStart(packet)) {
        // Not in the PMT, but an MPEG audio PES all the same.
        audioPid = pid;
        appendPes(packet, audio);
    }
}

TransportStreamInfo probeTransportStream(const unsigned char* data, size_t size) {
    TransportStreamInfo info;
    int pmtPid = -1, videoPid = -1, audioPid = -1;
    bool h265 = false;
    std::vector<uint8_t> video, audio;
    // The program tables may come well after a slice's first (key) frame:
    // the first pass learns the streams, the second collects their data.
    for (int pass = 0; pass < 2; ++pass)
    for (size_t at = 0; data != nullptr && at + kPacketSize <= size; at += kPacketSize) {
        Packet packet;
        if (!readPacket(data + at, packet) || packet.payload == nullptr) continue;
        size_t sectionSize = 0;
        if (pass == 1) {
            collectPes(packet, pmtPid, videoPid, audioPid, video, audio);
        } else if (packet.pid == 0 && pmtPid < 0) {
            const uint8_t* pat = sectionOf(packet, sectionSize);
            for (size_t i = 8; pat != nullptr && sectionSize >= 12 && i + 4 <= sectionSize - 4; i += 4) {
                if ((pat[i] << 8 | pat[i + 1]) != 0) {
                    pmtPid = (pat[i + 2] & 0x1F) << 8 | pat[i + 3];
                    break;
                }
            }
        } else if (static_cast<int>(packet.pid) == pmtPid && (videoPid < 0 || audioPid < 0)) {
            // A multiplexer may list a stream only from its first data on:
            // every PMT until both are known.
            const uint8_t* pmt = sectionOf(packet, sectionSize);
            if (pmt == nullptr || sectionSize < 16) continue;
            size_t i = 12 + ((pmt[10] & 0x0F) << 8 | pmt[11]);
            for (; i + 5 <= sectionSize - 4; i += 5 + ((pmt[i + 3] & 0x0F) << 8 | pmt[i + 4])) {
                unsigned pid = (pmt[i + 1] & 0x1F) << 8 | pmt[i + 2];
                if ((pmt[i] == kStreamTypeH264 || pmt[i] == kStreamTypeH265) && videoPid < 0) {
                    videoPid = static_cast<int>(pid);
                    h265 = pmt[i] == kStreamTypeH265;
                } else if (pmt[i] == kStreamTypeAac && audioPid < 0) {
                    audioPid = static_cast<int>(pid);
                }
            }
        }
    }
    findSps(video, h265, info);
    for (size_t i = 0; i + 3 < audio.size(); ++i) {
        if (audio[i] == 0xFF && (audio[i + 1] & 0xF6) == 0xF0) {
            info.audioCodec = "mp4a.40." + std::to_string((audio[i + 2] >> 6) + 1);
            break;
        }
    }
    if (audioPid >= 0 && info.audioCodec.empty()) info.audioCodec = "mp4a.40.2";
    return info;
}
