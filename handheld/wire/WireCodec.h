#pragma once

// The Remote API's field codec: little-endian fields read from a request body and written to a
// reply. Every read is checked against the body's end; the first field that runs past it fails
// the reader for good, and every later read returns nothing.

#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

class Reader {
public:
    explicit Reader(std::string_view body) : in_(body) {}

    bool ok() const { return ok_; }
    void fail() { ok_ = false; }
    size_t left() const { return in_.size() - at_; }

    uint32_t u32() {
        const auto b = bytes(4);
        if (b.size() != 4) {
            return 0;
        }
        return static_cast<uint32_t>(static_cast<unsigned char>(b[0])) |
               static_cast<uint32_t>(static_cast<unsigned char>(b[1])) << 8 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[2])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[3])) << 24;
    }

    std::string_view bytes(uint64_t n) {
        if (!ok_ || n > in_.size() - at_) {
            ok_ = false;
            return {};
        }
        const auto part = in_.substr(at_, static_cast<size_t>(n));
        at_ += static_cast<size_t>(n);
        return part;
    }

    // n UTF-16 units, up to the first NUL.
    std::u16string units(uint64_t n) {
        const auto raw = bytes(n * 2);
        std::u16string text;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            const auto c = static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                                 static_cast<unsigned char>(raw[i + 1]) << 8);
            if (c == 0) {
                break;
            }
            text.push_back(c);
        }
        return text;
    }

    // A string of size bytes (UTF-16 with its NUL; an odd last byte is skipped).
    std::u16string unitsOfBytes(uint32_t size) {
        std::u16string text = units(size / 2);
        if (size % 2 != 0) {
            bytes(1);
        }
        return text;
    }

private:
    std::string_view in_;
    size_t at_ = 0;
    bool ok_ = true;
};

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void u32(uint32_t v) {
        const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        out_.append(b, 4);
    }
    void u16(uint16_t v) {
        const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
        out_.append(b, 2);
    }
    void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void units(std::u16string_view text) {
        for (const char16_t c : text) {
            out_.push_back(static_cast<char>(c & 0xFF));
            out_.push_back(static_cast<char>(c >> 8));
        }
    }
    void bytes(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }

private:
    std::string& out_;
};

}  // namespace wire
