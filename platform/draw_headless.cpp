#include "platform/draw_headless.h"

#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/message_queue.h"

namespace platform {
namespace {

std::atomic<uint64_t> nextWindowId{1};

class HeadlessDevice : public DrawDevice {
 public:
  HeadlessDevice(HeadlessWindow* window, uint32_t bitCount)
      : window_(window),
        bitCount_(bitCount),
        surface_(size_t(kSurfaceWidth) * kSurfaceHeight * (bitCount / 8), 0) {}

  DrawCaps Caps() const override { return DrawCaps{true, true, true}; }
  uint32_t BitCount() const override { return bitCount_; }
  uint8_t* Lock() override { return lost_ ? nullptr : surface_.data(); }
  void Unlock() override {}

  DrawResult Blit(const Rect& dst) override {
    DrawResult result = DrawResult::Ok;
    if (lost_) {
      result = DrawResult::SurfaceLost;
    } else if (TakeOne(window_->loseSurface)) {
      lost_ = true;
      result = DrawResult::SurfaceLost;
    } else if (TakeOne(window_->failBlits)) {
      result = DrawResult::Failed;
    }
    const int bpp = int(bitCount_ / 8);
    if (result == DrawResult::Ok) window_->Present(surface_.data(), bpp, dst, result);
    BlitRecord record;
    record.tick = GetTickCount();
    record.dst = dst;
    record.result = result;
    record.sourceOrigin = SurfacePixelRgb(surface_.data(), bpp, 0, 0);
    window_->RecordBlit(record);
    return result;
  }

  DrawResult Restore() override {
    window_->restores.fetch_add(1);
    if (window_->failRestore) return DrawResult::Failed;
    lost_ = false;
    return DrawResult::Ok;
  }

 private:
  static bool TakeOne(std::atomic<int>& counter) {
    int n = counter.load();
    while (n > 0) {
      if (counter.compare_exchange_weak(n, n - 1)) return true;
    }
    return false;
  }

  HeadlessWindow* window_;
  const uint32_t bitCount_;
  std::vector<uint8_t> surface_;
  bool lost_ = false;
};

}  // namespace

HeadlessWindow::HeadlessWindow(int width, int height)
    : width_(width > 0 ? width : 1),
      height_(height > 0 ? height : 1),
      id_(nextWindowId.fetch_add(1)),
      pixels_(size_t(width_) * size_t(height_), 0),
      owner_(CurrentThreadId()) {
  AddEventSource(this);
}

HeadlessWindow::~HeadlessWindow() {
  *alive_ = false;
  RemoveEventSource(owner_, this);
}

uint32_t HeadlessWindow::Pixel(int x, int y) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return pixels_[size_t(y) * size_t(width_) + size_t(x)];
}

void HeadlessWindow::Fill(uint32_t rgb) {
  std::lock_guard<std::mutex> lock(mutex_);
  background_ = rgb;
  for (auto& p : pixels_) p = rgb;
}

void HeadlessWindow::Erase(const Rect& area) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int x0 = std::max(area.left, 0), y0 = std::max(area.top, 0);
  const int x1 = std::min(area.right, width_), y1 = std::min(area.bottom, height_);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) pixels_[size_t(y) * size_t(width_) + size_t(x)] = background_;
}

std::vector<BlitRecord> HeadlessWindow::Blits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blits_;
}

std::vector<LineRecord> HeadlessWindow::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void HeadlessWindow::ClearRecords() {
  std::lock_guard<std::mutex> lock(mutex_);
  blits_.clear();
  lines_.clear();
}

void HeadlessWindow::RecordBlit(const BlitRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Bounded, so a long run does not grow without limit.
  if (blits_.size() >= 100000) blits_.erase(blits_.begin(), blits_.begin() + 50000);
  blits_.push_back(record);
}

void HeadlessWindow::Present(const uint8_t* surface, int bytesPerPixel, const Rect& dst, DrawResult) {
  const int64_t dw = int64_t(dst.right) - dst.left;
  const int64_t dh = int64_t(dst.bottom) - dst.top;
  if (dw <= 0 || dh <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytesPerPixel == 4 && dst.left >= 0 && dst.top >= 0 && dst.left < width_ && dst.top < height_) {
    uint8_t* origin = reinterpret_cast<uint8_t*>(pixels_.data() + size_t(dst.top) * size_t(width_) + size_t(dst.left));
    ScaleSurface(surface, 4, int(dw), int(dh), width_ - dst.left, height_ - dst.top, origin, width_ * 4);
    return;
  }
  for (int y = dst.top < 0 ? 0 : dst.top; y < height_ && y < dst.bottom; ++y) {
    const int sy = int(int64_t(y - dst.top) * DrawDevice::kSurfaceHeight / dh);
    for (int x = dst.left < 0 ? 0 : dst.left; x < width_ && x < dst.right; ++x) {
      const int sx = int(int64_t(x - dst.left) * DrawDevice::kSurfaceWidth / dw);
      pixels_[size_t(y) * size_t(width_) + size_t(x)] = SurfacePixelRgb(surface, bytesPerPixel, sx, sy);
    }
  }
}

void HeadlessWindow::PaintSquare(int cx, int cy, uint32_t rgb, int width) {
  const int x0 = cx - width / 2, y0 = cy - width / 2;
  for (int y = y0; y < y0 + width; ++y) {
    if (y < 0 || y >= height_) continue;
    for (int x = x0; x < x0 + width; ++x) {
      if (x < 0 || x >= width_) continue;
      pixels_[size_t(y) * size_t(width_) + size_t(x)] = rgb;
    }
  }
}

// Each segment is painted with a square brush of the pen's width centred on
// every point of the segment: a 2-pixel horizontal line at y covers rows
// y-1 and y.
void HeadlessWindow::DrawPolyline(const Point* points, int count, uint32_t rgb, int width) {
  if (!points || count < 1) return;
  if (width < 1) width = 1;
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i + 1 < count; ++i) {
    const Point a = points[i], b = points[i + 1];
    lines_.push_back(LineRecord{a, b, rgb, width});
    const int64_t dx = int64_t(b.x) - a.x, dy = int64_t(b.y) - a.y;
    int64_t steps = std::llabs(dx) > std::llabs(dy) ? std::llabs(dx) : std::llabs(dy);
    if (steps > 100000) steps = 100000;
    for (int64_t s = 0; s <= steps; ++s) {
      const int64_t x = steps ? a.x + (dx * s + (dx >= 0 ? steps / 2 : -steps / 2)) / steps : a.x;
      const int64_t y = steps ? a.y + (dy * s + (dy >= 0 ? steps / 2 : -steps / 2)) / steps : a.y;
      if (x < -width || y < -width || x > width_ + width || y > height_ + width) continue;
      PaintSquare(int(x), int(y), rgb, width);
    }
  }
}

std::unique_ptr<HeadlessWindow> CreateHeadlessWindow(int width, int height) {
  return std::make_unique<HeadlessWindow>(width, height);
}

std::unique_ptr<DrawDevice> CreateHeadlessDevice(HeadlessWindow* window) {
  if (!window || window->failCreate) return nullptr;
  uint32_t bits = window->surfaceBitCount;
  if (bits != 16 && bits != 24 && bits != 32) return nullptr;
  window->devicesCreated.fetch_add(1);
  return std::make_unique<HeadlessDevice>(window, bits);
}

}  // namespace platform
