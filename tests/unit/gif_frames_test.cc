// GIF images through the store: every composed frame of the gifbuild
// fixtures against the oracle's composition, volume selection, and broken
// files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "formats/formats.h"
#include "ramimage/fileio.h"
#include "gif_craft.h"
#include "support.h"

using gifcraft::Bytes;

namespace {

struct FrameMeta {
    int delay = 0;
    int colors = 0;
    std::string table;  // hex RGB triples
};

struct Oracle {
    int width = 0, height = 0, transparent = -1;
    std::vector<FrameMeta> frames;
    Bytes pixels;  // every composed screen in order
    const unsigned char* frame(int k) const { return pixels.data() + size_t(k - 1) * width * height; }
};

Oracle loadOracle(const std::string& base) {
    Oracle o;
    std::ifstream meta(base + ".meta");
    std::string word;
    int n = 0;
    meta >> word >> o.width >> o.height >> word >> o.transparent >> word >> n;
    for (int k = 0; k < n; ++k) {
        FrameMeta m;
        int num;
        meta >> word >> num >> word >> m.delay >> word >> m.colors;
        if (m.colors) meta >> m.table;
        o.frames.push_back(m);
    }
    o.pixels = testsupport::readFile(base + ".frames");
    return o;
}

std::string hexTable(const RAMImage* img) {
    std::string s;
    char b[8];
    for (int i = 0; i < img->head.nindices; ++i) {
        std::snprintf(b, sizeof b, "%02x%02x%02x", img->head.colorTable[i][0], img->head.colorTable[i][1],
                      img->head.colorTable[i][2]);
        s += b;
    }
    return s;
}

// First line (or -1) where the image differs from the expected screen.
int firstDifference(RAMImage* img, const unsigned char* want) {
    for (int y = 0; y < img->head.rows; ++y) {
        const unsigned char* p = getRAMImageLine(img, y, 0, 1);
        if (std::memcmp(p, want + size_t(y) * img->head.columns, img->head.columns) != 0) return y;
    }
    return -1;
}

std::string copyToScratch(const std::string& path) {
    std::string dst = testsupport::scratchDir() + "/" + path.substr(path.rfind('/') + 1);
    testsupport::writeFile(dst, testsupport::readFile(path));
    return dst;
}

struct Opened {
    explicit Opened(const std::string& path) {
        int err = 0;
        img = openRAMImage(nullptr, path.c_str(), nullptr, nullptr, &err);
    }
    ~Opened() {
        if (img) closeRAMImage(img, nullptr);
    }
    RAMImage* img = nullptr;
};

Opened* openBytes(const Bytes& b) {
    std::string path = testsupport::scratchDir() + "/crafted.gif";
    testsupport::writeFile(path, b);
    return new Opened(path);
}

class GifFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(GifFixture, EveryFrameComposesAsTheOracle) {
    const std::string base = testsupport::fixtureDir() + "/gif/" + GetParam();
    Oracle o = loadOracle(base);
    ASSERT_GT(o.frames.size(), 0u);
    Opened f(copyToScratch(base + ".gif"));
    RAMImage* img = f.img;
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->head.columns, o.width);
    EXPECT_EQ(img->head.rows, o.height);
    EXPECT_EQ(img->head.transparent, o.transparent);
    EXPECT_EQ(img->head.pixel, PIX_BYTE);
    const int n = static_cast<int>(o.frames.size());
    const bool animated = img->head.imgid == IMG_GIF89a;

    for (int k = 1; k <= n; ++k) {
        if (animated) {
            ASSERT_EQ(getRAMImageVolume(img, k == 1 ? 1 : 0), k);
        }
        EXPECT_EQ(firstDifference(img, o.frame(k)), -1) << "frame " << k;
        EXPECT_EQ(img->delay, o.frames[k - 1].delay) << "frame " << k;
        EXPECT_EQ(img->head.nindices, o.frames[k - 1].colors) << "frame " << k;
        EXPECT_EQ(hexTable(img), o.frames[k - 1].table) << "frame " << k;
    }
    if (!animated) return;
    // Past the last frame: nothing changes.
    EXPECT_EQ(getRAMImageVolume(img, 0), -2);
    EXPECT_EQ(img->volumeCount, n);
    EXPECT_EQ(firstDifference(img, o.frame(n)), -1);
    // Backwards restarts from the first frame.
    EXPECT_EQ(getRAMImageVolume(img, 1), 1);
    EXPECT_EQ(firstDifference(img, o.frame(1)), -1);
    int mid = (n + 1) / 2;
    EXPECT_EQ(getRAMImageVolume(img, mid), mid);
    EXPECT_EQ(firstDifference(img, o.frame(mid)), -1);
    EXPECT_EQ(getRAMImageVolume(img, -1), n);
    EXPECT_EQ(firstDifference(img, o.frame(n)), -1);
    EXPECT_EQ(getRAMImageVolume(img, n + 5), n);
    // A dropped cache is composed again up to the current frame.
    getRAMImageVolume(img, mid);
    inValidateRAMImage(img);
    EXPECT_EQ(gifSeek(img, mid), mid);
    EXPECT_EQ(firstDifference(img, o.frame(mid)), -1);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, GifFixture, ::testing::Values("anim", "big", "still87", "nogct"));

TEST(GifHead, RecognitionFillsTheHeader) {
    const std::string dir = testsupport::fixtureDir() + "/gif/";
    Opened a(copyToScratch(dir + "anim.gif"));
    ASSERT_NE(a.img, nullptr);
    EXPECT_EQ(a.img->head.imgid, IMG_GIF89a);
    EXPECT_EQ(a.img->head.offset, 13 + 3 * 8);
    EXPECT_EQ(a.img->seekProc, &gifSeek);

    ImageHead head = blankImageHead();
    std::string path = copyToScratch(dir + "nogct.gif");
    zarn::UniqueFd fd(::open(path.c_str(), O_RDONLY));
    HandlerPtr priv;
    EXPECT_EQ(imgGif(fd.get(), path.c_str(), &head, &priv), IMG_GIF89a);
    EXPECT_EQ(head.offset, 13);
    EXPECT_EQ(head.nindices, 0);
    EXPECT_EQ(head.transparent, -1);

    Opened s(copyToScratch(dir + "still87.gif"));
    ASSERT_NE(s.img, nullptr);
    EXPECT_EQ(s.img->head.imgid, IMG_GIF87a);
    EXPECT_EQ(s.img->seekProc, nullptr);
}

TEST(GifHead, EmptyScreenIsRefused) {
    gifcraft::GifFile g(0, 10);
    g.image(0, 0, 1, 1, {1});
    g.trailer();
    std::unique_ptr<Opened> f(openBytes(g.b));
    EXPECT_EQ(f->img, nullptr);
}

// Every cut of a file opens and seeks without harm; frames that lie wholly
// before the cut are the oracle's.
TEST(GifBroken, TruncatedFilesEndCleanly) {
    const std::string base = testsupport::fixtureDir() + "/gif/anim";
    Oracle o = loadOracle(base);
    Bytes whole = testsupport::readFile(base + ".gif");
    for (size_t cut = 13 + 24; cut < whole.size(); cut += 7) {
        std::unique_ptr<Opened> f(openBytes(Bytes(whole.begin(), whole.begin() + cut)));
        if (!f->img) continue;
        int last = getRAMImageVolume(f->img, -1);
        ASSERT_LE(last, static_cast<int>(o.frames.size()));
        EXPECT_GE(f->img->volumeCount, 0);
        for (int k = 1; k < last; ++k) {
            ASSERT_EQ(getRAMImageVolume(f->img, k), k);
            EXPECT_EQ(firstDifference(f->img, o.frame(k)), -1) << "cut " << cut << " frame " << k;
        }
        testsupport::takeOutput();
    }
}

Bytes ramp(int n, int colours) {
    Bytes b(n);
    for (int i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i % colours);
    return b;
}

TEST(GifBroken, StrayBytesAndBadCodeSizesDoNotStopTheAnimation) {
    gifcraft::GifFile g(4, 2);
    g.image(0, 0, 4, 2, ramp(8, 8), 3);
    g.raw({0x00, 0x17, 0x99});  // not a block introducer
    g.descriptor(0, 0, 2, 1);
    g.raw({12, 2, 0xff, 0xff, 0});  // code size 12: no valid stream
    g.image(0, 1, 4, 1, {5, 5, 5, 5}, 3, 0, -1, 1);  // one-byte sub-blocks
    g.trailer();
    std::unique_ptr<Opened> f(openBytes(g.b));
    RAMImage* img = f->img;
    ASSERT_NE(img, nullptr);
    testsupport::takeOutput();
    EXPECT_EQ(getRAMImageVolume(img, 1), 1);
    EXPECT_EQ(getRAMImageVolume(img, 0), 2);
    std::string out = testsupport::takeOutput();
    EXPECT_NE(out.find("Unknown GIF Introducer: 0x0."), std::string::npos) << out;
    EXPECT_EQ(out.find("0x17"), std::string::npos) << "reported once per call";
    EXPECT_NE(out.find("code size 12"), std::string::npos) << out;
    EXPECT_EQ(getRAMImageVolume(img, 0), 3);
    EXPECT_EQ(getRAMImageVolume(img, 0), -2);
    EXPECT_EQ(img->volumeCount, 3);
    const unsigned char want[8] = {0, 1, 2, 3, 5, 5, 5, 5};
    EXPECT_EQ(firstDifference(img, want), -1);
}

TEST(GifBroken, UnknownExtensionLabelIsAnError) {
    gifcraft::GifFile g(2, 1);
    g.raw({'!', 0x42, 1, 0, 0});
    g.image(0, 0, 2, 1, {1, 2});
    g.trailer();
    std::unique_ptr<Opened> f(openBytes(g.b));
    ASSERT_NE(f->img, nullptr);
    testsupport::takeOutput();
    EXPECT_EQ(gifSeek(f->img, 0), -1);
    EXPECT_EQ(testsupport::takeOutput(), "    Unknown label in extension block\n");
}

TEST(GifWrite, FlushingReportsThatGifCannotBeWritten) {
    gifcraft::GifFile g(2, 1);
    g.image(0, 0, 2, 1, {1, 2});
    g.trailer();
    std::unique_ptr<Opened> f(openBytes(g.b));
    ASSERT_NE(f->img, nullptr);
    unsigned char* p = getRAMImageLine(f->img, 0, 0, 1);
    ASSERT_NE(p, nullptr);
    p[0] = 3;
    updateRAMImageLine(f->img, 0, 0, 1, 0);
    testsupport::takeOutput();
    flushRAMImage(f->img);
    EXPECT_NE(testsupport::takeOutput().find("writeGIF has not been implemented!!!\n"), std::string::npos);
}

}  // namespace
