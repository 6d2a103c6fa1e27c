// Interface commands, interface address lookup and the debug stream dump.
#include "CoreInstance.hh"
#include "CoreTestSupport.hh"
#include "NetNamespace.hh"
#include "TraceCapture.hh"
#include "yvkstreamer_core_live555.hh"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

using yvk::test::commandOutput;
using yvk::test::TraceCapture;

#define REQUIRE_PRIVATE_NETWORK()                                                       \
    if (!yvk::test::inPrivateNetNamespace()) GTEST_SKIP() << "needs a private network namespace"

// Runs a lookup with the device's ipaddr tool on the search path (the build
// root has a stand-in), then without it, as on an ordinary Linux machine.
template <typename Check>
void withAndWithoutIpaddrTool(Check check) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    SCOPED_TRACE("ipaddr on the path");
    check();
    setenv("PATH", "/nonexistent", 1);
    {
        SCOPED_TRACE("no ipaddr tool");
        check();
    }
    setenv("PATH", path.c_str(), 1);
}

TEST(InterfaceIp, LoopbackGivesItsAddressOthersLeaveTheBufferAlone) {
    withAndWithoutIpaddrTool([] {
        char address[24] = "unchanged";
        // Names a shell would interpret are refused before anything runs.
        for (const char* name :
             {"nosuch0", "lo; touch /tmp/yvk-injected", "$(id)", "", static_cast<const char*>(nullptr)})
            EXPECT_EQ(getInterfaceIp(address, name), 0) << (name != nullptr ? name : "null");
        EXPECT_STREQ(address, "unchanged");
        EXPECT_NE(access("/tmp/yvk-injected", F_OK), 0);
        ASSERT_EQ(getInterfaceIp(address, "lo"), 1);
        EXPECT_STREQ(address, "127.0.0.1");
    });
}

TEST(InterfaceIp, InterfaceWithOnlyAnIpv6AddressGivesZero) {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_EQ(std::system("ip link add yvk6a type veth peer name yvk6b && "
                          "ip -6 addr add fd00:5::1/64 dev yvk6a nodad && ip link set yvk6a up"),
              0);
    ASSERT_NE(commandOutput("ip addr show yvk6a").find("inet6 fd00:5::1"), std::string::npos);
    withAndWithoutIpaddrTool([] {
        char address[24] = "unchanged";
        EXPECT_EQ(getInterfaceIp(address, "yvk6a"), 0);
    });

    // The same interface with an IPv4 address as well is found.
    ASSERT_EQ(std::system("ip addr add 10.99.0.1/24 dev yvk6a"), 0);
    withAndWithoutIpaddrTool([] {
        char address[24] = "unchanged";
        EXPECT_EQ(getInterfaceIp(address, "yvk6a"), 1);
        EXPECT_STREQ(address, "10.99.0.1");
    });
}

TEST(NetworkCommands, NewRunsThemOnTheConfiguredInterface) {
    REQUIRE_PRIVATE_NETWORK();
    NET_SETUP_COMMANDS = 1;
    YVKStreamerLiveCfg cfg = yvk::test::liveConfig(0, "test", "lo");
    YVKStreamerCore* core = YVK_StreamerCoreNew(3, &cfg, nullptr, nullptr);
    ASSERT_NE(core, nullptr);
    YVK_StreamerCoreFree(core);
    EXPECT_NE(commandOutput("ip route show").find("224.0.0.0/4 dev lo"), std::string::npos)
        << commandOutput("ip route show");
    EXPECT_NE(commandOutput("ip link show lo").find("qlen 10000"), std::string::npos);
}

// Switched off, the commands are only traced; an unsafe interface name runs
// nothing at all.
TEST(NetworkCommands, SwitchedOffOrUnsafeNameRunNothing) {
    TraceCapture trace;
    NET_SETUP_COMMANDS = 0;
    runNetworkSetup("lo");
    NET_SETUP_COMMANDS = 1;
    EXPECT_TRUE(trace.contains("network set-up not run: route add -net 224.0.0.0 netmask 240.0.0.0 lo"));
    EXPECT_TRUE(trace.contains("network set-up not run: ifconfig lo txqueuelen 10000"));
    runNetworkSetup("lo;touch /tmp/yvk-injected");
    EXPECT_TRUE(trace.contains("no network set-up for interface name"));
    EXPECT_NE(access("/tmp/yvk-injected", F_OK), 0);
}

TEST(DumpStream, WritesOnlyWhileTheControlFileSaysOne) {
    char folder[] = "/tmp/yvk-dump-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string control = std::string(folder) + "/strm_dump", file = std::string(folder) + "/stream-video.26x";
    auto dump = [&](const std::string& u) { dumpStreamDataTo(control.c_str(), file.c_str(), u.data(), u.size()); };
    auto setControl = [&](const char* text) { std::ofstream(control, std::ios::binary) << text; };
    dump("unit");  // no control file
    for (const char* text : {"0", ""}) {
        setControl(text);
        dump("unit");
    }
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    setControl("1\n");
    dump(std::string("\0\0\0\1\x67" "ab", 7));
    dump(std::string("\0\0\0\1\x65" "cd", 7));
    setControl("0"); // switched off while streaming
    dump("more");
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              std::string("\0\0\0\1\x67" "ab" "\0\0\0\1\x65" "cd", 14));  // back to back, none after the switch
    std::filesystem::remove_all(folder);
}

} // namespace
