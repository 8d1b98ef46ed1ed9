// Camera simulator: the camera server's side of the two-connection camera
// protocol over real TCP, for tests (in-process) and by hand (the camsim
// program). Audio listens on an even port P, video on P + 1.
//
// Threading: one event-loop thread owns every socket. All public methods are
// thread-safe; the ones that send only queue bytes and wake the loop, so they
// return at once. The destructor stops the loop, joins it and closes every fd.
//
// Behaviour in brief
//  - Video connection: a LoginRequest (or SwitchUserRequest) is answered by
//    the login policy; a video StartEncoding after a successful login starts
//    the video stream (paced, looping over the source), StopEncoding stops it.
//    GpioOutput is looped back as GpioInput, SioPut as SioData, SelectChannel
//    sets the channel bits of later frame tags.
//  - Audio connection: the audio StartEncoding starts 30 ms audio frames,
//    StopEncoding stops them; talk frames (TalkSlot data) are checked and
//    counted. The protocol does not tie an audio connection to a video one, so
//    audio streams without a login of its own.
//  - Every inbound message and every connection opened/closed goes into a
//    thread-safe log with a timestamp and the result of its checks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

enum class Channel : uint8_t { Audio, Video };

// ---------------------------------------------------------------- login --

enum class LoginOutcome : uint8_t {
  Administrator,  // level 0x20 with the full 20-byte payload
  User,           // level 0x30; permissions from userMayGpio/userMaySerial
  Refused,        // level 0x10 with refusalReason in header byte 3
  ShortReply,     // a LoginReply whose payload is shorter than 20 bytes
  OtherLevel,     // a LoginReply whose level byte is otherLevel
  Unanswered,     // the request is logged and never answered
};

struct LoginAnswer {
  LoginOutcome outcome = LoginOutcome::Administrator;
  // Refused: 0x10/0x20 bad user id or password, 0x30 administrator already
  // logged in, 0x40 too many users, 0x50 over the maximum; other values
  // (e.g. 0x60) are sent as given.
  uint8_t refusalReason = 0x10;
  bool userMayGpio = false;    // User: payload byte 8
  bool userMaySerial = false;  // User: payload byte 9
  uint8_t shortReplyLevel = 0x20;    // ShortReply: level byte
  uint16_t shortReplyPayload = 8;    // ShortReply: payload bytes (0..19)
  uint8_t otherLevel = 0x40;         // OtherLevel: level byte
};

struct Account {
  std::string user;
  std::string password;
  LoginAnswer answer;
};

// How a SwitchUserRequest is answered (the protocol leaves it open).
enum class SwitchReply : uint8_t {
  AudioLoginReply,  // 0x10 0xA0: level/reason/permissions, moves no state
  LoginReply,       // a full LoginReply, as for the first login
  None,             // logged only
};

// Identity and encoder fields of the LoginReply (header bytes 6-11 and the
// 20-byte payload). Multi-byte values are sent in the byte order the
// protocol gives each field.
struct LoginFields {
  uint8_t firmwareMajor = 2;
  uint8_t firmwareMinor = 5;
  bool hasAudio = true;          // header byte 8
  uint8_t maxFrameRate = 30;     // header byte 9
  uint16_t maxBitRate = 1024;    // header bytes 10-11, big-endian
  uint8_t intraInterval = 30;    // payload 0
  uint8_t maxQ = 31;             // payload 1
  uint8_t minQ = 2;              // payload 2
  uint8_t gpioIn = 0;            // payload 3 (also the initial digital input)
  uint8_t videoStandard = 0;     // payload 4: 0 gives 10/9, non-zero 4/3
  // Payload 5. Empty: 0 for IMA ADPCM / tone / PCM, 1 for G.723.1 sources.
  std::optional<uint8_t> audioCodec;
  uint16_t cameraId = 0x1234;    // payload 6-7, little-endian
  uint8_t encMode = 0;           // payload 10
  uint16_t motionSensitivity = 50;  // payload 11-12, big-endian
  uint8_t audioMode = 0;         // payload 13
  uint16_t audioSensitivity = 10;   // payload 14-15, little-endian
  uint32_t motionMask = 0;       // payload 16-19, little-endian
};

struct LoginConfig {
  // Used when accounts is empty, or for every login when it is empty.
  LoginAnswer answer;
  // When not empty, the descrambled credentials pick the answer: a matching
  // account gets its own answer, anything else Refused with reason 0x10.
  std::vector<Account> accounts;
  SwitchReply switchReply = SwitchReply::AudioLoginReply;
  Ms replyDelay{0};
  LoginFields fields;
};

// ---------------------------------------------------------------- media --

struct VideoSource {
  // A `.frames` file (32-bit LE length, then 4 tag bytes and one VOP per
  // record). Empty: small synthetic pictures, a key picture every 30th.
  std::string framesPath;
  int fps = 30;                  // 1..30; timestamps step 30/fps ticks
  uint32_t firstTimestamp = 0;   // timestamp of a connection's first frame
  bool enabled = true;           // false: StartEncoding streams nothing
};

enum class AudioKind : uint8_t {
  Tone,     // IMA ADPCM of a sine tone
  PcmFile,  // IMA ADPCM of 16-bit LE mono 8 kHz samples (raw or WAV), looped
  G7231,    // 24-byte frames from a .f24 (records) or .tco (packed) file
  None,     // StartEncoding streams nothing
};

struct AudioSource {
  AudioKind kind = AudioKind::Tone;
  std::string path;              // PcmFile, G7231
  int toneHz = 1000;
  int toneAmplitude = 8000;
  uint32_t firstTimestamp = 0;   // in 30 ms frames
};

// ---------------------------------------------------------- connections --

enum class ConnectPolicy : uint8_t {
  Accept,
  Refuse,           // nothing listens: connects fail with "refused"
  AcceptAndClose,   // accept, then close at once (FIN)
  AcceptAndReset,   // accept, then reset at once (RST)
  Blackhole,        // connects are never answered (SYNs are dropped)
};

enum class CloseKind : uint8_t { Fin, Reset };

// Which connections a call acts on.
inline constexpr int kAllConnections = -1;
struct Target {
  Channel channel = Channel::Video;
  int connection = kAllConnections;  // a ConnectionInfo::id, or all of channel
};
inline Target VideoConns() { return {Channel::Video, kAllConnections}; }
inline Target AudioConns() { return {Channel::Audio, kAllConnections}; }

struct SimConfig {
  std::string address = "127.0.0.1";
  // Even base port P (audio P, video P + 1). 0: the simulator picks a free
  // even pair; read it back with CameraSimulator::port().
  uint16_t port = 0;
  LoginConfig login;
  VideoSource video;
  AudioSource audio;
  ConnectPolicy videoPolicy = ConnectPolicy::Accept;
  ConnectPolicy audioPolicy = ConnectPolicy::Accept;
  // SO_RCVBUF of accepted sockets (0: system default). A small value makes a
  // slow reader push back on the viewer's sends sooner.
  int receiveBufferBytes = 0;
  // Stream frames are skipped (and counted) while this much output waits.
  size_t maxQueuedBytes = 4u << 20;
  // Oldest log entries are dropped beyond this; sequence numbers go on.
  size_t maxLogEntries = 200000;
};

// ------------------------------------------------------------------ log --

enum class InboundKind : uint8_t {
  ConnectionOpened,  // not a message: a viewer connected
  ConnectionClosed,  // not a message: the connection ended (either side)
  LoginRequest,      // 10 70
  SwitchUserRequest, // 10 71
  StartVideo,        // 01 01
  StopVideo,         // 01 02
  StartAudio,        // 01 03
  StopAudio,         // 01 04
  EncoderParams,     // 01 05
  SelectChannel,     // 01 08
  GpioOutput,        // 80 83
  SioPut,            // 80 82
  TalkFrame,         // 80 81, one AdpcmFrame of a TalkSlot
  Unknown,           // any other kind
  OverlongLength,    // a header whose length is above 60000; input dropped
  ReplySent,         // not a message: a login reply was queued to the viewer
                     // (bytes: the reply; value: its level byte)
};
const char* KindName(InboundKind kind);

struct EncoderParamsSeen {
  bool flash = false;            // byte 2 == 0
  uint16_t maxBitRate = 0;
  uint8_t maxFrameRate = 0, maxQ = 0, minQ = 0, intraInterval = 0;
  uint16_t motionSensitivity = 0;
  uint8_t encMode = 0, gpioOut = 0, audioMode = 0;
  uint16_t audioSensitivity = 0;
  uint32_t motionMask = 0;
};

struct LogEntry {
  uint64_t seq = 0;             // increasing over the simulator's life
  Clock::time_point time;
  int connection = -1;
  Channel channel = Channel::Video;
  InboundKind kind = InboundKind::Unknown;
  std::vector<uint8_t> bytes;   // header + payload as received
  // Checks: header bytes, length, zeroed unused bytes, right connection,
  // credentials, talk sequence and talk only after the audio start, video
  // start only after a successful login reply. Empty when all passed.
  std::string problem;
  bool ok() const { return problem.empty(); }

  // Decoded fields, by kind.
  std::string user, password;   // LoginRequest, SwitchUserRequest
  EncoderParamsSeen encoder;    // EncoderParams
  uint8_t value = 0;            // GpioOutput value, SelectChannel channel
  uint8_t value2 = 0;           // SelectChannel update byte
  uint8_t sioPort = 0;          // SioPut
  std::vector<uint8_t> sioData; // SioPut
  uint32_t talkSequence = 0;    // TalkFrame
  bool closedByPeer = false;    // ConnectionClosed: the viewer closed/reset
};

struct ConnectionInfo {
  int id = -1;
  Channel channel = Channel::Video;
  bool open = false;
  uint8_t loginLevel = 0;       // 0 before any answer; video connections
  bool streaming = false;
  uint64_t framesSent = 0;      // stream frames (video or audio)
  uint64_t framesSkipped = 0;   // stream frames skipped by back-pressure
  uint64_t bytesSent = 0, bytesReceived = 0;
  uint32_t lastTimestamp = 0;   // of the last stream frame sent
  uint64_t talkFrames = 0, talkSequenceErrors = 0;
};

// ------------------------------------------------------------ simulator --

class CameraSimulator {
 public:
  explicit CameraSimulator(SimConfig config = {});
  ~CameraSimulator();
  CameraSimulator(const CameraSimulator&) = delete;
  CameraSimulator& operator=(const CameraSimulator&) = delete;

  // Binds both listeners and starts the loop thread. False (with error())
  // when a port cannot be bound or a media file cannot be read.
  bool Start();
  // Closes every connection and both listeners and joins the thread. The
  // log survives; Start() may be called again (same port when one was
  // chosen), which is how a camera restart is simulated.
  void Stop();
  bool Restart(Ms down = Ms{0});
  bool running() const;
  std::string error() const;

  uint16_t port() const;        // even base: audio
  uint16_t videoPort() const { return static_cast<uint16_t>(port() + 1); }
  uint16_t audioPort() const { return port(); }

  // Settings that apply to later events (new logins, new streams, ...).
  void SetLogin(const LoginConfig& login);
  void SetLoginAnswer(const LoginAnswer& answer);
  // Returns once the listener is in the new state.
  void SetConnectPolicy(Channel channel, ConnectPolicy policy);

  // ---- camera events on demand; each returns the connections reached ----
  int SendCameraText(std::string_view text, Target t = VideoConns());
  int SendSerialData(uint8_t port, const std::vector<uint8_t>& data,
                     Target t = VideoConns());
  int SendDigitalInput(uint8_t value, Target t = VideoConns());
  int SendMotionMask(uint32_t mask, Target t = VideoConns());
  int SendValue(int32_t value, Target t = VideoConns());
  int SendEncoderMode(uint8_t mode, Target t = VideoConns());
  int SendAudioLoginReply(const LoginAnswer& answer, Target t = VideoConns());
  // Any bytes, as they are.
  int SendRaw(const std::vector<uint8_t>& bytes, Target t = VideoConns());
  // Motion flag (header byte 3) and motion cell bits (tag bits 0-24) of the
  // video frames that follow; flag 0 ends the motion.
  void SetMotion(uint8_t flag, uint32_t cellBits);

  // ---- faults ----
  // A header (shaped like a video frame) claiming `length` (> 60000)
  // payload bytes, then `trailing` 0xFF bytes, all in one write. Read as a
  // header of their own, the trailing bytes claim 0xFFFF bytes too.
  int SendOverlongLength(uint16_t length = 60001, size_t trailing = 0,
                         Target t = VideoConns());
  // A 12-byte message of the given type (not 0x01/0x10), with or without
  // the video marker 0x1D 0xDE in bytes 6-7.
  int SendUnknownType(uint8_t type, bool withMarker, Target t = VideoConns());
  // `totalBytes` of well-formed messages at once, unpaced. Filler messages
  // (type 0x01, unlisted subtype 0x06, `messageBytes` long) are each parsed
  // and ignored, so the viewer's ring fills faster than it empties.
  int Flood(size_t totalBytes = 600000, size_t messageBytes = 64,
            Target t = VideoConns());
  // Stream pauses for `duration`. catchUp: the held frames go out at once
  // at the end (a burst, timestamps continuous); otherwise they are never
  // sent and the timestamps jump over the pause.
  int Stall(Ms duration, bool catchUp, Target t = VideoConns());
  // The next `frames` stream frames go out at once; later ones keep their
  // natural times, so a gap follows the burst.
  int Burst(int frames, Target t = VideoConns());
  // Adds `delta` (may be negative) to every later stream timestamp.
  int JumpTimestamps(int32_t delta, Target t = VideoConns());
  // Ends connections: FIN (shutdown, then close after the viewer's EOF or a
  // second) or RST (linger 0).
  int Close(CloseKind kind, Target t = VideoConns());
  // Inbound throttle: at most bytesPerSecond are read (0: unlimited);
  // paused: nothing is read at all. New connections inherit it.
  void SetReading(size_t bytesPerSecond, bool paused = false);
  // Outbound: every byte is sent on its own, `gap` apart (also new
  // connections); off restores whole writes.
  void SetSplitWrites(bool on, Ms gap = Ms{2});

  // ---- observation ----
  std::vector<LogEntry> Log() const;
  std::vector<LogEntry> Log(InboundKind kind) const;
  uint64_t LogMark() const;     // seq that the next entry will get
  void ClearLog();
  size_t Count(InboundKind kind, uint64_t since = 0) const;
  std::vector<ConnectionInfo> Connections() const;
  std::optional<ConnectionInfo> Connection(int id) const;
  // Called on the loop thread for every new log entry (outside the lock).
  void SetObserver(std::function<void(const LogEntry&)> observer);

  // ---- waiting helpers (false / empty on timeout) ----
  // First entry of `kind` with seq >= since.
  std::optional<LogEntry> WaitForInbound(InboundKind kind, Ms timeout,
                                         uint64_t since = 0);
  // At least `count` entries of `kind` with seq >= since.
  bool WaitForCount(InboundKind kind, size_t count, Ms timeout,
                    uint64_t since = 0);
  // Any condition over the log; re-evaluated on every pass of the loop.
  // It runs under the simulator's lock and must not call the simulator.
  bool WaitForLog(const std::function<bool(const std::vector<LogEntry>&)>& done,
                  Ms timeout);
  // Id of an open connection of the channel (the newest one).
  std::optional<int> WaitForConnection(Channel channel, Ms timeout);
  bool WaitForClosed(int connection, Ms timeout);
  // A connection of the target has sent at least `frames` stream frames.
  bool WaitForFramesSent(uint64_t frames, Ms timeout, Target t = VideoConns());

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace camsim
