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
    int overlaps = 0;  // calls that began while another call on the same connection ran
};

// How the device misbehaves, set through fake_synce_script().
struct FakeSynceScript {
    // Non-zero: find records are declared this long, and SynCE copies that many bytes into the
    // caller's record (the name runs on without a terminator, the last byte is written too).
    uint32_t findRecordSize = 0;
    // The call (by name, e.g. "CeWriteFile") and its use (1-based, counted from the script) at
    // which the device stops answering (SynCE waits 120 s on the socket) or the link drops
    // (the request is written to a closed stream with plain write(), as SynCE does).
    char call[32] = {};
    int nth = 0;
    enum { kStall = 1, kDrop = 2 } what = kStall;
};

extern "C" using FakeSynceCountersFn = void(*)(FakeSynceCounters*);
extern "C" using FakeSynceScriptFn = void(*)(const FakeSynceScript*);
