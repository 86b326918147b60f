// The formatting ring: printf into a shared 16,384-byte ring and get the text
// back, valid until later calls wrap over it.  Callers use the text at once
// (as a script to evaluate or a piece of a result).
#pragma once
#include <cstddef>

constexpr size_t kFmtRingSize = 16384;
// Beyond this offset the next text starts again at the front of the ring.
constexpr size_t kFmtWrapOffset = 15360;

// Texts that do not fit the ring are kept in their own storage instead of
// being cut: the last few of them stay valid, as ring texts do.
const char* fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
