#pragma once

// The payload carried behind a program image: a chain of entries, each made of its data, an entry
// record and a 22-byte footer that points back to the record. The chain is read backwards from
// the last 22 bytes of the carrying file. Positions are 1-based and absolute within the carrying
// file; integers are little-endian and signed.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "LargeBuffer.h"
#include "Posix.h"

namespace bundora {

inline constexpr std::string_view kMagic = "TARVO-FOOTER-IDENT";
inline constexpr int64_t kFooterSize = 22;
// NameLength (2) + BackupFlag (4) + DataSize (4) + DataPosition (4).
inline constexpr int64_t kRecordFixedSize = 14;

// A carrying file that breaks the layout, or one that can't be read or written. position() is the
// 1-based position the problem was found at (0 when no position applies).
class PayloadError : public std::runtime_error {
public:
    PayloadError(int64_t position, const std::string& reason);
    int64_t position() const { return position_; }

private:
    int64_t position_;
};

// Random access to the bytes of a carrying file.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual int64_t size() const = 0;
    // Reads exactly n bytes from the 0-based offset; throws PayloadError when it can't.
    virtual void read(int64_t offset, void* buffer, int64_t n) = 0;
};

// A file opened for reading; its size is taken once, when it is opened.
class FileSource : public ByteSource {
public:
    explicit FileSource(const std::string& path);
    int64_t size() const override { return size_; }
    void read(int64_t offset, void* buffer, int64_t n) override;

private:
    std::string path_;
    posix::UniqueFd fd_;
    int64_t size_ = 0;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::span<const char> bytes) : bytes_(bytes) {}
    int64_t size() const override { return static_cast<int64_t>(bytes_.size()); }
    void read(int64_t offset, void* buffer, int64_t n) override;

private:
    std::span<const char> bytes_;
};

// Memory for one entry's data; large blocks are backed by huge pages where the system allows,
// which saves most of the cost of faulting in a fresh buffer page by page.
using DataBuffer = posix::LargeBuffer;
DataBuffer allocateData(int64_t size);

// One entry as the walk hands it on.
struct Entry {
    std::string name;
    int32_t backupFlag = 0;
    int64_t dataSize = 0;
    int64_t dataPosition = 0;
    int64_t recordPosition = 0;
    int64_t footerPosition = 0;
    DataBuffer data;  // dataSize bytes; null when the walk was asked not to read data

    std::span<const char> bytes() const {
        return {data.get(), static_cast<size_t>(data ? dataSize : 0)};
    }
};

// What a walk read: all bytes, and those of them that were entry data.
struct WalkStats {
    int64_t bytesRead = 0;
    int64_t dataBytesRead = 0;
    int64_t entries = 0;
};

using EntryConsumer = std::function<void(Entry&)>;

// Walks the footer chain and hands each entry to the consumer, last appended first; the consumer
// finishes an entry before the next footer is read. A missing footer ends the walk normally. A
// chain that breaks the layout ends with PayloadError naming the position; entries handed on
// before stay handed on. Each entry's data is read as one block unless readData is false.
void walk(ByteSource& carrier, const EntryConsumer& consumer, WalkStats* stats = nullptr,
          bool readData = true);

// The record and footer that follow an entry's data in the carrying file.
std::string encodeTrailer(std::string_view name, int32_t backupFlag, int64_t dataSize,
                          int64_t dataPosition);

// Appends one entry (data, record, footer) to the carrying file in place. The file must hold at
// least 22 bytes and a sound chain (or none). On failure the file is cut back to its old length.
void appendEntry(const std::string& carrierPath, std::string_view name, int32_t backupFlag,
                 ByteSource& content);

// Puts one entry in place of every entry for which replaces(name) is true: the carrying file is
// written anew beside itself (the image, the entries in their order with the new one where the
// first replaced one was, the other replaced ones left out) and then put under its name in one
// step, with its old permissions. Without such an entry it
// appends as appendEntry does. On failure the file stays as it was.
void replaceEntry(const std::string& carrierPath, std::string_view name, int32_t backupFlag,
                  ByteSource& content, const std::function<bool(std::string_view)>& replaces);

}  // namespace bundora
