// One HTTP reply on its way to a client: the head, then a body that is
// either held in memory (shared, never copied: a segment stays alive while
// it is sent even after the store has dropped it) or read from a file in
// chunks as the socket takes them, so a download holds at most one chunk.
//
// writeTo() writes as much as the socket accepts without blocking, through
// the connection's TLS state when it uses one; the caller waits for the
// socket to become writable when it reports kBlocked.
#ifndef YVK_HTTP_REPLY_HH
#define YVK_HTTP_REPLY_HH

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TLSState;

class HTTPReply {
public:
    enum class Progress { kDone, kBlocked, kFailed };

    // A reply without a body, or with body (null: none).
    HTTPReply(std::string head, std::shared_ptr<const std::string> body);
    // A reply whose body is the first size bytes of the open file fd, which
    // the reply owns and closes.
    HTTPReply(std::string head, int fd, uint64_t size);
    ~HTTPReply();
    HTTPReply(const HTTPReply&) = delete;
    HTTPReply& operator=(const HTTPReply&) = delete;

    Progress writeTo(int socketNum, TLSState* tls);

    // One write of up to size bytes: the bytes taken, or -1 with errno set
    // (EAGAIN when the socket is full).
    static long writeSome(int socketNum, TLSState* tls, const void* data, size_t size);

    static constexpr size_t kFileChunkBytes = 64 * 1024;

private:
    // One write of the rest of the head and bodySize bytes at body on a
    // plain socket: the bytes taken, or -1 with errno set.
    long writeHeadWith(int socketNum, const char* body, size_t bodySize);
    // The next bytes to send, refilling the file chunk when it is empty;
    // false at the end of the body, or when the file cannot be read.
    bool nextBodyBytes(const char*& data, size_t& size);

    std::string fHead;
    size_t fHeadSent = 0;
    std::shared_ptr<const std::string> fBody; // memory body, or null
    uint64_t fBodyLength = 0;                 // promised in Content-Length
    uint64_t fBodySent = 0;
    int fFile = -1;                           // file body, or -1; owned
    bool fFileFailed = false;
    std::vector<char> fChunk;                 // file bytes read, not yet sent
    size_t fChunkStart = 0;
    size_t fChunkEnd = 0;
};

#endif // YVK_HTTP_REPLY_HH
