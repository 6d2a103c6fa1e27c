#include "KeyFrameGate.hh"

KeyFrameGate* KeyFrameGate::createNew(UsageEnvironment& env, FramedSource* input, int codec) {
    if (input == nullptr) return nullptr;
    return new KeyFrameGate(env, input, codec);
}

KeyFrameGate::KeyFrameGate(UsageEnvironment& env, FramedSource* input, int codec)
    : FramedFilter(env, input), fCodec(codec), fOpen(false) {}

bool KeyFrameGate::isKeyUnit(int codec, unsigned char header) {
    if (codec == 265) {
        unsigned type = (header >> 1) & 0x3f;
        return type >= 16 && type <= 21; // BLA, IDR and CRA pictures
    }
    return (header & 0x1f) == 5; // IDR slice
}

void KeyFrameGate::doGetNextFrame() {
    fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure, this);
}

void KeyFrameGate::afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                     timeval presentationTime, unsigned durationInMicroseconds) {
    static_cast<KeyFrameGate*>(clientData)
        ->afterGettingFrame(frameSize, numTruncatedBytes, presentationTime, durationInMicroseconds);
}

void KeyFrameGate::afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes, timeval presentationTime,
                                     unsigned durationInMicroseconds) {
    if (!fOpen && frameSize > 0 && isKeyUnit(fCodec, fTo[0])) fOpen = true;
    if (!fOpen) {
        doGetNextFrame(); // not yet: ask for the next unit into the same buffer
        return;
    }
    fFrameSize = frameSize;
    fNumTruncatedBytes = numTruncatedBytes;
    fPresentationTime = presentationTime;
    fDurationInMicroseconds = durationInMicroseconds;
    afterGetting(this);
}
