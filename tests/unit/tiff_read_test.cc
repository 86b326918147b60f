// TIFF reading against GDAL's and libtiff's files: heads, and every line read
// through the store compared with GDAL's own decode of the same file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "formats/formats.h"
#include "formats/tiffdir.h"
#include "ramimage/fileio.h"
#include "support.h"

namespace {

struct Fixture {
    std::string name, type;
    int columns, rows, bands;
};

std::vector<Fixture> fixtures() {
    std::vector<Fixture> out;
    std::ifstream in(testsupport::fixtureDir() + "/tiff/list.txt");
    Fixture f;
    while (in >> f.name >> f.columns >> f.rows >> f.bands >> f.type) out.push_back(f);
    return out;
}

std::string copyFixture(const std::string& name) {
    std::string dst = testsupport::scratchDir() + "/" + name + ".tif";
    std::filesystem::copy_file(testsupport::fixtureDir() + "/tiff/" + name + ".tif", dst,
                               std::filesystem::copy_options::overwrite_existing);
    return dst;
}

int expectedPixel(const Fixture& f, int bits) {
    if (f.type == "Byte") return bits == 1 ? PIX_1BIT : bits == 4 ? PIX_4BITS : PIX_BYTE;
    if (f.type == "UInt16") return PIX_USHORT;
    if (f.type == "Int16") return PIX_SHORT;
    if (f.type == "UInt32") return PIX_ULONG;
    if (f.type == "Int32") return PIX_LONG;
    return PIX_FLOAT;
}

int gdalBytes(const std::string& type) {
    if (type == "Byte") return 1;
    if (type == "UInt16" || type == "Int16") return 2;
    return 4;
}

// Sample x of a host-order band-line, as raw bits widened to 64.
uint64_t cacheSample(const unsigned char* line, int pixel, int msbf, int x) {
    switch (pixel) {
    case PIX_1BIT: {
        int bit = msbf ? 7 - x % 8 : x % 8;
        return (line[x / 8] >> bit) & 1;
    }
    case PIX_4BITS: {
        bool high = msbf ? x % 2 == 0 : x % 2 == 1;
        return high ? line[x / 2] >> 4 : line[x / 2] & 15;
    }
    case PIX_BYTE: return line[x];
    case PIX_SHORT:
    case PIX_USHORT: {
        uint16_t v;
        std::memcpy(&v, line + 2 * x, 2);
        return v;
    }
    default: {
        uint32_t v;
        std::memcpy(&v, line + 4 * x, 4);
        return v;
    }
    }
}

uint64_t oracleSample(const std::vector<unsigned char>& bip, const Fixture& f, int x, int y, int b) {
    int n = gdalBytes(f.type);
    size_t at = ((static_cast<size_t>(y) * f.columns + x) * f.bands + b) * n;
    uint64_t v = 0;
    std::memcpy(&v, bip.data() + at, n);
    return v;
}

// Opens a fixture copy through the store and compares every band-line.
void checkThroughStore(const Fixture& f, const std::string& path, const std::vector<unsigned char>& bip) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr) << f.name << " err " << err << " " << testsupport::takeOutput();
    const ImageHead& h = img->head;
    EXPECT_EQ(h.imgid, IMG_TIFF);
    EXPECT_EQ(h.columns, f.columns);
    EXPECT_EQ(h.rows, f.rows);
    EXPECT_EQ(h.nbands, f.bands);
    EXPECT_EQ(h.pixel, expectedPixel(f, h.bits)) << f.name;
    int bad = 0;
    // Bottom-up order exercises the lowering of *line to a block's start.
    for (int y = f.rows - 1; y >= 0; --y)
        for (int b = 0; b < f.bands; ++b) {
            const unsigned char* line = img->getLineProc(img, y, b, 1);
            ASSERT_NE(line, nullptr);
            for (int x = 0; x < f.columns; ++x)
                if (cacheSample(line, h.pixel, h.msbf, x) != oracleSample(bip, f, x, y, b) && bad++ < 5)
                    ADD_FAILURE() << f.name << " pixel " << x << "," << y << " band " << b;
        }
    EXPECT_EQ(bad, 0) << f.name;
    closeRAMImage(img, nullptr);
}

TEST(TiffRead, EveryFixtureMatchesGdal) {
    auto list = fixtures();
    ASSERT_GE(list.size(), 20u) << "fixtures missing";
    for (const auto& f : list) {
        SCOPED_TRACE(f.name);
        std::string path = copyFixture(f.name);
        auto bip = testsupport::readFile(testsupport::fixtureDir() + "/tiff/" + f.name + ".bip");
        ASSERT_EQ(bip.size(), static_cast<size_t>(f.columns) * f.rows * f.bands * gdalBytes(f.type));
        checkThroughStore(f, path, bip);
    }
    testsupport::takeOutput();
}

// getTiffBlock's contract with the cache: the block starts at or before the
// line, holds it, never passes the last row, and has at most
// tiffBlockLines lines.
TEST(TiffRead, BlocksCoverTheLineAndStayInsideTheImage) {
    for (const char* name : {"u8_le_r1", "rgb_be_r3", "rgb_le_t16", "u16_be_pb_r3", "tcp_rgb_le_pb_r3", "norps"}) {
        SCOPED_TRACE(name);
        int err = 0;
        std::string path = copyFixture(name);
        RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr);
        int most = tiffBlockLines(img);
        ASSERT_GT(most, 0);
        for (int l = 0; l < img->head.rows; ++l) {
            int first = l, count = 0;
            std::vector<unsigned char> buf;
            ASSERT_TRUE(getTiffBlock(img, &first, &count, buf));
            EXPECT_LE(first, l);
            EXPECT_GT(first + count, l);
            EXPECT_LE(first + count, img->head.rows);
            EXPECT_LE(count, most);
            EXPECT_EQ(buf.size(), static_cast<size_t>(count) * img->head.block);
        }
        int first = img->head.rows, count = 0;
        std::vector<unsigned char> buf;
        EXPECT_FALSE(getTiffBlock(img, &first, &count, buf));
        closeRAMImage(img, nullptr);
    }
}

TEST(TiffRead, HeadsAgreeAcrossByteOrders) {
    // The same pixels written little- and big-endian by libtiff.
    int fa = ::open((testsupport::fixtureDir() + "/tiff/u8_le_r1.tif").c_str(), O_RDONLY);
    int fb = ::open((testsupport::fixtureDir() + "/tiff/tcp_u8_be_t16.tif").c_str(), O_RDONLY);
    ImageHead a = blankImageHead(), b = blankImageHead();
    HandlerPtr pa, pb;
    EXPECT_EQ(imgTiff(fa, "a", &a, &pa), IMG_TIFF);
    EXPECT_EQ(imgTiff(fb, "b", &b, &pb), IMG_TIFF);
    EXPECT_EQ(a.msbf, 0);
    EXPECT_EQ(b.msbf, 1);
    EXPECT_EQ(a.rows, b.rows);
    EXPECT_EQ(a.columns, b.columns);
    EXPECT_EQ(a.block, b.block);
    EXPECT_EQ(a.pixel, b.pixel);
    auto* ib = dynamic_cast<TiffInfo*>(pb.get());
    ASSERT_NE(ib, nullptr);
    EXPECT_EQ(ib->tileWidth, 16);
    EXPECT_EQ(ib->byteOrder, kTiffBig);
    // ImageWidth is a SHORT in this big-endian file.
    const TiffEntry* w = findTiffEntry(ib->dir->ifds[0].get(), kTagImageWidth);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->type, kTiffShort);
    EXPECT_EQ(getTiffImageWidth(ib->dir->ifds[0].get()), 37);
    ::close(fa);
    ::close(fb);
}

TEST(TiffRead, PaletteBilevelAndGeoHeads) {
    auto head = [](const std::string& name) {
        int fd = ::open((testsupport::fixtureDir() + "/tiff/" + name + ".tif").c_str(), O_RDONLY);
        ImageHead h = blankImageHead();
        HandlerPtr p;
        EXPECT_EQ(imgTiff(fd, name.c_str(), &h, &p), IMG_TIFF) << name;
        ::close(fd);
        return h;
    };
    ImageHead p8 = head("pal8_le");
    EXPECT_EQ(p8.nindices, 256);
    // GDAL stores colour c as c * 257; the table holds c.
    EXPECT_EQ(p8.colorTable[5][0], (5 * 37) % 256);
    EXPECT_EQ(p8.colorTable[5][1], (5 * 91 + 7) % 256);
    EXPECT_EQ(p8.colorTable[5][2], 250);
    ImageHead p4 = head("pal4_be");
    EXPECT_EQ(p4.pixel, PIX_4BITS);
    EXPECT_EQ(p4.nindices, 16);
    EXPECT_EQ(p4.msbf, 1);
    EXPECT_EQ(p4.colorTable[15][2], 240);
    ImageHead black = head("bit1_le"), white = head("bit1_white"), lsb = head("bit1_lsb");
    EXPECT_EQ(black.nindices, 2);
    EXPECT_EQ(black.colorTable[0][0], 0);
    EXPECT_EQ(black.colorTable[1][0], 255);
    EXPECT_EQ(white.colorTable[0][0], 255);
    EXPECT_EQ(white.colorTable[1][0], 0);
    EXPECT_EQ(black.msbf, 1);
    EXPECT_EQ(lsb.msbf, 0);
    ImageHead g = head("geo");
    EXPECT_DOUBLE_EQ(g.x0, 1000.0);
    EXPECT_DOUBLE_EQ(g.y0, 2000.0);
    EXPECT_DOUBLE_EQ(g.dx, 10.0);
    EXPECT_DOUBLE_EQ(g.dy, 10.0);
    ImageHead plain = head("u8_le_r1");
    EXPECT_EQ(plain.x0, 0.0);
    EXPECT_EQ(plain.dx, 1.0);
    EXPECT_EQ(plain.nindices, 0);
}

// Three directories: 1 and 2 share a geometry, 3 is RGB.
TEST(TiffRead, DirectoriesAreVolumes) {
    int err = 0;
    std::string path = copyFixture("multi");
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->head.nvolumes, 3);
    auto u8 = testsupport::readFile(testsupport::fixtureDir() + "/tiff/u8_le_r1.bip");
    auto rgb = testsupport::readFile(testsupport::fixtureDir() + "/tiff/rgb_le_t16.bip");
    EXPECT_EQ(getRAMImageVolume(img, 1), 1);
    EXPECT_EQ(img->getLineProc(img, 5, 0, 1)[7], u8[5 * 37 + 7]);
    EXPECT_EQ(getRAMImageVolume(img, 0), 2);
    EXPECT_EQ(img->head.nbands, 1);
    EXPECT_EQ(img->getLineProc(img, 22, 0, 1)[36], u8[22 * 37 + 36]);
    EXPECT_EQ(getRAMImageVolume(img, 0), 3);
    // Re-shaped to the RGB directory's geometry.
    EXPECT_EQ(img->head.nbands, 3);
    EXPECT_EQ(img->slotCount, int64_t{img->cacheLines} * 3);
    for (int b = 0; b < 3; ++b) EXPECT_EQ(img->getLineProc(img, 20, b, 1)[30], rgb[(20 * 37 + 30) * 3 + b]);
    EXPECT_EQ(getRAMImageVolume(img, 0), -2);
    EXPECT_EQ(img->curVolume, 3);
    EXPECT_EQ(getRAMImageVolume(img, 7), 3);
    EXPECT_EQ(getRAMImageVolume(img, 1), 1);
    EXPECT_EQ(img->head.nbands, 1);
    EXPECT_EQ(img->getLineProc(img, 5, 0, 1)[7], u8[5 * 37 + 7]);
    closeRAMImage(img, nullptr);
    testsupport::takeOutput();
}

// Lines written through the cache go back through the strip or tile map;
// GDAL sees the new pixels.  A PackBits file refuses and stays unchanged.
TEST(TiffRead, WritingBackGoesThroughTheMap) {
    for (const char* name : {"u16_le_t16", "rgb_be_r3", "i16_be_r1"}) {
        SCOPED_TRACE(name);
        std::string path = copyFixture(name);
        int err = 0;
        RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
        ASSERT_NE(img, nullptr);
        int bpp = pixelBits(img->head.pixel) / 8;
        for (int b = 0; b < img->head.nbands; ++b) {
            unsigned char* line = img->getLineProc(img, 17, b, 1);
            for (int x = 0; x < img->head.columns; ++x) {
                uint64_t v = static_cast<uint64_t>(x * 3 + b + 1);
                std::memcpy(line + x * bpp, &v, bpp);
            }
            updateRAMImageLine(img, 17, 0, img->head.columns, b);
        }
        EXPECT_TRUE(flushRAMImage(img));
        closeRAMImage(img, nullptr);
        std::string bip = path + ".bip";
        testsupport::run("gdal_translate -q -of ENVI -co INTERLEAVE=BIP " + path + " " + bip);
        auto got = testsupport::readFile(bip);
        auto orig = testsupport::readFile(testsupport::fixtureDir() + "/tiff/" + std::string(name) + ".bip");
        ASSERT_EQ(got.size(), orig.size());
        const size_t perPixel = got.size() / (37 * 23);
        int changed = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (i / perPixel / 37 != 17 && got[i] != orig[i]) ++changed;
        EXPECT_EQ(changed, 0);
        for (int x = 0; x < 37; ++x) {
            uint64_t v = 0;
            std::memcpy(&v, got.data() + (17 * 37 + x) * perPixel, bpp);
            EXPECT_EQ(v, static_cast<uint64_t>(x * 3 + 1)) << x;
        }
    }
    std::string path = copyFixture("u8_le_pb_all");
    auto before = testsupport::readFile(path);
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    ASSERT_NE(img, nullptr);
    img->getLineProc(img, 3, 0, 1)[0] ^= 0xFF;
    updateRAMImageLine(img, 3, 0, 1, 0);
    testsupport::takeOutput();
    EXPECT_FALSE(flushRAMImage(img));
    EXPECT_NE(testsupport::takeOutput().find("compressed"), std::string::npos);
    inValidateRAMImage(img);
    closeRAMImage(img, nullptr);
    EXPECT_EQ(testsupport::readFile(path), before);
}

}  // namespace
