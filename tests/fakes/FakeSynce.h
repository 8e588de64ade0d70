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
};

extern "C" using FakeSynceCountersFn = void(*)(FakeSynceCounters*);
