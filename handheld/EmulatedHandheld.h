#pragma once

// The emulated handheld: a folder tree on the desktop behind the device table.

#include "rapi.h"

namespace handheld {

// The device table of the built-in emulated handheld.
const RapiTable& BuiltInTable();

}  // namespace handheld
