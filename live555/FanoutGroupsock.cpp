#include "FanoutGroupsock.hh"

#include "ReplicaGate.hh"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned kRtpHeaderSize = 12;
// Segmentation limits of the kernel: segments per call, and one UDP
// datagram's payload before it is cut (IPv6 header assumed).
constexpr unsigned kMaxSegments = 64;
constexpr unsigned kMaxSegmentedBytes = 65535 - 8 - 40;
constexpr int64_t kFlushDelayUs = 2000;
// The socket's send buffer asked for (the kernel doubles it), what may wait
// beyond it, how often the socket is tried again, and how many waiting
// datagrams go per call.
constexpr int kSendBufferBytes = 1 << 20;
constexpr size_t kMaxPendingBytes = 4 << 20;
constexpr int64_t kRetryDelayUs = 1000;
constexpr unsigned kPendingPerCall = 32;
constexpr unsigned kH264FuA = 28;
constexpr unsigned kH264FuB = 29;
constexpr unsigned kH264StapA = 24;
constexpr unsigned kH265Aggregation = 48;
constexpr unsigned kH265Fragment = 49;

uint16_t sequenceNumberOf(unsigned char const* packet) {
    return static_cast<uint16_t>(packet[2] << 8 | packet[3]);
}

bool hasMarker(unsigned char const* packet) {
    return (packet[1] & 0x80) != 0;
}

bool sameTimestamp(unsigned char const* packet, unsigned char const* other) {
    return std::memcmp(packet + 4, other + 4, 4) == 0;
}

// Errors by which a socket says its send buffer is full.
bool socketFull(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
}

// Errors by which a kernel or a route refuses to segment.
bool refusesSegmentation(int error) {
    return error == EIO || error == EINVAL || error == EMSGSIZE || error == ENOPROTOOPT || error == EOPNOTSUPP;
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
    bool fSegmentable = true;      // its route takes UDP_SEGMENT (until it refuses it)
    bool fFirstKnown;              // fFirstSequenceNumber is the one promised at PLAY
    uint16_t fFirstSequenceNumber;
    uint16_t fOffset = 0;          // shared minus own sequence number
};

struct FanoutGroupsock::SegmentControl {
    alignas(struct cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(uint16_t))];

    // Asks the kernel to cut the message into datagrams of segmentSize.
    void attachTo(msghdr& message, uint16_t segmentSize) {
        message.msg_control = bytes;
        message.msg_controllen = sizeof bytes;
        cmsghdr* control = CMSG_FIRSTHDR(&message);
        control->cmsg_level = SOL_UDP;
        control->cmsg_type = UDP_SEGMENT;
        control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        std::memcpy(CMSG_DATA(control), &segmentSize, sizeof segmentSize);
    }
};

// Packets gathered for one send: back to back, with their sizes.
struct FanoutGroupsock::Batch {
    std::vector<unsigned char> bytes;
    std::vector<unsigned> sizes;
};

// A datagram call the socket could not take yet: packets [first, first +
// count) of a batch with this destination's own headers, segmented or one.
struct FanoutGroupsock::Pending {
    struct sockaddr_storage address;
    socklen_t addressLength;
    std::shared_ptr<Batch> batch;
    unsigned first;      // packet index
    size_t firstOffset;  // where that packet starts in the batch
    unsigned count;
    bool segmented;
    std::vector<unsigned char> headers; // kRtpHeaderSize per packet
    size_t releases = 0;                // batch bytes the bound gets back when this one is done

    size_t bytesHeld() const { return headers.size() + releases; }
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
    : Groupsock(env, bindAddress, port, 255), fCodec(codec), fBatch(std::make_shared<Batch>()) {
    // The base made its record of the bound address before our records could
    // be made: every record in the list must be one of ours.
    removeAllDestinations();
    // Room for a key frame to many clients at once: beyond the system's
    // limit (net.core.wmem_max) where the process may, else up to it.
    int size = kSendBufferBytes;
    if (socketNum() >= 0 && setsockopt(socketNum(), SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(socketNum(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
}

FanoutGroupsock::~FanoutGroupsock() {
    env().taskScheduler().unscheduleDelayedTask(fFlushTask);
    env().taskScheduler().unscheduleDelayedTask(fRetryTask);
}

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
    if (!joinsBatch(buffer, bufferSize, keyStart)) flush();
    if (keyStart) {
        for (destRecord* record = fDests; record != nullptr; record = record->fNext) {
            auto& destination = static_cast<Destination&>(*record);
            if (!destination.fOpen) openAt(destination, sequenceNumber);
        }
    }
    append(buffer, bufferSize);
    fSentAny = true;
    fNextSequenceNumber = static_cast<uint16_t>(sequenceNumber + 1);
    if (fCodec == 0 || hasMarker(buffer)) {
        flush();
    } else if (fFlushTask == nullptr) {
        fFlushTask = env().taskScheduler().scheduleDelayedTask(kFlushDelayUs, flushTask, this);
    }
    return True;
}

// A packet joins the gathered ones when all of them can go in one
// segmented datagram: the same frame, the size of the first (only the last
// may be shorter), within the kernel's limits.  A key picture's first
// packet starts a new batch, since destinations open at it.
bool FanoutGroupsock::joinsBatch(unsigned char const* packet, unsigned size, bool keyStart) const {
    auto const& sizes = fBatch->sizes;
    if (sizes.empty()) return true;
    unsigned segmentSize = sizes.front();
    return !keyStart && sizes.back() == segmentSize && size <= segmentSize &&
           sameTimestamp(packet, fBatch->bytes.data()) && sizes.size() < kMaxSegments &&
           fBatch->bytes.size() + size <= kMaxSegmentedBytes;
}

void FanoutGroupsock::append(unsigned char const* packet, unsigned size) {
    fBatch->bytes.insert(fBatch->bytes.end(), packet, packet + size);
    fBatch->sizes.push_back(size);
}

void FanoutGroupsock::flushTask(void* groupsock) {
    auto* self = static_cast<FanoutGroupsock*>(groupsock);
    self->fFlushTask = nullptr;
    self->flush();
}

void FanoutGroupsock::flush() {
    env().taskScheduler().unscheduleDelayedTask(fFlushTask);
    if (fBatch->sizes.empty()) return;
    unsigned count = buildMessages();
    if (count > 0) {
        for (unsigned size : fBatch->sizes) {
            statsOutgoing.countPacket(size);
            statsGroupOutgoing.countPacket(size);
        }
        // Nothing overtakes what waits for room.
        if (!fPending.empty()) sendPending();
        if (fPending.empty()) {
            sendAll(count);
        } else {
            keep(0, count);
        }
    }
    if (fBatch.use_count() > 1) { // the waiting datagrams keep this one
        auto fresh = std::make_shared<Batch>();
        fresh->bytes.reserve(fBatch->bytes.capacity());
        fBatch = std::move(fresh);
    } else {
        fBatch->bytes.clear();
        fBatch->sizes.clear();
    }
}

// Per open destination its copy of every header (its own sequence
// numbers) beside the shared payloads; one segmented message per
// destination, or one message per packet and destination.
unsigned FanoutGroupsock::buildMessages() {
    auto packets = static_cast<unsigned>(fBatch->sizes.size());
    unsigned destinations = 0;
    size_t messages = 0;
    for (destRecord* record = fDests; record != nullptr; record = record->fNext) {
        auto& destination = static_cast<Destination&>(*record);
        if (!destination.fOpen) continue;
        ++destinations;
        messages += destination.fSegmentable && packets > 1 ? 1 : packets;
    }
    fMessages.assign(messages, mmsghdr{});
    fParts.resize(size_t(destinations) * packets * 2);
    fHeaders.resize(size_t(destinations) * packets * kRtpHeaderSize);
    fControls.resize(destinations);
    unsigned message = 0;
    size_t part = 0;
    unsigned index = 0;
    for (destRecord* record = fDests; record != nullptr; record = record->fNext) {
        auto& destination = static_cast<Destination&>(*record);
        if (!destination.fOpen) continue;
        const bool segmented = destination.fSegmentable && packets > 1;
        size_t firstPart = part;
        size_t offset = 0;
        for (unsigned size : fBatch->sizes) {
            unsigned char* header = &fHeaders[part / 2 * kRtpHeaderSize];
            std::memcpy(header, &fBatch->bytes[offset], kRtpHeaderSize);
            auto own = static_cast<uint16_t>(sequenceNumberOf(header) - destination.fOffset);
            header[2] = static_cast<unsigned char>(own >> 8);
            header[3] = static_cast<unsigned char>(own & 0xff);
            fParts[part] = {header, kRtpHeaderSize};
            fParts[part + 1] = {&fBatch->bytes[offset + kRtpHeaderSize], size - kRtpHeaderSize};
            if (!segmented) {
                msghdr& h = fMessages[message++].msg_hdr;
                h.msg_name = &destination.fAddress;
                h.msg_namelen = destination.fAddressLength;
                h.msg_iov = &fParts[part];
                h.msg_iovlen = 2;
            }
            part += 2;
            offset += size;
        }
        if (segmented) {
            msghdr& h = fMessages[message++].msg_hdr;
            h.msg_name = &destination.fAddress;
            h.msg_namelen = destination.fAddressLength;
            h.msg_iov = &fParts[firstPart];
            h.msg_iovlen = part - firstPart;
            fControls[index].attachTo(h, static_cast<uint16_t>(fBatch->sizes.front()));
        }
        ++index;
    }
    return message;
}

// A destination whose send fails (its route gone) loses these packets; the
// others still get them.  A refused segmentation sends that destination's
// packets one by one.  When the socket's buffer is full, the rest waits.
void FanoutGroupsock::sendAll(unsigned count) {
    unsigned done = 0;
    while (done < count) {
        int result = sendmmsg(socketNum(), &fMessages[done], count - done, MSG_DONTWAIT);
        if (result > 0) {
            done += static_cast<unsigned>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && socketFull(errno)) {
            keep(done, count);
            return;
        }
        if (result < 0 && fMessages[done].msg_hdr.msg_controllen != 0 && refusesSegmentation(errno)) {
            // The waiting queue meets the refusal again, names the client
            // and sends its run one datagram at a time, waiting for room.
            keep(done, count);
            sendPending();
            return;
        }
        ++done;
    }
}

void FanoutGroupsock::stopSegmenting(Destination& destination, int error) {
    if (!destination.fSegmentable) return;
    destination.fSegmentable = false;
    env() << "FanoutGroupsock: UDP segmentation refused for " << AddressString(destination.fAddress).val() << " port "
          << ntohs(portNum(destination.fAddress)) << " (" << strerror(error)
          << "); its packets now go one datagram call each\n";
}

FanoutGroupsock::Destination* FanoutGroupsock::destinationAt(struct sockaddr_storage const& address) const {
    for (destRecord* record = fDests; record != nullptr; record = record->fNext) {
        auto* destination = static_cast<Destination*>(record);
        if (destination->fAddress == address && portNum(destination->fAddress) == portNum(address)) return destination;
    }
    return nullptr;
}

// Messages [first, count) wait for room in the socket: each keeps its
// headers and shares the batch's payload, counted once against the bound;
// beyond the bound they are dropped.
void FanoutGroupsock::keep(unsigned first, unsigned count) {
    Batch& batch = *fBatch;
    auto packetsInBatch = static_cast<unsigned>(batch.sizes.size());
    size_t batchBytes = batch.bytes.size();
    Pending* last = nullptr;
    for (unsigned i = first; i < count; ++i) {
        msghdr const& h = fMessages[i].msg_hdr;
        auto packets = static_cast<unsigned>(h.msg_iovlen / 2);
        size_t held = size_t(packets) * kRtpHeaderSize + (last == nullptr ? batchBytes : 0);
        if (fPendingBytes + held > kMaxPendingBytes) {
            if (fDroppedPackets == 0) {
                env() << "FanoutGroupsock: " << unsigned(fPendingBytes / 1024)
                      << " kB wait for the network; newer packets are dropped until it takes them\n";
            }
            fDroppedPackets += packets;
            continue;
        }
        Pending& pending = fPending.emplace_back();
        std::memcpy(&pending.address, h.msg_name, h.msg_namelen);
        pending.addressLength = h.msg_namelen;
        pending.batch = fBatch;
        // Each destination's parts run over the batch's packets in order.
        pending.first = static_cast<unsigned>((h.msg_iov - fParts.data()) / 2 % packetsInBatch);
        auto const* payload = static_cast<unsigned char const*>(h.msg_iov[1].iov_base);
        pending.firstOffset = size_t(payload - batch.bytes.data()) - kRtpHeaderSize;
        pending.count = packets;
        pending.segmented = h.msg_controllen != 0;
        pending.headers.resize(size_t(packets) * kRtpHeaderSize);
        for (unsigned k = 0; k < packets; ++k) {
            std::memcpy(&pending.headers[k * kRtpHeaderSize], h.msg_iov[2 * k].iov_base, kRtpHeaderSize);
        }
        fPendingBytes += held;
        last = &pending;
    }
    if (last != nullptr) last->releases = batchBytes;
    if (!fPending.empty()) scheduleRetry();
}

void FanoutGroupsock::scheduleRetry() {
    if (fRetryTask == nullptr) {
        fRetryTask = env().taskScheduler().scheduleDelayedTask(kRetryDelayUs, retryTask, this);
    }
}

// Sends waiting datagrams, oldest first, while the socket takes them.
void FanoutGroupsock::sendPending() {
    mmsghdr messages[kPendingPerCall];
    SegmentControl controls[kPendingPerCall];
    while (!fPending.empty()) {
        auto calls = static_cast<unsigned>(std::min<size_t>(fPending.size(), kPendingPerCall));
        size_t parts = 0;
        for (unsigned i = 0; i < calls; ++i) parts += 2 * size_t(fPending[i].count);
        fPendingParts.resize(parts);
        size_t part = 0;
        for (unsigned i = 0; i < calls; ++i) {
            Pending& pending = fPending[i];
            messages[i] = mmsghdr{};
            msghdr& h = messages[i].msg_hdr;
            h.msg_name = &pending.address;
            h.msg_namelen = pending.addressLength;
            h.msg_iov = &fPendingParts[part];
            h.msg_iovlen = 2 * size_t(pending.count);
            Batch& batch = *pending.batch;
            size_t offset = pending.firstOffset;
            for (unsigned k = 0; k < pending.count; ++k) {
                unsigned size = batch.sizes[pending.first + k];
                fPendingParts[part++] = {&pending.headers[k * kRtpHeaderSize], kRtpHeaderSize};
                fPendingParts[part++] = {&batch.bytes[offset + kRtpHeaderSize], size - kRtpHeaderSize};
                offset += size;
            }
            if (pending.segmented) {
                controls[i].attachTo(h, static_cast<uint16_t>(pending.batch->sizes[pending.first]));
            }
        }
        int result = sendmmsg(socketNum(), messages, calls, MSG_DONTWAIT);
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && socketFull(errno)) {
            scheduleRetry();
            return;
        }
        if (result < 0 && fPending.front().segmented && refusesSegmentation(errno)) {
            if (Destination* destination = destinationAt(fPending.front().address)) stopSegmenting(*destination, errno);
            splitFront();
            continue;
        }
        // Sent, or refused for good (the client's route gone): done with them.
        for (int i = 0; i < std::max(result, 1); ++i) {
            fPendingBytes -= fPending.front().bytesHeld();
            fPending.pop_front();
        }
    }
    if (fDroppedPackets != 0) {
        env() << "FanoutGroupsock: the network took the waiting packets; " << fDroppedPackets
              << " newer ones were dropped meanwhile\n";
        fDroppedPackets = 0;
    }
}

// The first waiting run as one datagram per packet, for a route that
// refuses segmentation.
void FanoutGroupsock::splitFront() {
    Pending run = std::move(fPending.front());
    fPending.pop_front();
    size_t end = run.firstOffset;
    for (unsigned k = 0; k < run.count; ++k) end += run.batch->sizes[run.first + k];
    for (unsigned k = run.count; k-- > 0;) {
        end -= run.batch->sizes[run.first + k];
        Pending& single = fPending.emplace_front();
        single.address = run.address;
        single.addressLength = run.addressLength;
        single.batch = run.batch;
        single.first = run.first + k;
        single.firstOffset = end;
        single.count = 1;
        single.segmented = false;
        single.headers.assign(run.headers.begin() + long(k * kRtpHeaderSize),
                              run.headers.begin() + long((k + 1) * kRtpHeaderSize));
        if (k + 1 == run.count) single.releases = run.releases;
    }
}

void FanoutGroupsock::retryTask(void* groupsock) {
    auto* self = static_cast<FanoutGroupsock*>(groupsock);
    self->fRetryTask = nullptr;
    self->sendPending();
}
