// Sample access inside band-lines, shared by the conversions and the
// histograms: typed loads and stores at any alignment, and the bit and
// nibble positions of packed pixels (msbf set: first pixel in the high bits).
#pragma once
#include <cstdint>
#include <cstring>

template <typename T>
inline T loadSample(const unsigned char* p, int64_t i) {
    T v;
    std::memcpy(&v, p + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return v;
}

template <typename T>
inline void storeSample(unsigned char* p, int64_t i, T v) {
    std::memcpy(p + i * static_cast<int64_t>(sizeof(T)), &v, sizeof(T));
}

inline unsigned bitAt(const unsigned char* p, int64_t x, int msbf) {
    unsigned b = p[x >> 3];
    return msbf ? (b >> (7 - (x & 7))) & 1u : (b >> (x & 7)) & 1u;
}

inline unsigned nibbleAt(const unsigned char* p, int64_t x, int msbf) {
    unsigned b = p[x >> 1];
    bool high = msbf ? !(x & 1) : (x & 1);
    return high ? b >> 4 : b & 15u;
}
