// File mode of the reference host program: serves media files (one, or a
// play list of several) over RTSP until SIGINT or SIGTERM.
#ifndef YVK_HOST_FILE_MODE_HH
#define YVK_HOST_FILE_MODE_HH

#include <string>

// argv[1] is "file".  The exit status: 0 after a clean stop, 1 when the
// instance cannot be built, 2 for a bad command line.
int runFileMode(int argc, char** argv);

std::string fileModeUsage(const char* program);

#endif // YVK_HOST_FILE_MODE_HH
