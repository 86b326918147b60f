// PackBits decoding of any bytes into an output of any size (the first two
// bytes choose it, the third the piece size of a chunked decode): nothing is
// read or written outside the buffers, and the fast decoder, the chunked one
// and a byte-at-a-time reference agree.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/packbits.h"

namespace {

size_t reference(const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen) {
    size_t ip = 0, op = 0;
    while (ip < inLen && op < outLen) {
        int n = static_cast<int8_t>(in[ip++]);
        if (n >= 0) {
            for (int i = 0; i <= n && ip < inLen && op < outLen; ++i) out[op++] = in[ip++];
            if (op == outLen) break;
        } else if (n != -128) {
            if (ip >= inLen) break;
            uint8_t v = in[ip++];
            for (int i = 0; i < 1 - n && op < outLen; ++i) out[op++] = v;
        }
    }
    return op;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t outLen = (size_t{data[0]} << 8 | data[1]) % 8192;
    const size_t piece = 130 + data[2] % 200;  // always holds a whole run
    // Exact-size heap buffers, so that the sanitizers see any overrun.
    std::vector<uint8_t> in(data + 3, data + size);
    std::vector<uint8_t> fast(outLen), slow(outLen), chunked(outLen);
    size_t n = unpackBits(in.data(), in.size(), fast.data(), fast.size());
    size_t m = reference(in.data(), in.size(), slow.data(), slow.size());
    if (n != m || !std::equal(fast.begin(), fast.begin() + n, slow.begin())) __builtin_trap();

    // The same input arriving in pieces, as the TIFF reader feeds it.
    std::vector<uint8_t> carry;
    size_t pos = 0, out = 0;
    while (out < outLen) {
        size_t take = std::min(piece, in.size() - pos);
        carry.insert(carry.end(), in.begin() + pos, in.begin() + pos + take);
        pos += take;
        std::vector<uint8_t> buf(carry);  // exact size again
        if (pos >= in.size()) {
            out += unpackBits(buf.data(), buf.size(), chunked.data() + out, outLen - out);
            break;
        }
        size_t used = 0;
        out += unpackBitsWhole(buf.data(), buf.size(), chunked.data() + out, outLen - out, &used);
        carry.erase(carry.begin(), carry.begin() + used);
    }
    if (out != n || !std::equal(fast.begin(), fast.begin() + n, chunked.begin())) __builtin_trap();
    return 0;
}
