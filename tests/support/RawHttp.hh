// A bare HTTP/RTSP client that sends exactly the bytes it is given, for
// requests real clients would normalise (path attacks) or not send at all.
#ifndef YVK_TEST_RAW_HTTP_HH
#define YVK_TEST_RAW_HTTP_HH

#include <cstddef>
#include <string>
#include <vector>

namespace yvk::test {

// Connects to 127.0.0.1:port, sends request, and returns everything the
// server sends until it closes the connection or timeoutMs passes; with
// oneReply, as soon as one whole reply (head and Content-Length body) is in,
// for servers that keep the connection open (RTSP).
std::string rawExchange(unsigned short port, const std::string& request, int timeoutMs = 5000,
                        bool oneReply = false);

// A socket connected to 127.0.0.1:port, or -1; with a receive buffer of
// receiveBuffer bytes (set before the connection, so the window is that
// small from the start) unless it is 0.
int connectTo(unsigned short port, int receiveBuffer = 0);

// A client connection of the test, closed when it goes.
class Connection {
public:
    explicit Connection(unsigned short port, int receiveBuffer = 0) : fFd(connectTo(port, receiveBuffer)) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& other) noexcept : fFd(other.fFd) { other.fFd = -1; }

    int fd() const { return fFd; }
    bool send(const std::string& bytes) const;
    // One byte per segment (no coalescing), a millisecond apart.
    bool sendBytewise(const std::string& bytes) const;
    // The replies, up to count, with how the exchange ended.
    std::string read(size_t count, int timeoutMs, bool& closed) const;

private:
    int fFd;
};

// What the server sends on fd until count whole replies are in, it closes
// the connection (*closed set), or timeoutMs passes.
std::string readReplies(int fd, size_t count, int timeoutMs, bool* closed = nullptr);

// The whole replies text begins with, one after another (what follows
// them is not a whole reply).
std::vector<std::string> splitReplies(const std::string& text);

// Whether the server has closed the connection (what it sent before is read
// and dropped).
bool closedByServer(int fd);

// The body of an HTTP reply (after the blank line), or "" when there is none.
std::string replyBody(const std::string& reply);

// The reply to a DESCRIBE of url (asking for SDP), "" when none came
// within timeoutMs.
std::string rawDescribe(unsigned short port, const std::string& url, int timeoutMs = 5000);

// A bare RTSP client's session: SETUP of trackUrl for RTP over UDP to
// clientPort (and clientPort + 1), then PLAY of sessionUrl, each on a
// connection of its own.  The session id, or "" when a reply was not 200;
// setupReply and playReply get the replies when given.
std::string rawSetupAndPlay(unsigned short port, const std::string& trackUrl, const std::string& sessionUrl,
                            unsigned clientPort, std::string* setupReply = nullptr, std::string* playReply = nullptr);

} // namespace yvk::test

#endif
