// A link wired as the form wires it, against the camera simulator on
// loopback: real sockets, the real link thread, the socket handlers and a
// test-owned shared audio area.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "engine/link_events.h"
#include "link_doubles.h"
#include "platform/clock.h"
#include "shared/command_codes.h"
#include "tests/support/wait.h"
#include "tools/camsim/camsim.h"

namespace link_test {

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  return testing_support::WaitUntil(done, timeoutMs);
}

inline camsim::Ms Ms(int ms) { return camsim::Ms{ms}; }

// Fills the talk ring as the capture server would: slot i holds frames with
// sequence numbers counted in the order the slots are written.
inline void FillSlot(SharedAudioArea& area, int slot, uint32_t firstSequence) {
  for (int f = 0; f < TalkSlot::kFrames; ++f) {
    uint8_t* b = area.slots[slot].frames[f].bytes;
    std::memset(b, 0, AdpcmFrame::kSize);
    b[0] = 0x80;
    b[1] = 0x81;
    b[3] = 10;
    b[4] = 0;
    b[5] = 120;
    wire::WriteLe32(b + 8, firstSequence + static_cast<uint32_t>(f));
    for (size_t i = 12; i < AdpcmFrame::kSize; ++i) b[i] = static_cast<uint8_t>(i * 7);
  }
}

inline camsim::SimConfig QuietCamera() {
  camsim::SimConfig c;
  c.video.enabled = false;
  c.audio.kind = camsim::AudioKind::None;
  return c;
}

struct LiveLink {
  explicit LiveLink(camsim::SimConfig config = {}, uint32_t startDelayMs = 0)
      : cam(std::move(config)), area(std::make_unique<SharedAudioArea>()) {
    link = std::make_unique<CNetManage>(std::make_unique<FakeRecorder>(), startDelayMs);
    recorder = static_cast<FakeRecorder*>(link->recorder.get());
    events = std::make_unique<LinkEvents>(*link);
    link->vidSock = &vidSock;
    link->audSock = &audSock;
    link->video = &video;
    link->audio = &audio;
    for (int i = 0; i < kTalkSlotCount; ++i) audio.talkSlots[i] = &area->slots[i];
    audio.writeSlotRef = &area->writeSlot;
    messages.Attach(link->passMessage);
    vidSock.SetHandlers(events->VideoHandlers());
    audSock.SetHandlers(events->AudioHandlers());
    CNetManage::DisplaySkipCount = 0;
  }

  ~LiveLink() {
    if (link) {
      link->PostCommand(CmdDisconnectAudio);
      link->PostCommand(CmdDisconnectVideo);
      WaitUntil([&] { return link->vidconnected == 0 && link->audconnected == 0; }, 2000);
      link.reset();
    }
    vidSock.SetHandlers({});
    audSock.SetHandlers({});
  }

  // Starts the camera and the link thread, pointing the link at the camera.
  bool Start() {
    if (!cam.Start()) return false;
    link->SetText(link->ipaddr, "127.0.0.1");
    link->port = static_cast<int16_t>(cam.port());
    link->StartLinkThread();
    link->heartbeatRef = &area->heartbeat;
    link->showStatusRef = &area->showStatus;
    return true;
  }

  void Connect() {
    link->loginLevel = 0;
    link->PostCommand(CmdConnectVideo);
    link->PostCommand(CmdConnectAudio);
  }

  bool WaitStreaming(int timeoutMs = 5000) {
    return WaitUntil([&] { return link->videoState == 100 && link->audioState == 100; }, timeoutMs);
  }

  bool StartStreaming(int timeoutMs = 5000) {
    if (!Start()) return false;
    Connect();
    return WaitStreaming(timeoutMs);
  }

  bool WaitClosed(int timeoutMs = 5000) {
    return WaitUntil([&] { return link->vidconnected == 0 && link->audconnected == 0; }, timeoutMs);
  }

  // Numbered messages 32-38 in order.
  std::vector<std::pair<int32_t, std::string>> LoginMessages() const {
    std::vector<std::pair<int32_t, std::string>> out;
    for (auto& m : messages.All())
      if (m.first >= 32 && m.first <= 38) out.push_back(m);
    return out;
  }

  size_t FramesQueued() { return static_cast<size_t>(video.frameQueue->FrameCount()); }

  camsim::CameraSimulator cam;
  std::unique_ptr<SharedAudioArea> area;
  platform::ClientSocket vidSock, audSock;
  VideoPeer video;
  FakeAudio audio;
  Messages messages;
  std::unique_ptr<CNetManage> link;
  std::unique_ptr<LinkEvents> events;
  FakeRecorder* recorder = nullptr;
};

using Pairs = std::vector<std::pair<int32_t, std::string>>;

}  // namespace link_test
