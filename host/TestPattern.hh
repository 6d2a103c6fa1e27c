// The live test pattern: a moving picture with a running clock, encoded
// with libx264/libx265 through libavcodec.
#ifndef YVK_HOST_TEST_PATTERN_HH
#define YVK_HOST_TEST_PATTERN_HH

#include "AnnexB.hh"

#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class TestPatternEncoder {
public:
    TestPatternEncoder() = default;
    ~TestPatternEncoder();
    TestPatternEncoder(const TestPatternEncoder&) = delete;
    TestPatternEncoder& operator=(const TestPatternEncoder&) = delete;

    // One key picture per second, no B pictures, one slice per picture.
    bool open(bool h265, int width, int height, int fps, long bitrate, std::string& error);
    // Draws and encodes picture number index; false when the encoder gave
    // nothing for it.
    bool encode(int64_t index, std::vector<uint8_t>& accessUnit, bool& key);

private:
    void draw(int64_t index);

    AVCodecContext* fContext = nullptr;
    AVFrame* fFrame = nullptr;
    AVPacket* fPacket = nullptr;
    AccessUnitFilter* fFilter = nullptr;
    int fFps = 25;
};

#endif
