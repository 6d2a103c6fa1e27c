#include "HTTPReply.hh"

#include <TLSState.hh>

#include <sys/socket.h>
#include <sys/uio.h>
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

long HTTPReply::writeHeadWith(int socketNum, const char* body, size_t bodySize) {
    iovec parts[2] = {{const_cast<char*>(fHead.data() + fHeadSent), fHead.size() - fHeadSent},
                      {const_cast<char*>(body), bodySize}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = bodySize > 0 ? 2 : 1;
    return sendmsg(socketNum, &message, MSG_NOSIGNAL);
}

HTTPReply::Progress HTTPReply::writeTo(int socketNum, TLSState* tls) {
    const bool plain = tls == nullptr || !tls->isNeeded;
    for (;;) {
        const char* data = nullptr;
        size_t size = 0;
        bool inHead = fHeadSent < fHead.size();
        if (inHead && plain) {
            // The head leaves with the first body bytes in one write: a
            // small reply is one segment, and no body waits for the
            // client to acknowledge a head sent alone (which a keep-alive
            // client does only after its delayed-ACK timer, 40 ms).
            const char* body = nullptr;
            size_t bodySize = 0;
            if (!nextBodyBytes(body, bodySize)) bodySize = 0; // a failure shows after the head
            long sent = writeHeadWith(socketNum, body, bodySize);
            if (sent < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::kBlocked : Progress::kFailed;
            }
            size_t headPart = std::min(static_cast<size_t>(sent), fHead.size() - fHeadSent);
            fHeadSent += headPart;
            size_t bodyPart = static_cast<size_t>(sent) - headPart;
            fBodySent += bodyPart;
            if (fFile >= 0) fChunkStart += bodyPart;
            continue;
        }
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
