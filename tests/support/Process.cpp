#include "Process.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace yvk::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string tempPath() {
    char pattern[] = "/tmp/yvk-test-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    return pattern;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child gets a process group of its own, so that stop() reaches the
    // helpers it starts too.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// Polls done() every 10 ms until it holds (true) or timeoutMs passed.
template <typename Done> bool pollUntil(int timeoutMs, Done done) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Waits for pid up to timeoutMs; true with its exit code when it ended.
bool waitFor(pid_t pid, int timeoutMs, int& exitCode) {
    int status = 0;
    pid_t done = 0;
    if (!pollUntil(timeoutMs, [&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; })) return false;
    if (done == pid) exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

void killGroup(pid_t pid) {
    int exitCode = -1;
    kill(-pid, SIGTERM);
    if (!waitFor(pid, 2000, exitCode)) {
        kill(-pid, SIGKILL);
        waitFor(pid, 2000, exitCode);
    }
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs) {
    ChildProcess child(argv);
    int exitCode = child.stop(0, timeoutMs); // signal 0 is none: it only waits
    return {exitCode, child.output(), child.errors()};
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : fOutPath(tempPath()), fErrPath(tempPath()) {
    fPid = spawn(argv, fOutPath, fErrPath);
}

ChildProcess::~ChildProcess() {
    if (fPid > 0) killGroup(fPid);
    std::remove(fOutPath.c_str());
    std::remove(fErrPath.c_str());
}

int ChildProcess::stop(int signal, int timeoutMs) {
    if (fPid <= 0) return fExitCode;
    kill(fPid, signal);
    if (!waitFor(fPid, timeoutMs, fExitCode)) {
        killGroup(fPid);
        fExitCode = -1;
    }
    fPid = -1;
    return fExitCode;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    return pollUntil(timeoutMs, [&] { return output().find(text) != std::string::npos; });
}

std::string ChildProcess::output() const { return readFile(fOutPath); }
std::string ChildProcess::errors() const { return readFile(fErrPath); }

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

unsigned short freeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

long statusKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string label = field + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(label, 0) == 0) return std::atol(line.c_str() + label.size());
    }
    return -1;
}

} // namespace yvk::test
