#include "FakeWaiter.h"

#include <stdexcept>

RAPI_DWORD FakeWaiter::WaitForSingleObject(RAPI_HANDLE hHandle, RAPI_DWORD dwMilliseconds) {
    calls.push_back({hHandle, dwMilliseconds});
    if (failures.Use("WaitForSingleObject")) {
        throw std::runtime_error("injected failure in WaitForSingleObject");
    }
    return script ? script(hHandle, dwMilliseconds) : result;
}
