#pragma once

// The link to the handheld through SynCE: the asynchronous connect on a worker thread, the
// calls on the open link with their bounds, and the end of the link.
//
// SynCE connects synchronously (CeRapiInit) and keeps the current connection per thread, while
// the contract's connect is asynchronous: the connect runs on a worker thread that signals an
// eventfd, and every other call selects the link's connection on the calling thread for its own
// duration. A connect given up on before it ends is left to its worker, which frees the
// connection when SynCE returns. Calls on one link are serialized: SynCE counts the references
// of a thread's current connection without atomics.
//
// Bounds (SynCE itself waits up to 120 s for each reply and takes replies of up to 4 GiB):
// - a reply: longer than the reply time-out fails the link;
// - an operation as a whole: every call spends from a budget of slowness that fills while the
//   link is idle and with each call answered in good time; a link that has spent it fails, so
//   a handheld that answers every call just within the reply time-out fails the operation;
// - a search: more bytes in a reply than any find record needs, or more steps than any folder
//   of a handheld has entries, fail the link.
// A link fails by having its socket shut down: SynCE's wait ends at once with a transport
// failure, and every later call on the link fails at once until the next connect.

#include <cstdint>
#include <memory>

#include "SynceAbi.h"

namespace bridge {

struct Link;

// Starts a connect to the handheld named (null: SynCE's default) for the record, ending the
// link open before it; the record's event is signalled when the attempt ends.
RAPI_HRESULT connect(const SynceLibrary& s, RAPIINIT* record, const char* handheld);

// Ends the open link (or the connect under way).
void disconnect();

// Whether the open link stands: connected and not failed.
bool linkStands();

// What a call on the link is, for its bounds: a search's first step and its next ones.
enum class CallKind { kPlain, kSearchStart, kSearchStep };

// Runs call(s) on the open link's connection, selected on the calling thread for the call only,
// or returns failure at once when no link is open or the open one has failed. SynCE is asked
// after a call that returned failure whether the transport failed (unless askWhy is false); a
// transport failure, or a bound passed, fails the link. A failure result the handheld answered
// leaves the link standing, and gives the call's last error.
template <typename R, typename Call>
R onLink(R failure, Call&& call, CallKind kind = CallKind::kPlain, bool askWhy = true);

// The last error of a call that the bridge failed by itself; 0: none, the
// last error is SynCE's. Per thread, as the last error is.
void setOwnError(RAPI_DWORD error);
RAPI_DWORD ownError();

// The bounds, scaled from the reply time-out (tests shorten it).
void setReplyTimeout(int ms);

// A GLib main context of the thread's own while SynCE asks the connection manager over D-Bus:
// GDBus hands the clean-up of each proxy SynCE drops to the context the proxy was made in, and
// the default one may never run (a program without a GLib loop), so each connect would leave
// its proxies behind. The context is run dry before it goes.
class GlibContext {
public:
    explicit GlibContext(const SynceLibrary& s);
    ~GlibContext();
    GlibContext(const GlibContext&) = delete;
    GlibContext& operator=(const GlibContext&) = delete;

private:
    const SynceLibrary& s_;
    void* context_ = nullptr;
};

// ---- implementation of onLink ----

struct LinkCall {
    const SynceLibrary* s = nullptr;
    std::shared_ptr<Link> link;
    uint64_t ticket = 0;
    bool open = false;
};
// Takes the link's call turn and selects its connection; open is false when no call can go.
LinkCall beginCall(CallKind kind);
// Ends the call; fails the link when the call failed in transport or passed a bound.
void endCall(LinkCall& call, bool callFailed, bool askWhy);

template <typename R, typename Call>
R onLink(R failure, Call&& call, CallKind kind, bool askWhy) {
    LinkCall c = beginCall(kind);
    if (!c.open) {
        return failure;
    }
    const R result = call(*c.s);
    endCall(c, result == failure, askWhy);
    return result;
}

}  // namespace bridge
