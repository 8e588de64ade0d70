#include "ProgramText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "product.h"

namespace programtext {

std::string VersionText(std::string_view program) {
    std::string text(program);
    text.append(" (").append(product::kName).append(") ").append(product::kVersion).append("\n");
    text.append("Copyright (C) ").append(product::kCopyright).append("\n");
    text.append("License ").append(product::kLicense).append(": <https://spdx.org/licenses/");
    text.append(product::kLicense).append(".html>.\n");
    text.append(
        "This is free software: you are free to change and redistribute it.\n"
        "There is NO WARRANTY, to the extent permitted by law.\n");
    return text;
}

std::string BugReportLine() {
    return std::string("Report bugs to: ") + product::kBugAddress + "\n";
}

bool FinishStandardOutput(std::string_view program) {
    // A write that failed earlier has set the stream's error flag; errno still tells why unless
    // something else has failed since.
    const bool earlier = std::ferror(stdout) != 0;
    const int earlierErrno = earlier ? errno : 0;
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && !earlier) {
        return true;
    }
    const int reason = !flushed ? errno : earlierErrno;
    const std::string name(program);
    std::fprintf(stderr, "%s: write error%s%s\n", name.c_str(), reason != 0 ? ": " : "",
                 reason != 0 ? std::strerror(reason) : "");
    return false;
}

int Answer(std::string_view program, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return FinishStandardOutput(program) ? 0 : 1;
}

}  // namespace programtext
