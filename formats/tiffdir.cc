#include "formats/tiffdir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

using zarn::conPrintf;
using zarn::kStderr;

// ---- byte order --------------------------------------------------------------

uint16_t tiffLoad16(const uint8_t* p, int byteOrder) {
    return byteOrder == kTiffBig ? loadBE16(p) : loadLE16(p);
}

uint32_t tiffLoad32(const uint8_t* p, int byteOrder) {
    return byteOrder == kTiffBig ? loadBE32(p) : loadLE32(p);
}

double tiffLoadDouble(const uint8_t* p, int byteOrder) {
    uint8_t b[8];
    std::memcpy(b, p, 8);
    // Doubles are stored in the file's order; bring them to the host's.
    bool fileBig = byteOrder == kTiffBig;
    if (fileBig != msbFirst()) memrv(b, 8);
    double d;
    std::memcpy(&d, b, 8);
    return d;
}

float tiffLoadFloat(const uint8_t* p, int byteOrder) {
    uint32_t v = tiffLoad32(p, byteOrder);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

namespace {

void store16(uint8_t* p, uint16_t v, int byteOrder) {
    if (byteOrder == kTiffBig)
        storeBE16(p, v);
    else
        storeLE16(p, v);
}

void store32(uint8_t* p, uint32_t v, int byteOrder) {
    if (byteOrder == kTiffBig)
        storeBE32(p, v);
    else
        storeLE32(p, v);
}

bool isByteType(int type) {
    return type == kTiffByte || type == kTiffAscii || type == kTiffSByte || type == kTiffUndefined;
}

// Parses one 12-byte entry into the host form described at TiffEntry.
TiffEntry parseEntry(const uint8_t* raw, int byteOrder) {
    TiffEntry e;
    e.tag = tiffLoad16(raw, byteOrder);
    e.type = tiffLoad16(raw + 2, byteOrder);
    e.count = tiffLoad32(raw + 4, byteOrder);
    const uint8_t* v = raw + 8;
    bool isShort = e.type == kTiffShort || e.type == kTiffSShort;
    if (isByteType(e.type) && e.count <= 4) {
        std::memcpy(&e.value, v, 4);
    } else if (isShort && e.count == 1) {
        e.value = tiffLoad16(v, byteOrder);
    } else if (isShort && e.count == 2) {
        uint16_t h[2] = {tiffLoad16(v, byteOrder), tiffLoad16(v + 2, byteOrder)};
        std::memcpy(&e.value, h, 4);
    } else {
        e.value = tiffLoad32(v, byteOrder);
    }
    return e;
}

// Size of the file, or the largest offset a TIFF can address when unknown.
int64_t sizeOf(int fd) {
    int64_t n = zarn::fileSize(fd);
    return n < 0 ? 0 : n;
}

}  // namespace

// ---- header and chain ----------------------------------------------------------

uint32_t getTiffHead(int fd, TiffHeader* head) {
    uint8_t b[8];
    if (zarn::readAt(fd, b, 8, 0) != 8) return 0;
    int order;
    if (b[0] == 'I' && b[1] == 'I')
        order = kTiffLittle;
    else if (b[0] == 'M' && b[1] == 'M')
        order = kTiffBig;
    else
        return 0;
    // Other versions (43 is the 64-bit variant) lay their directories out
    // differently; reading them as classic files would give garbage.
    int version = tiffLoad16(b + 2, order);
    if (version != 42) return 0;
    uint32_t first = tiffLoad32(b + 4, order);
    if (head) {
        head->byteOrder = order;
        head->version = version;
        head->first = first;
    }
    return first;
}

namespace {

// Follows the chain from the header, calling visit(offset, entryCount) for
// each directory whose entries lie inside the file.  Shared by getTiffInfo
// and getTiffDir so that both agree on where the chain ends.
template <class Visit>
void walkChain(int fd, const TiffHeader& th, Visit visit) {
    int64_t size = sizeOf(fd);
    std::unordered_set<uint32_t> seen;
    uint32_t off = th.first;
    // A file cannot hold more directory bytes than it has, so the sum of the
    // entries read is bounded by the size: overlapping directories in a
    // crafted file cannot multiply the work.
    int64_t budget = size;
    int ndirs = 0;
    while (off != 0 && ndirs < kTiffMaxDirectories && seen.insert(off).second) {
        uint8_t cb[2];
        if (zarn::readAt(fd, cb, 2, off) != 2) break;
        int64_t n = tiffLoad16(cb, th.byteOrder);
        int64_t bytes = 2 + 12 * n + 4;
        if (static_cast<int64_t>(off) + bytes - 4 > size || bytes > budget) break;
        budget -= bytes;
        if (!visit(off, static_cast<int>(n))) break;
        ++ndirs;
        uint8_t nb[4];
        if (zarn::readAt(fd, nb, 4, static_cast<int64_t>(off) + 2 + 12 * n) != 4) break;
        off = tiffLoad32(nb, th.byteOrder);
    }
}

}  // namespace

int getTiffInfo(int fd, int* ndirs, TiffHeader* head) {
    TiffHeader th;
    int dirs = 0;
    int64_t total = 0;
    if (getTiffHead(fd, &th) != 0) {
        walkChain(fd, th, [&](uint32_t, int n) {
            ++dirs;
            total += n;
            return true;
        });
    }
    if (ndirs) *ndirs = dirs;
    if (head) *head = th;
    return static_cast<int>(std::min<int64_t>(total, INT32_MAX));
}

std::unique_ptr<TiffIFD> getTiffNextIFDEntry(int fd, int byteOrder, uint32_t offset) {
    uint8_t cb[2];
    int64_t r = zarn::readAt(fd, cb, 2, offset);
    if (r < 0) {
        conPrintf(kStderr, "Error: lseek in getNextIFDEntry: %s\n", std::strerror(errno));
        return nullptr;
    }
    if (r != 2) {
        conPrintf(kStderr, "Error: read in getNextIFDEntry: %s\n", "short read");
        return nullptr;
    }
    int n = tiffLoad16(cb, byteOrder);
    std::vector<uint8_t> raw(static_cast<size_t>(n) * 12 + 4);
    int64_t want = static_cast<int64_t>(n) * 12;
    int64_t got = zarn::readAt(fd, raw.data(), raw.size(), static_cast<int64_t>(offset) + 2);
    if (got < want) {
        conPrintf(kStderr, "Error: read in getNextIFDEntry: %s\n", got < 0 ? std::strerror(errno) : "short read");
        return nullptr;
    }
    auto ifd = std::make_unique<TiffIFD>();
    ifd->offset = offset;
    ifd->nentries = n;
    ifd->entries.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ifd->entries.push_back(parseEntry(raw.data() + 12 * i, byteOrder));
    // A short read of the next offset ends the chain.
    ifd->next = got >= want + 4 ? tiffLoad32(raw.data() + want, byteOrder) : 0;
    return ifd;
}

TiffDirPtr getTiffDir(int fd) {
    TiffHeader th;
    if (getTiffHead(fd, &th) == 0) return nullptr;
    auto dir = std::make_unique<TiffDir>();
    dir->byteOrder = th.byteOrder;
    dir->first = th.first;
    walkChain(fd, th, [&](uint32_t off, int) {
        auto ifd = getTiffNextIFDEntry(fd, th.byteOrder, off);
        if (!ifd) return false;
        dir->ifds.push_back(std::move(ifd));
        return true;
    });
    dir->ndirs = static_cast<int>(dir->ifds.size());
    if (dir->ndirs == 0) return nullptr;
    return dir;
}

void delTiffDir(TiffDir* dir) { delete dir; }

// ---- entries -------------------------------------------------------------------

int getTiffEntryIndex(const TiffIFD* ifd, int tag) {
    if (!ifd) return -1;
    for (size_t i = 0; i < ifd->entries.size(); ++i)
        if (ifd->entries[i].tag == tag) return static_cast<int>(i);
    return -1;
}

const TiffEntry* findTiffEntry(const TiffIFD* ifd, int tag) {
    int i = getTiffEntryIndex(ifd, tag);
    return i < 0 ? nullptr : &ifd->entries[static_cast<size_t>(i)];
}

int tiffTypeSize(int type) {
    switch (type) {
    case kTiffByte:
    case kTiffAscii:
    case kTiffSByte:
    case kTiffUndefined: return 1;
    case kTiffShort:
    case kTiffSShort: return 2;
    case kTiffLong:
    case kTiffSLong:
    case kTiffFloat:
    case 13: return 4;  // IFD offsets
    case kTiffRational:
    case kTiffSRational:
    case kTiffDouble: return 8;
    default: return 0;
    }
}

bool tiffEntryInline(const TiffEntry& e) {
    int s = tiffTypeSize(e.type);
    return s > 0 && static_cast<uint64_t>(e.count) * static_cast<uint64_t>(s) <= 4;
}

uint8_t tiffEntryByte(const TiffEntry& e, int i) {
    uint8_t b[4];
    std::memcpy(b, &e.value, 4);
    return b[i & 3];
}

uint16_t tiffEntryHalf(const TiffEntry& e, int i) {
    if (e.count == 1) return i == 0 ? static_cast<uint16_t>(e.value) : 0;
    uint16_t h[2];
    std::memcpy(h, &e.value, 4);
    return h[i & 1];
}

int64_t tiffEntryDataOffset(const TiffIFD* ifd, int index) {
    if (!ifd || index < 0 || index >= static_cast<int>(ifd->entries.size())) return -1;
    const TiffEntry& e = ifd->entries[static_cast<size_t>(index)];
    if (tiffEntryInline(e)) return static_cast<int64_t>(ifd->offset) + 2 + 12 * static_cast<int64_t>(index) + 8;
    return e.value;
}

bool readTiffEntryBytes(int fd, int byteOrder, const TiffEntry& e, std::vector<uint8_t>& out) {
    int s = tiffTypeSize(e.type);
    if (s == 0) return false;
    int64_t n = static_cast<int64_t>(e.count) * s;
    if (tiffEntryInline(e)) {
        uint8_t b[4] = {0, 0, 0, 0};
        if (isByteType(e.type)) {
            std::memcpy(b, &e.value, 4);
        } else if (s == 2) {
            store16(b, tiffEntryHalf(e, 0), byteOrder);
            store16(b + 2, tiffEntryHalf(e, 1), byteOrder);
        } else {
            store32(b, e.value, byteOrder);
        }
        out.assign(b, b + n);
        return true;
    }
    // Never trust a count beyond the file: check before allocating.
    if (static_cast<int64_t>(e.value) + n > sizeOf(fd)) return false;
    out.resize(static_cast<size_t>(n));
    return zarn::readAt(fd, out.data(), out.size(), e.value) == n;
}

bool readTiffUints(int fd, int byteOrder, const TiffEntry& e, std::vector<uint32_t>& out) {
    if (e.type != kTiffByte && e.type != kTiffShort && e.type != kTiffLong) return false;
    std::vector<uint8_t> raw;
    if (!readTiffEntryBytes(fd, byteOrder, e, raw)) return false;
    out.resize(e.count);
    const uint8_t* p = raw.data();
    switch (e.type) {
    case kTiffByte:
        for (uint32_t i = 0; i < e.count; ++i) out[i] = p[i];
        break;
    case kTiffShort:
        for (uint32_t i = 0; i < e.count; ++i) out[i] = tiffLoad16(p + 2 * i, byteOrder);
        break;
    default:
        for (uint32_t i = 0; i < e.count; ++i) out[i] = tiffLoad32(p + 4 * static_cast<size_t>(i), byteOrder);
        break;
    }
    return true;
}

bool getTiffUint(int fd, int byteOrder, const TiffIFD* ifd, int tag, uint32_t index, uint32_t* out) {
    const TiffEntry* e = findTiffEntry(ifd, tag);
    if (!e || index >= e->count) return false;
    int s = tiffTypeSize(e->type);
    if (e->type != kTiffByte && e->type != kTiffShort && e->type != kTiffLong) return false;
    if (tiffEntryInline(*e)) {
        if (s == 1)
            *out = tiffEntryByte(*e, static_cast<int>(index));
        else if (s == 2)
            *out = tiffEntryHalf(*e, static_cast<int>(index));
        else
            *out = e->value;
        return true;
    }
    uint8_t b[4];
    int64_t at = static_cast<int64_t>(e->value) + static_cast<int64_t>(index) * s;
    if (zarn::readAt(fd, b, static_cast<size_t>(s), at) != s) return false;
    *out = s == 1 ? b[0] : s == 2 ? tiffLoad16(b, byteOrder) : tiffLoad32(b, byteOrder);
    return true;
}

int64_t getTiffOffsetLong(int fd, int byteOrder, int64_t base, int64_t index) {
    uint8_t b[4];
    if (index < 0 || zarn::readAt(fd, b, 4, base + 4 * index) != 4) return -1;
    return tiffLoad32(b, byteOrder);
}

int64_t getTiffOffsetUshort(int fd, int byteOrder, int64_t base, int64_t index) {
    uint8_t b[2];
    if (index < 0 || zarn::readAt(fd, b, 2, base + 2 * index) != 2) return -1;
    return tiffLoad16(b, byteOrder);
}

double getTiffOffsetDouble(int fd, int byteOrder, int64_t base, int64_t index) {
    uint8_t b[8];
    if (index < 0 || zarn::readAt(fd, b, 8, base + 8 * index) != 8) return 0.0;
    return tiffLoadDouble(b, byteOrder);
}

int64_t convertTiffOffsetLong(int type, uint32_t value) {
    switch (type) {
    case kTiffByte: return value & 0xFF;
    case kTiffAscii:
    case kTiffUndefined: return static_cast<int8_t>(value & 0xFF);
    case kTiffShort: return value & 0xFFFF;
    case kTiffSShort: return static_cast<int16_t>(value & 0xFFFF);
    default: return value;
    }
}

namespace {

int64_t convertedValue(const TiffIFD* ifd, int tag) {
    const TiffEntry* e = findTiffEntry(ifd, tag);
    return e ? convertTiffOffsetLong(e->type, e->value) : -1;
}

int64_t rawValue(const TiffIFD* ifd, int tag) {
    const TiffEntry* e = findTiffEntry(ifd, tag);
    return e ? static_cast<int64_t>(e->value) : -1;
}

}  // namespace

int64_t getTiffImageWidth(const TiffIFD* ifd) { return convertedValue(ifd, kTagImageWidth); }
int64_t getTiffImageLength(const TiffIFD* ifd) { return convertedValue(ifd, kTagImageLength); }
int64_t getTiffCompression(const TiffIFD* ifd) { return convertedValue(ifd, kTagCompression); }
int64_t getTiffTileWidth(const TiffIFD* ifd) { return convertedValue(ifd, kTagTileWidth); }
int64_t getTiffTileLength(const TiffIFD* ifd) { return convertedValue(ifd, kTagTileLength); }
int64_t getTiffSamplePerPixel(const TiffIFD* ifd) {
    const TiffEntry* e = findTiffEntry(ifd, kTagSamplesPerPixel);
    return e ? convertTiffOffsetLong(e->type, e->value) : 1;
}
int64_t getTiffPhotometricInterpretation(const TiffIFD* ifd) { return rawValue(ifd, kTagPhotometric); }
int64_t getTiffRowsPerStrip(const TiffIFD* ifd) { return rawValue(ifd, kTagRowsPerStrip); }
int64_t getTiffBytesPerStrip(const TiffIFD* ifd) { return rawValue(ifd, kTagStripByteCounts); }
int64_t getTiffStripOffsets(const TiffIFD* ifd, uint32_t* count) {
    const TiffEntry* e = findTiffEntry(ifd, kTagStripOffsets);
    if (!e) return -1;
    if (count) *count = e->count;
    return e->value;
}

int64_t getTiffArrayElement(int fd, const TiffIFD* ifd, int tag, int64_t index, int byteOrder) {
    const TiffEntry* e = findTiffEntry(ifd, tag);
    bool rational = e && (e->type == kTiffRational || e->type == kTiffSRational);
    // A rational's two halves are elements 0 and 1 even when it is single.
    if (!e || index < 0 || index >= static_cast<int64_t>(e->count) * (rational ? 2 : 1)) return -1;
    switch (e->type) {
    case kTiffByte:
    case kTiffShort:
    case kTiffLong: {
        uint32_t v;
        return getTiffUint(fd, byteOrder, ifd, tag, static_cast<uint32_t>(index), &v) ? static_cast<int64_t>(v) : -1;
    }
    case kTiffAscii:
    case kTiffUndefined:
    case kTiffSByte: {
        if (e->count <= 4) return static_cast<int8_t>(tiffEntryByte(*e, static_cast<int>(index)));
        uint8_t b;
        if (zarn::readAt(fd, &b, 1, static_cast<int64_t>(e->value) + index) != 1) return -1;
        return static_cast<int8_t>(b);
    }
    case kTiffSShort: {
        if (e->count <= 2) return static_cast<int16_t>(tiffEntryHalf(*e, static_cast<int>(index)));
        int64_t v = getTiffOffsetUshort(fd, byteOrder, e->value, index);
        return v < 0 ? -1 : static_cast<int16_t>(v);
    }
    case kTiffSLong: {
        if (e->count == 1) return static_cast<int32_t>(e->value);
        int64_t v = getTiffOffsetLong(fd, byteOrder, e->value, index);
        return v < 0 ? -1 : static_cast<int32_t>(v);
    }
    case kTiffRational:
    case kTiffSRational:
        // The numerator or the denominator of the first value.
        if (index > 1) return -1;
        return getTiffOffsetLong(fd, byteOrder, e->value, index);
    case kTiffFloat:
    case kTiffDouble: return -1;
    default:
        conPrintf(kStderr, "Unknown data type for array element at index: %d tagged as: %d\n",
                  static_cast<int>(index), tag);
        return -1;
    }
}

int64_t getTiffBitsPerSample(int fd, const TiffIFD* ifd, int64_t index, int byteOrder) {
    return getTiffArrayElement(fd, ifd, kTagBitsPerSample, index, byteOrder);
}

int64_t getTiffSampleFormat(int fd, const TiffIFD* ifd, int64_t index, int byteOrder) {
    return getTiffArrayElement(fd, ifd, kTagSampleFormat, index, byteOrder);
}

// ---- colour maps -----------------------------------------------------------------

namespace {

// Checks a ColorMap entry and gives its colour count (before clamping).
const TiffEntry* colormapEntry(const TiffIFD* ifd, uint32_t* colours) {
    const TiffEntry* e = findTiffEntry(ifd, kTagColorMap);
    if (!e) return nullptr;
    if (e->type != kTiffByte && e->type != kTiffShort && e->type != kTiffLong) {
        conPrintf(kStderr, "Unknown data type for ColorMap\n");
        return nullptr;
    }
    // Three equal channels or nothing: any other count cannot be split.
    if (e->count == 0 || e->count % 3 != 0) return nullptr;
    *colours = e->count / 3;
    return e;
}

}  // namespace

int getTiffColormap(int fd, const TiffIFD* ifd, unsigned char table[256][3], int byteOrder) {
    uint32_t c;
    const TiffEntry* e = colormapEntry(ifd, &c);
    if (!e) return -1;
    std::vector<uint32_t> v;
    if (!readTiffUints(fd, byteOrder, *e, v)) return -1;
    uint32_t used = std::min<uint32_t>(c, 256);
    int shift = e->type == kTiffByte ? 0 : 8;
    for (int ch = 0; ch < 3; ++ch)
        for (uint32_t i = 0; i < used; ++i)
            table[i][ch] = static_cast<unsigned char>(v[ch * static_cast<size_t>(c) + i] >> shift);
    return static_cast<int>(3 * used);
}

int putTiffColormap(int fd, const TiffIFD* ifd, const unsigned char table[256][3], int byteOrder) {
    uint32_t c;
    const TiffEntry* e = colormapEntry(ifd, &c);
    if (!e) return -1;
    int s = tiffTypeSize(e->type);
    int64_t at = tiffEntryDataOffset(ifd, getTiffEntryIndex(ifd, kTagColorMap));
    int64_t n = static_cast<int64_t>(e->count) * s;
    if (at < 0 || at + n > sizeOf(fd)) return -1;
    // Read the old values first so that colours past 256 stay as they were.
    std::vector<uint8_t> raw(static_cast<size_t>(n));
    if (zarn::readAt(fd, raw.data(), raw.size(), at) != n) return -1;
    uint32_t used = std::min<uint32_t>(c, 256);
    for (int ch = 0; ch < 3; ++ch) {
        for (uint32_t i = 0; i < used; ++i) {
            size_t k = ch * static_cast<size_t>(c) + i;
            unsigned v8 = table[i][ch];
            // 16-bit full scale is 65535: v * 257 reads back as v after >> 8.
            if (s == 1)
                raw[k] = static_cast<uint8_t>(v8);
            else if (s == 2)
                store16(raw.data() + 2 * k, static_cast<uint16_t>(v8 * 257), byteOrder);
            else
                store32(raw.data() + 4 * k, v8 * 257, byteOrder);
        }
    }
    if (!zarn::writeAt(fd, raw.data(), raw.size(), at)) return -1;
    return static_cast<int>(3 * used);
}

// ---- GeoTIFF -----------------------------------------------------------------------

namespace {

int readDoubles(int fd, const TiffIFD* ifd, int tag, int byteOrder, double* out, uint32_t most) {
    const TiffEntry* e = findTiffEntry(ifd, tag);
    if (!e) return -1;
    if (e->type != kTiffDouble) return -1;
    uint32_t n = std::min(e->count, most);
    uint8_t b[8 * 6];
    int64_t want = 8 * static_cast<int64_t>(n);
    if (zarn::readAt(fd, b, static_cast<size_t>(want), e->value) != want) return -1;
    for (uint32_t i = 0; i < n; ++i) out[i] = tiffLoadDouble(b + 8 * i, byteOrder);
    return static_cast<int>(std::min<uint32_t>(e->count, INT32_MAX));
}

}  // namespace

int getGeoTiffPixelScales(int fd, const TiffIFD* ifd, int byteOrder, double out[3]) {
    return readDoubles(fd, ifd, kTagModelPixelScale, byteOrder, out, 3);
}

int getGeoTiffTiePoints(int fd, const TiffIFD* ifd, int byteOrder, double out[6]) {
    return readDoubles(fd, ifd, kTagModelTiepoint, byteOrder, out, 6);
}
