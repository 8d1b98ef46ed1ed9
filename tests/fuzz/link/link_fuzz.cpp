// Arbitrary byte streams through the link's two receive rings and
// ParseMessage, with every handler behind it.
//
// Input: one settings byte, then chunks: a byte c (length (c & 0x7F) + 1,
// bit 7 picks the audio ring) followed by that many stream bytes. After each
// chunk the ring is parsed until no whole message is left.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/audio_peer.h"
#include "engine/net_manage.h"
#include "engine/recorder_peer.h"
#include "engine/video_peer.h"

namespace {

struct TouchingAudio : AudioPeer {
  void ResetAudio() override { codedAudioRing.ClearBytes(); }
  void SetAdpcmStartState(int16_t predictor, uint8_t stepIndex) override { sink += predictor + stepIndex; }
  int sink = 0;
};

// Reads every byte it is handed, so a wrong length shows up under ASan.
struct TouchingRecorder : RecorderPeer {
  void StartRecord(CManage2DBUF& video, CManage2DBUF& audio) override {
    video.ClearFrames();
    audio.ClearFrames();
  }
  void StopRecord() override {}
  void WriteVideoRecord(uint8_t* message, uint32_t n) override {
    std::memcpy(scratch.data(), message, 12 + n);
    std::memset(message + 12, 0xFF, n < 4 ? n : 4);
  }
  void WriteAudioRecord(const uint8_t* message, uint32_t n) override { std::memcpy(scratch.data(), message, 12 + n); }
  std::vector<uint8_t> scratch = std::vector<uint8_t>(60012);
};

struct Harness {
  Harness() : link(std::make_unique<TouchingRecorder>(), 0) {
    link.video = &video;
    link.audio = &audio;
    link.vidSock = &vidSock;
    link.audSock = &audSock;
    recorder = static_cast<TouchingRecorder*>(link.recorder.get());
    link.passMessage.Set([this](int32_t number, const char* text) { messages += number + (text[0] != 0); });
  }
  platform::ClientSocket vidSock, audSock;
  VideoPeer video;
  TouchingAudio audio;
  CNetManage link;
  TouchingRecorder* recorder = nullptr;
  int messages = 0;
};

void Reset(Harness& h, uint8_t settings) {
  CNetManage& l = h.link;
  for (CManage1DBUF* ring : {&l.vidRing, &l.audRing, &l.sioRx[0], &l.sioRx[1], &h.audio.codedAudioRing})
    ring->ClearBytes();
  l.preRecordVideo.ClearFrames();
  l.preRecordAudio.ClearFrames();
  h.video.frameQueue->ClearFrames();
  CNetManage::DisplaySkipCount = 0;
  l.prerecord = (settings & 1) ? 3000 : 0;
  h.recorder->videoRecording = (settings >> 1) & 1;
  h.recorder->audioRecording = (settings >> 1) & 1;
  h.recorder->AudioModule = (settings >> 2) & 1;
  l.VidEnable = (settings >> 3) & 1;
  l.AudEnable = (settings >> 4) & 1;
  h.audio.codec = (settings >> 5) & 1;
  h.audio.frameSize = h.audio.codec ? 24 : 120;
  l.audioStarted = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;
  Harness& h = *harness;
  if (size == 0) return 0;
  Reset(h, data[0]);
  size_t at = 1;
  while (at < size) {
    const uint8_t c = data[at++];
    const size_t n = std::min<size_t>((c & 0x7F) + 1u, size - at);
    CManage1DBUF& ring = (c & 0x80) ? h.link.audRing : h.link.vidRing;
    ring.PutBytes(data + at, static_cast<uint32_t>(n));
    at += n;
    while (h.link.ParseOne(ring) == ParseResult::Handled) {
    }
    h.link.TrimPreRecord();
  }
  // The harness lives for the whole run: no report thread may outlive its input.
  h.link.reporters.JoinAll();
  return 0;
}
