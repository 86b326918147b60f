// Recognition and header writing of the raw, ERDAS, ELAS and FFT formats,
// and the ERDAS and FFT file helpers, without the store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "formats/erdas.h"
#include "formats/fft.h"
#include "formats/formats.h"
#include "ramimage/byteorder.h"
#include "ramimage/fileio.h"
#include "support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testsupport::takeOutput;

template <typename T>
void put(Bytes& b, size_t off, T v, bool bigEndian = false) {
    if (b.size() < off + sizeof v) b.resize(off + sizeof v);
    unsigned char t[sizeof v];
    std::memcpy(t, &v, sizeof v);
    if (bigEndian != msbFirst()) memrv(t, sizeof v);
    std::memcpy(b.data() + off, t, sizeof v);
}

// A file in the test's scratch directory, opened read-write.
struct TempFile {
    std::string path;
    zarn::UniqueFd fd;
    explicit TempFile(const Bytes& data, const char* name = "f") {
        path = testsupport::scratchDir() + "/" + name;
        testsupport::writeFile(path, data);
        fd.reset(::open(path.c_str(), O_RDWR));
    }
    int get() const { return fd.get(); }
};

// Recognises with `proc` and checks that the descriptor did not move.
int recognise(RecogniseProc proc, const Bytes& data, ImageHead* h) {
    TempFile f(data);
    EXPECT_EQ(::lseek(f.get(), 5, SEEK_SET), 5);
    *h = blankImageHead();
    int r = proc(f.get(), f.path.c_str(), h, nullptr);
    EXPECT_EQ(::lseek(f.get(), 0, SEEK_CUR), 5);
    return r;
}

// ---- BASIC ---------------------------------------------------------------

Bytes basicHeader(bool be, int imgid, int pixel, int nbands, int rows, int columns, int offset = 860,
                  int nindices = 0) {
    Bytes b(860, 0);
    std::memcpy(b.data(), be ? "IMAGEDEF_MSBF" : "IMAGEDEF_MSBL", 14);
    const int32_t ints[] = {be ? 1 : 0, imgid, 1, offset, pixel, nbands, rows, columns, 3, 4};
    for (int i = 0; i < 10; ++i) put<int32_t>(b, 16 + 4 * i, ints[i], be);
    const double dbl[] = {100.5, 200.25, 30.0, -30.0};
    for (int i = 0; i < 4; ++i) put<double>(b, 56 + 8 * i, dbl[i], be);
    put<int32_t>(b, 88, nindices, be);
    for (int i = 0; i < 256; ++i) b[92 + 3 * i] = static_cast<unsigned char>(i), b[93 + 3 * i] = 1, b[94 + 3 * i] = 2;
    return b;
}

Bytes withData(Bytes b, int64_t bytes) {
    b.resize(b.size() + static_cast<size_t>(bytes), 0x55);
    return b;
}

TEST(RawBasic, BothByteOrdersGiveTheSameHead) {
    for (bool be : {true, false}) {
        ImageHead h;
        Bytes b = withData(basicHeader(be, IMG_BIP, PIX_SHORT, 3, 4, 5, 860, 7), 3 * 4 * 5 * 2);
        ASSERT_EQ(recognise(imgBASIC, b, &h), IMG_BIP) << be;
        EXPECT_EQ(h.pixel, PIX_SHORT);
        EXPECT_EQ(h.bits, 16);
        EXPECT_EQ(h.nbands * 100 + h.rows * 10 + h.columns, 345);
        EXPECT_EQ(h.block, 30);  // all bands of a line
        EXPECT_EQ(h.top * 10 + h.left, 34);
        EXPECT_EQ(h.msbf, be ? 1 : 0);
        EXPECT_DOUBLE_EQ(h.x0, 100.5);
        EXPECT_DOUBLE_EQ(h.dy, -30.0);
        EXPECT_EQ(h.nindices, 7);
        // The colour table is bytes: never reversed; entries past nindices cleared.
        EXPECT_EQ(h.colorTable[6][0], 6);
        EXPECT_EQ(h.colorTable[6][2], 2);
        EXPECT_EQ(h.colorTable[7][0], 0);
    }
}

TEST(RawBasic, NotBasic) {
    ImageHead h;
    EXPECT_EQ(recognise(imgBASIC, withData(basicHeader(false, 4, PIX_BYTE, 1, 2, 2), 100), &h), 0);
    Bytes b = withData(basicHeader(false, 1, PIX_BYTE, 1, 2, 2), 100);
    b[12] = 'X';
    EXPECT_EQ(recognise(imgBASIC, b, &h), 0);
    Bytes shortHead = basicHeader(false, 1, PIX_BYTE, 1, 1, 1);
    shortHead.pop_back();
    EXPECT_EQ(recognise(imgBASIC, shortHead, &h), 0);
    EXPECT_EQ(takeOutput(), "");
}

TEST(RawBasic, UnusableHeadersAreRefused) {
    struct Case {
        const char* what;
        Bytes file;
    } cases[] = {
        {"257 colours", withData(basicHeader(true, 1, PIX_BYTE, 1, 2, 2, 860, 257), 4)},
        {"negative colours", withData(basicHeader(true, 1, PIX_BYTE, 1, 2, 2, 860, -1), 4)},
        {"pixel 0", withData(basicHeader(false, 1, 0, 1, 2, 2), 4)},
        {"pixel 10", withData(basicHeader(false, 1, 10, 1, 2, 2), 64)},
        {"offset 859", withData(basicHeader(false, 1, PIX_BYTE, 1, 2, 2, 859), 4)},
        {"no rows", withData(basicHeader(false, 1, PIX_BYTE, 1, 0, 2), 4)},
        {"negative columns", withData(basicHeader(false, 1, PIX_BYTE, 1, 2, -2), 4)},
        {"no bands", withData(basicHeader(false, 2, PIX_BYTE, 0, 2, 2), 4)},
        {"truncated", withData(basicHeader(false, 1, PIX_SHORT, 2, 3, 4), 47)},
        {"huge", withData(basicHeader(false, 3, PIX_LONG, 2147483647, 2147483647, 2147483647), 64)},
        {"huge BSQ", withData(basicHeader(true, 1, PIX_BYTE, 2147483647, 2147483647, 2147483647), 64)},
    };
    for (const Case& c : cases) {
        ImageHead h;
        ImageHead before = blankImageHead();
        EXPECT_EQ(recognise(imgBASIC, c.file, &h), -1) << c.what;
        EXPECT_EQ(std::memcmp(&h, &before, sizeof h), 0) << c.what << ": head changed";
        EXPECT_NE(takeOutput().find("unusable raw image header"), std::string::npos) << c.what;
    }
    // Exactly the declared data is enough.
    ImageHead h;
    EXPECT_EQ(recognise(imgBASIC, withData(basicHeader(false, 1, PIX_SHORT, 2, 3, 4), 48), &h), 1);
}

TEST(RawBasic, WriterRoundTrip) {
    for (int requested : {100, 0, 2000}) {
        TempFile f({});
        ImageHead h = blankImageHead();
        h.imgid = IMG_BIL;
        h.pixel = PIX_USHORT;
        h.nbands = 2;
        h.rows = 3;
        h.columns = 5;
        h.offset = requested;
        h.msbf = 1;
        h.nindices = 2;
        h.colorTable[1][1] = 99;
        h.top = -7;
        h.x0 = 1.25;
        int expect = requested < 860 ? 860 : requested;
        ASSERT_EQ(initBASIC(f.get(), &h), expect);
        EXPECT_EQ(h.offset, requested <= 0 ? 0 : expect);
        EXPECT_EQ(h.block, 10);
        EXPECT_EQ(zarn::fileSize(f.get()), expect);
        ASSERT_EQ(::ftruncate(f.get(), expect + 2 * 3 * 10), 0);
        ImageHead r = blankImageHead();
        ASSERT_EQ(imgBASIC(f.get(), "f", &r, nullptr), IMG_BIL);
        EXPECT_EQ(r.offset, expect);
        EXPECT_EQ(r.pixel, PIX_USHORT);
        EXPECT_EQ(r.msbf, 1);
        EXPECT_EQ(r.top, -7);
        EXPECT_DOUBLE_EQ(r.x0, 1.25);
        EXPECT_EQ(r.nindices, 2);
        EXPECT_EQ(r.colorTable[1][1], 99);
    }
    TempFile f({});
    ImageHead h = blankImageHead();
    h.imgid = IMG_BSQ, h.pixel = PIX_BYTE, h.nbands = 1, h.rows = 1, h.columns = 1, h.nindices = 300;
    EXPECT_EQ(initBASIC(f.get(), &h), -1);
    h.nindices = 0, h.imgid = IMG_E74;
    EXPECT_EQ(initBASIC(f.get(), &h), -1);
    EXPECT_EQ(zarn::fileSize(f.get()), 0);
    takeOutput();
}

// ---- ERDAS ---------------------------------------------------------------

Bytes erdasHeader(const char* magic, int npack, int nbands, float colsF, float rowsF, int cols, int rows) {
    Bytes b(128, 0);
    std::memcpy(b.data(), magic, 6);
    put<int16_t>(b, 6, static_cast<int16_t>(npack));
    put<int16_t>(b, 8, static_cast<int16_t>(nbands));
    if (std::strcmp(magic, "HEADER") == 0) {
        put<float>(b, 16, colsF);
        put<float>(b, 20, rowsF);
    } else {
        put<int32_t>(b, 16, cols);
        put<int32_t>(b, 20, rows);
    }
    put<int32_t>(b, 24, 11);
    put<int32_t>(b, 28, 22);
    put<float>(b, 112, 500.5f);
    put<float>(b, 116, 600.5f);
    put<float>(b, 120, 28.5f);
    put<float>(b, 124, 29.5f);
    return b;
}

TEST(RawErdas, PackingCodesAndMagics) {
    struct Case {
        const char* magic;
        int npack, pixel, imgid, block;
    } cases[] = {{"HEAD74", 0, PIX_BYTE, IMG_E74, 7},    {"HEAD74", 1, PIX_4BITS, IMG_E74, 4},
                 {"E74BSQ", 2, PIX_USHORT, IMG_E74BSQ, 14}, {"HEAD74", 3, PIX_LONG, IMG_E74, 28},
                 {"HEADER", 4, PIX_FLOAT, IMG_E73, 28},  {"E74BSQ", 5, PIX_SHORT, IMG_E74BSQ, 14}};
    for (const Case& c : cases) {
        ImageHead h;
        Bytes b = withData(erdasHeader(c.magic, c.npack, 2, 7.0f, 3.0f, 7, 3), 2 * 3 * 28);
        ASSERT_EQ(recognise(imgErdas, b, &h), c.imgid) << c.magic << c.npack;
        EXPECT_EQ(h.pixel, c.pixel);
        EXPECT_EQ(h.block, c.block);
        EXPECT_EQ(h.msbf, c.npack == 1 ? 1 : (msbFirst() ? 1 : 0));
        EXPECT_EQ(h.offset, 128);
        EXPECT_EQ(h.columns * 100 + h.rows * 10 + h.nbands, 732);
        EXPECT_EQ(h.left * 100 + h.top, 1122);
        EXPECT_DOUBLE_EQ(h.x0, 500.5);
        EXPECT_DOUBLE_EQ(h.dy, 29.5);
    }
    ImageHead h;
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 6, 1, 0, 0, 2, 2), 64), &h), 0);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", -1, 1, 0, 0, 2, 2), 64), &h), 0);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD73", 0, 1, 0, 0, 2, 2), 64), &h), 0);
    Bytes shortHead = erdasHeader("HEAD74", 0, 1, 0, 0, 1, 1);
    shortHead.pop_back();
    EXPECT_EQ(recognise(imgErdas, shortHead, &h), 0);
    EXPECT_EQ(takeOutput(), "");
}

TEST(RawErdas, FloatSizesTruncatedAndRangeChecked) {
    ImageHead h;
    ASSERT_EQ(recognise(imgErdas, withData(erdasHeader("HEADER", 0, 1, 512.9f, 2.99f, 0, 0), 1024), &h), IMG_E73);
    EXPECT_EQ(h.columns, 512);
    EXPECT_EQ(h.rows, 2);
    for (float bad : {NAN, INFINITY, 0.5f, -3.0f, 2147483648.0f, 1e30f}) {
        EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEADER", 0, 1, 4.0f, bad, 0, 0), 64), &h), -1) << bad;
        EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEADER", 0, 1, bad, 4.0f, 0, 0), 64), &h), -1) << bad;
    }
    EXPECT_NE(takeOutput().find("unusable ERDAS header"), std::string::npos);
}

TEST(RawErdas, ImpossibleGeometryRefused) {
    ImageHead h;
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 0, 1, 0, 0, 4, 0), 64), &h), -1);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 0, 1, 0, 0, -4, 4), 64), &h), -1);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 0, 0, 0, 0, 4, 4), 64), &h), -1);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 0, -2, 0, 0, 4, 4), 64), &h), -1);
    // Largest sizes: refused from the header alone, nothing allocated.
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 3, 32767, 0, 0, 2147483647, 2147483647), 64), &h), -1);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEADER", 0, 1, 2147483520.0f, 2147483520.0f, 0, 0), 64), &h), -1);
    // One byte short of the declared data.
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 5, 2, 0, 0, 3, 4), 2 * 4 * 6 - 1), &h), -1);
    EXPECT_EQ(recognise(imgErdas, withData(erdasHeader("HEAD74", 5, 2, 0, 0, 3, 4), 2 * 4 * 6), &h), IMG_E74);
    takeOutput();
}

TEST(RawErdas, UnsupportedPixelTypesWriteNothing) {
    for (int pixel : {PIX_ULONG, PIX_1BIT, PIX_SBYTE, PIX_UNKNOWN}) {
        TempFile f({});
        ImageHead h = blankImageHead();
        h.imgid = IMG_E74, h.pixel = pixel, h.nbands = 1, h.rows = 2, h.columns = 2;
        EXPECT_EQ(initErdasHead(f.get(), 0, &h), -1);
        EXPECT_EQ(zarn::fileSize(f.get()), 0);
    }
    EXPECT_EQ(takeOutput(), "");
}

TEST(RawErdas, WriterChecksSpaceAndGeometry) {
    TempFile f({});
    ImageHead h = blankImageHead();
    h.imgid = IMG_E74, h.pixel = PIX_BYTE, h.nbands = 1, h.rows = 1 << 30, h.columns = 1 << 30;
    EXPECT_EQ(initErdasHead(f.get(), 1, &h), -1);
    EXPECT_NE(takeOutput().find("Insufficient disk space. Requested:1152921504606847104 Available:"), std::string::npos);
    h.nbands = 40000;
    h.rows = h.columns = 2;
    EXPECT_EQ(initErdasHead(f.get(), 0, &h), -1);
    EXPECT_EQ(zarn::fileSize(f.get()), 0);
    takeOutput();
}

TEST(RawErdas, OpenOldConvertsSevenThreeHeader) {
    Bytes b = erdasHeader("HEADER", 0, 2, 6.0f, 3.0f, 0, 0);
    put<float>(b, 24, 10.7f);
    put<float>(b, 28, -3.2f);
    b = withData(b, 36);
    for (int i = 0; i < 36; ++i) b[128 + i] = static_cast<unsigned char>(i);
    TempFile f(b);
    ErdasHead e;
    int fd = OpenOLDERDAS(f.path.c_str(), &e);
    ASSERT_GE(fd, 0);
    zarn::UniqueFd owned(fd);
    EXPECT_EQ(std::memcmp(e.magic, "HEAD74", 6), 0);
    EXPECT_EQ(e.columns, 6);
    EXPECT_EQ(e.rows, 3);
    EXPECT_EQ(e.xstart, 10);
    EXPECT_EQ(e.ystart, -3);
    EXPECT_EQ(e.nbands, 2);
    EXPECT_FLOAT_EQ(e.dx, 28.5f);
    // The recogniser takes the same four bytes as an integer.
    ImageHead h;
    ASSERT_EQ(recognise(imgErdas, b, &h), IMG_E73);
    float f107 = 10.7f;
    int32_t asInt;
    std::memcpy(&asInt, &f107, 4);
    EXPECT_EQ(h.left, asInt);

    EXPECT_EQ(nBitsErdas(&e), 8);
    EXPECT_EQ(erdasLineBytes(&e), 6);
    unsigned char line[6];
    ASSERT_EQ(GetErdasLine(&e, fd, 1, 2, line), 6);  // line-interleaved: (2 x 2 + 1) x 6
    EXPECT_EQ(line[0], 30);
    EXPECT_EQ(GetErdasLine(&e, fd, 2, 0, line), -1);
    EXPECT_EQ(GetErdasLine(&e, fd, 0, 3, line), -1);
    EXPECT_NE(takeOutput().find("lseek in GetErdasLine: Invalid argument"), std::string::npos);
}

TEST(RawErdas, HelpersFailWithoutEndingTheProcess) {
    ErdasHead e{};
    TempFile notErdas(Bytes(200, 'x'));
    EXPECT_EQ(OpenOLDERDAS(notErdas.path.c_str(), &e), -1);
    EXPECT_EQ(takeOutput(), "Not an ERDAS file.\n");
    std::string missing = testsupport::scratchDir() + "/missing.lan";
    EXPECT_EQ(OpenOLDERDAS(missing.c_str(), &e), -1);
    EXPECT_EQ(takeOutput(), missing + ": No such file or directory\n");
    TempFile shortFile(Bytes(100, 0));
    EXPECT_EQ(OpenOLDERDAS(shortFile.path.c_str(), &e), -1);
    takeOutput();

    const int bits[] = {8, 4, 16, 32, 32};
    for (int code = 0; code <= 4; ++code) {
        e.npack = static_cast<int16_t>(code);
        EXPECT_EQ(nBitsErdas(&e), bits[code]);
    }
    e.npack = 7;
    EXPECT_EQ(nBitsErdas(&e), 0);
    EXPECT_EQ(takeOutput(), "Unsupported NPACK 7\n");

    // A line past the end of a short file.
    TempFile lan(withData(erdasHeader("E74BSQ", 1, 2, 0, 0, 5, 4), 12));
    ErdasHead b;
    int fd = OpenOLDERDAS(lan.path.c_str(), &b);
    ASSERT_GE(fd, 0);
    zarn::UniqueFd owned(fd);
    EXPECT_EQ(std::memcmp(b.magic, "E74BSQ", 6), 0);
    unsigned char line[3];
    EXPECT_EQ(GetErdasLine(&b, fd, 0, 3, line), 3);  // band-sequential: offset 128 + 3 x 3
    EXPECT_EQ(GetErdasLine(&b, fd, 1, 0, line), -1);
    std::string out = takeOutput();
    EXPECT_NE(out.find("headsize 128 blocksize 3 headUnionSize 128 position 140 request bytes 3\n"), std::string::npos);
    EXPECT_NE(out.find("read in GetErdasLine"), std::string::npos);
}

// ---- ELAS ----------------------------------------------------------------

Bytes elasHeader(int headSize, int block, int l0, int l1, int e0, int e1, int nch) {
    Bytes b(1024, 0);
    const int32_t w[] = {headSize, block, l0, l1, e0, e1, nch, 4321};
    for (int i = 0; i < 8; ++i) put<int32_t>(b, 4 * i, w[i], msbFirst());
    put<int32_t>(b, 36, -50, msbFirst());
    put<int32_t>(b, 44, 70, msbFirst());
    put<float>(b, 48, 2.5f, msbFirst());
    put<float>(b, 52, 1.5f, msbFirst());
    return b;
}

TEST(RawElas, Recognition) {
    ImageHead h;
    ASSERT_EQ(recognise(imgElas, withData(elasHeader(1024, 16, 10, 14, 3, 14, 2), 16 * 5 * 2), &h), IMG_ELAS);
    EXPECT_EQ(h.pixel, PIX_BYTE);
    EXPECT_EQ(h.rows * 100 + h.columns, 512);
    EXPECT_EQ(h.top * 10 + h.left, 103);
    EXPECT_EQ(h.nbands, 2);
    EXPECT_EQ(h.block, 16);
    EXPECT_EQ(h.offset, 1024);
    EXPECT_DOUBLE_EQ(h.y0, -50);
    EXPECT_DOUBLE_EQ(h.x0, 70);
    EXPECT_DOUBLE_EQ(h.dy, 2.5);
    EXPECT_DOUBLE_EQ(h.dx, 1.5);

    Bytes good = withData(elasHeader(1024, 16, 10, 14, 3, 14, 2), 200);
    EXPECT_EQ(recognise(imgElas, Bytes(good.begin(), good.begin() + 1023), &h), 0);
    // Implausible headers are simply not ELAS.
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(1024, 16, 14, 10, 3, 14, 2), 200), &h), 0);
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(1024, 16, 10, 14, 14, 3, 2), 200), &h), 0);
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(1024, 16, 10, 14, 3, 14, 0), 200), &h), 0);
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(1024, 11, 10, 14, 3, 14, 2), 200), &h), 0);
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(512, 16, 10, 14, 3, 14, 2), 200), &h), 0);
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(1024, 16, 10, 14, 3, 14, 2), 159), &h), 0);
    EXPECT_EQ(recognise(imgElas, withData(elasHeader(1024, 16, -2147483647 - 1, 2147483647, 3, 14, 2), 200), &h), 0);
    EXPECT_EQ(takeOutput(), "");
}

// ---- FFT -----------------------------------------------------------------

FFTHead fftHead(int rows, int columns) {
    FFTHead h{};
    std::memcpy(h.magic, kFFTMagic, sizeof kFFTMagic);
    std::strcpy(h.source, "src.lan");
    h.band = 1;
    h.rows = rows;
    h.columns = columns;
    h.srcRows = rows - 1;
    h.srcColumns = columns - 1;
    h.content = FFT_SFRI;
    resetFFTStats(&h);
    return h;
}

Bytes fftBytes(const FFTHead& h, size_t extra = 0) {
    Bytes b(sizeof h + extra, 0);
    std::memcpy(b.data(), &h, sizeof h);
    return b;
}

TEST(RawFFT, Recognition) {
    ImageHead h;
    ASSERT_EQ(recognise(imgFFT, fftBytes(fftHead(8, 16), 8 * 16 * 8), &h), IMG_FFT);
    EXPECT_EQ(h.pixel, PIX_FLOAT);
    EXPECT_EQ(h.nbands * 1000 + h.rows * 100 + h.columns, 2816);
    EXPECT_EQ(h.block, 128);
    EXPECT_EQ(h.offset, 1024);

    Bytes b = fftBytes(fftHead(8, 16));
    EXPECT_EQ(recognise(imgFFT, Bytes(b.begin(), b.begin() + 1023), &h), 0);
    b[15] = 'x';
    EXPECT_EQ(recognise(imgFFT, b, &h), 0);
    EXPECT_EQ(takeOutput(), "");
    EXPECT_EQ(recognise(imgFFT, fftBytes(fftHead(8, 16), 8 * 16 * 8 - 1), &h), -1);
    EXPECT_EQ(recognise(imgFFT, fftBytes(fftHead(8, 12), 8 * 12 * 8), &h), -1);
    EXPECT_EQ(recognise(imgFFT, fftBytes(fftHead(0, 16)), &h), -1);
    EXPECT_EQ(recognise(imgFFT, fftBytes(fftHead(1 << 30, 1 << 30)), &h), -1);
    takeOutput();
}

TEST(RawFFT, BlocksSegmentsAndStatistics) {
    const int n = 4, m = 8;
    std::string path = testsupport::scratchDir() + "/s.fft";
    FFTHead head = fftHead(n, m);
    int fd = OpenNEWFFTFile(path.c_str(), &head);
    ASSERT_GE(fd, 0);
    zarn::UniqueFd owned(fd);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1024);
    EXPECT_EQ(zarn::fileSize(fd), 1024 + n * m * 8);

    std::vector<float> all(2 * n * m);
    for (int i = 0; i < n * m; ++i) all[2 * i] = float(i % 7) - 3.0f, all[2 * i + 1] = float(i % 5) * 0.5f;
    ASSERT_EQ(PutFFTFileBlock(&head, fd, all.data(), 0, 2, 1), 2);
    ASSERT_EQ(PutFFTFileBlock(&head, fd, all.data() + 2 * 2 * m, 2, 2, 1), 2);
    EXPECT_EQ(head.count, n * m);
    double sr = 0, si = 0, qr = 0, qi = 0;
    for (int i = 0; i < n * m; ++i) sr += all[2 * i], si += all[2 * i + 1], qr += all[2 * i] * all[2 * i], qi += all[2 * i + 1] * all[2 * i + 1];
    EXPECT_NEAR(head.meanReal, sr / (n * m), 1e-12);
    EXPECT_NEAR(head.meanImag, si / (n * m), 1e-12);
    EXPECT_NEAR(head.stdReal, qr / (n * m), 1e-12);  // mean square while writing
    EXPECT_NEAR(head.stdImag, qi / (n * m), 1e-12);
    EXPECT_EQ(head.maxReal, 3.0);
    EXPECT_EQ(head.minReal, -3.0);
    EXPECT_EQ(head.maxImag, 2.0);
    EXPECT_EQ(head.minImag, 0.0);

    // Columns 3..5 of every row.
    std::vector<float> seg(2 * 3 * n);
    ASSERT_EQ(GetFFTFileSeg(&head, fd, seg.data(), 3, 3), seg.data());
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(seg[2 * (r * 3 + c)], all[2 * (r * m + 3 + c)]);
    for (float& v : seg) v = -v;
    ASSERT_EQ(PutFFTFileSeg(&head, fd, seg.data(), 3, 3, 0), 3);
    float* rows = GetFFTFileBlock(&head, fd, nullptr, 1, 2);
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows[2 * 4], -all[2 * (m + 4)]);
    EXPECT_EQ(rows[2 * 6], all[2 * (m + 6)]);
    std::free(rows);

    // A first value is both the largest and the smallest so far.
    FFTHead one = fftHead(1, 1);
    const float v[2] = {2.5f, -1.5f};
    statFFT(&one, v, 1);
    EXPECT_EQ(one.maxReal, 2.5);
    EXPECT_EQ(one.minReal, 2.5);
    EXPECT_EQ(one.maxImag, -1.5);
    EXPECT_EQ(one.minImag, -1.5);

    // getFFTHist reads the finished header.
    head.stdReal = 2.0, head.stdImag = 0.5, head.meanReal = 1.0, head.meanImag = -1.0;
    ASSERT_EQ(PutFFTHead(&head, fd), 1024);
    HistRecord hist[2];
    ASSERT_EQ(getFFTHist(fd, hist), 1);
    EXPECT_EQ(hist[0].count, 32);
    EXPECT_DOUBLE_EQ(hist[0].sum, 32);
    EXPECT_DOUBLE_EQ(hist[0].sumSq, (4.0 + 1.0) * 32);
    EXPECT_DOUBLE_EQ(hist[1].sum, -32);
    EXPECT_DOUBLE_EQ(hist[1].sumSq, (0.25 + 1.0) * 32);
    EXPECT_EQ(hist[0].min, -3.0);
    EXPECT_EQ(hist[1].max, 2.0);
    EXPECT_EQ(takeOutput(), "");
}

TEST(RawFFT, FailuresAreReturned) {
    std::string dir = testsupport::scratchDir();
    FFTHead head;
    TempFile notFFT(Bytes(2000, 'a'));
    EXPECT_EQ(OpenOLDFFTFile(notFFT.path.c_str(), &head), -1);
    EXPECT_EQ(takeOutput(), "Not an FFT image file!\n");
    Bytes shortHead = fftBytes(fftHead(2, 2));
    shortHead.resize(1000);
    TempFile shortFFT(shortHead);
    EXPECT_EQ(OpenOLDFFTFile(shortFFT.path.c_str(), &head), -1);
    EXPECT_EQ(takeOutput(), shortFFT.path + ": unexpected end of file\n");

    TempFile ok(fftBytes(fftHead(2, 4), 2 * 4 * 8));
    int fd = OpenOLDFFTFile(ok.path.c_str(), &head);
    ASSERT_GE(fd, 0);
    zarn::UniqueFd owned(fd);
    std::vector<float> buf(64);
    EXPECT_EQ(GetFFTFileBlock(&head, fd, buf.data(), 1, 2), nullptr);
    EXPECT_EQ(GetFFTFileSeg(&head, fd, buf.data(), -1, 2), nullptr);
    EXPECT_EQ(PutFFTFileBlock(&head, fd, buf.data(), 2, 1, 1), -1);
    EXPECT_EQ(PutFFTFileSeg(&head, fd, buf.data(), 3, 2, 0), -1);
    std::string out = takeOutput();
    EXPECT_NE(out.find("lseek error in GetFFTFileBlock: Invalid argument\n"), std::string::npos);
    EXPECT_NE(out.find("lseek error in PutFFTFileSeg: Invalid argument\n"), std::string::npos);
    EXPECT_EQ(PutFFTHead(&head, -1), -1);
    EXPECT_EQ(takeOutput(), "PutFFTHead: Bad file descriptor\n");

    // A read past the end of the data.
    TempFile part(fftBytes(fftHead(4, 4), 40));
    int pfd = OpenOLDFFTFile(part.path.c_str(), &head);
    ASSERT_GE(pfd, 0);
    zarn::UniqueFd pOwned(pfd);
    EXPECT_EQ(GetFFTFileBlock(&head, pfd, buf.data(), 1, 1), nullptr);
    EXPECT_EQ(takeOutput(), "read error in GetFFTFileBlock: unexpected end of file\n");
}

TEST(RawFFT, NewFileNeedsEightBytesPerValue) {
    std::string dir = testsupport::scratchDir();
    double avail = zarn::freeDiskSpace(dir.c_str());
    ASSERT_GT(avail, 1e6);
    // The largest power of two P with 4 P + 1024 within the free space: a
    // check that counted 4 bytes a value would let it through.
    int64_t p = 1;
    while (static_cast<double>(p) * 8 + 1024 <= avail) p *= 2;
    FFTHead head = fftHead(static_cast<int>(p >> 20), 1 << 20);
    std::string path = dir + "/big.fft";
    EXPECT_EQ(OpenNEWFFTFile(path.c_str(), &head), -1);
    std::string out = takeOutput();
    EXPECT_EQ(out.rfind("Insufficient disk space.\nRquest: " + std::to_string(1024 + p * 8) + "  Available: ", 0), 0u)
        << out;
    head = fftHead(8, 6);
    EXPECT_EQ(OpenNEWFFTFile(path.c_str(), &head), -1);
    takeOutput();
}

TEST(RawFFT, FileDataPiecesAndShortTransfers) {
    Bytes data(100000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31);
    TempFile f(data);
    Bytes got(70000);
    EXPECT_EQ(getFileData(f.get(), got.data(), 70000, 20000, 1), 70000);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 20000));
    // At the current position, which the previous call left at 90000.
    EXPECT_EQ(getFileData(f.get(), got.data(), 70000, -1, 1), 10000);
    EXPECT_EQ(got[0], data[90000]);
    EXPECT_EQ(takeOutput(), "read in getFileData: unexpected end of file\n");
    EXPECT_EQ(getFileData(f.get(), got.data(), 10, -5, 0), 0);
    takeOutput();

    EXPECT_EQ(putFileData(f.get(), data.data(), 40000, 150000, 0), 40000);
    EXPECT_EQ(zarn::fileSize(f.get()), 190000);
    EXPECT_EQ(putFileData(-1, data.data(), 10, 0, 0), 0);
    EXPECT_EQ(takeOutput(), "getFileData error in lseek\n");
    EXPECT_EQ(putFileData(-1, data.data(), 10, -1, 0), 0);
    EXPECT_EQ(takeOutput(), "putFileData error in write\n");
    EXPECT_EQ(putFileData(-1, data.data(), 10, -1, 1), 0);
    EXPECT_EQ(takeOutput(), "");
}

}  // namespace
