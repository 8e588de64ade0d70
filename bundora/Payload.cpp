#include "Payload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "Posix.h"

namespace bundora {

namespace {

std::string describe(int64_t position, const std::string& reason) {
    if (position <= 0) {
        return reason;
    }
    return "position " + std::to_string(position) + ": " + reason;
}

int32_t le32(const unsigned char* p) {
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

int16_t le16(const unsigned char* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

void put32(std::string& out, int64_t value) {
    uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(value));
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}

// Reads from the carrier at a 1-based position and keeps count.
void readAt(ByteSource& src, int64_t position, void* buffer, int64_t n, WalkStats& stats) {
    src.read(position - 1, buffer, n);
    stats.bytesRead += n;
}

std::string range(int64_t first, int64_t count) {
    return std::to_string(first) + " to " + std::to_string(first + count - 1);
}

}  // namespace

PayloadError::PayloadError(int64_t position, const std::string& reason)
    : std::runtime_error(describe(position, reason)), position_(position) {}

FileSource::FileSource(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!fd_.valid()) {
        throw PayloadError(0, "cannot open " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = errno;
        throw PayloadError(0,
                           "cannot read " + path + ": " +
                               (S_ISREG(st.st_mode) ? std::strerror(err) : "not a regular file"));
    }
    size_ = st.st_size;
}

void FileSource::read(int64_t offset, void* buffer, int64_t n) {
    if (offset < 0 || n < 0 || offset > size_ || n > size_ - offset) {
        throw PayloadError(offset + 1, "read of " + std::to_string(n) + " bytes outside " + path_);
    }
    const ssize_t got = posix::preadFull(fd_.get(), buffer, static_cast<size_t>(n), offset);
    if (got < n) {
        const int err = errno;
        throw PayloadError(
            offset + std::max<int64_t>(got, 0) + 1,
            "cannot read " + path_ + ": " + (got < 0 ? std::strerror(err) : "file shrank"));
    }
}

void MemorySource::read(int64_t offset, void* buffer, int64_t n) {
    if (offset < 0 || n < 0 || offset > size() || n > size() - offset) {
        throw PayloadError(offset + 1, "read of " + std::to_string(n) + " bytes outside the data");
    }
    if (n > 0) {
        std::memcpy(buffer, bytes_.data() + offset, static_cast<size_t>(n));
    }
}

DataBuffer allocateData(int64_t size) {
    DataBuffer buffer;
    if (!buffer.allocate(static_cast<size_t>(std::max<int64_t>(size, 0)))) {
        throw std::bad_alloc();
    }
    return buffer;
}

void walk(ByteSource& carrier, const EntryConsumer& consumer, WalkStats* statsOut, bool readData) {
    WalkStats localStats;
    WalkStats& stats = statsOut ? *statsOut : localStats;
    const int64_t length = carrier.size();
    if (length < kFooterSize) {
        return;  // no room for a footer: no entries
    }
    int64_t check = length - kFooterSize + 1;
    for (;;) {
        unsigned char footer[kFooterSize];
        readAt(carrier, check, footer, kFooterSize, stats);
        if (std::memcmp(footer, kMagic.data(), kMagic.size()) != 0) {
            return;  // the normal end of the chain
        }
        const int64_t recordPos = le32(footer + kMagic.size());
        // The record, at least 15 bytes, lies inside the file in front of its footer.
        if (recordPos < 1 || recordPos > check - (kRecordFixedSize + 1)) {
            throw PayloadError(check, "record position " + std::to_string(recordPos) +
                                          " does not lie in front of the footer (1 to " +
                                          std::to_string(check - kRecordFixedSize - 1) + ")");
        }
        unsigned char lengthField[2];
        readAt(carrier, recordPos, lengthField, 2, stats);
        const int64_t nameLength = le16(lengthField);
        if (nameLength < 1) {
            throw PayloadError(recordPos,
                               "name length " + std::to_string(nameLength) + " is below 1");
        }
        const int64_t recordSize = kRecordFixedSize + nameLength;
        if (recordPos + recordSize > check) {
            throw PayloadError(recordPos, "record of " + std::to_string(recordSize) +
                                              " bytes runs into its footer at " +
                                              std::to_string(check));
        }
        std::vector<unsigned char> rest(static_cast<size_t>(nameLength + 12));
        readAt(carrier, recordPos + 2, rest.data(), nameLength + 12, stats);
        Entry entry;
        entry.name.assign(reinterpret_cast<const char*>(rest.data()),
                          static_cast<size_t>(nameLength));
        const unsigned char* fields = rest.data() + nameLength;
        entry.backupFlag = le32(fields);
        entry.dataSize = le32(fields + 4);
        entry.dataPosition = le32(fields + 8);
        entry.recordPosition = recordPos;
        entry.footerPosition = check;
        const int64_t fieldsPos = recordPos + 2 + nameLength;
        if (entry.dataSize < 0) {
            throw PayloadError(fieldsPos + 4,
                               "data size " + std::to_string(entry.dataSize) + " is negative");
        }
        if (entry.dataSize > length) {
            throw PayloadError(fieldsPos + 4, "data size " + std::to_string(entry.dataSize) +
                                                  " exceeds the file's " + std::to_string(length) +
                                                  " bytes");
        }
        // The footer of the entry before (or the image's last 22 bytes) lies in front of the
        // data, and the data lies in front of its record: the next check position is always
        // strictly before this one, and no byte of data is read twice.
        if (entry.dataPosition < kFooterSize + 1 ||
            entry.dataPosition + entry.dataSize > recordPos) {
            throw PayloadError(fieldsPos + 8,
                               "data at positions " + range(entry.dataPosition, entry.dataSize) +
                                   " does not lie between position " +
                                   std::to_string(kFooterSize + 1) + " and its record at " +
                                   std::to_string(recordPos));
        }
        if (readData) {
            entry.data = allocateData(entry.dataSize);
            readAt(carrier, entry.dataPosition, entry.data.get(), entry.dataSize, stats);
            stats.dataBytesRead += entry.dataSize;
        }
        ++stats.entries;
        consumer(entry);
        check = entry.dataPosition - kFooterSize;
    }
}

std::string encodeTrailer(std::string_view name, int32_t backupFlag, int64_t dataSize,
                          int64_t dataPosition) {
    std::string out;
    out.reserve(name.size() + kRecordFixedSize + kFooterSize);
    const auto nameLength = static_cast<uint16_t>(name.size());
    out.push_back(static_cast<char>(nameLength & 0xff));
    out.push_back(static_cast<char>(nameLength >> 8));
    out.append(name);
    put32(out, backupFlag);
    put32(out, dataSize);
    put32(out, dataPosition);
    out.append(kMagic);
    put32(out, dataPosition + dataSize);  // the record follows the data directly
    return out;
}

namespace {

void writeAll(int fd, const char* data, int64_t n, const std::string& path) {
    if (const int err = posix::writeAll(fd, data, static_cast<size_t>(n))) {
        throw PayloadError(0, "cannot write " + path + ": " + std::strerror(err));
    }
}

void checkNameLength(std::string_view name) {
    if (name.empty() || name.size() > static_cast<size_t>(std::numeric_limits<int16_t>::max())) {
        throw PayloadError(
            0, "entry name must have 1 to 32767 bytes, not " + std::to_string(name.size()));
    }
}

// Copies n bytes from the 0-based offset of the source to fd, a megabyte at a time.
void copyBytes(ByteSource& from, int64_t offset, int64_t n, int fd, const std::string& path) {
    constexpr int64_t kChunk = 1 << 20;
    std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(kChunk, n)));
    for (int64_t done = 0; done < n;) {
        const int64_t step = std::min<int64_t>(kChunk, n - done);
        from.read(offset + done, buffer.data(), step);
        writeAll(fd, buffer.data(), step, path);
        done += step;
    }
}

void checkEnd(int64_t length, int64_t dataSize, std::string_view name) {
    const int64_t end =
        length + dataSize + kRecordFixedSize + static_cast<int64_t>(name.size()) + kFooterSize;
    if (length + dataSize + 1 > std::numeric_limits<int32_t>::max()) {
        throw PayloadError(0, "the entry would end at position " + std::to_string(end) +
                                  ", beyond what 32-bit positions address");
    }
}

}  // namespace

void appendEntry(const std::string& carrierPath, std::string_view name, int32_t backupFlag,
                 ByteSource& content) {
    checkNameLength(name);
    int64_t length = 0;
    {
        // The chain so far must be sound, or the new entry would hang off a broken one.
        FileSource existing(carrierPath);
        length = existing.size();
        walk(
            existing, [](Entry&) {}, nullptr, false);
    }
    if (length < kFooterSize) {
        throw PayloadError(0, carrierPath + " has " + std::to_string(length) +
                                  " bytes; at least 22 must lie in front of the first entry");
    }
    const int64_t dataSize = content.size();
    checkEnd(length, dataSize, name);
    int fd = ::open(carrierPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        throw PayloadError(0,
                           "cannot open " + carrierPath + " for writing: " + std::strerror(errno));
    }
    try {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_size != length) {
            throw PayloadError(0, carrierPath + " changed while it was being appended to");
        }
        copyBytes(content, 0, dataSize, fd, carrierPath);
        const std::string trailer = encodeTrailer(name, backupFlag, dataSize, length + 1);
        writeAll(fd, trailer.data(), static_cast<int64_t>(trailer.size()), carrierPath);
        if (::close(fd) != 0) {
            fd = -1;
            throw PayloadError(0, "cannot write " + carrierPath + ": " + std::strerror(errno));
        }
    } catch (...) {
        if (fd >= 0) {
            ::close(fd);
        }
        // Leave the carrier as it was rather than with half an entry at its end.
        if (::truncate(carrierPath.c_str(), length) != 0) {
            // Nothing more can be done; the caller reports the first failure.
        }
        throw;
    }
}

void replaceEntry(const std::string& carrierPath, std::string_view name, int32_t backupFlag,
                  ByteSource& content, const std::function<bool(std::string_view)>& replaces) {
    checkNameLength(name);
    FileSource old(carrierPath);
    struct Kept {
        std::string name;
        int32_t backupFlag;
        int64_t dataSize, dataPosition;
        bool replaced;
    };
    std::vector<Kept> kept;  // last appended first
    bool found = false;
    int64_t imageEnd = old.size();
    walk(
        old,
        [&](Entry& e) {
            imageEnd = e.dataPosition - 1;
            const bool replaced = replaces(e.name);
            found = found || replaced;
            kept.push_back({e.name, e.backupFlag, e.dataSize, e.dataPosition, replaced});
        },
        nullptr, false);
    if (!found) {
        appendEntry(carrierPath, name, backupFlag, content);
        return;
    }
    struct stat st {};
    if (::stat(carrierPath.c_str(), &st) != 0) {
        throw PayloadError(0, "cannot read " + carrierPath + ": " + std::strerror(errno));
    }
    std::string temporary = carrierPath + ".XXXXXX";
    posix::UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        throw PayloadError(0, "cannot create " + temporary + ": " + std::strerror(errno));
    }
    try {
        if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
            throw PayloadError(0, "cannot write " + temporary + ": " + std::strerror(errno));
        }
        copyBytes(old, 0, imageEnd, fd.get(), temporary);
        int64_t length = imageEnd;
        auto put = [&](ByteSource& from, int64_t offset, std::string_view entryName, int32_t flag,
                       int64_t size) {
            checkEnd(length, size, entryName);
            copyBytes(from, offset, size, fd.get(), temporary);
            const std::string trailer = encodeTrailer(entryName, flag, size, length + 1);
            writeAll(fd.get(), trailer.data(), static_cast<int64_t>(trailer.size()), temporary);
            length += size + static_cast<int64_t>(trailer.size());
        };
        // The new entry takes the place of the first one it replaces; the others go.
        bool placed = false;
        for (auto e = kept.rbegin(); e != kept.rend(); ++e) {
            if (!e->replaced) {
                put(old, e->dataPosition - 1, e->name, e->backupFlag, e->dataSize);
            } else if (!placed) {
                put(content, 0, name, backupFlag, content.size());
                placed = true;
            }
        }
        if (::close(fd.release()) != 0 || ::rename(temporary.c_str(), carrierPath.c_str()) != 0) {
            throw PayloadError(0, "cannot write " + carrierPath + ": " + std::strerror(errno));
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

}  // namespace bundora
