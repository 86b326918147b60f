#include "init/fmt.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "init/output.h"

namespace {

char ring[kFmtRingSize];
size_t ringOffset = 0;

// Long texts rotate through a few owned strings, so a long one stays valid
// for as many calls as the ring keeps a short one at least.
std::array<std::string, 8> spill;
size_t spillNext = 0;

}  // namespace

const char* fmt(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    if (ringOffset > kFmtWrapOffset) ringOffset = 0;
    size_t room = kFmtRingSize - ringOffset;
    int n = std::vsnprintf(ring + ringOffset, room, format, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        ring[ringOffset] = '\0';
        return ring + ringOffset;
    }
    size_t len = static_cast<size_t>(n);
    if (len < room) {
        const char* text = ring + ringOffset;
        ringOffset += len + 1;
        va_end(again);
        return text;
    }
    if (len < kFmtRingSize && ringOffset != 0) {
        // Fits a fresh ring: start over at the front.
        ringOffset = 0;
        std::vsnprintf(ring, kFmtRingSize, format, again);
        va_end(again);
        ringOffset = len + 1;
        return ring;
    }
    std::string& s = spill[spillNext];
    spillNext = (spillNext + 1) % spill.size();
    s = zarn::strVPrintf(format, again);
    va_end(again);
    return s.c_str();
}
