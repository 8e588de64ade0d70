#pragma once

// Helpers of the handheld tests that talk to an emulated handheld: the connect wait, opening,
// searching and writing files through the device table.

#include <cstdint>
#include <string>
#include <vector>

#include "EmulatedHandheld.h"
#include "TestSupport.h"

namespace test {

// Whether the connect event is signalled within ms.
bool Signalled(RAPI_HANDLE event, int ms);

// Connects and waits briefly; true when the handheld answered with a non-negative outcome.
bool Connect(handheld::EmulatedHandheld& device);

// Starts a connect attempt, expecting it to be accepted; the record holds its event and outcome.
RAPIINIT StartConnect(handheld::EmulatedHandheld& device);

// The device's error after a call that must fail (0); kSucceeded when the call succeeded.
inline constexpr RAPI_DWORD kSucceeded = 0xFFFFFFFF;
RAPI_DWORD ErrorOf(handheld::EmulatedHandheld& device, RAPI_BOOL result);

// Opens a file for writing with the given disposition.
RAPI_HANDLE Open(handheld::EmulatedHandheld& device, const char16_t* path,
                 RAPI_DWORD disposition = CREATE_ALWAYS);

// All names a search returns, with their attributes, in the order returned.
struct Found {
    std::string name;
    RAPI_DWORD attributes;
    uint64_t size;
};
std::vector<Found> Search(handheld::EmulatedHandheld& device, const char16_t* pattern);
// The names of a search, each followed by ";".
std::string Names(const std::vector<Found>& found);

// Creates (CREATE_ALWAYS), writes in 4096-byte chunks and closes; true when all succeeded.
bool PutFile(handheld::EmulatedHandheld& device, const char16_t* path, const std::string& data);

}  // namespace test
