// The file calls on the wire: searches, files opened, read, written and closed, folders made and
// removed, files moved and deleted, attributes and sizes. Each handler reads its arguments as
// its protocol version sends them and answers from the session's handheld.

#include <algorithm>
#include <vector>

#include "WireOps.h"

namespace wire::ops {

namespace {

constexpr uint32_t kHiddenAttribute = 0x2;

// Find-all flags: which fields each entry carries, and which entries are left out.
constexpr uint32_t kFafAttributes = 0x1;
constexpr uint32_t kFafCreationTime = 0x2;
constexpr uint32_t kFafLastAccessTime = 0x4;
constexpr uint32_t kFafLastWriteTime = 0x8;
constexpr uint32_t kFafSizeHigh = 0x10;
constexpr uint32_t kFafSizeLow = 0x20;
constexpr uint32_t kFafOid = 0x40;
constexpr uint32_t kFafName = 0x80;
constexpr uint32_t kFafNoHidden = 0x2000;
constexpr uint32_t kFafFoldersOnly = 0x4000;

// A handle argument; false when the body ends before it.
bool ReadHandle(Call& c, RAPI_HANDLE& h) {
    h = static_cast<RAPI_HANDLE>(c.in.u32());
    return c.in.ok();
}

// A reply with a BOOL result after the last error (none after a success: the device's last
// error may still be that of an earlier call).
void ReplyBool(Call& c, RAPI_BOOL ok) {
    c.reply(ok != 0 ? 0 : c.device().CeGetLastError());
    c.out.u32(ok != 0 ? 1 : 0);
}

size_t NameUnits(const CE_FIND_DATA& data) {
    size_t units = 0;
    while (units < static_cast<size_t>(kMaxPath) - 1 && data.cFileName[units] != 0) {
        ++units;
    }
    return units;
}

void FindFirst(Call& c) {
    std::u16string path;
    if (!c.path(path, StringForm::Plain)) {
        return c.invalid();
    }
    if (c.state.searches.size() >= kMaxOpenSearches) {
        return c.fail(kTooManyOpenFiles);
    }
    CE_FIND_DATA data{};
    const RAPI_HANDLE h = c.device().CeFindFirstFile(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        // A search that finds nothing in a folder that exists: a handheld says "no more files",
        // which is what SynCE's tools take for "not there".
        const uint32_t error = c.device().CeGetLastError();
        return c.fail(error == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_FILES : error);
    }
    c.state.searches.insert(h);
    c.reply(0);
    c.out.u32(static_cast<uint32_t>(h));
    PutFindData(data, c.out);
}

void FindNext(Call& c) {
    RAPI_HANDLE h;
    if (!ReadHandle(c, h)) {
        return c.invalid();
    }
    CE_FIND_DATA data{};
    const RAPI_BOOL ok = c.device().CeFindNextFile(h, &data);
    ReplyBool(c, ok);
    if (ok != 0) {
        PutFindData(data, c.out);
    } else {
        c.out.u32(0);  // no record
    }
}

void FindClose(Call& c) {
    RAPI_HANDLE h;
    if (!ReadHandle(c, h)) {
        return c.invalid();
    }
    c.state.searches.erase(h);
    ReplyBool(c, c.device().CeFindClose(h));
}

void CloseHandle(Call& c) {
    RAPI_HANDLE h;
    if (!ReadHandle(c, h)) {
        return c.invalid();
    }
    c.state.files.erase(h);
    c.state.searches.erase(h);
    ReplyBool(c, c.device().CeCloseHandle(h));
}

void GetAttributes(Call& c) {
    std::u16string path;
    if (!c.path(path, StringForm::Plain)) {
        return c.invalid();
    }
    const RAPI_DWORD attributes = c.device().CeGetFileAttributes(path.c_str());
    if (attributes == kInvalid) {
        return c.failWithDeviceError();
    }
    c.reply(0);
    c.out.u32(attributes);
}

// Version 1 only: [attributes][path].
void SetAttributes(Call& c) {
    const uint32_t attributes = c.in.u32();
    std::u16string path;
    if (!c.path(path, StringForm::Plain)) {
        return c.invalid();
    }
    ReplyBool(c, c.device().CeSetFileAttributes(path.c_str(), attributes));
}

// Version 1: [access][share][disposition][flags][template][path]; version 2 the path first.
void CreateFile(Call& c) {
    uint32_t v[5] = {};
    const auto values = [&] {
        for (auto& x : v) {
            x = c.in.u32();
        }
    };
    std::u16string path;
    if (c.v1()) {
        values();
    }
    if (!c.path(path, StringForm::Plain)) {
        return c.invalid();
    }
    if (!c.v1()) {
        values();
    }
    if (!c.in.ok()) {
        return c.invalid();
    }
    if (c.state.files.size() >= kMaxOpenFiles) {
        return c.fail(kTooManyOpenFiles);
    }
    const RAPI_HANDLE h = c.device().CeCreateFile(path.c_str(), v[0], v[1], nullptr, v[2], v[3],
                                                  static_cast<RAPI_HANDLE>(v[4]));
    if (h != INVALID_HANDLE_VALUE) {
        c.state.files.insert(h);
    }
    c.reply(h != INVALID_HANDLE_VALUE ? 0 : c.device().CeGetLastError());
    c.out.u32(static_cast<uint32_t>(h));
}

// Version 1: [handle][1][size][0: no data sent][overlapped]; version 2: [handle][size].
void Read(Call& c) {
    RAPI_HANDLE h;
    ReadHandle(c, h);
    uint32_t count = 0;
    if (!c.v1()) {
        count = c.in.u32();
    } else if (c.in.u32() == 1) {
        count = c.in.u32();
        c.in.u32();
    }
    if (!c.in.ok()) {
        return c.invalid();
    }
    count = std::min(count, kMaxRead);
    std::string& buffer = c.state.readBuffer;
    buffer.resize(count);
    RAPI_DWORD got = 0;
    const RAPI_BOOL ok = c.device().CeReadFile(h, buffer.data(), count, &got, nullptr);
    got = std::min<RAPI_DWORD>(got, count);
    ReplyBool(c, ok);
    c.out.u32(got);
    c.out.bytes(buffer.data(), got);
}

// Version 1: [handle][1][size][data][overlapped]; version 2: [handle][size][data].
void Write(Call& c) {
    RAPI_HANDLE h;
    ReadHandle(c, h);
    std::string_view data;
    if (!c.v1() || c.in.u32() == 1) {
        data = c.in.bytes(c.in.u32());
    } else {
        c.in.fail();
    }
    if (!c.in.ok()) {
        return c.invalid();
    }
    RAPI_DWORD written = 0;
    const RAPI_BOOL ok = c.device().CeWriteFile(
        h, data.data(), static_cast<RAPI_DWORD>(data.size()), &written, nullptr);
    ReplyBool(c, ok);
    c.out.u32(written);
}

// [handle][optional out: the high part wanted]. The reply gives the high part back the same way.
void GetFileSize(Call& c) {
    RAPI_HANDLE h;
    ReadHandle(c, h);
    const bool wantHigh = c.in.u32() == 1;
    if (wantHigh) {
        c.in.u32();  // its size
        c.in.u32();  // no value sent
    }
    if (!c.in.ok()) {
        return c.invalid();
    }
    RAPI_DWORD high = 0;
    const RAPI_DWORD low = c.device().CeGetFileSize(h, &high);
    const uint32_t error = c.device().CeGetLastError();
    if (low == kInvalid && error != 0) {
        return c.fail(error);
    }
    c.reply(error);
    c.out.u32(low);
    if (wantHigh) {
        c.out.u32(1);
        c.out.u32(4);
        c.out.u32(1);
        c.out.u32(high);
    } else {
        c.out.u32(0);
    }
}

void FindAll(Call& c) {
    std::u16string path;
    if (!c.path(path, StringForm::Plain)) {
        return c.invalid();
    }
    const uint32_t flags = c.in.u32();
    if (!c.in.ok()) {
        return c.invalid();
    }
    auto& device = c.device();
    std::vector<CE_FIND_DATA> found;
    CE_FIND_DATA data{};
    const RAPI_HANDLE search = device.CeFindFirstFile(path.c_str(), &data);
    uint32_t lastError = 0;
    if (search == INVALID_HANDLE_VALUE) {
        lastError = device.CeGetLastError();
    } else {
        do {
            const bool skip =
                ((flags & kFafFoldersOnly) &&
                 !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ||
                ((flags & kFafNoHidden) && (data.dwFileAttributes & kHiddenAttribute));
            if (!skip) {
                found.push_back(data);
            }
            data = CE_FIND_DATA{};
        } while (device.CeFindNextFile(search, &data) != 0);
        device.CeFindClose(search);
    }
    c.reply(lastError);
    if (!c.v1()) {
        c.out.u32(found.empty() && search == INVALID_HANDLE_VALUE ? 0 : 1);
    }
    c.out.u32(static_cast<uint32_t>(found.size()));
    for (const auto& f : found) {
        const size_t units = NameUnits(f);
        if (flags & kFafName) {
            // Version 1 counts the name in units, version 2 in bytes; both with the NUL.
            c.out.u32(static_cast<uint32_t>(c.v1() ? units + 1 : (units + 1) * 2));
        }
        if (flags & kFafAttributes) {
            c.out.u32(f.dwFileAttributes);
        }
        const std::pair<uint32_t, CE_FILETIME> times[] = {{kFafCreationTime, f.ftCreationTime},
                                                          {kFafLastAccessTime, f.ftLastAccessTime},
                                                          {kFafLastWriteTime, f.ftLastWriteTime}};
        for (const auto& [flag, t] : times) {
            if (flags & flag) {
                c.out.u32(t.dwLowDateTime);
                c.out.u32(t.dwHighDateTime);
            }
        }
        if (flags & kFafSizeHigh) {
            c.out.u32(f.nFileSizeHigh);
        }
        if (flags & kFafSizeLow) {
            c.out.u32(f.nFileSizeLow);
        }
        if (flags & kFafOid) {
            c.out.u32(f.dwOID);
        }
        if (flags & kFafName) {
            c.out.units(std::u16string_view(f.cFileName, units));
            c.out.units(std::u16string_view(u"", 1));  // its NUL
        }
    }
}

// The calls that take one path (version 1 sends it as an optional string) and answer a BOOL.
template <RAPI_BOOL (*Act)(handheld::EmulatedHandheld&, const char16_t*)>
void OnePath(Call& c) {
    std::u16string path;
    if (!c.path(path, StringForm::Optional)) {
        return c.invalid();
    }
    ReplyBool(c, Act(c.device(), path.c_str()));
}

RAPI_BOOL MakeFolder(handheld::EmulatedHandheld& d, const char16_t* p) {
    return d.CeCreateDirectory(p, nullptr);
}
RAPI_BOOL RemoveFolder(handheld::EmulatedHandheld& d, const char16_t* p) {
    return d.CeRemoveDirectory(p);
}
RAPI_BOOL DeleteFile(handheld::EmulatedHandheld& d, const char16_t* p) {
    return d.CeDeleteFile(p);
}

// [existing][new]; version 1 sends the names as optional strings.
void MoveFile(Call& c) {
    std::u16string from;
    std::u16string to;
    if (!c.path(from, StringForm::Optional) || !c.path(to, StringForm::Optional)) {
        return c.invalid();
    }
    ReplyBool(c, c.device().CeMoveFile(from.c_str(), to.c_str()));
}

// Copies a file within the handheld through its own file calls. A copy that fails half-way
// leaves no partial file under the new name.
// The error of a failed copy in error.
bool CopyOnDevice(Call& c, const std::u16string& from, const std::u16string& to, bool failIfExists,
                  uint32_t& error) {
    auto& device = c.device();
    const RAPI_HANDLE source =
        device.CeCreateFile(from.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0);
    error = device.CeGetLastError();
    if (source == INVALID_HANDLE_VALUE) {
        return false;
    }
    const RAPI_HANDLE target = device.CeCreateFile(to.c_str(), GENERIC_WRITE, 0, nullptr,
                                                   failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0, 0);
    if (target == INVALID_HANDLE_VALUE) {
        error = device.CeGetLastError();
        device.CeCloseHandle(source);
        return false;
    }
    std::string& buffer = c.state.readBuffer;
    buffer.resize(64 * 1024);
    bool ok = true;
    for (;;) {
        RAPI_DWORD got = 0;
        RAPI_DWORD written = 0;
        ok = device.CeReadFile(source, buffer.data(), static_cast<RAPI_DWORD>(buffer.size()), &got,
                               nullptr) != 0;
        if (!ok || got == 0) {
            break;
        }
        ok = device.CeWriteFile(target, buffer.data(), got, &written, nullptr) != 0 &&
             written == got;
        if (!ok) {
            break;
        }
    }
    if (!ok) {
        error = device.CeGetLastError();
    }
    if (device.CeCloseHandle(target) == 0 && ok) {
        ok = false;
        error = device.CeGetLastError();
    }
    device.CeCloseHandle(source);
    if (!ok) {
        device.CeDeleteFile(to.c_str());
    }
    return ok;
}

// [existing][new][fail if the new name is taken]; version 1 sends the names as optional strings.
void CopyFile(Call& c) {
    std::u16string from;
    std::u16string to;
    if (!c.path(from, StringForm::Optional) || !c.path(to, StringForm::Optional)) {
        return c.invalid();
    }
    const uint32_t failIfExists = c.in.u32();
    if (!c.in.ok()) {
        return c.invalid();
    }
    uint32_t error = 0;
    const bool ok = CopyOnDevice(c, from, to, failIfExists != 0, error);
    c.reply(ok ? 0 : error);
    c.out.u32(ok ? 1 : 0);
}

constexpr Operation kFileOperations[] = {
    {0x00, 0x11, FindFirst, 2, {kInvalid, 0}},  // an invalid handle, no record
    {0x01, 0x12, FindNext, 2, {0, 0}},          // FALSE, no record
    {0x02, 0x13, FindClose, 1, {0}},
    {0x03, 0x14, GetAttributes, 1, {kInvalid}},
    {0x04, kNone, SetAttributes, 1, {0}},
    {0x05, 0x16, CreateFile, 1, {kInvalid}},
    {0x06, 0x17, Read, 2, {0, 0}},  // FALSE, nothing read
    {0x07, 0x18, Write, 2, {0, 0}},
    {0x08, 0x19, CloseHandle, 1, {0}},
    // Version 1's reply is the count alone; version 2's an unknown field and the count.
    {0x09, 0x1A, FindAll, 2, {0, 0}, kNoErrorInV1},
    {0x17, 0x28, OnePath<MakeFolder>, 1, {0}},
    {0x18, 0x29, OnePath<RemoveFolder>, 1, {0}},
    {0x1C, 0x2D, OnePath<DeleteFile>, 1, {0}},
    {0x1D, 0x2E, GetFileSize, 2, {kInvalid, 0}},  // an invalid size, no high part
    {0x1B, 0x2C, CopyFile, 1, {0}},
    {0x1A, 0x2B, MoveFile, 1, {0}},
};

}  // namespace

std::span<const Operation> FileOperations() {
    return kFileOperations;
}

}  // namespace wire::ops
