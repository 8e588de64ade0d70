// Which handheld a connect opens and the password of a locked one, against the fake device and
// scripted answers to the questions.

#include <gmock/gmock.h>

#include <functional>
#include <optional>

#include "FakeDevice.h"
#include "FakeHandheldPrompts.h"
#include "HandheldChoice.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Outcome = HandheldChoice::Choice::Outcome;
using Kind = FakeHandheldPrompts::Asked::Kind;
using Answers = std::vector<std::optional<QString>>;

const std::vector<std::u16string> kTwo = {u"Alpha", u"Beta"};

std::string Utf8(const std::u16string& s) {
    return QString::fromStdU16String(s).toStdString();
}

TEST(HandheldChoiceTest, BeforeConnect) {
    struct Case {
        const char* name;
        std::vector<std::u16string> devices;
        QString wanted;
        Answers choices;
        std::function<void(FakeDevice&)> arrange;
        Outcome outcome;
        QString handheld;                // the Choice's
        std::u16string selected;         // the device's afterwards
        std::vector<QStringList> asked;  // the names offered, per question
        QString message;
    };
    const auto throwOn = [](const char* call) {
        return [call](FakeDevice& d) { d.failures.ThrowOn(call); };
    };
    const Case cases[] = {
        {"none attached", {}, {}, {}, {}, Outcome::Default, {}, {}, {}, {}},
        {"one attached: the default, an earlier choice undone",
         {u"Alpha"},
         {},
         {},
         [](FakeDevice& d) { d.selected = u"Beta"; },
         Outcome::Default,
         "Alpha",
         {},
         {},
         {}},
        {"two: the second chosen",
         kTwo,
         {},
         {QStringLiteral("Beta")},
         {},
         Outcome::Selected,
         "Beta",
         u"Beta",
         {{"Alpha", "Beta"}},
         {}},
        {"two: the question cancelled",
         kTwo,
         {},
         {std::nullopt},
         [](FakeDevice& d) { d.selected = u"Alpha"; },
         Outcome::Cancelled,
         {},
         u"Alpha",
         {{"Alpha", "Beta"}},
         {}},
        {"two: the chosen one unplugged before it is selected",
         kTwo,
         {},
         {QStringLiteral("Beta")},
         [](FakeDevice& d) {
             d.onCall = [&d](const std::string& call) {
                 if (call == "RapiSelectDevice") {
                     d.devices = {u"Alpha"};
                 }
             };
         },
         Outcome::Failed,
         "Beta",
         {},
         {{"Alpha", "Beta"}},
         "The handheld \"Beta\" could not be chosen. Make sure it is still connected, then "
         "press Connect again."},
        {"the list grows while it is read",
         kTwo,
         {},
         {QStringLiteral("Gamma")},
         [](FakeDevice& d) {
             d.onCall = [&d](const std::string& call) {
                 if (call == "RapiEnumDevices" && d.Count(call) == 1) {
                     d.devices.push_back(u"Gamma");
                 }
             };
         },
         Outcome::Selected,
         "Gamma",
         u"Gamma",
         {{"Alpha", "Beta", "Gamma"}},
         {}},
        {"named: selected without asking",
         kTwo,
         "Beta",
         {},
         {},
         Outcome::Selected,
         "Beta",
         u"Beta",
         {},
         {}},
        {"named: not attached, the attached ones listed",
         kTwo,
         "Gamma",
         {},
         {},
         Outcome::Failed,
         "Gamma",
         {},
         {},
         "The handheld \"Gamma\" named by TRESTEL_HANDHELD is not connected. Connected: "
         "\"Alpha\", \"Beta\"."},
        {"named: a line break shown escaped",
         {u"Alpha"},
         "Gam\nma",
         {},
         {},
         Outcome::Failed,
         "Gam\nma",
         {},
         {},
         "The handheld \"Gam\\x0ama\" named by TRESTEL_HANDHELD is not connected. Connected: "
         "\"Alpha\"."},
        {"named: unplugged before it is selected",
         kTwo,
         "Beta",
         {},
         [](FakeDevice& d) {
             d.onCall = [&d](const std::string& call) {
                 if (call == "RapiSelectDevice") {
                     d.devices = {u"Alpha"};
                 }
             };
         },
         Outcome::Failed,
         "Beta",
         {},
         {},
         "The handheld \"Beta\" could not be chosen. Make sure it is still connected, then "
         "press Connect again."},
        {"named: none attached",
         {},
         "Alpha",
         {},
         {},
         Outcome::Failed,
         "Alpha",
         {},
         {},
         "The handheld \"Alpha\" named by TRESTEL_HANDHELD is not connected."},
        {"named: the list can't be read, the choice still can",
         kTwo,
         "Beta",
         {},
         throwOn("RapiEnumDevices"),
         Outcome::Selected,
         "Beta",
         u"Beta",
         {},
         {}},
        {"named: a device that can't choose",
         kTwo,
         "Beta",
         {},
         [](FakeDevice& d) {
             d.failures.ThrowOn("RapiEnumDevices");
             d.failures.ThrowOn("RapiSelectDevice");
         },
         Outcome::Failed,
         "Beta",
         {},
         {},
         "The handheld \"Beta\" named by TRESTEL_HANDHELD is not connected."},
        {"a device that can't list handhelds: the default, unasked",
         kTwo,
         {},
         {},
         throwOn("RapiEnumDevices"),
         Outcome::Default,
         {},
         {},
         {},
         {}},
        {"a device that can't choose either: the default",
         kTwo,
         {},
         {},
         [](FakeDevice& d) {
             d.failures.ThrowOn("RapiEnumDevices");
             d.failures.ThrowOn("RapiSelectDevice");
         },
         Outcome::Default,
         {},
         {},
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice device;
        device.devices = c.devices;
        if (c.arrange) {
            c.arrange(device);
        }
        FakeHandheldPrompts prompts;
        prompts.choices = c.choices;
        auto* owner = reinterpret_cast<QWidget*>(0x10);

        const HandheldChoice::Choice choice =
            HandheldChoice::ChooseBeforeConnect(device, prompts, owner, c.wanted);

        EXPECT_EQ(choice.outcome, c.outcome);
        EXPECT_EQ(choice.handheld, c.handheld);
        EXPECT_EQ(Utf8(device.selected), Utf8(c.selected));
        EXPECT_EQ(choice.message, c.message);
        ASSERT_EQ(prompts.asked.size(), c.asked.size());
        for (std::size_t i = 0; i < c.asked.size(); ++i) {
            EXPECT_EQ(prompts.asked[i].kind, Kind::Choose);
            EXPECT_EQ(prompts.asked[i].names, c.asked[i]);
            EXPECT_EQ(prompts.asked[i].owner, owner);
        }
    }
}

// A device library whose list of names is given as raw UTF-16 units.
class RawListDevice : public FakeDevice {
public:
    std::u16string raw;
    RAPI_DWORD reported = 0;  // the count returned; 0: raw's length
    bool growing = false;     // each call reports one unit more than the one before
    RAPI_DWORD RapiEnumDevices(char16_t* names, RAPI_DWORD capacity) override {
        FakeDevice::RapiEnumDevices(nullptr, 0);
        if (growing) {
            reported = std::max<RAPI_DWORD>(reported, static_cast<RAPI_DWORD>(raw.size())) + 1;
        }
        const RAPI_DWORD n = reported != 0 ? reported : static_cast<RAPI_DWORD>(raw.size());
        if (names != nullptr && capacity >= n) {
            std::copy(raw.begin(), raw.begin() + std::min<std::size_t>(raw.size(), n), names);
        }
        return n;
    }
};

TEST(HandheldChoiceTest, AttachedTakesOnlyWellFormedNames) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::u16string raw;
        RAPI_DWORD reported;
        bool growing;
        QStringList names;
        int reads;  // RapiEnumDevices calls
    };
    const Case cases[] = {
        {"two names", u"A\0B\0\0"s, 0, false, {"A", "B"}, 2},
        {"the same name twice", u"A\0A\0B\0\0"s, 0, false, {"A", "B"}, 2},
        {"a last name without its NUL", u"A\0B"s, 0, false, {"A"}, 2},
        {"no final empty name", u"A\0B\0"s, 0, false, {"A", "B"}, 2},
        {"an empty list", u"\0"s, 0, false, {}, 2},
        {"a count beyond any desktop's", u"A\0\0"s, 1U << 20, false, {}, 1},
        {"a list that grows at every read", u"A\0\0"s, 0, true, {}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawListDevice device;
        device.raw = c.raw;
        device.reported = c.reported;
        device.growing = c.growing;
        EXPECT_EQ(HandheldChoice::Attached(device), c.names);
        EXPECT_EQ(device.Count("RapiEnumDevices"), c.reads);
    }
}

// A handheld that refuses a password for another reason than a wrong one.
class UnreachableUnlockDevice : public FakeDevice {
public:
    RAPI_BOOL RapiUnlockDevice(const char16_t* given) override {
        FakeDevice::RapiUnlockDevice(given);
        failedWith_ = ERROR_DEVICE_NOT_CONNECTED;
        return 0;
    }
    RAPI_DWORD CeGetLastError() override {
        FakeDevice::CeGetLastError();
        return failedWith_;
    }

private:
    RAPI_DWORD failedWith_ = 0;
};

TEST(HandheldChoiceTest, UnlockAfterFailedConnect) {
    using Unlock = HandheldChoice::Unlock;
    struct Case {
        const char* name;
        bool locked;
        Answers passwords;
        std::function<void(FakeDevice&)> arrange;
        Unlock result;
        std::vector<bool> askedAfterWrong;  // one per question
        int unlocks;
    };
    const Case cases[] = {
        {"not locked", false, {}, {}, Unlock::NotLocked, {}, 0},
        {"right at once", true, {QStringLiteral("1234")}, {}, Unlock::Unlocked, {false}, 1},
        {"wrong, wrong, right",
         true,
         {QStringLiteral("0000"), QString(), QStringLiteral("1234")},
         {},
         Unlock::Unlocked,
         {false, true, true},
         3},
        {"wrong, then cancelled",
         true,
         {QStringLiteral("0000"), std::nullopt},
         {},
         Unlock::Cancelled,
         {false, true},
         1},
        {"cancelled at once", true, {std::nullopt}, {}, Unlock::Cancelled, {false}, 0},
        {"the lock can't be asked about",
         true,
         {QStringLiteral("1234")},
         [](FakeDevice& d) { d.failures.ThrowOn("RapiDeviceLocked"); },
         Unlock::NotLocked,
         {},
         0},
        {"the password can't be given",
         true,
         {QStringLiteral("1234")},
         [](FakeDevice& d) { d.failures.ThrowOn("RapiUnlockDevice"); },
         Unlock::Failed,
         {false},
         1},
        {"the wrong one's code can't be read",
         true,
         {QStringLiteral("0000")},
         [](FakeDevice& d) { d.failures.ThrowOn("CeGetLastError"); },
         Unlock::Failed,
         {false},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice device;
        device.locked = c.locked;
        device.password = u"1234";
        if (c.arrange) {
            c.arrange(device);
        }
        FakeHandheldPrompts prompts;
        prompts.passwords = c.passwords;

        EXPECT_EQ(HandheldChoice::UnlockAfterFailedConnect(device, prompts, nullptr,
                                                           QStringLiteral("Alpha")),
                  c.result);

        std::vector<bool> afterWrong;
        for (const auto& asked : prompts.asked) {
            EXPECT_EQ(asked.kind, Kind::Password);
            EXPECT_EQ(asked.handheld, QStringLiteral("Alpha"));
            afterWrong.push_back(asked.afterWrongOne);
        }
        EXPECT_EQ(afterWrong, c.askedAfterWrong);
        EXPECT_EQ(device.Count("RapiUnlockDevice"), c.unlocks);
        // A locked handheld refuses the connect; once unlocked, it takes it.
        RAPIINIT init{sizeof(RAPIINIT), 0, 0};
        device.CeRapiInitEx(&init);
        EXPECT_EQ(init.hrRapiInit >= 0, c.result == Unlock::Unlocked || !c.locked);
    }
}

TEST(HandheldChoiceTest, UnlockRefusedForAnotherReasonEndsAtOnce) {
    UnreachableUnlockDevice device;
    device.locked = true;
    FakeHandheldPrompts prompts;
    prompts.passwords = {QStringLiteral("1234"), QStringLiteral("1234")};

    EXPECT_EQ(HandheldChoice::UnlockAfterFailedConnect(device, prompts, nullptr, QString()),
              HandheldChoice::Unlock::Failed);
    ASSERT_EQ(prompts.asked.size(), 1u);
    EXPECT_THAT(device.Calls("RapiUnlockDevice"), ElementsAre("RapiUnlockDevice(***)"));
}

TEST(HandheldChoiceTest, ShownEscapesControlCharacters) {
    EXPECT_EQ(HandheldChoice::Shown(QStringLiteral("Tab\there\x7f Ünï")),
              QStringLiteral("Tab\\x09here\\x7f Ünï"));
    EXPECT_THAT(HandheldChoice::Shown(QString()).toStdString(), IsEmpty());
}

}  // namespace
