// Any bytes as a TIFF: the directory chain, every typed getter on every
// entry, colour maps and GeoTIFF tags, recognition of every directory, and
// the strip and tile reader over every line of the first one.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "formats/formats.h"
#include "formats/tiffdir.h"
#include "ramimage/fileio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        setCacheByteLimit(int64_t(64) << 20);
        return true;
    }();
    (void)once;
    zarn::UniqueFd fd(::memfd_create("tiffdir_fuzz", 0));
    if (!fd || !zarn::writeAt(fd.get(), data, size, 0)) return 0;
    int ndirs = 0;
    getTiffInfo(fd.get(), &ndirs, nullptr);
    TiffDirPtr dir = getTiffDir(fd.get());
    if (!dir) return 0;
    const int order = dir->byteOrder;
    std::vector<uint8_t> raw;
    unsigned char table[256][3];
    for (const auto& ifd : dir->ifds) {
        for (const TiffEntry& e : ifd->entries) {
            for (int64_t i = 0; i < std::min<int64_t>(e.count, 8) + 1; ++i)
                getTiffArrayElement(fd.get(), ifd.get(), e.tag, i, order);
            readTiffEntryBytes(fd.get(), order, e, raw);
            std::vector<uint32_t> u;
            readTiffUints(fd.get(), order, e, u);
        }
        getTiffColormap(fd.get(), ifd.get(), table, order);
        double d[6];
        getGeoTiffPixelScales(fd.get(), ifd.get(), order, d);
        getGeoTiffTiePoints(fd.get(), ifd.get(), order, d);
    }
    // Recognition, then the reader on a record that has no store cache.
    RAMImage img;
    img.fd = fd.get();
    if (imgTiff(fd.get(), "input.tif", &img.head, &img.privData) == IMG_TIFF) {
        std::vector<unsigned char> buf;
        for (int line = 0; line < img.head.rows;) {
            int first = line, count = 0;
            if (!getTiffBlock(&img, &first, &count, buf) || count < 1) break;
            line = first + count;
        }
        updateTiffIndices(fd.get(), &img.head, img.privData.get());
    }
    img.fd = -1;
    return 0;
}
