// Files the package writes: other readers accept them without warnings and
// see the same geometry, pixels, colour map and map origin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "formats/formats.h"
#include "formats/tiffdir.h"
#include "ramimage/convert.h"
#include "support.h"

namespace {

ImageHead makeHead(const std::string& file, int pixel, int columns, int rows, int bands) {
    ImageHead h = blankImageHead();
    setHeadFile(h, file.c_str());
    h.imgid = IMG_TIFF;
    h.pixel = pixel;
    h.bits = pixelBits(pixel);
    h.columns = columns;
    h.rows = rows;
    h.nbands = bands;
    return h;
}

// Creates the file through the store and fills band b of pixel (x, y) with
// value(x, y, b) written as a float.
template <class F>
void writeImage(ImageHead h, F value) {
    int err = 0;
    RAMImage* img = openRAMImageNew(&h, nullptr, 1, &err);
    ASSERT_NE(img, nullptr) << err << testsupport::takeOutput();
    std::vector<float> row(static_cast<size_t>(h.columns));
    for (int y = 0; y < h.rows; ++y)
        for (int b = 0; b < h.nbands; ++b) {
            for (int x = 0; x < h.columns; ++x) row[x] = value(x, y, b);
            ASSERT_EQ(putFloatBILData(img, y, 0, h.columns, b, row.data()), 1);
        }
    EXPECT_TRUE(flushRAMImage(img));
    closeRAMImage(img, nullptr);
}

std::string quietRun(const std::string& cmd) { return testsupport::run(cmd + " 2>&1"); }

TEST(TiffWrite, OtherReadersAcceptEveryPixelType) {
    struct Case {
        int pixel, bands;
        const char* gdalType;
    };
    const Case cases[] = {{PIX_BYTE, 1, "Byte"},    {PIX_BYTE, 3, "Byte"},     {PIX_BYTE, 2, "Byte"},
                          {PIX_USHORT, 1, "UInt16"}, {PIX_SHORT, 4, "Int16"},  {PIX_LONG, 1, "Int32"},
                          {PIX_FLOAT, 3, "Float32"}, {PIX_ULONG, 1, "UInt32"}, {PIX_4BITS, 1, "Byte"},
                          {PIX_1BIT, 1, "Byte"}};
    std::string dir = testsupport::scratchDir();
    for (const Case& c : cases) {
        std::string name = dir + "/w" + std::to_string(c.pixel) + "_" + std::to_string(c.bands) + ".tif";
        SCOPED_TRACE(name);
        ImageHead h = makeHead(name, c.pixel, 19, 7, c.bands);
        int mask = c.pixel == PIX_1BIT ? 1 : c.pixel == PIX_4BITS ? 15 : 255;
        auto value = [&](int x, int y, int b) {
            float v = static_cast<float>((x * 7 + y * 13 + b * 5) & mask);
            return c.pixel == PIX_SHORT || c.pixel == PIX_LONG ? v - 100 : c.pixel == PIX_FLOAT ? v + 0.25f : v;
        };
        writeImage(h, value);
        EXPECT_EQ(testsupport::run("tiffinfo " + name + " 2>&1 >/dev/null"), "");
        std::string info = quietRun("gdalinfo " + name);
        EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
        EXPECT_NE(info.find("Size is 19, 7"), std::string::npos) << info;
        EXPECT_NE(info.find(std::string("Type=") + c.gdalType), std::string::npos) << info;
        std::string bip = name + ".bip";
        quietRun("gdal_translate -q -ot Float32 -of ENVI -co INTERLEAVE=BIP " + name + " " + bip);
        auto data = testsupport::readFile(bip);
        ASSERT_EQ(data.size(), size_t{19} * 7 * c.bands * 4);
        int bad = 0;
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 19; ++x)
                for (int b = 0; b < c.bands; ++b) {
                    float v;
                    std::memcpy(&v, data.data() + ((y * 19 + x) * c.bands + b) * 4, 4);
                    if (v != value(x, y, b)) ++bad;
                }
        EXPECT_EQ(bad, 0);
        // Entries in ascending tag order.
        std::string dump = quietRun("tiffdump " + name);
        EXPECT_EQ(dump.find("not sorted"), std::string::npos);
    }
}

TEST(TiffWrite, PaletteFilesCarryFullColourMaps) {
    std::string dir = testsupport::scratchDir();
    for (int pixel : {PIX_1BIT, PIX_4BITS, PIX_BYTE}) {
        std::string name = dir + "/pal" + std::to_string(pixel) + ".tif";
        ImageHead h = makeHead(name, pixel, 16, 4, 1);
        h.nindices = pixel == PIX_1BIT ? 2 : 16;
        for (int i = 0; i < 256; ++i) {
            h.colorTable[i][0] = static_cast<unsigned char>(i);
            h.colorTable[i][1] = static_cast<unsigned char>(255 - i);
            h.colorTable[i][2] = static_cast<unsigned char>(i * 3);
        }
        writeImage(h, [](int x, int, int) { return static_cast<float>(x & 1); });
        EXPECT_EQ(testsupport::run("tiffinfo " + name + " 2>&1 >/dev/null"), "");
        std::string dump = quietRun("tiffdump " + name);
        int colours = pixel == PIX_1BIT ? 2 : pixel == PIX_4BITS ? 16 : 256;
        EXPECT_NE(dump.find("Colormap (320) SHORT (3) " + std::to_string(3 * colours) + "<"), std::string::npos)
            << dump;
        // Read back: the same table.
        int fd = ::open(name.c_str(), O_RDONLY);
        ImageHead back = blankImageHead();
        HandlerPtr priv;
        ASSERT_EQ(imgTiff(fd, name.c_str(), &back, &priv), IMG_TIFF);
        ::close(fd);
        EXPECT_EQ(back.nindices, colours);
        for (int i = 0; i < std::min(colours, 16); ++i)
            for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(back.colorTable[i][ch], h.colorTable[i][ch]);
        std::string info = quietRun("gdalinfo " + name);
        EXPECT_NE(info.find("Color Table"), std::string::npos) << info;
        EXPECT_NE(info.find("1: 1,254,3,255"), std::string::npos) << info;
    }
}

// The colour map of an open palette file is rewritten in place.
TEST(TiffWrite, ColourIndicesRewriteTheMap) {
    std::string name = testsupport::scratchDir() + "/idx.tif";
    ImageHead h = makeHead(name, PIX_BYTE, 8, 2, 1);
    h.nindices = 256;
    writeImage(h, [](int, int, int) { return 1.0f; });
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, name.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    img->head.colorTable[1][0] = 200;
    img->head.colorTable[1][1] = 100;
    img->head.colorTable[1][2] = 50;
    EXPECT_EQ(updateImageIndices(img->fd, &img->head, img->privData.get()), 768);
    closeRAMImage(img, nullptr);
    std::string info = quietRun("gdalinfo " + name);
    EXPECT_NE(info.find("1: 200,100,50,255"), std::string::npos) << info;
}

TEST(TiffWrite, MapOriginReachesGdal) {
    std::string name = testsupport::scratchDir() + "/geo.tif";
    ImageHead h = makeHead(name, PIX_BYTE, 30, 20, 1);
    h.x0 = 500000.0;
    h.y0 = 4100000.0;
    h.dx = 30.0;
    h.dy = 15.0;
    writeImage(h, [](int x, int, int) { return static_cast<float>(x); });
    std::string info = quietRun("gdalinfo " + name);
    EXPECT_EQ(info.find("Warning"), std::string::npos) << info;
    EXPECT_NE(info.find("Origin = (500000.000000000000000,4100000.000000000000000)"), std::string::npos) << info;
    EXPECT_NE(info.find("Pixel Size = (30.000000000000000,-15.000000000000000)"), std::string::npos) << info;
    // libtiff knows no GeoTIFF tags and says so for every GeoTIFF; nothing
    // else may be reported.
    EXPECT_EQ(testsupport::run("tiffinfo " + name + " 2>&1 >/dev/null | grep -v -E 'Unknown field with tag (33550|33922|34735) '"), "");
    int fd = ::open(name.c_str(), O_RDONLY);
    ImageHead back = blankImageHead();
    HandlerPtr priv;
    ASSERT_EQ(imgTiff(fd, name.c_str(), &back, &priv), IMG_TIFF);
    ::close(fd);
    EXPECT_EQ(back.x0, 500000.0);
    EXPECT_EQ(back.y0, 4100000.0);
    EXPECT_EQ(back.dx, 30.0);
    EXPECT_EQ(back.dy, 15.0);
    // The default origin writes no GeoTIFF tags.
    std::string plain = testsupport::scratchDir() + "/plain.tif";
    writeImage(makeHead(plain, PIX_BYTE, 4, 4, 1), [](int, int, int) { return 0.0f; });
    EXPECT_EQ(quietRun("tiffdump " + plain).find("33550"), std::string::npos);
}

TEST(TiffWrite, TwoBandsKeepBitsInline) {
    std::string name = testsupport::scratchDir() + "/two.tif";
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ImageHead h = makeHead(name, PIX_USHORT, 5, 3, 2);
    ASSERT_EQ(initTiffHead(fd, 1, &h), 8);
    EXPECT_EQ(h.offset, 8);
    EXPECT_EQ(h.block, 20);
    auto dir = getTiffDir(fd);
    ASSERT_NE(dir, nullptr);
    const TiffEntry* bps = findTiffEntry(dir->ifds[0].get(), kTagBitsPerSample);
    ASSERT_NE(bps, nullptr);
    EXPECT_EQ(bps->count, 2u);
    EXPECT_EQ(tiffEntryHalf(*bps, 0), 16);
    EXPECT_EQ(tiffEntryHalf(*bps, 1), 16);
    // Several 1-bit samples a pixel are refused: no reader here takes them.
    ImageHead bad = makeHead(name, PIX_1BIT, 5, 3, 3);
    EXPECT_EQ(initTiffHead(fd, 0, &bad), -1);
    ::close(fd);
    testsupport::takeOutput();
}

}  // namespace
