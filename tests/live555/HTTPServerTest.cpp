// HTTP requests on the RTSP port: version, stream list, static files (and the
// paths that must not escape the web folder), refusals, RTSP 404 with the
// list of streams.  Real clients (curl) where they can say it; raw bytes where
// a real client would tidy the request up first.
#include "CoreTestSupport.hh"
#include "EventLoop.hh"
#include "HTTPServer.hh"
#include "Process.hh"
#include "RawHttp.hh"
#include "yvkstreamer_core_live555.hh"

#include <BasicUsageEnvironment.hh>
#include <liveMedia_version.hh>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using yvk::test::rawExchange;
using yvk::test::replyBody;
using yvk::test::runProcess;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class HTTPServerTest : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/yvk-web-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        fRoot = folder;
        fWeb = fRoot + "/www";
        for (const char* dir : {"/www", "/www/css", "/www/a", "/www/a/etc"}) mkdir((fRoot + dir).c_str(), 0755);
        writeFile(fWeb + "/index.html", "<html>start</html>");
        writeFile(fWeb + "/css/site.css", "body{}");
        writeFile(fWeb + "/app.js", "var x;");
        writeFile(fWeb + "/a/etc/passwd", "inside");
        writeFile(fWeb + "/README", "plain");
        writeFile(fRoot + "/secret.txt", "TOPSECRET");
        ASSERT_EQ(symlink((fRoot + "/secret.txt").c_str(), (fWeb + "/leak.txt").c_str()), 0);
        ASSERT_NE(getcwd(fOldCwd, sizeof fOldCwd), nullptr);
        ASSERT_EQ(chdir(fWeb.c_str()), 0);

        fScheduler = BasicTaskScheduler::createNew();
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
        fPort = yvk::test::freeTcpPort();
        fServer = HTTPServer::createNew(*fEnv, Port(fPort), nullptr, 500, 1);
        ASSERT_NE(fServer, nullptr);
    }

    void TearDown() override {
        fLoop.reset();
        if (fServer != nullptr) Medium::close(fServer);
        fEnv->reclaim();
        delete fScheduler;
        ASSERT_EQ(chdir(fOldCwd), 0);
        runProcess({"rm", "-rf", fRoot}, 10000);
    }

    void addSessions(std::vector<std::string> names) {
        for (const std::string& name : names) addSession(fServer, name.c_str(), {yvk::test::createIdleSubsession(*fEnv)});
    }
    void start() { fLoop = std::make_unique<yvk::test::LoopThread>(*fEnv); }

    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(fPort) + path; }
    // curl's whole reply: status line, headers and body.
    std::string curl(const std::string& path) {
        auto result = runProcess({"curl", "-sS", "-i", "--path-as-is", "-m", "5", url(path)}, 10000);
        return result.out + result.err;
    }
    std::string get(const std::string& rawPath) {
        return rawExchange(fPort, "GET " + rawPath + " HTTP/1.1\r\nHost: x\r\n\r\n", 3000);
    }

    std::string fRoot, fWeb;
    char fOldCwd[4096];
    TaskScheduler* fScheduler = nullptr;
    UsageEnvironment* fEnv = nullptr;
    unsigned short fPort = 0;
    HTTPServer* fServer = nullptr;
    std::unique_ptr<yvk::test::LoopThread> fLoop;
};

TEST_F(HTTPServerTest, VersionIsPlainTextOfLengthThreeWithTheHeaders) {
    start();
    std::string reply = curl("/getVersion");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Type: text/plain\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Content-Length: 3\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Server: LIVE555 Streaming Media v" LIVEMEDIA_LIBRARY_VERSION_STRING "\r\n"),
              std::string::npos);
    EXPECT_NE(reply.find("Date: "), std::string::npos);
    EXPECT_EQ(replyBody(reply), "1.0");
}

TEST_F(HTTPServerTest, VersionTextCanBeRepointedByTheHost) {
    const char* saved = VERSION;
    VERSION = "2.5-device";
    start();
    std::string reply = curl("/getVersion");
    fLoop.reset(); // the loop thread read VERSION; it is ours again once it stopped
    VERSION = saved;
    EXPECT_EQ(replyBody(reply), "2.5-device");
}

TEST_F(HTTPServerTest, AnyOtherQueryIsRefusedAndTheConnectionStaysOpen) {
    start();
    std::string reply = rawExchange(fPort,
                                    "GET /getVersion?x HTTP/1.1\r\n\r\n"
                                    "GET /getVersion HTTP/1.1\r\n\r\n",
                                    3000);
    EXPECT_EQ(reply.find("HTTP/1.1 200 OK"), reply.rfind("HTTP/1.1 200 OK")) << reply;
    EXPECT_LT(reply.find(" 405 Method Not Allowed"), reply.find("HTTP/1.1 200 OK")) << reply;
    EXPECT_EQ(replyBody(reply.substr(reply.find("HTTP/1.1 200 OK"))), "1.0");
}

TEST_F(HTTPServerTest, StreamListAsArrayAndAsScriptVariable) {
    addSessions({"live", "cam"});
    start();
    std::string plain = replyBody(curl("/getStreamList"));
    std::string script = replyBody(curl("/getStreamList?streams"));
    // The order is the server's; both names appear once, the first after a
    // space, the second after a comma.
    EXPECT_TRUE(plain == "[\n \"live\"\n,\"cam\"\n]\n" || plain == "[\n \"cam\"\n,\"live\"\n]\n") << plain;
    EXPECT_EQ(script, "var streams=" + plain);
    EXPECT_NE(curl("/getStreamList").find("Content-Type: text/plain"), std::string::npos);
}

TEST_F(HTTPServerTest, StreamListOfAServerWithoutSessions) {
    start();
    EXPECT_EQ(replyBody(curl("/getStreamList")), "[\n]\n");
}

TEST_F(HTTPServerTest, StartPageAndFilesWithExtensionDerivedTypes) {
    start();
    std::string index = curl("/");
    EXPECT_NE(index.find("Content-Type: text/html\r\n"), std::string::npos) << index;
    EXPECT_EQ(replyBody(index), "<html>start</html>");
    std::string css = curl("/css/site.css");
    EXPECT_NE(css.find("Content-Type: text/css\r\n"), std::string::npos) << css;
    EXPECT_EQ(replyBody(css), "body{}");
    std::string js = curl("/app.js");
    EXPECT_NE(js.find("Content-Type: text/javascript\r\n"), std::string::npos) << js;
    std::string bare = curl("/README");
    EXPECT_NE(bare.find("Content-Type: text/\r\n"), std::string::npos) << bare;
    EXPECT_NE(css.find("Access-Control-Allow-Origin: *"), std::string::npos);
}

TEST_F(HTTPServerTest, EveryDotDotSlashIsRemovedBeforeOpening) {
    start();
    std::string reply = curl("/a/../../etc/passwd"); // opens a/etc/passwd
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply;
    EXPECT_EQ(replyBody(reply), "inside");
}

TEST_F(HTTPServerTest, MissingFileIsRefusedAndClosed) {
    start();
    std::string reply = get("/nothing-here.html");
    EXPECT_EQ(reply.find("200 OK"), std::string::npos) << reply;
    EXPECT_NE(reply.find(" 405 "), std::string::npos) << reply;
}

TEST_F(HTTPServerTest, PlaylistOfAStreamWithoutSegmentsFallsThroughToAFile) {
    addSessions({"live"});
    writeFile(fWeb + "/live.m3u8", "a file");
    start();
    std::string reply = curl("/live.m3u8");
    EXPECT_NE(reply.find("Content-Type: text/m3u8"), std::string::npos) << reply;
    EXPECT_EQ(replyBody(reply), "a file");
    EXPECT_EQ(curl("/live.mpd").find("200 OK"), std::string::npos);
}

// Requests that try to leave the web folder: none may show a byte of a file
// outside it, whatever the encoding or the trick.
TEST_F(HTTPServerTest, AttackCorpusNeverEscapesTheWebFolder) {
    start();
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
    ASSERT_GE(attacks.size(), 30u);
    for (const std::string& path : attacks) {
        std::string reply = get(path);
        EXPECT_EQ(reply.find("TOPSECRET"), std::string::npos) << path;
        EXPECT_EQ(reply.find("root:"), std::string::npos) << path;
        EXPECT_EQ(reply.find("PATH="), std::string::npos) << path;
        // What is served at all is a file of the web folder.
        if (reply.find("200 OK") != std::string::npos) {
            std::string body = replyBody(reply);
            EXPECT_TRUE(body == "<html>start</html>" || body == "inside" || body == "body{}") << path << "\n" << reply;
        }
    }
    // And the server still answers afterwards.
    EXPECT_EQ(replyBody(curl("/getVersion")), "1.0");
}

TEST(StaticFilePath, MethodHeadersLeadingSlashAndDotDotSlashesGo) {
    EXPECT_EQ(staticFilePath("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), "");
    EXPECT_EQ(staticFilePath("GET /css/site.css HTTP/1.1\r\n\r\n"), "css/site.css");
    EXPECT_EQ(staticFilePath("GET /a/../../etc/passwd HTTP/1.1\r\n"), "a/etc/passwd");
    // A "../" that a removal forms behind the search position stays; the
    // servable-file check is what keeps such a path inside.
    EXPECT_EQ(staticFilePath("GET /....//x HTTP/1.1\r\n"), "../x");
    EXPECT_EQ(staticFilePath("GET /.../...//x HTTP/1.1\r\n"), "../x");
    EXPECT_EQ(staticFilePath("GET /index.html\r\n"), "index.html");
    EXPECT_EQ(staticFilePath(""), "");
}

TEST(StaticFilePath, OnlyRegularFilesInsideTheWorkingDirectoryAreServable) {
    EXPECT_FALSE(isServableFile(""));
    EXPECT_FALSE(isServableFile("/etc/passwd"));
    EXPECT_FALSE(isServableFile(".."));
    EXPECT_FALSE(isServableFile("."));
    EXPECT_FALSE(isServableFile("no-such-file"));
    EXPECT_FALSE(isServableFile("../x"));
}

TEST_F(HTTPServerTest, RtspDescribeOfAnUnknownStreamListsTheStreams) {
    addSessions({"live", "cam"});
    start();
    // An RTSP connection stays open after its reply: read that one reply.
    std::string reply = rawExchange(fPort,
                                    "DESCRIBE rtsp://127.0.0.1:" + std::to_string(fPort) +
                                        "/nosuch RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n\r\n",
                                    5000, true);
    EXPECT_NE(reply.find("RTSP/1.0 404 Stream Not Found"), std::string::npos) << reply;
    EXPECT_NE(reply.find("live\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("cam\n"), std::string::npos) << reply;
}

} // namespace
