// What the control's COM object needs of its form: the engine objects the
// interface members read and write, the form's published properties, its
// events and its teardown. The form builds the engine and starts its threads
// before the object wires anything.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "control/velmorax.h"
#include "engine/audio_player.h"
#include "engine/net_manage.h"
#include "engine/video_channel.h"
#include "platform/draw.h"
#include "shared/message_closure.h"

namespace control {

// The form's own published properties, as the standard members see them.
struct FormProperties {
  VARIANT_BOOL Visible = VARIANT_TRUE;
  VARIANT_BOOL AutoScroll = VARIANT_TRUE;
  VARIANT_BOOL AutoSize = VARIANT_FALSE;
  int32_t BorderWidth = 0;
  std::u16string Caption = u"VelmoraX";
  OLE_COLOR Color = 0x8000000F;  // the system's button-face colour
  VARIANT_BOOL KeyPreview = VARIANT_FALSE;
  int32_t PixelsPerInch = 96;
  VARIANT_BOOL Scaled = VARIANT_TRUE;
  VARIANT_BOOL Active = VARIANT_FALSE;
  VARIANT_BOOL DropTarget = VARIANT_FALSE;
  std::u16string HelpFile;
  VARIANT_BOOL DoubleBuffered = VARIANT_FALSE;
  int32_t VisibleDockClientCount = 0;
  VARIANT_BOOL Enabled = VARIANT_TRUE;
  int16_t Cursor = 0;
};

// Handlers the form calls on the host's thread.
struct FormEvents {
  std::function<void()> onActivate, onClick, onCreate, onDblClick, onDeactivate, onPaint, onDestroy;
  std::function<void(char& key)> onKeyPress;
};

class ViewerForm {
 public:
  virtual ~ViewerForm() = default;

  virtual CNetManage& Link() = 0;
  virtual CVideoMPEG4& Video() = 0;
  virtual CAudioG726& Audio() = 0;
  virtual int32_t InstanceNumber() const = 0;
  virtual FormProperties& Properties() = 0;
  // The form's own window, when it has one (null: headless without a view).
  virtual platform::NativeWindow* FormWindow() { return nullptr; }
  // After a standard property was set: Visible, Color, Caption and Enabled
  // act on the window.
  virtual void ApplyProperties() {}
  // The form's own message closure.
  virtual MessageClosure& PassMessage() = 0;
  // The form's teardown: stops its timers, disconnects, deletes the engine
  // objects (each stops its thread first), releases the shared area.
  virtual void ActiveFormDestroy() = 0;
  // Inside one of the form's events on its own thread: keeps fn until that
  // event's dispatch has returned, runs it then, and gives true. Otherwise
  // false, and fn is not run.
  virtual bool AfterFormEvent(std::function<void()> fn) {
    (void)fn;
    return false;
  }

  FormEvents events;
};

}  // namespace control
