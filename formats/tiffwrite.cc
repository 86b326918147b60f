// Writing new TIFF files: one uncompressed strip in host byte order, the
// directory after the pixel data with its entries in ascending tag order (as
// TIFF readers expect), and GeoTIFF tags when the head carries a map origin.
#include <algorithm>
#include <cstring>

#include "formats/formats.h"
#include "formats/tiffdir.h"
#include "init/output.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

using zarn::conPrintf;
using zarn::kStderr;

namespace {

// One entry to write: its values either fit the field or go to `data`,
// which is placed after the pixel data.
struct OutEntry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> data;  // values in host order
};

// Appends the host-order bytes of a value.  (Growing with resize and a copy
// rather than insert: g++ 12 warns falsely about insert into a new vector.)
template <typename T>
void putValue(std::vector<uint8_t>& v, T x) {
    size_t at = v.size();
    v.resize(at + sizeof x);
    std::memcpy(v.data() + at, &x, sizeof x);
}

void put16(std::vector<uint8_t>& v, uint16_t x) { putValue(v, x); }
void put32(std::vector<uint8_t>& v, uint32_t x) { putValue(v, x); }
void putDouble(std::vector<uint8_t>& v, double x) { putValue(v, x); }

OutEntry longEntry(uint16_t tag, uint32_t value) {
    OutEntry e{tag, kTiffLong, 1, {}};
    put32(e.data, value);
    return e;
}

OutEntry shortEntry(uint16_t tag, const std::vector<uint16_t>& values) {
    OutEntry e{tag, kTiffShort, static_cast<uint32_t>(values.size()), {}};
    for (uint16_t v : values) put16(e.data, v);
    return e;
}

int sampleFormatOf(int pixel) {
    switch (pixel) {
    case PIX_SHORT:
    case PIX_LONG:
    case PIX_SBYTE: return 2;
    case PIX_FLOAT: return 3;
    default: return 1;
    }
}

bool hasMapOrigin(const ImageHead* h) {
    return h && (h->x0 != 0.0 || h->y0 != 0.0 || h->dx != 1.0 || h->dy != 1.0);
}

}  // namespace

int initTiff(int fd, int checkSpace, const ImageHead* head, int columns, int rows, int nbands, int pixel,
             const unsigned char (*colorTable)[3]) {
    const int bits = pixelBits(pixel);
    if (bits == 0 || columns < 1 || rows < 1 || nbands < 1 || nbands > 65535) {
        conPrintf(kStderr, "Can't write a Tiff of %d x %d x %d %s pixels\n", columns, rows, nbands, strPixelID(pixel));
        return -1;
    }
    if (bits < 8 && nbands > 1) {
        conPrintf(kStderr, "Can't write a Tiff of %d bands with %d-bit samples\n", nbands, bits);
        return -1;
    }
    const int64_t lineLen = bits < 8 ? (int64_t{columns} * bits - 1) / 8 + 1 : int64_t{columns} * nbands * (bits / 8);
    const auto stripSize = zarn::mulSize(lineLen, rows);
    if (!zarn::fitsInt(lineLen) || !stripSize || *stripSize > UINT32_MAX) {
        conPrintf(kStderr, "Can't write a Tiff of more than 4 GB\n");
        return -1;
    }
    const int64_t strip = *stripSize;
    const bool palette = nbands == 1 && colorTable && bits <= 8;
    const int photometric = palette ? 3 : nbands == 3 ? 2 : 1;
    const int colourChannels = photometric == 2 ? 3 : 1;

    std::vector<OutEntry> entries;
    entries.push_back(longEntry(kTagImageWidth, static_cast<uint32_t>(columns)));
    entries.push_back(longEntry(kTagImageLength, static_cast<uint32_t>(rows)));
    entries.push_back(shortEntry(kTagBitsPerSample, std::vector<uint16_t>(static_cast<size_t>(nbands), bits)));
    entries.push_back(shortEntry(kTagCompression, {1}));
    entries.push_back(shortEntry(kTagPhotometric, {static_cast<uint16_t>(photometric)}));
    entries.push_back(longEntry(kTagStripOffsets, 8));
    entries.push_back(shortEntry(kTagOrientation, {1}));
    entries.push_back(shortEntry(kTagSamplesPerPixel, {static_cast<uint16_t>(nbands)}));
    entries.push_back(longEntry(kTagRowsPerStrip, static_cast<uint32_t>(rows)));
    entries.push_back(longEntry(kTagStripByteCounts, static_cast<uint32_t>(strip)));
    // The full range of the unsigned integer types; signed and float
    // samples have no meaningful value for these tags.
    if (sampleFormatOf(pixel) == 1 && bits <= 16) {
        std::vector<uint16_t> lo(static_cast<size_t>(nbands), 0);
        std::vector<uint16_t> hi(static_cast<size_t>(nbands), static_cast<uint16_t>((1u << bits) - 1));
        entries.push_back(shortEntry(kTagMinSampleValue, lo));
        entries.push_back(shortEntry(kTagMaxSampleValue, hi));
    }
    entries.push_back(shortEntry(kTagPlanarConfig, {1}));
    if (palette) {
        // Readers expect exactly 3 x 2^bits values.
        const size_t colours = size_t{1} << bits;
        std::vector<uint16_t> map(3 * colours, 0);
        for (size_t i = 0; i < std::min<size_t>(colours, 256); ++i)
            for (int ch = 0; ch < 3; ++ch) map[ch * colours + i] = static_cast<uint16_t>(colorTable[i][ch] * 257);
        entries.push_back(shortEntry(kTagColorMap, map));
    }
    if (nbands > colourChannels)
        entries.push_back(shortEntry(kTagExtraSamples, std::vector<uint16_t>(static_cast<size_t>(nbands - colourChannels), 0)));
    entries.push_back(
        shortEntry(kTagSampleFormat, std::vector<uint16_t>(static_cast<size_t>(nbands), sampleFormatOf(pixel))));
    if (hasMapOrigin(head)) {
        OutEntry scale{kTagModelPixelScale, kTiffDouble, 3, {}};
        for (double v : {head->dx, head->dy, 0.0}) putDouble(scale.data, v);
        OutEntry tie{kTagModelTiepoint, kTiffDouble, 6, {}};
        for (double v : {0.0, 0.0, 0.0, head->x0, head->y0, 0.0}) putDouble(tie.data, v);
        entries.push_back(std::move(scale));
        entries.push_back(std::move(tie));
        // Version 1.1.0, one key: GTRasterTypeGeoKey = RasterPixelIsArea, so
        // that the tie point names the corner of the first pixel.
        entries.push_back(shortEntry(kTagGeoKeyDirectory, {1, 1, 0, 1, 1025, 0, 1, 1}));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const OutEntry& a, const OutEntry& b) { return a.tag < b.tag; });

    // Value arrays after the pixel data, each on an even offset.
    int64_t next = 8 + strip;
    std::vector<int64_t> where(entries.size(), -1);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].data.size() <= 4) continue;
        next += next & 1;
        where[i] = next;
        next += static_cast<int64_t>(entries[i].data.size());
    }
    next += next & 1;
    const int64_t dirOffset = next;
    const int64_t total = dirOffset + 2 + 12 * static_cast<int64_t>(entries.size()) + 4;
    if (total > UINT32_MAX) {
        conPrintf(kStderr, "Can't write a Tiff of more than 4 GB\n");
        return -1;
    }
    if (checkSpace) {
        double avail = zarn::freeDiskSpaceFd(fd);
        if (avail >= 0 && avail < static_cast<double>(total)) {
            conPrintf(kStderr, "Insufficient disk space.  Requested:%lld Available:%.f\n", static_cast<long long>(total),
                      avail);
            return -1;
        }
    }
    std::vector<uint8_t> dir;
    put16(dir, static_cast<uint16_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const OutEntry& e = entries[i];
        put16(dir, e.tag);
        put16(dir, e.type);
        put32(dir, e.count);
        uint8_t field[4] = {0, 0, 0, 0};
        if (where[i] < 0) {
            std::memcpy(field, e.data.data(), e.data.size());
        } else {
            uint32_t off = static_cast<uint32_t>(where[i]);
            std::memcpy(field, &off, 4);
        }
        dir.insert(dir.end(), field, field + 4);
    }
    put32(dir, 0);
    for (size_t i = 0; i < entries.size(); ++i)
        if (where[i] >= 0 && !zarn::writeAt(fd, entries[i].data.data(), entries[i].data.size(), where[i])) return -1;
    if (!zarn::writeAt(fd, dir.data(), dir.size(), dirOffset)) return -1;
    uint8_t hdr[8];
    hdr[0] = hdr[1] = msbFirst() ? 'M' : 'I';
    uint16_t magic = 42;
    uint32_t first = static_cast<uint32_t>(dirOffset);
    std::memcpy(hdr + 2, &magic, 2);
    std::memcpy(hdr + 4, &first, 4);
    if (!zarn::writeAt(fd, hdr, 8, 0)) return -1;
    return 8;
}

int initTiffHead(int fd, int checkSpace, ImageHead* head) {
    if (!head) return -1;
    const unsigned char(*table)[3] = head->nindices >= 1 ? head->colorTable : nullptr;
    int r = initTiff(fd, checkSpace, head, head->columns, head->rows, head->nbands, head->pixel, table);
    if (r < 0) return -1;
    const int bits = pixelBits(head->pixel);
    int64_t lineLen = bits < 8 ? (int64_t{head->columns} * bits - 1) / 8 + 1
                               : int64_t{head->columns} * head->nbands * (bits / 8);
    head->offset = 8;
    head->block = static_cast<int>(lineLen);
    return 8;
}
