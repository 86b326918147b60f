// PackBits run-length decoding (TIFF compression 32773).
#pragma once
#include <cstddef>
#include <cstdint>

// Unpacks `in` into `out`: a control byte n from 0 to 127 copies the next
// n + 1 bytes, n from -127 to -1 repeats the next byte 1 - n times, -128 is
// skipped.  Stops when the input is used up or `out` is full; a run that
// would pass either end is cut there.  Returns the bytes written.
size_t unpackBits(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen);

// The same for input that arrives in pieces: only runs that lie wholly in
// `in` are decoded; *used is the input consumed, so the caller keeps the
// rest for the next piece (and finishes the last piece with unpackBits).
size_t unpackBitsWhole(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen, size_t* used);
