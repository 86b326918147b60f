// JPEG through libjpeg: decodes equal djpeg's, encodes equal cjpeg's
// baseline output byte for byte, and failures that leave the file intact.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "formats/jpeg_codec.h"
#include "ppm_oracle.h"
#include "ramimage/fileio.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testsupport::takeOutput;

// Band lines (y * nbands + c) of a decoded oracle picture.
Bytes bandLines(const oracle::Pnm& p) {
    Bytes out(static_cast<size_t>(p.width) * p.height * p.channels);
    for (int y = 0; y < p.height; ++y)
        for (int c = 0; c < p.channels; ++c)
            for (int x = 0; x < p.width; ++x)
                out[(static_cast<size_t>(y) * p.channels + c) * p.width + x] = p.at(x, y, c);
    return out;
}

TEST(JpegRead, DecodesEqualDjpegForEveryFlavour) {
    for (const char* name : {"grey", "rgb", "prog", "s211", "s111", "greyprog"}) {
        SCOPED_TRACE(name);
        oracle::Pnm want = oracle::readPnm(oracle::fixture(std::string(name) + ".pnm"));
        RAMImage* img = oracle::openImage(oracle::scratchCopy(std::string(name) + ".jpg"));
        if (!img) continue;
        EXPECT_EQ(img->head.imgid, IMG_JPEG);
        EXPECT_EQ(img->head.nbands, want.channels);
        EXPECT_EQ(img->head.pixel, PIX_BYTE);
        EXPECT_EQ(oracle::countColourMismatches(img, want), 0);
        closeRAMImage(img, nullptr);
    }
    EXPECT_EQ(takeOutput(), "");
}

TEST(JpegRead, DecodedComponentsMustMatchTheBands) {
    std::string path = oracle::scratchCopy("grey.jpg");
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    JpegInfo expect;
    expect.width = 67;
    expect.height = 45;
    expect.components = 3;
    Bytes buf(67 * 45 * 3);
    EXPECT_EQ(loadJPEG(fd.get(), buf.data(), 67, expect), 0);
    EXPECT_NE(takeOutput(), "");
    expect.components = 1;
    EXPECT_EQ(loadJPEG(fd.get(), buf.data(), 67, expect), 1);
}

TEST(JpegRead, HostileFilesFailCleanly) {
    ImageHead h = blankImageHead();
    std::string path = oracle::scratchCopy("rgb.jpg");
    Bytes whole = testsupport::readFile(path);
    {
        zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
        ASSERT_EQ(imgJPEG(fd.get(), path.c_str(), &h, nullptr), IMG_JPEG);
        EXPECT_EQ(h.block, 90);
        // Pictures larger than the decode limit are refused before decoding.
        int64_t old = cacheByteLimit();
        setCacheByteLimit(67 * 45 * 3 - 1);
        EXPECT_EQ(imgJPEG(fd.get(), path.c_str(), &h, nullptr), -1);
        setCacheByteLimit(old);
        takeOutput();
    }
    // A truncated file decodes what it has, with libjpeg's warning.
    testsupport::writeFile(path, Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
    RAMImage* img = oracle::openImage(path);
    ASSERT_NE(img, nullptr);
    unsigned char v;
    getByteBILData(img, 44, 66, 1, 0, &v);
    EXPECT_NE(takeOutput(), "");
    closeRAMImage(img, nullptr);
    // Only the magic: not a JPEG the library can read.
    testsupport::writeFile(path, Bytes{0xFF, 0xD8, 0xFF, 0x00});
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    EXPECT_EQ(imgJPEG(fd.get(), path.c_str(), &h, nullptr), 0);
    takeOutput();
}

TEST(JpegWrite, EncodesEqualCjpegBaseline) {
    struct Case {
        const char* source;
        int quality;
        const char* reference;
    } cases[] = {{"photo.ppm", 75, "enc75.jpg"}, {"photo.ppm", 100, "enc100.jpg"}, {"photo.pgm", 30, "encgrey30.jpg"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reference);
        oracle::Pnm src = oracle::readPnm(oracle::fixture(c.source));
        Bytes lines = bandLines(src);
        std::string path = testsupport::scratchDir() + "/out.jpg";
        zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
        // Longer old contents are cut off.
        testsupport::writeFile(path, Bytes(20000, 0x55));
        ASSERT_EQ(dumpJPEG(fd.get(), src.width, src.height, src.channels, c.quality, lines.data(), src.width), 1);
        EXPECT_TRUE(testsupport::readFile(path) == testsupport::readFile(oracle::fixture(c.reference)));
    }
}

// A JPEG image made through the store holding the photo, flushed with the
// quality in `block`; returns the file's path.
std::string storeWrite(int block, const std::string& name) {
    oracle::Pnm src = oracle::readPnm(oracle::fixture("photo.ppm"));
    ImageHead h = blankImageHead();
    std::string path = testsupport::scratchDir() + "/" + name;
    setHeadFile(h, path.c_str());
    h.imgid = IMG_JPEG;
    h.pixel = PIX_BYTE;
    h.bits = 8;
    h.nbands = 3;
    h.rows = src.height;
    h.columns = src.width;
    int err = 0;
    RAMImage* img = openRAMImageNew(&h, nullptr, 1, &err);
    EXPECT_NE(img, nullptr) << ramimgError(err) << takeOutput();
    if (!img) return path;
    Bytes lines = bandLines(src);
    for (int y = 0; y < src.height; ++y)
        for (int b = 0; b < 3; ++b)
            putByteBILData(img, y, 0, src.width, b, lines.data() + (static_cast<size_t>(y) * 3 + b) * src.width);
    img->head.block = block;
    EXPECT_TRUE(flushRAMImage(img));
    closeRAMImage(img, nullptr);
    return path;
}

TEST(JpegWrite, FlushUsesTheQualityInBlock) {
    EXPECT_TRUE(testsupport::readFile(storeWrite(75, "q75.jpg")) ==
                testsupport::readFile(oracle::fixture("enc75.jpg")));
    EXPECT_TRUE(testsupport::readFile(storeWrite(150, "q150.jpg")) ==
                testsupport::readFile(oracle::fixture("enc100.jpg")));
    std::string q90 = testsupport::run("cjpeg -quality 90 -baseline " + oracle::fixture("photo.ppm"));
    std::string path = storeWrite(-1, "qneg.jpg");
    EXPECT_TRUE(testsupport::readFile(path) == Bytes(q90.begin(), q90.end()));
    // The written file decodes in djpeg as the package decodes it.
    std::string d = testsupport::run("djpeg -pnm " + path);
    RAMImage* img = oracle::openImage(path);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(oracle::countColourMismatches(img, oracle::parsePnm(Bytes(d.begin(), d.end()))), 0);
    closeRAMImage(img, nullptr);
}

TEST(JpegWrite, FailedFlushKeepsTheOriginalFile) {
    std::string path = oracle::scratchCopy("rgb.jpg");
    Bytes before = testsupport::readFile(path);
    RAMImage* img = oracle::openImage(path);
    ASSERT_NE(img, nullptr);
    unsigned char v = 7;
    ASSERT_EQ(putByteBILData(img, 3, 3, 1, 1, &v), 1);
    // An image libjpeg cannot encode (too many components) makes the encoder
    // fail half-way through the flush.
    img->head.nbands = 11;
    EXPECT_FALSE(writeJPEG(img));
    img->head.nbands = 3;
    EXPECT_NE(takeOutput(), "");
    EXPECT_TRUE(testsupport::readFile(path) == before);
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);  // no temporary left behind
    // The edit is still pending and the next flush writes it.
    EXPECT_TRUE(flushRAMImage(img));
    EXPECT_FALSE(testsupport::readFile(path) == before);
    closeRAMImage(img, nullptr);
}

TEST(JpegWrite, NewImageHasOneComponentPerBand) {
    std::string path = testsupport::scratchDir() + "/new.jpg";
    zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ImageHead h = blankImageHead();
    h.rows = 9;
    h.columns = 17;
    h.nbands = 1;
    h.nindices = 256;  // a colour table does not make it RGB
    ASSERT_EQ(initJPEG(fd.get(), &h), 0);
    JpegInfo info;
    ASSERT_EQ(readJPEGInfo(fd.get(), &info), 1);
    EXPECT_EQ(info.components, 1);
    EXPECT_EQ(info.width, 17);
    EXPECT_EQ(info.height, 9);
}

}  // namespace
