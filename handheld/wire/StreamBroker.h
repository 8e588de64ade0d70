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

    // Starts serving a connected handheld on a new stream. The path of the one-shot socket that
    // hands the stream over, or empty with the reason in error. The socket waits handOverWait
    // seconds for its client.
    std::string offer(std::unique_ptr<handheld::EmulatedHandheld> device, OsVersion os,
                      std::string& error, int handOverWait = 30);

    // Drops every stream (an unplugged handheld): their sockets are shut down, so clients see
    // the link end and the serving threads finish.
    void dropAll();
    // Joins the threads of streams that have ended.
    void reap();
    // Streams being handed over or served.
    size_t active();

private:
    struct Stream;
    void run(const std::shared_ptr<Stream>& stream);

    std::string runtimeDir_;
    std::mutex mutex_;
    std::list<std::shared_ptr<Stream>> streams_;
    std::atomic<bool> stopping_{false};
};

}  // namespace wire
