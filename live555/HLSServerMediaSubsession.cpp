#include "HLSServerMediaSubsession.hh"

#include <ByteStreamMemoryBufferSource.hh>
#include <MediaSink.hh>
#include <StreamReplicator.hh>

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <iostream>

namespace {
// The audio parameters of the unicast base play no part in HTTP streaming;
// these are the values the live RTSP assembly passes too.
constexpr int kBitsPerSample = 16;
constexpr int kSamplingFrequency = 16000;
constexpr int kNumChannels = 1;
} // namespace

HLSServerMediaSubsession::HLSSink::HLSSink(UsageEnvironment& env, unsigned bufferSize, unsigned segmentDuration,
                                           std::atomic<bool>& ready)
    : MediaSink(env), fBuffer(new unsigned char[bufferSize > 0 ? bufferSize : 1]), fBufferSize(bufferSize),
      fSegmentDuration(segmentDuration > 0 ? segmentDuration : 1), fReady(ready) {}

HLSServerMediaSubsession::HLSSink::~HLSSink() {
    envir().taskScheduler().unscheduleDelayedTask(fCloseTask);
    stopPlaying();
    delete[] fBuffer;
}

const unsigned char* HLSServerMediaSubsession::HLSSink::getHLSBuffer(uint32_t slice) const {
    auto found = fSlices.find(slice);
    return found != fSlices.end() ? reinterpret_cast<const unsigned char*>(found->second->data()) : nullptr;
}

unsigned HLSServerMediaSubsession::HLSSink::getHLSBufferSize(uint32_t slice) const {
    auto found = fSlices.find(slice);
    return found != fSlices.end() ? static_cast<unsigned>(found->second->size()) : 0;
}

std::shared_ptr<const std::string> HLSServerMediaSubsession::HLSSink::completedSlice(uint32_t slice) const {
    auto found = fSlices.find(slice);
    if (found == fSlices.end() || slice >= fSlices.rbegin()->first) return nullptr;
    return found->second;
}

unsigned HLSServerMediaSubsession::HLSSink::firstTime() const {
    return fSlices.empty() ? 0 : fSegmentDuration * fSlices.begin()->first;
}

unsigned HLSServerMediaSubsession::HLSSink::duration() const {
    return fSlices.empty() ? 0 : fSegmentDuration * (fSlices.rbegin()->first - fSlices.begin()->first);
}

Boolean HLSServerMediaSubsession::HLSSink::continuePlaying() {
    if (fSource == nullptr) return False;
    fSource->getNextFrame(fBuffer, fBufferSize, afterGettingFrame, this, MediaSink::onSourceClosure, this);
    return True;
}

void HLSServerMediaSubsession::HLSSink::afterGettingFrame(void* clientData, unsigned frameSize,
                                                          unsigned numTruncatedBytes, struct timeval presentationTime,
                                                          unsigned /*durationInMicroseconds*/) {
    static_cast<HLSSink*>(clientData)->afterGettingFrame(frameSize, numTruncatedBytes, presentationTime);
}

void HLSServerMediaSubsession::HLSSink::afterGettingFrame(unsigned frameSize, unsigned numTruncatedBytes,
                                                          struct timeval presentationTime) {
    if (numTruncatedBytes > 0) {
        growBuffer(numTruncatedBytes);
    } else {
        auto second = static_cast<uint32_t>(presentationTime.tv_sec);
        uint32_t elapsed = 0;
        if (fFirstSecond == 0) fFirstSecond = second;
        else if (second > fFirstSecond) elapsed = second - fFirstSecond; // before F: the open slice takes it
        uint32_t number = elapsed / fSegmentDuration;
        bool opens = fSlices.empty() || number > fSlices.rbegin()->first;
        if (!opens) {
            number = fSlices.rbegin()->first; // complete slices never change
        } else if (!fSlices.empty() && fSlices.rbegin()->second->empty()) {
            fSlices.erase(std::prev(fSlices.end())); // opened by the timer, then nothing came
        }
        std::shared_ptr<std::string>& slice = fSlices[number];
        if (slice == nullptr) slice = std::make_shared<std::string>();
        slice->append(reinterpret_cast<const char*>(fBuffer), frameSize);
        keepNewestSlices();
        if (opens) scheduleClose(number, presentationTime);
    }
    continuePlaying();
}

// The first slice is complete once a second one has begun; from then on the
// oldest goes whenever an eleventh appears.
void HLSServerMediaSubsession::HLSSink::keepNewestSlices() {
    if (!fReady.load(std::memory_order_relaxed) && fSlices.size() > 1) fReady.store(true, std::memory_order_release);
    while (fSlices.size() > kMaxSlices) fSlices.erase(fSlices.begin());
}

void HLSServerMediaSubsession::HLSSink::scheduleClose(uint32_t slice, const timeval& presentationTime) {
    TaskScheduler& scheduler = envir().taskScheduler();
    scheduler.unscheduleDelayedTask(fCloseTask);
    timeval now{};
    gettimeofday(&now, nullptr);
    constexpr int64_t kMicroseconds = 1000000;
    const int64_t duration = int64_t(fSegmentDuration) * kMicroseconds;
    const int64_t stamp = int64_t(presentationTime.tv_sec) * kMicroseconds + presentationTime.tv_usec;
    const int64_t wall = int64_t(now.tv_sec) * kMicroseconds + now.tv_usec;
    if (stamp > wall + duration || stamp < wall - duration) return; // not stamped with the wall clock
    const int64_t end = (int64_t(fFirstSecond) + int64_t(slice + 1) * fSegmentDuration) * kMicroseconds;
    const int64_t delay = std::min(std::max<int64_t>(end - wall, 0), duration) + kCloseMarginUs;
    fClosing = slice;
    fCloseTask = scheduler.scheduleDelayedTask(delay, closeSliceStub, this);
}

void HLSServerMediaSubsession::HLSSink::closeSliceStub(void* clientData) {
    static_cast<HLSSink*>(clientData)->closeSlice();
}

// The open slice, if it is still the one the timer was set for and holds
// something, is complete: the next one opens empty and gets its own timer.
void HLSServerMediaSubsession::HLSSink::closeSlice() {
    fCloseTask = nullptr;
    if (fSlices.empty() || fSlices.rbegin()->first != fClosing || fSlices.rbegin()->second->empty()) return;
    uint32_t next = fClosing + 1;
    fSlices[next] = std::make_shared<std::string>();
    keepNewestSlices();
    timeval start{};
    start.tv_sec = static_cast<time_t>(fFirstSecond) + static_cast<time_t>(next) * fSegmentDuration;
    scheduleClose(next, start);
}

// A chunk too large for the buffer is dropped; later chunks of its size fit.
void HLSServerMediaSubsession::HLSSink::growBuffer(unsigned numTruncatedBytes) {
    envir() << "FileSink::afterGettingFrame(): The input frame data was too large for our buffer size \n";
    fBufferSize += numTruncatedBytes;
    delete[] fBuffer;
    fBuffer = new unsigned char[fBufferSize];
}

HLSServerMediaSubsession::HLSServerMediaSubsession(UsageEnvironment& env, StreamReplicator* replicator,
                                                   const std::string& format, unsigned segmentDuration,
                                                   std::atomic<bool>& ready)
    : UnicastServerMediaSubsession(env, replicator, format, kBitsPerSample, kSamplingFrequency, kNumChannels),
      fSegmentDuration(segmentDuration > 0 ? segmentDuration : 1) {
    FramedSource* replica = replicator->createStreamReplica();
    unsigned estBitrate = 0;
    fFramer = BaseServerMediaSubsession::createSource(env, replica, format, 0, 0, 0, estBitrate);
    fHLSSink = new HLSSink(env, OutPacketBuffer::maxSize, fSegmentDuration, ready);
    if (fFramer != nullptr) fHLSSink->startPlaying(*fFramer, nullptr, nullptr);
}

// The replica goes before the replicator that the unicast base closes.
HLSServerMediaSubsession::~HLSServerMediaSubsession() {
    Medium::close(fHLSSink);
    Medium::close(fFramer);
}

void HLSServerMediaSubsession::seekStream(unsigned /*clientSessionId*/, void* /*streamToken*/, double& seekNPT,
                                          double /*streamDuration*/, u_int64_t& numBytes) {
    fSlice = static_cast<uint32_t>(seekNPT / fSegmentDuration);
    seekNPT = static_cast<double>(fSegmentDuration) * fSlice;
    numBytes = fHLSSink->getHLSBufferSize(fSlice);
    std::cout << "seek seekNPT:" << seekNPT << " slice:" << fSlice << " numBytes:" << numBytes << std::endl;
}

FramedSource* HLSServerMediaSubsession::getStreamSource(void* /*streamToken*/) {
    unsigned size = fHLSSink->getHLSBufferSize(fSlice);
    auto* copy = new u_int8_t[size > 0 ? size : 1];
    if (size > 0) std::memcpy(copy, fHLSSink->getHLSBuffer(fSlice), size);
    return ByteStreamMemoryBufferSource::createNew(envir(), copy, size, True, 0, 0);
}

std::shared_ptr<const std::string> HLSServerMediaSubsession::completedSegment(unsigned startOffset) const {
    return fHLSSink->completedSlice(static_cast<uint32_t>(startOffset / fSegmentDuration));
}

float HLSServerMediaSubsession::getCurrentNPT(void* /*streamToken*/) {
    return static_cast<float>(fHLSSink->firstTime());
}

float HLSServerMediaSubsession::duration() const {
    return static_cast<float>(fHLSSink->duration());
}
