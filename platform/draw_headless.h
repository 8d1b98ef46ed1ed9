// Headless drawing: a window that is a block of 32-bit pixels (0x00RRGGBB) in
// memory. Its devices behave as working surfaces; every blit and line is
// recorded, and tests can make device creation, blits and restores fail. As
// a form it takes its input from Inject, delivered by the creating thread's
// pumps as a display's events would be.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/draw.h"
#include "platform/form.h"
#include "platform/message_queue.h"

namespace platform {

struct BlitRecord {
  uint32_t tick = 0;          // GetTickCount() at the blit
  Rect dst;                   // as asked for, before clipping
  DrawResult result = DrawResult::Ok;
  uint32_t sourceOrigin = 0;  // surface pixel (0, 0) as 0x00RRGGBB
};

struct LineRecord {
  Point from, to;
  uint32_t rgb = 0;
  int width = 0;
};

class HeadlessWindow : public Form, private EventSource {
 public:
  HeadlessWindow(int width, int height);
  ~HeadlessWindow() override;

  DrawKind Kind() const override { return DrawKind::Headless; }
  uint64_t NativeId() const override { return id_; }
  void DrawPolyline(const Point* points, int count, uint32_t rgb, int width) override;
  void Erase(const Rect& area) override;
  void SetParent(uint64_t parent) override { parent_ = parent; }
  void SetBounds(const Rect& bounds) override { bounds_ = bounds; }
  void SetVisible(bool visible) override { visible_ = visible; }
  void SetColor(uint32_t rgb) override { Fill(rgb); }
  void SetCaption(const std::string& caption) override;
  std::string Caption() const;
  // Queues an event as if the user made it; the owner's next pump runs it.
  void Inject(const FormEvent& event);
  uint64_t Parent() const { return parent_; }
  Rect Bounds() const { return bounds_; }
  bool Visible() const { return visible_; }

  int Width() const { return width_; }
  int Height() const { return height_; }
  uint32_t Pixel(int x, int y) const;
  // Every pixel, and the background that Erase fills with, becomes rgb.
  void Fill(uint32_t rgb);
  std::vector<BlitRecord> Blits() const;
  std::vector<LineRecord> Lines() const;
  void ClearRecords();

  // Knobs for tests; read by the devices at the moment they act.
  std::atomic<uint32_t> surfaceBitCount{32};  // 16, 24 or 32 for new devices
  std::atomic<bool> failCreate{false};        // CreateDrawDevice returns null
  std::atomic<int> failBlits{0};              // this many blits fail
  std::atomic<int> loseSurface{0};            // this many blits report a lost surface
  std::atomic<bool> failRestore{false};
  std::atomic<int> devicesCreated{0};
  std::atomic<int> restores{0};

  // Used by the headless device.
  void Present(const uint8_t* surface, int bytesPerPixel, const Rect& dst, DrawResult result);
  void RecordBlit(const BlitRecord& record);

 private:
  void PaintSquare(int cx, int cy, uint32_t rgb, int width);
  void Poll() override;

  const int width_;
  const int height_;
  const uint64_t id_;
  std::atomic<uint64_t> parent_{0};
  Rect bounds_{};
  std::atomic<bool> visible_{true};
  mutable std::mutex mutex_;
  std::vector<uint32_t> pixels_;
  uint32_t background_ = 0;
  std::vector<BlitRecord> blits_;
  std::vector<LineRecord> lines_;
  const ThreadId owner_;
  std::vector<FormEvent> injected_;
  std::string caption_;
};

std::unique_ptr<HeadlessWindow> CreateHeadlessWindow(int width, int height);

// Used by CreateViewWindow / CreateDrawDevice.
std::unique_ptr<DrawDevice> CreateHeadlessDevice(HeadlessWindow* window);

}  // namespace platform
