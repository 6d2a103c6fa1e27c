#include "TLSSendQueue.hh"

#include <TLSState.hh>
#include <UsageEnvironment.hh>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <sys/socket.h>

#include <cerrno>
#include <new>
#include <string>

namespace {

// live555 keeps the OpenSSL session to itself; its pointer is reached
// through a derived class, which may name the protected members.
struct SessionOf : TLSState {
    static SSL* of(TLSState& tls) {
        if (!(tls.*(&SessionOf::fHasBeenSetup))) return nullptr;
        return tls.*(&SessionOf::fCon);
    }
};

// While records wait, the socket is tried again this often: live555 owns
// the socket's event handler (it reads the client's RTCP and requests), so
// the queue cannot wait for the socket to become writable.
constexpr int64_t kRetryUs = 10000;

struct Queue {
    Queue(TaskScheduler& scheduler, int socket) : fScheduler(scheduler), fSocket(socket) {}
    ~Queue() { fScheduler.unscheduleDelayedTask(fRetryTask); }
    size_t waiting() const { return fBytes.size() - fSent; }

    TaskScheduler& fScheduler;
    int fSocket;
    std::string fBytes; // records the socket has not taken, from fSent on
    size_t fSent = 0;
    int fError = 0;     // the socket's error once it broke
    TaskToken fRetryTask = nullptr;
};

// Sends what it can; false when the socket broke (fError says how).
bool sendSome(Queue& queue, const char* data, size_t size, size_t& sent) {
    sent = 0;
    while (sent < size) {
        ssize_t result = send(queue.fSocket, data + sent, size - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<size_t>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            queue.fError = result < 0 ? errno : EPIPE;
            return false;
        }
    }
    return true;
}

bool flush(Queue& queue) {
    size_t sent = 0;
    bool ok = sendSome(queue, queue.fBytes.data() + queue.fSent, queue.waiting(), sent);
    queue.fSent += sent;
    if (queue.waiting() == 0) {
        queue.fBytes.clear();
        queue.fSent = 0;
    } else if (queue.fSent > queue.fBytes.size() / 2) {
        queue.fBytes.erase(0, queue.fSent); // keep the buffer from growing at its front
        queue.fSent = 0;
    }
    return ok;
}

// Records must not wait for the next write: after the last packet of a
// stream, or a PAUSE response, there may be none for a long time.
void retry(void* clientData) {
    auto* queue = static_cast<Queue*>(clientData);
    queue->fRetryTask = nullptr;
    if (queue->fError == 0 && flush(*queue) && queue->waiting() > 0)
        queue->fRetryTask = queue->fScheduler.scheduleDelayedTask(kRetryUs, retry, queue);
}

void retryLater(Queue& queue) {
    if (queue.fRetryTask == nullptr) queue.fRetryTask = queue.fScheduler.scheduleDelayedTask(kRetryUs, retry, &queue);
}

int writeRecords(BIO* bio, const char* data, int size) {
    auto* queue = static_cast<Queue*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (queue == nullptr || size < 0) return -1;
    if (queue->fError == 0 && queue->waiting() > 0) flush(*queue);
    if (queue->fError != 0) {
        errno = queue->fError;
        return -1;
    }
    size_t sent = 0;
    if (queue->waiting() == 0 && !sendSome(*queue, data, static_cast<size_t>(size), sent)) {
        errno = queue->fError;
        return -1;
    }
    // A record fits whole below the bound when nothing waits.
    size_t rest = static_cast<size_t>(size) - sent;
    if (rest > 0 && queue->waiting() + rest > TLSSendQueue::kMaxQueuedBytes) {
        BIO_set_retry_write(bio);
        return -1;
    }
    try {
        queue->fBytes.append(data + sent, rest);
    } catch (...) { // no memory: the part the socket took is written, OpenSSL offers the rest again
        if (sent == 0) BIO_set_retry_write(bio);
        return sent > 0 ? static_cast<int>(sent) : -1;
    }
    if (rest > 0) retryLater(*queue);
    return size;
}

long control(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    auto* queue = static_cast<Queue*>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_FLUSH:
        if (queue != nullptr && queue->fError == 0) flush(*queue);
        return 1;
    case BIO_CTRL_WPENDING:
        return queue != nullptr ? static_cast<long>(queue->waiting()) : 0;
    default:
        return 0;
    }
}

int create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int destroy(BIO* bio) {
    delete static_cast<Queue*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

struct QueueMethod {
    QueueMethod() : type(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK), method(BIO_meth_new(type, "yvk TLS send queue")) {
        if (method == nullptr) return;
        BIO_meth_set_write(method, writeRecords);
        BIO_meth_set_ctrl(method, control);
        BIO_meth_set_create(method, create);
        BIO_meth_set_destroy(method, destroy);
    }
    int type;
    BIO_METHOD* method; // kept for the process's life: sessions may outlive any owner here
};

QueueMethod const& queueMethod() {
    static const QueueMethod made;
    return made;
}

Queue* queueOf(SSL* session) {
    BIO* bio = session != nullptr ? SSL_get_wbio(session) : nullptr;
    if (bio == nullptr || BIO_method_type(bio) != queueMethod().type) return nullptr;
    return static_cast<Queue*>(BIO_get_data(bio));
}

} // namespace

bool TLSSendQueue::installOn(UsageEnvironment& env, TLSState& tls) {
    SSL* session = SessionOf::of(tls);
    if (session == nullptr || queueMethod().method == nullptr) return false;
    if (queueOf(session) != nullptr) return true;
    int socket = SSL_get_wfd(session);
    if (socket < 0) return false;
    auto* queue = new (std::nothrow) Queue(env.taskScheduler(), socket);
    BIO* bio = queue != nullptr ? BIO_new(queueMethod().method) : nullptr;
    if (bio == nullptr) {
        delete queue;
        return false;
    }
    BIO_set_data(bio, queue);
    SSL_set0_wbio(session, bio); // the session owns it now
    return true;
}
