// A sink that writes the bytes of its source to a connected TCP socket, as
// the body of an HTTP reply.  (The installed live555 no longer ships its
// TCPStreamSink; this takes its place.)
//
// The socket belongs to the caller's connection, which also reads requests
// from it: the sink never takes over the socket's event handling, it retries
// a full socket after a short delay instead.  When the source has closed and
// every byte has been written, the after-playing function runs.
#ifndef YVK_SOCKET_STREAM_SINK_HH
#define YVK_SOCKET_STREAM_SINK_HH

#include "yvkstreamer_core.h"

#include <MediaSink.hh>

class TLSState;

class YVK_API SocketStreamSink : public MediaSink {
public:
    // tls: the connection's TLS state, through which every byte goes when it
    // is in use (null or not needed: plain writes).  It must outlive the sink.
    static SocketStreamSink* createNew(UsageEnvironment& env, int socketNum, TLSState* tls = nullptr);

    // One write of up to size bytes to the socket, through TLS when the
    // connection uses it: the bytes taken, or -1 with errno set.
    static long writeSome(int socketNum, TLSState* tls, const void* data, size_t size);

    void stopPlaying() override; // also drops what is not yet written

protected:
    SocketStreamSink(UsageEnvironment& env, int socketNum, TLSState* tls);
    ~SocketStreamSink() override;

private:
    Boolean continuePlaying() override;

    void processBuffer();
    bool writeOut();           // false when the socket is full or failed
    void readMore();
    void finishIfDone();
    static void retryWrite(void* clientData);
    static void finish(void* clientData);
    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  struct timeval presentationTime, unsigned durationInMicroseconds);
    static void afterSourceClosed(void* clientData);

    static constexpr unsigned kBufferSize = 64 * 1024;
    unsigned char fBuffer[kBufferSize];
    unsigned fStart = 0;        // first unwritten byte
    unsigned fEnd = 0;          // one past the last unwritten byte
    int fSocketNum;
    TLSState* fTLS;             // not owned; may be null
    bool fSourceOpen = false;
    bool fFailed = false;       // the peer went away: the rest is dropped
    TaskToken fRetryTask = nullptr;
    TaskToken fFinishTask = nullptr;
};

#endif // YVK_SOCKET_STREAM_SINK_HH
