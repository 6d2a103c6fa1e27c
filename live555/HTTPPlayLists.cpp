// The playlists through which HTTP clients follow the live stream: an HLS
// media playlist and a dynamic MPEG-DASH manifest, both rebuilt from the
// segment store on every request.
#include "HTTPServer.hh"

#include <iostream>
#include <sstream>

// Declared in the public header; the host may repoint them.
YVK_API char const* HLS_VERSION = "3.0";
YVK_API char const* HLS_CACHE = "NO";

namespace {

struct PlayListWindow {
    float length;         // L: seconds from the oldest slice to the one being filled
    unsigned firstOffset; // T0: start offset of the oldest slice
    unsigned segment;     // D
};

char const* orEmpty(char const* text) {
    return text != nullptr ? text : "";
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
    sendHeader("application/vnd.apple.mpegurl", static_cast<unsigned>(playList.size()));
    streamSource(playList);
    return true;
}

bool HTTPServer::HTTPClientConnection::sendMpdPlayList(char const* streamName) {
    PlayListWindow window;
    if (!playListWindow(getSubsesion(streamName), server().segmentDuration(), window)) return false;
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
    std::string playList = text.str();
    envir() << "send MPEG-DASH playlist:" << streamName << "\n";
    sendHeader("application/dash+xml", static_cast<unsigned>(playList.size()));
    streamSource(playList);
    return true;
}
