// The directory engine and the reader on hand-built files: byte orders,
// typed values, hostile chains and maps, refusals, PackBits and GeoTIFF.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "formats/formats.h"
#include "formats/packbits.h"
#include "formats/tiffdir.h"
#include "support.h"

namespace {

// Builds a classic TIFF in memory: directories with entries whose values
// are given as file-order bytes (inline when they fit).
class Craft {
public:
    explicit Craft(bool big) : big_(big) {
        bytes_ = {static_cast<uint8_t>(big ? 'M' : 'I'), static_cast<uint8_t>(big ? 'M' : 'I')};
        put16(42);
        put32(0);
    }
    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> enc16(std::initializer_list<uint32_t> v) const {
        std::vector<uint8_t> o;
        for (uint32_t x : v) append(o, x, 2);
        return o;
    }
    std::vector<uint8_t> enc32(std::initializer_list<uint32_t> v) const {
        std::vector<uint8_t> o;
        for (uint32_t x : v) append(o, x, 4);
        return o;
    }
    std::vector<uint8_t> encDouble(std::initializer_list<double> v) const {
        std::vector<uint8_t> o;
        for (double d : v) {
            uint64_t u;
            std::memcpy(&u, &d, 8);
            append(o, u, 8);
        }
        return o;
    }
    void shorts(uint16_t tag, std::initializer_list<uint32_t> v) { add({tag, kTiffShort, uint32_t(v.size()), enc16(v)}); }
    void longs(uint16_t tag, std::initializer_list<uint32_t> v) { add({tag, kTiffLong, uint32_t(v.size()), enc32(v)}); }
    // A tag given twice keeps its latest values.
    void add(Entry e) {
        for (auto& x : entries_)
            if (x.tag == e.tag) {
                x = std::move(e);
                return;
            }
        entries_.push_back(std::move(e));
    }
    // Appends raw bytes (pixel data) and returns their offset.
    uint32_t blob(const std::vector<uint8_t>& b) {
        uint32_t at = static_cast<uint32_t>(bytes_.size());
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return at;
    }
    // Writes the pending entries as a directory; returns its offset.  The
    // first directory is linked from the header, later ones from `link`.
    uint32_t directory(uint32_t next = 0) {
        std::vector<uint32_t> where(entries_.size(), 0);
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].data.size() > 4) where[i] = blob(entries_[i].data);
        if (bytes_.size() & 1) bytes_.push_back(0);
        uint32_t at = static_cast<uint32_t>(bytes_.size());
        put16(static_cast<uint32_t>(entries_.size()));
        for (size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            put16(e.tag);
            put16(e.type);
            put32(e.count);
            if (e.data.size() <= 4) {
                std::vector<uint8_t> f = e.data;
                f.resize(4, 0);
                bytes_.insert(bytes_.end(), f.begin(), f.end());
            } else {
                put32(where[i]);
            }
        }
        put32(next);
        if (firstDir_ == 0) {
            firstDir_ = at;
            patch32(4, at);
        }
        entries_.clear();
        return at;
    }
    void patch32(size_t at, uint32_t v) {
        std::vector<uint8_t> o;
        append(o, v, 4);
        std::memcpy(bytes_.data() + at, o.data(), 4);
    }
    // Offset of the next-directory field of the directory at `dir`.
    size_t nextField(uint32_t dir) const {
        uint32_t n = big_ ? (bytes_[dir] << 8 | bytes_[dir + 1]) : (bytes_[dir + 1] << 8 | bytes_[dir]);
        return dir + 2 + 12 * n;
    }
    std::vector<uint8_t>& bytes() { return bytes_; }

    // A minimal strip image: 8-bit, `rows` x `cols`, one strip at the end.
    void image(uint32_t cols, uint32_t rows, const std::vector<uint8_t>& pixels, uint32_t comp = 1) {
        uint32_t at = blob(pixels);
        shorts(kTagImageWidth, {cols});
        shorts(kTagImageLength, {rows});
        shorts(kTagBitsPerSample, {8});
        shorts(kTagCompression, {comp});
        longs(kTagStripOffsets, {at});
        longs(kTagRowsPerStrip, {rows});
        longs(kTagStripByteCounts, {static_cast<uint32_t>(pixels.size())});
    }

private:
    void append(std::vector<uint8_t>& o, uint64_t v, int n) const {
        for (int i = 0; i < n; ++i) o.push_back(static_cast<uint8_t>(v >> (8 * (big_ ? n - 1 - i : i))));
    }
    void put16(uint32_t v) { append(bytes_, v, 2); }
    void put32(uint32_t v) { append(bytes_, v, 4); }
    bool big_;
    uint32_t firstDir_ = 0;
    std::vector<uint8_t> bytes_;
    std::vector<Entry> entries_;
};

// The file on disk, open read-write, removed with the object.
struct TempTiff {
    explicit TempTiff(const std::vector<uint8_t>& bytes) {
        path = testsupport::scratchDir() + "/t" + std::to_string(serial++) + ".tif";
        testsupport::writeFile(path, bytes);
        fd = ::open(path.c_str(), O_RDWR);
    }
    ~TempTiff() { ::close(fd); }
    std::string path;
    int fd;
    static inline int serial = 0;
};

int recognise(Craft& c, ImageHead* h = nullptr, HandlerPtr* p = nullptr) {
    TempTiff t(c.bytes());
    ImageHead local = blankImageHead();
    HandlerPtr lp;
    return imgTiff(t.fd, t.path.c_str(), h ? h : &local, p ? p : &lp);
}

TEST(TiffDir, BigEndianValuesComeOutInHostOrder) {
    Craft c(true);
    c.shorts(kTagImageWidth, {300});
    c.shorts(kTagBitsPerSample, {16, 9});
    c.shorts(kTagSampleFormat, {1, 2, 3});
    c.add({kTagPhotometric, kTiffByte, 3, {7, 8, 9}});
    c.add({kTagRowsPerStrip, kTiffRational, 1, c.enc32({72, 2})});
    c.add({400, kTiffSShort, 1, c.enc16({0xFFFE})});
    c.add({401, kTiffUndefined, 2, {0x80, 0x01}});
    c.longs(kTagImageLength, {70000});
    c.directory();
    TempTiff t(c.bytes());
    auto dir = getTiffDir(t.fd);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->byteOrder, kTiffBig);
    const TiffIFD* ifd = dir->ifds[0].get();
    EXPECT_EQ(getTiffImageWidth(ifd), 300);
    EXPECT_EQ(getTiffImageLength(ifd), 70000);
    EXPECT_EQ(getTiffBitsPerSample(t.fd, ifd, 1, kTiffBig), 9);
    EXPECT_EQ(getTiffSampleFormat(t.fd, ifd, 2, kTiffBig), 3);
    EXPECT_EQ(getTiffSampleFormat(t.fd, ifd, 3, kTiffBig), -1);
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, kTagPhotometric, 2, kTiffBig), 9);
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, kTagRowsPerStrip, 1, kTiffBig), 2);
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, kTagRowsPerStrip, 2, kTiffBig), -1);
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, 400, 0, kTiffBig), -2);
    // Inline UNDEFINED bytes keep their file order in either byte order.
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, 401, 0, kTiffBig), -128);
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, 401, 1, kTiffBig), 1);
    EXPECT_EQ(getTiffArrayElement(t.fd, ifd, 999, 0, kTiffBig), -1);
}

TEST(TiffDir, ChainsEndAtCyclesAndAtTheFileEnd) {
    Craft c(false);
    c.image(2, 2, {1, 2, 3, 4});
    uint32_t d1 = c.directory();
    c.image(2, 2, {5, 6, 7, 8});
    uint32_t d2 = c.directory(d1);  // points back at the first
    c.patch32(c.nextField(d1), d2);
    TempTiff t(c.bytes());
    int n = 0;
    EXPECT_EQ(getTiffInfo(t.fd, &n, nullptr), 14);
    EXPECT_EQ(n, 2);
    auto dir = getTiffDir(t.fd);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->ndirs, 2);
    // A next offset past the end, and a self loop.
    c.patch32(c.nextField(d2), 0x7FFFFFF0);
    TempTiff t2(c.bytes());
    EXPECT_EQ(getTiffDir(t2.fd)->ndirs, 2);
    c.patch32(c.nextField(d1), d1);
    TempTiff t3(c.bytes());
    EXPECT_EQ(getTiffDir(t3.fd)->ndirs, 1);
    // An entry count that runs past the file: no directory at all.
    std::vector<uint8_t> bad = {'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3};
    TempTiff t4(bad);
    EXPECT_EQ(getTiffDir(t4.fd), nullptr);
    ImageHead h = blankImageHead();
    HandlerPtr p;
    EXPECT_EQ(imgTiff(t4.fd, "x", &h, &p), 0);
    // Neither byte order mark nor version 42: not TIFF.
    std::vector<uint8_t> big = {'I', 'I', 43, 0, 8, 0, 0, 0};
    TempTiff t5(big);
    EXPECT_EQ(getTiffHead(t5.fd, nullptr), 0u);
    testsupport::takeOutput();
}

TEST(TiffDir, UnreadableLayoutsAreRefusedWithAMessage) {
    struct Case {
        const char* what;
        void (*build)(Craft&);
    };
    const Case cases[] = {
        {"compression", [](Craft& c) { c.image(2, 2, {1, 2, 3, 4}, 5); }},
        {"bits", [](Craft& c) {
             c.image(2, 2, {1, 2, 3, 4});
             c.shorts(kTagBitsPerSample, {12});
         }},
        {"sample format", [](Craft& c) {
             c.image(1, 2, {1, 2, 3, 4});
             c.shorts(kTagBitsPerSample, {16});
             c.shorts(kTagSampleFormat, {3});
         }},
        {"samples", [](Craft& c) {
             c.image(2, 2, {1, 2, 3, 4});
             c.shorts(kTagBitsPerSample, {4, 4});
             c.shorts(kTagSamplesPerPixel, {2});
         }},
        {"planes", [](Craft& c) {
             c.image(1, 2, {1, 2, 3, 4});
             c.shorts(kTagSamplesPerPixel, {2});
             c.shorts(kTagPlanarConfig, {2});
         }},
        {"tile size", [](Craft& c) {
             c.image(2, 2, {1, 2, 3, 4});
             c.shorts(kTagTileWidth, {0});
             c.shorts(kTagTileLength, {16});
         }},
        {"strip offset", [](Craft& c) {
             c.shorts(kTagImageWidth, {2});
             c.shorts(kTagImageLength, {2});
         }},
        {"offsets", [](Craft& c) {
             c.image(2, 4, {1, 2, 3, 4, 5, 6, 7, 8});
             c.longs(kTagRowsPerStrip, {1});
             c.longs(kTagStripOffsets, {8, 10});
         }},
        {"exceeds the file", [](Craft& c) { c.image(1000, 1000, {1, 2, 3, 4}); }},
        {"PackBits data too short", [](Craft& c) { c.image(1000, 100, {0x81, 0}, kTiffPackBits); }},
        {"size", [](Craft& c) {
             c.image(2, 2, {1, 2, 3, 4});
             c.longs(kTagImageWidth, {0});
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Craft c(false);
        k.build(c);
        c.directory();
        testsupport::takeOutput();
        EXPECT_EQ(recognise(c), -1);
        EXPECT_NE(testsupport::takeOutput(), "");
    }
}

// A RAM image around a recognised file, without the store's cache.
struct Loose {
    explicit Loose(Craft& c) : t(c.bytes()) {
        img.fd = t.fd;
        ok = imgTiff(t.fd, t.path.c_str(), &img.head, &img.privData);
    }
    ~Loose() { img.fd = -1; }
    TempTiff t;
    RAMImage img;
    int ok;
};

// A single strip whose RowsPerStrip is below the rows holds every row.
TEST(TiffDir, OneStripHoldsEveryRow) {
    Craft c(false);
    c.image(2, 4, {1, 2, 3, 4, 5, 6, 7, 8});
    c.longs(kTagRowsPerStrip, {1});
    c.directory();
    Loose l(c);
    ASSERT_EQ(l.ok, IMG_TIFF);
    int first = 3, count = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(getTiffBlock(&l.img, &first, &count, buf));
    ASSERT_LE(first, 3);
    EXPECT_EQ(buf[(3 - first) * 2 + 1], 8);
}

TEST(TiffDir, TilesAreFoundThroughTheirOwnTags) {
    // 20 x 3 pixels in 16 x 16 tiles whose map is SHORT, in 324/325 only.
    Craft c(true);
    std::vector<uint8_t> t0(256), t1(256);
    for (int i = 0; i < 256; ++i) {
        t0[i] = static_cast<uint8_t>(i);
        t1[i] = static_cast<uint8_t>(255 - i);
    }
    uint32_t a = c.blob(t0), b = c.blob(t1);
    c.shorts(kTagImageWidth, {20});
    c.shorts(kTagImageLength, {3});
    c.shorts(kTagBitsPerSample, {8});
    c.shorts(kTagTileWidth, {16});
    c.shorts(kTagTileLength, {16});
    c.shorts(kTagTileOffsets, {a, b});
    c.shorts(kTagTileByteCounts, {256, 256});
    c.directory();
    Loose l(c);
    ASSERT_EQ(l.ok, IMG_TIFF);
    int first = 2, count = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(getTiffBlock(&l.img, &first, &count, buf));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 3);  // the tile row is cut at the last image row
    ASSERT_EQ(buf.size(), 60u);
    EXPECT_EQ(buf[2 * 20 + 15], 32 + 15);
    EXPECT_EQ(buf[2 * 20 + 16], 255 - 32);
    EXPECT_EQ(buf[2 * 20 + 19], 255 - 35);
}

// A tile row wider than the chunk the reader hands to the cache comes in
// pieces of whole lines, each line right.
TEST(TiffDir, WideTileRowsComeInChunks) {
    const uint32_t w = 80000, h = 20, tw = 16, tl = 16;
    const uint32_t across = (w + tw - 1) / tw, down = (h + tl - 1) / tl;
    auto value = [](uint32_t x, uint32_t y) { return static_cast<uint8_t>(x * 7 + y * 3); };
    Craft c(false);
    std::vector<uint8_t> data;
    std::vector<uint32_t> offs;
    for (uint32_t ty = 0; ty < down; ++ty)
        for (uint32_t tx = 0; tx < across; ++tx) {
            offs.push_back(static_cast<uint32_t>(8 + data.size()));
            for (uint32_t y = 0; y < tl; ++y)
                for (uint32_t x = 0; x < tw; ++x) data.push_back(value(tx * tw + x, ty * tl + y));
        }
    c.blob(data);
    c.longs(kTagImageWidth, {w});
    c.longs(kTagImageLength, {h});
    c.shorts(kTagBitsPerSample, {8});
    c.shorts(kTagTileWidth, {tw});
    c.shorts(kTagTileLength, {tl});
    std::vector<uint8_t> offBytes;
    for (uint32_t o : offs) {
        auto b = c.enc32({o});
        offBytes.insert(offBytes.end(), b.begin(), b.end());
    }
    c.add({kTagTileOffsets, kTiffLong, static_cast<uint32_t>(offs.size()), offBytes});
    c.directory();
    Loose l(c);
    ASSERT_EQ(l.ok, IMG_TIFF);
    int most = tiffBlockLines(&l.img);
    EXPECT_LT(most, static_cast<int>(tl));
    std::vector<unsigned char> buf;
    int bad = 0;
    for (int line = 0; line < static_cast<int>(h); ++line) {
        int first = line, count = 0;
        ASSERT_TRUE(getTiffBlock(&l.img, &first, &count, buf));
        ASSERT_LE(first, line);
        ASSERT_GT(first + count, line);
        ASSERT_LE(count, most);
        // Chunks never cross a tile row.
        EXPECT_EQ(first / static_cast<int>(tl), (first + count - 1) / static_cast<int>(tl));
        const unsigned char* p = buf.data() + static_cast<size_t>(line - first) * w;
        for (uint32_t x = 0; x < w; ++x) bad += p[x] != value(x, line);
    }
    EXPECT_EQ(bad, 0);
}

TEST(TiffDir, PackBitsRunsStayInsideTheirBuffers) {
    uint8_t out[8];
    // -128 is skipped; a repeat is cut at the end of the output.
    const uint8_t a[] = {0x80, 0xFE, 7, 0x83, 9};
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(unpackBits(a, sizeof a, out, sizeof out), 8u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[2], 7);
    EXPECT_EQ(out[3], 9);
    EXPECT_EQ(out[7], 9);
    // A literal longer than the input copies what there is.
    const uint8_t b[] = {0x05, 1, 2};
    EXPECT_EQ(unpackBits(b, sizeof b, out, sizeof out), 2u);
    // A repeat with its byte missing writes nothing.
    const uint8_t c[] = {0xF0};
    EXPECT_EQ(unpackBits(c, 1, out, sizeof out), 0u);
    const uint8_t d[] = {0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(unpackBits(d, sizeof d, out, 4), 4u);

    // A strip whose runs would fill more than its rows is cut at its end.
    Craft cr(false);
    cr.image(4, 2, {0xFD, 5, 0xFD, 6, 0xFD, 7}, kTiffPackBits);
    cr.directory();
    Loose l(cr);
    ASSERT_EQ(l.ok, IMG_TIFF);
    int first = 1, count = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(getTiffBlock(&l.img, &first, &count, buf));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(buf, std::vector<unsigned char>({5, 5, 5, 5, 6, 6, 6, 6}));
}

TEST(TiffDir, ColourMapsAreCheckedAndClamped) {
    Craft c(false);
    c.image(2, 2, {1, 2, 3, 4});
    c.add({kTagColorMap, kTiffShort, 4, c.enc16({1, 2, 3, 4})});
    c.directory();
    ImageHead h = blankImageHead();
    EXPECT_EQ(recognise(c, &h), IMG_TIFF);
    EXPECT_EQ(h.nindices, 0);

    // 300 colours: the first 256 of each channel are taken.
    Craft big(true);
    big.image(2, 2, {1, 2, 3, 4});
    std::vector<uint8_t> map;
    for (int ch = 0; ch < 3; ++ch)
        for (int i = 0; i < 300; ++i) {
            auto v = big.enc16({static_cast<uint32_t>(((i + ch) % 256) * 257)});
            map.insert(map.end(), v.begin(), v.end());
        }
    big.add({kTagColorMap, kTiffShort, 900, map});
    big.directory();
    ImageHead hb = blankImageHead();
    EXPECT_EQ(recognise(big, &hb), IMG_TIFF);
    EXPECT_EQ(hb.nindices, 256);
    EXPECT_EQ(hb.colorTable[255][0], 255);
    EXPECT_EQ(hb.colorTable[255][1], 0);
    EXPECT_EQ(hb.colorTable[10][2], 12);
}

TEST(TiffDir, TiePointsGiveTheOriginCorner) {
    Craft c(true);
    c.image(2, 2, {1, 2, 3, 4});
    c.add({kTagModelPixelScale, kTiffDouble, 3, c.encDouble({2.0, 4.0, 0.0})});
    c.add({kTagModelTiepoint, kTiffDouble, 6, c.encDouble({3, 5, 0, 100, 200, 0})});
    c.directory();
    ImageHead h = blankImageHead();
    EXPECT_EQ(recognise(c, &h), IMG_TIFF);
    EXPECT_DOUBLE_EQ(h.x0, 100 - 3 * 2.0);
    EXPECT_DOUBLE_EQ(h.y0, 200 + 5 * 4.0);
    EXPECT_DOUBLE_EQ(h.dy, 4.0);

    // Two tie points: scaled but not placed.
    Craft two(false);
    two.image(2, 2, {1, 2, 3, 4});
    two.add({kTagModelPixelScale, kTiffDouble, 3, two.encDouble({2.0, 4.0, 0.0})});
    two.add({kTagModelTiepoint, kTiffDouble, 12, two.encDouble({0, 0, 0, 1, 1, 0, 1, 1, 0, 2, 2, 0})});
    two.directory();
    HandlerPtr p;
    EXPECT_EQ(recognise(two, &h, &p), IMG_TIFF);
    EXPECT_EQ(h.x0, 0.0);
    EXPECT_EQ(h.dx, 2.0);
    EXPECT_EQ(dynamic_cast<TiffInfo*>(p.get())->georef, 0);
}

}  // namespace
