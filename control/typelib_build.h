// The control's type library, built from the member table: IVelmoraX (dual),
// IVelmoraXEvents (dispatch-only source) and the class VelmoraX.
#pragma once

#include "platform/com/typelib_format.h"

namespace control {

platform::typelib::TypeLibData BuildVelmoraTypeLib();

}  // namespace control
