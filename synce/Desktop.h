#pragma once

// The desktop's side of choosing a handheld, before the link: which handhelds SynCE's
// connection manager has, which one the next connect opens, and a locked one's password.

#include <string>

#include "SynceAbi.h"

namespace bridge {

// The attached handhelds' names as the contract lists them (each ended by NUL, the list by an
// empty name) into names when cch holds them all; returns the count the list needs, 0 when
// there is none or the manager can't be asked.
RAPI_DWORD listHandhelds(char16_t* names, RAPI_DWORD cch);

// The handheld the next connect opens: null or empty for SynCE's default; fails with
// ERROR_FILE_NOT_FOUND when no attached handheld has the name.
RAPI_BOOL chooseHandheld(const char16_t* name);

// The chosen handheld's name in UTF-8, empty for the default.
std::string chosenHandheld();

// Whether the chosen handheld refuses connects until its password is given.
RAPI_BOOL chosenHandheldLocked();

// Gives the chosen handheld's password to the connection manager; fails with
// ERROR_INVALID_PASSWORD when the handheld refuses it.
RAPI_BOOL unlockChosenHandheld(const char16_t* password);

}  // namespace bridge
