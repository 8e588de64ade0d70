// The emulated handheld: device calls mapped onto a folder tree on the desktop. This part holds
// the link state (connect, unplug, where a path lands) and the folder searches; the file objects
// are in DeviceFiles.cpp.
//
// Every path is walked one component at a time from an open descriptor of the root with
// O_NOFOLLOW, so no device path can reach outside the root, not even through a symbolic link.

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <thread>
#include <utility>

#include "DeviceCore.h"

namespace handheld {

namespace {

// A connect refused for want of the password: ERROR_INVALID_PASSWORD as an HRESULT.
constexpr RAPI_HRESULT kLockedHr = static_cast<RAPI_HRESULT>(0x80070056u);

}  // namespace

void EmulatedHandheld::Impl::dropLink() {
    connected = false;
    objects.clear();
    usage.clear();
    link.reset();
    root.reset();
    holderWatch.reset();
}

bool EmulatedHandheld::Impl::linkUp() {
    if (!connected) {
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    // A name changes only through an entry made, removed or renamed in its folder: while the
    // watch saw none since the count taken before the last lookup, that lookup's answer holds.
    const std::optional<uint64_t> seen = holderWatch.changes();
    if (seen && seen == holderSeen) {
        return true;
    }
    struct stat st;
    const int looked = rootHolder.valid() ? fstatat(rootHolder.get(), rootName.c_str(), &st, 0)
                                          : stat(rootPath.c_str(), &st);
    if (looked != 0 || st.st_dev != rootDev || st.st_ino != rootIno) {
        connected = false;
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    holderSeen = seen;
    return true;
}

RAPI_HANDLE EmulatedHandheld::Impl::newHandle(Object object) {
    while (objects.count(nextHandle) != 0 || nextHandle <= 0) {
        nextHandle = nextHandle >= 0x7FFFFFFF || nextHandle <= 0 ? 1 : nextHandle + 1;
    }
    const RAPI_HANDLE h = nextHandle;
    objects.emplace(h, std::move(object));
    nextHandle = nextHandle >= 0x7FFFFFFF ? 1 : nextHandle + 1;
    return h;
}

bool EmulatedHandheld::Impl::locate(const DevicePath& path, Location& where) {
    Fd dir(openat(root.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    std::optional<std::string> card;
    for (size_t i = 0; i < path.folders.size(); ++i) {
        int err;
        Fd next = OpenFolder(dir.get(), path.folders[i], err);
        if (!next.valid()) {
            // The settings of the storage the path lies in, for callers that report them.
            if (!card) {
                where.settings = ParseSettings(ReadSettingsFile(root.get(), kHandheldSettings));
            }
            return fail(err == ELOOP ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
        }
        if (i == 0 && HoldsCardMarker(next.get())) {
            card = ResolveName(dir.get(), path.folders[i]);
            where.settings = ParseSettings(ReadSettingsFile(next.get(), kCardMarker));
        }
        dir = std::move(next);
    }
    where.leaf = path.leaf.empty() ? std::string() : ResolveName(dir.get(), path.leaf);
    if (card) {
        where.storageKey = *card;
    } else {
        where.storageKey.clear();
        where.settings = ParseSettings(ReadSettingsFile(root.get(), kHandheldSettings));
    }
    where.parent = std::move(dir);
    return true;
}

namespace {

// The process's inotify instance and, per watch, the events seen on it. It is never closed.
struct Watches {
    struct Entry {
        unsigned users = 0;
        uint64_t changes = 0;
        bool gone = false;
    };
    std::mutex mutex;
    Fd fd{inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    std::map<int, Entry> entries;

    static Watches& get() {
        static Watches* const watches = new Watches;
        return *watches;
    }

    // Reads every event queued so far into the entries (the caller holds the mutex).
    void drain() {
        alignas(inotify_event) char events[4096];
        for (;;) {
            const ssize_t n = read(fd.get(), events, sizeof events);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;  // EAGAIN: nothing more
            }
            for (ssize_t at = 0; at < n;) {
                const auto* seen = reinterpret_cast<const inotify_event*>(events + at);
                if ((seen->mask & IN_Q_OVERFLOW) != 0) {
                    for (auto& [wd, entry] : entries) {
                        entry.gone = true;  // which folders changed is lost
                    }
                } else if (const auto it = entries.find(seen->wd); it != entries.end()) {
                    ++it->second.changes;
                    it->second.gone = it->second.gone || (seen->mask & IN_IGNORED) != 0;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + seen->len);
            }
        }
    }
};

}  // namespace

void FolderWatch::watch(int folder) {
    reset();
    Watches& watches = Watches::get();
    std::lock_guard lock(watches.mutex);
    if (!watches.fd.valid()) {
        return;
    }
    // Through the descriptor, so the folder watched is the one open, whatever its path is now.
    const std::string self = "/proc/self/fd/" + std::to_string(folder);
    wd_ = inotify_add_watch(watches.fd.get(), self.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
    if (wd_ >= 0) {
        Watches::Entry& entry = watches.entries[wd_];
        if (entry.users++ == 0) {
            entry = {1, 0, false};
        }
    }
}

void FolderWatch::reset() {
    if (wd_ < 0) {
        return;
    }
    Watches& watches = Watches::get();
    std::lock_guard lock(watches.mutex);
    if (const auto it = watches.entries.find(wd_);
        it != watches.entries.end() && --it->second.users == 0) {
        if (!it->second.gone) {
            inotify_rm_watch(watches.fd.get(), wd_);
        }
        watches.entries.erase(it);
    }
    wd_ = -1;
}

std::optional<uint64_t> FolderWatch::changes() const {
    if (wd_ < 0) {
        return std::nullopt;
    }
    Watches& watches = Watches::get();
    std::lock_guard lock(watches.mutex);
    watches.drain();
    const auto it = watches.entries.find(wd_);
    if (it == watches.entries.end() || it->second.gone) {
        return std::nullopt;
    }
    return it->second.changes;
}

bool Usage::take(uint64_t bytes, std::optional<uint64_t> capacity) {
    if (!ledger) {
        if (capacity && used + bytes > *capacity) {
            return false;
        }
        used += bytes;
        return true;
    }
    if (bytes > ahead) {
        const uint64_t need = bytes - ahead;
        uint64_t block = std::max(need, kTakeAhead);
        if (!ledger->add(block, capacity)) {
            block = need;  // near the end of the storage: only what this write needs
            if (!ledger->add(block, capacity)) {
                return false;
            }
        }
        ahead += block;
    }
    ahead -= bytes;
    used += bytes;
    return true;
}

void Usage::release(uint64_t bytes) {
    used -= std::min(used, bytes);
    if (ledger) {
        ledger->remove(bytes);
    }
}

void Usage::settle() {
    if (ledger && ahead > 0) {
        ledger->remove(ahead);
    }
    ahead = 0;
}

std::shared_ptr<Usage> EmulatedHandheld::Impl::countUsage(const std::string& storageKey,
                                                          std::optional<uint64_t> capacity) {
    auto& slot = usage[storageKey];
    if (!slot) {
        slot = std::make_shared<Usage>();
    }
    int err = 0;
    Fd card = storageKey.empty() ? Fd() : OpenFolder(root.get(), storageKey, err);
    const int folder = storageKey.empty() ? root.get() : card.get();
    if (folder < 0) {
        slot->used = 0;
        return slot;
    }
    if (capacity && !slot->ledger) {
        slot->ledger = UsageLedger::Join(folder, storageKey.empty());
    } else if (slot->ledger && slot.use_count() == 1 && slot->ahead == 0) {
        // Nothing of this connection under way: a storage that only it writes is counted
        // afresh, so that files changed from outside since count right.
        slot->ledger->recountIfAlone(folder, storageKey.empty());
    }
    slot->used = slot->ledger ? slot->ledger->used() : UsedBytes(folder, storageKey.empty());
    return slot;
}

std::chrono::steady_clock::time_point EmulatedHandheld::Impl::pace(uint64_t count) {
    if (!link) {
        link = SharedLink::Open(root.get());
    }
    if (link) {
        return link->book(count, speed);
    }
    const auto now = std::chrono::steady_clock::now();
    paceUntil =
        std::max(paceUntil, now) +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(static_cast<double>(count) / static_cast<double>(speed)));
    return paceUntil;
}

void EmulatedHandheld::Impl::openRootHolder() {
    std::string holder = rootPath;
    while (holder.size() > 1 && holder.back() == '/') {
        holder.pop_back();
    }
    const size_t slash = holder.rfind('/');
    rootName = holder.substr(slash == std::string::npos ? 0 : slash + 1);
    holder = slash == std::string::npos ? "." : slash == 0 ? "/" : holder.substr(0, slash);
    // A root without a name of its own ("/", "..") is looked up by its whole path.
    rootHolder.reset(rootName.empty() || rootName == "." || rootName == ".." || rootName == "/"
                         ? -1
                         : open(holder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    // Watched before the root is looked up again. Without a watch every call looks up.
    holderSeen.reset();
    holderWatch.reset();
    if (rootHolder.valid()) {
        holderWatch.watch(rootHolder.get());
    }
}

RAPI_HRESULT EmulatedHandheld::Impl::initEx(RAPIINIT* init) {
    if (init == nullptr || init->cbSize != sizeof(RAPIINIT)) {
        return E_INVALIDARG_HR;
    }
    event.reset(eventfd(0, EFD_CLOEXEC));
    if (!event.valid()) {
        return E_FAIL_HR;
    }
    init->heRapiInit = event.get();
    init->hrRapiInit = 0;

    const std::string path = fixedRoot.empty() ? DefaultRoot() : fixedRoot;
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        dropLink();  // not attached: the attempt never ends
        return 0;
    }
    Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        dropLink();
        return 0;
    }
    const Settings settings = ParseSettings(ReadSettingsFile(dir.get(), kHandheldSettings));
    // A locked handheld refuses the connect until its password is given, as SynCE's library
    // reports it.
    if (!settings.password.empty() && settings.password != unlockedWith) {
        dropLink();
        init->hrRapiInit = kLockedHr;
        posix::signalEvent(event.get());
        return 0;
    }
    if (settings.answer == Settings::Answer::No) {
        dropLink();
        return 0;
    }
    if (settings.answer == Settings::Answer::Refuse) {
        dropLink();
        init->hrRapiInit = E_FAIL_HR;
        posix::signalEvent(event.get());
        return 0;
    }
    // The same handheld, still linked (a link check): its open handles stay valid.
    const bool same = connected && path == rootPath && st.st_dev == rootDev && st.st_ino == rootIno;
    if (!same) {
        dropLink();
        if (sweepAtConnect) {
            RemoveStaleTemporaries(dir.get());  // what writers that are gone left half-way
        }
    }
    rootPath = path;
    rootDev = st.st_dev;
    rootIno = st.st_ino;
    openRootHolder();
    root = std::move(dir);
    speed = settings.speed;
    connected = true;
    posix::signalEvent(event.get());
    return 0;
}

RAPI_HRESULT EmulatedHandheld::Impl::uninit() {
    event.reset();
    dropLink();
    return 0;
}

RAPI_HANDLE EmulatedHandheld::Impl::findFirst(const char16_t* pattern, CE_FIND_DATA* data) {
    if (data == nullptr) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DevicePath path;
    if (!linkedPath(pattern, path)) {
        return INVALID_HANDLE_VALUE;
    }
    if (path.leaf.empty() || !IsValidName(path.leaf, true)) {
        fail(path.leaf.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    Location where;
    if (!locate(path, where)) {
        return INVALID_HANDLE_VALUE;
    }
    std::u32string wanted;
    text::utf8ToUtf32(path.leafName == "*.*" ? std::string("*") : path.leafName, wanted);
    const bool atRoot = path.folders.empty();

    SearchObject search;
    const int copy = openat(where.parent.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = copy >= 0 ? fdopendir(copy) : nullptr;
    if (d == nullptr) {
        if (copy >= 0) {
            ::close(copy);
        }
        fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    while (const dirent* e = readdir(d)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == ".." || IsMarkerName(name)) {
            continue;
        }
        SearchEntry entry;
        if (!text::utf8ToUtf32(DeviceNameOf(where.parent.get(), e->d_name), entry.name) ||
            !WildcardMatch(wanted, entry.name)) {
            continue;  // names that aren't UTF-8 can't be named back by the desktop
        }
        struct stat st;
        if (fstatat(where.parent.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            continue;  // links, pipes and devices don't exist on the handheld
        }
        const bool card =
            S_ISDIR(st.st_mode) && atRoot && IsCardFolder(where.parent.get(), e->d_name);
        entry.attributes = AttributesOf(st, card, where.settings.readOnly);
        entry.oid = static_cast<RAPI_DWORD>(st.st_ino & 0xFFFFFFFFu);
        entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : uint64_t{0};
        entry.written = ToFileTime(st.st_mtim);
        entry.accessed = ToFileTime(st.st_atim);
        search.entries.push_back(std::move(entry));
    }
    closedir(d);
    if (search.entries.empty()) {
        fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(search.entries.begin(), search.entries.end(),
              [](const SearchEntry& a, const SearchEntry& b) {
                  std::u32string fa = a.name, fb = b.name;
                  std::transform(fa.begin(), fa.end(), fa.begin(), Fold);
                  std::transform(fb.begin(), fb.end(), fb.begin(), Fold);
                  return fa != fb ? fa < fb : a.name < b.name;
              });
    search.entries.shrink_to_fit();  // held for as long as the search is open
    fill(search.entries[0], *data);
    search.next = 1;
    return newHandle(std::move(search));
}

void EmulatedHandheld::Impl::fill(const SearchEntry& entry, CE_FIND_DATA& data) {
    data.dwFileAttributes = entry.attributes;
    data.ftCreationTime = entry.written;
    data.ftLastAccessTime = entry.accessed;
    data.ftLastWriteTime = entry.written;
    data.nFileSizeHigh = static_cast<RAPI_DWORD>(entry.size >> 32);
    data.nFileSizeLow = static_cast<RAPI_DWORD>(entry.size & 0xFFFFFFFFu);
    data.dwOID = entry.oid;
    SetFindName(data, entry.name);
}

RAPI_BOOL EmulatedHandheld::Impl::findNext(RAPI_HANDLE h, CE_FIND_DATA* data) {
    if (!linkUp()) {
        return 0;
    }
    const auto it = objects.find(h);
    if (it == objects.end() || !std::holds_alternative<SearchObject>(it->second)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    auto& search = std::get<SearchObject>(it->second);
    if (search.next >= search.entries.size()) {
        return fail(ERROR_NO_MORE_FILES);
    }
    fill(search.entries[search.next++], *data);
    return 1;
}

RAPI_BOOL EmulatedHandheld::Impl::findClose(RAPI_HANDLE h) {
    const auto it = objects.find(h);
    if (it == objects.end() || !std::holds_alternative<SearchObject>(it->second)) {
        if (!linkUp()) {
            return 0;
        }
        return fail(ERROR_INVALID_HANDLE);
    }
    objects.erase(it);
    return linkUp() ? 1 : 0;
}

RAPI_BOOL EmulatedHandheld::Impl::getVersion(CEOSVERSIONINFO* info) {
    if (!linkUp()) {
        return 0;
    }
    if (info == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    *info = CEOSVERSIONINFO{};
    info->dwOSVersionInfoSize = sizeof(CEOSVERSIONINFO);
    info->dwMajorVersion = 4;
    info->dwMinorVersion = 21;
    info->dwBuildNumber = 1088;
    info->dwPlatformId = 3;  // Windows CE
    return 1;
}

EmulatedHandheld::EmulatedHandheld(std::string root, bool sweepAtConnect)
    : impl_(std::make_unique<Impl>(std::move(root), sweepAtConnect)) {}

EmulatedHandheld::~EmulatedHandheld() = default;

RAPI_HRESULT EmulatedHandheld::CeRapiInitEx(RAPIINIT* p) {
    return impl_->guarded(E_FAIL_HR, [&] { return impl_->initEx(p); });
}

RAPI_HRESULT EmulatedHandheld::CeRapiUninit() {
    return impl_->guarded(RAPI_HRESULT{0}, [&] { return impl_->uninit(); });
}

RAPI_HANDLE EmulatedHandheld::CeFindFirstFile(const char16_t* name, CE_FIND_DATA* data) {
    return impl_->guarded(INVALID_HANDLE_VALUE, [&] { return impl_->findFirst(name, data); });
}

RAPI_BOOL EmulatedHandheld::CeFindNextFile(RAPI_HANDLE h, CE_FIND_DATA* data) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->findNext(h, data); });
}

RAPI_BOOL EmulatedHandheld::CeFindClose(RAPI_HANDLE h) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->findClose(h); });
}

RAPI_BOOL EmulatedHandheld::CeCreateDirectory(const char16_t* path, void*) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->createDirectory(path); });
}

RAPI_HANDLE EmulatedHandheld::CeCreateFile(const char16_t* name, RAPI_DWORD access, RAPI_DWORD,
                                           void*, RAPI_DWORD disposition, RAPI_DWORD, RAPI_HANDLE) {
    return impl_->guarded(INVALID_HANDLE_VALUE,
                          [&] { return impl_->createFile(name, access, disposition); });
}

RAPI_DWORD EmulatedHandheld::CeGetLastError() {
    return impl_->guarded(RAPI_DWORD{0}, [&] { return impl_->lastError; });
}

RAPI_BOOL EmulatedHandheld::CeWriteFile(RAPI_HANDLE h, const void* buffer, RAPI_DWORD count,
                                        RAPI_DWORD* written, void*) {
    std::chrono::steady_clock::time_point waitUntil{};
    const RAPI_BOOL result = impl_->guarded(
        RAPI_BOOL{0}, [&] { return impl_->writeFile(h, buffer, count, written, waitUntil); });
    // The slow link: wait outside the lock until the bytes have "travelled".
    if (result != 0 && waitUntil != std::chrono::steady_clock::time_point{}) {
        std::this_thread::sleep_until(waitUntil);
    }
    return result;
}

RAPI_BOOL EmulatedHandheld::CeCloseHandle(RAPI_HANDLE h) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->closeHandle(h); });
}

RAPI_BOOL EmulatedHandheld::CeDeleteFile(const char16_t* name) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->deleteFile(name); });
}

RAPI_BOOL EmulatedHandheld::CeGetVersionEx(CEOSVERSIONINFO* info) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->getVersion(info); });
}

RAPI_BOOL EmulatedHandheld::CeReadFile(RAPI_HANDLE h, void* buffer, RAPI_DWORD count,
                                       RAPI_DWORD* read, void*) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->readFile(h, buffer, count, read); });
}

RAPI_HRESULT EmulatedHandheld::CeRapiGetError() {
    return impl_->guarded(E_NOT_CONNECTED_HR,
                          [&] { return impl_->connected ? RAPI_HRESULT{0} : E_NOT_CONNECTED_HR; });
}

RAPI_BOOL EmulatedHandheld::CeMoveFile(const char16_t* from, const char16_t* to) {
    return impl_->guarded(RAPI_BOOL{0}, [&] { return impl_->moveFile(from, to); });
}

RAPI_BOOL EmulatedHandheld::CeGetDiskFreeSpaceEx(const char16_t* path, uint64_t* freeToCaller,
                                                 uint64_t* total, uint64_t* totalFree) {
    return impl_->guarded(
        RAPI_BOOL{0}, [&] { return impl_->diskFreeSpace(path, freeToCaller, total, totalFree); });
}

// The emulated handheld is the only one there is, attached while its root is a folder. Its name
// and password are those of its settings (handheld-sim set --name, --password); a password
// locks it until RapiUnlockDevice gives it, for as long as this object lives.

bool EmulatedHandheld::Impl::attachedSettings(Settings& settings) {
    const std::string path = fixedRoot.empty() ? DefaultRoot() : fixedRoot;
    const Fd dir(path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        return false;
    }
    settings = ParseSettings(ReadSettingsFile(dir.get(), kHandheldSettings));
    return true;
}

bool EmulatedHandheld::Impl::locked() {
    Settings settings;
    return attachedSettings(settings) && !settings.password.empty() &&
           settings.password != unlockedWith;
}

RAPI_DWORD EmulatedHandheld::RapiEnumDevices(char16_t* names, RAPI_DWORD capacity) {
    return impl_->guarded(RAPI_DWORD{0}, [&]() -> RAPI_DWORD {
        Settings settings;
        if (!impl_->attachedSettings(settings)) {
            return 0;  // none attached
        }
        std::u16string name;
        for (char32_t c : [&] {
                 std::u32string points;
                 text::utf8ToUtf32(settings.name, points);
                 return points;
             }()) {
            if (c >= 0x10000) {
                name += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                name += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                name += static_cast<char16_t>(c);
            }
        }
        const auto needed = static_cast<RAPI_DWORD>(name.size() + 2);
        if (names != nullptr && capacity >= needed) {
            std::copy(name.begin(), name.end(), names);
            names[name.size()] = u'\0';
            names[name.size() + 1] = u'\0';
        }
        return needed;
    });
}

RAPI_BOOL EmulatedHandheld::RapiSelectDevice(const char16_t* name) {
    return impl_->guarded(RAPI_BOOL{0}, [&]() -> RAPI_BOOL {
        if (name == nullptr || *name == u'\0') {
            return 1;
        }
        Settings settings;
        std::string wanted;
        if (impl_->attachedSettings(settings) && text::utf16ToUtf8(name, wanted) &&
            wanted == settings.name) {
            return 1;
        }
        return impl_->fail(ERROR_FILE_NOT_FOUND);
    });
}

RAPI_BOOL EmulatedHandheld::RapiDeviceLocked() {
    return impl_->guarded(RAPI_BOOL{0}, [&]() -> RAPI_BOOL { return impl_->locked() ? 1 : 0; });
}

RAPI_BOOL EmulatedHandheld::RapiUnlockDevice(const char16_t* password) {
    return impl_->guarded(RAPI_BOOL{0}, [&]() -> RAPI_BOOL {
        Settings settings;
        std::string given;
        if (!impl_->attachedSettings(settings) || settings.password.empty()) {
            return 1;  // nothing to unlock
        }
        if (password == nullptr || !text::utf16ToUtf8(password, given) ||
            given != settings.password) {
            return impl_->fail(ERROR_INVALID_PASSWORD);
        }
        impl_->unlockedWith = given;
        return 1;
    });
}

EmulatedHandheld& Instance() {
    static EmulatedHandheld instance;
    return instance;
}

}  // namespace handheld
