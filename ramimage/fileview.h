// Read-only mapped windows onto an image file, for readers that split or
// decode straight from the file's pages instead of first copying them out
// with pread.  A copy less is what brings tile, strip and PackBits reading
// level with readers that map their files.
//
// A mapped file that another process cuts short would raise SIGBUS on its
// vanished pages and end the host.  Mapped bytes are therefore only touched
// inside guardedRead, which turns such a fault into a failed read; the
// caller then reads the same bytes with pread, which sees the short file.
#pragma once
#include <array>
#include <cstdint>

namespace zarn {

class FileView {
public:
    FileView() = default;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView() { reset(); }

    // The bytes [offset, offset + n) of the file open on fd, or null when
    // they cannot be mapped: past the end of the file, longer than a window,
    // or a descriptor that cannot be mapped.  The pointer stays valid until
    // the next call or reset, and is read only inside guardedRead.
    const unsigned char* at(int fd, int64_t offset, int64_t n);
    // Unmaps everything; due whenever the descriptor is closed or replaced.
    void reset();

    // Longest piece `at` hands out.
    static constexpr int64_t kMaxPiece = int64_t{8} << 20;

private:
    struct Window {
        unsigned char* base = nullptr;
        int64_t start = 0;
        int64_t length = 0;
        uint64_t lastUse = 0;
    };
    // A few windows, so that pieces read in turn from distant parts of the
    // file (the tiles of one row, or a file's map) do not remap each other,
    // while the mapped part of a large file stays bounded.
    std::array<Window, 4> windows_{};
    int fd_ = -1;
    int64_t fileSize_ = -1;
    uint64_t clock_ = 0;
    bool unmappable_ = false;
};

// Runs fn(ctx) and returns true; returns false, with fn abandoned where it
// stood, when fn touched a mapped page that the file no longer holds.  fn
// must own nothing that needs releasing (no objects with destructors, no
// allocations, no locks): it is not unwound.
bool guardedRead(void (*fn)(void*), void* ctx);

// The same for a callable (a lambda kept in the caller's frame).
template <class F>
bool guardedRead(F& f) {
    return guardedRead([](void* p) { (*static_cast<F*>(p))(); }, &f);
}

}  // namespace zarn
