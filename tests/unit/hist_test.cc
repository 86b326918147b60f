// Histograms and statistics.
#include <gtest/gtest.h>

#include "ramimage/convert.h"
#include "ramimage/hist.h"
#include "support.h"

namespace {

RAMImage* memImage(const char* tag, int pixel, int rows, int cols, int bands) {
    ImageHead h = blankImageHead();
    setHeadFile(h, tag);
    h.imgid = IMG_MBIL;
    h.pixel = pixel;
    h.bits = pixelBits(pixel);
    h.rows = rows;
    h.columns = cols;
    h.nbands = bands;
    int err;
    return openRAMImage(tag, nullptr, &h, nullptr, &err);
}

void release(RAMImage* img) {
    attrRAMImage(img, 0);
    closeRAMImage(img, nullptr);
}

TEST(Hist, ConstantByteBand) {
    RAMImage* img = memImage("h1", PIX_BYTE, 3, 4, 1);
    std::vector<unsigned char> sevens(4, 7);
    for (int l = 0; l < 3; ++l) putByteBILData(img, l, 0, 4, 0, sevens.data());
    HistRecord* h = ramImageHist(img, 2, 1, 1);
    ASSERT_TRUE(h);
    EXPECT_EQ(h[0].bins[7], 12u);
    EXPECT_EQ(h[0].count, 12);
    double sd, mean, mn, mx;
    ASSERT_EQ(ramImageStats(img, 0, &sd, &mean, &mn, &mx), 1);
    EXPECT_EQ(mean, 7);
    EXPECT_EQ(sd, 0);
    EXPECT_EQ(mn, 7);
    EXPECT_EQ(mx, 7);
    release(img);
}

TEST(Hist, StepAndSignedValues) {
    HistRecord r = createHist(1, 0)[0];
    int16_t line[5] = {-5, 100, -3, 100, -4};
    calcHist(r, PIX_SHORT, 5, 2, line);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(r.min, -5);
    EXPECT_EQ(r.max, -3);
    HistRecord b = createHist(1, 256)[0];
    unsigned char bytes[5] = {1, 2, 3, 4, 5};
    calcHist(b, PIX_BYTE, 5, 2, bytes);
    EXPECT_EQ(b.count, 3);
    EXPECT_EQ(b.sum, 9);
}

TEST(Hist, SecondScanDoesNotCountTwice) {
    RAMImage* img = memImage("h2", PIX_FLOAT, 2, 2, 2);
    float v[2] = {1.5f, 2.5f};
    putFloatBILData(img, 0, 0, 2, 1, v);
    ramImageHist(img, 2, 1, 1);
    img->hist[1].valid = 0;
    HistRecord* h = ramImageHist(img, 0, 1, 1);
    EXPECT_EQ(h[1].count, 4);
    EXPECT_EQ(h[1].sum, 4);
    EXPECT_EQ(h[1].max, 2.5);
    release(img);
}

TEST(Hist, ColourIndexStatisticsGoThroughTheTable) {
    RAMImage* img = memImage("h3", PIX_BYTE, 1, 4, 1);
    img->head.nindices = 256;
    for (int i = 0; i < 256; ++i) {
        img->head.colorTable[i][0] = static_cast<unsigned char>(i);
        img->head.colorTable[i][1] = static_cast<unsigned char>(255 - i);
        img->head.colorTable[i][2] = 0;
    }
    unsigned char px[4] = {10, 20, 30, 40};
    putByteBILData(img, 0, 0, 4, 0, px);
    double mean;
    ASSERT_TRUE(ramImageStats(img, 0, nullptr, &mean, nullptr, nullptr));
    EXPECT_EQ(mean, 25);
    ASSERT_TRUE(ramImageStats(img, 1, nullptr, &mean, nullptr, nullptr));
    EXPECT_EQ(mean, 230);
    release(img);
}

TEST(Hist, EmptyRecordReportsZeros) {
    HistRecord r = createHist(1, 0)[0];
    completeHist(r);
    EXPECT_EQ(r.mean, 0);
    EXPECT_EQ(r.std, 0);
}

TEST(Hist, MaskSelectsPixels) {
    RAMImage* img = memImage("h4", PIX_BYTE, 2, 3, 1);
    RAMImage* mask = memImage("h4m", PIX_BYTE, 2, 3, 1);
    unsigned char a[3] = {1, 2, 3}, m[3] = {0, 1, 1};
    putByteBILData(img, 0, 0, 3, 0, a);
    putByteBILData(img, 1, 0, 3, 0, a);
    putByteBILData(mask, 1, 0, 3, 0, m);
    std::vector<HistRecord> out;
    ASSERT_TRUE(ramImageHistWithMask(img, mask, 1, 1, 0, out));
    EXPECT_EQ(out[0].count, 2);
    EXPECT_EQ(out[0].sum, 5);
    std::vector<SegmentRun> runs = {{0, 0, 2}, {1, 1, 9}, {0, 7, 3}};
    ASSERT_TRUE(ramImageHistWithROI(img, runs, 1, out));
    EXPECT_EQ(out[0].count, 4);
    EXPECT_EQ(img->hist.size(), 1u);
    release(img);
    release(mask);
}

}  // namespace
