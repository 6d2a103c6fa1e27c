// A media file's H.264/H.265 video as Annex-B access units, looped.
#ifndef YVK_HOST_FILE_VIDEO_HH
#define YVK_HOST_FILE_VIDEO_HH

#include "AnnexB.hh"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVBSFContext;
struct AVFormatContext;
struct AVPacket;

class FileVideo {
public:
    FileVideo() = default;
    ~FileVideo();
    FileVideo(const FileVideo&) = delete;
    FileVideo& operator=(const FileVideo&) = delete;

    bool open(const std::string& path, std::string& error);
    bool h265() const { return fH265; }
    int width() const { return fWidth; }
    int height() const { return fHeight; }
    int fps() const { return fFps; }

    // The next access unit; decodeUs paces delivery, presentUs stamps it
    // (both keep growing across loops).  False when the file cannot be read.
    bool next(std::vector<uint8_t>& accessUnit, bool& key, int64_t& decodeUs, int64_t& presentUs);

private:
    bool rewind();

    AVFormatContext* fFormat = nullptr;
    AVBSFContext* fBsf = nullptr;
    AVPacket* fPacket = nullptr;
    std::unique_ptr<AccessUnitFilter> fFilter;
    int fStream = -1;
    bool fH265 = false;
    int fWidth = 0, fHeight = 0, fFps = 25;
    int64_t fLoopOffsetUs = 0; // added to the file's times after each loop
    int64_t fLastUs = 0;       // largest time handed out
    int64_t fFrameUs = 40000;
    int64_t fUnstampedUs = 0;  // time of the next unit of a stream without times, within the loop
    bool fEmptyLoop = true;    // no unit came since the last rewind
};

#endif
