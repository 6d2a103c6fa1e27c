// What the fuzz targets that talk to a running instance share: a live
// instance fed by a paced host with a small H.264 clip, started once per
// process in a private network namespace, and a bare TCP exchange with it.
#ifndef YVK_FUZZ_SUPPORT_HH
#define YVK_FUZZ_SUPPORT_HH

#include "yvkstreamer_core.h"

#include <cstddef>
#include <cstdint>
#include <string>

class UsageEnvironment;

namespace yvk::fuzz {

// Leaves the machine's network alone: a private namespace with only a
// loopback interface (or, without the right to make one, no interface
// commands at all).
void isolateNetwork();

// A live555 environment for the targets that drive a source or a parser
// themselves, made at the first call and kept for the process.
UsageEnvironment& environment();

// A live instance (stream type YVK_STREAM_TYPE_RTSP or YVK_STREAM_TYPE_HLS)
// serving the session "live" with video and PCM audio; aborts the process
// when it cannot be started, as nothing could be fuzzed.  It lives until
// the process ends.
struct LiveInstance {
    unsigned short port;
};
LiveInstance startLiveInstance(int streamType);

// Connects to 127.0.0.1:port, sends the bytes, shuts the sending side and
// returns what the server sends until it closes the connection, or until
// 100 ms after its first byte (a reply that streams on).  A server that
// neither answers nor closes within timeoutMs aborts the process: its event
// loop is stuck.
std::string exchange(unsigned short port, const uint8_t* data, size_t size, int timeoutMs = 20000);

// Sends a TEARDOWN for every "Session:" the replies name, so the sessions
// that inputs set up do not pile up until their reclamation.
void tearDownSessions(unsigned short port, const std::string& replies);

} // namespace yvk::fuzz

#endif
