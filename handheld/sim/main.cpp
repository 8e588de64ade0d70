// handheld-sim: creates, shows, unplugs, plugs and changes an emulated handheld.

#include <iostream>
#include <string>
#include <vector>

#include "HandheldSim.h"
#include "ProgramText.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = handheldsim::Run(args, std::cout, std::cerr);
    // What was shown or answered must have reached standard output.
    return programtext::FinishStandardOutput("handheld-sim") ? status : 1;
}
