// The RAM image store: lifecycle, cache paging and write-back, layouts,
// byte order, residency and re-shaping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "ramimage/convert.h"
#include "ramimage/hist.h"
#include "ramimage/ramimage.h"
#include "support.h"

namespace {

ImageHead rawHead(const std::string& file, int imgid, int pixel, int rows, int cols, int bands) {
    ImageHead h = blankImageHead();
    setHeadFile(h, file.c_str());
    h.imgid = imgid;
    h.pixel = pixel;
    h.bits = pixelBits(pixel);
    h.rows = rows;
    h.columns = cols;
    h.nbands = bands;
    h.mapid = MAP_GRID;
    int64_t lb = pixelLineBytes(pixel, cols);
    h.block = static_cast<int>(imgid == IMG_BIP ? lb * bands : lb);
    return h;
}

// A raw file whose sample (line, band, x) is f(line, band, x), laid out as
// `imgid` says, with 16-bit samples in the given byte order.
template <typename T, typename F>
std::string makeRaw(const std::string& dir, int imgid, int rows, int cols, int bands, bool bigEndian, F f) {
    std::vector<unsigned char> data(static_cast<size_t>(rows) * cols * bands * sizeof(T));
    auto put = [&](size_t index, T v) {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &v, sizeof(T));
        if (bigEndian) std::reverse(b, b + sizeof(T));
        std::memcpy(&data[index * sizeof(T)], b, sizeof(T));
    };
    for (int l = 0; l < rows; ++l)
        for (int b = 0; b < bands; ++b)
            for (int x = 0; x < cols; ++x) {
                size_t i;
                if (imgid == IMG_BSQ)
                    i = (static_cast<size_t>(b) * rows + l) * cols + x;
                else if (imgid == IMG_BIL)
                    i = (static_cast<size_t>(l) * bands + b) * cols + x;
                else
                    i = (static_cast<size_t>(l) * cols + x) * bands + b;
                put(i, f(l, b, x));
            }
    std::string path = dir + "/raw.dat";
    testsupport::writeFile(path, data);
    return path;
}

RAMImage* openWithHead(const ImageHead& h) {
    int err = 0;
    RAMImage* img = openRAMImage(nullptr, h.file, &h, nullptr, &err);
    EXPECT_TRUE(img) << ramimgError(err);
    return img;
}

void closeAll() {
    while (RAMImage* p = getRAMImage()) {
        attrRAMImage(p, 0);
        p->cmdOpens = 0;
        p->openCount = 1;
        closeRAMImage(p, nullptr);
    }
}

class Store : public ::testing::Test {
protected:
    void TearDown() override { closeAll(); }
};

TEST_F(Store, OpenSameFileTwiceSharesRecordAndCounts) {
    std::string dir = testsupport::scratchDir();
    auto f = [](int l, int b, int x) { return static_cast<uint8_t>(l + b + x); };
    std::string path = makeRaw<uint8_t>(dir, IMG_BIL, 4, 8, 2, false, f);
    ImageHead h = rawHead(path, IMG_BIL, PIX_BYTE, 4, 8, 2);
    RAMImage* a = openWithHead(h);
    int err;
    RAMImage* b = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->openCount, 2);
    // A second spelling of the same file (through a symbolic link) is the
    // same record too.
    std::string link = dir + "/link.dat";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(getRAMImageByName(link.c_str()), a);
    EXPECT_EQ(closeRAMImage(a, nullptr), 1);
    EXPECT_EQ(closeRAMImage(a, nullptr), 0);
    EXPECT_EQ(getRAMImage(), nullptr);
    // Counts never go negative.
}

TEST_F(Store, ClientLinkTakesOverTheOpen) {
    ImageHead h = rawHead("mem", IMG_MBIL, PIX_BYTE, 2, 2, 1);
    int err;
    RAMImageClient c;
    RAMImage* img = openRAMImage("m", nullptr, &h, &c, &err);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->openCount, 0);
    EXPECT_EQ(img->clients, &c);
    EXPECT_EQ(closeRAMImage(img, &c), 0);
    EXPECT_EQ(getRAMImage(), nullptr);
}

TEST_F(Store, LockedImageSurvivesClose) {
    ImageHead h = rawHead("mem", IMG_MBIL, PIX_BYTE, 2, 2, 1);
    int err;
    RAMImage* img = openRAMImage("m", nullptr, &h, nullptr, &err);
    attrRAMImage(img, 1);
    EXPECT_EQ(closeRAMImage(img, nullptr), 0);
    EXPECT_EQ(getRAMImageByTag("m"), img);
    EXPECT_EQ(img->openCount, 0);
    closeRAMImage(img, nullptr);  // still locked
    EXPECT_EQ(img->openCount, 0);
}

TEST_F(Store, ResidentImageMapsEverySlotToItsLine) {
    ImageHead h = rawHead("mem", IMG_MBIL, PIX_SHORT, 5, 3, 2);
    int err;
    RAMImage* img = openRAMImage("m", nullptr, &h, nullptr, &err);
    ASSERT_TRUE(img);
    ASSERT_EQ(img->slotCount, 10);
    for (int64_t k = 0; k < img->slotCount; ++k) EXPECT_EQ(img->slotLine[k], k);
    float v[3] = {1.4f, -1.7f, 40000.0f};
    ASSERT_TRUE(putFloatBILData(img, 4, 0, 3, 1, v));
    float back[3];
    getFloatBILData(img, 4, 0, 3, 1, back);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], -2);  // half away from zero
    EXPECT_EQ(back[2], 32767);
    // Resizing the cache of a memory image keeps its pixels.
    setRAMImageBuf(img, 2);
    getFloatBILData(img, 4, 0, 3, 1, back);
    EXPECT_EQ(back[1], -2);
}

TEST_F(Store, FileLinesPageThroughASmallCacheAndEditsAreWrittenBack) {
    std::string dir = testsupport::scratchDir();
    auto f = [](int l, int b, int x) { return static_cast<uint8_t>(l * 10 + b * 3 + x); };
    const int rows = 20, cols = 7, bands = 3;
    for (int layout : {IMG_BSQ, IMG_BIL, IMG_BIP}) {
        SCOPED_TRACE(strImgID(layout));
        std::string path = makeRaw<uint8_t>(dir, layout, rows, cols, bands, false, f);
        ImageHead h = rawHead(path, layout, PIX_BYTE, rows, cols, bands);
        RAMImage* img = openWithHead(h);
        ASSERT_TRUE(img);
        ASSERT_EQ(setRAMImageBuf(img, 4), 4);
        // Modify band 1 of line 2, then read lines that evict it.
        unsigned char line[cols];
        for (int x = 0; x < cols; ++x) line[x] = static_cast<unsigned char>(200 + x);
        ASSERT_TRUE(putByteBILData(img, 2, 0, cols, 1, line));
        unsigned char got[cols];
        for (int l = 0; l < rows; ++l)
            for (int b = 0; b < bands; ++b) {
                getByteBILData(img, l, 0, cols, b, got);
                for (int x = 0; x < cols; ++x) {
                    int want = (l == 2 && b == 1) ? 200 + x : f(l, b, x);
                    ASSERT_EQ(got[x], want) << "line " << l << " band " << b << " x " << x;
                }
            }
        closeRAMImage(img, nullptr);
        // The file now holds the edit and nothing else changed.
        std::vector<unsigned char> data = testsupport::readFile(path);
        for (int x = 0; x < cols; ++x) {
            size_t i = layout == IMG_BSQ ? (1 * rows + 2) * cols + x
                       : layout == IMG_BIL ? (2 * bands + 1) * cols + x
                                           : (2 * cols + x) * bands + 1;
            EXPECT_EQ(data[i], 200 + x);
        }
        EXPECT_EQ(data[0], f(0, 0, 0));
    }
}

TEST_F(Store, DirtyBandSurvivesRereadOfItsPixelInterleavedRecord) {
    std::string dir = testsupport::scratchDir();
    auto f = [](int l, int b, int x) { return static_cast<uint8_t>(l * 16 + b * 4 + x); };
    std::string path = makeRaw<uint8_t>(dir, IMG_BIP, 8, 4, 3, false, f);
    ImageHead h = rawHead(path, IMG_BIP, PIX_BYTE, 8, 4, 3);
    RAMImage* img = openWithHead(h);
    ASSERT_EQ(setRAMImageBuf(img, 4), 4);
    unsigned char edit[4] = {9, 9, 9, 9};
    putByteBILData(img, 1, 0, 4, 2, edit);
    // Drop band 0's slot by hand, as another line sharing it would, then read
    // band 0 again: the record is re-read but the modified band 2 is kept.
    int64_t slot0 = (1 * 3 + 0) % img->slotCount;
    img->slotLine[slot0] = -1;
    unsigned char got[4];
    getByteBILData(img, 1, 0, 4, 0, got);
    EXPECT_EQ(got[1], f(1, 0, 1));
    getByteBILData(img, 1, 0, 4, 2, got);
    EXPECT_EQ(got[3], 9);
    ASSERT_TRUE(flushRAMImage(img));
    std::vector<unsigned char> data = testsupport::readFile(path);
    EXPECT_EQ(data[(1 * 4 + 3) * 3 + 2], 9);
    EXPECT_EQ(data[(1 * 4 + 3) * 3 + 0], f(1, 0, 3));
}

TEST_F(Store, BigEndianSamplesAreSwappedOnReadAndWrite) {
    std::string dir = testsupport::scratchDir();
    auto f = [](int l, int b, int x) { return static_cast<int16_t>(-1000 * l + 256 * b + x); };
    std::string path = makeRaw<int16_t>(dir, IMG_BIL, 3, 5, 2, true, f);
    ImageHead h = rawHead(path, IMG_BIL, PIX_SHORT, 3, 5, 2);
    h.msbf = 1;
    RAMImage* img = openWithHead(h);
    float got[5];
    getFloatBILData(img, 2, 0, 5, 1, got);
    for (int x = 0; x < 5; ++x) EXPECT_EQ(got[x], f(2, 1, x));
    float v = -300;
    putFloatBILData(img, 0, 0, 1, 0, &v);
    ASSERT_TRUE(flushRAMImage(img));
    std::vector<unsigned char> data = testsupport::readFile(path);
    EXPECT_EQ(data[0], 0xFE);  // -300 = 0xFED4, most significant first
    EXPECT_EQ(data[1], 0xD4);
}

TEST_F(Store, ConversionsOfEveryPixelType) {
    int err;
    ImageHead h = rawHead("m", IMG_MBIL, PIX_ULONG, 1, 4, 1);
    RAMImage* img = openRAMImage("ul", nullptr, &h, nullptr, &err);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->lineBytes, 16);  // ULONG takes 4 bytes a pixel
    float in[4] = {3e9f, -5.0f, 70000.4f, 1.5f};
    putFloatBILData(img, 0, 0, 4, 0, in);
    float out[4];
    getFloatBILData(img, 0, 0, 4, 0, out);
    EXPECT_EQ(out[0], 3e9f);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 70000);
    EXPECT_EQ(out[3], 2);
    unsigned char bytes[4];
    getByteBILData(img, 0, 0, 4, 0, bytes);
    EXPECT_EQ(bytes[2], 70000 & 0xff);

    ImageHead s = rawHead("m2", IMG_MBIL, PIX_SBYTE, 1, 3, 1);
    RAMImage* sb = openRAMImage("sb", nullptr, &s, nullptr, &err);
    float sin[3] = {-200.0f, -3.5f, 127.4f};
    putFloatBILData(sb, 0, 0, 3, 0, sin);
    getFloatBILData(sb, 0, 0, 3, 0, out);
    EXPECT_EQ(out[0], -128);
    EXPECT_EQ(out[1], -4);
    EXPECT_EQ(out[2], 127);

    // Columns outside the line read as zeros and are skipped on writes.
    ImageHead b = rawHead("m3", IMG_MBIL, PIX_BYTE, 2, 4, 1);
    RAMImage* by = openRAMImage("by", nullptr, &b, nullptr, &err);
    unsigned char row[4] = {1, 2, 3, 4};
    putByteBILData(by, 0, 0, 4, 0, row);
    float five[5];
    getFloatBILData(by, 0, -3, 5, 0, five);
    EXPECT_EQ(five[0], 0);
    EXPECT_EQ(five[2], 0);
    EXPECT_EQ(five[3], 1);
    EXPECT_EQ(five[4], 2);
    // Lines and bands outside the image read zeros and are not written.
    EXPECT_EQ(putByteBILData(by, 5, 0, 4, 0, row), 0);
    EXPECT_EQ(putByteBILData(by, 0, 0, 4, 3, row), 0);
    getByteBILData(by, -1, 0, 4, 0, bytes);
    EXPECT_EQ(bytes[0] | bytes[3], 0);
    EXPECT_EQ(getFloatPixelValue(by, 1, 0, 7), 0.0f);
}

// Stores of floats into every integer type round half away from zero after
// limiting to the type's range, whichever path (vector or scalar) runs.
TEST_F(Store, FloatStoresRoundHalfAwayFromZero) {
    std::vector<float> v = {0.49999997f, 0.5f, -0.5f, -0.49999997f, 1.5f, 2.5f, -1.7f, -2.5f, 254.5f, 255.49f,
                            255.5f, -128.5f, 127.5f, 32767.4f, -32768.6f, 65535.5f, 1e30f, -1e30f,
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 8388607.5f, -0.0f, 3.49999976f};
    while (v.size() < 67) v.push_back(static_cast<float>(v.size()) * 37.3f - 900.0f);
    struct Case {
        int pixel;
        double lo, hi;
    } cases[] = {{PIX_BYTE, 0, 255}, {PIX_SBYTE, -128, 127}, {PIX_SHORT, -32768, 32767},
                 {PIX_USHORT, 0, 65535}, {PIX_LONG, -2147483648.0, 2147483647.0}};
    int err;
    for (const Case& c : cases) {
        SCOPED_TRACE(strPixelID(c.pixel));
        ImageHead h = rawHead("r", IMG_MBIL, c.pixel, 1, static_cast<int>(v.size()), 1);
        RAMImage* img = openRAMImage("round", nullptr, &h, nullptr, &err);
        ASSERT_TRUE(putFloatBILData(img, 0, 0, static_cast<int>(v.size()), 0, v.data()));
        std::vector<float> out(v.size());
        getFloatBILData(img, 0, 0, static_cast<int>(v.size()), 0, out.data());
        for (size_t i = 0; i < v.size(); ++i) {
            double x = v[i];
            if (x != x) x = 0;
            x = std::min(std::max(x, c.lo), c.hi);
            double want = x >= 0 ? std::floor(x + 0.5) : std::ceil(x - 0.5);
            EXPECT_EQ(out[i], static_cast<float>(want)) << "input " << v[i];
        }
        closeRAMImage(img, nullptr);
    }
}

TEST_F(Store, PixelInterleavedTransfers) {
    int err;
    ImageHead h = rawHead("bip", IMG_MBIL, PIX_SHORT, 2, 3, 3);
    RAMImage* img = openRAMImage("bip", nullptr, &h, nullptr, &err);
    // Three pixels of bands 2 and 0 (in that order), then bands 1..2 by
    // first band.
    const float in[6] = {20, 0, 21, 1, 22, 2};
    const int list[2] = {2, 0};
    ASSERT_TRUE(writeFloatBIPData(img, 1, 0, 3, 2, list, in));
    const float pair[6] = {10, 30, 11, 31, 12, 32};
    ASSERT_TRUE(putFloatBIPData(img, 1, 2, 1, 0, 3, pair));
    // Bands outside the image are skipped.
    const int outside[1] = {7};
    EXPECT_EQ(writeFloatBIPData(img, 1, 0, 3, 1, outside, in), 0);
    float out[9];
    readFloatBIPData(img, 1, 0, 3, 1, 3, nullptr, out);
    EXPECT_EQ(std::vector<float>(out, out + 9), std::vector<float>({0, 10, 30, 1, 11, 31, 2, 12, 32}));
    float every2[4];
    const int two[2] = {1, 9};
    readFloatBIPData(img, 1, 0, 3, 2, 2, two, every2);
    EXPECT_EQ(std::vector<float>(every2, every2 + 4), std::vector<float>({10, 0, 12, 0}));
    float sect[6];
    readFloatBIPSect(img, 0, 1, 2, 1, 2, nullptr, sect, 3, 1);
    EXPECT_EQ(sect[4], 2);
    EXPECT_EQ(sect[5], 12);
}

TEST_F(Store, PackedBitsFollowTheByteOrderFlag) {
    int err;
    ImageHead h = rawHead("bits", IMG_MBIL, PIX_1BIT, 1, 16, 1);
    RAMImage* img = openRAMImage("bits", nullptr, &h, nullptr, &err);
    unsigned char* p = img->getLineProc(img, 0, 0, 1);
    p[0] = 0x01;
    float v;
    getFloatBILData(img, 0, 0, 1, 0, &v);
    EXPECT_EQ(v, 1.0f);  // pixel 0 in the least significant bit
    img->head.msbf = 1;
    getFloatBILData(img, 0, 0, 1, 0, &v);
    EXPECT_EQ(v, 0.0f);
    getFloatBILData(img, 0, 7, 1, 0, &v);
    EXPECT_EQ(v, 1.0f);
    // The histogram counts bits in the same order as the reader.
    HistRecord* hs = ramImageHist(img, 2, 1, 1);
    ASSERT_TRUE(hs);
    EXPECT_EQ(hs[0].bins[1], 1u);
    EXPECT_EQ(hs[0].bins[0], 15u);

    ImageHead n = rawHead("nib", IMG_MBIL, PIX_4BITS, 1, 3, 1);
    RAMImage* nib = openRAMImage("nib", nullptr, &n, nullptr, &err);
    float in[3] = {5, 11, 20};
    putFloatBILData(nib, 0, 0, 3, 0, in);
    EXPECT_EQ(nib->getLineProc(nib, 0, 0, 1)[0], 0xB5);
    float out[3];
    getFloatBILData(nib, 0, 0, 3, 0, out);
    EXPECT_EQ(out[2], 15);
}

TEST_F(Store, PackedDisplayRows) {
    ImageHead h = rawHead("rgb", IMG_MRGB565, PIX_BYTE, 2, 3, 3);
    h.block = (3 + 1) / 2 * 4;
    int err;
    RAMImage* img = openRAMImage("rgb", nullptr, &h, nullptr, &err);
    ASSERT_TRUE(img);
    unsigned char* row = img->extraArea();
    row[0] = 0xFF;
    row[1] = 0xFF;
    unsigned char r, g, b;
    getByteBILData(img, 0, 0, 1, 0, &r);
    getByteBILData(img, 0, 0, 1, 1, &g);
    getByteBILData(img, 0, 0, 1, 2, &b);
    EXPECT_EQ(r, 248);
    EXPECT_EQ(g, 252);
    EXPECT_EQ(b, 248);
    unsigned char zero = 0;
    putByteBILData(img, 0, 0, 1, 1, &zero);
    flushRAMImage(img);
    uint16_t p;
    std::memcpy(&p, row, 2);
    EXPECT_EQ(p, 0xF81F);
}

TEST_F(Store, ReadOnlyFileRefusesWrites) {
    std::string dir = testsupport::scratchDir();
    auto f = [](int, int, int x) { return static_cast<uint8_t>(x); };
    std::string path = makeRaw<uint8_t>(dir, IMG_BIL, 2, 4, 1, false, f);
    ::chmod(path.c_str(), 0444);
    RAMImage* img = openWithHead(rawHead(path, IMG_BIL, PIX_BYTE, 2, 4, 1));
    ASSERT_TRUE(img);
    // Root opens any file for writing: take the read-only state as given.
    if (::geteuid() == 0) img->readOnly = true;
    EXPECT_TRUE(img->readOnly);
    unsigned char v[4] = {7, 7, 7, 7};
    EXPECT_EQ(putByteBILData(img, 0, 0, 4, 0, v), 0);
    EXPECT_NE(testsupport::takeOutput().find("read-only"), std::string::npos);
    // A writer that changed the line through its pointer is refused too: the
    // line reads as the file holds it.
    unsigned char* p = img->getLineProc(img, 1, 0, 1);
    p[0] = 99;
    updateRAMImageLine(img, 1, 0, 1, 0);
    unsigned char got;
    getByteBILData(img, 1, 0, 1, 0, &got);
    EXPECT_EQ(got, 0);
    closeRAMImage(img, nullptr);
    EXPECT_EQ(testsupport::readFile(path), std::vector<unsigned char>({0, 1, 2, 3, 0, 1, 2, 3}));
}

TEST_F(Store, ShortFileReadsZerosBeyondItsEnd) {
    std::string dir = testsupport::scratchDir();
    std::string path = dir + "/short.dat";
    testsupport::writeFile(path, {1, 2, 3});
    RAMImage* img = openWithHead(rawHead(path, IMG_BSQ, PIX_BYTE, 2, 4, 1));
    unsigned char got[4];
    getByteBILData(img, 0, 0, 4, 0, got);
    EXPECT_EQ(got[2], 3);
    EXPECT_EQ(got[3], 0);
    getByteBILData(img, 1, 0, 4, 0, got);
    EXPECT_EQ(got[0], 0);
}

TEST_F(Store, FailedReshapeLeavesTheRecordIntact) {
    ImageHead h = rawHead("m", IMG_MBIL, PIX_BYTE, 3, 3, 1);
    int err;
    RAMImage* img = openRAMImage("m", nullptr, &h, nullptr, &err);
    unsigned char v = 42;
    putByteBILData(img, 1, 1, 1, 0, &v);
    ImageHead bad = h;
    bad.rows = 0;
    EXPECT_EQ(residentRAMImage(&bad, img, &err), nullptr);
    EXPECT_EQ(err, RAMERR_GEOMETRY);
    ImageHead huge = h;
    huge.rows = huge.columns = 2000000000;
    EXPECT_EQ(residentRAMImage(&huge, img, &err), nullptr);
    EXPECT_EQ(img->head.rows, 3);
    unsigned char got;
    getByteBILData(img, 1, 1, 1, 0, &got);
    EXPECT_EQ(got, 42);
    // A successful re-shape leaves a cache that matches the new head.
    ImageHead wider = h;
    wider.columns = 10;
    ASSERT_EQ(residentRAMImage(&wider, img, &err), img);
    EXPECT_EQ(img->lineBytes, 10);
    EXPECT_EQ(img->slotCount, 3);
    EXPECT_EQ(getRAMImageByTag("m"), img);
}

TEST_F(Store, NamesOf256BytesAreRefused) {
    std::string name(256, 'a');
    ImageHead h = blankImageHead();
    EXPECT_FALSE(setHeadFile(h, name.c_str()));
    EXPECT_TRUE(setHeadFile(h, name.substr(1).c_str()));
    int err;
    EXPECT_EQ(openRAMImage(nullptr, name.c_str(), nullptr, nullptr, &err), nullptr);
    EXPECT_EQ(err, RAMERR_OPEN);
}

TEST_F(Store, VolumesOfStackedImages) {
    std::string dir = testsupport::scratchDir();
    // Three volumes of one 2 x 2 BYTE band, one after the other.
    testsupport::writeFile(dir + "/vol.dat", {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3});
    ImageHead h = rawHead(dir + "/vol.dat", IMG_BIP, PIX_BYTE, 2, 2, 1);
    h.nvolumes = 3;
    RAMImage* img = openWithHead(h);
    unsigned char v;
    EXPECT_EQ(getRAMImageVolume(img, 2), 2);
    getByteBILData(img, 0, 0, 1, 0, &v);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(getRAMImageVolume(img, 0), 3);
    EXPECT_EQ(getRAMImageVolume(img, 0), -2);  // past the last: unchanged
    EXPECT_EQ(img->curVolume, 3);
    EXPECT_EQ(getRAMImageVolume(img, 9), 3);
    getByteBILData(img, 1, 1, 1, 0, &v);
    EXPECT_EQ(v, 3);
}

TEST_F(Store, ErrorTexts) {
    EXPECT_STREQ(ramimgError(1), "Memory allocation error");
    EXPECT_STREQ(ramimgError(8), "Unable to handle the image");
    EXPECT_STREQ(ramimgError(9), "");
    EXPECT_STREQ(ramimgError(100), "");
}

// The cache's slot arithmetic: the multiplication by a reciprocal agrees
// with the remainder for every divisor size, and follows a changed slot
// count; indices past 32 bits take the division.
TEST(CacheSlots, SlotOfIsTheRemainder) {
    RAMImage img;
    uint64_t x = 88172645463325252ull;
    auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int64_t slots : {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{96}, int64_t{126}, int64_t{4095},
                          int64_t{65537}, int64_t{0x7FFFFFFF}, int64_t{0xFFFFFFFF}, int64_t{1} << 33}) {
        img.slotCount = slots;
        for (int64_t idx : {int64_t{0}, slots - 1, slots, int64_t{0xFFFFFFFF}, int64_t{1} << 32, int64_t{1} << 40})
            ASSERT_EQ(img.slotOf(idx), idx % slots) << idx << " % " << slots;
        for (int k = 0; k < 20000; ++k) {
            const int64_t idx = static_cast<int64_t>(next() >> (k % 2 ? 32 : 20));
            ASSERT_EQ(img.slotOf(idx), idx % slots) << idx << " % " << slots;
        }
    }
}

}  // namespace
