// PPM and PGM files: headers with comments as other programs write them,
// refused variants, and padded headers that every reader reads alike.
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

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

int recognise(const Bytes& data, ImageHead* h) {
    std::string path = testsupport::scratchDir() + "/x.ppm";
    testsupport::writeFile(path, data);
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    *h = blankImageHead();
    return imgPPM(fd.get(), path.c_str(), h, nullptr);
}

TEST(PpmRead, CommentedHeadersReadAsTheToolsReadThem) {
    struct Case {
        const char* name;
        int nbands, columns, rows, offset;
    } cases[] = {{"comment.ppm", 3, 3, 2, 49}, {"comment.pgm", 1, 5, 4, 17}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RAMImage* img = oracle::openImage(oracle::scratchCopy(c.name));
        if (!img) continue;
        EXPECT_EQ(img->head.imgid, IMG_PPM);
        EXPECT_EQ(img->head.nbands, c.nbands);
        EXPECT_EQ(img->head.columns, c.columns);
        EXPECT_EQ(img->head.rows, c.rows);
        EXPECT_EQ(img->head.offset, c.offset);
        EXPECT_EQ(img->head.block, c.columns * c.nbands);
        EXPECT_EQ(oracle::countColourMismatches(img, oracle::readPnm(oracle::fixture(std::string(c.name) + ".pnm"))),
                  0);
        closeRAMImage(img, nullptr);
    }
}

TEST(PpmRead, OtherVariantsAreRefused) {
    ImageHead h;
    EXPECT_EQ(recognise(text("P6\n2 1\n255\n123456"), &h), IMG_PPM);
    EXPECT_EQ(recognise(testsupport::readFile(oracle::fixture("text.ppm")), &h), 0);  // P3
    EXPECT_EQ(recognise(text("P6 2 1 255"), &h), 0);                   // no byte after the maximum
    EXPECT_EQ(recognise(text("P6\n2 1\n255#x\n123456"), &h), 0);       // comment glued to the maximum
    EXPECT_EQ(recognise(text("P6\n2 1\n" + std::string(40, '9') + "\n"), &h), 0);  // token run-on
    EXPECT_EQ(recognise(text("P6\n-2 1\n255\n123456"), &h), 0);
    EXPECT_EQ(takeOutput(), "");
    // Known but unreadable: 16-bit samples, and sizes beyond the file.
    EXPECT_EQ(recognise(text("P5\n2 1\n65535\n1234"), &h), -1);
    EXPECT_EQ(recognise(text("P5\n2 1\n0\n12"), &h), -1);
    EXPECT_EQ(recognise(text("P6\n2 1\n255\n12345"), &h), -1);
    EXPECT_EQ(recognise(text("P6\n999999999 999999999\n255\n1"), &h), -1);
    EXPECT_NE(takeOutput(), "");
}

// A new PPM/PGM made through the store with a pattern written into it.
std::string writePpm(int nbands, int offset, int columns = 7, int rows = 3) {
    ImageHead h = blankImageHead();
    std::string path = testsupport::scratchDir() + "/new.pnm";
    setHeadFile(h, path.c_str());
    h.imgid = IMG_PPM;
    h.pixel = PIX_BYTE;
    h.bits = 8;
    h.nbands = nbands;
    h.rows = rows;
    h.columns = columns;
    h.offset = offset;
    int err = 0;
    RAMImage* img = openRAMImageNew(&h, nullptr, 1, &err);
    EXPECT_NE(img, nullptr) << ramimgError(err) << takeOutput();
    if (!img) return path;
    std::vector<unsigned char> line(static_cast<size_t>(columns));
    for (int y = 0; y < rows; ++y)
        for (int b = 0; b < nbands; ++b) {
            for (int x = 0; x < columns; ++x) line[x] = static_cast<unsigned char>(x * 31 + y * 7 + b * 50);
            putByteBILData(img, y, 0, columns, b, line.data());
        }
    EXPECT_TRUE(flushRAMImage(img));
    closeRAMImage(img, nullptr);
    return path;
}

TEST(PpmWrite, PaddedHeadersReadTheSameEverywhere) {
    for (int nbands : {1, 3}) {
        for (int offset : {0, 12, 13, 64, 200}) {
            SCOPED_TRACE(std::to_string(nbands) + " bands, offset " + std::to_string(offset));
            std::string path = writePpm(nbands, offset);
            Bytes file = testsupport::readFile(path);
            std::string plain = std::string(nbands == 3 ? "P6" : "P5") + "\n7 3\n255\n";
            int length = offset ? offset : static_cast<int>(plain.size());
            ASSERT_EQ(file.size(), static_cast<size_t>(length + 21 * nbands));
            if (!offset) {
                EXPECT_EQ(std::string(file.begin(), file.begin() + length), plain);
            }
            // The tools read the same samples from the padded header.
            std::string s = testsupport::run("pamtopnm " + path + " 2>/dev/null");
            oracle::Pnm d = oracle::parsePnm(text(s));
            ASSERT_EQ(d.width, 7);
            ASSERT_EQ(d.channels, nbands);
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 7; ++x)
                    for (int b = 0; b < nbands; ++b) EXPECT_EQ(d.at(x, y, b), (x * 31 + y * 7 + b * 50) & 255);
            ImageHead h;
            EXPECT_EQ(recognise(file, &h), IMG_PPM);
            EXPECT_EQ(h.offset, length);
        }
    }
}

TEST(PpmWrite, HeaderWriterRefusesWhatItCannotWrite) {
    std::string path = testsupport::scratchDir() + "/h.ppm";
    zarn::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ImageHead h = blankImageHead();
    h.rows = 2;
    h.columns = 3;
    h.nbands = 2;
    EXPECT_EQ(initPPMHead(fd.get(), &h), -1);
    h.nbands = 3;
    h.offset = 5;  // shorter than the text
    EXPECT_EQ(initPPMHead(fd.get(), &h), -1);
    h.offset = 0;
    EXPECT_EQ(initPPMHead(fd.get(), &h), 11);
    EXPECT_EQ(h.block, 9);
}

}  // namespace
