// HTTP requests on the RTSP port: version, stream list, static files and the
// paths that must not leave the web folder, refusals, slow clients, RTSP 404
// with the list of streams.  curl where it can say it; raw bytes where a real
// client would tidy the request up first.
#include "CoreTestSupport.hh"
#include "EventLoop.hh"
#include "HTTPReply.hh"
#include "HTTPServer.hh"
#include "LiveTestSupport.hh"
#include "Process.hh"
#include "RawHttp.hh"
#include "WebRoot.hh"
#include "yvkstreamer_core_live555.hh"

#include <liveMedia_version.hh>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

using yvk::test::closedByServer;
using yvk::test::connectTo;
using yvk::test::rawExchange;
using yvk::test::replyBody;
using yvk::test::runProcess;
using yvk::test::writeFile;

class HTTPServerTest : public yvk::test::LiveEnvironment {
protected:
    void SetUp() override {
        fRoot = yvk::test::makeWebRoot("TOPSECRET");
        ASSERT_NE(fRoot, "");
        fWeb = fRoot + "/www";
        ASSERT_NE(getcwd(fOldCwd, sizeof fOldCwd), nullptr);
        ASSERT_EQ(chdir(fWeb.c_str()), 0);
        fPort = yvk::test::freeTcpPort();
        fServer = HTTPServer::createNew(*fEnv, Port(fPort), nullptr, 500, 1);
        ASSERT_NE(fServer, nullptr);
    }

    void TearDown() override {
        fLoop.reset();
        if (fServer != nullptr) Medium::close(fServer);
        ASSERT_EQ(chdir(fOldCwd), 0);
        runProcess({"rm", "-rf", fRoot}, 10000);
    }

    void addSessions(std::vector<std::string> names) {
        for (const std::string& name : names) addSession(fServer, name.c_str(), {yvk::test::createIdleSubsession(*fEnv)});
    }
    void start() { fLoop = std::make_unique<yvk::test::LoopThread>(*fEnv); }

    // curl's whole reply: status line, headers and body.
    std::string curl(const std::string& path) {
        std::string url = "http://127.0.0.1:" + std::to_string(fPort) + path;
        auto result = runProcess({"curl", "-sS", "-i", "--path-as-is", "-m", "5", url}, 10000);
        return result.out + result.err;
    }
    std::string get(const std::string& rawPath) {
        return rawExchange(fPort, "GET " + rawPath + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 3000);
    }

    std::string fRoot, fWeb;
    char fOldCwd[4096];
    unsigned short fPort = 0;
    HTTPServer* fServer = nullptr;
    std::unique_ptr<yvk::test::LoopThread> fLoop;
};

// The version as plain text with the usual headers.  Requests on one
// connection are answered in order, each reply whole, the connection kept
// open between them: a refused query, a pipelined pair, a HEAD (the head
// alone, with the body's length), methods that are not served (405 with the
// allowed ones), and a close when asked.
TEST_F(HTTPServerTest, VersionAndRequestsOnOneConnectionAnsweredInOrder) {
    start();
    std::string reply = curl("/getVersion");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    for (const char* header : {"Content-Type: text/plain\r\n", "Content-Length: 3\r\n", "Date: ",
                               "Access-Control-Allow-Origin: *\r\n",
                               "Server: LIVE555 Streaming Media v" LIVEMEDIA_LIBRARY_VERSION_STRING "\r\n"})
        EXPECT_NE(reply.find(header), std::string::npos) << header << reply;
    EXPECT_EQ(replyBody(reply), "1.0");
    reply = rawExchange(fPort,
                                    "GET /getVersion?x HTTP/1.1\r\n\r\n"
                                    "GET /getVersion HTTP/1.1\r\n\r\n"
                                    "HEAD /index.html HTTP/1.1\r\n\r\n"
                                    "POST /getVersion HTTP/1.1\r\nContent-Length: 0\r\n\r\n"
                                    "GET /getVersion HTTP/1.1\r\nConnection: close\r\n\r\n",
                                    3000);
    std::vector<std::string> statuses;
    for (size_t at = reply.find("HTTP/1.1 "); at != std::string::npos; at = reply.find("HTTP/1.1 ", at + 1))
        statuses.push_back(reply.substr(at + 9, 3));
    EXPECT_EQ(statuses, (std::vector<std::string>{"400", "200", "200", "405", "200"})) << reply;
    size_t head = reply.find("Content-Type: text/html; charset=utf-8\r\nContent-Length: 18\r\n");
    ASSERT_NE(head, std::string::npos) << reply;
    // No body after the HEAD's blank line: the next reply follows at once.
    EXPECT_EQ(reply.find("\r\n\r\n", head) + 4, reply.find("HTTP/1.1 405", head)) << reply;
    EXPECT_NE(reply.find("Allow: GET, HEAD, OPTIONS\r\n"), std::string::npos) << reply;
    EXPECT_EQ(replyBody(reply.substr(reply.rfind("HTTP/1.1 200 OK"))), "1.0");
    for (const char* method : {"PUT", "DELETE", "TRACE", "CONNECT", "PATCH"}) {
        std::string refused = rawExchange(fPort, std::string(method) + " /index.html HTTP/1.1\r\nConnection: close\r\n\r\n", 3000);
        EXPECT_EQ(refused.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << method << "\n" << refused;
        EXPECT_EQ(refused.find("<html>"), std::string::npos) << method;
    }
    // The version text is read at each request: the host may repoint it.
    fLoop.reset(); // the loop thread reads VERSION: it is ours while no loop runs
    const char* saved = VERSION;
    VERSION = "2.5-device";
    start();
    reply = curl("/getVersion");
    fLoop.reset();
    VERSION = saved;
    EXPECT_EQ(replyBody(reply), "2.5-device");
}

// Nothing follows a reply, not even what a former connection's reply left in
// the memory a new connection gets (an RTSP 404 here, which lists the
// streams; the connection stays open after it: one reply is read).
TEST_F(HTTPServerTest, NothingFollowsAReply) {
    addSessions({"live", "cam"});
    start();
    for (int round = 0; round < 5; ++round) {
        std::string notFound = rawExchange(fPort, "DESCRIBE rtsp://127.0.0.1/none RTSP/1.0\r\nCSeq: 1\r\n\r\n", 3000, true);
        EXPECT_EQ(notFound.rfind("RTSP/1.0 404 Stream Not Found\r\n", 0), 0u) << notFound;
        EXPECT_NE(notFound.find("live\n"), std::string::npos) << notFound;
        EXPECT_NE(notFound.find("cam\n"), std::string::npos) << notFound;
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the server sees the close
        std::string reply = rawExchange(fPort, "GET /getVersion HTTP/1.1\r\nConnection: close\r\n\r\n", 3000);
        EXPECT_EQ(replyBody(reply), "1.0") << "round " << round;
    }
}

// A burst of connections beyond live555's listen backlog of 20 is queued
// while the loop is busy, not dropped for the clients to retry later.
TEST_F(HTTPServerTest, BurstsOfConnectionsAreQueued) {
    std::vector<int> burst; // no loop runs: nobody accepts them
    for (int i = 0; i < 100; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval wait{1, 0}; // a connection attempt that was dropped is retried a second later
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        sockaddr_in address{AF_INET, htons(fPort), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            break;
        }
        burst.push_back(fd);
    }
    EXPECT_EQ(burst.size(), 100u);
    for (int fd : burst) close(fd);
}

TEST_F(HTTPServerTest, StreamListAsArrayAndAsScriptVariable) {
    start();
    EXPECT_EQ(replyBody(curl("/getStreamList")), "[\n]\n");
    fLoop.reset();
    addSessions({"live", "cam"});
    start();
    std::string reply = curl("/getStreamList"), plain = replyBody(reply);
    EXPECT_NE(reply.find("Content-Type: text/plain"), std::string::npos);
    // The order is the server's; both names appear once, the first after a
    // space, the second after a comma.
    EXPECT_TRUE(plain == "[\n \"live\"\n,\"cam\"\n]\n" || plain == "[\n \"cam\"\n,\"live\"\n]\n") << plain;
    EXPECT_EQ(replyBody(curl("/getStreamList?streams")), "var streams=" + plain);
    EXPECT_EQ(replyBody(curl("/getStreamList?$list_2")), "var $list_2=" + plain);
    // The reply runs as a script: nothing but a name may follow "var".
    for (const char* name : {"x=alert(1),y", "alert(1)", "2x", "a%20b", "var"}) {
        std::string refused = curl(std::string("/getStreamList?") + name);
        EXPECT_EQ(refused.find("HTTP/1.1 400 Bad Request\r\n"), 0u) << name << "\n" << refused;
    }
}

// Types come from a table of the usual web types by extension; every "../"
// goes before opening, and a playlist of a stream without segments falls
// through to a file.
TEST_F(HTTPServerTest, FilesOfTheWebFolderOnlyWithExtensionDerivedTypes) {
    addSessions({"live"});
    writeFile(fWeb + "/live.m3u8", "a file");
    start();
    struct Case {
        const char* path;
        bool served;
        const char* type; // nullptr: not checked
        const char* body;
    } cases[] = {
        {"/", true, "text/html; charset=utf-8", "<html>start</html>"},
        {"/css/site.css", true, "text/css", "body{}"},
        {"/app.js", true, "application/javascript", "var x;"},
        {"/README", true, "application/octet-stream", "plain"},
        {"/live.m3u8", true, "application/vnd.apple.mpegurl", "a file"},
        {"/a/../../etc/passwd", true, nullptr, "inside"},
        {"/nothing-here.html", false, nullptr, ""},
        {"/live.mpd", false, nullptr, ""},
    };
    for (const Case& c : cases) {
        std::string reply = curl(c.path);
        SCOPED_TRACE(reply);
        EXPECT_EQ(reply.find(c.served ? " 200 OK\r\n" : " 404 "), 8u); // after "HTTP/1.x"
        EXPECT_TRUE(c.type == nullptr || reply.find("Content-Type: " + std::string(c.type) + "\r\n") != reply.npos);
        EXPECT_EQ(c.served ? replyBody(reply) : "", c.body);
    }
    EXPECT_NE(curl("/app.js").find("Access-Control-Allow-Origin: *"), std::string::npos);
    // Requests that try to leave the web folder: none may show a byte of a
    // file outside it, whatever the encoding or the trick.
    std::string secretPath = fRoot + "/secret.txt";
    const std::vector<std::string> attacks = {
        "/../secret.txt", "/../../secret.txt", "/..%2fsecret.txt", "/%2e%2e/secret.txt",
        "/....//secret.txt", "/.../secret.txt", "/..../secret.txt", "/.././secret.txt",
        "/./../secret.txt", "//secret.txt", "/" + secretPath, "//" + secretPath,
        "/a/../../../secret.txt", "/a/....//....//secret.txt", "/css/../../secret.txt", "/..\\secret.txt",
        "/../www/../secret.txt", "/..", "/../", "/.",
        "/leak.txt", "/a/../leak.txt", "/../../../../etc/passwd", "/../../../../../../etc/shadow",
        "/etc/passwd", "//etc/passwd", "///etc/passwd", "/%00/../secret.txt",
        "/../" + fRoot.substr(1) + "/secret.txt", "/...//...//secret.txt", "/.%2e/secret.txt",
        "/a/etc/../../../secret.txt", "/proc/self/environ", "/../../proc/self/environ",
        "/dev/zero", "/../../dev/zero", "/css/", "/a/etc", "/../www", "/ /../secret.txt",
    };
    for (const std::string& path : attacks) {
        std::string reply = get(path);
        for (const char* leak : {"TOPSECRET", "root:", "PATH="}) EXPECT_EQ(reply.find(leak), std::string::npos) << path;
        // What is served at all is a file of the web folder.
        if (reply.find("200 OK") != std::string::npos) {
            std::string body = replyBody(reply);
            EXPECT_TRUE(body == "<html>start</html>" || body == "inside" || body == "body{}") << path << "\n" << reply;
        }
    }
    EXPECT_EQ(replyBody(curl("/getVersion")), "1.0"); // and the server still answers
}

// Slowloris: 50 connections that trickle a request header never complete
// it, and go 10 s after their first byte, on HTTP and on RTSP connections
// alike (one in five has spoken RTSP first); a keep-alive HTTP connection
// that asks nothing more goes after 30 s, an idle RTSP one stays (a session
// of its client plays on its own timeout); normal clients are served
// throughout.
TEST_F(HTTPServerTest, SlowAndIdleConnectionsAreClosed) {
    start();
    std::vector<int> slow;
    for (int i = 0; i < 50; ++i) {
        int fd = connectTo(fPort);
        ASSERT_GE(fd, 0);
        const std::string line = i % 5 == 0 ? "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nDESCRIBE rtsp://x/a RTSP/1.0\r\n"
                                            : "GET /getVersion HTTP/1.1\r\n";
        ASSERT_GT(send(fd, line.data(), line.size(), MSG_NOSIGNAL), 0);
        slow.push_back(fd);
    }
    int idle = connectTo(fPort);
    int rtspIdle = connectTo(fPort);
    ASSERT_GE(idle, 0);
    ASSERT_GE(rtspIdle, 0);
    const std::string request = "GET /getVersion HTTP/1.1\r\n\r\n";
    ASSERT_GT(send(idle, request.data(), request.size(), MSG_NOSIGNAL), 0);
    const std::string options = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    ASSERT_GT(send(rtspIdle, options.data(), options.size(), MSG_NOSIGNAL), 0);
    auto start = std::chrono::steady_clock::now();
    auto since = [&start] { return std::chrono::steady_clock::now() - start; };
    for (int round = 0; since() < std::chrono::seconds(12); ++round) {
        const std::string header = "X-Slow: 1\r\n";
        for (int fd : slow) send(fd, header.data(), header.size(), MSG_NOSIGNAL);
        EXPECT_EQ(replyBody(curl("/getVersion")), "1.0") << "round " << round;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    size_t closed = 0;
    for (int fd : slow) closed += closedByServer(fd) ? 1 : 0;
    EXPECT_EQ(closed, slow.size());
    EXPECT_FALSE(closedByServer(idle)) << "closed before its 30 s";
    while (since() < std::chrono::seconds(33) && !closedByServer(idle)) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(closedByServer(idle));
    EXPECT_GE(since(), std::chrono::seconds(29));
    EXPECT_FALSE(closedByServer(rtspIdle));
    for (int fd : slow) close(fd);
    close(idle);
    close(rtspIdle);
}

// A reply's head leaves in the same write as the first body bytes, from
// memory or from a file: a small reply is one segment, and no body waits
// for the client to acknowledge a head sent alone.  A packet socket shows
// every write as one record.
TEST(HTTPReply, HeadAndFirstBodyBytesLeaveInOneWrite) {
    char path[] = "/tmp/yvk-reply-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    const std::string fileBody(3000, 'f');
    ASSERT_EQ(write(file, fileBody.data(), fileBody.size()), static_cast<ssize_t>(fileBody.size()));
    ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
    unlink(path);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    struct Case {
        const char* name;
        std::unique_ptr<HTTPReply> reply;
        std::string expected;
    };
    Case cases[] = {
        {"memory body", std::make_unique<HTTPReply>(head, std::make_shared<const std::string>("#EXTM3U\r\n")),
         head + "#EXTM3U\r\n"},
        {"no body", std::make_unique<HTTPReply>(head, nullptr), head},
        {"file body", std::make_unique<HTTPReply>(head, file, fileBody.size()), head + fileBody},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        EXPECT_EQ(c.reply->writeTo(pair[0], nullptr), HTTPReply::Progress::kDone);
        std::string record(16384, '\0');
        ssize_t got = recv(pair[1], &record[0], record.size(), MSG_DONTWAIT);
        ASSERT_GT(got, 0);
        record.resize(static_cast<size_t>(got));
        EXPECT_EQ(record, c.expected);
        EXPECT_LT(recv(pair[1], &record[0], record.size(), MSG_DONTWAIT), 0); // nothing more
        close(pair[0]);
        close(pair[1]);
    }
}

TEST(HttpHelpers, ContentTypesAndSegmentNumbers) {
    // The file test serves html, css, js, m3u8 and a name without extension.
    for (auto [path, type] : {std::pair{"a/b/APP.JS", "application/javascript"}, {"seg.ts", "video/mp2t"},
                              {"l.mpd", "application/dash+xml"}, {"dir.d/file", "application/octet-stream"},
                              {"x.exe", "application/octet-stream"}})
        EXPECT_STREQ(contentTypeOf(path), type) << path;
    for (auto [query, offset] : {std::pair{"?segment=0", 0LL}, {"?segment=17", 17LL}, {"?segment=4294967295", 4294967295LL},
                                 {"?segment=-1", -1LL}, {"?segment=", -1LL}, {"?segment=1x", -1LL}, {"?segment= 1", -1LL},
                                 {"?segment=4294967296", -1LL}, {"?segment=99999999999", -1LL},
                                 {"?segment=+3", -1LL}, {"?segments=3", -1LL}}) {
        uint32_t parsed = 0;
        EXPECT_EQ(parseSegmentOffset(query, parsed), offset >= 0) << query;
        if (offset >= 0) { EXPECT_EQ(parsed, static_cast<uint32_t>(offset)) << query; }
    }
}

// The web root comes from HTTP_DOC_ROOT, whatever the working directory;
// one that resolves to "/" switches static files off with one trace line,
// as does a working directory of "/" when none is named.  Hidden names and
// links that leave the root are refused.
TEST_F(HTTPServerTest, StaticFilesOnlyFromAWebRootThatIsNotTheFileSystemRoot) {
    writeFile(fWeb + "/.htpasswd", "user:hash");
    mkdir((fWeb + "/.git").c_str(), 0755);
    writeFile(fWeb + "/.git/config", "[core]");
    ASSERT_EQ(symlink("/etc", (fWeb + "/sys-etc").c_str()), 0);
    struct Case {
        const char* docRoot; // "WEB": the test's web folder
        const char* cwd;     // "WEB" likewise
        int traces;
        std::vector<std::pair<std::string, std::string>> replies; // path -> body, "" for refused
    } cases[] = {
        {"WEB", "/", 0, {{"/", "<html>start</html>"}, {"/css/site.css", "body{}"}, {"/etc/passwd", ""}}},
        {nullptr, "WEB", 0, {{"/", "<html>start</html>"}, {"/.htpasswd", ""}, {"/.git/config", ""},
                             {"/css/.%2e/.htpasswd", ""}, {"/sys-etc/passwd", ""}}},
        {nullptr, "/", 1, {{"/etc/passwd", ""}, {"/", ""}}},
        {"/", "WEB", 1, {{"/etc/passwd", ""}, {"/index.html", ""}}},
        {"/etc/..", "WEB", 1, {{"/etc/passwd", ""}}},
    };
    // The requests below and the attack corpus cover what servableFile refuses.
    ASSERT_EQ(resolveDocumentRoot(nullptr), resolveDocumentRoot(fWeb.c_str())); // the working directory
    EXPECT_EQ(servableFile("index.html", ""), "");
    EXPECT_EQ(resolveDocumentRoot("/no/such/folder"), "");

    Medium::close(fServer);
    fServer = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.docRoot != nullptr ? c.docRoot : "null") + " from " + c.cwd);
        std::string docRoot = c.docRoot != nullptr && std::string(c.docRoot) == "WEB" ? fWeb : c.docRoot ? c.docRoot : "";
        HTTP_DOC_ROOT = c.docRoot != nullptr ? docRoot.c_str() : nullptr;
        ASSERT_EQ(chdir(std::string(c.cwd) == "WEB" ? fWeb.c_str() : c.cwd), 0);
        yvk::test::TraceCapture trace;
        fPort = yvk::test::freeTcpPort();
        fServer = HTTPServer::createNew(*fEnv, Port(fPort), nullptr, 500, 1);
        HTTP_DOC_ROOT = nullptr;
        ASSERT_NE(fServer, nullptr);
        EXPECT_EQ(yvk::test::errorLines(trace), c.traces);
        start();
        for (auto& [path, body] : c.replies) {
            std::string reply = get(path);
            EXPECT_EQ(body.empty() ? "" : replyBody(reply), body) << path << "\n" << reply;
            if (body.empty()) { EXPECT_EQ(reply.find(" 200 OK"), std::string::npos) << path << "\n" << reply; }
        }
        fLoop.reset();
        Medium::close(fServer);
        fServer = nullptr;
    }
    ASSERT_EQ(chdir(fWeb.c_str()), 0);
}

} // namespace
