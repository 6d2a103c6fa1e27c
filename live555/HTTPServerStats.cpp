// The server's statistics as JSON: read on the loop thread from the
// counters the sources keep and from live555's own session state.
#include "HLSServerMediaSubsession.hh"
#include "HTTPServer.hh"

#include <liveMedia_version.hh>

#include <cstdio>
#include <sstream>

namespace {

std::string quoted(std::string const& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void writeStream(std::ostream& out, StreamDescription const& stream) {
    out << "{\"name\":" << quoted(stream.name) << ",\"mode\":" << quoted(stream.mode)
        << ",\"delivery\":" << quoted(stream.delivery) << ",\"codec\":" << quoted(stream.codec)
        << ",\"width\":" << stream.width << ",\"height\":" << stream.height << ",\"frameRate\":" << stream.frameRate;
    if (stream.counters != nullptr) {
        out << ",\"framesIn\":" << stream.counters->framesIn.load(std::memory_order_relaxed)
            << ",\"framesDropped\":" << stream.counters->framesDropped.load(std::memory_order_relaxed)
            << ",\"recordsInFlight\":" << stream.counters->recordsInFlight.load(std::memory_order_relaxed);
    }
    out << "}";
}

void writeSession(std::ostream& out, LiveRTSPServer::SessionReport const& session) {
    char id[16];
    std::snprintf(id, sizeof id, "%08X", session.id);
    out << "{\"id\":" << quoted(id) << ",\"stream\":" << quoted(session.stream) << ",\"client\":"
        << quoted(session.client) << ",\"transport\":" << quoted(session.tracks == 0 ? "" : session.tcp ? "TCP" : "UDP")
        << ",\"tracks\":" << session.tracks << ",\"bytesSent\":" << session.bytesSent << "}";
}

} // namespace

void HTTPServer::describeStream(StreamDescription description) {
    fStreams.push_back(std::move(description));
}

unsigned HTTPServer::segmentDownloads() {
    unsigned downloads = 0;
    HashTable::Iterator* iterator = HashTable::Iterator::create(*fClientConnections);
    char const* key = nullptr;
    while (auto* connection = static_cast<HTTPClientConnection*>(iterator->next(key))) {
        downloads += connection->sendingSegment() ? 1 : 0;
    }
    delete iterator;
    return downloads;
}

std::string HTTPServer::statsJson() {
    std::ostringstream out;
    auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - fStartTime);
    out << "{\"version\":" << quoted(VERSION != nullptr ? VERSION : "") << ",\"live555\":"
        << quoted(LIVEMEDIA_LIBRARY_VERSION_STRING) << ",\"uptimeSeconds\":" << uptime.count() << ",\"streams\":[";
    for (size_t i = 0; i < fStreams.size(); ++i) {
        if (i > 0) out << ",";
        writeStream(out, fStreams[i]);
    }
    out << "],\"rtspSessions\":[";
    std::vector<SessionReport> sessions = sessionReports();
    for (size_t i = 0; i < sessions.size(); ++i) {
        if (i > 0) out << ",";
        writeSession(out, sessions[i]);
    }
    size_t segments = 0;
    for (StreamDescription const& stream : fStreams) {
        ServerMediaSession* session = findSession(stream.name.c_str());
        if (session == nullptr) continue;
        ServerMediaSubsessionIterator iterator(*session);
        while (ServerMediaSubsession* subsession = iterator.next()) {
            auto* hls = dynamic_cast<HLSServerMediaSubsession*>(subsession);
            if (hls != nullptr && hls->sink() != nullptr) segments += hls->sink()->slicesHeld();
        }
    }
    out << "],\"httpDownloads\":" << segmentDownloads() << ",\"segmentsHeld\":" << segments << "}\n";
    return out.str();
}
