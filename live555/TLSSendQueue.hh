// The write side of an RTSPS connection that carries RTP.
//
// live555 sends each interleaved packet with one TLS write and gives the
// packet up when a full socket refuses it, as it does on plain TCP.  TLS
// cannot give a record up: OpenSSL keeps the refused record and fails the
// next write of other bytes, and the connection is lost.  So a client that
// stopped reading for a few seconds (a player in the background, a slow
// link) lost its stream, where a plain TCP client only lost packets.
//
// The queue sits under OpenSSL as its write BIO: what the socket does not
// take waits, in order, and goes out ahead of the next write, or when the
// event loop tries the socket again a few milliseconds later.  Up to
// kMaxQueuedBytes wait; a client further behind is refused as before.
#ifndef YVK_TLS_SEND_QUEUE_HH
#define YVK_TLS_SEND_QUEUE_HH

#include <cstddef>

class TLSState;
class UsageEnvironment;

class TLSSendQueue {
public:
    // About eight seconds of a 4 Mbit/s stream, beside the kernel's buffers.
    static constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;

    // Puts a queue under the TLS session (once: a second call keeps the
    // first); it retries on env's scheduler.  False when the session is not
    // set up or has no socket.
    static bool installOn(UsageEnvironment& env, TLSState& tls);
};

#endif
