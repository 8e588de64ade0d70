#pragma once

// A device table whose every call runs on a worker thread through the given runner, which keeps
// the window answering meanwhile; what a call throws is thrown again to its caller. The device's
// last error belongs to the thread that made the call, so it is read there, right after each
// call, and CeGetLastError answers it.

#include <exception>
#include <functional>
#include <string_view>
#include <utility>

#include "DeviceApi.h"

class OffThreadDevice final : public DeviceApi {
public:
    using Runner = std::function<void(const std::function<void()>&)>;

    OffThreadDevice(DeviceApi& device, Runner runner)
        : device_(device), runner_(std::move(runner)) {}

#define TRESTEL_OFF_THREAD(name, result, parameters, arguments, ...)       \
    result name parameters override {                                      \
        return run<result>(#name, [&] { return device_.name arguments; }); \
    }
    RAPI_DEVICE_FUNCTIONS(TRESTEL_OFF_THREAD)
#undef TRESTEL_OFF_THREAD

private:
    template <typename R, typename Call>
    R run(std::string_view name, Call&& call) {
        if (name == "CeGetLastError") {
            return static_cast<R>(lastError_);
        }
        R result{};
        std::exception_ptr thrown;
        runner_([&] {
            try {
                result = call();
                lastError_ = device_.CeGetLastError();
            } catch (...) {
                thrown = std::current_exception();
            }
        });
        if (thrown) {
            std::rethrow_exception(thrown);
        }
        return result;
    }

    DeviceApi& device_;
    Runner runner_;
    RAPI_DWORD lastError_ = 0;
};
