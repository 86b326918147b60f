#include "ramimage/interleave.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

template <int S, int NB>
void splitFixed(const unsigned char* rec, unsigned char* const* dst, int64_t cols, int nbRuntime) {
    const int nb = NB ? NB : nbRuntime;
    for (int64_t x = 0; x < cols; ++x) {
        const unsigned char* s = rec + x * nb * S;
        for (int b = 0; b < nb; ++b) std::memcpy(dst[b] + x * S, s + b * S, S);
    }
}

template <int S, int NB>
void joinFixed(unsigned char* rec, const unsigned char* const* src, int64_t cols, int nbRuntime) {
    const int nb = NB ? NB : nbRuntime;
    for (int64_t x = 0; x < cols; ++x) {
        unsigned char* d = rec + x * nb * S;
        for (int b = 0; b < nb; ++b) std::memcpy(d + b * S, src[b] + x * S, S);
    }
}

template <int S>
void splitBySize(const unsigned char* rec, unsigned char* const* dst, int64_t cols, int nb) {
    switch (nb) {
    case 1: std::memcpy(dst[0], rec, static_cast<size_t>(cols * S)); break;
    case 2: splitFixed<S, 2>(rec, dst, cols, nb); break;
    case 3: splitFixed<S, 3>(rec, dst, cols, nb); break;
    case 4: splitFixed<S, 4>(rec, dst, cols, nb); break;
    default: splitFixed<S, 0>(rec, dst, cols, nb); break;
    }
}

template <int S>
void joinBySize(unsigned char* rec, const unsigned char* const* src, int64_t cols, int nb) {
    switch (nb) {
    case 1: std::memcpy(rec, src[0], static_cast<size_t>(cols * S)); break;
    case 2: joinFixed<S, 2>(rec, src, cols, nb); break;
    case 3: joinFixed<S, 3>(rec, src, cols, nb); break;
    case 4: joinFixed<S, 4>(rec, src, cols, nb); break;
    default: joinFixed<S, 0>(rec, src, cols, nb); break;
    }
}

#if defined(__x86_64__)
const bool kHaveSsse3 = __builtin_cpu_supports("ssse3");

// Three byte bands: each band gathers its bytes from three 16-byte blocks
// with one byte shuffle per block.
__attribute__((target("ssse3"))) void split3Bytes(const unsigned char* in, unsigned char* const* dst, int64_t cols) {
    unsigned char* r = dst[0];
    unsigned char* g = dst[1];
    unsigned char* b = dst[2];
    const __m128i r0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i r1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
    const __m128i r2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
    const __m128i g0 = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i g1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1);
    const __m128i g2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14);
    const __m128i b0 = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i b1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1);
    const __m128i b2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15);
    int64_t x = 0;
    for (; x + 16 <= cols; x += 16) {
        const unsigned char* p = in + 3 * x;
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        __m128i vr =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, r0), _mm_shuffle_epi8(m, r1)), _mm_shuffle_epi8(c, r2));
        __m128i vg =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, g0), _mm_shuffle_epi8(m, g1)), _mm_shuffle_epi8(c, g2));
        __m128i vb =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, b0), _mm_shuffle_epi8(m, b1)), _mm_shuffle_epi8(c, b2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r + x), vr);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), vg);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(b + x), vb);
    }
    for (; x < cols; ++x) {
        r[x] = in[3 * x];
        g[x] = in[3 * x + 1];
        b[x] = in[3 * x + 2];
    }
}

// Four byte bands: a shuffle groups each 16-byte block by band (four bytes
// of each), then two rounds of unpacking gather sixteen bytes per band.
__attribute__((target("ssse3"))) void split4Bytes(const unsigned char* in, unsigned char* const* dst, int64_t cols) {
    const __m128i group = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    int64_t x = 0;
    for (; x + 16 <= cols; x += 16) {
        const unsigned char* p = in + 4 * x;
        __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), group);
        __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), group);
        __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), group);
        __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), group);
        // a..d hold four 32-bit lanes, lane k = band k's four bytes.
        __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
        __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[0] + x), _mm_unpacklo_epi64(ab0, cd0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[1] + x), _mm_unpackhi_epi64(ab0, cd0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[2] + x), _mm_unpacklo_epi64(ab1, cd1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[3] + x), _mm_unpackhi_epi64(ab1, cd1));
    }
    if (x < cols) {
        unsigned char* rest[4] = {dst[0] + x, dst[1] + x, dst[2] + x, dst[3] + x};
        splitFixed<1, 4>(in + 4 * x, rest, cols - x, 4);
    }
}

// The same two splits with 32-byte registers.  Byte shuffles and blends
// work within each 16-byte half, so each half takes its own run of pixels
// (0-15 and 16-31), and one store writes both.
const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

__attribute__((target("avx2"))) inline __m256i loadPair(const unsigned char* lo, const unsigned char* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// Byte j of each 16-byte half belongs to band j % 3 of the pixel run it
// starts; three blends pick one band's bytes from the three halves that
// hold a run of 16 pixels, and one shuffle puts them in order.
struct ClassMasks {
    alignas(16) signed char byte[3][16];
};
constexpr ClassMasks makeClassMasks() {
    ClassMasks c{};
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 16; ++j) c.byte[k][j] = j % 3 == k ? -1 : 0;
    return c;
}
constexpr ClassMasks kClassMasks = makeClassMasks();

__attribute__((target("avx2"))) inline __m256i classMask(int k) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kClassMasks.byte[k])));
}

// Reads run ahead of the processor's own prefetching, which the shuffling
// holds back: mapped file pages are read here for the first time.
constexpr int kPrefetchAhead = 1536;

// Runs over `rows` records, `stride` bytes apart, record k going to the
// band-lines dst[3k..3k+2] from their byte `at`: a tile's lines are split
// in one call, with the masks kept in registers.
__attribute__((target("avx2"))) void split3RowsWide(const unsigned char* rec, int64_t stride, int rows,
                                                    unsigned char* const* dst, int64_t at, int64_t cols) {
    const __m256i m0 = classMask(0), m1 = classMask(1), m2 = classMask(2);
    const __m256i sr = _mm256_setr_epi8(0, 3, 6, 9, 12, 15, 2, 5, 8, 11, 14, 1, 4, 7, 10, 13, 0, 3, 6, 9, 12, 15, 2, 5,
                                        8, 11, 14, 1, 4, 7, 10, 13);
    const __m256i sg = _mm256_setr_epi8(1, 4, 7, 10, 13, 0, 3, 6, 9, 12, 15, 2, 5, 8, 11, 14, 1, 4, 7, 10, 13, 0, 3, 6,
                                        9, 12, 15, 2, 5, 8, 11, 14);
    const __m256i sb = _mm256_setr_epi8(2, 5, 8, 11, 14, 1, 4, 7, 10, 13, 0, 3, 6, 9, 12, 15, 2, 5, 8, 11, 14, 1, 4, 7,
                                        10, 13, 0, 3, 6, 9, 12, 15);
    for (int k = 0; k < rows; ++k) {
        const unsigned char* const in = rec + k * stride;
        unsigned char* const r = dst[3 * k] + at;
        unsigned char* const g = dst[3 * k + 1] + at;
        unsigned char* const b = dst[3 * k + 2] + at;
        int64_t x = 0;
        for (; x + 32 <= cols; x += 32) {
            const unsigned char* p = in + 3 * x;
            _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchAhead, _MM_HINT_NTA);
            _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchAhead + 64, _MM_HINT_NTA);
            const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
            const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64));
            // Halves regrouped: pixels 0-15 in the low halves, 16-31 in the high.
            const __m256i a = _mm256_blend_epi32(v0, v1, 0xF0);
            const __m256i m = _mm256_permute2x128_si256(v0, v2, 0x21);
            const __m256i c = _mm256_blend_epi32(v1, v2, 0xF0);
            const __m256i vr = _mm256_blendv_epi8(_mm256_blendv_epi8(a, m, m2), c, m1);
            const __m256i vg = _mm256_blendv_epi8(_mm256_blendv_epi8(a, m, m0), c, m2);
            const __m256i vb = _mm256_blendv_epi8(_mm256_blendv_epi8(a, m, m1), c, m0);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(r + x), _mm256_shuffle_epi8(vr, sr));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g + x), _mm256_shuffle_epi8(vg, sg));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + x), _mm256_shuffle_epi8(vb, sb));
        }
        if (x < cols) {
            unsigned char* rest[3] = {r + x, g + x, b + x};
            split3Bytes(in + 3 * x, rest, cols - x);
        }
    }
}

__attribute__((target("avx2"))) void split3BytesWide(const unsigned char* in, unsigned char* const* dst, int64_t cols) {
    split3RowsWide(in, 0, 1, dst, 0, cols);
}

__attribute__((target("avx2"))) void split4BytesWide(const unsigned char* in, unsigned char* const* dst, int64_t cols) {
    const __m256i group = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9,
                                           13, 2, 6, 10, 14, 3, 7, 11, 15);
    int64_t x = 0;
    for (; x + 32 <= cols; x += 32) {
        const unsigned char* p = in + 4 * x;
        _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchAhead, _MM_HINT_NTA);
        _mm_prefetch(reinterpret_cast<const char*>(p) + kPrefetchAhead + 64, _MM_HINT_NTA);
        __m256i a = _mm256_shuffle_epi8(loadPair(p, p + 64), group);
        __m256i b = _mm256_shuffle_epi8(loadPair(p + 16, p + 80), group);
        __m256i c = _mm256_shuffle_epi8(loadPair(p + 32, p + 96), group);
        __m256i d = _mm256_shuffle_epi8(loadPair(p + 48, p + 112), group);
        __m256i ab0 = _mm256_unpacklo_epi32(a, b), ab1 = _mm256_unpackhi_epi32(a, b);
        __m256i cd0 = _mm256_unpacklo_epi32(c, d), cd1 = _mm256_unpackhi_epi32(c, d);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst[0] + x), _mm256_unpacklo_epi64(ab0, cd0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst[1] + x), _mm256_unpackhi_epi64(ab0, cd0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst[2] + x), _mm256_unpacklo_epi64(ab1, cd1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst[3] + x), _mm256_unpackhi_epi64(ab1, cd1));
    }
    if (x < cols) {
        unsigned char* rest[4] = {dst[0] + x, dst[1] + x, dst[2] + x, dst[3] + x};
        split4Bytes(in + 4 * x, rest, cols - x);
    }
}
#endif

}  // namespace

namespace {

using SplitKernel = void (*)(const unsigned char*, unsigned char* const*, int64_t, int);

#if defined(__x86_64__)
template <void (*F)(const unsigned char*, unsigned char* const*, int64_t)>
void anyBands(const unsigned char* rec, unsigned char* const* dst, int64_t cols, int) {
    F(rec, dst, cols);
}
#endif

SplitKernel chooseSplit(int nb, int sampleBytes) {
    switch (sampleBytes) {
    case 2: return splitBySize<2>;
    case 4: return splitBySize<4>;
    default: break;
    }
#if defined(__x86_64__)
    if (kHaveAvx2 && nb == 3) return anyBands<split3BytesWide>;
    if (kHaveAvx2 && nb == 4) return anyBands<split4BytesWide>;
    if (kHaveSsse3 && nb == 3) return anyBands<split3Bytes>;
    if (kHaveSsse3 && nb == 4) return anyBands<split4Bytes>;
#endif
    return splitBySize<1>;
}

template <int S>
void splitEachBand(const unsigned char* rec, int64_t stride, int rows, unsigned char* const* dst, int64_t at,
                   int64_t cols, int nb) {
    for (int r = 0; r < rows; ++r)
        for (int b = 0; b < nb; ++b) {
            unsigned char* out = dst[static_cast<int64_t>(r) * nb + b] + at;
            const unsigned char* in = rec + r * stride + int64_t{b} * S;
            for (int64_t x = 0; x < cols; ++x) std::memcpy(out + x * S, in + x * nb * S, S);
        }
}

}  // namespace

void splitBands(const unsigned char* rec, unsigned char* const* dst, int64_t cols, int nb, int sampleBytes) {
    chooseSplit(nb, sampleBytes)(rec, dst, cols, nb);
}

void splitBandRows(const unsigned char* rec, int64_t stride, int rows, unsigned char* const* dst, int64_t at,
                   int64_t cols, int nb, int sampleBytes) {
#if defined(__x86_64__)
    if (kHaveAvx2 && nb == 3 && sampleBytes == 1) return split3RowsWide(rec, stride, rows, dst, at, cols);
#endif
    constexpr int kTable = 16;
    if (nb <= kTable) {
        const SplitKernel split = chooseSplit(nb, sampleBytes);
        unsigned char* d[kTable];
        for (int r = 0; r < rows; ++r) {
            for (int b = 0; b < nb; ++b) d[b] = dst[static_cast<int64_t>(r) * nb + b] + at;
            split(rec + r * stride, d, cols, nb);
        }
        return;
    }
    // Many bands: one band at a time, with no table of pointers to build.
    switch (sampleBytes) {
    case 2: splitEachBand<2>(rec, stride, rows, dst, at, cols, nb); break;
    case 4: splitEachBand<4>(rec, stride, rows, dst, at, cols, nb); break;
    default: splitEachBand<1>(rec, stride, rows, dst, at, cols, nb); break;
    }
}

void joinBands(unsigned char* rec, const unsigned char* const* src, int64_t cols, int nb, int sampleBytes) {
    switch (sampleBytes) {
    case 2: joinBySize<2>(rec, src, cols, nb); break;
    case 4: joinBySize<4>(rec, src, cols, nb); break;
    default: joinBySize<1>(rec, src, cols, nb); break;
    }
}
