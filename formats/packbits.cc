#include "formats/packbits.h"

#include <algorithm>
#include <cstring>

namespace {

// Longest run a control byte can describe.
constexpr size_t kMaxRun = 128;
// Bytes moved at a time on the fast path; kMaxRun is a multiple of it.
constexpr size_t kPiece = 16;

// Decodes runs until the input or the output ends.  With Whole, a run the
// input holds only part of stops the decoding before its control byte
// (*used tells where); otherwise it is cut as the input allows.
template <bool Whole>
size_t decode(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen, size_t* used) {
    size_t ip = 0, op = 0;
    // Fast path while a whole run of either kind fits both buffers: runs are
    // moved in 16-byte pieces, the last one passing the run's end; the bytes
    // written past it are overwritten by the runs that follow, and reads
    // stay inside `in`.
    while (ip + 1 + kMaxRun <= inLen && op + kMaxRun <= outLen) {
        int n = static_cast<int8_t>(in[ip++]);
        if (n >= 0) {
            const size_t len = static_cast<size_t>(n) + 1;
            std::memcpy(out + op, in + ip, kPiece);
            for (size_t i = kPiece; i < len; i += kPiece) std::memcpy(out + op + i, in + ip + i, kPiece);
            ip += len;
            op += len;
        } else if (n != -128) {
            const size_t len = static_cast<size_t>(1 - n);
            const uint8_t v = in[ip++];
            std::memset(out + op, v, kPiece);
            for (size_t i = kPiece; i < len; i += kPiece) std::memset(out + op + i, v, kPiece);
            op += len;
        }
    }
    // The tail, with every run cut at either end.
    while (ip < inLen && op < outLen) {
        int n = static_cast<int8_t>(in[ip]);
        size_t need = n >= 0 ? static_cast<size_t>(n) + 2 : n != -128 ? 2 : 1;
        if (Whole && ip + need > inLen) break;
        ++ip;
        if (n >= 0) {
            size_t len = std::min({static_cast<size_t>(n) + 1, inLen - ip, outLen - op});
            std::memcpy(out + op, in + ip, len);
            ip = std::min(inLen, ip + static_cast<size_t>(n) + 1);
            op += len;
        } else if (n != -128) {
            if (ip >= inLen) break;
            size_t len = std::min(static_cast<size_t>(1 - n), outLen - op);
            std::memset(out + op, in[ip++], len);
            op += len;
        }
    }
    if (used) *used = ip;
    return op;
}

}  // namespace

size_t unpackBits(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) {
    return decode<false>(in, inLen, out, outLen, nullptr);
}

size_t unpackBitsWhole(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen, size_t* used) {
    return decode<true>(in, inLen, out, outLen, used);
}
