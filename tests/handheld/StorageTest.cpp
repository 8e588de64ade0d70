// The storages' settings, the device paths and errors: pure functions, no folders involved.

#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>
#include <string>

#include "DevicePath.h"
#include "Storage.h"

namespace {

TEST(SettingsTest, ParsesLinesAndSizes) {
    EXPECT_EQ(handheld::ParseSize("12"), 12u);
    EXPECT_EQ(handheld::ParseSize("2K"), 2048u);
    EXPECT_EQ(handheld::ParseSize("3m"), 3u * 1024 * 1024);
    EXPECT_EQ(handheld::ParseSize("1G"), 1024u * 1024 * 1024);
    for (const char* bad : {"K", "-1", "1.5M", "99999999999999999G"}) {
        EXPECT_FALSE(handheld::ParseSize(bad)) << bad;
    }

    const auto s = handheld::ParseSettings(
        "read-only\r\ncapacity = 4K\nspeed=1M\nbogus\n"
        "capacity=junk\nanswer=refuse");
    EXPECT_TRUE(s.readOnly);
    EXPECT_EQ(s.capacity, 4096u);
    EXPECT_EQ(s.speed, 1024u * 1024);
    EXPECT_EQ(s.answer, handheld::Settings::Answer::Refuse);
    const auto none = handheld::ParseSettings("");
    EXPECT_FALSE(none.readOnly);
    EXPECT_FALSE(none.capacity);
    EXPECT_EQ(none.answer, handheld::Settings::Answer::Yes);
}

TEST(SettingsTest, ChangesKeepOtherLinesAndReadBack) {
    using Answer = handheld::Settings::Answer;
    handheld::SettingsChange change;
    change.readOnly = true;
    change.capacity = uint64_t{4096};
    change.speed = 0;
    change.answer = Answer::No;
    const std::string text = handheld::ChangeSettings(
        "# notes\r\n Capacity = 1K\nREAD-ONLY\nspeed=9\nunknown=1\nanswer=refuse", change);
    EXPECT_EQ(text, "# notes\r\nunknown=1\nread-only\ncapacity=4096\nanswer=no\n");
    const auto s = handheld::ParseSettings(text);
    EXPECT_TRUE(s.readOnly);
    EXPECT_EQ(s.capacity, 4096u);
    EXPECT_EQ(s.speed, 0u);
    EXPECT_EQ(s.answer, Answer::No);

    // Back to the defaults: the lines go; an empty change keeps the text.
    change = {false, std::optional<uint64_t>(), 0, Answer::Yes, {}, {}, {}};
    EXPECT_EQ(handheld::ChangeSettings(text, change), "# notes\r\nunknown=1\n");
    EXPECT_EQ(handheld::ChangeSettings("a\nb", {}), "a\nb\n");
}

TEST(SettingsTest, NameOsAndPasswordOfTheHandheld) {
    // What the handheld goes by: set, read back, and back to the defaults.
    handheld::SettingsChange change;
    change.name = "Pocket \xe2\x84\x96 1";
    change.os = handheld::OsNumber{4, 21};
    change.password = "1234";
    const std::string text = handheld::ChangeSettings("speed=5\nname=old\n", change);
    EXPECT_EQ(text, "speed=5\nname=Pocket \xe2\x84\x96 1\nos=4.21\npassword=1234\n");
    const auto s = handheld::ParseSettings(text);
    EXPECT_EQ(s.name, "Pocket \xe2\x84\x96 1");
    ASSERT_TRUE(s.os);
    EXPECT_EQ(s.os->major, 4u);
    EXPECT_EQ(s.os->minor, 21u);
    EXPECT_EQ(s.password, "1234");
    change = {};
    change.name = "";
    change.os = std::optional<handheld::OsNumber>();
    change.password = "";
    EXPECT_EQ(handheld::ChangeSettings(text, change), "speed=5\n");
    const auto plain = handheld::ParseSettings("");
    EXPECT_EQ(plain.name, handheld::kDefaultDeviceName);
    EXPECT_FALSE(plain.os);
    EXPECT_EQ(plain.password, "");

    // Values that can't be: the defaults stay.
    const auto bad = handheld::ParseSettings("name=\nos=5\nos=1.2.3\nos=1234.1\npassword=a\x01b");
    EXPECT_EQ(bad.name, handheld::kDefaultDeviceName);
    EXPECT_FALSE(bad.os);
    EXPECT_EQ(bad.password, "");
    for (const std::string& name : {std::string(""), std::string(" x"), std::string("a\tb"),
                                    std::string(65, 'n'), std::string("\xff")}) {
        EXPECT_FALSE(handheld::IsValidDeviceName(name)) << name;
    }
    EXPECT_TRUE(handheld::IsValidDeviceName(std::string(64, 'n')));
    EXPECT_TRUE(handheld::IsValidPassword(""));
    EXPECT_FALSE(handheld::IsValidPassword("pin\n"));
}

TEST(SettingsTest, CardNamesAreNamesTheDeviceCanMakeAndList) {
    for (const std::string& name : std::initializer_list<std::string>{
             "SD", "Storage Card", "K\xc3\xa4rtchen", std::string(255, 'c')}) {
        EXPECT_TRUE(handheld::IsValidCardName(name)) << name;
    }
    for (const std::string& name : std::initializer_list<std::string>{
             "", ".", "..", "a\\b", "a/b", "A:", "a*", "a?", "a|b", "a\"b", "a\tb", "\xff",
             ".Storage-Card", ".handheld", std::string(256, 'c')}) {
        EXPECT_FALSE(handheld::IsValidCardName(name)) << name;
    }
}

TEST(DevicePathTest, SplitsPathsAndRefusesWhatLeavesTheRoot) {
    struct Case {
        std::u16string path;
        RAPI_DWORD why;  // 0: accepted
        std::string folders;
        std::string leaf;
    };
    const Case cases[] = {
        {u"Program Files\\Pocket Lorvex\\", 0, "Program Files;Pocket Lorvex;", ""},
        {u"Card\\\u00fcber.bbl", 0, "Card;",
         "\xc3\xbc"
         "ber.bbl"},
        {u"*", 0, "", "*"},
        {u"", ERROR_PATH_NOT_FOUND, "", ""},
        {u"\\x", ERROR_BAD_PATHNAME, "", ""},
        {u"/x", ERROR_BAD_PATHNAME, "", ""},
        {u"a\\..\\x", ERROR_BAD_PATHNAME, "", ""},
        {u"a\\.", ERROR_BAD_PATHNAME, "", ""},
        {u"C:x", ERROR_BAD_PATHNAME, "", ""},
        {u"a/b\\x", ERROR_BAD_PATHNAME, "", ""},
        {u"a\\\\x", ERROR_INVALID_NAME, "", ""},
        {std::u16string(1, char16_t(0xDC00)), ERROR_INVALID_NAME, "", ""},
        {std::u16string(handheld::kMaxPathUnits + 1, u'a'), ERROR_FILENAME_EXCED_RANGE, "", ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        handheld::DevicePath path;
        RAPI_DWORD why = 0;
        EXPECT_EQ(handheld::ParseDevicePath(c.path.c_str(), path, why), c.why == 0);
        EXPECT_EQ(why, c.why);
        if (c.why == 0) {
            std::string folders;
            for (const auto& folder : path.folders) {
                folders += folder + ";";
            }
            EXPECT_EQ(folders, c.folders);
            EXPECT_EQ(path.leaf, c.leaf);
        }
    }
    RAPI_DWORD why = 0;
    handheld::DevicePath path;
    EXPECT_FALSE(handheld::ParseDevicePath(nullptr, path, why));
    EXPECT_EQ(why, ERROR_INVALID_PARAMETER);
}

TEST(DeviceErrorsTest, OnlyAnAllocationFailureReadsAsOutOfMemory) {
    EXPECT_EQ(handheld::ErrorOfException(std::make_exception_ptr(std::bad_alloc())),
              ERROR_OUTOFMEMORY);
    for (const auto& thrown :
         {std::make_exception_ptr(std::length_error("long")),
          std::make_exception_ptr(std::runtime_error("other")), std::make_exception_ptr(42)}) {
        EXPECT_EQ(handheld::ErrorOfException(thrown), ERROR_GEN_FAILURE);
    }
}

TEST(DevicePathTest, MatchesWildcardsAndFillsNames) {
    const auto match = [](const char32_t* pattern, const char32_t* name) {
        return handheld::WildcardMatch(pattern, name);
    };
    EXPECT_TRUE(match(U"*.BBL", U"a.bbl"));
    EXPECT_TRUE(match(U"?.bbl", U"\u00e4.bbl"));
    EXPECT_TRUE(match(U"a*b*c", U"aXbYbc"));
    EXPECT_FALSE(match(U"?.bbl", U"ab.bbl"));
    EXPECT_FALSE(match(U"*.bbl", U"a.bbl.x"));
    EXPECT_FALSE(handheld::IsValidName("a*b", false));
    EXPECT_TRUE(handheld::IsValidName("a*b", true));

    // A name cut to 259 units keeps no half of a surrogate pair.
    CE_FIND_DATA data{};
    handheld::SetFindName(data, std::u32string(258, U'x') + U"\U0001F4BE");
    EXPECT_EQ(std::u16string(data.cFileName), std::u16string(258, u'x'));
}

}  // namespace
