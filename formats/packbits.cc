#include "formats/packbits.h"

#include <algorithm>
#include <cstring>

size_t unpackBits(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) {
    size_t ip = 0, op = 0;
    // Runs are copied with memcpy/memset so that long runs cost one call,
    // not one branch a byte.
    while (ip < inLen && op < outLen) {
        int n = static_cast<int8_t>(in[ip++]);
        if (n >= 0) {
            size_t len = std::min({static_cast<size_t>(n) + 1, inLen - ip, outLen - op});
            std::memcpy(out + op, in + ip, len);
            ip += static_cast<size_t>(n) + 1;  // may pass inLen: the loop ends
            op += len;
        } else if (n != -128) {
            if (ip >= inLen) break;
            size_t len = std::min(static_cast<size_t>(1 - n), outLen - op);
            std::memset(out + op, in[ip++], len);
            op += len;
        }
    }
    return op;
}
