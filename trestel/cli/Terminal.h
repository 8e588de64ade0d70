#pragma once

// The installer's terminal face: `trestel --install MODULE --to FOLDER [--handheld NAME]`
// installs one module without a display. Progress goes to standard error (a bar on a terminal,
// plain lines otherwise), then the outcome in the words of the window's message box.

#include <cstdio>

#include "DeviceApi.h"

namespace Terminal {

inline constexpr int kInstalled = 0;
inline constexpr int kFailed = 1;
inline constexpr int kBadUsage = 2;

// True when the arguments ask for an install from the terminal (any of its options is given).
bool Wanted(int argc, const char* const argv[]);

// The platform behind the install. A null member means the real one.
struct Platform {
    DeviceApi* device = nullptr;
    Waiter* waiter = nullptr;
    FILE* err = stderr;
    // A terminal gets a bar redrawn in place; anything else, plain lines.
    bool bTerminal = false;
};

// Runs the install and returns the exit status: kInstalled, kFailed or kBadUsage.
int Run(int argc, const char* const argv[], const Platform& platform);
// The same with the real platform; a bar when standard error is a terminal.
int Run(int argc, const char* const argv[]);

}  // namespace Terminal
