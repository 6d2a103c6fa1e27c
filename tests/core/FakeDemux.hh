// A scripted demux service for the file-input callbacks: the test executable
// defines the YVK_StreamerDemux* calls the callbacks use (and an MP3 decoder
// for its own "MP3"), and every open, close, seek and video position is
// logged.
#ifndef YVK_TEST_FAKE_DEMUX_HH
#define YVK_TEST_FAKE_DEMUX_HH

#include <cstdint>
#include <string>
#include <vector>

namespace yvk::test {

struct FakeMedia {
    int videoDurMs = 0;
    int audioDurMs = 0;
    uint8_t tag = 0;
    int videoFrames = 0;      // units: 00 00 00 01, 0x65 (key) or 0x41, tag, index
    int audioBlocks = 0;      // blocks of audioBlockSize bytes, every byte the tag
    int preBufFrames = 0;
    int fps = 25;
    int keyInterval = 25;     // frame i is a key frame when i % keyInterval == firstKey
    int firstKey = 0;
    int audioBlockSize = 100;
    int sampleRate = 48000;
    int channels = 1;
    int oversizeFrame = -1;   // this video frame is larger than any buffer
    // Audio blocks are "MP3" the fake decoder takes: channels, rate / 100 (two
    // bytes, big-endian), then the tag; each tag byte decodes to one sample
    // frame of value tag * 100.
    bool mp3 = false;
    bool openable = true;
};

constexpr int kFakeUnitSize = 8;

namespace FakeDemux {
void reset();
void add(const std::string& name, const FakeMedia& media);
// "open NAME", "close NAME", "seek NAME MS", "setvidpos NAME TRACK FRAME".
std::vector<std::string> calls();
void clearCalls();
int openHandles();
} // namespace FakeDemux

} // namespace yvk::test

#endif
