// The socket that sends a shared live stream's RTP packets to all its UDP
// clients: which packets start a key picture, who receives what, and the
// sequence numbers each client sees.
#include "FanoutGroupsock.hh"
#include "EventLoop.hh"
#include "LiveTestSupport.hh"
#include "NetNamespace.hh"
#include "Process.hh"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

// An RTP packet: version 2, payload type 96, the given sequence number, a
// fixed timestamp and SSRC, then the payload.  The marker bit, set by
// default, ends a frame.
Bytes rtp(uint16_t sequenceNumber, Bytes payload, Bytes extraHeader = {}, uint8_t firstByte = 0x80,
          bool marker = true, uint8_t timestamp = 0x10) {
    Bytes packet{firstByte, uint8_t(marker ? 0xe0 : 96), uint8_t(sequenceNumber >> 8), uint8_t(sequenceNumber),
                 0, 0, timestamp, 0, 0x11, 0x22, 0x33, 0x44};
    packet.insert(packet.end(), extraHeader.begin(), extraHeader.end());
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

// An H.264 FU-A packet of size bytes (filled with its sequence number) with
// the given fragment header: start bit, end bit, the slice's type.
Bytes fuA(uint16_t sequenceNumber, uint8_t fuHeader, bool marker, size_t size = 1400, uint8_t timestamp = 0x10) {
    Bytes payload(size, uint8_t(sequenceNumber));
    payload[0] = 0x7c;
    payload[1] = fuHeader;
    return rtp(sequenceNumber, payload, {}, 0x80, marker, timestamp);
}

TEST(FanoutKeyPictures, SingleFragmentedAndAggregatedUnits) {
    struct Case {
        int codec;
        Bytes packet;
        bool key;
        const char* what;
    };
    const Case cases[] = {
        {264, rtp(1, {0x65, 0x88}), true, "IDR slice"},
        {264, rtp(1, {0x25, 0x88}), true, "IDR slice of a lower reference priority"},
        {264, rtp(1, {0x41, 0x9a}), false, "non-IDR slice"},
        {264, rtp(1, {0x67, 0x42}), false, "SPS alone"},
        {264, rtp(1, {0x7c, 0x85, 0x88}), true, "FU-A, first fragment of an IDR slice"},
        {264, rtp(1, {0x7c, 0x05, 0x88}), false, "FU-A, later fragment of an IDR slice"},
        {264, rtp(1, {0x7c, 0x81, 0x9a}), false, "FU-A, first fragment of a non-IDR slice"},
        {264, rtp(1, {0x7c}), false, "FU-A without its fragment header"},
        {264, rtp(1, {0x18, 0, 2, 0x67, 0x42, 0, 1, 0x68, 0, 2, 0x65, 0x88}), true, "STAP-A: SPS, PPS, IDR"},
        {264, rtp(1, {0x18, 0, 2, 0x67, 0x42, 0, 1, 0x68}), false, "STAP-A: SPS, PPS"},
        {264, rtp(1, {0x18, 0, 9, 0x67, 0x42}), false, "STAP-A with a size past the packet"},
        {265, rtp(1, {0x26, 0x01, 0xaf}), true, "IDR_W_RADL"},
        {265, rtp(1, {0x2a, 0x01, 0xaf}), true, "CRA"},
        {265, rtp(1, {0x02, 0x01, 0xd0}), false, "TRAIL_R"},
        {265, rtp(1, {0x42, 0x01, 0x01}), false, "SPS alone"},
        {265, rtp(1, {0x62, 0x01, 0x93, 0xaf}), true, "FU, first fragment of IDR_W_RADL"},
        {265, rtp(1, {0x62, 0x01, 0x13, 0xaf}), false, "FU, later fragment of IDR_W_RADL"},
        {265, rtp(1, {0x62, 0x01, 0x81, 0xd0}), false, "FU, first fragment of TRAIL_R"},
        {265, rtp(1, {0x60, 0x01, 0, 2, 0x40, 0x01, 0, 3, 0x26, 0x01, 0xaf}), true, "AP: VPS, IDR"},
        {264, rtp(1, {0x65}, {0, 0, 0, 1}, 0x81), true, "IDR behind one CSRC"},
        {264, rtp(1, {0x65}, {0xbe, 0xde, 0, 1, 1, 2, 3, 4}, 0x90), true, "IDR behind a header extension"},
        {264, rtp(1, {}, {0xbe, 0xde, 0, 9}, 0x90), false, "header extension past the packet"},
        {264, rtp(1, {}), false, "header only"},
        {264, Bytes{0x80, 96, 0, 1}, false, "truncated header"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FanoutGroupsock::startsKeyPicture(c.codec, c.packet.data(), unsigned(c.packet.size())), c.key)
            << c.what;
    }
}

// A client's UDP socket on loopback; loopback delivers within the send, so
// what was sent can be read at once.  wholeSegmentedSends: a segmented send
// arrives as one datagram (UDP_GRO), not cut into its packets.
class Receiver {
public:
    explicit Receiver(const char* ip = "127.0.0.1", bool wholeSegmentedSends = false) {
        fSocket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int on = 1;
        if (wholeSegmentedSends) setsockopt(fSocket, IPPROTO_UDP, UDP_GRO, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &address.sin_addr);
        bind(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fSocket, reinterpret_cast<sockaddr*>(&address), &length);
        std::memcpy(&fAddress, &address, sizeof address);
        fPort = Port(ntohs(address.sin_port));
    }
    ~Receiver() { close(fSocket); }
    std::vector<Bytes> drain() {
        std::vector<Bytes> packets;
        Bytes buffer(65536);
        ssize_t n;
        while ((n = recv(fSocket, buffer.data(), buffer.size(), 0)) >= 0) {
            packets.emplace_back(buffer.begin(), buffer.begin() + n);
        }
        return packets;
    }

    sockaddr_storage fAddress{};
    Port fPort{0};

private:
    int fSocket = -1;
};

uint16_t sequenceNumberOf(const Bytes& packet) { return uint16_t(packet[2] << 8 | packet[3]); }

class Fanout : public yvk::test::LiveEnvironment {
protected:
    FanoutGroupsock* make(int codec) {
        sockaddr_storage wildcard{};
        wildcard.ss_family = AF_INET;
        fGroupsock = FanoutGroupsock::createNew(env(), wildcard, Port(0), codec);
        return fGroupsock;
    }
    void send(Bytes packet) { EXPECT_TRUE(fGroupsock->output(env(), packet.data(), unsigned(packet.size()))); }
    void add(Receiver& receiver, unsigned sessionId) {
        fGroupsock->addDestination(receiver.fAddress, receiver.fPort, sessionId);
    }
    void TearDown() override { delete fGroupsock; }

    FanoutGroupsock* fGroupsock = nullptr;
};

// Clients from the start get the stream from its first key picture; one
// added later waits for the next key picture and its numbering starts at
// the number it was promised (the one after the last packet sent); one
// removed gets nothing more and the others go on.
TEST_F(Fanout, EachClientStartsAtAKeyPictureWithTheSequenceNumberItWasPromised) {
    ASSERT_NE(make(264), nullptr);
    Receiver first, second, late;
    add(first, 1);
    add(second, 2);
    send(rtp(100, {0x41, 0x9a}));       // before any key picture: nobody
    EXPECT_EQ(fGroupsock->openDestinations(), 0u);
    send(rtp(101, {0x7c, 0x85, 0x88}, {}, 0x80, false)); // first fragment of an IDR slice
    send(rtp(102, {0x7c, 0x45, 0x88}));                  // its last fragment, ending the frame
    send(rtp(103, {0x41, 0x9a}));
    EXPECT_EQ(fGroupsock->openDestinations(), 2u);
    for (Receiver* receiver : {&first, &second}) {
        std::vector<Bytes> packets = receiver->drain();
        ASSERT_EQ(packets.size(), 3u);
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i], rtp(uint16_t(101 + i), i == 0 ? Bytes{0x7c, 0x85, 0x88}
                                                              : i == 1 ? Bytes{0x7c, 0x45, 0x88}
                                                                       : Bytes{0x41, 0x9a},
                                      {}, 0x80, i != 0));
        }
    }

    add(late, 3); // promised 104
    send(rtp(104, {0x41, 0x9a}));
    send(rtp(105, {0x7c, 0x81, 0x9a}, {}, 0x80, false)); // a fragmented non-IDR slice does not open
    EXPECT_TRUE(late.drain().empty());
    send(rtp(106, {0x65, 0x88}));
    send(rtp(107, {0x41, 0x9a}));
    std::vector<Bytes> latePackets = late.drain();
    ASSERT_EQ(latePackets.size(), 2u);
    EXPECT_EQ(latePackets[0], rtp(104, {0x65, 0x88}));
    EXPECT_EQ(latePackets[1], rtp(105, {0x41, 0x9a}));
    EXPECT_EQ(first.drain().size(), 4u); // 105 went out when 106 began a key picture

    fGroupsock->removeDestination(2);
    send(rtp(108, {0x41, 0x9a}));
    EXPECT_EQ(second.drain().size(), 4u); // 104 to 107 only
    ASSERT_EQ(first.drain().size(), 1u);
    std::vector<Bytes> last = late.drain();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(sequenceNumberOf(last[0]), 106);
    EXPECT_EQ(fGroupsock->openDestinations(), 2u);
}

// Audio has no key pictures: a client receives from the next packet on.
// Numbers wrap at 65535 for the shifted client as for the stream.
TEST_F(Fanout, WithoutACodecEveryPacketOpensAndNumbersWrap) {
    ASSERT_NE(make(0), nullptr);
    Receiver early, late;
    add(early, 1);
    send(rtp(65533, {1, 2, 3}));
    add(late, 2); // promised 65534
    send(rtp(65534, {4}));
    send(rtp(65535, {5}));
    send(rtp(0, {6}));
    EXPECT_EQ(early.drain().size(), 4u);
    std::vector<Bytes> packets = late.drain();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(sequenceNumberOf(packets[0]), 65534);
    EXPECT_EQ(sequenceNumberOf(packets[2]), 0);
}

// A key picture while the late client waited shifts its numbers; the gap
// wraps too.
TEST_F(Fanout, ShiftedNumbersWrap) {
    ASSERT_NE(make(265), nullptr);
    Receiver early, late;
    add(early, 1);
    send(rtp(65530, {0x26, 0x01, 0xaf}));
    add(late, 2); // promised 65531
    for (uint16_t seq : {65531, 65532, 65533, 65534, 65535}) send(rtp(seq, {0x02, 0x01, 0xd0}));
    send(rtp(0, {0x62, 0x01, 0x93, 0xaf}));
    send(rtp(1, {0x02, 0x01, 0xd0}));
    std::vector<Bytes> packets = late.drain();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(sequenceNumberOf(packets[0]), 65531);
    EXPECT_EQ(sequenceNumberOf(packets[1]), 65532);
    EXPECT_EQ(early.drain().size(), 8u);
}

// A frame of equally sized fragments and a shorter last one goes out
// when its marker comes, as one datagram per packet, whether the kernel cut
// it from one segmented send or not (two clients sharing a run: above).  A
// larger packet or a new timestamp starts another run; a frame whose marker
// never comes goes out within a few milliseconds.
TEST_F(Fanout, AFrameGoesOutAtItsMarkerAsOneDatagramPerPacket) {
    ASSERT_NE(make(264), nullptr);
    Receiver client;
    add(client, 1);
    send(rtp(10, {0x65, 0x88}));
    EXPECT_EQ(client.drain().size(), 1u);
    std::vector<Bytes> frame = {fuA(11, 0x85, false),       fuA(12, 0x05, false),       fuA(13, 0x05, false),
                                fuA(14, 0x05, false, 1450), fuA(15, 0x05, false, 1450), fuA(16, 0x45, true, 300)};
    for (size_t i = 0; i < 3; ++i) send(frame[i]);
    EXPECT_TRUE(client.drain().empty()); // gathered
    send(frame[3]);                      // larger: the first run goes
    std::vector<Bytes> received = client.drain();
    EXPECT_EQ(received.size(), 3u);
    send(frame[4]);
    EXPECT_TRUE(client.drain().empty());
    send(frame[5]); // shorter, with the marker: the second run goes
    for (Bytes& packet : client.drain()) received.push_back(packet);
    EXPECT_EQ(received, frame);

    send(fuA(17, 0x01, false, 1400, 0x30));
    send(fuA(18, 0x01, false, 1400, 0x30));
    send(fuA(19, 0x81, false, 1400, 0x40)); // the next frame's first fragment
    EXPECT_EQ(client.drain().size(), 2u);
    yvk::test::runLoopFor(env(), 30);
    std::vector<Bytes> rest = client.drain();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(sequenceNumberOf(rest[0]), 19);
}

// Whether a segmented send reaches a receiver that takes it whole as one
// datagram (not so under an emulator that drops the control message).
bool segmentedSendsArriveWhole() {
    Receiver receiver("127.0.0.1", true);
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    Bytes data(3000, 1);
    iovec part{data.data(), data.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr message{};
    message.msg_name = &receiver.fAddress;
    message.msg_namelen = sizeof(sockaddr_in);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    uint16_t segmentSize = 1000;
    std::memcpy(CMSG_DATA(header), &segmentSize, sizeof segmentSize);
    bool sent = sendmsg(sender, &message, 0) == ssize_t(data.size());
    close(sender);
    return sent && receiver.drain().size() == 1;
}

// While in scope, 127.0.0.2's route has a path MTU below the packets' size,
// as over a VPN: the kernel refuses segmented sends to it.
class NarrowRoute {
public:
    NarrowRoute() : fAdded(route("add")) {}
    ~NarrowRoute() {
        if (added()) route("del");
    }
    bool added() const { return fAdded.exitCode == 0; }
    const std::string& error() const { return fAdded.err; }

private:
    static yvk::test::ProcessResult route(const char* command) {
        return yvk::test::runProcess(
            {"ip", "route", command, "local", "127.0.0.2/32", "dev", "lo", "mtu", "lock", "1000", "table", "local"},
            5000);
    }
    yvk::test::ProcessResult fAdded;
};

// A client whose route refuses segmented sends (here a path MTU below the
// packets' size, as over a VPN) gets its packets one datagram call each
// from then on, and one trace line names it; the client beside it still
// gets each frame in one segmented send.
TEST_F(Fanout, AClientWhoseRouteRefusesSegmentationGetsSinglePacketsTheOthersKeepIt) {
    if (!yvk::test::inPrivateNetNamespace()) GTEST_SKIP() << "needs a private network namespace";
    if (!segmentedSendsArriveWhole()) GTEST_SKIP() << "no UDP segmentation here";
    NarrowRoute route;
    ASSERT_TRUE(route.added()) << route.error();
    ASSERT_NE(make(264), nullptr);
    Receiver narrow("127.0.0.2"), wide("127.0.0.1", true);
    add(narrow, 1);
    add(wide, 2);
    testing::internal::CaptureStderr();
    for (uint16_t first : {10, 20}) {
        SCOPED_TRACE(first);
        send(fuA(first, 0x85, false)); // an IDR slice's first fragment
        send(fuA(uint16_t(first + 1), 0x05, false));
        send(fuA(uint16_t(first + 2), 0x45, true));
        std::vector<Bytes> single = narrow.drain();
        EXPECT_EQ(single.size(), 3u);
        if (!single.empty()) {
            EXPECT_EQ(sequenceNumberOf(single.back()), first + 2);
        }
        std::vector<Bytes> whole = wide.drain();
        EXPECT_EQ(whole.size(), 1u);
        if (!whole.empty()) {
            EXPECT_EQ(whole[0].size(), 3 * 1412u);
        }
    }
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("FanoutGroupsock: UDP segmentation refused for 127.0.0.2 port " +
                         std::to_string(ntohs(narrow.fPort.num()))),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("refused"), trace.rfind("refused")) << trace;
}

// Loopback behind a rate limit, as a real link slower than a burst: the
// packets wait in the link's queue still counted against the sending
// socket's buffer, which here is made small.  Eight clients.
class FanoutOnASlowLink : public Fanout {
protected:
    static constexpr unsigned kClients = 8, kPacketsPerFrame = 6;

    void SetUp() override {
        if (!yvk::test::inPrivateNetNamespace()) GTEST_SKIP() << "needs a private network namespace";
        yvk::test::ProcessResult limited = tc({"add", "dev", "lo", "root", "tbf", "rate", "50mbit", "burst", "16kb",
                                               "limit", "16mb"});
        if (limited.exitCode != 0) GTEST_SKIP() << "no rate limit on loopback here: " << limited.err;
        fLimited = true;
        ASSERT_NE(make(264), nullptr);
        int small = 16 * 1024;
        ASSERT_EQ(setsockopt(fGroupsock->socketNum(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
        for (unsigned i = 0; i < kClients; ++i) {
            fClients.push_back(std::make_unique<Receiver>());
            add(*fClients.back(), i + 1);
        }
    }
    void TearDown() override {
        unlimit();
        Fanout::TearDown();
    }
    void limitTo(const char* rate) {
        EXPECT_EQ(tc({"change", "dev", "lo", "root", "tbf", "rate", rate, "burst", "16kb", "limit", "16mb"}).exitCode, 0);
    }
    void unlimit() {
        if (fLimited) tc({"del", "dev", "lo", "root"});
        fLimited = false;
    }
    static yvk::test::ProcessResult tc(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"tc", "qdisc"});
        return yvk::test::runProcess(arguments, 5000);
    }

    // Frames of kPacketsPerFrame fragments of 1400 bytes, numbered on
    // from 100: an IDR slice (unless startWithKey is false), then non-IDR ones.
    void sendFrames(unsigned frames, bool startWithKey = true) {
        for (unsigned frame = 0; frame < frames; ++frame) {
            for (unsigned packet = 0; packet < kPacketsPerFrame; ++packet) {
                bool last = packet + 1 == kPacketsPerFrame;
                bool key = frame == 0 && startWithKey;
                uint8_t fuHeader = uint8_t((key ? 0x05 : 0x01) | (packet == 0 ? 0x80 : 0) | (last ? 0x40 : 0));
                send(fuA(fNextSequenceNumber++, fuHeader, last, 1400, uint8_t(frame)));
            }
        }
    }
    // Reads what each client has; whether every one has count packets.
    bool received(size_t count) {
        bool all = true;
        for (unsigned i = 0; i < fClients.size(); ++i) {
            for (const Bytes& packet : fClients[i]->drain()) fReceived[i].push_back(sequenceNumberOf(packet));
            all = all && fReceived[i].size() >= count;
        }
        return all;
    }

    std::vector<std::unique_ptr<Receiver>> fClients;
    std::vector<uint16_t> fReceived[kClients];
    uint16_t fNextSequenceNumber = 100;
    bool fLimited = false;
};

// What the socket cannot take yet waits and goes out in order as room
// comes, so every client still gets every packet of every frame, each
// with its own numbers: half the clients join later and start at the next
// key picture, numbered from what they were promised.
TEST_F(FanoutOnASlowLink, ABurstBeyondTheSendBufferWaitsAndEveryClientGetsAllOfIt) {
    constexpr unsigned kLate = kClients / 2;
    for (unsigned i = kLate; i < kClients; ++i) fGroupsock->removeDestination(i + 1);
    sendFrames(2);
    uint16_t promised = fNextSequenceNumber;
    for (unsigned i = kLate; i < kClients; ++i) add(*fClients[i], i + 1);
    sendFrames(1, false); // the late ones wait for a key picture
    sendFrames(17);
    const size_t lateCount = 17 * kPacketsPerFrame, earlyCount = 20 * kPacketsPerFrame;
    EXPECT_TRUE(yvk::test::runLoopUntil(
        env(), [&] { return received(lateCount) && fReceived[0].size() >= earlyCount; }, 5000));
    for (unsigned i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        bool late = i >= kLate;
        ASSERT_EQ(fReceived[i].size(), late ? lateCount : earlyCount);
        uint16_t first = late ? promised : 100;
        for (unsigned k = 0; k < fReceived[i].size(); ++k) EXPECT_EQ(fReceived[i][k], first + k);
    }
}

// A link that stays slower than the stream: what waits stays within its
// bound (4 MB of payload; here 700 frames, 5.9 MB, come at once to one
// client), the newest packets beyond it are dropped with a trace line,
// and once the link is fast again the waiting ones go out in order and a
// second line counts the dropped.
TEST_F(FanoutOnASlowLink, WhatWaitsStaysBoundedTheNewestAreDroppedAndCounted) {
    constexpr unsigned kFrames = 700;
    for (unsigned i = 1; i < kClients; ++i) fGroupsock->removeDestination(i + 1);
    fClients.resize(1);
    limitTo("1mbit");
    testing::internal::CaptureStderr();
    sendFrames(kFrames);
    yvk::test::runLoopFor(env(), 20);
    limitTo("50mbit");
    // Until nothing more has come for 100 ms.
    size_t total = 0;
    int quiet = 0;
    yvk::test::runLoopUntil(
        env(),
        [&] {
            received(0);
            size_t now = 0;
            for (const auto& numbers : fReceived) now += numbers.size();
            quiet = now == total ? quiet + 1 : 0;
            total = now;
            return total > 0 && quiet >= 20;
        },
        5000);
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find(" kB wait for the network; newer packets are dropped until it takes them"), std::string::npos)
        << trace;
    std::string counted = "FanoutGroupsock: the network took the waiting packets; ";
    size_t at = trace.find(counted);
    ASSERT_NE(at, std::string::npos) << trace;
    unsigned long dropped = std::stoul(trace.substr(at + counted.size()));
    EXPECT_EQ(dropped, kFrames * kPacketsPerFrame - total) << trace;
    EXPECT_LT(total * 1412, size_t(4.5 * 1024 * 1024)); // the bound and the socket's buffer
    for (unsigned i = 0; i < fClients.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(fReceived[i].size(), kPacketsPerFrame);
        for (unsigned k = 1; k < fReceived[i].size(); ++k) EXPECT_GT(fReceived[i][k], fReceived[i][k - 1]);
    }
}

// A client whose route refuses segmented sends, met in a frame larger than
// the link and the socket's buffer take at once: its run goes one datagram
// at a time through the waiting queue, so none of it is lost.
TEST_F(FanoutOnASlowLink, ARefusedRunLargerThanTheSendBufferIsNotCutShort) {
    constexpr uint16_t kPackets = 30; // 42 kB: beyond the link's 16 kB burst and the socket's 8 kB
    if (!segmentedSendsArriveWhole()) GTEST_SKIP() << "no UDP segmentation here";
    NarrowRoute route;
    ASSERT_TRUE(route.added()) << route.error();
    for (unsigned i = 0; i < kClients; ++i) fGroupsock->removeDestination(i + 1);
    fClients.clear();
    int tiny = 4096;
    ASSERT_EQ(setsockopt(fGroupsock->socketNum(), SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    Receiver narrow("127.0.0.2");
    add(narrow, kClients + 1);
    testing::internal::CaptureStderr();
    for (uint16_t packet = 0; packet < kPackets; ++packet) {
        bool last = packet + 1 == kPackets;
        send(fuA(uint16_t(100 + packet), uint8_t(0x05 | (packet == 0 ? 0x80 : 0) | (last ? 0x40 : 0)), last));
    }
    std::vector<uint16_t> numbers;
    yvk::test::runLoopUntil(
        env(),
        [&] {
            for (const Bytes& packet : narrow.drain()) numbers.push_back(sequenceNumberOf(packet));
            return numbers.size() >= kPackets;
        },
        5000);
    std::string trace = testing::internal::GetCapturedStderr();
    ASSERT_EQ(numbers.size(), kPackets) << trace;
    for (uint16_t k = 0; k < kPackets; ++k) EXPECT_EQ(numbers[k], 100 + k);
    EXPECT_NE(trace.find("FanoutGroupsock: UDP segmentation refused for 127.0.0.2 port "), std::string::npos) << trace;
}

// The same refusal met while the socket is full and the run already waits:
// the client is still named once and gets its packets one datagram each,
// as do the clients before it in the queue get theirs whole.
TEST_F(FanoutOnASlowLink, ARefusalMetWhileWaitingIsNamedOnceAndLosesNothing) {
    constexpr unsigned kFrames = 10;
    if (!segmentedSendsArriveWhole()) GTEST_SKIP() << "no UDP segmentation here";
    NarrowRoute route;
    ASSERT_TRUE(route.added()) << route.error();
    // The narrow client added first is sent to last: the others fill the
    // socket before its first run is tried.
    for (unsigned i = 0; i < kClients; ++i) fGroupsock->removeDestination(i + 1);
    Receiver narrow("127.0.0.2");
    add(narrow, kClients + 1);
    for (unsigned i = 0; i < kClients; ++i) add(*fClients[i], i + 1);
    int tiny = 4096;
    ASSERT_EQ(setsockopt(fGroupsock->socketNum(), SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny), 0);
    testing::internal::CaptureStderr();
    sendFrames(kFrames);
    std::vector<uint16_t> numbers;
    yvk::test::runLoopUntil(
        env(),
        [&] {
            for (const Bytes& packet : narrow.drain()) numbers.push_back(sequenceNumberOf(packet));
            return received(kFrames * kPacketsPerFrame) && numbers.size() >= kFrames * kPacketsPerFrame;
        },
        5000);
    std::string trace = testing::internal::GetCapturedStderr();
    ASSERT_EQ(numbers.size(), kFrames * kPacketsPerFrame) << trace;
    for (unsigned k = 0; k < numbers.size(); ++k) EXPECT_EQ(numbers[k], 100 + k);
    for (unsigned i = 0; i < kClients; ++i) EXPECT_EQ(fReceived[i].size(), kFrames * kPacketsPerFrame) << i;
    EXPECT_NE(trace.find("FanoutGroupsock: UDP segmentation refused for 127.0.0.2 port "), std::string::npos) << trace;
    EXPECT_EQ(trace.find("refused for"), trace.rfind("refused for")) << trace;
}

} // namespace
