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

TEST_F(SynceBridgeTest, FindRecordsOfAnySizeTheDeviceDeclaresEndAtTheContractsName) {
    card("SD");
    ASSERT_EQ(engine->RapiConnect(), -1);
    // Up to the largest SynCE takes: a 32-bit size in a reply that also holds three numbers.
    for (uint32_t size : {600u, 70000u, 0xFFFFFFFFu - 12}) {
        SCOPED_TRACE(size);
        FakeSynceScript s;
        s.findRecordSize = size;
        script(s);
        window.folders.clear();
        EXPECT_EQ(engine->FindModuleFolders(), -1);
        EXPECT_THAT(window.folders,
                    ElementsAre("SD" + QString(kMaxPath - 3, u'x') + "\\Pocket Lorvex"));
    }
}

TEST_F(SynceBridgeTest, ALinkThatHangsOrDropsFailsTheCopySoonAndTheNextConnectCleansUp) {
    // SynCE writes with plain write(): a hang-up must not end the program.
    std::signal(SIGPIPE, SIG_DFL);
    card("SD");
    const QString target = "SD\\Pocket Lorvex\\sample.bbl";
    for (const auto what : {FakeSynceScript::kStall, FakeSynceScript::kDrop}) {
        SCOPED_TRACE(what);
        ASSERT_EQ(engine->RapiConnect(), -1);
        replyTimeout(300);
        FakeSynceScript s;
        std::strcpy(s.call, "CeWriteFile");
        s.nth = 2;
        s.what = what;
        script(s);
        const auto start = Clock::now();
        engine->CopyFileToDevice(module(test::pattern(20000)), target);
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
