// Conversions between band-lines and float or byte arrays.  Each call
// resolves the pixel type once and runs a loop specialised for it; the column
// range is clipped once and the parts outside the image zero-filled.
#include "ramimage/convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "init/output.h"
#include "ramimage/samples.h"

namespace {

// Clipped window of a request: the first `lead` outputs and everything from
// lead + count on lie outside the line.
struct Span {
    int64_t lead = 0, count = 0, x = 0;
};

Span clip(int64_t x0, int64_t n, int64_t columns) {
    Span s;
    int64_t a = std::max<int64_t>(x0, 0), b = std::min<int64_t>(x0 + n, columns);
    if (b <= a) {
        s.lead = n;
        return s;
    }
    s.lead = a - x0;
    s.count = b - a;
    s.x = a;
    return s;
}

// ---- line -> float or byte ---------------------------------------------------
// A sample as the caller's element type: floats take the value; bytes take
// the low-order byte (of the integer part for floats, 0 for values no
// integer type holds).
template <typename Out, typename T>
inline Out fromSample(T v) {
    if constexpr (std::is_same_v<Out, float>) {
        return static_cast<float>(v);
    } else if constexpr (std::is_same_v<T, float>) {
        if (!(std::fabs(v) < 9.2e18f)) return 0;
        return static_cast<unsigned char>(static_cast<int64_t>(v));
    } else {
        return static_cast<unsigned char>(v);
    }
}

template <typename T, int STRIDE, typename Out>
void loadTyped(const unsigned char* line, int64_t x, int64_t n, Out* out, int64_t stride) {
    const int64_t s = STRIDE ? STRIDE : stride;
    for (int64_t i = 0; i < n; ++i) out[i * s] = fromSample<Out>(loadSample<T>(line, x + i));
}

template <typename T, typename Out>
void loadTypedAny(const unsigned char* line, int64_t x, int64_t n, Out* out, int64_t stride) {
    if (stride == 1)
        loadTyped<T, 1>(line, x, n, out, 1);
    else
        loadTyped<T, 0>(line, x, n, out, stride);
}

// One band-line stretch into the caller's floats or bytes; the pixel type is
// resolved once, then a loop specialised for it runs.
template <typename Out>
void lineToOut(const RAMImage* img, const unsigned char* line, int64_t x, int64_t n, Out* out, int64_t stride) {
    const int msbf = img->head.msbf;
    switch (img->head.pixel) {
    case PIX_1BIT:
        for (int64_t i = 0; i < n; ++i) out[i * stride] = static_cast<Out>(bitAt(line, x + i, msbf));
        break;
    case PIX_4BITS:
        for (int64_t i = 0; i < n; ++i) out[i * stride] = static_cast<Out>(nibbleAt(line, x + i, msbf));
        break;
    case PIX_SHORT: loadTypedAny<int16_t>(line, x, n, out, stride); break;
    case PIX_USHORT: loadTypedAny<uint16_t>(line, x, n, out, stride); break;
    case PIX_LONG: loadTypedAny<int32_t>(line, x, n, out, stride); break;
    case PIX_ULONG: loadTypedAny<uint32_t>(line, x, n, out, stride); break;
    case PIX_FLOAT: loadTypedAny<float>(line, x, n, out, stride); break;
    case PIX_SBYTE: loadTypedAny<int8_t>(line, x, n, out, stride); break;
    default: loadTypedAny<uint8_t>(line, x, n, out, stride); break;
    }
}

// ---- float -> line ---------------------------------------------------------
// Limits a value to [lo, hi] and rounds half away from zero.  NaN stores 0.
// The rounding is done on the exact fractional part, so no float addition
// can carry a value just below .5 over the edge.
template <typename T, int LO, int HI>
inline T roundOne(float v) {
    v = v == v ? v : 0.0f;
    v = v > static_cast<float>(LO) ? v : static_cast<float>(LO);
    v = v < static_cast<float>(HI) ? v : static_cast<float>(HI);
    int32_t r = static_cast<int32_t>(v);
    float frac = v - static_cast<float>(r);
    r += (frac >= 0.5f) - (frac <= -0.5f);
    return static_cast<T>(r);
}

#if defined(__SSE2__)
// Four values at once, by the same rule; the compiler does not vectorise the
// scalar form because of its NaN-safe comparisons.
inline __m128i roundClamp4(__m128 v, __m128 lo, __m128 hi) {
    v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
    v = _mm_min_ps(_mm_max_ps(v, lo), hi);
    __m128i i = _mm_cvttps_epi32(v);
    __m128 frac = _mm_sub_ps(v, _mm_cvtepi32_ps(i));
    i = _mm_sub_epi32(i, _mm_castps_si128(_mm_cmpge_ps(frac, _mm_set1_ps(0.5f))));
    i = _mm_add_epi32(i, _mm_castps_si128(_mm_cmple_ps(frac, _mm_set1_ps(-0.5f))));
    return i;
}
#endif

template <typename T, int LO, int HI>
void storeRounded(unsigned char* line, int64_t x, int64_t n, const float* in) {
    unsigned char* out = line + x * static_cast<int64_t>(sizeof(T));
    int64_t i = 0;
#if defined(__SSE2__)
    const __m128 lo = _mm_set1_ps(static_cast<float>(LO)), hi = _mm_set1_ps(static_cast<float>(HI));
    if constexpr (sizeof(T) == 1) {
        for (; i + 16 <= n; i += 16) {
            __m128i a = roundClamp4(_mm_loadu_ps(in + i), lo, hi);
            __m128i b = roundClamp4(_mm_loadu_ps(in + i + 4), lo, hi);
            __m128i c = roundClamp4(_mm_loadu_ps(in + i + 8), lo, hi);
            __m128i d = roundClamp4(_mm_loadu_ps(in + i + 12), lo, hi);
            // The values already lie in T's range, so saturating packs are exact.
            __m128i ab = _mm_packs_epi32(a, b), cd = _mm_packs_epi32(c, d);
            __m128i r = std::is_signed_v<T> ? _mm_packs_epi16(ab, cd) : _mm_packus_epi16(ab, cd);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), r);
        }
    } else if constexpr (sizeof(T) == 2) {
        for (; i + 8 <= n; i += 8) {
            __m128i a = roundClamp4(_mm_loadu_ps(in + i), lo, hi);
            __m128i b = roundClamp4(_mm_loadu_ps(in + i + 4), lo, hi);
            __m128i r;
            if constexpr (std::is_signed_v<T>) {
                r = _mm_packs_epi32(a, b);
            } else {
                // No unsigned 32-to-16 pack in SSE2: shift into the signed
                // range, pack, and shift back.
                const __m128i bias = _mm_set1_epi32(32768);
                r = _mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias));
                r = _mm_xor_si128(r, _mm_set1_epi16(static_cast<short>(0x8000)));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), r);
        }
    }
#endif
    for (; i < n; ++i) storeSample<T>(out, i, roundOne<T, LO, HI>(in[i]));
}

template <typename T>
void storeRounded64(unsigned char* line, int64_t x, int64_t n, const float* in, double lo, double hi) {
    for (int64_t i = 0; i < n; ++i) {
        double v = in[i];
        v = v == v ? v : 0.0;
        v = v > lo ? v : lo;
        v = v < hi ? v : hi;
        int64_t r = static_cast<int64_t>(v + (v >= 0 ? 0.5 : -0.5));
        r = std::clamp<int64_t>(r, static_cast<int64_t>(lo), static_cast<int64_t>(hi));
        storeSample<T>(line, x + i, static_cast<T>(r));
    }
}

// Packed samples share bytes with their neighbours; `msbf` gives the order
// within the byte, as the readers use it.
inline void putBit(unsigned char* line, int64_t x, int msbf, bool on) {
    const unsigned mask = msbf ? 0x80u >> (x & 7) : 1u << (x & 7);
    line[x >> 3] = static_cast<unsigned char>(on ? line[x >> 3] | mask : line[x >> 3] & ~mask);
}

inline void putNibble(unsigned char* line, int64_t x, int msbf, unsigned q) {
    const bool high = msbf ? !(x & 1) : (x & 1);
    unsigned char& b = line[x >> 1];
    b = high ? static_cast<unsigned char>((b & 0x0F) | (q << 4)) : static_cast<unsigned char>((b & 0xF0) | q);
}

void floatToLine(const RAMImage* img, unsigned char* line, int64_t x, int64_t n, const float* in) {
    const int msbf = img->head.msbf;
    switch (img->head.pixel) {
    case PIX_1BIT:
        for (int64_t i = 0; i < n; ++i) putBit(line, x + i, msbf, in[i] > 0);
        break;
    case PIX_4BITS:
        for (int64_t i = 0; i < n; ++i) {
            float v = in[i];
            v = v == v ? v : 0.0f;
            v = std::clamp(v, 0.0f, 15.0f);
            unsigned q = static_cast<unsigned>(v);
            q += v - static_cast<float>(q) >= 0.5f;
            putNibble(line, x + i, msbf, q);
        }
        break;
    case PIX_BYTE: storeRounded<uint8_t, 0, 255>(line, x, n, in); break;
    case PIX_SBYTE: storeRounded<int8_t, -128, 127>(line, x, n, in); break;
    case PIX_SHORT: storeRounded<int16_t, -32768, 32767>(line, x, n, in); break;
    case PIX_USHORT: storeRounded<uint16_t, 0, 65535>(line, x, n, in); break;
    case PIX_LONG: storeRounded64<int32_t>(line, x, n, in, -2147483648.0, 2147483647.0); break;
    case PIX_ULONG: storeRounded64<uint32_t>(line, x, n, in, 0.0, 4294967295.0); break;
    case PIX_FLOAT: std::memcpy(line + x * 4, in, static_cast<size_t>(n) * 4); break;
    default: break;
    }
}

template <typename T, typename S>
void storeWidened(unsigned char* line, int64_t x, int64_t n, const S* in) {
    for (int64_t i = 0; i < n; ++i) storeSample<T>(line, x + i, static_cast<T>(in[i]));
}

// Stores unsigned integer samples (bytes or 16-bit values) without rounding.
template <typename S>
void uintToLine(const RAMImage* img, unsigned char* line, int64_t x, int64_t n, const S* in) {
    const int msbf = img->head.msbf;
    switch (img->head.pixel) {
    case PIX_1BIT:
        for (int64_t i = 0; i < n; ++i) putBit(line, x + i, msbf, in[i] != 0);
        break;
    case PIX_4BITS:
        for (int64_t i = 0; i < n; ++i) {
            unsigned q = static_cast<unsigned>(in[i]) & 15u;
            putNibble(line, x + i, msbf, q);
        }
        break;
    case PIX_BYTE: storeWidened<uint8_t>(line, x, n, in); break;
    case PIX_SBYTE: storeWidened<int8_t>(line, x, n, in); break;
    case PIX_SHORT: storeWidened<int16_t>(line, x, n, in); break;
    case PIX_USHORT: storeWidened<uint16_t>(line, x, n, in); break;
    case PIX_LONG: storeWidened<int32_t>(line, x, n, in); break;
    case PIX_ULONG: storeWidened<uint32_t>(line, x, n, in); break;
    case PIX_FLOAT: storeWidened<float>(line, x, n, in); break;
    default: break;
    }
}

bool readable(RAMImage* img, int line, int band) { return img && lineInRange(img, line, band); }

// The band-line a writer may change: null (nothing stored) outside the image
// or for a file that was opened read-only.
unsigned char* writableLine(RAMImage* img, int line, int band, const Span& s) {
    if (!img || !lineInRange(img, line, band) || s.count < 1) return nullptr;
    if (img->readOnly && img->fd >= 0) {
        zarn::conPrintf(zarn::kStderr, "Can't write to the read-only image file: %s\n", img->head.file);
        return nullptr;
    }
    // A write over the whole line needs no read of the old contents, except
    // for packed samples that share bytes.
    bool whole = s.x == 0 && s.count == img->head.columns && img->head.pixel != PIX_1BIT &&
                 img->head.pixel != PIX_4BITS;
    return img->getLineProc(img, line, band, whole ? 0 : 1);
}

// Copies colour-table components over indices read from band 0.
void indicesToColour(const RAMImage* img, float* out, int64_t n, int band) {
    if (band < 0) return;
    int c = band % 3;
    int last = std::min(img->head.nindices, 256) - 1;
    for (int64_t i = 0; i < n; ++i) {
        int idx = static_cast<int>(out[i]);
        idx = std::clamp(idx, 0, last);
        out[i] = img->head.colorTable[idx][c];
    }
}

void indicesToColour(const RAMImage* img, unsigned char* out, int64_t n, int band) {
    if (band < 0) return;
    int c = band % 3;
    int last = std::min(img->head.nindices, 256) - 1;
    for (int64_t i = 0; i < n; ++i) out[i] = img->head.colorTable[std::min<int>(out[i], last)][c];
}

// Bilinear sample with missing neighbours weighing 0; 0 outside the image.
float bilinear(RAMImage* img, double x, double y, int band) {
    const ImageHead& h = img->head;
    if (!(x >= 0 && y >= 0 && x <= h.columns - 1 && y <= h.rows - 1)) return 0.0f;
    int ix = static_cast<int>(x), iy = static_cast<int>(y);
    double fx = x - ix, fy = y - iy;
    float p[2][2] = {{0, 0}, {0, 0}};
    for (int j = 0; j < 2; ++j) {
        if (iy + j >= h.rows) continue;
        int cnt = ix + 1 < h.columns ? 2 : 1;
        getFloatBILData(img, iy + j, ix, cnt, band, p[j]);
    }
    double v = (1 - fx) * (1 - fy) * p[0][0] + fx * (1 - fy) * p[0][1] + (1 - fx) * fy * p[1][0] + fx * fy * p[1][1];
    return static_cast<float>(v);
}

// Reads n samples of a band-line from column x0 through `convert`, with
// zeros outside the line and for lines or bands outside the image.
template <typename T, typename Convert>
int readLine(RAMImage* img, int line, int x0, int n, int band, T* out, int stride, Convert convert) {
    if (!img || n < 1 || !out) return 0;
    if (stride < 1) stride = 1;
    Span s = clip(x0, n, img->head.columns);
    const unsigned char* p = readable(img, line, band) && s.count ? img->getLineProc(img, line, band, 1) : nullptr;
    if (!p) s.count = 0, s.lead = n;
    for (int64_t i = 0; i < s.lead; ++i) out[i * stride] = T{};
    if (s.count) convert(img, p, s.x, s.count, out + s.lead * stride, stride);
    for (int64_t i = s.lead + s.count; i < n; ++i) out[i * stride] = T{};
    return 1;
}

// Stores the samples that fall inside the line through `convert` and marks
// the band-line modified; 0 when nothing could be stored.
template <typename T, typename Convert>
int writeLine(RAMImage* img, int line, int x0, int n, int band, const T* in, Convert convert) {
    if (!img || n < 1 || !in) return 0;
    Span s = clip(x0, n, img->head.columns);
    unsigned char* p = writableLine(img, line, band, s);
    if (!p) return 0;
    convert(img, p, s.x, s.count, in + s.lead);
    updateRAMImageLine(img, line, static_cast<int>(s.x), static_cast<int>(s.count), band);
    return 1;
}

float nearest(RAMImage* img, double x, double y, int band) {
    if (!(x > -0.5 && y > -0.5)) return 0.0f;
    int ix = static_cast<int>(x + 0.5), iy = static_cast<int>(y + 0.5);
    if (ix >= img->head.columns || iy >= img->head.rows) return 0.0f;
    return getFloatPixelValue(img, ix, iy, band);
}

}  // namespace

int getFloatBILDataEx(RAMImage* img, int line, int x0, int n, int band, float* out, int stride) {
    return readLine(img, line, x0, n, band, out, stride, lineToOut<float>);
}

int getFloatBILData(RAMImage* img, int line, int x0, int n, int band, float* out) {
    return getFloatBILDataEx(img, line, x0, n, band, out, 1);
}

int getByteBILDataEx(RAMImage* img, int line, int x0, int n, int band, unsigned char* out, int stride) {
    return readLine(img, line, x0, n, band, out, stride, lineToOut<unsigned char>);
}

int getByteBILData(RAMImage* img, int line, int x0, int n, int band, unsigned char* out) {
    return getByteBILDataEx(img, line, x0, n, band, out, 1);
}

int getFloatBIPData(RAMImage* img, int line, int x, float* out) {
    if (!img || !out) return 0;
    for (int b = 0; b < img->head.nbands; ++b) getFloatBILData(img, line, x, 1, b, out + b);
    return 1;
}

float getFloatPixelValue(RAMImage* img, int x, int y, int band) {
    float v = 0.0f;
    getFloatBILData(img, y, x, 1, band, &v);
    return v;
}

int putFloatBILData(RAMImage* img, int line, int x0, int n, int band, const float* in) {
    return writeLine(img, line, x0, n, band, in, floatToLine);
}

int putByteBILData(RAMImage* img, int line, int x0, int n, int band, const unsigned char* in) {
    return writeLine(img, line, x0, n, band, in, uintToLine<unsigned char>);
}

int putUSHORTBILData(RAMImage* img, int line, int x0, int n, int band, const uint16_t* in) {
    return writeLine(img, line, x0, n, band, in, uintToLine<uint16_t>);
}

int readFloatBILData(RAMImage* img, int line, int x0, int n, int band, float* out) {
    if (!img) return 0;
    if (img->head.nindices >= 1) {
        int r = getFloatBILData(img, line, x0, n, 0, out);
        if (r) indicesToColour(img, out, n, band);
        return r;
    }
    return getFloatBILData(img, line, x0, n, band, out);
}

int readByteBILData(RAMImage* img, int line, int x0, int n, int band, unsigned char* out) {
    if (!img) return 0;
    if (img->head.nindices >= 1) {
        int r = getByteBILData(img, line, x0, n, 0, out);
        if (r) indicesToColour(img, out, n, band);
        return r;
    }
    return getByteBILData(img, line, x0, n, band, out);
}

int readFloatBIPData(RAMImage* img, int line, int x0, int n, int dx, int nb, const int* bandList, float* out) {
    if (!img || n < 1 || nb < 1 || !out) return 0;
    if (dx < 1) dx = 1;
    std::vector<float> tmp(static_cast<size_t>(n));
    for (int i = 0; i < nb; ++i) {
        int band = bandList ? bandList[i] : i;
        readFloatBILData(img, line, x0, n, band, tmp.data());
        for (int k = 0; static_cast<int64_t>(k) * dx < n; ++k) out[static_cast<int64_t>(k) * nb + i] = tmp[k * dx];
    }
    return 1;
}

int readByteBIPData(RAMImage* img, int line, int x0, int n, int dx, int nb, const int* bandList,
                    unsigned char* out) {
    if (!img || n < 1 || nb < 1 || !out) return 0;
    if (dx < 1) dx = 1;
    std::vector<unsigned char> tmp(static_cast<size_t>(n));
    for (int i = 0; i < nb; ++i) {
        int band = bandList ? bandList[i] : i % img->head.nbands;
        readByteBILData(img, line, x0, n, band, tmp.data());
        for (int k = 0; static_cast<int64_t>(k) * dx < n; ++k) out[static_cast<int64_t>(k) * nb + i] = tmp[k * dx];
    }
    return 1;
}

namespace {

// Gathers band i of pixel-interleaved input (n pixels of nb samples) and
// stores it with `put`; bands listed beyond the image are skipped.  Returns
// the last store's result.
template <typename T, typename Put>
int writeInterleaved(RAMImage* img, int line, int x0, int n, int nb, const int* bandList, int firstBand,
                     const T* in, Put put, const char* allocMessage) {
    if (!img || n < 1 || nb < 1 || !in) return 0;
    std::vector<T> tmp;
    try {
        tmp.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        zarn::conPuts(zarn::kStderr, allocMessage);
        return 0;
    }
    int r = 0;
    for (int i = 0; i < nb; ++i) {
        int band = bandList ? bandList[i] : firstBand + i;
        if (band < 0 || band >= img->head.nbands) continue;
        for (int k = 0; k < n; ++k) tmp[k] = in[static_cast<int64_t>(k) * nb + i];
        r = put(img, line, x0, n, band, tmp.data());
    }
    return r;
}

}  // namespace

int writeFloatBIPData(RAMImage* img, int line, int x0, int n, int nb, const int* bandList, const float* in) {
    return writeInterleaved(img, line, x0, n, nb, bandList, 0, in, putFloatBILData,
                            "Malloc error in writeFloatBIPData.\n");
}

int writeByteBIPData(RAMImage* img, int line, int x0, int n, int nb, const int* bandList,
                     const unsigned char* in) {
    return writeInterleaved(img, line, x0, n, nb, bandList, 0, in, putByteBILData, "Malloc error in writeByteBIPData.\n");
}

int putFloatBIPData(RAMImage* img, int firstBand, int nb, int line, int x0, int n, const float* in) {
    return writeInterleaved(img, line, x0, n, nb, nullptr, firstBand, in, putFloatBILData,
                            "Malloc error in putFloatBIPData.\n");
}

int putByteBIPData(RAMImage* img, int firstBand, int nb, int line, int x0, int n, const unsigned char* in) {
    return writeInterleaved(img, line, x0, n, nb, nullptr, firstBand, in, putByteBILData,
                            "Malloc error in putByteBIPData.\n");
}

int readFloatBIPSect(RAMImage* img, double x0, double y0, double x1, double y1, int nb, const int* bandList,
                     float* out, int n, int method) {
    if (!img || n < 1 || nb < 1 || !out) return 0;
    double sx = n > 1 ? (x1 - x0) / (n - 1) : 0, sy = n > 1 ? (y1 - y0) / (n - 1) : 0;
    for (int k = 0; k < n; ++k) {
        double x = x0 + k * sx, y = y0 + k * sy;
        for (int i = 0; i < nb; ++i) {
            int band = bandList ? bandList[i] : i;
            out[static_cast<int64_t>(k) * nb + i] = method == 2 ? bilinear(img, x, y, band) : nearest(img, x, y, band);
        }
    }
    return 1;
}

int writeFloatBIPSect(RAMImage* img, double x0, double y0, double x1, double y1, int nb, const int* bandList,
                      const float* in, int n, int) {
    if (!img || n < 1 || nb < 1 || !in) return 0;
    double sx = n > 1 ? (x1 - x0) / (n - 1) : 0, sy = n > 1 ? (y1 - y0) / (n - 1) : 0;
    for (int k = 0; k < n; ++k) {
        double x = x0 + k * sx, y = y0 + k * sy;
        if (!(x > -0.5 && y > -0.5)) continue;
        int ix = static_cast<int>(x + 0.5), iy = static_cast<int>(y + 0.5);
        for (int i = 0; i < nb; ++i) {
            int band = bandList ? bandList[i] : i;
            putFloatBILData(img, iy, ix, 1, band, &in[static_cast<int64_t>(k) * nb + i]);
        }
    }
    return 1;
}

int getRAMImageProfile(RAMImage* img, double x, double y, int band, double angle, double step, double start,
                       float* out, int n, int method) {
    if (!img || n < 1 || !out || (method != 1 && method != 2)) return 0;
    const double c = std::cos(angle), s = std::sin(angle);
    double px = x + start * c, py = y - start * s;
    for (int k = 0; k < n; ++k) {
        if (method == 1) {
            double rx = std::floor(px + 0.5), ry = std::floor(py + 0.5);
            bool inside = rx >= 0 && ry >= 0 && rx < img->head.columns && ry < img->head.rows;
            out[k] = inside ? getFloatPixelValue(img, static_cast<int>(rx), static_cast<int>(ry), band) : 0.0f;
        } else {
            out[k] = bilinear(img, px, py, band);
        }
        px += step * c;
        py -= step * s;
    }
    return 1;
}
