// HTTP requests to a live HTTP streaming instance: the request line, the
// URL and its query, the playlists, "?segment=" numbers and static files,
// served from a temporary web root.  Beside the root lies a file that no
// request may ever fetch (also reachable through a symbolic link inside the
// root); a reply that carries its text aborts the run.
#include "FuzzSupport.hh"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr const char* kSecret = "OUTSIDE-THE-WEB-ROOT";
unsigned short gPort = 0;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// /tmp/yvk-fuzz-web-XXXXXX/{secret.txt, www/...}; the process works in www.
void makeWebRoot() {
    char folder[] = "/tmp/yvk-fuzz-web-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    std::string root = folder;
    std::string web = root + "/www";
    for (const char* dir : {"/www", "/www/css", "/www/a", "/www/a/etc"}) mkdir((root + dir).c_str(), 0755);
    writeFile(web + "/index.html", "<html>start</html>");
    writeFile(web + "/css/site.css", "body{}");
    writeFile(web + "/app.js", "var x;");
    writeFile(web + "/a/etc/passwd", "inside");
    writeFile(root + "/secret.txt", kSecret);
    if (symlink((root + "/secret.txt").c_str(), (web + "/leak.txt").c_str()) != 0 || chdir(web.c_str()) != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    yvk::fuzz::isolateNetwork();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gPort == 0) {
        makeWebRoot();
        gPort = yvk::fuzz::startLiveInstance(YVK_STREAM_TYPE_HLS).port;
    }
    std::string replies = yvk::fuzz::exchange(gPort, data, size);
    if (replies.find(kSecret) != std::string::npos) {
        std::fprintf(stderr, "fuzz: a file outside the web root was served:\n%s\n", replies.c_str());
        std::abort();
    }
    yvk::fuzz::tearDownSessions(gPort, replies);
    return 0;
}
