// RTSP requests from the network: the input goes as raw bytes over a
// loopback TCP connection into a running live instance, so live555's request
// parser and the server's own stream lookup and SETUP handling both see it.
// One instance serves every input; the sessions an input sets up are torn
// down after it.
#include "FuzzSupport.hh"

#include <cstddef>
#include <cstdint>

namespace {
unsigned short gPort = 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    yvk::fuzz::isolateNetwork();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gPort == 0) gPort = yvk::fuzz::startLiveInstance(YVK_STREAM_TYPE_RTSP).port;
    std::string replies = yvk::fuzz::exchange(gPort, data, size);
    yvk::fuzz::tearDownSessions(gPort, replies);
    return 0;
}
