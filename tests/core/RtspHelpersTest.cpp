// The RTSP server helpers: server creation, the digest database and session
// registration with its URL.
#include "../live555/LiveTestSupport.hh"
#include "CoreTestSupport.hh"
#include "EventLoop.hh"
#include "Process.hh"
#include "RawHttp.hh"
#include "TraceCapture.hh"
#include "yvkstreamer_core_live555.hh"

#include <BasicUsageEnvironment.hh>
#include <GroupsockHelper.hh>
#include <liveMedia.hh>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <memory>

namespace {

using yvk::test::createIdleSubsession;
using yvk::test::findSession;
using yvk::test::TraceCapture;

TEST(UserDatabase, ColonRulesEmptyEntriesAndRealm) {
    std::unique_ptr<UserAuthenticationDatabase> database(createUserAuthenticationDatabase(
        {"alice:secret", "bob", "carol:pa:ss", "dave:", "", "erin:first line\nsecond"}, nullptr));
    ASSERT_NE(database, nullptr);
    EXPECT_FALSE(database->passwordsAreMD5());
    EXPECT_STREQ(database->lookupPassword("alice"), "secret");
    EXPECT_STREQ(database->lookupPassword("bob"), "");          // no colon: empty password
    EXPECT_STREQ(database->lookupPassword("carol"), "pa:ss");   // the second colon stays
    EXPECT_STREQ(database->lookupPassword("dave"), "");
    EXPECT_STREQ(database->lookupPassword(""), "");             // an empty entry adds a record
    EXPECT_STREQ(database->lookupPassword("erin"), "first line"); // up to the newline
    EXPECT_EQ(database->lookupPassword("mallory"), nullptr);
    EXPECT_EQ(createUserAuthenticationDatabase({}, "realm"), nullptr); // no users: no database

    std::unique_ptr<UserAuthenticationDatabase> digest(createUserAuthenticationDatabase({"a:b"}, "camera"));
    ASSERT_NE(digest, nullptr);
    EXPECT_TRUE(digest->passwordsAreMD5());
    EXPECT_STREQ(digest->realm(), "camera");
    EXPECT_STREQ(digest->lookupPassword("a"), "b");
}

// The exported setting: one entry per line; lines without a user and a
// colon are traced and left out, a trailing carriage return goes.
TEST(UserDatabase, ExportedUserListSetting) {
    TraceCapture trace;
    RTSP_USERS = "alice:secret\r\n\nnocolon\n:x\nbob:b:c";
    UserList users = configuredUsers();
    RTSP_USERS = nullptr;
    EXPECT_EQ(users, (UserList{"alice:secret", "bob:b:c"}));
    EXPECT_TRUE(trace.contains("RTSP_USERS line 3 is not 'user:password', left out"));
    EXPECT_TRUE(trace.contains("RTSP_USERS line 4 is not 'user:password', left out"));
    EXPECT_TRUE(configuredUsers().empty());
}

class RtspHelpers : public yvk::test::LiveEnvironment {
protected:
    void SetUp() override { ASSERT_NE(fServer = createRTSPServer(env(), fPort, 0, 500, 0, {}, nullptr), nullptr); }
    void TearDown() override {
        ReceivingInterfaceAddr = INADDR_ANY;
        if (fServer != nullptr) Medium::close(fServer);
    }
    SubsessionList twoSubsessions() { return {createIdleSubsession(env()), createIdleSubsession(env())}; }

    unsigned short fPort = yvk::test::freeTcpPort();
    RTSPServer* fServer = nullptr;
};

// A busy port gives no server; so does another program listening on the
// port's IPv4 side, as a server on IPv6 alone would leave IPv4 clients to it.
TEST_F(RtspHelpers, TunnellingPortOnlyWhenGivenAndBusyPortsGiveNull) {
    EXPECT_EQ(fServer->httpServerPortNum(), 0);
    unsigned short rtspPort = yvk::test::freeTcpPort(), httpPort = yvk::test::freeTcpPort();
    RTSPServer* server = createRTSPServer(env(), rtspPort, httpPort, 500, 0, {}, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->httpServerPortNum(), httpPort);
    Medium::close(server);

    TraceCapture trace;
    EXPECT_EQ(createRTSPServer(env(), fPort, 0, 500, 0, {}, nullptr), nullptr);
    EXPECT_TRUE(trace.contains("RTSP server on port"));

    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(rtspPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    server = createRTSPServer(env(), rtspPort, 0, 60, 0, {}, nullptr);
    close(holder);
    EXPECT_EQ(server, nullptr);
    if (server != nullptr) Medium::close(server);
    EXPECT_TRUE(trace.contains("port " + std::to_string(rtspPort) + " cannot be bound on IPv4"));
}

// A server closed while a client was connected leaves that connection in
// TIME_WAIT on the server's side; a new server on the port (a host that
// restarts its stream) still binds at once.
TEST_F(RtspHelpers, PortIsBoundAgainRightAfterAServerWithAClientCloses) {
    int client = yvk::test::connectTo(fPort);
    ASSERT_GE(client, 0);
    const char request[] = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    ASSERT_EQ(send(client, request, sizeof request - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof request - 1));
    char reply[512];
    bool answered = false;
    auto answer = [&] { return answered = answered || recv(client, reply, sizeof reply, MSG_DONTWAIT) > 0; };
    ASSERT_TRUE(yvk::test::runLoopUntil(env(), answer, 5000));
    Medium::close(fServer); // closes the connection first: its side lingers in TIME_WAIT
    fServer = nullptr;
    close(client);
    TraceCapture trace;
    fServer = createRTSPServer(env(), fPort, 0, 500, 0, {}, nullptr);
    EXPECT_NE(fServer, nullptr) << (trace.lines().empty() ? "" : trace.lines().back().message);
}

TEST_F(RtspHelpers, SessionsAreCountedAndTheirUrlPrinted) {
    TraceCapture trace;
    EXPECT_EQ(addSubSessions(fServer, "empty", "nosuch0", {}), 0);  // nothing registered, nothing looked up
    EXPECT_EQ(addSession(fServer, "empty", {}), 0);
    EXPECT_EQ(findSession(*fServer, "empty"), nullptr);
    EXPECT_TRUE(trace.lines().empty());

    EXPECT_EQ(addSession(fServer, "plain", twoSubsessions()), 2);
    ServerMediaSession* session = findSession(*fServer, "plain");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->numSubsessions(), 2u);
    int line = trace.indexOf("Play this stream using the URL rtsp://");
    ASSERT_GE(line, 0);
    EXPECT_EQ(trace.lines()[line].level, 2);

    // An interface that cannot be looked up still registers, on any address.
    EXPECT_EQ(addSubSessions(fServer, "lost", "nosuch0", twoSubsessions()), 2);
    EXPECT_NE(findSession(*fServer, "lost"), nullptr);
    int failed = trace.indexOf("Getting my IP from 'nosuch0' failed, use INADDR_ANY instead (delay..)");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(trace.lines()[failed].level, 1);
    EXPECT_GT(trace.indexOf("/lost"), failed); // its URL, printed after
    EXPECT_EQ(ReceivingInterfaceAddr, static_cast<ipv4AddressBits>(INADDR_ANY));

    EXPECT_EQ(addSubSessions(fServer, "cam", "lo", twoSubsessions()), 2);
    EXPECT_EQ(ReceivingInterfaceAddr, inet_addr("127.0.0.1"));
    EXPECT_TRUE(trace.contains("Play this stream using the URL rtsp://127.0.0.1:" + std::to_string(fPort) + "/cam"));
}

} // namespace
