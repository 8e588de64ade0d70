// handheld-sim: creates, shows, unplugs, plugs and changes an emulated handheld.

#include <iostream>
#include <string>
#include <vector>

#include "HandheldSim.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return handheldsim::Run(args, std::cout, std::cerr);
}
