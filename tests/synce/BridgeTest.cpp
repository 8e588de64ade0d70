// The device module through the SynCE bridge, bound the way the installer binds it (no
// TRESTEL_DEVICE, SynCE's library found by name), with the fake SynCE library in its place and
// an emulated handheld in a temporary folder behind it.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <optional>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "FakeSynce.h"
#include "FakeWindow.h"
#include "TestSupport.h"
#include "modRapi.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using Clock = std::chrono::steady_clock;

namespace {

// The fake's handheld and control file, named in the environment before the first device call.
struct Places {
    QTemporaryDir dir;
    QString root = dir.filePath("handheld");
    QString control = dir.filePath("control");
};

const Places& places() {
    static Places* p = [] {
        auto* places = new Places;
        unsetenv("TRESTEL_RAPI_LIBRARY");
        unsetenv("TRESTEL_DEVICE");
        unsetenv("TRESTEL_SYNCE_BRIDGE");
        setenv("XDG_DATA_HOME", QFile::encodeName(places->dir.filePath("data")).constData(), 1);
        setenv("FAKE_SYNCE_DEVICE", QFile::encodeName(places->root).constData(), 1);
        setenv("FAKE_SYNCE_CONTROL", QFile::encodeName(places->control).constData(), 1);
        return places;
    }();
    return *p;
}

// A function of the fake SynCE library as loaded by the bridge; null when it isn't loaded.
void* fakeSymbol(const char* name) {
    void* fake = dlopen("libsynce.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (fake == nullptr) {
        return nullptr;
    }
    void* symbol = dlsym(fake, name);
    dlclose(fake);  // the bridge still holds it
    return symbol;
}

// The fake's misbehaviour; an empty script makes it behave.
void script(const FakeSynceScript& wanted = {}) {
    if (auto set = reinterpret_cast<FakeSynceScriptFn>(fakeSymbol("fake_synce_script"))) {
        set(&wanted);
    }
}

// The bridge's reply time-out; the bridge must be loaded (after a connect).
void replyTimeout(int ms) {
    void* bridge = dlopen("libtrestel-synce.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(bridge, nullptr);
    auto set = reinterpret_cast<void (*)(int)>(dlsym(bridge, "trestel_synce_set_reply_timeout"));
    dlclose(bridge);
    ASSERT_NE(set, nullptr);
    set(ms);
}

FakeSynceCounters counters() {
    FakeSynceCounters c;
    c.connects = -1;
    if (auto read = reinterpret_cast<FakeSynceCountersFn>(fakeSymbol("fake_synce_counters"))) {
        read(&c);
    }
    return c;
}

class SynceBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir(root).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(root + "/Program Files"));
        control("");
        engine.emplace(&window, nullptr, nullptr, 2000);
    }
    void TearDown() override {
        script();
        engine->RapiDisconnect();
        engine.reset();
    }

    void write(const QString& path, const QByteArray& data) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    void control(const QByteArray& settings) { write(places().control, settings); }
    void card(const QString& name, const QByteArray& settings = {}) {
        write(root + "/" + name + "/.storage-card", settings);
    }
    QString module(const std::string& data) {
        const QString path = places().dir.filePath("sample.bbl");
        write(path, QByteArray::fromStdString(data));
        return path;
    }
    QByteArray onDevice(const QString& relative) const {
        QFile f(root + "/" + relative);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString lastMessage() const {
        return window.messages.empty() ? QString() : window.messages.back().text;
    }

    const QString& root = places().root;
    FakeWindow window;
    std::optional<modRapi::Engine> engine;
};

TEST_F(SynceBridgeTest, ConnectsListsCardsAndCopiesInChunksFromTheCallersThread) {
    card("SD Card");
    card("Storage Card");
    ASSERT_TRUE(QDir().mkpath(root + "/My Documents"));
    ASSERT_EQ(engine->RapiConnect(), -1);
    const FakeSynceCounters before = counters();
    ASSERT_GE(before.connects, 1) << "the connect did not go through SynCE";

    engine->FindModuleFolders();
    EXPECT_THAT(window.folders,
                UnorderedElementsAre("SD Card\\Pocket Lorvex", "Storage Card\\Pocket Lorvex"));

    const std::string data = test::pattern(10000);
    engine->CopyFileToDevice(module(data), "SD Card\\Pocket Lorvex\\sample.bbl");
    EXPECT_EQ(lastMessage(), "Installation of sample.bbl is completed.");
    EXPECT_EQ(onDevice("SD Card/Pocket Lorvex/sample.bbl").toStdString(), data);

    // The connect ran on a worker thread; every later call selected the link on this one.
    const FakeSynceCounters after = counters();
    EXPECT_EQ(after.writes - before.writes, 3);
    EXPECT_EQ(after.largestWrite, 4096u);
    EXPECT_EQ(after.refused, before.refused);
    // Which is needed: SynCE refuses a thread that selected no connection.
    using FindFirst = uint32_t (*)(const uint16_t*, CE_FIND_DATA*);
    const auto findFirst = reinterpret_cast<FindFirst>(fakeSymbol("CeFindFirstFile"));
    ASSERT_NE(findFirst, nullptr);
    uint32_t search = 0;
    std::thread([&] {
        const uint16_t all[] = {u'*', 0};
        CE_FIND_DATA found{};
        search = findFirst(all, &found);
    }).join();
    EXPECT_EQ(search, 0xFFFFFFFFu);
    EXPECT_EQ(counters().refused, after.refused + 1);
}

TEST_F(SynceBridgeTest, DeviceFailuresReachTheUserWithTheirErrorCodes) {
    card("Locked", "read-only\n");
    card("Small", "capacity=8K\n");
    const struct {
        const char* target;
        const char* message;
    } cases[] = {
        {"Locked\\Pocket Lorvex\\sample.bbl", "The media is write protected."},
        {"Gone\\Pocket Lorvex\\sample.bbl", "The system cannot find the path specified."},
        // Refused before the first write: SynCE tells the card's free space.
        {"Small\\Pocket Lorvex\\sample.bbl", "There is not enough space on the disk."},
    };
    ASSERT_EQ(engine->RapiConnect(), -1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        engine->CopyFileToDevice(module(test::pattern(20000)), c.target);
        EXPECT_EQ(lastMessage(), c.message);
        EXPECT_FALSE(QFileInfo::exists(root + "/" + QString(c.target).replace('\\', '/')));
    }
}

TEST_F(SynceBridgeTest, FindRecordsOfAnySizeTheDeviceDeclaresEndAtTheContractsNameOrFailSoon) {
    card("SD");
    // A record a little too long is read and cut at the contract's name; one that would make
    // SynCE take in megabytes fails the link before it has (whatever the size field allows: a
    // 32-bit size in a reply that also holds three numbers); so does a search without end.
    const struct {
        uint32_t size;
        bool endless;
        bool found;
    } cases[] = {{600, false, true},
                 {70000, false, true},
                 {256u << 20, false, false},
                 {0xFFFFFFFFu - 12, false, false},
                 {0, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(engine->RapiConnect(), -1);
        FakeSynceScript s;
        s.findRecordSize = c.size;
        s.endlessSearch = c.endless;
        script(s);
        window.folders.clear();
        const auto start = Clock::now();
        EXPECT_EQ(engine->FindModuleFolders(), c.found ? -1 : 0);
        if (c.found) {
            EXPECT_THAT(window.folders,
                        ElementsAre("SD" + QString(kMaxPath - 3, u'x') + "\\Pocket Lorvex"));
        } else {
            EXPECT_LE(window.folders.size(), 65536);
            EXPECT_EQ(realDeviceApi().CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
            // (the endless search is bounded in steps: that it returns is the check)
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(c.endless ? 60 : 2));
            EXPECT_LT(counters().largestReply, uint64_t{16} << 20);
        }
        script();
    }
}

TEST_F(SynceBridgeTest, ALinkThatHangsOrDropsFailsTheCopySoonAndTheNextConnectCleansUp) {
    // SynCE writes with plain write(): a hang-up must not end the program.
    std::signal(SIGPIPE, SIG_DFL);
    card("SD");
    const QString target = "SD\\Pocket Lorvex\\sample.bbl";
    // A write that never gets its answer, a link that drops, and a handheld that answers every
    // write just within the reply time-out (a copy of 49 writes would take 13 s): each fails
    // the copy within the operation's bound (two reply time-outs here).
    const struct {
        decltype(FakeSynceScript::what) what;
        int nth;
        int delayMs;
    } cases[] = {{FakeSynceScript::kStall, 2, 0},
                 {FakeSynceScript::kDrop, 2, 0},
                 {FakeSynceScript::kSlow, 1, 270}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(engine->RapiConnect(), -1);
        replyTimeout(300);
        FakeSynceScript s;
        std::strcpy(s.call, "CeWriteFile");
        s.nth = c.nth;
        s.what = c.what;
        s.delayMs = c.delayMs;
        script(s);
        const auto start = Clock::now();
        engine->CopyFileToDevice(module(test::pattern(200000)), target);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_TRUE(lastMessage().startsWith("Installation of sample.bbl has failed!"));
        // The link failed: it reads as not connected, and every call fails at once.
        EXPECT_EQ(realDeviceApi().CeGetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        CE_FIND_DATA found{};
        EXPECT_EQ(realDeviceApi().CeFindFirstFile(u"*", &found), INVALID_HANDLE_VALUE);
        // What stays behind is the copy's temporary file, never the module's name.
        EXPECT_THAT(engine->LeftOnDevice(), ElementsAre(::testing::Truly([](const QString& sPath) {
                        return sPath.startsWith("SD\\Pocket Lorvex\\.~trestel-");
                    })));

        script();
        replyTimeout(10000);
        ASSERT_EQ(engine->RapiConnect(), -1);
        EXPECT_THAT(engine->LeftOnDevice(), IsEmpty());
        EXPECT_FALSE(QFileInfo::exists(root + "/SD/Pocket Lorvex/sample.bbl"));
        engine->RapiDisconnect();
    }
}

TEST_F(SynceBridgeTest, ConnectsLeaveNoConnectionBehindAndCallsOnALinkTakeTurns) {
    card("SD");
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(engine->RapiConnect(), -1);
        engine->FindModuleFolders();
        engine->RapiDisconnect();
    }
    EXPECT_EQ(counters().live, 0);

    ASSERT_EQ(engine->RapiConnect(), -1);
    const int overlaps = counters().overlaps;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) {
                CE_FIND_DATA found{};
                const RAPI_HANDLE h = realDeviceApi().CeFindFirstFile(u"*", &found);
                realDeviceApi().CeFindClose(h);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counters().overlaps, overlaps);
    engine->RapiDisconnect();
    EXPECT_EQ(counters().live, 0);
}

TEST_F(SynceBridgeTest, AConnectThatOutlivesTheWaitIsLeftToItsWorker) {
    control("connect-ms=1500\n");
    engine.emplace(&window, nullptr, nullptr, 200);
    auto start = Clock::now();
    EXPECT_EQ(engine->RapiConnect(), 0);
    engine->RapiDisconnect();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));

    // Once SynCE returns, the worker ends and frees the connection nobody waits for.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (counters().live != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const FakeSynceCounters c = counters();
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.uninits, c.connects);

    control("");
    engine.emplace(&window, nullptr, nullptr, 2000);
    EXPECT_EQ(engine->RapiConnect(), -1);
    EXPECT_FALSE(window.hourglass);
}

TEST_F(SynceBridgeTest, DisconnectEndsTheLinkAndNoDeviceFailsAtOnce) {
    card("SD");
    ASSERT_EQ(engine->RapiConnect(), -1);
    // The check after a copy connects afresh: the first link is ended, not leaked.
    ASSERT_EQ(engine->RapiConnect(), -1);
    EXPECT_EQ(counters().live, 1);

    engine->RapiDisconnect();
    FakeSynceCounters c = counters();
    EXPECT_EQ(c.live, 0);
    EXPECT_EQ(c.uninits, c.connects);
    engine->FindModuleFolders();
    EXPECT_THAT(window.folders, IsEmpty());
    engine->RapiDisconnect();

    ASSERT_TRUE(QDir(root).removeRecursively());
    const auto start = Clock::now();
    EXPECT_EQ(engine->RapiConnect(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(counters().live, 0);
}

}  // namespace

namespace {

TEST_F(SynceBridgeTest, MovesReadsAndTellsFreeSpaceWhereSynceOffersIt) {
    card("SD", "capacity=1M\n");
    write(root + "/SD/a.bbl", "module");
    write(root + "/SD/taken.bbl", "old");
    ASSERT_EQ(engine->RapiConnect(), -1);
    DeviceApi& api = realDeviceApi();
    EXPECT_EQ(api.CeMoveFile(u"SD\\a.bbl", u"SD\\taken.bbl"), 0);
    EXPECT_EQ(api.CeGetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(api.CeMoveFile(u"SD\\a.bbl", u"SD\\b.bbl"), 1);
    EXPECT_EQ(onDevice("SD/b.bbl"), "module");
    EXPECT_FALSE(QFileInfo::exists(root + "/SD/a.bbl"));

    // A read that brings more than was asked for fails, and nothing lands past the buffer.
    for (const uint32_t extra : {0u, 100u}) {
        SCOPED_TRACE(extra);
        FakeSynceScript s;
        s.readExtra = extra;
        script(s);
        const RAPI_HANDLE h =
            api.CeCreateFile(u"SD\\b.bbl", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, INVALID_HANDLE_VALUE);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        char buffer[64];
        std::memset(buffer, '-', sizeof buffer);
        RAPI_DWORD got = 99;
        const RAPI_BOOL ok = api.CeReadFile(h, buffer, 6, &got, nullptr);
        EXPECT_EQ(ok, extra == 0 ? 1 : 0);
        EXPECT_EQ(got, extra == 0 ? 6u : 0u);
        EXPECT_EQ(std::string(buffer + 6, sizeof buffer - 6), std::string(sizeof buffer - 6, '-'));
        if (extra != 0) {
            EXPECT_EQ(api.CeGetLastError(), ERROR_READ_FAULT);
        }
        api.CeCloseHandle(h);
    }
    script();

    // Over Remote API 2 the card's counts; over version 1 SynCE doesn't offer the call, and a
    // handheld may refuse it with a result of its own: the link stands either way.
    const struct {
        const char* control;
        RAPI_DWORD error;  // 0: told
    } cases[] = {{"protocol=2\n", 0},
                 {"protocol=1\n", ERROR_CALL_NOT_IMPLEMENTED},
                 {"free-space-result=0x80070032\n", 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        control(c.control);
        uint64_t available = 1, total = 1, free = 1;
        const RAPI_BOOL told = api.CeGetDiskFreeSpaceEx(u"SD", &available, &total, &free);
        if (c.error == 0) {
            EXPECT_EQ(told, 1);
            EXPECT_EQ(total, 1u << 20);
            EXPECT_EQ(available, free);
            EXPECT_LE(available, (1u << 20) - 9);  // the two files' bytes are used
            EXPECT_GT(available, (1u << 20) - 4096);
        } else {
            EXPECT_EQ(told, 0);
            EXPECT_EQ(api.CeGetLastError(), c.error);
            EXPECT_EQ(available, 0u);
            CE_FIND_DATA found{};
            const RAPI_HANDLE h = api.CeFindFirstFile(u"SD\\*", &found);
            EXPECT_NE(h, INVALID_HANDLE_VALUE);
            api.CeFindClose(h);
        }
    }
}

TEST_F(SynceBridgeTest, ListsChoosesAndUnlocksHandheldsThroughTheManager) {
    control("handhelds=Alpha,Beta\nlocked=Beta:1234\n");
    DeviceApi& api = realDeviceApi();
    // The list needs "Alpha", "Beta" and the empty name; a buffer one short gets nothing.
    const std::u16string list(u"Alpha\0Beta\0\0", 12);
    EXPECT_EQ(api.RapiEnumDevices(nullptr, 0), 12u);
    char16_t names[12];
    std::fill(std::begin(names), std::end(names), u'?');
    EXPECT_EQ(api.RapiEnumDevices(names, 11), 12u);
    EXPECT_EQ(names[0], u'?');
    EXPECT_EQ(api.RapiEnumDevices(names, 12), 12u);
    EXPECT_EQ(std::u16string(names, 12), list);

    EXPECT_EQ(api.RapiSelectDevice(u"Gamma"), 0);
    EXPECT_EQ(api.CeGetLastError(), ERROR_FILE_NOT_FOUND);

    // The locked one refuses the connect until its password is given; a wrong one is refused.
    ASSERT_EQ(api.RapiSelectDevice(u"Beta"), 1);
    EXPECT_EQ(engine->RapiConnect(), 0);
    EXPECT_EQ(api.RapiDeviceLocked(), 1);
    EXPECT_EQ(api.RapiUnlockDevice(u"0000"), 0);
    EXPECT_EQ(api.CeGetLastError(), ERROR_INVALID_PASSWORD);
    EXPECT_EQ(api.RapiUnlockDevice(u"1234"), 1);
    EXPECT_EQ(api.RapiDeviceLocked(), 0);
    ASSERT_EQ(engine->RapiConnect(), -1);
    EXPECT_STREQ(counters().connectedTo, "Beta");

    // Null names SynCE's default, the manager's first.
    engine->RapiDisconnect();
    ASSERT_EQ(api.RapiSelectDevice(nullptr), 1);
    ASSERT_EQ(engine->RapiConnect(), -1);
    EXPECT_STREQ(counters().connectedTo, "Alpha");
}

}  // namespace
