// An RTSP client in the test's own process: DESCRIBE, SETUP of every track
// with RTP interleaved on the one TCP connection, PLAY, then it reads the
// interleaved packets for a while.  Every wait is bounded; a server that does
// not answer makes a step fail, not the test hang.
#ifndef YVK_TEST_RTSP_PLAYER_HH
#define YVK_TEST_RTSP_PLAYER_HH

#include <string>
#include <vector>

namespace yvk::test {

struct PlayOutcome {
    bool described = false;  // DESCRIBE answered 200 with an SDP
    int tracks = 0;          // media sections with a control URL
    int setUp = 0;           // SETUPs answered 200
    bool playing = false;    // PLAY answered 200
    int packets = 0;         // interleaved RTP/RTCP packets received so far
    std::string log;         // the status lines, for failure messages
};

class RtspPlayer {
public:
    RtspPlayer(unsigned short port, std::string session, int replyTimeoutMs);
    ~RtspPlayer();
    RtspPlayer(const RtspPlayer&) = delete;
    RtspPlayer& operator=(const RtspPlayer&) = delete;

    // Sets up and plays every track, then reads for playMs.  The connection
    // stays open until the player goes, so the server is torn down with a
    // client still playing.
    PlayOutcome play(int playMs);
    // The two halves of play: DESCRIBE and SETUP; then a PLAY with the
    // range given (a seek while playing) and reading for playMs.
    PlayOutcome setUp();
    void playFor(PlayOutcome& outcome, int playMs, const std::string& range = "npt=0.000-");

private:
    std::string request(const std::string& method, const std::string& url, const std::string& headers);
    bool readReply(std::string& reply);
    bool fill(int waitMs);

    int fSocket = -1;
    std::string fUrl;
    std::string fSessionId;
    std::string fPending;   // bytes received and not consumed
    int fReplyTimeoutMs;
    int fCSeq = 0;
    int fPackets = 0;
};

} // namespace yvk::test

#endif
