#pragma once

// What the fake SynCE library counts, read by the tests through fake_synce_counters().

#include <cstdint>

struct FakeSynceCounters {
    int live = 0;      // connections made and not yet destroyed
    int connects = 0;  // CeRapiInit calls that connected
    int uninits = 0;   // CeRapiUninit calls on a connected connection
    int refused = 0;   // calls made on a thread without a current connection
    int writes = 0;    // CeWriteFile calls that reached the device
    uint32_t largestWrite = 0;
    int overlaps = 0;           // calls that began while another call on the same connection ran
    uint64_t largestReply = 0;  // the most bytes one reply brought in through the socket
    char connectedTo[32] = {};  // the handheld the last connect opened
};

// How the device misbehaves, set through fake_synce_script().
struct FakeSynceScript {
    // Non-zero: find records are declared this long and sent whole through the socket, read
    // with read() as SynCE reads a reply; once all arrived SynCE copies that many bytes into the
    // caller's record (the name runs on without a terminator, the last byte is written too).
    uint32_t findRecordSize = 0;
    // A search that never ends: every next step finds a card again.
    bool endlessSearch = false;
    // Each read says it read this many bytes more than the file gave, and SynCE copies them.
    uint32_t readExtra = 0;
    // The call (by name, e.g. "CeWriteFile") and its use (1-based, counted from the script) at
    // which the device stops answering (SynCE waits 120 s on the socket), the link drops (the
    // request is written to a closed stream with plain write(), as SynCE does), or from which
    // on every use is answered only after delayMs (unless the socket is shut down meanwhile).
    char call[32] = {};
    int nth = 0;
    enum { kStall = 1, kDrop = 2, kSlow = 3 } what = kStall;
    int delayMs = 0;
};

extern "C" using FakeSynceCountersFn = void(*)(FakeSynceCounters*);
extern "C" using FakeSynceScriptFn = void(*)(const FakeSynceScript*);
