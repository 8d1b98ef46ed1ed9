#include "talkserver/ostrane.h"

#include <cstdlib>

std::atomic<uint16_t> watchCountdown{TOstrane::kWatchTicks};
std::atomic<uint16_t> lastHeartbeat{0};

namespace {

template <typename T>
T Load(T* field) {
  return std::atomic_ref<T>(*field).load(std::memory_order_relaxed);
}

template <typename T>
void Store(T* field, T value) {
  std::atomic_ref<T>(*field).store(value, std::memory_order_relaxed);
}

}  // namespace

std::string FormatCount(int64_t value) { return std::to_string(value); }

uint32_t TickIntervalFromEnvironment() {
  const char* text = std::getenv("OSTRANE_TICK_MS");
  if (text == nullptr || *text == '\0') return 1000;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 60000) return 1000;
  return uint32_t(value);
}

TOstrane::TOstrane(Options options)
    : captureOpener_(std::move(options.captureOpener)), window_(std::move(options.window)) {
  slotTable[kTalkSlotCount] = nullptr;
  Timer1.interval = options.tickMs;
}

TOstrane::~TOstrane() { FormClose(); }

bool TOstrane::FormCreate(std::string* error) {
  attachment_ = SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Server, error);
  if (!attachment_) return false;
  SharedAudioArea* area = attachment_->area();
  base_ = reinterpret_cast<uint8_t*>(area);
  slotTable[kTalkSlotCount] = &area->writeSlot;
  firstSlot_ = &area->slots[0];
  showStatus_ = &area->showStatus;
  heartbeat_ = &area->heartbeat;
  Store<int16_t>(showStatus_, 0);
  Store<uint16_t>(heartbeat_, 0);
  for (int i = 0; i < kTalkSlotCount; ++i) slotTable[i] = &area->slots[i];
  watchCountdown.store(kWatchTicks);
  lastHeartbeat.store(0);
  if (!window_) window_ = platform::CreateStatusWindow("Ostrane");
  Render();  // hidden at start: the viewers start us without a window
  capture_ = std::make_unique<CAudioIn>(8000, captureOpener_);
  capture_->StartCaptureThread();
  return true;
}

void TOstrane::FormClose() {
  Timer1.enabled = false;
  capture_.reset();  // joins the capture thread
  for (auto& slot : slotTable) slot = nullptr;
  attachment_.reset();
  base_ = nullptr;
  firstSlot_ = nullptr;
  showStatus_ = nullptr;
  heartbeat_ = nullptr;
  if (shown_) {
    shown_ = false;
    Render();
  }
}

void TOstrane::Timer1Timer() {
  if (!Timer1.enabled || attachment_ == nullptr) return;
  SharedAudioArea* area = attachment_->area();
  // Read and zeroed in one step, so no pass is lost between.
  const uint32_t loops = capture_ ? capture_->loopCount.exchange(0) : 0;
  if (Load(showStatus_) != 0) {
    height_ = kStatusHeight;
    shown_ = true;
    StatusBar1.visible = true;
    StatusBar1.panels[0] = "#u:" + FormatCount(int8_t(Load(&area->viewerCount)));
    StatusBar1.panels[1] = "p:" + FormatCount(Load(&area->writeSlot));
    StatusBar1.panels[2] = FormatCount(loops);
    StatusBar1.panels[3] = "rc:" + FormatCount(Load(heartbeat_));
  } else {
    height_ = kHeight;
    StatusBar1.visible = false;
    shown_ = false;
  }
  Render();

  // Sampled every tick, so only a heartbeat that never moved in the whole
  // window closes the server, whatever the count advanced by.
  const uint16_t beat = Load(heartbeat_);
  if (beat != lastHeartbeat.load()) {
    beatInWindow_ = true;
    lastHeartbeat.store(beat);
  }
  const uint16_t left = uint16_t(watchCountdown.load() - 1);
  watchCountdown.store(left);
  if (left > 0) return;
  watchCountdown.store(kWatchTicks);
  if (!beatInWindow_) {
    closeRequested_ = true;
    Timer1.enabled = false;
  }
  beatInWindow_ = false;
}

void TOstrane::ProcessEvents() {
  if (window_) window_->ProcessEvents();
}

void TOstrane::Render() {
  if (!window_) return;
  platform::StatusWindowState state;
  state.shown = shown_;
  state.width = kWidth;
  state.height = height_;
  state.label = Label1.caption;
  state.labelLeft = Label1.left;
  state.labelTop = Label1.top;
  state.panelsVisible = StatusBar1.visible;
  state.panelWidth = kPanelWidth;
  state.panels.assign(StatusBar1.panels.begin(), StatusBar1.panels.end());
  window_->Update(state);
}
