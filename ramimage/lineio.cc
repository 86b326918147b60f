// Band-line access through the direct-mapped cache: finding a (line, band) in
// its slot, filling a missed slot from the file in each storage layout,
// writing modified slots back, and selecting volumes.
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

#include "formats/formats.h"
#include "init/output.h"
#include "ramimage/fileio.h"
#include "ramimage/hist.h"
#include "ramimage/interleave.h"
#include "ramimage/ramimage.h"

namespace {

int sampleBytes(int pixel) {
    switch (pixel) {
    case PIX_SHORT:
    case PIX_USHORT: return 2;
    case PIX_LONG:
    case PIX_FLOAT:
    case PIX_ULONG: return 4;
    default: return 1;
    }
}

bool subByte(int pixel) { return pixel == PIX_1BIT || pixel == PIX_4BITS; }

// Samples of the layouts whose file order may differ from the host's.
bool needsSwap(const RAMImage* img) { return img->head.msbf && sampleBytes(img->head.pixel) > 1; }

unsigned char* zeroLine(RAMImage* img) {
    size_t n = static_cast<size_t>(std::max<int64_t>({img->lineBytes, int64_t{img->head.block}, int64_t{1}}));
    img->scratch.assign(n, 0);
    return img->scratch.data();
}

// Bytes one band takes in a pixel-interleaved record.
int64_t recordBytes(const RAMImage* img) {
    const ImageHead& h = img->head;
    if (subByte(h.pixel)) return img->lineBytes * h.nbands;
    return int64_t{sampleBytes(h.pixel)} * h.columns * h.nbands;
}

// Reads `n` bytes at `pos`, zero-filling whatever the file does not hold.
void readZeroFilled(int fd, unsigned char* dst, int64_t n, int64_t pos) {
    int64_t got = zarn::readAt(fd, dst, static_cast<size_t>(n), pos);
    if (got < 0) got = 0;
    if (got < n) std::memset(dst + got, 0, static_cast<size_t>(n - got));
}

// Splits one record into per-band lines (dst[b] for band b).
void splitLine(const RAMImage* img, const unsigned char* rec, unsigned char* const* dst) {
    const ImageHead& h = img->head;
    if (subByte(h.pixel)) {
        for (int b = 0; b < h.nbands; ++b)
            std::memcpy(dst[b], rec + b * img->lineBytes, static_cast<size_t>(img->lineBytes));
        return;
    }
    splitBands(rec, dst, h.columns, h.nbands, sampleBytes(h.pixel));
}

void joinLine(const RAMImage* img, unsigned char* rec, const unsigned char* const* src) {
    const ImageHead& h = img->head;
    if (subByte(h.pixel)) {
        for (int b = 0; b < h.nbands; ++b)
            std::memcpy(rec + b * img->lineBytes, src[b], static_cast<size_t>(img->lineBytes));
        return;
    }
    joinBands(rec, src, h.columns, h.nbands, sampleBytes(h.pixel));
}

// File position of the record (or band-line) of `line`.
int64_t recordPos(const RAMImage* img, int line, int band) {
    const ImageHead& h = img->head;
    const int64_t blk = h.block;
    switch (h.imgid) {
    case IMG_BSQ:
    case IMG_E74BSQ: return img->dataOffset + (int64_t{band} * h.rows + line) * blk;
    case IMG_DIB: return img->dataOffset + (int64_t{h.rows} - line - 1) * blk;
    case IMG_BIP:
    case IMG_FFT:
    case IMG_PPM:
    case IMG_TIFF: return img->dataOffset + int64_t{line} * blk;
    default: return img->dataOffset + (int64_t{line} * h.nbands + band) * blk;
    }
}

bool isLineLayout(int imgid) {
    switch (imgid) {
    case IMG_BSQ:
    case IMG_E74BSQ:
    case IMG_BIL:
    case IMG_E73:
    case IMG_E74:
    case IMG_ELAS:
    case IMG_MBIL: return true;
    default: return false;
    }
}

bool isRecordLayout(const RAMImage* img) {
    switch (img->head.imgid) {
    case IMG_BIP:
    case IMG_FFT:
    case IMG_PPM:
    case IMG_TIFF: return true;
    case IMG_DIB: return img->head.nbands > 1;
    default: return false;
    }
}

void reportReadOnly(const RAMImage* img) {
    zarn::conPrintf(zarn::kStderr, "Can't write to the read-only image file: %s\n", img->head.file);
}

// Writes a pixel-interleaved record of `line`, built from the slots of the
// bands that hold it and, for any band that does not, from the file.
bool flushRecord(RAMImage* img, int line) {
    const ImageHead& h = img->head;
    const int nb = h.nbands;
    const int64_t recBytes = std::max<int64_t>(recordBytes(img), h.block);
    std::vector<unsigned char> rec(static_cast<size_t>(recBytes), 0);
    std::vector<const unsigned char*> src(static_cast<size_t>(nb));
    std::vector<unsigned char> fromFile;
    bool allCached = true;
    for (int b = 0; b < nb; ++b) {
        int64_t idx = int64_t{line} * nb + b;
        int64_t slot = img->slotOf(idx);
        if (img->slotLine[slot] == idx) {
            src[b] = img->slotPtr(slot);
        } else {
            allCached = false;
            src[b] = nullptr;
        }
    }
    if (!allCached) {
        // Some band of this line left the cache: take it from the file so the
        // rewritten record keeps it.
        std::vector<unsigned char> fileRec(static_cast<size_t>(recBytes), 0);
        if (h.imgid == IMG_TIFF) {
            int first = line, count = 0;
            std::vector<unsigned char> block;
            if (getTiffBlock(img, &first, &count, block) && line >= first && line < first + count &&
                static_cast<int64_t>(block.size()) >= int64_t{line - first + 1} * h.block)
                std::memcpy(fileRec.data(), block.data() + int64_t{line - first} * h.block,
                            static_cast<size_t>(std::min<int64_t>(recBytes, h.block)));
        } else {
            readZeroFilled(img->fd, fileRec.data(), h.block, recordPos(img, line, 0));
        }
        if (needsSwap(img)) pixelByteSwap(h.pixel, recBytes / sampleBytes(h.pixel), fileRec.data());
        fromFile.assign(static_cast<size_t>(img->lineBytes) * nb, 0);
        std::vector<unsigned char*> dst(static_cast<size_t>(nb));
        for (int b = 0; b < nb; ++b) dst[b] = fromFile.data() + b * img->lineBytes;
        splitLine(img, fileRec.data(), dst.data());
        for (int b = 0; b < nb; ++b)
            if (!src[b]) src[b] = dst[b];
    }
    joinLine(img, rec.data(), src.data());
    if (needsSwap(img)) pixelByteSwap(h.pixel, recordBytes(img) / sampleBytes(h.pixel), rec.data());
    bool ok;
    if (h.imgid == IMG_TIFF)
        ok = putTiffLine(img, line, rec.data());
    else
        ok = zarn::writeAt(img->fd, rec.data(), static_cast<size_t>(h.block), recordPos(img, line, 0));
    for (int b = 0; b < nb; ++b) {
        int64_t idx = int64_t{line} * nb + b;
        int64_t slot = img->slotOf(idx);
        if (img->slotLine[slot] == idx) img->dirtyBits[slot] = 0;
    }
    if (!ok && h.imgid != IMG_TIFF)
        zarn::conPrintf(zarn::kStderr, "Error in writing line %d of %s\n", line, h.file);
    return ok;
}

// Reads the band-line `idx` into `slot` and, when the misses walk through the
// file one record after another (a scan along the lines of a band-line
// layout), the next band-lines of the scan too, in one vectored read into
// their own slots.
void readLineRun(RAMImage* img, int64_t idx, int64_t slot, int line, int band) {
    const ImageHead& h = img->head;
    const int64_t step = idx - img->lastMiss;
    img->lastMiss = idx;
    int64_t pos = recordPos(img, line, band);
    // Consecutive records of the scan must follow each other in the file.
    bool sequential = (step == 1 || step == h.nbands) && h.block == img->lineBytes;
    if (sequential) {
        int64_t nl = (idx + step) / h.nbands, nb = (idx + step) % h.nbands;
        sequential = nl < h.rows && recordPos(img, static_cast<int>(nl), static_cast<int>(nb)) == pos + h.block;
    }
    constexpr int kMaxRun = 64;
    constexpr int64_t kMaxRunBytes = int64_t{1} << 20;
    std::vector<struct iovec> iov;
    iov.push_back({img->slotPtr(slot), static_cast<size_t>(img->lineBytes)});
    std::vector<int64_t> run{slot};
    if (sequential) {
        // Fill the cache ahead of the scan, but keep the line just behind it
        // (the band-lines of the previous line, or the previous line of the
        // band) for readers that look one line back.
        int64_t keep = step == 1 ? h.nbands : 1;
        int64_t limit = std::min<int64_t>({kMaxRun, img->slotCount / step - keep, kMaxRunBytes / img->lineBytes});
        const int64_t last = int64_t{h.rows} * h.nbands;
        for (int64_t k = 1; k < limit; ++k) {
            int64_t j = idx + k * step;
            if (j >= last) break;
            int64_t s = img->slotOf(j);
            if (img->slotLine[s] == j) break;  // cached, perhaps modified: keep it
            if (img->dirtyBits[s]) img->flushLineProc(img, s);
            img->slotLine[s] = j;
            img->dirtyBits[s] = 0;
            iov.push_back({img->slotPtr(s), static_cast<size_t>(img->lineBytes)});
            run.push_back(s);
        }
    }
    int64_t got = zarn::readvAt(img->fd, iov.data(), static_cast<int>(iov.size()), pos);
    if (got < 0) got = 0;
    for (size_t k = 0; k < run.size(); ++k) {
        unsigned char* p = img->slotPtr(run[k]);
        int64_t have = std::clamp<int64_t>(got - static_cast<int64_t>(k) * img->lineBytes, 0, img->lineBytes);
        if (have < img->lineBytes) std::memset(p + have, 0, static_cast<size_t>(img->lineBytes - have));
        if (needsSwap(img)) pixelByteSwap(h.pixel, img->lineBytes / sampleBytes(h.pixel), p);
    }
    if (run.size() > 1) img->lastMiss = idx + static_cast<int64_t>(run.size() - 1) * step;
}

// Uncompressed TIFF strips and tiles: claims the slots of the lines read
// with `line` (as many as the cache holds), then lets the handler split the
// file's data straight into them.  Band-lines already cached keep their
// contents.
bool fillFromTiff(RAMImage* img, int line, int first, int count) {
    const ImageHead& h = img->head;
    const int nb = h.nbands;
    int lo = std::max({first, line - img->cacheLines + 1, 0});
    int hi = std::min({first + count, lo + img->cacheLines, h.rows});
    if (line < lo || line >= hi) return false;
    // Kept between calls: a tile row fills the cache in many small chunks.
    static thread_local std::vector<unsigned char*> targets;
    targets.assign(static_cast<size_t>(hi - lo) * nb, nullptr);
    std::vector<unsigned char> discard;
    for (int l = lo; l < hi; ++l)
        for (int b = 0; b < nb; ++b) {
            int64_t idx = int64_t{l} * nb + b;
            int64_t slot = img->slotOf(idx);
            unsigned char*& t = targets[static_cast<size_t>(l - lo) * nb + b];
            if (img->slotLine[slot] == idx) {
                if (discard.empty()) discard.resize(static_cast<size_t>(img->lineBytes));
                t = discard.data();
                continue;
            }
            if (img->dirtyBits[slot]) img->flushLineProc(img, slot);
            img->slotLine[slot] = idx;
            img->dirtyBits[slot] = 0;
            t = img->slotPtr(slot);
        }
    if (readTiffLinesInto(img, lo, hi - lo, targets.data())) return true;
    // Nothing usable came: the claimed slots read as zeros.
    for (unsigned char* t : targets) std::memset(t, 0, static_cast<size_t>(img->lineBytes));
    return true;
}

// For decoders that hold the whole image: once the handler has run, the slot
// holds its own band-line or the line reads as zeros.
unsigned char* afterWholeDecode(RAMImage* img, int line, int band) {
    int64_t idx = int64_t{line} * img->head.nbands + band;
    if (img->slotCount > 0) {
        int64_t slot = img->slotOf(idx);
        if (img->slotLine[slot] == idx) return img->slotPtr(slot);
    }
    return zeroLine(img);
}

}  // namespace

namespace {
template <typename T, T (*Swap)(T)>
void swapEach(unsigned char* p, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, p + i * int64_t{sizeof(T)}, sizeof(T));
        v = Swap(v);
        std::memcpy(p + i * int64_t{sizeof(T)}, &v, sizeof(T));
    }
}
uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
}  // namespace

void pixelByteSwap(int pixel, int64_t count, void* samples) {
    auto* p = static_cast<unsigned char*>(samples);
    switch (sampleBytes(pixel)) {
    case 2: swapEach<uint16_t, swap16>(p, count); break;
    case 4: swapEach<uint32_t, swap32>(p, count); break;
    default: break;
    }
}

void putBIPBlockIntoBuf(RAMImage* img, int line, int count, const unsigned char* buf) {
    const ImageHead& h = img->head;
    const int nb = h.nbands;
    if (count < 1 || img->slotCount < 1) return;
    std::vector<unsigned char> discard;
    std::vector<unsigned char*> dst(static_cast<size_t>(nb));
    for (int i = 0; i < count; ++i) {
        int l = line + i;
        if (l < 0 || l >= h.rows) continue;
        for (int b = 0; b < nb; ++b) {
            int64_t idx = int64_t{l} * nb + b;
            int64_t slot = img->slotOf(idx);
            if (img->slotLine[slot] == idx) {
                // Already cached (and perhaps modified): the cache is newer
                // than the file, so this band is not overwritten.
                if (discard.empty()) discard.resize(static_cast<size_t>(img->lineBytes));
                dst[b] = discard.data();
                continue;
            }
            if (img->dirtyBits[slot]) img->flushLineProc(img, slot);
            img->slotLine[slot] = idx;
            img->dirtyBits[slot] = 0;
            dst[b] = img->slotPtr(slot);
        }
        splitLine(img, buf + int64_t{i} * h.block, dst.data());
    }
}

unsigned char* getRAMImageLine(RAMImage* img, int line, int band, int mode) {
    const ImageHead& h = img->head;
    if (!lineInRange(img, line, band) || !img->buffer.data()) return zeroLine(img);
    if (h.imgid == IMG_MBSQ)
        return img->buffer.data() + (int64_t{band} * h.rows + line) * img->lineBytes;
    const int64_t idx = int64_t{line} * h.nbands + band;
    const int64_t slot = img->slotOf(idx);
    unsigned char* p = img->slotPtr(slot);
    if (img->slotLine[slot] == idx) return p;

    // Formats decoded as a whole by their handler.
    switch (h.imgid) {
    case IMG_XBMP:
        if (img->fd >= 0) readXBMP(img);
        return afterWholeDecode(img, line, band);
    case IMG_GIF87a:
        if (img->fd >= 0) readGIF(img);
        return afterWholeDecode(img, line, band);
    case IMG_JPEG:
        if (img->fd >= 0) readJPEG(img);
        return afterWholeDecode(img, line, band);
    case IMG_GIF89a:
    case IMG_MPEG:
        getRAMImageVolume(img, 1);
        return afterWholeDecode(img, line, band);
    default: break;
    }

    if (img->dirtyBits[slot]) img->flushLineProc(img, slot);
    img->slotLine[slot] = idx;
    img->dirtyBits[slot] = 0;
    if (img->fd < 0 || isMemoryImageType(h.imgid) || h.imgid > IMG_MPEG) return p;

    if (isLineLayout(h.imgid)) {
        if (mode == 0) return p;
        readLineRun(img, idx, slot, line, band);
        return p;
    }
    if (h.imgid == IMG_DIB && h.nbands == 1) {
        readZeroFilled(img->fd, p, img->lineBytes, recordPos(img, line, 0));
        if (needsSwap(img)) pixelByteSwap(h.pixel, img->lineBytes / sampleBytes(h.pixel), p);
        return p;
    }
    if (h.imgid == IMG_TIFF) {
        // The slot is filled from the decoded strip or tile row below.
        img->slotLine[slot] = -1;
        int first = line, count = 0;
        if (tiffDirectRange(img, line, &first, &count) && fillFromTiff(img, line, first, count)) return p;
        first = line, count = 0;
        // The record buffer is kept between misses: no allocation and no
        // zero-fill per strip.
        std::vector<unsigned char>& block = img->record;
        if (!getTiffBlock(img, &first, &count, block) || count < 1 || line < first || line >= first + count ||
            static_cast<int64_t>(block.size()) < int64_t{count} * h.block) {
            std::memset(p, 0, static_cast<size_t>(img->lineBytes));
            return p;
        }
        // Distribute no more lines than the cache holds, so that the lines of
        // one block never evict each other and the requested one stays.
        int lo = std::max(first, line - img->cacheLines + 1);
        int hi = std::min(first + count, lo + img->cacheLines);
        lo = std::max(lo, 0);
        hi = std::min(hi, h.rows);
        unsigned char* start = block.data() + int64_t{lo - first} * h.block;
        if (needsSwap(img)) pixelByteSwap(h.pixel, int64_t{hi - lo} * h.block / sampleBytes(h.pixel), start);
        putBIPBlockIntoBuf(img, lo, hi - lo, start);
        return p;
    }
    if (isRecordLayout(img)) {
        img->slotLine[slot] = -1;
        int64_t n = std::max<int64_t>(h.block, recordBytes(img));
        if (static_cast<int64_t>(img->record.size()) < n) img->record.resize(static_cast<size_t>(n));
        readZeroFilled(img->fd, img->record.data(), h.block, recordPos(img, line, 0));
        if (n > h.block) std::memset(img->record.data() + h.block, 0, static_cast<size_t>(n - h.block));
        if (needsSwap(img)) pixelByteSwap(h.pixel, recordBytes(img) / sampleBytes(h.pixel), img->record.data());
        putBIPBlockIntoBuf(img, line, 1, img->record.data());
        return p;
    }
    return p;
}

unsigned char* putRAMImageLine(RAMImage* img, int line, int band) {
    if (!lineInRange(img, line, band) || img->slotCount < 1) return nullptr;
    int64_t idx = int64_t{line} * img->head.nbands + band;
    int64_t slot = img->slotOf(idx);
    if (img->slotLine[slot] != idx) return nullptr;
    if (img->dirtyBits[slot] && img->fd >= 0) img->flushLineProc(img, slot);
    return img->slotPtr(slot);
}

void updateRAMImageLine(RAMImage* img, int line, int, int, int band) {
    if (!lineInRange(img, line, band) || img->slotCount < 1) return;
    int64_t idx = int64_t{line} * img->head.nbands + band;
    int64_t slot = img->slotOf(idx);
    if (img->head.imgid != IMG_MBSQ && img->slotLine[slot] != idx) return;
    if (img->readOnly && img->fd >= 0) {
        // The change cannot reach the file: drop it so the line reads as the
        // file holds it.
        reportReadOnly(img);
        if (img->head.imgid != IMG_MBSQ) img->slotLine[slot] = -1;
        return;
    }
    img->dirtyBits[slot] = 1;
}

bool flushRAMImageLine(RAMImage* img, int64_t slot) {
    if (slot < 0 || slot >= img->slotCount) return true;
    if (img->fd < 0) return true;  // resident: kept dirty until a file exists
    const ImageHead& h = img->head;
    int64_t idx = img->slotLine[slot];
    if (idx < 0) {
        img->dirtyBits[slot] = 0;
        return true;
    }
    if (img->readOnly) {
        reportReadOnly(img);
        img->dirtyBits[slot] = 0;
        return false;
    }
    int line = static_cast<int>(idx / h.nbands);
    int band = static_cast<int>(idx % h.nbands);
    bool ok = true;
    switch (h.imgid) {
    case IMG_XBMP: ok = writeXBMP(img); break;
    case IMG_JPEG: ok = writeJPEG(img); break;
    case IMG_GIF87a:
    case IMG_GIF89a: ok = writeGIF(img); break;
    default:
        if (isRecordLayout(img)) return flushRecord(img, line);
        if (isLineLayout(h.imgid) || h.imgid == IMG_DIB) {
            const unsigned char* src = img->slotPtr(slot);
            std::vector<unsigned char> swapped;
            if (needsSwap(img)) {
                swapped.assign(src, src + img->lineBytes);
                pixelByteSwap(h.pixel, img->lineBytes / sampleBytes(h.pixel), swapped.data());
                src = swapped.data();
            }
            ok = zarn::writeAt(img->fd, src, static_cast<size_t>(img->lineBytes), recordPos(img, line, band));
            if (!ok) zarn::conPrintf(zarn::kStderr, "Error in writing line %d band %d of %s\n", line, band, h.file);
        }
        break;
    }
    if (slot < img->slotCount) img->dirtyBits[slot] = 0;
    return ok;
}

int getRAMImageVolume(RAMImage* img, int volume) {
    if (img->seekProc) {
        // Edits of the current volume are written while the handler still
        // addresses it.
        flushRAMImage(img);
        int r = img->seekProc(img, volume);
        if (r == -1) zarn::conPrintf(zarn::kStderr, "Error in seek image: %s\n", img->head.file);
        if (r == 0) zarn::conPrintf(zarn::kStderr, "Can't seek image %s\n", img->head.file);
        return r;
    }
    if (img->head.nvolumes < 2) {
        img->curVolume = img->volumeCount = 1;
        return -2;
    }
    img->volumeCount = img->head.nvolumes;
    if (volume > img->volumeCount || volume < 0) {
        volume = img->volumeCount;
    } else if (volume == 0) {
        if (img->curVolume >= img->volumeCount) return -2;
        volume = img->curVolume + 1;
    }
    int64_t volBytes = int64_t{img->head.block} * img->head.rows;
    if (!(img->head.imgid == IMG_BIP || img->head.imgid == IMG_FFT || img->head.imgid == IMG_PPM ||
          img->head.imgid == IMG_DIB))
        volBytes *= img->head.nbands;
    if (volume != img->curVolume) {
        // Edits of the current volume go to its own place in the file first.
        flushRAMImage(img);
        img->dataOffset = img->head.offset + int64_t{volume - 1} * volBytes;
        inValidateRAMImage(img);
        for (auto& rec : img->hist) initHist(rec);
    }
    img->curVolume = volume;
    return volume;
}
