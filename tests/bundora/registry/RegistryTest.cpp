#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "MemoryRegistry.h"
#include "Module1.h"
#include "Registry.h"
#include "TestSupport.h"

namespace bundora {
namespace {

using test::MemoryRegistry;
using test::TempDir;
using test::writeFile;

const std::string kKey = "SOFTWARE\\Pocket Lorvex";

// Reads a value through the .reg file reader.
std::string fromFile(const std::string& path, const std::string& name,
                     RegKey root = HKEY_LOCAL_MACHINE, const std::string& key = kKey) {
    RegFileRegistry registry(path);
    return GetRegistryValue(root, key, name, &registry);
}

class RegFile : public ::testing::Test {
protected:
    std::string write(const std::string& body,
                      const std::string& header = "Windows Registry Editor Version 5.00") {
        writeFile(path, header + "\r\n\r\n" + body);
        return path;
    }
    TempDir dir;
    std::string path = dir / "registry.reg";
};

TEST_F(RegFile, ReadsTextAndDwordValuesCaseInsensitively) {
    write(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\r\n"
        "\"INSTALLDIR\"=\"/opt/pocket lorvex/\"\r\n"
        "\"Quoted\"=\"say \\\"hi\\\" C:\\\\dir\\\\\"\r\n"
        "\"Minus\"=dword:ffffffff\r\n"
        "\"Big\"=dword:7fffffff\r\n"
        "@=\"default\"\r\n"
        "\"Empty\"=\"\"\r\n"
        "\"Bin\"=hex:41,42,43,00\r\n");
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "/opt/pocket lorvex/");
    EXPECT_EQ(fromFile(path, "installdir", HKEY_LOCAL_MACHINE, "software\\POCKET LORVEX"),
              "/opt/pocket lorvex/");
    EXPECT_EQ(fromFile(path, "Quoted"), "say \"hi\" C:\\dir\\");
    EXPECT_EQ(fromFile(path, "Minus"), "-1");
    EXPECT_EQ(fromFile(path, "Big"), "2147483647");
    EXPECT_EQ(fromFile(path, ""), "default");
    EXPECT_EQ(fromFile(path, "Empty"), "");
    EXPECT_EQ(fromFile(path, "Bin"), "ABC");
}

TEST_F(RegFile, MissingKeyValueOrFileReadsAsEmpty) {
    write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"INSTALLDIR\"=\"/x/\"\r\n");
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "");
    EXPECT_EQ(fromFile(path, "INSTALLDIR", HKEY_CURRENT_USER, "SOFTWARE\\Other"), "");
    EXPECT_EQ(fromFile(path, "Nothing", HKEY_LOCAL_MACHINE, "SOFTWARE\\Other"), "");
    EXPECT_EQ(fromFile(path, "INSTALLDIR", HKEY_LOCAL_MACHINE, "SOFTWARE\\Other"), "/x/");
    EXPECT_EQ(fromFile(dir / "missing.reg", "INSTALLDIR"), "");
    EXPECT_EQ(fromFile(dir.str(), "INSTALLDIR"), "");    // a folder, not a file
    EXPECT_EQ(fromFile("/dev/zero", "INSTALLDIR"), "");  // a device that never ends

    // A FIFO without a writer reads as missing at once instead of waiting for one.
    const std::string fifo = dir / "fifo.reg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { return fromFile(fifo, "INSTALLDIR"); });
    if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "reading a FIFO blocks";
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_EQ(read.get(), "");

    // Larger than the cap (sparse, so it costs nothing): unreadable, whatever it starts with.
    write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/x/\"\n");
    ASSERT_EQ(::truncate(path.c_str(), kRegFileMaxBytes + 1), 0);
    RegFileRegistry tooLarge(path);
    EXPECT_FALSE(tooLarge.readable());
}

TEST_F(RegFile, IsReadOnceWhenConstructed) {
    write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/x/\"\n");
    RegFileRegistry registry(path);
    write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/changed/\"\n");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, kKey, "INSTALLDIR", &registry), "/x/");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, kKey, "INSTALLDIR", &registry), "/x/");
}

TEST_F(RegFile, TextOf254CharactersComesBackWhole255ReadsAsAbsent) {
    const std::string v254(254, 'a');
    const std::string v255(255, 'b');
    write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"A\"=\"" + v254 + "\"\n\"B\"=\"" + v255 +
          "\"\n");
    EXPECT_EQ(fromFile(path, "A"), v254);
    EXPECT_EQ(fromFile(path, "B"), "");
    // Characters, not bytes: Windows-1252 letters take two bytes each once UTF-8, and one beyond
    // the 16-bit range counts as two.
    const std::string e140(140, '\xe9'), e254(254, '\xe9'), e255(255, '\xe9');
    const std::string kSmile = "\xf0\x9f\x98\x80";
    std::string utf8;
    for (int i = 0; i < 254; ++i) {
        utf8 += "\xc3\xa9";
    }
    write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"C\"=\"" + e140 + "\"\n\"D\"=\"" + e254 +
              "\"\n\"E\"=\"" + e255 + "\"\n\"F\"=\"" + std::string(252, 'f') + kSmile +
              "\"\n\"G\"=\"" + std::string(253, 'g') + kSmile + "\"\n",
          "REGEDIT4");
    EXPECT_EQ(fromFile(path, "C"), utf8.substr(0, 280));
    EXPECT_EQ(fromFile(path, "D"), utf8);
    EXPECT_EQ(fromFile(path, "E"), "");
    EXPECT_EQ(fromFile(path, "F"), std::string(252, 'f') + kSmile);
    EXPECT_EQ(fromFile(path, "G"), "");
    // A NUL inside the data ends the text, as every later use of it would read it.
    write(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket "
        "Lorvex]\n\"N\"=hex(1):2f,00,61,00,00,00,62,00,00,00\n");
    EXPECT_EQ(fromFile(path, "N"), "/a");
}

// Memory stays bounded whatever the file holds: a line longer than any readable value is
// skipped (the value it sets reads as absent), and the launcher's lookup keeps its value alone.
TEST_F(RegFile, OverLongLinesAreSkippedAndTheLookupKeepsOnlyItsValue) {
    const std::string longText(kRegLineMaxBytes + 10, 'a');
    std::string longHex;
    while (longHex.size() <= kRegLineMaxBytes) {
        longHex += "41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,41,\\\n  ";
    }
    write(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/short/\"\n"
        "\"INSTALLDIR\"=\"" +
        longText + "\"\n\"Next\"=\"n\"\n\"H\"=\"h\"\n\"H\"=hex:" + longHex +
        "41\n\"After\"=\"x\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + longText +
        "]\n\"INSTALLDIR\"=\"/no/\"\n");
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "");
    EXPECT_EQ(fromFile(path, "Next"), "n");
    EXPECT_EQ(fromFile(path, "H"), "");
    EXPECT_EQ(fromFile(path, "After"), "x");

    write(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex\\Sub]\n[HKLM\\SOFTWARE\\Pocket Lorvex]\n"
        "\"INSTALLDIR\"=\"/opt/pl/\"\n\"Other\"=\"o\"\n[HKLM\\Elsewhere]\n\"INSTALLDIR\"=\"/x/"
        "\"\n");
    RegFileRegistry only(path, WantedValue{HKEY_LOCAL_MACHINE, kKey, "INSTALLDIR"});
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, kKey, "INSTALLDIR", &only), "/opt/pl/");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, kKey, "Other", &only), "");
    EXPECT_EQ(only.data().keys().size(), 1u);
}

TEST_F(RegFile, WhatIsNotUnderstoodIsSkippedAndTheRestCounts) {
    const std::string good =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/x/\"\n";
    for (const std::string header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
        for (const std::string& body : {
                 good,
                 "[HKEY_CURRENT_USER_LOCAL_SETTINGS\\Software\\X]\n\"A\"=\"b\"\n" + good,
                 "[HKEY_NOWHERE\\SOFTWARE]\n\"INSTALLDIR\"=\"/y/\"\n" + good,
                 "\"INSTALLDIR\"=\"/y/\"\n" + good,
                 // The values of a section that is skipped never land in the key before it.
                 good + "[HKEY_NOWHERE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/no/\"\n",
                 good + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex\n\"INSTALLDIR\"=\"/no/\"\n",
                 good + "\"Broken\"=\"no end\n\"INSTALLDIR\"=\"/x/\n",
                 good + "\"D\"=dword:123456789\n\"H\"=hex:4g\n\"N\"=other\n",
                 good + "\"Q\"=qword:1\n\"T\"=hex(123456789):00\ngarbage\n",
                 good + "\"INSTALLDIR\"=hex(2):41,\\\n  4g\n",
                 // A value cut off after a backslash doesn't swallow the next key.
                 "[HKEY_CURRENT_USER\\Other]\n\"H\"=hex:01,\\\n" + good,
             }) {
            EXPECT_EQ(fromFile(write(body, header), "INSTALLDIR"), "/x/") << header << body;
        }
    }
    // Only a text without a registry header can't be read at all.
    EXPECT_EQ(fromFile(write(good, "Not a registry file"), "INSTALLDIR"), "");
    writeFile(path, "\n\n" + good);
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "");
    writeFile(path, "");
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "");
}

TEST_F(RegFile, HexContinuationsDeletionsAndEncodings) {
    write(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\r\n"
        "\"Wide\"=hex(2):2f,00,6f,00,70,00,74,00,2f,00,\\\r\n"
        "  00,00\r\n"
        "\"Gone\"=\"x\"\r\n"
        "\"Gone\"=-\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Removed]\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\r\n\"V\"=\"b\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A B]\r\n\"V\"=\"blank\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]x]\r\n\"V\"=\"bracket\"\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"V\"=\"into the deleted key\"\r\n");
    EXPECT_EQ(fromFile(path, "Wide"), "/opt/");
    EXPECT_EQ(fromFile(path, "Gone"), "");
    // Deleting a key takes its subkeys, not the keys whose names merely start like it.
    EXPECT_EQ(fromFile(path, "V", HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B"), "");
    EXPECT_EQ(fromFile(path, "V", HKEY_LOCAL_MACHINE, "SOFTWARE\\A"), "");
    EXPECT_EQ(fromFile(path, "V", HKEY_LOCAL_MACHINE, "SOFTWARE\\A B"), "blank");
    EXPECT_EQ(fromFile(path, "V", HKEY_LOCAL_MACHINE, "SOFTWARE\\A]x"), "bracket");

    // The same content as regedit writes it: UTF-16LE with a byte-order mark.
    std::string wide = "\xff\xfe";
    for (unsigned char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\r\n"
                                       "\"INSTALLDIR\"=\"/w\xe9/\"\r\n")) {
        wide.push_back(static_cast<char>(c));
        wide.push_back('\0');
    }
    writeFile(path, wide);
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "/w\xc3\xa9/");

    // Handed over in pieces of one byte, the text reads the same.
    RegistryData whole, pieces;
    ASSERT_TRUE(parseRegFile(wide, whole));
    size_t at = 0;
    ASSERT_TRUE(parseRegFile(
        [&]() -> std::optional<std::string_view> {
            return std::string_view(wide).substr(at < wide.size() ? at++ : at, 1);
        },
        pieces));
    EXPECT_TRUE(pieces == whole);

    // A long UTF-16 line decodes whole wherever a surrogate pair or a lone surrogate falls in
    // it; an odd last byte is dropped.
    for (size_t fill = 4080; fill < 4100; ++fill) {
        std::string bytes = "\xff\xfe";
        for (char16_t u :
             u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\n"
             u"\"V\"=\"" +
                 std::u16string(fill, u'a') + u"\U0001F600\xd800z\"") {
            bytes.push_back(static_cast<char>(u & 0xff));
            bytes.push_back(static_cast<char>(u >> 8));
        }
        bytes.push_back('x');
        RegistryData data;
        ASSERT_TRUE(parseRegFile(bytes, data));
        const RegistryData::Value* value =
            data.value(RegistryData::keyPath(HKEY_CURRENT_USER, "K"), "V");
        ASSERT_NE(value, nullptr) << fill;
        EXPECT_EQ(value->bytes,
                  std::string(fill, 'a') + "\xf0\x9f\x98\x80\xef\xbf\xbdz" + std::string(1, '\0'))
            << fill;
    }

    // REGEDIT4 is in the ANSI code page, Windows-1252; a file written as UTF-8 stays readable.
    write(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex\\B\xfc"
        "cher]\n"
        "\"INSTALLDIR\"=\"/opt/Caf\xe9 \x80/\"\n"
        "\"Expand\"=hex(2):2f,e9,00\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n"
        "\"INSTALLDIR\"=\"/opt/Caf\xc3\xa9/\"\n",
        "REGEDIT4");
    EXPECT_EQ(fromFile(path, "INSTALLDIR", HKEY_LOCAL_MACHINE,
                       kKey + "\\B\xc3\xbc"
                              "cher"),
              "/opt/Caf\xc3\xa9 \xe2\x82\xac/");
    EXPECT_EQ(fromFile(path, "Expand", HKEY_LOCAL_MACHINE,
                       kKey + "\\B\xc3\xbc"
                              "cher"),
              "/\xc3\xa9");
    EXPECT_EQ(fromFile(path, "INSTALLDIR"), "/opt/Caf\xc3\xa9/");
}

TEST(RegistryValue, RootsOutsideThePredefinedOnesOpenNothing) {
    MemoryRegistry registry;
    registry.data().setString(HKEY_DYN_DATA, "K", "V", "dyn");
    registry.data().setString(HKEY_CLASSES_ROOT, "K", "V", "classes");
    EXPECT_EQ(GetRegistryValue(0x7fffffff, "K", "V", &registry), "");
    EXPECT_EQ(GetRegistryValue(0x80000007, "K", "V", &registry), "");
    EXPECT_EQ(GetRegistryValue(0, "K", "V", &registry), "");
    EXPECT_EQ(registry.opens, 0);
    EXPECT_EQ(GetRegistryValue(HKEY_DYN_DATA, "K", "V", &registry), "dyn");
    EXPECT_EQ(GetRegistryValue(HKEY_CLASSES_ROOT, "K", "V", &registry), "classes");
    EXPECT_EQ(registry.lastAccess, KEY_READ);
}

TEST(RegistryValue, EveryOpenedKeyIsClosedWhateverTheQueryGave) {
    MemoryRegistry registry;
    registry.data().setDword(HKEY_LOCAL_MACHINE, "K", "D", -1);
    registry.data().setString(HKEY_LOCAL_MACHINE, "K", "S", std::string(300, 'x'));
    registry.data().set(HKEY_LOCAL_MACHINE, "K", "Z", REG_BINARY, "");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "D", &registry), "-1");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "S", &registry), "");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "Z", &registry), "");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "missing", &registry), "");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "No\\Such", "D", &registry), "");
    EXPECT_EQ(registry.opens, 5);
    EXPECT_EQ(registry.closes, 4);
    EXPECT_EQ(registry.openKeys(), 0u);
}

TEST(RegistryValue, FailuresOfTheRegistryGiveTheEmptyText) {
    MemoryRegistry registry;
    registry.data().setDword(HKEY_LOCAL_MACHINE, "K", "D", 42);
    registry.failOpen = 5;  // access denied
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "D", &registry), "");
    EXPECT_EQ(registry.closes, 0);
    registry.failOpen.reset();
    registry.failQueryNumber = 2;  // the second query, into the 32-bit integer
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "D", &registry), "");
    EXPECT_EQ(registry.openKeys(), 0u);
    registry.failQueryNumber.reset();
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, "K", "D", &registry), "42");
}

TEST(RegistryValue, DefaultsToTheFileNamedByTheEnvironment) {
    TempDir dir;
    writeFile(dir / "r.reg",
              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/e/\"\n");
    ::setenv("BUNDORA_REGISTRY", (dir / "r.reg").c_str(), 1);
    EXPECT_EQ(registryFilePath(), dir / "r.reg");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, kKey, "INSTALLDIR"), "/e/");
    // Read once per start: a later change of the file isn't seen.
    writeFile(dir / "r.reg",
              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\n\"INSTALLDIR\"=\"/f/\"\n");
    EXPECT_EQ(GetRegistryValue(HKEY_LOCAL_MACHINE, kKey, "INSTALLDIR"), "/e/");
    ::unsetenv("BUNDORA_REGISTRY");
    EXPECT_EQ(registryFilePath(), "/etc/pocket-lorvex/registry.reg");
}

}  // namespace
}  // namespace bundora
