// Hostile and careless clients against the reference host: a corpus of
// malformed RTSP requests (bad request lines, huge headers, absurd
// transports, commands without or with a wrong session, odd ranges and
// scales, bytes one at a time, pipelines, tunnels with bad Base64), HTTP
// paths that try to leave the web root or break the routes, hundreds of idle
// connections and slowloris.  Each request gets a sensible status or a
// closed connection, never a crash nor a file from outside the web root;
// normal clients are served throughout, the host's descriptors come back
// and its account of the lent records balances.
#include "DescriptorLimit.hh"
#include "E2eClients.hh"
#include "RawHttp.hh"
#include "ReferenceHost.hh"

#include <Base64.hh>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using yvk::test::closedByServer;
using yvk::test::Connection;
using yvk::test::expectFrames;
using yvk::test::ProcessResult;
using yvk::test::ReferenceHost;
using yvk::test::runProcess;

constexpr int kReplyTimeoutMs = 2000;    // a reply or a close comes well within this
constexpr int kSilentTimeoutMs = 300;    // how long a request that may get no reply is watched
constexpr unsigned kUdpClientPort = 47000; // nobody listens there: the RTP goes nowhere
// A SETUP's Transport header for RTP over UDP to those ports.
const std::string kSetupTransport = "Transport: RTP/AVP;unicast;client_port=" + std::to_string(kUdpClientPort) + "-" +
                                    std::to_string(kUdpClientPort + 1) + "\r\n";

// ---- talking to the host ------------------------------------------------------------

// What the server did: the status codes of its whole replies in order
// ("-head" marks a head without the body its Content-Length names, as a HEAD
// gets), "trailing" when other bytes follow them (blank lines aside), then
// "closed" when it closed the connection before the replies expected, or
// "silent" when it neither answered nor closed.
std::string outcome(const std::string& replies, size_t expected, bool closed) {
    std::vector<std::string> words;
    auto status = [](const std::string& reply) {
        size_t space = reply.find(' ');
        return space == std::string::npos ? std::string("?") : reply.substr(space + 1, 3);
    };
    size_t length = 0;
    for (const std::string& reply : yvk::test::splitReplies(replies)) {
        words.push_back(status(reply));
        length += reply.size();
    }
    std::string rest = replies.substr(length);
    if (rest.find("\r\n\r\n") == rest.size() - 4) {
        words.push_back(status(rest) + "-head");
    } else if (rest.find_first_not_of("\r\n") != std::string::npos) {
        words.push_back("trailing");
    }
    if (words.size() < expected) words.push_back(closed ? "closed" : "silent");
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// What the server sent on connection, up to count replies, and its outcome(),
// which must match the regular expression expected (a reply that may never
// come is watched only briefly).
struct Exchange {
    std::string replies, outcome;
};
Exchange expectOutcome(const Connection& connection, size_t count, const char* expected) {
    std::regex pattern(expected);
    bool closed = false;
    int timeout = std::regex_match("silent", pattern) ? kSilentTimeoutMs : kReplyTimeoutMs;
    Exchange got;
    got.replies = connection.read(count, timeout, closed);
    got.outcome = outcome(got.replies, count, closed);
    EXPECT_TRUE(std::regex_match(got.outcome, pattern)) << got.outcome << "\n" << got.replies.substr(0, 400);
    return got;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string repeated(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

// Bytes of every value, the same in every run.
std::string binaryGarbage(size_t size) {
    std::string bytes;
    uint32_t state = 12345;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes += static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string base64(const std::string& bytes) {
    char* encoded = base64Encode(bytes.data(), static_cast<unsigned>(bytes.size()));
    std::string text(encoded);
    delete[] encoded;
    return text;
}

// The host is alive and serves a plain DESCRIBE.
void expectDescribeServed(const ReferenceHost& host, const std::string& after) {
    std::string sdp = host.describe();
    EXPECT_EQ(sdp.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << "after " << after << ":\n" << sdp;
    EXPECT_NE(sdp.find("m=video "), std::string::npos) << "after " << after;
}

// A plain HTTP request on the same port gets its reply and nothing after it.
void expectVersionServed(const ReferenceHost& host, const std::string& after) {
    std::string version =
        yvk::test::rawExchange(host.port(), "GET /getVersion HTTP/1.1\r\nConnection: close\r\n\r\n", kReplyTimeoutMs);
    EXPECT_EQ(yvk::test::replyBody(version), "1.0") << "after " << after;
}

// Waits (bounded) until the host's open descriptors come back to at most
// baseline: every connection and session of the abuse is gone.
void expectDescriptorsBack(const ReferenceHost& host, int baseline) {
    int open = host.openDescriptors();
    for (int wait = 0; wait < 50 && open > baseline; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        open = host.openDescriptors();
    }
    EXPECT_LE(open, baseline) << "descriptors left open by the host";
}

// ---- the RTSP corpus ------------------------------------------------------------------

enum class Delivery { kWhole, kBytewise };

struct RtspCase {
    const char* name;
    // $URL is the stream's URL; $S the session id of a SETUP made first on
    // the same connection (the session is torn down after the case).
    std::string request;
    const char* outcome;   // a regular expression for outcome()
    size_t replies = 1;    // replies expected
    Delivery delivery = Delivery::kWhole;
};

std::string rtspRequest(const std::string& line, const std::string& headers = "") {
    return line + "\r\nCSeq: 1\r\n" + headers + "\r\n";
}

std::vector<RtspCase> rtspCorpus() {
    const std::string describe = rtspRequest("DESCRIBE $URL RTSP/1.0", "Accept: application/sdp\r\n");
    auto withSession = [](const std::string& method, const std::string& headers) {
        return rtspRequest(method + " $URL RTSP/1.0", "Session: $S\r\n" + headers);
    };
    auto setup = [](const std::string& transport) {
        return rtspRequest("SETUP $URL/track1 RTSP/1.0", "Transport: " + transport + "\r\n");
    };
    return {
        // Request lines.
        {"blank lines only", "\r\n\r\n", "400"},
        {"method alone", "OPTIONS\r\n\r\n", "400"},
        {"unknown word, no URL", "HELLO\r\nCSeq: 1\r\n\r\n", "400"},
        {"no protocol version", rtspRequest("DESCRIBE $URL"), "400"},
        {"unknown protocol version", rtspRequest("DESCRIBE $URL RTSP/9.9"), "200"},
        {"version without number", rtspRequest("DESCRIBE $URL RTSP/"), "200"},
        {"unknown method", rtspRequest("FLY $URL RTSP/1.0"), "405"},
        {"lower-case method", rtspRequest("describe $URL RTSP/1.0"), "405"},
        {"method of 300 letters", rtspRequest(std::string(300, 'A') + " $URL RTSP/1.0"), "400"},
        {"URL of 300 characters", rtspRequest("DESCRIBE $URL/" + std::string(300, 'a') + " RTSP/1.0"), "400"},
        {"URL of 15000 characters", rtspRequest("DESCRIBE $URL/" + std::string(15000, 'a') + " RTSP/1.0"), "400"},
        {"no CSeq", "OPTIONS $URL RTSP/1.0\r\n\r\n", "400"},
        {"CSeq not a number", "OPTIONS $URL RTSP/1.0\r\nCSeq: abc\r\n\r\n", "400"},
        {"CSeq of 500 digits", "OPTIONS $URL RTSP/1.0\r\nCSeq: " + std::string(500, '9') + "\r\n\r\n", "400"},
        {"two CSeq headers", "OPTIONS $URL RTSP/1.0\r\nCSeq: 1\r\nCSeq: 2\r\n\r\n", "200"},
        {"lines ended by LF alone", "DESCRIBE $URL RTSP/1.0\nCSeq: 1\n\n", "silent"},
        {"NUL inside the URL", rtspRequest("DESCRIBE $URL" + std::string(1, '\0') + "/x RTSP/1.0"), "404"},
        {"control bytes in the URL", rtspRequest("DESCRIBE $URL\x01\x1b[2J\x7f RTSP/1.0"), "404"},
        {"binary garbage", binaryGarbage(2000) + "\r\n\r\n", "400"},
        {"header of 30000 bytes", rtspRequest("OPTIONS $URL RTSP/1.0", "X-Big: " + std::string(30000, 'x') + "\r\n"),
         "closed"},
        {"3000 headers", rtspRequest("OPTIONS $URL RTSP/1.0", repeated("X-Many: 12\r\n", 3000)), "closed"},
        {"header without a colon", rtspRequest("DESCRIBE $URL RTSP/1.0", "NoColonHere\r\n"), "200"},
        {"Content-Length beyond the buffer",
         rtspRequest("GET_PARAMETER $URL RTSP/1.0", "Content-Length: 4294967295\r\n") + "x", "silent|closed"},
        {"negative Content-Length", rtspRequest("GET_PARAMETER $URL RTSP/1.0", "Content-Length: -5\r\n"),
         "silent|closed"},
        {"URL of a stream that does not exist", rtspRequest("DESCRIBE rtsp://127.0.0.1/nothing RTSP/1.0"), "404"},
        {"URL climbing out with ../", rtspRequest("DESCRIBE rtsp://127.0.0.1/../../etc/passwd RTSP/1.0"), "404"},
        {"URL of another host", rtspRequest("DESCRIBE rtsp://203.0.113.9:554/live RTSP/1.0"), "200"},
        // Commands without a session, or with a wrong one.
        {"PLAY without SETUP", rtspRequest("PLAY $URL RTSP/1.0"), "454"},
        {"PAUSE without SETUP", rtspRequest("PAUSE $URL RTSP/1.0"), "454"},
        {"TEARDOWN without SETUP", rtspRequest("TEARDOWN $URL RTSP/1.0"), "454"},
        {"PLAY of an unknown session", rtspRequest("PLAY $URL RTSP/1.0", "Session: 12345678\r\n"), "454"},
        {"GET_PARAMETER of an unknown session", rtspRequest("GET_PARAMETER $URL RTSP/1.0", "Session: DEADBEEF\r\n"),
         "454"},
        {"PLAY with an empty Session", rtspRequest("PLAY $URL RTSP/1.0", "Session: \r\n"), "454"},
        {"PLAY with a Session of 400 characters",
         rtspRequest("PLAY $URL RTSP/1.0", "Session: " + std::string(400, 'F') + "\r\n"), "454"},
        {"RECORD", rtspRequest("RECORD $URL RTSP/1.0"), "405"},
        {"ANNOUNCE with a body", rtspRequest("ANNOUNCE $URL RTSP/1.0", "Content-Length: 4\r\n") + "v=0\n", "405"},
        {"REGISTER of a foreign URL", rtspRequest("REGISTER rtsp://203.0.113.9/x RTSP/1.0"), "405"},
        // Absurd transports.
        {"SETUP without Transport", rtspRequest("SETUP $URL/track1 RTSP/1.0"), "461|503"},
        {"Transport of punctuation", setup(";;;===;;;"), "461|503"},
        {"client ports beyond 65535", setup("RTP/AVP;unicast;client_port=70000-70001"), "461|503"},
        {"client ports 0", setup("RTP/AVP;unicast;client_port=0-0"), "200"},
        {"interleaved channels beyond 255", setup("RTP/AVP/TCP;unicast;interleaved=300-301"), "461|503"},
        {"multicast to a foreign address", setup("RTP/AVP;multicast;destination=198.51.100.7;ttl=255;port=5000-5001"),
         "200"},
        {"Transport of 5000 characters", setup("RTP/AVP;unicast;" + repeated("x=1;", 1250)), "200"},
        {"every field twice",
         setup("RTP/AVP;unicast;client_port=47000-47001;client_port=47002-47003;destination=127.0.0.1;"
               "destination=127.0.0.2;ttl=1;ttl=2;interleaved=0-1;interleaved=2-3;mode=play;mode=record"),
         "461|503"},
        {"raw UDP", setup("RAW/RAW/UDP;unicast;client_port=47000-47001"), "461"},
        {"SETUP of a track that does not exist", rtspRequest("SETUP $URL/track9 RTSP/1.0", kSetupTransport), "404"},
        {"SETUP into a session that does not exist",
         rtspRequest("SETUP $URL/track1 RTSP/1.0", kSetupTransport + "Session: 12345678\r\n"), "454"},
        // Ranges and scales of a session.
        {"Range npt=abc-", withSession("PLAY", "Range: npt=abc-\r\n"), "200"},
        {"Range npt=-5-", withSession("PLAY", "Range: npt=-5-\r\n"), "200"},
        {"Range npt=1e308-", withSession("PLAY", "Range: npt=1e308-\r\n"), "200"},
        {"Range ending before it starts", withSession("PLAY", "Range: npt=30-10\r\n"), "200"},
        {"Range clock=garbage", withSession("PLAY", "Range: clock=garbage\r\n"), "200"},
        {"Range smpte=99:99:99-", withSession("PLAY", "Range: smpte=99:99:99-\r\n"), "200"},
        {"Scale 0", withSession("PLAY", "Scale: 0\r\n"), "200"},
        {"Scale -1000", withSession("PLAY", "Scale: -1000\r\n"), "200"},
        {"Scale nan", withSession("PLAY", "Scale: nan\r\n"), "200"},
        {"Scale 1e309", withSession("PLAY", "Scale: 1e309\r\n"), "200"},
        {"TEARDOWN twice", withSession("TEARDOWN", "") + withSession("TEARDOWN", ""), "200 454", 2},
        {"PLAY of another stream in the session",
         rtspRequest("PLAY rtsp://127.0.0.1/other RTSP/1.0", "Session: $S\r\n"), "404"},
        {"SETUP of the same track again", rtspRequest("SETUP $URL/track1 RTSP/1.0", kSetupTransport + "Session: $S\r\n"),
         "200"},
        // Bytes one at a time, and pipelines.
        {"DESCRIBE one byte at a time", describe, "200", 1, Delivery::kBytewise},
        {"bad request one byte at a time", rtspRequest("DESCRIBE $URL"), "400", 1, Delivery::kBytewise},
        {"three requests in one write",
         rtspRequest("OPTIONS $URL RTSP/1.0") + describe + rtspRequest("GET_PARAMETER $URL RTSP/1.0"),
         "200 200 454", 3},
        {"good, bad, good in one write", describe + rtspRequest("DESCRIBE $URL") + describe, "200 400 200", 3},
        {"20 requests in one write", repeated(rtspRequest("OPTIONS $URL RTSP/1.0"), 20),
         "200( 200){19}", 20},
    };
}

// The session id in a SETUP's reply, or "".
std::string sessionOf(const std::string& reply) {
    std::smatch match;
    return std::regex_search(reply, match, std::regex("\r\nSession: ?([^;\r]+)")) ? match[1].str() : "";
}

class AbuseRtsp : public testing::Test {
protected:
    void SetUp() override {
        fHost = std::make_unique<ReferenceHost>(std::vector<std::string>{});
        ASSERT_TRUE(fHost->ready());
        expectDescribeServed(*fHost, "start");
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the host sees that connection close
        fBaseline = fHost->openDescriptors();
    }
    void TearDown() override {
        if (fHost == nullptr || !fHost->ready()) return;
        expectFrames(yvk::test::probeVideo(fHost->url(), "tcp", 2), 40);
        expectDescriptorsBack(*fHost, fBaseline);
        fHost->stopAndCheckAccount();
    }
    std::string withUrl(const std::string& text) const {
        return replaceAll(text, "$URL", fHost->url());
    }
    void tearDown(const std::string& session) const {
        if (!session.empty())
            yvk::test::rawExchange(fHost->port(), withUrl(rtspRequest("TEARDOWN $URL RTSP/1.0", "Session: " + session + "\r\n")),
                                   kReplyTimeoutMs, true);
    }

    std::unique_ptr<ReferenceHost> fHost;
    int fBaseline = -1;
};

TEST_F(AbuseRtsp, MalformedRequestsAreAnsweredOrClosed) {
    for (const RtspCase& c : rtspCorpus()) {
        SCOPED_TRACE(c.name);
        Connection connection(fHost->port());
        ASSERT_GE(connection.fd(), 0);
        std::string request = withUrl(c.request);
        std::string session;
        if (request.find("$S") != std::string::npos) {
            ASSERT_TRUE(connection.send(withUrl(rtspRequest("SETUP $URL/track1 RTSP/1.0", kSetupTransport))));
            bool closed = false;
            session = sessionOf(connection.read(1, kReplyTimeoutMs, closed));
            ASSERT_NE(session, "");
            request = replaceAll(request, "$S", session);
        }
        ASSERT_TRUE(c.delivery == Delivery::kBytewise ? connection.sendBytewise(request) : connection.send(request));
        Exchange got = expectOutcome(connection, c.replies, c.outcome);
        // Media never goes where a client points it (a reflection attack).
        EXPECT_EQ(got.replies.find("198.51.100.7"), std::string::npos) << got.replies;
        std::printf("%-40s %s\n", c.name, got.outcome.c_str());
        tearDown(session);
        session = sessionOf(got.replies); // a SETUP of the corpus that made one
        tearDown(session);
        expectDescribeServed(*fHost, c.name);
        expectVersionServed(*fHost, c.name);
    }
}

// ---- tunnels ------------------------------------------------------------------------

// RTSP over HTTP: a GET with a session cookie opens the connection replies
// come back on; a POST with the same cookie carries the requests in Base64.
struct TunnelCase {
    const char* name;
    const char* getCookie;  // nullptr: no GET opens the tunnel
    std::string postCookie;
    std::vector<std::string> postWrites; // written one after another behind the POST's head
    const char* getOutcome;  // a regular expression for outcome() on the GET connection
    const char* postOutcome; // the same on the POST connection
};

std::vector<TunnelCase> tunnelCorpus(const std::string& url) {
    const std::string options = base64(rtspRequest("OPTIONS " + url + " RTSP/1.0"));
    const std::string play = base64(rtspRequest("PLAY " + url + " RTSP/1.0"));
    std::vector<std::string> bytewise;
    for (char c : options) bytewise.emplace_back(1, c);
    return {
        {"OPTIONS through the tunnel", "c1", "c1", {options}, "200", "silent"},
        {"characters outside Base64", "c2", "c2", {"!!!!****%%%%", options}, "400", "silent"},
        {"Base64 of binary garbage", "c3", "c3", {base64(binaryGarbage(600) + "\r\n\r\n")}, "400", "silent"},
        {"Base64 cut off in the middle of a quantum", "c4", "c4", {options.substr(0, 10), options.substr(10)}, "200",
         "silent"},
        {"Base64 one character per write", "c5", "c5", bytewise, "200", "silent"},
        {"padding in the middle", "c6", "c6", {base64("OP") + base64("TIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n")},
         "405", "silent"},
        {"PLAY without SETUP through the tunnel", "c7", "c7", {play}, "454", "silent"},
        {"request beyond the buffer in Base64", "c8", "c8",
         {base64(rtspRequest("OPTIONS " + url + " RTSP/1.0", "X-Big: " + std::string(30000, 'x') + "\r\n"))},
         "silent|closed", "closed"},
        {"POST without a GET", nullptr, "c9", {options}, "", "405"},
        {"POST with a cookie of 300 characters", "c10", std::string(300, 'k'), {options}, "silent", "405"},
        {"POST with an empty cookie", nullptr, "", {options}, "", "405"},
    };
}

TEST_F(AbuseRtsp, TunnelsWithBadBase64) {
    const std::string url = fHost->url();
    for (const TunnelCase& c : tunnelCorpus(url)) {
        SCOPED_TRACE(c.name);
        bool closed = false;
        Connection get(fHost->port());
        if (c.getCookie != nullptr) {
            ASSERT_TRUE(get.send("GET /live HTTP/1.0\r\nx-sessioncookie: " + std::string(c.getCookie) +
                                 "\r\nAccept: application/x-rtsp-tunnelled\r\n\r\n"));
            std::string opened = get.read(1, kReplyTimeoutMs, closed);
            ASSERT_EQ(outcome(opened, 1, closed), "200") << opened;
        }
        Connection post(fHost->port());
        ASSERT_TRUE(post.send("POST /live HTTP/1.0\r\nx-sessioncookie: " + c.postCookie +
                              "\r\nContent-Type: application/x-rtsp-tunnelled\r\nContent-Length: 32767\r\n\r\n"));
        for (const std::string& write : c.postWrites) {
            ASSERT_TRUE(post.send(write));
            std::this_thread::sleep_for(std::chrono::milliseconds(write.size() == 1 ? 1 : 20));
        }
        std::string got = c.getCookie != nullptr ? expectOutcome(get, 1, c.getOutcome).outcome : "";
        std::string posted = *c.postOutcome != '\0' ? expectOutcome(post, 1, c.postOutcome).outcome : "";
        std::printf("%-40s GET %s, POST %s\n", c.name, got.c_str(), posted.c_str());
        expectDescribeServed(*fHost, c.name);
    }
}

// ---- idle connections and slowloris ---------------------------------------------------

class AbuseConnections : public AbuseRtsp {
protected:
    static constexpr size_t kIdle = 1100; // past select()'s 1024 descriptors
    void SetUp() override {
        if (!yvk::test::allowOpenFiles(kIdle + 200)) GTEST_SKIP() << "the hard limit of open files is below " << kIdle + 200;
        AbuseRtsp::SetUp();
    }
};

// 1100 connections that never send a byte, held while a client is served on
// a descriptor above 1024.
TEST_F(AbuseConnections, ElevenHundredIdleConnectionsThenAClientIsServed) {
    std::vector<Connection> idle;
    for (size_t i = 0; i < kIdle; ++i) {
        idle.emplace_back(fHost->port());
        ASSERT_GE(idle.back().fd(), 0) << "connection " << i;
    }
    int accepted = fHost->openDescriptors();
    for (int wait = 0; wait < 50 && accepted < fBaseline + static_cast<int>(kIdle); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        accepted = fHost->openDescriptors();
    }
    EXPECT_GE(accepted, fBaseline + static_cast<int>(kIdle)) << "the host did not accept them all";
    expectDescribeServed(*fHost, "1100 idle connections");
    expectFrames(yvk::test::probeVideo(fHost->url(), "tcp", 2), 40);
    size_t open = 0;
    for (const Connection& connection : idle) open += closedByServer(connection.fd()) ? 0 : 1;
    EXPECT_EQ(open, kIdle) << "idle connections closed before their time";
}

// 50 clients trickle their request a byte every half second, half of them
// HTTP and half RTSP; meanwhile FFmpeg plays and plain requests are served.
// Completed at last, each slow request gets its reply.
TEST_F(AbuseConnections, SlowlorisOnFiftyConnectionsWhileAClientPlays) {
    constexpr int kSlow = 50;
    constexpr int kRounds = 8;
    std::vector<Connection> slow;
    for (int i = 0; i < kSlow; ++i) {
        slow.emplace_back(fHost->port());
        std::string start = i % 2 == 0 ? "GET /getVersion HTTP/1.1\r\nX-Slow: "
                                       : withUrl("OPTIONS $URL RTSP/1.0\r\nCSeq: 7\r\nX-Slow: ");
        ASSERT_TRUE(slow.back().send(start)) << i;
    }
    ProcessResult played;
    std::thread player([&] {
        played = yvk::test::probeVideo(fHost->url(), "tcp", 3);
    });
    for (int round = 0; round < kRounds; ++round) {
        for (const Connection& connection : slow) connection.send("a");
        expectDescribeServed(*fHost, "slow round " + std::to_string(round));
        expectVersionServed(*fHost, "slow round " + std::to_string(round));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    player.join();
    expectFrames(played, 60);
    for (int i = 0; i < kSlow; ++i) {
        char byte = 0;
        EXPECT_LT(recv(slow[i].fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK), 0) << "slow connection " << i << " answered or closed early";
        ASSERT_TRUE(slow[i].send("\r\n\r\n"));
    }
    for (int i = 0; i < kSlow; ++i) {
        bool closed = false;
        std::string reply = slow[i].read(1, kReplyTimeoutMs, closed);
        EXPECT_EQ(outcome(reply, 1, closed), "200") << "slow connection " << i << "\n" << reply;
        if (i % 2 == 0) { EXPECT_EQ(yvk::test::replyBody(reply), "1.0"); }
        else { EXPECT_NE(reply.find("CSeq: 7\r\n"), std::string::npos) << reply; }
    }
}

// ---- the HTTP corpus -------------------------------------------------------------------

struct HttpCase {
    const char* name;
    std::string request;
    const char* outcome; // a regular expression for outcome()
    size_t replies = 1;
};

std::string get(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

std::vector<HttpCase> httpCorpus() {
    return {
        // Paths that try to leave the web root.
        {"dot-dot", get("/../secret.txt"), "404"},
        {"dot-dot deeper", get("/sub/../../secret.txt"), "404"},
        {"dot-dot formed by a removal", get("/....//secret.txt"), "404"},
        {"dot-dot, percent-encoded slash", get("/..%2fsecret.txt"), "404"},
        {"dot-dot, percent-encoded dots", get("/%2e%2e/secret.txt"), "404"},
        {"dot-dot, all percent-encoded", get("/%2e%2e%2f%2e%2e%2fsecret.txt"), "404"},
        {"dot-dot, encoded twice", get("/..%252f..%252fsecret.txt"), "404"},
        {"dot-dot, overlong UTF-8", get("/%c0%ae%c0%ae/secret.txt"), "404"},
        {"dot-dot with backslashes", get("/..\\..\\secret.txt"), "404"},
        {"absolute path", get("//etc/passwd"), "404"},
        {"system file by name", get("/etc/passwd"), "404"},
        {"no leading slash", get("etc/passwd"), "404"},
        {"absolute URL", get("http://127.0.0.1:8554/../secret.txt"), "404"},
        {"link out of the root", get("/leak.txt"), "404"},
        {"hidden file", get("/.hidden"), "404"},
        {"hidden file in a folder", get("/sub/.hidden"), "404"},
        {"folder", get("/sub"), "404"},
        {"dot-dot behind a playlist name", get("/live.m3u8/../../secret.txt"), "404"},
        {"encoded NUL", get("/index.html%00../../secret.txt"), "404"},
        {"NUL byte", get("/index.html" + std::string(1, '\0') + "/../../secret.txt"), "200"},
        {"control bytes", get("/\x01\x02\x1b[0m\x7f"), "400|404"},
        {"URL of 15000 characters", get("/" + std::string(15000, 'a')), "400|404"},
        {"URL of 4000 dot-dots", get(repeated("/..", 4000) + "/secret.txt"), "404"},
        {"URL beyond the buffer", get("/" + std::string(30000, 'a')), "closed"},
        // Absurd segment numbers and playlist queries.
        {"segment 2^32 - 1", get("/live?segment=4294967295"), "404"},
        {"segment 2^32", get("/live?segment=4294967296"), "404"},
        {"segment of 30 digits", get("/live?segment=999999999999999999999999999999"), "404"},
        {"negative segment", get("/live?segment=-1"), "404"},
        {"empty segment", get("/live?segment="), "404"},
        {"hexadecimal segment", get("/live?segment=0x10"), "404"},
        {"segment with an exponent", get("/live?segment=1e9"), "404"},
        {"segment of an unknown stream", get("/nothing?segment=1"), "404|200"},
        {"playlist with a query", get("/live.m3u8?x=1"), "400"},
        {"manifest with a query", get("/live.mpd?segment=abc"), "404"},
        {"playlist of an unknown stream", get("/nothing.m3u8"), "404"},
        {"stream list as script code", get("/getStreamList?alert(1)"), "400"},
        {"stream list with an encoded semicolon", get("/getStreamList?a%3Bb"), "400"},
        {"version with a query", get("/getVersion?x"), "400"},
        // Headers, methods and versions.
        {"header of 30000 bytes", get("/getVersion", "Cookie: " + std::string(30000, 'c') + "\r\n"), "closed"},
        {"2000 headers", get("/getVersion", repeated("X-A: b\r\n", 2000)), "200"},
        {"absurd Content-Length", get("/getVersion", "Content-Length: 99999999999\r\n"), "200"},
        {"chunked body", get("/getVersion", "Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n",
         "200 400", 2},
        {"method DELETE", "DELETE /index.html HTTP/1.1\r\n\r\n", "405"},
        {"method BREW", "BREW /index.html HTTP/1.1\r\n\r\n", "405"},
        {"POST without tunnel", "POST /index.html HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "405"},
        {"HEAD out of the root", "HEAD /../secret.txt HTTP/1.1\r\n\r\n", "404-head"},
        {"version 9.9", "GET /getVersion HTTP/9.9\r\n\r\n", "200"},
        {"not HTTP", "GET /getVersion FTP/1.0\r\n\r\n", "400"},
        {"no version", "GET /getVersion\r\n\r\n", "400"},
        {"tunnel GET without a cookie", "GET /live HTTP/1.0\r\nAccept: application/x-rtsp-tunnelled\r\n\r\n",
         "405"},
        {"40 requests in one write", repeated(get("/getVersion"), 40), "200( 200){39}", 40},
    };
}

class AbuseHttp : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/yvk-abuse-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        fFolder = folder;
        const std::string www = fFolder + "/www";
        ASSERT_EQ(mkdir(www.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((www + "/sub").c_str(), 0755), 0);
        std::ofstream(www + "/index.html") << "<html>start</html>";
        std::ofstream(www + "/sub/.hidden") << kSecret;
        std::ofstream(www + "/.hidden") << kSecret;
        std::ofstream(fFolder + "/secret.txt") << kSecret;
        ASSERT_EQ(symlink("../secret.txt", (www + "/leak.txt").c_str()), 0);
        fHost = std::make_unique<ReferenceHost>(std::vector<std::string>{"--hls", "--web-root", www});
        ASSERT_TRUE(fHost->ready());
        fBaseline = fHost->openDescriptors();
    }
    void TearDown() override {
        if (fHost != nullptr && fHost->ready()) {
            expectDescriptorsBack(*fHost, fBaseline);
            fHost->stopAndCheckAccount();
        }
        fHost.reset();
        if (!fFolder.empty()) runProcess({"rm", "-rf", fFolder}, 5000);
    }

    static constexpr const char* kSecret = "ABUSE-SECRET-7f3e";
    std::string fFolder;
    std::unique_ptr<ReferenceHost> fHost;
    int fBaseline = -1;
};

TEST_F(AbuseHttp, AttackPathsAreRefusedAndNothingLeavesTheWebRoot) {
    for (const HttpCase& c : httpCorpus()) {
        SCOPED_TRACE(c.name);
        Connection connection(fHost->port());
        ASSERT_GE(connection.fd(), 0);
        ASSERT_TRUE(connection.send(c.request));
        Exchange got = expectOutcome(connection, c.replies, c.outcome);
        EXPECT_EQ(got.replies.find(kSecret), std::string::npos) << got.replies;
        EXPECT_EQ(got.replies.find("root:"), std::string::npos) << got.replies;
        std::printf("%-40s %s\n", c.name, got.outcome.substr(0, 60).c_str());
        expectVersionServed(*fHost, c.name);
    }
    // Real clients afterwards: the page, and the live stream over HLS.
    ProcessResult page = yvk::test::curl({"http://127.0.0.1:8554/"});
    EXPECT_EQ(page.out, "<html>start</html>") << page.err;
    expectFrames(yvk::test::probeVideo("http://127.0.0.1:8554/live.m3u8", "", 2, {"-extension_picky", "0"}), 40);
}

} // namespace
