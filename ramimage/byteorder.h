// Byte-order helpers.  Readers that meet data in the other byte order reverse
// it field by field with these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// True when the host stores multi-byte numbers most significant byte first.
constexpr bool msbFirst() {
    return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
}

// Reverses n bytes in place.
inline void memrv(void* p, size_t n) {
    auto* b = static_cast<unsigned char*>(p);
    for (size_t i = 0, j = n ? n - 1 : 0; i < j; ++i, --j) {
        unsigned char t = b[i];
        b[i] = b[j];
        b[j] = t;
    }
}

inline uint32_t dwordrv(uint32_t v) { return __builtin_bswap32(v); }
inline uint16_t wordrv(uint16_t v) { return __builtin_bswap16(v); }

// Loads and stores of little- and big-endian fields from byte buffers.
inline uint16_t loadLE16(const void* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return msbFirst() ? wordrv(v) : v;
}
inline uint32_t loadLE32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return msbFirst() ? dwordrv(v) : v;
}
inline uint16_t loadBE16(const void* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return msbFirst() ? v : wordrv(v);
}
inline uint32_t loadBE32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return msbFirst() ? v : dwordrv(v);
}
inline void storeLE16(void* p, uint16_t v) {
    if (msbFirst()) v = wordrv(v);
    std::memcpy(p, &v, 2);
}
inline void storeLE32(void* p, uint32_t v) {
    if (msbFirst()) v = dwordrv(v);
    std::memcpy(p, &v, 4);
}
inline void storeBE16(void* p, uint16_t v) {
    if (!msbFirst()) v = wordrv(v);
    std::memcpy(p, &v, 2);
}
inline void storeBE32(void* p, uint32_t v) {
    if (!msbFirst()) v = dwordrv(v);
    std::memcpy(p, &v, 4);
}
