#include "ReplicaGate.hh"

ReplicaGate* ReplicaGate::createNew(UsageEnvironment& env, FramedSource* input, int codec) {
    if (input == nullptr) return nullptr;
    return new ReplicaGate(env, input, codec);
}

ReplicaGate::ReplicaGate(UsageEnvironment& env, FramedSource* input, int codec)
    : FramedFilter(env, input), fCodec(codec), fStarted(false), fOpen(codec == 0) {}

ReplicaGate::~ReplicaGate() {
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
}

bool ReplicaGate::isKeyUnit(int codec, unsigned char header) {
    if (codec == 265) {
        unsigned type = (header >> 1) & 0x3f;
        return type >= 16 && type <= 21; // BLA, IDR and CRA pictures
    }
    return (header & 0x1f) == 5; // IDR slice
}

void ReplicaGate::doGetNextFrame() {
    if (!fStarted) {
        fStarted = true;
        nextTask() = envir().taskScheduler().scheduleDelayedTask(0, requestInput, this);
        return;
    }
    requestInput();
}

void ReplicaGate::doStopGettingFrames() {
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    FramedFilter::doStopGettingFrames();
}

void ReplicaGate::requestInput(void* gate) {
    auto* self = static_cast<ReplicaGate*>(gate);
    self->nextTask() = nullptr;
    self->requestInput();
}

void ReplicaGate::requestInput() {
    fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure, this);
}

void ReplicaGate::afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                    timeval presentationTime, unsigned durationInMicroseconds) {
    static_cast<ReplicaGate*>(clientData)
        ->afterGettingFrame(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void ReplicaGate::afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes, timeval presentationTime,
                                    unsigned durationInMicroseconds) {
    if (!fOpen && frameSize > 0 && isKeyUnit(fCodec, fTo[0])) fOpen = true;
    if (!fOpen) {
        requestInput(); // not yet: the next unit goes into the same buffer
        return;
    }
    fFrameSize = frameSize;
    fNumTruncatedBytes = numTruncatedBytes;
    fPresentationTime = presentationTime;
    fDurationInMicroseconds = durationInMicroseconds;
    afterGetting(this);
}
