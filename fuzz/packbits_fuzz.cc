// PackBits decoding of any bytes into an output of any size (the first two
// bytes choose it): nothing is read or written outside the two buffers.
#include <cstdint>
#include <vector>

#include "formats/packbits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t outLen = (size_t{data[0]} << 8 | data[1]) % 8192;
    // Exact-size heap buffers, so that the sanitizers see any overrun.
    std::vector<uint8_t> in(data + 2, data + size);
    std::vector<uint8_t> out(outLen);
    size_t n = unpackBits(in.data(), in.size(), out.data(), out.size());
    if (n > outLen) __builtin_trap();
    return 0;
}
