#include "ProgramMapVersioner.hh"

#include <MPEG2TransportStreamMultiplexor.hh> // calculateCRC

namespace {

constexpr unsigned kPacketSize = 188;
constexpr unsigned char kSyncByte = 0x47;
constexpr unsigned kPatPid = 0;
constexpr unsigned char kPatTableId = 0x00;
constexpr unsigned char kPmtTableId = 0x02;
constexpr unsigned kSectionHeaderBytes = 3; // table id and section length
constexpr unsigned kCrcBytes = 4;
constexpr unsigned kVersionByte = 5;        // version_number (5 bits) and current_next_indicator

unsigned pidOf(const unsigned char* packet) { return ((packet[1] & 0x1Fu) << 8) | packet[2]; }

// The section that starts in a packet's payload, and its whole length
// (header, body and CRC) when it lies inside the packet; null otherwise.
unsigned char* sectionIn(unsigned char* packet, unsigned& length) {
    if ((packet[1] & 0x40) == 0) return nullptr; // no section starts here
    unsigned payload = 4;
    if ((packet[3] & 0x20) != 0) payload += 1u + packet[4]; // adaptation field
    if ((packet[3] & 0x10) == 0 || payload >= kPacketSize) return nullptr;
    unsigned start = payload + 1u + packet[payload]; // after the pointer field
    if (start + kSectionHeaderBytes > kPacketSize) return nullptr;
    unsigned char* section = packet + start;
    length = kSectionHeaderBytes + (((section[1] & 0x0Fu) << 8) | section[2]);
    if (length < kVersionByte + 1 + kCrcBytes || start + length > kPacketSize) return nullptr;
    return section;
}

} // namespace

ProgramMapVersioner* ProgramMapVersioner::createNew(UsageEnvironment& env, FramedSource* inputSource) {
    return inputSource != nullptr ? new ProgramMapVersioner(env, inputSource) : nullptr;
}

ProgramMapVersioner::ProgramMapVersioner(UsageEnvironment& env, FramedSource* inputSource)
    : FramedFilter(env, inputSource) {}

void ProgramMapVersioner::doGetNextFrame() {
    fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure, this);
}

void ProgramMapVersioner::afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                            struct timeval presentationTime, unsigned durationInMicroseconds) {
    auto* self = static_cast<ProgramMapVersioner*>(clientData);
    self->fVersions.rewrite(self->fTo, frameSize);
    self->fFrameSize = frameSize;
    self->fNumTruncatedBytes = numTruncatedBytes;
    self->fPresentationTime = presentationTime;
    self->fDurationInMicroseconds = durationInMicroseconds;
    FramedSource::afterGetting(self);
}

void ProgramMapVersions::rewrite(unsigned char* data, unsigned size) {
    for (unsigned offset = 0; offset + kPacketSize <= size; offset += kPacketSize) {
        unsigned char* packet = data + offset;
        if (packet[0] != kSyncByte) continue;
        unsigned pid = pidOf(packet);
        if (pid != kPatPid && static_cast<int>(pid) != fProgramMapPid) continue;
        unsigned length = 0;
        unsigned char* section = sectionIn(packet, length);
        if (section == nullptr) continue;
        if (pid == kPatPid && section[0] == kPatTableId) learnProgramMapPid(section, length);
        else if (section[0] == kPmtTableId) versionProgramMap(section, length);
    }
}

// The first program's map PID (the multiplexer makes one program).
void ProgramMapVersions::learnProgramMapPid(const unsigned char* section, unsigned length) {
    constexpr unsigned kFirstProgram = 8;
    for (unsigned at = kFirstProgram; at + 4 <= length - kCrcBytes; at += 4) {
        unsigned program = (section[at] << 8) | section[at + 1];
        if (program == 0) continue; // the network PID
        fProgramMapPid = static_cast<int>(((section[at + 2] & 0x1Fu) << 8) | section[at + 3]);
        return;
    }
}

void ProgramMapVersions::versionProgramMap(unsigned char* section, unsigned length) {
    std::string content(reinterpret_cast<const char*>(section), length - kCrcBytes);
    content[kVersionByte] = 0;
    if (fVersion < 0) {
        fVersion = (section[kVersionByte] >> 1) & 0x1F;
    } else if (content != fLastContent) {
        fVersion = (fVersion + 1) & 0x1F;
    }
    fLastContent = std::move(content);
    unsigned char versioned = static_cast<unsigned char>((section[kVersionByte] & 0xC1) | (fVersion << 1));
    if (versioned == section[kVersionByte]) return;
    section[kVersionByte] = versioned;
    u_int32_t crc = calculateCRC(section, length - kCrcBytes);
    unsigned char* end = section + length - kCrcBytes;
    end[0] = static_cast<unsigned char>(crc >> 24);
    end[1] = static_cast<unsigned char>(crc >> 16);
    end[2] = static_cast<unsigned char>(crc >> 8);
    end[3] = static_cast<unsigned char>(crc);
}
