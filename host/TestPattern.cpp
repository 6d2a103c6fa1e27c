#include "TestPattern.hh"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdio>

namespace {

// 5x7 digits, ':' and '.', one row per byte, bit 4 leftmost.
const uint8_t kGlyphs[12][7] = {
    {0x0e, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0e}, {0x04, 0x0c, 0x04, 0x04, 0x04, 0x04, 0x0e},
    {0x0e, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1f}, {0x1f, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0e},
    {0x02, 0x06, 0x0a, 0x12, 0x1f, 0x02, 0x02}, {0x1f, 0x10, 0x1e, 0x01, 0x01, 0x11, 0x0e},
    {0x06, 0x08, 0x10, 0x1e, 0x11, 0x11, 0x0e}, {0x1f, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0e, 0x11, 0x11, 0x0e, 0x11, 0x11, 0x0e}, {0x0e, 0x11, 0x11, 0x0f, 0x01, 0x02, 0x0c},
    {0x00, 0x0c, 0x0c, 0x00, 0x0c, 0x0c, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x0c},
};

int glyphIndex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return c == ':' ? 10 : 11;
}

void drawText(AVFrame* frame, const char* text, int x0, int y0, int scale) {
    for (int n = 0; text[n] != '\0'; ++n) {
        const uint8_t* glyph = kGlyphs[glyphIndex(text[n])];
        for (int row = 0; row < 7 * scale; ++row) {
            int y = y0 + row;
            if (y >= frame->height) break;
            for (int col = 0; col < 6 * scale; ++col) {
                int x = x0 + (n * 6) * scale + col;
                if (x >= frame->width) break;
                bool on = col < 5 * scale && (glyph[row / scale] >> (4 - col / scale)) & 1;
                frame->data[0][y * frame->linesize[0] + x] = on ? 235 : 16;
            }
        }
    }
}

} // namespace

TestPatternEncoder::~TestPatternEncoder() {
    avcodec_free_context(&fContext);
    av_frame_free(&fFrame);
    av_packet_free(&fPacket);
    delete fFilter;
}

bool TestPatternEncoder::open(bool h265, int width, int height, int fps, long bitrate, std::string& error) {
    const char* name = h265 ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        error = std::string("encoder ") + name + " not available";
        return false;
    }
    fFps = fps;
    fContext = avcodec_alloc_context3(codec);
    fContext->width = width;
    fContext->height = height;
    fContext->time_base = AVRational{1, fps};
    fContext->framerate = AVRational{fps, 1};
    fContext->pix_fmt = AV_PIX_FMT_YUV420P;
    fContext->bit_rate = bitrate;
    fContext->gop_size = fps;
    fContext->max_b_frames = 0;
    fContext->thread_count = 1; // one slice per picture
    av_opt_set(fContext->priv_data, "preset", "ultrafast", 0);
    av_opt_set(fContext->priv_data, "tune", "zerolatency", 0);
    if (h265) {
        std::string params = "repeat-headers=1:info=0:open-gop=0:bframes=0:aud=0:scenecut=0:log-level=error:keyint=" +
                             std::to_string(fps);
        av_opt_set(fContext->priv_data, "x265-params", params.c_str(), 0);
    } else {
        av_opt_set(fContext->priv_data, "x264-params", "sliced-threads=0:aud=0:scenecut=0:repeat-headers=1", 0);
    }
    int status = avcodec_open2(fContext, codec, nullptr);
    if (status < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(status, text, sizeof text);
        error = std::string("cannot open ") + name + ": " + text;
        return false;
    }
    fFrame = av_frame_alloc();
    fFrame->format = AV_PIX_FMT_YUV420P;
    fFrame->width = width;
    fFrame->height = height;
    if (av_frame_get_buffer(fFrame, 0) < 0) {
        error = "no memory for the picture";
        return false;
    }
    fPacket = av_packet_alloc();
    fFilter = new AccessUnitFilter(h265);
    return true;
}

void TestPatternEncoder::draw(int64_t index) {
    AVFrame* f = fFrame;
    av_frame_make_writable(f);
    const int w = f->width, h = f->height;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(16 + ((x + y + index * 4) & 0xff) * 219 / 255);
    }
    for (int y = 0; y < h / 2; ++y) {
        for (int x = 0; x < w / 2; ++x) {
            f->data[1][y * f->linesize[1] + x] = static_cast<uint8_t>(128 + ((x * 8 / (w / 2)) - 4) * 24);
            f->data[2][y * f->linesize[2] + x] = static_cast<uint8_t>(128 + ((y * 8 / (h / 2)) - 4) * 24);
        }
    }
    // A box that bounces from side to side.
    const int box = std::max(8, h / 6);
    const int span = std::max(1, w - box);
    int64_t step = (index * 8) % (2 * span);
    const int bx = static_cast<int>(step < span ? step : 2 * span - step);
    const int by = h / 2 - box / 2;
    for (int y = by; y < by + box && y < h; ++y) {
        for (int x = bx; x < bx + box && x < w; ++x) f->data[0][y * f->linesize[0] + x] = 235;
    }
    // The running clock: hours, minutes, seconds and frame.
    int64_t seconds = index / fFps;
    char clock[32];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d.%02d", static_cast<int>(seconds / 3600 % 100),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                  static_cast<int>(index % fFps));
    drawText(f, clock, 8, 8, std::max(1, h / 120));
    f->pts = index;
}

bool TestPatternEncoder::encode(int64_t index, std::vector<uint8_t>& accessUnit, bool& key) {
    draw(index);
    if (avcodec_send_frame(fContext, fFrame) < 0) return false;
    bool produced = false;
    while (avcodec_receive_packet(fContext, fPacket) == 0) {
        produced = fFilter->rewrite(fPacket->data, static_cast<size_t>(fPacket->size), accessUnit, key);
        av_packet_unref(fPacket);
    }
    return produced;
}
