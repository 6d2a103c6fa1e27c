// A live instance's RTSP server answers real clients, through the library
// directly and through the reference host program.
#include "CoreInstance.hh"
#include "CoreTestSupport.hh"
#include "Process.hh"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <string>

namespace {

using yvk::test::ChildProcess;
using yvk::test::runProcess;

std::string rtspOptions(unsigned short port, const std::string& path) {
    // curl sends OPTIONS when given an rtsp:// URL and no request.
    auto result = runProcess({"curl", "-sS", "-i", "-m", "5", "rtsp://127.0.0.1:" + std::to_string(port) + path},
                             10000);
    return result.out + result.err;
}

TEST(RtspServerE2E, OptionsFromCurlIsAnswered) {
    yvk::test::guardNetworkSetup();
    unsigned short port = yvk::test::freeTcpPort();
    YVKStreamerLiveCfg cfg = yvk::test::liveConfig(port, "live");
    YVKStreamerCore* core = YVK_StreamerCoreNew(YVK_STREAMER_MODE_LIVE, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    ASSERT_EQ(YVK_StreamerCoreRun(core), 1);
    std::string reply = rtspOptions(port, "/live");
    EXPECT_NE(reply.find("RTSP/1.0 200 OK"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Public: OPTIONS, DESCRIBE, SETUP"), std::string::npos) << reply;
    YVK_StreamerCoreFree(core);
}

TEST(ReferenceHostE2E, RunsServesAndStopsCleanlyOnSigint) {
    unsigned short port = yvk::test::freeTcpPort();
    // The host keeps the library to errors unless told otherwise.
    setenv("YVK_TRACE_LEVEL", "2", 1);
    ChildProcess host({YVK_BINARY_DIR "/host/yvkstreamer", "live", "--port", std::to_string(port), "--name", "cam",
                       "--size", "320x240", "--audio", "none"});
    unsetenv("YVK_TRACE_LEVEL");
    ASSERT_TRUE(host.started());
    std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/cam";
    ASSERT_TRUE(host.waitForOutput(url, 10000)) << host.output() << host.errors();
    std::string reply = rtspOptions(port, "/cam");
    EXPECT_NE(reply.find("RTSP/1.0 200 OK"), std::string::npos) << reply;
    EXPECT_EQ(host.stop(SIGINT, 10000), 0) << host.errors();
    // Without --net-setup the interface commands are only traced.
    EXPECT_NE(host.errors().find("network set-up not run"), std::string::npos) << host.errors();
}

TEST(ReferenceHostE2E, BadCommandLineExitsWithUsage) {
    auto result = runProcess({YVK_BINARY_DIR "/host/yvkstreamer", "live", "--port", "99999"}, 10000);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("bad port"), std::string::npos);
    EXPECT_NE(result.err.find("usage:"), std::string::npos);
}

} // namespace
