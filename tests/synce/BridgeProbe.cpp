// bridge-probe: drives the SynCE bridge (loaded from the file named first) through the contract
// without a window, one command a line of output, for the tests against SynCE's real library:
//   list                the attached handhelds' names, joined with '|'
//   select NAME|-       chooses one ('-': the default): "select OK|ERROR"
//   connect             "connect OK|FAILED"
//   locked              "locked 0|1"
//   unlock PIN          "unlock OK|ERROR"
//   free FOLDER         "free OK AVAILABLE TOTAL|ERROR"
//   move FROM TO        "move OK|ERROR"
//   find PATTERN        "find OK|ERROR": a search's first step (and its end)
//   copy BYTES TARGET   writes BYTES in 4096-byte writes: "copy OK|ERROR SECONDS"
// where ERROR is the last error's number.

#include <dlfcn.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rapi.h"

namespace {

RapiTable g_api;

std::u16string wide(const char* text) {
    std::u16string out;
    for (; *text != '\0'; ++text) {
        out.push_back(static_cast<unsigned char>(*text));  // the tests' names are ASCII
    }
    return out;
}

void outcome(const char* command, bool ok) {
    if (ok) {
        std::printf("%s OK\n", command);
    } else {
        std::printf("%s %u\n", command, g_api.CeGetLastError());
    }
}

}  // namespace

int main(int argc, char** argv) {
    void* bridge = argc > 1 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (bridge == nullptr) {
        std::fprintf(stderr, "usage: bridge-probe BRIDGE COMMAND...\n");
        return 2;
    }
#define PROBE_BIND(name, ...) g_api.name = reinterpret_cast<PFN_##name>(dlsym(bridge, #name));
    RAPI_DEVICE_FUNCTIONS(PROBE_BIND)
#undef PROBE_BIND
    for (int i = 2; i < argc; ++i) {
        const std::string command = argv[i];
        if (command == "list") {
            char16_t names[1024] = {};
            const RAPI_DWORD n = g_api.RapiEnumDevices(names, 1024);
            std::string line;
            for (RAPI_DWORD at = 0; at + 1 < n; ++at) {
                line.push_back(names[at] == u'\0' ? '|' : static_cast<char>(names[at]));
            }
            if (!line.empty()) {
                line.pop_back();
            }
            std::printf("list %s\n", line.c_str());
        } else if (command == "select" && i + 1 < argc) {
            const char* name = argv[++i];
            const std::u16string w = wide(name);
            outcome("select",
                    g_api.RapiSelectDevice(std::strcmp(name, "-") == 0 ? nullptr : w.c_str()) != 0);
        } else if (command == "connect") {
            RAPIINIT init{sizeof init, 0, 0};
            bool ok = g_api.CeRapiInitEx(&init) >= 0;
            pollfd ready{init.heRapiInit, POLLIN, 0};
            ok = ok && poll(&ready, 1, 20000) == 1 && init.hrRapiInit >= 0;
            std::printf("connect %s\n", ok ? "OK" : "FAILED");
        } else if (command == "locked") {
            std::printf("locked %d\n", g_api.RapiDeviceLocked() != 0 ? 1 : 0);
        } else if (command == "unlock" && i + 1 < argc) {
            outcome("unlock", g_api.RapiUnlockDevice(wide(argv[++i]).c_str()) != 0);
        } else if (command == "free" && i + 1 < argc) {
            uint64_t available = 0, total = 0, free = 0;
            if (g_api.CeGetDiskFreeSpaceEx(wide(argv[++i]).c_str(), &available, &total, &free)) {
                std::printf("free OK %llu %llu\n", static_cast<unsigned long long>(available),
                            static_cast<unsigned long long>(total));
            } else {
                outcome("free", false);
            }
        } else if (command == "move" && i + 2 < argc) {
            const std::u16string from = wide(argv[i + 1]), to = wide(argv[i + 2]);
            i += 2;
            outcome("move", g_api.CeMoveFile(from.c_str(), to.c_str()) != 0);
        } else if (command == "find" && i + 1 < argc) {
            CE_FIND_DATA found{};
            const RAPI_HANDLE h = g_api.CeFindFirstFile(wide(argv[++i]).c_str(), &found);
            outcome("find", h != INVALID_HANDLE_VALUE);
            if (h != INVALID_HANDLE_VALUE) {
                g_api.CeFindClose(h);
            }
        } else if (command == "copy" && i + 2 < argc) {
            const unsigned long bytes = std::strtoul(argv[i + 1], nullptr, 10);
            const std::u16string target = wide(argv[i + 2]);
            i += 2;
            const auto start = std::chrono::steady_clock::now();
            const RAPI_HANDLE h =
                g_api.CeCreateFile(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, INVALID_HANDLE_VALUE);
            bool ok = h != INVALID_HANDLE_VALUE;
            static const char block[4096] = {};
            for (unsigned long done = 0; ok && done < bytes; done += sizeof block) {
                RAPI_DWORD written = 0;
                ok = g_api.CeWriteFile(h, block, sizeof block, &written, nullptr) != 0;
            }
            const RAPI_DWORD error = ok ? 0 : g_api.CeGetLastError();
            if (h != INVALID_HANDLE_VALUE) {
                ok = g_api.CeCloseHandle(h) != 0 && ok;
            }
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            if (ok) {
                std::printf("copy OK %lld\n", static_cast<long long>(seconds));
            } else {
                std::printf("copy %u %lld\n", error, static_cast<long long>(seconds));
            }
        } else {
            std::fprintf(stderr, "bridge-probe: unknown command %s\n", command.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    g_api.CeRapiUninit();
    return 0;
}
