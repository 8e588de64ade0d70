// The stream of requests of one client: framed requests read in as large pieces as the peer has
// sent, each answered by the session before the next is read.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Posix.h"
#include "RapiWire.h"

namespace wire {

namespace {

// The requests of one stream, read in as large pieces as the peer has sent: a request usually
// takes one read, length and body together, not one for each. The buffer grows with the bytes
// that arrive, not with the length a request declares, so a client that declares a large
// request and sends little holds little.
class RequestReader {
public:
    explicit RequestReader(int fd) : fd_(fd) { buffer_.resize(kPiece); }

    // Makes at least n bytes of the stream available at data(). False at its end or on an error.
    bool need(size_t n) {
        if (end_ - begin_ >= n) {
            return true;
        }
        if (begin_ + n > buffer_.size()) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        while (end_ - begin_ < n) {
            if (end_ == buffer_.size()) {
                // Full (its start is at the front here): twice the room, up to the request.
                buffer_.resize(std::min(n, 2 * buffer_.size()));
            }
            const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
            if (got > 0) {
                end_ += static_cast<size_t>(got);
            } else if (got == 0 || errno != EINTR) {
                return false;
            }
        }
        return true;
    }
    const char* data() const { return buffer_.data() + begin_; }
    void consume(size_t n) { begin_ += n; }
    // Drops n bytes of the stream, those not read in yet included, a piece at a time.
    bool skip(uint64_t n) {
        while (n > 0) {
            if (end_ == begin_ && !need(1)) {
                return false;
            }
            const auto taken = static_cast<size_t>(std::min<uint64_t>(n, end_ - begin_));
            consume(taken);
            n -= taken;
        }
        return true;
    }
    // A request taken whole: the buffer goes back to one piece once it is done with.
    void shrink() {
        if (buffer_.size() > kPiece && end_ - begin_ <= kPiece) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
            buffer_.resize(kPiece);
            buffer_.shrink_to_fit();
        }
    }

private:
    static constexpr size_t kPiece = 64 * 1024;
    int fd_;
    std::string buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

uint32_t Le32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

}  // namespace

void ServeStream(int fd, Session& session) {
    RequestReader in(fd);
    std::string reply;
    for (;;) {
        if (!in.need(4)) {
            return;
        }
        const uint32_t length = Le32(in.data());
        in.consume(4);
        reply.assign(4, '\0');
        if (length > kMaxRequest) {
            // Skipped in pieces, so that a huge declared length costs no memory.
            if (!in.need(4)) {
                return;
            }
            const uint32_t command = Le32(in.data());
            in.consume(4);
            if (!in.skip(length - 4)) {
                return;
            }
            session.answerOversized(command, reply);
        } else {
            if (!in.need(length)) {
                return;
            }
            session.answer(std::string_view(in.data(), length), reply);
            in.consume(length);
            in.shrink();
        }
        const auto size = static_cast<uint32_t>(reply.size() - 4);
        for (int i = 0; i < 4; ++i) {
            reply[static_cast<size_t>(i)] = static_cast<char>(size >> (8 * i));
        }
        if (posix::writeAll(fd, reply.data(), reply.size()) != 0) {
            return;
        }
    }
}

}  // namespace wire
