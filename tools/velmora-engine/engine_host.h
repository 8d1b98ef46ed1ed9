// The engine host: plays the viewer form's part for the camera link. It owns
// the two client sockets, wires their events to the link's handlers, gives
// the link a video channel and an audio player (the real ones, showing the
// picture in a window and playing the sound, or stand-ins that only count
// what reaches them), runs the statistics steps once a second and posts
// command codes. Used by velmora-engine and velmora-demo.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/audio_peer.h"
#include "engine/audio_player.h"
#include "engine/link_events.h"
#include "engine/net_manage.h"
#include "engine/thread_base.h"
#include "engine/video_channel.h"
#include "engine/video_peer.h"
#include "platform/draw.h"
#include "platform/form.h"
#include "platform/socket.h"
#include "shared/shared_area.h"
#include "shared/shared_audio_area.h"

namespace host {

// Takes the display queue's frames as a video thread would and counts them.
class CountingVideo : public VideoPeer, public CThread {
 public:
  CountingVideo();
  ~CountingVideo() override;
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> bytes{0};

 private:
  static void Proc(CountingVideo* self);
};

// Takes the coded audio as an audio thread would and counts it.
class CountingAudio : public AudioPeer, public CThread {
 public:
  CountingAudio();
  ~CountingAudio() override;
  void ResetAudio() override;
  void SetAdpcmStartState(int16_t predictor, uint8_t stepIndex) override;
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint32_t> resets{0};

 private:
  static void Proc(CountingAudio* self);
  std::atomic<bool> stateTaken{false};
};

struct HostOptions {
  std::string host = "127.0.0.1";
  int port = 700;
  std::string user = "tansy";
  std::string password = "tansy";
  bool trace = false;  // also print trace lines (255)
  // Real video channel and audio player: the picture in a window (X11 when
  // DISPLAY is set), the sound on the default device. Else counting stand-ins.
  bool media = false;
  uint32_t startDelayMs = CNetManage::kDefaultStartDelayMs;
  std::string recordName = "c:\\live0";  // recording base name (codes 14/15)
  int32_t prerecord = 0;                  // ms kept before a recording starts, 0..25000 as the control keeps it
  // Attach the machine's named talk area as a viewer instead of a private
  // one (no capture server is started; one already running fills it).
  bool sharedArea = false;
};

struct HostStats {
  int32_t frmrate = 0, avbitrate = 0, audbitrate = 0, talkKbps = 0;
  int32_t videoState = 0, audioState = 0, loginLevel = 0;
  bool vidconnected = false, audconnected = false;
  uint64_t framesShown = 0, videoBytes = 0, audioBytes = 0;
  uint32_t audioResets = 0;
};

class EngineHost {
 public:
  using Output = std::function<void(const std::string& line)>;
  EngineHost(const HostOptions& options, Output out);
  // Disconnects (audio, then video) and stops the engine.
  ~EngineHost();

  // Starts the engine threads and posts connect video, connect audio.
  void Start();
  void Post(int32_t code) { link_->PostCommand(code); }
  // The once-a-second statistics and watchdog steps.
  void Tick();
  HostStats Stats() const;
  // Small command set for a terminal: a code 1-17, "sio PORT TEXT" (send),
  // "sioget PORT" (take what was received), "gpio VALUE", "talk on|off".
  // False for a line it does not know.
  bool Command(const std::string& line);

  CNetManage& link() { return *link_; }
  // The desktop asked to close the window (--media).
  bool CloseRequested() const { return closeRequested_; }
  // The window was destroyed from outside.
  bool WindowGone() const { return windowGone_; }

 private:
  void Print(int32_t number, const char* text);

  HostOptions options_;
  Output out_;
  std::mutex outMutex_;
  std::unique_ptr<SharedAudioArea> privateArea_;
  std::unique_ptr<SharedAreaAttachment> sharedArea_;
  SharedAudioArea* area_ = nullptr;
  platform::ClientSocket vidSock_, audSock_;
  std::unique_ptr<CNetManage> link_;
  std::unique_ptr<LinkEvents> events_;
  void StartMedia();
  void StartCounting();

  std::unique_ptr<CountingVideo> countingVideo_;
  std::unique_ptr<CountingAudio> countingAudio_;
  std::unique_ptr<platform::Form> window_;
  bool closeRequested_ = false;
  bool windowGone_ = false;
  std::unique_ptr<CVideoMPEG4> video_;
  std::unique_ptr<CAudioG726> audio_;
  VideoPeer* videoPeer_ = nullptr;
  AudioPeer* audioPeer_ = nullptr;
};

}  // namespace host
