// The TIFF handler: recognition and directory selection (the strip or tile
// map of each directory), volume seeking and colour-map updates.  The
// reading and writing of lines through that map is in tiffblock.cc.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/formats.h"
#include "formats/tiffdir.h"
#include "init/output.h"
#include "ramimage/fileio.h"
#include "ramimage/hist.h"

using zarn::conPrintf;
using zarn::kStderr;

namespace {

// Uncompressed strips can be read from any line, so a tall strip is handed
// to the cache in chunks of about this many bytes.
constexpr int64_t kChunkBytes = 256 * 1024;
// PackBits turns at most 2 bytes into 128.
constexpr int64_t kPackBitsRatio = 64;

int64_t divUp(int64_t a, int64_t b) { return (a + b - 1) / b; }

struct PixelChoice {
    int pixel;
    int bytes;  // bytes a sample, 0 for the packed types
};

// Pixel type of a sample layout; pixel PIX_UNKNOWN when not readable.
PixelChoice choosePixel(uint32_t bits, uint32_t format) {
    switch (bits) {
    case 1: return {PIX_1BIT, 0};
    case 4: return {PIX_4BITS, 0};
    case 8: return {PIX_BYTE, 1};
    case 16:
        if (format == 1) return {PIX_USHORT, 2};
        if (format == 2) return {PIX_SHORT, 2};
        break;
    case 32:
        if (format == 1) return {PIX_ULONG, 4};
        if (format == 2) return {PIX_LONG, 4};
        if (format == 3) return {PIX_FLOAT, 4};
        break;
    default: break;
    }
    return {PIX_UNKNOWN, 0};
}

uint32_t tagOr(int fd, int order, const TiffIFD* ifd, int tag, uint32_t dflt) {
    uint32_t v;
    return getTiffUint(fd, order, ifd, tag, 0, &v) ? v : dflt;
}

// Builds the strip or tile map of a directory; -1 after a message.
int readLayout(int fd, int order, const TiffIFD* ifd, const ImageHead& h, int64_t fileBytes, TiffLayout& lay) {
    int64_t comp = getTiffCompression(ifd);
    lay.compression = comp == kTiffPackBits ? kTiffPackBits : kTiffNoCompression;
    const TiffEntry* tw = findTiffEntry(ifd, kTagTileWidth);
    const TiffEntry* tl = findTiffEntry(ifd, kTagTileLength);
    lay.tiled = tw || tl;
    int64_t rows = h.rows, block = h.block;
    int64_t needed, pieceBytes;
    if (lay.tiled) {
        uint32_t w = tagOr(fd, order, ifd, kTagTileWidth, 0);
        uint32_t l = tagOr(fd, order, ifd, kTagTileLength, 0);
        int64_t lineBits = int64_t{w} * h.bits * h.nbands;
        if (w == 0 || l == 0 || w > INT32_MAX || l > INT32_MAX || lineBits % 8 != 0) {
            conPrintf(kStderr, "Can't read Tiff with tile size %ux%u\n", w, l);
            return -1;
        }
        lay.tileWidth = static_cast<int>(w);
        lay.tileLength = static_cast<int>(l);
        lay.tileLineBytes = lineBits / 8;
        lay.tilesAcross = static_cast<int>(divUp(h.columns, w));
        lay.tilesDown = static_cast<int>(divUp(rows, l));
        // Uncompressed tile lines can be read from any line too: a tall tile
        // row goes to the cache in chunks, like a tall strip, small enough
        // that the band-lines being filled stay in the processor's cache.
        lay.blockLines = static_cast<int>(std::min<int64_t>(l, rows));
        if (lay.compression == kTiffNoCompression)
            lay.blockLines = static_cast<int>(std::clamp<int64_t>(kChunkBytes / block, 1, lay.blockLines));
        needed = int64_t{lay.tilesAcross} * lay.tilesDown;
        auto tb = zarn::mulSize(lay.tileLineBytes, l);
        if (!tb || *tb > cacheByteLimit()) {
            conPrintf(kStderr, "Can't read Tiff with tile size %ux%u\n", w, l);
            return -1;
        }
        pieceBytes = *tb;
    } else {
        uint32_t rps = tagOr(fd, order, ifd, kTagRowsPerStrip, 0);
        // 0, absent or more than the image: one strip holds every row.
        lay.rowsPerStrip = rps == 0 || rps > rows ? static_cast<int>(rows) : static_cast<int>(rps);
        needed = divUp(rows, lay.rowsPerStrip);
        pieceBytes = lay.rowsPerStrip * block;
        if (lay.compression == kTiffPackBits)
            lay.blockLines = lay.rowsPerStrip;
        else
            lay.blockLines = static_cast<int>(std::clamp<int64_t>(kChunkBytes / block, 1, lay.rowsPerStrip));
    }
    if (int64_t{lay.blockLines} * block > cacheByteLimit()) {
        conPrintf(kStderr, "Tiff strip of %lld lines exceeds the cache limit\n", static_cast<long long>(lay.blockLines));
        return -1;
    }
    // Tiled files keep their map in TileOffsets/TileByteCounts; a few old
    // writers used the strip tags for tiles too.
    const TiffEntry* offs = findTiffEntry(ifd, lay.tiled ? kTagTileOffsets : kTagStripOffsets);
    if (!offs && lay.tiled) offs = findTiffEntry(ifd, kTagStripOffsets);
    const TiffEntry* cnts = findTiffEntry(ifd, lay.tiled ? kTagTileByteCounts : kTagStripByteCounts);
    if (!cnts && lay.tiled) cnts = findTiffEntry(ifd, kTagStripByteCounts);
    if (!offs || (offs->type != kTiffShort && offs->type != kTiffLong) ||
        !readTiffUints(fd, order, *offs, lay.offsets)) {
        conPrintf(kStderr, "Fail to find Tiff strip offset.\n");
        return -1;
    }
    // One strip with a RowsPerStrip below the rows: the strip holds them all.
    if (!lay.tiled && lay.offsets.size() == 1 && needed > 1) {
        lay.rowsPerStrip = static_cast<int>(rows);
        needed = 1;
        lay.blockLines = lay.compression == kTiffPackBits
                             ? lay.rowsPerStrip
                             : static_cast<int>(std::clamp<int64_t>(kChunkBytes / block, 1, lay.rowsPerStrip));
        if (int64_t{lay.blockLines} * block > cacheByteLimit()) {
            conPrintf(kStderr, "Tiff strip of %lld lines exceeds the cache limit\n",
                      static_cast<long long>(lay.blockLines));
            return -1;
        }
    }
    if (static_cast<int64_t>(lay.offsets.size()) < needed) {
        conPrintf(kStderr, "Tiff has %zu strip or tile offsets, the image needs %lld\n", lay.offsets.size(),
                  static_cast<long long>(needed));
        return -1;
    }
    lay.offsets.resize(static_cast<size_t>(needed));
    lay.byteCounts.clear();
    if (cnts && (cnts->type == kTiffShort || cnts->type == kTiffLong) &&
        readTiffUints(fd, order, *cnts, lay.byteCounts) && static_cast<int64_t>(lay.byteCounts.size()) >= needed)
        lay.byteCounts.resize(static_cast<size_t>(needed));
    else
        lay.byteCounts.clear();

    // The data a directory declares must be in the file: this bounds the work
    // of reading every line by the file's size.
    // Tiles: needed is at most the offsets the file holds, but a tile can be
    // as large as the cache limit, so the product is checked.
    auto declared = lay.tiled ? zarn::mulSize(needed, pieceBytes) : zarn::mulSize(rows, block);
    const int64_t total = declared ? *declared : INT64_MAX;
    if (lay.compression == kTiffNoCompression) {
        if (total > fileBytes) {
            conPrintf(kStderr, "Tiff pixel data (%lld bytes) exceeds the file size\n", static_cast<long long>(total));
            return -1;
        }
    } else {
        if (lay.byteCounts.empty()) {
            conPrintf(kStderr, "Tiff PackBits data without byte counts\n");
            return -1;
        }
        int64_t sum = 0;
        for (size_t i = 0; i < lay.offsets.size(); ++i) {
            int64_t room = std::max<int64_t>(0, fileBytes - lay.offsets[i]);
            lay.byteCounts[i] = static_cast<uint32_t>(std::min<int64_t>(lay.byteCounts[i], room));
            sum += lay.byteCounts[i];
        }
        if (sum > fileBytes || total > kPackBitsRatio * sum) {
            conPrintf(kStderr, "Tiff PackBits data too short for the image\n");
            return -1;
        }
    }
    return 0;
}

// Fills head and the layout from directory `index` (1-based); 1, or -1 after
// a message.  Nothing is changed on failure.
int readDirectory(int fd, const TiffInfo& info, int index, ImageHead& head, TiffLayout& layOut, int& georef) {
    const TiffIFD* ifd = info.dir->ifds[static_cast<size_t>(index - 1)].get();
    const int order = info.byteOrder;
    ImageHead h = head;
    int64_t comp = getTiffCompression(ifd);
    if (!(comp < 2 || comp == kTiffPackBits)) {
        conPrintf(kStderr, "Can't read Tiff with compression code:%d\n", static_cast<int>(comp));
        return -1;
    }
    uint32_t width = tagOr(fd, order, ifd, kTagImageWidth, 0);
    uint32_t length = tagOr(fd, order, ifd, kTagImageLength, 0);
    if (width == 0 || length == 0 || width > INT32_MAX || length > INT32_MAX) {
        conPrintf(kStderr, "Can't read Tiff of %u x %u pixels\n", width, length);
        return -1;
    }
    uint32_t spp = tagOr(fd, order, ifd, kTagSamplesPerPixel, 1);
    uint32_t bits = tagOr(fd, order, ifd, kTagBitsPerSample, 1);
    uint32_t format = tagOr(fd, order, ifd, kTagSampleFormat, 1);
    PixelChoice pc = choosePixel(bits, format);
    if (pc.pixel == PIX_UNKNOWN || spp == 0 || spp > 65535) {
        conPrintf(kStderr, "Can't read Tiff with %u-bit samples of sample format %u\n", bits, format);
        return -1;
    }
    // Every sample must have the same depth: the cache has one pixel type.
    for (uint32_t i = 1; i < spp; ++i) {
        uint32_t b;
        if (getTiffUint(fd, order, ifd, kTagBitsPerSample, i, &b) && b != bits) {
            conPrintf(kStderr, "Can't read Tiff with samples of different depths\n");
            return -1;
        }
    }
    if (bits < 8 && spp > 1) {
        conPrintf(kStderr, "Can't read Tiff with %u samples of %u bits\n", spp, bits);
        return -1;
    }
    if (spp > 1 && tagOr(fd, order, ifd, kTagPlanarConfig, 1) == 2) {
        conPrintf(kStderr, "Can't read Tiff with separate sample planes\n");
        return -1;
    }
    int64_t block;
    if (pc.pixel == PIX_1BIT)
        block = (int64_t{width} - 1) / 8 + 1;
    else if (pc.pixel == PIX_4BITS)
        block = (int64_t{width} + 1) / 2;
    else
        block = int64_t{spp} * width * pc.bytes;
    if (!zarn::fitsInt(block)) {
        conPrintf(kStderr, "Can't read Tiff of %u x %u pixels\n", width, length);
        return -1;
    }
    h.imgid = IMG_TIFF;
    h.mapid = MAP_GRID;
    h.pixel = pc.pixel;
    h.bits = static_cast<int>(bits);
    h.nbands = static_cast<int>(spp);
    h.columns = static_cast<int>(width);
    h.rows = static_cast<int>(length);
    h.block = static_cast<int>(block);
    h.top = h.left = 0;
    h.msbf = order == kTiffBig ? 1 : 0;
    // Packed pixels go high bits first, unless FillOrder 2 says otherwise.
    if (bits < 8) h.msbf = !(bits == 1 && tagOr(fd, order, ifd, 266, 1) == 2);
    h.nvolumes = info.dir->ndirs;
    h.transparent = -1;
    uint32_t nOffsets = 0;
    int64_t offField = getTiffStripOffsets(ifd, &nOffsets);
    const TiffEntry* tileOffs = findTiffEntry(ifd, kTagTileOffsets);
    if (tileOffs) offField = tileOffs->value;
    // The raw unsigned field, kept bit for bit in the signed head field.
    h.offset = static_cast<int>(static_cast<uint32_t>(offField < 0 ? 0 : offField));

    TiffLayout lay;
    if (readLayout(fd, order, ifd, h, std::max<int64_t>(0, zarn::fileSize(fd)), lay) < 0) return -1;

    // Map origin: y grows downwards in map units as rows go down, so the
    // origin lies J pixels above the tie point.
    double scale[3] = {1.0, 1.0, 0.0}, tie[6] = {0, 0, 0, 0, 0, 0};
    h.dx = h.dy = 1.0;
    h.x0 = h.y0 = 0.0;
    georef = 0;
    if (getGeoTiffPixelScales(fd, ifd, order, scale) == 3 && std::isfinite(scale[0]) && std::isfinite(scale[1])) {
        h.dx = scale[0];
        h.dy = scale[1];
    }
    if (getGeoTiffTiePoints(fd, ifd, order, tie) == 6) {
        double x0 = tie[3] - tie[0] * h.dx, y0 = tie[4] + tie[1] * h.dy;
        if (std::isfinite(x0) && std::isfinite(y0)) {
            h.x0 = x0;
            h.y0 = y0;
            georef = 1;
        }
    }

    h.nindices = 0;
    int n = getTiffColormap(fd, ifd, h.colorTable, order);
    if (n > 0) h.nindices = n / 3;
    if (h.nindices == 0 && pc.pixel == PIX_1BIT) {
        bool blackIsZero = getTiffPhotometricInterpretation(ifd) == 1;
        unsigned char zero = blackIsZero ? 0 : 255;
        h.nindices = 2;
        std::memset(h.colorTable[0], zero, 3);
        std::memset(h.colorTable[1], 255 - zero, 3);
    }
    head = h;
    layOut = std::move(lay);
    return 1;
}

void recordSelection(TiffInfo& info, int index, int georef) {
    const TiffIFD* ifd = info.dir->ifds[static_cast<size_t>(index - 1)].get();
    info.current = index;
    info.georef = georef;
    info.compression = static_cast<int>(getTiffCompression(ifd));
    info.tileWidth = info.layout.tiled ? info.layout.tileWidth : -1;
    info.tileLength = info.layout.tiled ? info.layout.tileLength : -1;
    info.nstrips = static_cast<int>(info.layout.offsets.size());
    info.rowsPerStrip = getTiffRowsPerStrip(ifd);
    info.stripByteCounts = static_cast<uint32_t>(std::max<int64_t>(0, getTiffBytesPerStrip(ifd)));
}

}  // namespace

// ---- recognition ---------------------------------------------------------------

int imgTiff(int fd, const char* name, ImageHead* head, HandlerPtr* priv) {
    TiffHeader th;
    if (!head || getTiffHead(fd, &th) == 0) return 0;
    TiffDirPtr dir = getTiffDir(fd);
    if (!dir) return 0;
    auto info = std::make_unique<TiffInfo>();
    info->byteOrder = dir->byteOrder;
    info->dir = std::move(dir);
    int georef = 0;
    if (readDirectory(fd, *info, 1, *head, info->layout, georef) < 0) return -1;
    recordSelection(*info, 1, georef);
    if (priv) *priv = std::move(info);
    return IMG_TIFF;
}

// ---- volumes ------------------------------------------------------------------------

namespace {

bool sameGeometry(const ImageHead& a, const ImageHead& b) {
    return a.rows == b.rows && a.columns == b.columns && a.nbands == b.nbands && a.pixel == b.pixel &&
           a.block == b.block;
}

// Lines per band of a fresh cache, as the store sizes it at creation.
int initialCacheLines(const ImageHead& h, int64_t lineBytes) {
    int64_t per = std::max<int64_t>(1, int64_t{h.nbands} * (lineBytes + 4));
    return static_cast<int>(std::clamp<int64_t>(0x3FFFF / per, 4, 127));
}

}  // namespace

int tiffSeek(RAMImage* img, int volume) {
    TiffInfo* info = tiffInfoOf(img);
    if (!info || !info->dir) return -1;
    const int n = info->dir->ndirs;
    if (img->volumeCount < 0) img->volumeCount = n;
    int target;
    if (volume == 0) {
        target = info->current + 1;
        if (target > n) return -2;
    } else if (volume < 0 || volume > n) {
        target = n;
    } else {
        target = volume;
    }
    if (target == info->current) {
        img->curVolume = target;
        return target;
    }
    ImageHead h = img->head;
    TiffLayout lay;
    int georef = 0;
    if (readDirectory(img->fd, *info, target, h, lay, georef) < 0) return -1;
    // Edits of the current directory go to its own strips before the cache
    // is dropped.
    if (!flushRAMImage(img)) return -1;
    const bool reshape = !sameGeometry(h, img->head);
    if (reshape) {
        ImageHead oldHead = img->head;
        int64_t oldLineBytes = img->lineBytes;
        TiffLayout oldLay = std::move(info->layout);
        int oldLines = img->cacheLines;
        img->head = h;
        img->lineBytes = pixelLineBytes(h.pixel, h.columns);
        info->layout = std::move(lay);
        if (setRAMImageBuf(img, initialCacheLines(h, img->lineBytes)) == 0) {
            img->head = oldHead;
            img->lineBytes = oldLineBytes;
            info->layout = std::move(oldLay);
            setRAMImageBuf(img, oldLines);
            conPrintf(kStderr, "Can't make a cache for Tiff directory %d\n", target);
            return -1;
        }
        deleteHist(img);
    } else {
        img->head = h;
        info->layout = std::move(lay);
        inValidateRAMImage(img);
        for (auto& hr : img->hist) initHist(hr);
    }
    recordSelection(*info, target, georef);
    img->dataOffset = static_cast<uint32_t>(img->head.offset);
    img->curVolume = target;
    if (reshape) updateClient(img, nullptr, RIMG_CONFIG);
    return target;
}

int updateTiffIndices(int fd, ImageHead* head, HandlerData* priv) {
    auto* info = dynamic_cast<TiffInfo*>(priv);
    if (!info || !head || !info->dir) return 0;
    const TiffIFD* ifd = info->dir->ifds[static_cast<size_t>(info->current - 1)].get();
    return putTiffColormap(fd, ifd, head->colorTable, info->byteOrder);
}
