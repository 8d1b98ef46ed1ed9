// CNetManage: the link with one camera server. Its thread is the only place
// where the two camera connections are opened, written and closed; it takes
// one command code per pass, steps both connection state machines, cuts
// incoming messages out of the receive rings, sends talk audio and serial
// data, and pumps the thread's messages, through which the sockets' events
// (see link_events.h) arrive.
//
// Fields read or written by other threads are atomics; the text fields are
// guarded by textLock (use SetText/GetText).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/audio_peer.h"
#include "engine/byte_ring.h"
#include "engine/frame_queue.h"
#include "engine/recorder_peer.h"
#include "engine/report_threads.h"
#include "engine/thread_base.h"
#include "engine/video_peer.h"
#include "engine/wire_protocol.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "shared/message_closure.h"

enum LoginLevel : int32_t {
  kLoginNone = 0x10,
  kLoginAdmin = 0x20,
  kLoginUser = 0x30,
};

// What one parse of a receive ring did.
enum class ParseResult {
  Incomplete,  // no whole message yet; the ring is as it was
  Handled,     // one message was taken and handled
  Cleared,     // an impossible length: the ring was emptied
};

class CNetManage : public CThread {
 public:
  static constexpr int kTextSize = 20;
  static constexpr uint32_t kDefaultStartDelayMs = 1000;
  static constexpr uint32_t kRingBacklogLimit = 120001;  // receive-ring level that sheds load
  static constexpr uint32_t kAudioCloseWaitMs = 3000;    // destructor's bound on the audio close
  // The longest pre-record span: more overflows the 1000-entry pre-record
  // queues and leaves a gap at the start of the recording.
  static constexpr int32_t kMaxPrerecordMs = 25000;

  // A null recorder records nothing. startDelayMs: the thread's sleep before
  // its first pass.
  explicit CNetManage(std::unique_ptr<RecorderPeer> recorder = nullptr,
                      uint32_t startDelayMs = kDefaultStartDelayMs);
  // Waits (bounded) while the audio connection is up, stops the thread and
  // waits for the short-lived report threads.
  ~CNetManage();

  // Needs vidSock, audSock, video and audio set.
  void StartLinkThread();
  // Appends one command code; false when the queue is full.
  bool PostCommand(int32_t code);

  // Text fields: at most 19 characters are kept.
  void SetText(char* field, const std::string& value);
  std::string GetText(const char* field);

  // Builders (into a buffer of at least wire::kSendBufferSize bytes).
  uint32_t BuildStartEncoding(uint8_t* buffer, uint8_t code) { return wire::BuildStartEncoding(buffer, code); }
  uint32_t BuildStopEncoding(uint8_t* buffer, uint8_t code) { return wire::BuildStopEncoding(buffer, code); }
  uint32_t BuildEncoderParams(uint8_t* buffer, bool flash);
  uint32_t BuildGpioOutput(uint8_t* buffer);
  uint32_t BuildSelectChannel(uint8_t* buffer);
  uint32_t BuildSioPut(int port, uint8_t* buffer);
  void SendLogin();
  void SendSwitchUser();
  // Up to 100 attempts of the whole message, each followed by a 1 ms sleep
  // and a message pump; stops at the first attempt the socket takes.
  static int SendWithRetry(platform::ClientSocket& socket, const uint8_t* buffer, uint32_t size);

  // Cuts at most one message out of a receive ring and handles it; sleeps
  // 1 ms when there is no whole message.
  ParseResult ParseMessage(CManage1DBUF& ring);
  // The same without the sleep.
  ParseResult ParseOne(CManage1DBUF& ring);
  // Handles one whole message (header and length payload bytes, contiguous,
  // length <= 60000); the message may be changed.
  void HandleMessage(uint8_t* message, uint32_t length);

  void TrimPreRecord();
  void StartRecord() { recorder->StartRecord(preRecordVideo, preRecordAudio); }
  void StopRecord() { recorder->StopRecord(); }

  // Raises 81 with the value's signed decimal text; returns 1.
  static int ReportValueThread(const MessageClosure& passMessage, int32_t value);

  // Starts a short-lived thread that the link waits for before it goes.
  // Starts a report thread; when none can be started the report is traced
  // and dropped.
  void StartReportThread(std::function<void()> fn, const char* what);
  // A level granted on a connection goes with it: the next one logs in anew.
  void DropLogin() {
    int32_t level = loginLevel;
    if (level == kLoginAdmin || level == kLoginUser) loginLevel.compare_exchange_strong(level, kLoginNone);
  }

  // Display-skip count shared by every link of the process.
  static inline std::atomic<int32_t> DisplaySkipCount{0};

  const std::string version = "1.5.0.0";
  std::atomic<int32_t> videoState{0};
  std::atomic<int32_t> audioState{0};
  platform::ClientSocket* vidSock = nullptr;  // not owned
  platform::ClientSocket* audSock = nullptr;  // not owned
  VideoPeer* video = nullptr;                 // not owned
  AudioPeer* audio = nullptr;                 // not owned
  std::unique_ptr<RecorderPeer> recorder;     // owned
  CManage1DBUF vidRing;
  CManage1DBUF audRing;
  CManage1DBUF sioTx[2];
  CManage1DBUF sioRx[2];
  std::atomic<int32_t> loginLevel{kLoginNone};
  std::atomic<int32_t> framesThisSecond{0};
  std::atomic<uint32_t> videoBitsThisSecond{0};
  std::atomic<uint32_t> audioBitsThisSecond{0};
  std::atomic<int32_t> curruser{0};
  char username[kTextSize] = "tansy";
  char password[kTextSize] = "tansy";
  char ipaddr[kTextSize] = "192.168.0.100";
  std::atomic<int16_t> port{700};
  std::atomic<uint8_t> audconnected{0};
  std::atomic<uint8_t> vidconnected{0};
  MessageClosure passMessage;
  std::atomic<int32_t> sioBaud[2] = {9600, 9600};
  std::atomic<uint8_t> sioDataBits[2] = {8, 8};
  std::atomic<uint8_t> sioStopBits[2] = {1, 1};
  std::atomic<uint8_t> sioParity[2] = {0, 0};
  std::atomic<int32_t> gpioOut{0};
  std::atomic<int32_t> gpioIn{0};
  std::atomic<uint16_t> cameraId{0};
  std::atomic<uint16_t> firmwareVersion{0};
  std::atomic<int32_t> gpioAllowed{0};
  std::atomic<int32_t> sioAllowed{0};
  std::atomic<int32_t> avbitrate{0};
  std::atomic<int32_t> audbitrate{0};
  std::atomic<int32_t> frmrate{0};
  std::atomic<int32_t> secondsWithoutVideo{0};
  std::atomic<int32_t> secondsWithoutAudio{0};
  std::atomic<int32_t> AudEnable{1};
  std::atomic<int32_t> VidEnable{1};
  std::atomic<int32_t> biauden{0};
  std::atomic<int32_t> talkReadSlot{0};
  std::atomic<int32_t> audioStarted{0};
  std::atomic<uint32_t> talkKbps{0};
  std::atomic<uint32_t> talkBitsThisSecond{0};
  std::atomic<int16_t*> showStatusRef{nullptr};
  std::atomic<uint16_t*> heartbeatRef{nullptr};
  std::atomic<float> audioTicksPerVideoTick{0.0f};
  std::atomic<int32_t> prerecord{0};
  std::atomic<int32_t> reportedValue{0};
  CManage2DBUF preRecordVideo{1000};
  CManage2DBUF preRecordAudio{1000};
  std::atomic<uint32_t> lastVideoTimestamp{0};
  std::atomic<int32_t> channelRequest{0};
  std::atomic<int32_t> vidchannel{0};
  std::atomic<int32_t> channelUpdate{0};
  char switchUsername[kTextSize] = "";
  char switchPassword[kTextSize] = "";
  CManage1DBUF commands;
  std::atomic<int32_t> secondsAudioOnly{0};
  std::atomic<int32_t> vidSockError{0};
  std::atomic<int32_t> audSockError{0};
  std::atomic<int32_t> vidConnecting{0};
  std::atomic<int32_t> audConnecting{0};
  std::atomic<int32_t> connectWaitSeconds{0};
  std::atomic<int32_t> linkPasses{0};

  // Short-lived threads raising one message each; the owner waits for them.
  ReportThreads reporters;

 private:
  static void LinkThread(CNetManage* self);
  void Pass();
  void TakeCommand();
  void ApplyCommand(int32_t code);
  void VideoStep();
  void AudioStep();
  void ConnectVideo();
  void ConnectAudio();
  void SendIfConnected(platform::ClientSocket& socket, uint32_t size);
  // Sends sendBuf when connected, tracing `sent`; else traces `skipped`
  // (when given).
  void SendTraced(platform::ClientSocket& socket, uint32_t size, const char* sent, const char* skipped);
  void TalkStep();
  void SerialStep();
  void Trace(const char* text) { passMessage(255, text); }
  uint32_t AudioMessageSize() const;

  // Incoming messages.
  void OnLoginReply(const uint8_t* message, uint32_t length);
  void StoreLoginFields(const uint8_t* header, const uint8_t* payload);
  void OnAudioLoginReply(const uint8_t* message, uint32_t length);
  void OnVideoFrame(uint8_t* message, uint32_t length);
  bool ShowFrame(bool droppable);
  void OnAudioFrame(const uint8_t* message, uint32_t length);
  void OnGpioInput(const uint8_t* message);
  void OnSioData(const uint8_t* message, uint32_t length);
  void OnCameraText(const uint8_t* message, uint32_t length);
  void OnValueReport(const uint8_t* message);
  void OnInvalidStream();
  void RaiseRefusal(uint8_t reason);
  void RaiseUserLogin();
  void TakeTalkReadSlot();

  const uint32_t startDelayMs_;
  platform::CriticalSection textLock;
  wire::CredentialRandom random_;
  uint8_t sendBuf[wire::kSendBufferSize] = {};
  std::unique_ptr<uint8_t[]> msgBuf;  // one whole message
  // Audio ticks per video tick as an exact fraction (0 until a login).
  std::atomic<uint32_t> audioTicksNum{0};
  std::atomic<uint32_t> audioTicksDen{1};
};
