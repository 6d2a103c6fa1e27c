// Library-internal and exported C++ helpers of the control unit.
#ifndef YVKSTREAMER_CORE_LIVE555_HH
#define YVKSTREAMER_CORE_LIVE555_HH

#include "yvkstreamer_core.h"

#include <UsageEnvironment.hh>

#include <list>
#include <string>

class FramedSource;
class RTSPServer;
class ServerMediaSubsession;
class UsageEnvironment;
class UserAuthenticationDatabase;

using SubsessionList = std::list<ServerMediaSubsession*>;
using UserList = std::list<std::string>;

// Opens the RTSP server (an HTTPServer, which answers HTTP requests on the
// same port) on rtspPort with the given client reclamation time and HLS
// segment duration (0 without HTTP streaming); a non-zero httpTunnelPort also
// sets up RTSP-over-HTTP tunnelling there.  Non-empty users ("name:password")
// make the server require digest authentication in realm.  Null on failure.
YVK_API RTSPServer* createRTSPServer(UsageEnvironment& env, unsigned short rtspPort,
                                     unsigned short httpTunnelPort, int reclamationSeconds,
                                     unsigned segmentDuration, const UserList& users,
                                     const char* realm);

// Turns "user:password" entries into a digest database (the passwords are
// declared MD5 digests exactly when a realm is given).  Null for an empty
// list; the caller owns the result (delete).
YVK_API UserAuthenticationDatabase* createUserAuthenticationDatabase(const UserList& users,
                                                                     const char* realm);

// The users of the exported RTSP_USERS setting; entries that are not
// "user:password" are traced and left out.
UserList configuredUsers();

// Registers a session of the given subsessions and traces its URL; returns
// the number of subsessions added (0 registers nothing).
YVK_API int addSession(RTSPServer* server, const char* sessionName, const SubsessionList& subsessions);

// As addSession, and makes the interface's IPv4 address the one the server's
// URLs carry.
YVK_API int addSubSessions(RTSPServer* server, const char* sessionName, const char* ifName,
                           const SubsessionList& subsessions);

// The IPv4 address of an interface as dotted text (buffer of at least 24
// bytes).  1 when found, else 0.  Asks the device's ipaddr tool, or the
// kernel (getifaddrs) where that tool is not installed.
int getInterfaceIp(char* address, const char* ifName);

// Routes the multicast range through the interface and raises its transmit
// queue length (or only traces the commands when NET_SETUP_COMMANDS is 0).
void runNetworkSetup(const char* ifName);

// Appends a delivered video unit to the dump file while the control file's
// first byte is '1'; has the shape of YVKStreamerQIO::dumpData.
void dumpStreamData(const void* data, unsigned int size);
// The same with the two paths given, for the host's own tools and tests.
void dumpStreamDataTo(const char* controlPath, const char* dumpPath, const void* data, unsigned int size);

// The live audio source.  encode 0: the PCM queue source, wrapped for
// 16-bit (EndianSwap16) and 20/24-bit (EndianSwap24) samples so that they
// leave in network byte order; widths other than 4, 8, 16, 20 and 24 are
// refused.  encode non-zero (an AAC encoding source for live HTTP streaming)
// is not available in this library yet and gives null.  Null on failure,
// with a trace.
YVK_API FramedSource* createAudioSource(UsageEnvironment& env, const YVKStreamerAudio* audio, YVKStreamerQIO qio,
                                        int encode, bool* deliverStarted);

class AviFileServerDemux;

// The file instance's server demux and the byte New waits on while the file
// is parsed; one file instance per process.
extern AviFileServerDemux* aviDemux;
extern EventLoopWatchVariable aviDemuxReady;
void onAviDemuxCreation(AviFileServerDemux* demux, void* clientData);
// Hands the control command's video track switch to the loop thread; false
// without a file instance.
bool requestVideoTrackSwitch(int index);
// Closes the file instance's server demux (after its server is closed).
void releaseFileDemux();

// The two halves of YVK_StreamerCoreNew; false on failure.
bool streamer_new_live(YVKStreamerCore* core, const YVKStreamerLiveCfg* cfg,
                       const YVKStreamerQIO* videoIO, const YVKStreamerQIO* audioIO);
bool streamer_new_file(YVKStreamerCore* core, const YVKStreamerFileCfg* cfg);

#endif // YVKSTREAMER_CORE_LIVE555_HH
