// The form's hidden diagnostics: status-bar pages, the capture server's
// status switch, the debug console and the motion-grid click.
#include <atomic>
#include <cstdio>

#include "control/velmora_form.h"
#include "platform/console.h"

namespace control {
namespace {

std::string Format(const char* format, auto value) {
  char text[32];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string U(uint32_t value) { return Format("%u", value); }

}  // namespace

std::string FormatCount(int32_t value) { return Format("%d", value); }
std::string FormatCount8(int32_t value) { return Format("%d", value & 0xFF); }

bool TVelmoraX::OpenDebugConsole() {
  if (!platform::OpenDebugConsole()) return false;
  platform::SetDebugConsoleTitle(Format("%d", static_cast<int32_t>(instanceNumber)));
  return true;
}

void TVelmoraX::CloseDebugConsole() { platform::CloseDebugConsole(); }

void TVelmoraX::ActiveFormMouseDown(platform::MouseButton button, platform::ShiftState shift, int32_t x, int32_t y) {
  const bool right = button == platform::MouseButton::Right;
  if (right && shift.ctrl && shift.alt) {
    DiagnosticPage = DiagnosticPage + 1 == 9 ? 0 : DiagnosticPage + 1;
    StatusBar1.visible = DiagnosticPage != 0;
    StatusBar1.panels[0].text = U(static_cast<uint32_t>(DiagnosticPage));
    for (int i = 1; i < 6; ++i) StatusBar1.panels[i].text.clear();
    ShowStatusBar();
    Timer1.SetEnabled(DiagnosticPage != 0);
  }
  if (right && shift.ctrl && shift.shift && link && link->showStatusRef) {
    std::atomic_ref<int16_t> showStatus(*link->showStatusRef);
    showStatus.store(static_cast<int16_t>(1 - showStatus.load()));
  }
  if (right && shift.alt && shift.shift) {
    if (platform::DebugConsoleIsOpen()) {
      CloseDebugConsole();
    } else {
      OpenDebugConsole();
    }
  }
  if (button == platform::MouseButton::Left && video && link) {
    try {
      CMy_Draw* draw = video->draw.get();
      if (draw && draw->MotionGrid == 1 && video->EncMode == 2 && link->loginLevel == 0x20) {
        const float zoom = video->zoom;
        draw->ToggleMotionCell(x, y, zoom);
        draw->DrawMotionGrid(zoom, -1);
      }
    } catch (...) {
      // A failed grid edit leaves the grid as far as it got.
    }
  }
}

void TVelmoraX::ShowStatusBar() {
  if (window) window->SetStatusBar(StatusBar1.visible, StatusBar1.panels);
}

void TVelmoraX::FillPage(int32_t page) {
  auto& p = StatusBar1.panels;
  p[0].text = U(static_cast<uint32_t>(page));
  CNetManage& l = *link;
  CVideoMPEG4& v = *video;
  CAudioG726& a = *audio;
  switch (page) {
    case 1: {
      CMy_Draw* draw = v.draw.get();
      p[1].text = "#ID:" + FormatCount(v.decoderSlot);
      p[2].text = "Acc:" + FormatCount(draw ? draw->bltStretch.load() : 0) +
                  FormatCount(draw ? draw->noPageLockRequired.load() : 0);
      p[3].text = U(static_cast<uint32_t>(l.linkPasses.load()));
      p[4].text = U(static_cast<uint32_t>(v.loopCount.load()));
      p[5].text = U(a.passCount.load());
      break;
    }
    case 2:
      p[1].text = U(l.vidRing.Count());
      p[2].text = U(l.audRing.Count());
      p[3].text = U(static_cast<uint32_t>(v.frameQueue->FrameCount()));
      p[4].text = U(a.codedAudioRing.Count());
      p[5].text = "pr:" + FormatCount(l.preRecordVideo.FrameCount()) + ":" + FormatCount(l.preRecordAudio.FrameCount());
      break;
    case 3: {
      p[1].text = "#u:" + FormatCount(l.curruser);
      const int32_t tick = pageTicks++;
      if (tick % 2 == 0) p[2].text = "fr:" + FormatCount(v.framesDecoded.exchange(0));
      p[3].text = Format("%04x", static_cast<unsigned>(l.cameraId.load()));
      const uint16_t firmware = l.firmwareVersion;
      char text[16];
      std::snprintf(text, sizeof(text), "%2d.%02d", firmware >> 8, firmware & 0xFF);
      p[4].text = text;
      p[5].text = l.version;
      break;
    }
    case 4:
      p[1].text = "mfr:" + FormatCount(v.maxfrmrate);
      p[2].text = "mbr:" + FormatCount(v.maxbitrate);
      p[3].text = "int:" + FormatCount(v.intvlintra);
      p[4].text = "mxq:" + FormatCount(v.maxq);
      p[5].text = "mnq:" + FormatCount(v.minq);
      break;
    case 5: {
      const int32_t w = v.frameQueue->FrameWriteIndex();
      const int32_t r = v.frameQueue->FrameReadIndex();
      p[1].text = U(static_cast<uint32_t>(w));
      p[2].text = U(static_cast<uint32_t>(r));
      p[3].text = U(static_cast<uint32_t>(v.frameQueue->FrameCount()));
      p[4].text = Format("%i", w - r);
      p[5].text = Format("%ld", static_cast<long>(v.motionbits.load()));
      break;
    }
    case 6: {
      a.GetPlayPosition(&a.writeCursor, &a.playCursor);
      const uint32_t writeBytes = 2 * a.writePos.load();
      p[1].text = U(writeBytes);
      p[2].text = U(a.writeCursor);
      p[3].text = Format("%lu", static_cast<unsigned long>(a.playCursor));
      p[4].text = Format("%i", static_cast<int32_t>((writeBytes - a.writeCursor + 192000u) % 192000u));
      p[5].text = "at:" + FormatCount(static_cast<int32_t>(a.codec.load())) +
                  " cf:" + FormatCount(static_cast<int32_t>(a.stretchMode.load()));
      break;
    }
    case 7:
      p[1].text = "bi:" + FormatCount(static_cast<int32_t>(l.talkKbps.load()));
      p[2].text = "#:" + FormatCount(sharedArea ? std::atomic_ref<uint8_t>(sharedArea->viewerCount).load() : 0);
      p[3].text = "w:" + FormatCount(a.writeSlotRef ? std::atomic_ref<int32_t>(*a.writeSlotRef).load() : 0);
      p[4].text = "r:" + FormatCount(l.talkReadSlot);
      p[5].text = "ch:" + FormatCount(l.vidchannel);
      break;
    case 8:
      p[1].text = "vc:" + FormatCount8(l.vidconnected);
      p[2].text = "ac:" + FormatCount8(l.audconnected);
      p[3].text = "vs:" + FormatCount(l.videoState);
      p[4].text = "as:" + FormatCount(l.audioState);
      p[5].text = "conf:" + FormatCount(l.vidConnecting);
      break;
    default:
      break;
  }
}

// Every tick, page 0 included, clears the pass counters, so page 1 shows
// passes per tick. A page that fails stops the timer and skips the clearing.
void TVelmoraX::Timer1Timer() {
  if (!link || !video || !audio) return;
  bool filled = true;
  try {
    if (seams_.onPage) seams_.onPage(DiagnosticPage);
    if (DiagnosticPage >= 1 && DiagnosticPage <= 8) FillPage(DiagnosticPage);
  } catch (...) {
    filled = false;
  }
  ShowStatusBar();
  if (!filled) {
    Timer1.SetEnabled(false);
    return;
  }
  link->linkPasses = 0;
  video->loopCount = 0;
  audio->passCount = 0;
}

}  // namespace control
