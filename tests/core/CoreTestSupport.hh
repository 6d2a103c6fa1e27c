// Configuration records and small live555 helpers for the control unit's tests.
#ifndef YVK_TEST_CORE_SUPPORT_HH
#define YVK_TEST_CORE_SUPPORT_HH

#include "yvkstreamer_core.h"

#include <string>

class RTSPServer;
class ServerMediaSession;
class ServerMediaSubsession;
class UsageEnvironment;

namespace yvk::test {

// A live record with no sources: the given port, session name and interface.
YVKStreamerLiveCfg liveConfig(unsigned short port, const char* sessionName = "test", const char* ifName = "lo");

// A file record serving fileName's first video track on the given port and
// session name, on the loopback interface.
YVKStreamerFileCfg fileConfig(unsigned short port, const char* sessionName, const char* fileName = nullptr);

// The interface commands run for real only inside the test's private network
// namespace; elsewhere they are merely traced.
void guardNetworkSetup();

// A subsession that describes nothing and streams nothing: enough to
// register a session.
ServerMediaSubsession* createIdleSubsession(UsageEnvironment& env);

// The registered session of that name, or null.
ServerMediaSession* findSession(RTSPServer& server, const std::string& name);

// Output of a shell command line (standard output only).
std::string commandOutput(const std::string& commandLine);

} // namespace yvk::test

#endif
