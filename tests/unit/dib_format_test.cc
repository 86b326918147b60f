// DIB files: bitmaps made by ppmtobmp read pixel for pixel as bmptopnm
// decodes them, hostile headers refused, written bitmaps read back by
// bmptopnm, and palette rewrites that stay inside the file's palette.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "ppm_oracle.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testsupport::takeOutput;

struct OracleCase {
    const char* name;
    int pixel, nbands, nindices, block;
};

TEST(DibRead, ToolFilesMatchTheirDecodePixelForPixel) {
    const OracleCase cases[] = {
        {"dib1", PIX_1BIT, 1, 2, 8},   // 33 pixels: a padded 8-byte row
        {"dib4", PIX_4BITS, 1, 16, 8},  {"dib8", PIX_BYTE, 1, 256, 24},
        {"dib24", PIX_BYTE, 3, 0, 60},  {"dibv5", PIX_BYTE, 1, 256, 24},  // palette after a 124-byte header
        {"dibfew", PIX_BYTE, 1, 5, 24},  // five declared colours
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RAMImage* img = oracle::openImage(oracle::scratchCopy(std::string(c.name) + ".bmp"));
        if (!img) continue;
        EXPECT_EQ(img->head.imgid, IMG_DIB);
        EXPECT_EQ(img->head.pixel, c.pixel);
        EXPECT_EQ(img->head.nbands, c.nbands);
        EXPECT_EQ(img->head.nindices, c.nindices);
        EXPECT_EQ(img->head.block, c.block);
        EXPECT_EQ(oracle::countColourMismatches(img, oracle::readPnm(oracle::fixture(std::string(c.name) + ".pnm")),
                                                c.nbands == 3),
                  0);
        closeRAMImage(img, nullptr);
    }
    EXPECT_EQ(takeOutput(), "");
}

// A 54-byte header followed by `paletteBytes` and the pixel rows.
Bytes dibFile(int32_t width, int32_t height, int bits, uint32_t compression = 0, uint32_t infoSize = 40,
              int paletteEntries = -1) {
    if (paletteEntries < 0) paletteEntries = bits <= 8 ? 1 << bits : 0;
    uint32_t offset = 14 + infoSize + 4 * paletteEntries;
    int64_t rowBytes = (int64_t{bits} * (width > 0 ? width : 1) + 31) / 32 * 4;
    int64_t rows = height > 0 ? height : -int64_t{height};
    // Pixel rows only for small pictures: large ones are meant not to fit.
    Bytes b(offset + static_cast<size_t>(rowBytes * rows < 4096 ? rowBytes * rows : 0), 0);
    b[0] = 'B';
    b[1] = 'M';
    storeLE32(&b[2], static_cast<uint32_t>(b.size()));
    storeLE32(&b[10], offset);
    storeLE32(&b[14], infoSize);
    storeLE32(&b[18], static_cast<uint32_t>(width));
    storeLE32(&b[22], static_cast<uint32_t>(height));
    storeLE16(&b[26], 1);
    storeLE16(&b[28], static_cast<uint16_t>(bits));
    storeLE32(&b[30], compression);
    return b;
}

int recognise(const Bytes& data, ImageHead* h) {
    std::string path = testsupport::scratchDir() + "/x.bmp";
    testsupport::writeFile(path, data);
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    *h = blankImageHead();
    return imgDIB(fd.get(), path.c_str(), h, nullptr);
}

TEST(DibRead, HostileOrUnsupportedHeadersAreRefused) {
    ImageHead h;
    EXPECT_EQ(recognise(dibFile(5, 3, 8), &h), IMG_DIB);
    takeOutput();
    // Top-down rows, negative width, run-length compression: refused with a
    // message, not read as garbage.
    EXPECT_EQ(recognise(dibFile(5, -3, 8), &h), -1);
    EXPECT_EQ(recognise(dibFile(-5, 3, 8), &h), -1);
    EXPECT_EQ(recognise(dibFile(5, 3, 8, 1), &h), -1);
    EXPECT_NE(takeOutput(), "");
    // Declared pixels far beyond the file.
    EXPECT_EQ(recognise(dibFile(100000, 100000, 24), &h), -1);
    EXPECT_EQ(recognise(dibFile(0x7fffffff, 2, 24), &h), -1);
    takeOutput();
    // Bit counts outside 1, 4, 8, 24 are not this format, after the message.
    EXPECT_EQ(recognise(dibFile(5, 3, 16), &h), 0);
    EXPECT_EQ(takeOutput(), "Error in initDIB_Bi: invalid BitCount.\n");
    // Core (12-byte) info headers lay their fields out differently.
    EXPECT_EQ(recognise(dibFile(5, 3, 8, 0, 12), &h), 0);
    Bytes shortFile = dibFile(5, 3, 8);
    shortFile.resize(40);
    EXPECT_EQ(recognise(shortFile, &h), 0);
}

TEST(DibRead, PaletteStopsAtThePixelData) {
    // An 8-bit file declaring no count but holding only 3 entries before its
    // pixels: the pixels are not taken for colours.
    Bytes b = dibFile(4, 2, 8, 0, 40, 3);
    for (int i = 0; i < 3; ++i) b[54 + 4 * i + 2] = static_cast<unsigned char>(10 * (i + 1));
    ImageHead h;
    ASSERT_EQ(recognise(b, &h), IMG_DIB);
    EXPECT_EQ(h.nindices, 3);
    EXPECT_EQ(h.colorTable[2][0], 30);
    // No palette at all: the indices show as greys.
    ASSERT_EQ(recognise(dibFile(4, 2, 4, 0, 40, 0), &h), IMG_DIB);
    EXPECT_EQ(h.nindices, 16);
    EXPECT_EQ(h.colorTable[15][1], 255);
    EXPECT_EQ(h.colorTable[1][1], 17);
}

// A new DIB made through the store with a pattern written into it.
std::string writeDib(int pixel, int nbands, int columns, int rows, int nindices, bool colours) {
    ImageHead h = blankImageHead();
    std::string path = testsupport::scratchDir() + "/new.bmp";
    setHeadFile(h, path.c_str());
    h.imgid = IMG_DIB;
    h.pixel = pixel;
    h.bits = pixelBits(pixel);
    h.nbands = nbands;
    h.rows = rows;
    h.columns = columns;
    h.nindices = nindices;
    for (int i = 0; colours && i < 256; ++i) {
        h.colorTable[i][0] = static_cast<unsigned char>(i * 7);
        h.colorTable[i][1] = static_cast<unsigned char>(255 - i);
        h.colorTable[i][2] = static_cast<unsigned char>(i * 3 + 1);
    }
    int err = 0;
    RAMImage* img = openRAMImageNew(&h, nullptr, 1, &err);
    EXPECT_NE(img, nullptr) << ramimgError(err) << takeOutput();
    if (!img) return path;
    int maxv = pixel == PIX_1BIT ? 2 : pixel == PIX_4BITS ? 16 : 256;
    std::vector<unsigned char> line(static_cast<size_t>(columns));
    for (int y = 0; y < rows; ++y)
        for (int b = 0; b < nbands; ++b) {
            for (int x = 0; x < columns; ++x) line[x] = static_cast<unsigned char>((x * 5 + y * 3 + b * 11) % maxv);
            putByteBILData(img, y, 0, columns, b, line.data());
        }
    EXPECT_TRUE(flushRAMImage(img));
    closeRAMImage(img, nullptr);
    return path;
}

TEST(DibWrite, WrittenBitmapsDecodeInTheOracleAndReadBack) {
    struct Case {
        int pixel, nbands, bitCount;
    } cases[] = {{PIX_1BIT, 1, 1}, {PIX_4BITS, 1, 4}, {PIX_BYTE, 1, 8}, {PIX_BYTE, 3, 24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bitCount);
        int nindices = c.nbands == 1 ? 1 << c.bitCount : 0;
        std::string path = writeDib(c.pixel, c.nbands, 13, 5, nindices, true);
        Bytes file = testsupport::readFile(path);
        ASSERT_GE(file.size(), 54u);
        EXPECT_EQ(loadLE32(&file[10]), 1080u);
        EXPECT_EQ(loadLE16(&file[28]), c.bitCount);
        EXPECT_EQ(file.size(), 1080u + 5 * ((13 * c.bitCount + 31) / 32 * 4));

        oracle::Pnm decoded = oracle::parsePnm(
            Bytes{[&] {
                std::string s = testsupport::run("bmptopnm " + path + " 2>/dev/null");
                return Bytes(s.begin(), s.end());
            }()});
        RAMImage* img = oracle::openImage(path);
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(img->head.pixel, c.pixel);
        EXPECT_EQ(img->head.nindices, nindices);
        EXPECT_EQ(oracle::countColourMismatches(img, decoded, c.nbands == 3), 0);
        int maxv = c.pixel == PIX_1BIT ? 2 : c.pixel == PIX_4BITS ? 16 : 256;
        unsigned char v = 0;
        getByteBILData(img, 4, 12, 1, c.nbands - 1, &v);
        EXPECT_EQ(v, (12 * 5 + 4 * 3 + (c.nbands - 1) * 11) % maxv);
        closeRAMImage(img, nullptr);
    }
}

TEST(DibWrite, GreyImageWithoutColourTableGetsGreyPalette) {
    for (int nindices : {0, 256}) {  // no table, and the all-zero table of a fresh head
        std::string path = writeDib(PIX_BYTE, 1, 6, 2, nindices, false);
        std::string s = testsupport::run("bmptopnm " + path + " 2>/dev/null");
        oracle::Pnm d = oracle::parsePnm(Bytes(s.begin(), s.end()));
        ASSERT_EQ(d.width, 6);
        for (int x = 0; x < 6; ++x) EXPECT_EQ(d.at(x, 1, 1), (x * 5 + 3) % 256);
    }
}

TEST(DibWrite, PaletteUpdateWritesOnlyTheEntriesTheFileHas) {
    std::string path = oracle::scratchCopy("dibfew.bmp");
    Bytes before = testsupport::readFile(path);
    zarn::UniqueFd fd(::open(path.c_str(), O_RDWR));
    ImageHead h = blankImageHead();
    ASSERT_EQ(imgDIB(fd.get(), path.c_str(), &h, nullptr), IMG_DIB);
    h.nindices = 256;  // more than the file's five
    for (int i = 0; i < 256; ++i) h.colorTable[i][0] = h.colorTable[i][1] = h.colorTable[i][2] = 200;
    EXPECT_EQ(updateDIBIndices(fd.get(), &h), 5);
    Bytes after = testsupport::readFile(path);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(after.begin() + h.offset, after.end(), before.begin() + h.offset));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(after[54 + 4 * i], 200);
        EXPECT_EQ(after[54 + 4 * i + 3], before[54 + 4 * i + 3]);
    }
    // The pixel type must match the file's bit count.
    h.pixel = PIX_4BITS;
    EXPECT_EQ(updateDIBIndices(fd.get(), &h), 0);
}

}  // namespace
