// Child processes for end-to-end tests: real clients and the reference host,
// always bounded in time and never left behind.
#ifndef YVK_TEST_PROCESS_HH
#define YVK_TEST_PROCESS_HH

#include <string>
#include <sys/types.h>
#include <vector>

namespace yvk::test {

struct ProcessResult {
    int exitCode = -1;       // -1 when killed or not started
    std::string out;         // standard output
    std::string err;         // standard error
};

// Runs argv[0] (searched in PATH) to its end, killing it after timeoutMs.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutMs);

// A child that runs beside the test; its output goes to files.  The
// destructor kills it (SIGTERM, then SIGKILL) if it still runs.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return fPid; }
    // Sends signal and waits up to timeoutMs for the exit; the exit code, or
    // -1 when it had to be killed.
    int stop(int signal, int timeoutMs);
    // Waits up to timeoutMs for the output to contain text.
    bool waitForOutput(const std::string& text, int timeoutMs);
    std::string output() const;   // standard output so far
    std::string errors() const;   // standard error so far

private:
    pid_t fPid = -1;
    int fExitCode = -1;
    std::string fOutPath;
    std::string fErrPath;
};

// The lines of text that begin with prefix.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

// A free TCP port on 127.0.0.1 (bound and released at once).
unsigned short freeTcpPort();

// A size in process pid's /proc status, in kB (field "VmRSS", "RssAnon"...),
// -1 when there is none.
long statusKb(pid_t pid, const std::string& field);

} // namespace yvk::test

#endif
