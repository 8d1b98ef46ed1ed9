// The hosting side of velmora-view: finds the control through the registry,
// loads its library, creates it through its class factory, advises an event
// sink, activates it in place in a window of its own, and drives it by name
// through IDispatch with values given as text.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/ole.h"
#include "platform/draw.h"
#include "platform/form.h"
#include "platform/module.h"

namespace view {

// What went wrong, with the exit code the program gives for it.
struct HostError {
  int exitCode = 0;
  std::string text;
};

class EventSink;
class Site;

class ViewHost {
 public:
  using Output = std::function<void(const std::string& line)>;
  explicit ViewHost(Output out);
  ~ViewHost();  // releases the control (OnDestroy), then unloads the library

  // Looks up "Velmora.VelmoraX", loads and creates the control, advises the
  // sink and activates it in place. False with *error on failure.
  bool Create(HostError* error);

  // By name, values as text; false with a message in *error.
  bool Set(const std::string& name, const std::string& value, std::string* error);
  bool Get(const std::string& name, std::string* value, std::string* error);
  bool Call(const std::string& name, const std::vector<std::string>& args, std::string* result, std::string* error);

  // The id of the host window (0 without one) and its kind.
  uint64_t WindowId() const;
  bool HasX11Window() const;
  // The desktop asked to close the window.
  bool CloseRequested() const { return closeRequested_; }
  // The window was destroyed from outside.
  bool WindowGone() const { return windowGone_; }

 private:
  HRESULT Id(const std::string& name, DISPID* id);
  std::string Describe(HRESULT hr, const EXCEPINFO& info);
  bool CallLending(DISPID id, const std::vector<std::string>& args, std::string* result, std::string* error);
  bool Invoke(const std::string& name, DISPID id, std::vector<VARIANT>& params, const std::vector<std::string>& args,
              std::string* result, std::string* error);

  Output out_;
  platform::ModuleHandle module_ = nullptr;
  IDispatch* control_ = nullptr;
  IOleObject* ole_ = nullptr;
  IOleInPlaceActiveObject* active_ = nullptr;  // told when the window gets the focus
  IConnectionPoint* point_ = nullptr;
  DWORD cookie_ = 0;
  std::unique_ptr<EventSink> sink_;
  std::unique_ptr<Site> site_;
  std::unique_ptr<platform::Form> window_;
  bool closeRequested_ = false;
  bool windowGone_ = false;
  std::unique_ptr<uint8_t[]> picture_;  // lent to SetDecPointer; outlives the control
};

}  // namespace view
