// Which handheld a connect opens and the password of a locked one, against the fake device and
// scripted answers to the questions.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <thread>

#include "FakeDevice.h"
#include "FakeHandheldPrompts.h"
#include "HandheldChoice.h"
#include "OffThreadDevice.h"

namespace {

using Outcome = HandheldChoice::Choice::Outcome;
using Kind = FakeHandheldPrompts::Asked::Kind;
using Answers = std::vector<std::optional<QString>>;

std::string Utf8(const std::u16string& s) {
    return QString::fromStdU16String(s).toStdString();
}

TEST(HandheldChoiceTest, BeforeConnect) {
    using Arrange = std::function<void(FakeDevice&)>;
    const auto attached = [](std::vector<std::u16string> names) {
        return [names](FakeDevice& d) { d.devices = names; };
    };
    const auto throwOn = [](std::vector<const char*> calls) {
        return [calls](FakeDevice& d) {
            for (const char* call : calls) {
                d.failures.ThrowOn(call);
            }
        };
    };
    // Handhelds come or go as the call is made for the nth time.
    const auto onCall = [](const char* call, int nth, std::vector<std::u16string> names) {
        return [call, nth, names](FakeDevice& d) {
            d.onCall = [&d, call, nth, names](const std::string& name) {
                if (name == call && d.Count(name) == nth) {
                    d.devices = names;
                }
            };
        };
    };
    const QString notChosen =
        "The handheld \"Beta\" could not be chosen. Make sure it is still connected, then press "
        "Connect again.";
    const QString notConnected = "named by TRESTEL_HANDHELD is not connected.";
    struct Case {
        const char* name;
        QString wanted;
        Answers choices;  // one per question expected
        Arrange arrange;  // on two handhelds, Alpha and Beta, none selected
        Outcome outcome;
        QString handheld;         // the Choice's
        std::u16string selected;  // the device's afterwards
        QString message;
    };
    const Case cases[] = {
        {"none attached", {}, {}, attached({}), Outcome::Default, {}, {}, {}},
        {"one attached: the default, an earlier choice undone",
         {},
         {},
         [](FakeDevice& d) { d.devices = {u"Alpha"}, d.selected = u"Beta"; },
         Outcome::Default,
         "Alpha",
         {},
         {}},
        {"two: the second chosen", {}, {"Beta"}, {}, Outcome::Selected, "Beta", u"Beta", {}},
        {"two: the question cancelled",
         {},
         {std::nullopt},
         [](FakeDevice& d) { d.selected = u"Alpha"; },
         Outcome::Cancelled,
         {},
         u"Alpha",
         {}},
        {"two: the chosen one unplugged before it is selected",
         {},
         {"Beta"},
         onCall("RapiSelectDevice", 1, {u"Alpha"}),
         Outcome::Failed,
         "Beta",
         {},
         notChosen},
        {"a handheld plugged in between the list's size and its reading",
         {},
         {"Gamma"},
         onCall("RapiEnumDevices", 2, {u"Alpha", u"Beta", u"Gamma"}),
         Outcome::Selected,
         "Gamma",
         u"Gamma",
         {}},
        {"named: selected without asking", "Beta", {}, {}, Outcome::Selected, "Beta", u"Beta", {}},
        {"named: not attached, the attached ones listed",
         "Gamma",
         {},
         {},
         Outcome::Failed,
         "Gamma",
         {},
         "The handheld \"Gamma\" " + notConnected + " Connected: \"Alpha\", \"Beta\"."},
        {"named: a line break shown escaped",
         "Gam\nma",
         {},
         attached({u"Alpha"}),
         Outcome::Failed,
         "Gam\nma",
         {},
         "The handheld \"Gam\\x0ama\" " + notConnected + " Connected: \"Alpha\"."},
        {"named: unplugged before it is selected",
         "Beta",
         {},
         onCall("RapiSelectDevice", 1, {u"Alpha"}),
         Outcome::Failed,
         "Beta",
         {},
         notChosen},
        {"named: none attached",
         "Alpha",
         {},
         attached({}),
         Outcome::Failed,
         "Alpha",
         {},
         "The handheld \"Alpha\" " + notConnected},
        {"named: the list can't be read, the choice still can",
         "Beta",
         {},
         throwOn({"RapiEnumDevices"}),
         Outcome::Selected,
         "Beta",
         u"Beta",
         {}},
        {"named: a device that can't choose",
         "Beta",
         {},
         throwOn({"RapiEnumDevices", "RapiSelectDevice"}),
         Outcome::Failed,
         "Beta",
         {},
         "The handheld \"Beta\" " + notConnected},
        {"a device that can't list handhelds: the default, unasked",
         {},
         {},
         throwOn({"RapiEnumDevices"}),
         Outcome::Default,
         {},
         {},
         {}},
        {"a device that can't choose either: the default",
         {},
         {},
         throwOn({"RapiEnumDevices", "RapiSelectDevice"}),
         Outcome::Default,
         {},
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice device;
        device.devices = {u"Alpha", u"Beta"};
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
        // A question only where one was expected, offering every attached handheld.
        ASSERT_EQ(prompts.asked.size(), c.choices.size());
        for (const auto& asked : prompts.asked) {
            EXPECT_EQ(asked.kind, Kind::Choose);
            EXPECT_EQ(asked.names, choice.attached);
            EXPECT_GE(asked.names.size(), 2);
            EXPECT_EQ(asked.owner, owner);
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
        {"right at once", true, {"1234"}, {}, Unlock::Unlocked, {false}, 1},
        {"wrong, wrong, right",
         true,
         {"0000", QString(), "1234"},
         {},
         Unlock::Unlocked,
         {false, true, true},
         3},
        {"wrong, then cancelled",
         true,
         {"0000", std::nullopt},
         {},
         Unlock::Cancelled,
         {false, true},
         1},
        {"cancelled at once", true, {std::nullopt}, {}, Unlock::Cancelled, {false}, 0},
        {"the lock can't be asked about",
         true,
         {"1234"},
         [](FakeDevice& d) { d.failures.ThrowOn("RapiDeviceLocked"); },
         Unlock::NotLocked,
         {},
         0},
        {"the password can't be given",
         true,
         {"1234"},
         [](FakeDevice& d) { d.failures.ThrowOn("RapiUnlockDevice"); },
         Unlock::Failed,
         {false},
         1},
        {"refused for another reason than a wrong password",
         true,
         {"1234", "1234"},
         [](FakeDevice& d) { d.unlockError = ERROR_DEVICE_NOT_CONNECTED; },
         Unlock::Failed,
         {false},
         1},
        {"the wrong one's code can't be read",
         true,
         {"0000"},
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

}  // namespace

// The window asks its questions between device calls that each run on a thread of their own: a
// failure's last error, which a device keeps per thread, still reaches the question.
TEST(HandheldChoiceTest, CallsOffTheWindowsThreadKeepTheirLastError) {
    struct PerThreadErrors : FakeDevice {
        RAPI_BOOL RapiUnlockDevice(const char16_t* given) override {
            const RAPI_BOOL ok = FakeDevice::RapiUnlockDevice(given);
            threadError() = ok != 0 ? 0 : FakeDevice::CeGetLastError();
            return ok;
        }
        RAPI_DWORD CeGetLastError() override { return threadError(); }
        static RAPI_DWORD& threadError() {
            thread_local RAPI_DWORD error = 0;
            return error;
        }
    } device;
    device.locked = true;
    device.password = u"1234";
    device.failures.ThrowOn("RapiSelectDevice");
    OffThreadDevice offThread(device,
                              [](const std::function<void()>& work) { std::thread(work).join(); });

    EXPECT_EQ(offThread.RapiUnlockDevice(u"0000"), 0);
    EXPECT_EQ(offThread.CeGetLastError(), ERROR_INVALID_PASSWORD);
    EXPECT_THROW(offThread.RapiSelectDevice(u"x"), DeviceUnavailable);
    EXPECT_EQ(offThread.RapiUnlockDevice(u"1234"), 1);
    EXPECT_EQ(offThread.CeGetLastError(), 0u);
}
