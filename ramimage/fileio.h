// File access for the store and the format handlers: positioned reads and
// writes that never move the descriptor's offset, and checked size arithmetic.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

struct iovec;

namespace zarn {

// Reads up to n bytes at offset, retrying interrupted and partial reads.
// Returns the byte count read (short at end of file) or -1 on error.
int64_t readAt(int fd, void* buf, size_t n, int64_t offset);
// Reads into the buffers of `iov` in turn from offset (short at end of file);
// the byte count read, or -1 on error.
int64_t readvAt(int fd, const struct iovec* iov, int count, int64_t offset);
// Writes all n bytes at offset; returns true only when every byte was written.
bool writeAt(int fd, const void* buf, size_t n, int64_t offset);
// Size of the open file, -1 when it cannot be told.
int64_t fileSize(int fd);
// Free bytes available to unprivileged users on the file system holding
// path (or the open descriptor), -1 when unknown.
double freeDiskSpace(const char* path);
double freeDiskSpaceFd(int fd);

// Checked arithmetic on 64-bit sizes: nullopt on overflow or negative input.
inline std::optional<int64_t> mulSize(int64_t a, int64_t b) {
    if (a < 0 || b < 0) return std::nullopt;
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}
inline std::optional<int64_t> mulSize(int64_t a, int64_t b, int64_t c) {
    auto ab = mulSize(a, b);
    if (!ab) return std::nullopt;
    return mulSize(*ab, c);
}
inline std::optional<int64_t> addSize(int64_t a, int64_t b) {
    if (a < 0 || b < 0) return std::nullopt;
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}
// True when v fits a non-negative 32-bit int.
inline bool fitsInt(int64_t v) { return v >= 0 && v <= std::numeric_limits<int>::max(); }

// An owned descriptor, closed on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

}  // namespace zarn
