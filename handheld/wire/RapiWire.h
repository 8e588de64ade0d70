#pragma once

// The emulated handheld on the wire: the Remote API as a device speaks it to SynCE, over the
// device functions of one EmulatedHandheld.
//
// A message is a u32 little-endian length and a body. A request body starts with a u32 command.
// Version 1 replies start with a u32 0 (1: an HRESULT follows, the call failed as a whole);
// version 2 replies have no such prefix. Most replies then carry the device's last error. The
// operations and their command numbers in each version are in WireOps.h's tables.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "EmulatedHandheld.h"

namespace wire {

// The largest request taken whole; a longer one is skipped in pieces and answered with its call's
// failure. SynCE's tools write 64 KiB at a time, the installer 4096 bytes.
inline constexpr uint32_t kMaxRequest = (1u << 20) + 4096;
// The most bytes one read returns (a read may always return fewer).
inline constexpr uint32_t kMaxRead = 1u << 20;

struct OsVersion {
    uint32_t major = 5;
    uint32_t minor = 2;
};

// The protocol SynCE speaks to a device of that OS version: 2 above 4 with a minor above 0
// (so 5.2 and 6.1, but also 5.0, 6.0 and 7.0 get version 1), else 1.
int ProtocolFor(OsVersion os);

namespace ops {
struct State;
struct Operation;
}  // namespace ops

// One stream's device side. Each stream has its own session and handheld, so handles and the
// last error belong to the stream.
class Session {
public:
    Session(handheld::EmulatedHandheld& device, OsVersion os);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int protocol() const;

    // Appends the reply body (without its length) to one request body: the decoding entry
    // point. Any body is answered (a malformed one with its call's failure) and none ends the
    // stream.
    void answer(std::string_view request, std::string& reply);
    // Appends the reply to a request whose body was too long to take (only its command is known).
    void answerOversized(uint32_t command, std::string& reply);
    // The stream ended: its open files are closed, or dropped when the handheld is gone.
    void end();

private:
    // The operations of this session's protocol version, by command number: the one place
    // where the version decides what a command means.
    static constexpr size_t kCommands = 0x60;
    const ops::Operation* operationOf(uint32_t command) const;
    void unsupported(std::string& reply) const;

    std::unique_ptr<ops::State> state_;
    std::array<const ops::Operation*, kCommands> operations_{};
};

// Serves one stream: reads requests from fd and writes the session's replies until the peer
// closes, a read or write fails, or the socket is shut down. Memory stays within the largest
// request taken, whatever the size of the files copied.
void ServeStream(int fd, Session& session);

}  // namespace wire
