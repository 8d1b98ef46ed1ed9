// Module state of the in-process server: the lock count, the object map with
// its cached class factory, and the registry keys of the control's class.
#pragma once

#include <memory>
#include <string>

#include "platform/com/ole.h"
#include "platform/com/typelib.h"

namespace control {

// Raised by every live object and by LockServer(TRUE).
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// Full path of the library (or program) this code was linked into.
std::string ModulePath();

// Writes (register) or deletes the class's registry keys for the library at
// path. The keys from the class key to Typelib need the type library.
HRESULT UpdateRegistry(bool reg, const std::string& path);

// The control's type library, loaded once: from the library file, else built
// from the member table (a program that links the control statically).
HRESULT ControlTypeLib(ITypeLib** out);

class ViewerForm;

// Builds the form (and with it the engine) of a new object: the viewer form
// sets it when it is linked in; tests set their own. Unset, creation fails
// with DISP_E_EXCEPTION.
using FormFactory = std::unique_ptr<ViewerForm> (*)();
void SetFormFactory(FormFactory factory);
// Runs at the end of an object's construction; an exception it raises fails
// the creation (a seam for tests).
using ConstructionHook = void (*)();
void SetConstructionHook(ConstructionHook hook);

// Creates one control object (aggregated when outer is given) and queries it
// for riid; the class factory's checks have been made.
HRESULT CreateVelmoraXInstance(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace control

// The library's four exports.
extern "C" {
HRESULT DllCanUnloadNow();
HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}
