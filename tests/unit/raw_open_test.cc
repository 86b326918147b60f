// Raw, ERDAS, ELAS and FFT files opened through the store and compared pixel
// by pixel with independent decodes (GDAL, numpy); files created by the
// header writers read back by the store and by GDAL.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/fft.h"
#include "formats/formats.h"
#include "ramimage/convert.h"
#include "ramimage/hist.h"
#include "ramimage/ramimage.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::takeOutput;

// A fixture copied into the scratch directory (the store opens read-write).
std::string fixtureCopy(const std::string& name) {
    std::string dst = testsupport::scratchDir() + "/" + name;
    fs::copy_file(testsupport::fixtureDir() + "/raw/" + name, dst, fs::copy_options::overwrite_existing);
    return dst;
}

std::vector<float> readFloats(const std::string& path) {
    auto bytes = testsupport::readFile(path);
    std::vector<float> v(bytes.size() / 4);
    std::memcpy(v.data(), bytes.data(), v.size() * 4);
    return v;
}

struct Meta {
    int columns = 0, rows = 0, bands = 0;
};
Meta readMeta(const std::string& stem) {
    Meta m;
    std::ifstream in(testsupport::fixtureDir() + "/raw/" + stem + ".meta");
    in >> m.columns >> m.rows >> m.bands;
    return m;
}

// Every sample of the image, band after band, as floats.
std::vector<float> allSamples(RAMImage* img) {
    const ImageHead& h = img->head;
    std::vector<float> out(size_t(h.nbands) * h.rows * h.columns);
    for (int b = 0; b < h.nbands; ++b)
        for (int y = 0; y < h.rows; ++y)
            getFloatBILData(img, y, 0, h.columns, b, out.data() + (size_t(b) * h.rows + y) * h.columns);
    return out;
}

struct Opened {
    RAMImage* img = nullptr;
    explicit Opened(const std::string& path) {
        int err = -1;
        img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
        EXPECT_EQ(err, 0) << path << ": " << ramimgError(err) << " " << takeOutput();
    }
    ~Opened() {
        if (img) closeRAMImage(img, nullptr);
    }
};

TEST(RawOpen, FixturesMatchTheirOracleDecode) {
    struct Case {
        const char* file;
        const char* stem;
        int imgid, pixel;
    } cases[] = {
        {"lan_byte.lan", "lan_byte", IMG_E74, PIX_BYTE},
        {"lan_int16.lan", "lan_int16", IMG_E74, PIX_USHORT},
        {"basic_msb_bsq.img", "basic_msb_bsq", IMG_BSQ, PIX_SHORT},
        {"basic_lsb_bil.img", "basic_lsb_bil", IMG_BIL, PIX_FLOAT},
        {"basic_msb_bip.img", "basic_msb_bip", IMG_BIP, PIX_USHORT},
        {"basic_msb_cmap.img", "basic_msb_cmap", IMG_BSQ, PIX_BYTE},
        {"elas.img", "elas", IMG_ELAS, PIX_BYTE},
        {"fft.img", "fft", IMG_FFT, PIX_FLOAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Opened o(fixtureCopy(c.file));
        ASSERT_NE(o.img, nullptr);
        const ImageHead& h = o.img->head;
        Meta m = readMeta(c.stem);
        EXPECT_EQ(h.imgid, c.imgid);
        EXPECT_EQ(h.pixel, c.pixel);
        EXPECT_EQ(h.columns, m.columns);
        EXPECT_EQ(h.rows, m.rows);
        EXPECT_EQ(h.nbands, m.bands);
        std::vector<float> want = readFloats(testsupport::fixtureDir() + "/raw/" + c.stem + ".f32");
        std::vector<float> got = allSamples(o.img);
        ASSERT_EQ(got.size(), want.size());
        size_t bad = 0;
        for (size_t i = 0; i < got.size(); ++i) bad += got[i] != want[i];
        EXPECT_EQ(bad, 0u) << "first sample " << got[0] << " want " << want[0];
        if (c.imgid == IMG_E74 && c.pixel == PIX_BYTE) {
            // GDAL puts the map origin at the centre of the first pixel.
            EXPECT_DOUBLE_EQ(h.x0, 0.5);
            EXPECT_DOUBLE_EQ(h.y0, 22.5);
        }
        if (h.nindices) {
            EXPECT_EQ(h.colorTable[5][0] * 1000000 + h.colorTable[5][1] * 1000 + h.colorTable[5][2], 35065250);
        }
    }
}

TEST(RawOpen, FFTHistogramsComeFromTheHeader) {
    Opened o(fixtureCopy("fft.img"));
    ASSERT_NE(o.img, nullptr);
    HistRecord* h = ramImageHist(o.img, 2, 1, 1);
    ASSERT_NE(h, nullptr);
    std::vector<float> v = readFloats(testsupport::fixtureDir() + "/raw/fft.f32");
    double mean = 0, lo = 1e30, hi = -1e30;
    for (int i = 0; i < 128; ++i) mean += v[i], lo = std::min<double>(lo, v[i]), hi = std::max<double>(hi, v[i]);
    EXPECT_EQ(h[0].count, 128);
    EXPECT_NEAR(h[0].sum, mean, 1e-6);
    EXPECT_EQ(h[0].min, lo);
    EXPECT_EQ(h[0].max, hi);
}

// Writes a pattern through the store into a new file, reads it back through
// a second open after the first was closed.
void createWriteReadBack(int imgid, int pixel, int nbands, int rows, int columns, const std::string& path) {
    SCOPED_TRACE(std::string(strImgID(imgid)) + " " + strPixelID(pixel));
    ImageHead h = blankImageHead();
    ASSERT_TRUE(setHeadFile(h, path.c_str()));
    h.imgid = imgid, h.pixel = pixel, h.nbands = nbands, h.rows = rows, h.columns = columns;
    h.bits = pixelBits(pixel);
    h.offset = imgid >= IMG_E73 ? 128 : 860;
    h.left = 2, h.top = 5, h.x0 = 1000.5, h.y0 = 2000.5, h.dx = 30, h.dy = 30;
    const float maxv = pixel == PIX_4BITS ? 15 : pixel == PIX_BYTE ? 255 : 30000;
    auto value = [&](int b, int y, int x) { return std::fmod(float(b * 97 + y * 31 + x * 7), maxv + 1); };
    int err = -1;
    RAMImage* img = openRAMImageNew(&h, nullptr, 1, &err);
    ASSERT_NE(img, nullptr) << ramimgError(err) << takeOutput();
    EXPECT_EQ(img->head.imgid, imgid);
    std::vector<float> line(columns);
    for (int b = 0; b < nbands; ++b)
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < columns; ++x) line[x] = value(b, y, x);
            ASSERT_EQ(putFloatBILData(img, y, 0, columns, b, line.data()), 1);
        }
    closeRAMImage(img, nullptr);

    Opened o(path);
    ASSERT_NE(o.img, nullptr);
    EXPECT_EQ(o.img->head.imgid, imgid);
    EXPECT_EQ(o.img->head.pixel, pixel);
    EXPECT_EQ(o.img->head.left, 2);
    EXPECT_DOUBLE_EQ(o.img->head.y0, 2000.5);
    int bad = 0;
    for (int b = 0; b < nbands; ++b)
        for (int y = 0; y < rows; ++y) {
            getFloatBILData(o.img, y, 0, columns, b, line.data());
            for (int x = 0; x < columns; ++x) bad += line[x] != value(b, y, x);
        }
    EXPECT_EQ(bad, 0);
}

TEST(RawOpen, CreatedFilesReadBack) {
    std::string dir = testsupport::scratchDir();
    const int pixels[] = {PIX_4BITS, PIX_BYTE, PIX_SHORT, PIX_USHORT, PIX_LONG, PIX_FLOAT};
    for (int imgid : {IMG_E73, IMG_E74, IMG_E74BSQ, IMG_BSQ, IMG_BIL, IMG_BIP})
        for (int pixel : pixels) createWriteReadBack(imgid, pixel, 3, 7, 11, dir + "/c.img");
    takeOutput();
}

// GDAL reads what the ERDAS writer wrote: header and samples.
TEST(RawOpen, GdalReadsCreatedErdasFiles) {
    std::string dir = testsupport::scratchDir();
    for (int pixel : {PIX_BYTE, PIX_USHORT}) {
        std::string path = dir + "/w.lan";
        createWriteReadBack(IMG_E74, pixel, 2, 6, 9, path);
        int st = -1;
        std::string info = testsupport::run("gdalinfo " + path + " 2>&1", &st);
        ASSERT_EQ(st, 0) << info;
        EXPECT_NE(info.find("Size is 9, 6"), std::string::npos) << info;
        EXPECT_NE(info.find(pixel == PIX_BYTE ? "Type=Byte" : "Type=Int16"), std::string::npos) << info;
        std::string raw = dir + "/w.envi";
        testsupport::run("gdal_translate -q -of ENVI -co INTERLEAVE=BSQ " + path + " " + raw + " 2>&1", &st);
        ASSERT_EQ(st, 0);
        auto bytes = testsupport::readFile(raw);
        const size_t bpp = pixel == PIX_BYTE ? 1 : 2;
        ASSERT_EQ(bytes.size(), 2 * 6 * 9 * bpp);
        Opened o(path);
        ASSERT_NE(o.img, nullptr);
        std::vector<float> ours = allSamples(o.img);
        int bad = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            unsigned v = bpp == 1 ? bytes[i] : unsigned(bytes[2 * i]) | unsigned(bytes[2 * i + 1]) << 8;
            bad += float(v) != ours[i];
        }
        EXPECT_EQ(bad, 0);
    }
}

}  // namespace
