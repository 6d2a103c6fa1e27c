// Transport Stream segments as the playlists see them: the probe reads codec
// strings and the picture size, and the program-map versioner rewrites the
// packets in place, over the input in two deliveries so that it compares
// maps across them.
#include "ProgramMapVersioner.hh"
#include "TransportStreamProbe.hh"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TransportStreamInfo info = probeTransportStream(data, size);
    (void)info.codecs();
    // Exactly the input's bytes, so a read past them is caught.
    std::vector<unsigned char> packets(data, data + size);
    ProgramMapVersions versions;
    size_t half = size / 2 / 188 * 188;
    versions.rewrite(packets.data(), static_cast<unsigned>(half));
    versions.rewrite(packets.data() + half, static_cast<unsigned>(size - half));
    versions.rewrite(packets.data(), static_cast<unsigned>(size));
    return 0;
}
