// The reference host program (host/yvkstreamer) in live mode, run beside an
// end-to-end test; stopping it checks its exit status and its account of
// the records it lent.
#ifndef YVK_TEST_REFERENCE_HOST_HH
#define YVK_TEST_REFERENCE_HOST_HH

#include "Process.hh"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace yvk::test {

class ReferenceHost {
public:
    // Live mode at 352x288 and 50 fps on a free port, with extra arguments
    // (later ones win); "--hls" serves on 8554, as such an instance does.
    explicit ReferenceHost(const std::vector<std::string>& args);
    bool ready() const { return fReady; }
    unsigned short port() const { return fPort; }
    pid_t pid() const { return fProcess->pid(); }
    std::string url(const std::string& scheme = "rtsp", const std::string& credentials = "") const;
    // The reply to a plain DESCRIBE of the stream.
    std::string describe() const;
    // The number of file descriptors the host has open, -1 when unknown.
    int openDescriptors() const;

    // Stops it with SIGINT; expects exit status 0 and both accounts (video
    // and audio) balanced.  Its standard error.
    std::string stopAndCheckAccount();

private:
    static void printConnectionEvents(const std::string& errors);

    unsigned short fPort;
    std::string fName = "live";
    std::unique_ptr<ChildProcess> fProcess;
    bool fReady = false;
};

} // namespace yvk::test

#endif
