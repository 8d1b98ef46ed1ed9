#include "control/velmora_form.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "engine/recorder.h"
#include "platform/com/com.h"
#include "platform/files.h"
#include "platform/process.h"
#include "shared/command_codes.h"

namespace control {
namespace {

std::atomic<uint32_t> instanceCounter{0};

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

std::unique_ptr<SharedAreaAttachment> AttachNamedArea(std::string* error) {
  return SharedAreaAttachment::Attach(SharedAreaAttachment::Role::Viewer, error);
}

bool StartServer(const std::string& path) { return platform::StartDetachedProgram(path, nullptr); }

}  // namespace

uint32_t TVelmoraX::InstanceCounter() { return instanceCounter.load(); }

std::string TVelmoraX::CaptureServerPath() {
  if (const char* env = std::getenv("VELMORA_OSTRANE")) return env;
  const std::string system = platform::SystemDirectory();
  const std::string sibling = system + "/../bin/ostrane";
  if (IsExecutable(sibling)) return sibling;
  return system + "/ostrane";
}

TVelmoraX::TVelmoraX(FormSeams seams)
    : Statistic(1000, true, [this] { StatisticTimer(); }),
      Timer1(500, false, [this] { Timer1Timer(); }),
      seams_(std::move(seams)) {
  if (!seams_.attachArea) seams_.attachArea = AttachNamedArea;
  if (!seams_.startServer) seams_.startServer = StartServer;
  properties.Color = 0x000000;
  // A new form forgets an open console until it is opened again.
  CloseDebugConsole();
  ActiveFormCreate();
}

TVelmoraX::~TVelmoraX() { ActiveFormDestroy(); }

// Joins the machine's area; the first viewer starts the capture server.
// Without the named area the form talks from a private zeroed one: only
// talk audio is lost.
void TVelmoraX::AttachArea() {
  std::string error;
  mapping = seams_.attachArea(&error);
  if (mapping) {
    sharedArea = mapping->area();
    if (mapping->viewerCountBefore() == 0) {
      const std::string path = CaptureServerPath();
      if (!path.empty()) seams_.startServer(path);  // not checked: a missing server only loses talk
    }
  } else {
    std::fprintf(stderr, "velmora: talk area unavailable (%s); talk audio is off for this viewer\n",
                 error.empty() ? "no area" : error.c_str());
    privateArea_ = std::make_unique<SharedAudioArea>();
    sharedArea = privateArea_.get();
  }
  talkSlotBase = reinterpret_cast<uint8_t*>(sharedArea) + offsetof(SharedAudioArea, slots);
}

void TVelmoraX::ActiveFormCreate() {
  instanceNumber = instanceCounter.load();
  AttachArea();

  CreateWindow();
  auto recorder = std::make_unique<CMakeFile>();
  char name[32];
  std::snprintf(name, sizeof(name), "c:\\live%u", instanceNumber);
  recorder->SetRecordName(name);
  CMakeFile* recorderRef = recorder.get();
  link = std::make_unique<CNetManage>(std::move(recorder), seams_.linkStartDelayMs);
  video = std::make_unique<CVideoMPEG4>(window.get());
  audio = std::make_unique<CAudioG726>();

  events_ = WireLink(*link, VidSock, AudSock, *video, *audio, *sharedArea);
  audio->instanceNumber = instanceNumber;
  // The recorder reports through the link's closure, which the control sets.
  CNetManage* linkRef = link.get();
  recorderRef->passMessage.Set([linkRef](int32_t number, const char* text) { linkRef->passMessage(number, text); });

  link->StartLinkThread();
  video->StartVideoThread();
  audio->StartAudioThread();
  JoinTalkArea(*link, *sharedArea);

  instanceCounter.fetch_add(1);
  DiagnosticPage = 0;
}

uint32_t RgbOfOleColor(OLE_COLOR color) {
  if (color & 0x80000000u) return 0xF0F0F0;
  return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
}

// The form's window, black and parked; its input goes to the form's
// handlers and the control's events.
void TVelmoraX::CreateWindow() {
  window = platform::CreateForm(kWidth, kHeight, "VelmoraX");
  applied_ = properties;
  if (!window) return;
  auto raise = [this](std::function<void()> FormEvents::*handler) {
    return [this, handler] {
      if (events.*handler) (events.*handler)();
    };
  };
  platform::FormHandlers& h = window->handlers;
  h.onActivate = raise(&FormEvents::onActivate);
  h.onDeactivate = raise(&FormEvents::onDeactivate);
  h.onClick = raise(&FormEvents::onClick);
  h.onDblClick = raise(&FormEvents::onDblClick);
  h.onPaint = raise(&FormEvents::onPaint);
  h.onKeyPress = [this](char& key) {
    if (events.onKeyPress) events.onKeyPress(key);
  };
  h.onMouseDown = [this](platform::MouseButton button, platform::ShiftState shift, int32_t x, int32_t y) {
    ActiveFormMouseDown(button, shift, x, y);
  };
}

void TVelmoraX::ApplyProperties() {
  if (!window) return;
  const FormProperties& p = properties;
  if (p.Visible != applied_.Visible) window->SetVisible(p.Visible != VARIANT_FALSE);
  if (p.Color != applied_.Color) window->SetColor(RgbOfOleColor(p.Color));
  if (p.Caption != applied_.Caption) window->SetCaption(com::WideToAnsi(p.Caption));
  if (p.Enabled != applied_.Enabled) window->SetEnabled(p.Enabled != VARIANT_FALSE);
  applied_ = p;
}

void TVelmoraX::ActiveFormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  Statistic.SetEnabled(false);
  Timer1.SetEnabled(false);
  if (link) {
    link->PostCommand(CmdDisconnectAudio);
    link->PostCommand(CmdDisconnectVideo);
  }
  // The link's destructor waits for the audio connection and stops its
  // thread; after it no thread runs the socket handlers.
  link.reset();
  VidSock.SetHandlers({});
  AudSock.SetHandlers({});
  events_.reset();
  video.reset();
  audio.reset();
  // The window itself goes with the form: the embedding may still move it.
  mapping.reset();  // the viewer's -1; the last one out removes the area
  privateArea_.reset();
  sharedArea = nullptr;
  talkSlotBase = nullptr;
}

void TVelmoraX::StatisticWatchdogs() {
  events_->StatisticTimer();
  video->CountDrawFailSecond();
  if (seams_.onWatchdog) seams_.onWatchdog();
}

// An exception in the watchdogs stops the timer for the life of the form.
void TVelmoraX::StatisticTimer() {
  if (!link) return;
  try {
    StatisticWatchdogs();
  } catch (...) {
    Statistic.SetEnabled(false);
  }
}

std::unique_ptr<ViewerForm> MakeViewerForm() { return std::make_unique<TVelmoraX>(); }

}  // namespace control
