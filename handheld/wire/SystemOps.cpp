// The system calls on the wire: the OS version the handheld is served as, its special folders,
// its store and free space, and the fixed system, power and memory figures of a plausible
// Pocket PC (an ARM processor on mains power with a full battery).

#include <algorithm>
#include <iterator>

#include "WireOps.h"

namespace wire::ops {

namespace {

struct SpecialFolder {
    uint32_t id;
    const char16_t* path;
};
constexpr SpecialFolder kSpecialFolders[] = {
    {0x02, u"\\Windows\\Start Menu\\Programs"},
    {0x05, u"\\My Documents"},
    {0x06, u"\\Windows\\Favorites"},
    {0x07, u"\\Windows\\StartUp"},
    {0x08, u"\\Windows\\Recent"},
    {0x0b, u"\\Windows\\Start Menu"},
    {0x10, u"\\Windows\\Desktop"},
    {0x14, u"\\Windows\\Fonts"},
    {0x16, u"\\Windows\\Favorites"},
};

constexpr uint32_t kPageSize = 4096;

// An optional out parameter as version 1 sends it: [1][size][0: no value sent], or [0] for
// none. True when the caller wants the value.
bool OptionalOut(Call& c) {
    if (c.in.u32() != 1) {
        return false;
    }
    c.in.u32();
    c.in.u32();
    return true;
}

// A record for an optional out parameter (version 1): [1][size][1][record], or [0] for none.
void PutOptional(Call& c, bool wanted, const std::string& record) {
    if (!wanted) {
        c.out.u32(0);
        return;
    }
    c.out.u32(1);
    c.out.u32(static_cast<uint32_t>(record.size()));
    c.out.u32(1);
    c.out.bytes(record.data(), record.size());
}

void Version(Call& c) {
    CEOSVERSIONINFO info{};
    if (c.device().CeGetVersionEx(&info) == 0) {
        return c.failWithDeviceError();
    }
    // The OS version is the one this handheld is served as.
    info.dwMajorVersion = c.state.os.major;
    info.dwMinorVersion = c.state.os.minor;
    c.reply(0);
    c.out.u32(1);
    c.out.u32(sizeof info);
    c.out.u32(info.dwOSVersionInfoSize);
    c.out.u32(info.dwMajorVersion);
    c.out.u32(info.dwMinorVersion);
    c.out.u32(info.dwBuildNumber);
    c.out.u32(info.dwPlatformId);
    c.out.units(std::u16string_view(info.szCSDVersion, std::size(info.szCSDVersion)));
}

// [folder id][the caller's buffer, in units with the NUL] -> [length][path].
void GetSpecialFolder(Call& c) {
    const uint32_t id = c.in.u32();
    const uint32_t room = c.in.u32();
    if (!c.in.ok()) {
        return c.invalid();
    }
    const auto it = std::find_if(std::begin(kSpecialFolders), std::end(kSpecialFolders),
                                 [id](const SpecialFolder& f) { return f.id == id; });
    if (it == std::end(kSpecialFolders)) {
        return c.invalid();
    }
    const std::u16string_view folder = it->path;
    if (room < folder.size() + 1) {
        return c.fail(kInsufficientBuffer);
    }
    c.reply(0);
    c.out.u32(static_cast<uint32_t>(folder.size()));
    c.out.units(folder);
}

std::string SystemInfoRecord() {
    std::string record;
    Writer w(record);
    w.u16(5);  // PROCESSOR_ARCHITECTURE_ARM
    w.u16(0);
    w.u32(kPageSize);
    w.u32(0x00010000);  // lowest and highest application address
    w.u32(0x7FFFFFFF);
    w.u32(1);     // active processor mask
    w.u32(1);     // processors
    w.u32(2577);  // PROCESSOR_STRONGARM
    w.u32(0x00010000);
    w.u16(4);  // processor level and revision
    w.u16(0);
    return record;
}

// Version 1 sends an optional out record and reads the last error only; version 2 sends
// nothing and reads the record after the last error.
void GetSystemInfo(Call& c) {
    const bool wanted = c.v1() && OptionalOut(c);
    if (!c.in.ok()) {
        return c.invalid();
    }
    c.reply(0);
    if (c.v1()) {
        PutOptional(c, wanted, SystemInfoRecord());
    } else {
        const std::string record = SystemInfoRecord();
        c.out.bytes(record.data(), record.size());
    }
}

std::string PowerRecord() {
    std::string record;
    Writer w(record);
    w.u8(1);    // on mains power
    w.u8(1);    // battery high
    w.u8(100);  // percent
    w.u8(0);
    w.u32(0xFFFFFFFFu);  // life time and full life time unknown (on mains)
    w.u32(0xFFFFFFFFu);
    w.u8(0);
    w.u8(1);  // backup battery high, full
    w.u8(100);
    w.u8(0);
    w.u32(0xFFFFFFFFu);
    w.u32(0xFFFFFFFFu);
    return record;
}

// Version 1: [optional out record][refresh] -> [error][TRUE][optional record]; version 2:
// [refresh] -> [TRUE][record], without a last error.
void GetPowerStatus(Call& c) {
    const bool wanted = c.v1() && OptionalOut(c);
    c.in.u32();  // refresh: the figures are always current
    if (!c.in.ok()) {
        return c.invalid();
    }
    c.reply(0);
    c.out.u32(1);
    if (c.v1()) {
        PutOptional(c, wanted, PowerRecord());
    } else {
        const std::string record = PowerRecord();
        c.out.bytes(record.data(), record.size());
    }
}

// Main memory's size and free bytes: version 1 as an optional out record, version 2 plain.
void GetStoreInformation(Call& c) {
    const bool wanted = c.v1() && OptionalOut(c);
    if (!c.in.ok()) {
        return c.invalid();
    }
    RAPI_DWORD size = 0;
    RAPI_DWORD available = 0;
    if (c.device().CeGetStoreInformation(&size, &available) == 0) {
        return c.failWithDeviceError();
    }
    std::string record;
    Writer w(record);
    w.u32(size);
    w.u32(available);
    c.reply(0);
    c.out.u32(1);
    if (c.v1()) {
        PutOptional(c, wanted, record);
    } else {
        c.out.bytes(record.data(), record.size());
    }
}

// Version 2 only: [folder] -> [error][nonzero][free to the caller][total][total free], each
// 64-bit value as its low and its high half.
void GetDiskFreeSpace(Call& c) {
    std::u16string path;
    if (!c.path(path, StringForm::Plain)) {
        return c.invalid();
    }
    uint64_t values[3] = {};
    if (c.device().CeGetDiskFreeSpaceEx(path.c_str(), &values[0], &values[1], &values[2]) == 0) {
        return c.failWithDeviceError();
    }
    c.reply(0);
    c.out.u32(1);
    for (const uint64_t v : values) {
        c.out.u32(static_cast<uint32_t>(v));
        c.out.u32(static_cast<uint32_t>(v >> 32));
    }
}

// Version 1 only: three optional out values (storage pages, RAM pages, page size). Main
// memory's store in pages beside a fixed 32 MiB of program memory.
void GetMemoryDivision(Call& c) {
    bool wanted[3];
    for (bool& w : wanted) {
        w = OptionalOut(c);
    }
    if (!c.in.ok()) {
        return c.invalid();
    }
    RAPI_DWORD size = 0;
    RAPI_DWORD available = 0;
    if (c.device().CeGetStoreInformation(&size, &available) == 0) {
        return c.failWithDeviceError();
    }
    const uint32_t values[3] = {size / kPageSize, (32u << 20) / kPageSize, kPageSize};
    c.reply(0);
    c.out.u32(1);
    for (int i = 0; i < 3; ++i) {
        std::string record;
        Writer(record).u32(values[i]);
        PutOptional(c, wanted[i], record);
    }
}

// Configuration documents (rapiconfig) are not offered. Version 1's library takes a failure of
// the call as a whole for S_OK, so the call's own result (an HRESULT) carries the failure.
void RefuseConfiguration(Call& c) {
    c.fail(kNotSupported);
}

// The handheld's clock is the desktop's: it is always set to the desktop's time.
void SyncTimeToPc(Call& c) {
    c.reply(0);
}

constexpr Operation kSystemOperations[] = {
    {0x3B, 0x43, Version, 2, {0, 0}},        // FALSE, no record
    {0x44, 0x4B, GetSpecialFolder, 1, {0}},  // an empty path
    {0x2F, 0x3D, GetSystemInfo, 0, {}},
    {0x41, 0x49, GetPowerStatus, 1, {0}, kNoErrorInV2},
    {0x29, 0x39, GetStoreInformation, 1, {0}},
    // A failure's values are zeros: SynCE's library reads them whatever the result.
    {kNone, 0x5C, GetDiskFreeSpace, 7, {0, 0, 0, 0, 0, 0, 0}},
    {0x28, kNone, GetMemoryDivision, 1, {0}},
    {0x37, 0x01, SyncTimeToPc, 0, {}},
    {0x56, 0x0E, RefuseConfiguration, 1, {0x80070000u | kNotSupported}, kNoErrorInV1},
};

}  // namespace

std::span<const Operation> SystemOperations() {
    return kSystemOperations;
}

}  // namespace wire::ops
