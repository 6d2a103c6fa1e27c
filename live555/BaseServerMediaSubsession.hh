// The per-format choices of a live subsession: which framer goes in front of
// a client's copy of the stream, which RTP sink sends it, and the SDP lines
// of a video source.
#ifndef YVK_BASE_SERVER_MEDIA_SUBSESSION_HH
#define YVK_BASE_SERVER_MEDIA_SUBSESSION_HH

#include "yvkstreamer_core.h"

#include <string>

class FramedSource;
class Groupsock;
class H26xQueueSource;
class RTPSink;
class StreamReplicator;
class UsageEnvironment;

// Bitrate estimate (kbps) of a format whose row sets none.
constexpr unsigned kDefaultEstimatedBitrateKbps = 500;

class YVK_API BaseServerMediaSubsession {
public:
    // The source a client's stream is read from: a discrete framer for
    // H.264/H.265, a Transport Stream framer for "video/MP2T", null for
    // "video/JPEG", the source itself otherwise.  estBitrate is set for the
    // formats that have an estimate and left alone for the others.
    static FramedSource* createSource(UsageEnvironment& env, FramedSource* source, const std::string& format,
                                      int bitsPerSample, int samplingFrequency, int numChannels,
                                      unsigned& estBitrate);
    // The RTP sink of the format, or null for a format without one.
    static RTPSink* createSink(UsageEnvironment& env, Groupsock* groupsock, unsigned char payloadType,
                               const std::string& format, int bitsPerSample, int samplingFrequency,
                               int numChannels);
    // "a=fmtp:<pt> <parameter text>\r\n" and, with a known picture size,
    // "a=x-dimensions:<w>,<h>\r\n"; waits, within the source's bound, for its
    // parameter sets, and leaves the "a=fmtp" line out when none came.
    // A new[]-allocated text the caller deletes, or null for a null source.
    static char* getAuxLine(H26xQueueSource* source, unsigned char payloadType);

protected:
    BaseServerMediaSubsession(StreamReplicator* replicator, const std::string& format, int bitsPerSample,
                              int samplingFrequency, int numChannels);

    StreamReplicator* fReplicator; // owned; closed by the unicast subsession
    std::string fFormat;
    int fBitsPerSample;
    int fSamplingFrequency;
    int fNumChannels;
};

#endif // YVK_BASE_SERVER_MEDIA_SUBSESSION_HH
