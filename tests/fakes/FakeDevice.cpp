#include "FakeDevice.h"

#include <QString>
#include <algorithm>
#include <cstring>

#include "Text.h"

namespace {

std::string utf8(const char16_t* s) {
    return s == nullptr ? std::string("(null)") : QString::fromUtf16(s).toStdString();
}

std::string hex(RAPI_DWORD n) {
    return "0x" + QString::number(n, 16).toStdString();
}

}  // namespace

void FakeDevice::enter(const std::string& name, const std::string& args) {
    log.push_back(name + "(" + args + ")");
    const bool bThrow = failures.Use(name);
    if (onCall) {
        onCall(name);
    }
    if (bThrow) {
        throw DeviceUnavailable("injected failure in " + name);
    }
}

std::vector<std::string> FakeDevice::Calls(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& entry : log) {
        if (entry.compare(0, name.size() + 1, name + "(") == 0) {
            out.push_back(entry);
        }
    }
    return out;
}

std::string FakeDevice::File(const std::u16string& path) const {
    const auto it = files.find(path);
    return it == files.end() ? std::string() : it->second;
}

RAPI_HRESULT FakeDevice::CeRapiInitEx(RAPIINIT* p) {
    enter("CeRapiInitEx", std::to_string(p->cbSize) + ", " + std::to_string(p->heRapiInit) + ", " +
                              std::to_string(p->hrRapiInit));
    if (initResult >= 0) {
        p->heRapiInit = initEvent;
        p->hrRapiInit = locked ? E_FAIL_HR : initOutcome;
    }
    return initResult;
}

RAPI_HRESULT FakeDevice::CeRapiUninit() {
    enter("CeRapiUninit", "");
    return 0;
}

void FakeDevice::fill(CE_FIND_DATA* data, const Entry& entry) const {
    std::memset(data, 0, sizeof(*data));
    data->dwFileAttributes = entry.attributes;
    // A name of kMaxPath characters or more fills the field without a terminating NUL.
    const std::size_t n = std::min<std::size_t>(entry.name.size(), kMaxPath);
    std::copy_n(entry.name.begin(), n, data->cFileName);
}

RAPI_HANDLE FakeDevice::CeFindFirstFile(const char16_t* name, CE_FIND_DATA* data) {
    enter("CeFindFirstFile", utf8(name));
    nextEntry_ = 0;
    // A pattern in a folder lists the files there whose names match it; anything else, the root.
    const std::u16string pattern(name);
    const auto nSlash = pattern.rfind(u'\\');
    found_ = rootEntries;
    if (nSlash != std::u16string::npos) {
        const std::u16string folder = pattern.substr(0, nSlash + 1);
        const std::u32string wanted =
            QString::fromStdU16String(pattern.substr(nSlash + 1)).toStdU32String();
        found_.clear();
        for (const auto& [path, content] : files) {
            const std::u16string rest = path.substr(std::min(folder.size(), path.size()));
            if (path.compare(0, folder.size(), folder) == 0 &&
                rest.find(u'\\') == std::u16string::npos &&
                text::wildcardMatch(wanted, QString::fromStdU16String(rest).toStdU32String(),
                                    text::Case::IgnoreAscii)) {
                found_.push_back({FILE_ATTRIBUTE_NORMAL, rest});
            }
        }
    }
    if (found_.empty()) {
        lastError_ = searchEndError;
        return INVALID_HANDLE_VALUE;
    }
    fill(data, found_[nextEntry_++]);
    return findHandle;
}

RAPI_BOOL FakeDevice::CeFindNextFile(RAPI_HANDLE h, CE_FIND_DATA* data) {
    enter("CeFindNextFile", std::to_string(h));
    if (h != findHandle || nextEntry_ >= found_.size()) {
        lastError_ = searchEndError;
        return 0;
    }
    fill(data, found_[nextEntry_++]);
    return 1;
}

RAPI_BOOL FakeDevice::CeFindClose(RAPI_HANDLE h) {
    enter("CeFindClose", std::to_string(h));
    return h == findHandle ? 1 : 0;
}

RAPI_BOOL FakeDevice::CeCreateDirectory(const char16_t* path, void* sa) {
    enter("CeCreateDirectory", utf8(path) + (sa == nullptr ? ", null" : ", attributes"));
    folders.insert(path);
    return 1;
}

RAPI_HANDLE FakeDevice::CeCreateFile(const char16_t* name, RAPI_DWORD access, RAPI_DWORD share,
                                     void* sa, RAPI_DWORD disposition, RAPI_DWORD attributes,
                                     RAPI_HANDLE hTemplate) {
    enter("CeCreateFile", utf8(name) + ", " + hex(access) + ", " + std::to_string(share) + ", " +
                              (sa == nullptr ? "null" : "attributes") + ", " +
                              std::to_string(disposition) + ", " + hex(attributes) + ", " +
                              std::to_string(hTemplate));
    if (createError != 0) {
        lastError_ = createError;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW && files.count(name) != 0) {
        lastError_ = ERROR_FILE_EXISTS;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == OPEN_EXISTING) {
        if (files.count(name) == 0) {
            lastError_ = ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
    } else {
        files[name].clear();
        zeros_.erase(name);
    }
    const RAPI_HANDLE h = nextHandle_++;
    open_[h] = {name};
    return h;
}

RAPI_DWORD FakeDevice::CeGetLastError() {
    enter("CeGetLastError", "");
    return lastError_;
}

RAPI_BOOL FakeDevice::CeWriteFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count,
                                  RAPI_DWORD* written, void* overlapped) {
    enter("CeWriteFile", std::to_string(h) + ", " + std::to_string(count) +
                             (overlapped == nullptr ? "" : ", overlapped"));
    const int nth = Count("CeWriteFile");
    WriteReply reply{1, count};
    if (writeScript) {
        reply = writeScript(nth, count);
    }
    const auto it = open_.find(h);
    if (it == open_.end()) {
        *written = 0;
        return 0;
    }
    const RAPI_DWORD nKept = std::min(reply.written, count);
    if (keepContent) {
        files[it->second.path].append(static_cast<const char*>(buffer), nKept);
    } else {
        zeros_[it->second.path] += nKept;
    }
    if ((static_cast<uint32_t>(reply.result) & 0xFFFFu) == 0) {
        lastError_ = writeError;
    }
    *written = reply.written;
    return reply.result;
}

RAPI_BOOL FakeDevice::CeCloseHandle(RAPI_HANDLE h) {
    enter("CeCloseHandle", std::to_string(h));
    return open_.erase(h) != 0 ? closeResult : 0;
}

RAPI_BOOL FakeDevice::CeDeleteFile(const char16_t* name) {
    enter("CeDeleteFile", utf8(name));
    if (deleteError != 0) {
        lastError_ = deleteError;
        return 0;
    }
    for (const auto& [h, file] : open_) {
        if (file.path == name) {
            lastError_ = ERROR_SHARING_VIOLATION;  // still open
            return 0;
        }
    }
    zeros_.erase(name);
    if (files.erase(name) == 0) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    return 1;
}

RAPI_BOOL FakeDevice::CeGetVersionEx(CEOSVERSIONINFO* info) {
    enter("CeGetVersionEx", "");
    if (info == nullptr) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return 0;
    }
    *info = CEOSVERSIONINFO{sizeof(CEOSVERSIONINFO), 4, 21, 1088, 3, {}};  // Windows CE 4.21
    return 1;
}

RAPI_BOOL FakeDevice::CeReadFile(RAPI_HANDLE h, void* buffer, RAPI_DWORD count, RAPI_DWORD* read,
                                 void* overlapped) {
    enter("CeReadFile", std::to_string(h) + ", " + std::to_string(count) +
                            (overlapped == nullptr ? "" : ", overlapped"));
    const auto it = open_.find(h);
    if (it == open_.end()) {
        lastError_ = ERROR_INVALID_HANDLE;
        *read = 0;
        return 0;
    }
    const std::string& content = files[it->second.path];
    // Content not kept reads as the zeros of a sparse file of the length written.
    const auto zeros = zeros_.find(it->second.path);
    const std::size_t nSize = zeros != zeros_.end() ? zeros->second : content.size();
    const std::size_t from = std::min(it->second.readAt, nSize);
    const std::size_t n = std::min<std::size_t>(count, nSize - from);
    if (zeros != zeros_.end()) {
        std::fill_n(static_cast<char*>(buffer), n, '\0');
    } else {
        std::copy_n(content.data() + from, n, static_cast<char*>(buffer));
    }
    it->second.readAt = from + n;
    *read = static_cast<RAPI_DWORD>(n);
    return 1;
}

RAPI_HRESULT FakeDevice::CeRapiGetError() {
    enter("CeRapiGetError", "");
    return initResult < 0 ? initResult : initOutcome;
}

RAPI_BOOL FakeDevice::CeMoveFile(const char16_t* from, const char16_t* to) {
    enter("CeMoveFile", utf8(from) + ", " + utf8(to));
    if (moveError != 0) {
        lastError_ = moveError;
        return 0;
    }
    const auto it = files.find(from);
    if (it == files.end()) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    if (files.count(to) != 0) {
        lastError_ = ERROR_ALREADY_EXISTS;
        return 0;
    }
    files[to] = std::move(it->second);
    files.erase(from);
    if (const auto zeros = zeros_.find(from); zeros != zeros_.end()) {
        zeros_[to] = zeros->second;
        zeros_.erase(std::u16string(from));
    }
    return 1;
}

RAPI_BOOL FakeDevice::CeGetDiskFreeSpaceEx(const char16_t* path, uint64_t* freeToCaller,
                                           uint64_t* total, uint64_t* totalFree) {
    enter("CeGetDiskFreeSpaceEx", utf8(path));
    if (diskFreeError != 0) {
        lastError_ = diskFreeError;
        return 0;
    }
    for (uint64_t* out : {freeToCaller, totalFree}) {
        if (out != nullptr) {
            *out = diskFree;
        }
    }
    if (total != nullptr) {
        *total = diskTotal;
    }
    return 1;
}

RAPI_DWORD FakeDevice::RapiEnumDevices(char16_t* names, RAPI_DWORD capacity) {
    enter("RapiEnumDevices", std::to_string(capacity));
    std::u16string list;
    for (const auto& name : devices) {
        list += name;
        list += u'\0';
    }
    if (devices.empty()) {
        return 0;
    }
    list += u'\0';
    if (names != nullptr && capacity >= list.size()) {
        std::copy(list.begin(), list.end(), names);
    }
    return static_cast<RAPI_DWORD>(list.size());
}

RAPI_BOOL FakeDevice::RapiSelectDevice(const char16_t* name) {
    enter("RapiSelectDevice", utf8(name));
    const std::u16string chosen = name == nullptr ? std::u16string() : std::u16string(name);
    if (!chosen.empty() && std::find(devices.begin(), devices.end(), chosen) == devices.end()) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    selected = chosen;
    return 1;
}

RAPI_BOOL FakeDevice::RapiDeviceLocked() {
    enter("RapiDeviceLocked", "");
    return locked ? 1 : 0;
}

RAPI_BOOL FakeDevice::RapiUnlockDevice(const char16_t* given) {
    enter("RapiUnlockDevice", given == nullptr ? std::string("(null)") : std::string("***"));
    if (unlockError != 0) {
        lastError_ = unlockError;
        return 0;
    }
    if (!locked) {
        return 1;
    }
    if (given == nullptr || password != given) {
        lastError_ = ERROR_INVALID_PASSWORD;
        return 0;
    }
    locked = false;
    return 1;
}
