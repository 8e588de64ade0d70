#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace test {

struct StandInRun {
    long long start = 0;
    long long end = 0;
    std::vector<std::string> args;
};

inline std::vector<StandInRun> readStandInLog(const std::string& path) {
    std::vector<StandInRun> runs;
    if (!exists(path)) {
        return runs;
    }
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("BEGIN ", 0) == 0) {
            runs.push_back({std::stoll(line.substr(6)), 0, {}});
        } else if (line.rfind("ARG ", 0) == 0 && !runs.empty()) {
            runs.back().args.push_back(line.substr(4));
        } else if (line.rfind("END ", 0) == 0 && !runs.empty()) {
            runs.back().end = std::stoll(line.substr(4));
        }
    }
    return runs;
}

}  // namespace test
