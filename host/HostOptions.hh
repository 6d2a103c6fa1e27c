// Command line of the reference host program.
#ifndef YVK_HOST_OPTIONS_HH
#define YVK_HOST_OPTIONS_HH

#include <string>

struct HostOptions {
    std::string mode;              // "live"
    unsigned short port = 8554;
    std::string name = "live";
    std::string ifName = "lo";
    bool netSetup = false;         // run the interface commands for real
    bool help = false;
};

// Parses argv; on a bad command line returns false with the reason in error.
bool parseHostOptions(int argc, char** argv, HostOptions& options, std::string& error);

// The text --help prints.
std::string hostUsage(const char* program);

#endif // YVK_HOST_OPTIONS_HH
