// X bitmaps: files made by pbmtoxbm (both layouts) read as xbmtopbm reads
// them, the text the package writes, and rewrites that shorten the file.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "formats/formats.h"
#include "ppm_oracle.h"
#include "ramimage/fileio.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testsupport::takeOutput;

std::string writeText(const std::string& s, const char* name = "x.xbm") {
    std::string path = testsupport::scratchDir() + "/" + name;
    testsupport::writeFile(path, Bytes(s.begin(), s.end()));
    return path;
}

int recognise(const std::string& s, ImageHead* h) {
    std::string path = writeText(s);
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    *h = blankImageHead();
    return imgXBMP(fd.get(), path.c_str(), h, nullptr);
}

std::string readText(const std::string& path) {
    Bytes b = testsupport::readFile(path);
    return std::string(b.begin(), b.end());
}

TEST(XbmRead, ToolFilesInBothLayoutsMatchTheirDecode) {
    for (const char* name : {"mono.xbm", "mono10.xbm"}) {
        SCOPED_TRACE(name);
        RAMImage* img = oracle::openImage(oracle::scratchCopy(name));
        if (!img) continue;
        EXPECT_EQ(img->head.imgid, IMG_XBMP);
        EXPECT_EQ(img->head.columns, 19);
        EXPECT_EQ(img->head.rows, 5);
        EXPECT_EQ(img->head.block, 3);
        EXPECT_EQ(oracle::countColourMismatches(img, oracle::readPnm(oracle::fixture(std::string(name) + ".pbm"))), 0);
        closeRAMImage(img, nullptr);
    }
}

TEST(XbmRead, NumbersInAnyCBase) {
    RAMImage* img = oracle::openImage(writeText(
        "#define any_width 16\n#define any_height 2\nstatic unsigned char any_bits[] = {\n"
        "  0xff, 017,\r\n\t9 ,0X80 };\n"));
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->head.block, 2);
    unsigned char* l0 = img->getLineProc(img, 0, 0, 1);
    unsigned char* l1 = img->getLineProc(img, 1, 0, 1);
    EXPECT_EQ(l0[0], 255);
    EXPECT_EQ(l0[1], 15);
    EXPECT_EQ(l1[0], 9);
    EXPECT_EQ(l1[1], 0x80);
    closeRAMImage(img, nullptr);
}

TEST(XbmRead, RecognitionNeedsPositiveSizeDefinitions) {
    ImageHead h;
    EXPECT_EQ(recognise("#define a_width 8\n#define a_height 1\n{0x01};", &h), IMG_XBMP);
    EXPECT_EQ(h.nindices, 2);
    EXPECT_EQ(h.colorTable[0][0], 255);
    EXPECT_EQ(h.colorTable[1][0], 0);
    EXPECT_EQ(recognise("int image_width = 8;\nint image_height = 1;\n", &h), 0);
    EXPECT_EQ(recognise("#define a_width 0\n#define a_height 1\n{0};", &h), 0);
    EXPECT_EQ(recognise("#define a_width -8\n#define a_height 1\n{0};", &h), 0);
    EXPECT_EQ(recognise("#define a_width 8\n", &h), 0);
    EXPECT_EQ(takeOutput(), "");
    // Sizes the file cannot hold.
    EXPECT_EQ(recognise("#define a_width 99999\n#define a_height 99999\n{0};", &h), -1);
    EXPECT_EQ(recognise("#define a_width 9999999999\n#define a_height 1\n{0};", &h), 0);
    takeOutput();
}

TEST(XbmRead, BrokenArraysStopWithWhatWasRead) {
    // A run-on number ends the parse instead of growing without bound.
    std::string s = "#define b_width 8\n#define b_height 3\nstatic char b_bits[] = { 0x01, 0x02, " +
                    std::string(100, '7') + ", 0x04 };";
    RAMImage* img = oracle::openImage(writeText(s));
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->getLineProc(img, 1, 0, 1)[0], 2);
    EXPECT_EQ(img->getLineProc(img, 2, 0, 1)[0], 0);
    EXPECT_NE(takeOutput(), "");
    closeRAMImage(img, nullptr);
}

TEST(XbmWrite, ZeroBitmapTextIsExact) {
    std::string path = testsupport::scratchDir() + "/z.xbm";
    zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ImageHead h = blankImageHead();
    h.columns = 16;
    h.rows = 2;
    const std::string header = "#define xbmp_width 16\n#define xbmp_height 2\nstatic char xbmp_bits[] = {\n";
    EXPECT_EQ(initXBMP(fd.get(), &h, nullptr, 0), static_cast<int>(header.size()));
    EXPECT_EQ(readText(path), header + " 0x00, 0x00, 0x00, 0x00};");
    // Twelve bytes to a line, the last one closing the array.
    h.columns = 8;
    h.rows = 13;
    initXBMP(fd.get(), &h, nullptr, 0);
    std::string t = readText(path);
    std::string row;
    for (int i = 0; i < 12; ++i) row += " 0x00,";
    EXPECT_EQ(t.substr(t.find('{') + 2), row + "\n 0x00};");
}

TEST(XbmWrite, EditedBitmapIsRewrittenShorterAndDecodes) {
    // Generous spacing, so the package's text is shorter than the original.
    std::string src = "#define w_width 10\n#define w_height 2\nstatic char w_bits[] = {\n";
    for (int i = 0; i < 4; ++i) src += "     0x0" + std::to_string(i) + " ,         \n";
    src += "};\n/* trailing comment that must go */\n";
    std::string path = writeText(src, "w.xbm");
    RAMImage* img = oracle::openImage(path);
    ASSERT_NE(img, nullptr);
    unsigned char ones[10] = {1, 0, 1, 0, 1, 0, 1, 0, 1, 1};
    ASSERT_EQ(putByteBILData(img, 1, 0, 10, 0, ones), 1);
    EXPECT_TRUE(flushRAMImage(img));
    closeRAMImage(img, nullptr);
    EXPECT_EQ(readText(path),
              "#define xbmp_width 10\n#define xbmp_height 2\nstatic char xbmp_bits[] = {\n 0x00, 0x01, 0x55, 0x03};");
    std::string s = testsupport::run("xbmtopbm " + path + " 2>/dev/null");
    oracle::Pnm d = oracle::parsePnm(Bytes(s.begin(), s.end()));
    ASSERT_EQ(d.width, 10);
    for (int x = 0; x < 10; ++x) EXPECT_EQ(d.at(x, 1, 0), ones[x] ? 0 : 255);
}

}  // namespace
