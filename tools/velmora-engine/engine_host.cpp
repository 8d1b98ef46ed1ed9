#include "tools/velmora-engine/engine_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "engine/recorder.h"
#include "engine/wire_protocol.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "shared/command_codes.h"

using platform::DrawDevice;

namespace host {

CountingVideo::CountingVideo() { StartThread(this, &CountingVideo::Proc); }

CountingVideo::~CountingVideo() { StopThread(); }

void CountingVideo::Proc(CountingVideo* self) {
  std::vector<uint8_t> frame(wire::kMaxMessage);
  self->running = 1;
  while (self->keepRunning == 1) {
    self->frameQueue->LockFrames();
    while (self->frameQueue->FrameCount() > 0) {
      int32_t size = 0;
      self->frameQueue->PopFrame(frame.data(), &size);
      ++self->frames;
      self->bytes += static_cast<uint64_t>(size);
    }
    self->frameQueue->UnlockFrames();
    platform::PumpMessages();
    platform::Sleep(5);
  }
  self->running = 0;
}

CountingAudio::CountingAudio() { StartThread(this, &CountingAudio::Proc); }

CountingAudio::~CountingAudio() { StopThread(); }

void CountingAudio::ResetAudio() {
  codedAudioRing.ClearBytes();
  stateTaken = false;
  ++resets;
}

void CountingAudio::SetAdpcmStartState(int16_t, uint8_t) { stateTaken = true; }

void CountingAudio::Proc(CountingAudio* self) {
  uint8_t chunk[256];
  self->running = 1;
  while (self->keepRunning == 1) {
    const uint32_t n = std::min<uint32_t>(self->codedAudioRing.Count(), sizeof(chunk));
    if (n > 0 && self->codedAudioRing.GetBytes(chunk, n)) self->bytes += n;
    platform::PumpMessages();
    if (n < sizeof(chunk)) platform::Sleep(5);
  }
  self->running = 0;
}

EngineHost::EngineHost(const HostOptions& options, Output out)
    : options_(options), out_(std::move(out)), privateArea_(std::make_unique<SharedAudioArea>()) {
  area_ = privateArea_.get();
}

EngineHost::~EngineHost() {
  if (!link_) return;
  link_->PostCommand(CmdDisconnectAudio);
  link_->PostCommand(CmdDisconnectVideo);
  // Let the link close both connections and report it (bounded); the link's
  // own destructor waits only for the audio side.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (link_->running == 1 && std::chrono::steady_clock::now() < deadline &&
         (link_->vidconnected != 0 || link_->audconnected != 0 || link_->commands.Count() > 0 ||
          (link_->videoState != 0 && link_->videoState != 100) || link_->audioState != 0))
    platform::RealSleep(5);
  // Once the link is gone no thread runs the sockets' handlers any more.
  link_.reset();
  vidSock_.SetHandlers({});
  audSock_.SetHandlers({});
  events_.reset();
  video_.reset();
  audio_.reset();
  window_.reset();
  countingVideo_.reset();
  countingAudio_.reset();
  sharedArea_.reset();  // the viewer's -1; the last one out removes the area
}

void EngineHost::Print(int32_t number, const char* text) {
  if (number == 255 && !options_.trace) return;
  std::lock_guard<std::mutex> lock(outMutex_);
  out_(std::to_string(number) + " " + text);
}

void EngineHost::Start() {
  *privateArea_ = SharedAudioArea{};
  if (options_.sharedArea) {
    std::string error;
    sharedArea_ = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, &error);
    if (sharedArea_) {
      area_ = sharedArea_->area();
    } else {
      std::fprintf(stderr, "velmora-engine: %s; talk uses a private area\n", error.c_str());
    }
  }
  auto recorder = std::make_unique<CMakeFile>();
  recorder->SetRecordName(options_.recordName);
  recorder->passMessage.Set([this](int32_t number, const char* text) { Print(number, text); });
  link_ = std::make_unique<CNetManage>(std::move(recorder), options_.startDelayMs);
  link_->prerecord = std::clamp(options_.prerecord, 0, CNetManage::kMaxPrerecordMs);
  if (options_.media) {
    StartMedia();
  } else {
    StartCounting();
  }
  events_ = WireLink(*link_, vidSock_, audSock_, *videoPeer_, *audioPeer_, *area_);
  link_->SetText(link_->ipaddr, options_.host);
  link_->port = static_cast<int16_t>(options_.port);
  link_->SetText(link_->username, options_.user);
  link_->SetText(link_->password, options_.password);
  link_->passMessage.Set([this](int32_t number, const char* text) { Print(number, text); });
  link_->StartLinkThread();
  if (video_) video_->StartVideoThread();
  if (audio_) audio_->StartAudioThread();
  JoinTalkArea(*link_, *area_);
  link_->loginLevel = 0;
  link_->PostCommand(CmdConnectVideo);
  link_->PostCommand(CmdConnectAudio);
}

void EngineHost::StartCounting() {
  countingVideo_ = std::make_unique<CountingVideo>();
  countingAudio_ = std::make_unique<CountingAudio>();
  videoPeer_ = countingVideo_.get();
  audioPeer_ = countingAudio_.get();
}

// As the form does: the window, then the video channel on it, then the audio
// player; their threads start after the link's.
void EngineHost::StartMedia() {
  window_ = platform::CreateMainForm(DrawDevice::kSurfaceWidth, DrawDevice::kSurfaceHeight, "Velmora",
                                     "velmora-engine", "Velmora");
  if (window_) {
    window_->handlers.onCloseRequest = [this] { closeRequested_ = true; };
    window_->handlers.onGone = [this] { windowGone_ = true; };
  }
  video_ = std::make_unique<CVideoMPEG4>(window_.get());
  audio_ = std::make_unique<CAudioG726>();
  const auto report = [this](int32_t number, const char* text) { Print(number, text); };
  video_->passMessage.Set(report);
  audio_->passMessage.Set(report);
  audio_->instanceNumber = 0;
  videoPeer_ = video_.get();
  audioPeer_ = audio_.get();
}

void EngineHost::Tick() {
  events_->StatisticTimer();
  if (video_) video_->CountDrawFailSecond();
}

HostStats EngineHost::Stats() const {
  HostStats s;
  if (!link_) return s;
  s.frmrate = link_->frmrate;
  s.avbitrate = link_->avbitrate;
  s.audbitrate = link_->audbitrate;
  s.talkKbps = static_cast<int32_t>(link_->talkKbps.load());
  s.videoState = link_->videoState;
  s.audioState = link_->audioState;
  s.loginLevel = link_->loginLevel;
  s.vidconnected = link_->vidconnected != 0;
  s.audconnected = link_->audconnected != 0;
  if (countingVideo_) {
    s.framesShown = countingVideo_->frames;
    s.videoBytes = countingVideo_->bytes;
    s.audioBytes = countingAudio_->bytes;
    s.audioResets = countingAudio_->resets;
  } else {
    s.framesShown = static_cast<uint64_t>(video_->framesDecoded.load());
  }
  return s;
}

bool EngineHost::Command(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word)) return true;
  if (word == "sio") {
    int port = -1;
    in >> port;
    std::string text;
    std::getline(in >> std::ws, text);
    if (port < 0 || port > 1 || text.empty()) return false;
    link_->sioTx[port].PutBytes(text.data(), static_cast<uint32_t>(text.size()));
    return true;
  }
  if (word == "sioget") {
    int port = -1;
    in >> port;
    if (port < 0 || port > 1) return false;
    // Takes what waits, as GetSIOData does, which ends the 48/49 notices.
    std::string text = "# sio " + std::to_string(port) + ":";
    uint8_t byte;
    char hex[4];
    while (link_->sioRx[port].GetBytes(&byte, 1)) {
      std::snprintf(hex, sizeof(hex), " %02X", byte);
      text += hex;
    }
    std::lock_guard<std::mutex> lock(outMutex_);
    out_(text);
    return true;
  }
  if (word == "gpio") {
    int value = 0;
    if (!(in >> value)) return false;
    link_->gpioOut = value;
    link_->PostCommand(CmdSendGpio);
    return true;
  }
  if (word == "talk") {
    in >> word;
    if (word != "on" && word != "off") return false;
    if (word == "on") {
      const int32_t write = audioPeer_->ReadWriteSlot();
      if (write >= 0 && write < kTalkSlotCount) link_->talkReadSlot = write;
    }
    link_->biauden = word == "on" ? 1 : 0;
    return true;
  }
  char* end = nullptr;
  const long code = std::strtol(word.c_str(), &end, 10);
  if (*end != 0 || code < 1 || code > 17) return false;
  link_->PostCommand(static_cast<int32_t>(code));
  return true;
}

}  // namespace host
