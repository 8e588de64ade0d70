#pragma once

// Hands out streams to the emulated handheld the way SynCE's connection manager does: for each
// connection a fresh socket pair, one end served by a thread of its own, the other passed with
// SCM_RIGHTS to the first process of the same user that connects to a one-shot unix socket in a
// private 0700 folder.

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "EmulatedHandheld.h"
#include "RapiWire.h"

namespace wire {

class StreamBroker {
public:
    // Private folders are made below runtimeDir (XDG_RUNTIME_DIR, else TMPDIR, else /tmp when
    // empty).
    explicit StreamBroker(std::string runtimeDir = {});
    ~StreamBroker();
    StreamBroker(const StreamBroker&) = delete;
    StreamBroker& operator=(const StreamBroker&) = delete;

    // A client claims its stream at once after asking for it; one that doesn't within this many
    // milliseconds never will.
    static constexpr int kHandOverWait = 3000;
    // Streams asked for and not yet claimed, from one caller and from all together: far more
    // than a desktop's tools ever leave waiting, few enough that nobody can use up this
    // process's threads and descriptors and so lock others out.
    static constexpr size_t kUnclaimedPerCaller = 4;
    static constexpr size_t kUnclaimed = 32;

    // Starts serving a connected handheld on a new stream for caller (a process, say). The
    // path of the one-shot socket that hands the stream over, or empty with the reason in error
    // (also when too many of the caller's or of all streams wait to be claimed: limited then).
    // The socket waits handOverWaitMs milliseconds for its client.
    std::string offer(std::unique_ptr<handheld::EmulatedHandheld> device, OsVersion os,
                      std::string& error, int handOverWaitMs = kHandOverWait, uint64_t caller = 0,
                      bool* limited = nullptr);

    // Drops every stream (an unplugged handheld): their sockets are shut down, so clients see
    // the link end and the serving threads finish.
    void dropAll();
    // Joins the threads of streams that have ended.
    void reap();
    // Streams being handed over or served.
    size_t active();
    // Streams waiting to be claimed.
    size_t unclaimed();

private:
    struct Stream;
    void run(const std::shared_ptr<Stream>& stream);

    std::string runtimeDir_;
    std::mutex mutex_;
    std::list<std::shared_ptr<Stream>> streams_;
    std::atomic<bool> stopping_{false};
};

}  // namespace wire
