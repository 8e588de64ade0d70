#include "HandheldHelpers.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>

#include "Text.h"

namespace test {

bool Signalled(RAPI_HANDLE event, int ms) {
    pollfd fd{event, POLLIN, 0};
    return poll(&fd, 1, ms) == 1 && (fd.revents & POLLIN) != 0;
}

bool Connect(handheld::EmulatedHandheld& device) {
    RAPIINIT init{sizeof(RAPIINIT), 0, 0};
    return device.CeRapiInitEx(&init) >= 0 && Signalled(init.heRapiInit, 1000) &&
           init.hrRapiInit >= 0;
}

RAPIINIT StartConnect(handheld::EmulatedHandheld& device) {
    RAPIINIT init{sizeof(RAPIINIT), 0, 0};
    EXPECT_EQ(device.CeRapiInitEx(&init), 0);
    return init;
}

RAPI_DWORD ErrorOf(handheld::EmulatedHandheld& device, RAPI_BOOL result) {
    return result == 0 ? device.CeGetLastError() : kSucceeded;
}

RAPI_HANDLE Open(handheld::EmulatedHandheld& device, const char16_t* path, RAPI_DWORD disposition) {
    return device.CeCreateFile(path, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                               0);
}

std::string Names(const std::vector<Found>& found) {
    std::string all;
    for (const auto& f : found) {
        all += f.name + ";";
    }
    return all;
}

std::vector<Found> Search(handheld::EmulatedHandheld& device, const char16_t* pattern) {
    std::vector<Found> found;
    CE_FIND_DATA data{};
    const RAPI_HANDLE h = device.CeFindFirstFile(pattern, &data);
    if (h == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        found.push_back({text::utf16ToUtf8Lossy(data.cFileName), data.dwFileAttributes,
                         (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
    } while (device.CeFindNextFile(h, &data) != 0);
    device.CeFindClose(h);
    return found;
}

bool PutFile(handheld::EmulatedHandheld& device, const char16_t* path, const std::string& data) {
    const RAPI_HANDLE h = Open(device, path);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    for (size_t offset = 0; ok && offset < data.size(); offset += 4096) {
        const auto chunk = static_cast<RAPI_DWORD>(std::min<size_t>(4096, data.size() - offset));
        RAPI_DWORD written = 0;
        ok = device.CeWriteFile(h, data.data() + offset, chunk, &written, nullptr) == 1 &&
             written == chunk;
    }
    return device.CeCloseHandle(h) != 0 && ok;
}

}  // namespace test
