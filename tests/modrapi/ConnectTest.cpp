// Opening and closing the link, and the search for storage cards.

#include <gmock/gmock.h>

#include "Fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Strings = std::vector<std::string>;
const Strings kHourglassRound = {"SetHourglass(true)", "SetHourglass(false)"};

TEST_F(ModRapiTest, ConnectAnsweredWaitsOnTheEventAndLeavesTheLinkOpen) {
    device.initEvent = 1234;
    modRapi::Bind(&window, &device, &waiter, 10000);

    EXPECT_EQ(modRapi::RapiConnect(), -1);

    EXPECT_THAT(device.log, ElementsAre("CeRapiInitEx(12, 0, 0)"));
    ASSERT_EQ(waiter.calls.size(), 1u);
    EXPECT_EQ(waiter.calls[0].handle, 1234);
    EXPECT_EQ(waiter.calls[0].ms, 10000u);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectTimeOutEndsTheAttemptOnce) {
    waiter.result = WAIT_TIMEOUT;

    EXPECT_EQ(modRapi::RapiConnect(), 0);

    EXPECT_EQ(waiter.calls.size(), 1u);
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectRefusedAtOnceNeitherWaitsNorUninits) {
    device.initResult = E_FAIL_HR;

    EXPECT_EQ(modRapi::RapiConnect(), 0);

    EXPECT_THAT(waiter.calls, IsEmpty());
    EXPECT_EQ(device.Count("CeRapiUninit"), 0);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectSignalledWithNegativeOutcomeFails) {
    device.initOutcome = E_FAIL_HR;

    EXPECT_EQ(modRapi::RapiConnect(), 0);

    EXPECT_EQ(waiter.calls.size(), 1u);
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectWithAnUnavailableLibraryFailsQuietly) {
    device.failures.ThrowOn("CeRapiInitEx");
    device.failures.ThrowOn("CeRapiUninit");

    EXPECT_EQ(modRapi::RapiConnect(), 0);

    EXPECT_THAT(waiter.calls, IsEmpty());
    EXPECT_EQ(device.Count("CeRapiUninit"), 0);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectWhoseWaitThrowsFailsAndEndsTheStartedAttempt) {
    waiter.failures.ThrowOn("WaitForSingleObject");

    EXPECT_EQ(modRapi::RapiConnect(), 0);

    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    EXPECT_EQ(window.log, kHourglassRound);
}

TEST_F(ModRapiTest, ConnectUsesTheBoundWaitAndReportsEachOutcomeAfresh) {
    modRapi::Bind(&window, &device, &waiter, 50);
    waiter.script = [](RAPI_HANDLE, RAPI_DWORD) { return WAIT_OBJECT_0; };
    EXPECT_EQ(modRapi::RapiConnect(), -1);
    waiter.script = [](RAPI_HANDLE, RAPI_DWORD) { return WAIT_TIMEOUT; };
    EXPECT_EQ(modRapi::RapiConnect(), 0);
    waiter.script = nullptr;
    EXPECT_EQ(modRapi::RapiConnect(), -1);

    ASSERT_EQ(waiter.calls.size(), 3u);
    EXPECT_EQ(waiter.calls[1].ms, 50u);
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);
    EXPECT_FALSE(window.hourglass);
}

TEST_F(ModRapiTest, ConnectRestoresThePointerEvenWhenSettingItFails) {
    window.failures.ThrowOn("SetHourglass", 1);

    EXPECT_EQ(modRapi::RapiConnect(), -1);

    EXPECT_EQ(window.log, kHourglassRound);
    EXPECT_FALSE(window.hourglass);
}

TEST_F(ModRapiTest, DisconnectUninitsAndSwallowsErrors) {
    modRapi::RapiDisconnect();
    EXPECT_EQ(device.Count("CeRapiUninit"), 1);

    device.failures.ThrowOn("CeRapiUninit");
    EXPECT_NO_THROW(modRapi::RapiDisconnect());
    EXPECT_EQ(device.Count("CeRapiUninit"), 2);
}

TEST_F(ModRapiTest, ConnectWithoutAWindowStillWorks) {
    modRapi::Bind(nullptr, &device, &waiter);
    EXPECT_EQ(modRapi::RapiConnect(), -1);
}

// --- storage cards -------------------------------------------------------------------------

constexpr RAPI_DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
constexpr RAPI_DWORD kCard = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

TEST_F(ModRapiTest, FoldersWithoutCardsAppendNothingButCloseTheSearch) {
    device.rootEntries = {{kDir, u"Windows"}, {0x20, u"notes.txt"}, {kDir, u"My Documents"}};

    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders, IsEmpty());
    EXPECT_THAT(device.log,
                ElementsAre("CeFindFirstFile(*)", "CeFindNextFile(7)", "CeFindNextFile(7)",
                            "CeFindNextFile(7)", "CeFindClose(7)"));
}

TEST_F(ModRapiTest, FoldersListTwoCardsInTheDevicesOrder) {
    device.rootEntries = {{kCard, u"Storage Card"},
                          {kDir, u"Windows"},
                          {kCard | 0x1, u"CF Card"},
                          {0x20, u"Card.txt"}};

    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders,
                ElementsAre("Storage Card\\Pocket Lorvex", "CF Card\\Pocket Lorvex"));
    EXPECT_EQ(device.Count("CeFindClose"), 1);
}

TEST_F(ModRapiTest, FoldersNeedBothTheDirectoryAndTheTemporaryBit) {
    device.rootEntries = {{FILE_ATTRIBUTE_TEMPORARY, u"TempFile"},
                          {kDir, u"Plain"},
                          {FILE_ATTRIBUTE_TEMPORARY | 0x20, u"Other"},
                          {kCard, u"Last"}};

    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders, ElementsAre("Last\\Pocket Lorvex"));
}

TEST_F(ModRapiTest, FoldersOfAnEmptyRootMakeNoFurtherCalls) {
    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders, IsEmpty());
    EXPECT_THAT(device.log, ElementsAre("CeFindFirstFile(*)"));
}

TEST_F(ModRapiTest, FoldersTestTheFirstEntryToo) {
    device.rootEntries = {{kCard, u"SD"}};

    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders, ElementsAre("SD\\Pocket Lorvex"));
    EXPECT_THAT(device.log,
                ElementsAre("CeFindFirstFile(*)", "CeFindNextFile(7)", "CeFindClose(7)"));
}

TEST_F(ModRapiTest, FoldersGoOnPastAnEntryThatCannotBeAppended) {
    device.rootEntries = {{kCard, u"A"}, {kCard, u"B"}, {kCard, u"C"}};
    window.failures.ThrowOn("AppendFolder", 2);

    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders, ElementsAre("A\\Pocket Lorvex", "C\\Pocket Lorvex"));
}

TEST_F(ModRapiTest, FoldersEndTheSearchWhenAStepThrowsAndStillClose) {
    device.rootEntries = {{kCard, u"A"}, {kCard, u"B"}};
    device.failures.ThrowOn("CeFindNextFile");
    device.failures.ThrowOn("CeFindClose");

    EXPECT_NO_THROW(modRapi::FindModuleFolders());

    EXPECT_THAT(window.folders, ElementsAre("A\\Pocket Lorvex"));
    EXPECT_EQ(device.Count("CeFindNextFile"), 1);
    EXPECT_EQ(device.Count("CeFindClose"), 1);
}

TEST_F(ModRapiTest, FoldersOfAnUnavailableDeviceAppendNothing) {
    device.rootEntries = {{kCard, u"A"}};
    device.failures.ThrowOn("CeFindFirstFile");

    modRapi::FindModuleFolders();

    EXPECT_THAT(window.folders, IsEmpty());
    EXPECT_EQ(device.Count("CeFindClose"), 0);
}

TEST_F(ModRapiTest, FoldersReadAFullNameFieldWithoutATerminator) {
    const std::u16string sLong(kMaxPath + 20, u'n');
    device.rootEntries = {{kCard, sLong}};

    modRapi::FindModuleFolders();

    ASSERT_EQ(window.folders.size(), 1);
    EXPECT_EQ(window.folders[0], QString(kMaxPath, u'n') + "\\Pocket Lorvex");
}

}  // namespace
