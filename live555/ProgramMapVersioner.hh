// Keeps the program map of a Transport Stream honest about its changes.
//
// The dependency's multiplexer adds a stream to its program map when the
// stream's first frame arrives, but keeps the map's version number.  A
// demultiplexer that has seen the first map (GStreamer's tsdemux, for one)
// then never learns of the stream that came later: a player that starts on
// the first segment plays video without audio.  This filter sits behind the
// multiplexer and gives every program map whose content differs from the
// one before the next version number, with its CRC made again.
#ifndef YVK_PROGRAM_MAP_VERSIONER_HH
#define YVK_PROGRAM_MAP_VERSIONER_HH

#include "yvkstreamer_core.h"

#include <FramedFilter.hh>

#include <cstdint>
#include <string>

// The rewriting itself, over whole 188-byte packets in place.
class YVK_API ProgramMapVersions {
public:
    void rewrite(unsigned char* data, unsigned size);

private:
    void learnProgramMapPid(const unsigned char* section, unsigned length);
    void versionProgramMap(unsigned char* section, unsigned length);

    int fProgramMapPid = -1;   // from the PAT; -1 until one was seen
    std::string fLastContent;  // the last map without its version and CRC
    int fVersion = -1;         // the version given to that map
};

class YVK_API ProgramMapVersioner : public FramedFilter {
public:
    // inputSource delivers whole Transport Stream packets.
    static ProgramMapVersioner* createNew(UsageEnvironment& env, FramedSource* inputSource);

protected:
    ProgramMapVersioner(UsageEnvironment& env, FramedSource* inputSource);

private:
    void doGetNextFrame() override;
    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  struct timeval presentationTime, unsigned durationInMicroseconds);

    ProgramMapVersions fVersions;
};

#endif // YVK_PROGRAM_MAP_VERSIONER_HH
