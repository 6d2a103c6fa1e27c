// The TLS send queue between live555's server TLS session and a real OpenSSL
// client over a socket pair with small buffers: records the socket refuses
// while the client does not read reach it whole and in order once it reads
// again, with no further write to push them; a client further behind than
// the bound is refused, not given a broken stream.
#include "Process.hh"
#include "TLSSendQueue.hh"

#include <BasicUsageEnvironment.hh>
#include <TLSState.hh>
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSmallBuffer = 32 * 1024;
constexpr unsigned kRecordBytes = 8 * 1024;

// Byte i of the stream the server writes.
char patternAt(size_t i) { return static_cast<char>((i * 131 + i / 4096) & 0xFF); }

class TLSSendQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN); // a failed handshake writes to a closed socket
        char dir[] = "/tmp/yvk-tls-queue-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        fDir = dir;
        auto made = yvk::test::runProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                                           "-subj", "/CN=127.0.0.1", "-keyout", fDir + "/key.pem", "-out",
                                           fDir + "/cert.pem"},
                                          30000);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        fServerSocket = pair[0];
        fClientSocket = pair[1];
        setsockopt(fServerSocket, SOL_SOCKET, SO_SNDBUF, &kSmallBuffer, sizeof kSmallBuffer);
        setsockopt(fClientSocket, SOL_SOCKET, SO_RCVBUF, &kSmallBuffer, sizeof kSmallBuffer);
        fcntl(fServerSocket, F_SETFL, fcntl(fServerSocket, F_GETFL) | O_NONBLOCK);
        fScheduler = BasicTaskScheduler::createNew();
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
        fServer = new ServerTLSState(*fEnv);
        // live555 keeps the names' pointers.
        fCertificate = fDir + "/cert.pem";
        fKey = fDir + "/key.pem";
        fServer->setCertificateAndPrivateKeyFileNames(fCertificate.c_str(), fKey.c_str());
        handshake();
    }

    void TearDown() override {
        delete fServer;
        if (fClient != nullptr) SSL_free(fClient);
        if (fClientContext != nullptr) SSL_CTX_free(fClientContext);
        if (fServerSocket >= 0) close(fServerSocket);
        if (fClientSocket >= 0) close(fClientSocket);
        if (fEnv != nullptr) fEnv->reclaim();
        delete fScheduler;
        yvk::test::runProcess({"rm", "-rf", fDir}, 5000);
    }

    // The client connects on a thread of its own; the server side accepts
    // without blocking, as the RTSP server does.
    void handshake() {
        fClientContext = SSL_CTX_new(TLS_client_method());
        fClient = SSL_new(fClientContext);
        SSL_set_fd(fClient, fClientSocket);
        std::atomic<int> connected{0};
        std::thread client([this, &connected] { connected = SSL_connect(fClient); });
        int accepted = 0;
        for (int wait = 0; wait < 1000 && accepted == 0; ++wait) {
            accepted = fServer->accept(fServerSocket);
            if (accepted == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (accepted <= 0) shutdown(fClientSocket, SHUT_RDWR); // the client's wait ends too
        client.join();
        ASSERT_GT(accepted, 0);
        ASSERT_EQ(connected.load(), 1);
    }

    // Writes records of the pattern until count bytes are written or a
    // write is refused; the bytes written.
    size_t writePattern(size_t count) {
        std::vector<char> record(kRecordBytes);
        while (fWritten < count) {
            for (unsigned i = 0; i < kRecordBytes; ++i) record[i] = patternAt(fWritten + i);
            if (fServer->write(record.data(), kRecordBytes) != static_cast<int>(kRecordBytes)) break;
            fWritten += kRecordBytes;
        }
        return fWritten;
    }

    // The client reads on a thread, while the event loop runs (up to 10 s,
    // stretched on slow builds), until it has the stream's first count
    // bytes; whether they all came, each as written.
    bool clientReadsInOrder(size_t count) {
        EventLoopWatchVariable done = 0;
        std::atomic<size_t> good{fRead};
        std::thread reader([this, count, &done, &good] {
            std::vector<char> buffer(64 * 1024);
            size_t read = fRead;
            while (read < count) {
                int got = SSL_read(fClient, buffer.data(), static_cast<int>(std::min(buffer.size(), count - read)));
                if (got <= 0) break;
                for (int i = 0; i < got; ++i, ++read) {
                    if (buffer[i] != patternAt(read)) {
                        done = 1;
                        return;
                    }
                }
                good = read;
            }
            done = 1;
        });
        TaskToken deadline = fScheduler->scheduleDelayedTask(
            int64_t(10000000) * YVK_TIME_FACTOR, [](void* watch) { *static_cast<EventLoopWatchVariable*>(watch) = 1; },
            &done);
        fEnv->taskScheduler().doEventLoop(&done);
        fScheduler->unscheduleDelayedTask(deadline);
        if (good.load() < count) shutdown(fClientSocket, SHUT_RDWR); // let a blocked read return
        reader.join();
        fRead = good.load();
        return fRead == count;
    }

    std::string fDir;
    std::string fCertificate;
    std::string fKey;
    int fServerSocket = -1;
    int fClientSocket = -1;
    TaskScheduler* fScheduler = nullptr;
    UsageEnvironment* fEnv = nullptr;
    ServerTLSState* fServer = nullptr;
    SSL_CTX* fClientContext = nullptr;
    SSL* fClient = nullptr;
    size_t fWritten = 0; // of the pattern, by the server
    size_t fRead = 0;    // of the pattern, by the client
};

// 2 MB while the client does not read: every write is taken, though the
// socket holds a small part.  The rest reaches the client without another
// write once it reads.
TEST_F(TLSSendQueueTest, RecordsWaitWhileTheClientDoesNotReadAndComeInOrderAfter) {
    ASSERT_TRUE(TLSSendQueue::installOn(*fEnv, *fServer));
    EXPECT_TRUE(TLSSendQueue::installOn(*fEnv, *fServer)); // a second call keeps the queue
    constexpr size_t kStalledBytes = 2 * 1024 * 1024;
    EXPECT_EQ(writePattern(kStalledBytes), kStalledBytes);
    EXPECT_TRUE(clientReadsInOrder(kStalledBytes));
    // The stream goes on after the queue emptied.
    EXPECT_EQ(writePattern(kStalledBytes + kRecordBytes), kStalledBytes + kRecordBytes);
    EXPECT_TRUE(clientReadsInOrder(kStalledBytes + kRecordBytes));
}

// Past the bound a write is refused; what was taken before still reaches
// the client whole.
TEST_F(TLSSendQueueTest, AClientFurtherBehindThanTheBoundIsRefused) {
    ASSERT_TRUE(TLSSendQueue::installOn(*fEnv, *fServer));
    size_t taken = writePattern(3 * TLSSendQueue::kMaxQueuedBytes);
    EXPECT_GE(taken, TLSSendQueue::kMaxQueuedBytes);
    EXPECT_LT(taken, TLSSendQueue::kMaxQueuedBytes + 1024 * 1024);
    EXPECT_TRUE(clientReadsInOrder(taken));
}

} // namespace
