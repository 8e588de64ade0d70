#pragma once

// The emulator's descriptors are the project's one descriptor owner.

#include "Posix.h"

namespace handheld {

using Fd = posix::UniqueFd;

}  // namespace handheld
