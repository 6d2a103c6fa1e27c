#include "HTTPReply.hh"

#include <TLSState.hh>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

HTTPReply::HTTPReply(std::string head, std::shared_ptr<const std::string> body)
    : fHead(std::move(head)), fBody(std::move(body)), fBodyLength(fBody != nullptr ? fBody->size() : 0) {}

HTTPReply::HTTPReply(std::string head, int fd, uint64_t size)
    : fHead(std::move(head)), fBodyLength(size), fFile(fd) {}

HTTPReply::~HTTPReply() {
    if (fFile >= 0) close(fFile);
}

long HTTPReply::writeSome(int socketNum, TLSState* tls, const void* data, size_t size) {
    if (tls == nullptr || !tls->isNeeded) return send(socketNum, data, size, MSG_NOSIGNAL);
    // A TLS record is written whole or not at all; a full socket leaves
    // errno at EAGAIN, and the same bytes are offered again later.
    errno = 0;
    int written = tls->write(static_cast<const char*>(data), static_cast<unsigned>(size));
    if (written > 0) return written;
    if (errno == 0) errno = EPIPE;
    return -1;
}

HTTPReply::Progress HTTPReply::writeTo(int socketNum, TLSState* tls) {
    for (;;) {
        const char* data = nullptr;
        size_t size = 0;
        bool inHead = fHeadSent < fHead.size();
        if (inHead) {
            data = fHead.data() + fHeadSent;
            size = fHead.size() - fHeadSent;
        } else if (!nextBodyBytes(data, size)) {
            return fFileFailed ? Progress::kFailed : Progress::kDone;
        }
        long sent = writeSome(socketNum, tls, data, size);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::kBlocked : Progress::kFailed;
        }
        if (inHead) {
            fHeadSent += static_cast<size_t>(sent);
        } else {
            fBodySent += static_cast<uint64_t>(sent);
            if (fFile >= 0) fChunkStart += static_cast<size_t>(sent);
        }
    }
}

bool HTTPReply::nextBodyBytes(const char*& data, size_t& size) {
    if (fBodySent >= fBodyLength) return false;
    if (fFile < 0) {
        // The body may have grown since the head promised its length.
        if (fBody == nullptr || fBody->size() < fBodyLength) {
            fFileFailed = true;
            return false;
        }
        data = fBody->data() + fBodySent;
        size = static_cast<size_t>(fBodyLength - fBodySent);
        return true;
    }
    if (fChunkStart == fChunkEnd) {
        fChunk.resize(kFileChunkBytes);
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(kFileChunkBytes, fBodyLength - fBodySent));
        ssize_t got;
        do got = read(fFile, fChunk.data(), wanted);
        while (got < 0 && errno == EINTR);
        if (got <= 0) { // the file shrank or failed: the promised length cannot be kept
            fFileFailed = true;
            return false;
        }
        fChunkStart = 0;
        fChunkEnd = static_cast<size_t>(got);
    }
    data = fChunk.data() + fChunkStart;
    size = fChunkEnd - fChunkStart;
    return true;
}
