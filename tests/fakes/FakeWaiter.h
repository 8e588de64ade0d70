#pragma once

// The connect wait, answered from a script instead of the clock; every wait is recorded.

#include <functional>
#include <vector>

#include "DeviceApi.h"
#include "FailureScript.h"

class FakeWaiter : public Waiter {
public:
    struct Call {
        RAPI_HANDLE handle;
        RAPI_DWORD ms;
    };

    // What each wait returns, unless script is set.
    RAPI_DWORD result = WAIT_OBJECT_0;
    std::function<RAPI_DWORD(RAPI_HANDLE, RAPI_DWORD)> script;

    std::vector<Call> calls;
    // "WaitForSingleObject" can be made to throw.
    FailureScript failures;

    // Cancels seen: each makes the next wait end with WAIT_TIMEOUT.
    int cancels = 0;

    RAPI_DWORD WaitForSingleObject(RAPI_HANDLE hHandle, RAPI_DWORD dwMilliseconds) override;
    void Cancel() override { ++cancels; }
};
