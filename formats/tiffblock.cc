// Line access of TIFF images: decoding the strip or tile row that holds a
// line into pixel-interleaved records for the cache, and writing a record
// back through the strip or tile map of an uncompressed file.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "formats/formats.h"
#include "formats/packbits.h"
#include "formats/tiffdir.h"
#include "init/output.h"
#include "ramimage/fileio.h"
#include "ramimage/fileview.h"
#include "ramimage/interleave.h"

using zarn::conPrintf;
using zarn::kStderr;

namespace {

// PackBits input read at a time, and room for an unfinished run carried
// over to the next read.
constexpr size_t kPackBitsChunk = 32 * 1024;
constexpr size_t kPackBitsCarry = 256;
constexpr int64_t kTouchStep = 65536;

// Reads n bytes at off into dst; what the file does not hold reads as 0.
void readZeroFilled(int fd, unsigned char* dst, int64_t n, int64_t off) {
    int64_t got = zarn::readAt(fd, dst, static_cast<size_t>(n), off);
    if (got < 0) got = 0;
    if (got < n) std::memset(dst + got, 0, static_cast<size_t>(n - got));
}

// Decodes one PackBits strip or tile into dst (n bytes, zero-filled past
// the data).  The compressed bytes are read in pieces small enough to stay
// in the processor's cache between the read and the decoding.
void readPackBits(RAMImage* img, TiffInfo& info, size_t piece, unsigned char* dst, int64_t n) {
    const TiffLayout& lay = info.layout;
    const int fd = img->fd;
    int64_t pos = lay.offsets[piece];
    const int64_t end = pos + lay.byteCounts[piece];  // capped by the file size at selection
    // Decoded straight from the file's pages when they can be mapped.
    if (const unsigned char* src = img->view.at(fd, pos, end - pos)) {
        size_t out = 0;
        auto decode = [&] { out = unpackBits(src, static_cast<size_t>(end - pos), dst, static_cast<size_t>(n)); };
        if (zarn::guardedRead(decode)) {
            if (static_cast<int64_t>(out) < n) std::memset(dst + out, 0, static_cast<size_t>(n - static_cast<int64_t>(out)));
            return;
        }
    }
    info.scratch.resize(kPackBitsChunk + kPackBitsCarry);
    uint8_t* in = info.scratch.data();
    size_t have = 0, out = 0;
    while (out < static_cast<size_t>(n)) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(kPackBitsChunk, end - pos));
        int64_t got = want ? zarn::readAt(fd, in + have, want, pos) : 0;
        if (got < 0) got = 0;
        pos += got;
        have += static_cast<size_t>(got);
        if (static_cast<size_t>(got) < want || pos >= end || got == 0) {
            out += unpackBits(in, have, dst + out, static_cast<size_t>(n) - out);
            break;
        }
        size_t used = 0;
        out += unpackBitsWhole(in, have, dst + out, static_cast<size_t>(n) - out, &used);
        // At most one unfinished run (kPackBitsCarry bytes) moves to the front.
        have -= used;
        std::memmove(in, in + used, have);
    }
    if (static_cast<int64_t>(out) < n) std::memset(dst + out, 0, static_cast<size_t>(n - static_cast<int64_t>(out)));
}

// Reads n lines of an uncompressed tile to their places in the block
// (stride B), keeping `copy` bytes of each W-byte tile line.
void readTileLines(int fd, TiffInfo& info, int64_t off, int n, int64_t W, int64_t copy, unsigned char* dst,
                   int64_t B) {
    // The n lines of one tile follow each other in the file: one read of
    // them all into a scratch buffer small enough to stay in the processor's
    // cache, then a copy of each line to its place, is cheaper than having
    // the kernel scatter line-sized pieces.
    const int64_t want = int64_t{n} * W;
    if (static_cast<int64_t>(info.scratch.size()) < want) info.scratch.resize(static_cast<size_t>(want));
    int64_t got = zarn::readAt(fd, info.scratch.data(), static_cast<size_t>(want), off);
    if (got < 0) got = 0;
    for (int r = 0; r < n; ++r) {
        int64_t lineAt = int64_t{r} * W;
        // Short file: what it did not hold reads as 0.
        int64_t have = std::clamp<int64_t>(got - lineAt, 0, copy);
        std::memcpy(dst + r * B, info.scratch.data() + lineAt, static_cast<size_t>(have));
        if (have < copy) std::memset(dst + r * B + have, 0, static_cast<size_t>(copy - have));
    }
}

bool readStrips(RAMImage* img, TiffInfo& info, int line, int* first, int* count, std::vector<unsigned char>& buf) {
    const TiffLayout& lay = info.layout;
    const int64_t B = img->head.block, rows = img->head.rows;
    const int s = line / lay.rowsPerStrip;
    const int start = s * lay.rowsPerStrip;
    const int stripRows = static_cast<int>(std::min<int64_t>(lay.rowsPerStrip, rows - start));
    if (lay.compression == kTiffPackBits) {
        buf.resize(static_cast<size_t>(stripRows * B));
        readPackBits(img, info, static_cast<size_t>(s), buf.data(), stripRows * B);
        *first = start;
        *count = stripRows;
        return true;
    }
    const int chunk = lay.blockLines;
    const int from = start + (line - start) / chunk * chunk;
    const int n = std::min(chunk, start + stripRows - from);
    buf.resize(static_cast<size_t>(n * B));
    readZeroFilled(img->fd, buf.data(), n * B, int64_t{lay.offsets[static_cast<size_t>(s)]} + (from - start) * B);
    *first = from;
    *count = n;
    return true;
}

bool readTiles(RAMImage* img, TiffInfo& info, int line, int* first, int* count, std::vector<unsigned char>& buf) {
    const TiffLayout& lay = info.layout;
    const int64_t B = img->head.block, W = lay.tileLineBytes;
    const int T = line / lay.tileLength;
    const int rowStart = T * lay.tileLength;
    const int rowEnd = static_cast<int>(std::min<int64_t>(int64_t{rowStart} + lay.tileLength, img->head.rows));
    const bool packed = lay.compression == kTiffPackBits;
    // PackBits tiles decode from their first line: the whole tile row.
    const int chunk = packed ? lay.tileLength : lay.blockLines;
    const int from = rowStart + (line - rowStart) / chunk * chunk;
    const int n = std::min(chunk, rowEnd - from);
    buf.resize(static_cast<size_t>(n * B));
    std::vector<unsigned char>& tile = info.tileBuf;
    for (int k = 0; k < lay.tilesAcross; ++k) {
        const int64_t col = k * W;
        if (col >= B) break;
        const int64_t copy = std::min(W, B - col);
        const size_t piece = static_cast<size_t>(T) * lay.tilesAcross + k;
        if (packed) {
            tile.resize(static_cast<size_t>(n * W));
            readPackBits(img, info, piece, tile.data(), n * W);
            for (int r = 0; r < n; ++r)
                std::memcpy(buf.data() + r * B + col, tile.data() + r * W, static_cast<size_t>(copy));
        } else {
            readTileLines(img->fd, info, lay.offsets[piece] + int64_t{from - rowStart} * W, n, W, copy, buf.data() + col,
                          B);
        }
    }
    *first = from;
    *count = n;
    return true;
}

}  // namespace

// ---- line access ------------------------------------------------------------------

bool getTiffBlock(RAMImage* img, int* line, int* count, std::vector<unsigned char>& buf) {
    TiffInfo* info = tiffInfoOf(img);
    if (!info || !line || !count || info->layout.offsets.empty()) return false;
    int l = *line;
    if (l < 0 || l >= img->head.rows) return false;
    if (info->layout.tiled) return readTiles(img, *info, l, line, count, buf);
    return readStrips(img, *info, l, line, count, buf);
}

bool tiffDirectRange(const RAMImage* img, int line, int* first, int* count) {
    const TiffInfo* info = tiffInfoOf(img);
    if (!info || line < 0 || line >= img->head.rows) return false;
    const TiffLayout& lay = info->layout;
    if (lay.compression != kTiffNoCompression || img->head.bits < 8 || lay.offsets.empty()) return false;
    const int per = lay.tiled ? lay.tileLength : lay.rowsPerStrip;
    if (per < 1) return false;
    const int rowStart = line / per * per;
    const int rowEnd = static_cast<int>(std::min<int64_t>(int64_t{rowStart} + per, img->head.rows));
    const int chunk = std::max(lay.blockLines, 1);
    *first = rowStart + (line - rowStart) / chunk * chunk;
    *count = std::min(chunk, rowEnd - *first);
    return *count > 0;
}

namespace {

// One strip's or tile's share of some lines: `lines` file lines of `stride`
// bytes from `offset`, each giving `pixels` pixels from column x0.
struct Piece {
    int64_t offset;
    int64_t stride;
    int64_t x0;
    int64_t pixels;
};

// Splits the lines of a piece from src into the band-lines, swapping the
// samples of files in the other byte order there.  Nothing in it needs
// unwinding, so it may run under guardedRead.
struct SplitPiece {
    const unsigned char* src;
    const Piece* piece;
    int lines;
    int nb;
    int sb;
    int pixel;
    bool swap;
    unsigned char* const* targets;
    void operator()() const {
        const int64_t at = piece->x0 * sb;
        splitBandRows(src, piece->stride, lines, targets, at, piece->pixels, nb, sb);
        if (swap)
            for (int64_t k = 0; k < int64_t{lines} * nb; ++k) pixelByteSwap(pixel, piece->pixels, targets[k] + at);
    }
};

// Touches one byte in each 64 KiB of a mapped range, so that its page
// faults come together (the kernel maps the pages around each fault in one
// go) rather than one by one in the middle of the splitting.
struct TouchPages {
    const unsigned char* p;
    int64_t n;
    void operator()() const {
        const volatile unsigned char* v = p;
        for (int64_t i = 0; i < n; i += kTouchStep) (void)v[i];
    }
};

}  // namespace

bool readTiffLinesInto(RAMImage* img, int first, int count, unsigned char* const* targets) {
    TiffInfo* info = tiffInfoOf(img);
    int f, c;
    if (!info || count < 1 || !tiffDirectRange(img, first, &f, &c) || first + count > f + c) return false;
    const TiffLayout& lay = info->layout;
    const ImageHead& h = img->head;
    const int nb = h.nbands;
    const int sb = static_cast<int>(pixelLineBytes(h.pixel, 1));
    // Kept between calls: a tile row is split in many small chunks.
    static thread_local std::vector<Piece> pieces;
    pieces.clear();
    if (lay.tiled) {
        const int T = first / lay.tileLength;
        const bool rowStart = first == T * lay.tileLength;
        for (int k = 0; k < lay.tilesAcross; ++k) {
            const int64_t x0 = int64_t{k} * lay.tileWidth;
            if (x0 >= h.columns) break;
            const size_t i = static_cast<size_t>(T) * lay.tilesAcross + k;
            if (i >= lay.offsets.size()) return false;
            // A tile row is about to be read a few lines at a time, from
            // many tiles in turn: its pages are mapped first, together.
            const int64_t tileBytes = lay.tileLineBytes * lay.tileLength;
            if (rowStart)
                if (const unsigned char* t = img->view.at(img->fd, lay.offsets[i], tileBytes)) {
                    TouchPages touch{t, tileBytes};
                    zarn::guardedRead(touch);
                }
            pieces.push_back({int64_t{lay.offsets[i]} + int64_t{first - T * lay.tileLength} * lay.tileLineBytes,
                              lay.tileLineBytes, x0, std::min<int64_t>(lay.tileWidth, h.columns - x0)});
        }
    } else {
        const int s = first / lay.rowsPerStrip;
        pieces.push_back({int64_t{lay.offsets[static_cast<size_t>(s)]} + int64_t{first - s * lay.rowsPerStrip} * h.block,
                          h.block, 0, h.columns});
    }
    SplitPiece split{nullptr, nullptr, count, nb, sb, h.pixel, h.msbf && sb > 1, targets};
    for (const Piece& p : pieces) {
        const int64_t want = int64_t{count} * p.stride;
        split.piece = &p;
        // Straight from the file's pages when they can be mapped.
        split.src = img->view.at(img->fd, p.offset, want);
        if (split.src && zarn::guardedRead(split)) continue;
        // Otherwise (or when the file was cut short meanwhile) one read of
        // the piece's lines into a scratch buffer small enough to stay in
        // the processor's cache; what the file does not hold reads as 0.
        if (static_cast<int64_t>(info->scratch.size()) < want) info->scratch.resize(static_cast<size_t>(want));
        readZeroFilled(img->fd, info->scratch.data(), want, p.offset);
        split.src = info->scratch.data();
        split();
    }
    return true;
}

bool putTiffLine(RAMImage* img, int line, const unsigned char* record) {
    TiffInfo* info = tiffInfoOf(img);
    if (!info || !record || line < 0 || line >= img->head.rows) return false;
    const TiffLayout& lay = info->layout;
    if (lay.compression != kTiffNoCompression) {
        conPrintf(kStderr, "Can't write to a compressed Tiff file: %s\n", img->head.file);
        return false;
    }
    const int64_t B = img->head.block;
    const int64_t size = zarn::fileSize(img->fd);
    // Writes stay inside the file: a map pointing past its end is not
    // allowed to grow it.
    auto put = [&](const unsigned char* p, int64_t n, int64_t at) {
        if (at + n > size || !zarn::writeAt(img->fd, p, static_cast<size_t>(n), at)) {
            conPrintf(kStderr, "Error in writing line %d of %s\n", line, img->head.file);
            return false;
        }
        return true;
    };
    if (!lay.tiled) {
        const int s = line / lay.rowsPerStrip;
        return put(record, B, int64_t{lay.offsets[static_cast<size_t>(s)]} + (line - s * lay.rowsPerStrip) * B);
    }
    const int64_t W = lay.tileLineBytes;
    const int T = line / lay.tileLength;
    const int64_t r = line - int64_t{T} * lay.tileLength;
    for (int k = 0; k < lay.tilesAcross; ++k) {
        const int64_t col = k * W;
        if (col >= B) break;
        const size_t piece = static_cast<size_t>(T) * lay.tilesAcross + k;
        if (!put(record + col, std::min(W, B - col), int64_t{lay.offsets[piece]} + r * W)) return false;
    }
    return true;
}

int tiffBlockLines(const RAMImage* img) {
    TiffInfo* info = tiffInfoOf(img);
    return info ? info->layout.blockLines : 0;
}

