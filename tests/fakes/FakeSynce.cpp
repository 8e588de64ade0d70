// A stand-in for SynCE's Remote API library: the same exported names and types (uint16_t
// strings, uint32_t handles and BOOLs, a synchronous CeRapiInit, no CeRapiInitEx) and the same
// per-thread current connection, so that a call on a thread without one fails. Behind it is an
// emulated handheld rooted at $FAKE_SYNCE_DEVICE; a missing root is no device at all.
// $FAKE_SYNCE_CONTROL may name a file read at each connect: "connect-ms=N" makes it slow.
// Like SynCE, a thread's current connection holds a reference (without atomics: overlapping
// calls are counted), each connection has a socket whose far end stands for the device, a
// transport failure shows only in CeRapiGetError, and a find record is copied at the size the
// device declares (see FakeSynceScript).

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedHandheld.h"
#include "FakeSynce.h"

#define SYNCE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using WCHAR = uint16_t;
using DWORD = uint32_t;
using BOOL = uint32_t;
using HANDLE = uint32_t;
using HRESULT = int32_t;
constexpr HANDLE kInvalidHandle = 0xFFFFFFFFu;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);

struct FindData {
    DWORD attributes;
    DWORD times[6];
    DWORD sizeHigh, sizeLow, oid;
    WCHAR name[kMaxPath];
};

struct Connection {
    std::string handheld;
    bool up = false;
    int refs = 1;
    int busy = 0;
    int socket = -1;  // SynCE's end; closed after a transport failure, as SynCE does
    int device = -1;  // the device's end
    HRESULT rapiError = 0;
};

std::mutex g_mutex;
// Leaked, so that a connect still running at exit never meets a destroyed set.
std::set<Connection*>& g_live = *new std::set<Connection*>;
FakeSynceCounters g_counters;
FakeSynceScript g_script;
std::map<std::string, int> g_uses;  // calls since the script was set
thread_local Connection* t_current = nullptr;

// Drops a reference; the last one frees the connection. Under g_mutex.
void unref(Connection* connection) {
    if (connection == nullptr || g_live.count(connection) == 0 || --connection->refs > 0) {
        return;
    }
    for (int fd : {connection->socket, connection->device}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    g_live.erase(connection);
    delete connection;
    --g_counters.live;
}

std::string root() {
    const char* path = std::getenv("FAKE_SYNCE_DEVICE");
    return path != nullptr ? path : "";
}

handheld::EmulatedHandheld& device() {
    static auto* d = new handheld::EmulatedHandheld(root());
    return *d;
}

// The last value of "key=" in the control file; empty when none.
std::string setting(const std::string& key) {
    const char* control = std::getenv("FAKE_SYNCE_CONTROL");
    std::ifstream in(control != nullptr ? control : "");
    std::string line, value;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            value = line.substr(key.size() + 1);
        }
    }
    return value;
}

int connectDelayMs() {
    return std::atoi(setting("connect-ms").c_str());
}

// The attached handhelds as the connection manager lists them ("handhelds=A,B"; one by default),
// all with the same emulated handheld behind them, and the one locked with its password
// ("locked=NAME:PIN") until the password is given.
std::vector<std::string> handhelds() {
    std::vector<std::string> names;
    std::stringstream list(setting("handhelds"));
    for (std::string name; std::getline(list, name, ',');) {
        names.push_back(name);
    }
    if (names.empty()) {
        names.push_back("Fake Handheld");
    }
    return names;
}

std::set<std::string> g_unlocked;

// The password the handheld waits for; empty when it isn't locked (or was unlocked).
std::string lockedWith(const std::string& name) {
    const std::string locked = setting("locked");
    const size_t colon = locked.find(':');
    if (colon == std::string::npos || locked.substr(0, colon) != name) {
        return {};
    }
    std::lock_guard lock(g_mutex);
    return g_unlocked.count(name) != 0 ? std::string() : locked.substr(colon + 1);
}

// The calling thread's connection when it is selected, alive and (if asked) connected.
Connection* selected(bool connected = true) {
    std::lock_guard lock(g_mutex);
    if (t_current == nullptr || g_live.count(t_current) == 0) {
        ++g_counters.refused;
        return nullptr;
    }
    return !connected || t_current->up ? t_current : nullptr;
}

// One call on the calling thread's connection: counts overlapping calls and plays the script.
// fine() is false when the call must fail in transport.
class Call {
public:
    explicit Call(const char* name) {
        connection_ = selected();
        if (connection_ == nullptr) {
            return;
        }
        bool stall = false, drop = false;
        int delayMs = 0;
        {
            std::lock_guard lock(g_mutex);
            if (connection_->busy++ > 0) {
                ++g_counters.overlaps;
            }
            connection_->rapiError = 0;
            if (g_script.nth > 0 && name == std::string(g_script.call)) {
                const int use = ++g_uses[name];
                stall = g_script.what == FakeSynceScript::kStall && use == g_script.nth;
                drop = g_script.what == FakeSynceScript::kDrop && use == g_script.nth;
                if (g_script.what == FakeSynceScript::kSlow && use >= g_script.nth) {
                    delayMs = g_script.delayMs;
                }
            }
            if (drop && connection_->device >= 0) {
                ::close(connection_->device);
                connection_->device = -1;
            }
        }
        if (drop) {
            transportFails(true);
        } else if (stall) {
            transportFails(false);
        } else if (connection_->socket < 0) {
            transportFails(true);  // a socket closed by an earlier failure
        } else if (delayMs > 0) {
            pollfd p{connection_->socket, POLLIN, 0};
            if (poll(&p, 1, delayMs) != 0) {
                transportFails(false);  // shut down while waiting
            }
        }
    }
    ~Call() {
        if (connection_ != nullptr) {
            std::lock_guard lock(g_mutex);
            --connection_->busy;
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    bool fine() const { return connection_ != nullptr && !failed_; }

    // A reply of size bytes sent by the device and read as SynCE reads one (read() into the
    // reply's buffer until all arrived); false, as a transport failure, when the stream ends
    // before.
    bool receive(uint64_t size) {
        const int device = connection_->device;
        std::thread sender([device, size] {
            static const char chunk[65536] = {};
            for (uint64_t sent = 0; sent < size;) {
                const ssize_t n = ::send(
                    device, chunk, std::min<uint64_t>(sizeof chunk, size - sent), MSG_NOSIGNAL);
                if (n <= 0) {
                    return;
                }
                sent += static_cast<uint64_t>(n);
            }
        });
        static thread_local char buffer[65536];
        uint64_t got = 0;
        while (got < size) {
            const ssize_t n =
                ::read(connection_->socket, buffer, std::min<uint64_t>(sizeof buffer, size - got));
            if (n <= 0) {
                break;
            }
            got += static_cast<uint64_t>(n);
        }
        {
            std::lock_guard lock(g_mutex);
            g_counters.largestReply = std::max(g_counters.largestReply, got);
        }
        if (got < size) {
            transportFails(false);
        }
        sender.join();
        return got == size;
    }

private:
    // write: the request goes onto the socket first (with plain write(): a closed far end
    // raises SIGPIPE); then the wait for the answer, 120 s as SynCE's, which ends early only
    // when the socket is shut down or hung up.
    void transportFails(bool write) {
        failed_ = true;
        const int fd = connection_->socket;
        if (fd >= 0 && write) {
            const char request[8] = {4, 0, 0, 0, 1, 0, 0, 0};
            if (::write(fd, request, sizeof request) < 0) {
                (void)0;
            }
        } else if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 120000);
        }
        std::lock_guard lock(g_mutex);
        connection_->rapiError = kFail;
        if (connection_->socket >= 0) {
            ::close(connection_->socket);
            connection_->socket = -1;
        }
    }

    Connection* connection_ = nullptr;
    bool failed_ = false;
};

std::u16string text(const WCHAR* s) {
    std::u16string out;
    for (; s != nullptr && *s != 0; ++s) {
        out.push_back(static_cast<char16_t>(*s));
    }
    return out;
}

HANDLE handle(RAPI_HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : static_cast<HANDLE>(h);
}

void copy(const CE_FIND_DATA& from, FindData* to) {
    to->attributes = from.dwFileAttributes;
    to->sizeHigh = from.nFileSizeHigh;
    to->sizeLow = from.nFileSizeLow;
    for (int i = 0; i < kMaxPath; ++i) {
        to->name[i] = static_cast<WCHAR>(from.cFileName[i]);
    }
    // A record declared longer: the name runs on past the field with 'x' (up to 1,000 chars are
    // written for real), and the copy reaches the declared size's last byte.
    const uint32_t size = g_script.findRecordSize;
    if (size > sizeof(FindData)) {
        auto* name =
            reinterpret_cast<WCHAR*>(reinterpret_cast<char*>(to) + offsetof(FindData, name));
        int i = 0;
        while (i < kMaxPath && name[i] != 0) {
            ++i;
        }
        const uint32_t room = (size - offsetof(FindData, name)) / sizeof(WCHAR);
        for (; i < 1000 && static_cast<uint32_t>(i) < room; ++i) {
            name[i] = u'x';
        }
        reinterpret_cast<volatile char*>(to)[size - 1] = 'x';
    }
}

// A record declared longer than its fields comes whole through the socket: the reply that holds
// it (three numbers and the record).
bool receiveRecord(Call& call) {
    const uint32_t size = g_script.findRecordSize;
    return size <= sizeof(FindData) || call.receive(uint64_t{size} + 12);
}

}  // namespace

SYNCE_EXPORT void fake_synce_counters(FakeSynceCounters* out) {
    std::lock_guard lock(g_mutex);
    *out = g_counters;
}

SYNCE_EXPORT void fake_synce_script(const FakeSynceScript* script) {
    std::lock_guard lock(g_mutex);
    g_script = script != nullptr ? *script : FakeSynceScript{};
    g_uses.clear();
}

SYNCE_EXPORT void* rapi_connection_from_name(const char* name) {
    std::error_code error;
    const std::vector<std::string> names = handhelds();
    const std::string wanted = name != nullptr ? name : names.front();
    if (!std::filesystem::is_directory(root(), error) ||
        std::find(names.begin(), names.end(), wanted) == names.end()) {
        std::fprintf(stderr, "fake synce: no device is connected\n");
        return nullptr;
    }
    std::lock_guard lock(g_mutex);
    auto* connection = new Connection;
    connection->handheld = wanted;
    g_live.insert(connection);
    ++g_counters.live;
    return connection;
}

SYNCE_EXPORT void rapi_connection_select(void* connection) {
    std::lock_guard lock(g_mutex);
    Connection* old = std::exchange(t_current, static_cast<Connection*>(connection));
    if (t_current != nullptr && g_live.count(t_current) != 0) {
        ++t_current->refs;
    }
    unref(old);
}

SYNCE_EXPORT void rapi_connection_destroy(void* connection) {
    std::lock_guard lock(g_mutex);
    unref(static_cast<Connection*>(connection));
}

SYNCE_EXPORT int rapi_connection_get_fd(void* connection) {
    std::lock_guard lock(g_mutex);
    auto* c = static_cast<Connection*>(connection);
    return c != nullptr && g_live.count(c) != 0 ? c->socket : -1;
}

SYNCE_EXPORT HRESULT CeRapiInit() {
    Connection* connection = selected(false);
    if (connection == nullptr) {
        return kFail;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(connectDelayMs()));
    if (!lockedWith(connection->handheld).empty()) {
        return kFail;  // the manager refuses a locked handheld's connection
    }
    RAPIINIT init{sizeof(RAPIINIT), 0, 0};
    pollfd fd{};
    const bool answered = device().CeRapiInitEx(&init) >= 0 &&
                          (fd = {init.heRapiInit, POLLIN, 0}, poll(&fd, 1, 0) == 1) &&
                          init.hrRapiInit >= 0;
    std::lock_guard lock(g_mutex);
    if (!answered || g_live.count(connection) == 0) {
        return kFail;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return kFail;
    }
    connection->socket = ends[0];
    connection->device = ends[1];
    connection->up = true;
    ++g_counters.connects;
    connection->handheld.copy(g_counters.connectedTo, sizeof g_counters.connectedTo - 1);
    g_counters
        .connectedTo[std::min(connection->handheld.size(), sizeof g_counters.connectedTo - 1)] =
        '\0';
    return 0;
}

SYNCE_EXPORT HRESULT CeRapiUninit() {
    Connection* connection = selected();
    if (connection == nullptr) {
        return kFail;
    }
    std::lock_guard lock(g_mutex);
    connection->up = false;
    ++g_counters.uninits;
    return 0;
}

SYNCE_EXPORT HRESULT CeRapiGetError() {
    Connection* connection = selected(false);
    std::lock_guard lock(g_mutex);
    return connection != nullptr ? connection->rapiError : kFail;
}

// The device's last error: a transport failure leaves it as it was.
SYNCE_EXPORT DWORD CeGetLastError() {
    return selected() != nullptr ? device().CeGetLastError() : ERROR_DEVICE_NOT_CONNECTED;
}

SYNCE_EXPORT HANDLE CeFindFirstFile(const WCHAR* pattern, FindData* data) {
    Call call("CeFindFirstFile");
    if (!call.fine()) {
        return kInvalidHandle;
    }
    CE_FIND_DATA found{};
    const RAPI_HANDLE h = device().CeFindFirstFile(text(pattern).c_str(), &found);
    if (!receiveRecord(call)) {
        return kInvalidHandle;
    }
    copy(found, data);
    return handle(h);
}

SYNCE_EXPORT BOOL CeFindNextFile(HANDLE search, FindData* data) {
    Call call("CeFindNextFile");
    if (!call.fine()) {
        return 0;
    }
    CE_FIND_DATA found{};
    RAPI_BOOL more = device().CeFindNextFile(static_cast<RAPI_HANDLE>(search), &found);
    if (g_script.endlessSearch) {
        found = CE_FIND_DATA{};
        found.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;
        found.cFileName[0] = u'C';
        more = 1;
    }
    if (!receiveRecord(call)) {
        return 0;
    }
    copy(found, data);
    return more != 0 ? 1 : 0;
}

SYNCE_EXPORT BOOL CeFindClose(HANDLE search) {
    return Call("CeFindClose").fine() && device().CeFindClose(static_cast<RAPI_HANDLE>(search)) ? 1
                                                                                                : 0;
}

SYNCE_EXPORT BOOL CeCreateDirectory(const WCHAR* path, void*) {
    return Call("CeCreateDirectory").fine() &&
                   device().CeCreateDirectory(text(path).c_str(), nullptr)
               ? 1
               : 0;
}

SYNCE_EXPORT HANDLE CeCreateFile(const WCHAR* path, DWORD access, DWORD share, void*,
                                 DWORD disposition, DWORD attributes, HANDLE) {
    const Call call("CeCreateFile");
    if (!call.fine()) {
        return kInvalidHandle;
    }
    return handle(device().CeCreateFile(text(path).c_str(), access, share, nullptr, disposition,
                                        attributes, INVALID_HANDLE_VALUE));
}

SYNCE_EXPORT BOOL CeWriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void*) {
    const Call call("CeWriteFile");
    if (!call.fine()) {
        return 0;
    }
    {
        std::lock_guard lock(g_mutex);
        ++g_counters.writes;
        g_counters.largestWrite = std::max(g_counters.largestWrite, count);
    }
    return device().CeWriteFile(static_cast<RAPI_HANDLE>(file), buffer, count, written, nullptr)
               ? 1
               : 0;
}

// Like SynCE, copies as many bytes as the device says it read (readExtra more than it has).
SYNCE_EXPORT BOOL CeReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void*) {
    if (selected() == nullptr ||
        !device().CeReadFile(static_cast<RAPI_HANDLE>(file), buffer, count, read, nullptr)) {
        return 0;
    }
    std::memset(static_cast<char*>(buffer) + *read, 'x', g_script.readExtra);
    *read += g_script.readExtra;
    return 1;
}

SYNCE_EXPORT BOOL CeCloseHandle(HANDLE h) {
    return Call("CeCloseHandle").fine() && device().CeCloseHandle(static_cast<RAPI_HANDLE>(h)) ? 1
                                                                                               : 0;
}

SYNCE_EXPORT BOOL CeDeleteFile(const WCHAR* path) {
    return Call("CeDeleteFile").fine() && device().CeDeleteFile(text(path).c_str()) ? 1 : 0;
}

SYNCE_EXPORT BOOL CeGetVersionEx(void* info) {
    return selected() != nullptr && device().CeGetVersionEx(static_cast<CEOSVERSIONINFO*>(info))
               ? 1
               : 0;
}

SYNCE_EXPORT BOOL CeMoveFile(const WCHAR* from, const WCHAR* to) {
    return Call("CeMoveFile").fine() && device().CeMoveFile(text(from).c_str(), text(to).c_str())
               ? 1
               : 0;
}

// The folder comes in the locale's character set (UTF-8 here); over Remote API 1
// ("protocol=1") SynCE doesn't offer the call, and a handheld may answer it with a failure
// result of its own ("free-space-result=HRESULT").
SYNCE_EXPORT DWORD CeGetDiskFreeSpaceEx(const char* folder, uint64_t* available, uint64_t* total,
                                        uint64_t* free) {
    const Call call("CeGetDiskFreeSpaceEx");
    if (!call.fine()) {
        return 0;
    }
    const std::string result = setting("free-space-result");
    if (setting("protocol") == "1" || !result.empty()) {
        std::lock_guard lock(g_mutex);
        t_current->rapiError = static_cast<HRESULT>(
            result.empty() ? 0x80004001u : std::strtoul(result.c_str(), nullptr, 0));
        return 0;
    }
    std::u16string wide;
    for (const char* c = folder; *c != '\0'; ++c) {
        wide.push_back(static_cast<unsigned char>(*c));  // the tests' folders are ASCII
    }
    return device().CeGetDiskFreeSpaceEx(wide.c_str(), available, total, free) ? 1 : 0;
}

// ---- SynCE's device enumeration and device information, and the GIO calls the bridge makes
// to the connection manager's device objects ("/dccm/N", by the handheld's place in the list).

namespace {
struct Enumeration {
    std::vector<std::string> names = handhelds();
    size_t next = 0;
};
struct Info {
    std::string name, path;
};
struct Variant {
    std::string text;
    int flag = 0;
};
int g_desktop, g_bus;
}  // namespace

SYNCE_EXPORT HRESULT IRAPIDesktop_Get(void** desktop) {
    *desktop = &g_desktop;
    return 0;
}

SYNCE_EXPORT void IRAPIDesktop_Release(void*) {}

SYNCE_EXPORT HRESULT IRAPIDesktop_EnumDevices(void*, void** devices) {
    *devices = new Enumeration;
    return 0;
}

SYNCE_EXPORT HRESULT IRAPIEnumDevices_Next(void* devices, void** device) {
    auto* e = static_cast<Enumeration*>(devices);
    if (e->next == e->names.size()) {
        return kFail;
    }
    *device = &e->names[e->next++];
    return 0;
}

SYNCE_EXPORT void IRAPIEnumDevices_Release(void* devices) {
    delete static_cast<Enumeration*>(devices);
}

SYNCE_EXPORT const char* IRAPIDevice_get_name(void* device) {
    return static_cast<std::string*>(device)->c_str();
}

SYNCE_EXPORT void* synce_info_new(const char* name) {
    const std::vector<std::string> names = handhelds();
    for (size_t i = 0; i < names.size(); ++i) {
        if (name == nullptr || names[i] == name) {
            return new Info{names[i], "/dccm/" + std::to_string(i)};
        }
    }
    return nullptr;
}

SYNCE_EXPORT const char* synce_info_get_name(void* info) {
    return static_cast<Info*>(info)->name.c_str();
}

SYNCE_EXPORT const char* synce_info_get_object_path(void* info) {
    return static_cast<Info*>(info)->path.c_str();
}

SYNCE_EXPORT void synce_info_destroy(void* info) {
    delete static_cast<Info*>(info);
}

SYNCE_EXPORT void* g_bus_get_sync(int, void*, void**) {
    return &g_bus;
}

SYNCE_EXPORT void g_object_unref(void*) {}

SYNCE_EXPORT void g_error_free(void* error) {
    delete static_cast<int*>(error);
}

SYNCE_EXPORT void g_free(void* p) {
    std::free(p);
}

SYNCE_EXPORT void* g_variant_new(const char* format, ...) {
    va_list args;
    va_start(args, format);
    auto* v = new Variant{va_arg(args, const char*)};  // "(s)" only
    va_end(args);
    return v;
}

SYNCE_EXPORT void g_variant_get(void* variant, const char* format, ...) {
    const auto* v = static_cast<Variant*>(variant);
    va_list args;
    va_start(args, format);
    if (std::strcmp(format, "(s)") == 0) {
        *va_arg(args, char**) = strdup(v->text.c_str());
    } else {
        *va_arg(args, int*) = v->flag;
    }
    va_end(args);
}

SYNCE_EXPORT void g_variant_unref(void* variant) {
    delete static_cast<Variant*>(variant);
}

// GetPasswordFlags and ProvidePassword as SynCE's connection manager answers them.
SYNCE_EXPORT void* g_dbus_connection_call_sync(void*, const char*, const char* path, const char*,
                                               const char* method, void* parameters, const void*,
                                               int, int, void*, void** error) {
    std::unique_ptr<Variant> given(static_cast<Variant*>(parameters));
    const std::vector<std::string> names = handhelds();
    for (size_t i = 0; i < names.size(); ++i) {
        if (path != "/dccm/" + std::to_string(i)) {
            continue;
        }
        const std::string password = lockedWith(names[i]);
        if (std::strcmp(method, "GetPasswordFlags") == 0) {
            return new Variant{password.empty() ? "unlocked" : "provide"};
        }
        if (std::strcmp(method, "ProvidePassword") == 0 && given != nullptr) {
            const bool right = !password.empty() && given->text == password;
            if (right) {
                std::lock_guard lock(g_mutex);
                g_unlocked.insert(names[i]);
            }
            return new Variant{{}, right ? 1 : 0};
        }
    }
    *error = new int(1);
    return nullptr;
}
