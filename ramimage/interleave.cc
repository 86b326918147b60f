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
        __m128i vr = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, r0), _mm_shuffle_epi8(m, r1)), _mm_shuffle_epi8(c, r2));
        __m128i vg = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, g0), _mm_shuffle_epi8(m, g1)), _mm_shuffle_epi8(c, g2));
        __m128i vb = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, b0), _mm_shuffle_epi8(m, b1)), _mm_shuffle_epi8(c, b2));
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
#endif

}  // namespace

void splitBands(const unsigned char* rec, unsigned char* const* dst, int64_t cols, int nb, int sampleBytes) {
    switch (sampleBytes) {
    case 2: splitBySize<2>(rec, dst, cols, nb); return;
    case 4: splitBySize<4>(rec, dst, cols, nb); return;
    default: break;
    }
#if defined(__x86_64__)
    if (kHaveSsse3 && nb == 3) return split3Bytes(rec, dst, cols);
    if (kHaveSsse3 && nb == 4) return split4Bytes(rec, dst, cols);
#endif
    splitBySize<1>(rec, dst, cols, nb);
}

void joinBands(unsigned char* rec, const unsigned char* const* src, int64_t cols, int nb, int sampleBytes) {
    switch (sampleBytes) {
    case 2: joinBySize<2>(rec, src, cols, nb); break;
    case 4: joinBySize<4>(rec, src, cols, nb); break;
    default: joinBySize<1>(rec, src, cols, nb); break;
    }
}
