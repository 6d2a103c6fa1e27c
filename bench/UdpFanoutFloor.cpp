// yvk_udp_floor: what the kernel alone charges a sender for each added client
// of a live stream, with no server around it.  It sends the RTP packets of an
// H.264 file at 25 frames a second to N UDP destinations from one socket, in
// one of two ways:
//
//   segmented  each client's run of equal-sized packets of a frame as one
//              UDP_SEGMENT datagram of a sendmmsg, as the library's fan-out
//              sends;
//   datagrams  one sendmmsg message per packet and client, as
//              gst-rtsp-server's multiudpsink sends.
//
// and three that weigh zero-copy sending (MSG_ZEROCOPY), which the library
// does not use:
//
//   zerocopy         segmented, zero-copy; a datagram then holds at most 17
//                    page fragments, so runs are cut to 5 packets;
//   shared           segmented, but every client gets the same bytes (one
//                    SSRC and sequence for all, headers in place), one
//                    iovec a run;
//   shared-zerocopy  shared, zero-copy, full runs.
//
//   yvk_udp_floor send --mode MODE --clients N --to ADDR
//                 --port P --input FILE.h264 [--seconds S] [--warmup W]
//   yvk_udp_floor receive --clients N --port P --seconds S
//
// The sender prints "mode=... clients=N cpu=PERCENT sent=PACKETS late=TICKS":
// its CPU over the S-second window after the warm-up (the scheduler's running
// time, nanoseconds), the packets it sent in all and how many 40 ms ticks it
// missed; zero-copy modes add the kernel's completions, how many sends it
// copied after all and how many went as copies for want of option memory.
// The receiver drains ports P to P+N-1 and prints "received=PACKETS
// late=PACKETS", the late ones having come after a packet numbered above them.
// bench/fanout_floor.sh runs both ways side by side.
#include <netinet/in.h>
#include <netinet/udp.h>
#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

constexpr size_t kRtpHeader = 12;
constexpr size_t kMaxPayload = 1456 - kRtpHeader; // live555's default packet size
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxSegmentedBytes = 65535 - 8 - 40;
constexpr size_t kBatch = 1024; // messages per sendmmsg
constexpr long kFrameNs = 40'000'000;

struct Packet {
    const uint8_t* data;
    size_t size;
};
using Frame = std::vector<Packet>;

// The file's pictures as RTP payloads: a NAL unit that fits goes alone, a
// larger one in fragments of kMaxPayload bytes (their content does not
// matter here, only their sizes).  Parameter sets and SEI join the picture
// that follows them.
std::vector<Frame> readFrames(const std::vector<uint8_t>& bytes) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= bytes.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) starts.push_back(i + 3);
    }
    std::vector<Frame> frames(1);
    for (size_t n = 0; n < starts.size(); ++n) {
        size_t begin = starts[n];
        size_t end = n + 1 < starts.size() ? starts[n + 1] - 3 : bytes.size();
        while (end > begin && bytes[end - 1] == 0) --end;
        for (size_t at = begin; at < end; at += kMaxPayload) {
            frames.back().push_back({&bytes[at], std::min(kMaxPayload, end - at)});
        }
        int type = end > begin ? bytes[begin] & 0x1f : 0;
        if (type == 1 || type == 5) frames.emplace_back();
    }
    frames.pop_back();
    return frames;
}

unsigned long long ownRunNs() {
    std::ifstream schedstat("/proc/thread-self/schedstat");
    unsigned long long ns = 0;
    schedstat >> ns;
    return ns;
}

int openSocket(size_t bufferBytes, int option, int forceOption) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = static_cast<int>(bufferBytes);
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, forceOption, &size, sizeof size) != 0) {
        setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
    }
    return fd;
}

struct Sender {
    bool segmented = true;
    bool zerocopy = false; // MSG_ZEROCOPY
    bool shared = false;   // every client gets the same bytes
    size_t maxSegments = kMaxSegments;
    size_t clients = 1;
    int fd = -1;
    std::vector<uint8_t> headers; // kRtpHeader per packet and client, rebuilt every frame
    std::vector<uint8_t> frames[8]; // shared: the last frames' packets, headers in place
    size_t frameCount = 0;
    std::vector<size_t> offsets;  // shared: where each packet starts
    std::vector<iovec> iovs;
    std::vector<mmsghdr> messages;
    std::vector<char> controls;
    std::vector<sockaddr_in> addresses;
    std::vector<uint16_t> sequence;
    unsigned long long sent = 0, notices = 0, copied = 0, fallbacks = 0;

    void sendFrame(const Frame& frame, uint32_t timestamp) {
        size_t packets = frame.size();
        headers.resize(packets * clients * kRtpHeader);
        iovs.resize(packets * clients * 2);
        messages.assign(packets * clients, mmsghdr{});
        controls.assign(packets * clients * CMSG_SPACE(sizeof(uint16_t)), 0);
        if (shared) packShared(frame, timestamp);
        size_t count = 0;
        for (size_t c = 0; c < clients; ++c) {
            if (!shared) pointAtOwnHeaders(frame, timestamp, c);
            for (size_t p = 0; p < packets;) {
                size_t run = segmented ? runLength(frame, p, maxSegments) : 1;
                msghdr& m = messages[count].msg_hdr;
                m.msg_name = &addresses[c];
                m.msg_namelen = sizeof(sockaddr_in);
                m.msg_iov = &iovs[(c * packets + p) * 2];
                m.msg_iovlen = run * 2;
                if (shared) {
                    m.msg_iov[0] = {&frames[frameCount % 8][offsets[p]], offsets[p + run] - offsets[p]};
                    m.msg_iovlen = 1;
                }
                if (run > 1) attachSegmentSize(m, &controls[count * CMSG_SPACE(sizeof(uint16_t))],
                                               static_cast<uint16_t>(kRtpHeader + frame[p].size));
                ++count;
                p += run;
            }
        }
        ++frameCount;
        sendAll(count);
        sent += packets * clients;
        if (zerocopy) drainNotices();
    }

    static void writeHeader(uint8_t* h, bool marker, uint16_t seq, uint32_t timestamp, uint32_t ssrc) {
        h[0] = 0x80;
        h[1] = static_cast<uint8_t>(96 | (marker ? 0x80 : 0));
        h[2] = seq >> 8, h[3] = seq & 0xff;
        for (int i = 0; i < 4; ++i) h[4 + i] = timestamp >> (24 - 8 * i), h[8 + i] = ssrc >> (24 - 8 * i);
    }

    // Client c's own headers (its sequence numbers and SSRC) beside the
    // shared payloads, two iovecs a packet, as the library's fan-out sends.
    void pointAtOwnHeaders(const Frame& frame, uint32_t timestamp, size_t c) {
        size_t packets = frame.size();
        for (size_t p = 0; p < packets; ++p) {
            uint8_t* h = &headers[(c * packets + p) * kRtpHeader];
            writeHeader(h, p + 1 == packets, sequence[c]++, timestamp, 0x1000 + static_cast<uint32_t>(c));
            iovec* iov = &iovs[(c * packets + p) * 2];
            iov[0] = {h, kRtpHeader};
            iov[1] = {const_cast<uint8_t*>(frame[p].data), frame[p].size};
        }
    }

    // One copy of the frame's packets, headers in place, for every client:
    // one SSRC and sequence for all.  Kept for 8 frames, so that zero-copy
    // sends still have their pages when the kernel reads them.
    void packShared(const Frame& frame, uint32_t timestamp) {
        std::vector<uint8_t>& bytes = frames[frameCount % 8];
        bytes.clear();
        offsets.clear();
        for (size_t p = 0; p < frame.size(); ++p) {
            offsets.push_back(bytes.size());
            uint8_t h[kRtpHeader];
            writeHeader(h, p + 1 == frame.size(), sequence[0]++, timestamp, 0x1000);
            bytes.insert(bytes.end(), h, h + kRtpHeader);
            bytes.insert(bytes.end(), frame[p].data, frame[p].data + frame[p].size);
        }
        offsets.push_back(bytes.size());
    }

    // A zero-copy send the kernel refuses for want of option memory goes
    // again as a copy.
    void sendAll(size_t count) {
        for (size_t at = 0; at < count;) {
            int done = sendmmsg(fd, &messages[at], static_cast<unsigned>(std::min(kBatch, count - at)),
                                zerocopy ? MSG_ZEROCOPY : 0);
            if (done <= 0 && zerocopy && errno == ENOBUFS) {
                ++fallbacks;
                done = sendmmsg(fd, &messages[at], 1, 0);
            }
            if (done <= 0) {
                std::perror("sendmmsg");
                return;
            }
            at += static_cast<size_t>(done);
        }
    }

    // Zero-copy completions; the kernel says which of them it had to copy
    // after all (loopback and veth copy into the receiver's socket).
    void drainNotices() {
        for (;;) {
            char control[128];
            msghdr m{};
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            if (recvmsg(fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return;
            for (cmsghdr* cm = CMSG_FIRSTHDR(&m); cm != nullptr; cm = CMSG_NXTHDR(&m, cm)) {
                auto* e = reinterpret_cast<sock_extended_err*>(CMSG_DATA(cm));
                if (e->ee_origin != SO_EE_ORIGIN_ZEROCOPY) continue;
                ++notices;
                if (e->ee_code & SO_EE_CODE_ZEROCOPY_COPIED) copied += e->ee_data - e->ee_info + 1;
            }
        }
    }

    // Packets from p on that one segmented datagram carries: equal sizes,
    // and at most one smaller packet at the end.
    static size_t runLength(const Frame& frame, size_t p, size_t maxSegments) {
        size_t run = 1, bytes = kRtpHeader + frame[p].size;
        while (p + run < frame.size() && run < maxSegments && frame[p + run].size <= frame[p].size &&
               bytes + kRtpHeader + frame[p + run].size <= kMaxSegmentedBytes) {
            bytes += kRtpHeader + frame[p + run].size;
            bool last = frame[p + run].size < frame[p].size;
            ++run;
            if (last) break;
        }
        return run;
    }

    static void attachSegmentSize(msghdr& m, char* control, uint16_t size) {
        m.msg_control = control;
        m.msg_controllen = CMSG_SPACE(sizeof size);
        cmsghdr* cm = CMSG_FIRSTHDR(&m);
        cm->cmsg_level = SOL_UDP;
        cm->cmsg_type = UDP_SEGMENT;
        cm->cmsg_len = CMSG_LEN(sizeof size);
        std::memcpy(CMSG_DATA(cm), &size, sizeof size);
    }
};

timespec plusNs(timespec t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1'000'000'000) t.tv_nsec -= 1'000'000'000, ++t.tv_sec;
    return t;
}

bool later(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

int send(const std::string& mode, size_t clients, const char* to, int port, const char* input, int seconds,
         int warmup) {
    std::ifstream file(input, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames = readFrames(bytes);
    if (frames.empty()) {
        std::fprintf(stderr, "yvk_udp_floor: no H.264 pictures in %s\n", input);
        return 1;
    }
    Sender sender;
    sender.segmented = mode != "datagrams";
    sender.zerocopy = mode == "zerocopy" || mode == "shared-zerocopy";
    sender.shared = mode == "shared" || mode == "shared-zerocopy";
    // Two or three page fragments a packet (its header, its payload, which
    // may cross a page) against the kernel's 17 per datagram.
    if (mode == "zerocopy") sender.maxSegments = 5;
    sender.clients = clients;
    sender.fd = openSocket(1 << 20, SO_SNDBUF, SO_SNDBUFFORCE);
    sender.sequence.assign(clients, 0);
    int on = 1;
    if (sender.zerocopy && setsockopt(sender.fd, SOL_SOCKET, SO_ZEROCOPY, &on, sizeof on) != 0) {
        std::perror("SO_ZEROCOPY");
        return 1;
    }
    for (size_t c = 0; c < clients; ++c) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port + c));
        if (inet_pton(AF_INET, to, &address.sin_addr) != 1) return 2;
        sender.addresses.push_back(address);
    }
    timespec tick{};
    clock_gettime(CLOCK_MONOTONIC, &tick);
    long ticks = 25L * (warmup + seconds);
    unsigned long long startNs = 0, late = 0;
    for (long n = 0; n < ticks; ++n) {
        if (n == 25L * warmup) startNs = ownRunNs();
        sender.sendFrame(frames[n % frames.size()], static_cast<uint32_t>(n * 3600));
        tick = plusNs(tick, kFrameNs);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (later(now, tick)) ++late;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
    }
    double cpu = 100.0 * double(ownRunNs() - startNs) / 1e9 / seconds;
    std::printf("mode=%s clients=%zu cpu=%.3f sent=%llu late=%llu", mode.c_str(), clients, cpu, sender.sent, late);
    if (sender.zerocopy) {
        std::printf(" completions=%llu copied=%llu fallbacks=%llu", sender.notices, sender.copied, sender.fallbacks);
    }
    std::printf("\n");
    return 0;
}

// Whether a packet came after one numbered above it (sequence numbers
// compared modulo 2^16); highest is the port's highest so far, -1 at first.
bool isLate(const uint8_t* packet, size_t size, int& highest) {
    if (size < kRtpHeader) return false;
    auto number = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
    if (highest >= 0 && static_cast<int16_t>(number - highest) < 0) return true;
    highest = number;
    return false;
}

int receive(size_t clients, int port, int seconds) {
    int epoll = epoll_create1(0);
    std::vector<int> fds;
    for (size_t c = 0; c < clients; ++c) {
        int fd = openSocket(1 << 20, SO_RCVBUF, SO_RCVBUFFORCE);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port + c));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("bind");
            return 1;
        }
        epoll_event event{EPOLLIN, {.fd = fd}};
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        fds.push_back(fd);
    }
    static uint8_t buffers[64][2048];
    mmsghdr messages[64]{};
    iovec iovs[64];
    for (int i = 0; i < 64; ++i) {
        iovs[i] = {buffers[i], sizeof buffers[i]};
        messages[i].msg_hdr.msg_iov = &iovs[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    unsigned long long received = 0, late = 0;
    std::vector<int> highest(clients, -1); // per port
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += seconds;
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (later(now, end)) break;
        epoll_event ready[64];
        int n = epoll_wait(epoll, ready, 64, 100);
        for (int i = 0; i < n; ++i) {
            size_t port = static_cast<size_t>(std::find(fds.begin(), fds.end(), ready[i].data.fd) - fds.begin());
            int got;
            while ((got = recvmmsg(ready[i].data.fd, messages, 64, MSG_DONTWAIT, nullptr)) > 0) {
                received += got;
                for (int m = 0; m < got; ++m) late += isLate(buffers[m], messages[m].msg_len, highest[port]) ? 1 : 0;
            }
        }
    }
    std::printf("received=%llu late=%llu\n", received, late);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: yvk_udp_floor send --mode MODE --clients N --to ADDR --port P "
                         "--input FILE [--seconds S] [--warmup W]\n"
                         "       yvk_udp_floor receive --clients N --port P --seconds S\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string command = argv[1], mode = "segmented", to = "127.0.0.1", input;
    long clients = 1, port = 30000, seconds = 20, warmup = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--mode") mode = value;
        else if (option == "--clients") clients = std::strtol(value, nullptr, 10);
        else if (option == "--to") to = value;
        else if (option == "--port") port = std::strtol(value, nullptr, 10);
        else if (option == "--input") input = value;
        else if (option == "--seconds") seconds = std::strtol(value, nullptr, 10);
        else if (option == "--warmup") warmup = std::strtol(value, nullptr, 10);
        else return usage();
    }
    if (clients < 1 || clients > 1024 || port < 1 || port + clients > 65535 || seconds < 1 || warmup < 0) {
        return usage();
    }
    bool known = mode == "segmented" || mode == "datagrams" || mode == "zerocopy" || mode == "shared" ||
                 mode == "shared-zerocopy";
    if (command == "send" && known && !input.empty()) {
        return send(mode, static_cast<size_t>(clients), to.c_str(), static_cast<int>(port), input.c_str(),
                    static_cast<int>(seconds), static_cast<int>(warmup));
    }
    if (command == "receive") return receive(static_cast<size_t>(clients), static_cast<int>(port), static_cast<int>(seconds));
    return usage();
}
