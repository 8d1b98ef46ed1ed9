// Test doubles for what the link drives: the audio player, the recorder,
// and a collector of numbered messages.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/audio_peer.h"
#include "engine/net_manage.h"
#include "engine/recorder_peer.h"
#include "engine/video_peer.h"
#include "engine/wire_protocol.h"
#include "shared/shared_audio_area.h"

namespace link_test {

struct FakeAudio : AudioPeer {
  void ResetAudio() override {
    ++resets;
    codedAudioRing.ClearBytes();
  }
  void SetAdpcmStartState(int16_t predictor, uint8_t stepIndex) override {
    lastPredictor = predictor;
    lastStepIndex = stepIndex;
    ++startStates;
  }
  std::atomic<int> resets{0};
  std::atomic<int> startStates{0};
  std::atomic<int16_t> lastPredictor{0};
  std::atomic<uint8_t> lastStepIndex{0};
};

struct FakeRecorder : RecorderPeer {
  void StartRecord(CManage2DBUF& video, CManage2DBUF& audio) override {
    ++starts;
    if (videoRecording || audioRecording) return;
    std::vector<uint8_t> item(wire::kMaxMessage);
    int32_t size = 0;
    while (video.FrameCount() > 0) {
      video.PopFrame(item.data(), &size);
      drainedVideo.emplace_back(item.begin(), item.begin() + size);
    }
    videoRecording = 1;
    if (AudioModule == 1) {
      while (audio.FrameCount() > 0) {
        audio.PopFrame(item.data(), &size);
        drainedAudio.emplace_back(item.begin(), item.begin() + size);
      }
      audioRecording = 1;
    }
  }
  void StopRecord() override {
    ++stops;
    videoRecording = 0;
    audioRecording = 0;
  }
  void WriteVideoRecord(uint8_t* message, uint32_t n) override {
    std::lock_guard<std::mutex> lock(mutex);
    video.emplace_back(message, message + 12 + n);
    std::memset(message + 12, 0xFF, std::min<uint32_t>(n, 4));
  }
  void WriteAudioRecord(const uint8_t* message, uint32_t n) override {
    std::lock_guard<std::mutex> lock(mutex);
    audio.emplace_back(message, message + 12 + n);
  }
  size_t VideoCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return video.size();
  }
  size_t AudioCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return audio.size();
  }
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> video, audio, drainedVideo, drainedAudio;
};

// Every message the link raises, in order.
class Messages {
 public:
  void Attach(MessageClosure& closure) {
    closure.Set([this](int32_t number, const char* text) { Add(number, text); });
  }
  void Add(int32_t number, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    all_.emplace_back(number, text);
    changed_.notify_all();
  }
  std::vector<std::pair<int32_t, std::string>> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_;
  }
  // Numbered messages other than trace lines.
  std::vector<std::pair<int32_t, std::string>> Numbered() const {
    std::vector<std::pair<int32_t, std::string>> out;
    for (auto& m : All())
      if (m.first != 255) out.push_back(m);
    return out;
  }
  std::vector<std::string> Texts(int32_t number) const {
    std::vector<std::string> out;
    for (auto& m : All())
      if (m.first == number) out.push_back(m.second);
    return out;
  }
  size_t Count(int32_t number) const { return Texts(number).size(); }
  size_t CountText(int32_t number, const std::string& text) const {
    auto t = Texts(number);
    return static_cast<size_t>(std::count(t.begin(), t.end(), text));
  }
  // Index of the first message (number, text) at or after `from`, or -1.
  int IndexOf(int32_t number, const std::string& text, size_t from = 0) const {
    auto all = All();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].first == number && (text.empty() || all[i].second == text)) return static_cast<int>(i);
    return -1;
  }
  bool WaitFor(int32_t number, const std::string& text, int timeoutMs = 5000, size_t count = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (auto& m : all_)
        if (m.first == number && (text.empty() || m.second == text)) ++n;
      return n >= count;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    all_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<int32_t, std::string>> all_;
};

// Message bytes built by hand.
inline std::vector<uint8_t> Message(uint8_t type, uint8_t subtype, uint8_t b2, uint8_t b3,
                                    const std::vector<uint8_t>& payload, uint8_t b6 = 0, uint8_t b7 = 0,
                                    uint32_t stamp = 0) {
  std::vector<uint8_t> m(12 + payload.size(), 0);
  m[0] = type;
  m[1] = subtype;
  m[2] = b2;
  m[3] = b3;
  m[4] = static_cast<uint8_t>(payload.size() >> 8);
  m[5] = static_cast<uint8_t>(payload.size());
  m[6] = b6;
  m[7] = b7;
  wire::WriteLe32(&m[8], stamp);
  std::copy(payload.begin(), payload.end(), m.begin() + 12);
  return m;
}

inline std::vector<uint8_t> VideoFrame(uint32_t stamp, uint8_t frameType = 2, uint8_t users = 1,
                                       uint32_t tag = 0, size_t payloadSize = 40, uint8_t motion = 0) {
  std::vector<uint8_t> payload(payloadSize, 0x5A);
  if (payloadSize >= 4) wire::WriteLe32(payload.data(), tag);
  return Message(0x01, 0x01, static_cast<uint8_t>((frameType << 6) | users), motion, payload, 0x1D, 0xDE, stamp);
}

inline std::vector<uint8_t> AudioFrame(uint32_t stamp, size_t payloadSize = 120, int16_t predictor = 0,
                                       uint8_t step = 0) {
  std::vector<uint8_t> payload(payloadSize, 0x11);
  const auto p = static_cast<uint16_t>(predictor);
  return Message(0x01, 0x02, 0, step, payload, static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8), stamp);
}

// A link that is not started: messages are handed to it directly.
struct IdleLink {
  IdleLink() : link(std::make_unique<FakeRecorder>(), 0) {
    link.video = &video;
    link.audio = &audio;
    link.vidSock = &vidSock;
    link.audSock = &audSock;
    recorder = static_cast<FakeRecorder*>(link.recorder.get());
    messages.Attach(link.passMessage);
    CNetManage::DisplaySkipCount = 0;
  }
  void Feed(std::vector<uint8_t> m) { link.HandleMessage(m.data(), static_cast<uint32_t>(m.size() - 12)); }
  platform::ClientSocket vidSock, audSock;
  VideoPeer video;
  FakeAudio audio;
  CNetManage link;
  FakeRecorder* recorder = nullptr;
  Messages messages;
};

}  // namespace link_test
