// ELAS files (read only): a header of 32-bit words in host order, then
// byte samples interleaved by line.
#include <cstring>

#include "formats/formats.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

constexpr int kHeadSize = 1024;
constexpr int32_t kMagic = 4321;

// Word indices of the header fields.
enum Word : int {
    W_HEADSIZE = 0,
    W_BLOCK = 1,
    W_FIRSTLINE = 2,
    W_LASTLINE = 3,
    W_FIRSTELEM = 4,
    W_LASTELEM = 5,
    W_CHANNELS = 6,
    W_MAGIC = 7,
    W_MAPY = 9,
    W_MAPX = 11,
    W_PIXELHEIGHT = 12,
    W_PIXELWIDTH = 13
};

int32_t word(const unsigned char* p, int w) {
    int32_t v;
    std::memcpy(&v, p + 4 * w, 4);
    return v;
}
float floatWord(const unsigned char* p, int w) {
    float v;
    std::memcpy(&v, p + 4 * w, 4);
    return v;
}

// Count of first .. last, or 0 when that is not a positive int.
int32_t span(int32_t first, int32_t last) {
    int64_t n = static_cast<int64_t>(last) - first + 1;
    return (n >= 1 && zarn::fitsInt(n)) ? static_cast<int32_t>(n) : 0;
}

}  // namespace

// The magic is a single word, which other files may carry by chance, so a
// header that is not plausible (a range that runs backwards, no channel, a
// line record shorter than a line, a header smaller than its 1024 bytes,
// data beyond the end of the file) is taken as "not ELAS" and the other
// formats get their turn.
int imgElas(int fd, const char* name, ImageHead* head, HandlerPtr*) {
    unsigned char p[kHeadSize];
    if (zarn::readAt(fd, p, kHeadSize, 0) != kHeadSize) return 0;
    if (word(p, W_MAGIC) != kMagic) return 0;

    ImageHead h = *head;
    h.pixel = PIX_BYTE;
    h.imgid = IMG_ELAS;
    h.mapid = MAP_GRID;
    h.bits = 8;
    h.msbf = msbFirst() ? 1 : 0;
    h.offset = word(p, W_HEADSIZE);
    h.block = word(p, W_BLOCK);
    h.top = word(p, W_FIRSTLINE);
    h.left = word(p, W_FIRSTELEM);
    h.rows = span(h.top, word(p, W_LASTLINE));
    h.columns = span(h.left, word(p, W_LASTELEM));
    h.nbands = word(p, W_CHANNELS);
    h.nindices = 0;
    h.transparent = -1;
    h.y0 = word(p, W_MAPY);
    h.x0 = word(p, W_MAPX);
    h.dy = floatWord(p, W_PIXELHEIGHT);
    h.dx = floatWord(p, W_PIXELWIDTH);

    if (h.offset < kHeadSize || h.rows < 1 || h.columns < 1 || h.nbands < 1 || h.block < h.columns) return 0;
    auto data = zarn::mulSize(h.block, h.rows, h.nbands);
    auto end = data ? zarn::addSize(*data, h.offset) : std::nullopt;
    if (!end || *end > zarn::fileSize(fd)) return 0;
    *head = h;
    return IMG_ELAS;
}
