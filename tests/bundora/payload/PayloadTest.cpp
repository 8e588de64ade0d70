#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Payload.h"
#include "TestSupport.h"

namespace bundora {
namespace {

using test::pattern;
using test::readFile;
using test::TempDir;
using test::writeFile;

struct Seen {
    std::string name;
    int32_t flag;
    std::string data;
    int64_t dataPosition;
};

std::vector<Seen> walkAll(const std::string& bytes, WalkStats* stats = nullptr) {
    MemorySource src(bytes);
    std::vector<Seen> seen;
    walk(
        src,
        [&](Entry& e) {
            seen.push_back({e.name, e.backupFlag, std::string(e.bytes().begin(), e.bytes().end()),
                            e.dataPosition});
        },
        stats);
    return seen;
}

void append(const std::string& path, const std::string& name, const std::string& data,
            int32_t flag = 0) {
    MemorySource content(data);
    appendEntry(path, name, flag, content);
}

std::string le32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

// The bytes at 1-based positions first..last.
std::string at(const std::string& file, size_t first, size_t last) {
    return file.substr(first - 1, last - first + 1);
}

TEST(PayloadLayout, WorkedExampleIsBuiltByteForByteAndWalksAsOneEntry) {
    TempDir dir;
    const std::string trestel = pattern(57344, 7);
    const std::string ostrevan = pattern(36864, 8);
    const std::string inner = dir / "Trestel.exe";
    writeFile(inner, trestel);
    append(inner, "Ostrevan.exe", ostrevan);

    const std::string innerBytes = readFile(inner);
    ASSERT_EQ(innerBytes.size(), 94256u);
    EXPECT_EQ(at(innerBytes, 57345, 94208), ostrevan);
    EXPECT_EQ(at(innerBytes, 94209, 94210), std::string("\x0C\x00", 2));
    EXPECT_EQ(at(innerBytes, 94211, 94222), "Ostrevan.exe");
    EXPECT_EQ(at(innerBytes, 94223, 94226), le32(0));
    EXPECT_EQ(at(innerBytes, 94227, 94230), le32(36864));
    EXPECT_EQ(at(innerBytes, 94231, 94234), le32(57345));
    EXPECT_EQ(at(innerBytes, 94235, 94252), "TARVO-FOOTER-IDENT");
    EXPECT_EQ(at(innerBytes, 94253, 94256), le32(94209));

    const std::string launcher = dir / "bundora";
    writeFile(launcher, std::string(32768, '\0'));
    FileSource innerSource(inner);
    appendEntry(launcher, "Trestel.exe", 0, innerSource);

    const std::string bytes = readFile(launcher);
    ASSERT_EQ(bytes.size(), 127071u);
    EXPECT_EQ(at(bytes, 1, 32768), std::string(32768, '\0'));
    EXPECT_EQ(at(bytes, 32769, 127024), innerBytes);
    EXPECT_EQ(at(bytes, 127025, 127026), std::string("\x0B\x00", 2));
    EXPECT_EQ(at(bytes, 127027, 127037), "Trestel.exe");
    EXPECT_EQ(at(bytes, 127038, 127041), le32(0));
    EXPECT_EQ(at(bytes, 127042, 127045), std::string("\x30\x70\x01\x00", 4));
    EXPECT_EQ(at(bytes, 127046, 127049), std::string("\x01\x80\x00\x00", 4));
    EXPECT_EQ(at(bytes, 127050, 127067), "TARVO-FOOTER-IDENT");
    EXPECT_EQ(at(bytes, 127068, 127071), std::string("\x31\xF0\x01\x00", 4));

    // The inner chain stays opaque: one entry, all 94,256 bytes.
    WalkStats stats;
    const auto seen = walkAll(bytes, &stats);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "Trestel.exe");
    EXPECT_EQ(seen[0].flag, 0);
    EXPECT_EQ(seen[0].data, innerBytes);
    EXPECT_EQ(seen[0].dataPosition, 32769);
    // Beyond the data only the footer, the record and the ending check were read.
    EXPECT_EQ(stats.dataBytesRead, 94256);
    EXPECT_EQ(stats.bytesRead - stats.dataBytesRead, 22 + 25 + 22);
}

TEST(PayloadWalk, EntriesComeBackInReverseOrderOfAppending) {
    TempDir dir;
    const std::string path = dir / "carrier";
    writeFile(path, pattern(100));
    append(path, "A", "first", 1);
    append(path, "B", "second");
    const auto seen = walkAll(readFile(path));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].name, "B");
    EXPECT_EQ(seen[0].data, "second");
    EXPECT_EQ(seen[0].flag, 0);
    EXPECT_EQ(seen[1].name, "A");
    EXPECT_EQ(seen[1].data, "first");
    EXPECT_EQ(seen[1].flag, 1);
    EXPECT_EQ(seen[1].dataPosition, 101);
}

TEST(PayloadWalk, NothingAppendedOrTooShortYieldsNoEntries) {
    EXPECT_TRUE(walkAll(std::string(32768, '\0')).empty());
    EXPECT_TRUE(walkAll(pattern(5000)).empty());
    EXPECT_TRUE(walkAll("").empty());
    EXPECT_TRUE(walkAll("TARVO-FOOTER-IDENT").empty());  // 18 bytes: no room for a footer
}

TEST(PayloadWalk, EmptyEntryYieldsEmptyData) {
    TempDir dir;
    const std::string path = dir / "carrier";
    writeFile(path, pattern(64));
    append(path, "empty.txt", "");
    const auto seen = walkAll(readFile(path));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, "empty.txt");
    EXPECT_EQ(seen[0].data, "");
    EXPECT_EQ(seen[0].dataPosition, 65);
}

TEST(PayloadWalk, MagicInAnotherLetterCaseIsNoFooter) {
    TempDir dir;
    const std::string path = dir / "carrier";
    writeFile(path, pattern(64));
    append(path, "A", "data");
    std::string bytes = readFile(path);
    const size_t magicAt = bytes.size() - 22;
    ASSERT_EQ(bytes.substr(magicAt, 18), "TARVO-FOOTER-IDENT");
    bytes.replace(magicAt, 18, "tarvo-footer-ident");
    EXPECT_TRUE(walkAll(bytes).empty());
    bytes.replace(magicAt, 18, "TARVO-FOOTER-IDENt");
    EXPECT_TRUE(walkAll(bytes).empty());
}

// A carrier with one entry "A" of 10 data bytes behind a 64-byte image:
// data 65..74, record 75..89 (NameLength 75, Name 77, BackupFlag 78, DataSize 82,
// DataPosition 86), footer 90..111.
std::string oneEntry() {
    std::string bytes = pattern(64) + pattern(10, 3);
    bytes += encodeTrailer("A", 0, 10, 65);
    return bytes;
}

void put32At(std::string& bytes, size_t position, int32_t value) {
    bytes.replace(position - 1, 4, le32(static_cast<uint32_t>(value)));
}

struct Malformed {
    const char* label;
    void (*damage)(std::string&);
    int64_t position;  // where the problem must be reported
    friend void PrintTo(const Malformed& m, std::ostream* os) { *os << m.label; }
};

class PayloadMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(PayloadMalformed, EndsWithAnErrorNamingThePosition) {
    std::string bytes = oneEntry();
    ASSERT_EQ(walkAll(bytes).size(), 1u);
    GetParam().damage(bytes);
    MemorySource src(bytes);
    int handed = 0;
    try {
        walk(src, [&](Entry&) { ++handed; });
        FAIL() << "no error for " << GetParam().label;
    } catch (const PayloadError& e) {
        EXPECT_EQ(e.position(), GetParam().position) << e.what();
        EXPECT_NE(std::string(e.what()).find("position " + std::to_string(GetParam().position)),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(handed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Chains, PayloadMalformed,
    ::testing::Values(
        Malformed{"record position 0", [](std::string& b) { put32At(b, 108, 0); }, 90},
        Malformed{"record position negative", [](std::string& b) { put32At(b, 108, -5); }, 90},
        Malformed{"record position past the end", [](std::string& b) { put32At(b, 108, 5000); },
                  90},
        Malformed{"record position at its own footer", [](std::string& b) { put32At(b, 108, 90); },
                  90},
        Malformed{"truncated data in front of the record", [](std::string& b) { b.erase(66, 8); },
                  82},
        Malformed{"name length 0", [](std::string& b) { b[74] = 0; }, 75},
        Malformed{"name length negative", [](std::string& b) { b[75] = '\xff'; }, 75},
        Malformed{"name running into the footer", [](std::string& b) { b[74] = 9; }, 75},
        Malformed{"data size negative", [](std::string& b) { put32At(b, 82, -1); }, 82},
        Malformed{"data size beyond the file", [](std::string& b) { put32At(b, 82, 0x7fffffff); },
                  82},
        Malformed{"data running into its record", [](std::string& b) { put32At(b, 82, 11); }, 86},
        Malformed{"data position 0", [](std::string& b) { put32At(b, 86, 0); }, 86},
        Malformed{"data position leaving no room for a footer",
                  [](std::string& b) { put32At(b, 86, 22); }, 86},
        Malformed{"chain pointing forwards", [](std::string& b) { put32At(b, 86, 112); }, 86},
        Malformed{"data position negative", [](std::string& b) { put32At(b, 86, -40000); }, 86}),
    [](const auto& paramInfo) {
        std::string name = paramInfo.param.label;
        for (auto& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(PayloadWalk, EntriesBeforeABreakStayHandedOn) {
    // Entry B is sound; the footer in front of its data points at a record outside the file.
    std::string bytes = pattern(64);
    bytes += "TARVO-FOOTER-IDENT" + le32(99999);
    const int64_t dataPos = static_cast<int64_t>(bytes.size()) + 1;
    bytes += "bee";
    bytes += encodeTrailer("B", 0, 3, dataPos);
    MemorySource src(bytes);
    std::vector<std::string> names;
    EXPECT_THROW(walk(src, [&](Entry& e) { names.push_back(e.name); }), PayloadError);
    EXPECT_EQ(names, std::vector<std::string>{"B"});
}

TEST(PayloadWalk, SelfReferencingFooterEndsWithAnError) {
    // A record that claims its own footer region as data would make the walk check the same
    // footer again; it must end instead.
    std::string bytes = pattern(64);
    const int64_t footerPos = static_cast<int64_t>(bytes.size()) + 15 + 1;
    bytes += encodeTrailer("S", 0, 0, footerPos + 22);
    put32At(bytes, static_cast<size_t>(footerPos) + 18, 65);
    MemorySource src(bytes);
    EXPECT_THROW(walk(src, [](Entry&) {}), PayloadError);
}

TEST(PayloadAppend, RefusesCarriersItCannotExtendSoundly) {
    TempDir dir;
    const std::string shortFile = dir / "short";
    writeFile(shortFile, pattern(21));
    EXPECT_THROW(append(shortFile, "A", "x"), PayloadError);
    EXPECT_EQ(readFile(shortFile), pattern(21));

    const std::string broken = dir / "broken";
    const std::string brokenBytes = pattern(64) + "TARVO-FOOTER-IDENT" + le32(0);
    writeFile(broken, brokenBytes);
    EXPECT_THROW(append(broken, "A", "x"), PayloadError);
    EXPECT_EQ(readFile(broken), brokenBytes);

    const std::string fine = dir / "fine";
    writeFile(fine, pattern(64));
    EXPECT_THROW(append(fine, "", "x"), PayloadError);
    EXPECT_THROW(append(fine, std::string(32768, 'n'), "x"), PayloadError);
    EXPECT_EQ(readFile(fine), pattern(64));
    append(fine, std::string(32767, 'n'), "x");
    EXPECT_EQ(walkAll(readFile(fine)).at(0).name.size(), 32767u);
}

TEST(PayloadAppend, AppendingACarrierToItselfCopiesItsOldContent) {
    TempDir dir;
    const std::string path = dir / "carrier";
    writeFile(path, pattern(100));
    append(path, "A", "aa");
    const std::string before = readFile(path);
    FileSource self(path);
    appendEntry(path, "self", 0, self);
    const auto seen = walkAll(readFile(path));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].data, before);
}

}  // namespace
}  // namespace bundora
