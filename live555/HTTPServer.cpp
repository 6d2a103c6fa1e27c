#include "HTTPServer.hh"

#include "yvk_system.h"

#include <liveMedia_version.hh>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#define YVK_TRACE_MODULE "HTTPServer"

YVK_API char const* VERSION = "1.0"; // declared in the public header
char const* const LIVE555_VERSION = LIVEMEDIA_LIBRARY_VERSION_STRING; // exported by its declaration
YVK_API char const* HTTP_DOC_ROOT = nullptr;

// ---- the server --------------------------------------------------------------

HTTPServer* HTTPServer::createNew(UsageEnvironment& env, Port ourPort, UserAuthenticationDatabase* authDatabase,
                                  unsigned reclamationSeconds, unsigned segmentDuration) {
    int socketIPv4 = -1;
    int socketIPv6 = -1;
    if (!openListeningSockets(env, ourPort, socketIPv4, socketIPv6)) {
        delete authDatabase;
        return nullptr;
    }
    return new HTTPServer(env, socketIPv4, socketIPv6, ourPort, authDatabase, reclamationSeconds, segmentDuration);
}

HTTPServer::HTTPServer(UsageEnvironment& env, int ourSocketIPv4, int ourSocketIPv6, Port ourPort,
                       UserAuthenticationDatabase* authDatabase, unsigned reclamationSeconds,
                       unsigned segmentDuration)
    : LiveRTSPServer(env, ourSocketIPv4, ourSocketIPv6, ourPort, authDatabase, reclamationSeconds),
      fSegmentDuration(segmentDuration), fOwnedAuthDatabase(authDatabase),
      fDocumentRoot(resolveDocumentRoot(HTTP_DOC_ROOT)) {
    if (fDocumentRoot.empty()) {
        YVK_TRACE(YVK_TRACE_ERROR, "web root '%s' is '/' or no folder: static files are off\n",
                  HTTP_DOC_ROOT != nullptr ? HTTP_DOC_ROOT : "(working directory)");
    }
}

// The connections go first, while the client sessions are still there:
// closing one that streams RTP over TCP looks up its session, and
// RTSPServer's cleanup deletes the sessions before the connections.  Their
// destructors need no more of the server than its environment.
HTTPServer::~HTTPServer() {
    while (auto* connection = static_cast<HTTPClientConnection*>(fClientConnections->getFirst())) delete connection;
    delete fOwnedAuthDatabase;
}

GenericMediaServer::ClientConnection* HTTPServer::createNewClientConnection(int clientSocket,
                                                                            struct sockaddr_storage const& clientAddr) {
    return new HTTPClientConnection(*this, clientSocket, clientAddr);
}

ServerMediaSession* HTTPServer::findSession(char const* streamName) {
    return getServerMediaSession(streamName);
}

std::vector<std::string> HTTPServer::streamNames() {
    std::vector<std::string> names;
    ServerMediaSessionIterator iterator(*this);
    while (ServerMediaSession* session = iterator.next()) names.emplace_back(session->streamName());
    return names;
}

// ---- static files ------------------------------------------------------------

std::string staticFilePath(char const* fullRequestStr) {
    std::string path(fullRequestStr != nullptr ? fullRequestStr : "");
    size_t space = path.find(' ');
    if (space != std::string::npos) path.erase(0, space + 1); // the method
    size_t end = path.find_first_of(" \r\n");
    if (end != std::string::npos) path.erase(end);             // version and headers
    size_t slash = path.find('/');
    if (slash != std::string::npos) path.erase(0, 1);          // the leading "/"
    // Every "../" goes, including one that a removal forms.
    size_t at = slash != std::string::npos ? slash : 0;
    while ((at = path.find("../", at)) != std::string::npos) path.erase(at, 3);
    return path;
}

std::string resolveDocumentRoot(char const* folder) {
    char directory[PATH_MAX];
    if (folder == nullptr) {
        if (getcwd(directory, sizeof directory) == nullptr) return std::string();
        folder = directory;
    }
    char resolved[PATH_MAX];
    struct stat info;
    if (realpath(folder, resolved) == nullptr || stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return std::string();
    }
    return std::strcmp(resolved, "/") == 0 ? std::string() : std::string(resolved);
}

std::string servableFile(std::string const& path, std::string const& root) {
    if (root.empty() || path.empty() || path[0] == '/') return std::string();
    // No hidden names (".htpasswd", ".git/..."), and so no "." or "..".
    for (size_t at = 0; at != std::string::npos; at = path.find('/', at), at = at == std::string::npos ? at : at + 1) {
        if (at < path.size() && path[at] == '.') return std::string();
    }
    std::string full = root + "/" + path;
    char resolved[PATH_MAX];
    if (realpath(full.c_str(), resolved) == nullptr) return std::string();
    std::string inside = root + "/";
    if (std::strncmp(resolved, inside.c_str(), inside.size()) != 0) return std::string();
    struct stat info;
    if (stat(resolved, &info) != 0 || !S_ISREG(info.st_mode)) return std::string();
    return resolved;
}

char const* contentTypeOf(std::string const& path) {
    static const std::map<std::string, char const*> kTypes = {
        {"html", "text/html; charset=utf-8"}, {"htm", "text/html; charset=utf-8"},
        {"js", "application/javascript"},     {"mjs", "application/javascript"},
        {"css", "text/css"},                  {"json", "application/json"},
        {"png", "image/png"},                 {"svg", "image/svg+xml"},
        {"jpg", "image/jpeg"},                {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},                 {"ico", "image/x-icon"},
        {"txt", "text/plain; charset=utf-8"}, {"ts", "video/mp2t"},
        {"m3u8", "application/vnd.apple.mpegurl"}, {"mpd", "application/dash+xml"},
        {"mp4", "video/mp4"},                 {"wasm", "application/wasm"},
        {"map", "application/json"},
    };
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto found = kTypes.find(extension);
    return found != kTypes.end() ? found->second : "application/octet-stream";
}

bool parseSegmentOffset(std::string const& query, uint32_t& offset) {
    static const std::string kKey = "?segment=";
    if (query.compare(0, kKey.size(), kKey) != 0) return false;
    std::string digits = query.substr(kKey.size());
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) return false;
    offset = static_cast<uint32_t>(value);
    return true;
}

bool isScriptIdentifier(std::string const& name) {
    static const char* const kReserved[] = {
        "break", "case", "catch", "class", "const", "continue", "debugger", "default", "delete", "do", "else",
        "enum", "export", "extends", "false", "finally", "for", "function", "if", "import", "in", "instanceof",
        "new", "null", "return", "super", "switch", "this", "throw", "true", "try", "typeof", "var", "void",
        "while", "with", "yield", "let", "static", "implements", "interface", "package", "private",
        "protected", "public", "await"};
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (const char* word : kReserved) {
        if (name == word) return false;
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$') return false;
    }
    return true;
}
