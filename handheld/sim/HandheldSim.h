#pragma once

// handheld-sim: creates, shows, unplugs, plugs and changes an emulated handheld (a folder tree).

#include <iosfwd>
#include <string>
#include <vector>

namespace handheldsim {

// The name that stands for the handheld's main memory where a storage is named. No card can be
// called so: a device name never holds ":".
inline constexpr const char* kMainMemory = ":main";

// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kFailure = 1;
inline constexpr int kBadUsage = 2;

// Runs one command line (without the program name). Normal output goes to out, errors to err.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Where an unplugged handheld's folder is kept: a hidden sibling of the root.
std::string UnpluggedPath(const std::string& root);

}  // namespace handheldsim
