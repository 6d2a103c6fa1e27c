// Pieces both modes of the reference host use.
#ifndef YVK_HOST_SUPPORT_HH
#define YVK_HOST_SUPPORT_HH

#include <signal.h>

#include <string>

// Blocks SIGINT and SIGTERM in every thread (the library's and the
// producers' threads inherit the mask) so that the main thread alone
// receives them; returns the set to wait on.
sigset_t blockStopSignals();

// The interface's IPv4 address, or 127.0.0.1 when it has none.
std::string interfaceAddress(const std::string& ifName);

#endif // YVK_HOST_SUPPORT_HH
