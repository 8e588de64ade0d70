#pragma once

// handheld-sim show's listing of an attached handheld.

#include <iosfwd>
#include <string>

namespace handheldsim {

// Prints the handheld's name and OS version, each storage with its settings and bytes in use,
// and the tree of its folders; rootFd is the open root folder.
void ShowAttached(const std::string& root, int rootFd, std::ostream& out);

}  // namespace handheldsim
