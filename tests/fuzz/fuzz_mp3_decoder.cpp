// The MP3 decoder of the file path's audio conversion, under any chunking:
// the first two bytes choose the chunk sizes and the output capacity, the
// rest is the stream.  The decoder must never write past the output nor
// report more samples than fit.
#include "yvk_audio_codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// The output capacity in bytes, guarded on both sides by bytes that must
// stay untouched.
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

void checkGuards(const std::vector<uint8_t>& buffer, size_t capacity) {
    for (size_t i = 0; i < kGuard; ++i) {
        if (buffer[i] != kGuardByte || buffer[kGuard + capacity + i] != kGuardByte) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned chunkSeed = data[0];
    size_t capacity = 2 + static_cast<size_t>(data[1]) * 64; // 2 bytes up to about one stereo frame
    data += 2;
    size -= 2;
    void* decoder = YVK_MP3_DecNew(nullptr, nullptr);
    if (decoder == nullptr) return 0;
    std::vector<uint8_t> buffer(capacity + 2 * kGuard, kGuardByte);
    std::vector<uint8_t> chunk;
    size_t at = 0;
    int calls = 0;
    while (calls++ < 10000) {
        // Chunks of 1 to 1024 bytes, varying as a small linear generator says.
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        size_t length = std::min<size_t>(size - at, 1 + (chunkSeed >> 8) % 1024);
        chunk.assign(data + at, data + at + length);
        at += length;
        YVK_AudioCoded input{chunk.empty() ? nullptr : chunk.data(), static_cast<int32_t>(chunk.size())};
        YVK_AudioPcm output{buffer.data() + kGuard, 0, static_cast<int32_t>(capacity)};
        YVK_AudioFormat format{};
        int samples = YVK_MP3_Decode(decoder, &input, &output, &format);
        checkGuards(buffer, capacity);
        if (samples > 0 && static_cast<size_t>(samples) * 2 > capacity) std::abort();
        // Past the input the decoder is drained with empty calls.
        if (at == size && samples <= 0) break;
    }
    YVK_MP3_DecFree(decoder);
    return 0;
}
