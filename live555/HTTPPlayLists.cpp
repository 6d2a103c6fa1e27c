// The playlists through which HTTP clients follow the live stream: an HLS
// media playlist and a dynamic MPEG-DASH manifest, both rebuilt from the
// segment store on every request.
#include "HTTPServer.hh"

#include "HLSServerMediaSubsession.hh"
#include "TransportStreamProbe.hh"

#include <ctime>
#include <iostream>
#include <sstream>

// Declared in the public header; the host may repoint them.
YVK_API char const* HLS_VERSION = "3.0";
YVK_API char const* HLS_CACHE = "NO";
YVK_API int MPD_CONFORMANT = 0;

namespace {

struct PlayListWindow {
    float length;         // L: seconds from the oldest slice to the one being filled
    unsigned firstOffset; // T0: start offset of the oldest slice
    unsigned segment;     // D
};

char const* orEmpty(char const* text) {
    return text != nullptr ? text : "";
}

std::string isoTime(time_t seconds) {
    char text[32];
    struct tm utc;
    gmtime_r(&seconds, &utc);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The codecs and picture size of the stream, from the newest complete slice
// that shows them: a slice may lack a key frame (wall-clock cuts) or, the
// first one, audio.
TransportStreamInfo probeNewestSlices(const HLSServerMediaSubsession::HLSSink& store, uint32_t oldest,
                                      uint32_t newest) {
    TransportStreamInfo info;
    for (uint32_t slice = newest; slice-- > oldest && (info.videoCodec.empty() || info.audioCodec.empty());) {
        TransportStreamInfo found = probeTransportStream(store.getHLSBuffer(slice), store.getHLSBufferSize(slice));
        if (info.videoCodec.empty() && !found.videoCodec.empty()) {
            info.videoCodec = found.videoCodec;
            info.width = found.width;
            info.height = found.height;
        }
        if (info.audioCodec.empty()) info.audioCodec = found.audioCodec;
    }
    return info;
}

// A manifest DASH players accept: the codecs and picture size as above, the bandwidth from the complete slices, and segment
// numbers counted from slice 0, whose start is the availability start.
// Segment numbers are start offsets in seconds, so this holds for one-second
// segments, the live assembly's.
std::string conformantMpd(char const* streamName, const PlayListWindow& window,
                          const HLSServerMediaSubsession::HLSSink& store) {
    uint32_t oldest = window.firstOffset / window.segment;
    uint32_t newest = oldest + static_cast<uint32_t>(window.length) / window.segment;
    TransportStreamInfo info = probeNewestSlices(store, oldest, newest);
    uint64_t bytes = 0;
    for (uint32_t slice = oldest; slice < newest; ++slice) bytes += store.getHLSBufferSize(slice);
    uint64_t bandwidth = newest > oldest ? bytes * 8 / ((newest - oldest) * window.segment) : 0;
    std::ostringstream text;
    text << "<?xml version='1.0' encoding='UTF-8'?>\r\n"
         << "<MPD type='dynamic' xmlns='urn:mpeg:dash:schema:mpd:2011' "
            "profiles='urn:mpeg:dash:profile:mp2t-simple:2011' availabilityStartTime='"
         << isoTime(static_cast<time_t>(store.firstSecond())) << "' publishTime='" << isoTime(std::time(nullptr))
         << "' minimumUpdatePeriod='PT" << window.segment << "S' minBufferTime='PT" << 2 * window.segment
         << "S' timeShiftBufferDepth='PT" << static_cast<unsigned>(window.length) << "S' suggestedPresentationDelay='PT"
         << 3 * window.segment << "S'>\r\n"
         << "<Period id='0' start='PT0S'><AdaptationSet mimeType='video/mp2t' segmentAlignment='true'>"
         << "<Representation id='0' mimeType='video/mp2t' codecs='" << info.codecs() << "' bandwidth='" << bandwidth
         << "'";
    if (info.width > 0 && info.height > 0) text << " width='" << info.width << "' height='" << info.height << "'";
    text << ">\r\n"
         << "<SegmentTemplate timescale='1' duration='" << window.segment << "' media='" << streamName
         << "?segment=$Number$' startNumber='0' />\r\n"
         << "</Representation></AdaptationSet></Period>\r\n"
         << "</MPD>\r\n";
    return text.str();
}

} // namespace

// Both playlists need a stream with at least one complete segment.
static bool playListWindow(ServerMediaSubsession* subsession, unsigned segmentDuration, PlayListWindow& window) {
    if (subsession == nullptr || segmentDuration == 0) return false;
    window.length = subsession->duration();
    if (!(window.length > 0)) return false;
    window.firstOffset = static_cast<unsigned>(subsession->getCurrentNPT(nullptr));
    window.segment = segmentDuration;
    return true;
}

// The manifest as firmware tools know it: six lines.
static std::string sixLineMpd(char const* streamName, const PlayListWindow& window) {
    std::ostringstream text;
    text << "<?xml version='1.0' encoding='UTF-8'?>\r\n"
         << "<MPD type='dynamic' xmlns='urn:mpeg:DASH:schema:MPD:2011' "
            "profiles='urn:mpeg:dash:profile:full:2011' minimumUpdatePeriod='PT"
         << window.segment << "S' minBufferTime='" << window.segment << "'>\r\n"
         << "<Period start='PT0S'><AdaptationSet segmentAlignment='true'>"
            "<Representation mimeType='video/MP2T' codecs='' >\r\n"
         << "<SegmentTemplate duration='" << window.segment << "' media='" << streamName
         << "?segment=$Number$' startNumber='" << window.firstOffset << "' />\r\n"
         << "</Representation></AdaptationSet></Period>\r\n"
         << "</MPD>\r\n";
    return text.str();
}

bool HTTPServer::HTTPClientConnection::sendM3u8PlayList(char const* streamName) {
    PlayListWindow window;
    if (!playListWindow(getSubsesion(streamName), server().segmentDuration(), window)) return false;
    std::ostringstream text;
    text << "#EXTM3U\r\n"
         << "#EXT-X-VERSION:" << orEmpty(HLS_VERSION) << "\r\n"
         << "#EXT-X-ALLOW-CACHE:" << orEmpty(HLS_CACHE) << "\r\n"
         << "#EXT-X-MEDIA-SEQUENCE:" << window.firstOffset << "\r\n"
         << "#EXT-X-TARGETDURATION:" << window.segment << "\r\n";
    // Every complete slice from the oldest on; never the one being filled.
    for (unsigned t = 0; window.length > static_cast<float>(t); t += window.segment) {
        text << "#EXTINF:" << static_cast<double>(window.segment) << ",\r\n"
             << streamName << "?segment=" << window.firstOffset + t << "\r\n";
    }
    std::string playList = text.str();
    envir() << "send M3u8 playlist:" << streamName << "\n";
    std::cout << "\n" << playList << "\n" << std::endl;
    sendText("application/vnd.apple.mpegurl", std::move(playList));
    return true;
}

bool HTTPServer::HTTPClientConnection::sendMpdPlayList(char const* streamName) {
    ServerMediaSubsession* subsession = getSubsesion(streamName);
    PlayListWindow window;
    if (!playListWindow(subsession, server().segmentDuration(), window)) return false;
    auto* hls = dynamic_cast<HLSServerMediaSubsession*>(subsession);
    std::string playList = MPD_CONFORMANT != 0 && hls != nullptr ? conformantMpd(streamName, window, *hls->sink())
                                                                 : sixLineMpd(streamName, window);
    envir() << "send MPEG-DASH playlist:" << streamName << "\n";
    sendText("application/dash+xml", std::move(playList));
    return true;
}
