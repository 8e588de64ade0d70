// bench-wire: a module install through the SynCE bridge, SynCE's library and handheld-sim serve
// (on a private bus), against the limit of the same path: a bare loop that sends the same
// 4096-byte version 2 write requests over a unix stream to a server that only replies.
// Prints both in MiB/s and their ratio for each of a few rounds that take turns (the machine's
// load changes from second to second), with each side's time on a CPU and waiting for one per
// request; then the rounds' median ratio and serve's peak memory after a 1 MiB and after the
// full install (it must not grow with the file). With --connects N it does N connects and
// disconnects through the bridge instead and prints the growth of resident memory.
//
// Usage: bench-wire [--mib N] [--rounds N] [--connects N]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <optional>

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
#include "QuietWindow.h"
#include "modRapi.h"

namespace {

// What a failed run leaves behind is ended before it exits: serve and the private bus.
pid_t g_serve = 0;
pid_t g_bus = 0;

// Time a set of threads spent on a CPU and waiting in the run queue for one, in seconds
// (/proc/.../schedstat), so that each side's own cost can be told from the machine's load.
struct Sched {
    double cpu = 0;
    double wait = 0;
    Sched operator-(const Sched& o) const { return {cpu - o.cpu, wait - o.wait}; }
    Sched operator+(const Sched& o) const { return {cpu + o.cpu, wait + o.wait}; }
};

Sched schedOfTask(const std::filesystem::path& task) {
    std::ifstream in(task / "schedstat");
    double cpu = 0, wait = 0;
    in >> cpu >> wait;
    return {cpu / 1e9, wait / 1e9};
}

// Every thread of a process.
Sched schedOf(const std::string& pid) {
    Sched sum;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", error)) {
        sum = sum + schedOfTask(task.path());
    }
    return sum;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench-wire: %s\n", what.c_str());
    for (const pid_t pid : {g_serve, g_bus}) {
        if (pid > 0) {
            kill(pid, SIGTERM);
        }
    }
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
        g_bus = pid;
    }
    ~Bus() { kill(pid, SIGTERM); }
};

struct Lap {
    double seconds = 0;
    Sched client;  // the requesting side: installer, bridge and SynCE, or the bare loop's sender
    Sched server;  // serve, or the bare loop's replier
};

// The limit: the same framed 4096-byte write requests over a unix stream pair to a thread that
// reads each (in one read where it arrived whole, as serve does) and sends the write reply,
// nothing else. The sender waits for each reply as SynCE
// does: poll, then the reply's length, then its body.
Lap bareLoop(long mib) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        die("socketpair");
    }
    const long blocks = mib * 256;
    Sched server;
    std::thread replier([fd = pair[0], blocks, &server] {
        const auto task = "/proc/self/task/" + std::to_string(gettid());
        const Sched before = schedOfTask(task);
        // Each request read in as few reads as it arrived in, as serve reads them.
        std::vector<char> in(65536);
        size_t have = 0;
        const char reply[16] = {12, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 16, 0, 0};
        for (long i = 0; i < blocks; ++i) {
            size_t whole = 4;
            for (;;) {
                if (have >= 4) {
                    uint32_t length = 0;
                    std::memcpy(&length, in.data(), 4);
                    whole = 4 + static_cast<size_t>(length);
                }
                if (have >= whole || whole > in.size()) {
                    break;
                }
                const ssize_t got = ::read(fd, in.data() + have, in.size() - have);
                if (got <= 0) {
                    break;
                }
                have += static_cast<size_t>(got);
            }
            if (have < whole || posix::writeAll(fd, reply, sizeof reply) != 0) {
                break;
            }
            std::memmove(in.data(), in.data() + whole, have - whole);
            have -= whole;
        }
        server = schedOfTask(task) - before;
    });
    std::vector<char> message(4 + 12 + 4096);
    const uint32_t header[4] = {12 + 4096, 0x18, 0x100, 4096};
    std::memcpy(message.data(), header, sizeof header);
    char reply[16];
    const auto self = "/proc/self/task/" + std::to_string(gettid());
    const Sched before = schedOfTask(self);
    const double start = bench::seconds();
    for (long i = 0; i < blocks; ++i) {
        // SynCE builds each message anew: its body, then one buffer with the length in front.
        std::vector<char> copy(message);
        pollfd p{pair[1], POLLIN, 0};
        if (posix::writeAll(pair[1], copy.data(), copy.size()) != 0 || poll(&p, 1, 120000) != 1 ||
            posix::readFull(pair[1], reply, 4) != 4 ||
            posix::readFull(pair[1], reply + 4, 12) != 12) {
            die("bare loop broke");
        }
    }
    Lap lap;
    lap.seconds = bench::seconds() - start;
    lap.client = schedOfTask(self) - before;
    replier.join();
    lap.server = server;
    ::close(pair[0]);
    ::close(pair[1]);
    return lap;
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
    long rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) {
            mib = std::max(1L, std::strtol(argv[++i], nullptr, 10));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1L, std::strtol(argv[++i], nullptr, 10));
        } else if (arg == "--connects" && i + 1 < argc) {
            connects = std::max(1L, std::strtol(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: bench-wire [--mib N] [--rounds N] [--connects N]\n");
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
    setenv("TRESTEL_SYNCE_BRIDGE", TRESTEL_SYNCE_BRIDGE, 0);  // another bridge when one is named

    // serve prints one line once it owns its name on the bus: the connects start after it.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        die("pipe");
    }
    const pid_t serve = fork();
    if (serve == 0) {
        // serve's "Serving" line comes to the pipe, not among the figures.
        if (dup2(ready[1], STDOUT_FILENO) < 0) {
            _exit(127);
        }
        execl(HANDHELD_SIM, "handheld-sim", "serve", root.c_str(), "--os", "5.2", nullptr);
        _exit(127);
    }
    g_serve = serve;
    ::close(ready[1]);
    char byte;
    if (::read(ready[0], &byte, 1) != 1) {
        waitpid(serve, nullptr, 0);
        die("handheld-sim serve did not start");
    }
    ::close(ready[0]);  // its further lines go nowhere
    const std::string servePid = std::to_string(serve);

    bench::QuietWindow window;
    std::optional<modRapi::Engine> engine;
    engine.emplace(&window);
    int status = 0;
    if (connects > 0) {
        long first = -1;
        for (long i = 0; i < connects; ++i) {
            if (engine->RapiConnect() != modRapi::kTrue) {
                die("connect " + std::to_string(i + 1) + " failed");
            }
            engine->RapiDisconnect();
            if (i == 9) {
                first = bench::statusKiB("VmRSS");
            }
        }
        const long last = bench::statusKiB("VmRSS");
        std::printf(
            "%ld connects and disconnects through the bridge: resident memory %+ld KiB "
            "after the first 10 (target < 1024 KiB)\n",
            connects, last - first);
    } else {
        if (engine->RapiConnect() != modRapi::kTrue) {
            die("cannot connect through SynCE to serve");
        }
        const QString small = makeModule(dir / "small.bbl", 1);
        engine->CopyFileToDevice(small, "Storage Card\\small.bbl");
        const long smallPeak = bench::statusKiB("VmHWM", servePid);
        const QString module = makeModule(dir / "module.bbl", mib);
        const auto installed = root / "Storage Card" / "module.bbl";
        // The install and the bare loop take turns, so that both of a round meet about the same
        // load on the machine; the ratio is judged by the rounds' median.
        std::vector<double> ratios;
        long bigPeak = 0;
        for (long round = 1; round <= rounds; ++round) {
            const std::string self = "self";
            // Each round installs afresh, as the first does: no earlier copy to replace.
            std::filesystem::remove(installed);
            const Sched clientBefore = schedOf(self), serverBefore = schedOf(servePid);
            const double start = bench::seconds();
            engine->CopyFileToDevice(module, "Storage Card\\module.bbl");
            Lap install;
            install.seconds = bench::seconds() - start;
            install.client = schedOf(self) - clientBefore;
            install.server = schedOf(servePid) - serverBefore;
            bigPeak = std::max(bigPeak, bench::statusKiB("VmHWM", servePid));
            QFile a(module), b(QString::fromStdString(installed.string()));
            const bool same = window.failed == false && a.open(QIODevice::ReadOnly) &&
                              b.open(QIODevice::ReadOnly) && a.readAll() == b.readAll();
            if (!same) {
                std::fprintf(stderr, "bench-wire: the install failed or differs: %s\n",
                             qPrintable(window.message));
                status = 1;
            }
            const Lap bare = bareLoop(mib);
            const double ours = static_cast<double>(mib) / install.seconds;
            const double limit = static_cast<double>(mib) / bare.seconds;
            ratios.push_back(ours / limit);
            const double requests = static_cast<double>(mib) * 256;
            const auto us = [requests](double s) { return s * 1e6 / requests; };
            std::printf(
                "round %ld: install of %ld MiB through bridge, SynCE and serve %.1f MiB/s; "
                "bare loop of the same write requests %.1f MiB/s; ratio %.2f\n",
                round, mib, ours, limit, ours / limit);
            std::printf(
                "  per request, install: %.1f us (installer+bridge+SynCE on a CPU %.1f, "
                "serve %.1f; waiting for a CPU %.1f and %.1f)\n",
                us(install.seconds), us(install.client.cpu), us(install.server.cpu),
                us(install.client.wait), us(install.server.wait));
            std::printf(
                "  per request, bare loop: %.1f us (sender on a CPU %.1f, replier %.1f; "
                "waiting for a CPU %.1f and %.1f)\n",
                us(bare.seconds), us(bare.client.cpu), us(bare.server.cpu), us(bare.client.wait),
                us(bare.server.wait));
        }
        engine->RapiDisconnect();
        std::sort(ratios.begin(), ratios.end());
        std::printf(
            "ratio: median %.2f of %zu rounds (lowest %.2f, highest %.2f; target >= 0.80)\n",
            ratios[ratios.size() / 2], ratios.size(), ratios.front(), ratios.back());
        std::printf("serve's peak memory: %.1f MiB after 1 MiB, %.1f MiB after %ld MiB\n",
                    smallPeak / 1024.0, bigPeak / 1024.0, mib);
    }
    engine.reset();
    kill(serve, SIGTERM);
    waitpid(serve, nullptr, 0);
    std::filesystem::remove_all(dir);
    return status;
}
