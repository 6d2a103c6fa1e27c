#include "ReferenceHost.hh"

#include "DescriptorLimit.hh"
#include "RawHttp.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <regex>

namespace yvk::test {

ReferenceHost::ReferenceHost(const std::vector<std::string>& args) : fPort(freeTcpPort()) {
    if (std::find(args.begin(), args.end(), "--hls") != args.end()) fPort = 8554;
    std::vector<std::string> argv = {YVK_BINARY_DIR "/host/yvkstreamer", "live", "--port", std::to_string(fPort),
                                     "--size", "352x288", "--fps", "50"};
    argv.insert(argv.end(), args.begin(), args.end());
    for (size_t i = 0; i + 1 < args.size(); ++i) fName = args[i] == "--name" ? args[i + 1] : fName;
    fProcess = std::make_unique<ChildProcess>(argv);
    fReady = fProcess->waitForOutput("RTSP server: ", 10000);
}

std::string ReferenceHost::url(const std::string& scheme, const std::string& credentials) const {
    return scheme + "://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" + std::to_string(fPort) +
           "/" + fName;
}

std::string ReferenceHost::describe() const { return rawDescribe(fPort, url()); }

int ReferenceHost::openDescriptors() const { return yvk::test::openDescriptors(pid()); }

// What the host said about its connections and errors, for a test that
// failed: which side gave up first is often the whole story.
void ReferenceHost::printConnectionEvents(const std::string& errors) {
    constexpr size_t kMaxLines = 40;
    size_t printed = 0;
    for (size_t from = 0; from < errors.size() && printed < kMaxLines;) {
        size_t end = std::min(errors.find('\n', from), errors.size());
        std::string line = errors.substr(from, end - from);
        if (line.find(" closed") != std::string::npos || line.rfind("[E]", 0) == 0) {
            std::cerr << "host: " << line << "\n";
            ++printed;
        }
        from = end + 1;
    }
}

std::string ReferenceHost::stopAndCheckAccount() {
    EXPECT_EQ(fProcess->stop(SIGINT, 10000), 0) << fProcess->errors();
    std::regex balanced("(video|audio) records: popped ([0-9]+), released \\2, in flight 0, bad releases 0");
    std::string out = fProcess->output();
    if (::testing::Test::HasFailure()) printConnectionEvents(fProcess->errors());
    size_t accounts = 0;
    for (const std::string& line : linesStartingWith(out, "")) accounts += std::regex_match(line, balanced) ? 1 : 0;
    EXPECT_EQ(accounts, 2u) << out;
    return fProcess->errors();
}

} // namespace yvk::test
