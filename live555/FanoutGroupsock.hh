// The RTP socket of a live stream that several UDP clients share: one
// packetization per frame, and each packet goes to every client with one
// sendmmsg call instead of a send (and a scheduled task) per client.
//
// Video packets are gathered until the frame's last one (the marker bit),
// and where the kernel segments UDP itself (UDP_SEGMENT) each client gets
// the frame's run of equally sized packets in one datagram call: the IP
// and UDP work is then done once per run instead of once per packet, and
// the client still receives one datagram per RTP packet.  A client whose
// route refuses that (an older kernel, a path MTU below the packet size,
// as over a VPN) gets its packets one datagram call each from then on;
// the others keep theirs.  Whatever is gathered goes out at the latest
// 2 ms after its first packet.
//
// The socket's send buffer is shared by all clients, so a key frame to
// many of them can fill it faster than the network drains it (on any link
// slower than the burst; loopback never fills it).  What the socket cannot
// take yet waits, in order, and goes out as room comes (tried every
// millisecond, never blocking the loop); newer frames queue behind it.
// Waiting datagrams share their frame's payload and keep only their own
// headers, so a key frame waiting for a hundred clients is held once.
// Beyond a bound the newest packets are dropped, with a trace line.
//
// What each client sees stays what a stream of its own would give it:
// - for video (codec 264 or 265) a destination receives nothing until a
//   packet that starts a key picture (an IDR slice for H.264, an IRAP
//   picture for H.265), so a client joining mid-GOP starts decoding there;
// - its sequence numbers run on from the number the sink promised it when
//   it was added (the RTP-Info of its PLAY), so the packets held back before
//   the key picture are not counted as lost.
// SSRC and timestamps are the shared sink's, as are the RTCP reports.
//
// Ownership: like any Groupsock, deleted by its owner (the stream state of
// the subsession); it owns its destination records.
#ifndef YVK_FANOUT_GROUPSOCK_HH
#define YVK_FANOUT_GROUPSOCK_HH

#include <Groupsock.hh>

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class FanoutGroupsock : public Groupsock {
public:
    // A socket bound to port on the wildcard address of bindAddress's family;
    // null when the port cannot be had.  codec: 264, 265, or 0 for a stream
    // that every destination receives from its next packet on.
    static FanoutGroupsock* createNew(UsageEnvironment& env, struct sockaddr_storage const& bindAddress, Port port,
                                      int codec);
    ~FanoutGroupsock() override;

    // Whether an RTP packet (header included) carries the start of a key
    // picture: a single NAL unit, the first fragment of one, or an
    // aggregation holding one.
    static bool startsKeyPicture(int codec, unsigned char const* packet, unsigned size);

    // Destinations that receive packets (a key picture has reached them).
    unsigned openDestinations() const;

    // Sends what has been gathered.
    void flush();

    destRecord* createNewDestRecord(struct sockaddr_storage const& addr, Port const& port, u_int8_t ttl,
                                    unsigned sessionId, destRecord* next) override;
    Boolean output(UsageEnvironment& env, unsigned char* buffer, unsigned bufferSize) override;

protected:
    FanoutGroupsock(UsageEnvironment& env, struct sockaddr_storage const& bindAddress, Port port, int codec);

private:
    class Destination;
    struct SegmentControl;
    struct Batch;
    struct Pending;
    void openAt(Destination& destination, uint16_t sequenceNumber);
    bool joinsBatch(unsigned char const* packet, unsigned size, bool keyStart) const;
    void append(unsigned char const* packet, unsigned size);
    unsigned buildMessages();
    void sendAll(unsigned count);
    void stopSegmenting(Destination& destination, int error);
    Destination* destinationAt(struct sockaddr_storage const& address) const;
    void keep(unsigned first, unsigned count);
    void sendPending();
    void scheduleRetry();
    void splitFront();
    static void flushTask(void* groupsock);
    static void retryTask(void* groupsock);

    int fCodec;
    bool fSentAny = false;            // a packet has been handed to output
    uint16_t fNextSequenceNumber = 0; // of the packet after the last one handed to output
    TaskToken fFlushTask = nullptr;

    // The gathered packets (never null); shared with the datagrams that
    // wait for room.
    std::shared_ptr<Batch> fBatch;

    // One message per open destination (per packet and destination without
    // segmentation), with each destination's copies of the headers.
    std::vector<struct mmsghdr> fMessages;
    std::vector<struct iovec> fParts;
    std::vector<unsigned char> fHeaders;
    std::vector<SegmentControl> fControls;

    // Datagrams waiting for room in the socket, oldest first, and the
    // memory they hold (each frame's payload once, their own headers).
    std::deque<Pending> fPending;
    std::vector<struct iovec> fPendingParts;
    size_t fPendingBytes = 0;
    unsigned fDroppedPackets = 0; // since the wait began
    TaskToken fRetryTask = nullptr;
};

#endif // YVK_FANOUT_GROUPSOCK_HH
