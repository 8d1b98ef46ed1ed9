// VideoPeer: what the link thread reads and writes of the video channel (and
// of its renderer). The video channel derives from it; tests use it as is.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/encoder_settings.h"
#include "engine/frame_queue.h"

struct VideoPeer {
  VideoPeer() : frameQueue(std::make_unique<CManage2DBUF>(1000)) {}
  virtual ~VideoPeer() = default;

  // The display queue: whole VideoFrame messages, tagA = the frame tag.
  std::unique_ptr<CManage2DBUF> frameQueue;
  std::atomic<int32_t> playing{0};  // 0 pre-buffering, 1 playing
  std::atomic<uint32_t> newestTimestamp{0};
  std::atomic<uint8_t> motionoccur{0};
  // Video frames received in the last second; set by the statistics timer.
  std::atomic<uint32_t> frameRate{0};

  // Camera encoder settings (sent in the encoder-parameter message).
  std::atomic<uint16_t> maxbitrate{299};
  std::atomic<uint8_t> maxfrmrate{30};
  std::atomic<uint8_t> maxq{19};
  std::atomic<uint8_t> minq{6};
  std::atomic<uint8_t> intvlintra{30};
  std::atomic<uint16_t> motionsen{2000};
  std::atomic<uint8_t> EncMode{1};
  uint8_t encSpare[2] = {0, 0};

  MPEG4ControlValues ControlValues() const {
    return {maxbitrate, maxfrmrate, maxq, minq, intvlintra, motionsen, EncMode};
  }

  // The renderer's motion mask: bit row * 5 + column of the 5 x 5 grid.
  std::atomic<uint32_t> MotionGridMask{0};
};
