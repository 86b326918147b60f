// Splitting pixel-interleaved records into band-lines and joining them back.
// The common cases (three and four byte bands) run 16 or 32 pixels at a time.
#pragma once
#include <cstdint>

// Record of `cols` pixels of `nb` samples of `sampleBytes` bytes each
// (1, 2 or 4) -> dst[b] for every band b.
void splitBands(const unsigned char* rec, unsigned char* const* dst, int64_t cols, int nb, int sampleBytes);
// `rows` records, `stride` bytes apart, the same way: record r goes to the
// band-lines dst[r * nb + b] from their byte `at`.  Allocates nothing.
void splitBandRows(const unsigned char* rec, int64_t stride, int rows, unsigned char* const* dst, int64_t at,
                   int64_t cols, int nb, int sampleBytes);
// The reverse of splitBands.
void joinBands(unsigned char* rec, const unsigned char* const* src, int64_t cols, int nb, int sampleBytes);
