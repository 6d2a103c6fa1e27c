// Reads what a player needs to know about a Transport Stream segment: the
// RFC 6381 codec strings of its video and audio and the picture size, from
// the PAT, the PMT, the video's SPS and the first ADTS header.
#ifndef YVK_TRANSPORT_STREAM_PROBE_HH
#define YVK_TRANSPORT_STREAM_PROBE_HH

#include <cstddef>
#include <string>

struct TransportStreamInfo {
    std::string videoCodec; // e.g. "avc1.64001f", "hvc1.1.6.L93.B0"; empty when unknown
    std::string audioCodec; // e.g. "mp4a.40.2"; empty without audio
    unsigned width = 0;
    unsigned height = 0;

    // "avc1.64001f,mp4a.40.2": the codecs attribute of a manifest.
    std::string codecs() const;
};

TransportStreamInfo probeTransportStream(const unsigned char* data, size_t size);

#endif // YVK_TRANSPORT_STREAM_PROBE_HH
