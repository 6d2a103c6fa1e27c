#include "SocketStreamSink.hh"

#include <FramedSource.hh>
#include <TLSState.hh>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {
constexpr int64_t kRetryUs = 2000; // a full socket is tried again after this long
}

SocketStreamSink* SocketStreamSink::createNew(UsageEnvironment& env, int socketNum, TLSState* tls) {
    return new SocketStreamSink(env, socketNum, tls);
}

SocketStreamSink::SocketStreamSink(UsageEnvironment& env, int socketNum, TLSState* tls)
    : MediaSink(env), fSocketNum(socketNum), fTLS(tls) {}

long SocketStreamSink::writeSome(int socketNum, TLSState* tls, const void* data, size_t size) {
    if (tls == nullptr || !tls->isNeeded) return send(socketNum, data, size, MSG_NOSIGNAL);
    // A TLS record is written whole or not at all; a full socket leaves
    // errno at EAGAIN, and the same bytes are offered again later.
    errno = 0;
    int written = tls->write(static_cast<const char*>(data), static_cast<unsigned>(size));
    if (written > 0) return written;
    if (errno == 0) errno = EPIPE;
    return -1;
}

SocketStreamSink::~SocketStreamSink() {
    envir().taskScheduler().unscheduleDelayedTask(fRetryTask);
    envir().taskScheduler().unscheduleDelayedTask(fFinishTask);
}

Boolean SocketStreamSink::continuePlaying() {
    fSourceOpen = fSource != nullptr;
    fFailed = false;
    fStart = fEnd = 0;
    processBuffer();
    return True;
}

void SocketStreamSink::stopPlaying() {
    envir().taskScheduler().unscheduleDelayedTask(fRetryTask);
    envir().taskScheduler().unscheduleDelayedTask(fFinishTask);
    fRetryTask = nullptr;
    fFinishTask = nullptr;
    fStart = fEnd = 0;
    fSourceOpen = false;
    MediaSink::stopPlaying();
}

void SocketStreamSink::processBuffer() {
    if (!writeOut()) return;
    readMore();
    finishIfDone();
}

bool SocketStreamSink::writeOut() {
    while (fStart < fEnd && !fFailed) {
        long sent = writeSome(fSocketNum, fTLS, fBuffer + fStart, fEnd - fStart);
        if (sent > 0) {
            fStart += static_cast<unsigned>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            fRetryTask = envir().taskScheduler().scheduleDelayedTask(kRetryUs, retryWrite, this);
            return false;
        }
        fFailed = true; // the client is gone
    }
    if (fStart == fEnd || fFailed) fStart = fEnd = 0;
    return true;
}

void SocketStreamSink::readMore() {
    if (!fSourceOpen || fSource == nullptr || fSource->isCurrentlyAwaitingData() || fEnd >= kBufferSize) return;
    fSource->getNextFrame(fBuffer + fEnd, kBufferSize - fEnd, afterGettingFrame, this, afterSourceClosed, this);
}

// The after-playing function usually deletes the connection, and with it
// this sink and the source: it runs from the event loop, never from inside
// a call chain of ours or the source's.
void SocketStreamSink::finishIfDone() {
    if (fSourceOpen || fStart < fEnd || fFinishTask != nullptr) return;
    fFinishTask = envir().taskScheduler().scheduleDelayedTask(0, finish, this);
}

void SocketStreamSink::finish(void* clientData) {
    auto* sink = static_cast<SocketStreamSink*>(clientData);
    sink->fFinishTask = nullptr;
    sink->onSourceClosure();
}

void SocketStreamSink::retryWrite(void* clientData) {
    auto* sink = static_cast<SocketStreamSink*>(clientData);
    sink->fRetryTask = nullptr;
    sink->processBuffer();
}

void SocketStreamSink::afterGettingFrame(void* clientData, unsigned frameSize, unsigned /*numTruncatedBytes*/,
                                         struct timeval, unsigned) {
    auto* sink = static_cast<SocketStreamSink*>(clientData);
    sink->fEnd += frameSize;
    sink->processBuffer();
}

void SocketStreamSink::afterSourceClosed(void* clientData) {
    auto* sink = static_cast<SocketStreamSink*>(clientData);
    sink->fSourceOpen = false;
    sink->finishIfDone();
}
