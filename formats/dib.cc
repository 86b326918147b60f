// Uncompressed device-independent bitmaps with 1, 4, 8 or 24 bits per pixel.
// The store addresses the bottom-up rows in the file itself; this file reads
// and writes the headers and the palette.
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

constexpr int kFileHeaderBytes = 14;
constexpr int kInfoHeaderBytes = 40;  // the smallest info header we read
constexpr int kWrittenOffset = 1080;  // headers, a 256-entry palette and 2 spare bytes
constexpr uint32_t kCompressionNone = 0;

// The fields of the file and info headers that matter here.
struct DibHeader {
    uint32_t dataOffset = 0;
    uint32_t infoSize = 0;
    int32_t width = 0;
    int32_t height = 0;
    int bitCount = 0;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
};

// Reads the 2 + 12 + 40 bytes at the start of the file; false when they are
// missing or the magic is not "BM".
bool readDibHeader(int fd, DibHeader* h) {
    unsigned char b[kFileHeaderBytes + kInfoHeaderBytes];
    if (zarn::readAt(fd, b, sizeof b, 0) != static_cast<int64_t>(sizeof b)) return false;
    if (b[0] != 'B' || b[1] != 'M') return false;
    h->dataOffset = loadLE32(b + 10);
    h->infoSize = loadLE32(b + 14);
    h->width = static_cast<int32_t>(loadLE32(b + 18));
    h->height = static_cast<int32_t>(loadLE32(b + 22));
    h->bitCount = loadLE16(b + 28);
    h->compression = loadLE32(b + 30);
    h->colorsUsed = loadLE32(b + 46);
    return true;
}

int paletteLimit(int bitCount) { return bitCount <= 8 ? 1 << bitCount : 0; }

int64_t rowBytes(int bitCount, int64_t columns) { return (bitCount * columns + 31) / 32 * 4; }

// Palette entries the file really holds: as many as it declares (all the
// bit count allows when it declares none), but never reaching into the pixel
// data, whatever the size of the info header before them.
int filePaletteEntries(const DibHeader& h) {
    int64_t declared = paletteLimit(h.bitCount);
    if (h.colorsUsed != 0 && h.colorsUsed < static_cast<uint32_t>(declared)) declared = h.colorsUsed;
    int64_t start = int64_t{kFileHeaderBytes} + h.infoSize;
    int64_t room = (static_cast<int64_t>(h.dataOffset) - start) / 4;
    if (room < 0) room = 0;
    return static_cast<int>(declared < room ? declared : room);
}

int64_t paletteStart(const DibHeader& h) { return int64_t{kFileHeaderBytes} + h.infoSize; }

void greyRamp(ImageHead* head, int entries) {
    for (int i = 0; i < entries; ++i) {
        auto v = static_cast<unsigned char>(entries > 1 ? i * 255 / (entries - 1) : 0);
        head->colorTable[i][0] = head->colorTable[i][1] = head->colorTable[i][2] = v;
    }
}

}  // namespace

// Fills the head from the info header; 0 (after the message) for a bit count
// that is not 1, 4, 8 or 24.
static int initDIB_Bi(ImageHead* head, const DibHeader& h) {
    switch (h.bitCount) {
    case 1: head->pixel = PIX_1BIT; head->nbands = 1; head->msbf = 1; break;
    case 4: head->pixel = PIX_4BITS; head->nbands = 1; head->msbf = 1; break;
    case 8: head->pixel = PIX_BYTE; head->nbands = 1; head->msbf = 0; break;
    case 24: head->pixel = PIX_BYTE; head->nbands = 3; head->msbf = 0; break;
    default:
        zarn::conPuts(zarn::kStderr, "Error in initDIB_Bi: invalid BitCount.\n");
        return 0;
    }
    head->bits = head->nbands == 3 ? 8 : h.bitCount;
    head->nindices = paletteLimit(h.bitCount);
    head->columns = h.width;
    head->rows = h.height;
    head->imgid = IMG_DIB;
    head->mapid = MAP_GRID;
    head->top = head->left = 0;
    head->transparent = -1;
    head->x0 = head->y0 = 0;
    head->dx = head->dy = 1.0;
    return 1;
}

// Converts n palette entries (blue, green, red, reserved) into the colour
// table (red, green, blue).
static void initDIB_RGB(ImageHead* head, const unsigned char* pal, int n) {
    head->nindices = n;
    for (int i = 0; i < n; ++i) {
        head->colorTable[i][0] = pal[4 * i + 2];
        head->colorTable[i][1] = pal[4 * i + 1];
        head->colorTable[i][2] = pal[4 * i];
    }
}

int imgDIB(int fd, const char*, ImageHead* out, HandlerPtr*) {
    DibHeader h;
    if (!readDibHeader(fd, &h)) return 0;
    // Smaller (core) info headers lay their fields out differently.
    if (h.infoSize < kInfoHeaderBytes) return 0;
    // Filled in a copy: a refused file leaves the caller's head untouched.
    ImageHead copy = *out;
    ImageHead* head = &copy;
    if (!initDIB_Bi(head, h)) return 0;
    if (h.compression != kCompressionNone) {
        zarn::conPuts(zarn::kStderr, "DIB: compressed bitmaps are not supported.\n");
        return -1;
    }
    // Negative heights (top-down rows) and widths are refused with the rest.
    if (h.width <= 0 || h.height <= 0) {
        zarn::conPrintf(zarn::kStderr, "DIB: invalid size %d x %d.\n", h.width, h.height);
        return -1;
    }
    int64_t block = rowBytes(h.bitCount, h.width);
    auto data = zarn::mulSize(block, h.height);
    auto end = data ? zarn::addSize(*data, h.dataOffset) : std::nullopt;
    int64_t size = zarn::fileSize(fd);
    if (!zarn::fitsInt(block) || !zarn::fitsInt(h.dataOffset) || !end || *end > size ||
        h.dataOffset < uint32_t{kFileHeaderBytes + kInfoHeaderBytes}) {
        zarn::conPrintf(zarn::kStderr, "DIB: %d x %d pixels do not fit in the file.\n", h.width, h.height);
        return -1;
    }
    head->block = static_cast<int>(block);
    head->offset = static_cast<int>(h.dataOffset);

    int entries = filePaletteEntries(h);
    if (entries > 0) {
        std::vector<unsigned char> pal(static_cast<size_t>(entries) * 4);
        int64_t got = zarn::readAt(fd, pal.data(), pal.size(), paletteStart(h));
        entries = got > 0 ? static_cast<int>(got / 4) : 0;
        if (entries > 0) initDIB_RGB(head, pal.data(), entries);
    }
    // A colour-index bitmap without any palette shows its indices as greys.
    if (entries == 0 && head->nindices > 0) greyRamp(head, head->nindices);
    *out = copy;
    return IMG_DIB;
}

int initDIBHead(int fd, int checkSpace, ImageHead* head) {
    int bitCount, limit;
    if (head->pixel == PIX_1BIT && head->nbands == 1) {
        bitCount = 1;
    } else if (head->pixel == PIX_4BITS && head->nbands == 1) {
        bitCount = 4;
    } else if (head->pixel == PIX_BYTE && (head->nbands == 1 || head->nbands == 3)) {
        bitCount = head->nbands == 1 ? 8 : 24;
    } else {
        zarn::conPuts(zarn::kStderr, "DIB: only 1, 4 or 8 bit single band and 24 bit images can be written.\n");
        return -1;
    }
    limit = paletteLimit(bitCount);
    if (head->rows < 1 || head->columns < 1) return -1;
    int64_t block = rowBytes(bitCount, head->columns);
    auto data = zarn::mulSize(block, head->rows);
    auto total = data ? zarn::addSize(*data, kWrittenOffset) : std::nullopt;
    if (!zarn::fitsInt(block) || !total || *total > int64_t{UINT32_MAX}) {
        zarn::conPrintf(zarn::kStderr, "DIB: %d x %d pixels are too large for a DIB.\n", head->columns, head->rows);
        return -1;
    }
    if (checkSpace) {
        double avail = zarn::freeDiskSpaceFd(fd);
        if (avail >= 0 && static_cast<double>(*total) >= avail) {
            zarn::conPrintf(zarn::kStderr, "Insufficient disk space. Request:%ld Available:%.f\n",
                            static_cast<long>(*total), avail);
            return -1;
        }
    }

    // The palette: the head's colours, or greys when the head has no colour
    // table (none at all, or one that is still all zero) so the bitmap does
    // not open as a black picture in other programs.
    int entries = head->nindices < limit ? head->nindices : limit;
    bool anyColour = false;
    for (int i = 0; i < entries; ++i)
        anyColour |= head->colorTable[i][0] || head->colorTable[i][1] || head->colorTable[i][2];
    std::vector<unsigned char> pal;
    if (limit > 0) {
        ImageHead grey;
        const ImageHead* src = head;
        if (!anyColour) {
            grey = *head;
            greyRamp(&grey, limit);
            src = &grey;
            entries = limit;
        }
        pal.assign(static_cast<size_t>(entries) * 4, 0);
        for (int i = 0; i < entries; ++i) {
            pal[4 * i] = src->colorTable[i][2];
            pal[4 * i + 1] = src->colorTable[i][1];
            pal[4 * i + 2] = src->colorTable[i][0];
        }
    }

    unsigned char hdr[kFileHeaderBytes + kInfoHeaderBytes] = {};
    hdr[0] = 'B';
    hdr[1] = 'M';
    storeLE32(hdr + 2, static_cast<uint32_t>(*total));
    storeLE32(hdr + 10, kWrittenOffset);
    storeLE32(hdr + 14, kInfoHeaderBytes);
    storeLE32(hdr + 18, static_cast<uint32_t>(head->columns));
    storeLE32(hdr + 22, static_cast<uint32_t>(head->rows));
    storeLE16(hdr + 26, 1);
    storeLE16(hdr + 28, static_cast<uint16_t>(bitCount));
    // A short palette says how many entries it has, so readers do not take
    // the zero bytes after it for colours.
    storeLE32(hdr + 46, entries < limit ? static_cast<uint32_t>(entries) : 0);
    if (!zarn::writeAt(fd, hdr, sizeof hdr, 0)) return -1;
    if (!pal.empty() && !zarn::writeAt(fd, pal.data(), pal.size(), sizeof hdr)) return -1;

    head->block = static_cast<int>(block);
    head->offset = kWrittenOffset;
    head->bits = bitCount == 24 ? 8 : bitCount;
    // Packed pixels keep the first pixel in the high bits, as on reading.
    head->msbf = bitCount < 8 ? 1 : 0;
    return kWrittenOffset;
}

int updateDIBIndices(int fd, ImageHead* head) {
    if (head->nbands != 1 || head->nindices < 1) return 0;
    DibHeader h;
    if (!readDibHeader(fd, &h) || h.infoSize < kInfoHeaderBytes || h.compression != kCompressionNone) return 0;
    int wantPixel = h.bitCount == 1 ? PIX_1BIT : h.bitCount == 4 ? PIX_4BITS : h.bitCount == 8 ? PIX_BYTE : -1;
    if (wantPixel != head->pixel) return 0;
    // Only the entries the file has: writing more would overwrite pixels.
    int entries = filePaletteEntries(h);
    if (head->nindices < entries) entries = head->nindices;
    if (entries < 1) return 0;
    std::vector<unsigned char> pal(static_cast<size_t>(entries) * 4);
    if (zarn::readAt(fd, pal.data(), pal.size(), paletteStart(h)) != static_cast<int64_t>(pal.size())) return 0;
    for (int i = 0; i < entries; ++i) {
        pal[4 * i] = head->colorTable[i][2];
        pal[4 * i + 1] = head->colorTable[i][1];
        pal[4 * i + 2] = head->colorTable[i][0];
    }
    if (!zarn::writeAt(fd, pal.data(), pal.size(), paletteStart(h))) return 0;
    return entries;
}
