#include "CoreTestSupport.hh"

#include "NetNamespace.hh"
#include "Process.hh"

#include <liveMedia.hh>

namespace yvk::test {

namespace {

class IdleSubsession : public OnDemandServerMediaSubsession {
public:
    explicit IdleSubsession(UsageEnvironment& env) : OnDemandServerMediaSubsession(env, True) {}

protected:
    FramedSource* createNewStreamSource(unsigned, unsigned& estBitrate) override {
        estBitrate = 0;
        return nullptr;
    }
    RTPSink* createNewRTPSink(Groupsock*, unsigned char, FramedSource*) override { return nullptr; }
};

} // namespace

YVKStreamerLiveCfg liveConfig(unsigned short port, const char* sessionName, const char* ifName) {
    YVKStreamerLiveCfg cfg{};
    cfg.rtspPort = port;
    cfg.sessionName = sessionName;
    cfg.ifName = ifName;
    return cfg;
}

YVKStreamerFileCfg fileConfig(unsigned short port, const char* sessionName, const char* fileName) {
    YVKStreamerFileCfg cfg{};
    cfg.rtspPort = port;
    cfg.sessionName = sessionName;
    cfg.ifName = "lo";
    cfg.fileName = fileName;
    cfg.videoTrack = 1;
    return cfg;
}

void guardNetworkSetup() { NET_SETUP_COMMANDS = inPrivateNetNamespace() ? 1 : 0; }

ServerMediaSubsession* createIdleSubsession(UsageEnvironment& env) { return new IdleSubsession(env); }

ServerMediaSession* findSession(RTSPServer& server, const std::string& name) {
    // The server's own lookup answers at once for sessions it holds.
    ServerMediaSession* found = nullptr;
    auto take = [](void* result, ServerMediaSession* session) { *static_cast<ServerMediaSession**>(result) = session; };
    server.lookupServerMediaSession(name.c_str(), take, &found);
    return found;
}

std::string commandOutput(const std::string& commandLine) { return runProcess({"sh", "-c", commandLine}, 10000).out; }

} // namespace yvk::test
