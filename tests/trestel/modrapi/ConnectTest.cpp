// Opening and closing the link, and the search for storage cards.

#include <gmock/gmock.h>

#include <functional>

#include "Fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Strings = std::vector<std::string>;
const Strings kHourglassRound = {"SetHourglass(true)", "SetHourglass(false)"};

TEST_F(ModRapiTest, ConnectAnsweredWaitsOnTheEventAndLeavesTheLinkOpen) {
    device.initEvent = 1234;
    Bind(&window, &device, &waiter, 10000);

    EXPECT_EQ(engine().RapiConnect(), -1);

    // Whether there is any handheld at all is asked first.
    EXPECT_THAT(device.log, ElementsAre("RapiEnumDevices(0)", "CeRapiInitEx(12, 0, 0)"));
    EXPECT_EQ(engine().LastConnectFault(), modRapi::ConnectFault::None);
    ASSERT_EQ(waiter.calls.size(), 1u);
    EXPECT_EQ(waiter.calls[0].handle, 1234);
    EXPECT_EQ(waiter.calls[0].ms, 10000u);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectFailuresEndOnlyAStartedAttempt) {
    struct Case {
        const char* name;
        std::function<void(FakeDevice&, FakeWaiter&)> arrange;
        std::size_t waits;
        int uninits;
        modRapi::ConnectFault fault = modRapi::ConnectFault::NoAnswer;
    };
    const Case cases[] = {
        // Told as such at once, without a connect or its wait, so the user learns how to get one.
        {"no handheld of any kind",
         [](FakeDevice& d, FakeWaiter& w) {
             d.devices.clear();
             w.result = WAIT_TIMEOUT;
         },
         0, 0, modRapi::ConnectFault::NoHandheld},
        {"time-out", [](FakeDevice&, FakeWaiter& w) { w.result = WAIT_TIMEOUT; }, 1, 1},
        {"refused at once", [](FakeDevice& d, FakeWaiter&) { d.initResult = E_FAIL_HR; }, 0, 0},
        {"negative outcome", [](FakeDevice& d, FakeWaiter&) { d.initOutcome = E_FAIL_HR; }, 1, 1},
        {"unavailable library",
         [](FakeDevice& d, FakeWaiter&) {
             d.failures.ThrowOn("CeRapiInitEx");
             d.failures.ThrowOn("CeRapiUninit");
         },
         0, 0},
        {"wait throws",
         [](FakeDevice&, FakeWaiter& w) { w.failures.ThrowOn("WaitForSingleObject"); }, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Fresh fakes for each case, so no count carries over.
        FakeWindow caseWindow;
        FakeDevice caseDevice;
        FakeWaiter caseWaiter;
        c.arrange(caseDevice, caseWaiter);
        Bind(&caseWindow, &caseDevice, &caseWaiter);

        EXPECT_EQ(engine().RapiConnect(), 0);

        EXPECT_EQ(caseWaiter.calls.size(), c.waits);
        EXPECT_EQ(caseDevice.Count("CeRapiUninit"), c.uninits);
        EXPECT_EQ(caseWindow.log, kHourglassRound);
        EXPECT_EQ(engine().LastConnectFault(), c.fault);
    }
}

TEST_F(ModRapiTest, ConnectWaitEndsWhenCancelledAndADeviceThatCantListGoesOn) {
    // Cancelled from elsewhere while it waits: the wait is ended and the attempt too.
    waiter.script = [this](RAPI_HANDLE, RAPI_DWORD) {
        engine().CancelConnect();
        return WAIT_OBJECT_0;
    };
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_EQ(waiter.cancels, 1);
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);

    // A device without the list connects as before.
    Bind(&window, &device, &waiter);
    waiter.script = nullptr;
    device.failures.ThrowOn("RapiEnumDevices");
    EXPECT_EQ(engine().RapiConnect(), -1);
}

TEST_F(ModRapiTest, ConnectUsesTheBoundWaitAndReportsEachOutcomeAfresh) {
    Bind(&window, &device, &waiter, 50);
    waiter.script = [](RAPI_HANDLE, RAPI_DWORD) { return WAIT_OBJECT_0; };
    EXPECT_EQ(engine().RapiConnect(), -1);
    waiter.script = [](RAPI_HANDLE, RAPI_DWORD) { return WAIT_TIMEOUT; };
    EXPECT_EQ(engine().RapiConnect(), 0);
    waiter.script = nullptr;
    EXPECT_EQ(engine().RapiConnect(), -1);

    ASSERT_EQ(waiter.calls.size(), 3u);
    EXPECT_EQ(waiter.calls[1].ms, 50u);
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    EXPECT_FALSE(window.hourglass);

    // Without a window it works all the same.
    Bind(nullptr, &device, &waiter);
    EXPECT_EQ(engine().RapiConnect(), -1);
}

TEST_F(ModRapiTest, ConnectOpensTheHandheldNamedAndRefusesOneNotAttached) {
    device.devices = {u"Pocket One", u"Pocket Two"};
    EXPECT_EQ(engine().Handhelds(), QStringList({"Pocket One", "Pocket Two"}));

    engine().SelectHandheld("Pocket Two");
    EXPECT_EQ(engine().RapiConnect(), -1);
    EXPECT_EQ(device.selected, u"Pocket Two");

    engine().SelectHandheld("Pocket Three");
    EXPECT_EQ(engine().RapiConnect(), 0);
    EXPECT_EQ(engine().LastConnectFault(), modRapi::ConnectFault::UnknownHandheld);
    EXPECT_EQ(device.Count("CeRapiInitEx"), 1) << "no connect to some other handheld";
}

TEST_F(ModRapiTest, ConnectRestoresThePointerEvenWhenSettingItFails) {
    window.failures.ThrowOn("SetHourglass", 1);

    EXPECT_EQ(engine().RapiConnect(), -1);

    EXPECT_EQ(window.log, kHourglassRound);
    EXPECT_FALSE(window.hourglass);
}

TEST_F(ModRapiTest, DisconnectUninitsAndSwallowsErrors) {
    engine().RapiDisconnect();
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);

    device.failures.ThrowOn("CeRapiUninit");
    EXPECT_NO_THROW(engine().RapiDisconnect());
    EXPECT_EQ(device.Count("CeRapiUninit"), 2);
}

// --- storage cards -------------------------------------------------------------------------

constexpr RAPI_DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
constexpr RAPI_DWORD kCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

TEST_F(ModRapiTest, FoldersOfAnEmptyRootOrWithoutCardsAppendNothing) {
    EXPECT_EQ(engine().FindModuleFolders(), modRapi::kTrue);
    // Nothing found: nothing to close; the error tells an empty root from a failed link.
    // Then main memory's module folder is searched for what copies left there.
    EXPECT_THAT(device.log,
                ElementsAre("CeFindFirstFile(*)", "CeGetLastError()",
                            "CeFindFirstFile(Program Files\\Pocket Lorvex\\.~trestel-*)",
                            "CeGetLastError()",
                            "CeFindFirstFile(Program Files\\Pocket Lorvex\\*.~trestel-old)",
                            "CeGetLastError()"));

    device.log.clear();
    device.rootEntries = {{kDir, u"Windows"}, {0x20, u"notes.txt"}, {kDir, u"My Documents"}};

    EXPECT_EQ(engine().FindModuleFolders(), modRapi::kTrue);

    EXPECT_THAT(window.folders, IsEmpty());
    EXPECT_THAT(device.log, ::testing::IsSupersetOf({"CeFindFirstFile(*)", "CeFindNextFile(7)",
                                                     "CeGetLastError()", "CeFindClose(7)"}));
    EXPECT_EQ(device.Count("CeFindNextFile"), 3);
    EXPECT_EQ(device.Count("CeFindClose"), 1);
}

TEST_F(ModRapiTest, FoldersTellWhenTheLinkFailedDuringTheSearch) {
    device.searchEndError = ERROR_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(engine().FindModuleFolders(), modRapi::kFalse);  // at the first step
    device.rootEntries = {{kCard, u"A"}, {kCard, u"B"}};
    EXPECT_EQ(engine().FindModuleFolders(), modRapi::kFalse);  // at a later step
    EXPECT_EQ(device.Count("CeFindClose"), 1);
    device.failures.ThrowOn("CeFindFirstFile");
    EXPECT_EQ(engine().FindModuleFolders(), modRapi::kFalse);
}

TEST_F(ModRapiTest, FoldersListCardsInTheDevicesOrderAndNeedBothBits) {
    device.rootEntries = {{kCard, u"Storage Card"},
                          {kDir, u"Windows"},
                          {FILE_ATTRIBUTE_TEMPORARY, u"TempFile"},
                          {kCard | 0x1, u"CF Card"},
                          {FILE_ATTRIBUTE_TEMPORARY | 0x20, u"Other"},
                          {0x20, u"Card.txt"}};

    engine().FindModuleFolders();

    EXPECT_THAT(window.folders,
                ElementsAre("Storage Card\\Pocket Lorvex", "CF Card\\Pocket Lorvex"));
    EXPECT_EQ(device.Count("CeFindNextFile"), 6);
    EXPECT_EQ(device.Count("CeFindClose"), 1);
}

TEST_F(ModRapiTest, FoldersGoOnPastAnEntryThatCannotBeAppended) {
    device.rootEntries = {{kCard, u"A"}, {kCard, u"B"}, {kCard, u"C"}};
    window.failures.ThrowOn("AppendFolder", 2);

    engine().FindModuleFolders();

    EXPECT_THAT(window.folders, ElementsAre("A\\Pocket Lorvex", "C\\Pocket Lorvex"));
}

TEST_F(ModRapiTest, FoldersEndTheSearchWhenAStepThrowsAndStillClose) {
    device.rootEntries = {{kCard, u"A"}, {kCard, u"B"}};
    device.failures.ThrowOn("CeFindNextFile");
    device.failures.ThrowOn("CeFindClose");

    EXPECT_NO_THROW(engine().FindModuleFolders());

    EXPECT_THAT(window.folders, ElementsAre("A\\Pocket Lorvex"));
    EXPECT_EQ(device.Count("CeFindNextFile"), 1);
    EXPECT_EQ(device.Count("CeFindClose"), 1);

    // An unavailable device appends nothing and has no search to close.
    device.failures.ThrowOn("CeFindFirstFile");
    engine().FindModuleFolders();
    EXPECT_THAT(window.folders, ElementsAre("A\\Pocket Lorvex"));
    EXPECT_EQ(device.Count("CeFindClose"), 1);
}

TEST_F(ModRapiTest, FoldersReadAFullNameFieldWithoutATerminator) {
    const std::u16string sLong(kMaxPath + 20, u'n');
    device.rootEntries = {{kCard, sLong}};

    engine().FindModuleFolders();

    ASSERT_EQ(window.folders.size(), 1);
    EXPECT_EQ(window.folders[0], QString(kMaxPath, u'n') + "\\Pocket Lorvex");
}

}  // namespace
