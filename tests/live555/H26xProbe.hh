// H26xQueueSource with its reader-thread steps callable from a test (no
// reader thread is started).
#ifndef YVK_TEST_H26X_PROBE_HH
#define YVK_TEST_H26X_PROBE_HH

#include "H26xQueueSource.hh"

class H26xProbe : public H26xQueueSource {
public:
    static H26xProbe* create(UsageEnvironment& env, const char* format, int fps, YVKStreamerQIO qio,
                             int width = 1280, int height = 720) {
        return new H26xProbe(env, format, fps, width, height, qio);
    }
    using H26xQueueSource::extractFrameH264;
    using H26xQueueSource::extractFrameH265;
    using H26xQueueSource::fAuxLine;
    using H26xQueueSource::fDropThreshold;
    using H26xQueueSource::fQueue;
    using H26xQueueSource::fQueueDepth;
    using H26xQueueSource::fStreaming;
    using H26xQueueSource::fUnitCount;
    using H26xQueueSource::fWaitKeyFrame;
    using H26xQueueSource::getNextFrame;
    using H26xQueueSource::processFrame;
    using H26xQueueSource::queueFrame;
    using H26xQueueSource::splitFrames;

    int queued() { return queue_get_currnum(fQueue); }

private:
    H26xProbe(UsageEnvironment& env, const char* format, int fps, int width, int height, YVKStreamerQIO qio)
        : H26xQueueSource(env, format, fps, width, height, qio, false) {}
};

#endif
