// Pieces both modes of the reference host use.
#ifndef YVK_HOST_SUPPORT_HH
#define YVK_HOST_SUPPORT_HH

#include <signal.h>

#include <string>

// Blocks SIGINT and SIGTERM in every thread (the library's and the
// producers' threads inherit the mask) so that the main thread alone
// receives them; returns the set to wait on.
sigset_t blockStopSignals();

// Access control and TLS, common to both modes: --user NAME:PASSWORD
// (repeatable), --tls-cert FILE, --tls-key FILE.
struct SecurityOptions {
    std::string users;       // "name:password" lines
    std::string tlsCert;
    std::string tlsKey;
};

// Takes the option at argv[index] (and its value) when it is one of the
// security options: 1 taken (index moved past the value), 0 not one of
// them, -1 bad (error says why).
int takeSecurityOption(int argc, char** argv, int& index, SecurityOptions& options, std::string& error);

// Points the library's settings at the options; they must outlive New.
void applySecurityOptions(const SecurityOptions& options);

// The URL scheme the options give: "rtsps" with TLS, else "rtsp".
const char* rtspScheme(const SecurityOptions& options);

extern const char* const kSecurityUsage;

// The interface's IPv4 address, or 127.0.0.1 when it has none.
std::string interfaceAddress(const std::string& ifName);

// This process's resident memory (VmRSS) in kB; -1 when unknown.
long residentKilobytes();

#endif // YVK_HOST_SUPPORT_HH
