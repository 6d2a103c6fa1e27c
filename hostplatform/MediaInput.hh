// One reading position over a media file on libavformat: the demux service
// gives every track its own input, so tracks are read at their own pace
// without buffering the others' packets.
#ifndef YVK_HOSTPLATFORM_MEDIAINPUT_HH
#define YVK_HOSTPLATFORM_MEDIAINPUT_HH

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <string>
#include <vector>

namespace yvk::host {

// Sets FFmpeg's log level once, from YVK_TRACE_LEVEL.
void quietFfmpeg();

// FFmpeg's text for an error code.
std::string avError(int err);

class MediaInput {
public:
    MediaInput() = default;
    ~MediaInput();
    MediaInput(const MediaInput&) = delete;
    MediaInput& operator=(const MediaInput&) = delete;

    // Opens the file and reads its stream information.  false on failure
    // (traced under module).
    bool open(const std::string& fileName, const char* module);
    // Opens a further reading position on a file that probed has opened:
    // where the container's header lists every stream, its stream
    // information is taken from probed instead of being read again (which
    // decodes samples: milliseconds per open).  Timestamps count from
    // probed's origin.
    bool openLike(const MediaInput& probed, const std::string& fileName, const char* module);
    // Restricts reading to one stream (the others are discarded by the
    // demuxer).  false when the index does not exist.
    bool select(int streamIndex);

    AVFormatContext* context() const { return fContext; }
    AVStream* stream() const { return fContext->streams[fStream]; }
    int streamIndex() const { return fStream; }
    // The selected stream's codec parameters as the stream information
    // gave them.
    const AVCodecParameters* parameters() const;

    // The next packet of the selected stream into pkt (unreferenced by the
    // caller).  false at the end or on a read error.
    bool readPacket(AVPacket* pkt);
    // Moves to the key frame at or before positionMs.  false on failure.
    bool seekMs(int64_t positionMs);

    // Milliseconds of a timestamp of the selected stream, counted from the
    // file's origin (see originMs); never negative.
    uint64_t toMs(int64_t timestamp) const;

    // Streams of the file that the services use, in file order.
    std::vector<int> videoStreams() const;   // H.264 and H.265
    std::vector<int> audioStreams() const;   // audio with a decoder
    std::vector<int> textStreams() const;    // text subtitles
    // Duration of a stream in milliseconds (the file's when unknown).
    int64_t durationMs(int streamIndex) const;

private:
    bool openContainer(const std::string& fileName, const char* module);
    int64_t originMs() const;
    bool sameStreamsAs(const MediaInput& probed) const;

    AVFormatContext* fContext = nullptr;
    int fStream = -1;
    const MediaInput* fProbed = nullptr;  // origin and stream information from there
};

} // namespace yvk::host

#endif
