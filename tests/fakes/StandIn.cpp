// A stand-in for the installer in tests: appends its arguments and its start and end times (ns
// of CLOCK_REALTIME) to the file named by BUNDORA_STANDIN_LOG, as one block:
//   BEGIN <start>\nARG <argv[0]>\nARG <argv[1]>\n...END <end>\n
// BUNDORA_STANDIN_SLEEP_MS makes it wait before it ends; BUNDORA_STANDIN_EXIT sets its exit code.

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

long long now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    const long long start = now();
    std::string block = "BEGIN " + std::to_string(start) + "\n";
    for (int i = 0; i < argc; ++i) {
        block += std::string("ARG ") + argv[i] + "\n";
    }
    if (const char* ms = std::getenv("BUNDORA_STANDIN_SLEEP_MS")) {
        usleep(static_cast<useconds_t>(std::atoi(ms)) * 1000);
    }
    block += "END " + std::to_string(now()) + "\n";
    if (const char* log = std::getenv("BUNDORA_STANDIN_LOG")) {
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                close(fd);
                return 99;
            }
            close(fd);
        }
    }
    const char* code = std::getenv("BUNDORA_STANDIN_EXIT");
    return code ? std::atoi(code) : 0;
}
