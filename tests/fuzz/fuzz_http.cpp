// HTTP requests to a live HTTP streaming instance: the request line, the
// URL and its query, the playlists, "?segment=" numbers and static files,
// served from a temporary web root.  Beside the root lies a file that no
// request may ever fetch (also reachable through a symbolic link inside the
// root); a reply that carries its text aborts the run.
#include "FuzzSupport.hh"
#include "WebRoot.hh"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kSecret = "OUTSIDE-THE-WEB-ROOT";
unsigned short gPort = 0;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    yvk::fuzz::isolateNetwork();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gPort == 0) {
        std::string root = yvk::test::makeWebRoot(kSecret); // the instance serves its working directory
        if (root.empty() || chdir((root + "/www").c_str()) != 0) std::abort();
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
