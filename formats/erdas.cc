// ERDAS 7.3 ("HEADER"), 7.4 ("HEAD74") and the band-sequential 7.4 variant
// ("E74BSQ"): a 128-byte little-endian header in front of raw samples.
// Recognition and header writing for the store, and the direct helpers of
// the processing applications (formats/erdas.h).
#include "formats/erdas.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

// Byte offsets of the header fields.
enum Field : int {
    F_NPACK = 6,
    F_NBANDS = 8,
    F_COLUMNS = 16,
    F_ROWS = 20,
    F_XSTART = 24,
    F_YSTART = 28,
    F_X0 = 112,
    F_Y0 = 116,
    F_DX = 120,
    F_DY = 124
};

constexpr int kMaxPack = 5;

// Pixel type of each packing code.
constexpr int kPackPixel[kMaxPack + 1] = {PIX_BYTE, PIX_4BITS, PIX_USHORT, PIX_LONG, PIX_FLOAT, PIX_SHORT};

// Storage code named by the magic, 0 when it is none of the three.
int erdasMagicType(const unsigned char* p) {
    if (std::memcmp(p, "HEADER", 6) == 0) return IMG_E73;
    if (std::memcmp(p, "HEAD74", 6) == 0) return IMG_E74;
    if (std::memcmp(p, "E74BSQ", 6) == 0) return IMG_E74BSQ;
    return 0;
}

int32_t getInt(const unsigned char* p, int off) { return static_cast<int32_t>(loadLE32(p + off)); }
int16_t getShort(const unsigned char* p, int off) { return static_cast<int16_t>(loadLE16(p + off)); }
float getFloat(const unsigned char* p, int off) {
    uint32_t v = loadLE32(p + off);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}
void putFloat(unsigned char* p, int off, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    storeLE32(p + off, v);
}

// A 7.3 float converted to int by truncation, when it is finite and in
// [lo, INT_MAX] after truncation.
bool floatToInt(float f, double lo, int32_t* out) {
    double t = std::trunc(static_cast<double>(f));
    if (!std::isfinite(t) || t < lo || t > 2147483647.0) return false;
    *out = static_cast<int32_t>(t);
    return true;
}

int refuse(const char* name, const char* why) {
    zarn::conPrintf(zarn::kStderr, "%s: unusable ERDAS header: %s.\n", name ? name : "", why);
    return -1;
}

// Reports the system error of the last call, as perror does.
void reportSysError(const char* what, int err) {
    zarn::conPrintf(zarn::kStderr, "%s: %s\n", what, err ? std::strerror(err) : "unexpected end of file");
}

}  // namespace

// The magic and a packing code of 0..5 identify the format; a header that
// passes them but describes no usable image is refused with -1.  The whole
// declared pixel data must lie within the file.
int imgErdas(int fd, const char* name, ImageHead* head, HandlerPtr*) {
    unsigned char p[kErdasHeadSize];
    if (zarn::readAt(fd, p, kErdasHeadSize, 0) != kErdasHeadSize) return 0;
    int imgid = erdasMagicType(p);
    if (!imgid) return 0;
    int npack = getShort(p, F_NPACK);
    if (npack < 0 || npack > kMaxPack) return 0;

    ImageHead h = *head;
    h.imgid = imgid;
    h.pixel = kPackPixel[npack];
    h.bits = pixelBits(h.pixel);
    // Nibbles are stored first pixel high whatever the writing host was.
    h.msbf = (npack == 1 || msbFirst()) ? 1 : 0;
    h.mapid = MAP_GRID;
    h.offset = kErdasHeadSize;
    h.top = getInt(p, F_YSTART);
    h.left = getInt(p, F_XSTART);
    if (imgid == IMG_E73) {
        if (!floatToInt(getFloat(p, F_ROWS), 1, &h.rows) || !floatToInt(getFloat(p, F_COLUMNS), 1, &h.columns))
            return refuse(name, "rows or columns not a number from 1 to 2147483647");
    } else {
        h.rows = getInt(p, F_ROWS);
        h.columns = getInt(p, F_COLUMNS);
    }
    h.nbands = getShort(p, F_NBANDS);
    h.nindices = 0;
    h.transparent = -1;
    h.x0 = getFloat(p, F_X0);
    h.y0 = getFloat(p, F_Y0);
    h.dx = getFloat(p, F_DX);
    h.dy = getFloat(p, F_DY);
    if (h.rows < 1 || h.columns < 1 || h.nbands < 1) return refuse(name, "rows, columns and bands must be at least 1");

    int64_t block = (static_cast<int64_t>(h.columns) * h.bits - 1) / 8 + 1;
    auto data = zarn::mulSize(block, h.rows, h.nbands);
    auto end = data ? zarn::addSize(*data, kErdasHeadSize) : std::nullopt;
    if (!zarn::fitsInt(block) || !end) return refuse(name, "declared data size too large");
    if (*end > zarn::fileSize(fd)) return refuse(name, "file shorter than its declared data");
    h.block = static_cast<int>(block);
    *head = h;
    return imgid;
}

int initErdasHead(int fd, int checkSpace, ImageHead* head) {
    if (!head) return -1;
    int npack;
    int64_t block;
    const int64_t columns = head->columns;
    switch (head->pixel) {
    case PIX_4BITS: npack = 1, block = (columns + 1) / 2; break;
    case PIX_BYTE: npack = 0, block = columns; break;
    case PIX_SHORT: npack = 5, block = 2 * columns; break;
    case PIX_USHORT: npack = 2, block = 2 * columns; break;
    case PIX_LONG: npack = 3, block = 4 * columns; break;
    case PIX_FLOAT: npack = 4, block = 4 * columns; break;
    default: return -1;
    }
    const char* magic = head->imgid == IMG_E73 ? "HEADER"
                        : head->imgid == IMG_E74 ? "HEAD74"
                        : head->imgid == IMG_E74BSQ ? "E74BSQ"
                                                    : nullptr;
    if (!magic) return -1;
    // The band count is a 16-bit field.
    if (head->rows < 1 || head->columns < 1 || head->nbands < 1 || head->nbands > 32767) {
        refuse(head->file, "rows, columns and bands must be at least 1, bands at most 32767");
        return -1;
    }
    auto data = zarn::mulSize(block, head->nbands, head->rows);
    auto need = data ? zarn::addSize(*data, kErdasHeadSize) : std::nullopt;
    if (!zarn::fitsInt(block) || !need) {
        refuse(head->file, "image too large");
        return -1;
    }
    if (checkSpace) {
        double avail = zarn::freeDiskSpaceFd(fd);
        if (avail >= 0 && static_cast<double>(*need) > avail) {
            zarn::conPrintf(zarn::kStderr, "Insufficient disk space. Requested:%lld Available:%.f\n",
                            static_cast<long long>(*need), avail);
            return -1;
        }
    }

    unsigned char p[kErdasHeadSize] = {};
    std::memcpy(p, magic, 6);
    storeLE16(p + F_NPACK, static_cast<uint16_t>(npack));
    storeLE16(p + F_NBANDS, static_cast<uint16_t>(head->nbands));
    if (head->imgid == IMG_E73) {
        putFloat(p, F_COLUMNS, static_cast<float>(head->columns));
        putFloat(p, F_ROWS, static_cast<float>(head->rows));
    } else {
        storeLE32(p + F_COLUMNS, static_cast<uint32_t>(head->columns));
        storeLE32(p + F_ROWS, static_cast<uint32_t>(head->rows));
    }
    storeLE32(p + F_XSTART, static_cast<uint32_t>(head->left));
    storeLE32(p + F_YSTART, static_cast<uint32_t>(head->top));
    putFloat(p, F_X0, static_cast<float>(head->x0));
    putFloat(p, F_Y0, static_cast<float>(head->y0));
    putFloat(p, F_DX, static_cast<float>(head->dx));
    putFloat(p, F_DY, static_cast<float>(head->dy));
    if (!zarn::writeAt(fd, p, kErdasHeadSize, 0)) return -1;

    head->block = static_cast<int>(block);
    head->bits = pixelBits(head->pixel);
    // As the recogniser will read it back: nibbles first pixel high.
    head->msbf = (npack == 1 || msbFirst()) ? 1 : 0;
    head->offset = kErdasHeadSize;
    return kErdasHeadSize;
}

// ---- direct helpers of the processing applications -----------------------

int OpenOLDERDAS(const char* path, ErdasHead* head) {
    if (!path || !head) return -1;
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reportSysError(path, errno);
        return -1;
    }
    zarn::UniqueFd owned(fd);
    unsigned char p[kErdasHeadSize];
    errno = 0;
    if (zarn::readAt(fd, p, kErdasHeadSize, 0) != kErdasHeadSize) {
        reportSysError(path, errno);
        return -1;
    }
    int imgid = erdasMagicType(p);
    if (!imgid) {
        zarn::conPuts(zarn::kStderr, "Not an ERDAS file.\n");
        return -1;
    }
    ErdasHead h{};
    std::memcpy(h.magic, imgid == IMG_E73 ? "HEAD74" : reinterpret_cast<const char*>(p), 6);
    std::memcpy(h.reserved1, p + 10, sizeof h.reserved1);
    std::memcpy(h.reserved2, p + 32, sizeof h.reserved2);
    h.npack = getShort(p, F_NPACK);
    h.nbands = getShort(p, F_NBANDS);
    if (imgid == IMG_E73) {
        if (!floatToInt(getFloat(p, F_COLUMNS), 1, &h.columns) || !floatToInt(getFloat(p, F_ROWS), 1, &h.rows) ||
            !floatToInt(getFloat(p, F_XSTART), -2147483648.0, &h.xstart) ||
            !floatToInt(getFloat(p, F_YSTART), -2147483648.0, &h.ystart)) {
            refuse(path, "sizes or start not valid integers");
            return -1;
        }
    } else {
        h.columns = getInt(p, F_COLUMNS);
        h.rows = getInt(p, F_ROWS);
        h.xstart = getInt(p, F_XSTART);
        h.ystart = getInt(p, F_YSTART);
    }
    h.x0 = getFloat(p, F_X0);
    h.y0 = getFloat(p, F_Y0);
    h.dx = getFloat(p, F_DX);
    h.dy = getFloat(p, F_DY);
    if (h.columns < 1 || h.rows < 1 || h.nbands < 1) {
        refuse(path, "rows, columns and bands must be at least 1");
        return -1;
    }
    *head = h;
    return owned.release();
}

int nBitsErdas(const ErdasHead* head) {
    static constexpr int kBits[] = {8, 4, 16, 32, 32};
    long npack = head ? head->npack : -1;
    if (npack < 0 || npack > 4) {
        zarn::conPrintf(zarn::kStderr, "Unsupported NPACK %ld\n", npack);
        return 0;
    }
    return kBits[npack];
}

int64_t erdasLineBytes(const ErdasHead* head) {
    int bits = nBitsErdas(head);
    if (!bits || head->columns < 1) return -1;
    return (static_cast<int64_t>(head->columns) * bits + 4) / 8;
}

int64_t GetErdasLine(const ErdasHead* head, int fd, int band, int row, void* buffer) {
    const int64_t len = erdasLineBytes(head);
    if (len < 0) return -1;
    if (band < 0 || band >= head->nbands || row < 0 || row >= head->rows || !buffer) {
        reportSysError("lseek in GetErdasLine", EINVAL);
        return -1;
    }
    const bool bsq = std::memcmp(head->magic, "E74BSQ", 6) == 0;
    const int64_t index = bsq ? static_cast<int64_t>(band) * head->rows + row
                              : static_cast<int64_t>(row) * head->nbands + band;
    auto at = zarn::mulSize(index, len);
    auto where = at ? zarn::addSize(*at, kErdasHeadSize) : std::nullopt;
    if (!where) {
        reportSysError("lseek in GetErdasLine", EOVERFLOW);
        return -1;
    }
    const int64_t pos = *where;
    errno = 0;
    int64_t got = zarn::readAt(fd, buffer, static_cast<size_t>(len), pos);
    if (got != len) {
        int err = errno;
        zarn::conPrintf(zarn::kStderr, "headsize %d ", kErdasHeadSize);
        zarn::conPrintf(zarn::kStderr, "blocksize %lld headUnionSize %d ", static_cast<long long>(len),
                        static_cast<int>(sizeof(ErdasHead)));
        zarn::conPrintf(zarn::kStderr, "position %lld request bytes %lld\n", static_cast<long long>(pos),
                        static_cast<long long>(len));
        reportSysError("read in GetErdasLine", err);
        if (err == EFAULT) zarn::conPuts(zarn::kStderr, "Errno EFAULT\n");
        return -1;
    }
    return len;
}
