// The GIF LZW decoder and block reader on hand-made streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "formats/gif.h"
#include "gif_craft.h"
#include "support.h"

using gifcraft::BitPacker;
using gifcraft::Bytes;

namespace {

// A descriptor reading `data` from a scratch file.
struct DataFile {
    explicit DataFile(const Bytes& data) {
        path = testsupport::scratchDir() + "/data";
        testsupport::writeFile(path, data);
        fd = ::open(path.c_str(), O_RDONLY);
    }
    ~DataFile() { ::close(fd); }
    std::string path;
    int fd;
};

Bytes randomPixels(size_t n, int colours, unsigned seed) {
    std::mt19937 r(seed);
    Bytes px(n);
    // Runs as well as noise, so strings of every length occur.
    for (size_t i = 0; i < n; ++i) px[i] = (r() % 4 == 0 && i) ? px[i - 1] : r() % colours;
    return px;
}

// Decodes with reads of `chunk` pixels at a time.
Bytes decode(const Bytes& stream, int minCode, size_t want, size_t chunk, gif::GifDecoder& dec,
             bool* finished = nullptr) {
    DataFile f(stream);
    gif::GifReader in(f.fd, 0);
    Bytes out(want);
    size_t got = 0;
    if (dec.initGifImgBlk(&in, minCode)) {
        while (got < want) {
            int64_t n = dec.read(out.data() + got, std::min(chunk, want - got));
            got += n;
            if (n == 0) break;
        }
    }
    out.resize(got);
    bool ok = dec.finish();
    if (finished) *finished = ok;
    return out;
}

TEST(GifLzw, RoundTripsEveryCodeSizeAndSubBlockSize) {
    auto dec = std::make_unique<gif::GifDecoder>();
    for (int minCode = 1; minCode <= 8; ++minCode) {
        // Enough pixels to fill the table (clear codes in mid-stream).
        Bytes px = randomPixels(minCode >= 6 ? 20000 : 6000, 1 << minCode, minCode);
        Bytes lzw = gifcraft::lzwEncode(px, minCode);
        for (int block : {1, 7, 255}) {
            bool finished = false;
            Bytes got = decode(gifcraft::subBlocks(lzw, block), minCode, px.size(), px.size(), *dec, &finished);
            EXPECT_EQ(got, px) << "min code " << minCode << " sub-blocks of " << block;
            EXPECT_TRUE(finished);
            EXPECT_FALSE(dec->corrupt());
        }
    }
}

TEST(GifLzw, ReadsInPiecesAsInOne) {
    auto dec = std::make_unique<gif::GifDecoder>();
    Bytes px(5000, 3);  // long runs: strings far longer than the pieces
    for (size_t i = 0; i < px.size(); i += 97) px[i] = 1;
    Bytes stream = gifcraft::subBlocks(gifcraft::lzwEncode(px, 2));
    EXPECT_EQ(decode(stream, 2, px.size(), 1, *dec), px);
    EXPECT_EQ(decode(stream, 2, px.size(), 13, *dec), px);
}

TEST(GifLzw, RefusesMinimumCodeSizesOutsideOneToEleven) {
    auto dec = std::make_unique<gif::GifDecoder>();
    Bytes stream = gifcraft::subBlocks({0x00, 0x01});
    for (int bad : {0, 12, 255}) {
        DataFile f(stream);
        gif::GifReader in(f.fd, 0);
        EXPECT_FALSE(dec->initGifImgBlk(&in, bad));
        unsigned char b;
        EXPECT_EQ(dec->read(&b, 1), 0);
    }
    DataFile f(stream);
    gif::GifReader in(f.fd, 0);
    EXPECT_TRUE(dec->initGifImgBlk(&in, 11));
    EXPECT_EQ(dec->codeSize(), 12);
}

TEST(GifLzw, ClearCodeResetsTheCodeSize) {
    // Minimum 2: clear 4, end 5.  Codes 1,2,3,0,1 widen the code to 4 bits
    // after the third; after the clear the codes are 3 bits wide again.
    BitPacker w;
    w.put(4, 3);
    w.put(1, 3);
    w.put(2, 3);
    w.put(3, 3);  // slot 7 defined, next free reaches 8: 4 bits from here
    w.put(0, 4);
    w.put(6, 4);  // slot 6 = "1 2"
    w.put(4, 4);  // clear
    w.put(2, 3);
    w.put(2, 3);
    w.put(5, 3);
    auto dec = std::make_unique<gif::GifDecoder>();
    Bytes got = decode(gifcraft::subBlocks(w.finish()), 2, 100, 100, *dec);
    EXPECT_EQ(got, (Bytes{1, 2, 3, 0, 1, 2, 2, 2}));
    EXPECT_FALSE(dec->corrupt());
}

TEST(GifLzw, CodeBeyondTheNextFreeSlotEndsAsCorrupt) {
    BitPacker w;
    w.put(4, 3);
    w.put(1, 3);
    w.put(7, 3);  // next free is 6: 7 is undefined
    w.put(1, 3);
    auto dec = std::make_unique<gif::GifDecoder>();
    Bytes got = decode(gifcraft::subBlocks(w.finish()), 2, 100, 100, *dec);
    EXPECT_EQ(got, Bytes{1});
    EXPECT_TRUE(dec->corrupt());

    // The next free slot itself is the one legal forward reference.
    BitPacker k;
    k.put(4, 3);
    k.put(1, 3);
    k.put(6, 3);  // "1" + "1"
    k.put(5, 3);
    got = decode(gifcraft::subBlocks(k.finish()), 2, 100, 100, *dec);
    EXPECT_EQ(got, (Bytes{1, 1, 1}));
    EXPECT_FALSE(dec->corrupt());
}

TEST(GifLzw, TruncatedDataEndsCleanly) {
    Bytes px = randomPixels(3000, 16, 7);
    Bytes stream = gifcraft::subBlocks(gifcraft::lzwEncode(px, 4), 50);
    auto dec = std::make_unique<gif::GifDecoder>();
    for (size_t cut : {size_t(0), size_t(1), size_t(2), size_t(51), size_t(52), stream.size() / 2, stream.size() - 1}) {
        Bytes part(stream.begin(), stream.begin() + cut);
        bool finished = true;
        Bytes got = decode(part, 4, px.size(), 256, *dec, &finished);
        EXPECT_FALSE(finished) << cut;
        ASSERT_LE(got.size(), px.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), px.begin())) << cut;
    }
}

TEST(GifBlocks, SkipsExtensionsAndFindsTheImage) {
    gifcraft::GifFile g(4, 4);
    g.raw({'!', 0xFE, 3, 'a', 'b', 'c', 0});
    g.gce(2, 0, 3);
    g.raw({'!', 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0});
    g.image(0, 0, 1, 1, {1});
    DataFile f(g.b);
    gif::GifInfo info;
    ASSERT_TRUE(gif::readGifInfo(f.fd, info));
    EXPECT_EQ(info.version, 11);
    EXPECT_EQ(info.lsd.global.count, 8);
    EXPECT_EQ(info.dataStart, 13 + 24);
    EXPECT_EQ(info.transparent, 3);

    gifcraft::GifFile bad(4, 4);
    bad.raw({'!', 0x42, 1, 0, 0});
    DataFile fb(bad.b);
    gif::GifReader in(fb.fd, 13 + 24);
    int t = -1;
    EXPECT_EQ(gif::getImgSeparate(in, &t), -1);
}

}  // namespace
