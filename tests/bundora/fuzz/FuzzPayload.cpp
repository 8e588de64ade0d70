// libFuzzer target: walks the input as a carrying file and extracts it into a temporary folder.
// Checks on every input: each entry handed on is the exact bytes at its stated position; no byte
// of data is read twice; nothing appears beside the destination folder; no temporary part file
// is left behind: every file left is an entry, one of its folders, or its backup.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "Extract.h"
#include "FuzzScratch.h"
#include "Payload.h"

namespace fs = std::filesystem;

namespace {

const fs::path& base() {
    static const test::FuzzScratch scratch("bundora-fuzz");
    return scratch.path;
}

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const char> bytes(reinterpret_cast<const char*>(data), size);

    // What the extraction may leave: each entry's file, its folders and its backup.
    std::set<std::string> allowed;
    bundora::MemorySource source(bytes);
    bundora::WalkStats stats;
    try {
        bundora::walk(
            source,
            [&](bundora::Entry& e) {
                if (e.name.empty() || e.dataSize < 0 || e.dataPosition < 23 ||
                    e.dataPosition - 1 + e.dataSize > static_cast<int64_t>(size)) {
                    finding("entry outside the input");
                }
                if (e.dataSize > 0 && std::memcmp(e.data.get(), bytes.data() + e.dataPosition - 1,
                                                  static_cast<size_t>(e.dataSize)) != 0) {
                    finding("entry data differs from the input");
                }
                try {
                    std::string path;
                    for (const auto& part : bundora::entryPathParts(e.name)) {
                        path += (path.empty() ? "" : "/") + part;
                        allowed.insert(path);
                    }
                    allowed.insert(path + std::string(bundora::kBackupSuffix));
                } catch (const bundora::ExtractError&) {
                }
            },
            &stats);
    } catch (const bundora::PayloadError& e) {
        if (e.position() < 1 || e.position() > static_cast<int64_t>(size)) {
            finding("error position outside the input");
        }
    }
    if (stats.dataBytesRead > static_cast<int64_t>(size)) {
        finding("data read more than once");
    }

    const fs::path dest = base() / "dest";
    std::error_code ec;
    fs::remove_all(dest, ec);
    fs::create_directory(dest);
    try {
        bundora::MemorySource again(bytes);
        bundora::extractPayload(again, dest.string() + "/");
    } catch (const bundora::PayloadError&) {
    } catch (const bundora::ExtractError&) {
    }
    for (const auto& entry : fs::directory_iterator(base())) {
        if (entry.path() != dest) {
            finding("a file was written outside the destination folder");
        }
    }
    for (const auto& entry : fs::recursive_directory_iterator(dest)) {
        if (!allowed.count(fs::relative(entry.path(), dest).string())) {
            finding("a file that is no entry was left behind");
        }
    }
    fs::remove_all(dest, ec);
    return 0;
}
