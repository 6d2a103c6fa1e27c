#include "FanoutGroupsock.hh"

#include "ReplicaGate.hh"

#include <netinet/in.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned kRtpHeaderSize = 12;
constexpr unsigned kH264FuA = 28;
constexpr unsigned kH264FuB = 29;
constexpr unsigned kH264StapA = 24;
constexpr unsigned kH265Aggregation = 48;
constexpr unsigned kH265Fragment = 49;

uint16_t sequenceNumberOf(unsigned char const* packet) {
    return static_cast<uint16_t>(packet[2] << 8 | packet[3]);
}

// Whether any NAL unit of an aggregation packet (each behind a two-byte
// size) is a key unit.
bool aggregationHoldsKey(int codec, unsigned char const* units, unsigned size) {
    while (size >= 3) {
        unsigned unitSize = units[0] << 8 | units[1];
        if (unitSize == 0 || unitSize > size - 2) return false;
        if (ReplicaGate::isKeyUnit(codec, units[2])) return true;
        units += 2 + unitSize;
        size -= 2 + unitSize;
    }
    return false;
}

bool payloadStartsKey(int codec, unsigned char const* payload, unsigned size) {
    if (codec == 265) {
        unsigned type = (payload[0] >> 1) & 0x3f;
        if (type == kH265Fragment) {
            // Header of two bytes, then the fragment header: start bit, type.
            return size >= 3 && (payload[2] & 0x80) != 0 &&
                   ReplicaGate::isKeyUnit(codec, static_cast<unsigned char>((payload[2] & 0x3f) << 1));
        }
        if (type == kH265Aggregation) return size > 2 && aggregationHoldsKey(codec, payload + 2, size - 2);
        return ReplicaGate::isKeyUnit(codec, payload[0]);
    }
    unsigned type = payload[0] & 0x1f;
    if (type == kH264FuA || type == kH264FuB) {
        return size >= 2 && (payload[1] & 0x80) != 0 && ReplicaGate::isKeyUnit(codec, payload[1]);
    }
    if (type == kH264StapA) return aggregationHoldsKey(codec, payload + 1, size - 1);
    return ReplicaGate::isKeyUnit(codec, payload[0]);
}

} // namespace

// One client: where its packets go, and how its sequence numbers differ
// from the shared ones.
class FanoutGroupsock::Destination : public destRecord {
public:
    Destination(struct sockaddr_storage const& addr, Port const& port, u_int8_t ttl, unsigned sessionId,
                destRecord* next, bool firstKnown, uint16_t firstSequenceNumber)
        : destRecord(addr, port, ttl, sessionId, next), fFirstKnown(firstKnown),
          fFirstSequenceNumber(firstSequenceNumber) {
        std::memcpy(&fAddress, &addr, sizeof fAddress);
        if (addr.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6&>(fAddress).sin6_port = port.num();
            fAddressLength = sizeof(sockaddr_in6);
        } else {
            reinterpret_cast<sockaddr_in&>(fAddress).sin_port = port.num();
            fAddressLength = sizeof(sockaddr_in);
        }
    }

    struct sockaddr_storage fAddress {};
    socklen_t fAddressLength;
    bool fOpen = false;
    bool fFirstKnown;              // fFirstSequenceNumber is the one promised at PLAY
    uint16_t fFirstSequenceNumber;
    uint16_t fOffset = 0;          // shared minus own sequence number
    unsigned char fHeader[kRtpHeaderSize] = {}; // this client's copy of the packet's header
    struct iovec fParts[2] = {};
};

FanoutGroupsock* FanoutGroupsock::createNew(UsageEnvironment& env, struct sockaddr_storage const& bindAddress,
                                            Port port, int codec) {
    auto* groupsock = new FanoutGroupsock(env, bindAddress, port, codec);
    if (groupsock->socketNum() < 0) {
        delete groupsock;
        return nullptr;
    }
    return groupsock;
}

FanoutGroupsock::FanoutGroupsock(UsageEnvironment& env, struct sockaddr_storage const& bindAddress, Port port,
                                 int codec)
    : Groupsock(env, bindAddress, port, 255), fCodec(codec) {
    // The base made its record of the bound address before our records could
    // be made: every record in the list must be one of ours.
    removeAllDestinations();
}

FanoutGroupsock::~FanoutGroupsock() = default;

bool FanoutGroupsock::startsKeyPicture(int codec, unsigned char const* packet, unsigned size) {
    if (size <= kRtpHeaderSize) return false;
    unsigned offset = kRtpHeaderSize + 4 * (packet[0] & 0x0f);
    if ((packet[0] & 0x10) != 0) { // header extension
        if (size < offset + 4) return false;
        offset += 4 + 4 * (packet[offset + 2] << 8 | packet[offset + 3]);
    }
    if (offset >= size) return false;
    return payloadStartsKey(codec, packet + offset, size - offset);
}

unsigned FanoutGroupsock::openDestinations() const {
    unsigned count = 0;
    for (destRecord* record = fDests; record != nullptr; record = record->fNext) {
        if (static_cast<Destination*>(record)->fOpen) ++count;
    }
    return count;
}

destRecord* FanoutGroupsock::createNewDestRecord(struct sockaddr_storage const& addr, Port const& port, u_int8_t ttl,
                                                 unsigned sessionId, destRecord* next) {
    // The sink numbers its next packet fNextSequenceNumber; that is what the
    // client is told it starts at.
    return new Destination(addr, port, ttl, sessionId, next, fSentAny, fNextSequenceNumber);
}

void FanoutGroupsock::openAt(Destination& destination, uint16_t sequenceNumber) {
    destination.fOpen = true;
    destination.fOffset =
        destination.fFirstKnown ? static_cast<uint16_t>(sequenceNumber - destination.fFirstSequenceNumber) : 0;
}

Boolean FanoutGroupsock::output(UsageEnvironment& /*env*/, unsigned char* buffer, unsigned bufferSize) {
    if (bufferSize < kRtpHeaderSize) return False;
    uint16_t sequenceNumber = sequenceNumberOf(buffer);
    bool keyStart = fCodec == 0 || startsKeyPicture(fCodec, buffer, bufferSize);
    fMessages.clear();
    for (destRecord* record = fDests; record != nullptr; record = record->fNext) {
        auto& destination = static_cast<Destination&>(*record);
        if (!destination.fOpen) {
            if (!keyStart) continue;
            openAt(destination, sequenceNumber);
        }
        uint16_t own = static_cast<uint16_t>(sequenceNumber - destination.fOffset);
        std::memcpy(destination.fHeader, buffer, kRtpHeaderSize);
        destination.fHeader[2] = static_cast<unsigned char>(own >> 8);
        destination.fHeader[3] = static_cast<unsigned char>(own & 0xff);
        destination.fParts[0] = {destination.fHeader, kRtpHeaderSize};
        destination.fParts[1] = {buffer + kRtpHeaderSize, bufferSize - kRtpHeaderSize};
        struct mmsghdr message {};
        message.msg_hdr.msg_name = &destination.fAddress;
        message.msg_hdr.msg_namelen = destination.fAddressLength;
        message.msg_hdr.msg_iov = destination.fParts;
        message.msg_hdr.msg_iovlen = 2;
        fMessages.push_back(message);
    }
    fSentAny = true;
    fNextSequenceNumber = static_cast<uint16_t>(sequenceNumber + 1);
    unsigned count = static_cast<unsigned>(fMessages.size());
    if (count == 0) return True;
    statsOutgoing.countPacket(bufferSize);
    statsGroupOutgoing.countPacket(bufferSize);
    return sendAll(count) == count;
}

// A destination whose send fails (its route gone, the socket's buffer
// full) loses this packet; the others still get it.
unsigned FanoutGroupsock::sendAll(unsigned count) {
    unsigned done = 0;
    unsigned sent = 0;
    while (done < count) {
        int result = sendmmsg(socketNum(), &fMessages[done], count - done, 0);
        if (result > 0) {
            done += static_cast<unsigned>(result);
            sent += static_cast<unsigned>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else {
            ++done;
        }
    }
    return sent;
}
