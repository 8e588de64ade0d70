// The Remote API codec: requests in both protocol versions, answered from the device functions
// of one emulated handheld. Every field read is checked against the body's end; a request that
// is cut short or malformed gets its call's failure with ERROR_INVALID_PARAMETER, an unknown
// command the "not supported" reply, and the stream goes on either way.

#include "RapiWire.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "DeviceErrors.h"
#include "DevicePath.h"
#include "Posix.h"

namespace wire {

namespace {

constexpr uint32_t kInvalid = 0xFFFFFFFFu;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kNotSupportedHr = 0x80070032u;  // HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
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

// The fixed part of a find record before its name.
constexpr size_t kFindFixed = offsetof(CE_FIND_DATA, cFileName);

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

// A wire path is absolute ("\Storage Card\x", "/" taken as "\"), a device path is relative to
// the root; a path without a leading separator is taken from the root too.
std::u16string DevicePathOf(std::u16string path) {
    std::replace(path.begin(), path.end(), u'/', u'\\');
    if (!path.empty() && path.front() == u'\\') {
        path.erase(0, 1);
    }
    return path;
}

bool HasWildcard(std::u16string_view path) {
    const size_t cut = path.rfind(u'\\');
    const auto leaf = cut == std::u16string_view::npos ? path : path.substr(cut + 1);
    return leaf.find_first_of(u"*?") != std::u16string_view::npos;
}

}  // namespace

// Reads little-endian fields from a request body. Fails for good at the first field that runs
// past the end.
class Session::Reader {
public:
    explicit Reader(std::string_view body) : in_(body) {}

    bool ok() const { return ok_; }
    void fail() { ok_ = false; }

    uint32_t u32() {
        const auto b = bytes(4);
        if (b.size() != 4) {
            return 0;
        }
        return static_cast<uint32_t>(static_cast<unsigned char>(b[0])) |
               static_cast<uint32_t>(static_cast<unsigned char>(b[1])) << 8 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[2])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[3])) << 24;
    }

    std::string_view bytes(uint64_t n) {
        if (!ok_ || n > in_.size() - at_) {
            ok_ = false;
            return {};
        }
        const auto part = in_.substr(at_, static_cast<size_t>(n));
        at_ += static_cast<size_t>(n);
        return part;
    }

    // n UTF-16 units, up to the first NUL.
    std::u16string units(uint64_t n) {
        const auto raw = bytes(n * 2);
        std::u16string text;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            const auto c = static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                                 static_cast<unsigned char>(raw[i + 1]) << 8);
            if (c == 0) {
                break;
            }
            text.push_back(c);
        }
        return text;
    }

private:
    std::string_view in_;
    size_t at_ = 0;
    bool ok_ = true;
};

class Session::Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void u32(uint32_t v) {
        const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        out_.append(b, 4);
    }
    void units(std::u16string_view text) {
        for (const char16_t c : text) {
            out_.push_back(static_cast<char>(c & 0xFF));
            out_.push_back(static_cast<char>(c >> 8));
        }
    }
    void bytes(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }

private:
    std::string& out_;
};

int ProtocolFor(OsVersion os) {
    return os.major > 4 && os.minor > 0 ? 2 : 1;
}

Session::Session(handheld::EmulatedHandheld& device, OsVersion os)
    : device_(device), os_(os), protocol_(ProtocolFor(os)) {}

Session::Op Session::opOf(uint32_t command) const {
    struct Entry {
        uint32_t v1, v2;
        Op op;
    };
    static constexpr Entry kCommands[] = {
        {0x00, 0x11, Op::FindFirst},     {0x01, 0x12, Op::FindNext},   {0x02, 0x13, Op::FindClose},
        {0x05, 0x16, Op::CreateFile},    {0x06, 0x17, Op::Read},       {0x07, 0x18, Op::Write},
        {0x08, 0x19, Op::CloseHandle},   {0x09, 0x1A, Op::FindAll},    {0x03, 0x14, Op::Attributes},
        {0x17, 0x28, Op::CreateFolder},  {0x1C, 0x2D, Op::DeleteFile}, {0x3B, 0x43, Op::Version},
        {0x44, 0x4B, Op::SpecialFolder},
    };
    for (const auto& e : kCommands) {
        if ((protocol_ == 1 ? e.v1 : e.v2) == command) {
            return e.op;
        }
    }
    return Op::Unknown;
}

// Version 1: [u32 1][u32 units incl. NUL][UTF-16], or an optional string [u32 1][u32 bytes]
// [u32 1][data]; [u32 0] is no string. Version 2: [u32 bytes incl. NUL][UTF-16].
bool Session::readPath(Reader& in, std::u16string& path, bool optional) const {
    if (protocol_ == 2) {
        const uint32_t size = in.u32();
        path = in.units(size / 2);
        if (size % 2 != 0) {
            in.bytes(1);
        }
        return in.ok() && size != 0;
    }
    if (in.u32() != 1) {
        return false;  // no string: the call's parameter is missing
    }
    if (optional) {
        const uint32_t size = in.u32();
        if (in.u32() != 1) {
            return false;
        }
        path = in.units(size / 2);
        if (size % 2 != 0) {
            in.bytes(1);
        }
    } else {
        path = in.units(in.u32());
    }
    return in.ok();
}

void Session::failure(Op op, uint32_t lastError, Writer& out) const {
    if (op == Op::Unknown) {
        if (protocol_ == 1) {
            out.u32(1);
            out.u32(kNotSupportedHr);
        } else {
            out.u32(kNotSupported);
            out.u32(0);
        }
        return;
    }
    if (protocol_ == 1) {
        out.u32(0);
        if (op == Op::FindAll) {
            out.u32(0);  // version 1 has no error field here: no entries
            return;
        }
    }
    out.u32(lastError);
    switch (op) {
        case Op::FindFirst:
            out.u32(kInvalid);
            out.u32(0);  // no record
            break;
        case Op::CreateFile:
        case Op::Attributes:
            out.u32(kInvalid);
            break;
        case Op::Read:
        case Op::Write:
        case Op::FindAll:
        case Op::FindNext:
        case Op::Version:
            out.u32(0);
            out.u32(0);  // nothing read or written, no entries, no record
            break;
        case Op::SpecialFolder:
            out.u32(0);  // an empty path
            break;
        default:
            out.u32(0);
            break;
    }
}

void Session::putFindData(const CE_FIND_DATA& data, Writer& out) const {
    size_t units = 0;
    while (units < static_cast<size_t>(kMaxPath) - 1 && data.cFileName[units] != 0) {
        ++units;
    }
    out.u32(static_cast<uint32_t>(kFindFixed + (units + 1) * 2));
    out.u32(data.dwFileAttributes);
    for (const auto& t : {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime}) {
        out.u32(t.dwLowDateTime);
        out.u32(t.dwHighDateTime);
    }
    out.u32(data.nFileSizeHigh);
    out.u32(data.nFileSizeLow);
    out.u32(data.dwOID);
    out.units(std::u16string_view(data.cFileName, units));
    out.units(std::u16string_view(u"", 1));  // its NUL
}

void Session::findAll(const std::u16string& path, uint32_t flags, Writer& out) {
    std::vector<CE_FIND_DATA> found;
    CE_FIND_DATA data{};
    const RAPI_HANDLE search = device_.CeFindFirstFile(DevicePathOf(path).c_str(), &data);
    uint32_t lastError = 0;
    if (search == INVALID_HANDLE_VALUE) {
        lastError = device_.CeGetLastError();
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
        } while (device_.CeFindNextFile(search, &data) != 0);
        device_.CeFindClose(search);
    }
    if (protocol_ == 1) {
        out.u32(0);
    } else {
        out.u32(lastError);
        out.u32(found.empty() && search == INVALID_HANDLE_VALUE ? 0 : 1);
    }
    out.u32(static_cast<uint32_t>(found.size()));
    for (const auto& f : found) {
        size_t units = 0;
        while (units < static_cast<size_t>(kMaxPath) - 1 && f.cFileName[units] != 0) {
            ++units;
        }
        if (flags & kFafName) {
            // Version 1 counts the name in units, version 2 in bytes; both with the NUL.
            out.u32(static_cast<uint32_t>(protocol_ == 1 ? units + 1 : (units + 1) * 2));
        }
        if (flags & kFafAttributes) {
            out.u32(f.dwFileAttributes);
        }
        const std::pair<uint32_t, CE_FILETIME> times[] = {{kFafCreationTime, f.ftCreationTime},
                                                          {kFafLastAccessTime, f.ftLastAccessTime},
                                                          {kFafLastWriteTime, f.ftLastWriteTime}};
        for (const auto& [flag, t] : times) {
            if (flags & flag) {
                out.u32(t.dwLowDateTime);
                out.u32(t.dwHighDateTime);
            }
        }
        if (flags & kFafSizeHigh) {
            out.u32(f.nFileSizeHigh);
        }
        if (flags & kFafSizeLow) {
            out.u32(f.nFileSizeLow);
        }
        if (flags & kFafOid) {
            out.u32(f.dwOID);
        }
        if (flags & kFafName) {
            out.units(std::u16string_view(f.cFileName, units));
            out.units(std::u16string_view(u"", 1));  // its NUL
        }
    }
}

void Session::answer(std::string_view request, std::string& reply) {
    Reader in(request);
    Writer out(reply);
    const uint32_t command = in.u32();
    const Op op = in.ok() ? opOf(command) : Op::Unknown;
    if (op == Op::Unknown) {
        failure(op, 0, out);
        return;
    }
    const auto prefix = [&] {
        if (protocol_ == 1) {
            out.u32(0);
        }
    };
    const auto invalid = [&] { failure(op, ERROR_INVALID_PARAMETER, out); };
    std::u16string path;

    switch (op) {
        case Op::FindFirst:
        case Op::Attributes: {
            if (!readPath(in, path, false)) {
                return invalid();
            }
            const std::u16string devicePath = DevicePathOf(path);
            CE_FIND_DATA data{};
            RAPI_HANDLE h = INVALID_HANDLE_VALUE;
            if (op == Op::Attributes && devicePath.empty()) {
                data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;  // the root folder
            } else if (op == Op::Attributes && HasWildcard(devicePath)) {
                return failure(op, ERROR_INVALID_NAME, out);
            } else {
                h = device_.CeFindFirstFile(devicePath.c_str(), &data);
                if (h == INVALID_HANDLE_VALUE) {
                    return failure(op, device_.CeGetLastError(), out);
                }
            }
            if (op == Op::Attributes) {
                if (h != INVALID_HANDLE_VALUE) {
                    device_.CeFindClose(h);
                }
                prefix();
                out.u32(0);
                out.u32(data.dwFileAttributes);
                return;
            }
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(static_cast<uint32_t>(h));
            putFindData(data, out);
            return;
        }
        case Op::FindNext: {
            const auto h = static_cast<RAPI_HANDLE>(in.u32());
            if (!in.ok()) {
                return invalid();
            }
            CE_FIND_DATA data{};
            const RAPI_BOOL ok = device_.CeFindNextFile(h, &data);
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(ok != 0 ? 1 : 0);
            if (ok != 0) {
                putFindData(data, out);
            } else {
                out.u32(0);
            }
            return;
        }
        case Op::FindClose:
        case Op::CloseHandle: {
            const auto h = static_cast<RAPI_HANDLE>(in.u32());
            if (!in.ok()) {
                return invalid();
            }
            RAPI_BOOL ok;
            if (op == Op::FindClose) {
                ok = device_.CeFindClose(h);
            } else {
                ok = device_.CeCloseHandle(h);
                openFiles_.erase(h);
            }
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(ok != 0 ? 1 : 0);
            return;
        }
        case Op::CreateFile: {
            uint32_t v[5] = {};
            if (protocol_ == 1) {
                for (auto& x : v) {
                    x = in.u32();
                }
            }
            if (!readPath(in, path, false)) {
                return invalid();
            }
            if (protocol_ == 2) {
                for (auto& x : v) {
                    x = in.u32();
                }
            }
            if (!in.ok()) {
                return invalid();
            }
            const RAPI_HANDLE h =
                device_.CeCreateFile(DevicePathOf(path).c_str(), v[0], v[1], nullptr, v[2], v[3],
                                     static_cast<RAPI_HANDLE>(v[4]));
            if (h != INVALID_HANDLE_VALUE) {
                openFiles_.insert(h);
            }
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(static_cast<uint32_t>(h));
            return;
        }
        case Op::Read: {
            const auto h = static_cast<RAPI_HANDLE>(in.u32());
            uint32_t count = 0;
            if (protocol_ == 2) {
                count = in.u32();
            } else if (in.u32() == 1) {  // [1][size][0: no data sent], then the overlapped (none)
                count = in.u32();
                in.u32();
            }
            if (!in.ok()) {
                return invalid();
            }
            count = std::min(count, kMaxRead);
            readBuffer_.resize(count);
            RAPI_DWORD got = 0;
            const RAPI_BOOL ok = device_.CeReadFile(h, readBuffer_.data(), count, &got, nullptr);
            got = std::min<RAPI_DWORD>(got, count);
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(ok != 0 ? 1 : 0);
            out.u32(got);
            out.bytes(readBuffer_.data(), got);
            return;
        }
        case Op::Write: {
            const auto h = static_cast<RAPI_HANDLE>(in.u32());
            std::string_view data;
            if (protocol_ == 2) {
                data = in.bytes(in.u32());
            } else if (in.u32() == 1) {  // [1][size][data], then the overlapped (none)
                data = in.bytes(in.u32());
            } else {
                in.fail();
            }
            if (!in.ok()) {
                return invalid();
            }
            RAPI_DWORD written = 0;
            const RAPI_BOOL ok = device_.CeWriteFile(
                h, data.data(), static_cast<RAPI_DWORD>(data.size()), &written, nullptr);
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(ok != 0 ? 1 : 0);
            out.u32(written);
            return;
        }
        case Op::FindAll: {
            if (!readPath(in, path, false)) {
                return invalid();
            }
            const uint32_t flags = in.u32();
            if (!in.ok()) {
                return invalid();
            }
            return findAll(path, flags, out);
        }
        case Op::CreateFolder:
        case Op::DeleteFile: {
            if (!readPath(in, path, true)) {
                return invalid();
            }
            const std::u16string devicePath = DevicePathOf(path);
            const RAPI_BOOL ok = op == Op::CreateFolder
                                     ? device_.CeCreateDirectory(devicePath.c_str(), nullptr)
                                     : device_.CeDeleteFile(devicePath.c_str());
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(ok != 0 ? 1 : 0);
            return;
        }
        case Op::Version: {
            CEOSVERSIONINFO info{};
            if (device_.CeGetVersionEx(&info) == 0) {
                return failure(op, device_.CeGetLastError(), out);
            }
            // The OS version is the one this handheld is served as.
            info.dwMajorVersion = os_.major;
            info.dwMinorVersion = os_.minor;
            prefix();
            out.u32(device_.CeGetLastError());
            out.u32(1);
            out.u32(sizeof info);
            out.u32(info.dwOSVersionInfoSize);
            out.u32(info.dwMajorVersion);
            out.u32(info.dwMinorVersion);
            out.u32(info.dwBuildNumber);
            out.u32(info.dwPlatformId);
            out.units(std::u16string_view(info.szCSDVersion, std::size(info.szCSDVersion)));
            return;
        }
        case Op::SpecialFolder: {
            const uint32_t id = in.u32();
            const uint32_t room = in.u32();  // the caller's buffer, in units with the NUL
            if (!in.ok()) {
                return invalid();
            }
            const auto it = std::find_if(std::begin(kSpecialFolders), std::end(kSpecialFolders),
                                         [id](const SpecialFolder& f) { return f.id == id; });
            if (it == std::end(kSpecialFolders)) {
                return failure(op, ERROR_INVALID_PARAMETER, out);
            }
            const std::u16string_view folder = it->path;
            if (room < folder.size() + 1) {
                return failure(op, kInsufficientBuffer, out);
            }
            prefix();
            out.u32(0);
            out.u32(static_cast<uint32_t>(folder.size()));
            out.units(folder);
            return;
        }
        case Op::Unknown:
            break;
    }
}

void Session::answerOversized(uint32_t command, std::string& reply) {
    Writer out(reply);
    failure(opOf(command), kNotEnoughMemory, out);
}

void Session::end() {
    for (const RAPI_HANDLE h : openFiles_) {
        // A write while the handheld is gone drops what this handle half wrote; while it is
        // there, it takes nothing. Then the handle is closed like any the client left open.
        RAPI_DWORD written = 0;
        device_.CeWriteFile(h, "", 0, &written, nullptr);
        device_.CeCloseHandle(h);
    }
    openFiles_.clear();
    device_.CeRapiUninit();
}

void ServeStream(int fd, Session& session) {
    std::string request;
    std::string reply;
    for (;;) {
        unsigned char head[4];
        if (posix::readFull(fd, head, 4) != 4) {
            return;
        }
        const uint32_t length =
            static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
            static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24;
        reply.assign(4, '\0');
        if (length > kMaxRequest) {
            // Skipped in pieces, so that a huge declared length costs no memory.
            unsigned char cmd[4];
            if (posix::readFull(fd, cmd, 4) != 4) {
                return;
            }
            char sink[65536];
            uint64_t left = length - 4;
            while (left > 0) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof sink));
                if (posix::readFull(fd, sink, n) != static_cast<ssize_t>(n)) {
                    return;
                }
                left -= n;
            }
            session.answerOversized(
                static_cast<uint32_t>(cmd[0]) | static_cast<uint32_t>(cmd[1]) << 8 |
                    static_cast<uint32_t>(cmd[2]) << 16 | static_cast<uint32_t>(cmd[3]) << 24,
                reply);
        } else {
            request.resize(length);
            if (posix::readFull(fd, request.data(), length) != static_cast<ssize_t>(length)) {
                return;
            }
            session.answer(request, reply);
        }
        const auto size = static_cast<uint32_t>(reply.size() - 4);
        for (int i = 0; i < 4; ++i) {
            reply[static_cast<size_t>(i)] = static_cast<char>(size >> (8 * i));
        }
        if (posix::writeAll(fd, reply.data(), reply.size()) != 0) {
            return;
        }
    }
}

}  // namespace wire
