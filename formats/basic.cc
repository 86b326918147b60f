// The package's own raw format: an 860-byte header, in either byte order,
// in front of band-sequential, line-interleaved or pixel-interleaved samples
// that the store reads line by line.
#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

constexpr int kHeadSize = 860;
constexpr int kMagicSize = 14;  // the magic with its terminating NUL
constexpr char kMagicMSBF[kMagicSize] = "IMAGEDEF_MSBF";
constexpr char kMagicMSBL[kMagicSize] = "IMAGEDEF_MSBL";
constexpr int kMaxIndices = 256;

// Byte offsets of the header fields.
enum Field : int {
    F_MSBF = 16,
    F_IMGID = 20,
    F_MAPID = 24,
    F_OFFSET = 28,
    F_PIXEL = 32,
    F_NBANDS = 36,
    F_ROWS = 40,
    F_COLUMNS = 44,
    F_TOP = 48,
    F_LEFT = 52,
    F_X0 = 56,
    F_Y0 = 64,
    F_DX = 72,
    F_DY = 80,
    F_NINDICES = 88,
    F_COLORS = 92
};

// Numbers of a header in a given byte order.
class HeaderFields {
public:
    HeaderFields(unsigned char* p, bool msbf) : p_(p), swap_(msbf != msbFirst()) {}
    int32_t getInt(int off) const {
        uint32_t v;
        std::memcpy(&v, p_ + off, 4);
        return static_cast<int32_t>(swap_ ? dwordrv(v) : v);
    }
    double getDouble(int off) const {
        unsigned char b[8];
        std::memcpy(b, p_ + off, 8);
        if (swap_) memrv(b, 8);
        double d;
        std::memcpy(&d, b, 8);
        return d;
    }
    void putInt(int off, int32_t v) const { std::memcpy(p_ + off, &v, 4); }
    void putDouble(int off, double v) const { std::memcpy(p_ + off, &v, 8); }

private:
    unsigned char* p_;
    bool swap_;
};

bool isBasicImgid(int imgid) { return imgid == IMG_BSQ || imgid == IMG_BIL || imgid == IMG_BIP; }

// Bytes of one stored line record: one band-line, or all bands of a line for
// BIP.  -1 when it does not fit the header's int field.
int64_t basicBlock(int imgid, int pixel, int64_t columns, int64_t nbands) {
    int64_t line = (columns * pixelBits(pixel) - 1) / 8 + 1;
    if (imgid == IMG_BIP) {
        auto all = zarn::mulSize(line, nbands);
        line = all ? *all : -1;
    }
    return zarn::fitsInt(line) ? line : -1;
}

// Bytes of pixel data the header declares, -1 on overflow.
int64_t basicDataSize(int imgid, int64_t block, int64_t rows, int64_t nbands) {
    auto n = imgid == IMG_BIP ? zarn::mulSize(block, rows) : zarn::mulSize(block, rows, nbands);
    return n ? *n : -1;
}

// What is wrong with a head's geometry and codes, or null when nothing is.
const char* basicHeadProblem(const ImageHead& h) {
    if (h.pixel < PIX_1BIT || h.pixel >= PIX_COUNT) return "pixel type code out of range";
    if (h.rows < 1 || h.columns < 1 || h.nbands < 1) return "rows, columns and bands must be at least 1";
    if (h.nindices < 0 || h.nindices > kMaxIndices) return "colour table larger than 256 entries";
    if (basicBlock(h.imgid, h.pixel, h.columns, h.nbands) < 0) return "line record too large";
    return nullptr;
}

int refuse(const char* name, const char* why) {
    zarn::conPrintf(zarn::kStderr, "%s: unusable raw image header: %s.\n", name ? name : "", why);
    return -1;
}

}  // namespace

// A file whose magic and storage code are BASIC but whose header cannot be
// used is refused with -1 (the magic is long enough to be sure of the
// format).  The whole declared pixel data must lie within the file: the
// header is the only description of the data, and one promising more than
// the file holds is damaged.
int imgBASIC(int fd, const char* name, ImageHead* head, HandlerPtr*) {
    unsigned char buf[kHeadSize];
    if (zarn::readAt(fd, buf, kHeadSize, 0) != kHeadSize) return 0;
    bool msbf;
    if (std::memcmp(buf, kMagicMSBF, kMagicSize) == 0)
        msbf = true;
    else if (std::memcmp(buf, kMagicMSBL, kMagicSize) == 0)
        msbf = false;
    else
        return 0;
    HeaderFields f(buf, msbf);
    ImageHead h = *head;
    h.imgid = f.getInt(F_IMGID);
    if (!isBasicImgid(h.imgid)) return 0;

    h.msbf = f.getInt(F_MSBF) ? 1 : 0;
    h.mapid = f.getInt(F_MAPID);
    if (h.mapid < 0 || h.mapid >= MAP_COUNT) h.mapid = MAP_UNKNOWN;
    h.offset = f.getInt(F_OFFSET);
    h.pixel = f.getInt(F_PIXEL);
    h.nbands = f.getInt(F_NBANDS);
    h.rows = f.getInt(F_ROWS);
    h.columns = f.getInt(F_COLUMNS);
    h.top = f.getInt(F_TOP);
    h.left = f.getInt(F_LEFT);
    h.x0 = f.getDouble(F_X0);
    h.y0 = f.getDouble(F_Y0);
    h.dx = f.getDouble(F_DX);
    h.dy = f.getDouble(F_DY);
    h.nindices = f.getInt(F_NINDICES);
    h.transparent = -1;

    if (const char* why = basicHeadProblem(h)) return refuse(name, why);
    if (h.offset < kHeadSize) return refuse(name, "data offset inside the header");
    h.bits = pixelBits(h.pixel);
    h.block = static_cast<int>(basicBlock(h.imgid, h.pixel, h.columns, h.nbands));
    int64_t data = basicDataSize(h.imgid, h.block, h.rows, h.nbands);
    auto end = zarn::addSize(h.offset, data);
    if (data < 0 || !end) return refuse(name, "declared data size too large");
    if (*end > zarn::fileSize(fd)) return refuse(name, "file shorter than its declared data");

    std::memset(h.colorTable, 0, sizeof h.colorTable);
    std::memcpy(h.colorTable, buf + F_COLORS, static_cast<size_t>(h.nindices) * 3);
    *head = h;
    return h.imgid;
}

// The header is written in host order with the magic that names it.  A
// requested offset of 0 or less means a raw file without header: the header
// is still laid down (the data that follows overwrites it) and offset goes
// back to 0 so that the file is opened with the caller's head.
int initBASIC(int fd, ImageHead* head) {
    if (!head || !isBasicImgid(head->imgid)) return -1;
    if (const char* why = basicHeadProblem(*head)) {
        refuse(head->file, why);
        return -1;
    }
    const int requested = head->offset;
    const int offset = requested < kHeadSize ? kHeadSize : requested;
    head->bits = pixelBits(head->pixel);
    head->block = static_cast<int>(basicBlock(head->imgid, head->pixel, head->columns, head->nbands));

    unsigned char buf[kHeadSize] = {};
    std::memcpy(buf, msbFirst() ? kMagicMSBF : kMagicMSBL, kMagicSize);
    HeaderFields f(buf, msbFirst());
    f.putInt(F_MSBF, head->msbf);
    f.putInt(F_IMGID, head->imgid);
    f.putInt(F_MAPID, head->mapid);
    f.putInt(F_OFFSET, offset);
    f.putInt(F_PIXEL, head->pixel);
    f.putInt(F_NBANDS, head->nbands);
    f.putInt(F_ROWS, head->rows);
    f.putInt(F_COLUMNS, head->columns);
    f.putInt(F_TOP, head->top);
    f.putInt(F_LEFT, head->left);
    f.putDouble(F_X0, head->x0);
    f.putDouble(F_Y0, head->y0);
    f.putDouble(F_DX, head->dx);
    f.putDouble(F_DY, head->dy);
    f.putInt(F_NINDICES, head->nindices);
    std::memcpy(buf + F_COLORS, head->colorTable, static_cast<size_t>(head->nindices) * 3);
    if (!zarn::writeAt(fd, buf, kHeadSize, 0)) return -1;

    // Zeros up to the data offset, in pieces: the offset may be large.
    if (offset > kHeadSize) {
        std::vector<unsigned char> zeros(static_cast<size_t>(std::min(offset - kHeadSize, 1 << 16)));
        for (int64_t at = kHeadSize; at < offset;) {
            size_t n = static_cast<size_t>(std::min<int64_t>(offset - at, static_cast<int64_t>(zeros.size())));
            if (!zarn::writeAt(fd, zeros.data(), n, at)) return -1;
            at += static_cast<int64_t>(n);
        }
    }
    head->offset = requested <= 0 ? 0 : offset;
    return offset;
}
