#pragma once

// The error the emulated handheld reports for a call that ended in an exception (the codes
// themselves are the contract's, in rapi.h).

#include <exception>
#include <new>

#include "rapi.h"

namespace handheld {

// The error of a call that ended in an exception instead of a result: out of memory for
// std::bad_alloc only, a general failure for anything else.
inline RAPI_DWORD ErrorOfException(const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace handheld
