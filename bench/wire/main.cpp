// bench-wire: a module install through the SynCE bridge, SynCE's library and handheld-sim serve
// (on a private bus), against the limit of the same path: a bare loop that sends the same
// 4096-byte version 2 write requests over a unix stream to a server that only replies.
// Prints both in MiB/s, their ratio, and serve's peak memory after a 1 MiB and after the full
// install (it must not grow with the file). With --connects N it does N connects and
// disconnects through the bridge instead and prints the growth of resident memory.
//
// Usage: bench-wire [--mib N] [--connects N]

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Posix.h"
#include "modRapi.h"

namespace {

class QuietWindow : public InstallerWindow {
public:
    void AppendFolder(const QString&) override {}
    void FloodInit(int16_t) override {}
    void FloodUpdate(int16_t, const QString&) override {}
    void HideProgress() override {}
    void ShowMessage(const QString& sText, MessageIcon icon) override {
        message = sText;
        failed = icon == MessageIcon::Error;
    }
    void SetHourglass(bool) override {}
    QString message;
    bool failed = false;
};

// A field of /proc/PID/status in KiB.
long statusKiB(const std::string& pid, const char* field) {
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench-wire: %s\n", what.c_str());
    std::exit(1);
}

// A private bus: dbus-daemon forked with its address and pid read back.
struct Bus {
    std::string address;
    pid_t pid = 0;
    explicit Bus(const std::filesystem::path& dir) {
        const auto config = dir / "bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>"
               "<type>custom</type><listen>unix:dir="
            << dir.string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        const std::string command = "dbus-daemon --config-file='" + config.string() +
                                    "' --fork --nopidfile --print-address=1 --print-pid=1";
        FILE* p = popen(command.c_str(), "r");
        char line[512];
        if (p == nullptr || fgets(line, sizeof line, p) == nullptr) {
            die("cannot start dbus-daemon");
        }
        address = std::string(line, strcspn(line, "\n"));
        if (fgets(line, sizeof line, p) == nullptr) {
            die("dbus-daemon gave no pid");
        }
        pid = static_cast<pid_t>(std::atol(line));
        pclose(p);
    }
    ~Bus() { kill(pid, SIGTERM); }
};

// The limit: the same framed 4096-byte write requests over a unix stream pair to a thread that
// reads each and sends the write reply, nothing else.
double bareLoopMiBs(long mib) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        die("socketpair");
    }
    const long blocks = mib * 256;
    std::thread server([fd = pair[0], blocks] {
        std::vector<char> request(8192);
        const char reply[16] = {12, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 16, 0, 0};
        for (long i = 0; i < blocks; ++i) {
            uint32_t length = 0;
            if (posix::readFull(fd, &length, 4) != 4 ||
                posix::readFull(fd, request.data(), length) != static_cast<ssize_t>(length) ||
                posix::writeAll(fd, reply, sizeof reply) != 0) {
                return;
            }
        }
    });
    std::vector<char> message(4 + 12 + 4096);
    const uint32_t header[4] = {12 + 4096, 0x18, 0x100, 4096};
    std::memcpy(message.data(), header, sizeof header);
    char reply[16];
    const double start = bench::seconds();
    for (long i = 0; i < blocks; ++i) {
        // SynCE builds each message anew: its body, then one buffer with the length in front.
        std::vector<char> copy(message);
        if (posix::writeAll(pair[1], copy.data(), copy.size()) != 0 ||
            posix::readFull(pair[1], reply, 4) != 4 ||
            posix::readFull(pair[1], reply + 4, 12) != 12) {
            die("bare loop broke");
        }
    }
    const double took = bench::seconds() - start;
    server.join();
    ::close(pair[0]);
    ::close(pair[1]);
    return static_cast<double>(mib) / took;
}

QString makeModule(const std::filesystem::path& path, long mib) {
    std::vector<char> data(static_cast<size_t>(mib) << 20);
    std::mt19937 random(7);
    for (auto& c : data) {
        c = static_cast<char>(random());
    }
    std::ofstream(path, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
    return QString::fromStdString(path.string());
}

}  // namespace

int main(int argc, char** argv) {
    long mib = 64;
    long connects = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) {
            mib = std::max(1L, std::strtol(argv[++i], nullptr, 10));
        } else if (arg == "--connects" && i + 1 < argc) {
            connects = std::max(1L, std::strtol(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: bench-wire [--mib N] [--connects N]\n");
            return 2;
        }
    }
    // SynCE's library is found by dlopen along LD_LIBRARY_PATH as the process started with it.
    const std::string synceLib = SYNCE_PREFIX "/lib";
    const char* path = std::getenv("LD_LIBRARY_PATH");
    if (path == nullptr || std::string(path).find(synceLib) == std::string::npos) {
        if (!std::filesystem::exists(synceLib + "/libsynce.so.0")) {
            die("no SynCE at " SYNCE_PREFIX " (ctest -R synce_snapshot_build builds it)");
        }
        setenv("LD_LIBRARY_PATH", (synceLib + (path ? ":" + std::string(path) : "")).c_str(), 1);
        execv("/proc/self/exe", argv);
        die("cannot restart with SynCE's library path");
    }
    signal(SIGPIPE, SIG_IGN);

    const auto dir = bench::scratchFolder("bench-wire");
    const auto root = dir / "hh";
    if (bench::spawnWait({HANDHELD_SIM, "create", root.string(), "--card", "Storage Card"}) != 0) {
        die("cannot create the handheld");
    }
    std::filesystem::create_directories(dir / "bus");
    Bus bus(dir / "bus");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    unsetenv("TRESTEL_DEVICE");
    unsetenv("TRESTEL_RAPI_LIBRARY");
    setenv("TRESTEL_SYNCE_BRIDGE", TRESTEL_SYNCE_BRIDGE, 1);

    const pid_t serve = fork();
    if (serve == 0) {
        // serve's "Serving" line would mix with the figures.
        if (freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        execl(HANDHELD_SIM, "handheld-sim", "serve", root.c_str(), "--os", "5.2", nullptr);
        _exit(127);
    }
    const std::string servePid = std::to_string(serve);
    usleep(500000);

    QuietWindow window;
    modRapi::Bind(&window);
    int status = 0;
    if (connects > 0) {
        long first = -1;
        for (long i = 0; i < connects; ++i) {
            if (modRapi::RapiConnect() != modRapi::kTrue) {
                die("connect " + std::to_string(i + 1) + " failed");
            }
            modRapi::RapiDisconnect();
            if (i == 9) {
                first = statusKiB("self", "VmRSS");
            }
        }
        const long last = statusKiB("self", "VmRSS");
        std::printf(
            "%ld connects and disconnects through the bridge: resident memory %+ld KiB "
            "after the first 10 (target < 1024 KiB)\n",
            connects, last - first);
    } else {
        if (modRapi::RapiConnect() != modRapi::kTrue) {
            die("cannot connect through SynCE to serve");
        }
        const QString small = makeModule(dir / "small.bbl", 1);
        modRapi::CopyFileToDevice(small, "Storage Card\\small.bbl");
        const long smallPeak = statusKiB(servePid, "VmHWM");
        const QString module = makeModule(dir / "module.bbl", mib);
        const double start = bench::seconds();
        modRapi::CopyFileToDevice(module, "Storage Card\\module.bbl");
        const double took = bench::seconds() - start;
        const long bigPeak = statusKiB(servePid, "VmHWM");
        modRapi::RapiDisconnect();
        QFile a(module), b(QString::fromStdString((root / "Storage Card" / "module.bbl").string()));
        const bool same = window.failed == false && a.open(QIODevice::ReadOnly) &&
                          b.open(QIODevice::ReadOnly) && a.readAll() == b.readAll();
        if (!same) {
            std::fprintf(stderr, "bench-wire: the install failed or differs: %s\n",
                         qPrintable(window.message));
            status = 1;
        }
        const double ours = static_cast<double>(mib) / took;
        const double limit = bareLoopMiBs(mib);
        std::printf("install of %ld MiB through bridge, SynCE and serve: %.1f MiB/s\n", mib, ours);
        std::printf("bare loop of the same write requests over a unix stream: %.1f MiB/s\n", limit);
        std::printf("ratio: %.2f (target >= 0.50)\n", ours / limit);
        std::printf("serve's peak memory: %.1f MiB after 1 MiB, %.1f MiB after %ld MiB\n",
                    smallPeak / 1024.0, bigPeak / 1024.0, mib);
    }
    modRapi::Bind(nullptr);
    kill(serve, SIGTERM);
    waitpid(serve, nullptr, 0);
    std::filesystem::remove_all(dir);
    return status;
}
